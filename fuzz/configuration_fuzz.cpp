// Descriptor parsing and configuration against a synchronous lower device:
// a device object below the driver that completes every URB at once, inside
// IoCallDriver, answering from the input. No bus, no emulated camera, no
// virtual time passes: only the driver's reading of descriptors, its
// configuration and interface selection and the reader geometry it derives,
// so a run costs microseconds. ASan watches every read of the driver's
// buffers; the pool must be empty afterwards.
//
// Input: [flags] [faults] [first-read total: 2 bytes LE] [device descriptor:
//        18 bytes] [configuration set: the rest]
// flags bits 0-1: alternate setting to acquire; bit 2: the configuration
//   header read reports the given total instead of the set's own; bit 3:
//   acquire resources (builds the reader of the video pipe).
// faults: bit n fails request kind n (device descriptor, configuration
//   header, full configuration, select configuration, select interface,
//   vendor request); bit 6: descriptor reads report twice the bytes moved;
//   bit 7: they return half of what was asked.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <host/api/host.h>

#include "support/usb_fixture.h"

namespace {

constexpr size_t kHeader = 4 + 18;
constexpr ULONG kRecordHeader = sizeof(USBD_INTERFACE_INFORMATION) - sizeof(USBD_PIPE_INFORMATION);

enum Kind { kDeviceRead, kHeaderRead, kFullRead, kSelectConfiguration, kSelectInterface, kVendor };

struct Script {
  uint8_t faults = 0;
  uint16_t firstTotal = 0;
  bool overrideTotal = false;
  std::vector<uint8_t> device;
  std::vector<uint8_t> configuration;
  int configurationReads = 0;
};
Script g_script;

bool Fails(Kind kind) { return (g_script.faults >> kind) & 1; }

// The interface descriptor (number, alternate) of the set and its endpoint
// descriptors, walked by bLength as a bus walks its own copy.
bool FindInterface(uint8_t number, uint8_t alternate, const uint8_t** interface,
                   std::vector<const uint8_t*>* endpoints) {
  const std::vector<uint8_t>& set = g_script.configuration;
  *interface = nullptr;
  for (size_t pos = 0; pos + 2 <= set.size() && set[pos] >= 2 && set[pos] <= set.size() - pos; pos += set[pos]) {
    const uint8_t* d = &set[pos];
    if (d[1] == USB_INTERFACE_DESCRIPTOR_TYPE && d[0] >= 9) {
      if (*interface != nullptr) break;
      if (d[2] == number && d[3] == alternate) *interface = d;
    } else if (d[1] == USB_ENDPOINT_DESCRIPTOR_TYPE && d[0] >= 7 && *interface != nullptr) {
      endpoints->push_back(d);
    }
  }
  return *interface != nullptr;
}

// Fills one interface record as the bus does; false when the record cannot
// hold the interface's pipes or the interface does not exist.
bool FillRecord(PUSBD_INTERFACE_INFORMATION record, ULONG room) {
  const uint8_t* interface = nullptr;
  std::vector<const uint8_t*> endpoints;
  if (!FindInterface(record->InterfaceNumber, record->AlternateSetting, &interface, &endpoints)) return false;
  const ULONG pipes = interface[4];
  if (record->Length < kRecordHeader || record->Length > room ||
      (record->Length - kRecordHeader) / sizeof(USBD_PIPE_INFORMATION) < pipes || endpoints.size() < pipes)
    return false;
  record->Class = interface[5];
  record->SubClass = interface[6];
  record->Protocol = interface[7];
  record->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(uintptr_t(0x1000 + interface[2]));
  record->NumberOfPipes = pipes;
  for (ULONG i = 0; i < pipes; ++i) {
    const uint8_t* e = endpoints[i];
    const uint16_t maxPacket = uint16_t(e[4] | e[5] << 8);
    const uint8_t type = e[3] & 3;
    PUSBD_PIPE_INFORMATION pipe = &record->Pipes[i];
    pipe->EndpointAddress = e[2];
    pipe->Interval = e[6];
    pipe->PipeType = USBD_PIPE_TYPE(type);
    pipe->MaximumPacketSize = USHORT((maxPacket & 0x7FF) * (type == 1 || type == 3 ? 1 + ((maxPacket >> 11) & 3) : 1));
    pipe->PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(uintptr_t(0x2000 + (interface[2] << 8) + e[2]));
  }
  return true;
}

NTSTATUS Descriptor(struct _URB_CONTROL_DESCRIPTOR_REQUEST& r) {
  const std::vector<uint8_t>* source = &g_script.device;
  std::vector<uint8_t> header;
  Kind kind = kDeviceRead;
  if (r.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE) {
    kind = g_script.configurationReads++ == 0 ? kHeaderRead : kFullRead;
    source = &g_script.configuration;
    if (kind == kHeaderRead && g_script.overrideTotal && source->size() >= 4) {
      header = *source;
      header[2] = uint8_t(g_script.firstTotal);
      header[3] = uint8_t(g_script.firstTotal >> 8);
      source = &header;
    }
  } else if (r.DescriptorType != USB_DEVICE_DESCRIPTOR_TYPE) {
    return STATUS_INVALID_PARAMETER;
  }
  if (Fails(kind)) return STATUS_UNSUCCESSFUL;
  ULONG moved = ULONG(std::min<size_t>(r.TransferBufferLength, source->size()));
  if (g_script.faults & 0x80) moved /= 2;
  if (moved != 0) memcpy(r.TransferBuffer, source->data(), moved);
  r.TransferBufferLength = (g_script.faults & 0x40) ? 2 * moved : moved;
  return STATUS_SUCCESS;
}

NTSTATUS SelectConfiguration(struct _URB_SELECT_CONFIGURATION& s) {
  if (s.ConfigurationDescriptor == nullptr) return STATUS_SUCCESS;  // unconfigure
  if (Fails(kSelectConfiguration)) return STATUS_UNSUCCESSFUL;
  const ULONG length = s.Hdr.Length;
  ULONG offset = FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface);
  for (ULONG i = 0; i < s.ConfigurationDescriptor->bNumInterfaces; ++i) {
    if (offset + kRecordHeader > length) return STATUS_INVALID_PARAMETER;
    auto* record = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<uint8_t*>(&s) + offset);
    if (!FillRecord(record, length - offset)) return STATUS_INVALID_PARAMETER;
    offset += record->Length;
  }
  s.ConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(uintptr_t(0xC0));
  return STATUS_SUCCESS;
}

