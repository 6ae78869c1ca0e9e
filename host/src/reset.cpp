// The host's lifecycle hooks: the check the pool makes before every free, and
// Reset, which returns every module to its initial state.
#include "core.h"
#include "internal.h"

namespace host {

namespace internal {

void CheckFreedRange(const void* p, size_t bytes) {
  const uintptr_t lo = reinterpret_cast<uintptr_t>(p);
  const uintptr_t hi = lo + bytes;
  CheckFreedTimers(lo, hi);
  CheckFreedWorkItems(lo, hi);
  CheckFreedSync(lo, hi);
  CheckFreedWaits(lo, hi);
  CheckFreedIrps(lo, hi);
}

}  // namespace internal

void Reset() {
  // The order matters: threads first (nothing may run while the rest is
  // cleared), the pool after everything that holds pool blocks, the log last.
  internal::CheckAndReapThreads();
  internal::ResetScheduler();
  internal::ResetIo();
  internal::ResetUsbBus();
  internal::ResetKs();
  internal::ResetRegistry();
  internal::ResetPool();
  internal::ResetLog();
}

}  // namespace host
