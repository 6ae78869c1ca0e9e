// Dispatcher objects (events, mutexes, and timers as wait objects), fast
// mutexes, spin locks, and the two ways a thread waits: for an object and
// for a time.
//
// Waits are satisfied the kernel's way: signalling an object satisfies its
// waiters at once, in the order they started waiting (all of them for a
// notification object, the first one for a synchronization object, which
// then stays non-signalled; the first waiter gets a released mutex).
#include <algorithm>
#include <cstdio>
#include <map>
#include <unordered_map>

#include "core.h"
#include "internal.h"

namespace host::internal {
namespace {

struct Owner {
  HostThread* thread;
  bool fast;  // FAST_MUTEX, else KMUTEX
};

struct SyncState {
  // In arrival order; a vector, as queues are short and a wait makes and drops one.
  std::unordered_map<const void*, std::vector<HostThread*>> waiters;
  std::map<uintptr_t, Owner> owned;                                  // KMUTEX / FAST_MUTEX -> owner
  std::map<uintptr_t, HostThread*> held;                             // spin locks -> holder
};

SyncState& G() {
  static SyncState* s = new SyncState;
  return *s;
}

uintptr_t Addr(const void* p) { return reinterpret_cast<uintptr_t>(p); }

bool IsWaitable(UCHAR type) {
  return type == HostObjectNotificationEvent || type == HostObjectSynchronizationEvent || type == HostObjectMutex ||
         type == HostObjectNotificationTimer || type == HostObjectSynchronizationTimer;
}

const char* ObjectKind(UCHAR type) {
  switch (type) {
    case HostObjectNotificationEvent:
      return "notification event";
    case HostObjectSynchronizationEvent:
      return "synchronization event";
    case HostObjectMutex:
      return "mutex";
    case HostObjectNotificationTimer:
      return "notification timer";
    case HostObjectSynchronizationTimer:
      return "synchronization timer";
    default:
      return "object";
  }
}

void TakeOwnership(const void* mutex, HostThread* t, bool fast) {
  G().owned[Addr(mutex)] = Owner{t, fast};
  t->mutexes.push_back(mutex);
}

void DropOwnership(const void* mutex, HostThread* t) {
  G().owned.erase(Addr(mutex));
  auto& m = t->mutexes;
  m.erase(std::remove(m.begin(), m.end(), mutex), m.end());
}

// Satisfies `t`'s wait on the object if its state allows, with the side
// effects of satisfaction (a synchronization object resets, a mutex is owned).
bool TryAcquire(DISPATCHER_HEADER* h, HostThread* t) {
  switch (h->Type) {
    case HostObjectNotificationEvent:
    case HostObjectNotificationTimer:
      return h->SignalState > 0;
    case HostObjectSynchronizationEvent:
    case HostObjectSynchronizationTimer:
      if (h->SignalState <= 0) return false;
      h->SignalState = 0;
      return true;
    case HostObjectMutex: {
      auto* m = reinterpret_cast<PKMUTEX>(h);
      if (m->OwnerThread == t) {
        m->Header.SignalState--;  // recursive acquisition by the owner
        return true;
      }
      if (h->SignalState <= 0) return false;
      h->SignalState = 0;
      m->OwnerThread = t;
      TakeOwnership(m, t, false);
      return true;
    }
    default:
      return false;
  }
}

void RemoveWaiter(const void* object, HostThread* t) {
  auto it = G().waiters.find(object);
  if (it == G().waiters.end()) return;
  auto& q = it->second;
  q.erase(std::remove(q.begin(), q.end(), t), q.end());
  if (q.empty()) G().waiters.erase(it);
}

// The chain of owners from `mutex` leads back to `self`: waiting would deadlock.
bool WouldDeadlock(HostThread* self, const void* mutex, const char* kind, std::string* chain) {
  const void* object = mutex;
  for (size_t hops = 0; hops < 64; hops++) {
    HostThread* owner = MutexOwner(object);
    if (owner == nullptr) return false;
    char buf[96];
    snprintf(buf, sizeof buf, "%s %p held by \"", kind, object);
    *chain += buf + owner->name + "\"";
    if (owner == self) return true;
    if (owner->state != HostThread::State::kBlocked || MutexOwner(owner->waitObject) == nullptr) return false;
    *chain += ", which waits for ";
    object = owner->waitObject;
    kind = owner->waitWhat.c_str();
  }
  return false;
}

bool CheckHeader(const void* object, const char* routine, UCHAR a, UCHAR b) {
  const auto* h = static_cast<const DISPATCHER_HEADER*>(object);
  if (h != nullptr && (h->Type == a || h->Type == b)) return true;
  Violation("%s on %p, which is not an initialised %s (type %d)", routine, object, ObjectKind(a),
            h != nullptr ? int(h->Type) : -1);
  return false;
}

// Spin lock word while held: the holder's record.
void AcquireLock(PKSPIN_LOCK lock, HostThread* self, const char* routine) {
  SyncState& g = G();
  auto it = g.held.find(Addr(lock));
  if (it != g.held.end()) {
    if (it->second == self)
      Violation("%s: thread \"%s\" acquires spin lock %p that it already holds (deadlock)", routine,
                self->name.c_str(), static_cast<void*>(lock));
    else
      Violation("%s: spin lock %p is held by thread \"%s\", which cannot run (deadlock)", routine,
                static_cast<void*>(lock), it->second->name.c_str());
    return;
  }
  if (*lock != 0)
    Violation("%s: spin lock %p is not initialised (it reads %#llx)", routine, static_cast<void*>(lock),
              static_cast<unsigned long long>(*lock));
  *lock = reinterpret_cast<KSPIN_LOCK>(self);
  g.held[Addr(lock)] = self;
  self->spinLocks.push_back(lock);
}

void ReleaseLock(PKSPIN_LOCK lock, HostThread* self, const char* routine) {
  SyncState& g = G();
  auto it = g.held.find(Addr(lock));
  if (it == g.held.end() || it->second != self) {
    Violation("%s: thread \"%s\" releases spin lock %p that it does not hold", routine, self->name.c_str(),
              static_cast<void*>(lock));
    return;
  }
  g.held.erase(it);
  auto& locks = self->spinLocks;
  locks.erase(std::find(locks.begin(), locks.end(), lock));
  *lock = 0;
}

}  // namespace

int64_t DueTimeToVirtual(LONGLONG due) {
  const int64_t now = sched::Now();
  if (due < 0) return due < -(INT64_MAX - now) ? INT64_MAX : now - due;
  if (due == 0) return now;
  return std::max<int64_t>(due - kSystemTimeAtBoot, now);
}

bool HasWaiters(const void* object) { return G().waiters.count(object) != 0; }

HostThread* MutexOwner(const void* mutex) {
  auto it = G().owned.find(Addr(mutex));
  return it == G().owned.end() ? nullptr : it->second.thread;
}

// Raises the signal state's consequences: satisfies waiters in order.
void SatisfyWaiters(DISPATCHER_HEADER* h) {
  auto it = G().waiters.find(h);
  if (it == G().waiters.end()) return;
  auto& q = it->second;
  while (!q.empty() && TryAcquire(h, q.front())) {
    HostThread* t = q.front();
    q.erase(q.begin());
    Wake(t);
  }
  if (q.empty()) G().waiters.erase(it);
}

// Frees a fast mutex and hands it to its first waiter, if any.
void PassFastMutex(PFAST_MUTEX mutex) {
  mutex->Owner = nullptr;
  mutex->Count = 1;
  auto it = G().waiters.find(mutex);
  if (it == G().waiters.end()) return;
  HostThread* next = it->second.front();
  it->second.erase(it->second.begin());
  if (it->second.empty()) G().waiters.erase(it);
  mutex->Count = 0;
  mutex->Owner = next;
  TakeOwnership(mutex, next, true);
  Wake(next);
}

void DropSpinLocks(HostThread* t, size_t keep) {
  while (t->spinLocks.size() > keep) {
    PKSPIN_LOCK lock = t->spinLocks.back();
    t->spinLocks.pop_back();
    G().held.erase(Addr(lock));
    *lock = 0;
  }
}

void AbandonMutexes(HostThread* t) {
  while (!t->mutexes.empty()) {
    const void* mutex = t->mutexes.back();
    const bool fast = G().owned.at(Addr(mutex)).fast;
    DropOwnership(mutex, t);
    if (fast) {
      PassFastMutex(static_cast<PFAST_MUTEX>(const_cast<void*>(mutex)));
    } else {
      auto* m = static_cast<PKMUTEX>(const_cast<void*>(mutex));
      m->OwnerThread = nullptr;
      m->Abandoned = TRUE;
      m->Header.SignalState = 1;
      SatisfyWaiters(&m->Header);
    }
  }
}

void CheckFreedSync(uintptr_t lo, uintptr_t hi) {
  SyncState& g = G();
  for (auto it = g.held.lower_bound(lo); it != g.held.end() && it->first < hi;) {
    Violation("freeing memory at %p that holds spin lock %p, held by thread \"%s\"", reinterpret_cast<void*>(lo),
              reinterpret_cast<void*>(it->first), it->second->name.c_str());
    auto& locks = it->second->spinLocks;
    locks.erase(std::remove(locks.begin(), locks.end(), reinterpret_cast<PKSPIN_LOCK>(it->first)), locks.end());
    it = g.held.erase(it);
  }
  for (auto it = g.owned.lower_bound(lo); it != g.owned.end() && it->first < hi;) {
    Violation("freeing memory at %p that holds mutex %p, owned by thread \"%s\"", reinterpret_cast<void*>(lo),
              reinterpret_cast<void*>(it->first), it->second.thread->name.c_str());
    auto& m = it->second.thread->mutexes;
    m.erase(std::remove(m.begin(), m.end(), reinterpret_cast<const void*>(it->first)), m.end());
    it = g.owned.erase(it);
  }
}

void ResetSync() {
  SyncState& g = G();
  g.waiters.clear();
  g.owned.clear();
  g.held.clear();
}

}  // namespace host::internal

