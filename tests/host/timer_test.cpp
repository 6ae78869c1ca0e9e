// Timers and DPCs: expiry times, periods, what cancelling does and does not
// undo, and freeing memory that still holds an armed timer or queued DPC.
#include "kernel_fixtures.h"

namespace {

using host::sched::kMillisecond;
using host::sched::Now;

struct Ticker {
  KTIMER timer;
  KDPC dpc;
  std::vector<int64_t> runs;  // ms
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

TEST(Timer, PeriodicTimerQueuesItsDpcAtEachExpiryUntilCancelled) {
  Ticker t;
  EXPECT_FALSE(KeSetTimerEx(&t.timer, kt::Relative(1000), 1000, &t.dpc));
  host::sched::RunFor(3500 * kMillisecond);
  EXPECT_EQ(t.runs, (std::vector<int64_t>{1000, 2000, 3000}));
  EXPECT_EQ(t.irql, DISPATCH_LEVEL);
  EXPECT_TRUE(KeCancelTimer(&t.timer));  // a periodic timer stays set between expiries
  EXPECT_FALSE(KeCancelTimer(&t.timer));
  host::sched::RunFor(2000 * kMillisecond);
  EXPECT_EQ(t.runs.size(), 3u);
}

TEST(Timer, SettingASetTimerReplacesItsDueTime) {
  Ticker t;
  KeSetTimer(&t.timer, kt::Relative(10), &t.dpc);
  EXPECT_TRUE(KeSetTimer(&t.timer, kt::Relative(30), &t.dpc));
  host::sched::RunFor(100 * kMillisecond);
  EXPECT_EQ(t.runs, (std::vector<int64_t>{30}));
  EXPECT_TRUE(KeReadStateTimer(&t.timer));
  EXPECT_FALSE(KeCancelTimer(&t.timer));  // expired: no longer set
}

TEST(Timer, AbsoluteDueTimeIsASystemTime) {
  Ticker t;
  LARGE_INTEGER due;
  KeQuerySystemTime(&due);
  due.QuadPart += 50 * kMillisecond;
  KeSetTimer(&t.timer, due, &t.dpc);
  host::sched::RunFor(100 * kMillisecond);
  EXPECT_EQ(t.runs, (std::vector<int64_t>{50}));
}

TEST(Timer, CancellingAfterExpiryLeavesTheQueuedDpcToRun) {
  Ticker t;
  KeSetTimer(&t.timer, kt::Relative(10), &t.dpc);
  BOOLEAN cancelled = TRUE;
  // Runs after the expiry at the same time, before the DPC the expiry queued.
  host::sched::After(10 * kMillisecond, [&] { cancelled = KeCancelTimer(&t.timer); });
  host::sched::RunFor(20 * kMillisecond);
  EXPECT_FALSE(cancelled);
  EXPECT_EQ(t.runs, (std::vector<int64_t>{10}));
}

TEST(Dpc, QueuesOnceRemovesAndFlushes) {
  Ticker t;
  EXPECT_TRUE(KeInsertQueueDpc(&t.dpc, nullptr, nullptr));
  EXPECT_FALSE(KeInsertQueueDpc(&t.dpc, nullptr, nullptr));  // already queued
  EXPECT_TRUE(KeRemoveQueueDpc(&t.dpc));
  EXPECT_FALSE(KeRemoveQueueDpc(&t.dpc));
  host::sched::RunFor(kMillisecond);
  EXPECT_TRUE(t.runs.empty());

  EXPECT_TRUE(KeInsertQueueDpc(&t.dpc, nullptr, nullptr));
  KeFlushQueuedDpcs();  // runs it now, without waiting
  EXPECT_EQ(t.runs.size(), 1u);
  EXPECT_EQ(host::sched::PendingEvents(), 0u);
  EXPECT_TRUE(KeInsertQueueDpc(&t.dpc, nullptr, nullptr));  // may be queued again
  host::sched::RunFor(0);
  EXPECT_EQ(t.runs.size(), 2u);
}

// Pool memory that holds a live timer, DPC or lock must not be freed: the
// expiry or the DPC would write into freed memory.
struct Block {
  KEVENT event;
  KTIMER timer;
  KDPC dpc;
  KSPIN_LOCK lock;
  Ticker* ticker;
};

Block* NewBlock(Ticker& t) {
  auto* b = static_cast<Block*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(Block), host::pool::MakeTag("Test")));
  KeInitializeTimer(&b->timer);
  KeInitializeDpc(&b->dpc, &Ticker::Tick, &t);
  KeInitializeSpinLock(&b->lock);
  KeInitializeEvent(&b->event, NotificationEvent, FALSE);
  return b;
}

const kt::Misuse kFrees[] = {
    {"ArmedTimer",
     [] {
       Ticker t;
       Block* b = NewBlock(t);
       KeSetTimer(&b->timer, kt::Relative(5), &b->dpc);
       ExFreePool(b);
       host::sched::RunFor(10 * kMillisecond);  // the expiry must not touch the freed block
       EXPECT_TRUE(t.runs.empty());
     },
     {"holds timer", "still set"}},
    {"QueuedDpc",
     [] {
       Ticker t;
       Block* b = NewBlock(t);
       KeInsertQueueDpc(&b->dpc, nullptr, nullptr);
       ExFreePool(b);
       host::sched::RunFor(0);
       EXPECT_TRUE(t.runs.empty());
     },
     {"holds DPC", "still queued"}},
    {"HeldSpinLock",
     [] {
       Ticker t;
       Block* b = NewBlock(t);
       KIRQL old = KeAcquireSpinLockRaiseToDpc(&b->lock);
       ExFreePool(b);
       KeLowerIrql(old);
     },
     {"holds spin lock"}},
    {"EventAThreadWaitsOn",
     [] {
       Ticker t;
       Block* b = NewBlock(t);
       NTSTATUS status = STATUS_PENDING;
       host::Thread waiter("w", [&] {
         LARGE_INTEGER timeout = kt::Relative(10);
         status = KeWaitForSingleObject(&b->event, Executive, KernelMode, FALSE, &timeout);
       });
       host::sched::RunFor(kMillisecond);
       ExFreePool(b);
       waiter.Join();
       EXPECT_EQ(status, STATUS_TIMEOUT);
     },
     {"while thread \"w\" waits for notification event"}},
    {"ExpiredTimerAndRunDpcAreFine",
     [] {
       Ticker t;
       Block* b = NewBlock(t);
       KeSetTimer(&b->timer, kt::Relative(5), &b->dpc);
       host::sched::RunFor(10 * kMillisecond);
       ExFreePool(b);
       EXPECT_EQ(t.runs.size(), 1u);
     },
     {}},
};

class FreedPool : public ::testing::TestWithParam<kt::Misuse> {};
TEST_P(FreedPool, HoldingLiveKernelObjectsIsReported) { kt::ExpectViolations(GetParam()); }
INSTANTIATE_TEST_SUITE_P(Timer, FreedPool, ::testing::ValuesIn(kFrees), kt::MisuseName);

}  // namespace
