// Whole streams: an emulated camera of every head kind, the driver, and a
// client that keeps reads queued on the capture pin. Frames must be the
// generator's frames byte for byte, numbered and timed, through pauses,
// restarts, starvation and teardown.
#include <cstring>

#include <gtest/gtest.h>
#include <host/api/host.h>
#include <host/api/ks.h>

#include "e2e/session.h"

namespace ovratest {
namespace {

using host::ks::Buffer;
using host::ks::Handle;

// ---------------------------------------------------------------------------

struct StreamCase {
  const char* name;
  uint32_t vidPid;
  LONG width, height;
};

class EveryHeadTest : public ::testing::TestWithParam<StreamCase> {};

TEST_P(EveryHeadTest, FramesAreTheGeneratorsFrames) {
  const StreamCase& c = GetParam();
  Session s(c.vidPid, c.width, c.height);
  ASSERT_EQ(s.Run(), STATUS_SUCCESS);
  const auto frames = s.Frames(4);
  ASSERT_EQ(frames.size(), 4u);
  s.Check(frames);
  EXPECT_EQ(Session::FrameInfoOf(*frames[0])->PictureNumber + 3, Session::FrameInfoOf(*frames[3])->PictureNumber);
}

INSTANTIATE_TEST_SUITE_P(
    Heads, EveryHeadTest,
    ::testing::Values(StreamCase{"Ccd512", 0x2E4C0042, 512, 480}, StreamCase{"Ccd640", 0x2E4C0042, 640, 480},
                      StreamCase{"AlderMono320", 0x2E4C0061, 320, 240}, StreamCase{"AlderMono640", 0x2E4C0061, 640, 480},
                      StreamCase{"Birch320", 0x2E4C0065, 320, 240}, StreamCase{"Birch640", 0x2E4C0065, 640, 480},
                      StreamCase{"Cedar640", 0x2E4C0142, 640, 480}, StreamCase{"Cedar704", 0x2E4C0142, 704, 480},
                      StreamCase{"Larch512", 0x2E4C0014, 512, 576}, StreamCase{"Larch640", 0x2E4C0014, 640, 576},
                      StreamCase{"Maple640", 0x2E4C0052, 640, 480}, StreamCase{"Maple704", 0x2E4C0054, 704, 576},
                      StreamCase{"Rowan480", 0x2E4C1442, 640, 480}, StreamCase{"Rowan576", 0x2E4C1443, 640, 576},
                      StreamCase{"Ov7740Cif", 0x2E4C0101, 352, 288}, StreamCase{"Ov7740Qvga", 0x2E4C0101, 320, 240},
                      StreamCase{"Generic512", 0x2E4C5332, 512, 480}, StreamCase{"Generic640", 0x2E4C5332, 640, 480}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------

TEST(StreamTest, PauseToAcquireAndBackDeliversCleanFramesAgain) {
  Session s(0x2E4C0052, 640, 480);
  ASSERT_EQ(s.Run(), STATUS_SUCCESS);
  s.Check(s.Frames(2));
  // run -> pause -> acquire -> pause -> run, stopping in mid-frame.
  host::sched::RunFor(10 * kMs);
  ASSERT_EQ(host::ks::SetState(s.pin, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  host::sched::RunFor(50 * kMs);
  ASSERT_EQ(host::ks::SetState(s.pin, KSSTATE_RUN), STATUS_SUCCESS);
  s.stream->Take();
  ASSERT_TRUE(NT_SUCCESS(s.stream->Queue(3)));
  const auto frames = s.Frames(3);
  ASSERT_EQ(frames.size(), 3u);
  s.Check(frames);
}

TEST(StreamTest, StarvedPinDropsThenRecoversWithADiscontinuity) {
  Session s(0x2E4C0052, 640, 480);
  ASSERT_EQ(s.Run(1), STATUS_SUCCESS);
  ASSERT_EQ(s.Frames(1).size(), 1u);
  auto* object = static_cast<CCapturePin*>(host::ks::PinObject(s.pin)->Context);
  const ULONG dropsBefore = object->PacketsDropped;
  host::sched::RunFor(200 * kMs);  // no reads queued: about six frames have nowhere to go
  EXPECT_GT(object->PacketsDropped, dropsBefore);
  ASSERT_TRUE(NT_SUCCESS(s.stream->Queue(3)));
  const auto frames = s.Frames(3);
  ASSERT_EQ(frames.size(), 3u);
  s.Check(frames, true);
  EXPECT_GE(Session::FrameInfoOf(*frames[0])->DropCount, 1);
}

// Packets the bus fails carry camera bytes that are gone: a frame they cut
// into is never delivered as a clean frame.
TEST(StreamTest, LostPacketsNeverYieldACleanLookingDamagedFrame) {
  Session s(0x2E4C0052, 640, 480);
  s.bench.bridge->SetPacketShaper([](uint64_t index) {
    emu::PacketShape shape;
    if (index % 400 == 399) shape.kind = emu::PacketShape::Kind::Failed;
    return shape;
  });
  ASSERT_EQ(s.Run(), STATUS_SUCCESS);
  const auto frames = s.Frames(12);
  ASSERT_EQ(frames.size(), 12u);
  size_t clean = 0, marked = 0;
  for (const auto& b : frames) {
    if (b->header->OptionsFlags & KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY) {
      marked++;
      continue;
    }
    clean++;
    s.ExactFrame(*b);
  }
  EXPECT_GT(marked, 0u);
  EXPECT_GT(clean, 0u);
  EXPECT_GT(static_cast<CCapturePin*>(host::ks::PinObject(s.pin)->Context)->PacketsDropped, 0u);
}

TEST(StreamTest, ManyRunStopAndOpenCloseCyclesLeaveNothingBehind) {
  Session s(0x2E4C0052, 640, 480);
  ASSERT_EQ(s.Run(1), STATUS_SUCCESS);
  ASSERT_EQ(host::ks::SetState(s.pin, KSSTATE_STOP), STATUS_SUCCESS);
  s.stream->Take();
  const uint64_t baseline = host::pool::Outstanding();
  for (int i = 0; i < 100; i++) {
    ASSERT_EQ(s.Run(1), STATUS_SUCCESS) << i;
    host::sched::RunFor(2 * kMs);
    ASSERT_EQ(host::ks::SetState(s.pin, KSSTATE_STOP), STATUS_SUCCESS) << i;
    s.stream->Take();
  }
  EXPECT_EQ(host::pool::Outstanding(), baseline);
  for (int i = 0; i < 100; i++) {
    Handle filter = nullptr, pin = nullptr;
    ASSERT_EQ(s.bench.camera.OpenFilter(&filter), STATUS_SUCCESS);
    ASSERT_EQ(s.bench.camera.CreatePin(filter, kStillPinId, s.format, &pin), STATUS_SUCCESS);
    ASSERT_EQ(s.bench.camera.CloseHandle(pin), STATUS_SUCCESS);
    ASSERT_EQ(s.bench.camera.CloseHandle(filter), STATUS_SUCCESS);
  }
  EXPECT_EQ(host::pool::Outstanding(), baseline);
  ASSERT_EQ(s.Run(2), STATUS_SUCCESS);
  s.Check(s.Frames(2));
}

TEST(TeardownTest, ClosingEitherPinWhileTheOtherStreams) {
  Session s(0x2E4C0052, 640, 480);
  ASSERT_EQ(s.Run(), STATUS_SUCCESS);  // the capture pin drives the camera
  Handle still = nullptr;
  ASSERT_EQ(s.bench.camera.CreatePin(s.bench.filter, kStillPinId, s.format, &still), STATUS_SUCCESS);
  ASSERT_EQ(host::ks::SetState(still, KSSTATE_RUN), STATUS_SUCCESS);
  host::ks::Stream stills(still, 640 * 480 * 2, true);
  ASSERT_TRUE(NT_SUCCESS(stills.Queue(2)));
  s.Frames(1);
  // The still pin goes in mid-frame while the capture pin streams: capture goes on.
  host::sched::RunFor(7 * kMs);
  ASSERT_EQ(s.bench.camera.CloseHandle(still), STATUS_SUCCESS);
  stills.Take();
  const auto frames = s.Frames(3);
  ASSERT_EQ(frames.size(), 3u);
  s.Check(frames);

  // The capture pin goes in mid-frame while a still pin streams.
  ASSERT_EQ(s.bench.camera.CreatePin(s.bench.filter, kStillPinId, s.format, &still), STATUS_SUCCESS);
  ASSERT_EQ(host::ks::SetState(still, KSSTATE_RUN), STATUS_SUCCESS);
  host::ks::Stream stills2(still, 640 * 480 * 2, true);
  ASSERT_TRUE(NT_SUCCESS(stills2.Queue(2)));
  host::sched::RunFor(7 * kMs);
  ASSERT_EQ(s.bench.camera.CloseHandle(s.pin), STATUS_SUCCESS);
  s.pin = nullptr;
  host::sched::RunFor(100 * kMs);
  ASSERT_EQ(s.bench.camera.CloseHandle(still), STATUS_SUCCESS);
  stills2.Take();
}

TEST(TeardownTest, SurpriseRemovalCompletesTheClientsReads) {
  Session s(0x2E4C0052, 640, 480);
  ASSERT_EQ(s.Run(), STATUS_SUCCESS);
  s.Frames(1);
  host::sched::RunFor(5 * kMs);
  s.bench.camera.SurpriseRemove();
  host::sched::RunFor(100 * kMs);
  EXPECT_EQ(host::ks::QueuedReads(s.pin), 0u);
  size_t removed = 0;
  for (auto& b : s.stream->Take()) {
    EXPECT_TRUE(b->done);
    if (!NT_SUCCESS(b->status)) {
      EXPECT_EQ(b->status, STATUS_DEVICE_REMOVED);
      removed++;
    }
  }
  EXPECT_GT(removed, 0u);
  EXPECT_EQ(s.stream->Queue(1), STATUS_DEVICE_REMOVED);
}

}  // namespace
}  // namespace ovratest
