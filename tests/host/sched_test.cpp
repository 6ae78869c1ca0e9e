// Virtual time and the interleaving of host threads: the order and the
// virtual times at which sleeps, waits, timers and DPCs end, across threads.
#include <chrono>
#include <memory>

#include "kernel_fixtures.h"

namespace {

using host::sched::kMillisecond;
using host::sched::Now;

struct World {
  kt::Trace trace;
  KEVENT sync, notify;
  KMUTEX mutex;
  FAST_MUTEX fast;
  KTIMER timer;
  KDPC dpc;
  std::vector<std::unique_ptr<host::Thread>> threads;

  World() {
    KeInitializeEvent(&sync, SynchronizationEvent, FALSE);
    KeInitializeEvent(&notify, NotificationEvent, FALSE);
    KeInitializeMutex(&mutex, 0);
    ExInitializeFastMutex(&fast);
    KeInitializeTimer(&timer);
    KeInitializeDpc(
        &dpc, [](PKDPC, PVOID context, PVOID, PVOID) { KeSetEvent(static_cast<PKEVENT>(context), 0, FALSE); }, &sync);
  }
  void Spawn(const char* name, std::function<void()> body) {
    threads.push_back(std::make_unique<host::Thread>(name, std::move(body)));
  }
  // Waits with a time-out in ms (negative: none) and marks "<who> ok" or "<who> timeout".
  void Wait(const std::string& who, void* object, int64_t timeoutMs) {
    LARGE_INTEGER t = kt::Relative(timeoutMs);
    NTSTATUS s = KeWaitForSingleObject(object, Executive, KernelMode, FALSE, timeoutMs < 0 ? nullptr : &t);
    trace.Mark(who + (s == STATUS_SUCCESS ? " ok" : s == STATUS_TIMEOUT ? " timeout" : " failed"));
  }
  static void Sleep(int64_t ms) {
    LARGE_INTEGER t = kt::Relative(ms);
    KeDelayExecutionThread(KernelMode, FALSE, &t);
  }
};

struct Scenario {
  const char* name;
  std::function<void(World&)> run;
  std::vector<std::string> expected;
};

const Scenario kScenarios[] = {
    {"SleepsEndInDeadlineOrder",
     [](World& w) {
       w.Spawn("A", [&w] { w.Sleep(30);
         w.trace.Mark("A"); });
       w.Spawn("B", [&w] { w.Sleep(10);
         w.trace.Mark("B"); });
       w.Spawn("C", [&w] { w.Sleep(20);
         w.trace.Mark("C"); });
     },
     {"B@10", "C@20", "A@30"}},
    {"EqualDeadlinesEndInTheOrderTheSleepsBegan",
     [](World& w) {
       w.Spawn("A", [&w] { w.Sleep(5);
         w.Sleep(10);
         w.trace.Mark("A"); });
       w.Spawn("B", [&w] { w.Sleep(15);
         w.trace.Mark("B"); });
     },
     {"B@15", "A@15"}},
    {"SynchronizationEventReleasesOneWaiterPerSetInWaitOrder",
     [](World& w) {
       w.Spawn("A", [&w] { w.Wait("A", &w.sync, -1); });
       w.Spawn("B", [&w] { w.Wait("B", &w.sync, -1); });
       w.Spawn("C", [&w] {
         w.Sleep(5);
         KeSetEvent(&w.sync, 0, FALSE);
         w.Sleep(2);
         KeSetEvent(&w.sync, 0, FALSE);
         w.Sleep(1);
         w.trace.Mark(KeReadStateEvent(&w.sync) == 0 ? "consumed" : "still set");
       });
     },
     {"A ok@5", "B ok@7", "consumed@8"}},
    {"NotificationEventReleasesEveryWaiterAfterTheSetterWaits",
     [](World& w) {
       w.Spawn("A", [&w] { w.Wait("A", &w.notify, -1); });
       w.Spawn("B", [&w] { w.Wait("B", &w.notify, 50); });
       w.Spawn("C", [&w] {
         w.Sleep(5);
         KeSetEvent(&w.notify, 0, FALSE);
         w.trace.Mark("C set");
         w.Sleep(1);
       });
     },
     {"C set@5", "A ok@5", "B ok@5"}},
    {"TimerSignalsItsWaitersAtItsDueTime",
     [](World& w) {
       w.Spawn("T", [&w] { KeSetTimer(&w.timer, kt::Relative(25), nullptr); });
       w.Spawn("A", [&w] { w.Wait("A", &w.timer, -1); });
       w.Spawn("B", [&w] { w.Wait("B", &w.timer, 10); });
     },
     {"B timeout@10", "A ok@25"}},
    {"DpcOfATimerSignalsAWaiter",
     [](World& w) {
       KeSetTimer(&w.timer, kt::Relative(40), &w.dpc);
       w.Spawn("A", [&w] { w.Wait("A", &w.sync, 100); });
     },
     {"A ok@40"}},
    {"WaitTimesOutExactlyAtItsDeadline",
     [](World& w) { w.Spawn("A", [&w] { w.Wait("A", &w.notify, 100); }); },
     {"A timeout@100"}},
    {"MutexPassesToWaitersInWaitOrder",
     [](World& w) {
       w.Spawn("A", [&w] {
         w.Wait("A", &w.mutex, -1);
         w.Sleep(10);
         KeReleaseMutex(&w.mutex, FALSE);
       });
       w.Spawn("B", [&w] {
         w.Wait("B", &w.mutex, -1);
         w.Sleep(5);
         KeReleaseMutex(&w.mutex, FALSE);
       });
       w.Spawn("C", [&w] {
         w.Wait("C", &w.mutex, -1);
         KeReleaseMutex(&w.mutex, FALSE);
       });
     },
     {"A ok@0", "B ok@10", "C ok@15"}},
    {"FastMutexBlocksASecondThreadUntilReleased",
     [](World& w) {
       w.Spawn("A", [&w] {
         ExAcquireFastMutex(&w.fast);
         w.Sleep(10);
         ExReleaseFastMutex(&w.fast);
       });
       w.Spawn("B", [&w] {
         ExAcquireFastMutex(&w.fast);
         w.trace.Mark(KeGetCurrentIrql() == APC_LEVEL ? "B owns at APC" : "B owns");
         ExReleaseFastMutex(&w.fast);
         w.trace.Mark(KeGetCurrentIrql() == PASSIVE_LEVEL ? "B released" : "B released at wrong IRQL");
       });
     },
     {"B owns at APC@10", "B released@10"}},
};

void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }

