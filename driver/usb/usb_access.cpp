// Control traffic to the camera: synchronous URBs, descriptors, configuration
// and interface selection, vendor requests and the descriptor dumps.
//
// Everything read from the device is treated as hostile: lengths and counts
// from descriptors are checked against the bytes actually received before
// they are used to walk a buffer.
#include "usb_access.h"

namespace {

constexpr ULONG kInterfaceRecordHeader = sizeof(USBD_INTERFACE_INFORMATION) - sizeof(USBD_PIPE_INFORMATION);  // 24
constexpr ULONG kSelectInterfaceHeader = sizeof(struct _URB_SELECT_INTERFACE) - sizeof(USBD_PIPE_INFORMATION);  // 56

PUSBD_PIPE_INFORMATION PipeAt(PUSBD_INTERFACE_INFORMATION record, ULONG index) {
  PUSBD_PIPE_INFORMATION pipes = record->Pipes;
  return pipes + index;
}

// Appends the pipes of one interface record to the pipe table, up to its four entries.
void AddPipes(CUSBHardware* hw, PUSBD_INTERFACE_INFORMATION record) {
  if (record == nullptr) return;
  const ULONG count = PipesInRecord(record);
  for (ULONG i = 0; i < count && hw->m_NumPipes < LONG(RTL_NUMBER_OF(hw->m_Pipes)); ++i) {
    hw->m_Pipes[hw->m_NumPipes++] = PipeAt(record, i);
  }
}

void ClearPipes(CUSBHardware* hw) {
  hw->m_NumPipes = 0;
  for (auto& pipe : hw->m_Pipes) pipe = nullptr;
}

NTSTATUS DescriptorRequest(PDEVICE_OBJECT target, UCHAR type, PVOID buffer, ULONG length, PULONG returned) {
  URB urb;
  RtlZeroMemory(&urb, sizeof(urb));
  struct _URB_CONTROL_DESCRIPTOR_REQUEST& request = urb.UrbControlDescriptorRequest;
  request.Hdr.Length = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
  request.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
  request.TransferBuffer = buffer;
  request.TransferBufferLength = length;
  request.TransferBufferMDL = nullptr;
  request.UrbLink = nullptr;
  request.DescriptorType = type;
  request.Index = 0;
  request.LanguageId = 0;
  NTSTATUS status = CallUSBD(target, &urb);
  // The stack reports the bytes moved; never more than the buffer holds.
  ULONG moved = request.TransferBufferLength;
  if (moved > length) moved = length;
  if (returned != nullptr) *returned = NT_SUCCESS(status) ? moved : 0;
  return status;
}

}  // namespace

ULONG TrimConfiguration(PUSB_CONFIGURATION_DESCRIPTOR configuration, ULONG received) {
  const PUCHAR set = reinterpret_cast<PUCHAR>(configuration);
  if (configuration->wTotalLength < received) received = configuration->wTotalLength;
  ULONG offset = 0;
  while (received - offset >= sizeof(USB_COMMON_DESCRIPTOR)) {
    const ULONG length = set[offset];
    const UCHAR type = set[offset + 1];
    if (length < sizeof(USB_COMMON_DESCRIPTOR) || length > received - offset) break;
    if (offset == 0 && (type != USB_CONFIGURATION_DESCRIPTOR_TYPE || length < sizeof(USB_CONFIGURATION_DESCRIPTOR))) break;
    if (type == USB_INTERFACE_DESCRIPTOR_TYPE && length < sizeof(USB_INTERFACE_DESCRIPTOR)) break;
    if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && length < sizeof(USB_ENDPOINT_DESCRIPTOR)) break;
    offset += length;
  }
  configuration->wTotalLength = USHORT(offset);
  return offset;
}

ULONG PipesInRecord(const USBD_INTERFACE_INFORMATION* record) {
  if (record->Length < kInterfaceRecordHeader) return 0;
  const ULONG room = (record->Length - kInterfaceRecordHeader) / sizeof(USBD_PIPE_INFORMATION);
  return record->NumberOfPipes < room ? record->NumberOfPipes : room;
}

