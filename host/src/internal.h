// Hooks between the host's own modules (not for tests or the driver).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <host/nt.h>

namespace host::internal {

// --- scheduler and threads (sched.cpp, threads.cpp) ---
// The calling host thread's IRQL (PASSIVE_LEVEL for a thread never seen before).
KIRQL CurrentIrql();
// Name of the calling host thread ("main" for the test's own thread).
std::string CurrentThreadName();
// Stops with a violation unless the caller runs at or below `maxIrql`.
// `what` names the routine for the message.
bool RequireIrql(KIRQL maxIrql, const char* what);
// Called by the pool before a block is freed: a violation if the range holds
// an armed timer, a queued DPC, a queued work item or a held spin lock.
void CheckFreedRange(const void* p, size_t bytes);
void ResetScheduler();

// --- pool (pool.cpp) ---
// Allocation on behalf of a routine called from `site` (the driver's return
// address), with fault injection and bookkeeping like ExAllocatePoolWithTag.
void* PoolAllocate(POOL_TYPE type, size_t bytes, ULONG tag, uintptr_t site);
void PoolFree(void* p, const char* what);
// Size of a live pool block, or 0 if `p` is not the start of one.
size_t PoolBlockSize(const void* p);
void ResetPool();

// --- debug log (dbgprint.cpp) ---
void ResetLog();
// Formats with the kernel's conventions into a string.
std::string FormatKernel(const char* format, va_list args);

// --- registry (registry.cpp) ---
void ResetRegistry();

// --- I/O manager, work items (io.cpp, workitem.cpp) and AVStream (ks.cpp) ---
void ResetIo();
// Runs the I/O completion APCs queued for the calling thread (completions of
// requests it built, finished while it could not take them). Called where a
// thread becomes able to take APCs: lowering its IRQL below APC_LEVEL and
// entering a wait.
void DeliverApcs();
void ResetKs();

// --- USB bus (usb/bus.cpp) ---
// Forgets every plugged device without touching its IRPs (they went with the
// I/O reset); host::Reset calls it.
void ResetUsbBus();

}  // namespace host::internal

// Return address of the caller of the routine this is written in.
#define HOST_CALLER_SITE() (reinterpret_cast<uintptr_t>(__builtin_return_address(0)))
