// AVStream stand-in, filter and pin side: filter factories, filters and pins
// as a client opens them, the property and method requests routed through
// the automation tables, the pin state machine, the pin's frame queue with its
// leading-edge stream pointer, Process dispatch and reference clocks.
#include <algorithm>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <host/api/ks.h>

#include "core.h"
#include "internal.h"
#include "ks_internal.h"

namespace host::ksi {
namespace {

enum class Kind { kFactory, kFilter, kPin, kClock };

struct FilterImpl;
struct PinImpl;
struct ClockImpl;

struct FactoryImpl {
  KSFILTERFACTORY ks;  // first: the two pointers are interchangeable
  PKSDEVICE device;
  std::u16string reference;
  ULONG flags;
  std::vector<FilterImpl*> filters;
};

struct FilterImpl {
  KSFILTER ks;
  FactoryImpl* factory;
  KMUTEX control;
  std::vector<PinImpl*> pins;  // in creation order
};

// The master clock a client hands to pins: time runs with virtual time from
// the clock's creation.
struct ClockImpl {
  int64_t start;
  LONG refs;  // the client's handle and each pin that uses it
};

// What the driver gets from KsPinGetReferenceClockInterface: one per pin, so
// that the driver's AddRef/Release are accounted per pin.
struct PinClock final : IKsReferenceClock {
  PinImpl* pin = nullptr;
  LONG refs = 0;
  NTSTATUS QueryInterface(REFIID id, PVOID* object) override;
  ULONG AddRef() override;
  ULONG Release() override;
  LONGLONG GetTime() override;
  LONGLONG GetPhysicalTime() override { return GetTime(); }
  LONGLONG GetCorrelatedTime(PLONGLONG systemTime) override;
  LONGLONG GetCorrelatedPhysicalTime(PLONGLONG systemTime) override { return GetCorrelatedTime(systemTime); }
  NTSTATUS GetResolution(PKSRESOLUTION resolution) override;
  NTSTATUS GetState(PKSSTATE state) override;
};

// One client buffer in a pin's queue.
struct Frame {
  ks::Read* read;
  ULONG used;  // bytes of the frame the driver has moved past (unlocked, not ejected)
  NTSTATUS status;  // completion status (KsStreamPointerSetStatusCode)
};

struct PinImpl {
  KSPIN ks;
  FilterImpl* filter;
  uint64_t serial;  // identifies the pin in deferred processing
  // Queue and stream pointer: guarded by `lock` (taken at up to DISPATCH_LEVEL).
  KSPIN_LOCK lock;
  std::deque<Frame> queue;  // front = leading edge
  KSSTREAM_POINTER pointer;
  bool locked;
  NTSTATUS flushStatus;  // non-zero: complete the locked frame with it when it is unlocked
  bool removed;          // the device was surprise-removed
  // Processing (PASSIVE_LEVEL unless the pin asks for DISPATCH_LEVEL processing).
  KMUTEX processingMutex;
  bool processing;
  bool again;
  bool held;  // the last Process returned STATUS_PENDING
  bool asyncQueued;
  uint64_t processCalls;
  ClockImpl* master;
  PinClock clock;
};

struct Objects {
  std::mutex lock;  // guards the tables; never held while driver code runs
  std::map<const void*, Kind> kinds;
  std::vector<FactoryImpl*> factories;
  uint64_t nextSerial = 1;
  std::map<uint64_t, PinImpl*> pinsBySerial;
};

Objects& Table() {
  static Objects* objects = new Objects;
  return *objects;
}

thread_local int controlDepth = 0;

bool IsKind(const void* object, Kind kind) {
  Objects& t = Table();
  std::lock_guard<std::mutex> guard(t.lock);
  auto it = t.kinds.find(object);
  return it != t.kinds.end() && it->second == kind;
}

void Register(const void* object, Kind kind) {
  Objects& t = Table();
  std::lock_guard<std::mutex> guard(t.lock);
  t.kinds[object] = kind;
}

void Unregister(const void* object) {
  Objects& t = Table();
  std::lock_guard<std::mutex> guard(t.lock);
  t.kinds.erase(object);
}

FilterImpl* AsFilter(const void* p) { return IsKind(p, Kind::kFilter) ? (FilterImpl*)p : nullptr; }
PinImpl* AsPin(const void* p) { return IsKind(p, Kind::kPin) ? (PinImpl*)p : nullptr; }

struct ControlLock {
  explicit ControlLock(FilterImpl* f) : filter(f) {
    KeWaitForSingleObject(&filter->control, Executive, KernelMode, FALSE, nullptr);
    controlDepth++;
  }
  ~ControlLock() {
    controlDepth--;
    KeReleaseMutex(&filter->control, FALSE);
  }
  FilterImpl* filter;
};

// An IRP as the I/O manager hands it to ks.sys: one stack location, current,
// with the file object of the handle. Host-side memory, not driver pool.
struct ClientIrp {
  explicit ClientIrp(PFILE_OBJECT file, UCHAR major) {
    memset(&irp, 0, sizeof irp);
    memset(&stack, 0, sizeof stack);
    irp.Type = 6;
    irp.StackCount = 1;
    irp.CurrentLocation = 1;
    irp.Tail.Overlay.CurrentStackLocation = &stack;
    irp.RequestorMode = UserMode;
    stack.MajorFunction = major;
    stack.FileObject = file;
  }
  IRP irp;
  IO_STACK_LOCATION stack;
};

PFILE_OBJECT FileOf(const void* object) { return reinterpret_cast<PFILE_OBJECT>(const_cast<void*>(object)); }

// ---------------------------------------------------------------------------
// Formats and ranges.

ULONG Align8(ULONG n) { return (n + 7u) & ~7u; }

bool GuidMatches(const GUID& range, const GUID& format) { return range == GUID_NULL || range == format; }

bool FormatMatchesRange(const KSDATAFORMAT& format, const KSDATARANGE& range) {
  return GuidMatches(range.MajorFormat, format.MajorFormat) && GuidMatches(range.SubFormat, format.SubFormat) &&
         GuidMatches(range.Specifier, format.Specifier);
}

const KSPIN_DESCRIPTOR_EX* PinDescriptor(const KSFILTER_DESCRIPTOR* d, ULONG id) {
  if (d == nullptr || id >= d->PinDescriptorsCount) return nullptr;
  if (d->PinDescriptorSize < sizeof(KSPIN_DESCRIPTOR_EX)) {
    Violation("filter descriptor %p: PinDescriptorSize %u is smaller than KSPIN_DESCRIPTOR_EX", (void*)d,
              d->PinDescriptorSize);
    return nullptr;
  }
  return reinterpret_cast<const KSPIN_DESCRIPTOR_EX*>(reinterpret_cast<const uint8_t*>(d->PinDescriptors) +
                                                      size_t(id) * d->PinDescriptorSize);
}

// The pin's range that `format` matches, or null.
const KSDATARANGE* MatchingRange(const KSPIN_DESCRIPTOR_EX* pd, const KSDATAFORMAT& format) {
  for (ULONG i = 0; i < pd->PinDescriptor.DataRangesCount; i++) {
    const KSDATARANGE* r = pd->PinDescriptor.DataRanges[i];
    if (r != nullptr && FormatMatchesRange(format, *r)) return r;
  }
  return nullptr;
}

// Offers the pin's ConnectionFormat to the driver's SetDataFormat with each
// range that matches it, in order, as ks.sys does: STATUS_NO_MATCH asks for
// the next range, any other status ends the search. The caller holds the
// filter's control mutex.
NTSTATUS OfferFormat(PKSPIN pin, PKSDATAFORMAT old) {
  const KSPIN_DESCRIPTOR_EX* pd = pin->Descriptor;
  const KSPIN_DISPATCH* dispatch = pd->Dispatch;
  for (ULONG i = 0; i < pd->PinDescriptor.DataRangesCount; i++) {
    const KSDATARANGE* r = pd->PinDescriptor.DataRanges[i];
    if (r == nullptr || !FormatMatchesRange(*pin->ConnectionFormat, *r)) continue;
    if (dispatch == nullptr || dispatch->SetDataFormat == nullptr) return STATUS_SUCCESS;
    const NTSTATUS status = dispatch->SetDataFormat(pin, old, nullptr, r, nullptr);
    if (status != STATUS_NO_MATCH) return status;
  }
  return STATUS_NO_MATCH;
}

ULONG InstancesOf(FilterImpl* f, ULONG id) {
  return ULONG(std::count_if(f->pins.begin(), f->pins.end(), [id](PinImpl* p) { return p->ks.Id == id; }));
}

// ---------------------------------------------------------------------------
// Automation: property and method requests routed by set and id.

struct SetSource {
  ULONG count;
  const void* sets;  // KSPROPERTY_SET or KSMETHOD_SET array
  ULONG itemSize;
};

std::vector<SetSource> SourcesOf(const KSAUTOMATION_TABLE* table, bool methods, std::vector<SetSource> builtIn) {
  if (table != nullptr) {
    if (methods && table->MethodSetsCount != 0) {
      if (table->MethodItemSize < sizeof(KSMETHOD_ITEM) || table->MethodItemSize % 8 != 0)
        Violation("automation table %p: MethodItemSize %u", (void*)table, table->MethodItemSize);
      else
        builtIn.push_back({table->MethodSetsCount, table->MethodSets, table->MethodItemSize});
    }
    if (!methods && table->PropertySetsCount != 0) {
      if (table->PropertyItemSize < sizeof(KSPROPERTY_ITEM) || table->PropertyItemSize % 8 != 0)
        Violation("automation table %p: PropertyItemSize %u", (void*)table, table->PropertyItemSize);
      else
        builtIn.push_back({table->PropertySetsCount, table->PropertySets, table->PropertyItemSize});
    }
  }
  return builtIn;
}

// The request as ks.sys hands it to a handler: one system buffer holding the
// request (its length rounded up to 8) and then the data, exactly as long as
// the two, so that a handler writing past the data is caught.
struct Request {
  ULONG inLength, outLength;
  std::unique_ptr<uint8_t[]> system;
  PKSIDENTIFIER id() { return reinterpret_cast<PKSIDENTIFIER>(system.get()); }
  uint8_t* data() { return system.get() + Align8(inLength); }
};

NTSTATUS Dispatch(PFILE_OBJECT file, bool methods, const std::vector<SetSource>& sources, const void* in,
                  ULONG inLength, void* out, ULONG outLength, ULONG_PTR* information) {
  *information = 0;
  if (!internal::RequireIrql(PASSIVE_LEVEL, methods ? "IOCTL_KS_METHOD" : "IOCTL_KS_PROPERTY"))
    return STATUS_INVALID_DEVICE_STATE;
  if (in == nullptr || inLength < sizeof(KSIDENTIFIER)) return STATUS_INVALID_BUFFER_SIZE;
  if (out == nullptr && outLength != 0) return STATUS_INVALID_PARAMETER;
  Request r{inLength, outLength, std::unique_ptr<uint8_t[]>(new uint8_t[size_t(Align8(inLength)) + outLength]())};
  memcpy(r.system.get(), in, inLength);
  const KSIDENTIFIER id = *r.id();
  const ULONG flags = id.Flags & ~ULONG(KSPROPERTY_TYPE_TOPOLOGY);

  // Find the set, then the item.
  const KSPROPERTY_SET* pset = nullptr;
  const KSMETHOD_SET* mset = nullptr;
  ULONG itemSize = 0;
  for (const SetSource& s : sources) {
    for (ULONG i = 0; i < s.count && pset == nullptr && mset == nullptr; i++) {
      if (methods) {
        const KSMETHOD_SET* set = static_cast<const KSMETHOD_SET*>(s.sets) + i;
        if (set->Set != nullptr && *set->Set == id.Set) mset = set, itemSize = s.itemSize;
      } else {
        const KSPROPERTY_SET* set = static_cast<const KSPROPERTY_SET*>(s.sets) + i;
        if (set->Set != nullptr && *set->Set == id.Set) pset = set, itemSize = s.itemSize;
      }
    }
    if (pset != nullptr || mset != nullptr) break;
  }
  if (pset == nullptr && mset == nullptr) return STATUS_PROPSET_NOT_FOUND;
  if (flags == KSPROPERTY_TYPE_SETSUPPORT) return STATUS_SUCCESS;  // the same bit for methods

  const KSPROPERTY_ITEM* pitem = nullptr;
  const KSMETHOD_ITEM* mitem = nullptr;
  if (pset != nullptr) {
    for (ULONG i = 0; i < pset->PropertiesCount && pitem == nullptr; i++) {
      auto* item = reinterpret_cast<const KSPROPERTY_ITEM*>(reinterpret_cast<const uint8_t*>(pset->PropertyItem) +
                                                            size_t(i) * itemSize);
      if (item->PropertyId == id.Id) pitem = item;
    }
  } else {
    for (ULONG i = 0; i < mset->MethodsCount && mitem == nullptr; i++) {
      auto* item = reinterpret_cast<const KSMETHOD_ITEM*>(reinterpret_cast<const uint8_t*>(mset->MethodItem) +
                                                          size_t(i) * itemSize);
      if (item->MethodId == id.Id) mitem = item;
    }
  }
  if (pitem == nullptr && mitem == nullptr) return STATUS_NOT_FOUND;

  ClientIrp irp(file, IRP_MJ_DEVICE_CONTROL);
  irp.stack.Parameters.DeviceIoControl.IoControlCode = methods ? IOCTL_KS_METHOD : IOCTL_KS_PROPERTY;
  irp.stack.Parameters.DeviceIoControl.InputBufferLength = inLength;
  irp.stack.Parameters.DeviceIoControl.OutputBufferLength = outLength;
  irp.stack.Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(in);
  irp.irp.UserBuffer = out;
  irp.irp.AssociatedIrp.SystemBuffer = r.system.get();

  PFNKSHANDLER handler = nullptr;
  bool copyIn = false, copyOut = false;
  ULONG minRequest, minData;
  if (pitem != nullptr) {
    minRequest = pitem->MinProperty;
    minData = pitem->MinData;
    if (flags == KSPROPERTY_TYPE_BASICSUPPORT) {
      if (pitem->SupportHandler == nullptr) {
        // ks.sys answers from the item: the access flags, or the whole description.
        const ULONG access = KSPROPERTY_TYPE_BASICSUPPORT | (pitem->GetPropertyHandler ? KSPROPERTY_TYPE_GET : 0) |
                             (pitem->SetPropertyHandler ? KSPROPERTY_TYPE_SET : 0);
        if (outLength == 0) {
          *information = sizeof(KSPROPERTY_DESCRIPTION);
          return STATUS_BUFFER_OVERFLOW;
        }
        if (outLength < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
        if (outLength < sizeof(KSPROPERTY_DESCRIPTION)) {
          memcpy(out, &access, sizeof access);
          *information = sizeof access;
          return STATUS_SUCCESS;
        }
        KSPROPERTY_DESCRIPTION d{};
        d.AccessFlags = access;
        d.DescriptionSize = sizeof d;
        d.PropTypeSet.Set = KSPROPTYPESETID_General;
        memcpy(out, &d, sizeof d);
        *information = sizeof d;
        return STATUS_SUCCESS;
      }
      handler = pitem->SupportHandler;
      copyOut = true;
    } else if (flags == KSPROPERTY_TYPE_GET) {
      handler = pitem->GetPropertyHandler;
      copyOut = true;
    } else if (flags == KSPROPERTY_TYPE_SET) {
      handler = pitem->SetPropertyHandler;
      copyIn = true;
    } else {
      return STATUS_INVALID_PARAMETER;
    }
  } else {
    minRequest = mitem->MinMethod;
    minData = mitem->MinData;
    if (flags == KSMETHOD_TYPE_BASICSUPPORT) {
      if (mitem->SupportHandler == nullptr) return STATUS_NOT_FOUND;
      handler = mitem->SupportHandler;
      copyOut = true;
    } else if (flags == KSMETHOD_TYPE_SEND) {
      handler = mitem->MethodHandler;
      const ULONG type = mitem->Flags & KSMETHOD_TYPE_MODIFY;
      copyIn = type != KSMETHOD_TYPE_WRITE;  // NONE and READ pass the caller's bytes in
      copyOut = (type & KSMETHOD_TYPE_WRITE) != 0;
    } else {
      return STATUS_INVALID_PARAMETER;
    }
  }
  if (handler == nullptr) return STATUS_NOT_FOUND;
  if (inLength < minRequest) return STATUS_INVALID_BUFFER_SIZE;
  if (outLength < minData) {
    if (outLength == 0) {
      *information = minData;
      return STATUS_BUFFER_OVERFLOW;
    }
    return STATUS_BUFFER_TOO_SMALL;
  }
  // Data the handler is to fill starts as whatever the pool held, not zeros.
  if (copyIn && outLength != 0) memcpy(r.data(), out, outLength);
  if (!copyIn && outLength != 0) memset(r.data(), 0xCD, outLength);

  const KIRQL before = KeGetCurrentIrql();
  const NTSTATUS status = handler(&irp.irp, r.id(), r.data());
  if (KeGetCurrentIrql() != before) Violation("property or method handler %p returned at another IRQL", (void*)handler);
  if (status == STATUS_PENDING) Violation("property or method handler %p returned STATUS_PENDING", (void*)handler);
  *information = irp.irp.IoStatus.Information;
  if (!NT_ERROR(status) && copyOut) {
    if (*information > outLength && NT_SUCCESS(status))
      Violation("handler %p reported %zu bytes in a %u-byte buffer", (void*)handler, size_t(*information), outLength);
    const size_t n = std::min<size_t>(*information, outLength);
    if (n != 0) memcpy(out, r.data(), n);
  }
  return status;
}

// Answers a list query as ks.sys does: size only, the size as a ULONG, the
// header alone, or the whole list.
NTSTATUS SizedList(PIRP irp, PVOID data, const std::vector<uint8_t>& list) {
  const ULONG out = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
  const ULONG size = ULONG(list.size());
  if (out == 0) {
    irp->IoStatus.Information = size;
    return STATUS_BUFFER_OVERFLOW;
  }
  if (out == sizeof(ULONG)) {
    memcpy(data, &size, sizeof size);
    irp->IoStatus.Information = sizeof size;
    return STATUS_SUCCESS;
  }
  if (out == sizeof(KSMULTIPLE_ITEM)) {
    memcpy(data, list.data(), sizeof(KSMULTIPLE_ITEM));
    irp->IoStatus.Information = sizeof(KSMULTIPLE_ITEM);
    return STATUS_SUCCESS;
  }
  if (out < size) return STATUS_BUFFER_TOO_SMALL;
  memcpy(data, list.data(), size);
  irp->IoStatus.Information = size;
  return STATUS_SUCCESS;
}

FilterImpl* FilterOfIrp(PIRP irp) { return AsFilter(IoGetCurrentIrpStackLocation(irp)->FileObject); }
PinImpl* PinOfIrp(PIRP irp) { return AsPin(IoGetCurrentIrpStackLocation(irp)->FileObject); }

// KSPROPSETID_Pin on a filter. The request is a KSP_PIN (but for CTYPES).
NTSTATUS PinProperty(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  FilterImpl* f = FilterOfIrp(irp);
  const KSFILTER_DESCRIPTOR* d = f->ks.Descriptor;
  if (request->Id == KSPROPERTY_PIN_CTYPES) {
    *static_cast<ULONG*>(data) = d->PinDescriptorsCount;
    irp->IoStatus.Information = sizeof(ULONG);
    return STATUS_SUCCESS;
  }
  auto* p = reinterpret_cast<PKSP_PIN>(request);
  const KSPIN_DESCRIPTOR_EX* pd = PinDescriptor(d, p->PinId);
  if (pd == nullptr) return STATUS_INVALID_PARAMETER;
  switch (request->Id) {
    case KSPROPERTY_PIN_CINSTANCES: {
      KSPIN_CINSTANCES c{pd->InstancesPossible, InstancesOf(f, p->PinId)};
      memcpy(data, &c, sizeof c);
      irp->IoStatus.Information = sizeof c;
      return STATUS_SUCCESS;
    }
    case KSPROPERTY_PIN_DATAFLOW:
    case KSPROPERTY_PIN_COMMUNICATION:
    case KSPROPERTY_PIN_NECESSARYINSTANCES: {
      const ULONG value = request->Id == KSPROPERTY_PIN_DATAFLOW        ? ULONG(pd->PinDescriptor.DataFlow)
                          : request->Id == KSPROPERTY_PIN_COMMUNICATION ? ULONG(pd->PinDescriptor.Communication)
                                                                        : pd->InstancesNecessary;
      memcpy(data, &value, sizeof value);
      irp->IoStatus.Information = sizeof value;
      return STATUS_SUCCESS;
    }
    case KSPROPERTY_PIN_CATEGORY:
      if (pd->PinDescriptor.Category == nullptr) return STATUS_NOT_FOUND;
      memcpy(data, pd->PinDescriptor.Category, sizeof(GUID));
      irp->IoStatus.Information = sizeof(GUID);
      return STATUS_SUCCESS;
    case KSPROPERTY_PIN_DATARANGES: {
      std::vector<uint8_t> list(sizeof(KSMULTIPLE_ITEM));
      for (ULONG i = 0; i < pd->PinDescriptor.DataRangesCount; i++) {
        const KSDATARANGE* range = pd->PinDescriptor.DataRanges[i];
        const size_t at = list.size();
        list.resize(at + Align8(range->FormatSize));
        memcpy(list.data() + at, range, range->FormatSize);
      }
      KSMULTIPLE_ITEM head{ULONG(list.size()), pd->PinDescriptor.DataRangesCount};
      memcpy(list.data(), &head, sizeof head);
      return SizedList(irp, data, list);
    }
    case KSPROPERTY_PIN_DATAINTERSECTION: {
      // The KSP_PIN is followed by a KSMULTIPLE_ITEM of the caller's ranges,
      // each 8-byte aligned; the first that one of the pin's ranges accepts wins.
      PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
      const ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
      const ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
      auto* items = reinterpret_cast<const KSMULTIPLE_ITEM*>(p + 1);
      const ULONG room = inLength - sizeof(KSP_PIN);
      if (items->Size < sizeof(KSMULTIPLE_ITEM) || items->Size > room) return STATUS_INVALID_BUFFER_SIZE;
      const uint8_t* at = reinterpret_cast<const uint8_t*>(items + 1);
      const uint8_t* end = reinterpret_cast<const uint8_t*>(items) + items->Size;
      for (ULONG n = 0; n < items->Count; n++) {
        auto* range = reinterpret_cast<const KSDATARANGE*>(at);
        if (size_t(end - at) < sizeof(KSDATARANGE) || range->FormatSize < sizeof(KSDATARANGE) ||
            range->FormatSize > size_t(end - at))
          return STATUS_INVALID_BUFFER_SIZE;
        for (ULONG i = 0; i < pd->PinDescriptor.DataRangesCount; i++) {
          const KSDATARANGE* mine = pd->PinDescriptor.DataRanges[i];
          if (!FormatMatchesRange(*range, *mine) && !FormatMatchesRange(*mine, *range)) continue;
          if (pd->IntersectHandler == nullptr) continue;
          ULONG size = 0;
          const NTSTATUS status = pd->IntersectHandler(&f->ks, irp, p, const_cast<PKSDATARANGE>(range),
                                                       const_cast<PKSDATARANGE>(mine), outLength, data, &size);
          if (status == STATUS_NO_MATCH) continue;
          if (NT_SUCCESS(status) && size > outLength)
            Violation("intersect handler %p reported %u bytes for a %u-byte buffer", (void*)pd->IntersectHandler,
                      size, outLength);
          irp->IoStatus.Information = size;
          return status;
        }
        at += Align8(range->FormatSize);
        if (at > end) at = end;
      }
      return STATUS_NO_MATCH;
    }
    default:
      return STATUS_NOT_FOUND;
  }
}

const KSPROPERTY_ITEM kPinItems[] = {
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_PIN_CINSTANCES, PinProperty, sizeof(KSP_PIN), sizeof(KSPIN_CINSTANCES),
                           nullptr, nullptr, 0, nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_PIN_CTYPES, PinProperty, sizeof(KSPROPERTY), sizeof(ULONG), nullptr, nullptr, 0,
                           nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_PIN_DATAFLOW, PinProperty, sizeof(KSP_PIN), sizeof(ULONG), nullptr, nullptr, 0,
                           nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_PIN_DATARANGES, PinProperty, sizeof(KSP_PIN), 0, nullptr, nullptr, 0, nullptr,
                           nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_PIN_COMMUNICATION, PinProperty, sizeof(KSP_PIN), sizeof(ULONG), nullptr,
                           nullptr, 0, nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_PIN_NECESSARYINSTANCES, PinProperty, sizeof(KSP_PIN), sizeof(ULONG), nullptr,
                           nullptr, 0, nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_PIN_CATEGORY, PinProperty, sizeof(KSP_PIN), sizeof(GUID), nullptr, nullptr, 0,
                           nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_PIN_DATAINTERSECTION, PinProperty, sizeof(KSP_PIN) + sizeof(KSMULTIPLE_ITEM),
                           0, nullptr, nullptr, 0, nullptr, nullptr, 0),
};
const KSPROPERTY_SET kFilterSets[] = {
    DEFINE_KSPROPERTY_SET(&KSPROPSETID_Pin, SIZEOF_ARRAY(kPinItems), kPinItems, 0, nullptr)};

// ---------------------------------------------------------------------------
// Pins: formats, states, the frame queue and processing.

void CompleteRead(ks::Read* read, NTSTATUS status) {
  read->status = status;
  read->completedAt = sched::Now();
  read->done = true;
}

// Completes every queued frame, in queue order, but a locked leading edge
// (which completes with `status` when the driver unlocks it).
void Flush(PinImpl* p, NTSTATUS status) {
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&p->lock);
  size_t keep = 0;
  if (p->locked && !p->queue.empty()) {
    p->flushStatus = status;
    keep = 1;
  }
  while (p->queue.size() > keep) {
    ks::Read* read = p->queue[keep].read;
    p->queue.erase(p->queue.begin() + keep);
    read->header->DataUsed = 0;
    CompleteRead(read, status);
  }
  KeReleaseSpinLock(&p->lock, irql);
}

bool MayProcess(PinImpl* p) {
  const KSPIN_DESCRIPTOR_EX* pd = p->ks.Descriptor;
  if (pd->Dispatch == nullptr || pd->Dispatch->Process == nullptr) return false;
  const KSSTATE needed = (pd->Flags & KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY) ? KSSTATE_RUN : KSSTATE_PAUSE;
  if (p->ks.DeviceState < needed) return false;
  if (pd->Flags & KSPIN_FLAG_FRAMES_NOT_REQUIRED_FOR_PROCESSING) return true;
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&p->lock);
  const bool data = !p->queue.empty();
  KeReleaseSpinLock(&p->lock, irql);
  return data;
}

