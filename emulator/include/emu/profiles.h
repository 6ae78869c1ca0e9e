// Camera profiles: one per model of the family, by USB vendor and product ID.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace emu {

struct Profile {
  uint16_t vid = 0;
  uint16_t pid = 0;
  uint8_t modelType = 0;    // head kind 0..8
  uint32_t modelFlags = 0;  // feature bits of the model
  const char* name = "";    // short unique name, e.g. "larch-0014"
  uint32_t VidPid() const { return uint32_t(vid) << 16 | pid; }
};

// Every model of the family, in the order of the model table.
const std::vector<Profile>& Profiles();
// The profile of a VID/PID, or null.
const Profile* FindProfile(uint16_t vid, uint16_t pid);
// The profile of a short name or of "VVVV:PPPP" (hexadecimal), or null.
const Profile* FindProfile(std::string_view nameOrVidPid);
// Name of a head kind: "ccd", "alder", "birch", "cedar", "larch", "maple",
// "rowan", "ov7740", "generic"; "" outside 0..8.
const char* HeadName(uint8_t modelType);

}  // namespace emu
