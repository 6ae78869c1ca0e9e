// Camera operations behind the vendor property and method sets: raw head
// registers with the per-device register cache, the settings that change
// while the camera runs, head power on behalf of applications, OSD commands,
// firmware download into the bridge and the bridge's EEPROM.
//
// Every operation that reaches the camera refuses with STATUS_DEVICE_NOT_READY
// while there is no head object (a start that failed).
#include "camera_device.h"

#include "../heads/heads.h"

namespace {

// The bridge answers the mirrored register space at this I2C address.
constexpr UCHAR kMirrorAddress = 0xA0;
// Registers of the Alder head that are not rewritten after acquisition.
constexpr USHORT kAlderNoRestore1 = 11;
constexpr USHORT kAlderNoRestore2 = 13;
// Registers that decide the line frequency of the Cedar and Rowan heads.
constexpr USHORT kCedarFrequencyRegister = 0x71;
constexpr USHORT kRowanFrequencyRegister = 0xA0;
constexpr ULONG kCachedRegisters = 256;
// The bridge's RAM and EEPROM are 16-bit address spaces.
constexpr SIZE_T kBridgeSpace = 0x10000;
constexpr ULONG kMinFirmwareBytes = 8;

bool TestBit(const ULONG* mask, USHORT reg) { return (mask[reg >> 5] >> (reg & 31)) & 1; }
void SetBit(ULONG* mask, USHORT reg) {
  InterlockedOr(reinterpret_cast<LONG volatile*>(&mask[reg >> 5]), LONG(1u << (reg & 31)));
}

}  // namespace

// ---------------------------------------------------------------------------
// Raw registers.

NTSTATUS CCameraDevice::GetI2CData(I2cRequestRecord* request) {
  PAGED_CODE();
  OVRA_LOG(kLogTrace, "CCameraDevice::GetI2CData\n");
  if ((ModelFlags & kModelRawI2c) == 0) return STATUS_ILLEGAL_FUNCTION;
  if (Hardware == nullptr) return STATUS_DEVICE_NOT_READY;
  const USHORT reg = request->Register;
  // Registers past the cache's 256 entries are read from the head every time.
  if ((ModelFlags & kModelMirroredRegisters) && request->Device == 0 && reg < kCachedRegisters) {
    if (!TestBit(CacheValid, reg)) {
      OVRA_LOG(kLogTrace, "Reading %02x for first time\n", reg);
      RegisterCache[reg] = Hardware->GetI2CData(kMirrorAddress, reg);
      SetBit(CacheValid, reg);
    }
    request->Value = RegisterCache[reg];
  } else {
    request->Value = Hardware->GetI2CData(request->Device, reg);
  }
  return STATUS_SUCCESS;
}

