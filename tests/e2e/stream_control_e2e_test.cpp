// Device stream control as a capture application reaches it through the
// pins: one power-on per acquisition, ownership when the driving pin leaves,
// saved counts, interleave changes while streaming, and a clean second run.
#include <gtest/gtest.h>
#include <host/api/host.h>
#include <host/api/ks.h>

#include "stream/camera_bench.h"

namespace ovratest {
namespace {

using host::ks::Handle;
constexpr int64_t kMs = host::sched::kMillisecond;

CCapturePin* PinOf(Handle pin) { return static_cast<CCapturePin*>(host::ks::PinObject(pin)->Context); }

size_t PowerOns(const CameraBench& b) {
  size_t n = 0;
  for (const auto& r : b.bridge->VendorRequests(emu::kReqPower)) n += r.setup.wValue == 1;
  return n;
}

// An interlaced camera (Cedar, 60 Hz) at alternate setting 3.
struct Bench : CameraBench {
  Bench() : CameraBench(ProfileOf(0x2E4C0142), [](CameraBench& b) { b.SetDeviceValue("AltSetting", 3); }) {
    EXPECT_EQ(openStatus, STATUS_SUCCESS);
  }
};

TEST(StreamControl, CaptureThenStillPowerOnceAndTheDriverCanBeHandedOver) {
  Bench b;
  Handle capture = nullptr, still = nullptr;
  ASSERT_EQ(b.CreatePin(kCapturePinId, 0, &capture), STATUS_SUCCESS);
  ASSERT_EQ(b.CreatePin(kStillPinId, 0, &still), STATUS_SUCCESS);
  ASSERT_EQ(host::ks::SetState(capture, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  ASSERT_EQ(host::ks::SetState(still, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  EXPECT_EQ(PowerOns(b), 1u);
  EXPECT_EQ(PinOf(capture)->OwnsHardware, 1);
  EXPECT_EQ(PinOf(still)->OwnsHardware, 0);

  // The driving pin leaves; the still pin keeps the camera acquired. A pin
  // that registers now takes over driving it.
  ASSERT_EQ(host::ks::SetState(capture, KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_NE(b.Device()->OwnerFilter, nullptr);
  EXPECT_TRUE(b.bridge->Powered());
  ASSERT_EQ(host::ks::SetState(capture, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  EXPECT_EQ(PinOf(capture)->OwnsHardware, 1);
  EXPECT_EQ(PowerOns(b), 1u);
  host::dbg::Clear();
  ASSERT_EQ(host::ks::SetState(capture, KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_TRUE(host::dbg::Contains("CCameraDevice::Start\n"));

  ASSERT_EQ(host::ks::SetState(capture, KSSTATE_STOP), STATUS_SUCCESS);
  ASSERT_EQ(host::ks::SetState(still, KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(b.Device()->OwnerFilter, nullptr);
  EXPECT_FALSE(b.bridge->Powered());
}

// Dropped-frame counts come from the capture pin, else the still pin, else
// what the last capture pin left behind.
TEST(StreamControl, DroppedFramesFollowThePinsAndOutliveTheCapturePin) {
  Bench b;
  Handle capture = nullptr, still = nullptr;
  ASSERT_EQ(b.CreatePin(kCapturePinId, 0, &capture), STATUS_SUCCESS);
  ASSERT_EQ(b.CreatePin(kStillPinId, 0, &still), STATUS_SUCCESS);
  ASSERT_EQ(host::ks::SetState(capture, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  ASSERT_EQ(host::ks::SetState(still, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  PinOf(capture)->FramesProcessed = 7;
  PinOf(capture)->FramesDropped = 0xFFFFFFFF;
  PinOf(still)->FramesProcessed = 3;
  const GUID set = PROPSETID_VIDCAP_DROPPEDFRAMES;
  auto frames = [&] {
    KSPROPERTY_DROPPEDFRAMES_CURRENT_S s;
    memset(&s, 0xCC, sizeof s);
    const auto r = host::ks::GetProperty(b.filter, set, 0, &s, sizeof s);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(s.AverageFrameSize, 0u);
    return std::pair<LONGLONG, LONGLONG>(s.PictureNumber, s.DropCount);
  };
  EXPECT_EQ(frames(), (std::pair<LONGLONG, LONGLONG>(7, 0xFFFFFFFFLL)));
  ASSERT_EQ(host::ks::SetState(capture, KSSTATE_STOP), STATUS_SUCCESS);
  PinOf(still)->FramesDropped = 1;
  EXPECT_EQ(frames(), (std::pair<LONGLONG, LONGLONG>(3, 1)));
  ASSERT_EQ(host::ks::SetState(still, KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(frames(), (std::pair<LONGLONG, LONGLONG>(7, 0xFFFFFFFFLL)));
}

// While the camera streams, a new interleave mode waits for the next frame
// boundary (pending only); out-of-range modes are refused.
TEST(StreamControl, InterleaveWhileStreamingIsPendingOnly) {
  Bench b;
  Handle capture = nullptr;
  ASSERT_EQ(b.CreatePin(kCapturePinId, 0, &capture), STATUS_SUCCESS);
  ASSERT_EQ(host::ks::SetState(capture, KSSTATE_RUN), STATUS_SUCCESS);
  const GUID set = {STATICGUIDOF(PROPSETID_CAMPROP_CEDAR)};
  ULONG mode = 3;
  EXPECT_EQ(host::ks::SetProperty(b.filter, set, CAMPROP_INTERLEAVE, &mode, sizeof mode).status,
            STATUS_INVALID_PARAMETER);
  const ULONG active = PinOf(capture)->ActiveInterleave;
  mode = active == 1 ? 2 : 1;
  EXPECT_EQ(host::ks::SetProperty(b.filter, set, CAMPROP_INTERLEAVE, &mode, sizeof mode).status, STATUS_SUCCESS);
  EXPECT_EQ(PinOf(capture)->PendingInterleave, mode);
  EXPECT_EQ(PinOf(capture)->ActiveInterleave, active);
  ASSERT_EQ(host::ks::SetState(capture, KSSTATE_STOP), STATUS_SUCCESS);
}

// A run after a run starts as cleanly as the first: Start resets the
// routing context and every pin's position.
TEST(StreamControl, ASecondRunStartsFromACleanState) {
  Bench b;
  Handle capture = nullptr;
  ASSERT_EQ(b.CreatePin(kCapturePinId, 0, &capture), STATUS_SUCCESS);
  host::ks::Stream stream(capture, 720 * 480 * 2, true);
  ASSERT_EQ(host::ks::SetState(capture, KSSTATE_RUN), STATUS_SUCCESS);
  ASSERT_TRUE(NT_SUCCESS(stream.Queue(2)));
  host::sched::RunFor(45 * kMs);  // stop in mid-frame
  ASSERT_EQ(host::ks::SetState(capture, KSSTATE_PAUSE), STATUS_SUCCESS);
  ASSERT_EQ(host::ks::SetState(capture, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  CCameraDevice* d = b.Device();
  d->RouteFlags |= 0x2;  // a still that was requested for the last run
  ASSERT_EQ(host::ks::SetState(capture, KSSTATE_PAUSE), STATUS_SUCCESS);
  ASSERT_EQ(host::ks::SetState(capture, KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(d->RouteFlags & 0x2, 0u);
  EXPECT_EQ(d->RouteTarget, PinOf(capture));
  EXPECT_EQ(PinOf(capture)->X, 0);
  EXPECT_EQ(PinOf(capture)->Y, 0);
  ASSERT_EQ(host::ks::SetState(capture, KSSTATE_STOP), STATUS_SUCCESS);
  stream.Take();
}

}  // namespace
}  // namespace ovratest
