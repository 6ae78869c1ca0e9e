// IRPs: completion routines (once each, bottom up, with the right device,
// MORE_PROCESSING_REQUIRED honoured), synchronous requests the I/O manager
// builds and finishes, cancellation, and misuse.
#include "kernel_fixtures.h"

namespace {

using host::sched::kMillisecond;
using host::sched::Now;
using Calls = std::vector<std::string>;

// Records "<device> <status>@<ms>" and returns what the test says.
struct Routine {
  Calls calls;
  NTSTATUS result = STATUS_MORE_PROCESSING_REQUIRED;
  static NTSTATUS Run(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    auto* self = static_cast<Routine*>(context);
    char buf[96];
    snprintf(buf, sizeof buf, "%s %08x@%lld", device == nullptr ? "none" : host::io::DeviceName(device).c_str(),
             unsigned(irp->IoStatus.Status), static_cast<long long>(Now() / kMillisecond));
    self->calls.push_back(buf);
    return self->result;
  }
};

NTSTATUS Send(PDEVICE_OBJECT device, PIRP irp, Routine* routine) {
  IoSetCompletionRoutine(irp, &Routine::Run, routine, TRUE, TRUE, TRUE);
  return IoCallDriver(device, irp);
}

// Passes each request down to a bus with its own completion routine.
struct Filter {
  kt::TestDevice& bus;
  Routine* routine;
  kt::TestDevice dev{"filter", 2, [this](PDEVICE_OBJECT, PIRP irp) {
                       IoCopyCurrentIrpStackLocationToNext(irp);
                       return Send(bus.device(), irp, routine);
                     }};
};

TEST(Irp, CompletionRoutinesRunOnceBottomUpWithTheDeviceAboveThem) {
  kt::TestDevice bus("bus", 1, kt::CompleteOk);  // completes each request at once
  Routine mine, filters;
  filters.result = STATUS_SUCCESS;
  Filter filter{bus, &filters};
  PIRP irp = IoAllocateIrp(2, FALSE);
  EXPECT_EQ(Send(filter.dev.device(), irp, &mine), STATUS_SUCCESS);
  EXPECT_EQ(filters.calls, Calls{"filter 00000000@0"});
  EXPECT_EQ(mine.calls, Calls{"none 00000000@0"});
  EXPECT_EQ(irp->CurrentLocation, 3);
  IoFreeIrp(irp);
}

TEST(Irp, MoreProcessingRequiredStopsTheWalkUntilTheHolderCompletesAgain) {
  kt::TestDevice bus("bus", 1, kt::CompleteOk);
  Routine mine, filters;  // the filter's routine keeps the IRP
  Filter filter{bus, &filters};
  PIRP irp = IoAllocateIrp(2, FALSE);
  Send(filter.dev.device(), irp, &mine);
  EXPECT_EQ(filters.calls.size(), 1u);
  EXPECT_TRUE(mine.calls.empty());
  host::sched::After(5 * kMillisecond, [irp] { kt::Complete(irp, STATUS_UNSUCCESSFUL); });
  host::sched::RunFor(10 * kMillisecond);
  EXPECT_EQ(filters.calls.size(), 1u);
  EXPECT_EQ(mine.calls, Calls{"none c0000001@5"});
  IoFreeIrp(irp);
}

TEST(Irp, CancelWithoutACancelRoutineOnlyMarksTheIrp) {
  PIRP irp = IoAllocateIrp(1, FALSE);
  EXPECT_FALSE(IoCancelIrp(irp));
  EXPECT_TRUE(irp->Cancel);
  IoFreeIrp(irp);
}

// Synchronous requests, the way the driver waits for the USB stack: build, send, wait
// with a time-out, cancel on time-out and wait for the end; the bus sets a cancel routine.
struct PendingBus {
  int64_t completeAfterMs;  // < 0: only a cancel ends the request
  NTSTATUS status;
  PIRP held = nullptr;
  int completions = 0;
  kt::TestDevice dev{"bus", 1, [this](PDEVICE_OBJECT, PIRP irp) { return Handle(irp); }};

  NTSTATUS Handle(PIRP irp) {
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1, this);  // the caller's argument
    if (completeAfterMs == 0) return Finish(irp, status);
    held = irp;
    irp->Tail.Overlay.DriverContext[0] = this;
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, &Cancel);
    if (completeAfterMs > 0)
      host::sched::After(completeAfterMs * kMillisecond, [this] {
        if (held != nullptr && IoSetCancelRoutine(held, nullptr) != nullptr) Finish(held, status);
      });
    return STATUS_PENDING;
  }
  NTSTATUS Finish(PIRP irp, NTSTATUS s) {
    held = nullptr;
    completions++;
    return kt::Complete(irp, s);
  }
  static void Cancel(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    static_cast<PendingBus*>(irp->Tail.Overlay.DriverContext[0])->Finish(irp, STATUS_CANCELLED);
  }
};

struct SyncCase {
  const char* name;
  int64_t completeAfterMs;
  NTSTATUS busStatus;
  NTSTATUS finalStatus;  // in the I/O status block; STATUS_CANCELLED: cancelled at the time-out
  int64_t endMs;         // when the event was signalled
};

void PrintTo(const SyncCase& c, std::ostream* os) { *os << c.name; }

class SyncRequest : public ::testing::TestWithParam<SyncCase> {};