void ProcessNow(PinImpl* p) {
  if (p->processing) {
    p->again = true;
    return;
  }
  for (int rounds = 0; MayProcess(p); rounds++) {
    if (rounds == 10000) {
      Violation("Process of pin %p keeps returning STATUS_SUCCESS without consuming its frames", (void*)&p->ks);
      return;
    }
    // The processing mutex keeps a close from freeing the pin under Process.
    const bool passive = KeGetCurrentIrql() == PASSIVE_LEVEL;
    if (passive) KeWaitForSingleObject(&p->processingMutex, Executive, KernelMode, FALSE, nullptr);
    p->processing = true;
    p->again = false;
    p->processCalls++;
    const NTSTATUS status = p->ks.Descriptor->Dispatch->Process(&p->ks);
    p->processing = false;
    if (passive) KeReleaseMutex(&p->processingMutex, FALSE);
    if (status == STATUS_PENDING) {
      p->held = true;
      if (!p->again) return;
    } else {
      p->held = false;
      if (!NT_SUCCESS(status)) return;
    }
  }
}

// Runs Process as ks.sys would from here: at once at PASSIVE_LEVEL (or at
// DISPATCH_LEVEL for a pin that processes there), else from a worker.
void AttemptProcessing(PinImpl* p, bool asynchronous) {
  const bool dispatchLevel = (p->ks.Descriptor->Flags & KSPIN_FLAG_DISPATCH_LEVEL_PROCESSING) != 0;
  const KIRQL irql = KeGetCurrentIrql();
  if (!asynchronous && (irql == PASSIVE_LEVEL || dispatchLevel)) {
    ProcessNow(p);
    return;
  }
  if (p->asyncQueued) return;
  p->asyncQueued = true;
  const uint64_t serial = p->serial;
  auto run = [serial] {
    PinImpl* pin;
    {
      Objects& t = Table();
      std::lock_guard<std::mutex> guard(t.lock);
      auto it = t.pinsBySerial.find(serial);
      pin = it != t.pinsBySerial.end() ? it->second : nullptr;
    }
    if (pin == nullptr) return;  // closed meanwhile
    pin->asyncQueued = false;
    ProcessNow(pin);
  };
  // Process may wait (PASSIVE_LEVEL), so it runs on a worker of its own, as
  // ks.sys runs it from a work item; a pin that processes at DISPATCH_LEVEL
  // gets a DPC.
  if (dispatchLevel)
    sched::After(0, run, DISPATCH_LEVEL, "KsPinAttemptProcessing");
  else
    internal::StartThread("ks processing", run, true);
}

