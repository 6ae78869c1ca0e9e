// UTF-8 / UTF-16 conversions and case folding shared by the debug log and the
// registry (Windows strings are UTF-16, the host's API speaks UTF-8).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace host::text {

// Invalid sequences become U+FFFD.
std::u16string ToUtf16(std::string_view utf8);
std::string ToUtf8(std::u16string_view utf16);
// Length of a null-terminated UTF-16 string, in characters.
size_t Length(const char16_t* s);
// Simple upper-case folding for case-insensitive names.
char16_t Fold(char16_t c);
std::u16string Fold(std::u16string_view s);
bool EqualNoCase(std::u16string_view a, std::u16string_view b);

}  // namespace host::text
