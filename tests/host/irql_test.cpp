// IRQL rules: what may run or wait at which level, and that a DPC gives back
// the spin locks it took.
#include "kernel_fixtures.h"

namespace {

using kt::AtIrql;

void PageableRoutine() { PAGED_CODE(); }

void RunDpc(PKDEFERRED_ROUTINE routine) {
  KDPC dpc;
  KeInitializeDpc(&dpc, routine, nullptr);
  KeInsertQueueDpc(&dpc, nullptr, nullptr);
  host::sched::RunFor(0);
}

KEVENT g_event;
KSPIN_LOCK g_lock;

const kt::Misuse kRules[] = {
    {"PagedCodeAtDispatch", [] { AtIrql(DISPATCH_LEVEL, PageableRoutine); },
     {"PageableRoutine: pageable code called at IRQL DISPATCH_LEVEL"}},
    {"PagedCodeAtApcIsAllowed", [] { AtIrql(APC_LEVEL, PageableRoutine); }, {}},
    {"TimedWaitAtDispatch",
     [] {
       KeInitializeEvent(&g_event, NotificationEvent, FALSE);
       AtIrql(DISPATCH_LEVEL, [] { EXPECT_EQ(kt::Wait(&g_event, 100), STATUS_TIMEOUT); });
       EXPECT_EQ(host::sched::Now(), 0);  // it did not wait
     },
     {"KeWaitForSingleObject with a non-zero time-out at IRQL DISPATCH_LEVEL"}},
    {"SleepHoldingASpinLock",
     [] {
       KeInitializeSpinLock(&g_lock);
       KIRQL old = KeAcquireSpinLockRaiseToDpc(&g_lock);
       kt::Sleep(1);
       KeReleaseSpinLock(&g_lock, old);
     },
     {"KeDelayExecutionThread at IRQL DISPATCH_LEVEL holding spin lock"}},
    {"LowerAboveTheCurrentLevel", [] { KeLowerIrql(DISPATCH_LEVEL); },
     {"KeLowerIrql to DISPATCH_LEVEL from the lower PASSIVE_LEVEL"}},
    {"DpcReturningWithItsSpinLockHeld",
     [] {
       KeInitializeSpinLock(&g_lock);
       RunDpc([](PKDPC, PVOID, PVOID, PVOID) { KeAcquireSpinLockAtDpcLevel(&g_lock); });
     },
     {"DPC returned holding spin lock"}},
};

KT_MISUSE_SUITE(Irql, IrqlRule, kRules);

}  // namespace
