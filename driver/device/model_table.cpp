// The model table, its lookup and the resolution list of each model.
#include "model_table.h"

const ModelTableEntry kModelTable[] = {
    {0x0FBC8117, 0, 0x37},
    {0x2E4C0014, 4, 0x19},
    {0x2E4C0015, 4, 0x15},
    {0x2E4C0042, 0, 0x17},
    {0x2E4C0043, 0, 0x1B},
    {0x2E4C0044, 0, 0x5B},
    {0x2E4C0052, 5, 0x05},
    {0x2E4C0053, 5, 0x09},
    {0x2E4C0054, 5, 0x09},
    {0x2E4C0055, 5, 0x05},
    {0x2E4C0060, 1, 0x50},
    {0x2E4C0061, 1, 0x50},
    {0x2E4C0064, 2, 0x10},
    {0x2E4C0065, 2, 0x10},
    {0x2E4C0066, 2, 0x50},
    {0x2E4C0067, 2, 0x10},
    {0x2E4C0101, 7, 0x10},
    {0x2E4C0142, 3, 0x15},
    {0x2E4C0143, 3, 0x19},
    {0x2E4C0452, 6, 0x14},
    {0x2E4C0453, 6, 0x18},
    {0x2E4C1442, 6, 0x15},
    {0x2E4C1443, 6, 0x19},
    {0x2E4C1452, 6, 0x15},
    {0x2E4C1453, 6, 0x19},
    {0x2E4C1454, 6, 0x19},
    {0x2E4C1455, 6, 0x15},
    {0x2E4C5332, 8, 0x05},
    {0x2E4C6261, 8, 0x09},
    {0, 0, 0},
};

namespace {

// Keys that pick a list of their own within their model type.
constexpr ULONG kKeyBirch2Mp = 0x2E4C0067;
constexpr ULONG kKeyMapleD1 = 0x2E4C0054;

const LONG kNtscList[] = {3, 720, 480, 640, 480, 512, 480};
const LONG kPalList[] = {3, 720, 576, 640, 576, 512, 576};
const LONG kAlderList[] = {7, 1280, 1024, 1280, 960, 1024, 768, 800, 600, 640, 512, 640, 480, 320, 240};
const LONG kBirchList[] = {5, 1280, 1024, 1024, 768, 800, 600, 640, 480, 320, 240};
const LONG kBirch2MpList[] = {4, 1600, 1200, 1280, 1024, 1280, 720, 800, 600};
const LONG kCedarList[] = {4, 704, 480, 704, 576, 640, 480, 640, 576};
const LONG kVgaList[] = {1, 640, 480};
const LONG kVga576List[] = {1, 640, 576};
const LONG kD1576List[] = {1, 704, 576};
const LONG kRowanInterlacedList[] = {2, 640, 480, 640, 576};
const LONG kOv7740List[] = {3, 640, 480, 352, 288, 320, 240};

}  // namespace

const ModelTableEntry* FindModel(ULONG vidPid) {
  for (const ModelTableEntry* row = kModelTable; row->Key != 0; ++row) {
    if (row->Key == vidPid) return row;
  }
  return nullptr;
}

void IdentifyModel(CCameraDevice* device) {
  device->ModelType = kModelUnknown;
  const ModelTableEntry* row = FindModel(device->VidPid);
  if (row != nullptr) {
    device->ModelType = row->Type;
    device->ModelFlags = row->Flags;
  }
  if (device->ModelType == kModelUnknown) OVRA_LOG(kLogError, "VID/PID %08x not found!\n", device->VidPid);
}

ULONG LineFrequencyFromFlags(ULONG modelFlags) {
  if (modelFlags & kModel60Hz) return 60;
  if (modelFlags & kModel50Hz) return 50;
  return 0;
}

const LONG* CCameraDevice::GetResolutions() {
  switch (ModelType) {
    case 0:
    case 4:
      return LineFrequency == 60 ? kNtscList : kPalList;
    case 1:
      return kAlderList;
    case 2:
      return VidPid == kKeyBirch2Mp ? kBirch2MpList : kBirchList;
    case 3:
      return kCedarList;
    case 5:
      if (VidPid == kKeyMapleD1) return kD1576List;
      return LineFrequency == 60 ? kVgaList : kVga576List;
    case 6:
      return (ModelFlags & kModelInterlaced) ? kRowanInterlacedList : kVgaList;
    case 7:
      return kOv7740List;
    default:
      // The Generic list from the registry; an empty or malformed one would
      // leave the pins without a single range, so it counts as absent.
      if (GenericConfig.Resolutions != nullptr && ResolutionCount(GenericConfig.Resolutions) > 0)
        return GenericConfig.Resolutions;
      return kNtscList;
  }
}
