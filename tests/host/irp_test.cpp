// IRPs: stack locations, completion routines (once each, bottom up, with the
// right device, MORE_PROCESSING_REQUIRED honoured), pending propagation,
// synchronous requests the I/O manager builds and finishes, cancellation.
#include <memory>

#include "kernel_fixtures.h"

namespace {

using host::sched::kMillisecond;
using host::sched::Now;

std::string Name(PDEVICE_OBJECT device) { return device == nullptr ? "none" : host::io::DeviceName(device); }

// Completion routine that records its call and returns what the test says.
struct Routine {
  std::vector<std::string> calls;
  NTSTATUS result = STATUS_MORE_PROCESSING_REQUIRED;
  static NTSTATUS Run(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    auto* self = static_cast<Routine*>(context);
    char buf[96];
    snprintf(buf, sizeof buf, "%s %08x%s@%lld", Name(device).c_str(), unsigned(irp->IoStatus.Status),
             irp->PendingReturned ? " pending" : "", static_cast<long long>(Now() / kMillisecond));
    self->calls.push_back(buf);
    return self->result;
  }
};

NTSTATUS Send(PDEVICE_OBJECT device, PIRP irp, Routine* routine, bool onSuccess = true, bool onError = true,
              bool onCancel = true) {
  IoSetCompletionRoutine(irp, &Routine::Run, routine, onSuccess, onError, onCancel);
  return IoCallDriver(device, irp);
}

// A bus that completes each request `delayMs` after it arrives (0: at once).
struct Bus {
  int64_t delayMs = 0;
  NTSTATUS status = STATUS_SUCCESS;
  kt::TestDevice dev{"bus", 1, [this](PDEVICE_OBJECT, PIRP irp) { return Handle(irp); }};
  NTSTATUS Handle(PIRP irp) {
    if (delayMs == 0) return kt::Complete(irp, status);
    IoMarkIrpPending(irp);
    host::sched::After(delayMs * kMillisecond, [this, irp] { kt::Complete(irp, status); });
    return STATUS_PENDING;
  }
};

// A filter above the bus: passes each request down with its own completion
// routine, or with none when `routine` is null.
struct Filter {
  Bus& bus;
  Routine* routine = nullptr;
  kt::TestDevice dev{"filter", 2, [this](PDEVICE_OBJECT, PIRP irp) {
                       IoCopyCurrentIrpStackLocationToNext(irp);
                       if (routine == nullptr) return IoCallDriver(bus.dev.device(), irp);
                       return Send(bus.dev.device(), irp, routine);
                     }};
  explicit Filter(Bus& b) : bus(b) {}
};

TEST(Irp, CompletionRoutinesRunOnceBottomUpWithTheDeviceAboveThem) {
  Bus bus;
  Routine mine, filters;
  filters.result = STATUS_SUCCESS;
  Filter filter(bus);
  filter.routine = &filters;
  PIRP irp = IoAllocateIrp(2, FALSE);
  EXPECT_EQ(irp->CurrentLocation, 3);
  EXPECT_EQ(Send(filter.dev.device(), irp, &mine), STATUS_SUCCESS);
  EXPECT_EQ(filters.calls, (std::vector<std::string>{"filter 00000000@0"}));
  EXPECT_EQ(mine.calls, (std::vector<std::string>{"none 00000000@0"}));
  EXPECT_EQ(irp->CurrentLocation, 3);
  IoFreeIrp(irp);
  EXPECT_EQ(host::io::LiveIrps(), 0u);
}

TEST(Irp, MoreProcessingRequiredStopsTheWalkUntilTheHolderCompletesAgain) {
  Bus bus;
  Routine mine, filters;  // the filter's routine keeps the IRP
  Filter filter(bus);
  filter.routine = &filters;
  PIRP irp = IoAllocateIrp(2, FALSE);
  Send(filter.dev.device(), irp, &mine);
  EXPECT_EQ(filters.calls.size(), 1u);
  EXPECT_TRUE(mine.calls.empty());
  host::sched::After(5 * kMillisecond, [irp] { kt::Complete(irp, STATUS_UNSUCCESSFUL); });
  host::sched::RunFor(10 * kMillisecond);
  EXPECT_EQ(filters.calls.size(), 1u);
  EXPECT_EQ(mine.calls, (std::vector<std::string>{"none c0000001@5"}));
  IoFreeIrp(irp);
}

TEST(Irp, PendingIsPropagatedThroughALocationWithoutARoutine) {
  Bus bus;
  bus.delayMs = 10;
  Routine mine;
  Filter filter(bus);  // no routine of its own
  PIRP irp = IoAllocateIrp(2, FALSE);
  EXPECT_EQ(Send(filter.dev.device(), irp, &mine), STATUS_PENDING);
  host::sched::RunFor(20 * kMillisecond);
  EXPECT_EQ(mine.calls, (std::vector<std::string>{"none 00000000 pending@10"}));
  IoFreeIrp(irp);
}

struct InvokeCase {
  NTSTATUS status;
  bool cancel;
  bool onSuccess, onError, onCancel;
  bool invoked;
};

void PrintTo(const InvokeCase& c, std::ostream* os) {
  *os << std::hex << c.status << (c.cancel ? " cancelled" : "") << " on" << (c.onSuccess ? " success" : "")
      << (c.onError ? " error" : "") << (c.onCancel ? " cancel" : "");
}

class InvokeOn : public ::testing::TestWithParam<InvokeCase> {};

TEST_P(InvokeOn, FollowsTheRoutinesFlags) {
  const InvokeCase c = GetParam();
  kt::TestDevice bus("bus", 1, [&](PDEVICE_OBJECT, PIRP irp) {
    irp->Cancel = c.cancel;
    return kt::Complete(irp, c.status);
  });
  Routine r;
  PIRP irp = IoAllocateIrp(1, FALSE);
  IoSetCompletionRoutine(irp, &Routine::Run, &r, c.onSuccess, c.onError, c.onCancel);
  IoCallDriver(bus.device(), irp);
  EXPECT_EQ(r.calls.size(), c.invoked ? 1u : 0u);
  IoFreeIrp(irp);  // back with its owner either way
}

INSTANTIATE_TEST_SUITE_P(Irp, InvokeOn,
                         ::testing::Values(InvokeCase{STATUS_SUCCESS, false, true, false, false, true},
                                           InvokeCase{STATUS_SUCCESS, false, false, true, true, false},
                                           InvokeCase{STATUS_UNSUCCESSFUL, false, false, true, false, true},
                                           InvokeCase{STATUS_UNSUCCESSFUL, false, true, false, true, false},
                                           InvokeCase{STATUS_CANCELLED, true, false, false, true, true},
                                           InvokeCase{STATUS_SUCCESS, true, false, false, true, true}));

TEST(Irp, AnOwnerWithAStackLocationOfItsOwnHasTheIrpBackInItsRoutine) {
  Bus bus;
  PIRP irp = IoAllocateIrp(2, FALSE);
  IoSetNextIrpStackLocation(irp);  // the owner's own location
  IoSetCompletionRoutine(
      irp,
      [](PDEVICE_OBJECT, PIRP irp, PVOID) {
        IoFreeIrp(irp);  // the owner may free it here
        return STATUS_MORE_PROCESSING_REQUIRED;
      },
      nullptr, TRUE, TRUE, TRUE);
  host::ViolationCapture capture;
  IoCallDriver(bus.dev.device(), irp);
  EXPECT_TRUE(capture.Messages().empty()) << ::testing::PrintToString(capture.Messages());
  EXPECT_EQ(host::io::LiveIrps(), 0u);
}

TEST(Irp, ADeviceWithoutADispatchRoutineFailsTheRequest) {
  PDRIVER_OBJECT driver = host::io::CreateDriverObject("empty");
  PDEVICE_OBJECT device = host::io::CreateDevice(driver, 0, 1, "empty");
  Routine r;
  PIRP irp = IoAllocateIrp(1, FALSE);
  EXPECT_EQ(Send(device, irp, &r), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(r.calls, (std::vector<std::string>{"none c0000010@0"}));
  IoFreeIrp(irp);
  host::io::DeleteDevice(device);
  host::io::DeleteDriverObject(driver);
}

TEST(Irp, AnIrpReinitialisedInPlaceCanBeSentAgainAndFreed) {
  Bus bus;
  Routine r;
  PIRP irp = IoAllocateIrp(2, FALSE);
  for (int i = 0; i < 3; i++) {
    IoInitializeIrp(irp, IoSizeOfIrp(2), 2);
    Send(bus.dev.device(), irp, &r);
  }
  IoReuseIrp(irp, STATUS_PENDING);
  EXPECT_EQ(irp->IoStatus.Status, STATUS_PENDING);
  EXPECT_EQ(r.calls.size(), 3u);
  IoFreeIrp(irp);
  EXPECT_EQ(host::io::LiveIrps(), 0u);
}

// ---------------------------------------------------------------------------
// Synchronous requests, the way a driver waits for the USB stack: build,
// send, wait with a time-out, cancel on time-out and wait for the end.

struct Held {
  PIRP irp = nullptr;
  int completions = 0;
};

struct PendingBus {
  int64_t completeAfterMs;  // < 0: only a cancel ends the request
  NTSTATUS status;
  Held held;
  kt::TestDevice dev{"bus", 1, [this](PDEVICE_OBJECT, PIRP irp) { return Handle(irp); }};

  static PendingBus* current;
  PendingBus(int64_t after, NTSTATUS s) : completeAfterMs(after), status(s) { current = this; }
  ~PendingBus() { current = nullptr; }
  NTSTATUS Handle(PIRP irp) {
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1, this);  // the caller's argument
    if (completeAfterMs == 0) return Finish(irp, status);
    held.irp = irp;
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, &Cancel);
    if (completeAfterMs > 0)
      host::sched::After(completeAfterMs * kMillisecond, [this] {
        if (held.irp != nullptr && IoSetCancelRoutine(held.irp, nullptr) != nullptr) Finish(held.irp, status);
      });
    return STATUS_PENDING;
  }
  NTSTATUS Finish(PIRP irp, NTSTATUS s) {
    held.irp = nullptr;
    held.completions++;
    return kt::Complete(irp, s);
  }
  static void Cancel(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    current->Finish(irp, STATUS_CANCELLED);
  }
};

