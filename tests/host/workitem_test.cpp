// Work items: run later at PASSIVE_LEVEL on a worker thread of their own,
// may free themselves, and are not freed or queued twice while queued.
#include "kernel_fixtures.h"

namespace {

using host::sched::kMillisecond;
using host::sched::Now;

struct Job {
  kt::TestDevice dev{"dev", 1, kt::CompleteOk};
  PIO_WORKITEM item = IoAllocateWorkItem(dev.device());
  int runs = 0;
  KIRQL irql = HIGH_LEVEL;
  int64_t startedMs = -1, endedMs = -1;
  int64_t sleepMs = 0;
  bool freeItself = false;
  KDPC dpc;  // queues the item
  KTIMER timer;

  Job() {
    KeInitializeDpc(&dpc, [](PKDPC, PVOID job, PVOID, PVOID) { static_cast<Job*>(job)->Queue(); }, this);
    KeInitializeTimer(&timer);
  }
  static void Routine(PDEVICE_OBJECT, PVOID context) {
    PAGED_CODE();
    auto* job = static_cast<Job*>(context);
    job->runs++;
    job->irql = KeGetCurrentIrql();
    job->startedMs = Now() / kMillisecond;
    if (job->sleepMs > 0) kt::Sleep(job->sleepMs);  // only a thread may wait
    job->endedMs = Now() / kMillisecond;
    if (job->freeItself) IoFreeWorkItem(job->item);
  }
  void Queue() { IoQueueWorkItem(item, &Routine, DelayedWorkQueue, this); }
};

TEST(WorkItem, QueuedFromADpcItRunsLaterAtPassiveOnAThreadThatMayWait) {
  Job job;
  job.sleepMs = 10;
  job.freeItself = true;
  KeSetTimer(&job.timer, kt::Relative(5), &job.dpc);
  host::sched::RunFor(8 * kMillisecond);
  EXPECT_EQ(job.startedMs, 5);
  EXPECT_EQ(host::io::ActiveWorkItems(), 1u);  // its routine sleeps
  host::sched::RunFor(20 * kMillisecond);
  EXPECT_EQ(job.runs, 1);
  EXPECT_EQ(job.irql, PASSIVE_LEVEL);
  EXPECT_EQ(job.endedMs, 15);  // and it freed itself: the test ends with nothing queued and no leak
}

TEST(WorkItem, HostAllocationsFailUnderFaultInjection) {
  kt::TestDevice dev("dev", 1, kt::CompleteOk);
  host::pool::FailTag(host::pool::MakeTag("IoWk"));
  host::pool::FailTag(host::pool::MakeTag("Irp "));
  EXPECT_EQ(IoAllocateWorkItem(dev.device()), nullptr);
  EXPECT_EQ(IoAllocateIrp(1, FALSE), nullptr);  // IoBuildDeviceIoControlRequest's IRPs too
  host::pool::ClearFaults();
}

const kt::Misuse kMisuses[] = {
    {"QueuedTwice",
     [] {
       Job job;
       job.Queue();
       job.Queue();
       host::sched::RunFor(0);
       EXPECT_EQ(job.runs, 1);
       IoFreeWorkItem(job.item);
     },
     {"which is already queued"}},
    {"FreedWhileQueued",
     [] {
       Job job;
       job.Queue();
       IoFreeWorkItem(job.item);
       host::sched::RunFor(0);
       IoFreeWorkItem(job.item);
     },
     {"which is still queued"}},
};

KT_MISUSE_SUITE(WorkItem, WorkItemMisuse, kMisuses);

}  // namespace
