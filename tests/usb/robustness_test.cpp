// Hostile descriptor sets and low memory: the driver never reads outside its
// buffers (AddressSanitizer watches the exact-size pool blocks), reports the
// failure, and leaves nothing behind.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "driver/usb/reader.h"
#include "support/usb_fixture.h"

namespace ovratest {
namespace {

using host::sched::kMillisecond;

std::vector<uint8_t> WithTotal(std::vector<uint8_t> set, uint16_t total) {
  set[2] = uint8_t(total);
  set[3] = uint8_t(total >> 8);
  return set;
}

struct HostileCase {
  const char* name;
  std::vector<uint8_t> device;
  std::vector<std::vector<uint8_t>> reads;  // successive configuration reads
  int configured;                            // 1 yes, 0 no, -1 either
};

std::vector<HostileCase> HostileCases() {
  const auto camera = MakeConfiguration(CameraInterfaces(false));
  const auto device = MakeDeviceDescriptor(0x0FBC, 0x8110);
  const uint16_t size = uint16_t(camera.size());
  auto patched = [&](size_t at, std::vector<uint8_t> bytes) {
    auto s = camera;
    std::copy(bytes.begin(), bytes.end(), s.begin() + at);
    return s;
  };
  std::vector<uint8_t> truncatedDevice(device.begin(), device.begin() + 8);
  std::vector<uint8_t> zeroDevice = device;
  zeroDevice[0] = 0;
  std::vector<uint8_t> gappy = MakeConfiguration({{0, 0, {{0x01, 2, 512, 0}, {0x82, 1, 1024, 1}}},
                                                  {7, 0, {{0x83, 2, 512, 0}}}});
  return {
      {"well formed", device, {camera}, 1},
      {"total beyond the bytes sent", device, {WithTotal(camera, 400)}, -1},
      {"total below the header", device, {WithTotal(camera, 4)}, 0},
      {"total zero", device, {WithTotal(camera, 0)}, 0},
      {"zero-length descriptor", device, {patched(9 + 9, {0, 5})}, -1},
      {"descriptor running past the end", device, {patched(size - 7, {0x40})}, -1},
      {"more interfaces announced than present", device, {patched(4, {5})}, 0},
      {"255 interfaces announced", device, {patched(4, {255})}, 0},
      {"no interface", device, {patched(4, {0})}, 0},
      {"endpoints announced but missing", device, {patched(9 + 9 + 14 + 4, {30})}, -1},
      {"set cut inside an endpoint", device, {WithTotal(camera, uint16_t(size - 3))}, -1},
      {"header length 255", device, {patched(0, {255})}, -1},
      {"second read longer than the first", device, {WithTotal(camera, 18), camera}, -1},
      {"header read cut short", device, {std::vector<uint8_t>(camera.begin(), camera.begin() + 5)}, 0},
      {"all 0xFF", device, {std::vector<uint8_t>(300, 0xFF)}, -1},
      {"interface numbers with a gap", device, {gappy}, 1},
      {"device descriptor cut short", truncatedDevice, {camera}, -1},
      {"device descriptor length zero", zeroDevice, {camera}, 0},
  };
}

TEST(HostileDeviceTest, MalformedDescriptorSetsNeverTakeTheDriverOutsideItsBuffers) {
  for (const HostileCase& c : HostileCases()) {
    SCOPED_TRACE(c.name);
    auto dev = ScriptedDevice::Camera();
    dev->deviceDescriptor = c.device;
    dev->configurationReads = c.reads;
    UsbCamera camera(dev);
    PlainHardware* hw = camera.Make<PlainHardware>();
    ASSERT_NE(hw, nullptr);
    if (c.configured >= 0) {
      EXPECT_EQ(bool(hw->m_Configured), c.configured == 1);
    }
    if (hw->m_ConfigDescriptor != nullptr) {
      size_t longest = 0;
      for (const auto& r : c.reads) longest = std::max(longest, r.size());
      EXPECT_LE(hw->m_ConfigDescriptor->wTotalLength, longest);
    }
    for (LONG i = 0; i < hw->m_NumPipes; ++i) ASSERT_NE(hw->m_Pipes[i], nullptr);
    if (hw->m_Configured && NT_SUCCESS(hw->AcquireResources(1))) {
      EXPECT_EQ(hw->Start(), STATUS_SUCCESS);
      host::sched::RunFor(30 * kMillisecond);
      hw->Stop();
    }
  }
}

// Construction, acquisition, a short stream and the stop, with allocation
// number `failAt` (counted from construction; 0 = none) refused.
struct LifeResult {
  uint64_t allocations = 0;
  bool built = false;
  bool configured = false;
  NTSTATUS acquire = STATUS_UNSUCCESSFUL;
};

LifeResult Life(bool bulk, uint64_t failAt) {
  LifeResult result;
  auto dev = ScriptedDevice::Camera(bulk);
  UsbCamera camera(dev);
  const uint64_t outstanding = host::pool::Outstanding();
  const uint64_t start = host::pool::AllocationCount();
  if (failAt != 0) host::pool::FailNth(failAt);

  PlainHardware* hw = camera.Make<PlainHardware>();
  result.built = hw != nullptr;
  if (hw != nullptr && hw->m_Configured) {
    result.configured = true;
    result.acquire = hw->AcquireResources(1);
    if (NT_SUCCESS(result.acquire)) {
      EXPECT_NE(hw->m_Reader, nullptr);
      EXPECT_GT(hw->m_Reader->TransferCount(), 0u) << "acquired without a transfer to stream with";
      EXPECT_EQ(hw->Start(), STATUS_SUCCESS);
      host::sched::RunFor(30 * kMillisecond);
      hw->Stop();
    } else {
      EXPECT_TRUE(result.acquire == STATUS_INSUFFICIENT_RESOURCES || result.acquire == STATUS_UNSUCCESSFUL)
          << std::hex << result.acquire;
      EXPECT_EQ(hw->m_Reader, nullptr);
    }
  }
  result.allocations = host::pool::AllocationCount() - start;
  host::pool::ClearFaults();
  if (hw != nullptr) camera.Destroy(hw);
  EXPECT_EQ(host::pool::Outstanding(), outstanding) << host::pool::LeakReport();
  return result;
}

TEST(LowMemoryTest, EveryAllocationRefusedInTurnFailsCleanly) {
  for (const bool bulk : {false, true}) {
    const LifeResult clean = Life(bulk, 0);
    ASSERT_TRUE(clean.configured);
    ASSERT_EQ(clean.acquire, STATUS_SUCCESS);
    size_t failedConstructions = 0, failedAcquisitions = 0;
    for (uint64_t n = 1; n <= clean.allocations; ++n) {
      SCOPED_TRACE(testing::Message() << (bulk ? "bulk" : "isochronous") << ", allocation " << n);
      const LifeResult r = Life(bulk, n);
      if (!r.configured) ++failedConstructions;
      if (r.configured && !NT_SUCCESS(r.acquire)) ++failedAcquisitions;
    }
    EXPECT_GT(failedConstructions, 5u);
    EXPECT_GT(failedAcquisitions, 3u);
  }
}

}  // namespace
}  // namespace ovratest
