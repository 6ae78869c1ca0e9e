// Locks and waits: deadlocks and waits that can never end are reported where
// they happen instead of hanging the test, and so is misuse of locks.
#include "kernel_fixtures.h"

namespace {

using kt::Sleep;
using kt::Wait;

const kt::Misuse kMisuses[] = {
    {"MutexCycleBetweenTwoThreads",
     [] {
       KMUTEX m1, m2;
       KeInitializeMutex(&m1, 0);
       KeInitializeMutex(&m2, 0);
       NTSTATUS a = STATUS_PENDING, b = STATUS_PENDING;
       auto takeBoth = [](PKMUTEX first, PKMUTEX second, NTSTATUS* got) {
         Wait(first);
         Sleep(1);
         if ((*got = Wait(second)) == STATUS_SUCCESS) KeReleaseMutex(second, FALSE);
         KeReleaseMutex(first, FALSE);
       };
       host::Thread ta("A", [&] { takeBoth(&m1, &m2, &a); });
       host::Thread tb("B", [&] { takeBoth(&m2, &m1, &b); });
       ta.Join();
       tb.Join();
       EXPECT_EQ(a, STATUS_SUCCESS);  // got m2 once B gave up and released it
       EXPECT_EQ(b, STATUS_TIMEOUT);
     },
     {"deadlock: thread \"B\" waits for mutex", "held by \"A\", which waits for mutex", "held by \"B\""}},
    {"WaitWithNothingLeftToSignalIt",
     [] {
       KEVENT e;
       KeInitializeEvent(&e, NotificationEvent, FALSE);
       EXPECT_EQ(Wait(&e), STATUS_TIMEOUT);  // given up
     },
     {"wait can never end: thread \"main\" waits for notification event"}},
    {"ThreadBlockedWhenTheLastRunnableThreadEnds",
     [] {
       KEVENT e;
       KeInitializeEvent(&e, NotificationEvent, FALSE);
       NTSTATUS status = STATUS_SUCCESS;
       host::Thread waiter("waiter", [&] { status = Wait(&e); });
       host::Thread quick("quick", [] { Sleep(1); });
       waiter.Join();
       quick.Join();
       EXPECT_EQ(status, STATUS_TIMEOUT);
     },
     {"thread \"waiter\" waits for notification event", "seen by \"quick\""}},
    {"SpinLockAcquiredTwiceByItsHolder",
     [] {
       KSPIN_LOCK lock;
       KeInitializeSpinLock(&lock);
       KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
       KeAcquireSpinLockAtDpcLevel(&lock);
       KeReleaseSpinLock(&lock, old);
     },
     {"acquires spin lock", "that it already holds (deadlock)"}},
    {"MutexTakenRecursivelyByItsOwnerIsFine",
     [] {
       KMUTEX m;
       KeInitializeMutex(&m, 0);
       EXPECT_TRUE(Wait(&m) == STATUS_SUCCESS && Wait(&m) == STATUS_SUCCESS);
       EXPECT_EQ(KeReleaseMutex(&m, FALSE), -1);  // still owned once
       EXPECT_EQ(KeReleaseMutex(&m, FALSE), 0);
       EXPECT_EQ(KeReadStateMutex(&m), 1);
     },
     {}},
    {"ThreadEndingWithAMutexOwned",
     [] {
       KMUTEX m;
       KeInitializeMutex(&m, 0);
       host::Thread t("leaker", [&] { Wait(&m); });
       t.Join();
     },
     {"thread \"leaker\" ended owning mutex"}},
    {"WaitOnAnObjectThatWasNeverInitialised",
     [] {
       KEVENT e;
       memset(&e, 0xA5, sizeof e);
       EXPECT_NE(Wait(&e, 1), STATUS_SUCCESS);
     },
     {"not an initialised event, mutex or timer"}},
};

KT_MISUSE_SUITE(Sync, SyncMisuse, kMisuses);

TEST(Sync, SignallingBeforeTheWaiterRunsIsNotLostAndAPulseStillReleases) {
  KEVENT e;
  KeInitializeEvent(&e, NotificationEvent, FALSE);
  NTSTATUS status = STATUS_PENDING;
  host::Thread t("waiter", [&] { status = Wait(&e, 10); });
  host::sched::RunFor(0);  // the waiter blocks
  KeSetEvent(&e, 0, FALSE);
  KeClearEvent(&e);  // cleared before the waiter ran: it was released at the set
  t.Join();
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(host::sched::Now(), 0);
}

}  // namespace
