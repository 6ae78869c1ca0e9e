// URBs filled the way a client driver fills them, each sent to the bus on an IRP of its own that records how and
// when it came back.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include <host/api/host.h>
#include <host/api/usbbus.h>
#include <host/usb.h>

namespace host::usb {
inline bool operator==(const Setup& a, const Setup& b) { return memcmp(&a, &b, sizeof a) == 0; }
}  // namespace host::usb

namespace bustest {

using host::usb::kMicroframe;

// One IRP carrying one URB to the bus; cancelled and waited for at scope end.
class Submission {
 public:
  Submission(PDEVICE_OBJECT pdo, PURB urb) : urb(urb), irp(IoAllocateIrp(pdo->StackSize, FALSE)) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp, &Submission::Done, this, TRUE, TRUE, TRUE);
    returned = IofCallDriver(pdo, irp);
  }
  ~Submission() {
    if (!done) Cancel(), Wait(host::sched::kSecond);
    if (done) IoFreeIrp(irp);
  }
  bool Cancel() { return IoCancelIrp(irp) != FALSE; }
  bool Wait(int64_t limit = 10 * host::sched::kSecond) {
    return host::sched::RunUntil([this] { return done; }, limit);
  }
  USBD_STATUS UrbStatus() const { return urb->UrbHeader.Status; }

  PURB urb;
  PIRP irp;
  NTSTATUS returned = 0;  // what IofCallDriver said; then at completion:
  bool done = false;
  NTSTATUS status = 0;  // the IRP's status,
  int64_t time = 0;     // the virtual time,
  KIRQL irql = 0;       // the IRQL,
  int order = 0;        // completions (of all submissions) before this one

 private:
  static NTSTATUS Done(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    static int completions = 0;
    auto* self = static_cast<Submission*>(context);
    self->done = true;
    self->status = irp->IoStatus.Status;
    self->time = host::sched::Now();
    self->irql = KeGetCurrentIrql();
    self->order = completions++;
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
};

inline std::unique_ptr<Submission> Submit(PDEVICE_OBJECT pdo, PURB urb) {
  return std::make_unique<Submission>(pdo, urb);
}

// Submits and waits; returns the IRP status.
inline NTSTATUS Call(PDEVICE_OBJECT pdo, PURB urb) {
  Submission s(pdo, urb);
  s.Wait();
  return s.status;
}

// A zeroed URB with its header.
inline URB Urb(size_t length, USHORT function) {
  URB urb;
  memset(&urb, 0, sizeof urb);
  urb.UrbHeader.Length = USHORT(length);
  urb.UrbHeader.Function = function;
  return urb;
}

inline URB Vendor(bool in, uint8_t request, uint16_t value = 0, void* buffer = nullptr, uint32_t length = 0) {
  URB urb = Urb(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), URB_FUNCTION_VENDOR_DEVICE);
  auto& v = urb.UrbControlVendorClassRequest;
  v.TransferFlags = in ? USBD_TRANSFER_DIRECTION_IN : 0;
  v.TransferBuffer = buffer;
  v.TransferBufferLength = length;
  v.Request = request;
  v.Value = value;
  return urb;
}

