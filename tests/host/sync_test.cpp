// Locks and dispatcher objects: deadlocks are found where they happen, and
// misuse of mutexes and spin locks is reported instead of hanging the test.
#include "kernel_fixtures.h"

namespace {

NTSTATUS Take(PKMUTEX m) { return KeWaitForSingleObject(m, Executive, KernelMode, FALSE, nullptr); }

void Sleep(int64_t ms) {
  LARGE_INTEGER t = kt::Relative(ms);
  KeDelayExecutionThread(KernelMode, FALSE, &t);
}

const kt::Misuse kMisuses[] = {
    {"MutexCycleBetweenTwoThreads",
     [] {
       KMUTEX m1, m2;
       KeInitializeMutex(&m1, 0);
       KeInitializeMutex(&m2, 0);
       NTSTATUS a = STATUS_PENDING, b = STATUS_PENDING;
       host::Thread ta("A", [&] {
         Take(&m1);
         Sleep(1);
         if ((a = Take(&m2)) == STATUS_SUCCESS) KeReleaseMutex(&m2, FALSE);
         KeReleaseMutex(&m1, FALSE);
       });
       host::Thread tb("B", [&] {
         Take(&m2);
         Sleep(1);
         if ((b = Take(&m1)) == STATUS_SUCCESS) KeReleaseMutex(&m1, FALSE);
         KeReleaseMutex(&m2, FALSE);
       });
       ta.Join();
       tb.Join();
       EXPECT_EQ(a, STATUS_SUCCESS);  // got m2 once B gave up and released it
       EXPECT_EQ(b, STATUS_TIMEOUT);
     },
     {"deadlock: thread \"B\" waits for mutex", "held by \"A\", which waits for mutex", "held by \"B\""}},
    {"FastMutexCycleBetweenTwoThreads",
     [] {
       FAST_MUTEX f1, f2;
       ExInitializeFastMutex(&f1);
       ExInitializeFastMutex(&f2);
       bool bGotF1 = true;
       host::Thread ta("A", [&] {
         ExAcquireFastMutex(&f1);
         Sleep(1);
         ExAcquireFastMutex(&f2);
         ExReleaseFastMutex(&f2);
         ExReleaseFastMutex(&f1);
       });
       host::Thread tb("B", [&] {
         ExAcquireFastMutex(&f2);
         Sleep(1);
         ExAcquireFastMutex(&f1);
         bGotF1 = f1.Owner == f2.Owner;
         if (bGotF1) ExReleaseFastMutex(&f1);
         ExReleaseFastMutex(&f2);
       });
       ta.Join();
       tb.Join();
       EXPECT_FALSE(bGotF1);
     },
     {"deadlock: thread \"B\" waits for fast mutex", "held by \"A\", which waits for fast mutex"}},
    {"FastMutexAcquiredTwiceByItsOwner",
     [] {
       FAST_MUTEX f;
       ExInitializeFastMutex(&f);
       ExAcquireFastMutex(&f);
       ExAcquireFastMutex(&f);
       ExReleaseFastMutex(&f);
     },
     {"already owns fast mutex", "not recursive"}},
    {"SpinLockAcquiredTwiceByItsHolder",
     [] {
       KSPIN_LOCK lock;
       KeInitializeSpinLock(&lock);
       KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
       KeAcquireSpinLockAtDpcLevel(&lock);
       KeReleaseSpinLock(&lock, old);
     },
     {"acquires spin lock", "that it already holds (deadlock)"}},
    {"SpinLockReleasedWithoutBeingHeld",
     [] {
       KSPIN_LOCK lock;
       KeInitializeSpinLock(&lock);
       KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
     },
     {"releases spin lock", "that it does not hold"}},
    {"SpinLockNeverInitialised",
     [] {
       auto* lock = static_cast<PKSPIN_LOCK>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(KSPIN_LOCK), host::pool::MakeTag("Test")));
       KIRQL old = KeAcquireSpinLockRaiseToDpc(lock);
       KeReleaseSpinLock(lock, old);
       ExFreePool(lock);
     },
     {"is not initialised"}},
    {"MutexReleasedByAThreadThatDoesNotOwnIt",
     [] {
       KMUTEX m;
       KeInitializeMutex(&m, 0);
       Take(&m);
       host::Thread other("other", [&] { KeReleaseMutex(&m, FALSE); });
       other.Join();
       KeReleaseMutex(&m, FALSE);
     },
     {"thread \"other\" releases mutex", "owned by \"main\""}},
    {"MutexTakenRecursivelyByItsOwner",
     [] {
       KMUTEX m;
       KeInitializeMutex(&m, 0);
       EXPECT_EQ(Take(&m), STATUS_SUCCESS);
       EXPECT_EQ(Take(&m), STATUS_SUCCESS);
       EXPECT_EQ(KeReleaseMutex(&m, FALSE), -1);
       EXPECT_EQ(KeReadStateMutex(&m), 0);  // still owned once
       EXPECT_EQ(KeReleaseMutex(&m, FALSE), 0);
       EXPECT_EQ(KeReadStateMutex(&m), 1);
     },
     {}},
    {"ThreadEndingWithAMutexOwned",
     [] {
       KMUTEX m;
       KeInitializeMutex(&m, 0);
       host::Thread t("leaker", [&] { Take(&m); });
       t.Join();
     },
     {"thread \"leaker\" ended owning mutex"}},
    {"WaitOnAnObjectThatWasNeverInitialised",
     [] {
       KEVENT e;
       memset(&e, 0xA5, sizeof e);
       LARGE_INTEGER t = kt::Relative(1);
       EXPECT_NE(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &t), STATUS_SUCCESS);
     },
     {"not an initialised event, mutex or timer"}},
};

class SyncMisuse : public ::testing::TestWithParam<kt::Misuse> {};
TEST_P(SyncMisuse, IsReported) { kt::ExpectViolations(GetParam()); }
INSTANTIATE_TEST_SUITE_P(Sync, SyncMisuse, ::testing::ValuesIn(kMisuses), kt::MisuseName);

TEST(Sync, EventStateAndWaitSatisfaction) {
  KEVENT sync, notify;
  KeInitializeEvent(&sync, SynchronizationEvent, FALSE);
  KeInitializeEvent(&notify, NotificationEvent, TRUE);
  LARGE_INTEGER poll{};
  EXPECT_EQ(KeSetEvent(&sync, 0, FALSE), 0);
  EXPECT_EQ(KeSetEvent(&sync, 0, FALSE), 1);
  // A satisfied wait consumes a synchronization event, not a notification event.
  EXPECT_EQ(KeWaitForSingleObject(&sync, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&sync, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
  EXPECT_EQ(KeWaitForSingleObject(&notify, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&notify, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
  EXPECT_EQ(KeResetEvent(&notify), 1);
  EXPECT_EQ(KeReadStateEvent(&notify), 0);
}

TEST(Sync, SignallingBeforeTheWaiterRunsIsNotLostAndAPulseStillReleases) {
  KEVENT e;
  KeInitializeEvent(&e, NotificationEvent, FALSE);
  NTSTATUS status = STATUS_PENDING;
  host::Thread t("waiter", [&] {
    LARGE_INTEGER timeout = kt::Relative(10);
    status = KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &timeout);
  });
  host::sched::RunFor(0);  // the waiter blocks
  KeSetEvent(&e, 0, FALSE);
  KeClearEvent(&e);  // cleared before the waiter ran: it was released at the set
  t.Join();
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(host::sched::Now(), 0);
}

}  // namespace
