// The host platform's own C++ interface, for tests, tools and the emulator:
// virtual time and the scheduler, host threads, verifier-style violations,
// pool statistics and fault injection, the debug log and the registry.
//
// Execution model. Every thread that touches the host is a host thread; one
// of them runs at a time (it holds the baton). A thread gives up the baton only
// when it waits (KeWaitForSingleObject, KeDelayExecutionThread, a mutex, or
// the sched:: calls below). While no thread can run, the waiting thread runs
// the event queue in virtual-time order: DPCs, timer expiries and bus
// completions run inline at DISPATCH_LEVEL; work items run on system worker
// host threads at PASSIVE_LEVEL. So every run is deterministic, and seconds of
// virtual time cost microseconds.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "../nt.h"

namespace host {

// ---------------------------------------------------------------------------
// Whole-host lifecycle.

// Returns the host to its initial state: clock 0, empty queue, no pool blocks,
// empty log and registry (the standard keys exist), no fault injection. Run
// by the test main before every test; fails the test (violation) if host
// threads other than the caller are still alive.
void Reset();

// ---------------------------------------------------------------------------
// Violations: what Driver Verifier would stop the machine for (IRQL rules,
// double free, freeing memory with an armed timer, completing an IRP twice,
// a wait that can never end...). By default a violation prints its message
// and the tail of the debug log and aborts the process, which fails the test.
// Inside a ViolationCapture the message is recorded instead and the routine
// returns as safely as it can (an error status where it has one).
void Violation(const char* format, ...) __attribute__((format(printf, 1, 2)));

class ViolationCapture {
 public:
  ViolationCapture();
  ~ViolationCapture();
  ViolationCapture(const ViolationCapture&) = delete;
  ViolationCapture& operator=(const ViolationCapture&) = delete;
  const std::vector<std::string>& Messages() const;
  bool Saw(std::string_view substring) const;

