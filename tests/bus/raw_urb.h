// Raw URB traffic for bus and bridge tests: builds URBs the way a client
// driver fills them, sends each on an IRP of its own and records how and when
// it came back.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include <host/api/host.h>
#include <host/api/usbbus.h>
#include <host/usb.h>

namespace bustest {

// One IRP carrying one URB to the bus.
class Submission {
 public:
  Submission(PDEVICE_OBJECT pdo, PURB urb) : urb(urb) {
    irp = IoAllocateIrp(pdo->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp, &Submission::Done, this, TRUE, TRUE, TRUE);
    returned = IofCallDriver(pdo, irp);
  }
  ~Submission() {
    if (!done) {
      IoCancelIrp(irp);
      host::sched::RunUntil([this] { return done; }, host::sched::kSecond);
    }
    if (done) IoFreeIrp(irp);
  }
  Submission(const Submission&) = delete;
  Submission& operator=(const Submission&) = delete;

  bool Cancel() { return IoCancelIrp(irp) != FALSE; }
  // Runs virtual time until the request is back (at most `limit`).
  bool Wait(int64_t limit = 10 * host::sched::kSecond) {
    return host::sched::RunUntil([this] { return done; }, limit);
  }
  USBD_STATUS UrbStatus() const { return urb->UrbHeader.Status; }

  PIRP irp = nullptr;
  PURB urb = nullptr;
  NTSTATUS returned = 0;  // what IofCallDriver said
  bool done = false;
  NTSTATUS status = 0;  // IRP status at completion
  int64_t time = 0;     // virtual time of completion
  KIRQL irql = 0;       // IRQL of the completion
  int order = 0;        // completions before this one, over all submissions

  static int& Counter() {
    static int counter = 0;
    return counter;
  }

