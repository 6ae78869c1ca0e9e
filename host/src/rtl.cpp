// Run-time library routines: counted strings and memory comparison.
#include <host/nt.h>

HOST_EXTERN_C void RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source) {
  // A counted string holds at most 0xFFFE bytes including the terminator.
  constexpr size_t kMaxChars = 0xFFFE / sizeof(WCHAR) - 1;
  destination->Buffer = const_cast<PWSTR>(source);
  if (source == nullptr) {
    destination->Length = destination->MaximumLength = 0;
    return;
  }
  size_t n = 0;
  while (n < kMaxChars && source[n] != 0) ++n;
  destination->Length = static_cast<USHORT>(n * sizeof(WCHAR));
  destination->MaximumLength = static_cast<USHORT>(destination->Length + sizeof(WCHAR));
}

HOST_EXTERN_C SIZE_T RtlCompareMemory(const void* a, const void* b, SIZE_T length) {
  const auto* x = static_cast<const unsigned char*>(a);
  const auto* y = static_cast<const unsigned char*>(b);
  SIZE_T same = 0;
  while (same < length && x[same] == y[same]) ++same;
  return same;
}
