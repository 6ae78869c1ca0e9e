// The hardware base object's life: construction, acquisition, release,
// the stream state and the reader each acquisition builds.
#include <gtest/gtest.h>

#include <memory>

#include "driver/usb/reader.h"
#include "support/usb_fixture.h"

namespace ovratest {
namespace {

using host::sched::kMillisecond;
constexpr uint8_t kGetDescriptor = 6, kSetConfiguration = 9, kSetInterface = 11;

size_t Count(const ScriptedDevice& d, uint8_t request, int value = -1) {
  size_t n = 0;
  for (const auto& c : d.controls) {
    if ((c.setup.bmRequestType & 0x60) == 0 && c.setup.bRequest == request && (value < 0 || c.setup.wValue == value))
      ++n;
  }
  return n;
}

class LifecycleTest : public ::testing::Test {
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

TEST_F(LifecycleTest, ConstructionConfiguresAndSelectsTheFirstSetting) {
  EXPECT_TRUE(hw->m_Configured);
  EXPECT_TRUE(hw->m_ResourcesAcquired);
  EXPECT_EQ(hw->m_AlternateSetting, 0);
  EXPECT_EQ(hw->m_NumPipes, 2);
  EXPECT_EQ(host::usb::Configuration(camera->pdo), 1);
  EXPECT_EQ(host::usb::AlternateSetting(camera->pdo, 0), 0);
  EXPECT_EQ(hw->m_DeviceDescriptor->idVendor, 0x0FBC);
  EXPECT_EQ(hw->m_ConfigDescriptor->wTotalLength, dev->configuration.size());
}

TEST_F(LifecycleTest, AcquisitionRepeatsTheSetupOnlyAfterARelease) {
  dev->controls.clear();
  ASSERT_EQ(hw->AcquireResources(2), STATUS_SUCCESS);
  EXPECT_EQ(Count(*dev, kGetDescriptor), 0u);
  EXPECT_EQ(Count(*dev, kSetConfiguration), 0u);
  EXPECT_EQ(Count(*dev, kSetInterface, 2), 1u);
  EXPECT_EQ(dev->VendorCount(kVrStreamReset), 1u);
  EXPECT_EQ(host::usb::AlternateSetting(camera->pdo, 0), 2);

  ASSERT_EQ(hw->ReleaseResources(), STATUS_SUCCESS);
  dev->controls.clear();
  ASSERT_EQ(hw->AcquireResources(1), STATUS_SUCCESS);
  EXPECT_EQ(Count(*dev, kGetDescriptor, USB_DEVICE_DESCRIPTOR_TYPE << 8), 1u);
  EXPECT_EQ(Count(*dev, kSetConfiguration, 1), 1u);
  EXPECT_EQ(host::usb::AlternateSetting(camera->pdo, 0), 1);
  EXPECT_TRUE(hw->m_ResourcesAcquired);
}

TEST_F(LifecycleTest, ReleaseReturnsToTheFirstSettingThenUnconfigures) {
  ASSERT_EQ(hw->AcquireResources(3), STATUS_SUCCESS);
  dev->controls.clear();
  EXPECT_EQ(hw->ReleaseResources(), STATUS_SUCCESS);
  ASSERT_EQ(dev->controls.size(), 2u);
  EXPECT_EQ(dev->controls[0].setup.bRequest, kSetInterface);
  EXPECT_EQ(dev->controls[0].setup.wValue, 0);
  EXPECT_EQ(dev->controls[1].setup.bRequest, kSetConfiguration);
  EXPECT_EQ(dev->controls[1].setup.wValue, 0);
  EXPECT_TRUE(host::dbg::Contains("Device Configuration Closed.\n"));
  EXPECT_EQ(host::usb::Configuration(camera->pdo), 0);
  EXPECT_EQ(hw->m_Reader, nullptr);
  EXPECT_EQ(hw->m_ConfigDescriptor, nullptr);
  EXPECT_EQ(hw->m_Interfaces, nullptr);
  EXPECT_EQ(hw->m_AlternateSetting, 0xFF);

  // Nothing held: a second release touches nothing.
  dev->controls.clear();
  EXPECT_EQ(hw->ReleaseResources(), STATUS_SUCCESS);
  EXPECT_TRUE(dev->controls.empty());
}

TEST_F(LifecycleTest, RemovedDeviceIsReleasedWithoutTraffic) {
  ASSERT_EQ(hw->AcquireResources(1), STATUS_SUCCESS);
  ASSERT_EQ(hw->Start(), STATUS_SUCCESS);
  host::sched::RunFor(20 * kMillisecond);
  hw->m_Removed = TRUE;
  camera->Unplug();
  dev->controls.clear();
  EXPECT_EQ(hw->ReleaseResources(), STATUS_SUCCESS);
  EXPECT_TRUE(dev->controls.empty());
  EXPECT_FALSE(hw->m_ResourcesAcquired);
}

struct ReaderCase {
  const char* name;
  bool bulk;
  UCHAR alternate;
  bool isochronous;
  ULONG transferSize;
  LONG packets;
  USHORT urbSize;
};

TEST_F(LifecycleTest, EachAcquisitionBuildsEightTransfersForThePipeType) {
  const ReaderCase cases[] = {
      {"bulk", true, 1, false, 32768, 0, 0},
      {"1024-byte packets", false, 1, true, 98304, 96, 1304},
      {"2048-byte packets", false, 2, true, 98304, 48, 728},
      {"3072-byte packets", false, 3, true, 98304, 32, 536},
  };
  for (const ReaderCase& c : cases) {
    SCOPED_TRACE(c.name);
    Unplug();
    Plug(ScriptedDevice::Camera(c.bulk));
    ASSERT_EQ(hw->AcquireResources(c.alternate), STATUS_SUCCESS);
    ContinuousReader* reader = hw->m_Reader;
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(reader->m_Isochronous, c.isochronous);
    EXPECT_EQ(reader->m_Pipe, hw->m_Pipes[1]);
    EXPECT_EQ(reader->TransferCount(), 8u);
    for (PLIST_ENTRY e = reader->m_Idle.Flink; e != &reader->m_Idle; e = e->Flink) {
      CSingleUrb* t = CSingleUrb::FromLink(e);
      EXPECT_EQ(t->m_TransferSize, c.transferSize);
      if (c.isochronous) {
        auto* iso = static_cast<CIsochUrb*>(t);
        EXPECT_EQ(iso->m_NumPackets, c.packets);
        EXPECT_EQ(iso->m_UrbSize, c.urbSize);
        EXPECT_EQ(t->m_Urb->UrbHeader.Length, c.urbSize);
      }
    }
  }
}

struct RefusedPipeCase {
  const char* name;
  std::vector<EndpointSpec> endpoints;
  NTSTATUS expected;
};

TEST_F(LifecycleTest, AcquisitionRefusesAVideoPipeItCannotStreamFrom) {
  const EndpointSpec out = {0x01, USB_ENDPOINT_TYPE_BULK, 512, 0};
  const RefusedPipeCase cases[] = {
      {"no second pipe", {out}, STATUS_INVALID_DEVICE_STATE},
      {"zero bandwidth", {out, {0x82, USB_ENDPOINT_TYPE_ISOCHRONOUS, 0, 1}}, STATUS_NOT_SUPPORTED},
      {"36-byte packets", {out, {0x82, USB_ENDPOINT_TYPE_ISOCHRONOUS, 36, 1}}, STATUS_NOT_SUPPORTED},
      {"37-byte packets", {out, {0x82, USB_ENDPOINT_TYPE_ISOCHRONOUS, 37, 1}}, STATUS_SUCCESS},
  };
  for (const RefusedPipeCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto d = ScriptedDevice::Camera();
    d->configuration = MakeConfiguration({{0, 0, {out}}, {0, 1, c.endpoints}});
    Unplug();
    Plug(d);
    EXPECT_EQ(hw->AcquireResources(1), c.expected);
    EXPECT_EQ(hw->m_Reader != nullptr, NT_SUCCESS(c.expected));
    EXPECT_EQ(hw->Start(), NT_SUCCESS(c.expected) ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(hw->Stop(), STATUS_SUCCESS);
  }
}

TEST_F(LifecycleTest, StoppingTwiceStopsTheReaderOnce) {
  ASSERT_EQ(hw->AcquireResources(1), STATUS_SUCCESS);
  ASSERT_EQ(hw->Start(), STATUS_SUCCESS);
  host::sched::RunFor(30 * kMillisecond);
  EXPECT_EQ(hw->Stop(), STATUS_SUCCESS);
  EXPECT_EQ(hw->Stop(), STATUS_SUCCESS);
  EXPECT_EQ(host::dbg::Count("exit ContinuousReader::Stop\n"), 1u);
  EXPECT_EQ(host::dbg::Count("ContinuousReader::AbortPipe"), 1u);
  EXPECT_EQ(hw->m_Reader->TransferCount(), 0u);
}

struct PauseCase {
  LONG from;
  BOOLEAN pause;
  LONG to;
};

TEST_F(LifecycleTest, PauseOnlyMovesBetweenRunningAndPaused) {
  const PauseCase cases[] = {
      {kStreamRunning, TRUE, kStreamPaused},   {kStreamPaused, FALSE, kStreamRunning},
      {kStreamStopped, TRUE, kStreamStopped},  {kStreamStopped, FALSE, kStreamStopped},
      {kStreamPaused, TRUE, kStreamPaused},    {kStreamRunning, FALSE, kStreamRunning},
  };
  for (const PauseCase& c : cases) {
    hw->m_State = c.from;
    EXPECT_EQ(hw->Pause(c.pause), STATUS_SUCCESS);
    EXPECT_EQ(hw->m_State, c.to) << "from " << c.from << (c.pause ? " pause" : " resume");
  }
  hw->m_State = kStreamStopped;
}

TEST(WidthSettingTest, CaptureModeCodeFollowsTheWidth) {
  const std::pair<LONG, ULONG> cases[] = {{1280, 3}, {721, 3}, {720, 0}, {641, 0}, {640, 1}, {513, 1}, {512, 2}, {160, 2}};
  auto d = ScriptedDevice::Camera();
  UsbCamera camera(d);
  PlainHardware* hw = camera.Make<PlainHardware>();
  for (const auto& [width, code] : cases) {
    KS_VIDEOINFOHEADER info = {};
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = 480;
    info.AvgTimePerFrame = 333333;
    hw->SetFormat(&info);
    EXPECT_EQ(hw->GetWidthSetting(), code) << width;
  }
  EXPECT_EQ(hw->m_Height, 480);
  EXPECT_EQ(hw->m_FramePeriod, 333333);
}

}  // namespace
}  // namespace ovratest
