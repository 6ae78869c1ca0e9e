// IRQL rules: what may run or wait at which level, and that DPCs and events
// run at the level they should.
#include "kernel_fixtures.h"

namespace {

void PageableRoutine() { PAGED_CODE(); }

void AtIrql(KIRQL irql, const std::function<void()>& fn) {
  KIRQL old;
  KeRaiseIrql(irql, &old);
  fn();
  KeLowerIrql(old);
}

NTSTATUS WaitMs(PKEVENT e, int64_t ms) {
  LARGE_INTEGER t = kt::Relative(ms);
  return KeWaitForSingleObject(e, Executive, KernelMode, FALSE, &t);
}

void RunDpc(PKDEFERRED_ROUTINE routine) {
  KDPC dpc;
  KeInitializeDpc(&dpc, routine, nullptr);
  KeInsertQueueDpc(&dpc, nullptr, nullptr);
  host::sched::RunFor(0);
}

KSPIN_LOCK g_lock;

const kt::Misuse kRules[] = {
    {"PagedCodeAtDispatch", [] { AtIrql(DISPATCH_LEVEL, PageableRoutine); },
     {"PageableRoutine: pageable code called at IRQL DISPATCH_LEVEL"}},
    {"PagedCodeAtApcIsAllowed", [] { AtIrql(APC_LEVEL, PageableRoutine); }, {}},
    {"TimedWaitAtDispatch",
     [] {
       KEVENT e;
       KeInitializeEvent(&e, NotificationEvent, FALSE);
       AtIrql(DISPATCH_LEVEL, [&] { EXPECT_EQ(WaitMs(&e, 100), STATUS_TIMEOUT); });
       EXPECT_EQ(host::sched::Now(), 0);  // it did not wait
     },
     {"KeWaitForSingleObject with a non-zero time-out at IRQL DISPATCH_LEVEL"}},
    {"PollAtDispatchIsAllowed",
     [] {
       KEVENT e;
       KeInitializeEvent(&e, NotificationEvent, TRUE);
       AtIrql(DISPATCH_LEVEL, [&] { EXPECT_EQ(WaitMs(&e, 0), STATUS_SUCCESS); });
     },
     {}},
    {"SleepHoldingASpinLock",
     [] {
       KeInitializeSpinLock(&g_lock);
       KIRQL old = KeAcquireSpinLockRaiseToDpc(&g_lock);
       LARGE_INTEGER t = kt::Relative(1);
       KeDelayExecutionThread(KernelMode, FALSE, &t);
       KeReleaseSpinLock(&g_lock, old);
     },
     {"KeDelayExecutionThread at IRQL DISPATCH_LEVEL holding spin lock"}},
    {"FastMutexAtDispatch",
     [] {
       FAST_MUTEX f;
       ExInitializeFastMutex(&f);
       AtIrql(DISPATCH_LEVEL, [&] { ExAcquireFastMutex(&f); });
     },
     {"ExAcquireFastMutex called at IRQL DISPATCH_LEVEL"}},
    {"RaiseBelowTheCurrentLevel",
     [] {
       AtIrql(DISPATCH_LEVEL, [] {
         KIRQL old;
         KeRaiseIrql(APC_LEVEL, &old);
       });
     },
     {"KeRaiseIrql to APC_LEVEL from the higher DISPATCH_LEVEL"}},
    {"LowerAboveTheCurrentLevel", [] { KeLowerIrql(DISPATCH_LEVEL); },
     {"KeLowerIrql to DISPATCH_LEVEL from the lower PASSIVE_LEVEL"}},
    {"DpcsRunAtDispatch", [] { RunDpc([](PKDPC, PVOID, PVOID, PVOID) { PageableRoutine(); }); },
     {"PageableRoutine: pageable code called at IRQL DISPATCH_LEVEL"}},
    {"DpcReturningWithItsSpinLockHeld",
     [] {
       KeInitializeSpinLock(&g_lock);
       RunDpc([](PKDPC, PVOID, PVOID, PVOID) { KeAcquireSpinLockAtDpcLevel(&g_lock); });
     },
     {"DPC returned holding spin lock"}},
    {"DpcReturningAtAnotherIrql",
     [] {
       RunDpc([](PKDPC, PVOID, PVOID, PVOID) {
         KIRQL old;
         KeRaiseIrql(HIGH_LEVEL, &old);
       });
     },
     {"DPC returned at IRQL HIGH_LEVEL; it ran at DISPATCH_LEVEL"}},
    {"SynchronousRequestBuiltAtDispatch",
     [] {
       KEVENT e;
       IO_STATUS_BLOCK iosb;
       KeInitializeEvent(&e, NotificationEvent, FALSE);
       kt::TestDevice dev("dev", 1, [](PDEVICE_OBJECT, PIRP irp) { return kt::Complete(irp, STATUS_SUCCESS); });
       AtIrql(DISPATCH_LEVEL, [&] {
         EXPECT_EQ(IoBuildDeviceIoControlRequest(0x220003, dev.device(), nullptr, 0, nullptr, 0, TRUE, &e, &iosb),
                   nullptr);
       });
     },
     {"IoBuildDeviceIoControlRequest called at IRQL DISPATCH_LEVEL"}},
};

class IrqlRule : public ::testing::TestWithParam<kt::Misuse> {};
TEST_P(IrqlRule, IsEnforced) { kt::ExpectViolations(GetParam()); }
INSTANTIATE_TEST_SUITE_P(Irql, IrqlRule, ::testing::ValuesIn(kRules), kt::MisuseName);

TEST(Irql, EachThreadHasItsOwnLevel) {
  KIRQL seen = HIGH_LEVEL;
  KIRQL old;
  KeRaiseIrql(APC_LEVEL, &old);
  host::Thread t("other", [&] { seen = KeGetCurrentIrql(); });
  LARGE_INTEGER interval = kt::Relative(1);
  KeDelayExecutionThread(KernelMode, FALSE, &interval);  // allowed at APC_LEVEL; lets the thread run
  EXPECT_EQ(seen, PASSIVE_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
  KeLowerIrql(old);
}

}  // namespace
