// Camera profiles: one per model of the family, found by VID/PID or name.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include <emu/bridge.h>
#include <emu/profiles.h>

namespace {

// VID << 16 | PID, head kind and feature bits of every model, in table order.
struct Row {
  uint32_t key;
  uint8_t type;
  uint32_t flags;
};
constexpr Row kModels[] = {
    {0x0FBC8117, 0, 0x37}, {0x2E4C0014, 4, 0x19}, {0x2E4C0015, 4, 0x15}, {0x2E4C0042, 0, 0x17},
    {0x2E4C0043, 0, 0x1B}, {0x2E4C0044, 0, 0x5B}, {0x2E4C0052, 5, 0x05}, {0x2E4C0053, 5, 0x09},
    {0x2E4C0054, 5, 0x09}, {0x2E4C0055, 5, 0x05}, {0x2E4C0060, 1, 0x50}, {0x2E4C0061, 1, 0x50},
    {0x2E4C0064, 2, 0x10}, {0x2E4C0065, 2, 0x10}, {0x2E4C0066, 2, 0x50}, {0x2E4C0067, 2, 0x10},
    {0x2E4C0101, 7, 0x10}, {0x2E4C0142, 3, 0x15}, {0x2E4C0143, 3, 0x19}, {0x2E4C0452, 6, 0x14},
    {0x2E4C0453, 6, 0x18}, {0x2E4C1442, 6, 0x15}, {0x2E4C1443, 6, 0x19}, {0x2E4C1452, 6, 0x15},
    {0x2E4C1453, 6, 0x19}, {0x2E4C1454, 6, 0x19}, {0x2E4C1455, 6, 0x15}, {0x2E4C5332, 8, 0x05},
    {0x2E4C6261, 8, 0x09},
};

TEST(Profiles, OnePerModelInTableOrder) {
  const auto& profiles = emu::Profiles();
  ASSERT_EQ(profiles.size(), std::size(kModels));
  std::set<std::string> names;
  for (size_t i = 0; i < profiles.size(); ++i) {
    const emu::Profile& p = profiles[i];
    SCOPED_TRACE(p.name);
    EXPECT_EQ(p.VidPid(), kModels[i].key);
    EXPECT_EQ(p.modelType, kModels[i].type);
    EXPECT_EQ(p.modelFlags, kModels[i].flags);
    EXPECT_EQ(std::string(p.name).rfind(emu::HeadName(p.modelType), 0), 0u) << "named after its head";
    EXPECT_TRUE(names.insert(p.name).second) << "names are unique";
    EXPECT_EQ(emu::FindProfile(p.vid, p.pid), &p);
    EXPECT_EQ(emu::FindProfile(std::string_view(p.name)), &p);
    const std::vector<uint8_t> d = emu::BuildDeviceDescriptor(p);
    ASSERT_EQ(d.size(), 18u);
    EXPECT_EQ(d[8] | d[9] << 8, p.vid);
    EXPECT_EQ(d[10] | d[11] << 8, p.pid);
  }
}

TEST(Profiles, Lookup) {
  struct Case {
    const char* text;
    uint32_t key;  // 0: not found
  };
  const Case cases[] = {
      {"larch-0014", 0x2E4C0014}, {"2e4c:0014", 0x2E4C0014}, {"2E4C:0067", 0x2E4C0067},
      {"0fbc:8117", 0x0FBC8117},  {"ccd-8117", 0x0FBC8117},  {"2e4c:9999", 0},
      {"larch", 0},               {"2e4c:00140", 0},         {"", 0},
  };
  for (const Case& c : cases) {
    const emu::Profile* p = emu::FindProfile(std::string_view(c.text));
    EXPECT_EQ(p == nullptr ? 0u : p->VidPid(), c.key) << c.text;
  }
  EXPECT_EQ(emu::FindProfile(0x2E4C, 0x9999), nullptr);
  EXPECT_STREQ(emu::HeadName(9), "");
}

}  // namespace
