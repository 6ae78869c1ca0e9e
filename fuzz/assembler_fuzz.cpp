// The frame router and assembler on arbitrary bytes: a few header bytes pick
// the pixel width, interleave mode, geometry and client buffers; the rest is
// cut into blocks at points the input chooses and handed to
// CCameraDevice::HandleVideoData. Client buffers are exactly their size, so
// any write past one is caught, and no delivered frame may claim more bytes
// than its buffer has. One camera and pin serve every input.
//
// Input: mode byte, geometry byte, buffer byte, then blocks, each a length
// byte n (n + 1 bytes follow; 0xFF: a 16-bit little-endian length follows).
#include <cstdint>
#include <cstdlib>
#include <memory>

#include <host/api/host.h>

#include "support/assembler_rig.h"

namespace {

// Small geometries reach every path; big frames would only cost page faults.
constexpr int32_t kWidths[] = {1, 2, 3, 7, 16, 33, 64, 200};
constexpr int32_t kHeights[] = {1, 2, 3, 4, 7, 8, 16, 120};

ovratest::AssemblerRig& Rig() {
  static ovratest::AssemblerRig* rig = [] {
    host::Reset();
    return new ovratest::AssemblerRig({.width = 64, .height = 48, .stillPin = true});
  }();
  return *rig;
}

// Gives the pin a new format: the kept header and the format copy as the
// pin's creation and a later format change would leave them.
void Shape(CCapturePin* pin, int32_t width, int32_t height, int32_t copyWidth, ULONG imageBytes, ULONG mode) {
  for (KS_VIDEOINFOHEADER* header : {&pin->KeptHeader, pin->FormatCopy}) {
    header->bmiHeader.biWidth = header == pin->FormatCopy ? copyWidth : width;
    header->bmiHeader.biHeight = height;
    header->bmiHeader.biBitCount = 16;
    header->bmiHeader.biSizeImage = imageBytes;
  }
  pin->ActiveInterleave = pin->PendingInterleave = mode;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  ovratest::AssemblerRig& rig = Rig();
  const uint8_t modeByte = data[0], shapeByte = data[1], bufferByte = data[2];
  data += 3;
  size -= 3;

  rig.Restart();
  rig.Device()->ModelFlags = (modeByte & 0x04) != 0 ? kModelMonochrome : 0;
  const ULONG mode = modeByte & 0x03;  // 3: no such mode
  const int32_t width = kWidths[shapeByte & 7];
  const int32_t height = kHeights[shapeByte >> 3 & 7] * ((shapeByte & 0x40) != 0 ? -1 : 1);
  const int32_t copyWidth = width + ((shapeByte & 0x80) != 0 ? 3 : 0);
  const ULONG image = ULONG(copyWidth) * 2 * ULONG(std::abs(height));
  for (ULONG id = 0; id < 2; ++id) {
    Shape(rig.Pin(id), width, height, copyWidth, image, mode);
    // Exactly the image, or short of it by up to 63 bytes.
    const ULONG shortBy = bufferByte & 0x3F;
    rig.Queue(id, bufferByte >> 6 & 3, shortBy < image ? image - shortBy : 1);
  }
  if ((modeByte & 0x08) != 0) rig.Device()->RouteFlags |= kRouteStillNext | kRouteDue;

  while (size > 0) {
    size_t n = size_t(data[0]) + 1;
    size_t header = 1;
    if (data[0] == 0xFF && size >= 3) {
      n = size_t(data[1]) | size_t(data[2]) << 8;
      header = 3;
    }
    data += header;
    size -= header;
    if (n > size) n = size;
    if (n == 0) break;
    rig.Feed(data, n);
    data += n;
    size -= n;
  }

  for (ULONG id = 0; id < 2; ++id) {
    rig.Drain(id);
    for (const auto& buffer : rig.Take(id))
      if (buffer->header->DataUsed > buffer->Extent()) abort();
  }
  // What this input logged goes with it (a growing log would make every
  // input look like a leak).
  host::dbg::Clear();
  return 0;
}
