#include "models.h"

#include <emu/profiles.h>

#include "args.h"
#include "driver/device/model_table.h"

namespace ovra {
namespace {

// A device object built only to ask the driver for a model's resolution list,
// with the line frequency the model's flags give (no registry override).
class ModelProbe final : public CCameraDevice {
 public:
  explicit ModelProbe(const ModelTableEntry& row) : CCameraDevice(nullptr) {
    VidPid = row.Key;
    ModelType = row.Type;
    ModelFlags = row.Flags;
    LineFrequency = LineFrequencyFromFlags(row.Flags);
  }
  ~ModelProbe() = default;
  void HandleVideoData(PUCHAR, ULONG) override {}
};

constexpr uint32_t kAlderType = 1;

}  // namespace

std::vector<ModelInfo> Models() {
  std::vector<ModelInfo> models;
  for (const ModelTableEntry* row = kModelTable; row->Key != 0; ++row) {
    ModelInfo info;
    info.vidPid = row->Key;
    info.type = row->Type;
    info.flags = row->Flags;
    info.head = emu::HeadName(uint8_t(row->Type));
    ModelProbe probe(*row);
    const LONG* list = probe.GetResolutions();
    for (ULONG i = 0; i < ResolutionCount(list); ++i)
      info.resolutions.emplace_back(uint32_t(ResolutionWidth(list, i)), uint32_t(ResolutionHeight(list, i)));
    models.push_back(std::move(info));
  }
  return models;
}

const ModelInfo* FindModelInfo(uint32_t vidPid) {
  static const std::vector<ModelInfo> models = Models();
  for (const ModelInfo& m : models)
    if (m.vidPid == vidPid) return &m;
  return nullptr;
}

uint32_t DefaultCamera() {
  for (const ModelTableEntry* row = kModelTable; row->Key != 0; ++row)
    if (row->Type == kAlderType) return row->Key;
  return kModelTable[0].Key;
}

}  // namespace ovra

namespace ovra {

uint32_t ParseCamera(const std::string& text) {
  if (text.find(':') != std::string::npos) return ParseVidPid(text);
  const emu::Profile* profile = emu::FindProfile(text);
  if (profile == nullptr) throw UsageError("unknown camera '" + text + "' (want VID:PID or a name from --list)");
  return profile->VidPid();
}

std::string ModelName(uint32_t vidPid) {
  const emu::Profile* profile = emu::FindProfile(uint16_t(vidPid >> 16), uint16_t(vidPid));
  return profile != nullptr ? profile->name : "";
}

}  // namespace ovra
