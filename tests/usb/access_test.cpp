// Control traffic: vendor requests on the wire, time-outs, removal, interface
// and pipe records, hostile descriptor sets.
#include <algorithm>
#include <numeric>
#include <tuple>

#include "usb_test.h"

namespace ovratest {
namespace {

using AccessTest = UsbTest;

TEST_F(AccessTest, VendorRequestsCrossTheWireAsControlTransfers) {
  std::vector<uint8_t> chunk(64);
  std::iota(chunk.begin(), chunk.end(), uint8_t(0xA0));
  const struct {
    const char* name;
    UCHAR request;
    bool in;
    USHORT value;
    std::vector<uint8_t> bytes;  // OUT: data sent; IN: the device's reply
    bool stall;
  } cases[] = {
      {"firmware chunk", kVrFirmwareLoad, false, 0x0040, chunk, false},
      {"eeprom read", kVrEeprom, true, 0xFFF0, chunk, false},
      {"eeprom write", kVrEeprom, false, 0x0030, std::vector<uint8_t>(chunk.begin() + 28, chunk.end()), false},
      {"renumerate", kVrRenumerate, false, 0, {}, false},
      {"stream reset", kVrStreamReset, false, 0, {}, false},
      {"i2c byte", kVrI2cByte, true, 0x0A55, {0x12, 0x34, 0x00, 0x99}, false},
      {"power on", kVrCameraPower, false, 1, {}, false},
      {"port byte", kVrPortByte, false, 0x83, {}, false},
      {"status bit", kVrStatusBit, true, 0, {0x00, 0x01, 0x00, 0x00}, false},
      {"flush", kVrFlush, false, 0, {}, false},
      {"refused status read", kVrStatusBit, true, 0, {0x55, 0x55, 0x55, 0x55}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    dev->controls.clear();
    dev->onControl = [&](const ScriptedDevice::Setup&, uint8_t* data) -> ScriptedDevice::Reply {
      if (c.stall) return ScriptedDevice::Stall();
      if (c.in) std::copy(c.bytes.begin(), c.bytes.end(), data);
      host::usb::ControlReply reply;
      reply.length = uint32_t(c.bytes.size());
      return reply;
    };
    std::vector<uint8_t> buffer = c.in ? std::vector<uint8_t>(c.bytes.size(), 0xEE) : c.bytes;
    const NTSTATUS status = hw->SubmitVendorRequest(buffer.empty() ? nullptr : buffer.data(), ULONG(buffer.size()),
                                                    c.in, c.request, 0, c.value);
    ASSERT_EQ(dev->controls.size(), 1u);
    const auto& s = dev->controls[0].setup;
    EXPECT_EQ(std::make_tuple(s.bmRequestType, s.bRequest, s.wValue, s.wIndex, s.wLength),
              std::make_tuple(uint8_t(c.in ? 0xC0 : 0x40), c.request, c.value, uint16_t(0), uint16_t(c.bytes.size())));
    EXPECT_EQ(status == STATUS_SUCCESS, !c.stall);
    // A refused request leaves the caller's buffer alone.
    EXPECT_EQ(c.in ? buffer : dev->controls[0].data, c.stall ? std::vector<uint8_t>(c.bytes.size(), 0xEE) : c.bytes);
  }
}

TEST_F(AccessTest, RemovedDeviceRefusesVendorRequests) {
  hw->m_Removed = TRUE;
  dev->controls.clear();
  UCHAR reply[4] = {};
  EXPECT_EQ(hw->SubmitVendorRequest(reply, 4, TRUE, kVrStatusBit, 0, 0), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(hw->SubmitVendorRequest(nullptr, 0, FALSE, kVrFlush, 0, 0), STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(dev->controls.empty());
  EXPECT_EQ(host::dbg::Count("Cancelled - device is removed."), 2u);
}

TEST_F(AccessTest, PendingRequestTimesOutAndIsCompletedBeforeReturning) {
  const struct {
    const char* name;
    int64_t latency;      // the device answers after this long (-1: never; only a cancel ends the request)
    int64_t cancelDelay;  // -1: the request reaches the device; else held, and a cancel completes it this much later
    NTSTATUS expected;
    int64_t returnsAfter;
    bool completesAnyway = false;  // the cancel comes too late to stop the request
  } cases[] = {
      {"completes just in time", 99 * kMillisecond, -1, STATUS_SUCCESS, 99 * kMillisecond},
      {"cancel completes at once", -1, -1, STATUS_IO_TIMEOUT, 100 * kMillisecond},
      {"cancel completes late", -1, 7 * kMillisecond, STATUS_IO_TIMEOUT, 107 * kMillisecond},
      {"cancel completes inside the cancel", -1, 0, STATUS_IO_TIMEOUT, 100 * kMillisecond},
      {"completes despite the cancel", 130 * kMillisecond, -1, STATUS_SUCCESS, 130 * kMillisecond, true},
      {"fails despite the cancel", 130 * kMillisecond, -1, STATUS_UNSUCCESSFUL, 130 * kMillisecond, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    dev->onControl = [&](const ScriptedDevice::Setup&, uint8_t*) {
      host::usb::ControlReply reply;
      reply.latency = c.latency;
      reply.never = c.latency < 0;
      reply.completesAnyway = c.completesAnyway;
      if (c.expected == STATUS_UNSUCCESSFUL) reply.status = USBD_STATUS_STALL_PID;
      return ScriptedDevice::Reply(reply);
    };
    FilterDevice filter(camera->device);
    if (c.cancelDelay >= 0) filter.hold = [](const URB&) { return true; };
    filter.cancelDelay = c.cancelDelay;
    const int64_t start = host::sched::Now();
    UCHAR reply[4] = {};
    EXPECT_EQ(hw->SubmitVendorRequest(reply, 4, TRUE, kVrI2cByte, 0, 0x01FF), c.expected);
    EXPECT_EQ(host::sched::Now() - start, c.returnsAfter);
    EXPECT_EQ(host::io::LiveIrps(), 0u) << "returned before the request completed";
  }
}

TEST_F(AccessTest, RequestsThatCannotBeBuiltAreNotSent) {
  dev->controls.clear();
  EXPECT_EQ(GetDescriptor(hw, USB_DEVICE_DESCRIPTOR_TYPE, nullptr, 18), STATUS_INVALID_PARAMETER);
  host::pool::FailNth(1);
  EXPECT_EQ(hw->SubmitVendorRequest(nullptr, 0, FALSE, kVrStreamReset, 0, 0), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_TRUE(dev->controls.empty());
}

TEST_F(AccessTest, PipeTableHoldsTheFirstFourPipesInInterfaceOrder) {
  auto d = ScriptedDevice::Camera();
  auto bulk = [](uint8_t address) { return EndpointDesc{address, USB_ENDPOINT_TYPE_BULK, 512, 0}; };
  d->configuration = MakeConfiguration(
      {{0, 0, {bulk(0x81), bulk(0x82)}}, {1, 0, {bulk(0x83), bulk(0x84)}}, {2, 0, {bulk(0x85), bulk(0x86)}}});
  Plug(d);
  ASSERT_TRUE(hw->m_Configured);
  EXPECT_EQ(hw->m_NumInterfaces, 3);
  ASSERT_EQ(hw->m_NumPipes, 4);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(hw->m_Pipes[i]->EndpointAddress, 0x81 + i) << i;
}

// The records the USB stack returns are read within their Length, whatever NumberOfPipes says.
TEST_F(AccessTest, PipeCountsBeyondTheRecordAreNotTrusted) {
  for (const USHORT function : {URB_FUNCTION_SELECT_CONFIGURATION, URB_FUNCTION_SELECT_INTERFACE}) {
    SCOPED_TRACE(function);
    Plug();
    FilterDevice filter(camera->device);
    filter.onComplete = [&](PIRP, PURB urb) {
      if (urb->UrbHeader.Function != function) return;
      (function == URB_FUNCTION_SELECT_INTERFACE ? urb->UrbSelectInterface.Interface
                                                 : urb->UrbSelectConfiguration.Interface)
          .NumberOfPipes = 30;
    };
    ASSERT_EQ(function == URB_FUNCTION_SELECT_INTERFACE ? hw->SelectInterface(0, 1) : hw->SelectConfiguration(),
              STATUS_SUCCESS);
    ASSERT_EQ(hw->m_NumPipes, 2);
    for (LONG i = 0; i < hw->m_NumPipes; ++i) EXPECT_NE(hw->m_Pipes[i]->PipeHandle, nullptr);
  }
}

TEST_F(AccessTest, ConstructionDumpsTheDescriptorsItRead) {
  // The device dump at trace level, the configuration set as details, walked
  // descriptor by descriptor: one configuration, four interfaces of two endpoints.
  const struct {
    const char* text;
    ULONG level;
    size_t count;
  } lines[] = {
      {"Device Descriptor:\n", kLogTrace, 1},
      {"bcdUSB:             0x0200\n", kLogTrace, 1},
      {"bMaxPacketSize0:      0x40 (64)\n", kLogTrace, 1},
      {"idVendor:           0x0FBC\n", kLogTrace, 1},
      {"idProduct:          0x8110\n", kLogTrace, 1},
      {"Configuration Descriptor:\n", kLogDetail, 1},
      {"  Bus Powered\n", kLogDetail, 1},
      {"  Self Powered\n", kLogDetail, 0},
      {"MaxPower:             0xFA (500 Ma)\n", kLogDetail, 1},
      {"Interface Descriptor:\n", kLogDetail, 4},
      {"Endpoint Descriptor:\n", kLogDetail, 8},
      {"Transfer Type:        Bulk\n", kLogDetail, 4},
      {"Transfer Type: Isochronous\n", kLogDetail, 4},
      {"wMaxPacketSize:     0x1400 (5120)\n", kLogDetail, 1},
  };
  for (const auto& line : lines) {
    EXPECT_EQ(host::dbg::Count(line.text, line.level), line.count) << line.text;
    if (line.count != 0) {
      EXPECT_EQ(host::dbg::Count(line.text, line.level - 1), 0u) << line.text;
    }
  }
}

// A selection that cannot be made (no such setting) or that the device refuses changes nothing, on either side.
TEST_F(AccessTest, SelectionThatFailsChangesNothing) {
  dev->onControl = [](const ScriptedDevice::Setup& s, uint8_t*) -> ScriptedDevice::Reply {
    if (s.bRequest == 11 && s.wValue == 2) return ScriptedDevice::Stall();  // SET_INTERFACE to 2
    return std::nullopt;
  };
  const auto pipes = std::vector<PUSBD_PIPE_INFORMATION>(hw->m_Pipes, hw->m_Pipes + 4);
  PUSBD_INTERFACE_INFORMATION record = hw->m_Interfaces[0];
  const std::tuple<UCHAR, UCHAR, NTSTATUS, size_t> cases[] = {  // interface, setting, status, requests sent
      {4, 0, STATUS_INVALID_PARAMETER, 0},
      {0, 7, STATUS_INVALID_PARAMETER, 0},
      {0, 2, STATUS_UNSUCCESSFUL, 1},
  };
  for (const auto& [number, setting, status, sent] : cases) {
    dev->controls.clear();
    EXPECT_EQ(hw->SelectInterface(number, setting), status);
    EXPECT_EQ(dev->controls.size(), sent);
    EXPECT_EQ(hw->m_AlternateSetting, 0);
    EXPECT_EQ(hw->m_Interfaces[0], record);
    EXPECT_EQ(std::vector<PUSBD_PIPE_INFORMATION>(hw->m_Pipes, hw->m_Pipes + 4), pipes);
    EXPECT_EQ(host::usb::AlternateSetting(camera->pdo, 0), 0);
  }
  EXPECT_EQ(hw->SelectInterface(0, 3), STATUS_SUCCESS);
  EXPECT_EQ(hw->m_Pipes[1]->MaximumPacketSize, 3072);
}

// The driver never reads outside its buffers (AddressSanitizer watches the
// exact-size pool blocks).
std::vector<uint8_t> WithTotal(std::vector<uint8_t> set, uint16_t total) {
  set[2] = uint8_t(total);
  set[3] = uint8_t(total >> 8);
  return set;
}

TEST(HostileDeviceTest, MalformedDescriptorSetsNeverTakeTheDriverOutsideItsBuffers) {
  using Bytes = std::vector<uint8_t>;
  const Bytes camera = ScriptedDevice::Camera()->configuration, device = ScriptedDevice::Camera()->deviceDescriptor;
  auto patched = [&](size_t at, uint8_t byte) {
    Bytes s = camera;
    s[at] = byte;
    return s;
  };
  const int total = int(camera.size());  // 101
  // The chain is cut at the last whole, plausible descriptor; the USB library then walks only what was kept.
  const struct {
    const char* name;
    std::vector<Bytes> reads;  // successive configuration reads
    bool configured;
    int kept;                  // wTotalLength after the checks (-1: no set held)
    bool streams;              // alternate setting 1 can be acquired
    Bytes device = {};         // the camera's when empty
  } cases[] = {
      {"well formed", {camera}, true, total, true},
      {"total beyond the bytes sent", {WithTotal(camera, 400)}, true, total, true},
      {"total below the header", {WithTotal(camera, 4)}, false, 0, false},
      {"total zero", {WithTotal(camera, 0)}, false, 0, false},
      {"zero-length descriptor", {patched(9 + 9, 0)}, false, 18, false},
      {"interface descriptor of 5 bytes", {patched(9, 5)}, false, 9, false},
      {"endpoint descriptor of 6 bytes", {patched(9 + 9 + 7, 6)}, false, 25, false},
      {"descriptor running past the end", {patched(camera.size() - 7, 0x40)}, true, total - 7, true},
      {"more interfaces announced than present", {patched(4, 5)}, false, total, false},
      {"255 interfaces announced", {patched(4, 255)}, false, total, false},
      {"no interface", {patched(4, 0)}, false, total, false},
      {"endpoints announced but missing", {patched(9 + 9 + 14 + 4, 30)}, true, total, false},
      {"set cut inside an endpoint", {WithTotal(camera, uint16_t(camera.size() - 3))}, true, total - 7, true},
      {"set cut one byte short", {WithTotal(camera, uint16_t(camera.size() - 1))}, true, total - 7, true},
      {"header length 255", {patched(0, 255)}, false, 0, false},
      {"second read longer than the first", {WithTotal(camera, 18), camera}, true, 32, false},
      {"header read cut short", {Bytes(camera.begin(), camera.begin() + 5)}, false, -1, false},
      {"all 0xFF", {Bytes(300, 0xFF)}, false, 0, false},
      {"interface numbers with a gap",
       {MakeConfiguration({{0, 0, {{0x01, 2, 512, 0}, {0x82, 1, 1024, 1}}}, {7, 0, {{0x83, 2, 512, 0}}}})}, true, 48,
       false},
      {"device descriptor cut short", {camera}, true, total, true, Bytes(device.begin(), device.begin() + 8)},
      {"device descriptor of zeros", {camera}, false, -1, false, Bytes(18, 0)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto dev = ScriptedDevice::Camera();
    if (!c.device.empty()) dev->deviceDescriptor = c.device;
    dev->configurationReads = c.reads;
    UsbCamera camera(dev);
    PlainHardware* hw = camera.Make<PlainHardware>();
    EXPECT_EQ(bool(hw->m_Configured), c.configured);
    EXPECT_EQ(hw->m_ConfigDescriptor != nullptr ? int(hw->m_ConfigDescriptor->wTotalLength) : -1, c.kept);
    for (LONG i = 0; i < hw->m_NumPipes; ++i) ASSERT_NE(hw->m_Pipes[i], nullptr);
    const bool streams = hw->m_Configured && NT_SUCCESS(hw->AcquireResources(1));
    EXPECT_EQ(streams, c.streams);
    if (streams) {
      EXPECT_EQ(hw->Start(), STATUS_SUCCESS);
      host::sched::RunFor(30 * kMillisecond);
      hw->Stop();
    }
  }
}

}  // namespace
}  // namespace ovratest
