// The USBD library routines a client driver links against: descriptor
// parsing and the select-configuration request. They behave as the system's
// library does: they trust wTotalLength and walk descriptors by bLength,
// reading exactly what it reads. A set the driver did not check first takes
// them wherever its bytes say, and AddressSanitizer reports any read past the
// driver's buffer.
#include <cstring>

#include <host/api/host.h>
#include <host/usb.h>

#include "../internal.h"
#include "descriptors.h"

namespace {

constexpr ULONG kUsbdTag = host::pool::MakeTag("USBD");

}  // namespace

HOST_EXTERN_C PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID descriptorBuffer, ULONG totalLength,
                                                           PVOID startPosition, LONG descriptorType) {
  const auto* end = static_cast<const UCHAR*>(descriptorBuffer) + totalLength;
  auto* p = static_cast<UCHAR*>(startPosition);
  // The two header bytes of each descriptor inside the set; the rest is trusted.
  while (p + sizeof(USB_COMMON_DESCRIPTOR) <= end) {
    auto* common = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(p);
    if (common->bLength == 0) break;
    if (common->bDescriptorType == descriptorType) return common;
    p += common->bLength;
  }
  return nullptr;
}

HOST_EXTERN_C PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR configuration, PVOID startPosition, LONG interfaceNumber, LONG alternateSetting,
    LONG interfaceClass, LONG interfaceSubClass, LONG interfaceProtocol) {
  const ULONG total = configuration->wTotalLength;
  const auto* end = reinterpret_cast<const UCHAR*>(configuration) + total;
  auto* p = static_cast<UCHAR*>(startPosition);
  while (p < end) {
    auto* d = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(
        USBD_ParseDescriptors(configuration, total, p, USB_INTERFACE_DESCRIPTOR_TYPE));
    if (d == nullptr) return nullptr;
    if ((interfaceNumber == -1 || d->bInterfaceNumber == interfaceNumber) &&
        (alternateSetting == -1 || d->bAlternateSetting == alternateSetting) &&
        (interfaceClass == -1 || d->bInterfaceClass == interfaceClass) &&
        (interfaceSubClass == -1 || d->bInterfaceSubClass == interfaceSubClass) &&
        (interfaceProtocol == -1 || d->bInterfaceProtocol == interfaceProtocol))
      return d;
    p = reinterpret_cast<UCHAR*>(d) + d->bLength;
  }
  return nullptr;
}

HOST_EXTERN_C PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR configuration,
                                                     PUSBD_INTERFACE_LIST_ENTRY interfaceList) {
  const uintptr_t site = HOST_CALLER_SITE();
  if (configuration == nullptr || interfaceList == nullptr) return nullptr;

  // Each record reserves room for the pipes its interface descriptor announces.
  size_t count = 0;
  size_t bytes = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
  for (PUSBD_INTERFACE_LIST_ENTRY e = interfaceList; e->InterfaceDescriptor != nullptr; ++e) {
    bytes += GET_USBD_INTERFACE_SIZE(e->InterfaceDescriptor->bNumEndpoints);
    ++count;
  }
  if (count == 0 || bytes > 0xFFFF) return nullptr;  // the header's Length is 16 bits

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
