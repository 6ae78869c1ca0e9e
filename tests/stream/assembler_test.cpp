// The frame router and assembler: the emulated camera's byte stream, cut into
// blocks, through CCameraDevice::HandleVideoData into client buffers queued on
// the pins; every delivered byte is checked against the generator's pattern.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <emu/video.h>
#include <host/api/host.h>

#include "driver/stream/assembler.h"
#include "support/assembler_rig.h"

namespace {

using emu::VideoFault;
using emu::VideoFormat;
using Kind = VideoFault::Kind;
using Frames = std::vector<std::unique_ptr<host::ks::Buffer>>;
using ovratest::AssemblerRig;
using ovratest::RigOptions;

constexpr uint32_t kW = 32, kH = 24;

VideoFormat Format(bool interlaced, bool mono, uint32_t height = kH) {
  VideoFormat f;
  f.width = kW;
  f.height = height;
  f.bytesPerPixel = mono ? 1 : 2;
  f.interlaced = interlaced;
  f.frameInterval = 0;
  return f;
}

// The stream of `frames` frames (and the code that ends the last), with
// `faults`, in reads of `chunk` bytes (a read also ends at a Cut knob).
std::vector<std::vector<uint8_t>> Reads(const VideoFormat& f, size_t frames, size_t chunk,
                                        const std::vector<VideoFault>& faults = {}) {
  emu::VideoSource source(f);
  for (const VideoFault& fault : faults) source.AddFault(fault);
  std::vector<std::vector<uint8_t>> reads;
  while (source.Frame() < frames || source.Position() == 0) {
    std::vector<uint8_t> block(chunk);
    block.resize(source.Read(block.data(), chunk));
    if (!block.empty()) reads.push_back(std::move(block));
  }
  std::vector<uint8_t> tail(f.UnitBytes());
  tail.resize(source.Read(tail.data(), tail.size()));
  reads.push_back(tail);
  return reads;
}

void Feed(AssemblerRig& rig, const std::vector<std::vector<uint8_t>>& reads) {
  for (const auto& block : reads) rig.Feed(block.data(), block.size());
}

// Bytes of a delivered frame that differ from generator frame `frame`.
size_t Diff(host::ks::Buffer& buffer, const VideoFormat& f, uint32_t mode, uint64_t frame) {
  const std::vector<uint8_t> expected = emu::ExpectedFrame(f, mode, frame);
  size_t diff = 0;
  for (size_t i = 0; i < expected.size(); ++i) diff += buffer.Data()[i] != expected[i];
  return diff;
}

struct Counters {
  ULONG processed, dropped, packets, sync;
  bool operator==(const Counters& o) const {
    return processed == o.processed && dropped == o.dropped && packets == o.packets && sync == o.sync;
  }
};
Counters Of(const CCapturePin* pin) {
  return {pin->FramesProcessed, pin->FramesDropped, pin->PacketsDropped, pin->EavSyncErrors};
}

// --- Every byte of every frame, for each pixel width and interleave mode, ---
// --- whole blocks and random cuts alike.                                  ---

struct PatternCase {
  bool mono;
  bool interlaced;
  uint32_t mode;
  size_t block;  // read size; random cuts of 1..block bytes when `seed` is set
  uint32_t seed;
};

class PatternTest : public ::testing::TestWithParam<PatternCase> {};

TEST_P(PatternTest, EveryByteAndHeaderField) {
  const PatternCase& c = GetParam();
  const VideoFormat f = Format(c.interlaced, c.mono);
  AssemblerRig rig({.modelFlags = c.mono ? kModelMonochrome : 0u, .width = kW, .height = kH, .interleave = c.mode});
  ASSERT_EQ(rig.Queue(0, 8), STATUS_PENDING);
  const auto stream = emu::VideoSource::Generate(f, f.FrameBytes() * 5 + f.UnitBytes());
  rig.Feed(stream, ovratest::Cuts(stream.size(), c.block, c.seed));

  Frames frames = rig.Take(0);
  ASSERT_EQ(frames.size(), 5u);
  for (size_t i = 0; i < frames.size(); ++i) {
    SCOPED_TRACE("frame " + std::to_string(i));
    const KSSTREAM_HEADER& h = *frames[i]->header;
    EXPECT_EQ(Diff(*frames[i], f, c.mode, i), 0u);
    EXPECT_EQ(h.DataUsed, rig.ImageBytes());
    EXPECT_EQ(h.OptionsFlags, ULONG(KSSTREAM_HEADER_OPTIONSF_SPLICEPOINT | KSSTREAM_HEADER_OPTIONSF_DURATIONVALID));
    EXPECT_EQ(h.Duration, rig.Pin(0)->FormatCopy->AvgTimePerFrame);
    EXPECT_EQ(h.PresentationTime.Time, 0);  // no clock
    EXPECT_EQ(frames[i]->FrameInfo()->PictureNumber, LONGLONG(i + 1));
    EXPECT_EQ(frames[i]->FrameInfo()->DropCount, 0);
  }
  EXPECT_EQ(Of(rig.Pin(0)), (Counters{5, 0, 0, 0}));
  rig.Drain(0);
}

std::vector<PatternCase> PatternCases() {
  std::vector<PatternCase> cases;
  for (bool mono : {false, true})
    for (auto [interlaced, mode] : {std::pair{false, 0u}, {true, 1u}, {true, 2u}})
      for (auto [block, seed] : {std::pair<size_t, uint32_t>{98304, 0}, {7, 2}})
        cases.push_back({mono, interlaced, mode, block, seed});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Streams, PatternTest, ::testing::ValuesIn(PatternCases()),
                         [](const auto& info) {
                           const PatternCase& c = info.param;
                           return std::string(c.mono ? "Mono" : "Uyvy") + "Mode" + std::to_string(c.mode) + "Cut" +
                                  std::to_string(c.block);
                         });

// --- A broken stream: counters, flags and the bytes that must survive, the ---
// --- same for two ways of cutting it.                                        ---

struct FaultCase {
  const char* name;
  bool interlaced;
  uint32_t mode;
  std::vector<VideoFault> faults;
  size_t delivered;          // frames
  std::vector<size_t> dirty; // bytes of each delivered frame that may differ (SIZE_MAX: not checked)
  ULONG sync;                // EAV sync errors
  ULONG dropped;             // frames that carried the discontinuity flag
  const char* log;           // a line the log must hold, or null
};

class FaultTest : public ::testing::TestWithParam<FaultCase> {};

TEST_P(FaultTest, CountersFlagsAndBytes) {
  const FaultCase& c = GetParam();
  const VideoFormat f = Format(c.interlaced, false);
  std::vector<Counters> counters;
  for (size_t chunk : {size_t(200), size_t(61)}) {
    SCOPED_TRACE("reads of " + std::to_string(chunk));
    host::dbg::Clear();
    AssemblerRig rig({.width = kW, .height = kH, .interleave = c.mode});
    ASSERT_EQ(rig.Queue(0, 8), STATUS_PENDING);
    Feed(rig, Reads(f, 4, chunk, c.faults));
    Frames frames = rig.Take(0);
    ASSERT_EQ(frames.size(), c.delivered);
    // Generator frames go out in order; a frame not delivered is skipped.
    LONGLONG discontinuities = 0;
    for (size_t i = 0, gen = 0; i < frames.size(); ++i, ++gen) {
      while (emu::FrameOf(f, c.mode, frames[i]->Data()) != gen % 255) ++gen;
      if (c.dirty[i] != SIZE_MAX) {
        EXPECT_LE(Diff(*frames[i], f, c.mode, gen), c.dirty[i]) << "frame " << i;
      }
      discontinuities += (frames[i]->header->OptionsFlags & KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY) != 0;
      EXPECT_EQ(frames[i]->FrameInfo()->DropCount, discontinuities) << "frame " << i;
    }
    EXPECT_EQ(rig.Pin(0)->EavSyncErrors, c.sync);
    EXPECT_EQ(rig.Pin(0)->FramesDropped, c.dropped);
    if (c.log != nullptr) {
      EXPECT_TRUE(host::dbg::Contains(c.log));
    }
    counters.push_back(Of(rig.Pin(0)));
    rig.Drain(0);
  }
  EXPECT_EQ(counters[0], counters[1]);
}

VideoFault At(Kind kind, uint64_t frame, uint32_t line, uint32_t count = 1, bool atSav = false, int value = -1,
              uint32_t column = 0, uint32_t field = 0) {
  VideoFault fault;
  fault.kind = kind;
  fault.frame = frame;
  fault.field = field;
  fault.line = line;
  fault.count = count;
  fault.atSav = atSav;
  fault.value = value;
  fault.column = column;
  return fault;
}

const std::vector<size_t> kClean(4, 0);

INSTANTIATE_TEST_SUITE_P(
    Streams, FaultTest,
    ::testing::Values(
        FaultCase{"SplitCodes", false, 0,
                  {At(Kind::Cut, 1, 3, 1), At(Kind::Cut, 1, 5, 2), At(Kind::Cut, 1, 7, 3),
                   At(Kind::Cut, 2, 3, 1, true), At(Kind::Cut, 2, 5, 2, true), At(Kind::Cut, 2, 7, 3, true)},
                  4, kClean, 0, 0, "Hit partial"},
        FaultCase{"RunsOfFF", false, 0, {At(Kind::FFRun, 1, 2, 3), At(Kind::FFRun, 1, 4, 2, true)}, 4, kClean, 0, 0,
                  nullptr},
        // A 0xFF 10 bytes before the line end ends the line (its code reads
        // as an EAV); the next line lands where it belongs.
        FaultCase{"FFBeforeLineEnd", false, 0, {At(Kind::SpuriousFF, 1, 5, 1, false, 0x90, 2 * kW - 10)}, 4,
                  {0, 10, 0, 0}, 0, 0, nullptr},
        // A line short by one byte, the block ending right there.
        FaultCase{"ShortLineAtBlockEnd", false, 0, {At(Kind::ShortLine, 1, 5), At(Kind::Cut, 1, 5, 0)}, 4,
                  {0, 1, 0, 0}, 0, 0, nullptr},
        // The SAV's line is dropped, the lines after it move up by one.
        FaultCase{"SavForEav", false, 0, {At(Kind::SavForEav, 1, 5)}, 4, {0, SIZE_MAX, 0, 0}, 1, 0, nullptr},
        FaultCase{"FewerLines", false, 0, {At(Kind::FewerLines, 2, 0, 2)}, 4, {0, 0, 4 * kW, 0}, 0, 0, nullptr},
        FaultCase{"MoreLines", false, 0, {At(Kind::MoreLines, 2, 0, 2)}, 4, kClean, 0, 0, nullptr},
        // The first frame short: not delivered.
        FaultCase{"FirstFrameIncomplete", false, 0, {At(Kind::FewerLines, 0, 0, 2)}, 3, kClean, 0, 0,
                  "**1** Got 22 scans in first frame"},
        // Woven frames: a second field alone is not delivered and the next
        // frame says data were lost.
        FaultCase{"SecondFieldAlone", true, 2, {At(Kind::NoFirstField, 2, 0)}, 3, kClean, 0, 1, nullptr},
        FaultCase{"SecondFieldAloneSingle", true, 1, {At(Kind::NoFirstField, 2, 0)}, 4, kClean, 0, 0, nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

namespace {

// --- Stills: trigger edges in the stream and the routing of whole frames. ---

struct TriggerCase {
  const char* name;
  bool stillPin;
  bool request;                        // a still requested before the stream starts
  std::vector<std::pair<int, int>> at; // (frame, trigger value) from line 2 of that frame on
  std::vector<uint32_t> stills;        // generator frames the still pin gets
  size_t snaps;                        // "Snap" trace lines
  size_t routedToStill;                // routing decisions that chose a still
};

class TriggerTest : public ::testing::TestWithParam<TriggerCase> {};

// The whole stream arrives in one block, so every frame after the first
// begins in the middle of a block that the previous pin left unfinished.
TEST_P(TriggerTest, StillsFollowRisingEdges) {
  const TriggerCase& c = GetParam();
  const VideoFormat f = Format(false, false);
  AssemblerRig rig({.width = kW, .height = kH, .stillPin = c.stillPin});
  ASSERT_EQ(rig.Queue(0, 10), STATUS_PENDING);
  if (c.stillPin) {
    ASSERT_EQ(rig.Queue(1, 4), STATUS_PENDING);
  }
  if (c.request) rig.Device()->RouteFlags |= kRouteStillNext;
  std::vector<VideoFault> faults;
  for (auto [frame, value] : c.at) faults.push_back(At(Kind::Trigger, frame, 2, 1, false, value));
  std::vector<uint8_t> stream;
  for (const auto& read : Reads(f, 8, 61, faults)) stream.insert(stream.end(), read.begin(), read.end());
  host::dbg::Clear();
  rig.Feed(stream.data(), stream.size());

  EXPECT_EQ(host::dbg::Count("Snap "), c.snaps);
  EXPECT_EQ(host::dbg::Count("Coming frame routed to still"), c.routedToStill);
  Frames stills = c.stillPin ? rig.Take(1) : Frames();
  ASSERT_EQ(stills.size(), c.stills.size());
  for (size_t i = 0; i < stills.size(); ++i) EXPECT_EQ(Diff(*stills[i], f, 0, c.stills[i]), 0u) << "still " << i;
  Frames captured = rig.Take(0);
  EXPECT_EQ(captured.size() + stills.size(), 8u);
  for (auto& frame : captured)
    for (uint32_t still : c.stills) EXPECT_NE(emu::FrameOf(f, 0, frame->Data()), still);
  rig.Drain(0);
  rig.Drain(1);
}

INSTANTIATE_TEST_SUITE_P(
    Stills, TriggerTest,
    ::testing::Values(
        // 0 -> 1 -> 1 -> 0 -> 1 over frames 1..4: two requests; the fall is
        // traced too. Without a still pin the frames stay on the capture pin.
        TriggerCase{"TwoRisingEdges", false, false, {{1, 1}, {2, 1}, {3, 0}, {4, 1}}, {}, 3, 2},
        // With a still pin the first request holds the trigger off for 9 frames.
        TriggerCase{"HoldOffWithStillPin", true, false, {{1, 1}, {2, 1}, {3, 0}, {4, 1}}, {2}, 1, 1},
        // An edge inside a still frame is the still pin's and ignored; the
        // capture pin sees it in the next frame.
        TriggerCase{"EdgeOnStillPinIgnored", true, true, {{1, 1}}, {1, 3}, 1, 2}),
    [](const auto& info) { return std::string(info.param.name); });

// Two cameras' trigger lines are their own: a rise seen on one camera does
// not hide the same rise on the other.
TEST(TriggerBitTest, EachCameraKeepsItsOwnLastBit) {
  const VideoFormat f = Format(false, false);
  AssemblerRig first({.width = kW, .height = kH}), second({.width = kW, .height = kH});
  std::vector<uint8_t> stream;
  for (const auto& read : Reads(f, 4, 61, {At(Kind::Trigger, 1, 2, 1, false, 1)}))
    stream.insert(stream.end(), read.begin(), read.end());
  host::dbg::Clear();
  for (AssemblerRig* rig : {&first, &second}) {
    ASSERT_EQ(rig->Queue(0, 6), STATUS_PENDING);
    rig->Feed(stream.data(), stream.size());
  }
  EXPECT_EQ(host::dbg::Count("Snap "), 2u);
  first.Drain(0);
  second.Drain(0);
}

// --- Writes stay inside the client's buffer whatever the format says. ---

struct BoundsCase {
  const char* name;
  int32_t height;        // of the pin's format
  uint32_t mode;
  int32_t extraCopyWidth;  // the format copy is this much wider than the kept header
  int32_t shortBy;         // the buffers lack this many bytes of the image
  std::vector<VideoFault> faults;
};

class BoundsTest : public ::testing::TestWithParam<BoundsCase> {};

TEST_P(BoundsTest, NothingPastTheBuffer) {
  const BoundsCase& c = GetParam();
  const VideoFormat f = Format(c.mode != 0, false);
  AssemblerRig rig({.width = kW, .height = c.height, .interleave = c.mode});
  CCapturePin* pin = rig.Pin(0);
  pin->FormatCopy->bmiHeader.biWidth += c.extraCopyWidth;
  const ULONG extent = rig.ImageBytes() - c.shortBy;
  ASSERT_EQ(rig.Queue(0, 6, extent), STATUS_PENDING);
  Feed(rig, Reads(f, 4, 97, c.faults));
  Frames frames = rig.Take(0);
  EXPECT_EQ(frames.size(), 4u);
  for (auto& frame : frames) EXPECT_LE(frame->header->DataUsed, extent);
  if (c.extraCopyWidth == 0 && c.shortBy == 0 && c.faults.empty()) {
    for (size_t i = 0; i < frames.size(); ++i) EXPECT_EQ(Diff(*frames[i], f, c.mode, i), 0u);
  }
  rig.Drain(0);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, BoundsTest,
    ::testing::Values(BoundsCase{"TopDownFormat", -int32_t(kH), 0, 0, 0, {}},
                      // Halving the line count of a negative height, surplus lines dropped.
                      BoundsCase{"TopDownWovenSurplusLines", -int32_t(kH), 2, 0, 0, {At(Kind::MoreLines, 1, 0, 3)}},
                      BoundsCase{"ShortBuffer", kH, 0, 0, int32_t(kW), {}},
                      BoundsCase{"WiderFormatCopy", kH, 0, 8, 0, {}},
                      BoundsCase{"DoubledLinesPastTheEnd", kH, 1, 0, int32_t(kW), {}},
                      BoundsCase{"HostileStream", kH, 0, 0, 0,
                                 {At(Kind::LongLine, 1, 23, 40), At(Kind::MoreLines, 1, 0, 5),
                                  At(Kind::SpuriousFF, 2, 1, 1, false, 0x80, 3)}}),
    [](const auto& info) { return std::string(info.param.name); });

// --- The router's own cases. ---

// Neither pin is there: blocks are dropped and counted; once the capture
// pin is back, delivery resumes with a whole field.
TEST(RouterTest, BlocksWithoutATargetPinAreDropped) {
  const VideoFormat f = Format(false, false);
  AssemblerRig rig({.width = kW, .height = kH});
  ASSERT_EQ(rig.Queue(0, 4), STATUS_PENDING);
  const auto reads = Reads(f, 3, 500);
  CCameraDevice* device = rig.Device();
  CCapturePin* capture = device->Pins[0];
  device->Pins[0] = nullptr;
  device->RouteTarget = nullptr;
  for (size_t i = 0; i < reads.size() / 2; ++i) rig.Feed(reads[i].data(), reads[i].size());
  EXPECT_EQ(device->UnroutedBlocks, reads.size() / 2);
  device->Pins[0] = capture;
  for (size_t i = reads.size() / 2; i < reads.size(); ++i) rig.Feed(reads[i].data(), reads[i].size());
  Frames frames = rig.Take(0);
  ASSERT_FALSE(frames.empty());
  for (auto& frame : frames) EXPECT_EQ(Diff(*frame, f, 0, emu::FrameOf(f, 0, frame->Data())), 0u);
  EXPECT_EQ(frames.back()->FrameInfo()->PictureNumber, LONGLONG(frames.size()));
  rig.Drain(0);
}

// The client takes the frame away while a field is being written into it:
// the rest of that field is skipped and the next frame is marked.
TEST(RouterTest, FrameSwappedInMidFieldIsNotDeliveredClean) {
  const VideoFormat f = Format(false, false);
  AssemblerRig rig({.width = kW, .height = kH});
  ASSERT_EQ(rig.Queue(0, 4), STATUS_PENDING);
  const auto stream = emu::VideoSource::Generate(f, f.FrameBytes() * 3 + f.UnitBytes());
  const size_t middle = f.FrameBytes() + f.FrameBytes() / 2;
  rig.Feed(stream.data(), middle);
  PKSSTREAM_POINTER leading = KsPinGetLeadingEdgeStreamPointer(rig.Pin(0)->Pin, KSSTREAM_POINTER_STATE_LOCKED);
  ASSERT_NE(leading, nullptr);
  KsStreamPointerUnlock(leading, TRUE);
  rig.Feed(stream.data() + middle, stream.size() - middle);

  Frames frames = rig.Take(0);
  ASSERT_EQ(frames.size(), 3u);  // frame 0, the frame taken away, frame 2
  EXPECT_EQ(Diff(*frames[0], f, 0, 0), 0u);
  EXPECT_EQ(Diff(*frames[2], f, 0, 2), 0u);
  EXPECT_TRUE(frames[2]->header->OptionsFlags & KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY);
  EXPECT_EQ(rig.Pin(0)->FramesDropped, 1u);
  rig.Drain(0);
}

// A new interleave mode reaches a streaming pin at the next frame.
TEST(RouterTest, ModeChangeTakesEffectAtTheNextFrame) {
  const VideoFormat f = Format(true, false);
  AssemblerRig rig({.width = kW, .height = kH, .interleave = 2});
  ASSERT_EQ(rig.Queue(0, 4), STATUS_PENDING);
  const auto stream = emu::VideoSource::Generate(f, f.FrameBytes() * 3 + f.UnitBytes());
  const size_t middle = f.FrameBytes() + f.FrameBytes() / 4;
  rig.Feed(stream.data(), middle);
  rig.Pin(0)->PendingInterleave = 1;
  rig.Feed(stream.data() + middle, stream.size() - middle);
  Frames frames = rig.Take(0);
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(Diff(*frames[1], f, 2, 1), 0u);
  EXPECT_EQ(Diff(*frames[2], f, 1, 2), 0u);
  rig.Drain(0);
}

// A block ending with the last line of a field delivers the frame at once;
// with a clock, frames carry its time.
TEST(RouterTest, LastLineAtBlockEndDeliversWithTheClockTime) {
  const VideoFormat f = Format(false, false);
  AssemblerRig rig({.width = kW, .height = kH, .clock = true});
  ASSERT_EQ(rig.Queue(0, 4), STATUS_PENDING);
  const auto stream = emu::VideoSource::Generate(f, f.FrameBytes() * 2);
  rig.Feed(stream.data(), f.FrameBytes());
  EXPECT_EQ(rig.Take(0).size(), 1u);
  host::sched::RunFor(10 * host::sched::kMillisecond);
  rig.Feed(stream.data() + f.FrameBytes(), f.FrameBytes());
  Frames frames = rig.Take(0);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_TRUE(frames[0]->header->OptionsFlags & KSSTREAM_HEADER_OPTIONSF_TIMEVALID);
  EXPECT_GE(frames[0]->header->PresentationTime.Time, 10 * host::sched::kMillisecond);
  rig.Drain(0);
}

}  // namespace
