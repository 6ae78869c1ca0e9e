// Helpers shared by the host kernel suites: a trace of what happened when,
// and test devices whose dispatch routine does what a test asks.
#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <host/api/host.h>

namespace kt {

// "label@ms" entries, with the time relative to the trace's start.
class Trace {
 public:
  Trace() : start_(host::sched::Now()) {}
  void Mark(const std::string& label) {
    entries_.push_back(label + "@" + std::to_string((host::sched::Now() - start_) / host::sched::kMillisecond));
  }
  const std::vector<std::string>& Entries() const { return entries_; }

 private:
  int64_t start_;
  std::vector<std::string> entries_;
};

inline LARGE_INTEGER Relative(int64_t ms) {
  LARGE_INTEGER t;
  t.QuadPart = -ms * host::sched::kMillisecond;
  return t;
}

// A driver with one device per test device; every IRP the device receives
// goes to `onIrp`, which returns the dispatch status.
class TestDevice {
 public:
  using Handler = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

  TestDevice(const char* name, CCHAR stackSize, Handler handler) : handler_(std::move(handler)) {
    driver_ = host::io::CreateDriverObject(name);
    for (auto& f : driver_->MajorFunction) f = &Dispatch;
    device_ = host::io::CreateDevice(driver_, sizeof(TestDevice*), stackSize, name);
    *static_cast<TestDevice**>(device_->DeviceExtension) = this;
  }
  ~TestDevice() {
    host::io::DeleteDevice(device_);
    host::io::DeleteDriverObject(driver_);
  }
  PDEVICE_OBJECT device() const { return device_; }
  PDRIVER_OBJECT driver() const { return driver_; }

 private:
  static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    return (*static_cast<TestDevice**>(device->DeviceExtension))->handler_(device, irp);
  }
  Handler handler_;
  PDRIVER_OBJECT driver_;
  PDEVICE_OBJECT device_;
};

// Completes the IRP with `status` now.
inline NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// A misuse of the kernel interface and the violations it must raise (none
// when `expected` is empty). The body runs inside a ViolationCapture and
// must leave the thread at PASSIVE_LEVEL with nothing held.
struct Misuse {
  const char* name;
  std::function<void()> body;
  std::vector<std::string> expected;
};

inline void ExpectViolations(const Misuse& m) {
  host::ViolationCapture capture;
  m.body();
  // One misuse, one violation (which may name several things).
  EXPECT_EQ(capture.Messages().size(), m.expected.empty() ? 0u : 1u) << ::testing::PrintToString(capture.Messages());
  for (const auto& e : m.expected) EXPECT_TRUE(capture.Saw(e)) << e << "\n" << ::testing::PrintToString(capture.Messages());
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

inline void PrintTo(const Misuse& m, std::ostream* os) { *os << m.name; }
inline std::string MisuseName(const ::testing::TestParamInfo<Misuse>& info) { return info.param.name; }

}  // namespace kt