NTSTATUS WalkState(PinImpl* p, KSSTATE target) {
  const KSPIN_DISPATCH* dispatch = p->ks.Descriptor->Dispatch;
  p->ks.ClientState = target;
  NTSTATUS status = STATUS_SUCCESS;
  while (p->ks.DeviceState != target) {
    const KSSTATE from = p->ks.DeviceState;
    const KSSTATE to = KSSTATE(from < target ? from + 1 : from - 1);
    if (dispatch != nullptr && dispatch->SetDeviceState != nullptr) {
      ControlLock control(p->filter);
      status = dispatch->SetDeviceState(&p->ks, to, from);
    }
    if (!NT_SUCCESS(status)) break;
    p->ks.DeviceState = to;
    if (to == KSSTATE_STOP) Flush(p, STATUS_CANCELLED);
    if (to > from && to >= KSSTATE_PAUSE) {
      p->held = false;
      ProcessNow(p);
    }
  }
  return status;
}

// KSPROPSETID_Connection and KSPROPSETID_Stream on a pin.
NTSTATUS ConnectionProperty(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  PinImpl* p = PinOfIrp(irp);
  const ULONG outLength = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
  const bool get = (request->Flags & KSPROPERTY_TYPE_GET) != 0;
  switch (request->Id) {
    case KSPROPERTY_CONNECTION_STATE:
      if (get) {
        const ULONG state = p->ks.DeviceState;
        memcpy(data, &state, sizeof state);
        irp->IoStatus.Information = sizeof state;
        return STATUS_SUCCESS;
      } else {
        ULONG state;
        memcpy(&state, data, sizeof state);
        if (state > KSSTATE_RUN) return STATUS_INVALID_PARAMETER;
        return WalkState(p, KSSTATE(state));
      }
    case KSPROPERTY_CONNECTION_DATAFORMAT: {
      if (get) {
        const ULONG size = p->ks.ConnectionFormat->FormatSize;
        if (outLength < size) return STATUS_BUFFER_TOO_SMALL;
        memcpy(data, p->ks.ConnectionFormat, size);
        irp->IoStatus.Information = size;
        return STATUS_SUCCESS;
      }
      auto* format = static_cast<const KSDATAFORMAT*>(data);
      if (format->FormatSize < sizeof(KSDATAFORMAT) || format->FormatSize > outLength) return STATUS_INVALID_PARAMETER;
      if (p->ks.Descriptor->Flags & KSPIN_FLAG_FIXED_FORMAT) return STATUS_INVALID_DEVICE_REQUEST;
      const KSDATARANGE* range = MatchingRange(p->ks.Descriptor, *format);
      if (range == nullptr) return STATUS_NO_MATCH;
      auto* copy = reinterpret_cast<PKSDATAFORMAT>(new uint8_t[format->FormatSize]);
      memcpy(copy, format, format->FormatSize);
      PKSDATAFORMAT old = p->ks.ConnectionFormat;
      p->ks.ConnectionFormat = copy;
      NTSTATUS status;
      {
        ControlLock control(p->filter);
        status = OfferFormat(&p->ks, old);
      }
      PKSDATAFORMAT drop = NT_SUCCESS(status) ? old : copy;
      if (!NT_SUCCESS(status)) p->ks.ConnectionFormat = old;
      delete[] reinterpret_cast<uint8_t*>(drop);
      return status;
    }
    case KSPROPERTY_CONNECTION_ALLOCATORFRAMING_EX: {
      const KSALLOCATOR_FRAMING_EX* framing = p->ks.Descriptor->AllocatorFraming;
      if (framing == nullptr || framing->CountItems == 0) return STATUS_NOT_FOUND;
      const ULONG size = ULONG(sizeof(KSALLOCATOR_FRAMING_EX) + (framing->CountItems - 1) * sizeof(KS_FRAMING_ITEM));
      if (outLength == 0) {
        irp->IoStatus.Information = size;
        return STATUS_BUFFER_OVERFLOW;
      }
      if (outLength < size) return STATUS_BUFFER_TOO_SMALL;
      memcpy(data, framing, size);
      irp->IoStatus.Information = size;
      return STATUS_SUCCESS;
    }
    default:
      return STATUS_NOT_FOUND;
  }
}