inline URB Descriptor(uint8_t type, void* buffer, uint32_t length) {
  URB urb = Urb(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
  urb.UrbControlDescriptorRequest.TransferBuffer = buffer;
  urb.UrbControlDescriptorRequest.TransferBufferLength = length;
  urb.UrbControlDescriptorRequest.DescriptorType = type;
  return urb;
}

inline URB Bulk(USBD_PIPE_HANDLE pipe, void* buffer, uint32_t length) {
  URB urb = Urb(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
  auto& b = urb.UrbBulkOrInterruptTransfer;
  b.PipeHandle = pipe;
  b.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
  b.TransferBuffer = buffer;
  b.TransferBufferLength = length;
  return urb;
}

inline URB Abort(USBD_PIPE_HANDLE pipe, USHORT function = URB_FUNCTION_ABORT_PIPE) {
  URB urb = Urb(sizeof(struct _URB_PIPE_REQUEST), function);
  urb.UrbPipeRequest.PipeHandle = pipe;
  return urb;
}

// Zeroed storage for a URB of `bytes`.
inline std::vector<URB> UrbStorage(size_t bytes) { return std::vector<URB>(bytes / sizeof(URB) + 1); }

// Fills an isochronous IN transfer, as soon as possible, of `packets` packets of `packetSize` bytes.
inline _URB_ISOCH_TRANSFER& FillIso(PURB urb, USBD_PIPE_HANDLE pipe, void* buffer, ULONG packets, ULONG packetSize) {
  *urb = Urb(GET_ISO_URB_SIZE(packets), URB_FUNCTION_ISOCH_TRANSFER);
  auto& t = urb->UrbIsochronousTransfer;
  t.PipeHandle = pipe;
  t.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP;
  t.TransferBuffer = buffer;
  t.TransferBufferLength = packets * packetSize;
  t.NumberOfPackets = packets;
  PUSBD_ISO_PACKET_DESCRIPTOR iso = t.IsoPacket;
  for (ULONG i = 0; i < packets; ++i) iso[i] = {i * packetSize, 0, 0};
  return t;
}

// An isochronous transfer with its own data buffer.
struct IsoTransfer {
  IsoTransfer(USBD_PIPE_HANDLE pipe, uint32_t packets, uint32_t packetSize)
      : storage(UrbStorage(GET_ISO_URB_SIZE(packets))), urb(storage.data()), data(size_t(packets) * packetSize, 0xEE) {
    FillIso(urb, pipe, data.data(), packets, packetSize);
  }
  IsoTransfer(const IsoTransfer&) = delete;
  USBD_ISO_PACKET_DESCRIPTOR& Packet(uint32_t i) {
    PUSBD_ISO_PACKET_DESCRIPTOR iso = urb->UrbIsochronousTransfer.IsoPacket;
    return iso[i];
  }
  std::vector<URB> storage;
  PURB urb;
  std::vector<uint8_t> data;
};

// The interface records and all pipes of a configuration or interface selection, in record order.
struct Pipes {
  USBD_CONFIGURATION_HANDLE configuration = nullptr;
  std::vector<USBD_INTERFACE_INFORMATION> interfaces;
  std::vector<USBD_PIPE_INFORMATION> pipes;
  USBD_PIPE_HANDLE operator[](size_t i) const { return pipes.at(i).PipeHandle; }
  void Add(const USBD_INTERFACE_INFORMATION& info) {
    interfaces.push_back(info);
    const USBD_PIPE_INFORMATION* records = info.Pipes;
    pipes.insert(pipes.end(), records, records + info.NumberOfPipes);
  }
};

// Reads the configuration set into a zeroed pool block that holds what was received and what wTotalLength claims
// (the USBD library trusts wTotalLength), and selects alternate setting 0 of every interface through the library,
// as a client driver does (status: STATUS_UNSUCCESSFUL without a request).
inline Pipes SelectConfiguration(PDEVICE_OBJECT pdo, NTSTATUS* status = nullptr) {
  Pipes out;
  if (status) *status = STATUS_UNSUCCESSFUL;
  std::vector<uint8_t> bytes(1024);
  URB read = Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, bytes.data(), ULONG(bytes.size()));
  const ULONG received = Call(pdo, &read) == STATUS_SUCCESS ? read.UrbControlDescriptorRequest.TransferBufferLength : 0;
  if (received < 9) return out;
  const size_t size = std::max<size_t>(received, size_t(bytes[2] | bytes[3] << 8));
  auto* cfg =
      static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(ExAllocatePoolWithTag(NonPagedPool, size, host::pool::MakeTag("Test")));
  memset(cfg, 0, size);
  memcpy(cfg, bytes.data(), received);
  std::vector<USBD_INTERFACE_LIST_ENTRY> list(cfg->bNumInterfaces + 1u);
  size_t found = 0;
  for (int n = 0; n < 256 && found < cfg->bNumInterfaces; ++n)
    if (auto* d = USBD_ParseConfigurationDescriptorEx(cfg, cfg, n, 0, -1, -1, -1))
      list[found++].InterfaceDescriptor = d;
  if (PURB urb = USBD_CreateConfigurationRequestEx(cfg, list.data())) {
    const NTSTATUS s = Call(pdo, urb);
    if (status) *status = s;
    out.configuration = urb->UrbSelectConfiguration.ConfigurationHandle;
    for (size_t i = 0; s == STATUS_SUCCESS && i < found; ++i) out.Add(*list[i].Interface);
    ExFreePool(urb);
  }
  ExFreePool(cfg);
  return out;
}

// Selects an alternate setting; the URB has room for `room` pipes.
inline Pipes SelectInterface(PDEVICE_OBJECT pdo, USBD_CONFIGURATION_HANDLE configuration, uint8_t number,
                             uint8_t alternate, uint32_t room = 2, NTSTATUS* status = nullptr) {
  Pipes out;
  std::vector<URB> urb = UrbStorage(GET_SELECT_INTERFACE_REQUEST_SIZE(room));
  urb[0] = Urb(GET_SELECT_INTERFACE_REQUEST_SIZE(room), URB_FUNCTION_SELECT_INTERFACE);
  auto& si = urb[0].UrbSelectInterface;
  si.ConfigurationHandle = configuration;
  si.Interface.Length = USHORT(GET_USBD_INTERFACE_SIZE(room));
  si.Interface.InterfaceNumber = number;
  si.Interface.AlternateSetting = alternate;
  const NTSTATUS s = Call(pdo, urb.data());
  if (status) *status = s;
  if (s == STATUS_SUCCESS) out.Add(si.Interface);
  return out;
}

// Configures the device and selects an alternate setting of interface 0.
inline Pipes Streaming(PDEVICE_OBJECT pdo, uint8_t alternate, NTSTATUS* status = nullptr) {
  const Pipes config = SelectConfiguration(pdo, status);
  return config.configuration ? SelectInterface(pdo, config.configuration, 0, alternate, 2, status) : config;
}

}  // namespace bustest
