// A filter device between the driver and the bus, as a lower filter driver
// would sit: it sees every URB the driver sends, can hold requests pending
// (until cancelled, or until it completes them itself), and can rewrite the
// results of forwarded requests before the driver's completion routine runs.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include <host/api/host.h>

#include "driver/common/common.h"

namespace ovratest {

class FilterDevice {
 public:
  // Inserts itself as `device`'s NextDeviceObject; the destructor restores it.
  explicit FilterDevice(PKSDEVICE device);
  ~FilterDevice();
  FilterDevice(const FilterDevice&) = delete;
  FilterDevice& operator=(const FilterDevice&) = delete;

  // Requests for which this returns true are held instead of forwarded.
  std::function<bool(const URB& urb)> hold;
  // A held request completes by itself with STATUS_SUCCESS after this long
  // (negative: never; only a cancel ends it).
  int64_t completeAfter = -1;
  // A cancelled held request completes with STATUS_CANCELLED this long after
  // the cancel routine ran (0: inside the cancel routine).
  int64_t cancelDelay = 0;
  // Rewrites the outcome of the n-th forwarded request (1-based) before the
  // driver sees it.
  std::function<void(uint64_t n, PIRP irp, PURB urb)> onComplete;

  struct Held {
    PIRP irp = nullptr;
    int64_t heldAt = -1;
    int64_t cancelledAt = -1;
    int64_t completedAt = -1;
  };
  std::vector<Held> held;
  uint64_t forwarded = 0;
  uint64_t completed = 0;  // forwarded requests that came back

 private:
  static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp);
  static NTSTATUS Completion(PDEVICE_OBJECT device, PIRP irp, PVOID context);
  static void Cancel(PDEVICE_OBJECT device, PIRP irp);
  static FilterDevice* From(PDEVICE_OBJECT device);
  void Finish(size_t index, NTSTATUS status);

  PKSDEVICE device_;
  PDEVICE_OBJECT lower_;
  PDRIVER_OBJECT driver_;
  PDEVICE_OBJECT self_;
};

}  // namespace ovratest
