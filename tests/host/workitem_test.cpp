// Work items: run later at PASSIVE_LEVEL on a worker thread of their own,
// may free themselves, and are not freed or queued twice while queued.
#include "kernel_fixtures.h"

namespace {

using host::sched::kMillisecond;
using host::sched::Now;

struct Job {
  PIO_WORKITEM item = nullptr;
  int runs = 0;
  KIRQL irql = HIGH_LEVEL;
  int64_t startedMs = -1, endedMs = -1;
  int64_t sleepMs = 0;
  bool freeItself = false;
  bool raise = false;

  static void Routine(PDEVICE_OBJECT, PVOID context) {
    PAGED_CODE();
    auto* job = static_cast<Job*>(context);
    job->runs++;
    job->irql = KeGetCurrentIrql();
    job->startedMs = Now() / kMillisecond;
    if (job->sleepMs > 0) {
      LARGE_INTEGER t = kt::Relative(job->sleepMs);
      KeDelayExecutionThread(KernelMode, FALSE, &t);  // only a thread may wait
    }
    job->endedMs = Now() / kMillisecond;
    if (job->freeItself) IoFreeWorkItem(job->item);
    if (job->raise) {
      KIRQL old;
      KeRaiseIrql(DISPATCH_LEVEL, &old);
    }
  }
  void Queue() { IoQueueWorkItem(item, &Routine, DelayedWorkQueue, this); }
};

kt::TestDevice::Handler CompleteAll() {
  return [](PDEVICE_OBJECT, PIRP irp) { return kt::Complete(irp, STATUS_SUCCESS); };
}

TEST(WorkItem, QueuedFromADpcItRunsLaterAtPassiveOnAThreadThatMayWait) {
  kt::TestDevice dev("dev", 1, CompleteAll());
  Job job;
  job.item = IoAllocateWorkItem(dev.device());
  job.sleepMs = 10;
  job.freeItself = true;
  KDPC dpc;
  KTIMER timer;
  KeInitializeDpc(&dpc, [](PKDPC, PVOID context, PVOID, PVOID) { static_cast<Job*>(context)->Queue(); }, &job);
  KeInitializeTimer(&timer);
  KeSetTimer(&timer, kt::Relative(5), &dpc);

  host::ViolationCapture capture;
  host::sched::RunFor(8 * kMillisecond);
  EXPECT_EQ(job.startedMs, 5);
  EXPECT_EQ(host::io::ActiveWorkItems(), 1u);  // its routine sleeps
  host::sched::RunFor(20 * kMillisecond);
  EXPECT_EQ(job.runs, 1);
  EXPECT_EQ(job.irql, PASSIVE_LEVEL);
  EXPECT_EQ(job.endedMs, 15);
  EXPECT_EQ(host::io::ActiveWorkItems(), 0u);
  EXPECT_EQ(host::pool::Outstanding(host::pool::MakeTag("IoWk")), 0u);  // it freed itself
  EXPECT_TRUE(capture.Messages().empty()) << ::testing::PrintToString(capture.Messages());
}

TEST(WorkItem, NothingRunsUntilTheQueuingThreadWaits) {
  kt::TestDevice dev("dev", 1, CompleteAll());
  Job job;
  job.item = IoAllocateWorkItem(dev.device());
  job.Queue();
  EXPECT_EQ(job.runs, 0);
  EXPECT_EQ(host::io::ActiveWorkItems(), 1u);
  host::sched::RunFor(0);
  EXPECT_EQ(job.runs, 1);
  job.Queue();  // done running: may be queued again
  host::sched::RunFor(0);
  EXPECT_EQ(job.runs, 2);
  IoFreeWorkItem(job.item);
}

TEST(WorkItem, ATimerDpcMayQueueItAgainEveryTick) {
  // Each worker ends with nothing else runnable, so it runs the next expiry
  // itself, whose DPC queues the next item.
  kt::TestDevice dev("dev", 1, CompleteAll());
  Job job;
  job.item = IoAllocateWorkItem(dev.device());
  KDPC dpc;
  KTIMER timer;
  KeInitializeDpc(&dpc, [](PKDPC, PVOID context, PVOID, PVOID) { static_cast<Job*>(context)->Queue(); }, &job);
  KeInitializeTimer(&timer);
  KeSetTimerEx(&timer, kt::Relative(1000), 1000, &dpc);
  host::sched::RunFor(3500 * kMillisecond);
  KeCancelTimer(&timer);
  EXPECT_EQ(job.runs, 3);
  EXPECT_EQ(job.startedMs, 3000);
  IoFreeWorkItem(job.item);
}

TEST(WorkItem, AllocationsFailUnderFaultInjection) {
  kt::TestDevice dev("dev", 1, CompleteAll());
  KEVENT event;
  IO_STATUS_BLOCK iosb;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  host::pool::FailTag(host::pool::MakeTag("IoWk"));
  EXPECT_EQ(IoAllocateWorkItem(dev.device()), nullptr);
  host::pool::ClearFaults();
  host::pool::FailTag(host::pool::MakeTag("Irp "));
  EXPECT_EQ(IoAllocateIrp(1, FALSE), nullptr);
  EXPECT_EQ(IoBuildDeviceIoControlRequest(0x220003, dev.device(), nullptr, 0, nullptr, 0, TRUE, &event, &iosb),
            nullptr);
  host::pool::ClearFaults();
}

const kt::Misuse kMisuses[] = {
    {"QueuedTwice",
     [] {
       kt::TestDevice dev("dev", 1, CompleteAll());
       Job job;
       job.item = IoAllocateWorkItem(dev.device());
       job.Queue();
       job.Queue();
       host::sched::RunFor(0);
       EXPECT_EQ(job.runs, 1);
       IoFreeWorkItem(job.item);
     },
     {"which is already queued"}},
    {"FreedWhileQueued",
     [] {
       kt::TestDevice dev("dev", 1, CompleteAll());
       Job job;
       job.item = IoAllocateWorkItem(dev.device());
       job.Queue();
       IoFreeWorkItem(job.item);
       host::sched::RunFor(0);
       IoFreeWorkItem(job.item);
     },
     {"which is still queued"}},
    {"FreedByAnotherThreadWhileItRuns",
     [] {
       kt::TestDevice dev("dev", 1, CompleteAll());
       Job job;
       job.item = IoAllocateWorkItem(dev.device());
       job.sleepMs = 10;
       job.Queue();
       host::sched::RunFor(kMillisecond);
       IoFreeWorkItem(job.item);
       host::sched::RunFor(20 * kMillisecond);
       IoFreeWorkItem(job.item);
     },
     {"while its routine runs on thread \"worker"}},
    {"RoutineReturnsAtDispatch",
     [] {
       kt::TestDevice dev("dev", 1, CompleteAll());
       Job job;
       job.item = IoAllocateWorkItem(dev.device());
       job.raise = true;
       job.Queue();
       host::sched::RunFor(0);
       IoFreeWorkItem(job.item);
     },
     {"returned at IRQL DISPATCH_LEVEL"}},
    {"DeviceDeletedWhileItsWorkItemIsQueued",
     [] {
       PDRIVER_OBJECT driver = host::io::CreateDriverObject("drv");
       PDEVICE_OBJECT device = host::io::CreateDevice(driver, 0, 1, "dev");
       Job job;
       job.item = IoAllocateWorkItem(device);
       job.Queue();
       host::io::DeleteDevice(device);
       host::sched::RunFor(0);
       IoFreeWorkItem(job.item);
       host::io::DeleteDevice(device);
       host::io::DeleteDriverObject(driver);
     },
     {"DeleteDevice on \"dev\" with 1 work item(s)"}},
    {"FreedWithExFreePool",
     [] {
       kt::TestDevice dev("dev", 1, CompleteAll());
       ExFreePool(IoAllocateWorkItem(dev.device()));
     },
     {"freed with ExFreePool"}},
};

class WorkItemMisuse : public ::testing::TestWithParam<kt::Misuse> {};
TEST_P(WorkItemMisuse, IsReported) { kt::ExpectViolations(GetParam()); }
INSTANTIATE_TEST_SUITE_P(WorkItem, WorkItemMisuse, ::testing::ValuesIn(kMisuses), kt::MisuseName);

}  // namespace
