// ovracap: captures video from an emulated camera through the driver, as a
// capture application does, and writes Y4M or raw UYVY, PNG stills and a
// summary.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <emu/profiles.h>
#include <host/api/host.h>

#include "client/args.h"
#include "client/capture.h"
#include "client/models.h"
#include "client/report.h"
#include "client/writers.h"

namespace {

const char kUsage[] = R"(Usage: ovracap [options]
Captures video from an emulated camera through the driver and writes it to a file.

Camera and format:
  --list                 list the camera models (VID:PID, head, resolutions) and exit
  --camera VID:PID|NAME  the camera model (default: %s, an Alder head)
  --size WxH             frame size, one the model offers (default 640x480)
  --fps RATE             frame rate, e.g. 30 or 29.97 (default: the camera's)
  --interval UNITS       frame interval in 100-ns units, instead of --fps
  --interleave MODE      0 progressive, 1 single field line-doubled, 2 two fields woven
Length:
  --frames N             stop after N frames (default 30)
  --duration TIME        stop after TIME of camera time: 3, 2.5s, 500ms
Output:
  --out FILE             write the frames to FILE as Y4M (planar 4:2:2)
  --raw                  write --out as raw UYVY instead of Y4M
  --png FILE             write the last frame as a PNG
  --buffers N            client buffers kept queued (default 4)
  --alt-setting N        USB alternate setting (bandwidth) to stream with, 0..3 (default 3)
  --realtime             pace the camera to the wall clock
  --speed X              pace it to X times the wall clock (implies --realtime)
  --quiet                no summary
Stills:
  --still-every N        ask for a still every N frames
  --trigger-at FRAME     raise the camera's trigger bit at frame FRAME
  --snapshot-mode 0|1    set the camera's snapshot mode before capturing
  --stills PREFIX        write stills as PREFIX-0001.png, PREFIX-0002.png, ...
Camera faults:
  --drop-packets N       every Nth video packet fails
  --short-packets N      every Nth video packet is short
  --empty-packets N      every Nth video packet is empty
  --fail-requests N      the first N isochronous requests fail
  --stall-at TIME        the video pipe stalls at TIME (the driver flushes it)
  --unplug-at TIME       pull the cable at TIME
  --fault KIND@FRAME[:LINE[:COUNT]]
                         break the byte stream at a frame and active line; KIND is one of
                         %s
  --fifo BYTES           the camera's FIFO size (bytes beyond it are lost)
  --pattern              the camera sends the test pattern instead of colour bars

Examples:
  ovracap --out out/cap.y4m --png out/last.png --duration 3s
  ovracap --camera 2E4C:0015 --size 720x480 --interleave 2 --frames 60 --out ntsc.y4m
  ovracap --frames 10 --raw --out frames.uyvy
  ovracap --frames 300 --drop-packets 1000 --quiet
  ovracap --frames 20 --fault drop@5:100:3 --fault ff@9:20 --png broken.png
  ovracap --frames 90 --still-every 30 --stills out/still
  ovracap --list
)";

int ListModels() {
  printf("%-9s  %-12s  %-8s  %s\n", "VID:PID", "name", "head", "resolutions");
  for (const ovra::ModelInfo& m : ovra::Models()) {
    std::string sizes;
    for (const auto& r : m.resolutions) sizes += (sizes.empty() ? "" : " ") + std::to_string(r.first) + "x" + std::to_string(r.second);
    printf("%-9s  %-12s  %-8s  %s%s\n", ovra::FormatVidPid(m.vidPid).c_str(), ovra::ModelName(m.vidPid).c_str(),
           m.head.c_str(), sizes.c_str(),
           m.Monochrome() ? "  (monochrome)" : "");
  }
  return 0;
}

struct Settings {
  ovra::CaptureOptions capture;
  std::string out;
  bool raw = false;
  std::string png;
  std::string stills;
  bool quiet = false;
  bool list = false;
  bool help = false;
};

Settings Parse(int argc, char** argv) {
  Settings s;
  s.capture.camera = ovra::DefaultCamera();
  bool haveFps = false, haveInterval = false, haveFrames = false, haveDuration = false;
  ovra::ArgReader args(argc, argv);
  while (!args.Done()) {
    const std::string o = args.Next();
    auto flag = [&] { args.NoValue(); };
    if (o == "--help") flag(), s.help = true;
    else if (o == "--list") flag(), s.list = true;
    else if (o == "--camera") s.capture.camera = ovra::ParseCamera(args.Value());
    else if (o == "--size") ovra::ParseSize(args.Value(), &s.capture.width, &s.capture.height);
    else if (o == "--fps") {
      const double fps = ovra::ParseDecimal(args.Value(), "frame rate");
      if (fps < 0.1 || fps > 1000) throw ovra::UsageError("frame rate must be between 0.1 and 1000");
      s.capture.interval = int64_t(1e7 / fps + 0.5);
      haveFps = true;
    } else if (o == "--interval") {
      s.capture.interval = int64_t(ovra::ParseNumber(args.Value(), "interval", 100'000'000));
      if (s.capture.interval < 10'000) throw ovra::UsageError("interval must be at least 10000 (1 ms)");
      haveInterval = true;
    } else if (o == "--interleave") s.capture.interleave = int(ovra::ParseNumber(args.Value(), "interleave mode", 2));
    else if (o == "--frames") {
      s.capture.frames = ovra::ParseNumber(args.Value(), "frame count", 10'000'000);
      if (s.capture.frames == 0) throw ovra::UsageError("frame count must be at least 1");
      haveFrames = true;
    } else if (o == "--duration") {
      s.capture.duration = ovra::ParseDuration(args.Value());
      if (s.capture.duration <= 0) throw ovra::UsageError("duration must be positive");
      haveDuration = true;
    } else if (o == "--out") s.out = args.Value();
    else if (o == "--raw") flag(), s.raw = true;
    else if (o == "--png") s.png = args.Value();
    else if (o == "--stills") s.stills = args.Value();
    else if (o == "--buffers") {
      s.capture.buffers = uint32_t(ovra::ParseNumber(args.Value(), "buffer count", 64));
      if (s.capture.buffers == 0) throw ovra::UsageError("buffer count must be at least 1");
    } else if (o == "--alt-setting") {
      s.capture.altSetting = int(ovra::ParseNumber(args.Value(), "alternate setting", 3));
    } else if (o == "--realtime") {
      flag();
      s.capture.realtime = true;
    } else if (o == "--speed") {
      s.capture.realtime = true;
      s.capture.speed = ovra::ParseDecimal(args.Value(), "speed");
      if (s.capture.speed <= 0) throw ovra::UsageError("speed must be positive");
    } else if (o == "--quiet") flag(), s.quiet = true;
    else if (o == "--still-every") {
      s.capture.stillEvery = ovra::ParseNumber(args.Value(), "still interval", 1'000'000);
      if (s.capture.stillEvery == 0) throw ovra::UsageError("still interval must be at least 1");
    } else if (o == "--trigger-at") s.capture.triggerAt = int64_t(ovra::ParseNumber(args.Value(), "frame", 10'000'000));
    else if (o == "--snapshot-mode") s.capture.snapshotMode = int(ovra::ParseNumber(args.Value(), "snapshot mode", 1));
    else if (o == "--drop-packets") s.capture.faults.dropEvery = ovra::ParseNumber(args.Value(), "packet interval");
    else if (o == "--short-packets") s.capture.faults.shortEvery = ovra::ParseNumber(args.Value(), "packet interval");
    else if (o == "--empty-packets") s.capture.faults.emptyEvery = ovra::ParseNumber(args.Value(), "packet interval");
    else if (o == "--fail-requests") s.capture.faults.failRequests = int(ovra::ParseNumber(args.Value(), "request count", 1'000'000));
    else if (o == "--stall-at") s.capture.faults.stallAt = ovra::ParseDuration(args.Value());
    else if (o == "--unplug-at") s.capture.faults.unplugAt = ovra::ParseDuration(args.Value());
    else if (o == "--fault") s.capture.faults.video.push_back(ovra::ParseVideoFault(args.Value()));
    else if (o == "--fifo") s.capture.faults.fifoBytes = ovra::ParseNumber(args.Value(), "FIFO size", 1u << 30);
    else if (o == "--pattern") flag(), s.capture.pattern = true;
    else throw ovra::UsageError("unknown option " + o + " (see --help)");
  }
  if (haveFps && haveInterval) throw ovra::UsageError("--fps and --interval exclude each other");
  if (haveFrames && haveDuration) throw ovra::UsageError("--frames and --duration exclude each other");
  if (!haveFrames && !haveDuration) s.capture.frames = 30;
  if (s.raw && s.out.empty()) throw ovra::UsageError("--raw needs --out");
  if (s.capture.width % 2 != 0) throw ovra::UsageError("width must be even for UYVY");
  const ovra::ModelInfo* model = ovra::FindModelInfo(s.capture.camera);
  if (model == nullptr && !s.list && !s.help)
    throw ovra::UsageError("no camera model " + ovra::FormatVidPid(s.capture.camera) + " (see --list)");
  if (model != nullptr && !s.list && !s.help) {
    bool offered = false;
    std::string sizes;
    for (const auto& r : model->resolutions) {
      offered |= r.first == s.capture.width && r.second == s.capture.height;
      sizes += (sizes.empty() ? "" : ", ") + std::to_string(r.first) + "x" + std::to_string(r.second);
    }
    if (!offered)
      throw ovra::UsageError(ovra::FormatVidPid(model->vidPid) + " does not offer " + std::to_string(s.capture.width) +
                             "x" + std::to_string(s.capture.height) + " (it offers " + sizes + ")");
  }
  return s;
}

std::string StillPath(const std::string& prefix, uint64_t n) {
  char number[32];
  snprintf(number, sizeof number, "-%04llu.png", (unsigned long long)n);
  return prefix + number;
}

}  // namespace

int main(int argc, char** argv) {
  Settings s;
  try {
    s = Parse(argc, argv);
  } catch (const ovra::UsageError& e) {
    fprintf(stderr, "ovracap: %s\n", e.what());
    return 2;
  }
  if (s.help) {
    printf(kUsage, ovra::FormatVidPid(ovra::DefaultCamera()).c_str(), ovra::VideoFaultKinds());
    return 0;
  }
  if (s.list) return ListModels();

  // Every output is opened before the capture starts.
  std::string error;
  ovra::Y4mWriter y4m;
  ovra::OutputFile raw;
  ovra::PngWriter png;
  const auto fail = [&](const std::string& message) {
    fprintf(stderr, "ovracap: %s\n", message.c_str());
    return 1;
  };
  if (!s.out.empty()) {
    if (!(s.raw ? raw.Open(s.out, &error) : y4m.Open(s.out, &error))) return fail(error);
  }
  if (!s.png.empty() && !png.Open(s.png, &error)) return fail(error);
  if (!s.stills.empty()) {
    ovra::OutputFile probe;
    const std::string first = StillPath(s.stills, 1);
    if (!probe.Open(first, &error)) return fail(error);
    probe.Close(&error);
    remove(first.c_str());
  }

  host::Reset();
  ovra::CaptureSummary summary;
  std::vector<uint8_t> last;
  uint32_t lastWidth = 0, lastHeight = 0;
  uint64_t stills = 0;
  bool writeFailed = false;
  const uint64_t total = s.capture.frames > 0 ? s.capture.frames : uint64_t(s.capture.duration / 10'000);
  ovra::ProgressBar bar(stderr, total, s.capture.frames > 0 ? "frames" : "ms");

  const auto sink = [&](const ovra::Frame& f) {
    if (f.pinId == 1) {
      ++stills;
      if (!s.stills.empty()) {
        const std::string path = StillPath(s.stills, stills);
        if (!ovra::WritePng(path, f.data, f.width, f.height, &error)) return writeFailed = true, false;
        summary.files.push_back(path);
      }
      return true;
    }
    if (!s.out.empty()) {
      const bool ok = s.raw ? raw.Write(f.data, f.size) || (error = "writing " + s.out + " failed", false)
                            : y4m.WriteUyvy(f.data, f.width, f.height, f.interval, &error);
      if (!ok) return writeFailed = true, false;
    }
    if (!s.png.empty()) {
      last.assign(f.data, f.data + f.size);
      lastWidth = f.width;
      lastHeight = f.height;
    }
    return true;
  };
  const auto progress = [&](uint64_t frames, int64_t virtualTime) {
    bar.Update(s.capture.frames > 0 ? frames : uint64_t(virtualTime / 10'000));
  };

  const bool captured = ovra::RunCapture(s.capture, sink, progress, &summary, &error);
  bar.Finish();
  int status = captured && !writeFailed ? 0 : 1;
  if (status != 0) fprintf(stderr, "ovracap: %s\n", error.c_str());

  const bool anything = summary.framesDelivered > 0 || summary.stills > 0;
  if (!s.out.empty()) {
    if (!(s.raw ? raw.Close(&error) : y4m.Close(&error))) status = fail(error);
    else if (anything) summary.files.insert(summary.files.begin(), s.out);
    if (!anything) remove(s.out.c_str());
  }
  if (!s.png.empty()) {
    if (last.empty()) {
      if (status == 0) status = fail("no frame for " + s.png);
      remove(s.png.c_str());
    } else if (!png.WriteUyvy(last.data(), lastWidth, lastHeight, &error)) {
      status = fail(error);
    } else {
      summary.files.push_back(s.png);
    }
  }
  if (!s.quiet && (anything || summary.virtualTime > 0)) ovra::PrintSummary(stdout, summary);
  // The camera is gone by now: every pool block must be back.
  const std::string leaks = host::pool::LeakReport();
  if (!leaks.empty()) status = fail("pool blocks left behind after the camera was removed:\n" + leaks);
  return status;
}