PendingBus* PendingBus::current = nullptr;

struct SyncCase {
  const char* name;
  int64_t completeAfterMs;
  NTSTATUS busStatus;
  NTSTATUS callStatus;   // IoCallDriver's result
  NTSTATUS finalStatus;  // in the I/O status block
  int64_t endMs;         // when the event was signalled
  bool cancelled;
};

void PrintTo(const SyncCase& c, std::ostream* os) { *os << c.name; }

class SyncRequest : public ::testing::TestWithParam<SyncCase> {};

TEST_P(SyncRequest, EndsWithTheEventSetTheStatusCopiedAndTheIrpFreed) {
  const SyncCase c = GetParam();
  PendingBus bus(c.completeAfterMs, c.busStatus);
  KEVENT event;
  IO_STATUS_BLOCK iosb;
  iosb.Status = STATUS_PENDING;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(0x220003, bus.dev.device(), nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
  ASSERT_NE(irp, nullptr);
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &bus;
  EXPECT_EQ(IoCallDriver(bus.dev.device(), irp), c.callStatus);
  bool cancelled = false;
  if (c.callStatus == STATUS_PENDING) {
    LARGE_INTEGER timeout = kt::Relative(100);
    if (KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
      cancelled = IoCancelIrp(irp);
      EXPECT_EQ(KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    }
  }
  EXPECT_EQ(cancelled, c.cancelled);
  EXPECT_EQ(KeReadStateEvent(&event), 1);
  EXPECT_EQ(iosb.Status, c.finalStatus);
  EXPECT_EQ(Now(), c.endMs * kMillisecond);
  EXPECT_EQ(bus.held.completions, 1);
  EXPECT_EQ(host::io::LiveIrps(), 0u);
  host::sched::RunFor(200 * kMillisecond);  // a late completion timer finds nothing to do
}

const SyncCase kSyncCases[] = {
    {"CompletesAtOnce", 0, STATUS_UNSUCCESSFUL, STATUS_UNSUCCESSFUL, STATUS_UNSUCCESSFUL, 0, false},
    {"CompletesBeforeTheTimeOut", 30, STATUS_SUCCESS, STATUS_PENDING, STATUS_SUCCESS, 30, false},
    {"CancelledAtTheTimeOut", -1, STATUS_SUCCESS, STATUS_PENDING, STATUS_CANCELLED, 100, true},
    {"CancelledAtTheTimeOutBeforeALateCompletion", 150, STATUS_SUCCESS, STATUS_PENDING, STATUS_CANCELLED, 100, true},
};

INSTANTIATE_TEST_SUITE_P(Irp, SyncRequest, ::testing::ValuesIn(kSyncCases),
                         [](const ::testing::TestParamInfo<SyncCase>& info) { return info.param.name; });

TEST(Irp, BufferedRequestCopiesTheOutputBackOnlyOnSuccess) {
  for (NTSTATUS status : {STATUS_SUCCESS, STATUS_UNSUCCESSFUL}) {
    kt::TestDevice dev("dev", 1, [status](PDEVICE_OBJECT, PIRP irp) {
      auto* buffer = static_cast<uint32_t*>(irp->AssociatedIrp.SystemBuffer);
      EXPECT_EQ(buffer[0], 0x11223344u);  // the input
      buffer[0] = 0xAAAAAAAA;
      buffer[1] = 0xBBBBBBBB;
      return kt::Complete(irp, status, 8);
    });
    uint32_t in = 0x11223344, out[3] = {0, 0, 0};
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, FILE_ANY_ACCESS),
                                             dev.device(), &in, 4, out, 12, FALSE, &event, &iosb);
    EXPECT_EQ(IoCallDriver(dev.device(), irp), status);
    EXPECT_EQ(iosb.Information, 8u);
    EXPECT_EQ(out[0], status == STATUS_SUCCESS ? 0xAAAAAAAAu : 0u);
    EXPECT_EQ(out[1], status == STATUS_SUCCESS ? 0xBBBBBBBBu : 0u);
    EXPECT_EQ(out[2], 0u);
    EXPECT_EQ(host::pool::Outstanding(), 0u);
  }
}

