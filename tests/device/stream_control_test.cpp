// Pin registration and hardware acquisition on an emulated camera: sharing
// between filters and pins, failed acquisitions that leave nothing behind,
// the register replay after acquisition, and the wait for the frame router.
#include <gtest/gtest.h>

#include <vector>

#include "heads/head_bench.h"

namespace {

using headtest::HeadBench;

constexpr uint8_t kSetInterface = 11;

// Stand-ins for the filter and still-pin objects: registration stores and
// compares them and never looks inside a still pin.
CCaptureFilter* const kFilterA = reinterpret_cast<CCaptureFilter*>(0x1000);
CCaptureFilter* const kFilterB = reinterpret_cast<CCaptureFilter*>(0x2000);
CCapturePin* const kStill = reinterpret_cast<CCapturePin*>(0x3000);
CCapturePin* const kOtherStill = reinterpret_cast<CCapturePin*>(0x4000);

KS_VIDEOINFOHEADER Uyvy(LONG width = 640, LONG height = 480, WORD bits = 16) {
  KS_VIDEOINFOHEADER info = {};
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = height;
  info.bmiHeader.biBitCount = bits;
  info.bmiHeader.biCompression = 0x59565955;
  info.AvgTimePerFrame = 333333;
  return info;
}

struct Bench : HeadBench {
  Bench() : HeadBench(1u) {
    device().ModelType = 1;
    device().ModelFlags = 0x50;
    device().AltSetting = 1;  // alternate setting 0 carries no isochronous video
    device().Hardware = hw;
    Clear();
  }
};

// Every way acquisition can fail leaves the head unpowered, the resources
// released and no owner, so that the next registration starts afresh.
TEST(RegisterPin, FailedAcquisitionLeavesNothingAcquired) {
  const struct {
    const char* name;
    WORD bits;
    int failSelect;  // failing SET_INTERFACE requests
    NTSTATUS status;
  } cases[] = {
      {"8-bit format", 8, 0, STATUS_INVALID_PARAMETER},
      {"interface selection fails", 16, 1, STATUS_UNSUCCESSFUL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bench b;
    CCameraDevice& d = b.device();
    if (c.failSelect) {
      emu::ControlFault fault;
      fault.request = kSetInterface;
      fault.vendor = false;
      fault.count = c.failSelect;
      b.bridge().AddControlFault(fault);
    }
    const KS_VIDEOINFOHEADER info = Uyvy(640, 480, c.bits);
    EXPECT_EQ(d.RegisterPin(kFilterA, 1, &info, kStill), c.status);
    EXPECT_EQ(d.OwnerFilter, nullptr);
    EXPECT_EQ(d.Pins[1], nullptr);
    EXPECT_FALSE(b.bridge().Powered());
    EXPECT_EQ(b.hw->m_PowerCount, 0);
    EXPECT_EQ(b.hw->m_Reader, nullptr);
    const KS_VIDEOINFOHEADER good = Uyvy();
    EXPECT_EQ(d.RegisterPin(kFilterA, 1, &good, kStill), STATUS_SUCCESS);
    d.UnregisterPin(kFilterA, 1);
  }
}

TEST(RegisterPin, EveryAllocationOfAcquisitionMayFail) {
  std::vector<uintptr_t> sites;
  const KS_VIDEOINFOHEADER info = Uyvy();
  {
    Bench b;
    const size_t before = host::pool::SitesSeen().size();
    ASSERT_EQ(b.device().RegisterPin(kFilterA, 1, &info, kStill), STATUS_SUCCESS);
    const auto seen = host::pool::SitesSeen();
    sites.assign(seen.begin() + before, seen.end());
    b.device().UnregisterPin(kFilterA, 1);
  }
  ASSERT_FALSE(sites.empty());
  for (const uintptr_t site : sites) {
    Bench b;
    host::pool::FailSite(site);
    const NTSTATUS status = b.device().RegisterPin(kFilterA, 1, &info, kStill);
    host::pool::ClearFaults();
    if (NT_SUCCESS(status)) {
      b.device().UnregisterPin(kFilterA, 1);
    } else {
      EXPECT_EQ(b.device().OwnerFilter, nullptr);
      EXPECT_EQ(b.hw->m_PowerCount, 0);
    }
    EXPECT_FALSE(b.bridge().Powered());
  }
}

// Registers written through the property set since the start are written
// again after each acquisition, but not those the timing program owns.
TEST(RegisterPin, AlderReplaysWrittenRegistersAfterAcquisition) {
  Bench b;
  CCameraDevice& d = b.device();
  for (const USHORT reg : {USHORT(0x10), USHORT(0x20)}) {
    const I2cRequestRecord r = {0, 0, reg, USHORT(0x100 + reg)};
    ASSERT_EQ(d.SetI2CData(&r), STATUS_SUCCESS);
  }
  b.head.registers->ClearWrites();
  const KS_VIDEOINFOHEADER info = Uyvy();
  ASSERT_EQ(d.RegisterPin(kFilterA, 1, &info, kStill), STATUS_SUCCESS);
  EXPECT_EQ(b.head.registers->WritesOf(0x10), std::vector<uint16_t>{0x110});
  for (const uint16_t value : b.head.registers->WritesOf(0x20)) EXPECT_NE(value, 0x120);
  EXPECT_EQ(d.RestoreMask[0x20 >> 5] & (1u << (0x20 & 31)), 0u);
  d.UnregisterPin(kFilterA, 1);
}

// A second filter that registers while the first is still acquiring (the
// power-on wait alone takes a while) is refused, not let in beside it.
TEST(RegisterPin, TwoFiltersAcquiringAtOnce) {
  Bench b;
  CCameraDevice& d = b.device();
  const KS_VIDEOINFOHEADER info = Uyvy();
  NTSTATUS first = STATUS_PENDING;
  host::Thread acquiring("filter A", [&] { first = d.RegisterPin(kFilterA, 1, &info, kStill); });
  host::sched::RunFor(10 * host::sched::kMillisecond);  // filter A waits for the head to power up
  ASSERT_EQ(first, STATUS_PENDING);
  EXPECT_EQ(d.RegisterPin(kFilterB, 1, &info, kOtherStill), STATUS_SHARING_VIOLATION);
  acquiring.Join();
  EXPECT_EQ(first, STATUS_SUCCESS);
  EXPECT_EQ(b.hw->m_PowerCount, 1);
  d.UnregisterPin(kFilterA, 1);
}

// UnregisterPin returns only once the frame router has left the block it was
// routing when the slot was cleared, and that block cannot leave the pin
// behind as the routing target.
TEST(UnregisterPin, WaitsForTheRouterToLeaveThePin) {
  Bench b;
  CCameraDevice& d = b.device();
  const KS_VIDEOINFOHEADER info = Uyvy();
  ASSERT_EQ(d.RegisterPin(kFilterA, 1, &info, kStill), STATUS_SUCCESS);
  d.RouterCalls = 1;  // a routing step that has read the slot is under way...
  host::sched::After(2 * host::sched::kMillisecond, [&] { d.RouteTarget = kStill; });  // ...and picks the pin
  host::sched::After(5 * host::sched::kMillisecond, [&] { d.RouterCalls = 0; });
  const int64_t start = host::sched::Now();
  d.UnregisterPin(kFilterA, 1);
  EXPECT_GE(host::sched::Now() - start, 5 * host::sched::kMillisecond);
  EXPECT_EQ(d.RouteTarget, nullptr);
  EXPECT_EQ(d.Pins[1], nullptr);
}

}  // namespace
