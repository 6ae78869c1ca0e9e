#include "descriptors.h"

#include <cstring>

#include "../internal.h"

namespace host::usb::desc {

long FindInterface(const uint8_t* set, size_t size, size_t start, long number, long alternate, long cls, long subclass,
                   long protocol) {
  long found = -1;
  Walk(set, size, start, [&](size_t pos, size_t length, uint8_t type) {
    if (type != USB_INTERFACE_DESCRIPTOR_TYPE || length < kInterfaceLength) return true;
    USB_INTERFACE_DESCRIPTOR d;
    memcpy(&d, set + pos, sizeof d);
    if ((number == -1 || d.bInterfaceNumber == number) && (alternate == -1 || d.bAlternateSetting == alternate) &&
        (cls == -1 || d.bInterfaceClass == cls) && (subclass == -1 || d.bInterfaceSubClass == subclass) &&
        (protocol == -1 || d.bInterfaceProtocol == protocol)) {
      found = long(pos);
      return false;
    }
    return true;
  });
  return found;
}

bool InterfaceEndpoints(const uint8_t* set, size_t size, size_t interfaceOffset, size_t count,
                        std::vector<USB_ENDPOINT_DESCRIPTOR>* endpoints) {
  endpoints->clear();
  if (interfaceOffset >= size || size - interfaceOffset < kInterfaceLength) return false;
  const size_t first = interfaceOffset + set[interfaceOffset];
  if (count == 0) return true;
  Walk(set, size, first, [&](size_t pos, size_t length, uint8_t type) {
    if (type == USB_INTERFACE_DESCRIPTOR_TYPE) return false;
    if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && length >= kEndpointLength) {
      USB_ENDPOINT_DESCRIPTOR e;
      memcpy(&e, set + pos, sizeof e);
      endpoints->push_back(e);
    }
    return endpoints->size() < count;
  });
  return endpoints->size() == count;
}

uint32_t PayloadPerInterval(const USB_ENDPOINT_DESCRIPTOR& endpoint) {
  const uint32_t size = endpoint.wMaxPacketSize & 0x7FF;
  const uint8_t type = endpoint.bmAttributes & USB_ENDPOINT_TYPE_MASK;
  if (type == USB_ENDPOINT_TYPE_ISOCHRONOUS || type == USB_ENDPOINT_TYPE_INTERRUPT)
    return size * (1 + ((endpoint.wMaxPacketSize >> 11) & 3));
  return size;
}

size_t BoundedTotalLength(const USB_CONFIGURATION_DESCRIPTOR* configuration) {
  if (configuration == nullptr) return 0;
  const size_t block = host::internal::PoolBlockSize(configuration);
  if (block != 0 && block < 4) return 0;
  size_t total = configuration->wTotalLength;
  if (block != 0 && total > block) total = block;
  return total;
}

}  // namespace host::usb::desc
