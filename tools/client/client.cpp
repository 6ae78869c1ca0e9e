#include "client.h"

#include <cstring>

#include "status.h"

namespace ovra {

std::vector<VideoRange> VideoRanges(host::ks::Handle filter, ULONG pinId) {
  std::vector<VideoRange> ranges;
  for (std::vector<uint8_t>& bytes : host::ks::DataRanges(filter, pinId)) {
    if (bytes.size() < sizeof(KS_DATARANGE_VIDEO)) continue;
    KS_DATARANGE_VIDEO range;
    memcpy(&range, bytes.data(), sizeof range);
    VideoRange r;
    r.width = uint32_t(range.VideoInfoHeader.bmiHeader.biWidth);
    const LONG height = range.VideoInfoHeader.bmiHeader.biHeight;
    r.height = uint32_t(height < 0 ? -height : height);
    r.minInterval = range.ConfigCaps.MinFrameInterval;
    r.maxInterval = range.ConfigCaps.MaxFrameInterval;
    r.interval = range.VideoInfoHeader.AvgTimePerFrame;
    r.bytes = std::move(bytes);
    ranges.push_back(std::move(r));
  }
  return ranges;
}

bool IntersectFormat(host::ks::Handle filter, ULONG pinId, uint32_t width, uint32_t height, int64_t interval,
                     PinFormat* format, std::string* error) {
  std::vector<VideoRange> ranges = VideoRanges(filter, pinId);
  const VideoRange* match = nullptr;
  std::string offered;
  for (const VideoRange& r : ranges) {
    if (r.width == width && r.height == height && match == nullptr) match = &r;
    offered += (offered.empty() ? "" : ", ") + std::to_string(r.width) + "x" + std::to_string(r.height);
  }
  if (match == nullptr) {
    *error = "pin " + std::to_string(pinId) + " does not offer " + std::to_string(width) + "x" +
             std::to_string(height) + (offered.empty() ? " (it offers no video range)" : " (it offers " + offered + ")");
    return false;
  }
  std::vector<uint8_t> wanted = match->bytes;
  if (interval != 0) {
    auto* range = reinterpret_cast<KS_DATARANGE_VIDEO*>(wanted.data());
    range->VideoInfoHeader.AvgTimePerFrame = interval;
  }
  std::vector<uint8_t> result;
  const NTSTATUS status = host::ks::Intersect(filter, pinId, wanted, &result);
  if (!NT_SUCCESS(status) || result.size() < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) {
    *error = "the driver did not accept " + std::to_string(width) + "x" + std::to_string(height) + " on pin " +
             std::to_string(pinId) + ": " + StatusText(NT_SUCCESS(status) ? STATUS_INVALID_PARAMETER : status);
    return false;
  }
  KS_DATAFORMAT_VIDEOINFOHEADER f;
  memcpy(&f, result.data(), sizeof f);
  format->width = uint32_t(f.VideoInfoHeader.bmiHeader.biWidth);
  const LONG h = f.VideoInfoHeader.bmiHeader.biHeight;
  format->height = uint32_t(h < 0 ? -h : h);
  format->imageSize = f.VideoInfoHeader.bmiHeader.biSizeImage;
  format->interval = f.VideoInfoHeader.AvgTimePerFrame;
  format->bytes = std::move(result);
  return true;
}

std::unique_ptr<PinStream> PinStream::Open(host::ks::Camera& camera, host::ks::Handle filter, ULONG pinId,
                                           const PinFormat& format, uint32_t buffers, std::string* error) {
  std::unique_ptr<PinStream> s(new PinStream);
  s->camera_ = &camera;
  s->id_ = pinId;
  s->format_ = format;
  s->buffers_ = buffers;
  NTSTATUS status = camera.CreatePin(filter, pinId, format.bytes, &s->pin_);
  if (!NT_SUCCESS(status)) {
    s->pin_ = nullptr;
    *error = "creating pin " + std::to_string(pinId) + " failed: " + StatusText(status);
    return nullptr;
  }
  s->clock_ = host::ks::CreateClock();
  status = host::ks::SetMasterClock(s->pin_, s->clock_);
  if (!NT_SUCCESS(status)) {
    *error = "setting the master clock failed: " + StatusText(status);
    return nullptr;
  }
  s->stream_ = std::make_unique<host::ks::Stream>(s->pin_, format.imageSize, true);
  return s;
}

PinStream::~PinStream() {
  // Closing steps the pin down to stop; its queued buffers come back cancelled.
  if (pin_ != nullptr) camera_->CloseHandle(pin_);
  if (stream_ != nullptr) stream_->Take();
  stream_.reset();
  if (clock_ != nullptr) host::ks::Close(clock_);
}

NTSTATUS PinStream::SetState(KSSTATE state) {
  const KSSTATE previous = state_;
  if (state > KSSTATE_ACQUIRE && previous <= KSSTATE_ACQUIRE) {
    // Buffers go in when the pin can take them (pause or run).
    const NTSTATUS status = host::ks::SetState(pin_, KSSTATE_PAUSE);
    if (!NT_SUCCESS(status)) return status;
    state_ = KSSTATE_PAUSE;
    while (Pending() < buffers_ && stream_->Queue(1) == STATUS_PENDING) {
    }
    if (state == KSSTATE_PAUSE) return status;
  }
  const NTSTATUS status = host::ks::SetState(pin_, state);
  if (NT_SUCCESS(status)) state_ = state;
  return status;
}

bool PinStream::Complete(const host::ks::Buffer& buffer, Frame* frame) const {
  const KSSTREAM_HEADER* header = buffer.header;
  frame->data = const_cast<host::ks::Buffer&>(buffer).Data();
  frame->size = header->DataUsed;
  frame->width = format_.width;
  frame->height = format_.height;
  frame->interval = format_.interval;
  frame->pinId = id_;
  frame->status = buffer.status;
  frame->presentationTime = header->PresentationTime.Time;
  frame->optionsFlags = header->OptionsFlags;
  const KS_FRAME_INFO* info = const_cast<host::ks::Buffer&>(buffer).FrameInfo();
  if (info != nullptr) {
    frame->pictureNumber = info->PictureNumber;
    frame->dropCount = info->DropCount;
  }
  return NT_SUCCESS(buffer.status);
}

}  // namespace ovra
