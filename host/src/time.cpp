// Clocks: all of them read the one virtual clock.
#include "core.h"
#include "internal.h"

namespace {
constexpr int64_t kTickLength = 156'250;  // 15.625 ms, the default clock interrupt period
}

void KeQuerySystemTime(PLARGE_INTEGER time) { time->QuadPart = host::internal::kSystemTimeAtBoot + host::sched::Now(); }

ULONGLONG KeQueryInterruptTime(void) { return static_cast<ULONGLONG>(host::sched::Now()); }

LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER frequency) {
  if (frequency != nullptr) frequency->QuadPart = host::sched::kSecond;  // 10 MHz: one count per 100 ns
  LARGE_INTEGER counter;
  counter.QuadPart = host::sched::Now();
  return counter;
}

void KeQueryTickCount(PLARGE_INTEGER ticks) { ticks->QuadPart = host::sched::Now() / kTickLength; }
