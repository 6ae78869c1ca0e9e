#include "capture.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include <emu/profiles.h>

#include "args.h"
#include "props.h"
#include "status.h"

namespace ovra {
namespace {

// The pin's statistics as the driver traces them when the pin stops:
// "<Name> pin statistics:" and four counter lines after it.
struct PinStatistics {
  uint64_t processed = 0, dropped = 0, packetsDropped = 0, syncErrors = 0;
  bool found = false;
};

PinStatistics LastStatistics(const char* name) {
  PinStatistics s;
  const std::vector<std::string> lines = host::ks::LogLines(2);
  const std::string title = std::string(name) + " pin statistics:";
  for (size_t i = lines.size(); i-- > 0;) {
    if (lines[i].find(title) == std::string::npos || i + 4 >= lines.size()) continue;
    uint64_t* fields[] = {&s.processed, &s.dropped, &s.packetsDropped, &s.syncErrors};
    for (int k = 0; k < 4; ++k) *fields[k] = strtoull(lines[i + 1 + k].c_str(), nullptr, 10);
    s.found = true;
    break;
  }
  return s;
}

constexpr int64_t kNoFrameTimeout = 3 * host::sched::kSecond;

}  // namespace

bool RunCapture(const CaptureOptions& o, const FrameSink& sink, const ProgressSink& progress,
                CaptureSummary* summary, std::string* error) {
  RigOptions rigOptions;
  rigOptions.altSetting = o.altSetting;
  std::unique_ptr<Rig> rig = Rig::Start(o.camera, error, rigOptions);
  if (rig == nullptr) return false;
  summary->camera = FormatVidPid(o.camera) + " " + emu::HeadName(rig->profile().modelType);

  PinFormat format;
  if (!IntersectFormat(rig->filter(), 0, o.width, o.height, o.interval, &format, error)) return false;
  summary->width = format.width;
  summary->height = format.height;
  summary->interval = format.interval;
  rig->SetVideo(format.width, format.height, format.interval, !o.pattern);
  if (o.triggerAt >= 0) rig->TriggerAt(uint64_t(o.triggerAt));
  if (o.interleave >= 0 && !SetNamed(rig->filter(), "interleave", uint32_t(o.interleave), error)) return false;

  std::unique_ptr<PinStream> capture = PinStream::Open(rig->ks(), rig->filter(), 0, format, o.buffers, error);
  if (capture == nullptr) return false;
  std::unique_ptr<PinStream> still;
  if (o.stillEvery > 0 || o.triggerAt >= 0 || o.snapshotMode > 0) {
    PinFormat stillFormat;
    if (!IntersectFormat(rig->filter(), 1, format.width, format.height, 0, &stillFormat, error)) return false;
    still = PinStream::Open(rig->ks(), rig->filter(), 1, stillFormat, 2, error);
    if (still == nullptr) return false;
  }

  NTSTATUS status = capture->SetState(KSSTATE_RUN);
  if (!NT_SUCCESS(status)) return *error = "starting the capture pin failed: " + StatusText(status), false;
  if (still != nullptr && !NT_SUCCESS(status = still->SetState(KSSTATE_RUN)))
    return *error = "starting the still pin failed: " + StatusText(status), false;
  // Acquiring the camera clears its snapshot mode: it is set once the pins run.
  if (o.snapshotMode >= 0 && !SetNamed(rig->filter(), "snapshot-mode", uint32_t(o.snapshotMode), error)) return false;

  rig->Apply(o.faults);  // times in it count from here
  if (o.realtime) host::sched::SetRealTime(true, o.speed);
  const auto realStart = std::chrono::steady_clock::now();
  const int64_t start = host::sched::Now();
  bool stop = false, ok = true;
  uint64_t sinceStill = 0;
  int64_t lastFrameAt = start;
  // In snapshot mode every frame goes to the still pin: stills count as frames.
  const auto delivered = [&] { return summary->framesDelivered + (o.snapshotMode > 0 ? summary->stills : 0); };
  const auto deliver = [&](const Frame& f) {
    if (stop) return;
    if (!NT_SUCCESS(f.status)) {
      if (f.status != STATUS_CANCELLED) {
        *error = rig->Unplugged() ? "the camera was unplugged" : "a read completed with " + StatusText(f.status);
        ok = false;
      }
      stop = true;
      return;
    }
    if (f.pinId == 0 && o.frames > 0 && delivered() >= o.frames) return;  // already enough
    if (f.pinId == 1) {
      ++summary->stills;
    } else {
      ++summary->framesDelivered;
      if (f.optionsFlags & KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY) ++summary->discontinuities;
      summary->framesDropped = std::max<uint64_t>(summary->framesDropped, uint64_t(f.dropCount));
      ++sinceStill;
    }
    lastFrameAt = host::sched::Now();
    if (!sink(f)) stop = true;
  };
  const auto finished = [&] {
    if (o.frames > 0) return delivered() >= o.frames;
    return host::sched::Now() - start >= o.duration;
  };

  while (!stop && ok && !finished()) {
    // Wait for a read to complete (the queues are full again after Collect).
    const size_t capturePending = capture->Pending();
    const size_t stillPending = still != nullptr ? still->Pending() : 0;
    int64_t wait = kNoFrameTimeout;
    if (o.frames == 0) wait = std::min(wait, start + o.duration - host::sched::Now());
    host::sched::RunUntil(
        [&] {
          return capture->Pending() < capturePending || (still != nullptr && still->Pending() < stillPending) ||
                 rig->Unplugged();
        },
        wait);
    rig->HandleUnplug();
    capture->Collect(deliver);
    if (still != nullptr) still->Collect(deliver);
    progress(delivered(), host::sched::Now() - start);
    if (o.stillEvery > 0 && sinceStill >= o.stillEvery) {
      sinceStill = 0;
      status = TakeSnapshot(rig->filter());
      if (!NT_SUCCESS(status)) return *error = "asking for a still failed: " + StatusText(status), false;
    }
    if (!stop && host::sched::Now() - lastFrameAt >= kNoFrameTimeout) {
      *error = rig->Unplugged() ? "the camera was unplugged" : "no frame for 3 s of camera time";
      ok = false;
    }
  }
  if (stop && ok && rig->Unplugged()) {
    *error = "the camera was unplugged";
    ok = false;
  }
  summary->virtualTime = host::sched::Now() - start;
  summary->realSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - realStart).count();
  if (o.realtime) host::sched::SetRealTime(false);

  summary->bytesRouted = rig->BytesRouted();
  if (rig->video() != nullptr) {
    summary->cameraFaults = rig->video()->Counters().faults;
    summary->cameraPacketsLost = rig->video()->Counters().droppedPackets + rig->PacketsFailed();
  }
  if (still != nullptr) still->SetState(KSSTATE_STOP);
  capture->SetState(KSSTATE_STOP);
  still.reset();
  capture.reset();
  const PinStatistics stats = LastStatistics("Capture");
  if (stats.found) {
    summary->packetsDropped = stats.packetsDropped;
    summary->syncErrors = stats.syncErrors;
    summary->framesDropped = std::max(summary->framesDropped, stats.dropped);
  }
  return ok;
}

}  // namespace ovra
