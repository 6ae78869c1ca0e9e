// The KS client interface: the calls a user-mode application makes on a
// camera's filter and pins (IOCTL_KS_PROPERTY, IOCTL_KS_METHOD, pin creation
// with KSPIN_CONNECT, state changes, IOCTL_KS_READ_STREAM). Here it runs on
// the host's bench API over an emulated camera; the same interface can be
// implemented with DeviceIoControl on Windows.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include <host/ks.h>

namespace ovra {

// "STATUS_NO_MATCH (0xC0000272)", or the bare code for one without a name.
std::string StatusText(NTSTATUS status);

// One data range of a pin (a KS_DATARANGE_VIDEO as the pin offers it).
struct VideoRange {
  uint32_t width = 0;
  uint32_t height = 0;
  int64_t minInterval = 0;
  int64_t maxInterval = 0;
  int64_t defaultInterval = 0;
  std::vector<uint8_t> bytes;  // the whole range
};

// A completed read: the buffer with its stream header and frame info.
struct CompletedRead {
  NTSTATUS status = STATUS_SUCCESS;
  std::vector<uint8_t> data;  // DataUsed bytes are valid
  uint32_t dataUsed = 0;
  KSSTREAM_HEADER header{};
  KS_FRAME_INFO info{};
};

class KsPin;

class KsFilter {
 public:
  // Opens the filter of a started device (its first filter factory).
  static NTSTATUS Open(PKSDEVICE device, std::unique_ptr<KsFilter>* filter);
  ~KsFilter();
  KsFilter(const KsFilter&) = delete;
  KsFilter& operator=(const KsFilter&) = delete;

  NTSTATUS PinCount(ULONG* count);
  NTSTATUS Ranges(ULONG pinId, std::vector<VideoRange>* ranges);
  // Intersects `range` (its frame interval replaced by `interval` when not 0)
  // with the pin's ranges: the format the pin would take.
  NTSTATUS Intersect(ULONG pinId, const VideoRange& range, int64_t interval, std::vector<uint8_t>* format);
  NTSTATUS CreatePin(ULONG pinId, const std::vector<uint8_t>& format, std::unique_ptr<KsPin>* pin);

  // A property request: KSPROPERTY (set, id, flags), then `instance`, with
  // `data` as the value buffer. `returned` gets IoStatus.Information.
  NTSTATUS Property(const GUID& set, ULONG id, ULONG flags, const void* instance, ULONG instanceSize, void* data,
                    ULONG dataSize, ULONG* returned = nullptr);
  NTSTATUS Method(const GUID& set, ULONG id, ULONG flags, const void* input, ULONG inputSize, void* data,
                  ULONG dataSize, ULONG* returned = nullptr);
  // Basic support of one property: its access flags (KSPROPERTY_TYPE_GET/SET).
  NTSTATUS Support(const GUID& set, ULONG id, ULONG* access);
  // The property sets the filter supports.
  NTSTATUS PropertySets(std::vector<GUID>* sets);

  void* handle() const { return handle_; }

 private:
  KsFilter() = default;
  void* handle_ = nullptr;
};

class KsPin {
 public:
  ~KsPin();  // closes the pin (the framework steps it down to stop first)
  KsPin(const KsPin&) = delete;
  KsPin& operator=(const KsPin&) = delete;

  ULONG id() const { return id_; }
  uint32_t frameSize() const { return frameSize_; }
  uint32_t width() const { return width_; }
  uint32_t height() const { return height_; }
  int64_t interval() const { return interval_; }

  // KSPROPERTY_CONNECTION_STATE; the framework walks the intermediate states.
  NTSTATUS SetState(KSSTATE state);
  // KSPROPERTY_STREAM_MASTERCLOCK with the host's default clock.
  NTSTATUS SetMasterClock();
  // Queues one IOCTL_KS_READ_STREAM buffer of frameSize() bytes.
  NTSTATUS QueueRead();
  size_t Pending() const;
  // Takes the oldest completed read, if any.
  bool TakeCompleted(CompletedRead* read);

 private:
  friend class KsFilter;
  KsPin() = default;
  void* handle_ = nullptr;
  ULONG id_ = 0;
  uint32_t frameSize_ = 0;
  uint32_t width_ = 0;
  uint32_t height_ = 0;
  int64_t interval_ = 0;
};

}  // namespace ovra