class Interleaving : public ::testing::TestWithParam<Scenario> {};

TEST_P(Interleaving, HappensInTheExpectedOrderAtTheExpectedTimesOnEveryRun) {
  // Twice: the second run must not depend on how the OS scheduled the first.
  for (int run = 0; run < 2; run++) {
    World w;
    GetParam().run(w);
    for (auto& t : w.threads) t->Join();
    EXPECT_EQ(w.trace.Entries(), GetParam().expected) << "run " << run;
  }
}

INSTANTIATE_TEST_SUITE_P(Sched, Interleaving, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Scenario>& info) { return info.param.name; });

TEST(Sched, ANewThreadRunsOnlyWhenItsCreatorWaits) {
  bool ran = false;
  host::Thread t("T", [&] { ran = true; });
  EXPECT_FALSE(ran);
  host::sched::RunFor(0);
  EXPECT_TRUE(ran);
  EXPECT_TRUE(t.Done());
}

TEST(Sched, EventsAtOneTimeRunInSchedulingOrderAndCancelledOnesNever) {
  std::string order;
  host::sched::At(10 * kMillisecond, [&] { order += "a"; });
  host::sched::At(5 * kMillisecond, [&] { order += "b"; });
  const auto c = host::sched::At(10 * kMillisecond, [&] { order += "c"; });
  host::sched::At(10 * kMillisecond, [&] { order += "d"; });
  EXPECT_TRUE(host::sched::Cancel(c));
  EXPECT_FALSE(host::sched::Cancel(c));
  EXPECT_EQ(host::sched::PendingEvents(), 3u);
  EXPECT_TRUE(host::sched::RunUntilIdle());
  EXPECT_EQ(order, "bad");
  EXPECT_EQ(Now(), 10 * kMillisecond);
}

