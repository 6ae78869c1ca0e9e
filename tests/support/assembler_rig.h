// A camera device with its capture pin (and, when asked, its still pin)
// streaming into client buffers held by the host's stream queue: the frame
// assembler's bench for tests, the benchmark and the fuzzer. Blocks of video
// bytes go to the device's frame router directly, the way the USB completion
// path hands them over, each copied first into a heap block of exactly its
// size so that a read outside it is caught.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include <host/api/ks.h>

#include "driver/device/camera_device.h"
#include "driver/stream/capture_pin.h"

namespace ovratest {

struct RigOptions {
  uint32_t modelFlags = 0;    // 0x40: one byte a pixel
  int32_t width = 64;
  int32_t height = 48;        // negative: a top-down format
  uint32_t interleave = 0;    // active and pending, both pins
  bool stillPin = false;
  bool clock = false;         // a master clock on the pins
  bool frameInfo = true;      // client headers carry a KS_FRAME_INFO
};

class AssemblerRig {
 public:
  explicit AssemblerRig(const RigOptions& options);
  ~AssemblerRig();
  AssemblerRig(const AssemblerRig&) = delete;
  AssemblerRig& operator=(const AssemblerRig&) = delete;

  CCameraDevice* Device() const { return device_; }
  CCapturePin* Pin(ULONG id) const { return pins_[id]; }
  ULONG ImageBytes() const { return imageBytes_; }

  // Queues `count` client buffers of `extent` bytes (0: the image size).
  NTSTATUS Queue(ULONG id, size_t count, ULONG extent = 0);
  // The buffers completed on the pin, oldest first.
  std::vector<std::unique_ptr<host::ks::Buffer>> Take(ULONG id);
  // Completes every buffer still queued on the pin, as a flush does.
  void Drain(ULONG id);

  void Feed(const uint8_t* data, size_t size);
  // The stream cut before each offset of `cuts` (ascending).
  void Feed(const std::vector<uint8_t>& stream, const std::vector<size_t>& cuts);
  // The router's state as a start of the stream leaves it: waiting for a
  // whole field, every frame to the capture pin, the pins' counters cleared.
  void Restart();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  CCameraDevice* device_ = nullptr;
  CCapturePin* pins_[2] = {};
  ULONG imageBytes_ = 0;
};

// Cut offsets for a stream of `size` bytes: every `block` bytes, or (with a
// seed) at random distances of 1 to `block` bytes.
std::vector<size_t> Cuts(size_t size, size_t block, uint32_t seed = 0);

}  // namespace ovratest
