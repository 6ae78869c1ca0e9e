// The USBD library routines a client driver links against: descriptor
// parsing and the select-configuration request. Descriptor sets come from the
// device, so every walk is bounded by what the caller's buffer holds.
#include <cstring>

#include <host/api/host.h>
#include <host/usb.h>

#include "../internal.h"
#include "descriptors.h"

namespace {

constexpr ULONG kUsbdTag = host::pool::MakeTag("USBD");

// Offset of `p` inside [base, base + size), or -1.
long OffsetIn(const void* base, size_t size, const void* p) {
  const auto b = reinterpret_cast<uintptr_t>(base);
  const auto q = reinterpret_cast<uintptr_t>(p);
  if (q < b || q - b >= size) return -1;
  return long(q - b);
}

}  // namespace

HOST_EXTERN_C PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID descriptorBuffer, ULONG totalLength,
                                                           PVOID startPosition, LONG descriptorType) {
  if (descriptorBuffer == nullptr) return nullptr;
  size_t size = totalLength;
  const size_t block = host::internal::PoolBlockSize(descriptorBuffer);
  if (block != 0 && size > block) size = block;
  const long start = OffsetIn(descriptorBuffer, size, startPosition);
  if (start < 0) return nullptr;
  const auto* set = static_cast<const uint8_t*>(descriptorBuffer);
  long found = -1;
  host::usb::desc::Walk(set, size, size_t(start), [&](size_t pos, size_t, uint8_t type) {
    if (type != descriptorType) return true;
    found = long(pos);
    return false;
  });
  if (found < 0) return nullptr;
  return reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(static_cast<uint8_t*>(descriptorBuffer) + found);
}

HOST_EXTERN_C PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR configuration, PVOID startPosition, LONG interfaceNumber, LONG alternateSetting,
    LONG interfaceClass, LONG interfaceSubClass, LONG interfaceProtocol) {
  const size_t size = host::usb::desc::BoundedTotalLength(configuration);
  const long start = OffsetIn(configuration, size, startPosition);
  if (start < 0) return nullptr;
  const long found =
      host::usb::desc::FindInterface(reinterpret_cast<const uint8_t*>(configuration), size, size_t(start),
                                     interfaceNumber, alternateSetting, interfaceClass, interfaceSubClass,
                                     interfaceProtocol);
  if (found < 0) return nullptr;
  return reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(reinterpret_cast<uint8_t*>(configuration) + found);
}

HOST_EXTERN_C PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR configuration,
                                                     PUSBD_INTERFACE_LIST_ENTRY interfaceList) {
  const uintptr_t site = HOST_CALLER_SITE();
  const size_t size = host::usb::desc::BoundedTotalLength(configuration);
  if (size == 0 || interfaceList == nullptr) return nullptr;

  // Every listed interface descriptor must lie whole inside the set; each
  // record reserves room for the pipes its descriptor announces.
  size_t count = 0;
  size_t bytes = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
  for (PUSBD_INTERFACE_LIST_ENTRY e = interfaceList; e->InterfaceDescriptor != nullptr; ++e) {
    const long at = OffsetIn(configuration, size, e->InterfaceDescriptor);
    if (at < 0 || size - size_t(at) < host::usb::desc::kInterfaceLength) return nullptr;
    if (e->InterfaceDescriptor->bLength < host::usb::desc::kInterfaceLength ||
        e->InterfaceDescriptor->bDescriptorType != USB_INTERFACE_DESCRIPTOR_TYPE)
      return nullptr;
    bytes += GET_USBD_INTERFACE_SIZE(e->InterfaceDescriptor->bNumEndpoints);
    ++count;
    if (bytes > 0xFFFF) return nullptr;  // the header's Length is 16 bits
  }
  if (count == 0) return nullptr;

  auto* urb = static_cast<PURB>(host::internal::PoolAllocate(NonPagedPool, bytes, kUsbdTag, site));
  if (urb == nullptr) return nullptr;
  memset(urb, 0, bytes);
  urb->UrbHeader.Length = USHORT(bytes);
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = configuration;

  auto* record = reinterpret_cast<uint8_t*>(&urb->UrbSelectConfiguration.Interface);
  for (PUSBD_INTERFACE_LIST_ENTRY e = interfaceList; e->InterfaceDescriptor != nullptr; ++e) {
    const PUSB_INTERFACE_DESCRIPTOR d = e->InterfaceDescriptor;
    auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(record);
    info->Length = USHORT(GET_USBD_INTERFACE_SIZE(d->bNumEndpoints));
    info->InterfaceNumber = d->bInterfaceNumber;
    info->AlternateSetting = d->bAlternateSetting;
    info->NumberOfPipes = d->bNumEndpoints;
    PUSBD_PIPE_INFORMATION pipes = info->Pipes;
    for (ULONG i = 0; i < d->bNumEndpoints; ++i) pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    e->Interface = info;
    record += info->Length;
  }
  return urb;
}
