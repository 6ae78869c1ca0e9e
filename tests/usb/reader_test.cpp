// The continuous reader on a streaming camera: delivery, the completion
// table, stop, the watchdog and removal.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "driver/usb/reader.h"
#include "filter_device.h"
#include "support/usb_fixture.h"

namespace ovratest {
namespace {

using host::sched::kMillisecond;
using host::sched::kSecond;

class ReaderTest : public ::testing::Test {
 protected:
  void Plug(bool bulk = false) {
    dev = ScriptedDevice::Camera(bulk);
    camera = std::make_unique<UsbCamera>(dev);
    hw = camera->Make<PlainHardware>();
    ASSERT_NE(hw, nullptr);
  }
  // Acquires alternate setting 1 (1024-byte packets, 96 per 12 ms transfer).
  void Acquire() {
    ASSERT_EQ(hw->AcquireResources(1), STATUS_SUCCESS);
    reader = hw->m_Reader;
    buffers.clear();
    for (PLIST_ENTRY e = reader->m_Idle.Flink; e != &reader->m_Idle; e = e->Flink)
      buffers.push_back(CSingleUrb::FromLink(e)->m_Buffer);
  }
  void StartStreaming(bool bulk = false) {
    Plug(bulk);
    Acquire();
    ASSERT_EQ(hw->Start(), STATUS_SUCCESS);
  }
  void TearDown() override { Unplug(); }
  // Destroys the camera; the device's hooks go first, since they may refer
  // to the test's locals.
  void Unplug() {
    if (dev) {
      dev->onIso = nullptr;
      dev->onBulk = nullptr;
      dev->onVendor = nullptr;
      dev->onStandard = nullptr;
      dev->onIsochRequest = nullptr;
    }
    camera.reset();
  }

