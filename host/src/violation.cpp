// Violations: what a checked kernel would stop the machine for. By default the
// message, the calling thread and the tail of the debug log go to stderr and
// the process aborts; inside a ViolationCapture the message is recorded and
// the routine that found the problem returns as safely as it can.
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "core.h"
#include "internal.h"

namespace host {
namespace {

ViolationCapture* g_capture = nullptr;

[[noreturn]] void Stop(const char* kind, const std::string& message) {
  internal::HostThread* self = internal::Self();
  fprintf(stderr, "host %s: %s\n  on thread \"%s\" at IRQL %s, virtual time %" PRId64 "\n", kind, message.c_str(),
          self->name.c_str(), internal::IrqlName(self->irql), sched::Now());
  const std::string tail = dbg::Tail(30);
  if (!tail.empty()) fprintf(stderr, "  last lines of the debug log:\n%s%s", tail.c_str(), tail.back() == '\n' ? "" : "\n");
  fflush(stderr);
  abort();
}

std::string Format(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int n = vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string out(n > 0 ? size_t(n) : 0, '\0');
  if (n > 0) vsnprintf(out.data(), out.size() + 1, format, args);
  return out;
}

}  // namespace

void Violation(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string message = Format(format, args);
  va_end(args);
  if (g_capture != nullptr) {
    g_capture->messages_.push_back(std::move(message));
    return;
  }
  Stop("violation", message);
}

ViolationCapture::ViolationCapture() : previous_(g_capture) { g_capture = this; }

ViolationCapture::~ViolationCapture() { g_capture = previous_; }

const std::vector<std::string>& ViolationCapture::Messages() const { return messages_; }

bool ViolationCapture::Saw(std::string_view substring) const {
  for (const auto& m : messages_)
    if (m.find(substring) != std::string::npos) return true;
  return false;
}

}  // namespace host

// These stop the test whether or not violations are captured: the routines
// never return.
void __fastfail(unsigned int code) {
  char buf[96];
  if (code == FAST_FAIL_CORRUPT_LIST_ENTRY)
    snprintf(buf, sizeof buf, "corrupt list entry (__fastfail %u)", code);
  else
    snprintf(buf, sizeof buf, "__fastfail %u", code);
  host::Stop("violation", buf);
}

void KeBugCheckEx(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4) {
  char buf[160];
  snprintf(buf, sizeof buf, "KeBugCheckEx 0x%08X (0x%" PRIxPTR ", 0x%" PRIxPTR ", 0x%" PRIxPTR ", 0x%" PRIxPTR ")",
           unsigned(code), p1, p2, p3, p4);
  host::Stop("bug check", buf);
}

void KeBugCheck(ULONG code) { KeBugCheckEx(code, 0, 0, 0, 0); }

void HostAssertFailed(const char* expr, const char* file, int line) {
  host::Violation("assertion failed: %s (%s:%d)", expr, file, line);
}
