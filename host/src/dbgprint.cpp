// The debug log: DbgPrintEx formats with the kernel's conventions (argument
// sizes of the Windows x64 ABI, %I64d, %ws, %wZ, %p as 16 hex digits) and
// stores every entry whatever its level; echo to stderr is filtered by level.
//
// Fuzz builds (HOST_FUZZ_BUILD) neither format nor store, which is most of a
// short run's cost, unless OVRA_LOG echoes or OVRA_FUZZ_LOG=1 asks for the log.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include <host/api/host.h>

#include "internal.h"
#include "text.h"

namespace host {
namespace {

// The kernel passes at most this many bytes of one call to the debugger.
constexpr size_t kMaxMessage = 512;

struct Log {
  std::mutex lock;
  std::vector<dbg::Entry> entries;
  int echo;
  bool keep;  // format and store entries
};

int EchoFromEnvironment();

bool KeepFromEnvironment(int echo) {
#ifdef HOST_FUZZ_BUILD
  const char* value = getenv("OVRA_FUZZ_LOG");
  return echo >= 0 || (value != nullptr && *value != '\0' && *value != '0');
#else
  (void)echo;
  return true;
#endif
}

Log& TheLog() {
  static Log* log = [] {
    const int echo = EchoFromEnvironment();
    return new Log{{}, {}, echo, KeepFromEnvironment(echo)};  // never destroyed: read by violations at exit
  }();
  return *log;
}

int EchoFromEnvironment() {
  const char* value = getenv("OVRA_LOG");
  if (value == nullptr || *value == '\0') return -1;
  char* end = nullptr;
  long level = strtol(value, &end, 10);
  return end == value ? 31 : static_cast<int>(level);
}

// Levels 0..31 are bit positions; larger values are masks (optionally marked
// with DPFLTR_MASK), whose lowest bit decides.
ULONG EffectiveLevel(ULONG level) {
  if (level < 32) return level;
  const ULONG mask = level & ~static_cast<ULONG>(DPFLTR_MASK);
  return mask == 0 ? 31 : static_cast<ULONG>(__builtin_ctz(mask));
}

std::string TimeStamp(int64_t time) {
  char text[40];
  snprintf(text, sizeof text, "[%5" PRId64 ".%07" PRId64 "] ", time / sched::kSecond, time % sched::kSecond);
  return text;
}

// ANSI_STRING has the layout of UNICODE_STRING with 8-bit characters.
struct CountedAnsi {
  USHORT Length;
  USHORT MaximumLength;
  PCHAR Buffer;
};

enum class Size { kDefault, kChar, kShort, kLong, kLongLong, kPointer, kWide };

void Pad(std::string& out, std::string_view text, int width, bool left) {
  const size_t fill = width > 0 && static_cast<size_t>(width) > text.size() ? width - text.size() : 0;
  if (!left) out.append(fill, ' ');
  out.append(text);
  if (left) out.append(fill, ' ');
}

std::string WideText(const char16_t* s, size_t maxChars) {
  size_t n = 0;
  while (n < maxChars && s[n] != 0) ++n;
  return text::ToUtf8(std::u16string_view(s, n));
}

void AppendInteger(std::string& out, const std::string& flags, int width, int precision, char conv,
                   bool isSigned, int64_t value) {
  std::string conversion = "%" + flags;
  if (width >= 0) conversion += std::to_string(width);
  if (precision >= 0) conversion += "." + std::to_string(precision);
  conversion += "ll";
  conversion += conv;
  char small[80];
  int n = isSigned ? snprintf(small, sizeof small, conversion.c_str(), static_cast<long long>(value))
                   : snprintf(small, sizeof small, conversion.c_str(), static_cast<unsigned long long>(value));
  if (n < 0) return;
  if (static_cast<size_t>(n) < sizeof small) {
    out.append(small, n);
    return;
  }
  std::vector<char> big(n + 1);
  if (isSigned)
    snprintf(big.data(), big.size(), conversion.c_str(), static_cast<long long>(value));
  else
    snprintf(big.data(), big.size(), conversion.c_str(), static_cast<unsigned long long>(value));
  out.append(big.data(), n);
}

}  // namespace

namespace internal {

std::string FormatKernel(const char* format, va_list args) {
  va_list ap;
  va_copy(ap, args);
  std::string out;
  const char* unicodeUsed = nullptr;
  const char* floatUsed = nullptr;
  for (const char* f = format; *f != '\0';) {
    if (*f != '%') {
      out += *f++;
      continue;
    }
    const char* conversionStart = f++;
    if (*f == '%') {
      out += '%';
      ++f;
      continue;
    }
    std::string flags;
    while (*f != '\0' && strchr("-+ #0", *f) != nullptr) flags += *f++;
    int width = -1;
    if (*f == '*') {
      width = va_arg(ap, int);
      if (width < 0) {
        flags += '-';
        width = -width;
      }
      ++f;
    } else if (*f >= '0' && *f <= '9') {
      width = 0;
      while (*f >= '0' && *f <= '9') width = width * 10 + (*f++ - '0');
    }
    int precision = -1;
    if (*f == '.') {
      ++f;
      precision = 0;
      if (*f == '*') {
        precision = va_arg(ap, int);
        if (precision < 0) precision = -1;
        ++f;
      } else {
        while (*f >= '0' && *f <= '9') precision = precision * 10 + (*f++ - '0');
      }
    }
    Size size = Size::kDefault;
    if (strncmp(f, "I64", 3) == 0) {
      size = Size::kLongLong;
      f += 3;
    } else if (strncmp(f, "I32", 3) == 0) {
      size = Size::kLong;
      f += 3;
    } else if (*f == 'I') {
      size = Size::kPointer;
      ++f;
    } else if (f[0] == 'l' && f[1] == 'l') {
      size = Size::kLongLong;
      f += 2;
    } else if (f[0] == 'h' && f[1] == 'h') {
      size = Size::kChar;
      f += 2;
    } else if (*f == 'l') {
      size = Size::kLong;  // 32 bits on Windows; wide for %lc and %ls
      ++f;
    } else if (*f == 'h') {
      size = Size::kShort;  // narrow for %hc, %hs, %hS
      ++f;
    } else if (*f == 'w') {
      size = Size::kWide;
      ++f;
    } else if (*f == 'z' || *f == 'j' || *f == 't' || *f == 'q') {
      size = Size::kLongLong;
      ++f;
    } else if (*f == 'L') {
      ++f;
    }
    const char conv = *f;
    if (conv == '\0') {
      out.append(conversionStart);
      break;
    }
    ++f;
    const bool left = flags.find('-') != std::string::npos;
    switch (conv) {
      case 'd':
      case 'i':
      case 'u':
      case 'x':
      case 'X':
      case 'o': {
        const bool isSigned = conv == 'd' || conv == 'i';
        int64_t value;
        switch (size) {
          case Size::kLongLong:
          case Size::kPointer:
            value = va_arg(ap, long long);
            if (!isSigned) value = static_cast<int64_t>(static_cast<uint64_t>(value));
            break;
          case Size::kShort: {
            const int raw = va_arg(ap, int);
            value = isSigned ? static_cast<int16_t>(raw) : static_cast<uint16_t>(raw);
            break;
          }
          case Size::kChar: {
            const int raw = va_arg(ap, int);
            value = isSigned ? static_cast<int8_t>(raw) : static_cast<uint8_t>(raw);
            break;
          }
          default: {
            const unsigned raw = va_arg(ap, unsigned);
            value = isSigned ? static_cast<int32_t>(raw) : static_cast<int64_t>(raw);
            break;
          }
        }
        AppendInteger(out, flags, width, precision, conv, isSigned, value);
        break;
      }
      case 'p': {
        char hex[24];
        snprintf(hex, sizeof hex, "%016" PRIXPTR, reinterpret_cast<uintptr_t>(va_arg(ap, void*)));
        Pad(out, hex, width, left);
        break;
      }
      case 'c':
      case 'C': {
        const int raw = va_arg(ap, int);
        const bool wide = conv == 'C' ? size != Size::kShort : (size == Size::kLong || size == Size::kWide);
        if (wide) {
          unicodeUsed = conversionStart;
          const char16_t c = static_cast<char16_t>(raw);
          Pad(out, text::ToUtf8(std::u16string_view(&c, 1)), width, left);
        } else {
          const char c = static_cast<char>(raw);
          Pad(out, std::string_view(&c, 1), width, left);
        }
        break;
      }
      case 's':
      case 'S': {
        const bool wide = conv == 'S' ? size != Size::kShort : (size == Size::kLong || size == Size::kWide);
        const size_t limit = precision >= 0 ? static_cast<size_t>(precision) : SIZE_MAX;
        if (wide) {
          unicodeUsed = conversionStart;
          const char16_t* s = va_arg(ap, const char16_t*);
          Pad(out, s == nullptr ? std::string("(null)") : WideText(s, limit), width, left);
        } else {
          const char* s = va_arg(ap, const char*);
          if (s == nullptr) {
            Pad(out, "(null)", width, left);
          } else {
            Pad(out, std::string_view(s, strnlen(s, limit)), width, left);
          }
        }
        break;
      }
      case 'Z': {
        const size_t limit = precision >= 0 ? static_cast<size_t>(precision) : SIZE_MAX;
        if (size == Size::kWide) {
          unicodeUsed = conversionStart;
          const UNICODE_STRING* s = va_arg(ap, const UNICODE_STRING*);
          if (s == nullptr || s->Buffer == nullptr) {
            Pad(out, "(null)", width, left);
          } else {
            const size_t n = std::min<size_t>(s->Length / sizeof(WCHAR), limit);
            Pad(out, text::ToUtf8(std::u16string_view(s->Buffer, n)), width, left);
          }
        } else {
          const CountedAnsi* s = va_arg(ap, const CountedAnsi*);
          if (s == nullptr || s->Buffer == nullptr) {
            Pad(out, "(null)", width, left);
          } else {
            Pad(out, std::string_view(s->Buffer, std::min<size_t>(s->Length, limit)), width, left);
          }
        }
        break;
      }
      case 'n':
        (void)va_arg(ap, void*);  // never written through: a format must not become a memory write
        break;
      case 'e':
      case 'E':
      case 'f':
      case 'F':
      case 'g':
      case 'G':
      case 'a':
      case 'A':
        (void)va_arg(ap, double);
        floatUsed = conversionStart;
        break;
      default:
        out.append(conversionStart, f - conversionStart);
        break;
    }
  }
  va_end(ap);
  if (unicodeUsed != nullptr && CurrentIrql() > PASSIVE_LEVEL)
    Violation("DbgPrintEx: Unicode format at IRQL %u (only PASSIVE_LEVEL may use %%C, %%S, %%lc, %%ls, %%wc, %%ws, "
              "%%wZ) in \"%s\"",
              static_cast<unsigned>(CurrentIrql()), format);
  if (floatUsed != nullptr)
    Violation("DbgPrintEx: floating-point formats are not supported by the kernel, in \"%s\"", format);
  return out;
}

void ResetLog() {
  Log& log = TheLog();
  std::lock_guard<std::mutex> guard(log.lock);
  log.entries.clear();
  log.entries.shrink_to_fit();
  log.echo = EchoFromEnvironment();
  log.keep = KeepFromEnvironment(log.echo);
}

}  // namespace internal

namespace {

ULONG Write(ULONG component, ULONG level, const char* format, va_list args) {
  if (format == nullptr) {
    Violation("DbgPrintEx with a null format");
    return STATUS_INVALID_PARAMETER;
  }
  if (!TheLog().keep) return STATUS_SUCCESS;
  std::string textOut = internal::FormatKernel(format, args);
  if (textOut.size() > kMaxMessage) textOut.resize(kMaxMessage);
  const int64_t now = sched::Now();
  Log& log = TheLog();
  std::lock_guard<std::mutex> guard(log.lock);
  if (log.echo >= 0 && EffectiveLevel(level) <= static_cast<ULONG>(log.echo)) {
    std::string line = TimeStamp(now) + textOut;
    if (line.empty() || line.back() != '\n') line += '\n';
    fputs(line.c_str(), stderr);
  }
  log.entries.push_back(dbg::Entry{component, level, now, std::move(textOut)});
  return STATUS_SUCCESS;
}

}  // namespace

namespace dbg {

std::vector<Entry> Entries() {
  Log& log = TheLog();
  std::lock_guard<std::mutex> guard(log.lock);
  return log.entries;
}

size_t Count(std::string_view substring, ULONG maxLevel) {
  Log& log = TheLog();
  std::lock_guard<std::mutex> guard(log.lock);
  size_t n = 0;
  for (const auto& e : log.entries)
    if (EffectiveLevel(e.level) <= maxLevel && e.text.find(substring) != std::string::npos) ++n;
  return n;
}

bool Contains(std::string_view substring, ULONG maxLevel) { return Count(substring, maxLevel) != 0; }

long Find(std::string_view substring, size_t from) {
  Log& log = TheLog();
  std::lock_guard<std::mutex> guard(log.lock);
  for (size_t i = from; i < log.entries.size(); ++i)
    if (log.entries[i].text.find(substring) != std::string::npos) return static_cast<long>(i);
  return -1;
}

void Clear() {
  Log& log = TheLog();
  std::lock_guard<std::mutex> guard(log.lock);
  log.entries.clear();
}

std::string Tail(size_t lines) {
  Log& log = TheLog();
  std::lock_guard<std::mutex> guard(log.lock);
  std::string out;
  const size_t first = log.entries.size() > lines ? log.entries.size() - lines : 0;
  for (size_t i = first; i < log.entries.size(); ++i) {
    out += TimeStamp(log.entries[i].time) + log.entries[i].text;
    if (out.back() != '\n') out += '\n';
  }
  return out;
}

void SetEcho(int maxLevel) {
  Log& log = TheLog();
  std::lock_guard<std::mutex> guard(log.lock);
  log.echo = maxLevel;
  if (maxLevel >= 0) log.keep = true;
}

void SetKeep(bool keep) {
  Log& log = TheLog();
  std::lock_guard<std::mutex> guard(log.lock);
  log.keep = keep;
}

}  // namespace dbg
}  // namespace host

HOST_EXTERN_C ULONG vDbgPrintEx(ULONG componentId, ULONG level, PCSTR format, va_list args) {
  return host::Write(componentId, level, format, args);
}

HOST_EXTERN_C ULONG DbgPrintEx(ULONG componentId, ULONG level, PCSTR format, ...) {
  va_list args;
  va_start(args, format);
  const ULONG status = host::Write(componentId, level, format, args);
  va_end(args);
  return status;
}

// DbgPrint is DbgPrintEx for the default component (DPFLTR_DEFAULT_ID) at the info level.
HOST_EXTERN_C ULONG DbgPrint(PCSTR format, ...) {
  va_list args;
  va_start(args, format);
  const ULONG status = host::Write(101, DPFLTR_INFO_LEVEL, format, args);
  va_end(args);
  return status;
}
