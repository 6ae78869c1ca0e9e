// Virtual time and the interleaving of host threads: the order and the
// virtual times at which sleeps, waits and timers end, across threads.
#include <memory>

#include "kernel_fixtures.h"

namespace {

using host::sched::kMillisecond;
using host::sched::Now;
using kt::Sleep;

struct World {
  const int64_t start = Now();
  std::vector<std::string> trace;  // "label@ms", the time relative to the start
  KEVENT sync, notify;
  KMUTEX mutex;
  KTIMER timer;
  std::vector<std::unique_ptr<host::Thread>> threads;

  World() {
    KeInitializeEvent(&sync, SynchronizationEvent, FALSE);
    KeInitializeEvent(&notify, NotificationEvent, FALSE);
    KeInitializeMutex(&mutex, 0);
    KeInitializeTimer(&timer);
  }
  void Spawn(const char* name, std::function<void()> body) {
    threads.push_back(std::make_unique<host::Thread>(name, std::move(body)));
  }
  void Mark(const std::string& label) { trace.push_back(label + "@" + std::to_string((Now() - start) / kMillisecond)); }
  // Waits (time-out in ms, negative: none) and marks "<who> ok" or "<who> timeout".
  void Wait(const std::string& who, void* object, int64_t timeoutMs = -1) {
    const NTSTATUS s = kt::Wait(object, timeoutMs);
    Mark(who + (s == STATUS_SUCCESS ? " ok" : s == STATUS_TIMEOUT ? " timeout" : " failed"));
  }
  void SpawnWaiter(const char* who, void* object, int64_t timeoutMs = -1) {
    Spawn(who, [=] { Wait(who, object, timeoutMs); });
  }
};

struct Scenario {
  const char* name;
  std::function<void(World&)> run;
  std::vector<std::string> expected;
};

const Scenario kScenarios[] = {
    // Equal deadlines end in the order the sleeps began: D's began at 0, C's second one at 5.
    {"SleepsEndInDeadlineOrderThenInTheOrderTheyBegan",
     [](World& w) {
       const std::pair<const char*, std::vector<int64_t>> sleepers[] = {
           {"A", {30}}, {"B", {10}}, {"C", {5, 15}}, {"D", {20}}};
       for (const auto& [who, sleeps] : sleepers)
         w.Spawn(who, [&w, who = who, sleeps = sleeps] {
           for (int64_t ms : sleeps) Sleep(ms);
           w.Mark(who);
         });
     },
     {"B@10", "D@20", "C@20", "A@30"}},
    {"SynchronizationEventReleasesOneWaiterPerSetInWaitOrder",
     [](World& w) {
       w.SpawnWaiter("A", &w.sync);
       w.SpawnWaiter("B", &w.sync);
       w.Spawn("C", [&w] {
         for (int64_t ms : {5, 2}) {
           Sleep(ms);
           KeSetEvent(&w.sync, 0, FALSE);
         }
         Sleep(1);
         w.Mark(KeReadStateEvent(&w.sync) == 0 ? "consumed" : "still set");
       });
     },
     {"A ok@5", "B ok@7", "consumed@8"}},
    {"NotificationEventReleasesEveryWaiterAfterTheSetterWaits",
     [](World& w) {
       w.SpawnWaiter("A", &w.notify);
       w.SpawnWaiter("B", &w.notify, 50);
       w.Spawn("C", [&w] {
         Sleep(5);
         KeSetEvent(&w.notify, 0, FALSE);
         w.Mark("C set");
         Sleep(1);
       });
     },
     {"C set@5", "A ok@5", "B ok@5"}},
    {"TimerSignalsItsWaiterAtItsDueTimeAndAShorterWaitTimesOutAtItsDeadline",
     [](World& w) {
       w.Spawn("T", [&w] { KeSetTimer(&w.timer, kt::Relative(25), nullptr); });
       w.SpawnWaiter("A", &w.timer);
       w.SpawnWaiter("B", &w.timer, 10);
     },
     {"B timeout@10", "A ok@25"}},
    {"MutexPassesToWaitersInWaitOrder",
     [](World& w) {
       const std::pair<const char*, int> holds[] = {{"A", 10}, {"B", 5}, {"C", 0}};
       for (auto [who, holdMs] : holds)
         w.Spawn(who, [&w, who = who, holdMs = holdMs] {
           w.Wait(who, &w.mutex);
           if (holdMs > 0) Sleep(holdMs);
           KeReleaseMutex(&w.mutex, FALSE);
         });
     },
     {"A ok@0", "B ok@10", "C ok@15"}},
};

void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }

class Interleaving : public ::testing::TestWithParam<Scenario> {};

TEST_P(Interleaving, HappensInTheExpectedOrderAtTheExpectedTimesOnEveryRun) {
  // Twice: the second run must not depend on how the OS scheduled the first.
  for (int run = 0; run < 2; run++) {
    World w;
    GetParam().run(w);
    for (auto& t : w.threads) t->Join();
    EXPECT_EQ(w.trace, GetParam().expected) << "run " << run;
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
}

TEST(Sched, EventsRunInTimeThenSchedulingOrderAndCancelledOnesNever) {
  std::string order;
  host::sched::At(10 * kMillisecond, [&] { order += "a"; });
  host::sched::At(5 * kMillisecond, [&] { order += "b"; });
  const auto c = host::sched::At(10 * kMillisecond, [&] { order += "c"; });
  host::sched::At(10 * kMillisecond, [&] { order += "d"; });
  EXPECT_TRUE(host::sched::Cancel(c));
  EXPECT_TRUE(host::sched::RunUntil([&] { return order.size() == 3; }, 50 * kMillisecond));
  EXPECT_EQ(order, "bad");
  EXPECT_EQ(Now(), 10 * kMillisecond);
  EXPECT_FALSE(host::sched::RunUntil([] { return false; }, 50 * kMillisecond));
  EXPECT_EQ(Now(), 60 * kMillisecond);
}

}  // namespace