  std::shared_ptr<ScriptedDevice> dev;
  std::unique_ptr<UsbCamera> camera;
  PlainHardware* hw = nullptr;
  ContinuousReader* reader = nullptr;
  std::vector<PUCHAR> buffers;
};

struct RunCase {
  const char* name;
  std::vector<uint32_t> lengths;  // received per packet of the first transfer; later packets 0
  std::vector<USBD_STATUS> statuses;
  std::vector<std::pair<uint32_t, uint32_t>> runs;  // offset in the transfer buffer, length
};

TEST_F(ReaderTest, ContiguousPacketsAreDeliveredAsRuns) {
  const RunCase cases[] = {
      {"gap and short packet", {1024, 1024, 500, 0, 1024, 1024}, {}, {{0, 2548}, {4096, 2048}}},
      {"every packet full", std::vector<uint32_t>(96, 1024), {}, {{0, 98304}}},
      {"empty first packet", {0, 1024, 1024}, {}, {{1024, 2048}}},
      {"short packet ends a run", {1024, 100, 1024}, {}, {{0, 1124}, {2048, 1024}}},
      {"failed packet ends a run", {1024, 1024, 1024}, {0, USBD_STATUS_CRC, 0}, {{0, 1024}, {2048, 1024}}},
      {"nothing received", {}, {}, {}},
  };
  for (const RunCase& c : cases) {
    SCOPED_TRACE(c.name);
    Unplug();
    Plug();
    uint64_t packet = 0;
    dev->onIso = [&](uint64_t, uint8_t* buffer, uint32_t capacity) {
      host::usb::IsoPacket p;
      const uint64_t k = packet++;
      p.length = k < c.lengths.size() ? c.lengths[k] : 0;
      if (k < c.statuses.size()) p.status = c.statuses[k];
      FillPattern(buffer, k * capacity, p.length);
      return p;
    };
    Acquire();
    ASSERT_EQ(hw->Start(), STATUS_SUCCESS);
    host::sched::RunFor(40 * kMillisecond);
    std::vector<std::pair<uint32_t, uint32_t>> runs;
    for (const auto& b : camera->owner->blocks) {
      EXPECT_EQ(b.irql, DISPATCH_LEVEL);
      runs.emplace_back(uint32_t(b.address - buffers[0]), b.length);
    }
    EXPECT_EQ(runs, c.runs);
  }
}

TEST_F(ReaderTest, BulkTransfersDeliverWhatArrivedEvenWhenEmpty) {
  Plug(true);
  const uint32_t lengths[] = {32768, 100, 0, 32768};
  size_t n = 0;
  dev->onBulk = [&](uint8_t* buffer, uint32_t capacity) {
    host::usb::BulkReply r;
    r.length = n < 4 ? lengths[n] : 0;
    r.wait = n >= 4;
    r.duration = host::usb::kMicroframe * 8;
    ++n;
    return r;
  };
  Acquire();
  ASSERT_EQ(hw->Start(), STATUS_SUCCESS);
  host::sched::RunFor(20 * kMillisecond);
  std::vector<uint32_t> got;
  for (const auto& b : camera->owner->blocks) got.push_back(b.length);
  EXPECT_EQ(got, std::vector<uint32_t>(lengths, lengths + 4));
}

struct RowCase {
  const char* name;
  NTSTATUS irpStatus;
  USBD_STATUS urbStatus;
  bool cancelFlag;
  bool delivered, resubmitted, errorLogged;
};

TEST_F(ReaderTest, EachCompletionOutcomeIsHandledByItsRow) {
  const RowCase rows[] = {
      {"cancelled", STATUS_CANCELLED, USBD_STATUS_CANCELED, true, false, false, true},
      {"device gone", STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, false, false, false, true},
      {"unsuccessful", STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, false, false, true, false},
      {"isochronous request failed", STATUS_SUCCESS, USBD_STATUS_ISOCH_REQUEST_FAILED, false, false, true, false},
      {"USB error", STATUS_INVALID_PARAMETER, USBD_STATUS_STALL_PID, false, false, false, true},
      {"success", STATUS_SUCCESS, USBD_STATUS_SUCCESS, false, true, true, false},
  };
  for (const RowCase& row : rows) {
    SCOPED_TRACE(row.name);
    Unplug();
    host::dbg::Clear();
    Plug();
    FilterDevice filter(camera->device);
    Acquire();
    int transfers = 0;
    filter.onComplete = [&](uint64_t, PIRP irp, PURB urb) {
      if (urb->UrbHeader.Function != URB_FUNCTION_ISOCH_TRANSFER || transfers++ != 0) return;
      irp->IoStatus.Status = row.irpStatus;
      urb->UrbHeader.Status = row.urbStatus;
      irp->Cancel = row.cancelFlag;
    };
    ASSERT_EQ(hw->Start(), STATUS_SUCCESS);
    ASSERT_TRUE(host::sched::RunUntil([&] { return transfers >= 1; }, kSecond));
    EXPECT_EQ(camera->owner->calls != 0, row.delivered);
    EXPECT_EQ(reader->TransferCount(), row.resubmitted ? 8u : 7u);
    EXPECT_EQ(reader->m_Completions, row.resubmitted ? 1u : 0u);
    EXPECT_EQ(host::dbg::Contains("CSingleUrb::IrpComplete - Irp Err"), row.errorLogged);
    hw->Stop();
  }
}

TEST_F(ReaderTest, StopRetiresEveryTransferQuietlyAndEndsTheWatchdog) {
  StartStreaming();
  host::sched::RunFor(30 * kMillisecond);
  hw->Stop();
  EXPECT_FALSE(reader->m_Running);
  EXPECT_TRUE(IsListEmpty(&reader->m_Busy));
  EXPECT_TRUE(IsListEmpty(&reader->m_Idle));
  EXPECT_FALSE(host::dbg::Contains("Irp Err"));
  host::sched::RunFor(3 * kSecond);
  EXPECT_EQ(dev->VendorCount(kVrFlush), 0u);
  EXPECT_EQ(host::io::LiveIrps(), 0u);
}

TEST_F(ReaderTest, StopCancelsTransfersThatTheAbortDidNotReturn) {
  for (const int64_t cancelDelay : {int64_t(0), 3 * kMillisecond}) {
    SCOPED_TRACE(cancelDelay);
    Unplug();
    host::dbg::Clear();
    Plug();
    FilterDevice filter(camera->device);
    Acquire();
    filter.hold = [](const URB& urb) { return urb.UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER; };
    filter.cancelDelay = cancelDelay;
    ASSERT_EQ(hw->Start(), STATUS_SUCCESS);
    ASSERT_EQ(filter.held.size(), 8u);
    hw->Stop();
    EXPECT_EQ(reader->TransferCount(), 0u);
    EXPECT_EQ(host::dbg::Count("cancelling "), 8u);
    for (const auto& h : filter.held) EXPECT_GE(h.completedAt, h.cancelledAt);
    EXPECT_EQ(host::io::LiveIrps(), 0u);
  }
}

TEST_F(ReaderTest, WatchdogFlushesOncePerIdleSecondUntilAFlushIsRefused) {
  Plug();
  FilterDevice filter(camera->device);
  Acquire();
  filter.onComplete = [](uint64_t, PIRP irp, PURB urb) {
    if (urb->UrbHeader.Function != URB_FUNCTION_ISOCH_TRANSFER) return;
    irp->IoStatus.Status = STATUS_INVALID_PARAMETER;  // every transfer retired
    urb->UrbHeader.Status = USBD_STATUS_STALL_PID;
  };
  ASSERT_EQ(hw->Start(), STATUS_SUCCESS);
  host::sched::RunFor(3500 * kMillisecond);
  EXPECT_EQ(reader->TransferCount(), 0u);
  EXPECT_EQ(dev->VendorCount(kVrFlush), 3u);
  EXPECT_TRUE(reader->m_Running);

  dev->onVendor = [](const host::usb::Setup& s, uint8_t*) -> std::optional<host::usb::ControlReply> {
    if (s.bRequest != kVrFlush) return std::nullopt;
    host::usb::ControlReply r;
    r.status = USBD_STATUS_STALL_PID;
    return r;
  };
  host::sched::RunFor(4 * kSecond);
  EXPECT_EQ(dev->VendorCount(kVrFlush), 4u);
  EXPECT_FALSE(reader->m_Running);
  EXPECT_EQ(host::io::ActiveWorkItems(), 0u);
}

TEST_F(ReaderTest, ReleaseWaitsForAFlushUnderWay) {
  Plug(true);
  dev->onBulk = [](uint8_t*, uint32_t) {
    host::usb::BulkReply r;
    r.wait = true;  // nothing ever arrives
    r.duration = host::sched::kMillisecond;
    return r;
  };
  dev->onVendor = [](const host::usb::Setup& s, uint8_t*) -> std::optional<host::usb::ControlReply> {
    if (s.bRequest != kVrFlush) return std::nullopt;
    host::usb::ControlReply r;
    r.never = true;  // the flush hangs until its time-out
    return r;
  };
  Acquire();
  ASSERT_EQ(hw->Start(), STATUS_SUCCESS);
  ASSERT_TRUE(host::sched::RunUntil([&] { return dev->VendorCount(kVrFlush) == 1; }, 2 * kSecond));
  const int64_t flushAt = host::sched::Now();
  EXPECT_EQ(hw->ReleaseResources(), STATUS_SUCCESS);
  EXPECT_GE(host::sched::Now() - flushAt, 100 * kMillisecond) << "the reader went while its flush still ran";
  EXPECT_EQ(hw->m_Reader, nullptr);
  EXPECT_EQ(host::io::ActiveWorkItems(), 0u);
}

TEST_F(ReaderTest, StalledBulkPipeIsFlushedAndStreamsAgain) {
  Plug(true);
  bool flowing = false;
  dev->onBulk = [&](uint8_t* buffer, uint32_t capacity) {
    host::usb::BulkReply r;
    r.wait = !flowing;
    r.length = flowing ? capacity : 0;
    r.duration = host::sched::kMillisecond;
    return r;
  };
  dev->onVendor = [&](const host::usb::Setup& s, uint8_t*) -> std::optional<host::usb::ControlReply> {
    if (s.bRequest == kVrFlush) flowing = true;
    return std::nullopt;
  };
  Acquire();
  ASSERT_EQ(hw->Start(), STATUS_SUCCESS);
  host::sched::RunFor(4 * kSecond);
  EXPECT_EQ(dev->VendorCount(kVrFlush), 1u);
  EXPECT_GT(camera->owner->calls, 100u);
}

TEST_F(ReaderTest, SurpriseRemovalStopsTheReaderByItself) {
  StartStreaming();
  host::sched::RunFor(50 * kMillisecond);
  hw->m_Removed = TRUE;
  camera->Unplug();
  // The tick after the unplug still sees the completions before it; the next one flushes.
  host::sched::RunFor(1500 * kMillisecond);
  EXPECT_TRUE(reader->m_Running);
  host::sched::RunFor(1 * kSecond);
  EXPECT_FALSE(reader->m_Running);
  EXPECT_EQ(reader->TransferCount(), 0u);
  EXPECT_EQ(host::dbg::Count("Cancelled - device is removed."), 1u);
  EXPECT_EQ(dev->VendorCount(kVrFlush), 0u);
  EXPECT_EQ(host::io::ActiveWorkItems(), 0u);
}

TEST_F(ReaderTest, BlocksArriveInStreamOrderAndNeverWhilePaused) {
  StartStreaming();
  auto& owner = *camera->owner;
  auto checkOrder = [&](size_t from) {
    for (size_t i = from + 1; i < owner.blocks.size(); ++i) {
      const auto& prev = owner.blocks[i - 1];
      const auto& b = owner.blocks[i];
      const size_t at = size_t(b.streamOffset);
      const int64_t position = PatternPosition(owner.bytes.data() + at, b.length);
      const int64_t previous = PatternPosition(owner.bytes.data() + size_t(prev.streamOffset), prev.length);
      ASSERT_GE(position, previous + int64_t(prev.length)) << "block " << i;
    }
  };
  host::sched::RunFor(100 * kMillisecond);
  ASSERT_GT(owner.calls, 5u);
  // While running nothing is lost: the bytes are the stream itself.
  for (size_t i = 0; i < owner.bytes.size(); i += 4097) ASSERT_EQ(owner.bytes[i], PatternByte(i)) << i;
  checkOrder(0);

  const uint64_t before = owner.calls;
  const uint64_t packets = dev->isoPackets;
  hw->Pause(TRUE);
  host::sched::RunFor(100 * kMillisecond);
  EXPECT_EQ(owner.calls, before);
  EXPECT_GT(dev->isoPackets, packets) << "the reader keeps running while paused";

  hw->Pause(FALSE);
  host::sched::RunFor(100 * kMillisecond);
  EXPECT_GT(owner.calls, before);
  checkOrder(before - 1);
  EXPECT_EQ(dev->VendorCount(kVrFlush), 0u);
}

TEST_F(ReaderTest, StreamingAgainAfterStopBuildsFreshTransfers) {
  StartStreaming();
  host::sched::RunFor(30 * kMillisecond);
  hw->Stop();
  camera->owner->Clear();
  ASSERT_EQ(hw->Start(), STATUS_SUCCESS);
  EXPECT_EQ(reader->TransferCount(), 8u);
  host::sched::RunFor(50 * kMillisecond);
  EXPECT_GT(camera->owner->calls, 0u);
}

TEST_F(ReaderTest, StreamingPathAllocatesNothing) {
  for (const bool bulk : {false, true}) {
    SCOPED_TRACE(bulk ? "bulk" : "isochronous");
    Unplug();
    StartStreaming(bulk);
    camera->owner->keepBytes = false;
    host::sched::RunFor(40 * kMillisecond);
    const uint64_t allocations = host::pool::GetStats().allocations;
    const uint64_t calls = camera->owner->calls;
    host::sched::RunFor(500 * kMillisecond);
    EXPECT_GT(camera->owner->calls - calls, 30u);
    EXPECT_EQ(host::pool::GetStats().allocations, allocations);
  }
}

}  // namespace
}  // namespace ovratest
