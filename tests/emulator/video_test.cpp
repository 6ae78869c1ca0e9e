// The bridge's video pipe: the rate of each alternate setting, the byte
// stream carried without loss or repetition, stalls and flushes, packet
// faults and the bulk variant.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "emulator/camera_requests.h"

namespace emutest {
namespace {

using bustest::IsoTransfer;
using bustest::Submission;
using emu::PacketShape;
using emu::PatternSource;
using host::usb::kMicroframe;

const emu::Profile& Cedar() { return *emu::FindProfile("cedar-0142"); }

// The bytes of the packets of a completed transfer, in order.
std::vector<uint8_t> Received(IsoTransfer& t, uint32_t packets) {
  std::vector<uint8_t> out;
  for (uint32_t i = 0; i < packets; ++i) {
    const auto& p = t.Packet(i);
    out.insert(out.end(), t.data.begin() + p.Offset, t.data.begin() + p.Offset + p.Length);
  }
  return out;
}

// The pattern, noting the time each packet's bytes leave the camera.
class TimedSource : public PatternSource {
 public:
  size_t ReadAt(uint8_t* out, size_t capacity, int64_t time) override {
    times.push_back(time);
    return Read(out, capacity);
  }
  std::vector<int64_t> times;
};

bool IsPattern(const std::vector<uint8_t>& bytes, uint64_t from) {
  for (size_t i = 0; i < bytes.size(); ++i)
    if (bytes[i] != PatternSource::ByteAt(from + i)) return false;
  return true;
}

TEST(Video, EachSettingSendsItsBytesPerMicroframeWithoutLossOrRepeat) {
  for (uint8_t alt = 1; alt <= 3; ++alt) {
    SCOPED_TRACE(testing::Message() << "alternate " << int(alt));
    emu::Camera camera(Cedar());
    auto source = std::make_shared<TimedSource>();
    camera.bridge().SetSource(source);
    bustest::Pipes p = Streaming(camera.pdo(), alt);
    ASSERT_EQ(p.pipes.size(), 2u);
    // Three transfers in flight, each with room for 3072 bytes per packet.
    std::vector<std::unique_ptr<IsoTransfer>> t;
    std::vector<std::unique_ptr<Submission>> s;
    for (int i = 0; i < 3; ++i) {
      t.push_back(std::make_unique<IsoTransfer>(p.pipes[1].PipeHandle, 8, 3072));
      s.push_back(bustest::Submit(camera.pdo(), t.back()->urb.get()));
    }
    ASSERT_TRUE(s.back()->Wait());
    std::vector<uint8_t> stream;
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(s[i]->status, STATUS_SUCCESS);
      for (uint32_t k = 0; k < 8; ++k) EXPECT_EQ(t[i]->Packet(k).Length, 1024u * alt);
      const std::vector<uint8_t> got = Received(*t[i], 8);
      stream.insert(stream.end(), got.begin(), got.end());
    }
    EXPECT_EQ(stream.size(), 3u * 8 * 1024 * alt);
    EXPECT_TRUE(IsPattern(stream, 0));
    EXPECT_EQ(camera.bridge().VideoBytesSent(), stream.size());
    EXPECT_EQ(s[2]->time - s[0]->time, 16 * kMicroframe) << "back to back, one packet per microframe";
    ASSERT_EQ(source->times.size(), 24u);
    for (size_t k = 1; k < 24; ++k) EXPECT_EQ(source->times[k] - source->times[k - 1], kMicroframe);
    EXPECT_EQ(source->times.back(), s[2]->time - kMicroframe) << "the last packet's microframe ends the transfer";
  }
}

TEST(Video, SettingZeroHasNoBandwidth) {
  emu::Camera camera(Cedar());
  bustest::Pipes p = Streaming(camera.pdo(), 0);
  ASSERT_EQ(p.pipes.size(), 2u);
  EXPECT_EQ(p.pipes[1].MaximumPacketSize, 0);
  IsoTransfer t(p.pipes[1].PipeHandle, 8, 1024);
  Submission s(camera.pdo(), t.urb.get());
  EXPECT_TRUE(s.done);
  EXPECT_EQ(s.status, STATUS_INVALID_PARAMETER);
}

TEST(Video, StalledPipeSendsNothingUntilFlushed) {
  emu::Camera camera(Cedar());
  camera.bridge().SetSource(std::make_shared<PatternSource>());
  bustest::Pipes p = Streaming(camera.pdo(), 1);
  camera.bridge().StallVideo();
  IsoTransfer stalled(p.pipes[1].PipeHandle, 8, 1024);
  Submission s1(camera.pdo(), stalled.urb.get());
  ASSERT_TRUE(s1.Wait());
  EXPECT_EQ(s1.status, STATUS_SUCCESS);
  for (uint32_t k = 0; k < 8; ++k) {
    EXPECT_EQ(stalled.Packet(k).Length, 0u);
    EXPECT_EQ(stalled.Packet(k).Status, USBD_STATUS_SUCCESS);
  }
  EXPECT_EQ(Out(camera.pdo(), emu::kReqFlush, 0).status, STATUS_SUCCESS);
  EXPECT_FALSE(camera.bridge().VideoStalled());
  IsoTransfer flowing(p.pipes[1].PipeHandle, 8, 1024);
  Submission s2(camera.pdo(), flowing.urb.get());
  ASSERT_TRUE(s2.Wait());
  EXPECT_TRUE(IsPattern(Received(flowing, 8), 0)) << "nothing was lost while stalled";
}

TEST(Video, ShortEmptyAndFailedPackets) {
  emu::Camera camera(Cedar());
  camera.bridge().SetSource(std::make_shared<PatternSource>());
  bustest::Pipes p = Streaming(camera.pdo(), 1);
  PacketShape shortPacket{PacketShape::Kind::Short, 100};
  PacketShape empty{PacketShape::Kind::Empty};
  PacketShape failed{PacketShape::Kind::Failed, 0, USBD_STATUS_XACT_ERROR};
  camera.bridge().SetPacketShaper(emu::ScriptedPackets({{1, shortPacket}, {2, empty}, {3, failed}}));
  IsoTransfer t(p.pipes[1].PipeHandle, 6, 1024);
  Submission s(camera.pdo(), t.urb.get());
  ASSERT_TRUE(s.Wait());
  EXPECT_EQ(s.status, STATUS_SUCCESS);
  struct Expected {
    uint32_t length;
    USBD_STATUS status;
    uint64_t from;  // stream offset of the packet's first byte
  };
  // The failed packet's 1024 bytes were taken from the source and lost.
  const Expected expected[] = {{1024, 0, 0},    {100, 0, 1024},    {0, 0, 0},
                               {0, USBD_STATUS_XACT_ERROR, 0}, {1024, 0, 2148}, {1024, 0, 3172}};
  for (uint32_t k = 0; k < 6; ++k) {
    SCOPED_TRACE(k);
    EXPECT_EQ(t.Packet(k).Length, expected[k].length);
    EXPECT_EQ(t.Packet(k).Status, expected[k].status);
    std::vector<uint8_t> bytes(t.data.begin() + t.Packet(k).Offset,
                               t.data.begin() + t.Packet(k).Offset + t.Packet(k).Length);
    EXPECT_TRUE(IsPattern(bytes, expected[k].from));
  }
  EXPECT_EQ(t.urb->UrbIsochronousTransfer.ErrorCount, 1u);
}

TEST(Video, FailedIsochronousRequestTakesNothingFromTheSource) {
  emu::Camera camera(Cedar());
  auto source = std::make_shared<PatternSource>();
  camera.bridge().SetSource(source);
  bustest::Pipes p = Streaming(camera.pdo(), 2);
  camera.bridge().FailIsochRequests(1);
  IsoTransfer a(p.pipes[1].PipeHandle, 4, 2048), b(p.pipes[1].PipeHandle, 4, 2048);
  auto sa = bustest::Submit(camera.pdo(), a.urb.get());
  auto sb = bustest::Submit(camera.pdo(), b.urb.get());
  ASSERT_TRUE(sb->Wait());
  EXPECT_EQ(sa->status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(sa->UrbStatus(), USBD_STATUS_ISOCH_REQUEST_FAILED);
  EXPECT_EQ(sb->status, STATUS_SUCCESS);
  EXPECT_TRUE(IsPattern(Received(b, 4), 0));
  EXPECT_EQ(source->Position(), 4u * 2048);
}

TEST(Video, BulkVariantAtItsFixedRate) {
  emu::BridgeOptions options;
  options.transport = emu::VideoTransport::Bulk;
  options.bulkBytesPerMicroframe = 4096;
  emu::Camera camera(Cedar(), options);
  auto source = std::make_shared<emu::BufferSource>(std::vector<uint8_t>(40000, 0x11));
  camera.bridge().SetSource(source);
  bustest::Pipes p = Streaming(camera.pdo(), 1);
  ASSERT_EQ(p.pipes[1].PipeType, UsbdPipeTypeBulk);

  struct Step {
    const char* name;
    uint32_t length;  // bytes received
    int64_t took;     // from submission to completion
  };
  const Step steps[] = {
      {"a full transfer", 32768, 8 * kMicroframe},
      {"the rest, short", 40000 - 32768, 2 * kMicroframe},
  };
  std::vector<uint8_t> buffer(32768);
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    URB urb;
    bustest::FillBulk(&urb, p.pipes[1].PipeHandle, buffer.data(), ULONG(buffer.size()));
    const int64_t t0 = host::sched::Now();
    Submission s(camera.pdo(), &urb);
    ASSERT_TRUE(s.Wait());
    EXPECT_EQ(s.status, STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, step.length);
    EXPECT_EQ(s.time - t0, step.took);
  }

  // With nothing to send the transfer waits; so it does while the pipe is
  // stalled, until the flush.
  URB urb;
  bustest::FillBulk(&urb, p.pipes[1].PipeHandle, buffer.data(), ULONG(buffer.size()));
  Submission waiting(camera.pdo(), &urb);
  host::sched::RunFor(5 * host::sched::kMillisecond);
  EXPECT_FALSE(waiting.done);
  camera.bridge().StallVideo();
  source->Append(std::vector<uint8_t>(100, 0x22));
  host::sched::RunFor(5 * host::sched::kMillisecond);
  EXPECT_FALSE(waiting.done);
  EXPECT_EQ(Out(camera.pdo(), emu::kReqFlush, 0).status, STATUS_SUCCESS);
  ASSERT_TRUE(waiting.Wait());
  EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 100u);
  EXPECT_EQ(buffer[99], 0x22);

  // An empty transfer completes at once with no bytes.
  camera.bridge().SetPacketShaper([](uint64_t) { return PacketShape{PacketShape::Kind::Empty}; });
  bustest::FillBulk(&urb, p.pipes[1].PipeHandle, buffer.data(), ULONG(buffer.size()));
  EXPECT_EQ(bustest::Call(camera.pdo(), &urb), STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
}

}  // namespace
}  // namespace emutest
