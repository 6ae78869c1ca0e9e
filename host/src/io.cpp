// The I/O manager: driver and device objects, IRPs with their stack
// locations, dispatch, completion, cancellation and the synchronous device
// control requests the I/O manager builds and finishes.
//
// Each IRP has a record beside it (not in the IRP, which drivers may
// re-initialise): where it came from, and whether a driver holds it (sent by
// IofCallDriver, not yet completed back to its originator).
#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>

#include "core.h"
#include "internal.h"

namespace host::internal {
namespace {

constexpr CSHORT kIoTypeDriver = 4;
constexpr CSHORT kIoTypeDevice = 3;
constexpr CSHORT kIoTypeIrp = 6;
constexpr ULONG kIrpTag = pool::MakeTag("Irp ");

struct IrpRecord {
  bool pool = false;   // IoAllocateIrp or IoBuildDeviceIoControlRequest: IoFreeIrp or the I/O manager frees it
  bool built = false;  // IoBuildDeviceIoControlRequest: completion finishes and frees it
  size_t bytes = 0;    // room for the packet
  CCHAR stackCount = 0;
  bool inDriver = false;
  CHAR origin = 0;  // CurrentLocation when its owner sent it; back with the owner once completion gets there
  uint64_t generation = 0;  // changes whenever the IRP is (re)initialised or freed
  void* systemBuffer = nullptr;
  void* userOutput = nullptr;
  ULONG outputLength = 0;
};

struct DeviceRecord {
  std::unique_ptr<DEVICE_OBJECT> object;
  std::unique_ptr<uint8_t[]> extension;
  std::string name;
};

struct DriverRecord {
  std::unique_ptr<DRIVER_OBJECT> object;
  std::unique_ptr<DRIVER_EXTENSION> extension;
  std::u16string service;
  std::u16string name;
};

struct IoState {
  std::map<uintptr_t, IrpRecord> irps;
  std::map<PDEVICE_OBJECT, DeviceRecord> devices;
  std::map<PDRIVER_OBJECT, DriverRecord> drivers;
  uint64_t generation = 0;
  KSPIN_LOCK cancelLock = 0;
  std::map<HostThread*, std::vector<PIRP>> apcs;  // completion APCs not yet delivered, per issuing thread
};

IoState& G() {
  static IoState* s = new IoState;
  return *s;
}

uintptr_t Addr(const void* p) { return reinterpret_cast<uintptr_t>(p); }

IrpRecord* Find(PIRP irp) {
  auto it = G().irps.find(Addr(irp));
  return it == G().irps.end() ? nullptr : &it->second;
}

std::u16string Widen(std::string_view s) { return std::u16string(s.begin(), s.end()); }

void SetUnicode(UNICODE_STRING* u, std::u16string& storage) {
  u->Buffer = storage.data();
  u->Length = static_cast<USHORT>(storage.size() * sizeof(char16_t));
  u->MaximumLength = static_cast<USHORT>(u->Length + sizeof(char16_t));
}

std::string NameOf(PDEVICE_OBJECT device) {
  auto it = G().devices.find(device);
  if (it != G().devices.end()) return it->second.name;
  char buf[32];
  snprintf(buf, sizeof buf, "%p", static_cast<void*>(device));
  return buf;
}

void InitializePacket(PIRP irp, size_t bytes, CCHAR stackSize) {
  memset(irp, 0, bytes);
  irp->Type = kIoTypeIrp;
  irp->Size = static_cast<USHORT>(bytes);
  irp->StackCount = stackSize;
  irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
  irp->Tail.Overlay.CurrentStackLocation =
      reinterpret_cast<PIO_STACK_LOCATION>(reinterpret_cast<char*>(irp) + sizeof(IRP)) + stackSize;
}

PIRP AllocateIrp(CCHAR stackSize, uintptr_t site) {
  const size_t bytes = IoSizeOfIrp(stackSize);
  auto* irp = static_cast<PIRP>(PoolAllocate(NonPagedPoolNx, bytes, kIrpTag, site));
  if (irp == nullptr) return nullptr;
  InitializePacket(irp, bytes, stackSize);
  IrpRecord& r = G().irps[Addr(irp)];
  r = IrpRecord{};
  r.pool = true;
  r.bytes = bytes;
  r.stackCount = stackSize;
  r.generation = ++G().generation;
  return irp;
}

void FreeIrp(PIRP irp) {
  G().irps.erase(Addr(irp));
  ++G().generation;
  PoolFree(irp, "IoFreeIrp");
}

// The last completion step of a request the I/O manager built, which runs in
// the issuing thread (a kernel APC): copy the results to the caller, signal
// its event and free the IRP.
void FinishBuiltRequest(PIRP irp) {
  IrpRecord r = *Find(irp);
  if (r.systemBuffer != nullptr) {
    if (NT_SUCCESS(irp->IoStatus.Status) && r.userOutput != nullptr)
      memcpy(r.userOutput, r.systemBuffer, std::min<size_t>(irp->IoStatus.Information, r.outputLength));
    PoolFree(r.systemBuffer, "IoCompleteRequest");
  }
  if (irp->UserIosb != nullptr) *irp->UserIosb = irp->IoStatus;
  PKEVENT event = irp->UserEvent;
  FreeIrp(irp);
  if (event != nullptr) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

}  // namespace

bool IsDeviceObject(PDEVICE_OBJECT device) { return G().devices.count(device) != 0; }

void CheckFreedIrps(uintptr_t lo, uintptr_t hi) {
  IoState& g = G();
  for (auto it = g.irps.lower_bound(lo); it != g.irps.end() && it->first < hi;) {
    const IrpRecord& r = it->second;
    if (r.inDriver)
      Violation("freeing memory at %p that holds IRP %p, which a driver still holds", reinterpret_cast<void*>(lo),
                reinterpret_cast<void*>(it->first));
    else if (r.pool)
      Violation("IRP %p freed with ExFreePool; IRPs from IoAllocateIrp go back through IoFreeIrp",
                reinterpret_cast<void*>(it->first));
    it = g.irps.erase(it);
    ++g.generation;
  }
}

void DeliverApcs() {
  HostThread* self = Self();
  IoState& g = G();
  auto it = g.apcs.find(self);
  if (it == g.apcs.end()) return;
  std::vector<PIRP> due;
  due.swap(it->second);
  g.apcs.erase(it);
  const KIRQL irql = self->irql;
  self->irql = APC_LEVEL;  // kernel APCs run at APC_LEVEL
  for (PIRP irp : due) FinishBuiltRequest(irp);
  self->irql = irql;
}

void ResetIo() {
  IoState& g = G();
  g.apcs.clear();
  g.irps.clear();
  g.devices.clear();
  g.drivers.clear();
  g.cancelLock = 0;
  ResetWorkItems();
}

}  // namespace host::internal

using namespace host::internal;

// ---------------------------------------------------------------------------
// IRPs.

PIRP IoAllocateIrp(CCHAR stackSize, BOOLEAN chargeQuota) {
  if (!RequireIrql(DISPATCH_LEVEL, "IoAllocateIrp")) return nullptr;
  if (stackSize < 1) {
    host::Violation("IoAllocateIrp with a stack size of %d", int(stackSize));
    return nullptr;
  }
  return AllocateIrp(stackSize, HOST_CALLER_SITE());
}

void IoInitializeIrp(PIRP irp, USHORT packetSize, CCHAR stackSize) {
  if (!RequireIrql(DISPATCH_LEVEL, "IoInitializeIrp")) return;
  if (stackSize < 1 || packetSize < IoSizeOfIrp(stackSize)) {
    host::Violation("IoInitializeIrp: a packet of %u bytes has no room for %d stack location(s)", unsigned(packetSize),
                    int(stackSize));
    return;
  }
  IrpRecord* r = Find(irp);
  if (r != nullptr) {
    if (r->inDriver) {
      host::Violation("IoInitializeIrp on IRP %p while a driver holds it (sent and not completed)",
                      static_cast<void*>(irp));
      return;
    }
    if (r->built) {
      host::Violation("IoInitializeIrp on IRP %p from IoBuildDeviceIoControlRequest", static_cast<void*>(irp));
      return;
    }
    if (r->pool) {
      // It would lose what IoAllocateIrp recorded about the packet.
      host::Violation("IoInitializeIrp on IRP %p from IoAllocateIrp; reuse it with IoReuseIrp",
                      static_cast<void*>(irp));
      return;
    }
    if (packetSize > r->bytes) {
      host::Violation("IoInitializeIrp: packet size %u is larger than IRP %p (%zu bytes)", unsigned(packetSize),
                      static_cast<void*>(irp), r->bytes);
      return;
    }
  } else {
    // An IRP in the driver's own memory.
    const size_t block = PoolBlockSize(irp);
    if (block != 0 && packetSize > block) {
      host::Violation("IoInitializeIrp: packet size %u is larger than the pool block at %p (%zu bytes)",
                      unsigned(packetSize), static_cast<void*>(irp), block);
      return;
    }
    r = &G().irps[Addr(irp)];
    r->bytes = packetSize;
  }
  InitializePacket(irp, packetSize, stackSize);
  r->stackCount = stackSize;
  r->generation = ++G().generation;
}

void IoReuseIrp(PIRP irp, NTSTATUS status) {
  if (!RequireIrql(DISPATCH_LEVEL, "IoReuseIrp")) return;
  IrpRecord* r = Find(irp);
  if (r == nullptr) {
    host::Violation("IoReuseIrp on a freed or unknown IRP %p", static_cast<void*>(irp));
    return;
  }
  if (r->built) {
    host::Violation("IoReuseIrp on IRP %p from IoBuildDeviceIoControlRequest", static_cast<void*>(irp));
    return;
  }
  if (r->inDriver) {
    host::Violation("IoReuseIrp on IRP %p while a driver holds it (sent and not completed)", static_cast<void*>(irp));
    return;
  }
  InitializePacket(irp, IoSizeOfIrp(r->stackCount), r->stackCount);
  irp->IoStatus.Status = status;
  r->generation = ++G().generation;
}

void IoFreeIrp(PIRP irp) {
  if (!RequireIrql(DISPATCH_LEVEL, "IoFreeIrp")) return;
  IrpRecord* r = Find(irp);
  if (r == nullptr) {
    host::Violation("IoFreeIrp on a freed or unknown IRP %p", static_cast<void*>(irp));
    return;
  }
  if (!r->pool) {
    host::Violation("IoFreeIrp on IRP %p, which the driver built in its own memory (free that memory instead)",
                    static_cast<void*>(irp));
    return;
  }
  if (r->built) {
    host::Violation("IoFreeIrp on IRP %p from IoBuildDeviceIoControlRequest; the I/O manager frees it when it is "
                    "completed",
                    static_cast<void*>(irp));
    return;
  }
  if (r->inDriver) {
    host::Violation("IoFreeIrp on IRP %p while a driver holds it (sent by IofCallDriver and not completed)",
                    static_cast<void*>(irp));
    return;
  }
  if (irp->CancelRoutine != nullptr)
    host::Violation("IoFreeIrp on IRP %p with a cancel routine still set", static_cast<void*>(irp));
  FreeIrp(irp);
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT device, PIRP irp) {
  HostThread* self = Self();
  if (!RequireIrql(DISPATCH_LEVEL, "IofCallDriver")) return STATUS_INVALID_DEVICE_STATE;
  IrpRecord* r = Find(irp);
  if (r == nullptr) {
    host::Violation("IofCallDriver with a freed or unknown IRP %p", static_cast<void*>(irp));
    return STATUS_INVALID_PARAMETER;
  }
  if (device == nullptr || !IsDeviceObject(device)) {
    host::Violation("IofCallDriver to %p, which is not a device object (deleted?)", static_cast<void*>(device));
    return STATUS_INVALID_PARAMETER;
  }
  if (irp->CurrentLocation <= 1) {
    host::Violation("IofCallDriver: IRP %p has no stack location left for device \"%s\" (it has %d)",
                    static_cast<void*>(irp), NameOf(device).c_str(), int(irp->StackCount));
    return STATUS_INVALID_PARAMETER;
  }
  if (!r->inDriver) r->origin = irp->CurrentLocation;
  IoSetNextIrpStackLocation(irp);
  if (irp->CurrentLocation < device->StackSize)
    host::Violation("IofCallDriver: IRP %p has %d stack location(s) left, device \"%s\" needs %d",
                    static_cast<void*>(irp), int(irp->CurrentLocation), NameOf(device).c_str(),
                    int(device->StackSize));
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  location->DeviceObject = device;
  r->inDriver = true;

  PDRIVER_DISPATCH dispatch = nullptr;
  if (device->DriverObject != nullptr && location->MajorFunction <= IRP_MJ_MAXIMUM_FUNCTION)
    dispatch = device->DriverObject->MajorFunction[location->MajorFunction];
  if (dispatch == nullptr) {
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  const KIRQL irql = self->irql;
  const NTSTATUS status = dispatch(device, irp);
  if (self->irql != irql) {
    host::Violation("dispatch routine of device \"%s\" returned at IRQL %s; it was called at %s",
                    NameOf(device).c_str(), IrqlName(self->irql), IrqlName(irql));
  }
  return status;
}

void IofCompleteRequest(PIRP irp, CCHAR priorityBoost) {
  HostThread* self = Self();
  if (!RequireIrql(DISPATCH_LEVEL, "IoCompleteRequest")) return;
  IrpRecord* r = Find(irp);
  if (r == nullptr) {
    host::Violation("IoCompleteRequest on a freed or unknown IRP %p", static_cast<void*>(irp));
    return;
  }
  if (!r->inDriver) {
    host::Violation("IoCompleteRequest on IRP %p, which no driver holds (completed twice?)", static_cast<void*>(irp));
    return;
  }
  if (irp->IoStatus.Status == STATUS_PENDING)
    host::Violation("IoCompleteRequest on IRP %p with status STATUS_PENDING", static_cast<void*>(irp));
  if (irp->CancelRoutine != nullptr) {
    host::Violation("IoCompleteRequest on IRP %p with a cancel routine still set", static_cast<void*>(irp));
    irp->CancelRoutine = nullptr;
  }

  // Walk up the stack: each location's completion routine runs with the
  // device of the location above it (none above the top).
  while (irp->CurrentLocation <= irp->StackCount) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    IoSkipCurrentIrpStackLocation(irp);
    const bool top = irp->CurrentLocation > irp->StackCount;
    irp->PendingReturned = (location->Control & SL_PENDING_RETURNED) != 0;
    PIO_COMPLETION_ROUTINE routine = location->CompletionRoutine;
    PVOID context = location->Context;
    const UCHAR control = location->Control;
    // The location is finished: its parameters are gone before the routine runs.
    location->MinorFunction = 0;
    location->Flags = 0;
    location->Control = 0;
    memset(&location->Parameters, 0, sizeof location->Parameters);
    location->FileObject = nullptr;
    location->CompletionRoutine = nullptr;
    location->Context = nullptr;
    if (irp->CurrentLocation >= r->origin) r->inDriver = false;  // back with its owner

    const NTSTATUS status = irp->IoStatus.Status;
    const bool invoke = routine != nullptr && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                               (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                                               (irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
    if (!invoke) {
      if (irp->PendingReturned && !top) IoMarkIrpPending(irp);
      continue;
    }
    const uint64_t generation = r->generation;
    const KIRQL irql = self->irql;
    const NTSTATUS result = routine(top ? nullptr : IoGetCurrentIrpStackLocation(irp)->DeviceObject, irp, context);
    if (self->irql != irql) {
      host::Violation("completion routine %p returned at IRQL %s; it was called at %s",
                      reinterpret_cast<void*>(routine), IrqlName(self->irql), IrqlName(irql));
    }
    if (result == STATUS_MORE_PROCESSING_REQUIRED) {
      // The routine's owner has the IRP back. A request the I/O manager
      // built still has to be completed again to be finished.
      r = Find(irp);
      if (r != nullptr && r->built && top && r->generation == generation) r->inDriver = true;
      return;
    }
    r = Find(irp);
    if (r == nullptr || r->generation != generation) {
      host::Violation("completion routine %p freed or re-initialised IRP %p but did not return "
                      "STATUS_MORE_PROCESSING_REQUIRED",
                      reinterpret_cast<void*>(routine), static_cast<void*>(irp));
      return;
    }
  }
  r->inDriver = false;
  if (!r->built) return;
  // The APC runs now if the issuing thread can take it: it is this thread
  // below APC_LEVEL (or in a wait, running this completion as an event), or
  // another thread that waits below APC_LEVEL. Otherwise it waits for that
  // thread to lower its IRQL or to wait.
  auto* issuer = static_cast<HostThread*>(irp->Tail.Overlay.Thread);
  const bool now = issuer == nullptr || (issuer == self ? self->eventDepth > 0 || self->irql < APC_LEVEL
                                                        : issuer->irql < APC_LEVEL);
  if (now) {
    FinishBuiltRequest(irp);
  } else {
    G().apcs[issuer].push_back(irp);
  }
}

PIRP IoBuildDeviceIoControlRequest(ULONG ioControlCode, PDEVICE_OBJECT device, PVOID inputBuffer, ULONG inputLength,
                                   PVOID outputBuffer, ULONG outputLength, BOOLEAN internalDeviceIoControl,
                                   PKEVENT event, PIO_STATUS_BLOCK ioStatus) {
  const uintptr_t site = HOST_CALLER_SITE();
  if (!RequireIrql(PASSIVE_LEVEL, "IoBuildDeviceIoControlRequest")) return nullptr;
  if (device == nullptr || !IsDeviceObject(device)) {
    host::Violation("IoBuildDeviceIoControlRequest for %p, which is not a device object", static_cast<void*>(device));
    return nullptr;
  }
  if (device->StackSize < 1) {
    host::Violation("IoBuildDeviceIoControlRequest for device \"%s\" with a stack size of %d", NameOf(device).c_str(),
                    int(device->StackSize));
    return nullptr;
  }
  PIRP irp = AllocateIrp(device->StackSize, site);
  if (irp == nullptr) return nullptr;
  IrpRecord* r = Find(irp);
  r->built = true;

  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = internalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
  next->Parameters.DeviceIoControl.InputBufferLength = inputLength;
  next->Parameters.DeviceIoControl.IoControlCode = ioControlCode;

  switch (ioControlCode & 3) {
    case METHOD_NEITHER:
      next->Parameters.DeviceIoControl.Type3InputBuffer = inputBuffer;
      irp->UserBuffer = outputBuffer;
      break;
    default: {
      // Buffered (and, without MDLs here, the direct methods too): one system
      // buffer holds the input and receives the output.
      const ULONG length = std::max(inputLength, outputLength);
      if (length != 0) {
        void* buffer = PoolAllocate(NonPagedPoolNx, length, kIrpTag, site);
        if (buffer == nullptr) {
          r->built = false;
          FreeIrp(irp);
          return nullptr;
        }
        memset(buffer, 0, length);
        if (inputBuffer != nullptr && inputLength != 0) memcpy(buffer, inputBuffer, inputLength);
        irp->AssociatedIrp.SystemBuffer = buffer;
        r->systemBuffer = buffer;
        r->userOutput = outputBuffer;
        r->outputLength = outputLength;
      }
      irp->UserBuffer = outputBuffer;
      break;
    }
  }
  irp->UserIosb = ioStatus;
  irp->UserEvent = event;
  irp->RequestorMode = KernelMode;
  irp->Tail.Overlay.Thread = Self();
  return irp;
}

// ---------------------------------------------------------------------------
// Cancellation.

void IoAcquireCancelSpinLock(PKIRQL irql) { *irql = KeAcquireSpinLockRaiseToDpc(&G().cancelLock); }

void IoReleaseCancelSpinLock(KIRQL irql) { KeReleaseSpinLock(&G().cancelLock, irql); }

BOOLEAN IoCancelIrp(PIRP irp) {
  HostThread* self = Self();
  if (!RequireIrql(DISPATCH_LEVEL, "IoCancelIrp")) return FALSE;
  IrpRecord* record = Find(irp);
  if (record == nullptr) {
    host::Violation("IoCancelIrp on a freed IRP %p", static_cast<void*>(irp));
    return FALSE;
  }
  // A request the I/O manager built is freed by an APC to its issuing thread
  // once it completes, which another processor may do at any moment: unless
  // a completion routine of the issuer holds it, the issuer cancels it only
  // at APC_LEVEL, where that APC waits.
  PIO_STACK_LOCATION top = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + (irp->StackCount - 1);
  if (record->built && record->inDriver && irp->Tail.Overlay.Thread == self && self->irql < APC_LEVEL &&
      top->CompletionRoutine == nullptr) {
    host::Violation("IoCancelIrp at %s on IRP %p that this thread built: its completion may free it during the "
                    "call; raise to APC_LEVEL first",
                    IrqlName(self->irql), static_cast<void*>(irp));
    return FALSE;
  }
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  irp->Cancel = TRUE;
  PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
  if (routine == nullptr) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  irp->CancelIrql = irql;
  PDEVICE_OBJECT device =
      irp->CurrentLocation <= irp->StackCount ? IoGetCurrentIrpStackLocation(irp)->DeviceObject : nullptr;
  // The cancel routine releases the cancel spin lock (and may complete the IRP).
  // The bus's cancel routines assume that no completion runs in between.
  {
    QuietInterleaving quiet;
    routine(device, irp);
  }
  auto& locks = self->spinLocks;
  if (std::find(locks.begin(), locks.end(), &G().cancelLock) != locks.end()) {
    host::Violation("cancel routine %p returned without releasing the cancel spin lock",
                    reinterpret_cast<void*>(routine));
    IoReleaseCancelSpinLock(irql);
  }
  return TRUE;
}

// ---------------------------------------------------------------------------
// Objects the host creates for the system.
namespace host::io {

PDRIVER_OBJECT CreateDriverObject(std::string_view serviceName) {
  Self();
  DriverRecord record;
  record.object = std::make_unique<DRIVER_OBJECT>();
  record.extension = std::make_unique<DRIVER_EXTENSION>();
  record.service = Widen(serviceName);
  record.name = u"\\Driver\\" + record.service;
  PDRIVER_OBJECT driver = record.object.get();
  memset(driver, 0, sizeof *driver);
  memset(record.extension.get(), 0, sizeof *record.extension);
  driver->Type = kIoTypeDriver;
  driver->Size = sizeof(DRIVER_OBJECT);
  driver->DriverExtension = record.extension.get();
  driver->DriverExtension->DriverObject = driver;
  auto& stored = G().drivers[driver] = std::move(record);
  SetUnicode(&driver->DriverName, stored.name);
  SetUnicode(&driver->DriverExtension->ServiceKeyName, stored.service);
  return driver;
}

void DeleteDriverObject(PDRIVER_OBJECT driver) {
  auto it = G().drivers.find(driver);
  if (it == G().drivers.end()) {
    Violation("DeleteDriverObject on %p, which is not a live driver object", static_cast<void*>(driver));
    return;
  }
  if (driver->DeviceObject != nullptr) {
    Violation("DeleteDriverObject on a driver that still has device object \"%s\"",
              NameOf(driver->DeviceObject).c_str());
    return;
  }
  G().drivers.erase(it);
}

void UnloadDriver(PDRIVER_OBJECT driver) {
  HostThread* self = Self();
  if (G().drivers.count(driver) == 0) {
    Violation("UnloadDriver on %p, which is not a live driver object", static_cast<void*>(driver));
    return;
  }
  if (!RequireIrql(PASSIVE_LEVEL, "DriverUnload")) return;
  if (driver->DriverUnload == nullptr) return;
  driver->DriverUnload(driver);
  if (self->irql != PASSIVE_LEVEL) Violation("DriverUnload returned at IRQL %s", IrqlName(self->irql));
}

PDEVICE_OBJECT CreateDevice(PDRIVER_OBJECT driver, ULONG extensionBytes, CCHAR stackSize, std::string_view name) {
  Self();
  if (driver != nullptr && G().drivers.count(driver) == 0) {
    Violation("CreateDevice for %p, which is not a live driver object", static_cast<void*>(driver));
    return nullptr;
  }
  DeviceRecord record;
  record.object = std::make_unique<DEVICE_OBJECT>();
  if (extensionBytes != 0) record.extension.reset(new uint8_t[extensionBytes]());
  record.name = std::string(name);
  PDEVICE_OBJECT device = record.object.get();
  memset(device, 0, sizeof *device);
  device->Type = kIoTypeDevice;
  device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + extensionBytes);
  device->DriverObject = driver;
  device->DeviceExtension = record.extension.get();
  device->DeviceType = FILE_DEVICE_UNKNOWN;
  device->StackSize = stackSize;
  device->Flags = DO_DEVICE_INITIALIZING;
  if (driver != nullptr) {
    device->NextDevice = driver->DeviceObject;
    driver->DeviceObject = device;
  }
  G().devices[device] = std::move(record);
  return device;
}

void DeleteDevice(PDEVICE_OBJECT device) {
  auto it = G().devices.find(device);
  if (it == G().devices.end()) {
    Violation("DeleteDevice on %p, which is not a live device object", static_cast<void*>(device));
    return;
  }
  if (size_t n = WorkItemsFor(device)) {
    Violation("DeleteDevice on \"%s\" with %zu work item(s) queued or running for it", it->second.name.c_str(), n);
    return;  // the work items still use it
  }
  if (PDRIVER_OBJECT driver = device->DriverObject) {
    for (PDEVICE_OBJECT* link = &driver->DeviceObject; *link != nullptr; link = &(*link)->NextDevice) {
      if (*link == device) {
        *link = device->NextDevice;
        break;
      }
    }
  }
  G().devices.erase(it);
}

std::string DeviceName(PDEVICE_OBJECT device) {
  auto it = G().devices.find(device);
  return it == G().devices.end() ? std::string() : it->second.name;
}

size_t LiveIrps() {
  size_t n = 0;
  for (auto& entry : G().irps)
    if (entry.second.pool) n++;
  return n;
}

bool IsLiveIrp(PIRP irp) { return Find(irp) != nullptr; }

}  // namespace host::io
