// The bridge through the bus, with raw URBs: descriptors and settings, the
// vendor requests and their effects on the wire and in the bridge, the I2C
// bus behind request 0xC3, the recorder and the control faults.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <vector>

#include "emulator/camera_requests.h"

namespace emutest {
namespace {

using bustest::Submission;
using host::sched::kMillisecond;
using host::usb::kMicroframe;

const emu::Profile& Larch() { return *emu::FindProfile(0x2E4C, 0x0014); }

// An 8-bit register file on the I2C bus: [S addr] [reg] [values...] writes,
// [S addr|1] [reads...] reads from the register pointer.
class RegisterFile : public emu::I2cDevice {
 public:
  explicit RegisterFile(uint8_t address8) : address8_(address8) {}
  bool Address(uint8_t a) override {
    fresh_ = true;
    return (a & 0xFE) == address8_;
  }
  bool Write(uint8_t b) override {
    if (fresh_) pointer_ = b;
    else regs[pointer_++] = b;
    fresh_ = false;
    return true;
  }
  uint8_t Read(bool) override { return regs[pointer_++]; }
  void Stop() override {}
  uint8_t regs[256] = {};

 private:
  uint8_t address8_;
  uint8_t pointer_ = 0;
  bool fresh_ = false;
};

class Recorder : public emu::PortListener, public emu::PowerListener {
 public:
  void OnPort(uint8_t v) override { ports.push_back(v); }
  void OnPower(bool on) override { power.push_back(on); }
  std::vector<uint8_t> ports;
  std::vector<bool> power;
};

class BridgeTest : public ::testing::Test {
 protected:
  emu::Camera camera{Larch()};
  emu::Bridge& bridge = camera.bridge();
  PDEVICE_OBJECT pdo = camera.pdo();
};

TEST(Bridge, EverySettingHasTheVideoPipeSecond) {
  struct Case {
    emu::VideoTransport transport;
    uint8_t alternate;
    USBD_PIPE_TYPE type;
    USHORT maxPacket;
  };
  const Case cases[] = {
      {emu::VideoTransport::Isochronous, 0, UsbdPipeTypeIsochronous, 0},
      {emu::VideoTransport::Isochronous, 1, UsbdPipeTypeIsochronous, 1024},
      {emu::VideoTransport::Isochronous, 2, UsbdPipeTypeIsochronous, 2048},
      {emu::VideoTransport::Isochronous, 3, UsbdPipeTypeIsochronous, 3072},
      {emu::VideoTransport::Bulk, 0, UsbdPipeTypeBulk, 512},
      {emu::VideoTransport::Bulk, 3, UsbdPipeTypeBulk, 512},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "alternate " << int(c.alternate));
    emu::BridgeOptions options;
    options.transport = c.transport;
    emu::Camera camera(Larch(), options);
    NTSTATUS status = 0;
    bustest::Pipes p = Streaming(camera.pdo(), c.alternate, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    ASSERT_EQ(p.pipes.size(), 2u);
    EXPECT_EQ(p.pipes[0].EndpointAddress, emu::kAuxEndpoint);
    EXPECT_EQ(p.pipes[1].EndpointAddress, emu::kVideoEndpoint);
    EXPECT_EQ(p.pipes[1].PipeType, c.type);
    EXPECT_EQ(p.pipes[1].MaximumPacketSize, c.maxPacket);
    EXPECT_EQ(camera.bridge().Configuration(), 1);
    EXPECT_EQ(camera.bridge().AlternateSetting(), c.alternate);
  }
}

TEST_F(BridgeTest, VendorRequestsOnTheWire) {
  bridge.SetStatusBit(true);
  struct Case {
    const char* name;
    bool in;
    uint8_t code;
    uint16_t value;
    std::vector<uint8_t> out;  // OUT data stage
    uint16_t length;           // IN length
    NTSTATUS status;
    std::vector<uint8_t> reply;
  };
  const Case cases[] = {
      {"stream reset", false, 0xBB, 0, {}, 0, STATUS_SUCCESS, {}},
      {"renumerate", false, 0xA8, 0, {}, 0, STATUS_SUCCESS, {}},
      {"flush", false, 0xCA, 0, {}, 0, STATUS_SUCCESS, {}},
      {"power on", false, 0xC4, 1, {}, 0, STATUS_SUCCESS, {}},
      {"port byte", false, 0xC8, 0x83, {}, 0, STATUS_SUCCESS, {}},
      {"status", true, 0xC9, 0, {}, 4, STATUS_SUCCESS, {0, 1, 0, 0}},
      {"CPU reset hold", false, 0xA0, 0xE600, {1}, 0, STATUS_SUCCESS, {}},
      {"EEPROM read", true, 0xA2, 0x0100, {}, 2, STATUS_SUCCESS, {0xFF, 0xFF}},
      {"unknown request", false, 0x55, 0, {}, 0, STATUS_UNSUCCESSFUL, {}},
      {"status sent as OUT", false, 0xC9, 0, {}, 0, STATUS_UNSUCCESSFUL, {}},
      {"power asked as IN", true, 0xC4, 1, {}, 4, STATUS_UNSUCCESSFUL, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    bridge.ClearRequests();
    const int64_t before = host::sched::Now();
    const Reply r = c.in ? In(pdo, c.code, c.value, c.length) : Out(pdo, c.code, c.value, c.out);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.urbStatus, c.status == STATUS_SUCCESS ? USBD_STATUS_SUCCESS : USBD_STATUS_STALL_PID);
    EXPECT_EQ(r.data, c.reply);
    ASSERT_EQ(bridge.Requests().size(), 1u);
    const emu::ControlRecord& rec = bridge.Requests()[0];
    EXPECT_EQ(rec.setup.bmRequestType, c.in ? 0xC0 : 0x40);
    EXPECT_EQ(rec.setup.bRequest, c.code);
    EXPECT_EQ(rec.setup.wValue, c.value);
    EXPECT_EQ(rec.setup.wIndex, 0);
    EXPECT_EQ(rec.setup.wLength, c.in ? c.length : c.out.size());
    EXPECT_EQ(rec.data, c.in ? c.reply : c.out);
    EXPECT_EQ(rec.status, c.status == STATUS_SUCCESS ? USBD_STATUS_SUCCESS : USBD_STATUS_STALL_PID);
    EXPECT_EQ(rec.time, before);
    EXPECT_EQ(r.time, before + kMicroframe);
  }
  EXPECT_EQ(bridge.StreamResets(), 1);
  EXPECT_EQ(bridge.Flushes(), 1);
}

TEST_F(BridgeTest, FirmwareDownloadFillsRamAndRestartsTheCpu) {
  std::vector<uint8_t> image(130);
  for (size_t i = 0; i < image.size(); ++i) image[i] = uint8_t(i * 7 + 1);
  EXPECT_FALSE(bridge.CpuHeld());
  Out(pdo, 0xA0, 0xE600, {1});
  EXPECT_TRUE(bridge.CpuHeld());
  for (size_t offset = 0; offset < image.size(); offset += 64) {
    const size_t n = std::min<size_t>(64, image.size() - offset);
    EXPECT_EQ(Out(pdo, 0xA0, uint16_t(offset), std::vector<uint8_t>(image.begin() + offset, image.begin() + offset + n))
                  .status,
              STATUS_SUCCESS);
  }
  Out(pdo, 0xA0, 0xE600, {1});
  EXPECT_EQ(bridge.CpuStarts(), 0);
  Out(pdo, 0xA0, 0xE600, {0});
  EXPECT_FALSE(bridge.CpuHeld());
  EXPECT_EQ(bridge.CpuStarts(), 1);
  EXPECT_EQ(Out(pdo, 0xA8, 0).status, STATUS_SUCCESS);
  EXPECT_TRUE(std::equal(image.begin(), image.end(), bridge.Ram().begin()));
  EXPECT_EQ(bridge.Ram()[130], 0);
  EXPECT_EQ(In(pdo, 0xA0, 64, 4).data, std::vector<uint8_t>(image.begin() + 64, image.begin() + 68));

  // A chunk reaching past the end of RAM stores only what fits.
  EXPECT_EQ(Out(pdo, 0xA0, uint16_t(emu::kRamBytes - 2), {9, 8, 7, 6}).status, STATUS_SUCCESS);
  EXPECT_EQ(bridge.Ram()[emu::kRamBytes - 1], 8);
  EXPECT_EQ(bridge.Ram().size(), emu::kRamBytes);

  const std::vector<emu::ControlRecord> loads = bridge.VendorRequests(0xA0);
  ASSERT_GE(loads.size(), 6u);
  const uint16_t values[] = {0xE600, 0, 64, 128, 0xE600, 0xE600};
  for (size_t i = 0; i < 6; ++i) EXPECT_EQ(loads[i].setup.wValue, values[i]) << i;
  EXPECT_EQ(loads[3].data.size(), 2u);
}

TEST_F(BridgeTest, EepromAddressWrapsAt64KiB) {
  std::vector<uint8_t> data(100);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(0x80 + i);
  Out(pdo, 0xA2, 0xFFF0, std::vector<uint8_t>(data.begin(), data.begin() + 64));
  Out(pdo, 0xA2, 0x0030, std::vector<uint8_t>(data.begin() + 64, data.end()));
  std::vector<uint8_t>& eeprom = bridge.Eeprom();
  for (size_t i = 0; i < 100; ++i) EXPECT_EQ(eeprom[(0xFFF0 + i) & 0xFFFF], data[i]) << i;
  EXPECT_EQ(eeprom[0x54], 0xFF) << "untouched";
  EXPECT_EQ(In(pdo, 0xA2, 0xFFF0, 64).data, std::vector<uint8_t>(data.begin(), data.begin() + 64));
  EXPECT_EQ(In(pdo, 0xA2, 0x0030, 36).data, std::vector<uint8_t>(data.begin() + 64, data.end()));
}

TEST_F(BridgeTest, I2cBytesAndTheirAcknowledgeLevels) {
  auto head = std::make_shared<RegisterFile>(0xBA);
  head->regs[0x05] = 0x12;
  head->regs[0x06] = 0x34;
  bridge.I2c().Attach(0xBA, head);
  struct Step {
    uint8_t flags;
    uint8_t byte;
    std::vector<uint8_t> reply;
  };
  const Step steps[] = {
      // Write 0x77 to register 0x10.
      {0x03, 0xBA, {0x03, 0xBA, 0, 0}},
      {0x02, 0x10, {0x02, 0x10, 0, 0}},
      {0x06, 0x77, {0x06, 0x77, 0, 0}},
      // Read registers 5 and 6.
      {0x03, 0xBA, {0x03, 0xBA, 0, 0}},
      {0x06, 0x05, {0x06, 0x05, 0, 0}},
      {0x03, 0xBB, {0x03, 0xBB, 0, 0}},
      {0x0A, 0xFF, {0x0A, 0x12, 0, 0}},  // another byte follows: acknowledged
      {0x06, 0xFF, {0x06, 0x34, 1, 0}},  // last byte: not acknowledged
      // Nobody at 0x42.
      {0x07, 0x42, {0x07, 0x42, 1, 0}},
  };
  for (const Step& s : steps)
    EXPECT_EQ(I2cByte(pdo, s.flags, s.byte), s.reply) << "flags " << int(s.flags) << " byte " << int(s.byte);
  EXPECT_EQ(head->regs[0x10], 0x77);
  ASSERT_EQ(bridge.I2c().Log().size(), std::size(steps));
  EXPECT_EQ(bridge.I2c().Log()[6].sampled, 0x12);

  // The NAK knob refuses the address twice.
  bridge.I2c().NakByte(0xBA, 2, true);
  for (uint8_t expected : {1, 1, 0}) {
    EXPECT_EQ(I2cByte(pdo, 0x03, 0xBA)[2], expected);
    I2cByte(pdo, 0x06, 0x10);
  }
}

TEST_F(BridgeTest, PowerPortAndStatusBit) {
  auto recorder = std::make_shared<Recorder>();
  bridge.AddPortListener(recorder);
  bridge.AddPowerListener(recorder);
  Out(pdo, 0xC4, 1);
  EXPECT_TRUE(bridge.Powered());
  Out(pdo, 0xC8, 0x83);
  Out(pdo, 0xC8, 0x83);
  Out(pdo, 0xC8, 0x03);
  EXPECT_EQ(bridge.PortByte(), 0x03);
  Out(pdo, 0xC4, 0);
  EXPECT_FALSE(bridge.Powered());
  EXPECT_EQ(recorder->ports, (std::vector<uint8_t>{0x83, 0x83, 0x03})) << "every request is told";
  EXPECT_EQ(recorder->power, (std::vector<bool>{true, false}));
  for (bool bit : {true, false}) {
    bridge.SetStatusBit(bit);
    EXPECT_EQ(In(pdo, 0xC9, 0, 4).data, (std::vector<uint8_t>{0, uint8_t(bit), 0, 0}));
  }
}

TEST_F(BridgeTest, FailedRequestsHaveNoEffect) {
  auto head = std::make_shared<RegisterFile>(0xBA);
  bridge.I2c().Attach(0xBA, head);
  bridge.FailRequest(0xC3, /*count=*/2, /*skip=*/1);
  const NTSTATUS expected[] = {STATUS_SUCCESS, STATUS_UNSUCCESSFUL, STATUS_UNSUCCESSFUL, STATUS_SUCCESS};
  for (NTSTATUS e : expected) EXPECT_EQ(In(pdo, 0xC3, 0x03BA, 4).status, e);
  EXPECT_EQ(bridge.I2c().Log().size(), 2u);
  const auto records = bridge.VendorRequests(0xC3);
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[1].status, USBD_STATUS_STALL_PID);
  EXPECT_TRUE(records[1].data.empty());
}

TEST_F(BridgeTest, DelayedAndHungRequests) {
  bridge.DelayRequest(0xC9, 150 * kMillisecond);
  const int64_t t0 = host::sched::Now();
  const Reply delayed = In(pdo, 0xC9, 0, 4);
  EXPECT_EQ(delayed.status, STATUS_SUCCESS);
  EXPECT_EQ(delayed.time - t0, 150 * kMillisecond);

  bridge.HangRequest(0xC4);
  URB urb;
  bustest::FillVendor(&urb, false, 0xC4, 1, 0, nullptr, 0);
  Submission hung(pdo, &urb);
  host::sched::RunFor(host::sched::kSecond);
  EXPECT_FALSE(hung.done);
  hung.Cancel();
  ASSERT_TRUE(hung.Wait());
  EXPECT_EQ(hung.status, STATUS_CANCELLED);
  EXPECT_FALSE(bridge.Powered()) << "a hung request has no effect";
  EXPECT_FALSE(bridge.Requests().back().answered);
  EXPECT_EQ(Out(pdo, 0xC4, 1).status, STATUS_SUCCESS) << "the next one goes through";
  EXPECT_TRUE(bridge.Powered());
}

TEST_F(BridgeTest, UnplugAsARequestArrives) {
  bridge.UnplugOnRequest(0xBB, /*skip=*/1);
  EXPECT_EQ(Out(pdo, 0xBB, 0).status, STATUS_SUCCESS);
  const Reply r = Out(pdo, 0xBB, 0);
  EXPECT_EQ(r.status, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(r.urbStatus, USBD_STATUS_DEVICE_GONE);
  EXPECT_FALSE(host::usb::IsPlugged(pdo));
  EXPECT_EQ(Out(pdo, 0xC4, 1).status, STATUS_DEVICE_NOT_CONNECTED);
}

TEST_F(BridgeTest, StandardRequestFaultFailsConfiguration) {
  emu::ControlFault fault;
  fault.request = 9;  // SET_CONFIGURATION
  fault.vendor = false;
  bridge.AddControlFault(fault);
  NTSTATUS status = 0;
  bustest::SelectConfiguration(pdo, &status);
  EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(bridge.Configuration(), 0);
  bustest::SelectConfiguration(pdo, &status);
  EXPECT_EQ(status, STATUS_SUCCESS);
}

TEST_F(BridgeTest, RecorderKeepsEveryTransferAndFiltersVendorOnes) {
  Streaming(pdo, 1);
  Out(pdo, 0xBB, 0);
  In(pdo, 0xC9, 0, 4);
  Out(pdo, 0xBB, 0);
  const std::vector<emu::ControlRecord>& all = bridge.Requests();
  ASSERT_GE(all.size(), 9u);  // 2 + 2 descriptor reads, SET_CONFIGURATION, SET_INTERFACE, three vendor requests
  EXPECT_FALSE(all[0].Vendor());
  EXPECT_EQ(bridge.VendorRequests().size(), 3u);
  EXPECT_EQ(bridge.VendorRequests(0xBB).size(), 2u);
  for (size_t i = 1; i < all.size(); ++i) EXPECT_GE(all[i].time, all[i - 1].time);
  bridge.ClearRequests();
  EXPECT_TRUE(bridge.Requests().empty());
}

// Replaced descriptor sets: configuration fails or succeeds, and neither the
// library nor the bus reads outside what the device sent.
TEST(BridgeDescriptors, MalformedSetsFailConfigurationCleanly) {
  const std::vector<uint8_t> good = emu::BuildConfigDescriptor(emu::VideoTransport::Isochronous);
  auto patched = [&](std::initializer_list<std::pair<size_t, uint8_t>> patches, size_t cut = 0) {
    std::vector<uint8_t> s = good;
    for (const auto& [at, v] : patches) s[at] = v;
    if (cut) s.resize(cut);
    return s;
  };
  // Layout: configuration 0; interface 0/0 at 9, its endpoints at 18 and 25;
  // interface 0/1 at 32 ... 101 bytes.
  ASSERT_EQ(good.size(), 101u);
  struct Case {
    const char* name;
    std::vector<uint8_t> set;
    NTSTATUS configure;
    NTSTATUS streaming;  // selecting alternate setting 3 afterwards
  };
  const Case cases[] = {
      {"well formed", good, STATUS_SUCCESS, STATUS_SUCCESS},
      {"bLength 0 in interface 0's endpoints", patched({{25, 0}}), STATUS_UNSUCCESSFUL, 0},
      {"wTotalLength beyond the bytes sent", patched({{2, 0x00}, {3, 0x02}}), STATUS_SUCCESS, STATUS_SUCCESS},
      {"wTotalLength cutting the later settings", patched({{2, 32}, {3, 0}}), STATUS_SUCCESS,
       STATUS_INVALID_PARAMETER},
      {"more interfaces announced than present", patched({{4, 3}}), STATUS_INVALID_PARAMETER, 0},
      {"endpoints past the end", patched({{13, 3}}), STATUS_UNSUCCESSFUL, 0},
      {"set cut short", patched({}, 20), STATUS_UNSUCCESSFUL, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    emu::Camera camera(Larch());
    camera.bridge().SetConfigDescriptor(c.set);
    NTSTATUS status = 0;
    bustest::Pipes config = bustest::SelectConfiguration(camera.pdo(), &status);
    EXPECT_EQ(status, c.configure);
    if (status == STATUS_SUCCESS) {
      bustest::SelectInterface(camera.pdo(), config.configuration, 0, 3, 2, &status);
      EXPECT_EQ(status, c.streaming);
    } else {
      EXPECT_EQ(camera.bridge().Configuration(), 0) << "the device was never configured";
    }
  }
}

}  // namespace
}  // namespace emutest
