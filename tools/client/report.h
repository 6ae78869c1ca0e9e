// What the tools print for people: a progress bar on a terminal and the
// summary at the end of a capture.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace ovra {

// A one-line bar redrawn in place on `stream`, drawn only when the stream is
// a terminal (a pipe or a file gets nothing). Redraws at most ten times a
// second of real time; Finish clears the line.
class ProgressBar {
 public:
  ProgressBar(FILE* stream, uint64_t total, std::string unit);
  ~ProgressBar() { Finish(); }
  void Update(uint64_t done);
  void Finish();
  bool active() const { return active_; }

 private:
  void Draw(uint64_t done);
  FILE* stream_;
  uint64_t total_;
  std::string unit_;
  bool active_;
  std::chrono::steady_clock::time_point last_{};
};

struct CaptureSummary {
  std::string camera;  // e.g. "2E4C:0061 alder"
  uint32_t width = 0;
  uint32_t height = 0;
  int64_t interval = 0;  // 100-ns units
  uint64_t framesDelivered = 0;
  uint64_t framesDropped = 0;
  uint64_t discontinuities = 0;
  uint64_t packetsDropped = 0;
  uint64_t syncErrors = 0;
  uint64_t bytesRouted = 0;
  uint64_t stills = 0;
  uint64_t cameraFaults = 0;       // fault knobs of the camera's stream that took effect
  uint64_t cameraPacketsLost = 0;  // video packets the camera's bus side failed or lost
  int64_t virtualTime = 0;  // 100-ns units the capture took on the virtual clock
  double realSeconds = 0;   // wall-clock seconds it took
  std::vector<std::string> files;
};

void PrintSummary(FILE* stream, const CaptureSummary& summary);

}  // namespace ovra
