// DriverEntry and the unload hook, the dispatch callbacks and free routines of
// CCameraDevice, model identification and resolution lists row by row, and
// the INF that installs the driver for the same VID/PIDs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <regex>
#include <vector>

#include <host/api/host.h>
#include <host/api/ks.h>

#include "driver/device/driver_entry.h"
#include "driver/device/model_table.h"
#include "support/usb_fixture.h"

namespace {

using Resolutions = std::vector<std::pair<LONG, LONG>>;

const Resolutions kNtsc = {{720, 480}, {640, 480}, {512, 480}};
const Resolutions kPal = {{720, 576}, {640, 576}, {512, 576}};
const Resolutions kAlder = {{1280, 1024}, {1280, 960}, {1024, 768}, {800, 600}, {640, 512}, {640, 480}, {320, 240}};
const Resolutions kBirch = {{1280, 1024}, {1024, 768}, {800, 600}, {640, 480}, {320, 240}};
const Resolutions kBirch2Mp = {{1600, 1200}, {1280, 1024}, {1280, 720}, {800, 600}};
const Resolutions kCedar = {{704, 480}, {704, 576}, {640, 480}, {640, 576}};
const Resolutions kVga = {{640, 480}}, kVga576 = {{640, 576}}, kD1576 = {{704, 576}};
const Resolutions kRowanInterlaced = {{640, 480}, {640, 576}};
const Resolutions kOv7740 = {{640, 480}, {352, 288}, {320, 240}};

// A device object as the device core builds it, without a frame router.
class TestDevice : public CCameraDevice {
 public:
  explicit TestDevice(PKSDEVICE device = nullptr) : CCameraDevice(device) {}
  void HandleVideoData(PUCHAR, ULONG) override {}
};

Resolutions ToVector(const LONG* list) {
  Resolutions out;
  for (ULONG i = 0; i < ResolutionCount(list); ++i)
    out.emplace_back(ResolutionWidth(list, i), ResolutionHeight(list, i));
  return out;
}

// DriverEntry on `driver`; KsInitializeDriver refuses when `refused` (it
// refuses a driver object without an extension).
NTSTATUS Enter(PDRIVER_OBJECT driver, bool refused) {
  UNICODE_STRING path;
  RtlInitUnicodeString(&path, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\ovrausb");
  PDRIVER_EXTENSION extension = driver->DriverExtension;
  if (refused) driver->DriverExtension = nullptr;
  const NTSTATUS status = DriverEntry(driver, &path);
  driver->DriverExtension = extension;
  return status;
}

// DriverEntry returns what KsInitializeDriver returned and hooks unload in
// either case. The hook chains to ks.sys's routine exactly once, also after
// a second DriverEntry on the same object: it never saves itself as the
// routine to chain to.
TEST(DriverEntry, ReturnsKsStatusAndUnloadChainsToKsExactlyOnce) {
  const struct {
    const char* name;
    bool refused;
    int second;  // a second DriverEntry: 0 none, 1 accepted, 2 refused by ks.sys
    int unloads;
  } cases[] = {
      {"ks accepts", false, 0, 1},
      {"ks refuses", true, 0, 0},
      {"second entry accepted", false, 1, 1},
      {"second entry refused", false, 2, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PDRIVER_OBJECT driver = host::io::CreateDriverObject("ovrausb");
    EXPECT_EQ(Enter(driver, c.refused), c.refused ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS);
    if (c.second != 0) Enter(driver, c.second == 2);
    EXPECT_NE(driver->DriverUnload, nullptr) << "no unload hook";
    host::io::UnloadDriver(driver);
    EXPECT_EQ(host::ks::UnloadCalls(driver), c.unloads);
    host::io::DeleteDriverObject(driver);
  }
}

TEST(DeviceDispatch, RemovalAndSurpriseRemovalMarkTheHeadRemoved) {
  KSDEVICE empty{};  // no device in Context: refused or ignored
  EXPECT_EQ(kDeviceDispatch.Start(&empty, nullptr, nullptr, nullptr), STATUS_INVALID_DEVICE_STATE);
  kDeviceDispatch.Stop(&empty, nullptr);
  kDeviceDispatch.Remove(&empty, nullptr);
  for (const auto remove : {kDeviceDispatch.Remove, kDeviceDispatch.SurpriseRemoval}) {
    ovratest::UsbCamera camera(ovratest::ScriptedDevice::Camera());
    ovratest::PlainHardware* hardware = camera.Make<ovratest::PlainHardware>();
    camera.owner->Hardware = hardware;
    remove(camera.device, nullptr);
    EXPECT_TRUE(hardware->m_Removed);
  }
}

TEST(FreeRoutines, DeleteDeviceAndDeleteHardwareFreeEverything) {
  ovratest::UsbCamera camera(ovratest::ScriptedDevice::Camera());
  for (const bool buffers : {false, true}) {
    auto* device = new (AllocateZeroed(sizeof(TestDevice)), Placement::At) TestDevice(camera.device);
    if (buffers) {
      device->GenericConfig.Resolutions = static_cast<PLONG>(AllocateZeroed(5 * sizeof(LONG)));
      device->GenericConfig.SequenceBuffer = static_cast<PUCHAR>(AllocateZeroed(9));
      device->GenericConfig.Sequences = static_cast<I2cSequenceRecord*>(AllocateZeroed(sizeof(I2cSequenceRecord)));
    }
    CCameraDevice::DeleteDevice(device);
  }
  // A configured head object: its descriptors and interface records go with it.
  void* memory = AllocateZeroed(sizeof(ovratest::PlainHardware));
  CCameraDevice::DeleteHardware(new (memory, Placement::At) ovratest::PlainHardware(camera.owner, camera.device));
  CCameraDevice::DeleteDevice(nullptr);
  CCameraDevice::DeleteHardware(nullptr);
}

struct ModelCase {
  ULONG key, type, flags, lineFrequency;
  const Resolutions* resolutions;
};

const ModelCase kModels[] = {
    {0x0FBC8117, 0, 0x37, 60, &kNtsc},
    {0x2E4C0014, 4, 0x19, 50, &kPal},
    {0x2E4C0015, 4, 0x15, 60, &kNtsc},
    {0x2E4C0042, 0, 0x17, 60, &kNtsc},
    {0x2E4C0043, 0, 0x1B, 50, &kPal},
    {0x2E4C0044, 0, 0x5B, 50, &kPal},
    {0x2E4C0052, 5, 0x05, 60, &kVga},
    {0x2E4C0053, 5, 0x09, 50, &kVga576},
    {0x2E4C0054, 5, 0x09, 50, &kD1576},
    {0x2E4C0055, 5, 0x05, 60, &kVga},
    {0x2E4C0060, 1, 0x50, 0, &kAlder},
    {0x2E4C0061, 1, 0x50, 0, &kAlder},
    {0x2E4C0064, 2, 0x10, 0, &kBirch},
    {0x2E4C0065, 2, 0x10, 0, &kBirch},
    {0x2E4C0066, 2, 0x50, 0, &kBirch},
    {0x2E4C0067, 2, 0x10, 0, &kBirch2Mp},
    {0x2E4C0101, 7, 0x10, 0, &kOv7740},
    {0x2E4C0142, 3, 0x15, 60, &kCedar},
    {0x2E4C0143, 3, 0x19, 50, &kCedar},
    {0x2E4C0452, 6, 0x14, 60, &kVga},
    {0x2E4C0453, 6, 0x18, 50, &kVga},
    {0x2E4C1442, 6, 0x15, 60, &kRowanInterlaced},
    {0x2E4C1443, 6, 0x19, 50, &kRowanInterlaced},
    {0x2E4C1452, 6, 0x15, 60, &kRowanInterlaced},
    {0x2E4C1453, 6, 0x19, 50, &kRowanInterlaced},
    {0x2E4C1454, 6, 0x19, 50, &kRowanInterlaced},
    {0x2E4C1455, 6, 0x15, 60, &kRowanInterlaced},
    // Generic heads without a registry list fall back to NTSC, even at 50 Hz.
    {0x2E4C5332, 8, 0x05, 60, &kNtsc},
    {0x2E4C6261, 8, 0x09, 50, &kNtsc},
};

std::vector<ULONG> TableKeys() {
  std::vector<ULONG> keys;
  for (const ModelTableEntry* row = kModelTable; row->Key != 0; ++row) keys.push_back(row->Key);
  return keys;
}

TEST(ModelTable, EveryRowIdentifiesTypeFlagsFrequencyAndResolutions) {
  std::vector<ULONG> keys;
  for (const ModelCase& c : kModels) {
    SCOPED_TRACE(testing::Message() << std::hex << c.key);
    keys.push_back(c.key);
    // What a device started with this VID/PID ends up with.
    TestDevice device;
    device.VidPid = c.key;
    IdentifyModel(&device);
    device.LineFrequency = LineFrequencyFromFlags(device.ModelFlags);
    EXPECT_EQ(device.ModelType, c.type);
    EXPECT_EQ(device.ModelFlags, c.flags);
    EXPECT_EQ(device.LineFrequency, c.lineFrequency);
    EXPECT_EQ(ToVector(device.GetResolutions()), *c.resolutions);
  }
  EXPECT_FALSE(host::dbg::Contains("not found", kLogError)) << "a known model logs a miss";
  EXPECT_EQ(TableKeys(), keys) << "the table holds exactly these rows, in this order";
}

TEST(ModelTable, UnknownKeysLeaveTheModelUnknownKeepTheFlagsAndLogTheMiss) {
  for (ULONG key : {0x2E4C9999u, 0x0FBC8118u, 0x8117u, 0x00000000u}) {
    char miss[40];
    snprintf(miss, sizeof miss, "VID/PID %08x not found!\n", key);
    host::dbg::Clear();
    TestDevice device;
    device.VidPid = key;
    device.ModelFlags = 0x15;
    IdentifyModel(&device);
    EXPECT_EQ(device.ModelType, kModelUnknown);
    EXPECT_EQ(device.ModelFlags, 0x15u);
    EXPECT_EQ(host::dbg::Count(miss, kLogError), 1u) << miss;
    EXPECT_EQ(ToVector(device.GetResolutions()), kNtsc);  // no head, no registry list: the NTSC fallback
  }
}

TEST(Resolutions, GenericListFromTheRegistryWinsUnlessEmpty) {
  const struct {
    ULONG type;
    LONG count;  // of the registry list
    bool registry;
  } cases[] = {{8, 2, true}, {9, 2, true}, {kModelUnknown, 2, true}, {8, 0, false},
               {8, -1, false}, {8, LONG(0x80000000), false}, {0, 2, false}};  // type 0: a fixed model
  for (const auto& c : cases) {
    LONG generic[] = {c.count, 800, 600, 320, 240};
    TestDevice device;
    device.ModelType = c.type;
    device.LineFrequency = 60;
    device.GenericConfig.Resolutions = generic;
    EXPECT_EQ(ToVector(device.GetResolutions()), (c.registry ? Resolutions{{800, 600}, {320, 240}} : kNtsc))
        << "type " << c.type << ", count " << c.count;
  }
}

// Hardware IDs of the [Models.NTamd64] section of the INF next to the driver.
std::vector<ULONG> InfKeys() {
  const std::string here = __FILE__;
  std::ifstream in(here.substr(0, here.rfind("/tests/")) + "/windows/ovrausb.inf");
  EXPECT_TRUE(in.good());
  std::string text, line;
  while (std::getline(in, line)) text += line.substr(0, line.find(';')) + "\n";
  const std::regex models(R"(\[Models\.NTamd64\]([^\[]*))", std::regex::icase);
  const std::regex id(R"(USB\\VID_([0-9A-F]{4})&PID_([0-9A-F]{4}))", std::regex::icase);
  std::smatch section;
  EXPECT_TRUE(std::regex_search(text, section, models));
  const std::string body = section.str(1);
  std::vector<ULONG> keys;
  for (std::sregex_iterator m(body.begin(), body.end(), id), end; m != end; ++m)
    keys.push_back(ULONG(std::stoul(m->str(1), nullptr, 16) << 16 | std::stoul(m->str(2), nullptr, 16)));
  return keys;
}

TEST(Inf, InstallsForExactlyTheModelTablesVidPids) {
  std::vector<ULONG> inf = InfKeys(), table = TableKeys();
  std::sort(inf.begin(), inf.end());
  std::sort(table.begin(), table.end());
  EXPECT_EQ(inf, table);
}

}  // namespace
