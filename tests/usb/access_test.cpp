// Control traffic: vendor requests on the wire, time-outs, removal, interface
// and pipe records, descriptor dumps.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "driver/usb/usb_access.h"
#include "filter_device.h"
#include "support/usb_fixture.h"

namespace ovratest {
namespace {

using host::sched::kMillisecond;

class AccessTest : public ::testing::Test {
 protected:
  void Plug(std::shared_ptr<ScriptedDevice> d) {
    dev = std::move(d);
    camera = std::make_unique<UsbCamera>(dev);
    hw = camera->Make<PlainHardware>();
    ASSERT_NE(hw, nullptr);
  }
  void SetUp() override { Plug(ScriptedDevice::Camera()); }
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
};

struct VendorCase {
  const char* name;
  UCHAR request;
  bool in;
  USHORT value;
  std::vector<uint8_t> bytes;  // OUT: data sent; IN: the device's reply
  bool stall;
};

TEST_F(AccessTest, VendorRequestsCrossTheWireAsControlTransfers) {
  std::vector<uint8_t> chunk(64), tail(36);
  for (int i = 0; i < 64; ++i) chunk[i] = uint8_t(i * 3);
  for (int i = 0; i < 36; ++i) tail[i] = uint8_t(0xA0 + i);
  const VendorCase cases[] = {
      {"cpu hold", kVrFirmwareLoad, false, kFx2CpuControlAddress, {1}, false},
      {"firmware chunk", kVrFirmwareLoad, false, 0x0040, chunk, false},
      {"eeprom read", kVrEeprom, true, 0xFFF0, chunk, false},
      {"eeprom write", kVrEeprom, false, 0x0030, tail, false},
      {"renumerate", kVrRenumerate, false, 0, {}, false},
      {"stream reset", kVrStreamReset, false, 0, {}, false},
      {"i2c byte", kVrI2cByte, true, 0x0A55, {0x12, 0x34, 0x00, 0x99}, false},
      {"power on", kVrCameraPower, false, 1, {}, false},
      {"port byte", kVrPortByte, false, 0x83, {}, false},
      {"status bit", kVrStatusBit, true, 0, {0x00, 0x01, 0x00, 0x00}, false},
      {"flush", kVrFlush, false, 0, {}, false},
      {"refused status read", kVrStatusBit, true, 0, {0x55, 0x55, 0x55, 0x55}, true},
  };
  for (const VendorCase& c : cases) {
    SCOPED_TRACE(c.name);
    dev->controls.clear();
    dev->replies[c.request] = c.bytes;
    dev->onVendor = [&](const host::usb::Setup&, uint8_t*) -> std::optional<host::usb::ControlReply> {
      if (!c.stall) return std::nullopt;
      host::usb::ControlReply r;
      r.status = USBD_STATUS_STALL_PID;
      return r;
    };
    std::vector<uint8_t> buffer = c.in ? std::vector<uint8_t>(c.bytes.size(), 0xEE) : c.bytes;
    const NTSTATUS status = hw->SubmitVendorRequest(buffer.empty() ? nullptr : buffer.data(), ULONG(buffer.size()),
                                                    c.in, c.request, 0, c.value);
    ASSERT_EQ(dev->controls.size(), 1u);
    const auto& wire = dev->controls[0];
    EXPECT_EQ(wire.setup.bmRequestType, c.in ? 0xC0 : 0x40);
    EXPECT_EQ(wire.setup.bRequest, c.request);
    EXPECT_EQ(wire.setup.wValue, c.value);
    EXPECT_EQ(wire.setup.wIndex, 0);
    EXPECT_EQ(wire.setup.wLength, c.bytes.size());
    if (c.stall) {
      EXPECT_FALSE(NT_SUCCESS(status));
      EXPECT_EQ(buffer, std::vector<uint8_t>(c.bytes.size(), 0xEE)) << "a failed request leaves the buffer alone";
    } else {
      EXPECT_EQ(status, STATUS_SUCCESS);
      EXPECT_EQ(c.in ? buffer : wire.data, c.bytes);
    }
  }
}

TEST_F(AccessTest, RemovedDeviceRefusesVendorRequestsButNotDescriptorReads) {
  hw->m_Removed = TRUE;
  dev->controls.clear();
  UCHAR reply[4] = {};
  EXPECT_EQ(hw->SubmitVendorRequest(reply, 4, TRUE, kVrStatusBit, 0, 0), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(hw->SubmitVendorRequest(nullptr, 0, FALSE, kVrFlush, 0, 0), STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(dev->controls.empty());
  EXPECT_EQ(host::dbg::Count("Cancelled - device is removed."), 2u);
  USB_DEVICE_DESCRIPTOR d = {};
  EXPECT_EQ(GetDescriptor(hw, USB_DEVICE_DESCRIPTOR_TYPE, &d, sizeof d), STATUS_SUCCESS);
  EXPECT_EQ(d.idVendor, 0x0FBC);
}

struct TimeoutCase {
  const char* name;
  int64_t completeAfter;  // the request completes by itself (-1: never)
  int64_t cancelDelay;    // a cancelled request completes this much later
  NTSTATUS expected;
  int64_t returnsAfter;
};

TEST_F(AccessTest, PendingRequestTimesOutAndIsCompletedBeforeReturning) {
  const TimeoutCase cases[] = {
      {"completes just in time", 99 * kMillisecond, 0, STATUS_SUCCESS, 99 * kMillisecond},
      {"cancel completes at once", -1, 0, STATUS_IO_TIMEOUT, 100 * kMillisecond},
      {"cancel completes late", -1, 7 * kMillisecond, STATUS_IO_TIMEOUT, 107 * kMillisecond},
  };
  for (const TimeoutCase& c : cases) {
    SCOPED_TRACE(c.name);
    FilterDevice filter(camera->device);
    filter.hold = [](const URB& urb) { return urb.UrbHeader.Function == URB_FUNCTION_VENDOR_DEVICE; };
    filter.completeAfter = c.completeAfter;
    filter.cancelDelay = c.cancelDelay;
    const int64_t start = host::sched::Now();
    UCHAR reply[4] = {};
    EXPECT_EQ(hw->SubmitVendorRequest(reply, 4, TRUE, kVrI2cByte, 0, 0x01FF), c.expected);
    EXPECT_EQ(host::sched::Now() - start, c.returnsAfter);
    ASSERT_EQ(filter.held.size(), 1u);
    EXPECT_GE(filter.held[0].completedAt, 0) << "returned before the request completed";
    EXPECT_EQ(host::io::LiveIrps(), 0u);
  }
}

TEST_F(AccessTest, RequestThatCannotBeBuiltIsNotSent) {
  dev->controls.clear();
  host::pool::FailNth(1);
  EXPECT_EQ(hw->SubmitVendorRequest(nullptr, 0, FALSE, kVrStreamReset, 0, 0), STATUS_INSUFFICIENT_RESOURCES);
  host::pool::ClearFaults();
  EXPECT_TRUE(dev->controls.empty());
}

TEST_F(AccessTest, DescriptorReadsRefuseNullBuffersAndMissingMemory) {
  dev->controls.clear();
  EXPECT_EQ(GetDescriptor(hw, USB_DEVICE_DESCRIPTOR_TYPE, nullptr, 18), STATUS_INVALID_PARAMETER);
  host::pool::FailNth(1);
  EXPECT_EQ(CUSBHardware::GetDeviceDescriptor(camera->device->NextDeviceObject), nullptr);
  host::pool::ClearFaults();
  EXPECT_TRUE(dev->controls.empty());

  PUSB_DEVICE_DESCRIPTOR d = CUSBHardware::GetDeviceDescriptor(camera->device->NextDeviceObject);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->idProduct, 0x8110);
  ExFreePool(d);
}

TEST_F(AccessTest, PipeTableHoldsTheFirstFourPipesInInterfaceOrder) {
  auto d = ScriptedDevice::Camera();
  std::vector<InterfaceSpec> interfaces;
  for (uint8_t n = 0; n < 3; ++n) {
    interfaces.push_back({n, 0, {{uint8_t(0x81 + 2 * n), USB_ENDPOINT_TYPE_BULK, 512, 0},
                                 {uint8_t(0x82 + 2 * n), USB_ENDPOINT_TYPE_BULK, 512, 0}}});
  }
  d->configuration = MakeConfiguration(interfaces);
  Unplug();
  Plug(d);
  ASSERT_TRUE(hw->m_Configured);
  EXPECT_EQ(hw->m_NumInterfaces, 3);
  ASSERT_EQ(hw->m_NumPipes, 4);
  const UCHAR expected[] = {0x81, 0x82, 0x83, 0x84};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(hw->m_Pipes[i]->EndpointAddress, expected[i]) << i;
}

TEST_F(AccessTest, MissingAlternateSettingChangesNothing) {
  const auto pipes = std::vector<PUSBD_PIPE_INFORMATION>(hw->m_Pipes, hw->m_Pipes + 4);
  PUSBD_INTERFACE_INFORMATION record = hw->m_Interfaces[0];
  dev->controls.clear();
  EXPECT_EQ(hw->SelectInterface(0, 7), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(hw->SelectInterface(4, 0), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(dev->controls.empty());
  EXPECT_EQ(hw->m_AlternateSetting, 0);
  EXPECT_EQ(hw->m_Interfaces[0], record);
  EXPECT_EQ(std::vector<PUSBD_PIPE_INFORMATION>(hw->m_Pipes, hw->m_Pipes + 4), pipes);
}

TEST_F(AccessTest, FailedSelectionKeepsTheSettingAndLeavesTheInterfaceWithoutPipes) {
  dev->onStandard = [](const host::usb::Setup& s, uint8_t*) -> std::optional<host::usb::ControlReply> {
    if (s.bRequest != 11 || s.wValue != 2) return std::nullopt;
    host::usb::ControlReply r;
    r.status = USBD_STATUS_STALL_PID;
    return r;
  };
  EXPECT_FALSE(NT_SUCCESS(hw->SelectInterface(0, 2)));
  EXPECT_EQ(hw->m_AlternateSetting, 2);
  EXPECT_EQ(hw->m_Interfaces[0]->AlternateSetting, 2);
  EXPECT_EQ(hw->m_Interfaces[0]->NumberOfPipes, 0u);
  EXPECT_EQ(hw->m_NumPipes, 0);
  EXPECT_EQ(hw->SelectInterface(0, 3), STATUS_SUCCESS);
  EXPECT_EQ(hw->m_NumPipes, 2);
  EXPECT_EQ(hw->m_Pipes[1]->MaximumPacketSize, 3072);
}

TEST_F(AccessTest, DumpsPrintEachDescriptorWithItsLevel) {
  const auto entries = host::dbg::Entries();
  auto levelOf = [&](const std::string& text) -> int {
    for (const auto& e : entries) {
      if (e.text == text) return int(e.level);
    }
    return -1;
  };
  EXPECT_EQ(levelOf("Device Descriptor:\n"), 2);
  EXPECT_EQ(levelOf("bcdUSB:             0x0200\n"), 2);
  EXPECT_EQ(levelOf("bMaxPacketSize0:      0x40 (64)\n"), 2);
  EXPECT_EQ(levelOf("idVendor:           0x0FBC\n"), 2);
  EXPECT_EQ(levelOf("idProduct:          0x8110\n"), 2);
  EXPECT_EQ(levelOf("Configuration Descriptor:\n"), 3);
  EXPECT_EQ(levelOf("  Bus Powered\n"), 3);
  EXPECT_EQ(levelOf("MaxPower:             0xFA (500 Ma)\n"), 3);
  EXPECT_EQ(levelOf("Transfer Type:        Bulk\n"), 3);
  EXPECT_EQ(levelOf("Transfer Type: Isochronous\n"), 3);
  EXPECT_EQ(levelOf("wMaxPacketSize:     0x1400 (5120)\n"), 3);
  EXPECT_EQ(levelOf("bInterval:            0x01\n"), 3);
  EXPECT_EQ(host::dbg::Count("Interface Descriptor:\n"), 4u);
  EXPECT_EQ(host::dbg::Count("Endpoint Descriptor:\n"), 8u);
}

struct WalkCase {
  const char* name;
  std::vector<uint8_t> set;
  size_t interfaces, endpoints;
};

TEST(DumpConfigurationTest, WalkStopsAtTheEndAndSkipsWhatItDoesNotKnow) {
  host::dbg::Clear();
  const std::vector<uint8_t> cfg = {9, 2, 0, 0, 1, 1, 0, 0x80, 50};
  auto set = [&](std::vector<uint8_t> tail) {
    std::vector<uint8_t> s = cfg;
    s.insert(s.end(), tail.begin(), tail.end());
    s[2] = uint8_t(s.size());
    return s;
  };
  const std::vector<uint8_t> iface = {9, 4, 0, 0, 1, 0xFF, 0, 0, 0};
  const std::vector<uint8_t> ep = {7, 5, 0x82, 1, 0, 4, 1};
  auto join = [](std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
  };
  const std::vector<uint8_t> classSpecific = {5, 0x24, 1, 2, 3};
  const std::vector<uint8_t> longInterface = {10, 4, 0, 0, 1, 0xFF, 0, 0, 0, 0};
  std::vector<uint8_t> truncated = set(join({iface, ep}));
  truncated[2] = uint8_t(truncated.size() - 3);  // the endpoint reaches past the end
  std::vector<uint8_t> zeroLength = set(join({iface, {0, 5}, ep}));
  const WalkCase cases[] = {
      {"plain", set(join({iface, ep})), 1, 1},
      {"unknown descriptors skipped", set(join({classSpecific, iface, classSpecific, ep})), 1, 1},
      {"wrong length not dumped", set(join({longInterface, ep})), 0, 1},
      {"descriptor past the end", truncated, 1, 0},
      {"zero length stops", zeroLength, 1, 0},
  };
  for (const WalkCase& c : cases) {
    SCOPED_TRACE(c.name);
    host::dbg::Clear();
    // Exact-size copy: a walk past wTotalLength would read outside it.
    std::vector<uint8_t> copy(c.set.begin(), c.set.begin() + (c.set[2] | c.set[3] << 8));
    DumpConfiguration(reinterpret_cast<const USB_CONFIGURATION_DESCRIPTOR*>(copy.data()));
    EXPECT_EQ(host::dbg::Count("Configuration Descriptor:\n"), 1u);
    EXPECT_EQ(host::dbg::Count("Interface Descriptor:\n"), c.interfaces);
    EXPECT_EQ(host::dbg::Count("Endpoint Descriptor:\n"), c.endpoints);
  }
}

}  // namespace
}  // namespace ovratest
