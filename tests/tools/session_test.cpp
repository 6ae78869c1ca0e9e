// The tools' sessions end to end, through the client library as ovracap and
// ovractl use it: frames byte for byte against the camera's test pattern,
// numbered and timed; the camera misbehaving; the control tool's sequence of
// actions as a person types it.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include <emu/profiles.h>
#include <emu/video.h>

#include "client/args.h"
#include "client/capture.h"

namespace {

struct Captured {
  uint32_t pin;
  std::vector<uint8_t> data;
  int64_t pictureNumber;
  int64_t time;
  uint32_t flags;
};

bool Capture(const ovra::CaptureOptions& options, std::vector<Captured>* frames, ovra::CaptureSummary* summary,
             std::string* error) {
  const auto sink = [&](const ovra::Frame& f) {
    frames->push_back({f.pinId, std::vector<uint8_t>(f.data, f.data + f.size), f.pictureNumber, f.presentationTime,
                       f.optionsFlags});
    return true;
  };
  return ovra::RunCapture(options, sink, [](uint64_t, int64_t) {}, summary, error);
}

// Every head kind the tools offer by default and two sizes: the frames are the
// generator's frames, consecutive, numbered up and timed by the clock.
TEST(Capture, FramesAreTheCamerasFramesInOrder) {
  const struct {
    uint32_t camera;
    uint32_t width, height;
    uint32_t mode;  // the interleave mode the device starts with
  } cases[] = {
      {0x2E4C0060, 640, 480, 0},  // Alder: luminance only, progressive
      {0x2E4C0060, 320, 240, 0},
      {0x2E4C0101, 640, 480, 0},  // OV7740: UYVY, progressive
      {0x2E4C0015, 720, 480, 2},  // Larch: interlaced, two fields woven
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(ovra::FormatVidPid(c.camera) + " " + std::to_string(c.width) + "x" + std::to_string(c.height));
    ovra::CaptureOptions options;
    options.camera = c.camera;
    options.width = c.width;
    options.height = c.height;
    options.frames = 4;
    options.pattern = true;
    std::vector<Captured> frames;
    ovra::CaptureSummary summary;
    std::string error;
    ASSERT_TRUE(Capture(options, &frames, &summary, &error)) << error;
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(summary.framesDelivered, 4u);
    EXPECT_EQ(summary.syncErrors, 0u);
    EXPECT_GT(summary.bytesRouted, 4ull * c.width * c.height);

    const emu::Profile* profile = emu::FindProfile(uint16_t(c.camera >> 16), uint16_t(c.camera));
    const emu::VideoFormat format = emu::FormatFor(*profile, c.width, c.height, summary.interval);
    uint32_t previous = 0;
    for (size_t i = 0; i < frames.size(); ++i) {
      const uint32_t generated = emu::FrameOf(format, c.mode, frames[i].data.data());
      EXPECT_EQ(frames[i].data, emu::ExpectedFrame(format, c.mode, generated)) << "frame " << i;
      if (i > 0) {
        EXPECT_EQ(generated, (previous + 1) % 255) << "frame " << i;
        EXPECT_EQ(frames[i].pictureNumber, frames[i - 1].pictureNumber + 1);
        EXPECT_NEAR(double(frames[i].time - frames[i - 1].time), double(summary.interval), summary.interval / 10.0);
      }
      previous = generated;
    }
  }
}

// Stills by method, by the camera's trigger bit and in snapshot mode arrive on
// the still pin: each is a whole camera frame, and that frame is missing from
// the capture pin, whose frames go on after it.
TEST(Capture, StillsAreFramesTakenFromTheStream) {
  const struct {
    const char* name;
    uint32_t camera;
    uint64_t stillEvery;
    int64_t triggerAt;
    int snapshotMode;
    uint64_t stills;  // at least
  } cases[] = {
      {"method every 5 frames", 0x2E4C0101, 5, -1, -1, 2},
      {"trigger bit at frame 5", 0x2E4C0060, 0, 5, -1, 1},
      {"snapshot mode", 0x2E4C0060, 0, -1, 1, 10},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ovra::CaptureOptions options;
    options.camera = c.camera;
    options.frames = 14;
    options.stillEvery = c.stillEvery;
    options.triggerAt = c.triggerAt;
    options.snapshotMode = c.snapshotMode;
    options.pattern = true;
    std::vector<Captured> frames;
    ovra::CaptureSummary summary;
    std::string error;
    ASSERT_TRUE(Capture(options, &frames, &summary, &error)) << error;
    EXPECT_GE(summary.stills, c.stills);
    const emu::Profile* profile = emu::FindProfile(uint16_t(c.camera >> 16), uint16_t(c.camera));
    const emu::VideoFormat format = emu::FormatFor(*profile, 640, 480, summary.interval);
    std::vector<uint32_t> capture, stills;
    for (const Captured& f : frames) {
      const uint32_t generated = emu::FrameOf(format, 0, f.data.data());
      EXPECT_EQ(f.data, emu::ExpectedFrame(format, 0, generated)) << "pin " << f.pin;
      (f.pin == 0 ? capture : stills).push_back(generated);
    }
    EXPECT_EQ(stills.size(), summary.stills);
    for (uint32_t still : stills)
      EXPECT_EQ(std::count(capture.begin(), capture.end(), still), 0) << "frame " << still << " went to both pins";
    if (c.snapshotMode < 0) {
      for (uint32_t still : stills)
        EXPECT_EQ(std::count(capture.begin(), capture.end(), (still + 1) % 255), 1) << "the stream goes on after a still";
    }
  }
}

// The camera's knobs take effect and the stream goes on through them; a
// pulled cable ends the capture with an error, and nothing stays behind.
TEST(Capture, CameraFaultsTakeEffectAndAPulledCableEndsTheCapture) {
  ovra::CaptureOptions options;
  options.camera = 0x2E4C0101;
  options.frames = 10;
  options.faults.video.push_back(ovra::ParseVideoFault("drop@5:100:3"));
  options.faults.dropEvery = 1000;  // a lost packet about every fifth frame
  std::vector<Captured> frames;
  ovra::CaptureSummary summary;
  std::string error;
  ASSERT_TRUE(Capture(options, &frames, &summary, &error)) << error;
  EXPECT_EQ(frames.size(), 10u);
  EXPECT_EQ(summary.cameraFaults, 1u);
  EXPECT_GT(summary.cameraPacketsLost, 0u);
  EXPECT_GT(summary.discontinuities, 0u);  // frames the losses cut into are not passed off as clean

  ovra::CaptureOptions unplug;
  unplug.camera = 0x2E4C0101;
  unplug.frames = 100;
  unplug.faults.unplugAt = 200 * host::sched::kMillisecond;
  frames.clear();
  EXPECT_FALSE(Capture(unplug, &frames, &summary, &error));
  EXPECT_NE(error.find("unplugged"), std::string::npos) << error;
  EXPECT_LT(frames.size(), 100u);
}

std::string RunCtl(const std::string& arguments, int* exit) {
  const std::string command = std::string(OVRACTL_PATH) + " " + arguments + " 2>&1";
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  std::array<char, 4096> chunk;
  for (size_t n; (n = fread(chunk.data(), 1, chunk.size(), pipe)) > 0;) out.append(chunk.data(), n);
  const int status = pclose(pipe);
  *exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return out;
}

std::string Temp(const char* name) { return testing::TempDir() + "ovra_" + std::to_string(getpid()) + "_" + name; }

std::string ReadAll(const std::string& path) {
  std::string bytes;
  if (FILE* f = fopen(path.c_str(), "rb")) {
    std::array<char, 65536> chunk;
    for (size_t n; (n = fread(chunk.data(), 1, chunk.size(), f)) > 0;) bytes.append(chunk.data(), n);
    fclose(f);
  }
  return bytes;
}

// ovracap as the demo runs it: a Y4M of whole frames and a PNG.
TEST(CaptureTool, WritesY4mAndPng) {
  const std::string y4m = Temp("cap.y4m"), png = Temp("cap.png");
  const std::string command = std::string(OVRACAP_PATH) + " --frames 3 --out " + y4m + " --png " + png + " --quiet";
  ASSERT_EQ(system(command.c_str()), 0);
  const std::string video = ReadAll(y4m);
  const std::string header = "YUV4MPEG2 W640 H480 F30:1 Ip A1:1 C422\n";
  ASSERT_EQ(video.substr(0, header.size()), header);
  EXPECT_EQ(video.size(), header.size() + 3 * (6 + 640 * 480 * 2));
  EXPECT_EQ(video.compare(header.size() + 2 * (6 + 640 * 480 * 2), 6, "FRAME\n"), 0);
  EXPECT_EQ(ReadAll(png).substr(1, 3), "PNG");
  remove(y4m.c_str());
  remove(png.c_str());
}

TEST(Control, ActionsRunInOrderOnOneCamera) {
  const std::string still = Temp("still.png");
  const std::string eepromIn = Temp("eeprom_in.bin"), eepromOut = Temp("eeprom_out.bin"), hex = Temp("fw.hex");
  std::string bytes;
  for (int i = 0; i < 100; ++i) bytes += char(i * 7 + 3);
  if (FILE* f = fopen(eepromIn.c_str(), "wb")) fwrite(bytes.data(), 1, bytes.size(), f), fclose(f);
  if (FILE* f = fopen(hex.c_str(), "w")) {
    // 130 bytes in records of 16, the last of 2.
    for (int offset = 0; offset < 130; offset += 16) {
      const int n = std::min(16, 130 - offset);
      unsigned sum = n + (offset >> 8) + (offset & 0xFF);
      fprintf(f, ":%02X%04X00", n, offset);
      for (int i = 0; i < n; ++i) fprintf(f, "%02X", (offset + i) & 0xFF), sum += (offset + i) & 0xFF;
      fprintf(f, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
    }
    fprintf(f, ":00000001FF\n");
    fclose(f);
  }
  const struct {
    std::string arguments;
    int exit;
    std::vector<std::string> lines;  // in this order in the output
  } cases[] = {
      {"--camera 2E4C:0061 --set exposure=800000 --get exposure --still " + still,
       0,
       {"exposure = 800000 (0xC3500)", "still: 1280x1024 to " + still}},
      {"--camera 2E4C:0061 --list", 0, {"2E4C:0061 alder", "camera", "41 r   product-id", "alder", "20 rw  exposure"}},
      {"--camera 2E4C:0014 --set interleave=1 --get interleave", 0, {"interleave = 1"}},
      {"--camera 2E4C:0061 --i2c-write 0:0x20=0x4000 --i2c-read 0:0x20 --eeprom-write 0x100=" + eepromIn +
           " --eeprom-dump 0x100:100=" + eepromOut + " --firmware " + hex + " --power on",
       0,
       {"i2c 00:0020 = 0x4000", "eeprom 0x100:100: 100 bytes", "firmware: 130 bytes loaded"}},
      {"--camera 2E4C:0014 --get exposure", 1, {"ovractl: --get: exposure is not a property of this camera model"}},
      {"--camera 2E4C:0052 --get interleave", 1, {"interleave is not a property of this camera model"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments);
    int exit = -1;
    const std::string out = RunCtl(c.arguments, &exit);
    EXPECT_EQ(exit, c.exit) << out;
    size_t at = 0;
    for (const std::string& line : c.lines) {
      const size_t found = out.find(line, at);
      EXPECT_NE(found, std::string::npos) << "missing '" << line << "' in:\n" << out;
      if (found != std::string::npos) at = found;
    }
  }
  EXPECT_EQ(ReadAll(eepromOut), bytes) << "the EEPROM gives back what was written";
  for (const std::string& f : {still, eepromIn, eepromOut, hex}) remove(f.c_str());
}

}  // namespace
