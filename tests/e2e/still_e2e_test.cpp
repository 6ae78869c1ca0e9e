// Stills on request, end to end: the snapshot method and the Alder snapshot
// mode move whole frames of a running stream to the still pin.
#include <gtest/gtest.h>
#include <host/api/host.h>
#include <host/api/ks.h>

#include "e2e/session.h"

namespace ovratest {
namespace {

const GUID kMethods = {STATICGUIDOF(METHODSETID_CAMPROP)};
const GUID kAlderSet = {STATICGUIDOF(PROPSETID_CAMPROP_ALDER)};

// The capture session plus a running still pin of the same size.
struct StillSession : Session {
  StillSession(uint32_t vidPid, LONG width, LONG height) : Session(vidPid, width, height) {
    EXPECT_EQ(Run(), STATUS_SUCCESS);
    EXPECT_EQ(bench.camera.CreatePin(bench.filter, kStillPinId, format, &still), STATUS_SUCCESS);
    EXPECT_EQ(host::ks::SetState(still, KSSTATE_RUN), STATUS_SUCCESS);
    stills = std::make_unique<host::ks::Stream>(still, FormatOf(format).VideoInfoHeader.bmiHeader.biSizeImage, true);
    EXPECT_TRUE(NT_SUCCESS(stills->Queue(2)));
  }
  ~StillSession() {
    host::ks::SetState(still, KSSTATE_STOP);
    stills->Take();
  }
  NTSTATUS Snapshot() {
    return host::ks::CallMethod(bench.filter, kMethods, CAMPROP_METHOD_SNAPSHOT, nullptr, 0, nullptr, 0).status;
  }

  Handle still = nullptr;
  std::unique_ptr<host::ks::Stream> stills;
};

struct MethodCase {
  const char* name;
  uint32_t vidPid;
  uint32_t later;  // generator frames between the one in progress and the still
};

class StillMethodTest : public ::testing::TestWithParam<MethodCase> {};

TEST_P(StillMethodTest, TheNextFrameGoesToTheStillPinAndCaptureGoesOn) {
  StillSession s(GetParam().vidPid, 640, 480);
  auto before = s.Frames(1);
  ASSERT_EQ(before.size(), 1u);
  const uint32_t last = s.ExactFrame(*before[0]);
  host::sched::RunFor(5 * kMs);  // into the next frame
  const int64_t asked = host::sched::Now();
  ASSERT_EQ(s.Snapshot(), STATUS_SUCCESS);
  EXPECT_LT(host::sched::Now() - asked, 250 * kMs);  // a Birch head waits for the boundary, not the time-out

  auto after = s.Frames(3);
  ASSERT_EQ(after.size(), 3u);
  std::vector<std::unique_ptr<Buffer>> stills;
  ASSERT_TRUE(host::sched::RunUntil([&] {
    for (auto& b : s.stills->Take()) stills.push_back(std::move(b));
    return !stills.empty();
  }, host::sched::kSecond));
  const uint32_t still = s.ExactFrame(*stills[0]);
  EXPECT_EQ(still, (last + 2 + GetParam().later) % 255);  // asked during frame last + 1
  EXPECT_EQ(Session::FrameInfoOf(*stills[0])->PictureNumber, 1);
  // Capture misses exactly the frame that went to the still pin.
  std::vector<uint32_t> captured = {last};
  for (auto& b : after) captured.push_back(s.ExactFrame(*b));
  for (size_t i = 1; i < captured.size(); i++) {
    const uint32_t expected = (captured[i - 1] + 1) % 255 == still ? (still + 1) % 255 : (captured[i - 1] + 1) % 255;
    EXPECT_EQ(captured[i], expected) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Heads, StillMethodTest,
                         ::testing::Values(MethodCase{"Alder", 0x2E4C0061, 0}, MethodCase{"Birch", 0x2E4C0065, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SnapshotModeTest, EveryFrameGoesToTheStillPinUntilItIsOff) {
  StillSession s(0x2E4C0061, 640, 480);
  ASSERT_EQ(s.Frames(1).size(), 1u);
  ULONG on = 1;
  ASSERT_EQ(host::ks::SetProperty(s.bench.filter, kAlderSet, CAMPROP_SNAPSHOT_MODE, &on, sizeof on).status,
            STATUS_SUCCESS);
  EXPECT_NE(s.bench.head.registers->Get(0x1E) & 0x100, 0);
  EXPECT_FALSE(s.bench.head.registers->WritesOf(0x0B).empty());
  s.stream->Take();
  std::vector<std::unique_ptr<Buffer>> stills;
  host::sched::RunUntil([&] {
    for (auto& b : s.stills->Take()) {
      stills.push_back(std::move(b));
      s.stills->Queue(1);
    }
    return stills.size() >= 3;
  }, host::sched::kSecond);
  ASSERT_EQ(stills.size(), 3u);
  for (auto& b : stills) s.ExactFrame(*b);
  const size_t capturedMeanwhile = s.stream->Take().size();
  EXPECT_LE(capturedMeanwhile, 1u);  // at most the frame in progress when the mode came on

  ULONG off = 0;
  ASSERT_EQ(host::ks::SetProperty(s.bench.filter, kAlderSet, CAMPROP_SNAPSHOT_MODE, &off, sizeof off).status,
            STATUS_SUCCESS);
  EXPECT_EQ(s.bench.head.registers->Get(0x1E) & 0x100, 0);
  s.stills->Take();
  s.stream->Queue(2);
  const auto frames = s.Frames(2);
  ASSERT_EQ(frames.size(), 2u);
  for (auto& b : frames) s.ExactFrame(*b);
}

}  // namespace
}  // namespace ovratest
