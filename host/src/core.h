// Private to the scheduler, synchronisation, timer and I/O modules of the host:
// host-thread records, the blocking primitive every wait is built on, the
// timeline, and the per-module hooks for freed-memory checks and reset.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <host/api/host.h>

namespace host::internal {

// One host thread. Every field is touched only by the thread holding the
// baton, so none needs a lock of its own.
struct HostThread {
  enum class State { kNew, kRunning, kBlocked, kDone };

  std::string name;
  State state = State::kNew;
  KIRQL irql = PASSIVE_LEVEL;
  bool system = false;   // a worker the host started (work items)
  bool discard = false;  // Reset: leave without running the body
  std::function<void()> body;
  std::thread os;
  std::condition_variable cv;  // waited on (with the baton mutex) until the baton arrives

  // What a blocked thread waits for.
  std::string waitWhat;
  const void* waitObject = nullptr;
  const std::function<bool()>* until = nullptr;
  uint64_t deadlineItem = 0;  // timeline id, 0: no deadline
  int64_t deadline = 0;
  bool deadlineFired = false;
  bool signalled = false;  // an object satisfied the wait
  bool abandoned = false;  // the wait could never end and was given up
  uint64_t readyStamp = 0;  // non-zero while runnable; smaller runs first
  uint64_t blockedSince = 0;

  int eventDepth = 0;  // > 0 while a queued event runs on this thread
  int quiet = 0;       // > 0 while host code runs that has no interleaving points
  std::vector<PKSPIN_LOCK> spinLocks;
  std::vector<const void*> mutexes;  // KMUTEX and FAST_MUTEX objects owned
};

// The calling host thread. The first thread to use the host becomes "main".
HostThread* Self();
const char* IrqlName(KIRQL irql);

enum class WaitEnd { kSatisfied, kTimeout, kAbandoned, kIdle };

struct WaitRequest {
  std::string what = "wait";
  const void* object = nullptr;
  const std::function<bool()>* until = nullptr;
  bool hasDeadline = false;
  int64_t deadline = 0;       // virtual time
  bool stopWhenIdle = false;  // end with kIdle when nothing else can happen
};

// Blocks the calling thread, which holds the baton, until an object signals
// it (Wake), `until` holds, the deadline passes, or nothing can ever end the
// wait (a violation, then kAbandoned). Meanwhile it passes the baton to
// runnable threads and runs the timeline.
WaitEnd Block(HostThread* self, const WaitRequest& request);
// An object satisfied the wait of blocked thread `t`.
void Wake(HostThread* t);
// Checks shared by every routine that waits; false after a violation.
bool CheckMayWait(HostThread* self, const char* routine);

// Threads.
std::shared_ptr<HostThread> StartThread(std::string name, std::function<void()> body, bool system);
void ForEachThread(const std::function<void(HostThread*)>& fn);
// Ends a host::Thread's record after its body finished (joins the OS thread).
void ReleaseThread(const std::shared_ptr<HostThread>& t);
std::string DescribeWait(const HostThread* t);

// Timeline (virtual-time event queue).
uint64_t Schedule(int64_t when, std::function<void()> fn, KIRQL irql, const char* what);
bool Unschedule(uint64_t id);
bool IsScheduled(uint64_t id);
// Takes a queued event out of the timeline and runs it now on the caller.
void RunScheduledNow(uint64_t id);
// Runs `fn` as an event would run: at `irql`, checked for IRQL and spin
// locks when it returns.
void RunAsEvent(HostThread* self, const std::function<void()>& fn, KIRQL irql, const char* what);

// Interleaving mode: a point where another processor could run queued
// events (see host.h for the model). Cheap when the mode is off.
void InterleavePoint();
// Host code that must not see interleaving points (it is not written to be
// re-entered) runs inside one of these.
class QuietInterleaving {
 public:
  QuietInterleaving() : self_(Self()) { self_->quiet++; }
  ~QuietInterleaving() { self_->quiet--; }
  QuietInterleaving(const QuietInterleaving&) = delete;
  QuietInterleaving& operator=(const QuietInterleaving&) = delete;

 private:
  HostThread* self_;
};
// Called by Reset: the mode off, or on with the next seed under OVRA_INTERLEAVE.
void ResetInterleaving();

// System time (100-ns units since 1601) at virtual time 0: 2024-01-01 00:00 UTC.
constexpr int64_t kSystemTimeAtBoot = 133485408000000000LL;
// A kernel due time or time-out: negative relative, positive absolute system
// time, zero now. The result is never before Now().
int64_t DueTimeToVirtual(LONGLONG due);

// Dispatcher objects: satisfy the waiters of an object whose state rose.
void SatisfyWaiters(DISPATCHER_HEADER* h);
bool HasWaiters(const void* object);

// Ownership of KMUTEX and FAST_MUTEX objects, for messages and deadlock checks.
HostThread* MutexOwner(const void* mutex);
// A thread ended owning mutexes: release them so that waiters go on.
void AbandonMutexes(HostThread* t);
// Releases the spin locks `t` acquired beyond the first `keep` (after a violation).
void DropSpinLocks(HostThread* t, size_t keep);

// Per-module checks for a pool block about to be freed ([lo, hi)).
void CheckFreedSync(uintptr_t lo, uintptr_t hi);
void CheckFreedTimers(uintptr_t lo, uintptr_t hi);
void CheckFreedWorkItems(uintptr_t lo, uintptr_t hi);
void CheckFreedIrps(uintptr_t lo, uintptr_t hi);
void CheckFreedWaits(uintptr_t lo, uintptr_t hi);

// Per-module resets, called by ResetScheduler and ResetIo.
void ResetSync();
void ResetTimers();
void ResetWorkItems();
// Fails with a violation when threads other than the caller are alive, then
// discards threads that never started and joins finished ones.
void CheckAndReapThreads();

// Work items still queued or running for a device (DeleteDevice refuses those).
size_t WorkItemsFor(PDEVICE_OBJECT device);
bool IsDeviceObject(PDEVICE_OBJECT device);

}  // namespace host::internal
