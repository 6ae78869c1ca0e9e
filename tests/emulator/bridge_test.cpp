// The bridge's requests and their effects, its recorder, the I2C bus behind request 0xC3, the fault knobs and the
// video pipe. Requests go straight into the bridge's device model; configuration and streaming through the bus.
#include <gtest/gtest.h>

#include <memory>
#include <tuple>
#include <vector>

#include <emu/bridge.h>
#include <emu/heads.h>

#include "bus/raw_urb.h"

namespace {

using bustest::IsoTransfer;
using bustest::Submission;
using emu::PacketShape;
using emu::PatternSource;
using host::usb::ControlReply;
using host::usb::kMicroframe;
using std::make_tuple;
using Bytes = std::vector<uint8_t>;

const emu::Profile& Larch() { return *emu::FindProfile(0x2E4C, 0x0014); }

bool IsPattern(const Bytes& bytes, uint64_t from) {
  for (size_t i = 0; i < bytes.size(); ++i)
    if (bytes[i] != PatternSource::ByteAt(from + i)) return false;
  return true;
}

class BridgeTest : public ::testing::Test {
 protected:
  BridgeTest() { bridge.Control({0x00, 9, 1, 0, 0}, nullptr); }  // SET_CONFIGURATION 1
  // A vendor request: IN for `length` bytes (returns those received), or OUT with `data` as its data stage.
  Bytes In(uint8_t request, uint16_t value, uint16_t length, USBD_STATUS* status = nullptr) {
    Bytes data(length, 0xEE);
    const ControlReply r = bridge.Control({0xC0, request, value, 0, length}, data.data());
    if (status) *status = r.status;
    data.resize(r.length);
    return data;
  }
  USBD_STATUS Out(uint8_t request, uint16_t value, Bytes data = {}) {
    return bridge.Control({0x40, request, value, 0, uint16_t(data.size())}, data.data()).status;
  }
  // One I2C byte through request 0xC3: the flags, the byte sampled, NAK, 0.
  Bytes I2c(uint8_t flags, uint8_t byte) { return In(emu::kReqI2cByte, uint16_t(flags << 8 | byte), 4); }

