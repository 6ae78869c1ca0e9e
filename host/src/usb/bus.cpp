// The emulated USB bus: a physical device object per plugged device that
// takes IOCTL_INTERNAL_USB_SUBMIT_URB and plays each request against the
// device's model in virtual time.
//
// Requests pend and complete in scheduler events at DISPATCH_LEVEL. Control
// transfers (descriptor reads, configuration and interface selection, vendor
// requests) go one at a time through the default pipe, in submission order.
// Each bulk or interrupt IN pipe plays its head transfer against the model
// and completes its transfers in order. An isochronous IN pipe gives each
// transfer a run of microframes, one packet per microframe, back to back in
// queue order; a transfer completes at the end of its last microframe.
//
// Being a test instrument, the bus validates URBs the way a careful USB stack
// does, and where a real stack would read or write outside the caller's
// memory it raises a host violation and fails the request instead.
//
// Endpoint halt: a transfer the device answers with a stall halts its pipe;
// the transfers queued behind it fail with USBD_STATUS_STALL_PID, and so does
// every later one, at once, until a reset-pipe request (which needs an idle
// pipe) clears the halt. The device side of the halt is cleared with a
// CLEAR_FEATURE(ENDPOINT_HALT) control transfer.
#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <host/api/usbbus.h>

#include "../internal.h"
#include "descriptors.h"

namespace host::usb {
namespace {

constexpr uint8_t kGetDescriptor = 6;
constexpr uint8_t kSetConfiguration = 9;
constexpr uint8_t kSetInterface = 11;
constexpr uint8_t kClearFeature = 1;
constexpr uint16_t kEndpointHalt = 0;
// Every device on this bus runs at high speed: isochronous URBs carry whole
// frames of 8 microframes.
constexpr ULONG kIsoPacketMultiple = 8;
constexpr ULONG kMaxIsoPackets = 1024;
constexpr int64_t kAbortLatency = kMicroframe;

enum class Kind { Descriptor, Vendor, SelectConfiguration, SelectInterface, Bulk, Isoch, Abort, ResetPipe };

struct StagedInterface {
  size_t recordOffset = 0;  // of the interface record inside the URB
  USB_INTERFACE_DESCRIPTOR descriptor{};
  std::vector<USB_ENDPOINT_DESCRIPTOR> endpoints;
};

struct Request {
  PIRP irp = nullptr;
  PURB urb = nullptr;
  Kind kind = Kind::Vendor;
  sched::EventId event = 0;
  bool finishing = false;  // taken out of every queue, completion scheduled
  // Control transfers.
  Setup setup{};
  PVOID buffer = nullptr;     // caller's data-stage buffer
  std::vector<uint8_t> data;  // the data stage as the device sees it
  ControlReply reply{};
  // Configuration and interface selection.
  bool unconfigure = false;
  uint8_t configurationValue = 0;
  std::vector<uint8_t> configSet;
  std::vector<StagedInterface> staged;
  // Pipe transfers and pipe requests.
  uintptr_t pipe = 0;
  bool resetHost = false;    // reset pipe: clears the pipe's halt
  bool clearDevice = false;  // reset pipe: CLEAR_FEATURE(ENDPOINT_HALT) to the device
  uint32_t capacity = 0;  // bulk
  BulkReply bulk{};
  uint64_t startMicroframe = 0;  // isochronous
  std::vector<uint32_t> offsets;
  std::vector<uint32_t> capacities;
};

struct Pipe {
  uintptr_t handle = 0;
  uint8_t interfaceNumber = 0;
  USB_ENDPOINT_DESCRIPTOR endpoint{};
  uint32_t maxPacket = 0;  // bytes per microframe
  uint8_t type = 0;
  std::deque<Request*> queue;
  uint64_t nextMicroframe = 0;  // isochronous: first microframe not yet given to a transfer
  bool headBusy = false;        // bulk: the head transfer is being played
  bool halted = false;          // a transfer stalled; cleared by a reset-pipe request
  sched::EventId kick = 0;
};

struct Finish {
  Request* request;
  NTSTATUS status;
  USBD_STATUS usbd;
};

struct Device {
  uint64_t serial = 0;
  PDEVICE_OBJECT pdo = nullptr;
  PDRIVER_OBJECT driver = nullptr;
  std::shared_ptr<DeviceModel> model;
  bool plugged = true;
  bool removed = false;  // IRP_MN_REMOVE_DEVICE came down: every request is refused
  BusStats stats;
  std::set<Request*> live;  // every request the bus holds; owned
  std::deque<Request*> control;
  bool controlActive = false;  // the head of `control` is with the device
  sched::EventId controlKick = 0;
  std::vector<Request*> aborts;
  std::map<uintptr_t, Pipe> pipes;
  std::vector<uint8_t> configSet;  // the device's descriptor set of the selected configuration
  uint8_t configuration = 0;
  uintptr_t configHandle = 0;
  std::map<uint8_t, uint8_t> alternate;
  std::map<uint8_t, uintptr_t> interfaceHandles;
  std::vector<Finish> finishing;
  sched::EventId finishEvent = 0;

