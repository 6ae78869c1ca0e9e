#include "capture.h"

namespace ovra {

bool RunCapture(const CaptureOptions& options, const FrameSink& sink, const ProgressSink& progress,
                CaptureSummary* summary, std::string* error) {
  std::unique_ptr<Rig> rig = Rig::Start(options.camera, error);
  if (rig == nullptr) return false;
  *error = "streaming through the KS client is not available in this build yet";
  return false;
}

}  // namespace ovra
