#include "report.h"

#include <unistd.h>

#include <algorithm>

namespace ovra {

ProgressBar::ProgressBar(FILE* stream, uint64_t total, std::string unit)
    : stream_(stream), total_(total), unit_(std::move(unit)), active_(total > 0 && isatty(fileno(stream))) {}

void ProgressBar::Update(uint64_t done) {
  if (!active_) return;
  const auto now = std::chrono::steady_clock::now();
  if (done < total_ && now - last_ < std::chrono::milliseconds(100)) return;
  last_ = now;
  Draw(done);
}

void ProgressBar::Draw(uint64_t done) {
  constexpr int kWidth = 30;
  done = std::min(done, total_);
  const int filled = int(done * kWidth / total_);
  fprintf(stream_, "\r[%.*s%*s] %3d%% %llu/%llu %s", filled, "##############################", kWidth - filled, "",
          int(done * 100 / total_), (unsigned long long)done, (unsigned long long)total_, unit_.c_str());
  fflush(stream_);
}

void ProgressBar::Finish() {
  if (!active_) return;
  fprintf(stream_, "\r\033[K");
  fflush(stream_);
  active_ = false;
}

void PrintSummary(FILE* out, const CaptureSummary& s) {
  const double virtualSeconds = double(s.virtualTime) / 1e7;
  fprintf(out, "camera            %s, %ux%u UYVY", s.camera.c_str(), s.width, s.height);
  if (s.interval > 0) fprintf(out, " at %.3f fps", 1e7 / double(s.interval));
  fprintf(out, "\n");
  fprintf(out, "frames delivered  %llu\n", (unsigned long long)s.framesDelivered);
  fprintf(out, "frames dropped    %llu\n", (unsigned long long)s.framesDropped);
  fprintf(out, "discontinuities   %llu\n", (unsigned long long)s.discontinuities);
  fprintf(out, "packets dropped   %llu\n", (unsigned long long)s.packetsDropped);
  fprintf(out, "EAV sync errors   %llu\n", (unsigned long long)s.syncErrors);
  if (s.stills > 0) fprintf(out, "stills            %llu\n", (unsigned long long)s.stills);
  if (s.cameraFaults > 0 || s.cameraPacketsLost > 0)
    fprintf(out, "camera faults     %llu in the stream, %llu packets lost\n", (unsigned long long)s.cameraFaults,
            (unsigned long long)s.cameraPacketsLost);
  fprintf(out, "bytes routed      %llu\n", (unsigned long long)s.bytesRouted);
  fprintf(out, "virtual time      %.3f s", virtualSeconds);
  if (virtualSeconds > 0) fprintf(out, " (%.2f fps)", double(s.framesDelivered) / virtualSeconds);
  fprintf(out, "\n");
  fprintf(out, "real time         %.3f s", s.realSeconds);
  if (s.realSeconds > 0 && virtualSeconds > 0) fprintf(out, " (%.1fx real time)", virtualSeconds / s.realSeconds);
  fprintf(out, "\n");
  for (const std::string& file : s.files) fprintf(out, "wrote             %s\n", file.c_str());
}

}  // namespace ovra
