// A capture session for the end-to-end suites: an emulated camera with the
// bandwidth for video, a capture pin at one size, a master clock and the
// client's reads, with checks of delivered frames against the generator.
#pragma once

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include <gtest/gtest.h>
#include <host/api/host.h>
#include <host/api/ks.h>

#include "stream/camera_bench.h"

namespace ovratest {

using host::ks::Buffer;
using host::ks::Handle;

inline constexpr int64_t kMs = host::sched::kMillisecond;

class Session {
 public:
  Session(uint32_t vidPid, LONG width, LONG height)
      : bench(ProfileOf(vidPid), [](CameraBench& b) { b.SetDeviceValue("AltSetting", 3); }) {
    EXPECT_EQ(bench.openStatus, STATUS_SUCCESS);
    const std::vector<Bytes> ranges = bench.Ranges(kCapturePinId);
    for (size_t i = 0; i < ranges.size(); i++) {
      const KS_BITMAPINFOHEADER& bmi = RangeOf(ranges[i]).VideoInfoHeader.bmiHeader;
      if (bmi.biWidth != width || bmi.biHeight != height) continue;
      EXPECT_EQ(bench.CreatePin(kCapturePinId, i, &pin, &format), STATUS_SUCCESS);
      break;
    }
    EXPECT_NE(pin, nullptr) << width << " x " << height;
    const KS_VIDEOINFOHEADER& info = FormatOf(format).VideoInfoHeader;
    video = emu::FormatFor(bench.profile, ULONG(info.bmiHeader.biWidth), ULONG(abs(info.bmiHeader.biHeight)),
                           info.AvgTimePerFrame);
    bench.video->SetFormat(video);
    clock = host::ks::CreateClock();
    EXPECT_EQ(host::ks::SetMasterClock(pin, clock), STATUS_SUCCESS);
    stream = std::make_unique<host::ks::Stream>(pin, info.bmiHeader.biSizeImage, true);
    mode = bench.Device()->Interleave;
  }
  ~Session() {
    if (pin != nullptr) host::ks::SetState(pin, KSSTATE_STOP);
    stream->Take();
    host::ks::Close(clock);
  }

  // Reads are taken once the pin has left stop.
  NTSTATUS Run(size_t reads = 3) {
    NTSTATUS status = host::ks::SetState(pin, KSSTATE_PAUSE);
    if (NT_SUCCESS(status)) status = stream->Queue(reads);
    return NT_SUCCESS(status) ? host::ks::SetState(pin, KSSTATE_RUN) : status;
  }

  // Runs until `count` frames came back (requeueing each), or `timeout`.
  std::vector<std::unique_ptr<Buffer>> Frames(size_t count, int64_t timeout = 3 * host::sched::kSecond) {
    std::vector<std::unique_ptr<Buffer>> frames;
    host::sched::RunUntil(
        [&] {
          for (auto& b : stream->Take()) {
            frames.push_back(std::move(b));
            if (frames.size() < count) stream->Queue(1);
          }
          return frames.size() >= count;
        },
        timeout);
    return frames;
  }

  // Checks frames against the generator: consecutive generator frames,
  // picture numbers and times counting up, the discontinuity flag only where
  // expected.
  void Check(const std::vector<std::unique_ptr<Buffer>>& frames, bool discontinuousFirst = false) {
    ASSERT_FALSE(frames.empty());
    uint32_t previous = 0;
    for (size_t i = 0; i < frames.size(); i++) {
      SCOPED_TRACE(i);
      Buffer& b = *frames[i];
      ASSERT_EQ(b.status, STATUS_SUCCESS);
      const ULONG flags = b.header->OptionsFlags;
      EXPECT_EQ(flags & (KSSTREAM_HEADER_OPTIONSF_TIMEVALID | KSSTREAM_HEADER_OPTIONSF_DURATIONVALID),
                ULONG(KSSTREAM_HEADER_OPTIONSF_TIMEVALID | KSSTREAM_HEADER_OPTIONSF_DURATIONVALID));
      EXPECT_EQ((flags & KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY) != 0, discontinuousFirst && i == 0);
      const uint32_t generator = ExactFrame(b);
      if (i > 0) {
        EXPECT_EQ(generator, (previous + 1) % 255);
        EXPECT_EQ(FrameInfoOf(b)->PictureNumber, FrameInfoOf(*frames[i - 1])->PictureNumber + 1);
        EXPECT_GT(b.header->PresentationTime.Time, frames[i - 1]->header->PresentationTime.Time);
      }
      previous = generator;
    }
  }

  // The generator frame (modulo 255) a delivered frame came from, checked
  // byte for byte against that frame.
  uint32_t ExactFrame(Buffer& b) {
    const uint32_t generator = emu::FrameOf(video, mode, b.Data());
    const Bytes expected = emu::ExpectedFrame(video, mode, generator);
    EXPECT_EQ(b.header->DataUsed, expected.size());
    EXPECT_EQ(memcmp(b.Data(), expected.data(), std::min<size_t>(expected.size(), b.Extent())), 0)
        << "generator frame " << generator;
    return generator;
  }

  static KS_FRAME_INFO* FrameInfoOf(const Buffer& b) { return const_cast<Buffer&>(b).FrameInfo(); }

  CameraBench bench;
  Handle pin = nullptr;
  Handle clock = nullptr;
  Bytes format;
  emu::VideoFormat video;
  std::unique_ptr<host::ks::Stream> stream;
  uint32_t mode = 0;
};


}  // namespace ovratest