void ReleaseMaster(ClockImpl* c);

NTSTATUS StreamProperty(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  PinImpl* p = PinOfIrp(irp);
  if ((request->Flags & KSPROPERTY_TYPE_GET) != 0) {
    HANDLE h = p->master;
    memcpy(data, &h, sizeof h);
    irp->IoStatus.Information = sizeof h;
    return STATUS_SUCCESS;
  }
  HANDLE h;
  memcpy(&h, data, sizeof h);
  if (h != nullptr && !IsKind(h, Kind::kClock)) return STATUS_INVALID_HANDLE;
  if (p->ks.DeviceState != KSSTATE_STOP) return STATUS_INVALID_DEVICE_STATE;
  if (p->master != nullptr) ReleaseMaster(p->master);
  p->master = static_cast<ClockImpl*>(h);
  if (p->master != nullptr) p->master->refs++;
  return STATUS_SUCCESS;
}

const KSPROPERTY_ITEM kConnectionItems[] = {
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_CONNECTION_STATE, ConnectionProperty, sizeof(KSPROPERTY), sizeof(ULONG),
                           ConnectionProperty, nullptr, 0, nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_CONNECTION_DATAFORMAT, ConnectionProperty, sizeof(KSPROPERTY),
                           sizeof(KSDATAFORMAT), ConnectionProperty, nullptr, 0, nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_CONNECTION_ALLOCATORFRAMING_EX, ConnectionProperty, sizeof(KSPROPERTY), 0,
                           nullptr, nullptr, 0, nullptr, nullptr, 0),
};
const KSPROPERTY_ITEM kStreamItems[] = {
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_STREAM_MASTERCLOCK, StreamProperty, sizeof(KSPROPERTY), sizeof(HANDLE),
                           StreamProperty, nullptr, 0, nullptr, nullptr, 0),
};
const KSPROPERTY_SET kPinSets[] = {
    DEFINE_KSPROPERTY_SET(&KSPROPSETID_Connection, SIZEOF_ARRAY(kConnectionItems), kConnectionItems, 0, nullptr),
    DEFINE_KSPROPERTY_SET(&KSPROPSETID_Stream, SIZEOF_ARRAY(kStreamItems), kStreamItems, 0, nullptr),
};

