// Model identification, line frequency and resolution lists, row by row, and
// the INF that installs the driver for the same VID/PIDs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <ostream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <host/api/host.h>

#include "driver/device/model_table.h"

namespace {

using Resolutions = std::vector<std::pair<LONG, LONG>>;

const Resolutions kNtsc = {{720, 480}, {640, 480}, {512, 480}};
const Resolutions kPal = {{720, 576}, {640, 576}, {512, 576}};
const Resolutions kAlder = {{1280, 1024}, {1280, 960}, {1024, 768}, {800, 600},
                            {640, 512},   {640, 480},  {320, 240}};
const Resolutions kBirch = {{1280, 1024}, {1024, 768}, {800, 600}, {640, 480}, {320, 240}};
const Resolutions kBirch2Mp = {{1600, 1200}, {1280, 1024}, {1280, 720}, {800, 600}};
const Resolutions kCedar = {{704, 480}, {704, 576}, {640, 480}, {640, 576}};
const Resolutions kVga = {{640, 480}};
const Resolutions kVga576 = {{640, 576}};
const Resolutions kD1576 = {{704, 576}};
const Resolutions kRowanInterlaced = {{640, 480}, {640, 576}};
const Resolutions kOv7740 = {{640, 480}, {352, 288}, {320, 240}};

// A device object as the device core builds it, without a frame router.
class TestDevice : public CCameraDevice {
 public:
  TestDevice() : CCameraDevice(nullptr) {}
  void HandleVideoData(PUCHAR, ULONG) override {}
};

Resolutions ToVector(const LONG* list) {
  Resolutions out;
  for (ULONG i = 0; i < ResolutionCount(list); ++i) out.emplace_back(ResolutionWidth(list, i), ResolutionHeight(list, i));
  return out;
}

// What a device started with this VID/PID ends up with: lookup, line
// frequency from the flags, then the resolution list.
struct Identified {
  ULONG type, flags, lineFrequency;
  Resolutions resolutions;
};
Identified Identify(ULONG vidPid, ULONG previousFlags = 0) {
  TestDevice device;
  device.VidPid = vidPid;
  device.ModelFlags = previousFlags;
  IdentifyModel(&device);
  device.LineFrequency = LineFrequencyFromFlags(device.ModelFlags);
  return {device.ModelType, device.ModelFlags, device.LineFrequency, ToVector(device.GetResolutions())};
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

std::string Hex(ULONG v) {
  char buf[16];
  snprintf(buf, sizeof buf, "%08x", v);
  return buf;
}

// Keeps the parameter's description in test listings short.
void PrintTo(const ModelCase& c, std::ostream* os) { *os << Hex(c.key); }

std::vector<ULONG> TableKeys() {
  std::vector<ULONG> keys;
  for (const ModelTableEntry* row = kModelTable; row->Key != 0; ++row) keys.push_back(row->Key);
  return keys;
}

// ---------------------------------------------------------------------------

class EveryModel : public ::testing::TestWithParam<ModelCase> {};

TEST_P(EveryModel, IdentifiesTypeFlagsFrequencyAndResolutions) {
  const ModelCase& c = GetParam();
  Identified id = Identify(c.key);
  EXPECT_EQ(id.type, c.type);
  EXPECT_EQ(id.flags, c.flags);
  EXPECT_EQ(id.lineFrequency, c.lineFrequency);
  EXPECT_EQ(id.resolutions, *c.resolutions);
  EXPECT_FALSE(host::dbg::Contains("not found", kLogError)) << "a known model logs a miss";
}

INSTANTIATE_TEST_SUITE_P(ModelTable, EveryModel, ::testing::ValuesIn(kModels),
                         [](const ::testing::TestParamInfo<ModelCase>& info) { return "Key" + Hex(info.param.key); });

TEST(ModelTable, HoldsExactlyTheKnownModelsEachOnce) {
  std::vector<ULONG> keys = TableKeys();
  std::vector<ULONG> expected;
  for (const ModelCase& c : kModels) expected.push_back(c.key);
  EXPECT_EQ(keys, expected);  // same rows, same order
  std::set<ULONG> unique(keys.begin(), keys.end());
  EXPECT_EQ(unique.size(), keys.size()) << "a repeated key makes its later row unreachable";
}

TEST(ModelTable, UnknownKeysLeaveTheModelUnknownKeepTheFlagsAndLogTheMiss) {
  for (ULONG key : {0x2E4C0000u, 0x2E4C9999u, 0x0FBC8118u, 0x8117u, 0x00000000u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(Hex(key));
    host::dbg::Clear();
    Identified id = Identify(key, /*previousFlags=*/0x15);
    EXPECT_EQ(id.type, kModelUnknown);
    EXPECT_EQ(id.flags, 0x15u);
    EXPECT_EQ(host::dbg::Count("VID/PID " + Hex(key) + " not found!\n", kLogError), 1u);
    EXPECT_EQ(id.resolutions, kNtsc);  // no head, no registry list: the NTSC fallback
  }
  EXPECT_EQ(FindModel(0), nullptr) << "the terminating row must never match";
}

TEST(ModelTable, LineFrequencyPrefers60HzWhenBothBitsAreSet) {
  const struct {
    ULONG flags, hz;
  } cases[] = {{0, 0}, {kModel60Hz, 60}, {kModel50Hz, 50}, {kModel60Hz | kModel50Hz, 60}, {0xFF & ~0x0Cu, 0}};
  for (const auto& c : cases) EXPECT_EQ(LineFrequencyFromFlags(c.flags), c.hz) << "flags " << c.flags;
}

// Lists that depend on the line frequency or the key within one model type.
TEST(Resolutions, FollowLineFrequencyAndKeyWithinAType) {
  const struct {
    ULONG type, vidPid, flags, lineFrequency;
    const Resolutions* expected;
  } cases[] = {
      {0, 0x0FBC8117, 0, 0, &kPal},  // neither frequency: the 50 Hz lists
      {4, 0x2E4C0014, 0, 60, &kNtsc},
      {5, 0x2E4C0052, 0, 0, &kVga576},
      {5, 0x2E4C0054, 0, 60, &kD1576},  // whatever the frequency
      {2, 0x2E4C0066, 0, 0, &kBirch},
      {6, 0x2E4C0452, kModelInterlaced, 0, &kRowanInterlaced},  // the flag decides, not the key
      {6, 0x2E4C1442, 0, 0, &kVga},
  };
  for (const auto& c : cases) {
    TestDevice device;
    device.ModelType = c.type;
    device.VidPid = c.vidPid;
    device.ModelFlags = c.flags;
    device.LineFrequency = c.lineFrequency;
    EXPECT_EQ(ToVector(device.GetResolutions()), *c.expected) << "type " << c.type << " key " << Hex(c.vidPid);
  }
}

TEST(Resolutions, GenericListFromTheRegistryWinsForGenericAndUnknownTypes) {
  LONG generic[] = {2, 800, 600, 320, 240};
  for (ULONG type : {8u, 9u, kModelUnknown}) {
    TestDevice device;
    device.ModelType = type;
    device.GenericConfig.Resolutions = generic;
    EXPECT_EQ(device.GetResolutions(), generic) << "type " << type;
    device.GenericConfig.Resolutions = nullptr;
    EXPECT_EQ(ToVector(device.GetResolutions()), kNtsc) << "type " << type;
  }
  TestDevice ccd;
  ccd.ModelType = 0;
  ccd.LineFrequency = 60;
  ccd.GenericConfig.Resolutions = generic;
  EXPECT_EQ(ToVector(ccd.GetResolutions()), kNtsc) << "a fixed model ignores the registry list";
}

TEST(Resolutions, AnEmptyOrNegativeGenericListFallsBackToNtsc) {
  for (LONG count : {0, -1, LONG(0x80000000)}) {
    LONG generic[] = {count, 640, 480};
    TestDevice device;
    device.ModelType = 8;
    device.GenericConfig.Resolutions = generic;
    EXPECT_EQ(ToVector(device.GetResolutions()), kNtsc) << "count " << count;
  }
}

// ---------------------------------------------------------------------------
// The INF next to the driver.

std::string InfPath() {
  std::string here = __FILE__;
  return here.substr(0, here.rfind("/tests/")) + "/windows/ovrausb.inf";
}

std::string Upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::toupper(c)); });
  return s;
}

