// A capture as an application runs it: open the camera's filter, pick the
// range of the wanted size, intersect a format, create the capture pin, set
// the master clock, run it with client buffers kept queued, and hand every
// completed frame to the caller.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "client.h"
#include "report.h"
#include "rig.h"

namespace ovra {

struct CaptureOptions {
  uint32_t camera = 0;  // VID << 16 | PID
  uint32_t width = 640;
  uint32_t height = 480;
  int64_t interval = 0;      // frame interval in 100-ns units; 0: the range's default
  int interleave = -1;       // 0..2, or -1 to leave the camera's setting
  uint64_t frames = 0;       // stop after this many frames (0: use duration)
  int64_t duration = 0;      // or after this much virtual time
  uint32_t buffers = 4;      // client buffers kept queued
  int altSetting = 3;        // USB alternate setting (bandwidth) the driver streams with
  bool realtime = false;     // pace virtual time to the wall clock
  double speed = 1.0;
  uint64_t stillEvery = 0;   // ask for a still every N frames (method 60)
  int64_t triggerAt = -1;    // raise the camera's trigger bit at this frame
  int snapshotMode = -1;     // 0/1, or -1 to leave it
  bool pattern = false;      // the camera sends the test pattern instead of the picture for people
  Faults faults;
};

// Called for each frame in order (capture and still pin); returning false
// ends the capture early.
using FrameSink = std::function<bool(const Frame&)>;
// Called with the frames delivered so far, about ten times a second.
using ProgressSink = std::function<void(uint64_t frames, int64_t virtualTime)>;

// Runs the whole capture; false with a one-line reason in `error`. The
// summary is filled as far as the capture got.
bool RunCapture(const CaptureOptions& options, const FrameSink& sink, const ProgressSink& progress,
                CaptureSummary* summary, std::string* error);

}  // namespace ovra