void ReleaseMaster(ClockImpl* c) {
  if (--c->refs == 0) {
    Unregister(c);
    delete c;
  }
}

// ---------------------------------------------------------------------------
// Object lifetimes.

void DestroyPin(PinImpl* p) {
  // Every state down to stop, one step at a time, whatever the driver says.
  while (p->ks.DeviceState != KSSTATE_STOP) {
    const KSSTATE from = p->ks.DeviceState;
    const KSSTATE to = KSSTATE(from - 1);
    const KSPIN_DISPATCH* dispatch = p->ks.Descriptor->Dispatch;
    if (dispatch != nullptr && dispatch->SetDeviceState != nullptr) {
      ControlLock control(p->filter);
      dispatch->SetDeviceState(&p->ks, to, from);
    }
    p->ks.DeviceState = to;
  }
  Flush(p, STATUS_CANCELLED);
  // A Process under way elsewhere finishes first.
  KeWaitForSingleObject(&p->processingMutex, Executive, KernelMode, FALSE, nullptr);
  KeReleaseMutex(&p->processingMutex, FALSE);
  if (p->locked) Violation("pin %p closed with its leading-edge stream pointer still locked", (void*)&p->ks);
  {
    ClientIrp irp(FileOf(p), IRP_MJ_CLOSE);
    const KSPIN_DISPATCH* dispatch = p->ks.Descriptor->Dispatch;
    if (dispatch != nullptr && dispatch->Close != nullptr) {
      ControlLock control(p->filter);
      dispatch->Close(&p->ks, &irp.irp);
    }
  }
  FreeBag(p->ks.Bag);
  if (p->clock.refs != 0)
    Violation("pin %p closed with %d reference(s) to its reference clock not released", (void*)&p->ks,
              int(p->clock.refs));
  if (p->master != nullptr) ReleaseMaster(p->master);
  auto& pins = p->filter->pins;
  pins.erase(std::remove(pins.begin(), pins.end(), p), pins.end());
  {
    Objects& t = Table();
    std::lock_guard<std::mutex> guard(t.lock);
    t.kinds.erase(p);
    t.pinsBySerial.erase(p->serial);
  }
  delete[] reinterpret_cast<uint8_t*>(p->ks.ConnectionFormat);
  delete p;
}

void DestroyFilter(FilterImpl* f) {
  while (!f->pins.empty()) DestroyPin(f->pins.back());
  {
    ClientIrp irp(FileOf(f), IRP_MJ_CLOSE);
    const KSFILTER_DISPATCH* dispatch = f->ks.Descriptor->Dispatch;
    if (dispatch != nullptr && dispatch->Close != nullptr) {
      ControlLock control(f);
      dispatch->Close(&f->ks, &irp.irp);
    }
  }
  FreeBag(f->ks.Bag);
  auto& filters = f->factory->filters;
  filters.erase(std::remove(filters.begin(), filters.end(), f), filters.end());
  Unregister(f);
  delete f;
}

void DestroyFactory(FactoryImpl* factory) {
  if (!factory->filters.empty())
    Violation("the filter factory \"%s\" goes away with %zu filter(s) open",
              std::string(factory->reference.begin(), factory->reference.end()).c_str(), factory->filters.size());
  while (!factory->filters.empty()) DestroyFilter(factory->filters.back());
  FreeBag(factory->ks.Bag);
  {
    Objects& t = Table();
    std::lock_guard<std::mutex> guard(t.lock);
    t.kinds.erase(factory);
    t.factories.erase(std::remove(t.factories.begin(), t.factories.end(), factory), t.factories.end());
  }
  delete factory;
}

std::vector<FactoryImpl*> FactoriesOf(PKSDEVICE device) {
  Objects& t = Table();
  std::lock_guard<std::mutex> guard(t.lock);
  std::vector<FactoryImpl*> out;
  for (FactoryImpl* f : t.factories)
    if (f->device == device) out.push_back(f);
  return out;
}

std::vector<PinImpl*> PinsOf(PKSDEVICE device) {
  std::vector<PinImpl*> out;
  for (FactoryImpl* factory : FactoriesOf(device))
    for (FilterImpl* f : factory->filters) out.insert(out.end(), f->pins.begin(), f->pins.end());
  return out;
}

bool removedDevice(PKSDEVICE device);
std::vector<PKSDEVICE> surpriseRemoved;
bool removedDevice(PKSDEVICE device) {
  return std::find(surpriseRemoved.begin(), surpriseRemoved.end(), device) != surpriseRemoved.end();
}

// ---------------------------------------------------------------------------
// The reference clock given to the driver.

NTSTATUS PinClock::QueryInterface(REFIID id, PVOID* object) {
  if (object == nullptr) return STATUS_INVALID_PARAMETER;
  *object = nullptr;
  if (id != IID_IUnknown) return STATUS_NOINTERFACE;
  AddRef();
  *object = this;
  return STATUS_SUCCESS;
}
ULONG PinClock::AddRef() { return ULONG(InterlockedIncrement(&refs)); }
ULONG PinClock::Release() {
  if (refs <= 0) {
    Violation("IKsReferenceClock::Release of pin %p without a reference", (void*)&pin->ks);
    return 0;
  }
  return ULONG(InterlockedDecrement(&refs));
}
LONGLONG PinClock::GetTime() { return pin->master != nullptr ? sched::Now() - pin->master->start : 0; }
LONGLONG PinClock::GetCorrelatedTime(PLONGLONG systemTime) {
  if (systemTime != nullptr) *systemTime = sched::Now();
  return GetTime();
}
NTSTATUS PinClock::GetResolution(PKSRESOLUTION resolution) {
  resolution->Granularity = 1;
  resolution->Error = 0;
  return STATUS_SUCCESS;
}
NTSTATUS PinClock::GetState(PKSSTATE state) {
  *state = pin->ks.DeviceState;
  return STATUS_SUCCESS;
}

}  // namespace

// ---------------------------------------------------------------------------
// Hooks for the device side.

int ControlMutexesHeld() { return controlDepth; }

void DeviceStopped(PKSDEVICE device) {
  for (FactoryImpl* f : FactoriesOf(device))
    if (f->flags & KSCREATE_ITEM_FREEONSTOP) DestroyFactory(f);
}

void DeviceSurpriseRemoved(PKSDEVICE device) {
  if (!removedDevice(device)) surpriseRemoved.push_back(device);
  for (PinImpl* p : PinsOf(device)) {
    p->removed = true;
    Flush(p, STATUS_DEVICE_REMOVED);
  }
}

void DeviceRemoved(PKSDEVICE device) {
  for (FactoryImpl* f : FactoriesOf(device)) DestroyFactory(f);
  surpriseRemoved.erase(std::remove(surpriseRemoved.begin(), surpriseRemoved.end(), device), surpriseRemoved.end());
}

void ResetObjects() {
  Objects& t = Table();
  std::lock_guard<std::mutex> guard(t.lock);
  // Driver memory went with the pool's reset; the host's own records go here.
  for (FactoryImpl* factory : t.factories) {
    for (FilterImpl* f : factory->filters) {
      for (PinImpl* p : f->pins) {
        delete[] reinterpret_cast<uint8_t*>(p->ks.ConnectionFormat);
        delete p;
      }
      delete f;
    }
    delete factory;
  }
  for (auto& [object, kind] : t.kinds)
    if (kind == Kind::kClock) delete static_cast<const ClockImpl*>(object);
  t.factories.clear();
  t.kinds.clear();
  t.pinsBySerial.clear();
  surpriseRemoved.clear();
}

}  // namespace host::ksi

