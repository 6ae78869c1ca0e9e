// Birch head: 16-bit devices at 0x7A (default) and 0xBA and a group of 8-bit
// devices at 0xA8..0xAF, all directly on the bus. The head refuses accesses
// while it is busy, so every access is retried until it is acknowledged. Its
// timing program switches the sensor between fixed readout modes.
#include "../device/camera_device.h"
#include "heads.h"
#include "i2c_message.h"

namespace {

constexpr UCHAR kBirchDefaultDevice = 0x7A;
constexpr UCHAR kBirchSecondDevice = 0xBA;  // device 1
constexpr ULONG kVidPidBirch2MP = 0x2E4C0067;

constexpr ULONG kReadAttempts = 150;
constexpr ULONG kReadRetryMs = 60;
constexpr ULONG kWriteAttempts = 100;
constexpr ULONG kWriteRetryMs = 33;
constexpr ULONG kModeSettleMs = 33;
constexpr ULONG kTimingLeadMs = 500;

constexpr USHORT kRegMode = 0;         // bits 14 and 15: readout mode
constexpr USHORT kRegControl = 1;      // bit 3 is cleared while the mode changes
constexpr USHORT kRegBand = 12;        // value kept per width band in the device
constexpr USHORT kRegWindowWidth = 15;
constexpr USHORT kRegWindowHeight = 16;
constexpr USHORT kRegWindowTiming = 17;

// Device numbers callers use, mapped to bus addresses: 0 is the default
// device, 1 the second 16-bit device, 0xA0..0xA7 the 8-bit group.
UCHAR MapDevice(UCHAR device) {
  if (device == 0) return kBirchDefaultDevice;
  if (device == 1) return kBirchSecondDevice;
  if (device >= 0xA0 && device <= 0xA7) return UCHAR(device + 8);
  return device;
}

bool IsByteDevice(UCHAR dev) { return (dev & 0xF0) == 0xA0; }

}  // namespace

CUSBHardwareBirch::CUSBHardwareBirch(CCameraDevice* owner, PKSDEVICE device) : CUSBHardware(owner, device) {
  PAGED_CODE();
  OVRA_LOG(kLogWarning, "CUSBHardwareBirch::CUSBHardwareBirch\n");
  m_PowerDelayMs = 3500;
  owner->Register12[0] = 0x8080;
  owner->Register12[1] = 0x8080;
  owner->Register12[2] = 0x8080;
  owner->Register12[3] = 0;
  owner->Register12[4] = 0;
}

LONG CUSBHardwareBirch::Register12Band(LONG width) {
  if (width < 256) return -1;
  const LONG band = (width >> 8) - 1;
  return band < 6 ? band : -1;
}

USHORT CUSBHardwareBirch::GetI2CData(UCHAR device, USHORT reg) {
  PAGED_CODE();
  const UCHAR dev = MapDevice(device);
  const ULONG valueBytes = IsByteDevice(dev) ? 1 : 2;
  RegisterAccessLock lock(this);
  I2CTool tool(this);
  USHORT value = 0;
  for (ULONG retries = 0;;) {
    value = heads::ReadDirect(tool, dev, heads::LowByte(reg), valueBytes);
    if (NT_SUCCESS(tool.status)) break;
    tool.status = STATUS_SUCCESS;
    if (m_Removed) break;  // every request fails at once: retrying only stalls the caller
    heads::SleepMs(kReadRetryMs);
    ++retries;
    OVRA_LOG(kLogTrace, "CUSBHardwareBirch::GetI2CData retry %d\n", retries);
    if (retries >= kReadAttempts) break;
  }
  OVRA_LOG(kLogTrace, "CUSBHardwareBirch::GetI2CData(%02x,%02x) == %04x\n", dev, reg, value);
  return value;
}

void CUSBHardwareBirch::SetI2CData(UCHAR device, USHORT reg, USHORT value) {
  PAGED_CODE();
  const UCHAR dev = MapDevice(device);
  const ULONG valueBytes = IsByteDevice(dev) ? 1 : 2;
  RegisterAccessLock lock(this);
  if (dev == kBirchDefaultDevice && reg == kRegBand) {
    // Remembered for the width band, so that the timing program writes it
    // again; widths outside every band have no entry.
    const LONG band = Register12Band(m_Width);
    if (band >= 0) m_Owner->Register12[band] = value;
  }
  OVRA_LOG(kLogTrace, "CUSBHardwareBirch::SetI2CData(%02x,%02x,%04x)\n", dev, reg, value);
  I2CTool tool(this);
  for (ULONG retries = 0;;) {
    heads::WriteDirect(tool, dev, heads::LowByte(reg), value, valueBytes);
    if (NT_SUCCESS(tool.status)) break;
    tool.status = STATUS_SUCCESS;
    if (m_Removed) break;
    heads::SleepMs(kWriteRetryMs);
    ++retries;
    OVRA_LOG(kLogTrace, "CUSBHardwareBirch::SetI2CData retry %d\n", retries);
    if (retries >= kWriteAttempts) break;
  }
}

ULONG CUSBHardwareBirch::GetWidthSetting() { return 0; }

void CUSBHardwareBirch::SetupTiming(ULONG shutter) {
  PAGED_CODE();
  if (!m_ResourcesAcquired) return;
  RegisterAccessLock lock(this);
  heads::SleepMs(kTimingLeadMs);

  const USHORT r0 = USHORT(GetI2CData(0, kRegMode) & 0x3FFF);
  const USHORT r1 = GetI2CData(0, kRegControl);
  const bool restoreControl = (r1 & 0x0008) != 0;
  if (restoreControl) SetI2CData(0, kRegControl, USHORT(r1 & 0xFFF7));
  heads::SleepMs(kModeSettleMs);

  const LONG band = Register12Band(m_Width);
  if (band >= 0) SetI2CData(0, kRegBand, USHORT(m_Owner->Register12[band] & 0xFFFF));
  heads::SleepMs(kModeSettleMs);

  const LONG width = m_Width;
  const LONG height = m_Height;
  bool writeMode = true;
  USHORT mode = r0;
  if (m_Owner->VidPid == kVidPidBirch2MP) {
    if (width == 1600) {
      mode = r0;
    } else if (width == 1280 && height == 1024) {
      mode = USHORT(r0 | 0x4000);
    } else if (width == 1280 && height == 720) {
      mode = USHORT(r0 | 0x8000);
    } else if (width == 800) {
      mode = USHORT(r0 | 0xC000);
    } else {
      writeMode = false;
    }
  } else if (width == 1280) {
    mode = r0;
  } else if (width == 800) {
    mode = USHORT(r0 | 0x8000);
  } else if (width == 640) {
    mode = USHORT(r0 | 0x4000);
  } else {
    // Free window: size and timing first, then both mode bits.
    SetI2CData(0, kRegWindowWidth, USHORT(width + 1));
    heads::SleepMs(kModeSettleMs);
    SetI2CData(0, kRegWindowHeight, USHORT(height));
    heads::SleepMs(kModeSettleMs);
    SetI2CData(0, kRegWindowTiming, width == 1024 ? 0x5619 : 0x301E);
    heads::SleepMs(kModeSettleMs);
    mode = USHORT(r0 | 0xC000);
  }
  if (writeMode) SetI2CData(0, kRegMode, mode);
  heads::SleepMs(kModeSettleMs);

  if (restoreControl) SetI2CData(0, kRegControl, r1);
}