  ~Device() {
    for (Request* r : live) delete r;
  }
};

std::map<PDEVICE_OBJECT, std::unique_ptr<Device>>& Devices() {
  static auto* devices = new std::map<PDEVICE_OBJECT, std::unique_ptr<Device>>;
  return *devices;
}
uint64_t g_serial = 0;
uintptr_t g_handles = 0;

uintptr_t NewHandle() { return uintptr_t(0x00007A0000000000ull) + (++g_handles << 4); }

Device* Find(PDEVICE_OBJECT pdo) {
  auto it = Devices().find(pdo);
  return it == Devices().end() ? nullptr : it->second.get();
}

Device* BySerial(uint64_t serial) {
  for (auto& [pdo, d] : Devices())
    if (d->serial == serial) return d.get();
  return nullptr;
}

Pipe* FindPipe(Device* d, uintptr_t handle) {
  auto it = d->pipes.find(handle);
  return it == d->pipes.end() ? nullptr : &it->second;
}

// A request still waiting in its queue (not cancelled, completed or swept
// away by an unplug).
bool Queued(Device* d, Request* r) { return d->plugged && d->live.count(r) != 0 && !r->finishing; }

sched::EventId ScheduleDevice(Device* d, int64_t when, std::function<void(Device*)> fn, const char* what) {
  const uint64_t serial = d->serial;
  return sched::At(
      std::max(when, sched::Now()),
      [serial, fn = std::move(fn)] {
        if (Device* dev = BySerial(serial)) fn(dev);
      },
      DISPATCH_LEVEL, what);
}

sched::EventId ScheduleRequest(Device* d, Request* r, int64_t when, void (*fn)(Device*, Request*), const char* what) {
  return ScheduleDevice(
      d, when,
      [r, fn](Device* dev) {
        if (dev->live.count(r) == 0 || r->finishing) return;
        r->event = 0;
        fn(dev, r);
      },
      what);
}

// Completes a request the bus holds: URB and IRP status, then the IRP goes
// back up the stack. The request is gone afterwards.
void Complete(Device* d, Request* r, NTSTATUS status, USBD_STATUS usbd) {
  if (r->event != 0) sched::Cancel(r->event);
  IoSetCancelRoutine(r->irp, nullptr);
  PIRP irp = r->irp;
  r->urb->UrbHeader.Status = usbd;
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  d->live.erase(r);
  delete r;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// Completion of a request the bus never queued (refused at submission).
NTSTATUS CompleteAtOnce(PIRP irp, PURB urb, NTSTATUS status, USBD_STATUS usbd) {
  if (urb != nullptr) urb->UrbHeader.Status = usbd;
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

void FlushFinishing(Device* d) {
  while (!d->finishing.empty()) {
    const Finish f = d->finishing.front();
    d->finishing.erase(d->finishing.begin());
    Complete(d, f.request, f.status, f.usbd);
  }
}

// Takes a request out of service and completes it in an event at the current
// time (used by cancel and unplug, which run in their callers' context).
void QueueFinish(Device* d, Request* r, NTSTATUS status, USBD_STATUS usbd) {
  if (r->event != 0) {
    sched::Cancel(r->event);
    r->event = 0;
  }
  IoSetCancelRoutine(r->irp, nullptr);
  r->finishing = true;
  d->finishing.push_back({r, status, usbd});
  if (d->finishEvent == 0)
    d->finishEvent = ScheduleDevice(
        d, sched::Now(),
        [](Device* dev) {
          dev->finishEvent = 0;
          FlushFinishing(dev);
        },
        "usb: completion");
}

void StartControl(Device* d);
void PlayBulkHead(Device* d, uintptr_t handle);
void FinishReset(Device* d, Request* r);

void KickControl(Device* d) {
  if (d->controlActive || d->control.empty() || d->controlKick != 0) return;
  d->controlKick = ScheduleDevice(
      d, sched::Now(),
      [](Device* dev) {
        dev->controlKick = 0;
        StartControl(dev);
      },
      "usb: control");
}

void KickBulk(Device* d, Pipe* p) {
  if (p->headBusy || p->queue.empty() || p->kick != 0) return;
  const uintptr_t handle = p->handle;
  p->kick = ScheduleDevice(
      d, sched::Now(),
      [handle](Device* dev) {
        Pipe* pipe = FindPipe(dev, handle);
        if (pipe == nullptr) return;
        pipe->kick = 0;
        if (!pipe->headBusy) PlayBulkHead(dev, handle);
      },
      "usb: bulk");
}

// Takes a request out of whatever queue holds it and restarts that queue.
void Detach(Device* d, Request* r) {
  if (r->event != 0) {
    sched::Cancel(r->event);
    r->event = 0;
  }
  switch (r->kind) {
    case Kind::ResetPipe:
      if (!r->clearDevice) {
        d->aborts.erase(std::remove(d->aborts.begin(), d->aborts.end(), r), d->aborts.end());
        break;
      }
      [[fallthrough]];
    case Kind::Descriptor:
    case Kind::Vendor:
    case Kind::SelectConfiguration:
    case Kind::SelectInterface: {
      auto it = std::find(d->control.begin(), d->control.end(), r);
      if (it == d->control.end()) break;
      const bool active = it == d->control.begin() && d->controlActive;
      d->control.erase(it);
      if (active) d->controlActive = false;
      KickControl(d);
      break;
    }
    case Kind::Abort:
      d->aborts.erase(std::remove(d->aborts.begin(), d->aborts.end(), r), d->aborts.end());
      break;
    case Kind::Bulk:
    case Kind::Isoch: {
      Pipe* p = FindPipe(d, r->pipe);
      if (p == nullptr) break;
      auto it = std::find(p->queue.begin(), p->queue.end(), r);
      if (it == p->queue.end()) break;
      const bool head = it == p->queue.begin();
      p->queue.erase(it);
      if (r->kind == Kind::Bulk && head) {
        p->headBusy = false;
        KickBulk(d, p);
      }
      if (r->kind == Kind::Isoch && p->queue.empty()) p->nextMicroframe = 0;
      break;
    }
  }
}

void CancelRoutine(PDEVICE_OBJECT device, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  auto* r = static_cast<Request*>(irp->Tail.Overlay.DriverContext[0]);
  Device* d = Find(device);
  if (d == nullptr || d->live.count(r) == 0) {
    d = nullptr;
    for (auto& [pdo, dev] : Devices())
      if (dev->live.count(r) != 0) d = dev.get();
  }
  if (d == nullptr || r->finishing) return;
  // A control transfer already past the point of no return completes anyway.
  if (r->reply.completesAnyway && !d->control.empty() && d->control.front() == r && d->controlActive) return;
  Detach(d, r);
  d->stats.cancelled++;
  QueueFinish(d, r, STATUS_CANCELLED, USBD_STATUS_CANCELED);
}

// Completes, in the current event, every transfer pending on the pipes that
// `which` selects, and forgets those pipes.
void ClosePipes(Device* d, const std::function<bool(const Pipe&)>& which, bool countAsAborted) {
  std::vector<Request*> victims;
  for (auto it = d->pipes.begin(); it != d->pipes.end();) {
    if (!which(it->second)) {
      ++it;
      continue;
    }
    for (Request* r : it->second.queue) victims.push_back(r);
    if (it->second.kick != 0) sched::Cancel(it->second.kick);
    it = d->pipes.erase(it);
  }
  for (Request* r : victims) {
    if (countAsAborted) d->stats.aborted++;
    Complete(d, r, STATUS_CANCELLED, USBD_STATUS_CANCELED);
  }
}

// ---------------------------------------------------------------------------
// Control transfers.

ControlReply AskModel(Device* d, const Setup& setup, uint8_t* data) { return d->model->Control(setup, data); }

// The head control request failed before reaching the device's reply.
void FailControl(Device* d, Request* r, NTSTATUS status, USBD_STATUS usbd) {
  if (!d->control.empty() && d->control.front() == r) {
    d->control.pop_front();
    d->controlActive = false;
  }
  Complete(d, r, status, usbd);
  StartControl(d);
}

// The head request is still with the device after a model call (an unplug
// from inside the model sweeps it away).
bool StillActive(Device* d, Request* r) {
  return Queued(d, r) && d->controlActive && !d->control.empty() && d->control.front() == r;
}

void FinishTransfer(Device* d, Request* r) {
  d->control.pop_front();
  d->controlActive = false;
  auto& c = r->urb->UrbControlVendorClassRequest;  // same layout for the fields used here
  NTSTATUS status = STATUS_SUCCESS;
  if (USBD_SUCCESS(r->reply.status)) {
    uint32_t moved = r->setup.wLength;
    if (r->setup.bmRequestType & 0x80) {
      moved = std::min<uint32_t>(r->reply.length, r->setup.wLength);
      if (moved != 0) memcpy(r->buffer, r->data.data(), moved);
    }
    c.TransferBufferLength = moved;
  } else {
    c.TransferBufferLength = 0;
    status = STATUS_UNSUCCESSFUL;
  }
  Complete(d, r, status, r->reply.status);
  StartControl(d);
}

void RunTransfer(Device* d, Request* r) {
  r->data.assign(std::max<size_t>(r->setup.wLength, 1), 0);
  if (!(r->setup.bmRequestType & 0x80) && r->setup.wLength != 0) memcpy(r->data.data(), r->buffer, r->setup.wLength);
  const ControlReply reply = AskModel(d, r->setup, r->data.data());
  if (!StillActive(d, r)) return;
  r->reply = reply;
  if (reply.never) return;  // only a cancel or an unplug ends it
  r->event = ScheduleRequest(d, r, sched::Now() + std::max<int64_t>(reply.latency, 0),
                             r->kind == Kind::ResetPipe ? FinishReset : FinishTransfer, "usb: control done");
}

USBD_STATUS StageInterface(const std::vector<uint8_t>& set, uint8_t number, uint8_t alternate, size_t recordLength,
                           size_t recordOffset, StagedInterface* staged) {
  const long at = desc::FindInterface(set.data(), set.size(), 0, number, alternate, -1, -1, -1);
  if (at < 0) return USBD_STATUS_INVALID_PARAMETER;
  memcpy(&staged->descriptor, set.data() + at, sizeof staged->descriptor);
  const size_t pipes = staged->descriptor.bNumEndpoints;
  if (recordLength < GET_USBD_INTERFACE_SIZE(pipes)) return USBD_STATUS_BUFFER_TOO_SMALL;
  if (!desc::InterfaceEndpoints(set.data(), set.size(), size_t(at), pipes, &staged->endpoints))
    return USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR;
  staged->recordOffset = recordOffset;
  return USBD_STATUS_SUCCESS;
}

// Matches the URB's interface records against the device's descriptor set.
USBD_STATUS StageConfiguration(Request* r) {
  auto& sc = r->urb->UrbSelectConfiguration;
  const auto* cfg = sc.ConfigurationDescriptor;
  const size_t block = internal::PoolBlockSize(cfg);
  if (block != 0 && block < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
    Violation("select-configuration URB: the configuration descriptor at %p is a %zu-byte block", (void*)cfg, block);
    return USBD_STATUS_INVALID_PARAMETER;
  }
  const std::vector<uint8_t>& set = r->configSet;
  if (cfg->bNumInterfaces == 0) return USBD_STATUS_INVALID_PARAMETER;
  if (cfg->bConfigurationValue != set[5]) return USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR;
  r->configurationValue = set[5];

  const size_t length = r->urb->UrbHeader.Length;
  size_t pos = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
  std::set<uint8_t> numbers;
  for (unsigned i = 0; i < cfg->bNumInterfaces; ++i) {
    if (length < pos || length - pos < GET_USBD_INTERFACE_SIZE(0)) return USBD_STATUS_INVALID_PARAMETER;
    const auto* info = reinterpret_cast<const USBD_INTERFACE_INFORMATION*>(reinterpret_cast<uint8_t*>(r->urb) + pos);
    if (info->Length < GET_USBD_INTERFACE_SIZE(0) || info->Length > length - pos) return USBD_STATUS_INVALID_PARAMETER;
    if (!numbers.insert(info->InterfaceNumber).second) return USBD_STATUS_INVALID_PARAMETER;
    StagedInterface staged;
    const USBD_STATUS s = StageInterface(set, info->InterfaceNumber, info->AlternateSetting, info->Length, pos, &staged);
    if (s == USBD_STATUS_INVALID_PARAMETER) return USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR;  // not in the device
    if (!USBD_SUCCESS(s)) return s;
    r->staged.push_back(std::move(staged));
    pos += info->Length;
  }
  if (pos != length) return USBD_STATUS_INVALID_PARAMETER;  // Hdr.Length covers exactly the records
  return USBD_STATUS_SUCCESS;
}

// Reads the device's configuration descriptor set the way a hub driver
// does: the 9-byte header, then wTotalLength bytes. False when the request
// is no longer with the device (hang, unplug) or has been failed.
bool ReadConfigurationSet(Device* d, Request* r) {
  uint8_t head[sizeof(USB_CONFIGURATION_DESCRIPTOR)] = {};
  ControlReply reply =
      AskModel(d, Setup{0x80, kGetDescriptor, USB_CONFIGURATION_DESCRIPTOR_TYPE << 8, 0, sizeof head}, head);
  if (!StillActive(d, r) || reply.never) return false;
  if (!USBD_SUCCESS(reply.status) || reply.length < sizeof head || head[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE) {
    FailControl(d, r, STATUS_UNSUCCESSFUL,
                USBD_SUCCESS(reply.status) ? USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR : reply.status);
    return false;
  }
  const uint16_t total = uint16_t(head[2] | head[3] << 8);
  if (total < sizeof head) {
    FailControl(d, r, STATUS_UNSUCCESSFUL, USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR);
    return false;
  }
  std::vector<uint8_t> set(total, 0);
  reply = AskModel(d, Setup{0x80, kGetDescriptor, USB_CONFIGURATION_DESCRIPTOR_TYPE << 8, 0, total}, set.data());
  if (!StillActive(d, r) || reply.never) return false;
  if (!USBD_SUCCESS(reply.status) || reply.length < sizeof head) {
    FailControl(d, r, STATUS_UNSUCCESSFUL,
                USBD_SUCCESS(reply.status) ? USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR : reply.status);
    return false;
  }
  set.resize(std::min<size_t>(reply.length, total));
  r->configSet = std::move(set);
  return true;
}

void FinishSelect(Device* d, Request* r);

// A request the device's own descriptors cannot satisfy fails like a device
// error; a malformed URB as an invalid parameter.
NTSTATUS RefusalStatus(USBD_STATUS s) {
  return s == USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR ? STATUS_UNSUCCESSFUL : STATUS_INVALID_PARAMETER;
}

void RunSelectConfiguration(Device* d, Request* r) {
  auto& sc = r->urb->UrbSelectConfiguration;
  if (sc.ConfigurationDescriptor == nullptr) {
    r->unconfigure = true;
    r->setup = Setup{0x00, kSetConfiguration, 0, 0, 0};
  } else {
    if (!ReadConfigurationSet(d, r)) return;
    const USBD_STATUS staged = StageConfiguration(r);
    if (!USBD_SUCCESS(staged)) {
      FailControl(d, r, RefusalStatus(staged), staged);
      return;
    }
    r->setup = Setup{0x00, kSetConfiguration, r->configurationValue, 0, 0};
  }
  uint8_t none = 0;
  const ControlReply reply = AskModel(d, r->setup, &none);
  if (!StillActive(d, r)) return;
  r->reply = reply;
  if (reply.never) return;
  r->event = ScheduleRequest(d, r, sched::Now() + std::max<int64_t>(reply.latency, 0), FinishSelect,
                             "usb: select configuration done");
}

void RunSelectInterface(Device* d, Request* r) {
  auto& si = r->urb->UrbSelectInterface;
  if (d->configuration == 0 || reinterpret_cast<uintptr_t>(si.ConfigurationHandle) != d->configHandle) {
    FailControl(d, r, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
    return;
  }
  StagedInterface staged;
  const USBD_STATUS s = StageInterface(d->configSet, si.Interface.InterfaceNumber, si.Interface.AlternateSetting,
                                       si.Interface.Length, offsetof(struct _URB_SELECT_INTERFACE, Interface), &staged);
  if (!USBD_SUCCESS(s)) {
    FailControl(d, r, RefusalStatus(s), s);
    return;
  }
  r->staged.push_back(std::move(staged));
  r->setup = Setup{0x01, kSetInterface, si.Interface.AlternateSetting, si.Interface.InterfaceNumber, 0};
  uint8_t none = 0;
  const ControlReply reply = AskModel(d, r->setup, &none);
  if (!StillActive(d, r)) return;
  r->reply = reply;
  if (reply.never) return;
  r->event = ScheduleRequest(d, r, sched::Now() + std::max<int64_t>(reply.latency, 0), FinishSelect,
                             "usb: select interface done");
}

// Fills one interface record and opens its pipes.
void OpenInterface(Device* d, PURB urb, const StagedInterface& s) {
  auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<uint8_t*>(urb) + s.recordOffset);
  const uint8_t number = s.descriptor.bInterfaceNumber;
  uintptr_t& interfaceHandle = d->interfaceHandles[number];
  if (interfaceHandle == 0) interfaceHandle = NewHandle();
  info->InterfaceNumber = number;
  info->AlternateSetting = s.descriptor.bAlternateSetting;
  info->Class = s.descriptor.bInterfaceClass;
  info->SubClass = s.descriptor.bInterfaceSubClass;
  info->Protocol = s.descriptor.bInterfaceProtocol;
  info->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(interfaceHandle);
  info->NumberOfPipes = ULONG(s.endpoints.size());
  PUSBD_PIPE_INFORMATION pipes = info->Pipes;
  for (size_t i = 0; i < s.endpoints.size(); ++i) {
    const USB_ENDPOINT_DESCRIPTOR& e = s.endpoints[i];
    Pipe p;
    p.handle = NewHandle();
    p.interfaceNumber = number;
    p.endpoint = e;
    p.maxPacket = desc::PayloadPerInterval(e);
    p.type = e.bmAttributes & USB_ENDPOINT_TYPE_MASK;
    pipes[i].MaximumPacketSize = USHORT(p.maxPacket);
    pipes[i].EndpointAddress = e.bEndpointAddress;
    pipes[i].Interval = e.bInterval;
    pipes[i].PipeType = USBD_PIPE_TYPE(p.type);
    pipes[i].PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(p.handle);
    d->pipes.emplace(p.handle, std::move(p));
  }
  d->alternate[number] = s.descriptor.bAlternateSetting;
}

void FinishSelect(Device* d, Request* r) {
  d->control.pop_front();
  d->controlActive = false;
  if (!USBD_SUCCESS(r->reply.status)) {
    Complete(d, r, STATUS_UNSUCCESSFUL, r->reply.status);
    StartControl(d);
    return;
  }
  if (r->kind == Kind::SelectConfiguration) {
    ClosePipes(d, [](const Pipe&) { return true; }, false);
    d->alternate.clear();
    d->interfaceHandles.clear();
    if (r->unconfigure) {
      d->configuration = 0;
      d->configHandle = 0;
      d->configSet.clear();
      r->urb->UrbSelectConfiguration.ConfigurationHandle = nullptr;
    } else {
      d->configuration = r->configurationValue;
      d->configHandle = NewHandle();
      d->configSet = std::move(r->configSet);
      for (const StagedInterface& s : r->staged) OpenInterface(d, r->urb, s);
      r->urb->UrbSelectConfiguration.ConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(d->configHandle);
    }
  } else {
    const uint8_t number = r->staged.front().descriptor.bInterfaceNumber;
    ClosePipes(d, [number](const Pipe& p) { return p.interfaceNumber == number; }, false);
    OpenInterface(d, r->urb, r->staged.front());
  }
  Complete(d, r, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
  StartControl(d);
}

void StartControl(Device* d) {
  if (d->controlActive || d->control.empty() || !d->plugged) return;
  Request* r = d->control.front();
  d->controlActive = true;
  switch (r->kind) {
    case Kind::Descriptor:
    case Kind::Vendor:
      RunTransfer(d, r);
      break;
    case Kind::SelectConfiguration:
      RunSelectConfiguration(d, r);
      break;
    case Kind::SelectInterface:
      RunSelectInterface(d, r);
      break;
    case Kind::ResetPipe:
      RunTransfer(d, r);
      break;
    default:
      break;
  }
}

// Fails every transfer queued on a pipe that has just halted.
void FailHalted(Device* d, uintptr_t handle) {
  Pipe* p = FindPipe(d, handle);
  if (p == nullptr) return;
  p->halted = true;
  std::deque<Request*> victims;
  victims.swap(p->queue);
  p->headBusy = false;
  p->nextMicroframe = 0;
  if (p->kick != 0) {
    sched::Cancel(p->kick);
    p->kick = 0;
  }
  for (Request* v : victims) Complete(d, v, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
}

// The end of a reset-pipe request.
void FinishReset(Device* d, Request* r) {
  const bool control = r->clearDevice;  // the request is gone after Complete
  if (control) {
    d->control.pop_front();
    d->controlActive = false;
  } else {
    d->aborts.erase(std::remove(d->aborts.begin(), d->aborts.end(), r), d->aborts.end());
  }
  if (r->clearDevice && !USBD_SUCCESS(r->reply.status)) {
    Complete(d, r, STATUS_UNSUCCESSFUL, r->reply.status);
  } else {
    Pipe* p = FindPipe(d, r->pipe);
    if (r->resetHost && p != nullptr && p->halted) {
      p->halted = false;
      d->stats.pipeResets++;
    }
    Complete(d, r, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
  }
  if (control) StartControl(d);
}

// ---------------------------------------------------------------------------
// Pipe transfers.

void FinishBulk(Device* d, Request* r) {
  Pipe* p = FindPipe(d, r->pipe);
  if (p != nullptr) {
    p->queue.erase(std::remove(p->queue.begin(), p->queue.end(), r), p->queue.end());
    p->headBusy = false;
  }
  auto& b = r->urb->UrbBulkOrInterruptTransfer;
  NTSTATUS status = STATUS_SUCCESS;
  if (USBD_SUCCESS(r->bulk.status)) {
    b.TransferBufferLength = std::min(r->bulk.length, r->capacity);
  } else {
    b.TransferBufferLength = 0;
    status = STATUS_UNSUCCESSFUL;
  }
  const uintptr_t handle = r->pipe;
  const bool stalled = r->bulk.status == USBD_STATUS_STALL_PID;
  Complete(d, r, status, r->bulk.status);
  if (stalled) FailHalted(d, handle);
  p = FindPipe(d, handle);
  if (p != nullptr && !p->headBusy && !p->queue.empty()) PlayBulkHead(d, handle);
}

void PlayBulkHead(Device* d, uintptr_t handle) {
  Pipe* p = FindPipe(d, handle);
  if (p == nullptr) return;
  if (p->queue.empty()) {
    p->headBusy = false;
    return;
  }
  Request* r = p->queue.front();
  p->headBusy = true;
  const uint8_t endpoint = p->endpoint.bEndpointAddress;
  auto& b = r->urb->UrbBulkOrInterruptTransfer;
  const BulkReply reply = d->model->BulkIn(endpoint, static_cast<uint8_t*>(b.TransferBuffer), r->capacity);
  if (!Queued(d, r)) return;
  if (reply.wait) {
    r->event = ScheduleRequest(
        d, r, sched::Now() + (reply.duration > 0 ? reply.duration : kMicroframe),
        [](Device* dev, Request* req) { PlayBulkHead(dev, req->pipe); }, "usb: bulk poll");
    return;
  }
  r->bulk = reply;
  r->event = ScheduleRequest(d, r, sched::Now() + std::max<int64_t>(reply.duration, 0), FinishBulk, "usb: bulk done");
}

void FinishIsoch(Device* d, Request* r) {
  Pipe* p = FindPipe(d, r->pipe);
  if (p == nullptr) return;  // cannot happen: closing a pipe completes its transfers
  const uint8_t endpoint = p->endpoint.bEndpointAddress;
  const uint32_t packets = uint32_t(r->offsets.size());
  auto& t = r->urb->UrbIsochronousTransfer;
  PUSBD_ISO_PACKET_DESCRIPTOR iso = t.IsoPacket;
  auto* buffer = static_cast<uint8_t*>(t.TransferBuffer);

  const USBD_STATUS whole = d->model->IsochRequest(endpoint, packets);
  if (!Queued(d, r)) return;
  ULONG errors = 0;
  ULONG total = 0;
  if (!USBD_SUCCESS(whole)) {
    for (uint32_t i = 0; i < packets; ++i) {
      iso[i].Length = 0;
      iso[i].Status = USBD_STATUS_ISO_NOT_ACCESSED_BY_HW;
    }
    errors = packets;
  } else {
    for (uint32_t i = 0; i < packets; ++i) {
      const IsoPacket pk = d->model->IsochIn(endpoint, r->startMicroframe + i, buffer + r->offsets[i], r->capacities[i]);
      if (!Queued(d, r)) return;
      uint32_t length = std::min(pk.length, r->capacities[i]);
      if (!USBD_SUCCESS(pk.status)) {
        length = 0;
        ++errors;
      }
      iso[i].Length = length;
      iso[i].Status = pk.status;
      total += length;
    }
  }
  t.ErrorCount = errors;
  t.StartFrame = ULONG(r->startMicroframe / 8);
  t.TransferBufferLength = total;
  p = FindPipe(d, r->pipe);
  if (p != nullptr) p->queue.erase(std::remove(p->queue.begin(), p->queue.end(), r), p->queue.end());
  if (!USBD_SUCCESS(whole)) {
    const uintptr_t handle = r->pipe;
    Complete(d, r, STATUS_UNSUCCESSFUL, whole);
    if (whole == USBD_STATUS_STALL_PID) FailHalted(d, handle);
  } else if (errors == packets) {
    Complete(d, r, STATUS_UNSUCCESSFUL, USBD_STATUS_ISOCH_REQUEST_FAILED);
  } else {
    Complete(d, r, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
  }
}

void FinishAbort(Device* d, Request* r) {
  d->aborts.erase(std::remove(d->aborts.begin(), d->aborts.end(), r), d->aborts.end());
  if (Pipe* p = FindPipe(d, r->pipe)) {
    std::deque<Request*> victims;
    victims.swap(p->queue);
    p->headBusy = false;
    p->nextMicroframe = 0;
    if (p->kick != 0) {
      sched::Cancel(p->kick);
      p->kick = 0;
    }
    for (Request* v : victims) {
      d->stats.aborted++;
      Complete(d, v, STATUS_CANCELLED, USBD_STATUS_CANCELED);
    }
  }
  Complete(d, r, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
}

// ---------------------------------------------------------------------------
// Submission.

// A caller's block that is smaller than the bus would have to touch.
bool BlockTooSmall(const void* p, size_t needed, const char* what) {
  const size_t block = internal::PoolBlockSize(p);
  if (block == 0 || block >= needed) return false;
  Violation("%s: %zu bytes needed at %p, a pool block of %zu", what, needed, p, block);
  return true;
}

// Checks a transfer buffer: USBD_STATUS_SUCCESS or the failure.
USBD_STATUS CheckBuffer(PVOID buffer, PMDL mdl, ULONG length, const char* what) {
  if (length == 0) return USBD_STATUS_SUCCESS;
  if (buffer == nullptr) return USBD_STATUS_INVALID_PARAMETER;  // no buffer (MDLs are not mapped by this bus)
  (void)mdl;
  if (BlockTooSmall(buffer, length, what)) return USBD_STATUS_INVALID_PARAMETER;
  return USBD_STATUS_SUCCESS;
}

// Hdr.Length a URB of fixed size must carry (0: the function's length
// depends on its contents, or the function is unknown).
size_t ExactLength(USHORT function) {
  switch (function) {
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL:
      return sizeof(struct _URB_PIPE_REQUEST);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      return sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
      return sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    case URB_FUNCTION_VENDOR_DEVICE:
      return sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    default:
      return 0;
  }
}

size_t MinimumLength(USHORT function) {
  switch (function) {
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL:
    case URB_FUNCTION_SELECT_CONFIGURATION:
      return offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
    case URB_FUNCTION_SELECT_INTERFACE:
      return GET_SELECT_INTERFACE_REQUEST_SIZE(0);
    case URB_FUNCTION_ABORT_PIPE:
      return sizeof(struct _URB_PIPE_REQUEST);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      return sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    case URB_FUNCTION_ISOCH_TRANSFER:
      return offsetof(struct _URB_ISOCH_TRANSFER, IsoPacket);
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
      return sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    case URB_FUNCTION_VENDOR_DEVICE:
      return sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    default:
      return 0;
  }
}

struct Refusal {
  NTSTATUS status;
  USBD_STATUS usbd;
};

// Builds the request for a URB, or says why the URB is refused.
bool Prepare(Device* d, PURB urb, Request* r, Refusal* refusal) {
  auto refuse = [refusal](NTSTATUS status, USBD_STATUS usbd) {
    *refusal = {status, usbd};
    return false;
  };
  const USHORT function = urb->UrbHeader.Function;
  const size_t minimum = MinimumLength(function);
  if (minimum == 0) return refuse(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_URB_FUNCTION);
  if (urb->UrbHeader.Length < minimum) return refuse(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
  const size_t exact = ExactLength(function);
  if (exact != 0 && urb->UrbHeader.Length != exact)
    return refuse(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
  if (BlockTooSmall(urb, urb->UrbHeader.Length, "URB header Length"))
    return refuse(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
  r->urb = urb;

  switch (function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
      auto& g = urb->UrbControlDescriptorRequest;
      if (g.TransferBufferLength > 0xFFFF) return refuse(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
      const USBD_STATUS s = CheckBuffer(g.TransferBuffer, g.TransferBufferMDL, g.TransferBufferLength,
                                        "descriptor request TransferBufferLength");
      if (!USBD_SUCCESS(s)) return refuse(STATUS_INVALID_PARAMETER, s);
      r->kind = Kind::Descriptor;
      r->buffer = g.TransferBuffer;
      r->setup = Setup{0x80, kGetDescriptor, uint16_t(g.DescriptorType << 8 | g.Index), g.LanguageId,
                       uint16_t(g.TransferBufferLength)};
      return true;
    }
    case URB_FUNCTION_VENDOR_DEVICE: {
      auto& v = urb->UrbControlVendorClassRequest;
      if (v.TransferBufferLength > 0xFFFF) return refuse(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
      const USBD_STATUS s = CheckBuffer(v.TransferBuffer, v.TransferBufferMDL, v.TransferBufferLength,
                                        "vendor request TransferBufferLength");
      if (!USBD_SUCCESS(s)) return refuse(STATUS_INVALID_PARAMETER, s);
      const bool in = (v.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
      r->kind = Kind::Vendor;
      r->buffer = v.TransferBuffer;
      r->setup = Setup{uint8_t((in ? 0x80 : 0x00) | 0x40 | (v.RequestTypeReservedBits & 0x1F)), v.Request, v.Value,
                       v.Index, uint16_t(v.TransferBufferLength)};
      return true;
    }
    case URB_FUNCTION_SELECT_CONFIGURATION: {
      auto& sc = urb->UrbSelectConfiguration;
      if (sc.ConfigurationDescriptor == nullptr && urb->UrbHeader.Length != sizeof(struct _URB_SELECT_CONFIGURATION))
        return refuse(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
      r->kind = Kind::SelectConfiguration;
      return true;
    }
    case URB_FUNCTION_SELECT_INTERFACE: {
      auto& si = urb->UrbSelectInterface;
      const size_t room = urb->UrbHeader.Length - offsetof(struct _URB_SELECT_INTERFACE, Interface);
      if (si.Interface.Length < GET_USBD_INTERFACE_SIZE(0) || si.Interface.Length != room)
        return refuse(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
      r->kind = Kind::SelectInterface;
      return true;
    }
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL: {
      const auto handle = reinterpret_cast<uintptr_t>(urb->UrbPipeRequest.PipeHandle);
      Pipe* p = FindPipe(d, handle);
      if (p == nullptr) return refuse(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
      // A pipe is reset with no transfer on it (abort it first).
      if (!p->queue.empty()) return refuse(STATUS_INVALID_DEVICE_STATE, USBD_STATUS_INVALID_PARAMETER);
      r->kind = Kind::ResetPipe;
      r->pipe = handle;
      r->resetHost = function != URB_FUNCTION_SYNC_CLEAR_STALL;
      r->clearDevice = function != URB_FUNCTION_SYNC_RESET_PIPE;
      r->setup = Setup{0x02, kClearFeature, kEndpointHalt, p->endpoint.bEndpointAddress, 0};
      return true;
    }
    case URB_FUNCTION_ABORT_PIPE: {
      const auto handle = reinterpret_cast<uintptr_t>(urb->UrbPipeRequest.PipeHandle);
      if (FindPipe(d, handle) == nullptr) return refuse(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
      r->kind = Kind::Abort;
      r->pipe = handle;
      return true;
    }
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
      auto& b = urb->UrbBulkOrInterruptTransfer;
      const auto handle = reinterpret_cast<uintptr_t>(b.PipeHandle);
      Pipe* p = FindPipe(d, handle);
      if (p == nullptr) return refuse(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
      if (p->type != USB_ENDPOINT_TYPE_BULK && p->type != USB_ENDPOINT_TYPE_INTERRUPT)
        return refuse(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
      if (p->halted) return refuse(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
      if (!USB_ENDPOINT_DIRECTION_IN(p->endpoint.bEndpointAddress))
        return refuse(STATUS_NOT_SUPPORTED, USBD_STATUS_NOT_SUPPORTED);
      if (!(b.TransferFlags & USBD_TRANSFER_DIRECTION_IN))
        return refuse(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
      const USBD_STATUS s =
          CheckBuffer(b.TransferBuffer, b.TransferBufferMDL, b.TransferBufferLength, "bulk TransferBufferLength");
      if (!USBD_SUCCESS(s)) return refuse(STATUS_INVALID_PARAMETER, s);
      r->kind = Kind::Bulk;
      r->pipe = handle;
      r->capacity = b.TransferBufferLength;
      return true;
    }
    case URB_FUNCTION_ISOCH_TRANSFER: {
      auto& t = urb->UrbIsochronousTransfer;
      const auto handle = reinterpret_cast<uintptr_t>(t.PipeHandle);
      Pipe* p = FindPipe(d, handle);
      if (p == nullptr) return refuse(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
      if (p->type != USB_ENDPOINT_TYPE_ISOCHRONOUS) return refuse(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
      if (p->halted) return refuse(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
      if (!USB_ENDPOINT_DIRECTION_IN(p->endpoint.bEndpointAddress))
        return refuse(STATUS_NOT_SUPPORTED, USBD_STATUS_NOT_SUPPORTED);
      if (!(t.TransferFlags & USBD_TRANSFER_DIRECTION_IN))
        return refuse(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
      if (p->maxPacket == 0) return refuse(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
      const ULONG packets = t.NumberOfPackets;
      if (packets == 0 || packets > kMaxIsoPackets || packets % kIsoPacketMultiple != 0)
        return refuse(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
      if (urb->UrbHeader.Length < GET_ISO_URB_SIZE(packets))
        return refuse(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
      const USBD_STATUS s =
          CheckBuffer(t.TransferBuffer, t.TransferBufferMDL, t.TransferBufferLength, "isochronous TransferBufferLength");
      if (!USBD_SUCCESS(s) || t.TransferBuffer == nullptr)
        return refuse(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
      // The packets cover the buffer from its start, offsets rising; a
      // packet's room ends at the next packet (the last at the buffer's end)
      // and may not exceed one microframe's payload.
      PUSBD_ISO_PACKET_DESCRIPTOR iso = t.IsoPacket;
      r->offsets.resize(packets);
      r->capacities.resize(packets);
      for (ULONG i = 0; i < packets; ++i) {
        const ULONG start = iso[i].Offset;
        const ULONG end = i + 1 < packets ? iso[i + 1].Offset : t.TransferBufferLength;
        if (start >= t.TransferBufferLength || end <= start || end > t.TransferBufferLength ||
            (i == 0 && start != 0) || end - start > p->maxPacket)
          return refuse(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
        r->offsets[i] = start;
        r->capacities[i] = end - start;
      }
      const uint64_t next = uint64_t(sched::Now() / kMicroframe) + 1;
      uint64_t start = std::max(p->nextMicroframe, next);
      if (!(t.TransferFlags & USBD_START_ISO_TRANSFER_ASAP)) {
        const uint64_t asked = uint64_t(t.StartFrame) * 8;
        if (asked < start || asked > start + 8 * 1024) return refuse(STATUS_UNSUCCESSFUL, USBD_STATUS_BAD_START_FRAME);
        start = asked;
      }
      r->kind = Kind::Isoch;
      r->pipe = handle;
      r->startMicroframe = start;
      return true;
    }
    default:
      return refuse(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_URB_FUNCTION);
  }
}

// Puts a prepared request in its queue.
void Enqueue(Device* d, Request* r) {
  switch (r->kind) {
    case Kind::Descriptor:
    case Kind::Vendor:
    case Kind::SelectConfiguration:
    case Kind::SelectInterface:
      d->stats.controlRequests++;
      d->control.push_back(r);
      KickControl(d);
      break;
    case Kind::Abort:
      d->aborts.push_back(r);
      r->event = ScheduleRequest(d, r, sched::Now() + kAbortLatency, FinishAbort, "usb: abort pipe");
      break;
    case Kind::ResetPipe:
      if (r->clearDevice) {
        d->stats.controlRequests++;
        d->control.push_back(r);
        KickControl(d);
      } else {
        d->aborts.push_back(r);
        r->event = ScheduleRequest(d, r, sched::Now() + kAbortLatency, FinishReset, "usb: reset pipe");
      }
      break;
    case Kind::Bulk: {
      d->stats.bulkTransfers++;
      Pipe* p = FindPipe(d, r->pipe);
      p->queue.push_back(r);
      KickBulk(d, p);
      break;
    }
    case Kind::Isoch: {
      d->stats.isochTransfers++;
      Pipe* p = FindPipe(d, r->pipe);
      p->queue.push_back(r);
      p->nextMicroframe = r->startMicroframe + r->offsets.size();
      r->event = ScheduleRequest(d, r, int64_t(p->nextMicroframe) * kMicroframe, FinishIsoch, "usb: isochronous done");
      break;
    }
  }
}

NTSTATUS Dispatch(PDEVICE_OBJECT pdo, PIRP irp) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) Violation("URB submitted above DISPATCH_LEVEL");
  if (s->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB)
    return CompleteAtOnce(irp, nullptr, STATUS_NOT_SUPPORTED, USBD_STATUS_SUCCESS);
  auto* urb = static_cast<PURB>(s->Parameters.Others.Argument1);
  if (urb == nullptr) {
    Violation("IOCTL_INTERNAL_USB_SUBMIT_URB without a URB");
    return CompleteAtOnce(irp, nullptr, STATUS_INVALID_PARAMETER, USBD_STATUS_SUCCESS);
  }
  if (BlockTooSmall(urb, sizeof(struct _URB_HEADER), "URB header"))
    return CompleteAtOnce(irp, nullptr, STATUS_INVALID_PARAMETER, USBD_STATUS_SUCCESS);
  Device* d = Find(pdo);
  if (d != nullptr && d->removed) {
    d->stats.afterRemoval++;
    return CompleteAtOnce(irp, urb, d->plugged ? STATUS_DELETE_PENDING : STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE);
  }
  if (d == nullptr || !d->plugged) return CompleteAtOnce(irp, urb, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);

  auto r = std::make_unique<Request>();
  Refusal refusal{};
  if (!Prepare(d, urb, r.get(), &refusal)) return CompleteAtOnce(irp, urb, refusal.status, refusal.usbd);

  Request* req = r.release();
  req->irp = irp;
  urb->UrbHeader.Status = USBD_STATUS_PENDING;
  d->live.insert(req);
  irp->Tail.Overlay.DriverContext[0] = req;
  IoMarkIrpPending(irp);
  Enqueue(d, req);
  IoSetCancelRoutine(irp, CancelRoutine);
  if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
    Detach(d, req);
    d->stats.cancelled++;
    QueueFinish(d, req, STATUS_CANCELLED, USBD_STATUS_CANCELED);
  }
  return STATUS_PENDING;
}

// Plug and Play requests that come down to the physical device object.
// Surprise removal needs nothing of the bus; removal ends the device's
// service: what is still pending completes, later requests are refused.
NTSTATUS DispatchPnp(PDEVICE_OBJECT pdo, PIRP irp) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  Device* d = Find(pdo);
  if (d != nullptr && s->MinorFunction == IRP_MN_SURPRISE_REMOVAL) status = STATUS_SUCCESS;
  if (d != nullptr && s->MinorFunction == IRP_MN_REMOVE_DEVICE) {
    d->removed = true;
    std::vector<Request*> left(d->live.begin(), d->live.end());
    for (Request* r : left) {
      if (r->finishing) continue;
      d->stats.pendingAtRemoval++;
      Detach(d, r);
      QueueFinish(d, r, STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE);
    }
    status = STATUS_SUCCESS;
  }
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

void UnplugDevice(Device* d) {
  if (!d->plugged) return;
  d->plugged = false;
  std::vector<Request*> swept(d->control.begin(), d->control.end());
  swept.insert(swept.end(), d->aborts.begin(), d->aborts.end());
  for (auto& [handle, p] : d->pipes) {
    swept.insert(swept.end(), p.queue.begin(), p.queue.end());
    if (p.kick != 0) sched::Cancel(p.kick);
  }
  d->control.clear();
  d->controlActive = false;
  if (d->controlKick != 0) sched::Cancel(d->controlKick);
  d->controlKick = 0;
  d->aborts.clear();
  d->pipes.clear();
  d->configuration = 0;
  d->configHandle = 0;
  d->alternate.clear();
  for (Request* r : swept) QueueFinish(d, r, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
}

}  // namespace

}  // namespace host::usb

namespace host::internal {
void ResetUsbBus() { usb::Devices().clear(); }
}  // namespace host::internal

namespace host::usb {

PDEVICE_OBJECT Plug(std::shared_ptr<DeviceModel> model, std::string_view name) {
  if (!model) {
    Violation("usb::Plug without a device model");
    return nullptr;
  }
  PDRIVER_OBJECT driver = io::CreateDriverObject("usbhub");
  if (driver == nullptr) return nullptr;
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Dispatch;
  driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  PDEVICE_OBJECT pdo = io::CreateDevice(driver, sizeof(void*), 1, name);
  if (pdo == nullptr) {
    io::DeleteDriverObject(driver);
    return nullptr;
  }
  auto d = std::make_unique<Device>();
  d->serial = ++g_serial;
  d->pdo = pdo;
  d->driver = driver;
  d->model = std::move(model);
  Devices()[pdo] = std::move(d);  // replaces a record left from before a host reset
  return pdo;
}

void Unplug(PDEVICE_OBJECT pdo) {
  Device* d = Find(pdo);
  if (d == nullptr) {
    Violation("usb::Unplug of an unknown device %p", (void*)pdo);
    return;
  }
  UnplugDevice(d);
}

bool IsPlugged(PDEVICE_OBJECT pdo) {
  Device* d = Find(pdo);
  return d != nullptr && d->plugged;
}

void Remove(PDEVICE_OBJECT pdo) {
  Device* d = Find(pdo);
  if (d == nullptr) {
    Violation("usb::Remove of an unknown device %p", (void*)pdo);
    return;
  }
  UnplugDevice(d);
  // Hand back what the unplug swept up before the device object goes.
  if (d->finishEvent != 0) sched::Cancel(d->finishEvent);
  d->finishEvent = 0;
  if (!d->finishing.empty()) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    FlushFinishing(d);
    KeLowerIrql(old);
  }
  PDRIVER_OBJECT driver = d->driver;
  Devices().erase(pdo);
  io::DeleteDevice(pdo);
  io::DeleteDriverObject(driver);
}

BusStats Stats(PDEVICE_OBJECT pdo) {
  Device* d = Find(pdo);
  if (d == nullptr) return {};
  BusStats s = d->stats;
  s.pending = d->live.size();
  return s;
}

DeviceModel* Model(PDEVICE_OBJECT pdo) {
  Device* d = Find(pdo);
  return d == nullptr ? nullptr : d->model.get();
}

uint8_t Configuration(PDEVICE_OBJECT pdo) {
  Device* d = Find(pdo);
  return d == nullptr ? 0 : d->configuration;
}

int AlternateSetting(PDEVICE_OBJECT pdo, uint8_t interfaceNumber) {
  Device* d = Find(pdo);
  if (d == nullptr) return -1;
  auto it = d->alternate.find(interfaceNumber);
  return it == d->alternate.end() ? -1 : it->second;
}

}  // namespace host::usb
