// AVStream stand-in, device side: KsInitializeDriver, the Plug and Play life
// of a KSDEVICE, object bags, _KsEdit and the device mutex.
#include <algorithm>
#include <map>
#include <mutex>
#include <set>
#include <unordered_map>
#include <vector>

#include <host/api/ks.h>

#include "internal.h"
#include "ks_internal.h"

namespace host {
namespace {

constexpr ULONG kTagDevice = pool::MakeTag("KSdv");
constexpr ULONG kTagBagEntry = pool::MakeTag("KSob");

// One item's place in one bag. Kept in pool memory so that adding to a bag
// can fail under fault injection, as it can on Windows.
struct BagEntry {
  PVOID item;
  PFNKSFREE free;
};

struct Bag {
  std::vector<BagEntry*> entries;  // oldest first
};

// The KSDEVICE handed to the driver is the first member, so the two pointers
// are interchangeable.
struct DeviceImpl {
  KSDEVICE device;
  KMUTEX mutex;
  LONG mutexDepth;
  PDRIVER_OBJECT driver;
};

struct DriverInfo {
  const KSDEVICE_DESCRIPTOR* descriptor = nullptr;
  int unloads = 0;
};

struct Ks {
  std::mutex lock;  // guards these tables; never held while driver code runs
  std::set<Bag*> bags;
  std::unordered_map<const void*, unsigned> itemBags;  // item -> number of bags holding it
  std::map<PDRIVER_OBJECT, DriverInfo> drivers;
  std::map<PDEVICE_OBJECT, DeviceImpl*> byFdo;
};

Ks& TheKs() {
  static Ks* ks = new Ks;
  return *ks;
}

Bag* FindBag(Ks& ks, KSOBJECT_BAG bag) {
  auto it = ks.bags.find(static_cast<Bag*>(bag));
  return it == ks.bags.end() ? nullptr : *it;
}

DeviceImpl* FindDevice(Ks& ks, PKSDEVICE device) {
  if (device == nullptr) return nullptr;
  auto it = ks.byFdo.find(device->FunctionalDeviceObject);
  return it != ks.byFdo.end() && &it->second->device == device ? it->second : nullptr;
}

DeviceImpl* CheckedDevice(PKSDEVICE device, const char* routine) {
  Ks& ks = TheKs();
  DeviceImpl* impl;
  {
    std::lock_guard<std::mutex> guard(ks.lock);
    impl = FindDevice(ks, device);
  }
  if (impl == nullptr) Violation("%s: %p is not a live KSDEVICE", routine, static_cast<void*>(device));
  return impl;
}

void RunFree(PVOID item, PFNKSFREE free) {
  if (free != nullptr) {
    free(item);
  } else {
    internal::PoolFree(item, "ExFreePool (object bag)");
  }
}

NTSTATUS AddToBag(KSOBJECT_BAG bag, PVOID item, PFNKSFREE free, uintptr_t site, const char* routine) {
  if (!internal::RequireIrql(PASSIVE_LEVEL, routine)) return STATUS_INVALID_DEVICE_STATE;
  Ks& ks = TheKs();
  bool known;
  {
    std::lock_guard<std::mutex> guard(ks.lock);
    Bag* b = FindBag(ks, bag);
    known = b != nullptr;
    if (known && item == nullptr) return STATUS_INVALID_PARAMETER;
    if (known) {
      for (BagEntry* e : b->entries)
        if (e->item == item) return STATUS_SUCCESS;  // already there: one entry per item and bag
    }
  }
  if (!known) {
    Violation("%s: %p is not an object bag", routine, bag);
    return STATUS_INVALID_PARAMETER;
  }
  auto* entry = static_cast<BagEntry*>(internal::PoolAllocate(NonPagedPool, sizeof(BagEntry), kTagBagEntry, site));
  if (entry == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  *entry = BagEntry{item, free};
  std::lock_guard<std::mutex> guard(ks.lock);
  Bag* b = FindBag(ks, bag);
  b->entries.push_back(entry);
  ks.itemBags[item]++;
  return STATUS_SUCCESS;
}

// Takes the entry out of the bag; returns the number of bags that held the
// item before (0: not in this bag) and the entry to release.
unsigned TakeFromBag(Ks& ks, Bag* b, const void* item, BagEntry** taken) {
  auto it = std::find_if(b->entries.begin(), b->entries.end(), [item](BagEntry* e) { return e->item == item; });
  if (it == b->entries.end()) return 0;
  *taken = *it;
  b->entries.erase(it);
  const unsigned before = ks.itemBags[item]--;
  if (before == 1) ks.itemBags.erase(item);
  return before;
}

// ks.sys passes surprise removal and removal down the stack after the
// minidriver's callback has run.
void PassRemovalDown(PKSDEVICE device, UCHAR minor) {
  PDEVICE_OBJECT next = device->NextDeviceObject;
  if (next == nullptr || next->StackSize < 1) return;
  PIRP irp = IoAllocateIrp(next->StackSize, FALSE);
  if (irp == nullptr) return;
  PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(irp);
  s->MajorFunction = IRP_MJ_PNP;
  s->MinorFunction = minor;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  IofCallDriver(next, irp);
  IoFreeIrp(irp);
}

void DetachAndDelete(DeviceImpl* impl) {
  PDEVICE_OBJECT fdo = impl->device.FunctionalDeviceObject;
  PDEVICE_OBJECT below = impl->device.NextDeviceObject;
  if (below != nullptr && below->AttachedDevice == fdo) below->AttachedDevice = nullptr;
  {
    Ks& ks = TheKs();
    std::lock_guard<std::mutex> guard(ks.lock);
    ks.byFdo.erase(fdo);
  }
  ksi::FreeBag(impl->device.Bag);
  io::DeleteDevice(fdo);
  internal::PoolFree(impl, "ks device removal");
}

NTSTATUS AddDeviceAt(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo, PKSDEVICE* out, uintptr_t site) {
  if (out != nullptr) *out = nullptr;
  if (!internal::RequireIrql(PASSIVE_LEVEL, "AddDevice")) return STATUS_INVALID_DEVICE_STATE;
  if (driver == nullptr || pdo == nullptr) return STATUS_INVALID_PARAMETER;
  Ks& ks = TheKs();
  const KSDEVICE_DESCRIPTOR* descriptor;
  {
    std::lock_guard<std::mutex> guard(ks.lock);
    auto it = ks.drivers.find(driver);
    descriptor = it != ks.drivers.end() ? it->second.descriptor : nullptr;
  }
  if (descriptor == nullptr) {
    Violation("AddDevice: driver %p has not called KsInitializeDriver", static_cast<void*>(driver));
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  auto* impl = static_cast<DeviceImpl*>(internal::PoolAllocate(NonPagedPool, sizeof(DeviceImpl), kTagDevice, site));
  if (impl == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  memset(impl, 0, sizeof *impl);

  // The new FDO goes on top of whatever is attached above the PDO.
  PDEVICE_OBJECT top = pdo;
  while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
  PDEVICE_OBJECT fdo = io::CreateDevice(driver, sizeof(PVOID), static_cast<CCHAR>(top->StackSize + 1),
                                        io::DeviceName(pdo) + "\\KsFdo");
  if (fdo == nullptr) {
    internal::PoolFree(impl, "ks device creation");
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  *static_cast<PVOID*>(fdo->DeviceExtension) = impl;
  fdo->Flags |= DO_POWER_PAGABLE;
  top->AttachedDevice = fdo;

  impl->driver = driver;
  KeInitializeMutex(&impl->mutex, 0);
  impl->device.Descriptor = descriptor;
  impl->device.Bag = ksi::CreateBag();
  impl->device.FunctionalDeviceObject = fdo;
  impl->device.PhysicalDeviceObject = pdo;
  impl->device.NextDeviceObject = top;
  impl->device.Started = FALSE;
  impl->device.SystemPowerState = PowerSystemWorking;
  impl->device.DevicePowerState = PowerDeviceD0;
  {
    std::lock_guard<std::mutex> guard(ks.lock);
    ks.byFdo[fdo] = impl;
  }

  NTSTATUS status = STATUS_SUCCESS;
  if (descriptor->Dispatch != nullptr && descriptor->Dispatch->Add != nullptr)
    status = descriptor->Dispatch->Add(&impl->device);
  if (!NT_SUCCESS(status)) {
    DetachAndDelete(impl);
    return status;
  }
  fdo->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
  if (out != nullptr) *out = &impl->device;
  return STATUS_SUCCESS;
}

const KSDEVICE_DISPATCH* DispatchOf(DeviceImpl* impl) {
  const KSDEVICE_DESCRIPTOR* d = impl->device.Descriptor;
  return d != nullptr ? d->Dispatch : nullptr;
}

NTSTATUS KsAddDeviceRoutine(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PKSDEVICE device;
  return AddDeviceAt(driver, pdo, &device, HOST_CALLER_SITE());
}

// IRPs sent to an FDO. Plug and Play requests drive the device's life; the
// rest is refused until filters and pins exist to take it.
NTSTATUS KsDispatchIrp(PDEVICE_OBJECT fdo, PIRP irp) {
  PKSDEVICE device = KsGetDeviceForDeviceObject(fdo);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
  if (device != nullptr && stack->MajorFunction == IRP_MJ_PNP) {
    switch (stack->MinorFunction) {
      case IRP_MN_START_DEVICE: status = ks::StartDevice(device); break;
      case IRP_MN_STOP_DEVICE: ks::StopDevice(device); status = STATUS_SUCCESS; break;
      case IRP_MN_SURPRISE_REMOVAL: ks::SurpriseRemoveDevice(device); status = STATUS_SUCCESS; break;
      case IRP_MN_REMOVE_DEVICE: ks::RemoveDevice(device); status = STATUS_SUCCESS; break;
      default: break;
    }
  }
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

void KsUnloadRoutine(PDRIVER_OBJECT driver) {
  Ks& ks = TheKs();
  size_t devices = 0;
  {
    std::lock_guard<std::mutex> guard(ks.lock);
    ks.drivers[driver].unloads++;
    for (const auto& [fdo, impl] : ks.byFdo)
      if (impl->driver == driver) ++devices;
  }
  if (devices != 0)
    Violation("driver %p unloaded with %zu device(s) not removed", static_cast<void*>(driver), devices);
}

}  // namespace

// ---------------------------------------------------------------------------
namespace ksi {

KSOBJECT_BAG CreateBag() {
  Ks& ks = TheKs();
  std::lock_guard<std::mutex> guard(ks.lock);
  Bag* bag = new Bag;
  ks.bags.insert(bag);
  return bag;
}

void FreeBag(KSOBJECT_BAG bag) {
  Ks& ks = TheKs();
  Bag* b;
  {
    std::lock_guard<std::mutex> guard(ks.lock);
    b = FindBag(ks, bag);
    if (b != nullptr) ks.bags.erase(b);
  }
  if (b == nullptr) {
    Violation("freeing %p, which is not an object bag", bag);
    return;
  }
  // Free routines may touch other bags, so the table lock is dropped around each.
  while (true) {
    BagEntry* entry = nullptr;
    unsigned before;
    {
      std::lock_guard<std::mutex> guard(ks.lock);
      if (b->entries.empty()) break;
      before = TakeFromBag(ks, b, b->entries.back()->item, &entry);
    }
    if (before == 1) RunFree(entry->item, entry->free);
    internal::PoolFree(entry, "object bag");
  }
  delete b;
}

bool BagContains(KSOBJECT_BAG bag, const void* item) {
  Ks& ks = TheKs();
  std::lock_guard<std::mutex> guard(ks.lock);
  Bag* b = FindBag(ks, bag);
  return b != nullptr && std::any_of(b->entries.begin(), b->entries.end(),
                                     [item](BagEntry* e) { return e->item == item; });
}

}  // namespace ksi

namespace internal {

void ResetKs() {
  Ks& ks = TheKs();
  std::lock_guard<std::mutex> guard(ks.lock);
  // Pool blocks (devices, bag entries, items) go with the pool's own reset.
  for (Bag* bag : ks.bags) delete bag;
  ks.bags.clear();
  ks.itemBags.clear();
  ks.drivers.clear();
  ks.byFdo.clear();
  ksi::ResetObjects();
}

}  // namespace internal

// ---------------------------------------------------------------------------
namespace ks {

DECLSPEC_NOINLINE NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo, PKSDEVICE* device) {
  return AddDeviceAt(driver, pdo, device, HOST_CALLER_SITE());
}

NTSTATUS StartDevice(PKSDEVICE device) {
  if (!internal::RequireIrql(PASSIVE_LEVEL, "StartDevice")) return STATUS_INVALID_DEVICE_STATE;
  DeviceImpl* impl = CheckedDevice(device, "StartDevice");
  if (impl == nullptr) return STATUS_INVALID_PARAMETER;
  const KSDEVICE_DISPATCH* dispatch = DispatchOf(impl);
  // Start sees Started as it was: a repeated start finds it still set.
  NTSTATUS status = STATUS_SUCCESS;
  if (dispatch != nullptr && dispatch->Start != nullptr) status = dispatch->Start(device, nullptr, nullptr, nullptr);
  if (!NT_SUCCESS(status)) return status;
  device->Started = TRUE;
  device->DevicePowerState = PowerDeviceD0;
  if (dispatch != nullptr && dispatch->PostStart != nullptr) status = dispatch->PostStart(device);
  return status;
}

void StopDevice(PKSDEVICE device) {
  if (!internal::RequireIrql(PASSIVE_LEVEL, "StopDevice")) return;
  DeviceImpl* impl = CheckedDevice(device, "StopDevice");
  if (impl == nullptr) return;
  const KSDEVICE_DISPATCH* dispatch = DispatchOf(impl);
  if (dispatch != nullptr && dispatch->Stop != nullptr) dispatch->Stop(device, nullptr);
  device->Started = FALSE;
  ksi::DeviceStopped(device);
}

void SurpriseRemoveDevice(PKSDEVICE device) {
  if (!internal::RequireIrql(PASSIVE_LEVEL, "SurpriseRemoveDevice")) return;
  DeviceImpl* impl = CheckedDevice(device, "SurpriseRemoveDevice");
  if (impl == nullptr) return;
  const KSDEVICE_DISPATCH* dispatch = DispatchOf(impl);
  if (dispatch != nullptr && dispatch->SurpriseRemoval != nullptr) dispatch->SurpriseRemoval(device, nullptr);
  PassRemovalDown(device, IRP_MN_SURPRISE_REMOVAL);
  device->Started = FALSE;
  ksi::DeviceSurpriseRemoved(device);
}

void RemoveDevice(PKSDEVICE device) {
  if (!internal::RequireIrql(PASSIVE_LEVEL, "RemoveDevice")) return;
  DeviceImpl* impl = CheckedDevice(device, "RemoveDevice");
  if (impl == nullptr) return;
  const KSDEVICE_DISPATCH* dispatch = DispatchOf(impl);
  if (dispatch != nullptr && dispatch->Remove != nullptr) dispatch->Remove(device, nullptr);
  PassRemovalDown(device, IRP_MN_REMOVE_DEVICE);
  if (impl->mutexDepth != 0) {
    Violation("RemoveDevice: the device mutex of %p is still held", static_cast<void*>(device));
    for (; impl->mutexDepth > 0; impl->mutexDepth--) KeReleaseMutex(&impl->mutex, FALSE);
  }
  device->Started = FALSE;
  ksi::DeviceRemoved(device);
  DetachAndDelete(impl);
}

size_t BagItems(KSOBJECT_BAG bag) {
  Ks& ks = TheKs();
  std::lock_guard<std::mutex> guard(ks.lock);
  Bag* b = FindBag(ks, bag);
  return b != nullptr ? b->entries.size() : 0;
}

bool DeviceMutexHeld(PKSDEVICE device) {
  Ks& ks = TheKs();
  std::lock_guard<std::mutex> guard(ks.lock);
  DeviceImpl* impl = FindDevice(ks, device);
  return impl != nullptr && impl->mutexDepth > 0;
}

int UnloadCalls(PDRIVER_OBJECT driver) {
  Ks& ks = TheKs();
  std::lock_guard<std::mutex> guard(ks.lock);
  auto it = ks.drivers.find(driver);
  return it != ks.drivers.end() ? it->second.unloads : 0;
}

}  // namespace ks
}  // namespace host

// ---------------------------------------------------------------------------
// The ks.sys routines.
using host::DeviceImpl;

HOST_EXTERN_C NTSTATUS KsInitializeDriver(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath,
                                          const KSDEVICE_DESCRIPTOR* descriptor) {
  if (!host::internal::RequireIrql(PASSIVE_LEVEL, "KsInitializeDriver")) return STATUS_INVALID_DEVICE_STATE;
  if (driver == nullptr || driver->DriverExtension == nullptr || descriptor == nullptr)
    return STATUS_INVALID_PARAMETER;
  {
    host::Ks& ks = host::TheKs();
    std::lock_guard<std::mutex> guard(ks.lock);
    ks.drivers[driver].descriptor = descriptor;
  }
  for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_DEVICE_CONTROL, IRP_MJ_PNP, IRP_MJ_POWER,
                      IRP_MJ_SYSTEM_CONTROL})
    driver->MajorFunction[major] = host::KsDispatchIrp;
  driver->DriverExtension->AddDevice = host::KsAddDeviceRoutine;
  driver->DriverUnload = host::KsUnloadRoutine;
  return STATUS_SUCCESS;
}

HOST_EXTERN_C void KsAcquireDevice(PKSDEVICE device) {
  if (!host::internal::RequireIrql(PASSIVE_LEVEL, "KsAcquireDevice")) return;
  DeviceImpl* impl = host::CheckedDevice(device, "KsAcquireDevice");
  if (impl == nullptr) return;
  if (host::ksi::ControlMutexesHeld() > 0)
    host::Violation("KsAcquireDevice while holding a filter's control mutex: ks.sys takes the device mutex first, "
                    "so this order can deadlock");
  KeWaitForSingleObject(&impl->mutex, Executive, KernelMode, FALSE, nullptr);
  impl->mutexDepth++;
}

HOST_EXTERN_C void KsReleaseDevice(PKSDEVICE device) {
  DeviceImpl* impl = host::CheckedDevice(device, "KsReleaseDevice");
  if (impl == nullptr) return;
  if (impl->mutexDepth == 0) {
    host::Violation("KsReleaseDevice: the device mutex of %p is not held", static_cast<void*>(device));
    return;
  }
  impl->mutexDepth--;
  KeReleaseMutex(&impl->mutex, FALSE);
}

HOST_EXTERN_C DECLSPEC_NOINLINE NTSTATUS KsAddItemToObjectBag(KSOBJECT_BAG bag, PVOID item, PFNKSFREE free) {
  return host::AddToBag(bag, item, free, HOST_CALLER_SITE(), "KsAddItemToObjectBag");
}

HOST_EXTERN_C ULONG KsRemoveItemFromObjectBag(KSOBJECT_BAG bag, PVOID item, BOOLEAN free) {
  if (!host::internal::RequireIrql(PASSIVE_LEVEL, "KsRemoveItemFromObjectBag")) return 0;
  host::Ks& ks = host::TheKs();
  host::BagEntry* entry = nullptr;
  unsigned before;
  {
    std::lock_guard<std::mutex> guard(ks.lock);
    host::Bag* b = host::FindBag(ks, bag);
    if (b == nullptr) {
      before = ~0u;
    } else {
      before = host::TakeFromBag(ks, b, item, &entry);
    }
  }
  if (before == ~0u) {
    host::Violation("KsRemoveItemFromObjectBag: %p is not an object bag", bag);
    return 0;
  }
  if (entry == nullptr) return 0;
  if (before == 1 && free) host::RunFree(entry->item, entry->free);
  host::internal::PoolFree(entry, "object bag");
  return before;
}

HOST_EXTERN_C DECLSPEC_NOINLINE NTSTATUS _KsEdit(KSOBJECT_BAG bag, PVOID* pointerToPointer, ULONG newSize,
                                                 ULONG oldSize, ULONG tag) {
  const uintptr_t site = HOST_CALLER_SITE();
  if (!host::internal::RequireIrql(PASSIVE_LEVEL, "_KsEdit")) return STATUS_INVALID_DEVICE_STATE;
  if (pointerToPointer == nullptr) return STATUS_INVALID_PARAMETER;
  PVOID old = *pointerToPointer;
  const bool inBag = old != nullptr && host::ksi::BagContains(bag, old);
  // An item the bag already owns needs a new copy only to grow.
  if (inBag && newSize <= oldSize) return STATUS_SUCCESS;
  const size_t oldBlock = old != nullptr ? host::internal::PoolBlockSize(old) : 0;
  if (oldBlock != 0 && oldSize > oldBlock) {
    host::Violation("_KsEdit: OldSize %u is larger than the %zu-byte block at %p", oldSize, oldBlock, old);
    return STATUS_INVALID_PARAMETER;
  }
  void* copy = host::internal::PoolAllocate(PagedPool, newSize, tag, site);
  if (copy == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  const size_t keep = old != nullptr ? std::min(newSize, oldSize) : 0;
  if (keep != 0) memcpy(copy, old, keep);
  memset(static_cast<uint8_t*>(copy) + keep, 0, newSize - keep);
  const NTSTATUS status = host::AddToBag(bag, copy, nullptr, site, "_KsEdit");
  if (!NT_SUCCESS(status)) {
    host::internal::PoolFree(copy, "_KsEdit");
    return status;
  }
  if (inBag) KsRemoveItemFromObjectBag(bag, old, TRUE);
  *pointerToPointer = copy;
  return STATUS_SUCCESS;
}

HOST_EXTERN_C PKSDEVICE KsGetDeviceForDeviceObject(PDEVICE_OBJECT fdo) {
  host::Ks& ks = host::TheKs();
  std::lock_guard<std::mutex> guard(ks.lock);
  auto it = ks.byFdo.find(fdo);
  return it != ks.byFdo.end() ? &it->second->device : nullptr;
}
