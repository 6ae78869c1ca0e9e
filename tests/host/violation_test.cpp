// What stops the test outright: corrupt list links, bug checks, violations
// outside a capture, and a reset while host threads still run.
#include "kernel_fixtures.h"

namespace {

struct Fatal {
  const char* name;
  void (*body)();
  const char* pattern;
};

// Corrupts the list head <-> a <-> b one of three ways, then uses it.
void CorruptList(int how) {
  LIST_ENTRY head, a, b, c;
  InitializeListHead(&head);
  InsertTailList(&head, &a);
  InsertTailList(&head, &b);
  if (how == 0) b.Blink = &head, RemoveEntryList(&a);      // b no longer points back at a
  if (how == 1) a.Blink = &b, RemoveHeadList(&head);       // a no longer points back at the head
  if (how == 2) b.Flink = &a, InsertTailList(&head, &c);  // the tail does not close the ring
}

const Fatal kFatals[] = {
    {"RemoveWithACorruptNeighbour", [] { CorruptList(0); }, "host violation: corrupt list entry"},
    {"RemoveHeadOfACorruptList", [] { CorruptList(1); }, "corrupt list entry"},
    {"InsertIntoACorruptList", [] { CorruptList(2); }, "corrupt list entry"},
    {"BugCheck", [] { KeBugCheckEx(0x1E, 1, 2, 3, 4); },
     "host bug check: KeBugCheckEx 0x0000001E \\(0x1, 0x2, 0x3, 0x4\\)"},
    {"ViolationOutsideACapture", [] { host::Violation("made up %d", 42); },
     "host violation: made up 42\n  on thread \"main\" at IRQL PASSIVE_LEVEL"},
    {"ResetWhileAThreadWaits",
     [] {
       static KEVENT never;
       KeInitializeEvent(&never, NotificationEvent, FALSE);
       new host::Thread("stuck", [] { kt::Wait(&never); });
       host::sched::RunFor(kt::kMillisecond);
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

}  // namespace
