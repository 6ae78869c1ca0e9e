// DriverEntry, the unload hook, the device descriptor and dispatch table, and
// the Plug and Play forwarders and free routines of CCameraDevice.
#include <gtest/gtest.h>

#include <host/api/host.h>
#include <host/api/ks.h>

#include "driver/device/driver_entry.h"
#include "driver/usb/hardware.h"
#include "support/usb_fixture.h"

namespace {

class TestDevice : public CCameraDevice {
 public:
  explicit TestDevice(PKSDEVICE device) : CCameraDevice(device) {}
  void HandleVideoData(PUCHAR, ULONG) override {}
};

UNICODE_STRING RegistryPath() {
  static const char16_t kPath[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\ovrausb";
  UNICODE_STRING s;
  RtlInitUnicodeString(&s, reinterpret_cast<PCWSTR>(kPath));
  return s;
}

// A driver object as the I/O manager hands it to DriverEntry.
class DriverObject {
 public:
  DriverObject() : driver_(host::io::CreateDriverObject("ovrausb")) {}
  ~DriverObject() { host::io::DeleteDriverObject(driver_); }
  PDRIVER_OBJECT get() const { return driver_; }

 private:
  PDRIVER_OBJECT driver_;
};

// ---------------------------------------------------------------------------

TEST(DeviceDescriptor, HasNoFiltersVersion100FlagsZeroAndTheDispatchTable) {
  EXPECT_EQ(kDeviceDescriptor.Dispatch, &kDeviceDispatch);
  EXPECT_EQ(kDeviceDescriptor.FilterDescriptorsCount, 0u);
  EXPECT_EQ(kDeviceDescriptor.FilterDescriptors, nullptr);
  EXPECT_EQ(kDeviceDescriptor.Version, 0x100u);
  EXPECT_EQ(kDeviceDescriptor.Flags, 0u);
}

TEST(DeviceDispatch, ForwardsAddStartStopRemoveAndSurpriseRemovalOnly) {
  const KSDEVICE_DISPATCH& d = kDeviceDispatch;
  EXPECT_EQ(d.Add, &CCameraDevice::DispatchCreate);
  EXPECT_EQ(d.Start, &CCameraDevice::DispatchStart);
  EXPECT_EQ(d.Stop, &CCameraDevice::DispatchStop);
  EXPECT_EQ(d.Remove, &CCameraDevice::DispatchRemove);
  EXPECT_EQ(d.SurpriseRemoval, &CCameraDevice::DispatchRemove);
  EXPECT_EQ(d.PostStart, nullptr);
  EXPECT_EQ(d.QueryStop, nullptr);
  EXPECT_EQ(d.CancelStop, nullptr);
  EXPECT_EQ(d.QueryRemove, nullptr);
  EXPECT_EQ(d.CancelRemove, nullptr);
  EXPECT_EQ(d.QueryCapabilities, nullptr);
  EXPECT_EQ(d.QueryPower, nullptr);
  EXPECT_EQ(d.SetPower, nullptr);
  EXPECT_EQ(d.QueryInterface, nullptr);
}

// DriverEntry returns what KsInitializeDriver returned and installs its unload
// hook in either case; the hook chains to ks.sys's routine when there is one.
TEST(DriverEntry, ReturnsKsStatusAndHooksUnloadWhateverTheStatus) {
  const struct {
    const char* name;
    bool ksFails;  // KsInitializeDriver refuses a driver object without an extension
  } cases[] = {{"ks succeeds", false}, {"ks fails", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DriverObject driver;
    PDRIVER_EXTENSION extension = driver.get()->DriverExtension;
    if (c.ksFails) driver.get()->DriverExtension = nullptr;
    UNICODE_STRING path = RegistryPath();
    NTSTATUS status = DriverEntry(driver.get(), &path);
    driver.get()->DriverExtension = extension;

    EXPECT_EQ(status, c.ksFails ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS);
    ASSERT_NE(driver.get()->DriverUnload, nullptr) << "no unload hook";
    host::io::UnloadDriver(driver.get());
    EXPECT_EQ(host::ks::UnloadCalls(driver.get()), c.ksFails ? 0 : 1);
  }
}

// A second DriverEntry on the same driver object, whether ks.sys installs its
// routine again or refuses (leaving the hook in place), still unloads ks.sys
// once: the hook must never save itself as the routine to chain to.
TEST(DriverEntry, RepeatedEntryOnOneDriverObjectStillUnloadsKsOnce) {
  for (bool secondFails : {false, true}) {
    SCOPED_TRACE(secondFails ? "second entry refused by ks" : "second entry accepted");
    DriverObject driver;
    UNICODE_STRING path = RegistryPath();
    ASSERT_EQ(DriverEntry(driver.get(), &path), STATUS_SUCCESS);
    PDRIVER_EXTENSION extension = driver.get()->DriverExtension;
    if (secondFails) driver.get()->DriverExtension = nullptr;
    DriverEntry(driver.get(), &path);
    driver.get()->DriverExtension = extension;
    host::io::UnloadDriver(driver.get());
    EXPECT_EQ(host::ks::UnloadCalls(driver.get()), 1);
  }
}

TEST(DriverEntry, HandsTheDeviceDescriptorToKs) {
  // ks.sys calls the descriptor's Add callback for a new device: ours logs its
  // entry and, until the device core exists, refuses.
  DriverObject driver;
  UNICODE_STRING path = RegistryPath();
  ASSERT_EQ(DriverEntry(driver.get(), &path), STATUS_SUCCESS);
  PDEVICE_OBJECT pdo = host::io::CreateDevice(driver.get(), 0, 1, "pdo");
  PKSDEVICE device = nullptr;
  EXPECT_EQ(host::ks::AddDevice(driver.get(), pdo, &device), STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(device, nullptr);
  EXPECT_TRUE(host::dbg::Contains("enter CCameraDevice::DispatchCreate\n"));
  host::io::DeleteDevice(pdo);
}

// ---------------------------------------------------------------------------
// Forwarders and the members behind them.

TEST(Forwarders, RefuseOrIgnoreADeviceWithoutContext) {
  KSDEVICE device{};
  EXPECT_EQ(CCameraDevice::DispatchStart(&device, nullptr, nullptr, nullptr), STATUS_INVALID_DEVICE_STATE);
  CCameraDevice::DispatchStop(&device, nullptr);
  CCameraDevice::DispatchRemove(&device, nullptr);
  EXPECT_FALSE(host::dbg::Contains("CCameraDevice::Pnp"));
}

TEST(Forwarders, StopAndRemoveReachTheDeviceInContext) {
  KSDEVICE ks{};
  TestDevice device(&ks);
  ks.Context = &device;
  const struct {
    void (*dispatch)(PKSDEVICE, PIRP);
    const char* line;
  } cases[] = {
      {CCameraDevice::DispatchStop, "CCameraDevice::PnpStop\n"},
      {CCameraDevice::DispatchRemove, "CCameraDevice::PnpRemove\n"},
  };
  for (const auto& c : cases) {
    host::dbg::Clear();
    c.dispatch(&ks, nullptr);
    EXPECT_EQ(host::dbg::Count(c.line), 1u) << c.line;
  }
  EXPECT_EQ(device.Hardware, nullptr) << "removal without a head object touches nothing";
}

// A camera that refuses every control request: enough for a head object to be
// built (unconfigured) and for its traffic to be counted.
class SilentCamera : public host::usb::DeviceModel {
 public:
  host::usb::ControlReply Control(const host::usb::Setup&, uint8_t*) override {
    host::usb::ControlReply reply;
    reply.status = USBD_STATUS_STALL_PID;
    return reply;
  }
  host::usb::IsoPacket IsochIn(uint8_t, uint64_t, uint8_t*, uint32_t) override { return {}; }
  host::usb::BulkReply BulkIn(uint8_t, uint8_t*, uint32_t) override { return {}; }
};

TEST(Forwarders, RemovalMarksTheHeadRemovedSoVendorRequestsNoLongerReachTheCamera) {
  ovratest::UsbCamera camera(std::make_shared<SilentCamera>());
  ovratest::PlainHardware* hardware = camera.Make<ovratest::PlainHardware>();
  ASSERT_NE(hardware, nullptr);
  camera.owner->Hardware = hardware;
  ASSERT_FALSE(hardware->m_Removed);

  CCameraDevice::DispatchRemove(camera.device, nullptr);
  EXPECT_TRUE(hardware->m_Removed);
  const uint64_t before = camera.BusStats().controlRequests;
  EXPECT_FALSE(NT_SUCCESS(hardware->SubmitVendorRequest(nullptr, 0, FALSE, kVrFlush, 0, 0)));
  EXPECT_EQ(camera.BusStats().controlRequests, before);
  camera.owner->Hardware = nullptr;
}

TEST(FreeRoutines, DeleteDeviceFreesTheGenericBuffersAndTheObject) {
  KSDEVICE ks{};
  for (int buffers = 0; buffers <= 3; ++buffers) {
    SCOPED_TRACE(buffers);
    void* memory = AllocateZeroed(sizeof(TestDevice));
    ASSERT_NE(memory, nullptr);
    TestDevice* device = new (memory, Placement::At) TestDevice(&ks);
    if (buffers >= 1) device->GenericConfig.Resolutions = static_cast<PLONG>(AllocateZeroed(5 * sizeof(LONG)));
    if (buffers >= 2) device->GenericConfig.SequenceBuffer = static_cast<PUCHAR>(AllocateZeroed(9));
    if (buffers >= 3)
      device->GenericConfig.Sequences = static_cast<I2cSequenceRecord*>(AllocateZeroed(3 * sizeof(I2cSequenceRecord)));
    CCameraDevice::DeleteDevice(device);
    EXPECT_EQ(host::pool::Outstanding(kTagObject), 0u) << host::pool::LeakReport();
  }
  CCameraDevice::DeleteDevice(nullptr);
  CCameraDevice::DeleteHardware(nullptr);
}

TEST(FreeRoutines, DeleteHardwareDestroysAndFreesTheHeadObject) {
  ovratest::UsbCamera camera(std::make_shared<SilentCamera>());
  const uint64_t before = host::pool::Outstanding();
  void* memory = AllocateZeroed(sizeof(ovratest::PlainHardware));
  ASSERT_NE(memory, nullptr);
  new (memory, Placement::At) ovratest::PlainHardware(camera.owner, camera.device);
  CCameraDevice::DeleteHardware(memory);
  EXPECT_EQ(host::pool::Outstanding(), before) << host::pool::LeakReport();
}

}  // namespace