 private:
  static NTSTATUS Done(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* self = static_cast<Submission*>(context);
    self->done = true;
    self->status = irp->IoStatus.Status;
    self->time = host::sched::Now();
    self->irql = KeGetCurrentIrql();
    self->order = Counter()++;
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

// URB storage of any length, 16-byte aligned.
class UrbBuffer {
 public:
  explicit UrbBuffer(size_t bytes) : words_((bytes + 15) / 16 + 1), bytes_(bytes) {}
  PURB get() { return reinterpret_cast<PURB>(words_.data()); }
  PURB operator->() { return get(); }
  size_t size() const { return bytes_; }

 private:
  struct alignas(16) Word {
    uint8_t b[16];
  };
  std::vector<Word> words_;
  size_t bytes_;
};

inline void FillVendor(PURB urb, bool in, uint8_t request, uint16_t value, uint16_t index, void* buffer,
                       uint32_t length) {
  memset(urb, 0, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
  auto& v = urb->UrbControlVendorClassRequest;
  v.Hdr.Length = sizeof v;
  v.Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
  v.TransferFlags = in ? USBD_TRANSFER_DIRECTION_IN : 0;
  v.TransferBuffer = buffer;
  v.TransferBufferLength = length;
  v.Request = request;
  v.Value = value;
  v.Index = index;
}

inline void FillDescriptor(PURB urb, uint8_t type, void* buffer, uint32_t length) {
  memset(urb, 0, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
  auto& g = urb->UrbControlDescriptorRequest;
  g.Hdr.Length = sizeof g;
  g.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
  g.TransferBuffer = buffer;
  g.TransferBufferLength = length;
  g.DescriptorType = type;
}

inline void FillBulk(PURB urb, USBD_PIPE_HANDLE pipe, void* buffer, uint32_t length) {
  memset(urb, 0, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
  auto& b = urb->UrbBulkOrInterruptTransfer;
  b.Hdr.Length = sizeof b;
  b.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  b.PipeHandle = pipe;
  b.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
  b.TransferBuffer = buffer;
  b.TransferBufferLength = length;
}

inline void FillAbort(PURB urb, USBD_PIPE_HANDLE pipe) {
  memset(urb, 0, sizeof(URB));
  urb->UrbPipeRequest.Hdr.Length = sizeof(URB);
  urb->UrbPipeRequest.Hdr.Function = URB_FUNCTION_ABORT_PIPE;
  urb->UrbPipeRequest.PipeHandle = pipe;
}

// An isochronous IN transfer of `packets` packets of `packetSize` bytes each,
// with its own data buffer.
struct IsoTransfer {
  IsoTransfer(USBD_PIPE_HANDLE pipe, uint32_t packets, uint32_t packetSize)
      : urb(GET_ISO_URB_SIZE(packets)), data(size_t(packets) * packetSize, 0xEE) {
    memset(urb.get(), 0, urb.size());
    auto& t = urb->UrbIsochronousTransfer;
    t.Hdr.Length = USHORT(urb.size());
    t.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    t.PipeHandle = pipe;
    t.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP;
    t.TransferBuffer = data.data();
    t.TransferBufferLength = ULONG(data.size());
    t.NumberOfPackets = packets;
    PUSBD_ISO_PACKET_DESCRIPTOR iso = t.IsoPacket;
    for (uint32_t i = 0; i < packets; ++i) iso[i].Offset = i * packetSize;
  }
  USBD_ISO_PACKET_DESCRIPTOR& Packet(uint32_t i) {
    PUSBD_ISO_PACKET_DESCRIPTOR iso = urb->UrbIsochronousTransfer.IsoPacket;
    return iso[i];
  }
  UrbBuffer urb;
  std::vector<uint8_t> data;
};

// The pipes of a configuration or interface selection.
struct Pipes {
  USBD_CONFIGURATION_HANDLE configuration = nullptr;
  std::vector<USBD_PIPE_INFORMATION> pipes;  // in record order
  std::vector<std::vector<uint8_t>> records;  // each interface record's bytes
};

// Reads the configuration descriptor set through the bus.
inline std::vector<uint8_t> ReadConfigurationSet(PDEVICE_OBJECT pdo) {
  URB urb;
  std::vector<uint8_t> head(9);
  FillDescriptor(&urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, head.data(), 9);
  if (Call(pdo, &urb) != STATUS_SUCCESS) return {};
  std::vector<uint8_t> set(head[2] | head[3] << 8);
  FillDescriptor(&urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, set.data(), ULONG(set.size()));
  if (Call(pdo, &urb) != STATUS_SUCCESS) return {};
  set.resize(urb.UrbControlDescriptorRequest.TransferBufferLength);
  return set;
}

// Selects the configuration with alternate setting 0 of every interface,
// through the USBD library, as a client driver does. `status` gets the IRP's.
inline Pipes SelectConfiguration(PDEVICE_OBJECT pdo, NTSTATUS* status = nullptr) {
  Pipes out;
  std::vector<uint8_t> bytes = ReadConfigurationSet(pdo);
  if (status) *status = STATUS_UNSUCCESSFUL;
  if (bytes.size() < 9) return out;
  // In pool memory of the size received, as a driver keeps it: the library
  // bounds its walks by the block.
  struct PoolCopy {
    explicit PoolCopy(const std::vector<uint8_t>& b)
        : p(ExAllocatePoolWithTag(NonPagedPool, b.size(), host::pool::MakeTag("Test"))) {
      memcpy(p, b.data(), b.size());
    }
    ~PoolCopy() { ExFreePool(p); }
    PVOID p;
  } copy(bytes);
  auto* cfg = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(copy.p);
  std::vector<USBD_INTERFACE_LIST_ENTRY> list(cfg->bNumInterfaces + 1u);
  size_t found = 0;
  for (int n = 0; n < 256 && found < cfg->bNumInterfaces; ++n) {
    PUSB_INTERFACE_DESCRIPTOR d = USBD_ParseConfigurationDescriptorEx(cfg, cfg, n, 0, -1, -1, -1);
    if (d) list[found++].InterfaceDescriptor = d;
  }
  PURB urb = USBD_CreateConfigurationRequestEx(cfg, list.data());
  if (urb == nullptr) return out;
  const NTSTATUS s = Call(pdo, urb);
  if (status) *status = s;
  if (s == STATUS_SUCCESS) {
    out.configuration = urb->UrbSelectConfiguration.ConfigurationHandle;
    for (size_t i = 0; i < found; ++i) {
      PUSBD_INTERFACE_INFORMATION info = list[i].Interface;
      auto* bytes = reinterpret_cast<uint8_t*>(info);
      out.records.emplace_back(bytes, bytes + info->Length);
      PUSBD_PIPE_INFORMATION pipes = info->Pipes;
      for (ULONG p = 0; p < info->NumberOfPipes; ++p) out.pipes.push_back(pipes[p]);
    }
  }
  ExFreePool(urb);
  return out;
}

// Selects an alternate setting; the URB has room for `room` pipes.
inline Pipes SelectInterface(PDEVICE_OBJECT pdo, USBD_CONFIGURATION_HANDLE configuration, uint8_t number,
                             uint8_t alternate, uint32_t room, NTSTATUS* status = nullptr) {
  Pipes out;
  UrbBuffer urb(GET_SELECT_INTERFACE_REQUEST_SIZE(room));
  memset(urb.get(), 0, urb.size());
  auto& si = urb->UrbSelectInterface;
  si.Hdr.Length = USHORT(urb.size());
  si.Hdr.Function = URB_FUNCTION_SELECT_INTERFACE;
  si.ConfigurationHandle = configuration;
  si.Interface.Length = USHORT(GET_USBD_INTERFACE_SIZE(room));
  si.Interface.InterfaceNumber = number;
  si.Interface.AlternateSetting = alternate;
  const NTSTATUS s = Call(pdo, urb.get());
  if (status) *status = s;
  if (s == STATUS_SUCCESS) {
    out.configuration = configuration;
    auto* bytes = reinterpret_cast<uint8_t*>(&si.Interface);
    out.records.emplace_back(bytes, bytes + si.Interface.Length);
    PUSBD_PIPE_INFORMATION pipes = si.Interface.Pipes;
    for (ULONG p = 0; p < si.Interface.NumberOfPipes; ++p) out.pipes.push_back(pipes[p]);
  }
  return out;
}

}  // namespace bustest
