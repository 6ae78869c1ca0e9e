// The continuous reader on a streaming camera: delivery, the completion
// table, stop, the watchdog and removal; then every emulated bridge.
#include "usb_test.h"

namespace ovratest {
namespace {

using ReaderTest = UsbTest;

TEST_F(ReaderTest, ContiguousPacketsAreDeliveredAsRuns) {
  const struct {
    const char* name;
    std::vector<uint32_t> lengths;  // received per packet of the first transfer; later packets 0
    std::vector<std::pair<uint32_t, uint32_t>> runs;  // offset in the transfer buffer, length
    int failed = -1;  // a packet reported with its length but an error status
  } cases[] = {
      {"gap and short packet", {1024, 1024, 500, 0, 1024, 1024}, {{0, 2548}, {4096, 2048}}},
      {"every packet full", std::vector<uint32_t>(96, 1024), {{0, 98304}}},
      {"empty first packet", {0, 1024, 1024}, {{1024, 2048}}},
      {"short packet ends a run", {1024, 100, 1024}, {{0, 1124}, {2048, 1024}}},
      {"failed packet holds nothing", {1024, 1024, 1024, 1024}, {{0, 1024}, {2048, 2048}}, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Plug();
    FilterDevice filter(camera->device);
    bool firstTransfer = true;
    filter.onComplete = [&](PIRP, PURB urb) {
      if (urb->UrbHeader.Function != URB_FUNCTION_ISOCH_TRANSFER || !firstTransfer) return;
      firstTransfer = false;
      if (c.failed >= 0) urb->UrbIsochronousTransfer.IsoPacket[c.failed].Status = USBD_STATUS_CRC;
    };
    uint64_t packet = 0;
    dev->onIso = [&](uint64_t, uint8_t* buffer, uint32_t capacity) {
      host::usb::IsoPacket p;
      p.length = packet < c.lengths.size() ? c.lengths[packet] : 0;
      FillPattern(buffer, packet++ * capacity, p.length);
      return p;
    };
    ASSERT_EQ(hw->AcquireResources(1), STATUS_SUCCESS);
    const PUCHAR first = CSingleUrb::FromLink(hw->m_Reader->m_Idle.Flink)->m_Buffer;
    ASSERT_EQ(hw->Start(), STATUS_SUCCESS);
    host::sched::RunFor(40 * kMillisecond);
    std::vector<std::pair<uint32_t, uint32_t>> runs;
    for (const auto& b : camera->owner->blocks) {
      EXPECT_EQ(b.irql, DISPATCH_LEVEL);
      runs.emplace_back(uint32_t(b.address - first), b.length);
    }
    EXPECT_EQ(runs, c.runs);
    EXPECT_EQ(camera->owner->losses, c.failed >= 0 ? 1u : 0u);
    hw->Stop();
  }
}

TEST_F(ReaderTest, BulkTransfersDeliverWhatArrivedEvenWhenEmpty) {
  Plug(ScriptedDevice::Camera(true));
  const std::vector<uint32_t> lengths = {32768, 100, 0, 32768};
  size_t n = 0;
  dev->onBulk = [&](uint8_t*, uint32_t) {
    host::usb::BulkReply r;
    r.length = n < 4 ? lengths[n] : 0;
    r.wait = n++ >= 4;
    r.duration = 8 * host::usb::kMicroframe;
    return r;
  };
  Stream();
  host::sched::RunFor(20 * kMillisecond);
  std::vector<uint32_t> got;
  for (const auto& b : camera->owner->blocks) got.push_back(b.length);
  EXPECT_EQ(got, lengths);
}

TEST_F(ReaderTest, EachCompletionOutcomeIsHandledByItsRow) {
  const struct {
    const char* name;
    NTSTATUS irpStatus;
    USBD_STATUS urbStatus;
    bool cancelFlag, delivered, resubmitted, errorLogged, activity;
  } rows[] = {
      {"cancelled", STATUS_CANCELLED, USBD_STATUS_CANCELED, true, false, false, true, false},
      {"cancelled as it succeeded", STATUS_SUCCESS, USBD_STATUS_SUCCESS, true, false, false, true, false},
      {"device gone", STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, false, false, false, true, false},
      // Resubmitted by the work item after a pipe reset, never counted as activity.
      {"unsuccessful", STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, false, false, true, false, false},
      {"isochronous request failed", STATUS_SUCCESS, USBD_STATUS_ISOCH_REQUEST_FAILED, false, false, true, false, false},
      {"USB error", STATUS_INVALID_PARAMETER, USBD_STATUS_STALL_PID, false, false, false, true, false},
      {"success", STATUS_SUCCESS, USBD_STATUS_SUCCESS, false, true, true, false, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Plug();
    host::dbg::Clear();
    FilterDevice filter(camera->device);
    int transfers = 0;
    filter.onComplete = [&](PIRP irp, PURB urb) {
      if (urb->UrbHeader.Function != URB_FUNCTION_ISOCH_TRANSFER || transfers++ != 0) return;
      irp->IoStatus.Status = row.irpStatus;
      urb->UrbHeader.Status = row.urbStatus;
      irp->Cancel = row.cancelFlag;
    };
    Stream();
    ASSERT_TRUE(host::sched::RunUntil([&] { return transfers >= 1; }, kSecond));
    EXPECT_EQ(reader->m_Completions != 0, row.activity);
    host::sched::RunFor(5 * kMillisecond);  // a recovery resubmits
    EXPECT_EQ(camera->owner->calls != 0, row.delivered);
    // A transfer that failed on its own tells the router its bytes are gone.
    EXPECT_EQ(camera->owner->losses != 0, !row.delivered && row.resubmitted);
    EXPECT_EQ(reader->TransferCount(), row.resubmitted ? 8u : 7u);
    EXPECT_EQ(host::dbg::Contains("CSingleUrb::IrpComplete - Irp Err"), row.errorLogged);
    hw->Stop();
  }
}

TEST_F(ReaderTest, StopCancelsTransfersThatTheAbortDidNotReturn) {
  for (const int64_t cancelDelay : {int64_t(0), 3 * kMillisecond}) {
    SCOPED_TRACE(cancelDelay);
    Plug();
    host::dbg::Clear();
    FilterDevice filter(camera->device);
    filter.hold = [](const URB& urb) { return urb.UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER; };
    filter.cancelDelay = cancelDelay;
    Stream();
    ASSERT_EQ(filter.held, 8u);
    hw->Stop();
    EXPECT_EQ(reader->TransferCount(), 0u);
    EXPECT_EQ(host::dbg::Count("cancelling "), 8u);
    EXPECT_EQ(host::io::LiveIrps(), 0u);
  }
}

TEST_F(ReaderTest, WatchdogFlushesEachIdleSecondUntilAFlushIsRefusedAndReleaseWaitsForAFlush) {
  FilterDevice filter(camera->device);
  filter.onComplete = [](PIRP irp, PURB urb) {
    if (urb->UrbHeader.Function != URB_FUNCTION_ISOCH_TRANSFER) return;
    irp->IoStatus.Status = STATUS_INVALID_PARAMETER;  // every transfer retired
    urb->UrbHeader.Status = USBD_STATUS_STALL_PID;
  };
  ScriptedDevice::Reply flush;  // the answer to kVrFlush (none: success)
  dev->onControl = [&](const ScriptedDevice::Setup& s, uint8_t*) {
    return s.bRequest == kVrFlush ? flush : std::nullopt;
  };
  Stream();
  host::sched::RunFor(3500 * kMillisecond);
  EXPECT_EQ(reader->TransferCount(), 0u);
  EXPECT_EQ(dev->Count(kVrFlush), 3u);
  EXPECT_TRUE(reader->m_Running);
  flush = ScriptedDevice::Stall();
  host::sched::RunFor(4 * kSecond);
  EXPECT_EQ(dev->Count(kVrFlush), 4u);
  EXPECT_FALSE(reader->m_Running);
  EXPECT_EQ(host::io::ActiveWorkItems(), 0u);

  flush = host::usb::ControlReply();
  flush->never = true;  // hangs until its time-out
  ASSERT_EQ(hw->Start(), STATUS_SUCCESS);
  ASSERT_TRUE(host::sched::RunUntil([&] { return dev->Count(kVrFlush) == 5; }, 2 * kSecond));
  const int64_t flushAt = host::sched::Now();
  EXPECT_EQ(hw->ReleaseResources(), STATUS_SUCCESS);
  EXPECT_GE(host::sched::Now() - flushAt, 100 * kMillisecond) << "the reader went while its flush still ran";
}

// Surprise removal and removal stop all I/O inside the callback, before the removal goes down the stack; the
// device sees nothing after it, also while the device's bag destroys the hardware object.
TEST_F(ReaderTest, RemovalStopsAllIoBeforeItGoesDown) {
  for (const bool surprise : {true, false}) {
    SCOPED_TRACE(surprise ? "surprise removal" : "removal");
    Plug();
    camera->GiveToDevice(hw);
    Stream();
    host::sched::RunFor(50 * kMillisecond);
    const uint64_t controls = camera->BusStats().controlRequests;
    bool stoppedBeforeDown = false;
    camera->owner->onBlock = [&] { ADD_FAILURE() << "data after the removal"; };
    if (surprise) {
      host::usb::Unplug(camera->pdo);
      host::ks::SurpriseRemoveDevice(camera->device);
      stoppedBeforeDown = !reader->m_Running && reader->TransferCount() == 0 && camera->BusStats().pending == 0;
      EXPECT_TRUE(hw->m_Removed);
      host::sched::RunFor(3 * kSecond);
      EXPECT_EQ(dev->Count(kVrFlush), 0u) << "the watchdog outlived the removal";
      EXPECT_EQ(host::io::ActiveWorkItems(), 0u);
    } else {
      host::ks::RemoveDevice(camera->device);
      camera->device = nullptr;  // gone, with its bag and the hardware object
      stoppedBeforeDown = camera->BusStats().pendingAtRemoval == 0;
    }
    EXPECT_TRUE(stoppedBeforeDown);
    if (surprise) host::ks::RemoveDevice(camera->device), camera->device = nullptr;
    EXPECT_EQ(camera->BusStats().afterRemoval, 0u) << "requests after the removal went down";
    EXPECT_EQ(camera->BusStats().controlRequests, controls) << "vendor or configuration requests at removal";
    hw = nullptr;
  }
}

// A failing pipe never makes the reader spin: failed transfers are no activity, a halted pipe is reset from the
// work item, and past the recovery budget the reader stops and says why.
TEST(ReaderRecoveryTest, AHaltedPipeIsResetAndStreamingResumes) {
  UsbCamera camera(emu::Profiles().front());
  camera.bridge->SetSource(std::make_shared<emu::PatternSource>());
  PlainHardware* hw = camera.Make<PlainHardware>();
  ASSERT_EQ(hw->AcquireResources(3), STATUS_SUCCESS);
  ASSERT_EQ(hw->Start(), STATUS_SUCCESS);
  host::sched::RunFor(30 * kMillisecond);
  camera.bridge->HaltVideoEndpoint(1);
  host::sched::RunFor(20 * kMillisecond);
  const uint64_t before = camera.owner->totalBytes;
  host::sched::RunFor(100 * kMillisecond);
  EXPECT_EQ(camera.bridge->HaltsCleared(), 1);
  EXPECT_EQ(camera.BusStats().pipeResets, 1u);
  EXPECT_GT(camera.owner->totalBytes, before) << "streaming did not resume";
  EXPECT_EQ(hw->m_Reader->TransferCount(), 8u);
  EXPECT_TRUE(hw->m_Reader->m_Running);
  hw->Stop();
}

TEST(ReaderRecoveryTest, AFailingPipeStopsTheReaderPastTheBudget) {
  const struct {
    const char* name;
    std::function<void(UsbCamera&, FilterDevice&)> fail;
    int resets;
  } cases[] = {
      {"endpoint that stays halted", [](UsbCamera& c, FilterDevice&) { c.bridge->HaltVideoEndpoint(1000); },
       kPipeRecoveries},
      {"halt that cannot be cleared",
       [](UsbCamera& c, FilterDevice&) {
         c.bridge->HaltVideoEndpoint(1);
         emu::ControlFault refuse;  // CLEAR_FEATURE
         refuse.request = 1;
         refuse.vendor = false;
         refuse.count = -1;
         c.bridge->AddControlFault(refuse);
       },
       kPipeRecoveries},
      {"transaction errors",
       [](UsbCamera&, FilterDevice& f) {
         f.onComplete = [](PIRP irp, PURB urb) {
           if (urb->UrbHeader.Function != URB_FUNCTION_ISOCH_TRANSFER) return;
           irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
           urb->UrbHeader.Status = USBD_STATUS_XACT_ERROR;
         };
       },
       kPipeRecoveries},
      {"isochronous requests that fail", [](UsbCamera& c, FilterDevice&) { c.bridge->FailIsochRequests(1 << 30); }, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    UsbCamera camera(emu::Profiles().front());
    camera.bridge->SetSource(std::make_shared<emu::PatternSource>());
    PlainHardware* hw = camera.Make<PlainHardware>();
    ASSERT_EQ(hw->AcquireResources(3), STATUS_SUCCESS);
    host::dbg::Clear();
    FilterDevice filter(camera.device);
    c.fail(camera, filter);
    ASSERT_EQ(hw->Start(), STATUS_SUCCESS);
    host::sched::RunFor(900 * kMillisecond);
    EXPECT_FALSE(hw->m_Reader->m_Running) << "still retrying";
    EXPECT_EQ(hw->m_Reader->TransferCount(), 0u);
    EXPECT_EQ(host::dbg::Count("video pipe keeps failing"), 1u);
    EXPECT_EQ(host::dbg::Count("ContinuousReader::ResetPipe"), size_t(c.resets));
    EXPECT_LE(camera.BusStats().isochTransfers, uint64_t(8 * (kPipeRecoveries + 1)));
    EXPECT_EQ(camera.owner->calls, 0u);
    EXPECT_EQ(host::io::ActiveWorkItems(), 0u);
    hw->Stop();
  }
}

// Stop may clear m_Running while a completion delivers data (on another processor): the completion then retires
// its transfer, unlinked from the busy list, and Stop still waits for every transfer.
TEST_F(ReaderTest, CompletionThatFindsTheReaderStoppedRetiresItsTransfer) {
  Stream();
  camera->owner->onBlock = [&] {
    reader->m_Running = FALSE;
    camera->owner->onBlock = nullptr;
  };
  ASSERT_TRUE(host::sched::RunUntil([&] { return reader->TransferCount() == 7; }, kSecond));
  reader->m_Running = TRUE;  // so that Stop does its work
  hw->Stop();
  EXPECT_EQ(reader->TransferCount(), 0u);
  EXPECT_EQ(host::io::LiveIrps(), 0u);
}

TEST_F(ReaderTest, BlocksArriveInStreamOrderAndNeverWhilePaused) {
  Stream();
  auto& owner = *camera->owner;
  host::sched::RunFor(100 * kMillisecond);
  ASSERT_GT(owner.calls, 5u);
  // While running nothing is lost: the bytes are the stream itself.
  for (size_t i = 0; i < owner.bytes.size(); i += 4097) ASSERT_EQ(owner.bytes[i], PatternByte(i)) << i;

  const uint64_t before = owner.calls, packets = dev->isoPackets;
  hw->Pause(TRUE);
  host::sched::RunFor(100 * kMillisecond);
  EXPECT_EQ(owner.calls, before);
  EXPECT_GT(dev->isoPackets, packets) << "the reader keeps running while paused";
  hw->Pause(FALSE);
  host::sched::RunFor(100 * kMillisecond);
  EXPECT_GT(owner.calls, before);
  for (size_t i = 1; i < owner.blocks.size(); ++i) {
    const auto &prev = owner.blocks[i - 1], &b = owner.blocks[i];
    ASSERT_GE(PatternPosition(&owner.bytes[b.streamOffset]),
              PatternPosition(&owner.bytes[prev.streamOffset]) + int64_t(prev.length))
        << "block " << i;
  }
}

TEST(BridgeTest, EveryProfileStreamsItsVideoWithoutLossOrAllocation) {
  for (const emu::Profile& profile : emu::Profiles()) {
    for (const bool bulk : {false, true}) {
      SCOPED_TRACE(testing::Message() << profile.name << (bulk ? " bulk" : " isochronous"));
      emu::BridgeOptions options;
      options.transport = bulk ? emu::VideoTransport::Bulk : emu::VideoTransport::Isochronous;
      UsbCamera camera(profile, options);
      camera.bridge->SetSource(std::make_shared<emu::PatternSource>());
      PlainHardware* hw = camera.Make<PlainHardware>();
      ASSERT_EQ(hw->AcquireResources(bulk ? 1 : 3), STATUS_SUCCESS);
      ASSERT_EQ(hw->Start(), STATUS_SUCCESS);
      host::sched::RunFor(10 * kMillisecond);
      const uint64_t allocations = host::pool::AllocationCount();
      host::sched::RunFor(30 * kMillisecond);
      EXPECT_EQ(host::pool::AllocationCount(), allocations) << "the streaming path allocates";
      hw->Stop();

      const auto& bytes = camera.owner->bytes;
      ASSERT_GT(bytes.size(), 40000u);
      for (size_t i = 0; i < bytes.size(); ++i) ASSERT_EQ(bytes[i], emu::PatternSource::ByteAt(i)) << i;
      EXPECT_EQ(camera.bridge->StreamResets(), 2);
    }
  }
}

}  // namespace
}  // namespace ovratest