TEST(Irp, CancelWithoutACancelRoutineOnlyMarksTheIrp) {
  PIRP irp = IoAllocateIrp(1, FALSE);
  EXPECT_FALSE(IoCancelIrp(irp));
  EXPECT_TRUE(irp->Cancel);
  IoFreeIrp(irp);
}

// ---------------------------------------------------------------------------

const kt::Misuse kMisuses[] = {
    {"CompletedTwice",
     [] {
       kt::TestDevice bus("bus", 1, [](PDEVICE_OBJECT, PIRP irp) {
         kt::Complete(irp, STATUS_SUCCESS);
         return kt::Complete(irp, STATUS_SUCCESS);
       });
       Routine r;
       PIRP irp = IoAllocateIrp(1, FALSE);
       Send(bus.device(), irp, &r);
       EXPECT_EQ(r.calls.size(), 1u);
       IoFreeIrp(irp);
     },
     {"which no driver holds (completed twice?)"}},
    {"CancelOfAFreedIrp",
     [] {
       PIRP irp = IoAllocateIrp(1, FALSE);
       IoFreeIrp(irp);
       EXPECT_FALSE(IoCancelIrp(irp));
     },
     {"IoCancelIrp on a freed IRP"}},
    {"FreedWhileADriverHoldsIt",
     [] {
       Bus bus;
       bus.delayMs = 5;
       Routine r;
       PIRP irp = IoAllocateIrp(1, FALSE);
       Send(bus.dev.device(), irp, &r);
       IoFreeIrp(irp);
       host::sched::RunFor(10 * kMillisecond);
       IoFreeIrp(irp);
     },
     {"IoFreeIrp on IRP", "while a driver holds it"}},
    {"CompletedWithItsCancelRoutineSet",
     [] {
       kt::TestDevice bus("bus", 1, [](PDEVICE_OBJECT, PIRP irp) {
         IoSetCancelRoutine(irp, &PendingBus::Cancel);
         return kt::Complete(irp, STATUS_SUCCESS);
       });
       Routine r;
       PIRP irp = IoAllocateIrp(1, FALSE);
       Send(bus.device(), irp, &r);
       IoFreeIrp(irp);
     },
     {"with a cancel routine still set"}},
    {"PassedDownWithNoStackLocationLeft",
     [] {
       Bus lower;
       kt::TestDevice upper("upper", 1, [&](PDEVICE_OBJECT, PIRP irp) {
         EXPECT_NE(IoCallDriver(lower.dev.device(), irp), STATUS_SUCCESS);
         return kt::Complete(irp, STATUS_SUCCESS);
       });
       Routine r;
       PIRP irp = IoAllocateIrp(1, FALSE);
       Send(upper.device(), irp, &r);
       IoFreeIrp(irp);
     },
     {"has no stack location left for device \"bus\""}},
    {"SentWithFewerLocationsThanTheDeviceNeeds",
     [] {
       kt::TestDevice dev("deep", 3, [](PDEVICE_OBJECT, PIRP irp) { return kt::Complete(irp, STATUS_SUCCESS); });
       Routine r;
       PIRP irp = IoAllocateIrp(1, FALSE);
       Send(dev.device(), irp, &r);
       IoFreeIrp(irp);
     },
     {"has 1 stack location(s) left, device \"deep\" needs 3"}},
    {"BuiltRequestFreedByTheCaller",
     [] {
       Bus bus;
       KEVENT event;
       IO_STATUS_BLOCK iosb;
       KeInitializeEvent(&event, NotificationEvent, FALSE);
       PIRP irp = IoBuildDeviceIoControlRequest(0x220003, bus.dev.device(), nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
       IoFreeIrp(irp);
       IoCallDriver(bus.dev.device(), irp);  // completing it is what frees it
       EXPECT_EQ(host::io::LiveIrps(), 0u);
     },
     {"the I/O manager frees it when it is completed"}},
    {"CompletionRoutineFreesTheIrpButLetsTheWalkGoOn",
     [] {
       Bus bus;
       PIRP irp = IoAllocateIrp(1, FALSE);
       IoSetCompletionRoutine(
           irp,
           [](PDEVICE_OBJECT, PIRP irp, PVOID) {
             IoFreeIrp(irp);
             return STATUS_SUCCESS;
           },
           nullptr, TRUE, TRUE, TRUE);
       IoCallDriver(bus.dev.device(), irp);
     },
     {"did not return STATUS_MORE_PROCESSING_REQUIRED"}},
};

class IrpMisuse : public ::testing::TestWithParam<kt::Misuse> {};
TEST_P(IrpMisuse, IsReported) { kt::ExpectViolations(GetParam()); }
INSTANTIATE_TEST_SUITE_P(Irp, IrpMisuse, ::testing::ValuesIn(kMisuses), kt::MisuseName);

}  // namespace
