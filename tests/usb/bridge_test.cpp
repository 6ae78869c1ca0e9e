// The driver's USB side against the emulated bridge of every camera profile.
#include <gtest/gtest.h>

#include <vector>

#include "driver/usb/reader.h"
#include "support/usb_fixture.h"

namespace ovratest {
namespace {

using host::sched::kMillisecond;
using host::sched::kSecond;

TEST(BridgeTest, EveryProfileStreamsItsVideoWithoutLoss) {
  for (const emu::Profile& profile : emu::Profiles()) {
    for (const auto transport : {emu::VideoTransport::Isochronous, emu::VideoTransport::Bulk}) {
      const bool bulk = transport == emu::VideoTransport::Bulk;
      SCOPED_TRACE(testing::Message() << profile.name << (bulk ? " bulk" : " isochronous"));
      emu::BridgeOptions options;
      options.transport = transport;
      UsbCamera camera(profile, options);
      camera.bridge->SetSource(std::make_shared<emu::PatternSource>());
      PlainHardware* hw = camera.Make<PlainHardware>();
      ASSERT_TRUE(hw->m_Configured);
      EXPECT_EQ(hw->m_DeviceDescriptor->idVendor, profile.vid);
      EXPECT_EQ(hw->m_DeviceDescriptor->idProduct, profile.pid);
      ASSERT_EQ(hw->AcquireResources(bulk ? 1 : 3), STATUS_SUCCESS);
      EXPECT_EQ(camera.bridge->AlternateSetting(), bulk ? 1 : 3);
      ASSERT_EQ(hw->Start(), STATUS_SUCCESS);
      host::sched::RunFor(40 * kMillisecond);
      hw->Stop();

      const auto& bytes = camera.owner->bytes;
      ASSERT_GT(bytes.size(), 40000u);
      size_t wrong = 0;
      for (size_t i = 0; i < bytes.size(); ++i) wrong += bytes[i] != emu::PatternSource::ByteAt(i);
      EXPECT_EQ(wrong, 0u);
      EXPECT_EQ(camera.bridge->StreamResets(), 2);
      EXPECT_EQ(hw->ReleaseResources(), STATUS_SUCCESS);
      EXPECT_EQ(camera.bridge->Configuration(), 0);
    }
  }
}

TEST(BridgeTest, StalledVideoIsFlushedOnceAndFlowsAgain) {
  emu::BridgeOptions options;
  options.transport = emu::VideoTransport::Bulk;
  UsbCamera camera(emu::Profiles().front(), options);
  camera.bridge->SetSource(std::make_shared<emu::PatternSource>());
  PlainHardware* hw = camera.Make<PlainHardware>();
  ASSERT_EQ(hw->AcquireResources(1), STATUS_SUCCESS);
  ASSERT_EQ(hw->Start(), STATUS_SUCCESS);
  host::sched::RunFor(100 * kMillisecond);
  camera.bridge->StallVideo();
  const uint64_t before = camera.owner->totalBytes;
  host::sched::RunFor(3 * kSecond);
  EXPECT_EQ(camera.bridge->Flushes(), 1);
  EXPECT_FALSE(camera.bridge->VideoStalled());
  EXPECT_GT(camera.owner->totalBytes, before + 1000000);
}

TEST(BridgeTest, ControlRequestsReachTheBridgeAndRepliesTheCaller) {
  UsbCamera camera(emu::Profiles().front());
  PlainHardware* hw = camera.Make<PlainHardware>();
  emu::Bridge& bridge = *camera.bridge;

  std::vector<uint8_t> chunk(64);
  for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = uint8_t(0x40 + i);
  EXPECT_EQ(hw->SubmitVendorRequest(chunk.data(), 64, FALSE, kVrEeprom, 0, 0xFFE0), STATUS_SUCCESS);
  std::vector<uint8_t> back(64, 0);
  EXPECT_EQ(hw->SubmitVendorRequest(back.data(), 64, TRUE, kVrEeprom, 0, 0xFFE0), STATUS_SUCCESS);
  EXPECT_EQ(back, chunk);

  EXPECT_EQ(hw->SubmitVendorRequest(nullptr, 0, FALSE, kVrCameraPower, 0, 1), STATUS_SUCCESS);
  EXPECT_TRUE(bridge.Powered());
  EXPECT_EQ(hw->SubmitVendorRequest(nullptr, 0, FALSE, kVrPortByte, 0, 0x81), STATUS_SUCCESS);
  EXPECT_EQ(bridge.PortByte(), 0x81);
  bridge.SetStatusBit(true);
  UCHAR status[4] = {};
  EXPECT_EQ(hw->SubmitVendorRequest(status, 4, TRUE, kVrStatusBit, 0, 0), STATUS_SUCCESS);
  EXPECT_EQ(status[1] & 1, 1);

  const auto wire = bridge.VendorRequests(kVrEeprom);
  ASSERT_EQ(wire.size(), 2u);
  EXPECT_EQ(wire[0].setup.bmRequestType, 0x40);
  EXPECT_EQ(wire[1].setup.bmRequestType, 0xC0);
  EXPECT_EQ(wire[1].setup.wValue, 0xFFE0);
}

}  // namespace
}  // namespace ovratest
