// The camera models the driver knows, as its model table lists them, with
// the head each has and the resolutions its pins offer.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace ovra {

struct ModelInfo {
  uint32_t vidPid = 0;
  uint32_t type = 0;   // head kind 0..8
  uint32_t flags = 0;  // model flag bits
  std::string head;    // "alder", ...
  std::vector<std::pair<uint32_t, uint32_t>> resolutions;
  bool Monochrome() const { return (flags & 0x40) != 0; }
};

// Every row of the model table, in table order.
std::vector<ModelInfo> Models();
// The row of a VID/PID, or null.
const ModelInfo* FindModelInfo(uint32_t vidPid);
// The camera the tools use when none is named: the first Alder head.
uint32_t DefaultCamera();
// A camera by "VVVV:PPPP" or by model name ("alder-0060"); throws UsageError.
uint32_t ParseCamera(const std::string& text);
std::string ModelName(uint32_t vidPid);

}  // namespace ovra