// ---------------------------------------------------------------------------
// The client side (bench API).
namespace host::ks {

using namespace host::ksi;

NTSTATUS OpenFilter(PKSDEVICE device, std::u16string_view reference, Handle* filter) {
  *filter = nullptr;
  if (!internal::RequireIrql(PASSIVE_LEVEL, "OpenFilter")) return STATUS_INVALID_DEVICE_STATE;
  if (removedDevice(device)) return STATUS_DEVICE_REMOVED;
  FactoryImpl* factory = nullptr;
  for (FactoryImpl* f : FactoriesOf(device))
    if (f->reference == reference) factory = f;
  if (factory == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  auto* f = new FilterImpl{};
  f->factory = factory;
  f->ks.Descriptor = factory->ks.FilterDescriptor;
  f->ks.Bag = CreateBag();
  f->ks.Context = factory->ks.Context;
  KeInitializeMutex(&f->control, 0);
  Register(f, Kind::kFilter);
  NTSTATUS status = STATUS_SUCCESS;
  const KSFILTER_DISPATCH* dispatch = f->ks.Descriptor->Dispatch;
  if (dispatch != nullptr && dispatch->Create != nullptr) {
    ClientIrp irp(FileOf(f), IRP_MJ_CREATE);
    status = dispatch->Create(&f->ks, &irp.irp);
  }
  if (!NT_SUCCESS(status)) {
    FreeBag(f->ks.Bag);
    Unregister(f);
    delete f;
    return status;
  }
  factory->filters.push_back(f);
  *filter = FileOf(f);
  return STATUS_SUCCESS;
}

NTSTATUS CreatePin(Handle filter, const void* connect, ULONG length, Handle* pin) {
  *pin = nullptr;
  if (!internal::RequireIrql(PASSIVE_LEVEL, "CreatePin")) return STATUS_INVALID_DEVICE_STATE;
  FilterImpl* f = AsFilter(filter);
  if (f == nullptr) return STATUS_INVALID_HANDLE;
  if (removedDevice(f->factory->device)) return STATUS_DEVICE_REMOVED;
  if (connect == nullptr || length < sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT)) return STATUS_INVALID_BUFFER_SIZE;
  KSPIN_CONNECT c;
  memcpy(&c, connect, sizeof c);
  auto* format = reinterpret_cast<const KSDATAFORMAT*>(static_cast<const uint8_t*>(connect) + sizeof c);
  const ULONG formatSize = format->FormatSize;
  if (formatSize < sizeof(KSDATAFORMAT) || formatSize > length - sizeof c) return STATUS_INVALID_BUFFER_SIZE;
  const KSPIN_DESCRIPTOR_EX* pd = PinDescriptor(f->ks.Descriptor, c.PinId);
  if (pd == nullptr) return STATUS_INVALID_PARAMETER;
  if (c.PinToHandle != nullptr) return STATUS_INVALID_PARAMETER;  // only user-mode sinks here
  if (c.Interface.Set != KSINTERFACESETID_Standard || c.Interface.Id != KSINTERFACE_STANDARD_STREAMING ||
      c.Medium.Set != KSMEDIUMSETID_Standard || c.Medium.Id != KSMEDIUM_TYPE_ANYINSTANCE)
    return STATUS_NO_MATCH;
  if (InstancesOf(f, c.PinId) >= pd->InstancesPossible) return STATUS_DEVICE_BUSY;
  const KSDATARANGE* range = MatchingRange(pd, *format);
  if (range == nullptr) return STATUS_NO_MATCH;

  auto* p = new PinImpl{};
  p->filter = f;
  p->ks.Descriptor = pd;
  p->ks.Bag = CreateBag();
  p->ks.Context = f->ks.Context;
  p->ks.Id = c.PinId;
  p->ks.Communication = KSPIN_COMMUNICATION_SINK;
  p->ks.ConnectionInterface = c.Interface;
  p->ks.ConnectionMedium = c.Medium;
  p->ks.ConnectionPriority = c.Priority;
  p->ks.ConnectionFormat = reinterpret_cast<PKSDATAFORMAT>(new uint8_t[formatSize]);
  memcpy(p->ks.ConnectionFormat, format, formatSize);
  p->ks.DataFlow = pd->PinDescriptor.DataFlow;
  p->ks.DeviceState = p->ks.ClientState = KSSTATE_STOP;
  p->ks.ResetState = KSRESET_END;
  KeInitializeSpinLock(&p->lock);
  KeInitializeMutex(&p->processingMutex, 0);
  p->clock.pin = p;
  {
    Objects& t = Table();
    std::lock_guard<std::mutex> guard(t.lock);
    p->serial = t.nextSerial++;
    t.pinsBySerial[p->serial] = p;
    t.kinds[p] = Kind::kPin;
  }
  // The format is checked by the driver first (no old format), then the pin is created.
  NTSTATUS status = STATUS_SUCCESS;
  {
    ControlLock control(f);
    status = OfferFormat(&p->ks, nullptr);
    if (NT_SUCCESS(status) && pd->Dispatch != nullptr && pd->Dispatch->Create != nullptr) {
      ClientIrp irp(FileOf(p), IRP_MJ_CREATE);
      status = pd->Dispatch->Create(&p->ks, &irp.irp);
    }
  }
  if (!NT_SUCCESS(status)) {
    FreeBag(p->ks.Bag);
    {
      Objects& t = Table();
      std::lock_guard<std::mutex> guard(t.lock);
      t.kinds.erase(p);
      t.pinsBySerial.erase(p->serial);
    }
    delete[] reinterpret_cast<uint8_t*>(p->ks.ConnectionFormat);
    delete p;
    return status;
  }
  f->pins.push_back(p);
  *pin = FileOf(p);
  return STATUS_SUCCESS;
}

NTSTATUS Close(Handle handle) {
  if (!internal::RequireIrql(PASSIVE_LEVEL, "Close")) return STATUS_INVALID_DEVICE_STATE;
  if (PinImpl* p = AsPin(handle)) {
    DestroyPin(p);
  } else if (FilterImpl* f = AsFilter(handle)) {
    DestroyFilter(f);
  } else if (IsKind(handle, Kind::kClock)) {
    ReleaseMaster(reinterpret_cast<ClockImpl*>(handle));
  } else {
    return STATUS_INVALID_HANDLE;
  }
  return STATUS_SUCCESS;
}

Handle CreateClock() {
  auto* c = new ClockImpl{sched::Now(), 1};
  Register(c, Kind::kClock);
  return reinterpret_cast<Handle>(c);
}

IoResult DeviceIoControl(Handle handle, ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength) {
  IoResult r{STATUS_INVALID_DEVICE_REQUEST, 0};
  std::vector<SetSource> sources;
  if (FilterImpl* f = AsFilter(handle)) {
    if (code == IOCTL_KS_PROPERTY) {
      sources = SourcesOf(f->ks.Descriptor->AutomationTable, false, {{1, kFilterSets, sizeof(KSPROPERTY_ITEM)}});
    } else if (code == IOCTL_KS_METHOD) {
      sources = SourcesOf(f->ks.Descriptor->AutomationTable, true, {});
    } else {
      return r;
    }
    ControlLock control(f);
    r.status = Dispatch(FileOf(f), code == IOCTL_KS_METHOD, sources, in, inLength, out, outLength, &r.information);
    return r;
  }
  if (PinImpl* p = AsPin(handle)) {
    if (code == IOCTL_KS_PROPERTY) {
      sources = SourcesOf(p->ks.Descriptor->AutomationTable, false, {{2, kPinSets, sizeof(KSPROPERTY_ITEM)}});
    } else if (code == IOCTL_KS_METHOD) {
      sources = SourcesOf(p->ks.Descriptor->AutomationTable, true, {});
    } else {
      return r;
    }
    // State changes take the control mutex per step themselves.
    r.status = Dispatch(FileOf(p), code == IOCTL_KS_METHOD, sources, in, inLength, out, outLength, &r.information);
    return r;
  }
  r.status = STATUS_INVALID_HANDLE;
  return r;
}

NTSTATUS SubmitRead(Handle pin, Read* read) {
  PinImpl* p = AsPin(pin);
  if (p == nullptr) return STATUS_INVALID_HANDLE;
  if (read == nullptr || read->header == nullptr) return STATUS_INVALID_PARAMETER;
  const KSSTREAM_HEADER& h = *read->header;
  if (h.Size < sizeof(KSSTREAM_HEADER) || h.Size % 8 != 0 || h.Size != read->headerSize) return STATUS_INVALID_BUFFER_SIZE;
  if (h.Data == nullptr || h.FrameExtent == 0) return STATUS_INVALID_PARAMETER;
  if (p->removed) return STATUS_DEVICE_REMOVED;
  if (p->ks.DeviceState == KSSTATE_STOP) return STATUS_INVALID_DEVICE_STATE;
  read->header->DataUsed = 0;
  read->header->OptionsFlags = 0;
  read->done = false;
  read->status = STATUS_PENDING;
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&p->lock);
  const bool wasEmpty = p->queue.empty();
  p->queue.push_back(Frame{read, 0, STATUS_SUCCESS});
  KeReleaseSpinLock(&p->lock, irql);
  if (wasEmpty) {
    p->held = false;
    ProcessNow(p);
  }
  return STATUS_PENDING;
}

