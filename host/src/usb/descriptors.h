// Bounded walks over a USB configuration descriptor set, shared by the USBD
// library and the bus. Descriptor bytes come from the device and are treated
// as hostile: a walk never reads outside [set, set + size), stops at a bLength
// below 2 and at a descriptor that would reach past the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <host/usb.h>

namespace host::usb::desc {

constexpr size_t kInterfaceLength = sizeof(USB_INTERFACE_DESCRIPTOR);  // 9
constexpr size_t kEndpointLength = sizeof(USB_ENDPOINT_DESCRIPTOR);    // 7

// Calls visit(offset, length, type) for each whole descriptor from `start`;
// visit returns false to stop. Returns the offset where the walk ended.
template <typename Visit>
size_t Walk(const uint8_t* set, size_t size, size_t start, Visit visit) {
  size_t pos = start;
  while (pos < size && size - pos >= 2) {
    const size_t length = set[pos];
    if (length < 2 || length > size - pos) break;
    if (!visit(pos, length, set[pos + 1])) break;
    pos += length;
  }
  return pos;
}

// Offset of the first interface descriptor at or after `start` matching the
// criteria (-1 matches anything), or -1.
long FindInterface(const uint8_t* set, size_t size, size_t start, long number, long alternate, long cls, long subclass,
                   long protocol);

// The first `count` endpoint descriptors that follow the interface descriptor
// at `interfaceOffset`, before the next interface descriptor. False when fewer
// than `count` whole endpoint descriptors are present.
bool InterfaceEndpoints(const uint8_t* set, size_t size, size_t interfaceOffset, size_t count,
                        std::vector<USB_ENDPOINT_DESCRIPTOR>* endpoints);

// Bytes per microframe (full- and low-speed: per frame) of an endpoint:
// bits 0-10 of wMaxPacketSize, times 1 + bits 11-12 for a high-bandwidth
// isochronous or interrupt endpoint.
uint32_t PayloadPerInterval(const USB_ENDPOINT_DESCRIPTOR& endpoint);

// The size the caller may read at `p`: the configuration's wTotalLength,
// limited to the pool block `p` starts (when it starts one). 0 when not even
// the 4 bytes up to wTotalLength can be read.
size_t BoundedTotalLength(const USB_CONFIGURATION_DESCRIPTOR* configuration);

}  // namespace host::usb::desc
