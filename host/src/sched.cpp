// The scheduler: one virtual clock, one timeline of events and deadlines, and
// a baton that exactly one host thread holds at a time. A thread lets go of
// the baton only inside a wait; while it waits it hands the baton to threads
// that became runnable (oldest first) and otherwise runs the timeline itself,
// so every run of a test interleaves the same way. In interleaving mode the
// running thread may also run queued events at the points host.h lists, as
// a seeded choice, so that runs still repeat exactly.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <unordered_map>

#include "core.h"
#include "internal.h"

namespace host {
namespace internal {
namespace {

struct Item {
  std::function<void()> fn;  // empty for a deadline
  HostThread* wake = nullptr;
  KIRQL irql = DISPATCH_LEVEL;
  const char* what = "event";
};

using Key = std::pair<int64_t, uint64_t>;  // (virtual time, sequence)

struct Scheduler {
  std::mutex batonLock;        // guards `running` and the hand-over
  HostThread* running = nullptr;
  std::vector<std::shared_ptr<HostThread>> threads;
  std::atomic<int64_t> now{0};
  std::map<Key, Item> timeline;
  std::unordered_map<uint64_t, int64_t> itemTime;  // id -> time, for removal
  uint64_t sequence = 0;
  uint64_t stamp = 0;
  uint64_t blockSequence = 0;
  size_t events = 0;  // timeline items that are events (not deadlines)

  bool realTime = false;
  double speed = 1.0;
  std::chrono::steady_clock::time_point wallAnchor;
  int64_t virtualAnchor = 0;