using namespace host::internal;

// ---------------------------------------------------------------------------
// Events.

void KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state) {
  if (HasWaiters(event)) host::Violation("KeInitializeEvent on event %p while threads wait on it", event);
  event->Header.Type = type == NotificationEvent ? HostObjectNotificationEvent : HostObjectSynchronizationEvent;
  event->Header.Signalling = 0;
  event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
  event->Header.Reserved1 = 0;
  event->Header.SignalState = state ? 1 : 0;
  InitializeListHead(&event->Header.WaitListHead);
}

LONG KeSetEvent(PRKEVENT event, KPRIORITY increment, BOOLEAN wait) {
  if (!RequireIrql(DISPATCH_LEVEL, "KeSetEvent")) return 0;
  if (!CheckHeader(event, "KeSetEvent", HostObjectNotificationEvent, HostObjectSynchronizationEvent)) return 0;
  const LONG previous = event->Header.SignalState;
  event->Header.SignalState = 1;
  SatisfyWaiters(&event->Header);
  return previous;
}

void KeClearEvent(PRKEVENT event) {
  if (!CheckHeader(event, "KeClearEvent", HostObjectNotificationEvent, HostObjectSynchronizationEvent)) return;
  event->Header.SignalState = 0;
}

LONG KeResetEvent(PRKEVENT event) {
  if (!RequireIrql(DISPATCH_LEVEL, "KeResetEvent")) return 0;
  if (!CheckHeader(event, "KeResetEvent", HostObjectNotificationEvent, HostObjectSynchronizationEvent)) return 0;
  const LONG previous = event->Header.SignalState;
  event->Header.SignalState = 0;
  return previous;
}