TEST_P(SyncRequest, EndsWithTheEventSetTheStatusCopiedAndTheIrpFreed) {
  const SyncCase c = GetParam();
  PendingBus bus{c.completeAfterMs, c.busStatus};
  KEVENT event;
  IO_STATUS_BLOCK iosb;
  iosb.Status = STATUS_PENDING;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(0x220003, bus.dev.device(), nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
  ASSERT_NE(irp, nullptr);
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &bus;
  EXPECT_EQ(IoCallDriver(bus.dev.device(), irp), c.completeAfterMs == 0 ? c.busStatus : STATUS_PENDING);
  bool cancelled = false;
  if (c.completeAfterMs != 0 && kt::Wait(&event, 100) == STATUS_TIMEOUT) {
    KIRQL irql;
    KeRaiseIrql(APC_LEVEL, &irql);  // the completion's APC would free the IRP under the cancel
    cancelled = IoCancelIrp(irp);
    KeLowerIrql(irql);
    EXPECT_EQ(kt::Wait(&event), STATUS_SUCCESS);
  }
  EXPECT_EQ(cancelled, c.finalStatus == STATUS_CANCELLED);
  EXPECT_EQ(KeReadStateEvent(&event), 1);
  EXPECT_EQ(iosb.Status, c.finalStatus);
  EXPECT_EQ(Now(), c.endMs * kMillisecond);
  EXPECT_EQ(bus.completions, 1);
  host::sched::RunFor(200 * kMillisecond);  // a late completion timer finds nothing to do
}

const SyncCase kSyncCases[] = {
    {"CompletesAtOnce", 0, STATUS_UNSUCCESSFUL, STATUS_UNSUCCESSFUL, 0},
    {"CompletesBeforeTheTimeOut", 30, STATUS_SUCCESS, STATUS_SUCCESS, 30},
    {"CancelledAtTheTimeOut", -1, STATUS_SUCCESS, STATUS_CANCELLED, 100},
    {"CancelledAtTheTimeOutBeforeALateCompletion", 150, STATUS_SUCCESS, STATUS_CANCELLED, 100},
};

INSTANTIATE_TEST_SUITE_P(Irp, SyncRequest, ::testing::ValuesIn(kSyncCases),
                         [](const ::testing::TestParamInfo<SyncCase>& info) { return info.param.name; });

// Sends a fresh one-location IRP to `device` with a recording routine, then frees it.
void SendOne(PDEVICE_OBJECT device, Routine* r = nullptr) {
  Routine local;
  PIRP irp = IoAllocateIrp(1, FALSE);
  Send(device, irp, r != nullptr ? r : &local);
  IoFreeIrp(irp);
}

const kt::Misuse kMisuses[] = {
    {"CompletedTwice",
     [] {
       kt::TestDevice bus("bus", 1, [](PDEVICE_OBJECT, PIRP irp) {
         kt::Complete(irp, STATUS_SUCCESS);
         return kt::Complete(irp, STATUS_SUCCESS);
       });
       Routine r;
       SendOne(bus.device(), &r);
       EXPECT_EQ(r.calls.size(), 1u);
     },
     {"which no driver holds (completed twice?)"}},
    {"CancelOfAFreedIrp",
     [] {
       PIRP irp = IoAllocateIrp(1, FALSE);
       IoFreeIrp(irp);
       EXPECT_FALSE(IoCancelIrp(irp));
     },
     {"IoCancelIrp on a freed IRP"}},
    {"CompletedWithItsCancelRoutineSet",
     [] {
       kt::TestDevice bus("bus", 1, [](PDEVICE_OBJECT, PIRP irp) {
         IoSetCancelRoutine(irp, &PendingBus::Cancel);
         return kt::Complete(irp, STATUS_SUCCESS);
       });
       SendOne(bus.device());
     },
     {"with a cancel routine still set"}},
    {"PassedDownWithNoStackLocationLeft",
     [] {
       kt::TestDevice lower("bus", 1, kt::CompleteOk);
       kt::TestDevice upper("upper", 1, [&](PDEVICE_OBJECT, PIRP irp) {
         EXPECT_NE(IoCallDriver(lower.device(), irp), STATUS_SUCCESS);
         return kt::Complete(irp, STATUS_SUCCESS);
       });
       SendOne(upper.device());
     },
     {"has no stack location left for device \"bus\""}},
    {"BuiltRequestFreedByTheCaller",
     [] {
       kt::TestDevice bus("bus", 1, kt::CompleteOk);
       KEVENT event;
       IO_STATUS_BLOCK iosb;
       KeInitializeEvent(&event, NotificationEvent, FALSE);
       PIRP irp =
           IoBuildDeviceIoControlRequest(0x220003, bus.device(), nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
       IoFreeIrp(irp);
       IoCallDriver(bus.device(), irp);  // completing it is what frees it
       EXPECT_EQ(host::io::LiveIrps(), 0u);
     },
     {"the I/O manager frees it when it is completed"}},
    {"CompletionRoutineFreesTheIrpButLetsTheWalkGoOn",
     [] {
       kt::TestDevice bus("bus", 1, kt::CompleteOk);
       PIRP irp = IoAllocateIrp(1, FALSE);
       auto freeIt = [](PDEVICE_OBJECT, PIRP irp, PVOID) -> NTSTATUS { return IoFreeIrp(irp), STATUS_SUCCESS; };
       IoSetCompletionRoutine(irp, freeIt, nullptr, TRUE, TRUE, TRUE);
       IoCallDriver(bus.device(), irp);
     },
     {"did not return STATUS_MORE_PROCESSING_REQUIRED"}},
};

KT_MISUSE_SUITE(Irp, IrpMisuse, kMisuses);

}  // namespace