TEST(Sched, RunUntilStopsWhenTheConditionHoldsOrAtTheTimeOut) {
  bool flag = false;
  host::sched::After(7 * kMillisecond, [&] { flag = true; });
  EXPECT_TRUE(host::sched::RunUntil([&] { return flag; }, 50 * kMillisecond));
  EXPECT_EQ(Now(), 7 * kMillisecond);
  EXPECT_FALSE(host::sched::RunUntil([] { return false; }, 50 * kMillisecond));
  EXPECT_EQ(Now(), 57 * kMillisecond);
}

TEST(Sched, RunUntilIdleStopsAtItsLimitWhileAPeriodicTimerRuns) {
  KTIMER timer;
  KeInitializeTimer(&timer);
  KeSetTimerEx(&timer, kt::Relative(1), 1, nullptr);
  EXPECT_FALSE(host::sched::RunUntilIdle(500 * kMillisecond));
  EXPECT_EQ(Now(), 500 * kMillisecond);
  KeCancelTimer(&timer);
  EXPECT_TRUE(host::sched::RunUntilIdle());
  EXPECT_EQ(Now(), 500 * kMillisecond);
}

TEST(Sched, ClocksAgreeWithVirtualTime) {
  LARGE_INTEGER before, after, frequency, ticks;
  KeQuerySystemTime(&before);
  host::sched::RunFor(host::sched::kSecond);
  KeQuerySystemTime(&after);
  EXPECT_EQ(after.QuadPart - before.QuadPart, host::sched::kSecond);
  EXPECT_EQ(KeQueryInterruptTime(), ULONGLONG(host::sched::kSecond));
  EXPECT_EQ(KeQueryPerformanceCounter(&frequency).QuadPart, frequency.QuadPart);  // one second of counts
  KeQueryTickCount(&ticks);
  EXPECT_EQ(ticks.QuadPart, 64);  // 15.625 ms ticks
}

TEST(Sched, RealTimeModeKeepsVirtualTimeBehindTheWallClock) {
  host::sched::SetRealTime(true, 100.0);
  const auto start = std::chrono::steady_clock::now();
  host::sched::RunFor(300 * kMillisecond);  // 3 ms of wall time at 100 times real time
  const auto elapsed = std::chrono::steady_clock::now() - start;
  host::sched::SetRealTime(false);
  EXPECT_GE(elapsed, std::chrono::milliseconds(3));
}

TEST(Sched, AbsoluteTimeOutsAreSystemTimes) {
  KEVENT e;
  KeInitializeEvent(&e, NotificationEvent, FALSE);
  LARGE_INTEGER deadline;
  KeQuerySystemTime(&deadline);
  deadline.QuadPart += 30 * kMillisecond;
  EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &deadline), STATUS_TIMEOUT);
  EXPECT_EQ(Now(), 30 * kMillisecond);
}

TEST(Sched, AWaitThatCanNeverEndIsReportedAndGivenUp) {
  KEVENT e;
  KeInitializeEvent(&e, NotificationEvent, FALSE);
  host::ViolationCapture capture;
  EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr), STATUS_TIMEOUT);
  EXPECT_TRUE(capture.Saw("wait can never end: thread \"main\" waits for notification event")) << capture.Messages()[0];
}

TEST(Sched, AThreadBlockedForEverIsReportedWhenTheLastRunnableThreadEnds) {
  KEVENT e;
  KeInitializeEvent(&e, NotificationEvent, FALSE);
  host::ViolationCapture capture;
  NTSTATUS status = STATUS_SUCCESS;
  host::Thread waiter("waiter", [&] { status = KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr); });
  host::Thread quick("quick", [] { World::Sleep(1); });
  waiter.Join();
  quick.Join();
  EXPECT_EQ(status, STATUS_TIMEOUT);
  ASSERT_EQ(capture.Messages().size(), 1u);
  EXPECT_TRUE(capture.Saw("thread \"waiter\" waits for notification event")) << capture.Messages()[0];
  EXPECT_TRUE(capture.Saw("seen by \"quick\"")) << capture.Messages()[0];
}

TEST(Sched, QueuedEventsMustNotWait) {
  host::ViolationCapture capture;
  host::sched::After(
      kMillisecond, [] { World::Sleep(1); }, PASSIVE_LEVEL, "test event");
  host::sched::RunFor(2 * kMillisecond);
  EXPECT_TRUE(capture.Saw("inside a queued event")) << ::testing::PrintToString(capture.Messages());
}

}  // namespace
