// What stops the test outright: corrupt list links, bug checks, violations
// outside a capture, and a reset while host threads still run.
#include "kernel_fixtures.h"

namespace {

struct Fatal {
  const char* name;
  void (*body)();
  const char* pattern;
};

struct Three {
  LIST_ENTRY head, a, b;
  Three() {
    InitializeListHead(&head);
    InsertTailList(&head, &a);
    InsertTailList(&head, &b);
  }
};

const Fatal kFatals[] = {
    {"RemoveWithACorruptNeighbour",
     [] {
       Three l;
       l.b.Blink = &l.head;  // b no longer points back at a
       RemoveEntryList(&l.a);
     },
     "host violation: corrupt list entry"},
    {"RemoveHeadOfACorruptList",
     [] {
       Three l;
       l.a.Blink = &l.b;
       RemoveHeadList(&l.head);
     },
     "corrupt list entry"},
    {"InsertIntoACorruptList",
     [] {
       Three l;
       l.b.Flink = &l.a;  // the tail does not close the ring
       LIST_ENTRY c;
       InsertTailList(&l.head, &c);
     },
     "corrupt list entry"},
    {"BugCheck", [] { KeBugCheckEx(0x1E, 1, 2, 3, 4); },
     "host bug check: KeBugCheckEx 0x0000001E \\(0x1, 0x2, 0x3, 0x4\\)"},
    {"ViolationOutsideACapture", [] { host::Violation("made up %d", 42); },
     "host violation: made up 42\n  on thread \"main\" at IRQL PASSIVE_LEVEL"},
    {"ResetWhileAThreadWaits",
     [] {
       static KEVENT never;
       KeInitializeEvent(&never, NotificationEvent, FALSE);
       new host::Thread("stuck", [] { KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr); });
       host::sched::RunFor(host::sched::kMillisecond);
       host::Reset();
     },
     "host reset with host threads still alive:\n  thread \"stuck\" waits for notification event"},
};

void PrintTo(const Fatal& f, std::ostream* os) { *os << f.name; }

class Stops : public ::testing::TestWithParam<Fatal> {};

TEST_P(Stops, TheProcessWithAClearMessage) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(GetParam().body(), GetParam().pattern);
}

INSTANTIATE_TEST_SUITE_P(Violation, Stops, ::testing::ValuesIn(kFatals),
                         [](const ::testing::TestParamInfo<Fatal>& info) { return info.param.name; });

TEST(Violation, CapturesNestAndRestore) {
  host::ViolationCapture outer;
  {
    host::ViolationCapture inner;
    host::Violation("first");
    EXPECT_TRUE(inner.Saw("first"));
  }
  host::Violation("second");
  EXPECT_EQ(outer.Messages(), std::vector<std::string>{"second"});
}

}  // namespace
