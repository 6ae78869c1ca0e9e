// Kernel timers and DPCs on the virtual timeline. A timer's expiry is an event
// at its due time: it signals the timer, satisfies its waiters, re-arms a
// periodic timer and queues the timer's DPC. A queued DPC is an event at the
// time it was queued, run at DISPATCH_LEVEL.
#include <algorithm>
#include <cinttypes>
#include <map>
#include <vector>

#include "core.h"
#include "internal.h"

namespace host::internal {
namespace {

constexpr UCHAR kDpcObjectType = 19;

struct TimerState {
  std::map<uintptr_t, uint64_t> timers;  // armed timer -> its expiry event
  std::map<uintptr_t, uint64_t> dpcs;    // queued DPC -> its event
};

TimerState& G() {
  static TimerState* s = new TimerState;
  return *s;
}

uintptr_t Addr(const void* p) { return reinterpret_cast<uintptr_t>(p); }

bool IsTimer(const KTIMER* timer) {
  return timer != nullptr && (timer->Header.Type == HostObjectNotificationTimer ||
                              timer->Header.Type == HostObjectSynchronizationTimer);
}

bool Disarm(PKTIMER timer) {
  auto it = G().timers.find(Addr(timer));
  if (it == G().timers.end()) return false;
  Unschedule(it->second);
  G().timers.erase(it);
  return true;
}

void Expire(PKTIMER timer);

void Arm(PKTIMER timer, int64_t when) {
  timer->DueTime.QuadPart = static_cast<ULONGLONG>(when);
  G().timers[Addr(timer)] = Schedule(when, [timer] { Expire(timer); }, DISPATCH_LEVEL, "timer expiry");
}

void Expire(PKTIMER timer) {
  G().timers.erase(Addr(timer));
  // A periodic timer stays in the timer queue: its DPC sees it set.
  if (timer->Period > 0) Arm(timer, static_cast<int64_t>(timer->DueTime.QuadPart) + timer->Period * sched::kMillisecond);
  timer->Header.SignalState = 1;
  SatisfyWaiters(&timer->Header);
  if (timer->Dpc != nullptr) {
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    KeInsertQueueDpc(timer->Dpc, reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(now.LowPart)),
                     reinterpret_cast<PVOID>(static_cast<LONG_PTR>(now.HighPart)));
  }
}

void RunDpc(PRKDPC dpc) {
  G().dpcs.erase(Addr(dpc));
  dpc->DpcData = nullptr;
  dpc->DeferredRoutine(dpc, dpc->DeferredContext, dpc->SystemArgument1, dpc->SystemArgument2);
}

}  // namespace

void CheckFreedTimers(uintptr_t lo, uintptr_t hi) {
  TimerState& g = G();
  for (auto it = g.timers.lower_bound(lo); it != g.timers.end() && it->first < hi;) {
    const auto* timer = reinterpret_cast<const KTIMER*>(it->first);
    Violation("freeing memory at %p that holds timer %p, still set (due at t=%" PRIu64 "); cancel it first",
              reinterpret_cast<void*>(lo), static_cast<const void*>(timer), uint64_t(timer->DueTime.QuadPart));
    Unschedule(it->second);
    it = g.timers.erase(it);
  }
  for (auto it = g.dpcs.lower_bound(lo); it != g.dpcs.end() && it->first < hi;) {
    Violation("freeing memory at %p that holds DPC %p, still queued", reinterpret_cast<void*>(lo),
              reinterpret_cast<void*>(it->first));
    Unschedule(it->second);
    it = g.dpcs.erase(it);
  }
}

void ResetTimers() {
  G().timers.clear();
  G().dpcs.clear();
}

}  // namespace host::internal

using namespace host::internal;

// ---------------------------------------------------------------------------
// Timers.

void KeInitializeTimerEx(PKTIMER timer, TIMER_TYPE type) {
  if (G().timers.count(Addr(timer)) != 0) {
    host::Violation("KeInitializeTimer on timer %p while it is set", static_cast<void*>(timer));
    Disarm(timer);
  }
  if (HasWaiters(timer)) host::Violation("KeInitializeTimer on timer %p while threads wait on it", static_cast<void*>(timer));
  timer->Header.Type = type == NotificationTimer ? HostObjectNotificationTimer : HostObjectSynchronizationTimer;
  timer->Header.Signalling = 0;
  timer->Header.Size = sizeof(KTIMER) / sizeof(LONG);
  timer->Header.Reserved1 = 0;
  timer->Header.SignalState = 0;
  InitializeListHead(&timer->Header.WaitListHead);
  timer->DueTime.QuadPart = 0;
  InitializeListHead(&timer->TimerListEntry);
  timer->Dpc = nullptr;
  timer->Processor = 0;
  timer->Period = 0;
}

