// The camera-head factory: builds the head class of a model type in pool
// memory and keeps it only if it configured the USB device.
#include "heads.h"

namespace {

template <class Head>
CUSBHardware* Build(CCameraDevice* owner, PKSDEVICE device) {
  void* memory = AllocateZeroed(sizeof(Head));
  if (memory == nullptr) return nullptr;
  return new (memory, Placement::At) Head(owner, device);
}

}  // namespace

CUSBHardware* CUSBHardware::CreateHardware(CCameraDevice* owner, PKSDEVICE device, ULONG modelType) {
  PAGED_CODE();
  CUSBHardware* hw;
  switch (modelType) {
    case kModelCCD: hw = Build<CUSBHardwareCCD>(owner, device); break;
    case kModelAlder: hw = Build<CUSBHardwareAlder>(owner, device); break;
    case kModelBirch: hw = Build<CUSBHardwareBirch>(owner, device); break;
    case kModelCedar: hw = Build<CUSBHardwareCedar>(owner, device); break;
    case kModelLarch: hw = Build<CUSBHardwareLarch>(owner, device); break;
    case kModelMaple: hw = Build<CUSBHardwareMaple>(owner, device); break;
    case kModelRowan: hw = Build<CUSBHardwareRowan>(owner, device); break;
    case kModelOV7740: hw = Build<CUSBHardwareOV7740>(owner, device); break;
    case kModelGeneric: hw = Build<CUSBHardwareGeneric>(owner, device); break;
    default: return nullptr;
  }
  if (hw != nullptr && !hw->m_Configured) {
    // The head classes hold nothing beyond the base's resources.
    hw->~CUSBHardware();
    ExFreePool(hw);
    return nullptr;
  }
  return hw;
}
