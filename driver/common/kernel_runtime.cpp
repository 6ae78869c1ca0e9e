// What the C++ compiler expects from a runtime library, for the kernel build,
// which links no runtime at all. memcpy, memset and memmove come from
// ntoskrnl.exe.
#include "common.h"

#if defined(OVRA_KERNEL)

// Referenced by the deleting destructor of every class with a virtual
// destructor. The driver never calls delete; objects live in pool blocks.
void operator delete(void* p, decltype(sizeof(0))) noexcept {
  if (p != nullptr) ExFreePool(p);
}
void operator delete(void* p) noexcept {
  if (p != nullptr) ExFreePool(p);
}

// Bug check code for a call through an unfilled slot of a virtual table (an
// object used before its constructor ran or after its destructor did).
constexpr ULONG kBugCheckPureVirtualCall = 0xE0A5B081;

extern "C" void __cxa_pure_virtual() {
  KeBugCheckEx(kBugCheckPureVirtualCall, reinterpret_cast<ULONG_PTR>(__builtin_return_address(0)), 0, 0, 0);
}

#endif  // OVRA_KERNEL