LONG KeReadStateEvent(PRKEVENT event) {
  if (!CheckHeader(event, "KeReadStateEvent", HostObjectNotificationEvent, HostObjectSynchronizationEvent)) return 0;
  const LONG state = event->Header.SignalState;
  InterleavePoint();  // the state read may be stale at once
  return state;
}

// ---------------------------------------------------------------------------
// Waits.

NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON reason, KPROCESSOR_MODE mode, BOOLEAN alertable,
                               PLARGE_INTEGER timeout) {
  HostThread* self = Self();
  if (self->irql < APC_LEVEL && self->eventDepth == 0) DeliverApcs();  // before the thread sleeps
  auto* h = static_cast<DISPATCHER_HEADER*>(object);
  if (h == nullptr || !IsWaitable(h->Type)) {
    host::Violation("KeWaitForSingleObject on %p, which is not an initialised event, mutex or timer (type %d)",
                    object, h != nullptr ? int(h->Type) : -1);
    return STATUS_INVALID_PARAMETER;
  }
  bool poll = timeout != nullptr && timeout->QuadPart == 0;
  if (poll) {
    if (!RequireIrql(DISPATCH_LEVEL, "KeWaitForSingleObject")) return STATUS_TIMEOUT;
  } else if (!CheckMayWait(self, timeout == nullptr ? "KeWaitForSingleObject without a time-out"
                                                    : "KeWaitForSingleObject with a non-zero time-out")) {
    poll = true;  // after the violation, do what can be done without waiting
  }
  if (TryAcquire(h, self)) return STATUS_SUCCESS;
  if (poll) return STATUS_TIMEOUT;

  if (h->Type == HostObjectMutex) {
    std::string chain;
    if (WouldDeadlock(self, object, "mutex", &chain)) {
      host::Violation("deadlock: thread \"%s\" waits for %s", self->name.c_str(), chain.c_str());
      return STATUS_TIMEOUT;
    }
  }
  G().waiters[object].push_back(self);
  WaitRequest request;
  request.what = ObjectKind(h->Type);
  request.object = object;
  if (timeout != nullptr) {
    request.hasDeadline = true;
    request.deadline = DueTimeToVirtual(timeout->QuadPart);
  }
  const WaitEnd end = Block(self, request);
  if (end == WaitEnd::kSatisfied) return STATUS_SUCCESS;
  RemoveWaiter(object, self);
  return STATUS_TIMEOUT;
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE mode, BOOLEAN alertable, PLARGE_INTEGER interval) {
  HostThread* self = Self();
  if (self->irql < APC_LEVEL && self->eventDepth == 0) DeliverApcs();  // before the thread sleeps
  if (!CheckMayWait(self, "KeDelayExecutionThread")) return STATUS_SUCCESS;
  if (interval == nullptr) {
    host::Violation("KeDelayExecutionThread without an interval");
    return STATUS_INVALID_PARAMETER;
  }
  WaitRequest request;
  request.what = "KeDelayExecutionThread";
  request.hasDeadline = true;
  request.deadline = DueTimeToVirtual(interval->QuadPart);
  Block(self, request);
  return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// Mutexes.

void KeInitializeMutex(PRKMUTEX mutex, ULONG level) {
  if (MutexOwner(mutex) != nullptr || HasWaiters(mutex))
    host::Violation("KeInitializeMutex on mutex %p while it is owned or waited on", static_cast<void*>(mutex));
  mutex->Header.Type = HostObjectMutex;
  mutex->Header.Signalling = 0;
  mutex->Header.Size = sizeof(KMUTEX) / sizeof(LONG);
  mutex->Header.Reserved1 = 0;
  mutex->Header.SignalState = 1;
  InitializeListHead(&mutex->Header.WaitListHead);
  InitializeListHead(&mutex->MutantListEntry);
  mutex->OwnerThread = nullptr;
  mutex->Abandoned = FALSE;
  mutex->ApcDisable = 1;
}

LONG KeReleaseMutex(PRKMUTEX mutex, BOOLEAN wait) {
  HostThread* self = Self();
  if (!RequireIrql(DISPATCH_LEVEL, "KeReleaseMutex")) return 0;
  if (!CheckHeader(mutex, "KeReleaseMutex", HostObjectMutex, HostObjectMutex)) return 0;
  if (mutex->OwnerThread != self) {
    HostThread* owner = MutexOwner(mutex);
    host::Violation("KeReleaseMutex: thread \"%s\" releases mutex %p %s%s%s", self->name.c_str(),
                    static_cast<void*>(mutex), owner != nullptr ? "owned by \"" : "that nobody owns",
                    owner != nullptr ? owner->name.c_str() : "", owner != nullptr ? "\"" : "");
    return 0;
  }
  const LONG previous = mutex->Header.SignalState;
  mutex->Header.SignalState++;
  if (mutex->Header.SignalState == 1) {
    mutex->OwnerThread = nullptr;
    DropOwnership(mutex, self);
    SatisfyWaiters(&mutex->Header);
  }
  InterleavePoint();
  return previous;
}

LONG KeReadStateMutex(PRKMUTEX mutex) {
  if (!CheckHeader(mutex, "KeReadStateMutex", HostObjectMutex, HostObjectMutex)) return 0;
  return mutex->Header.SignalState;
}

// ---------------------------------------------------------------------------
// Fast mutexes: not recursive; held at APC_LEVEL. Count is 1 while free.

void ExInitializeFastMutex(PFAST_MUTEX mutex) {
  if (MutexOwner(mutex) != nullptr || HasWaiters(mutex))
    host::Violation("ExInitializeFastMutex on fast mutex %p while it is owned or waited on", static_cast<void*>(mutex));
  mutex->Count = 1;
  mutex->Owner = nullptr;
  mutex->Contention = 0;
  KeInitializeEvent(&mutex->Event, SynchronizationEvent, FALSE);
  mutex->OldIrql = 0;
}

void ExAcquireFastMutex(PFAST_MUTEX mutex) {
  HostThread* self = Self();
  if (!RequireIrql(APC_LEVEL, "ExAcquireFastMutex")) return;
  if (mutex->Owner == self) {
    host::Violation("ExAcquireFastMutex: thread \"%s\" already owns fast mutex %p; fast mutexes are not recursive "
                    "(deadlock)",
                    self->name.c_str(), static_cast<void*>(mutex));
    return;
  }
  const KIRQL old = self->irql;
  if (mutex->Count == 1 && mutex->Owner == nullptr) {
    mutex->Count = 0;
    mutex->Owner = self;
    TakeOwnership(mutex, self, true);
  } else {
    if (mutex->Count != 0 || MutexOwner(mutex) == nullptr) {
      host::Violation("ExAcquireFastMutex on %p, which is not an initialised fast mutex", static_cast<void*>(mutex));
      return;
    }
    std::string chain;
    if (WouldDeadlock(self, mutex, "fast mutex", &chain)) {
      host::Violation("deadlock: thread \"%s\" waits for %s", self->name.c_str(), chain.c_str());
      return;
    }
    if (!CheckMayWait(self, "ExAcquireFastMutex")) return;
    mutex->Contention++;
    G().waiters[mutex].push_back(self);
    WaitRequest request;
    request.what = "fast mutex";
    request.object = mutex;
    if (Block(self, request) != WaitEnd::kSatisfied) {
      RemoveWaiter(mutex, self);
      return;  // not acquired; the violation has been reported
    }
    // ExReleaseFastMutex handed the mutex over (Owner and ownership are set).
  }
  mutex->OldIrql = old;
  self->irql = APC_LEVEL;
}

void ExReleaseFastMutex(PFAST_MUTEX mutex) {
  HostThread* self = Self();
  if (mutex->Owner != self) {
    HostThread* owner = MutexOwner(mutex);
    host::Violation("ExReleaseFastMutex: thread \"%s\" releases fast mutex %p %s%s%s", self->name.c_str(),
                    static_cast<void*>(mutex), owner != nullptr ? "owned by \"" : "that nobody owns",
                    owner != nullptr ? owner->name.c_str() : "", owner != nullptr ? "\"" : "");
    return;
  }
  if (self->irql != APC_LEVEL)
    host::Violation("ExReleaseFastMutex at IRQL %s; a fast mutex is held at APC_LEVEL", IrqlName(self->irql));
  const KIRQL old = static_cast<KIRQL>(mutex->OldIrql);
  DropOwnership(mutex, self);
  PassFastMutex(mutex);
  self->irql = old;
  InterleavePoint();
}

// ---------------------------------------------------------------------------
// Spin locks. A thread holding one runs at DISPATCH_LEVEL and cannot wait, so
// a spin lock never has to spin here: finding it taken is always a bug.

void KeInitializeSpinLock(PKSPIN_LOCK lock) {
  auto it = G().held.find(Addr(lock));
  if (it != G().held.end()) {
    host::Violation("KeInitializeSpinLock on spin lock %p held by thread \"%s\"", static_cast<void*>(lock),
                    it->second->name.c_str());
    return;
  }
  *lock = 0;
}

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK lock) {
  HostThread* self = Self();
  const KIRQL old = self->irql;
  if (!RequireIrql(DISPATCH_LEVEL, "KeAcquireSpinLock")) return old;
  InterleavePoint();
  self->irql = DISPATCH_LEVEL;
  AcquireLock(lock, self, "KeAcquireSpinLock");
  return old;
}

void KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL newIrql) {
  HostThread* self = Self();
  ReleaseLock(lock, self, "KeReleaseSpinLock");
  if (newIrql > self->irql) {
    host::Violation("KeReleaseSpinLock to IRQL %s, above the current %s", IrqlName(newIrql), IrqlName(self->irql));
    return;
  }
  self->irql = newIrql;
  InterleavePoint();
}

void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK lock) {
  HostThread* self = Self();
  if (self->irql < DISPATCH_LEVEL)
    host::Violation("KeAcquireSpinLockAtDpcLevel at IRQL %s; the caller must be at DISPATCH_LEVEL",
                    IrqlName(self->irql));
  InterleavePoint();
  AcquireLock(lock, self, "KeAcquireSpinLockAtDpcLevel");
}

void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK lock) {
  ReleaseLock(lock, Self(), "KeReleaseSpinLockFromDpcLevel");
  InterleavePoint();
}