void KeInitializeTimer(PKTIMER timer) { KeInitializeTimerEx(timer, NotificationTimer); }

BOOLEAN KeSetTimerEx(PKTIMER timer, LARGE_INTEGER dueTime, LONG periodMs, PKDPC dpc) {
  if (!RequireIrql(DISPATCH_LEVEL, "KeSetTimerEx")) return FALSE;
  if (!IsTimer(timer)) {
    host::Violation("KeSetTimer on %p, which is not an initialised timer", static_cast<void*>(timer));
    return FALSE;
  }
  if (periodMs < 0) {
    host::Violation("KeSetTimerEx with a negative period (%d ms)", int(periodMs));
    periodMs = 0;
  }
  const bool wasSet = Disarm(timer);
  timer->Header.SignalState = 0;
  timer->Dpc = dpc;
  timer->Period = periodMs;
  Arm(timer, DueTimeToVirtual(dueTime.QuadPart));
  InterleavePoint();
  return wasSet ? TRUE : FALSE;
}

BOOLEAN KeSetTimer(PKTIMER timer, LARGE_INTEGER dueTime, PKDPC dpc) { return KeSetTimerEx(timer, dueTime, 0, dpc); }

BOOLEAN KeCancelTimer(PKTIMER timer) {
  if (!RequireIrql(DISPATCH_LEVEL, "KeCancelTimer")) return FALSE;
  if (!IsTimer(timer)) {
    host::Violation("KeCancelTimer on %p, which is not an initialised timer", static_cast<void*>(timer));
    return FALSE;
  }
  InterleavePoint();  // the expiry may just have begun on another processor
  return Disarm(timer) ? TRUE : FALSE;
}

BOOLEAN KeReadStateTimer(PKTIMER timer) {
  if (!IsTimer(timer)) {
    host::Violation("KeReadStateTimer on %p, which is not an initialised timer", static_cast<void*>(timer));
    return FALSE;
  }
  return timer->Header.SignalState > 0 ? TRUE : FALSE;
}

// ---------------------------------------------------------------------------
// DPCs.

void KeInitializeDpc(PRKDPC dpc, PKDEFERRED_ROUTINE routine, PVOID context) {
  if (G().dpcs.count(Addr(dpc)) != 0) {
    host::Violation("KeInitializeDpc on DPC %p while it is queued", static_cast<void*>(dpc));
    KeRemoveQueueDpc(dpc);
  }
  dpc->Type = kDpcObjectType;
  dpc->Importance = 1;
  dpc->Number = 0;
  InitializeListHead(&dpc->DpcListEntry);
  dpc->DeferredRoutine = routine;
  dpc->DeferredContext = context;
  dpc->SystemArgument1 = nullptr;
  dpc->SystemArgument2 = nullptr;
  dpc->DpcData = nullptr;
}

BOOLEAN KeInsertQueueDpc(PRKDPC dpc, PVOID arg1, PVOID arg2) {
  if (dpc == nullptr || dpc->Type != kDpcObjectType || dpc->DeferredRoutine == nullptr) {
    host::Violation("KeInsertQueueDpc on %p, which is not an initialised DPC", static_cast<void*>(dpc));
    return FALSE;
  }
  if (G().dpcs.count(Addr(dpc)) != 0) return FALSE;
  dpc->SystemArgument1 = arg1;
  dpc->SystemArgument2 = arg2;
  dpc->DpcData = dpc;
  G().dpcs[Addr(dpc)] = Schedule(host::sched::Now(), [dpc] { RunDpc(dpc); }, DISPATCH_LEVEL, "DPC");
  InterleavePoint();
  return TRUE;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC dpc) {
  auto it = G().dpcs.find(Addr(dpc));
  if (it == G().dpcs.end()) return FALSE;
  Unschedule(it->second);
  G().dpcs.erase(it);
  dpc->DpcData = nullptr;
  return TRUE;
}

void KeFlushQueuedDpcs(void) {
  if (!RequireIrql(PASSIVE_LEVEL, "KeFlushQueuedDpcs")) return;
  // Every DPC queued now runs before this returns, in the order queued.
  std::vector<uint64_t> queued;
  for (auto& entry : G().dpcs) queued.push_back(entry.second);
  std::sort(queued.begin(), queued.end());
  for (uint64_t id : queued)
    if (IsScheduled(id)) RunScheduledNow(id);
}