size_t QueuedReads(Handle pin) {
  PinImpl* p = AsPin(pin);
  if (p == nullptr) return 0;
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&p->lock);
  const size_t n = p->queue.size();
  KeReleaseSpinLock(&p->lock, irql);
  return n;
}

PKSPIN PinObject(Handle pin) {
  PinImpl* p = AsPin(pin);
  return p != nullptr ? &p->ks : nullptr;
}
PKSFILTER FilterObject(Handle filter) {
  FilterImpl* f = AsFilter(filter);
  return f != nullptr ? &f->ks : nullptr;
}
uint64_t ProcessCalls(Handle pin) {
  PinImpl* p = AsPin(pin);
  return p != nullptr ? p->processCalls : 0;
}
size_t FilterFactories(PKSDEVICE device) { return FactoriesOf(device).size(); }

}  // namespace host::ks

// ---------------------------------------------------------------------------
// The ks.sys routines.
using namespace host::ksi;

HOST_EXTERN_C NTSTATUS KsCreateFilterFactory(PDEVICE_OBJECT deviceObject, const KSFILTER_DESCRIPTOR* descriptor,
                                             PWSTR refString, PSECURITY_DESCRIPTOR securityDescriptor,
                                             ULONG createItemFlags, PFNKSFILTERFACTORYPOWER sleepCallback,
                                             PFNKSFILTERFACTORYPOWER wakeCallback, PKSFILTERFACTORY* filterFactory) {
  if (filterFactory != nullptr) *filterFactory = nullptr;
  if (!host::internal::RequireIrql(PASSIVE_LEVEL, "KsCreateFilterFactory")) return STATUS_INVALID_DEVICE_STATE;
  PKSDEVICE device = KsGetDeviceForDeviceObject(deviceObject);
  if (device == nullptr) {
    host::Violation("KsCreateFilterFactory: %p is not the functional device object of a KSDEVICE", (void*)deviceObject);
    return STATUS_INVALID_PARAMETER;
  }
  if (descriptor == nullptr || descriptor->Version != KSFILTER_DESCRIPTOR_VERSION) return STATUS_INVALID_PARAMETER;
  for (ULONG i = 0; i < descriptor->PinDescriptorsCount; i++) {
    const KSPIN_DESCRIPTOR_EX* pd = PinDescriptor(descriptor, i);
    if (pd == nullptr) return STATUS_INVALID_PARAMETER;
    for (ULONG r = 0; r < pd->PinDescriptor.DataRangesCount; r++) {
      const KSDATARANGE* range = pd->PinDescriptor.DataRanges[r];
      if (range == nullptr || range->FormatSize < sizeof(KSDATARANGE)) {
        host::Violation("KsCreateFilterFactory: pin %u data range %u is missing or shorter than a KSDATARANGE", i, r);
        return STATUS_INVALID_PARAMETER;
      }
    }
  }
  std::u16string reference;
  if (refString != nullptr)
    for (PWSTR c = refString; *c != 0; c++) reference.push_back(*c);
  for (FactoryImpl* f : FactoriesOf(device))
    if (f->reference == reference) return STATUS_OBJECT_NAME_COLLISION;
  auto* factory = new FactoryImpl{};
  factory->ks.FilterDescriptor = descriptor;
  factory->ks.Bag = CreateBag();
  factory->ks.Context = device->Context;
  factory->device = device;
  factory->reference = reference;
  factory->flags = createItemFlags;
  {
    Objects& t = Table();
    std::lock_guard<std::mutex> guard(t.lock);
    t.factories.push_back(factory);
    t.kinds[factory] = Kind::kFactory;
  }
  if (filterFactory != nullptr) *filterFactory = &factory->ks;
  return STATUS_SUCCESS;
}

HOST_EXTERN_C PVOID KsGetParent(PVOID object) {
  if (PinImpl* p = AsPin(object)) return &p->filter->ks;
  if (FilterImpl* f = AsFilter(object)) return &f->factory->ks;
  if (IsKind(object, Kind::kFactory)) return static_cast<FactoryImpl*>(object)->device;
  if (KsGetDeviceForDeviceObject(object != nullptr ? static_cast<PKSDEVICE>(object)->FunctionalDeviceObject : nullptr) ==
      object)
    return nullptr;
  host::Violation("KsGetParent: %p is not an AVStream object", object);
  return nullptr;
}

HOST_EXTERN_C PKSDEVICE KsGetDevice(PVOID object) {
  if (PinImpl* p = AsPin(object)) return p->filter->factory->device;
  if (FilterImpl* f = AsFilter(object)) return f->factory->device;
  if (IsKind(object, Kind::kFactory)) return static_cast<FactoryImpl*>(object)->device;
  if (object != nullptr &&
      KsGetDeviceForDeviceObject(static_cast<PKSDEVICE>(object)->FunctionalDeviceObject) == object)
    return static_cast<PKSDEVICE>(object);
  host::Violation("KsGetDevice: %p is not an AVStream object", object);
  return nullptr;
}

HOST_EXTERN_C PKSFILTER KsGetFilterFromIrp(PIRP irp) {
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  if (FilterImpl* f = AsFilter(file)) return &f->ks;
  if (PinImpl* p = AsPin(file)) return &p->filter->ks;
  return nullptr;
}

HOST_EXTERN_C PKSPIN KsGetPinFromIrp(PIRP irp) {
  PinImpl* p = AsPin(IoGetCurrentIrpStackLocation(irp)->FileObject);
  return p != nullptr ? &p->ks : nullptr;
}

static PinImpl* CheckedPin(PKSPIN pin, const char* routine) {
  PinImpl* p = AsPin(pin);
  if (p == nullptr) host::Violation("%s: %p is not a live KSPIN", routine, (void*)pin);
  return p;
}
static FilterImpl* CheckedFilter(PKSFILTER filter, const char* routine) {
  FilterImpl* f = AsFilter(filter);
  if (f == nullptr) host::Violation("%s: %p is not a live KSFILTER", routine, (void*)filter);
  return f;
}

HOST_EXTERN_C PKSFILTER KsPinGetParentFilter(PKSPIN pin) {
  PinImpl* p = CheckedPin(pin, "KsPinGetParentFilter");
  return p != nullptr ? &p->filter->ks : nullptr;
}

HOST_EXTERN_C PKSPIN KsFilterGetFirstChildPin(PKSFILTER filter, ULONG pinId) {
  FilterImpl* f = CheckedFilter(filter, "KsFilterGetFirstChildPin");
  if (f == nullptr) return nullptr;
  for (PinImpl* p : f->pins)
    if (p->ks.Id == pinId) return &p->ks;
  return nullptr;
}

HOST_EXTERN_C PKSPIN KsPinGetNextSiblingPin(PKSPIN pin) {
  PinImpl* p = CheckedPin(pin, "KsPinGetNextSiblingPin");
  if (p == nullptr) return nullptr;
  auto& pins = p->filter->pins;
  for (auto it = std::find(pins.begin(), pins.end(), p) + 1; it < pins.end(); ++it)
    if ((*it)->ks.Id == pin->Id) return &(*it)->ks;
  return nullptr;
}

HOST_EXTERN_C ULONG KsFilterGetChildPinCount(PKSFILTER filter, ULONG pinId) {
  FilterImpl* f = CheckedFilter(filter, "KsFilterGetChildPinCount");
  return f != nullptr ? InstancesOf(f, pinId) : 0;
}

HOST_EXTERN_C void KsFilterAcquireControl(PKSFILTER filter) {
  FilterImpl* f = CheckedFilter(filter, "KsFilterAcquireControl");
  if (f == nullptr) return;
  KeWaitForSingleObject(&f->control, Executive, KernelMode, FALSE, nullptr);
  controlDepth++;
}

HOST_EXTERN_C void KsFilterReleaseControl(PKSFILTER filter) {
  FilterImpl* f = CheckedFilter(filter, "KsFilterReleaseControl");
  if (f == nullptr) return;
  controlDepth--;
  KeReleaseMutex(&f->control, FALSE);
}

// ---------------------------------------------------------------------------
// Stream pointers. The leading edge is the oldest frame the driver has not
// ejected; a locked pointer describes it, an unlocked one describes nothing
// (its fields are cleared so that a use after unlock faults at once).

static void DescribeFront(PinImpl* p) {
  Frame& frame = p->queue.front();
  KSSTREAM_HEADER* h = frame.read->header;
  p->pointer.Context = nullptr;
  p->pointer.Pin = &p->ks;
  p->pointer.StreamHeader = h;
  p->pointer.OffsetIn = KSSTREAM_POINTER_OFFSET{};
  p->pointer.OffsetOut.Data = static_cast<PUCHAR>(h->Data) + frame.used;
  p->pointer.OffsetOut.Count = h->FrameExtent;
  p->pointer.OffsetOut.Remaining = h->FrameExtent - frame.used;
  p->pointer.Offset = &p->pointer.OffsetOut;
}