NTSTATUS CCameraDevice::SetI2CData(const I2cRequestRecord* request) {
  PAGED_CODE();
  OVRA_LOG(kLogTrace, "CCameraDevice::SetI2CData\n");
  if ((ModelFlags & kModelRawI2c) == 0) return STATUS_ILLEGAL_FUNCTION;
  if (Hardware == nullptr) return STATUS_DEVICE_NOT_READY;
  const UCHAR device = request->Device;
  const USHORT reg = request->Register, value = request->Value;

  // An unpowered head is powered for this one write.
  const bool powered = Hardware->m_PowerCount <= 0;
  if (powered) Hardware->SetCameraPower(TRUE);
  Hardware->SetI2CData(device, reg, value);

  if (device == 0) {
    // Registers past the cache's 256 entries reach the head but are neither
    // cached nor marked.
    const bool cached = reg < kCachedRegisters;
    if (cached) RegisterCache[reg] = value;
    switch (ModelType) {
      case kModelCCD:
        Hardware->SetI2CData(kMirrorAddress, reg, value);
        break;
      case kModelAlder:
        if (reg != kAlderNoRestore1 && reg != kAlderNoRestore2) {
          if (cached) SetBit(RestoreMask, reg);
          WriteConfiguration();
        }
        break;
      case kModelCedar:
        if (reg == kCedarFrequencyRegister) {
          LineFrequency = value != 0 ? 50 : 60;
          WriteConfiguration();
        }
        break;
      case kModelRowan:
        if (reg == kRowanFrequencyRegister) {
          LineFrequency = value != 0 ? 50 : 60;
          WriteConfiguration();
        }
        break;
      default:
        break;
    }
    if (cached) SetBit(CacheValid, reg);
  }

  if (powered) Hardware->SetCameraPower(FALSE);
  return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// Settings.

NTSTATUS CCameraDevice::GetAltSetting(PULONG value) {
  PAGED_CODE();
  *value = AltSetting;
  OVRA_LOG(kLogTrace, "CCameraDevice::GetAltSetting returning %d\n", AltSetting);
  return STATUS_SUCCESS;
}

NTSTATUS CCameraDevice::SetAltSetting(LONG value) {
  PAGED_CODE();
  OVRA_LOG(kLogTrace, "CCameraDevice::SetAltSetting got %d\n", value);
  // USB alternate settings are 8-bit numbers; anything else is refused
  // before it reaches the field or the registry.
  if (value < 0 || value > 255) return STATUS_INVALID_PARAMETER;
  AltSetting = ULONG(value);
  HANDLE key = nullptr;
  const NTSTATUS status =
      IoOpenDeviceRegistryKey(KsDevice->PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE, KEY_WRITE, &key);
  if (!NT_SUCCESS(status)) return status;
  WriteRegistryValue(key, OVRA_WIDE("AltSetting"), AltSetting);
  ZwClose(key);
  return STATUS_SUCCESS;
}

NTSTATUS CCameraDevice::GetExposure(PULONG value) {
  PAGED_CODE();
  if (ModelType != kModelAlder) return STATUS_UNSUCCESSFUL;
  *value = ShutterSpeed;
  return STATUS_SUCCESS;
}

NTSTATUS CCameraDevice::SetExposure(ULONG value) {
  PAGED_CODE();
  if (ModelType != kModelAlder) return STATUS_UNSUCCESSFUL;
  if (Hardware == nullptr) return STATUS_DEVICE_NOT_READY;
  ShutterSpeed = value;
  Hardware->SetupTiming(value);
  return STATUS_SUCCESS;
}

NTSTATUS CCameraDevice::GetInterleave(PULONG value) {
  PAGED_CODE();
  *value = Interleave;
  return STATUS_SUCCESS;
}

NTSTATUS CCameraDevice::GetProductId(PULONG value) {
  PAGED_CODE();
  *value = VidPid & 0xFFFF;
  return STATUS_SUCCESS;
}

NTSTATUS CCameraDevice::GetStatusBit(PULONG value) {
  PAGED_CODE();
  if (Hardware == nullptr) return STATUS_DEVICE_NOT_READY;
  *value = Hardware->GetStatusBit();
  return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// Power and OSD.

NTSTATUS CCameraDevice::SetCameraPower(UCHAR on) {
  PAGED_CODE();
  OVRA_LOG(kLogTrace, "CCameraDevice::SetCameraPower(%d)\n", on);
  if (Hardware == nullptr) return STATUS_DEVICE_NOT_READY;
  if (on) {
    InterlockedIncrement(&AppPowerCount);
    Hardware->SetCameraPower(TRUE);
    return STATUS_SUCCESS;
  }
  // An off only takes back an application's own power-on: the power a
  // streaming pin holds is not the application's to take.
  for (LONG count = AppPowerCount; count > 0; count = AppPowerCount) {
    if (InterlockedCompareExchange(&AppPowerCount, count - 1, count) == count) {
      Hardware->SetCameraPower(FALSE);
      return STATUS_SUCCESS;
    }
  }
  OVRA_LOG(kLogWarning, "CCameraDevice::SetCameraPower: no power-on of an application to take back\n");
  return STATUS_SUCCESS;
}

NTSTATUS CCameraDevice::SendOSDCommand(LONG command) {
  PAGED_CODE();
  OVRA_LOG(kLogTrace, "CCameraDevice::SendOSDCommand(%d)\n", command);
  if (ModelType != kModelMaple) return STATUS_UNSUCCESSFUL;
  if (Hardware == nullptr) return STATUS_DEVICE_NOT_READY;
  Hardware->SendOSDCommand(UCHAR(command & 0xFF));
  return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// The bridge: firmware and EEPROM.

NTSTATUS CCameraDevice::HoldBridgeReset(UCHAR hold) {
  PAGED_CODE();
  UCHAR cpucs = hold;
  return Hardware->SubmitVendorRequest(&cpucs, 1, FALSE, kVrFirmwareLoad, 0, kFx2CpuControlAddress);
}

NTSTATUS CCameraDevice::LoadFirmware(const UCHAR* image, SIZE_T length) {
  PAGED_CODE();
  OVRA_LOG(kLogTrace, "CCameraDevice::LoadFirmware(%p,%d)\n", image, ULONG(length));
  if (length < kMinFirmwareBytes || image == nullptr) return STATUS_INVALID_PARAMETER;
  // Chunk addresses are 16 bits: a larger image would wrap onto its own start.
  if (length > kBridgeSpace) return STATUS_INVALID_BUFFER_SIZE;
  if (Hardware == nullptr) return STATUS_DEVICE_NOT_READY;

  // No pin may acquire the camera while its bridge is rewritten.
  KeWaitForSingleObject(&PinLock, Executive, KernelMode, FALSE, nullptr);
  if (OwnerFilter != nullptr) {
    KeReleaseMutex(&PinLock, FALSE);
    return STATUS_DEVICE_BUSY;
  }

  NTSTATUS result = HoldBridgeReset(1);
  for (SIZE_T offset = 0; NT_SUCCESS(result) && offset < length; offset += kVendorChunkBytes) {
    const UCHAR* chunk = image + offset;
    const SIZE_T left = length - offset;
    const ULONG bytes = left < kVendorChunkBytes ? ULONG(left) : kVendorChunkBytes;
    // The chunk's first bytes, only those that exist.
    switch (bytes) {
      case 1: OVRA_LOG(kLogDetail, "%02x...\n", chunk[0]); break;
      case 2: OVRA_LOG(kLogDetail, "%02x %02x...\n", chunk[0], chunk[1]); break;
      case 3: OVRA_LOG(kLogDetail, "%02x %02x %02x...\n", chunk[0], chunk[1], chunk[2]); break;
      default: OVRA_LOG(kLogDetail, "%02x %02x %02x %02x...\n", chunk[0], chunk[1], chunk[2], chunk[3]); break;
    }
    result = Hardware->SubmitVendorRequest(const_cast<UCHAR*>(chunk), bytes, FALSE, kVrFirmwareLoad, 0,
                                           USHORT(offset));
  }
  // The bridge is released in order whatever happened; the first failure is
  // what the caller hears.
  NTSTATUS status = HoldBridgeReset(1);
  if (NT_SUCCESS(result)) result = status;
  status = HoldBridgeReset(0);
  if (NT_SUCCESS(result)) result = status;
  status = Hardware->SubmitVendorRequest(nullptr, 0, FALSE, kVrRenumerate, 0, 0);
  if (NT_SUCCESS(result)) result = status;

  KeReleaseMutex(&PinLock, FALSE);
  return result;
}

NTSTATUS CCameraDevice::ReadFx2Eeprom(ULONG address, ULONG length, PUCHAR buffer) {
  PAGED_CODE();
  OVRA_LOG(kLogTrace, "CCameraDevice::ReadFx2Eeprom\n");
  if (length == 0) return STATUS_SUCCESS;
  if (buffer == nullptr || address >= kBridgeSpace || length > kBridgeSpace - address) return STATUS_INVALID_PARAMETER;
  // A chunk that fails must not hand back whatever the buffer held before.
  RtlZeroMemory(buffer, length);
  if (Hardware == nullptr) return STATUS_DEVICE_NOT_READY;
  for (ULONG done = 0; done < length;) {
    const ULONG chunk = length - done < kVendorChunkBytes ? length - done : kVendorChunkBytes;
    const NTSTATUS status =
        Hardware->SubmitVendorRequest(buffer + done, chunk, TRUE, kVrEeprom, 0, USHORT(address + done));
    if (!NT_SUCCESS(status)) return status;
    done += chunk;
  }
  return STATUS_SUCCESS;
}

NTSTATUS CCameraDevice::WriteFx2Eeprom(ULONG address, ULONG length, const UCHAR* data) {
  PAGED_CODE();
  OVRA_LOG(kLogTrace, "CCameraDevice::WriteFx2Eeprom\n");
  if (length == 0) return STATUS_SUCCESS;
  if (data == nullptr || address >= kBridgeSpace || length > kBridgeSpace - address) return STATUS_INVALID_PARAMETER;
  if (Hardware == nullptr) return STATUS_DEVICE_NOT_READY;
  for (ULONG done = 0; done < length;) {
    const ULONG chunk = length - done < kVendorChunkBytes ? length - done : kVendorChunkBytes;
    const NTSTATUS status = Hardware->SubmitVendorRequest(const_cast<UCHAR*>(data + done), chunk, FALSE, kVrEeprom,
                                                          0, USHORT(address + done));
    if (!NT_SUCCESS(status)) return status;
    done += chunk;
  }
  return STATUS_SUCCESS;
}
