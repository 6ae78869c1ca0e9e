// Work items: each queued item runs on a system worker host thread of its own
// at PASSIVE_LEVEL, started when the queuing thread next lets others run. The
// item is taken off the queue before its routine runs, so the routine may
// free or queue it again.
#include <cstdio>
#include <map>

#include "core.h"
#include "internal.h"

struct _IO_WORKITEM {
  PDEVICE_OBJECT device;
};

namespace host::internal {
namespace {

constexpr ULONG kWorkItemTag = pool::MakeTag("IoWk");

struct WorkItemRecord {
  PDEVICE_OBJECT device = nullptr;
  bool queued = false;
  uint64_t queuedAs = 0;  // which queuing the waiting worker belongs to
  HostThread* runner = nullptr;  // the worker running the routine, if any
};

struct WorkState {
  std::map<uintptr_t, WorkItemRecord> items;
  uint64_t queueings = 0;
};

WorkState& G() {
  static WorkState* s = new WorkState;
  return *s;
}

uintptr_t Addr(const void* p) { return reinterpret_cast<uintptr_t>(p); }

WorkItemRecord* Find(PIO_WORKITEM item) {
  auto it = G().items.find(Addr(item));
  return it == G().items.end() ? nullptr : &it->second;
}

void Run(PIO_WORKITEM item, uint64_t queuedAs, PIO_WORKITEM_ROUTINE routine, PVOID context) {
  HostThread* self = Self();
  WorkItemRecord* r = Find(item);
  if (r == nullptr || !r->queued || r->queuedAs != queuedAs) return;  // freed or cancelled meanwhile
  r->queued = false;
  r->runner = self;
  PDEVICE_OBJECT device = r->device;
  routine(device, context);
  if (self->irql != PASSIVE_LEVEL) {
    Violation("work item routine %p returned at IRQL %s", reinterpret_cast<void*>(routine), IrqlName(self->irql));
    self->irql = PASSIVE_LEVEL;
  }
  r = Find(item);  // the routine may have freed the item
  if (r != nullptr && r->runner == self) r->runner = nullptr;
}

}  // namespace

size_t WorkItemsFor(PDEVICE_OBJECT device) {
  size_t n = 0;
  for (auto& entry : G().items)
    if (entry.second.device == device && (entry.second.queued || entry.second.runner != nullptr)) n++;
  return n;
}

void CheckFreedWorkItems(uintptr_t lo, uintptr_t hi) {
  WorkState& g = G();
  for (auto it = g.items.lower_bound(lo); it != g.items.end() && it->first < hi;) {
    const WorkItemRecord& r = it->second;
    if (r.queued || r.runner != nullptr)
      Violation("freeing memory at %p that holds work item %p, still %s", reinterpret_cast<void*>(lo),
                reinterpret_cast<void*>(it->first), r.queued ? "queued" : "running");
    else
      Violation("work item %p freed with ExFreePool; work items go back through IoFreeWorkItem",
                reinterpret_cast<void*>(it->first));
    it = g.items.erase(it);
  }
}

void ResetWorkItems() { G().items.clear(); }

}  // namespace host::internal

using namespace host::internal;

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT device) {
  const uintptr_t site = HOST_CALLER_SITE();
  if (!RequireIrql(DISPATCH_LEVEL, "IoAllocateWorkItem")) return nullptr;
  if (device == nullptr || !IsDeviceObject(device)) {
    host::Violation("IoAllocateWorkItem for %p, which is not a device object", static_cast<void*>(device));
    return nullptr;
  }
  auto* item = static_cast<PIO_WORKITEM>(PoolAllocate(NonPagedPoolNx, sizeof(IO_WORKITEM), kWorkItemTag, site));
  if (item == nullptr) return nullptr;
  item->device = device;
  WorkItemRecord& r = G().items[Addr(item)];
  r = WorkItemRecord{};
  r.device = device;
  return item;
}

void IoQueueWorkItem(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE routine, WORK_QUEUE_TYPE queue, PVOID context) {
  if (!RequireIrql(DISPATCH_LEVEL, "IoQueueWorkItem")) return;
  WorkItemRecord* r = Find(item);
  if (r == nullptr) {
    host::Violation("IoQueueWorkItem on a freed or unknown work item %p", static_cast<void*>(item));
    return;
  }
  if (routine == nullptr) {
    host::Violation("IoQueueWorkItem on work item %p without a routine", static_cast<void*>(item));
    return;
  }
  if (r->queued) {
    host::Violation("IoQueueWorkItem on work item %p, which is already queued", static_cast<void*>(item));
    return;
  }
  r->queued = true;
  r->queuedAs = ++G().queueings;
  const uint64_t queuedAs = r->queuedAs;
  char name[48];
  snprintf(name, sizeof name, "worker %llu", static_cast<unsigned long long>(queuedAs));
  StartThread(name, [item, queuedAs, routine, context] { Run(item, queuedAs, routine, context); }, true);
}

void IoFreeWorkItem(PIO_WORKITEM item) {
  if (!RequireIrql(DISPATCH_LEVEL, "IoFreeWorkItem")) return;
  WorkItemRecord* r = Find(item);
  if (r == nullptr) {
    host::Violation("IoFreeWorkItem on a freed or unknown work item %p", static_cast<void*>(item));
    return;
  }
  if (r->queued) {
    host::Violation("IoFreeWorkItem on work item %p, which is still queued", static_cast<void*>(item));
    return;
  }
  // Its own routine may free it; any other thread must wait until it has run.
  if (r->runner != nullptr && r->runner != Self()) {
    host::Violation("IoFreeWorkItem on work item %p while its routine runs on thread \"%s\"",
                    static_cast<void*>(item), r->runner->name.c_str());
    return;
  }
  G().items.erase(Addr(item));
  PoolFree(item, "IoFreeWorkItem");
}

namespace host::io {

size_t ActiveWorkItems() {
  size_t n = 0;
  for (auto& entry : G().items)
    if (entry.second.queued || entry.second.runner != nullptr) n++;
  return n;
}

}  // namespace host::io
