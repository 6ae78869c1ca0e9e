// Timers and DPCs: expiry times, periods, what cancelling does and does not
// undo, and freeing memory that still holds an armed timer or queued DPC.
#include "kernel_fixtures.h"

namespace {

using host::sched::kMillisecond;
using host::sched::Now;
using Times = std::vector<int64_t>;

struct Ticker {
  KTIMER timer;
  KDPC dpc;
  Times runs;  // ms
  KIRQL irql = PASSIVE_LEVEL;

  Ticker() {
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, &Tick, this);
  }
  static void Tick(PKDPC, PVOID context, PVOID, PVOID) {
    auto* self = static_cast<Ticker*>(context);
    self->runs.push_back(Now() / kMillisecond);
    self->irql = KeGetCurrentIrql();
  }
};

TEST(Timer, PeriodicTimerQueuesItsDpcAtDispatchAtEachExpiryUntilCancelled) {
  Ticker t;
  EXPECT_FALSE(KeSetTimerEx(&t.timer, kt::Relative(1000), 1000, &t.dpc));
  host::sched::RunFor(3500 * kMillisecond);
  EXPECT_EQ(t.runs, (Times{1000, 2000, 3000}));
  EXPECT_EQ(t.irql, DISPATCH_LEVEL);
  EXPECT_TRUE(KeCancelTimer(&t.timer));  // a periodic timer stays set between expiries
  EXPECT_FALSE(KeCancelTimer(&t.timer));
  host::sched::RunFor(2000 * kMillisecond);
  EXPECT_EQ(t.runs.size(), 3u);
}

TEST(Timer, CancellingAfterExpiryLeavesTheQueuedDpcToRun) {
  Ticker t;
  KeSetTimer(&t.timer, kt::Relative(10), &t.dpc);
  BOOLEAN cancelled = TRUE;
  // Runs after the expiry at the same time, before the DPC the expiry queued.
  host::sched::After(10 * kMillisecond, [&] { cancelled = KeCancelTimer(&t.timer); });
  host::sched::RunFor(20 * kMillisecond);
  EXPECT_FALSE(cancelled);
  EXPECT_EQ(t.runs, (Times{10}));
}

TEST(Dpc, QueuesOnceAndFlushingRunsItWithoutWaiting) {
  Ticker t;
  EXPECT_TRUE(KeInsertQueueDpc(&t.dpc, nullptr, nullptr));
  EXPECT_FALSE(KeInsertQueueDpc(&t.dpc, nullptr, nullptr));  // already queued
  KeFlushQueuedDpcs();
  EXPECT_EQ(t.runs, Times{0});
}

// Pool memory that holds an armed timer or a queued DPC must not be freed:
// the expiry or the DPC would write into freed memory.
template <typename T>
T* NewInPool() {
  return static_cast<T*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(T), host::pool::MakeTag("Test")));
}

const kt::Misuse kFrees[] = {
    {"ArmedTimer",
     [] {
       Ticker t;
       auto* timer = NewInPool<KTIMER>();
       KeInitializeTimer(timer);
       KeSetTimer(timer, kt::Relative(5), &t.dpc);
       ExFreePool(timer);
       host::sched::RunFor(10 * kMillisecond);  // the expiry must not touch the freed timer
       EXPECT_TRUE(t.runs.empty());
     },
     {"holds timer", "still set"}},
    {"QueuedDpc",
     [] {
       Ticker t;
       auto* dpc = NewInPool<KDPC>();
       KeInitializeDpc(dpc, &Ticker::Tick, &t);
       KeInsertQueueDpc(dpc, nullptr, nullptr);
       ExFreePool(dpc);
       host::sched::RunFor(0);
       EXPECT_TRUE(t.runs.empty());
     },
     {"holds DPC", "still queued"}},
};

KT_MISUSE_SUITE(Timer, FreedPool, kFrees);

}  // namespace
