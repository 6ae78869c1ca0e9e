// Helpers shared by the host kernel suites: waits in milliseconds, test
// devices, and tables of kernel misuses.
#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <host/api/host.h>

namespace kt {

using host::sched::kMillisecond;

inline LARGE_INTEGER Relative(int64_t ms) {
  LARGE_INTEGER t;
  t.QuadPart = -ms * kMillisecond;
  return t;
}
inline void Sleep(int64_t ms) {
  LARGE_INTEGER t = Relative(ms);
  KeDelayExecutionThread(KernelMode, FALSE, &t);
}
// Waits for `object`, `ms` at most (negative: no time-out).
inline NTSTATUS Wait(PVOID object, int64_t ms = -1) {
  LARGE_INTEGER t = Relative(ms);
  return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, ms < 0 ? nullptr : &t);
}
inline void AtIrql(KIRQL irql, const std::function<void()>& fn) {
  KIRQL old;
  KeRaiseIrql(irql, &old);
  fn();
  KeLowerIrql(old);
}

// A driver with one device whose every IRP goes to the handler, which
// returns the dispatch status.
class TestDevice {
 public:
  using Handler = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;
  TestDevice(const char* name, CCHAR stackSize, Handler handler) : handler_(std::move(handler)) {
    driver_ = host::io::CreateDriverObject(name);
    for (auto& f : driver_->MajorFunction)
      f = [](PDEVICE_OBJECT d, PIRP irp) { return (*static_cast<TestDevice**>(d->DeviceExtension))->handler_(d, irp); };
    device_ = host::io::CreateDevice(driver_, sizeof(TestDevice*), stackSize, name);
    *static_cast<TestDevice**>(device_->DeviceExtension) = this;
  }
  ~TestDevice() {
    host::io::DeleteDevice(device_);
    host::io::DeleteDriverObject(driver_);
  }
  PDEVICE_OBJECT device() const { return device_; }

 private:
  Handler handler_;
  PDRIVER_OBJECT driver_;
  PDEVICE_OBJECT device_;
};

inline NTSTATUS Complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}
inline NTSTATUS CompleteOk(PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); }

// A misuse of the kernel interface and the texts its one violation must
// contain (no violation when `expected` is empty). The body runs inside a
// ViolationCapture and must leave the thread at PASSIVE_LEVEL.
struct Misuse {
  const char* name;
  std::function<void()> body;
  std::vector<std::string> expected;
};

inline void ExpectViolations(const Misuse& m) {
  host::ViolationCapture capture;
  m.body();
  const auto& seen = capture.Messages();
  EXPECT_EQ(seen.size(), m.expected.empty() ? 0u : 1u) << ::testing::PrintToString(seen);
  for (const auto& e : m.expected) EXPECT_TRUE(capture.Saw(e)) << e << "\n" << ::testing::PrintToString(seen);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

inline void PrintTo(const Misuse& m, std::ostream* os) { *os << m.name; }

}  // namespace kt

// The parameterised test Suite/Fixture.IsReported/<name> over a Misuse table.
#define KT_MISUSE_SUITE(Suite, Fixture, table)                                \
  class Fixture : public ::testing::TestWithParam<kt::Misuse> {};             \
  TEST_P(Fixture, IsReported) { kt::ExpectViolations(GetParam()); }           \
  INSTANTIATE_TEST_SUITE_P(Suite, Fixture, ::testing::ValuesIn(table),        \
                           [](const ::testing::TestParamInfo<kt::Misuse>& i) { return std::string(i.param.name); })