 private:
  std::vector<std::string> messages_;
  ViolationCapture* previous_;
  friend void Violation(const char*, ...);
};

// ---------------------------------------------------------------------------
// Virtual time (100-ns units since boot) and the event queue.
namespace sched {

constexpr int64_t kMicrosecond = 10;
constexpr int64_t kMillisecond = 10'000;
constexpr int64_t kSecond = 10'000'000;

using EventId = uint64_t;

int64_t Now();

// Runs `fn` at virtual time `when` (not before Now()) at `irql` (PASSIVE_LEVEL
// or DISPATCH_LEVEL), on whichever thread runs the queue. Events at the same
// time run in the order they were scheduled.
EventId At(int64_t when, std::function<void()> fn, KIRQL irql = DISPATCH_LEVEL, const char* what = "event");
EventId After(int64_t delay, std::function<void()> fn, KIRQL irql = DISPATCH_LEVEL, const char* what = "event");
// True if the event was still queued.
bool Cancel(EventId id);
size_t PendingEvents();

// The calling thread sleeps for `duration` of virtual time (the queue runs).
void RunFor(int64_t duration);
// Sleeps until `done()` is true, checking after each event and thread switch;
// false if `timeout` of virtual time passed first.
bool RunUntil(const std::function<bool()>& done, int64_t timeout);
// Runs until no event is queued and no other thread can run, but at most
// `limit` of virtual time; false if the limit was reached.
bool RunUntilIdle(int64_t limit = 60 * kSecond);

// Real-time pacing (for people watching a capture): virtual time does not run
// ahead of the wall clock multiplied by `speed`. Off by default.
void SetRealTime(bool on, double speed = 1.0);

}  // namespace sched

// ---------------------------------------------------------------------------
// Interleaving mode (off by default): the host's stand-in for a second
// processor. At every point where Windows could preempt the running code or
// another processor could run queued work, the host may, seeded, run queued
// events first: DPCs, timer expiries, the bus's completions, in queue order
// and inline, as if another processor ran them between two instructions.
//
// The points: before a spin lock is acquired and after one is released, after
// any mutex release or IRQL lowering, before and after every Interlocked
// operation of code outside the host, after KeInsertQueueDpc and KeSetTimer,
// before KeCancelTimer, after KeReadStateEvent.
//
// The model, from the kernel's rules:
// - Events run at a point only while the running thread holds no spin lock.
//   The other processor would spin on a lock held here until its release,
//   so running there earlier than the release is impossible; and because an
//   event cannot be told in advance which locks it takes, none is run while
//   any is held. The release itself is a point, which covers the case.
// - Nothing is injected inside a queued event (a DPC, a completion): a DPC is
//   not preempted by another DPC on its processor, and the host's own event
//   handlers (the bus) are not written to be re-entered. The concurrency
//   modelled is therefore thread code against event code, the interesting
//   half for a driver's PASSIVE paths racing its completion routines.
// - Raising the IRQL (KeRaiseIrql, a fast mutex) does not stop the other
//   processor: a thread at DISPATCH_LEVEL without a spin lock can still see
//   events run at its points.
// - An event may run before its due time passes in real terms only by the
//   clock moving forward to it: a point may advance virtual time by up to
//   `horizon`, as if the thread had been preempted that long. Events are
//   never run before their due time and always in queue order.
// - A kernel APC that such events queue for the running thread (the I/O
//   manager finishing a request the thread built) is delivered right after
//   them when the thread runs below APC_LEVEL, as the kernel interrupts it.
// - Thread switches still happen only at waits: host threads are not
//   preempted by one another.
// - The host's own code (the I/O manager's cancel path, the bus) has no
//   points: it is the platform, not the code under test.
//
// `seed` makes every choice reproducible; `probability` is the chance that a
// point runs events (then it runs 1..`burst` of them). Probability 0 turns the
// mode off. host::Reset keeps it off unless OVRA_INTERLEAVE is set:
//   OVRA_INTERLEAVE=<first seed>[:<probability>[:<horizon in microseconds>]]
// turns it on for every test, the n-th reset of the process using seed
// first + n (printed to stderr), so `--gtest_repeat=N` runs each test under N
// seeds; rerun one with OVRA_INTERLEAVE=<printed seed> and a --gtest_filter.
struct InterleavingSettings {
  uint64_t seed = 1;
  double probability = 0.5;
  int64_t horizon = sched::kMillisecond;
  unsigned burst = 4;
};
void SetInterleaving(const InterleavingSettings& settings);
void SetInterleaving(uint64_t seed, double probability);
bool InterleavingOn();
// Events run at interleaving points since the mode was last set.
uint64_t InterleavedEvents();
// Runs `body` on a freshly reset host once per seed first, first+1, ... under
// `settings` (its seed replaced), until it returns false. Returns that seed,
// or 0 when every run passed. The host is reset after the last run and the
// mode left off.
uint64_t ExploreInterleavings(uint64_t first, unsigned count, const std::function<bool()>& body,
                              InterleavingSettings settings = {});

// A host thread: a real thread that runs only while it holds the baton, so it
// interleaves with the others only at waits. Starts at PASSIVE_LEVEL and runs
// once the creating thread next waits. The destructor joins.
class Thread {
 public:
  Thread(std::string name, std::function<void()> body);
  ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;
  // Waits (in virtual time) until the body has returned.
  void Join();
  bool Done() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// ---------------------------------------------------------------------------
// Pool. Blocks are exact-size heap blocks (AddressSanitizer sees overruns),
// filled with a pattern at allocation (callers must zero what they rely on).
namespace pool {

struct Stats {
  uint64_t allocations = 0;  // successful, since Reset
  uint64_t frees = 0;
  uint64_t failures = 0;  // injected
  uint64_t outstanding = 0;
  uint64_t bytesOutstanding = 0;
};
Stats GetStats();
// Blocks outstanding with this tag (0: all tags).
uint64_t Outstanding(ULONG tag = 0);
// Human-readable list of outstanding blocks grouped by tag ("" when none).
std::string LeakReport();
// The tag as the four characters it reads in memory ("KCNw").
std::string TagName(ULONG tag);
constexpr ULONG MakeTag(const char (&s)[5]) {
  return ULONG(uint8_t(s[0])) | ULONG(uint8_t(s[1])) << 8 | ULONG(uint8_t(s[2])) << 16 | ULONG(uint8_t(s[3])) << 24;
}

// Fault injection. Every allocation counts, including the host's own on the
// driver's behalf (IRPs, work items), and each has a call site: the return
// address in the driver of the routine that allocated.
void FailNth(uint64_t n);       // the n-th allocation from now (1 = the next one) fails
void FailTag(ULONG tag);        // every allocation with this tag fails
void FailSite(uintptr_t site);  // every allocation from this call site fails
void ClearFaults();
uint64_t AllocationCount();          // allocations attempted since Reset
std::vector<uintptr_t> SitesSeen();  // distinct call sites since Reset, in first-seen order

}  // namespace pool

// ---------------------------------------------------------------------------
// The debug log written by DbgPrintEx.
namespace dbg {

struct Entry {
  ULONG component;
  ULONG level;
  int64_t time;
  std::string text;
};
std::vector<Entry> Entries();
// Entries whose text contains `substring` (and whose level is at most maxLevel).
size_t Count(std::string_view substring, ULONG maxLevel = 31);
bool Contains(std::string_view substring, ULONG maxLevel = 31);
// Index of the first entry at or after `from` containing the text, or -1.
long Find(std::string_view substring, size_t from = 0);
void Clear();
std::string Tail(size_t lines);
// Echo entries of at most this level to stderr as they are written (-1: off).
// The environment variable OVRA_LOG sets the initial value.
void SetEcho(int maxLevel);
// Whether DbgPrintEx formats and keeps entries at all (default on). A
// benchmark of driver code turns it off: the kernel does no such work for the
// levels nobody listens to. host::Reset restores the default.
void SetKeep(bool keep);

}  // namespace dbg

// ---------------------------------------------------------------------------
// The in-memory registry. Paths are absolute, case-insensitive, separated by
// backslashes: "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\ovrausb\\Parameters".
namespace reg {

struct Value {
  ULONG type = REG_NONE;
  std::vector<uint8_t> data;
};

std::string ServicesPath(std::string_view service);  // ...\Services\<service>
void CreateKey(std::string_view path);
void DeleteKey(std::string_view path);  // with its subkeys
bool KeyExists(std::string_view path);
void Set(std::string_view path, std::string_view name, ULONG type, std::vector<uint8_t> data);
void SetDword(std::string_view path, std::string_view name, uint32_t value);
void SetString(std::string_view path, std::string_view name, std::string_view value);  // REG_SZ, UTF-16
bool Get(std::string_view path, std::string_view name, Value* out);
std::vector<std::string> Values(std::string_view path);
std::vector<std::string> Subkeys(std::string_view path);
// The per-device key that IoOpenDeviceRegistryKey opens for this PDO.
std::string DeviceKeyPath(PDEVICE_OBJECT pdo, ULONG keyType);
// Open handles (ZwClose not yet called).
size_t OpenHandles();

}  // namespace reg

// ---------------------------------------------------------------------------
// I/O objects the host creates on behalf of the system.
namespace io {

// A driver object as the I/O manager makes it before calling DriverEntry.
PDRIVER_OBJECT CreateDriverObject(std::string_view serviceName);
void DeleteDriverObject(PDRIVER_OBJECT driver);
// Runs the driver's unload routine (if any) at PASSIVE_LEVEL.
void UnloadDriver(PDRIVER_OBJECT driver);

// A device object with `extensionBytes` of zeroed extension. `stackSize` is
// the number of stack locations an IRP sent to it needs.
PDEVICE_OBJECT CreateDevice(PDRIVER_OBJECT driver, ULONG extensionBytes, CCHAR stackSize, std::string_view name);
void DeleteDevice(PDEVICE_OBJECT device);
std::string DeviceName(PDEVICE_OBJECT device);

// IRPs allocated and not freed, and whether an address is one of them.
size_t LiveIrps();
bool IsLiveIrp(PIRP irp);
// Work items queued or running.
size_t ActiveWorkItems();

}  // namespace io

}  // namespace host