NTSTATUS CallUSBD(PDEVICE_OBJECT target, PURB urb) {
  PAGED_CODE();
  OVRA_LOG(kLogVerbose, "enter CallUSBD\n");

  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK ioStatus;
  ioStatus.Status = STATUS_SUCCESS;
  ioStatus.Information = 0;

  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, target, nullptr, 0, nullptr, 0, TRUE,
                                           &event, &ioStatus);
  if (irp == nullptr) {
    OVRA_LOG(kLogVerbose, "exit CallUSBD URB status = %x status = %x irp status %x\n", urb->UrbHeader.Status,
             STATUS_INSUFFICIENT_RESOURCES, ioStatus.Status);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;

  NTSTATUS status = IofCallDriver(target, irp);
  if (status == STATUS_PENDING) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = kUsbRequestTimeout;
    NTSTATUS wait = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
    if (wait == STATUS_TIMEOUT) {
      // The I/O manager frees the request once it completes (an APC to this
      // thread), so it is cancelled only while it is still outstanding: at
      // APC_LEVEL that completion cannot run between the check and the cancel.
      KIRQL irql;
      KeRaiseIrql(APC_LEVEL, &irql);
      if (KeReadStateEvent(&event) == 0) IoCancelIrp(irp);
      KeLowerIrql(irql);
      // The request must have completed before this frame (event, status
      // block, caller's URB) goes away.
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      // Ended by the cancel: a time-out. A request that completed anyway keeps
      // its own status, so driver and device agree on what happened.
      status = ioStatus.Status == STATUS_CANCELLED ? STATUS_IO_TIMEOUT : ioStatus.Status;
    } else {
      status = ioStatus.Status;
    }
  }

  OVRA_LOG(kLogVerbose, "exit CallUSBD URB status = %x status = %x irp status %x\n", urb->UrbHeader.Status, status,
           ioStatus.Status);
  return status;
}

NTSTATUS CUSBHardware::CallUSBD(PURB urb) {
  PAGED_CODE();
  return ::CallUSBD(m_Device->NextDeviceObject, urb);
}

NTSTATUS GetDescriptor(CUSBHardware* hardware, UCHAR type, PVOID buffer, ULONG length, PULONG returned) {
  PAGED_CODE();
  OVRA_LOG(kLogTrace, "enter GetDescriptor type %d\n", type);
  if (returned != nullptr) *returned = 0;
  if (buffer == nullptr) {
    OVRA_LOG(kLogTrace, "Leaving GetDescriptor (%x)\n", STATUS_INVALID_PARAMETER);
    return STATUS_INVALID_PARAMETER;
  }
  ULONG moved = 0;
  NTSTATUS status = DescriptorRequest(hardware->m_Device->NextDeviceObject, type, buffer, length, &moved);
  if (NT_SUCCESS(status)) {
    OVRA_LOG(kLogDetail, "Descriptor = %p, type %x len %x\n", buffer, type, moved);
  }
  if (returned != nullptr) *returned = moved;
  OVRA_LOG(kLogTrace, "Leaving GetDescriptor (%x)\n", status);
  return status;
}

