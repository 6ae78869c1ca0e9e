// Registry configuration: defaults and precedence, hostile values, the Generic
// head's resolutions and I2C sequences, restart, low memory, write-back.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/usb_fixture.h"

namespace {

const std::string kService = host::reg::ServicesPath("ovrausb") + "\\Parameters";

std::vector<uint8_t> Bytes(std::initializer_list<uint8_t> b) { return b; }
std::vector<uint8_t> Dword(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

// One registry value: where, name, type, data.
struct Seed {
  bool device;  // the device key, else the service key
  const char* name;
  ULONG type;
  std::vector<uint8_t> data;
};

// A camera whose registry starts empty (every camera of a test shares the
// service key and, by its name, the device key).
struct Camera {
  explicit Camera(bool clean = true) {
    if (!clean) return;
    host::reg::DeleteKey(kService);
    host::reg::DeleteKey(DeviceKey());
  }
  ~Camera() { usb.owner->GenericConfig.Free(); }  // the fixture's device is not freed through the bag
  ovratest::UsbCamera usb{ovratest::ScriptedDevice::Camera()};
  CCameraDevice* device() { return usb.owner; }
  std::string DeviceKey() { return host::reg::DeviceKeyPath(usb.pdo, PLUGPLAY_REGKEY_DEVICE); }
  void Apply(const std::vector<Seed>& seeds) {
    for (const Seed& s : seeds) host::reg::Set(s.device ? DeviceKey() : kService, s.name, s.type, s.data);
  }
};

TEST(Registry, DefaultsPrecedenceAndUntrustedValues) {
  const struct {
    const char* name;
    ULONG flags;
    std::vector<Seed> seeds;
    ULONG alt, allow720, interleave, shutter;
  } cases[] = {
      {"nothing, progressive head", 0x10, {}, 0, 1, 0, 1600000},
      {"nothing, interlaced head", 0x15, {}, 0, 1, 2, 1600000},
      {"service key only", 0x15, {{false, "AltSetting", REG_DWORD, Dword(1)}, {false, "Interleave", REG_DWORD, Dword(1)}},
       1, 1, 1, 1600000},
      {"device key wins",
       0x15,
       {{false, "AltSetting", REG_DWORD, Dword(1)},
        {true, "AltSetting", REG_DWORD, Dword(2)},
        {true, "Allow720", REG_DWORD, Dword(0)},
        {true, "ShutterSpeed", REG_DWORD, Dword(1234)}},
       2, 0, 2, 1234},
      {"progressive head takes no interleave", 0x10, {{true, "Interleave", REG_DWORD, Dword(1)}}, 0, 1, 0, 1600000},
      {"interleave above 2 is missing",
       0x15,
       {{false, "Interleave", REG_DWORD, Dword(1)}, {true, "Interleave", REG_DWORD, Dword(7)}},
       0, 1, 1, 1600000},
      {"alternate setting above 255 is missing", 0x10, {{true, "AltSetting", REG_DWORD, Dword(0x101)}}, 0, 1, 0, 1600000},
      {"wrong types are missing",
       0x10,
       {{false, "AltSetting", REG_SZ, Bytes({'1', 0, 0, 0})},
        {true, "ShutterSpeed", REG_BINARY, Dword(5)},
        {true, "Allow720", REG_QWORD, Bytes({0, 0, 0, 0, 0, 0, 0, 0})}},
       0, 1, 0, 1600000},
      {"a REG_DWORD of another length is missing",
       0x10,
       {{true, "ShutterSpeed", REG_DWORD, std::vector<uint8_t>(64, 0x41)}, {true, "AltSetting", REG_DWORD, Bytes({3})}},
       0, 1, 0, 1600000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Camera camera;
    camera.Apply(c.seeds);
    CCameraDevice* d = camera.device();
    d->ModelFlags = c.flags;
    EXPECT_EQ(d->ReadConfiguration(), STATUS_SUCCESS);
    EXPECT_EQ(d->AltSetting, c.alt);
    EXPECT_EQ(d->Allow720, c.allow720);
    EXPECT_EQ(d->Interleave, c.interleave);
    EXPECT_EQ(d->ShutterSpeed, c.shutter);
    EXPECT_EQ(d->GenericConfig.Resolutions, nullptr);
  }
}

// Without a device key nothing of the service key reaches the device, but a
// progressive head still never takes an interleave mode.
TEST(Registry, UnopenableDeviceKeyKeepsSettingsButNotInterleaveOfProgressiveHead) {
  for (const ULONG flags : {0x10u, 0x15u}) {
    host::reg::SetDword(kService, "AltSetting", 1);
    PDRIVER_OBJECT driver = host::io::CreateDriverObject("ovrausb");
    PDEVICE_OBJECT nameless = host::io::CreateDevice(driver, 0, 1, "");
    KSDEVICE ks{};
    ks.PhysicalDeviceObject = nameless;
    ovratest::RecordingDevice device(&ks);
    device.ModelFlags = flags;
    EXPECT_FALSE(NT_SUCCESS(device.ReadConfiguration()));
    EXPECT_EQ(device.AltSetting, 0u);
    EXPECT_EQ(device.Interleave, flags & 1 ? 2u : 0u);
    host::io::DeleteDevice(nameless);
    host::io::DeleteDriverObject(driver);
  }
}

void SeedResolution(int index, const std::vector<std::pair<const char*, std::vector<uint8_t>>>& values,
                    ULONG type = REG_BINARY) {
  const std::string key = kService + "\\Resolution" + std::to_string(index);
  host::reg::CreateKey(key);
  for (const auto& [name, data] : values)
    host::reg::Set(key, name, name[0] == 'X' || name[0] == 'Y' ? REG_DWORD : type, data);
}

std::vector<LONG> List(const GenericHeadConfig& c) {
  if (c.Resolutions == nullptr) return {};
  return std::vector<LONG>(c.Resolutions, c.Resolutions + 1 + 2 * c.Resolutions[0]);
}

struct Record {
  LONG resolution, number, offset, count;
  bool operator==(const Record& o) const {
    return resolution == o.resolution && number == o.number && offset == o.offset && count == o.count;
  }
};
std::vector<Record> Records(const GenericHeadConfig& c) {
  std::vector<Record> out;
  for (LONG i = 0; i < c.SequenceCount; ++i) {
    const I2cSequenceRecord& r = c.Sequences[i];
    out.push_back({r.ResolutionIndex, r.SequenceNumber, LONG(r.Bytes - c.SequenceBuffer), r.Count});
  }
  return out;
}

TEST(Registry, GenericResolutionsAndSequencesWithTheirLog) {
  host::reg::SetDword(kService, "Resolutions", 2);
  host::reg::SetDword(kService, "Camera", 0x1BA);
  host::reg::SetDword(kService, "RegisterWidth", 0x10010);
  SeedResolution(0, {{"X", Dword(640)}, {"Y", Dword(480)}, {"0", {1, 2, 3, 4}}, {"1", {5, 6, 7}}, {"Frame", {9}}});
  SeedResolution(1, {{"X2", Dword(320)}, {"Y", Dword(240)}, {"0", {8, 9}}});
  Camera camera(false);
  host::dbg::Clear();
  camera.device()->ReadConfiguration();
  const GenericHeadConfig& c = camera.device()->GenericConfig;
  EXPECT_EQ(List(c), (std::vector<LONG>{2, 640, 480, 320, 240}));
  EXPECT_EQ(Records(c), (std::vector<Record>{{0, 0, 0, 4}, {0, 1, 4, 3}, {1, 0, 7, 2}}));
  EXPECT_EQ(std::vector<uint8_t>(c.SequenceBuffer, c.SequenceBuffer + c.SequenceBytes),
            (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9}));
  EXPECT_EQ(c.Camera, 0xBA);
  EXPECT_EQ(c.RegisterWidth, 0x10);
  EXPECT_EQ(c.DataWidth, 16);
  std::string log;
  for (const auto& e : host::dbg::Entries())
    if (e.level == 0) log += e.text;
  EXPECT_EQ(log,
            "GenericHelper read 2 resolutions\n"
            "    640x 480\n"
            "      I2CSequence #0 starts at 0 for  4 bytes\n"
            "      I2CSequence #1 starts at 4 for  3 bytes\n"
            "    320x 240\n"
            "      I2CSequence #2 starts at 7 for  2 bytes\n");
}

TEST(Registry, SequenceNamesAndDataAreTakenAsStored) {
  host::reg::SetDword(kService, "Resolutions", 1);
  const std::vector<uint8_t> expand = {'%', 0, 'W', 0, 'I', 0, 'N', 0, 'D', 0, 'I', 0, 'R', 0, '%', 0, 0, 0};
  const std::vector<uint8_t> multi = {'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0};
  const std::string key = kService + "\\Resolution0";
  host::reg::CreateKey(key);
  host::reg::Set(key, " -3", REG_EXPAND_SZ, expand);
  host::reg::Set(key, "12abc", REG_MULTI_SZ, multi);
  host::reg::Set(key, "+7", REG_BINARY, {1});
  host::reg::Set(key, "x", REG_BINARY, {2});  // lower case: a sequence without digits
  host::reg::Set(key, "Y", REG_BINARY, {0xE0, 0x01});  // too short for a height
  Camera camera(false);
  camera.device()->ReadConfiguration();
  const GenericHeadConfig& c = camera.device()->GenericConfig;
  EXPECT_EQ(List(c), (std::vector<LONG>{1, 0, 0}));
  ASSERT_EQ(c.SequenceCount, 4);
  const LONG numbers[] = {-3, 12, 7, 0};
  const std::vector<uint8_t>* data[] = {&expand, &multi};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(c.Sequences[i].SequenceNumber, numbers[i]);
  for (int i = 0; i < 2; ++i)
    EXPECT_EQ(std::vector<uint8_t>(c.Sequences[i].Bytes, c.Sequences[i].Bytes + c.Sequences[i].Count), *data[i]);
}

// "Resolutions" is capped; a restart frees the tables of the first start.
TEST(Registry, ResolutionCountIsCappedAndRestartStartsAfresh) {
  host::reg::SetDword(kService, "Resolutions", 0xFFFFFFFF);
  SeedResolution(0, {{"X", Dword(800)}, {"Y", Dword(600)}, {"0", {1}}});
  Camera camera(false);
  CCameraDevice* d = camera.device();
  d->ReadConfiguration();
  ASSERT_NE(d->GenericConfig.Resolutions, nullptr);
  EXPECT_EQ(d->GenericConfig.Resolutions[0], 64);
  EXPECT_EQ(d->GenericConfig.Resolutions[1], 800);
  EXPECT_EQ(d->GenericConfig.SequenceCount, 1);
  d->ReadConfiguration();  // the same again: the old tables go
  EXPECT_EQ(d->GenericConfig.SequenceCount, 1);
  host::reg::SetDword(kService, "Resolutions", 0);
  d->ReadConfiguration();
  EXPECT_EQ(d->GenericConfig.Resolutions, nullptr);
  EXPECT_EQ(d->GenericConfig.Sequences, nullptr);
  EXPECT_EQ(d->GenericConfig.SequenceCount, 0);
}

// A value that appears or grows between the counting and the filling pass
// never writes past the tables the counting pass sized.
TEST(Registry, FillingPassStaysInsideWhatWasCounted) {
  Camera camera;
  GenericHeadConfig& c = camera.device()->GenericConfig;
  ASSERT_EQ(c.Initialize(camera.device(), 1), STATUS_SUCCESS);
  c.CountingPass = 1;
  WCHAR zero[] = u"0", one[] = u"1";
  uint8_t small[3] = {1, 2, 3}, big[40] = {};
  GenericHeadConfig::QueryRoutine(zero, REG_BINARY, small, sizeof small, &c, nullptr);
  ASSERT_EQ(c.AllocateSequences(), STATUS_SUCCESS);
  GenericHeadConfig::QueryRoutine(zero, REG_BINARY, big, sizeof big, &c, nullptr);   // grown
  GenericHeadConfig::QueryRoutine(zero, REG_BINARY, small, 2, &c, nullptr);          // shrunk: fits
  GenericHeadConfig::QueryRoutine(one, REG_BINARY, small, 1, &c, nullptr);           // added: no record left
  EXPECT_EQ(c.SequenceCount, 1);
  EXPECT_EQ(c.FillOffset, 2);
}

// Every allocation of ReadConfiguration failing in turn: no leak, no crash,
// and the device keeps a usable (possibly fallback) configuration.
TEST(Registry, EveryAllocationSiteMayFail) {
  host::reg::SetDword(kService, "Resolutions", 2);
  SeedResolution(0, {{"X", Dword(640)}, {"Y", Dword(480)}, {"0", {1, 2}}});
  std::vector<uintptr_t> sites;
  {
    Camera camera(false);
    const auto before = host::pool::SitesSeen().size();
    camera.device()->ReadConfiguration();
    const auto all = host::pool::SitesSeen();
    sites.assign(all.begin() + before, all.end());
  }
  ASSERT_GE(sites.size(), 3u);
  for (uintptr_t site : sites) {
    Camera camera(false);
    host::pool::FailSite(site);
    camera.device()->ReadConfiguration();
    host::pool::ClearFaults();
    const LONG* list = camera.device()->GetResolutions();
    EXPECT_GT(list[0], 0);
  }
}

}  // namespace
