#include "emu/profiles.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace emu {
namespace {

struct Row {
  uint32_t key;
  uint8_t type;
  uint32_t flags;
};

// VID << 16 | PID, head kind, feature bits.
constexpr Row kRows[] = {
    {0x0FBC8117, 0, 0x37}, {0x2E4C0014, 4, 0x19}, {0x2E4C0015, 4, 0x15}, {0x2E4C0042, 0, 0x17},
    {0x2E4C0043, 0, 0x1B}, {0x2E4C0044, 0, 0x5B}, {0x2E4C0052, 5, 0x05}, {0x2E4C0053, 5, 0x09},
    {0x2E4C0054, 5, 0x09}, {0x2E4C0055, 5, 0x05}, {0x2E4C0060, 1, 0x50}, {0x2E4C0061, 1, 0x50},
    {0x2E4C0064, 2, 0x10}, {0x2E4C0065, 2, 0x10}, {0x2E4C0066, 2, 0x50}, {0x2E4C0067, 2, 0x10},
    {0x2E4C0101, 7, 0x10}, {0x2E4C0142, 3, 0x15}, {0x2E4C0143, 3, 0x19}, {0x2E4C0452, 6, 0x14},
    {0x2E4C0453, 6, 0x18}, {0x2E4C1442, 6, 0x15}, {0x2E4C1443, 6, 0x19}, {0x2E4C1452, 6, 0x15},
    {0x2E4C1453, 6, 0x19}, {0x2E4C1454, 6, 0x19}, {0x2E4C1455, 6, 0x15}, {0x2E4C5332, 8, 0x05},
    {0x2E4C6261, 8, 0x09},
};

constexpr const char* kHeads[] = {"ccd", "alder", "birch", "cedar", "larch", "maple", "rowan", "ov7740", "generic"};

std::vector<Profile> Build() {
  // The names live as long as the process (the vector below is never freed).
  static std::vector<std::string> names;
  names.reserve(std::size(kRows));
  std::vector<Profile> out;
  for (const Row& row : kRows) {
    char name[32];
    snprintf(name, sizeof name, "%s-%04x", kHeads[row.type], unsigned(row.key & 0xFFFF));
    names.emplace_back(name);
    Profile p;
    p.vid = uint16_t(row.key >> 16);
    p.pid = uint16_t(row.key & 0xFFFF);
    p.modelType = row.type;
    p.modelFlags = row.flags;
    p.name = names.back().c_str();
    out.push_back(p);
  }
  return out;
}

}  // namespace

const std::vector<Profile>& Profiles() {
  static const std::vector<Profile>* profiles = new std::vector<Profile>(Build());
  return *profiles;
}

const Profile* FindProfile(uint16_t vid, uint16_t pid) {
  for (const Profile& p : Profiles())
    if (p.vid == vid && p.pid == pid) return &p;
  return nullptr;
}

const Profile* FindProfile(std::string_view text) {
  for (const Profile& p : Profiles())
    if (text == p.name) return &p;
  unsigned vid = 0, pid = 0;
  char tail = 0;
  const std::string s(text);
  if (s.size() == 9 && sscanf(s.c_str(), "%4x:%4x%c", &vid, &pid, &tail) == 2) return FindProfile(uint16_t(vid), uint16_t(pid));
  return nullptr;
}

const char* HeadName(uint8_t modelType) { return modelType < std::size(kHeads) ? kHeads[modelType] : ""; }

}  // namespace emu