static void ClearPointer(PinImpl* p) {
  p->pointer.StreamHeader = nullptr;
  p->pointer.OffsetOut = KSSTREAM_POINTER_OFFSET{};
  p->pointer.Offset = nullptr;
}

HOST_EXTERN_C PKSSTREAM_POINTER KsPinGetLeadingEdgeStreamPointer(PKSPIN pin, KSSTREAM_POINTER_STATE state) {
  if (!host::internal::RequireIrql(DISPATCH_LEVEL, "KsPinGetLeadingEdgeStreamPointer")) return nullptr;
  PinImpl* p = CheckedPin(pin, "KsPinGetLeadingEdgeStreamPointer");
  if (p == nullptr) return nullptr;
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&p->lock);
  PKSSTREAM_POINTER result = nullptr;
  if (!p->queue.empty()) {
    if (state == KSSTREAM_POINTER_STATE_LOCKED && !p->locked) {
      p->locked = true;
      DescribeFront(p);
    }
    result = &p->pointer;
  }
  KeReleaseSpinLock(&p->lock, irql);
  return result;
}

static PinImpl* PinOfPointer(PKSSTREAM_POINTER pointer, const char* routine) {
  PinImpl* p = pointer != nullptr ? AsPin(pointer->Pin) : nullptr;
  if (p == nullptr || pointer != &p->pointer) {
    host::Violation("%s: %p is not a live stream pointer", routine, (void*)pointer);
    return nullptr;
  }
  return p;
}

HOST_EXTERN_C NTSTATUS KsStreamPointerLock(PKSSTREAM_POINTER streamPointer) {
  PinImpl* p = PinOfPointer(streamPointer, "KsStreamPointerLock");
  if (p == nullptr) return STATUS_INVALID_PARAMETER;
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&p->lock);
  NTSTATUS status = STATUS_DEVICE_NOT_READY;
  if (!p->queue.empty()) {
    if (!p->locked) DescribeFront(p);
    p->locked = true;
    status = STATUS_SUCCESS;
  }
  KeReleaseSpinLock(&p->lock, irql);
  return status;
}

// Ejecting completes the frame to the client, in queue order.
static void UnlockLocked(PinImpl* p, bool eject) {
  Frame& frame = p->queue.front();
  const ULONG consumed = p->pointer.OffsetOut.Count - p->pointer.OffsetOut.Remaining;
  if (p->pointer.OffsetOut.Remaining > p->pointer.OffsetOut.Count)
    host::Violation("stream pointer of pin %p: Remaining %u exceeds Count %u", (void*)&p->ks,
                    p->pointer.OffsetOut.Remaining, p->pointer.OffsetOut.Count);
  else
    frame.used = consumed;
  p->locked = false;
  ClearPointer(p);
  if (eject || p->flushStatus != 0) {
    host::ks::Read* read = frame.read;
    const NTSTATUS status = p->flushStatus != 0 ? p->flushStatus : frame.status;
    p->flushStatus = 0;
    p->queue.pop_front();
    if (read->header->DataUsed > read->header->FrameExtent)
      host::Violation("pin %p completed a frame with DataUsed %u beyond its FrameExtent %u", (void*)&p->ks,
                      read->header->DataUsed, read->header->FrameExtent);
    CompleteRead(read, status);
  }
}

HOST_EXTERN_C void KsStreamPointerUnlock(PKSSTREAM_POINTER streamPointer, BOOLEAN eject) {
  if (!host::internal::RequireIrql(DISPATCH_LEVEL, "KsStreamPointerUnlock")) return;
  PinImpl* p = PinOfPointer(streamPointer, "KsStreamPointerUnlock");
  if (p == nullptr) return;
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&p->lock);
  if (!p->locked)
    host::Violation("KsStreamPointerUnlock: the stream pointer of pin %p is not locked", (void*)&p->ks);
  else
    UnlockLocked(p, eject);
  KeReleaseSpinLock(&p->lock, irql);
}

HOST_EXTERN_C NTSTATUS KsStreamPointerAdvanceOffsets(PKSSTREAM_POINTER streamPointer, ULONG inUsed, ULONG outUsed,
                                                     BOOLEAN eject) {
  PinImpl* p = PinOfPointer(streamPointer, "KsStreamPointerAdvanceOffsets");
  if (p == nullptr) return STATUS_INVALID_PARAMETER;
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&p->lock);
  NTSTATUS status = STATUS_SUCCESS;
  if (!p->locked) {
    host::Violation("KsStreamPointerAdvanceOffsets: the stream pointer of pin %p is not locked", (void*)&p->ks);
    status = STATUS_INVALID_PARAMETER;
  } else if (inUsed != 0 || outUsed > p->pointer.OffsetOut.Remaining) {
    host::Violation("KsStreamPointerAdvanceOffsets: %u bytes used with %u remaining", outUsed,
                    p->pointer.OffsetOut.Remaining);
    status = STATUS_INVALID_PARAMETER;
  } else {
    p->pointer.OffsetOut.Data += outUsed;
    p->pointer.OffsetOut.Remaining -= outUsed;
    if (p->pointer.OffsetOut.Remaining == 0 || eject) {
      UnlockLocked(p, true);
      if (!p->queue.empty()) {
        p->locked = true;
        DescribeFront(p);
      } else {
        status = STATUS_DEVICE_NOT_READY;
      }
    }
  }
  KeReleaseSpinLock(&p->lock, irql);
  return status;
}

HOST_EXTERN_C void KsStreamPointerAdvanceOffsetsAndUnlock(PKSSTREAM_POINTER streamPointer, ULONG inUsed,
                                                          ULONG outUsed, BOOLEAN eject) {
  const NTSTATUS status = KsStreamPointerAdvanceOffsets(streamPointer, inUsed, outUsed, eject);
  PinImpl* p = PinOfPointer(streamPointer, "KsStreamPointerAdvanceOffsetsAndUnlock");
  if (p != nullptr && status == STATUS_SUCCESS && p->locked) KsStreamPointerUnlock(streamPointer, FALSE);
}

HOST_EXTERN_C NTSTATUS KsStreamPointerAdvance(PKSSTREAM_POINTER streamPointer) {
  PinImpl* p = PinOfPointer(streamPointer, "KsStreamPointerAdvance");
  if (p == nullptr) return STATUS_INVALID_PARAMETER;
  return KsStreamPointerAdvanceOffsets(streamPointer, 0, p->pointer.OffsetOut.Remaining, TRUE);
}

HOST_EXTERN_C NTSTATUS KsStreamPointerSetStatusCode(PKSSTREAM_POINTER streamPointer, NTSTATUS status) {
  PinImpl* p = PinOfPointer(streamPointer, "KsStreamPointerSetStatusCode");
  if (p == nullptr) return STATUS_INVALID_PARAMETER;
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&p->lock);
  const bool locked = p->locked;
  if (locked) p->queue.front().status = status;
  KeReleaseSpinLock(&p->lock, irql);
  return locked ? STATUS_SUCCESS : STATUS_DEVICE_NOT_READY;
}

HOST_EXTERN_C void KsPinAttemptProcessing(PKSPIN pin, BOOLEAN asynchronous) {
  if (!host::internal::RequireIrql(DISPATCH_LEVEL, "KsPinAttemptProcessing")) return;
  PinImpl* p = CheckedPin(pin, "KsPinAttemptProcessing");
  if (p == nullptr) return;
  p->held = false;
  AttemptProcessing(p, asynchronous != FALSE);
}

HOST_EXTERN_C void KsPinAcquireProcessingMutex(PKSPIN pin) {
  PinImpl* p = CheckedPin(pin, "KsPinAcquireProcessingMutex");
  if (p != nullptr) KeWaitForSingleObject(&p->processingMutex, Executive, KernelMode, FALSE, nullptr);
}

HOST_EXTERN_C void KsPinReleaseProcessingMutex(PKSPIN pin) {
  PinImpl* p = CheckedPin(pin, "KsPinReleaseProcessingMutex");
  if (p != nullptr) KeReleaseMutex(&p->processingMutex, FALSE);
}

HOST_EXTERN_C NTSTATUS KsPinGetReferenceClockInterface(PKSPIN pin, PIKSREFERENCECLOCK* referenceClock) {
  if (!host::internal::RequireIrql(DISPATCH_LEVEL, "KsPinGetReferenceClockInterface")) return STATUS_UNSUCCESSFUL;
  if (referenceClock != nullptr) *referenceClock = nullptr;
  PinImpl* p = CheckedPin(pin, "KsPinGetReferenceClockInterface");
  if (p == nullptr || referenceClock == nullptr) return STATUS_INVALID_PARAMETER;
  if (p->master == nullptr) return STATUS_UNSUCCESSFUL;
  p->clock.AddRef();
  *referenceClock = &p->clock;
  return STATUS_SUCCESS;
}
