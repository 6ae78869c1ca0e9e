// The pins' state machine as a client walks it: who drives the camera, which
// device calls each transition makes, and what a transition reports.
#include <gtest/gtest.h>
#include <host/api/host.h>
#include <host/api/ks.h>

#include "stream/camera_bench.h"

namespace ovratest {
namespace {

using host::ks::Handle;

size_t Lines(const char* text) { return host::dbg::Count(text); }

class StateTest : public ::testing::Test {
 protected:
  StateTest()
      : bench(ProfileOf(0x2E4C0052), [](CameraBench& b) { b.SetDeviceValue("AltSetting", 3); }) {
  }
  CameraBench bench;
};

TEST_F(StateTest, OnlyThePinThatAcquiredDrivesTheCamera) {
  Handle capture = nullptr, still = nullptr;
  ASSERT_EQ(bench.CreatePin(kCapturePinId, 0, &capture), STATUS_SUCCESS);
  ASSERT_EQ(bench.CreatePin(kStillPinId, 0, &still), STATUS_SUCCESS);
  ASSERT_EQ(host::ks::SetState(capture, KSSTATE_RUN), STATUS_SUCCESS);
  host::dbg::Clear();
  // The second pin of the filter is registered with a success that is not
  // STATUS_SUCCESS; the client sees STATUS_SUCCESS all the same.
  EXPECT_EQ(host::ks::SetState(still, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  EXPECT_EQ(host::ks::SetState(still, KSSTATE_RUN), STATUS_SUCCESS);
  host::sched::RunFor(100 * host::sched::kMillisecond);
  auto* stillPin = static_cast<CCapturePin*>(host::ks::PinObject(still)->Context);
  EXPECT_EQ(stillPin->RunState, ULONG(kPinRunning));
  EXPECT_EQ(stillPin->OwnsHardware, 0);
  EXPECT_EQ(Lines("CCameraDevice::Start\n") + Lines("CCameraDevice::Pause\n") + Lines("CCameraDevice::Trigger\n") +
                Lines("CCameraDevice::Stop\n"),
            0u);
  ULONG available = 9;
  const GUID camprop = {STATICGUIDOF(PROPSETID_CAMPROP)};
  host::ks::GetProperty(bench.filter, camprop, CAMPROP_AVAILABLE, &available, sizeof available);
  EXPECT_EQ(available, 0u);
}

TEST_F(StateTest, PauseAndResumeUsePauseAndEachRunTriggersOnce) {
  Handle pin = nullptr;
  ASSERT_EQ(bench.CreatePin(kCapturePinId, 0, &pin), STATUS_SUCCESS);
  host::ks::Stream stream(pin, 640 * 480 * 2, true);
  ASSERT_EQ(host::ks::SetState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
  host::dbg::Clear();
  ASSERT_EQ(host::ks::SetState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  ASSERT_TRUE(NT_SUCCESS(stream.Queue(2)));
  host::sched::RunFor(200 * host::sched::kMillisecond);
  EXPECT_EQ(Lines("CCameraDevice::Start\n"), 1u);
  EXPECT_EQ(Lines("CCameraDevice::Trigger\n"), 1u);

  host::dbg::Clear();
  ASSERT_EQ(host::ks::SetState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
  ASSERT_EQ(host::ks::SetState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  stream.Take();
  ASSERT_TRUE(NT_SUCCESS(stream.Queue(2)));
  host::sched::RunFor(200 * host::sched::kMillisecond);
  EXPECT_EQ(Lines("CCameraDevice::Pause\n"), 2u);  // TRUE, then FALSE
  EXPECT_EQ(Lines("CCameraDevice::Start\n"), 0u);
  EXPECT_EQ(Lines("CCameraDevice::Trigger\n"), 1u);
  ASSERT_EQ(host::ks::SetState(pin, KSSTATE_STOP), STATUS_SUCCESS);
  stream.Take();
}

TEST_F(StateTest, StopOnAPinThatNeverLeftStopTracesItsStatistics) {
  Handle pin = nullptr;
  ASSERT_EQ(bench.CreatePin(kStillPinId, 0, &pin), STATUS_SUCCESS);
  ASSERT_EQ(host::ks::SetState(pin, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  host::dbg::Clear();
  ASSERT_EQ(host::ks::SetState(pin, KSSTATE_STOP), STATUS_SUCCESS);
  const long at = host::dbg::Find("Still pin statistics:\n");
  ASSERT_GE(at, 0);
  for (const char* line : {"       0 frames processed.\n", "       0 frames dropped.\n", "       0 packets dropped.\n",
                           "       0 EAV sync errors.\n"}) {
    EXPECT_GT(host::dbg::Find(line, at), at) << line;
  }
}

TEST_F(StateTest, APinOfASecondFilterIsRefusedAndLeavesTheOwnersFormat) {
  Handle first = nullptr;
  ASSERT_EQ(bench.CreatePin(kCapturePinId, 0, &first), STATUS_SUCCESS);
  ASSERT_EQ(host::ks::SetState(first, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  const KS_VIDEOINFOHEADER owned = bench.Device()->VideoInfo;

  Handle filter2 = nullptr, second = nullptr;
  ASSERT_EQ(bench.camera.OpenFilter(&filter2), STATUS_SUCCESS);
  Bytes format = FormatFromRange(bench.Ranges(kCapturePinId).at(0));
  FormatOf(format).VideoInfoHeader.bmiHeader.biWidth = 800;  // wider: a format of its own
  FormatOf(format).VideoInfoHeader.bmiHeader.biSizeImage = 800 * 480 * 2;
  ASSERT_EQ(bench.camera.CreatePin(filter2, kCapturePinId, format, &second), STATUS_SUCCESS);
  EXPECT_EQ(memcmp(&bench.Device()->VideoInfo, &owned, sizeof owned), 0);
  EXPECT_EQ(host::ks::SetState(second, KSSTATE_ACQUIRE), STATUS_SHARING_VIOLATION);

  // A format change of a pin that holds the camera is refused.
  Bytes again = FormatFromRange(bench.Ranges(kCapturePinId).at(0));
  EXPECT_EQ(host::ks::SetProperty(first, {STATICGUIDOF(KSPROPSETID_Connection)}, KSPROPERTY_CONNECTION_DATAFORMAT,
                                  again.data(), ULONG(again.size()))
                .status,
            STATUS_INVALID_DEVICE_STATE);
}

TEST(StillSizeTest, TheStillPinTakesTheCaptureSizeWhileTheCameraIsHeld) {
  CameraBench alder(ProfileOf(0x2E4C0061), [](CameraBench& b) { b.SetDeviceValue("AltSetting", 3); });
  Handle capture = nullptr;
  ASSERT_EQ(alder.CreatePin(kCapturePinId, 5, &capture), STATUS_SUCCESS);  // 640 x 480
  const std::vector<Bytes> still = alder.Ranges(kStillPinId);
  Bytes format;
  EXPECT_EQ(alder.Intersect(kStillPinId, still.at(0), &format), STATUS_SUCCESS);  // nobody holds it yet
  ASSERT_EQ(host::ks::SetState(capture, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  EXPECT_EQ(alder.Intersect(kStillPinId, still.at(0), &format), STATUS_NO_MATCH);
  EXPECT_TRUE(host::dbg::Contains("CCapturePin::IntersectHandler pin 1 nomatch pin 0\n"));
  EXPECT_EQ(alder.Intersect(kStillPinId, still.at(5), &format), STATUS_SUCCESS);
}

}  // namespace
}  // namespace ovratest
