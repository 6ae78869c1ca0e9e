// The hardware base object's life: construction, acquisition, release, the
// stream state and the reader each acquisition builds.
#include <algorithm>

#include "usb_test.h"

namespace ovratest {
namespace {

using LifecycleTest = UsbTest;
using Wire = std::vector<std::pair<int, int>>;  // (bRequest, wValue)

TEST_F(LifecycleTest, ConstructionConfiguresAndAcquisitionRepeatsTheSetupOnlyAfterARelease) {
  EXPECT_EQ(dev->Requests(), (Wire{{9, 1}, {11, 0}}));  // SET_CONFIGURATION (9), SET_INTERFACE (11)
  const uint16_t total = uint16_t(dev->configuration.size());
  EXPECT_EQ(std::count_if(dev->controls.begin(), dev->controls.end(),
                          [&](const ScriptedDevice::ControlRecord& c) {
                            return c.setup.bRequest == 6 && c.setup.wValue == 0x200 && c.setup.wLength == total + 16;
                          }),
            1)
      << "the whole set is read with 16 bytes to spare";

  const struct {
    bool releaseFirst;
    UCHAR alternate;
    Wire wire;
  } steps[] = {
      {false, 2, {{11, 2}, {kVrStreamReset, 0}}},
      {true, 1, {{9, 1}, {11, 1}, {kVrStreamReset, 0}}},
      {false, 2, {{11, 2}, {kVrStreamReset, 0}}},
  };
  for (const auto& step : steps) {
    if (step.releaseFirst) {
      ASSERT_EQ(hw->ReleaseResources(), STATUS_SUCCESS);
    }
    dev->controls.clear();
    ASSERT_EQ(hw->AcquireResources(step.alternate), STATUS_SUCCESS);
    EXPECT_EQ(dev->Requests(), step.wire);
    EXPECT_EQ(dev->Count(6) != 0, step.releaseFirst) << "descriptors read again";
  }
}

TEST_F(LifecycleTest, ReleaseStopsTheReaderThenReturnsToTheFirstSettingThenUnconfigures) {
  Stream(1);
  host::sched::RunFor(20 * kMillisecond);
  FilterDevice filter(camera->device);
  std::vector<uint64_t> pendingAtSelection;  // transfers in the bus when each selection passes
  filter.hold = [&](const URB& urb) {
    const USHORT f = urb.UrbHeader.Function;
    if (f == URB_FUNCTION_SELECT_CONFIGURATION || f == URB_FUNCTION_SELECT_INTERFACE)
      pendingAtSelection.push_back(camera->BusStats().pending);
    return false;
  };
  dev->controls.clear();
  EXPECT_EQ(hw->ReleaseResources(), STATUS_SUCCESS);
  EXPECT_EQ(dev->Requests(), (Wire{{11, 0}, {9, 0}}));
  EXPECT_EQ(pendingAtSelection, (std::vector<uint64_t>{0, 0})) << "the reader still streamed";
  EXPECT_TRUE(host::dbg::Contains("Device Configuration Closed.\n"));
  EXPECT_EQ(hw->m_Reader, nullptr);
  dev->controls.clear();
  EXPECT_EQ(hw->ReleaseResources(), STATUS_SUCCESS) << "nothing held: a second release touches nothing";
  EXPECT_TRUE(dev->controls.empty());
}

TEST_F(LifecycleTest, EachAcquisitionBuildsEightTransfersForThePipeType) {
  const struct {
    const char* name;
    bool bulk;
    UCHAR alternate;
    ULONG transferSize;
    LONG packets;
    USHORT urbSize;
  } cases[] = {
      {"bulk", true, 1, 32768, 0, 0},
      {"1024-byte packets", false, 1, 98304, 96, 1304},
      {"3072-byte packets", false, 3, 98304, 32, 536},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Plug(ScriptedDevice::Camera(c.bulk));
    ASSERT_EQ(hw->AcquireResources(c.alternate), STATUS_SUCCESS);
    ContinuousReader* r = hw->m_Reader;
    EXPECT_EQ(r->TransferCount(), 8u);
    for (PLIST_ENTRY e = r->m_Idle.Flink; e != &r->m_Idle; e = e->Flink) {
      CSingleUrb* t = CSingleUrb::FromLink(e);
      EXPECT_EQ(t->m_TransferSize, c.transferSize);
      if (c.bulk) continue;
      EXPECT_EQ(static_cast<CIsochUrb*>(t)->m_NumPackets, c.packets);
      EXPECT_EQ(t->m_Urb->UrbHeader.Length, c.urbSize);
    }
  }
}

TEST_F(LifecycleTest, AcquisitionRefusesAVideoPipeItCannotStreamFrom) {
  const EndpointDesc out = {0x01, USB_ENDPOINT_TYPE_BULK, 512, 0};
  const struct {
    const char* name;
    std::vector<EndpointDesc> endpoints;
    NTSTATUS expected;
  } cases[] = {
      {"no second pipe", {out}, STATUS_INVALID_DEVICE_STATE},
      {"zero bandwidth", {out, {0x82, USB_ENDPOINT_TYPE_ISOCHRONOUS, 0, 1}}, STATUS_NOT_SUPPORTED},
      {"more than 1024 packets", {out, {0x82, USB_ENDPOINT_TYPE_ISOCHRONOUS, 64, 1}}, STATUS_NOT_SUPPORTED},
      {"packets not in whole frames", {out, {0x82, USB_ENDPOINT_TYPE_ISOCHRONOUS, 1000, 1}}, STATUS_NOT_SUPPORTED},
      {"interrupt video pipe", {out, {0x82, USB_ENDPOINT_TYPE_INTERRUPT, 1024, 1}}, STATUS_NOT_SUPPORTED},
      {"1024 packets of 96 bytes", {out, {0x82, USB_ENDPOINT_TYPE_ISOCHRONOUS, 96, 1}}, STATUS_SUCCESS},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto d = ScriptedDevice::Camera();
    d->configuration = MakeConfiguration({{0, 0, {out}}, {0, 1, c.endpoints}});
    Plug(d);
    EXPECT_EQ(hw->AcquireResources(1), c.expected);
    EXPECT_EQ(hw->m_Reader != nullptr, NT_SUCCESS(c.expected));
    EXPECT_EQ(hw->Start(), NT_SUCCESS(c.expected) ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(hw->Stop(), STATUS_SUCCESS);
  }
}

TEST_F(LifecycleTest, StopRetiresEveryTransferQuietlyOnceAndStartBuildsThemAgain) {
  Stream();
  host::sched::RunFor(30 * kMillisecond);
  EXPECT_EQ(hw->Stop(), STATUS_SUCCESS);
  EXPECT_EQ(hw->Stop(), STATUS_SUCCESS);
  EXPECT_EQ(host::dbg::Count("exit ContinuousReader::Stop\n"), 1u);
  EXPECT_EQ(host::dbg::Count("ContinuousReader::AbortPipe"), 1u);
  EXPECT_FALSE(reader->m_Running);
  EXPECT_EQ(reader->TransferCount(), 0u);
  EXPECT_EQ(host::sched::PendingEvents(), 0u) << "the watchdog still ticks";
  EXPECT_FALSE(host::dbg::Contains("Irp Err"));
  EXPECT_EQ(host::dbg::Count("cancelling "), 0u) << "the abort left transfers behind";
  host::sched::RunFor(3 * kSecond);
  EXPECT_EQ(dev->Count(kVrFlush), 0u) << "the watchdog outlived the stop";
  EXPECT_EQ(host::io::LiveIrps(), 0u);

  const uint64_t before = camera->owner->calls;
  ASSERT_EQ(hw->Start(), STATUS_SUCCESS);
  EXPECT_EQ(reader->TransferCount(), 8u);
  host::sched::RunFor(50 * kMillisecond);
  EXPECT_GT(camera->owner->calls, before);
}

TEST_F(LifecycleTest, PauseOnlyMovesBetweenRunningAndPaused) {
  const LONG cases[][3] = {  // state before, Pause's argument, state after
      {kStreamRunning, TRUE, kStreamPaused},  {kStreamPaused, FALSE, kStreamRunning},
      {kStreamStopped, TRUE, kStreamStopped}, {kStreamStopped, FALSE, kStreamStopped},
      {kStreamPaused, TRUE, kStreamPaused},   {kStreamRunning, FALSE, kStreamRunning},
  };
  for (const auto& c : cases) {
    hw->m_State = c[0];
    EXPECT_EQ(hw->Pause(BOOLEAN(c[1])), STATUS_SUCCESS);
    EXPECT_EQ(hw->m_State, c[2]) << "from " << c[0] << (c[1] ? " pause" : " resume");
  }
  hw->m_State = kStreamStopped;
}

// Construction, acquisition, a short stream and the stop with the fault `arm`
// sets up. Returns the allocations made; counts what failed.
uint64_t Life(bool bulk, const std::function<void()>& arm, size_t* failedConstructions, size_t* failedAcquisitions) {
  UsbCamera camera(ScriptedDevice::Camera(bulk));
  const uint64_t outstanding = host::pool::Outstanding(), start = host::pool::AllocationCount();
  arm();
  PlainHardware* hw = camera.Make<PlainHardware>();
  if (hw == nullptr || !hw->m_Configured) {
    ++*failedConstructions;
  } else if (const NTSTATUS status = hw->AcquireResources(1); !NT_SUCCESS(status)) {
    ++*failedAcquisitions;
    EXPECT_TRUE(status == STATUS_INSUFFICIENT_RESOURCES || status == STATUS_UNSUCCESSFUL) << std::hex << status;
    EXPECT_EQ(hw->m_Reader, nullptr);
  } else {
    EXPECT_GT(hw->m_Reader->TransferCount(), 0u) << "acquired without a transfer to stream with";
    EXPECT_EQ(hw->Start(), STATUS_SUCCESS);
    host::sched::RunFor(30 * kMillisecond);
    hw->Stop();
  }
  const uint64_t allocations = host::pool::AllocationCount() - start;
  host::pool::ClearFaults();
  camera.Destroy(hw);
  EXPECT_EQ(host::pool::Outstanding(), outstanding) << host::pool::LeakReport();
  return allocations;
}

TEST(LowMemoryTest, EveryAllocationAndEverySiteRefusedInTurnFailsCleanly) {
  for (const bool bulk : {false, true}) {
    SCOPED_TRACE(bulk ? "bulk" : "isochronous");
    size_t failedConstructions = 0, failedAcquisitions = 0;
    const uint64_t allocations = Life(bulk, [] {}, &failedConstructions, &failedAcquisitions);
    ASSERT_EQ(failedConstructions + failedAcquisitions, 0u);
    for (uint64_t n = 1; n <= allocations; ++n) {
      SCOPED_TRACE(testing::Message() << "allocation " << n);
      Life(bulk, [n] { host::pool::FailNth(n); }, &failedConstructions, &failedAcquisitions);
    }
    for (const uintptr_t site : host::pool::SitesSeen()) {
      SCOPED_TRACE(testing::Message() << "site " << std::hex << site);
      Life(bulk, [site] { host::pool::FailSite(site); }, &failedConstructions, &failedAcquisitions);
    }
    EXPECT_GT(failedConstructions, 5u);
    EXPECT_GT(failedAcquisitions, 3u);
  }
}

}  // namespace
}  // namespace ovratest