NTSTATUS SelectInterface(struct _URB_SELECT_INTERFACE& s) {
  if (Fails(kSelectInterface)) return STATUS_UNSUCCESSFUL;
  const ULONG offset = FIELD_OFFSET(struct _URB_SELECT_INTERFACE, Interface);
  if (s.Hdr.Length < offset + kRecordHeader) return STATUS_INVALID_PARAMETER;
  return FillRecord(&s.Interface, s.Hdr.Length - offset) ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

NTSTATUS Dispatch(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  auto* urb = static_cast<PURB>(location->Parameters.Others.Argument1);
  NTSTATUS status = STATUS_NOT_SUPPORTED;
  if (location->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB && urb != nullptr) {
    switch (urb->UrbHeader.Function) {
      case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        status = Descriptor(urb->UrbControlDescriptorRequest);
        break;
      case URB_FUNCTION_SELECT_CONFIGURATION:
        status = SelectConfiguration(urb->UrbSelectConfiguration);
        break;
      case URB_FUNCTION_SELECT_INTERFACE:
        status = SelectInterface(urb->UrbSelectInterface);
        break;
      case URB_FUNCTION_VENDOR_DEVICE:
        status = Fails(kVendor) ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
        break;
      default:
        status = STATUS_SUCCESS;  // pipe requests: nothing is queued
        break;
    }
    urb->UrbHeader.Status = NT_SUCCESS(status) ? USBD_STATUS_SUCCESS : USBD_STATUS_STALL_PID;
  }
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kHeader) return 0;
  host::Reset();
  g_script = Script{};
  g_script.faults = data[1];
  g_script.firstTotal = uint16_t(data[2] | data[3] << 8);
  g_script.overrideTotal = (data[0] & 4) != 0;
  g_script.device.assign(data + 4, data + kHeader);
  g_script.configuration.assign(data + kHeader, data + size);

  PDRIVER_OBJECT bus = host::io::CreateDriverObject("fakeusb");
  bus->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Dispatch;
  PDEVICE_OBJECT lower = host::io::CreateDevice(bus, 0, 1, "fakeusb0");
  PDRIVER_OBJECT driver = host::io::CreateDriverObject("ovrausb");
  PDEVICE_OBJECT fdo = host::io::CreateDevice(driver, 0, 2, "ovrausb0");  // work items are queued for it
  KSDEVICE device{};
  device.FunctionalDeviceObject = fdo;
  device.NextDeviceObject = lower;

  void* memory = AllocateZeroed(sizeof(ovratest::PlainHardware));
  if (memory != nullptr) {
    CUSBHardware* hw = new (memory, Placement::At) ovratest::PlainHardware(nullptr, &device);
    if (hw->m_Configured && (data[0] & 8)) hw->AcquireResources(data[0] & 3);
    hw->ReleaseResources();
    hw->~CUSBHardware();  // as the device's bag destroys a head
    ExFreePool(memory);
  }
  host::io::DeleteDevice(fdo);
  host::io::DeleteDriverObject(driver);
  host::io::DeleteDevice(lower);
  host::io::DeleteDriverObject(bus);

  if (host::pool::Outstanding() != 0) {
    fprintf(stderr, "pool blocks left behind:\n%s", host::pool::LeakReport().c_str());
    abort();
  }
  host::Reset();
  return 0;
}