  emu::Camera camera{Larch()};
  emu::Bridge& bridge = camera.bridge();
  std::shared_ptr<emu::RegisterHead> head = std::make_shared<emu::RegisterHead>(0xA0, 1, 1);
};

// Each request's answer, effect and record; port and power requests are told to every listener.
TEST_F(BridgeTest, VendorRequestsAnswerTakeEffectAndAreRecorded) {
  struct Recorder : emu::PortListener, emu::PowerListener {
    void OnPort(uint8_t v) override { told.push_back(v); }
    void OnPower(bool on) override { told.push_back(on ? 0xF1 : 0xF0); }
    Bytes told;
  };
  auto recorder = std::make_shared<Recorder>();
  bridge.AddPortListener(recorder);
  bridge.AddPowerListener(recorder);
  bridge.SetStatusBit(true);
  // Name, IN, code, wValue, wLength (IN), the OUT data stage or the IN reply, answered (else stalled).
  // clang-format off
  const std::tuple<const char*, bool, uint8_t, uint16_t, uint16_t, Bytes, bool> cases[] = {
      {"stream reset", false, 0xBB, 0, 0, {}, true},       {"renumerate", false, 0xA8, 0, 0, {}, true},
      {"flush", false, 0xCA, 0, 0, {}, true},              {"status", true, 0xC9, 0, 4, {0, 1, 0, 0}, true},
      {"CPU reset hold", false, 0xA0, 0xE600, 0, {1}, true}, {"power on", false, 0xC4, 1, 0, {}, true},
      {"port byte", false, 0xC8, 0x83, 0, {}, true},       {"power off", false, 0xC4, 0, 0, {}, true},
      {"port byte again", false, 0xC8, 0x83, 0, {}, true}, {"unknown request", false, 0x55, 0, 0, {}, false},
      {"status sent as OUT", false, 0xC9, 0, 0, {}, false}, {"power asked as IN", true, 0xC4, 1, 4, {}, false},
      {"I2C byte sent as OUT", false, 0xC3, 0x03BA, 0, {}, false},
  };
  // clang-format on
  for (const auto& [name, in, code, value, length, bytes, ok] : cases) {
    const host::usb::Setup setup{uint8_t(in ? 0xC0 : 0x40), code, value, 0, uint16_t(in ? length : bytes.size())};
    Bytes data = in ? Bytes(length, 0xEE) : bytes;
    const ControlReply r = bridge.Control(setup, data.data());
    data.resize(in ? r.length : data.size());
    EXPECT_EQ(make_tuple(r.status, r.latency, data), make_tuple(ok ? 0 : USBD_STATUS_STALL_PID, kMicroframe, bytes))
        << name;
    const emu::ControlRecord& rec = bridge.Requests().back();
    EXPECT_EQ(make_tuple(rec.setup, rec.data, rec.status, rec.time),
              make_tuple(setup, bytes, r.status, host::sched::Now()))
        << name;
  }
  ASSERT_EQ(bridge.Requests().size(), std::size(cases) + 1);
  EXPECT_FALSE(bridge.Requests()[0].Vendor()) << "standard requests are recorded too";
  EXPECT_EQ(make_tuple(bridge.VendorRequests().size(), bridge.VendorRequests(0xC9).size()),
            make_tuple(std::size(cases), size_t(2)));
  EXPECT_EQ(make_tuple(bridge.StreamResets(), bridge.Flushes(), bridge.Powered(), bridge.PortByte()),
            make_tuple(1, 1, false, uint8_t(0x83)));
  EXPECT_EQ(recorder->told, (Bytes{0xF1, 0x83, 0xF0, 0x83})) << "every request is told";
}

TEST_F(BridgeTest, FirmwareDownloadFillsRamAndRestartsTheCpuAndEepromWrapsAt64KiB) {
  Bytes image(130);
  for (size_t i = 0; i < image.size(); ++i) image[i] = uint8_t(i * 7 + 1);
  Out(0xA0, emu::kCpuControl, {1});
  EXPECT_TRUE(bridge.CpuHeld());
  for (size_t at = 0; at < image.size(); at += 64)
    Out(0xA0, uint16_t(at), Bytes(image.begin() + at, image.begin() + std::min<size_t>(at + 64, image.size())));
  Out(0xA0, emu::kCpuControl, {1});
  EXPECT_EQ(bridge.CpuStarts(), 0);
  Out(0xA0, emu::kCpuControl, {0});
  EXPECT_EQ(make_tuple(bridge.CpuHeld(), bridge.CpuStarts()), make_tuple(false, 1));
  image.push_back(0);
  EXPECT_EQ(Bytes(bridge.Ram().begin(), bridge.Ram().begin() + 131), image);
  EXPECT_EQ(In(0xA0, 64, 4), Bytes(image.begin() + 64, image.begin() + 68));
  // A chunk reaching past the end of RAM stores only what fits.
  EXPECT_EQ(Out(0xA0, uint16_t(emu::kRamBytes - 2), {9, 8, 7, 6}), USBD_STATUS_SUCCESS);
  EXPECT_EQ(make_tuple(bridge.Ram().size(), bridge.Ram().back()), make_tuple(size_t(emu::kRamBytes), uint8_t(8)));

  Out(0xA2, 0xFFF0, Bytes(image.begin(), image.begin() + 64));
  Out(0xA2, 0x0030, Bytes(image.begin() + 64, image.begin() + 100));
  for (size_t i = 0; i < 100; ++i) EXPECT_EQ(bridge.Eeprom()[(0xFFF0 + i) & 0xFFFF], image[i]) << i;
  EXPECT_EQ(bridge.Eeprom()[0x54], 0xFF) << "untouched";
  EXPECT_EQ(In(0xA2, 0xFFF0, 64), Bytes(image.begin(), image.begin() + 64));
}

TEST_F(BridgeTest, I2cBytesMoveAsTheFlagsSayAndTheNakKnobRefusesTheChosenOnes) {
  const uint8_t S = emu::kI2cStart | emu::kI2cData, D = emu::kI2cData, P = emu::kI2cData | emu::kI2cStop,
                RA = emu::kI2cData | emu::kI2cAck;
  head->Set(0x20, 0x5A);
  head->Set(0x21, 0x6B);
  head->AttachTo(bridge.I2c());
  struct Step {
    uint8_t flags, byte, sampled;
    bool acked;
  };
  // clang-format off
  const std::pair<const char*, std::vector<Step>> cases[] = {
      {"write message", {{S, 0xA0, 0xA0, true}, {D, 0x10, 0x10, true}, {P, 0xAB, 0xAB, true}}},
      {"read after a register write", {{S, 0xA0, 0xA0, true}, {P, 0x20, 0x20, true}, {S, 0xA1, 0xA1, true},
                                       {RA, 0xFF, 0x5A, true}, {P, 0xFF, 0x6B, false}}},
      {"nobody at the address", {{S, 0x42, 0x42, false}, {P, 0x00, 0x00, false}}},
      {"repeated start", {{S, 0xA0, 0xA0, true}, {D, 0x20, 0x20, true}, {S, 0xA1, 0xA1, true}, {P, 0xFF, 0x5A, false}}},
      {"data without a start", {{D, 0x10, 0x10, false}, {P, 0x11, 0x11, false}}},
      {"start without data", {{emu::kI2cStart, 0xFF, 0xFF, false}, {D, 0xA0, 0xA0, true}, {P, 0x30, 0x30, true}}},
  };
  // clang-format on
  size_t bytes = 0;
  for (const auto& [name, steps] : cases) {
    for (const Step& s : steps)
      EXPECT_EQ(I2c(s.flags, s.byte), (Bytes{s.flags, s.sampled, uint8_t(s.acked ? 0 : 1), 0})) << name << int(s.byte);
    EXPECT_FALSE(bridge.I2c().InMessage()) << name;
    bytes += steps.size();
  }
  EXPECT_EQ(bridge.I2c().Log().size(), bytes);
  EXPECT_EQ(head->Writes(), (std::vector<emu::RegisterWrite>{{0xA0, 0x10, 0xAB}})) << "no stray byte was stored";

  // The NAK knob: the address twice refused (not the same byte as data); then a data byte once, which never arrives.
  head->ClearWrites();
  bridge.I2c().NakByte(0xA0, 2, /*addressOnly=*/true);
  for (int nak : {1, 1, 0}) {
    EXPECT_EQ(I2c(S, 0xA0)[2], nak);
    EXPECT_EQ(I2c(P, 0xA0)[2], nak);
  }
  bridge.I2c().NakByte(0x77, 1, false, /*dataOnly=*/true);
  for (auto [flags, byte, nak] :
       {make_tuple(S, 0xA0, 0), make_tuple(D, 0x01, 0), make_tuple(D, 0x77, 1), make_tuple(P, 0x77, 0)})
    EXPECT_EQ(I2c(flags, uint8_t(byte))[2], nak);
  EXPECT_EQ(head->Writes(), (std::vector<emu::RegisterWrite>{{0xA0, 0x01, 0x77}}));
}

TEST_F(BridgeTest, ControlFaultsHitTheChosenRequestsOnly) {
  bridge.FailRequest(emu::kReqI2cByte, /*count=*/2, /*skip=*/1);
  for (USBD_STATUS expected : {0, USBD_STATUS_STALL_PID, USBD_STATUS_STALL_PID, 0}) {
    USBD_STATUS status = 0;
    In(emu::kReqI2cByte, 0x0342, 4, &status);
    EXPECT_EQ(status, expected);
  }
  EXPECT_EQ(bridge.I2c().Log().size(), 2u) << "a failed request has no effect";
  EXPECT_TRUE(bridge.VendorRequests(emu::kReqI2cByte)[1].data.empty());
  bridge.DelayRequest(emu::kReqPower, 150 * host::sched::kMillisecond);
  const ControlReply delayed = bridge.Control({0x40, emu::kReqPower, 1, 0, 0}, nullptr);
  EXPECT_EQ(make_tuple(delayed.status, delayed.latency, bridge.Powered()),
            make_tuple(0, 150 * host::sched::kMillisecond, true));
  bridge.HangRequest(emu::kReqPower);
  const ControlReply hung = bridge.Control({0x40, emu::kReqPower, 0, 0, 0}, nullptr);
  EXPECT_EQ(make_tuple(hung.never, bridge.Powered(), bridge.Requests().back().answered), make_tuple(true, true, false));
  Out(emu::kReqPower, 0);
  EXPECT_FALSE(bridge.Powered()) << "the next one goes through";

  // A malformed descriptor set fails configuration through the bus (which reads nothing past the bytes sent).
  NTSTATUS status = 0;
  bridge.SetConfigDescriptor(Bytes(bridge.ConfigDescriptor().begin(), bridge.ConfigDescriptor().begin() + 20));
  bustest::SelectConfiguration(camera.pdo(), &status);
  EXPECT_EQ(make_tuple(status, host::usb::Configuration(camera.pdo())), make_tuple(STATUS_UNSUCCESSFUL, uint8_t(0)));
  bridge.ResetDescriptors();
  bustest::Streaming(camera.pdo(), 3, &status);
  EXPECT_EQ(make_tuple(status, bridge.AlternateSetting()), make_tuple(STATUS_SUCCESS, 3));

  // The cable goes as the second 0xBB arrives, from inside the bus's call.
  bridge.UnplugOnRequest(emu::kReqStreamReset, /*skip=*/1);
  URB reset = bustest::Vendor(false, emu::kReqStreamReset);
  EXPECT_EQ(bustest::Call(camera.pdo(), &reset), STATUS_SUCCESS);
  EXPECT_EQ(bustest::Call(camera.pdo(), &reset), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(make_tuple(reset.UrbHeader.Status, host::usb::IsPlugged(camera.pdo())),
            make_tuple(USBD_STATUS_DEVICE_GONE, false));
}

// Packet knobs (short, empty, failed) and a stall until request 0xCA.
TEST_F(BridgeTest, IsochronousPacketKnobsAndStall) {
  bridge.Control({0x01, 11, 1, 0, 0}, nullptr);  // SET_INTERFACE 1: 1024 bytes per microframe
  bridge.SetSource(std::make_shared<PatternSource>());
  bridge.SetPacketShaper(
      emu::ScriptedPackets({{1, PacketShape{PacketShape::Kind::Short, 100}},
                            {2, PacketShape{PacketShape::Kind::Empty}},
                            {3, PacketShape{PacketShape::Kind::Failed, 0, USBD_STATUS_XACT_ERROR}}}));
  // Length, status, stream offset: a failed packet's bytes are lost; a stalled pipe sends nothing, loses nothing.
  const std::tuple<uint32_t, USBD_STATUS, uint64_t> expected[] = {
      {1024, 0, 0}, {100, 0, 1024}, {0, 0, 0}, {0, USBD_STATUS_XACT_ERROR, 0}, {0, 0, 0}, {1024, 0, 2148}};
  Bytes room(1024);
  for (uint32_t k = 0; k < 6; ++k) {
    if (k == 4) bridge.StallVideo();
    if (k == 5) Out(emu::kReqFlush, 0);
    EXPECT_EQ(bridge.VideoStalled(), k == 4);
    const host::usb::IsoPacket packet = bridge.IsochIn(emu::kVideoEndpoint, k, room.data(), 3072);
    EXPECT_EQ(make_tuple(packet.length, packet.status), make_tuple(std::get<0>(expected[k]), std::get<1>(expected[k])));
    EXPECT_TRUE(IsPattern(Bytes(room.begin(), room.begin() + packet.length), std::get<2>(expected[k]))) << k;
  }
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

TEST(BridgeVideo, EachSettingSendsItsBytesPerMicroframeWithoutLossOrRepeat) {
  for (uint8_t alt = 0; alt < emu::kAltSettings; ++alt) {
    SCOPED_TRACE(testing::Message() << "alternate " << int(alt));
    emu::Camera camera(Larch());
    auto source = std::make_shared<TimedSource>();
    camera.bridge().SetSource(source);
    const bustest::Pipes p = bustest::Streaming(camera.pdo(), alt);
    EXPECT_EQ(make_tuple(p.pipes.at(0).EndpointAddress, p.pipes.at(1).EndpointAddress, p.pipes[1].PipeType,
                         p.pipes[1].MaximumPacketSize, camera.bridge().AlternateSetting()),
              make_tuple(emu::kAuxEndpoint, emu::kVideoEndpoint, UsbdPipeTypeIsochronous, USHORT(1024 * alt), alt));
    const uint32_t room = 1024u * std::max<uint32_t>(alt, 1);  // one microframe's payload per packet
    IsoTransfer t(p[1], 16, room);
    Submission s(camera.pdo(), t.urb);
    if (alt == 0) {
      EXPECT_EQ(make_tuple(s.done, s.status), make_tuple(true, STATUS_INVALID_PARAMETER)) << "no bandwidth";
      continue;
    }
    ASSERT_TRUE(s.Wait());
    for (uint32_t k = 0; k < 16; ++k) {
      EXPECT_EQ(t.Packet(k).Length, 1024u * alt);
      EXPECT_TRUE(IsPattern(Bytes(t.data.begin() + room * k, t.data.begin() + room * k + 1024 * alt), 1024 * alt * k));
    }
    EXPECT_EQ(camera.bridge().VideoBytesSent(), 16u * 1024 * alt);
    ASSERT_EQ(source->times.size(), 16u);
    for (size_t k = 0; k < 16; ++k) EXPECT_EQ(source->times[k], s.time - int64_t(16 - k) * kMicroframe) << k;
  }
}

TEST(BridgeVideo, FailedIsochronousRequestTakesNothingFromTheSource) {
  emu::Camera camera(Larch());
  auto source = std::make_shared<PatternSource>();
  camera.bridge().SetSource(source);
  const bustest::Pipes p = bustest::Streaming(camera.pdo(), 2);
  camera.bridge().FailIsochRequests(1);
  IsoTransfer a(p[1], 8, 2048), b(p[1], 8, 2048);
  auto sa = bustest::Submit(camera.pdo(), a.urb);
  auto sb = bustest::Submit(camera.pdo(), b.urb);
  ASSERT_TRUE(sb->Wait());
  EXPECT_EQ(make_tuple(sa->status, sa->UrbStatus(), sb->status),
            make_tuple(STATUS_UNSUCCESSFUL, USBD_STATUS_ISOCH_REQUEST_FAILED, STATUS_SUCCESS));
  EXPECT_TRUE(IsPattern(b.data, 0));
  EXPECT_EQ(source->Position(), 8u * 2048);
}

}  // namespace