// Hardware IDs of the lines of the [Models.NTamd64] section, in order.
std::vector<ULONG> InfModelKeys(std::string* installSections) {
  std::ifstream in(InfPath());
  EXPECT_TRUE(in.good()) << InfPath();
  std::vector<ULONG> keys;
  std::string line, section;
  const std::regex id(R"(USB\\VID_([0-9A-F]{4})&PID_([0-9A-F]{4})\s*$)");
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    line = line.substr(0, line.find(';'));
    if (line.empty()) continue;
    if (line[0] == '[') {
      section = Upper(line);
      continue;
    }
    if (section != "[MODELS.NTAMD64]") continue;
    std::smatch m;
    std::string upper = Upper(line);
    EXPECT_TRUE(std::regex_search(upper, m, id)) << "not a model line: " << line;
    if (m.empty()) continue;
    keys.push_back(ULONG(std::stoul(m[1].str(), nullptr, 16) << 16 | std::stoul(m[2].str(), nullptr, 16)));
    *installSections += upper.substr(upper.find('=') + 1, upper.find(',') - upper.find('=') - 1) + " ";
  }
  return keys;
}

TEST(Inf, InstallsForExactlyTheModelTablesVidPids) {
  std::string installSections;
  std::vector<ULONG> infKeys = InfModelKeys(&installSections);
  std::vector<ULONG> tableKeys = TableKeys();
  std::multiset<ULONG> inf(infKeys.begin(), infKeys.end());
  std::multiset<ULONG> table(tableKeys.begin(), tableKeys.end());
  for (ULONG k : table)
    if (inf.count(k) != 1) ADD_FAILURE() << "model " << Hex(k) << " listed " << inf.count(k) << " times in the INF";
  for (ULONG k : inf)
    if (table.count(k) == 0) ADD_FAILURE() << "INF lists " << Hex(k) << ", which the model table does not know";
  std::istringstream sections(installSections);
  for (std::string s; sections >> s;) EXPECT_EQ(s, "CAMERA.INSTALL");
}

}  // namespace
