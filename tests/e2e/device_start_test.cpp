// Device start through Plug and Play, as the PnP manager and a capture
// application meet the driver: repeated, failed and re-started starts; two
// cameras side by side; ranges shaped by the registry; low memory. (Each
// model's ranges and property sets are checked in the stream suite.)
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <emu/bridge.h>
#include <emu/heads.h>
#include <emu/profiles.h>
#include <host/api/host.h>
#include <host/api/ks.h>

#include "driver/device/driver_entry.h"
#include "driver/stream/stream.h"

namespace {

using host::ks::Handle;

struct Range {
  LONG width, height;
  ULONG rmax, rmin;  // frames per second at the ends of the interval range
};

// A camera of the family plugged under the driver, with its emulated head.
struct Plugged {
  explicit Plugged(host::ks::Driver& driver, const emu::Profile& profile, std::string name = "usbcam")
      : bridge(std::make_shared<emu::Bridge>(profile)),
        head(emu::AttachHead(*bridge, profile.modelType)),
        camera(driver, bridge, std::move(name)) {
    bridge->SetPdo(camera.Pdo());
  }
  std::vector<Range> Ranges(ULONG pin) {
    Handle filter = nullptr;
    EXPECT_EQ(camera.OpenFilter(&filter), STATUS_SUCCESS);
    std::vector<Range> out;
    if (filter == nullptr) return out;
    for (const auto& bytes : host::ks::DataRanges(filter, pin)) {
      EXPECT_EQ(bytes.size(), sizeof(KS_DATARANGE_VIDEO));
      KS_DATARANGE_VIDEO r;
      memcpy(&r, bytes.data(), sizeof r);
      out.push_back({r.VideoInfoHeader.bmiHeader.biWidth, r.VideoInfoHeader.bmiHeader.biHeight,
                     ULONG(10000000 / r.ConfigCaps.MinFrameInterval), ULONG(10000000 / r.ConfigCaps.MaxFrameInterval)});
    }
    camera.CloseHandle(filter);
    return out;
  }
  std::shared_ptr<emu::Bridge> bridge;
  emu::EmulatedHead head;
  host::ks::Camera camera;
};

const emu::Profile& Profile(uint32_t vidPid) {
  const emu::Profile* p = emu::FindProfile(uint16_t(vidPid >> 16), uint16_t(vidPid));
  EXPECT_NE(p, nullptr) << std::hex << vidPid;
  return *p;
}

bool operator==(const Range& a, const Range& b) {
  return a.width == b.width && a.height == b.height && a.rmax == b.rmax && a.rmin == b.rmin;
}
std::ostream& operator<<(std::ostream& o, const Range& r) {
  return o << r.width << "x" << r.height << "@" << r.rmax << "/" << r.rmin;
}

const std::vector<Range> kNtsc = {{720, 480, 30, 30}, {640, 480, 30, 30}, {512, 480, 30, 30}};
// Alder (not key 0060) at alternate setting 0: 31000 / width frames per second, down to 1.
const std::vector<Range> kAlder = {{1280, 1024, 24, 1}, {1280, 960, 24, 1}, {1024, 768, 30, 1}, {800, 600, 38, 1},
                                   {640, 512, 48, 1},   {640, 480, 48, 1},  {320, 240, 96, 1}};
const std::vector<Range> kBirch2Mp = {{1600, 1200, 8, 8}, {1280, 1024, 8, 8}, {1280, 720, 8, 8}, {800, 600, 20, 20}};

// A start while started changes nothing; stop and start again reuses the head
// object; after removal nothing reaches the bus and nothing is left.
TEST(DeviceStart, RepeatedStartRestartAndRemoval) {
  host::ks::Driver driver(DriverEntry);
  Plugged p(driver, Profile(0x2E4C0061));
  ASSERT_EQ(p.camera.Start(), STATUS_SUCCESS);
  const size_t requests = p.bridge->Requests().size();
  host::dbg::Clear();
  EXPECT_EQ(host::ks::StartDevice(p.camera.Device()), STATUS_SUCCESS);
  EXPECT_EQ(p.bridge->Requests().size(), requests) << "a repeated start read the device again";
  EXPECT_EQ(host::dbg::Count("exit CCameraDevice::PnpStart 00000000\n"), 1u);
  EXPECT_EQ(host::ks::FilterFactories(p.camera.Device()), 1u);

  for (int i = 0; i < 3; ++i) {
    p.camera.Stop();
    EXPECT_EQ(host::ks::FilterFactories(p.camera.Device()), 0u);
    EXPECT_EQ(p.camera.Start(), STATUS_SUCCESS);
    EXPECT_EQ(p.Ranges(0), kAlder);
  }
  EXPECT_EQ(host::dbg::Count("CUSBHardwareAlder::CUSBHardwareAlder"), 0u) << "a restart built a second head";
  p.camera.Remove();
  const size_t after = p.bridge->Requests().size();
  host::sched::RunFor(2 * host::sched::kSecond);
  EXPECT_EQ(p.bridge->Requests().size(), after);
}

// Start failures: what the driver returns, and what stays behind.
TEST(DeviceStart, FailedStarts) {
  emu::Profile unknown = Profile(0x2E4C0061);
  unknown.vid = 0x1234;
  unknown.pid = 0x5678;
  host::ks::Driver driver(DriverEntry);
  {
    // An unknown camera: the fallback ranges, a filter without a head.
    Plugged p(driver, unknown);
    EXPECT_EQ(p.camera.Start(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(host::dbg::Count("VID/PID 12345678 not found!\n", kLogError), 1u);
    EXPECT_EQ(host::ks::FilterFactories(p.camera.Device()), 1u);
    EXPECT_EQ(p.Ranges(0), kNtsc);
    p.camera.Remove();
  }
  {
    // A descriptor read that leaves a zeroed buffer names no camera.
    host::dbg::Clear();
    Plugged p(driver, Profile(0x2E4C0061));
    p.bridge->SetDeviceDescriptor(std::vector<uint8_t>(18, 0));
    EXPECT_EQ(p.camera.Start(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(host::ks::FilterFactories(p.camera.Device()), 0u);
    EXPECT_FALSE(host::dbg::Contains("not found"));
    p.camera.Remove();
  }
  {
    Plugged p(driver, Profile(0x2E4C0061));
    // A device descriptor read that fails.
    emu::ControlFault fault;
    fault.request = 6;  // GET_DESCRIPTOR
    fault.vendor = false;
    p.bridge->AddControlFault(fault);
    EXPECT_EQ(p.camera.Start(), STATUS_UNSUCCESSFUL);
    p.camera.Remove();
  }
}

// Two cameras of different models keep their own ranges.
TEST(DeviceStart, TwoCamerasKeepTheirOwnRanges) {
  host::ks::Driver driver(DriverEntry);
  Plugged alder(driver, Profile(0x2E4C0061), "cam1");
  Plugged birch(driver, Profile(0x2E4C0067), "cam2");
  ASSERT_EQ(alder.camera.Start(), STATUS_SUCCESS);
  ASSERT_EQ(birch.camera.Start(), STATUS_SUCCESS);
  EXPECT_EQ(alder.Ranges(0), kAlder);
  EXPECT_EQ(birch.Ranges(1), kBirch2Mp);
  birch.camera.Remove();
  EXPECT_EQ(alder.Ranges(1), kAlder);
  alder.camera.Remove();
}

// The device key's alternate setting changes the Alder frame rates.
TEST(DeviceStart, RegistryShapesTheRanges) {
  host::ks::Driver driver(DriverEntry);
  Plugged p(driver, Profile(0x2E4C0061));
  host::reg::SetDword(p.camera.DeviceKey(PLUGPLAY_REGKEY_DEVICE), "AltSetting", 1);
  ASSERT_EQ(p.camera.Start(), STATUS_SUCCESS);
  EXPECT_EQ(p.Ranges(0)[0], (Range{1280, 1024, 18, 1}));  // 23040 / width
  p.camera.Remove();
}

// Every allocation of Add and Start failing in turn: the documented status,
// no crash, nothing left once the device is removed.
TEST(DeviceStart, EveryAllocationSiteMayFail) {
  host::ks::Driver driver(DriverEntry);
  std::vector<uintptr_t> sites;
  {
    const size_t before = host::pool::SitesSeen().size();
    Plugged p(driver, Profile(0x2E4C0061));
    ASSERT_EQ(p.camera.Start(), STATUS_SUCCESS);
    const auto seen = host::pool::SitesSeen();
    sites.assign(seen.begin() + before, seen.end());
    p.camera.Remove();
  }
  ASSERT_GE(sites.size(), 8u);
  for (const uintptr_t site : sites) {
    host::pool::FailSite(site);
    {
      Plugged p(driver, Profile(0x2E4C0061));
      if (NT_SUCCESS(p.camera.AddStatus())) {
        const NTSTATUS status = p.camera.Start();
        EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_INSUFFICIENT_RESOURCES ||
                    status == STATUS_UNSUCCESSFUL)
            << std::hex << status;
        p.camera.Remove();
      } else {
        EXPECT_EQ(p.camera.AddStatus(), STATUS_INSUFFICIENT_RESOURCES);
      }
    }
    host::pool::ClearFaults();
  }
}

}  // namespace