NTSTATUS CUSBHardware::GetDescriptors() {
  PAGED_CODE();
  OVRA_LOG(kLogTrace, "enter CUSBHardware::GetDescriptors\n");

  USB_DEVICE_DESCRIPTOR device;
  RtlZeroMemory(&device, sizeof(device));
  NTSTATUS status = GetDescriptor(this, USB_DEVICE_DESCRIPTOR_TYPE, &device, sizeof(device));
  if (!NT_SUCCESS(status) || device.bLength == 0) return STATUS_UNSUCCESSFUL;
  OVRA_LOG(kLogDetail, "Dev Descriptor = %p, type %x len %x\n", &device, USB_DEVICE_DESCRIPTOR_TYPE, device.bLength);

  if (m_DeviceDescriptor != nullptr) ExFreePool(m_DeviceDescriptor);
  m_DeviceDescriptor = static_cast<PUSB_DEVICE_DESCRIPTOR>(AllocateZeroed(sizeof(USB_DEVICE_DESCRIPTOR)));
  if (m_DeviceDescriptor == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlCopyMemory(m_DeviceDescriptor, &device, sizeof(device));

  USB_CONFIGURATION_DESCRIPTOR header;
  RtlZeroMemory(&header, sizeof(header));
  ULONG moved = 0;
  status = GetDescriptor(this, USB_CONFIGURATION_DESCRIPTOR_TYPE, &header, sizeof(header), &moved);
  if (NT_SUCCESS(status) && moved < sizeof(header)) status = STATUS_UNSUCCESSFUL;  // wTotalLength unknown
  if (!NT_SUCCESS(status)) {
    OVRA_LOG(kLogTrace, "exit1 CUSBHardware::GetDescriptors(%08x)\n", status);
    return STATUS_UNSUCCESSFUL;
  }

  if (m_ConfigDescriptor != nullptr) ExFreePool(m_ConfigDescriptor);
  const ULONG size = ULONG(header.wTotalLength) + 16;
  m_ConfigDescriptor = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(AllocateZeroed(size));
  if (m_ConfigDescriptor == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  status = GetDescriptor(this, USB_CONFIGURATION_DESCRIPTOR_TYPE, m_ConfigDescriptor, size, &moved);

  // Everything after this (the USB library included) walks the set by its
  // wTotalLength and bLength fields: only whole, plausible descriptors
  // inside the bytes received are kept.
  if (NT_SUCCESS(status) && TrimConfiguration(m_ConfigDescriptor, moved) == 0) status = STATUS_UNSUCCESSFUL;
  if (NT_SUCCESS(status)) {
    DumpDeviceDescriptor(m_DeviceDescriptor);
    DumpConfiguration(m_ConfigDescriptor);
  }
  OVRA_LOG(kLogTrace, "exit CUSBHardware::GetDescriptors(%08x)\n", status);
  return status;
}

PUSB_DEVICE_DESCRIPTOR CUSBHardware::GetDeviceDescriptor(PDEVICE_OBJECT lowerDevice) {
  PAGED_CODE();
  OVRA_LOG(kLogTrace, "enter CUSBHardware::GetDeviceDescriptor\n");
  auto* descriptor = static_cast<PUSB_DEVICE_DESCRIPTOR>(AllocateZeroed(sizeof(USB_DEVICE_DESCRIPTOR)));
  if (descriptor == nullptr) {
    OVRA_LOG(kLogTrace, "Leaving CUSBHardware::GetDeviceDescriptor (%x)\n", STATUS_INSUFFICIENT_RESOURCES);
    return nullptr;
  }
  NTSTATUS status =
      DescriptorRequest(lowerDevice, USB_DEVICE_DESCRIPTOR_TYPE, descriptor, sizeof(USB_DEVICE_DESCRIPTOR), nullptr);
  OVRA_LOG(kLogTrace, "Leaving CUSBHardware::GetDeviceDescriptor (%x)\n", status);
  return descriptor;
}

// Frees the interface copies and forgets the pipe table, which points into them.
void FreeInterfaceCopies(CUSBHardware* hw) {
  if (hw->m_Interfaces != nullptr) {
    for (LONG i = 0; i < hw->m_NumInterfaces; ++i) {
      if (hw->m_Interfaces[i] != nullptr) ExFreePool(hw->m_Interfaces[i]);
    }
    ExFreePool(hw->m_Interfaces);
    hw->m_Interfaces = nullptr;
  }
  ClearPipes(hw);
}

NTSTATUS CUSBHardware::SelectConfiguration() {
  PAGED_CODE();
  OVRA_LOG(kLogTrace, "CUSBHardware::SelectConfiguration\n");
  if (m_ConfigDescriptor == nullptr) {
    OVRA_LOG(kLogError, "CUSBHardware::SelectConfiguration: m_ConfigDescriptor is null.\n");
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  // Interface copies of an earlier configuration are replaced.
  FreeInterfaceCopies(this);
  m_NumInterfaces = m_ConfigDescriptor->bNumInterfaces;

  NTSTATUS status = STATUS_SUCCESS;
  PURB urb = nullptr;
  const ULONG wanted = m_ConfigDescriptor->bNumInterfaces;
  if (wanted == 0) {
    status = STATUS_INSUFFICIENT_RESOURCES;
  } else {
    auto* list = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(AllocateZeroed((wanted + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY)));
    if (list == nullptr) {
      status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
      ULONG found = 0;
      for (LONG number = 0; number < 256 && found < wanted; ++number) {
        PUSB_INTERFACE_DESCRIPTOR descriptor =
            USBD_ParseConfigurationDescriptorEx(m_ConfigDescriptor, m_ConfigDescriptor, number, 0, -1, -1, -1);
        if (descriptor != nullptr) list[found++].InterfaceDescriptor = descriptor;
      }
      if (found == wanted) urb = USBD_CreateConfigurationRequestEx(m_ConfigDescriptor, list);
      ExFreePool(list);
      if (urb == nullptr) status = STATUS_INSUFFICIENT_RESOURCES;
    }
  }
  if (urb == nullptr) {
    m_NumInterfaces = 0;
    OVRA_LOG(kLogTrace, "exit:  SelectConfiguration %08X\n", status);
    return status;
  }

  status = CallUSBD(urb);
  if (!NT_SUCCESS(status)) {
    ExFreePool(urb);
    m_NumInterfaces = 0;
    OVRA_LOG(kLogTrace, "exit:  SelectConfiguration %08X\n", status);
    return status;
  }
  m_ConfigHandle = urb->UrbSelectConfiguration.ConfigurationHandle;

  // Copy each interface record of the answer; the records follow one another
  // in the URB, each advanced by its Length, and must lie inside it.
  NTSTATUS copyStatus = STATUS_SUCCESS;
  m_Interfaces =
      static_cast<PUSBD_INTERFACE_INFORMATION*>(AllocateZeroed(m_NumInterfaces * sizeof(PUSBD_INTERFACE_INFORMATION)));
  ClearPipes(this);
  if (m_Interfaces == nullptr) {
    copyStatus = STATUS_INSUFFICIENT_RESOURCES;
  } else {
    const ULONG urbLength = urb->UrbHeader.Length;
    ULONG offset = FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface);
    for (LONG i = 0; i < m_NumInterfaces; ++i) {
      auto* record = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(urb) + offset);
      if (offset + kInterfaceRecordHeader > urbLength || record->Length < kInterfaceRecordHeader ||
          record->Length > urbLength - offset) {
        copyStatus = STATUS_UNSUCCESSFUL;
        break;
      }
      auto* copy = static_cast<PUSBD_INTERFACE_INFORMATION>(AllocateZeroed(record->Length));
      if (copy == nullptr) {
        copyStatus = STATUS_INSUFFICIENT_RESOURCES;
        break;
      }
      RtlCopyMemory(copy, record, record->Length);
      m_Interfaces[i] = copy;
      AddPipes(this, copy);
      offset += record->Length;
    }
  }
  ExFreePool(urb);
  if (!NT_SUCCESS(copyStatus)) {
    FreeInterfaceCopies(this);
    m_NumInterfaces = 0;
    OVRA_LOG(kLogTrace, "exit:  SelectConfiguration %08X\n", copyStatus);
    return copyStatus;
  }

  m_Configured = TRUE;
  OVRA_LOG(kLogTrace, "exit:  SelectConfiguration %08X\n", status);
  return status;
}

NTSTATUS CUSBHardware::SelectInterface(UCHAR interfaceNumber, UCHAR alternateSetting) {
  PAGED_CODE();
  OVRA_LOG(kLogTrace, "enter: CUSBHardware::SelectInterface(%d,%d)\n", interfaceNumber, alternateSetting);
  // The reader points into the pipe table this replaces.
  ASSERT(m_Reader == nullptr);

  PUSB_INTERFACE_DESCRIPTOR descriptor = nullptr;
  if (m_ConfigDescriptor != nullptr && m_Interfaces != nullptr) {
    descriptor = USBD_ParseConfigurationDescriptorEx(m_ConfigDescriptor, m_ConfigDescriptor, interfaceNumber,
                                                     alternateSetting, -1, -1, -1);
  }
  if (descriptor == nullptr) {
    OVRA_LOG(kLogTrace, "exit CUSBHardware::SelectInterface %08X\n", STATUS_INVALID_PARAMETER);
    return STATUS_INVALID_PARAMETER;
  }

  const ULONG pipes = descriptor->bNumEndpoints;
  const USHORT urbSize = USHORT(kSelectInterfaceHeader + pipes * sizeof(USBD_PIPE_INFORMATION));
  const USHORT recordSize = USHORT(kInterfaceRecordHeader + pipes * sizeof(USBD_PIPE_INFORMATION));

  PURB urb = static_cast<PURB>(AllocateZeroed(urbSize));
  auto* replacement = static_cast<PUSBD_INTERFACE_INFORMATION>(AllocateZeroed(recordSize));
  if (urb == nullptr || replacement == nullptr) {
    if (urb != nullptr) ExFreePool(urb);
    if (replacement != nullptr) ExFreePool(replacement);
    OVRA_LOG(kLogTrace, "exit CUSBHardware::SelectInterface %08X\n", STATUS_INSUFFICIENT_RESOURCES);
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  struct _URB_SELECT_INTERFACE& select = urb->UrbSelectInterface;
  select.Hdr.Length = urbSize;
  select.Hdr.Function = URB_FUNCTION_SELECT_INTERFACE;
  select.ConfigurationHandle = m_ConfigHandle;
  select.Interface.Length = recordSize;
  select.Interface.InterfaceNumber = interfaceNumber;
  select.Interface.AlternateSetting = alternateSetting;
  for (ULONG i = 0; i < pipes; ++i) PipeAt(&select.Interface, i)->MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;

  const NTSTATUS status = CallUSBD(urb);
  if (!NT_SUCCESS(status)) {
    // All or nothing: the device keeps its setting, and so does the driver.
    ExFreePool(urb);
    ExFreePool(replacement);
    OVRA_LOG(kLogTrace, "exit CUSBHardware::SelectInterface %08X\n", status);
    return status;
  }
  RtlCopyMemory(replacement, &select.Interface, recordSize);
  replacement->Length = recordSize;
  replacement->InterfaceNumber = interfaceNumber;
  replacement->AlternateSetting = alternateSetting;

  // Swap the record in and rebuild the pipe table in walk order.
  ClearPipes(this);
  bool used = false;
  for (LONG i = 0; i < m_NumInterfaces; ++i) {
    if (!used && m_Interfaces[i] != nullptr && m_Interfaces[i]->InterfaceNumber == interfaceNumber) {
      ExFreePool(m_Interfaces[i]);
      m_Interfaces[i] = replacement;
      used = true;
    }
    AddPipes(this, m_Interfaces[i]);
  }
  m_AlternateSetting = alternateSetting;

  ExFreePool(urb);
  if (!used) ExFreePool(replacement);
  OVRA_LOG(kLogTrace, "exit CUSBHardware::SelectInterface %08X\n", status);
  return status;
}

NTSTATUS CUSBHardware::SubmitVendorRequest(PVOID buffer, ULONG length, BOOLEAN deviceToHost, UCHAR request,
                                           USHORT index, USHORT value) {
  PAGED_CODE();
  OVRA_LOG(kLogVerbose, "CUSBHardware::SubmitVendorRequest(%02x,%04x,%04x) %d bytes\n", request, index, value, length);
  if (m_Removed) {
    OVRA_LOG(kLogWarning, "Cancelled - device is removed.");
    return STATUS_UNSUCCESSFUL;
  }
  if (buffer == nullptr && length != 0) return STATUS_INVALID_PARAMETER;

  URB urb;
  RtlZeroMemory(&urb, sizeof(urb));
  struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& vendor = urb.UrbControlVendorClassRequest;
  vendor.Hdr.Length = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
  vendor.Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
  vendor.TransferFlags = deviceToHost ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT;
  vendor.TransferBufferLength = length;
  vendor.TransferBuffer = buffer;
  vendor.TransferBufferMDL = nullptr;
  vendor.RequestTypeReservedBits = 0;
  vendor.Request = request;
  vendor.Value = value;
  vendor.Index = index;
  return CallUSBD(&urb);
}

// ---------------------------------------------------------------------------
// Descriptor dumps.

void DumpDeviceDescriptor(const USB_DEVICE_DESCRIPTOR* d) {
  if (d == nullptr) return;
  OVRA_LOG(kLogTrace, "------------------\n");
  OVRA_LOG(kLogTrace, "Device Descriptor:\n");
  OVRA_LOG(kLogTrace, "bcdUSB:             0x%04X\n", d->bcdUSB);
  OVRA_LOG(kLogTrace, "bDeviceClass:         0x%02X\n", d->bDeviceClass);
  OVRA_LOG(kLogTrace, "bDeviceSubClass:      0x%02X\n", d->bDeviceSubClass);
  OVRA_LOG(kLogTrace, "bDeviceProtocol:      0x%02X\n", d->bDeviceProtocol);
  OVRA_LOG(kLogTrace, "bMaxPacketSize0:      0x%02X (%d)\n", d->bMaxPacketSize0, d->bMaxPacketSize0);
  OVRA_LOG(kLogTrace, "idVendor:           0x%04X\n", d->idVendor);
  OVRA_LOG(kLogTrace, "idProduct:          0x%04X\n", d->idProduct);
  OVRA_LOG(kLogTrace, "bcdDevice:          0x%04X\n", d->bcdDevice);
  OVRA_LOG(kLogTrace, "iManufacturer:        0x%02X\n", d->iManufacturer);
  OVRA_LOG(kLogTrace, "iProduct:             0x%02X\n", d->iProduct);
  OVRA_LOG(kLogTrace, "iSerialNumber:        0x%02X\n", d->iSerialNumber);
  OVRA_LOG(kLogTrace, "bNumConfigurations:   0x%02X\n", d->bNumConfigurations);
}

namespace {

void DumpConfigurationDescriptor(const USB_CONFIGURATION_DESCRIPTOR* c) {
  OVRA_LOG(kLogDetail, "-------------------------\n");
  OVRA_LOG(kLogDetail, "Configuration Descriptor:\n");
  OVRA_LOG(kLogDetail, "wTotalLength:       0x%04X\n", c->wTotalLength);
  OVRA_LOG(kLogDetail, "bNumInterfaces:       0x%02X\n", c->bNumInterfaces);
  OVRA_LOG(kLogDetail, "bConfigurationValue:  0x%02X\n", c->bConfigurationValue);
  OVRA_LOG(kLogDetail, "iConfiguration:       0x%02X\n", c->iConfiguration);
  OVRA_LOG(kLogDetail, "bmAttributes:         0x%02X\n", c->bmAttributes);
  if (c->bmAttributes & 0x80) OVRA_LOG(kLogDetail, "  Bus Powered\n");
  if (c->bmAttributes & 0x40) OVRA_LOG(kLogDetail, "  Self Powered\n");
  if (c->bmAttributes & 0x20) OVRA_LOG(kLogDetail, "  Remote Wakeup\n");
  OVRA_LOG(kLogDetail, "MaxPower:             0x%02X (%d Ma)\n", c->MaxPower, c->MaxPower * 2);
}

void DumpInterfaceDescriptor(const USB_INTERFACE_DESCRIPTOR* i) {
  OVRA_LOG(kLogDetail, "---------------------\n");
  OVRA_LOG(kLogDetail, "Interface Descriptor:\n");
  OVRA_LOG(kLogDetail, "bInterfaceNumber:     0x%02X\n", i->bInterfaceNumber);
  OVRA_LOG(kLogDetail, "bAlternateSetting:    0x%02X\n", i->bAlternateSetting);
  OVRA_LOG(kLogDetail, "bNumEndpoints:        0x%02X\n", i->bNumEndpoints);
  OVRA_LOG(kLogDetail, "bInterfaceClass:      0x%02X\n", i->bInterfaceClass);
  OVRA_LOG(kLogDetail, "bInterfaceSubClass:   0x%02X\n", i->bInterfaceSubClass);
  OVRA_LOG(kLogDetail, "bInterfaceProtocol:   0x%02X\n", i->bInterfaceProtocol);
  OVRA_LOG(kLogDetail, "iInterface:           0x%02X\n", i->iInterface);
}

void DumpEndpointDescriptor(const USB_ENDPOINT_DESCRIPTOR* e) {
  OVRA_LOG(kLogDetail, "--------------------\n");
  OVRA_LOG(kLogDetail, "Endpoint Descriptor:\n");
  OVRA_LOG(kLogDetail, "bEndpointAddress:     0x%02X\n", e->bEndpointAddress);
  switch (e->bmAttributes & USB_ENDPOINT_TYPE_MASK) {
    case USB_ENDPOINT_TYPE_CONTROL:
      OVRA_LOG(kLogDetail, "Transfer Type:     Control\n");
      break;
    case USB_ENDPOINT_TYPE_ISOCHRONOUS:
      OVRA_LOG(kLogDetail, "Transfer Type: Isochronous\n");
      break;
    case USB_ENDPOINT_TYPE_BULK:
      OVRA_LOG(kLogDetail, "Transfer Type:        Bulk\n");
      break;
    default:
      OVRA_LOG(kLogDetail, "Transfer Type:   Interrupt\n");
      break;
  }
  OVRA_LOG(kLogDetail, "wMaxPacketSize:     0x%04X (%d)\n", e->wMaxPacketSize, e->wMaxPacketSize);
  OVRA_LOG(kLogDetail, "bInterval:            0x%02X\n", e->bInterval);
}

}  // namespace

void DumpConfiguration(const USB_CONFIGURATION_DESCRIPTOR* configuration) {
  if (configuration == nullptr) return;
  const PUCHAR start = reinterpret_cast<PUCHAR>(const_cast<USB_CONFIGURATION_DESCRIPTOR*>(configuration));
  const ULONG total = configuration->wTotalLength;
  ULONG offset = 0;
  // Each step needs the descriptor's two header bytes inside the set, a
  // non-zero length and the whole descriptor inside the set.
  while (offset + sizeof(USB_COMMON_DESCRIPTOR) <= total) {
    const auto* common = reinterpret_cast<const USB_COMMON_DESCRIPTOR*>(start + offset);
    const ULONG length = common->bLength;
    if (length == 0 || offset + length > total) break;
    if (common->bDescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE && length == 9) {
      DumpConfigurationDescriptor(reinterpret_cast<const USB_CONFIGURATION_DESCRIPTOR*>(common));
    } else if (common->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE && length == 9) {
      DumpInterfaceDescriptor(reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(common));
    } else if (common->bDescriptorType == USB_ENDPOINT_DESCRIPTOR_TYPE && length == 7) {
      DumpEndpointDescriptor(reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(common));
    }
    offset += length;
  }
}
