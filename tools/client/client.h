// The pin side of the KS client: the video ranges a pin offers, a format
// intersected for one of them, and a pin created from it that runs with a
// master clock and client buffers kept queued (IOCTL_KS_READ_STREAM).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <host/api/ks.h>

namespace ovra {

// One data range of a pin (a KS_DATARANGE_VIDEO).
struct VideoRange {
  uint32_t width = 0;
  uint32_t height = 0;
  int64_t minInterval = 0;
  int64_t maxInterval = 0;
  int64_t interval = 0;  // AvgTimePerFrame
  std::vector<uint8_t> bytes;
};

std::vector<VideoRange> VideoRanges(host::ks::Handle filter, ULONG pinId);

// A connection format for a pin (KSDATAFORMAT + KS_VIDEOINFOHEADER).
struct PinFormat {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t imageSize = 0;
  int64_t interval = 0;
  std::vector<uint8_t> bytes;
};

// Intersects the pin's range of `width` x `height` (its frame interval set to
// `interval` when not 0) and returns the format the driver chose.
bool IntersectFormat(host::ks::Handle filter, ULONG pinId, uint32_t width, uint32_t height, int64_t interval,
                     PinFormat* format, std::string* error);

// A completed frame.
struct Frame {
  const uint8_t* data = nullptr;
  uint32_t size = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  int64_t interval = 0;  // the pin's frame interval, 100-ns units
  uint32_t pinId = 0;    // 0 capture, 1 still
  NTSTATUS status = STATUS_SUCCESS;
  int64_t presentationTime = 0;
  int64_t pictureNumber = 0;
  int64_t dropCount = 0;
  uint32_t optionsFlags = 0;  // KSSTREAM_HEADER_OPTIONSF_*
};

// A pin of an open filter with its clock and its queued client buffers. The
// destructor closes the pin (the framework steps it down to stop) and the clock.
class PinStream {
 public:
  static std::unique_ptr<PinStream> Open(host::ks::Camera& camera, host::ks::Handle filter, ULONG pinId,
                                         const PinFormat& format, uint32_t buffers, std::string* error);
  ~PinStream();
  PinStream(const PinStream&) = delete;
  PinStream& operator=(const PinStream&) = delete;

  ULONG id() const { return id_; }
  const PinFormat& format() const { return format_; }
  host::ks::Handle handle() const { return pin_; }
  // KSPROPERTY_CONNECTION_STATE (the framework walks the steps between).
  NTSTATUS SetState(KSSTATE state);
  // Buffers queued and not completed.
  size_t Pending() const { return host::ks::QueuedReads(pin_); }
  // Hands every completed buffer to `sink` (oldest first) and queues a new
  // one for each while the pin runs or pauses. Returns the frames handed on.
  template <class Sink>
  size_t Collect(Sink&& sink);

 private:
  PinStream() = default;
  bool Complete(const host::ks::Buffer& buffer, Frame* frame) const;
  host::ks::Camera* camera_ = nullptr;
  ULONG id_ = 0;
  PinFormat format_;
  uint32_t buffers_ = 0;
  host::ks::Handle pin_ = nullptr;
  host::ks::Handle clock_ = nullptr;
  std::unique_ptr<host::ks::Stream> stream_;
  KSSTATE state_ = KSSTATE_STOP;
};

template <class Sink>
size_t PinStream::Collect(Sink&& sink) {
  size_t frames = 0;
  for (const auto& buffer : stream_->Take()) {
    Frame frame;
    Complete(*buffer, &frame);
    ++frames;
    sink(frame);
  }
  if (state_ >= KSSTATE_PAUSE) {
    while (Pending() < buffers_ && stream_->Queue(1) == STATUS_PENDING) {
    }
  }
  return frames;
}

}  // namespace ovra