  // Interleaving mode.
  bool mixOn = false;
  InterleavingSettings mix;
  uint64_t mixState = 0;     // splitmix64 state
  uint64_t mixThreshold = 0;  // a draw below it runs events
  uint64_t mixInjected = 0;
  uint64_t mixResets = 0;  // resets seen under OVRA_INTERLEAVE
};

Scheduler& S() {
  static Scheduler* s = new Scheduler;  // never destroyed: threads may outlive static destruction
  return *s;
}

thread_local HostThread* t_self = nullptr;

void PaceTo(int64_t when) {
  Scheduler& s = S();
  if (!s.realTime || when <= s.virtualAnchor) return;
  const double seconds = double(when - s.virtualAnchor) / double(sched::kSecond) / s.speed;
  std::this_thread::sleep_until(s.wallAnchor + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                   std::chrono::duration<double>(seconds)));
}

uint64_t Insert(int64_t when, Item item) {
  Scheduler& s = S();
  const int64_t now = s.now.load();
  if (when < now) when = now;
  const uint64_t id = ++s.sequence;
  if (item.fn) s.events++;
  s.timeline.emplace(Key{when, id}, std::move(item));
  s.itemTime[id] = when;
  return id;
}

bool Remove(uint64_t id, bool eventsOnly) {
  Scheduler& s = S();
  auto t = s.itemTime.find(id);
  if (t == s.itemTime.end()) return false;
  auto it = s.timeline.find(Key{t->second, id});
  if (it == s.timeline.end()) return false;
  if (eventsOnly && !it->second.fn) return false;
  if (it->second.fn) s.events--;
  s.timeline.erase(it);
  s.itemTime.erase(t);
  return true;
}

// The runnable thread other than `self` that became runnable first, or null.
HostThread* PickReady(HostThread* self) {
  Scheduler& s = S();
  HostThread* best = nullptr;
  for (auto& sp : s.threads) {
    HostThread* t = sp.get();
    if (t == self) continue;
    bool ready = false;
    if (t->state == HostThread::State::kNew) {
      ready = !t->discard;
    } else if (t->state == HostThread::State::kBlocked) {
      ready = t->signalled || t->deadlineFired || t->abandoned || (t->until != nullptr && (*t->until)());
    }
    if (!ready) {
      t->readyStamp = 0;
      continue;
    }
    if (t->readyStamp == 0) t->readyStamp = ++s.stamp;
    if (best == nullptr || t->readyStamp < best->readyStamp) best = t;
  }
  return best;
}

// Gives the baton to `next` and sleeps until it comes back.
void SwitchTo(HostThread* self, HostThread* next) {
  Scheduler& s = S();
  std::unique_lock<std::mutex> lock(s.batonLock);
  s.running = next;
  next->cv.notify_one();
  self->cv.wait(lock, [&] { return s.running == self; });
}

// Runs the earliest timeline item; false when the timeline is empty.
bool RunNextItem(HostThread* self) {
  Scheduler& s = S();
  if (s.timeline.empty()) return false;
  auto it = s.timeline.begin();
  const int64_t when = it->first.first;
  const uint64_t id = it->first.second;
  Item item = std::move(it->second);
  s.timeline.erase(it);
  s.itemTime.erase(id);
  if (item.fn) s.events--;
  if (when > s.now.load()) {
    PaceTo(when);
    s.now.store(when);
  }
  if (item.wake != nullptr) {
    item.wake->deadlineFired = true;
    item.wake->deadlineItem = 0;
    if (item.wake->readyStamp == 0 && item.wake != self) item.wake->readyStamp = ++s.stamp;
  } else {
    RunAsEvent(self, item.fn, item.irql, item.what);
  }
  return true;
}

// Nothing queued, nothing runnable: `t` would wait for ever.
void ReportNeverEnds(HostThread* t, HostThread* reporter) {
  std::string others;
  ForEachThread([&](HostThread* o) {
    if (o == t || o->state != HostThread::State::kBlocked) return;
    others += "\n  " + DescribeWait(o);
  });
  Violation("wait can never end: %s; no event is queued and no other thread can run (seen by \"%s\")%s%s",
            DescribeWait(t).c_str(), reporter->name.c_str(), others.empty() ? "" : "; also blocked:", others.c_str());
}

void Finish(HostThread* self);

void ThreadMain(HostThread* t) {
  t_self = t;
  {
    Scheduler& s = S();
    std::unique_lock<std::mutex> lock(s.batonLock);
    t->cv.wait(lock, [&] { return s.running == t || t->discard; });
    if (s.running != t) return;  // discarded by Reset before it ever ran
  }
  t->state = HostThread::State::kRunning;
  t->readyStamp = 0;
  t->body();
  Finish(t);
}

// The body returned: check what it left behind, then pass the baton on.
void Finish(HostThread* self) {
  Scheduler& s = S();
  if (self->irql != PASSIVE_LEVEL) {
    Violation("thread \"%s\" ended at IRQL %s", self->name.c_str(), IrqlName(self->irql));
    self->irql = PASSIVE_LEVEL;
  }
  if (!self->spinLocks.empty()) {
    Violation("thread \"%s\" ended holding spin lock %p", self->name.c_str(), static_cast<void*>(self->spinLocks[0]));
    DropSpinLocks(self, 0);
  }
  if (!self->mutexes.empty()) {
    Violation("thread \"%s\" ended owning mutex %p (abandoned)", self->name.c_str(), self->mutexes[0]);
    AbandonMutexes(self);
  }
  self->body = nullptr;
  self->state = HostThread::State::kDone;
  for (;;) {
    if (HostThread* next = PickReady(self)) {
      std::lock_guard<std::mutex> lock(s.batonLock);
      s.running = next;
      next->cv.notify_one();
      return;
    }
    if (RunNextItem(self)) continue;
    // Every other thread waits for something that can no longer happen: end
    // the wait that began last (the oldest ones are usually the test's own
    // joins), so that the test can go on.
    HostThread* victim = nullptr;
    for (auto& sp : s.threads)
      if (sp->state == HostThread::State::kBlocked && (victim == nullptr || sp->blockedSince > victim->blockedSince))
        victim = sp.get();
    if (victim == nullptr) {
      std::lock_guard<std::mutex> lock(s.batonLock);
      s.running = nullptr;
      return;
    }
    ReportNeverEnds(victim, self);
    victim->abandoned = true;
  }
}

uint64_t NextRandom(Scheduler& s) {
  uint64_t z = (s.mixState += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

void ApplyInterleaving(const InterleavingSettings& settings) {
  Scheduler& s = S();
  s.mix = settings;
  if (s.mix.burst == 0) s.mix.burst = 1;
  if (s.mix.horizon < 0) s.mix.horizon = 0;
  const double p = std::min(std::max(settings.probability, 0.0), 1.0);
  s.mixOn = p > 0;
  s.mixThreshold = p >= 1.0 ? UINT64_MAX : uint64_t(p * 18446744073709551616.0);
  s.mixState = settings.seed;
  s.mixInjected = 0;
}

// OVRA_INTERLEAVE=<first seed>[:<probability>[:<horizon in microseconds>]], read once.
const InterleavingSettings* FromEnvironment() {
  static const InterleavingSettings* settings = []() -> InterleavingSettings* {
    const char* value = getenv("OVRA_INTERLEAVE");
    if (value == nullptr || *value == '\0') return nullptr;
    auto* out = new InterleavingSettings;
    char* end = nullptr;
    out->seed = strtoull(value, &end, 10);
    if (*end == ':') {
      out->probability = strtod(end + 1, &end);
      if (*end == ':') out->horizon = strtoll(end + 1, &end, 10) * sched::kMicrosecond;
    }
    return out;
  }();
  return settings;
}

}  // namespace

void InterleavePoint() {
  Scheduler& s = S();
  if (!s.mixOn) return;
  HostThread* self = t_self;
  if (self == nullptr || self->eventDepth > 0 || self->quiet > 0 || !self->spinLocks.empty() ||
      self->state != HostThread::State::kRunning)
    return;
  if (NextRandom(s) >= s.mixThreshold) return;
  unsigned budget = 1 + unsigned(NextRandom(s) % s.mix.burst);
  const int64_t limit = s.now.load() + s.mix.horizon;
  bool ran = false;
  while (budget-- > 0 && !s.timeline.empty() && s.timeline.begin()->first.first <= limit) {
    if (s.timeline.begin()->second.fn) s.mixInjected++;
    RunNextItem(self);
    ran = true;
  }
  // An APC those events queued for this thread interrupts it at once.
  if (ran && self->irql < APC_LEVEL) DeliverApcs();
}

void ResetInterleaving() {
  Scheduler& s = S();
  const InterleavingSettings* env = FromEnvironment();
  if (env == nullptr) {
    s.mixOn = false;
    s.mixInjected = 0;
    return;
  }
  InterleavingSettings settings = *env;
  settings.seed = env->seed + s.mixResets++;
  ApplyInterleaving(settings);
  fprintf(stderr, "host: interleaving seed %" PRIu64 "\n", settings.seed);
}

HostThread* Self() {
  if (t_self != nullptr) return t_self;
  Scheduler& s = S();
  {
    std::lock_guard<std::mutex> lock(s.batonLock);
    if (s.running == nullptr) {
      auto main = std::make_shared<HostThread>();
      main->name = "main";
      main->state = HostThread::State::kRunning;
      s.threads.push_back(main);
      s.running = main.get();
      t_self = main.get();
      return t_self;
    }
  }
  fprintf(stderr, "host violation: a thread that is not a host thread called the host (create it as host::Thread)\n");
  abort();
}

void Wake(HostThread* t) {
  t->signalled = true;
  if (t->readyStamp == 0) t->readyStamp = ++S().stamp;
}

WaitEnd Block(HostThread* self, const WaitRequest& request) {
  Scheduler& s = S();
  if (self->eventDepth > 0) {
    Violation("%s inside a queued event on thread \"%s\": events must not wait", request.what.c_str(),
              self->name.c_str());
    return WaitEnd::kAbandoned;
  }
  self->state = HostThread::State::kBlocked;
  self->waitWhat = request.what;
  self->waitObject = request.object;
  self->until = request.until;
  self->signalled = false;
  self->deadlineFired = false;
  self->abandoned = false;
  self->blockedSince = ++s.blockSequence;
  self->deadline = request.hasDeadline ? std::max(request.deadline, s.now.load()) : 0;
  self->deadlineItem = request.hasDeadline ? Insert(self->deadline, Item{{}, self, PASSIVE_LEVEL, "deadline"}) : 0;

  WaitEnd end;
  for (;;) {
    if (self->signalled || (self->until != nullptr && (*self->until)())) {
      end = WaitEnd::kSatisfied;
      break;
    }
    if (self->deadlineFired) {
      end = WaitEnd::kTimeout;
      break;
    }
    if (self->abandoned) {
      end = WaitEnd::kAbandoned;
      break;
    }
    if (HostThread* next = PickReady(self)) {
      SwitchTo(self, next);
      continue;
    }
    if (request.stopWhenIdle && s.events == 0 &&
        (s.timeline.empty() || (s.timeline.size() == 1 && s.timeline.begin()->second.wake == self))) {
      end = WaitEnd::kIdle;
      break;
    }
    if (RunNextItem(self)) continue;
    ReportNeverEnds(self, self);
    end = WaitEnd::kAbandoned;
    break;
  }
  if (self->deadlineItem != 0) Remove(self->deadlineItem, false);
  self->deadlineItem = 0;
  self->state = HostThread::State::kRunning;
  self->waitWhat.clear();
  self->waitObject = nullptr;
  self->until = nullptr;
  self->signalled = self->deadlineFired = self->abandoned = false;
  self->readyStamp = 0;
  return end;
}

bool CheckMayWait(HostThread* self, const char* routine) {
  if (self->irql > APC_LEVEL) {
    std::string locks;
    if (!self->spinLocks.empty()) {
      char buf[64];
      snprintf(buf, sizeof buf, " holding spin lock %p", static_cast<void*>(self->spinLocks.back()));
      locks = buf;
    }
    Violation("%s at IRQL %s%s: waits are allowed only up to APC_LEVEL (thread \"%s\")", routine,
              IrqlName(self->irql), locks.c_str(), self->name.c_str());
    return false;
  }
  if (!self->spinLocks.empty()) {
    Violation("%s holding spin lock %p (thread \"%s\")", routine, static_cast<void*>(self->spinLocks.back()),
              self->name.c_str());
    return false;
  }
  if (self->eventDepth > 0) {
    Violation("%s inside a queued event on thread \"%s\": events must not wait", routine, self->name.c_str());
    return false;
  }
  return true;
}

void RunAsEvent(HostThread* self, const std::function<void()>& fn, KIRQL irql, const char* what) {
  const KIRQL saved = self->irql;
  const size_t locks = self->spinLocks.size();
  self->irql = irql;
  self->eventDepth++;
  fn();
  self->eventDepth--;
  if (self->irql != irql)
    Violation("%s returned at IRQL %s; it ran at %s", what, IrqlName(self->irql), IrqlName(irql));
  if (self->spinLocks.size() > locks) {
    Violation("%s returned holding spin lock %p", what, static_cast<void*>(self->spinLocks.back()));
    DropSpinLocks(self, locks);
  }
  self->irql = saved;
}

uint64_t Schedule(int64_t when, std::function<void()> fn, KIRQL irql, const char* what) {
  Item item;
  item.fn = std::move(fn);
  item.irql = irql;
  item.what = what;
  return Insert(when, std::move(item));
}

bool Unschedule(uint64_t id) { return Remove(id, true); }

bool IsScheduled(uint64_t id) { return S().itemTime.count(id) != 0; }

void RunScheduledNow(uint64_t id) {
  Scheduler& s = S();
  auto t = s.itemTime.find(id);
  if (t == s.itemTime.end()) return;
  auto it = s.timeline.find(Key{t->second, id});
  Item item = std::move(it->second);
  s.timeline.erase(it);
  s.itemTime.erase(t);
  s.events--;
  RunAsEvent(Self(), item.fn, item.irql, item.what);
}

std::shared_ptr<HostThread> StartThread(std::string name, std::function<void()> body, bool system) {
  Scheduler& s = S();
  HostThread* creator = Self();  // must be a host thread
  // Workers that finished are joined here, so their OS threads do not pile
  // up. Not the creator: a finished worker runs queued events (which may
  // queue work) while it hands the baton on.
  for (auto it = s.threads.begin(); it != s.threads.end();) {
    if ((*it)->system && (*it)->state == HostThread::State::kDone && it->get() != creator) {
      if ((*it)->os.joinable()) (*it)->os.join();
      it = s.threads.erase(it);
    } else {
      ++it;
    }
  }
  auto t = std::make_shared<HostThread>();
  t->name = std::move(name);
  t->body = std::move(body);
  t->system = system;
  t->readyStamp = ++s.stamp;
  s.threads.push_back(t);
  HostThread* raw = t.get();
  t->os = std::thread([raw] { ThreadMain(raw); });
  return t;
}

void ReleaseThread(const std::shared_ptr<HostThread>& t) {
  Scheduler& s = S();
  if (t->os.joinable()) {
    if (t->state == HostThread::State::kDone || t->discard)
      t->os.join();
    else
      t->os.detach();  // blocked for ever after a violation; the record stays so its wait stays valid
  }
  if (t->state == HostThread::State::kDone || t->discard)
    s.threads.erase(std::remove(s.threads.begin(), s.threads.end(), t), s.threads.end());
}

void ForEachThread(const std::function<void(HostThread*)>& fn) {
  // Copy: `fn` may not add threads, but be safe against it.
  auto threads = S().threads;
  for (auto& t : threads) fn(t.get());
}

std::string DescribeWait(const HostThread* t) {
  char buf[256];
  std::string out = "thread \"" + t->name + "\" ";
  if (t->state == HostThread::State::kNew) return out + "has not started";
  if (t->state != HostThread::State::kBlocked) return out + "is running";
  out += "waits for ";
  out += t->waitWhat.empty() ? "something" : t->waitWhat;
  if (t->waitObject != nullptr) {
    snprintf(buf, sizeof buf, " %p", t->waitObject);
    out += buf;
    if (HostThread* owner = MutexOwner(t->waitObject)) out += " held by \"" + owner->name + "\"";
  }
  if (t->deadlineItem != 0) {
    snprintf(buf, sizeof buf, " until t=%" PRId64, t->deadline);
    out += buf;
  } else {
    out += " with no time-out";
  }
  return out;
}

void CheckFreedWaits(uintptr_t lo, uintptr_t hi) {
  // Runs on every pool free: no copy of the thread list.
  for (auto& sp : S().threads) {
    const HostThread* t = sp.get();
    const uintptr_t object = reinterpret_cast<uintptr_t>(t->waitObject);
    if (t->state == HostThread::State::kBlocked && object >= lo && object < hi)
      Violation("freeing memory at %p while %s in it", reinterpret_cast<void*>(lo), DescribeWait(t).c_str());
  }
}

void CheckAndReapThreads() {
  Scheduler& s = S();
  HostThread* self = Self();
  std::string alive;
  for (auto& t : s.threads) {
    if (t.get() == self || t->state == HostThread::State::kDone) continue;
    if (t->state == HostThread::State::kNew && t->system) continue;  // a queued work item never started
    alive += "\n  " + DescribeWait(t.get());
  }
  if (!alive.empty()) Violation("host reset with host threads still alive:%s", alive.c_str());
  for (auto it = s.threads.begin(); it != s.threads.end();) {
    HostThread* t = it->get();
    if (t == self) {
      ++it;
      continue;
    }
    if (t->state == HostThread::State::kNew) {
      {
        std::lock_guard<std::mutex> lock(s.batonLock);
        t->discard = true;
        t->cv.notify_one();
      }
      if (t->os.joinable()) t->os.join();
      t->state = HostThread::State::kDone;
    }
    if (t->state == HostThread::State::kDone && t->system) {
      if (t->os.joinable()) t->os.join();
      it = s.threads.erase(it);
      continue;
    }
    ++it;  // a host::Thread's record goes with its object; a blocked one stays blocked
  }
}

void ResetScheduler() {
  Scheduler& s = S();
  HostThread* self = Self();
  s.timeline.clear();
  s.itemTime.clear();
  s.events = 0;
  s.now.store(0);
  s.realTime = false;
  s.speed = 1.0;
  self->irql = PASSIVE_LEVEL;
  self->spinLocks.clear();
  self->mutexes.clear();
  self->eventDepth = 0;
  self->quiet = 0;
  ResetSync();
  ResetTimers();
  ResetInterleaving();
}

}  // namespace internal

// ---------------------------------------------------------------------------
namespace sched {

using internal::S;

int64_t Now() { return internal::S().now.load(); }

EventId At(int64_t when, std::function<void()> fn, KIRQL irql, const char* what) {
  internal::Self();
  return internal::Schedule(when, std::move(fn), irql, what);
}

EventId After(int64_t delay, std::function<void()> fn, KIRQL irql, const char* what) {
  return At(Now() + std::max<int64_t>(delay, 0), std::move(fn), irql, what);
}

bool Cancel(EventId id) { return internal::Unschedule(id); }

size_t PendingEvents() { return internal::S().events; }

void RunFor(int64_t duration) {
  internal::HostThread* self = internal::Self();
  if (!internal::CheckMayWait(self, "sched::RunFor")) return;
  internal::WaitRequest request;
  request.what = "sched::RunFor";
  request.hasDeadline = true;
  request.deadline = Now() + std::max<int64_t>(duration, 0);
  internal::Block(self, request);
}

bool RunUntil(const std::function<bool()>& done, int64_t timeout) {
  internal::HostThread* self = internal::Self();
  if (done()) return true;
  if (!internal::CheckMayWait(self, "sched::RunUntil")) return false;
  internal::WaitRequest request;
  request.what = "sched::RunUntil";
  request.until = &done;
  request.hasDeadline = true;
  request.deadline = Now() + std::max<int64_t>(timeout, 0);
  return internal::Block(self, request) == internal::WaitEnd::kSatisfied;
}

bool RunUntilIdle(int64_t limit) {
  internal::HostThread* self = internal::Self();
  if (!internal::CheckMayWait(self, "sched::RunUntilIdle")) return false;
  internal::WaitRequest request;
  request.what = "sched::RunUntilIdle";
  request.hasDeadline = true;
  request.deadline = Now() + std::max<int64_t>(limit, 0);
  request.stopWhenIdle = true;
  return internal::Block(self, request) == internal::WaitEnd::kIdle;
}

void SetRealTime(bool on, double speed) {
  internal::Scheduler& s = internal::S();
  s.realTime = on;
  s.speed = speed > 0 ? speed : 1.0;
  s.wallAnchor = std::chrono::steady_clock::now();
  s.virtualAnchor = Now();
}

}  // namespace sched

// ---------------------------------------------------------------------------
void SetInterleaving(const InterleavingSettings& settings) { internal::ApplyInterleaving(settings); }

void SetInterleaving(uint64_t seed, double probability) {
  InterleavingSettings settings;
  settings.seed = seed;
  settings.probability = probability;
  internal::ApplyInterleaving(settings);
}

bool InterleavingOn() { return internal::S().mixOn; }

uint64_t InterleavedEvents() { return internal::S().mixInjected; }

uint64_t ExploreInterleavings(uint64_t first, unsigned count, const std::function<bool()>& body,
                              InterleavingSettings settings) {
  uint64_t failed = 0;
  for (unsigned i = 0; i < count && failed == 0; ++i) {
    Reset();
    settings.seed = first + i;
    SetInterleaving(settings);
    if (!body()) failed = settings.seed;
  }
  Reset();
  SetInterleaving(0, 0);
  return failed;
}

// ---------------------------------------------------------------------------
struct Thread::Impl {
  std::shared_ptr<internal::HostThread> thread;
};

Thread::Thread(std::string name, std::function<void()> body) : impl_(new Impl) {
  impl_->thread = internal::StartThread(std::move(name), std::move(body), false);
}

Thread::~Thread() {
  if (!Done()) Join();
  internal::ReleaseThread(impl_->thread);
}

void Thread::Join() {
  internal::HostThread* self = internal::Self();
  internal::HostThread* t = impl_->thread.get();
  if (t->state == internal::HostThread::State::kDone || t->discard) return;
  if (t == self) {
    Violation("thread \"%s\" joins itself", t->name.c_str());
    return;
  }
  if (!internal::CheckMayWait(self, "Thread::Join")) return;
  const std::function<bool()> done = [t] { return t->state == internal::HostThread::State::kDone; };
  internal::WaitRequest request;
  request.what = "thread \"" + t->name + "\" to finish";
  request.until = &done;
  internal::Block(self, request);
}

bool Thread::Done() const {
  return impl_->thread->state == internal::HostThread::State::kDone || impl_->thread->discard;
}

}  // namespace host

HOST_EXTERN_C void HostInterleavePoint(void) { host::internal::InterleavePoint(); }
