#include "status.h"

#include <cstdio>

namespace ovra {

std::string StatusText(NTSTATUS status) {
  static const struct {
    uint32_t code;
    const char* name;
  } kNames[] = {
      {0x00000000, "STATUS_SUCCESS"},
      {0x00000103, "STATUS_PENDING"},
      {0x80000005, "STATUS_BUFFER_OVERFLOW"},
      {0xC0000001, "STATUS_UNSUCCESSFUL"},
      {0xC0000002, "STATUS_NOT_IMPLEMENTED"},
      {0xC0000010, "STATUS_INVALID_DEVICE_REQUEST"},
      {0xC000000D, "STATUS_INVALID_PARAMETER"},
      {0xC0000023, "STATUS_BUFFER_TOO_SMALL"},
      {0xC0000043, "STATUS_SHARING_VIOLATION"},
      {0xC000009A, "STATUS_INSUFFICIENT_RESOURCES"},
      {0xC00000BB, "STATUS_NOT_SUPPORTED"},
      {0xC0000120, "STATUS_CANCELLED"},
      {0xC0000184, "STATUS_INVALID_DEVICE_STATE"},
      {0xC0000225, "STATUS_NOT_FOUND"},
      {0xC0000272, "STATUS_NO_MATCH"},
      {0xC000009D, "STATUS_DEVICE_NOT_CONNECTED"},
      {0xC00000B5, "STATUS_IO_TIMEOUT"},
      {0x80000011, "STATUS_DEVICE_BUSY"},
      {0xC0000056, "STATUS_DELETE_PENDING"},
  };
  char code[16];
  snprintf(code, sizeof code, "0x%08X", uint32_t(status));
  for (const auto& n : kNames)
    if (n.code == uint32_t(status)) return std::string(n.name) + " (" + code + ")";
  return code;
}

}  // namespace ovra
