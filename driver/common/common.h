// Shared definitions of the driver: pool tags, logging, model flags, status
// codes and placement construction into pool memory.
#pragma once

#include "platform.h"

// Pool tags, as their four bytes read in memory.
constexpr ULONG MakePoolTag(char a, char b, char c, char d) {
  return ULONG(UCHAR(a)) | ULONG(UCHAR(b)) << 8 | ULONG(UCHAR(c)) << 16 | ULONG(UCHAR(d)) << 24;
}
constexpr ULONG kTagObject = MakePoolTag('K', 'C', 'N', 'w');   // objects and buffers
constexpr ULONG kTagKsEdit = MakePoolTag('O', 'v', 'r', 'a');   // _KsEdit copies

// Debug output: component 81, levels 0 (errors, always wanted) to 4 (per block).
constexpr ULONG kLogComponent = 81;
enum LogLevel : ULONG {
  kLogError = 0,
  kLogWarning = 1,
  kLogTrace = 2,
  kLogDetail = 3,
  kLogVerbose = 4,
};
#define OVRA_LOG(level, ...) DbgPrintEx(kLogComponent, (level), __VA_ARGS__)

// Model feature bits (ModelFlags).
enum ModelFlag : ULONG {
  kModelInterlaced = 0x01,
  kModelMirroredRegisters = 0x02,
  kModel60Hz = 0x04,
  kModel50Hz = 0x08,
  kModelRawI2c = 0x10,
  kModelReserved20 = 0x20,
  kModelMonochrome = 0x40,
};
constexpr ULONG kModelUnknown = 0xFFF;

// Placement construction into memory the caller allocated (and zeroed).
enum class Placement { At };
inline void* operator new(SIZE_T, void* where, Placement) noexcept { return where; }
inline void operator delete(void*, void*, Placement) noexcept {}

// Zero-filled non-paged pool block, or null. Always inlined, so that the pool
// records the caller as the allocation site (fault injection per site).
inline __attribute__((always_inline)) void* AllocateZeroed(SIZE_T bytes, ULONG tag = kTagObject) {
  void* p = ExAllocatePoolWithTag(NonPagedPoolNx, bytes, tag);
  if (p != nullptr) RtlZeroMemory(p, bytes);
  return p;
}
