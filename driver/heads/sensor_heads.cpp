// Heads whose 8-bit sensor sits directly on the bridge's I2C bus: Cedar (0x68)
// and OV7740 (0x42).
#include "../device/camera_device.h"
#include "heads.h"
#include "i2c_message.h"

namespace {

constexpr UCHAR kCedarDevice = 0x68;
constexpr UCHAR kCedarLineFrequencyRegister = 0x71;
constexpr UCHAR kOv7740Device = 0x42;

struct RegisterValue {
  UCHAR reg;
  UCHAR value;
};

// The size-independent part of the OV7740 setup, written first and in order:
// reset, clock, output format and the fixed sensor settings.
constexpr RegisterValue kOv7740Setup[] = {
    {0x12, 0x80}, {0x55, 0x42}, {0x11, 0x01}, {0x12, 0x20}, {0x36, 0x3F}, {0x1B, 0x85}, {0x31, 0x70},
    {0x33, 0xC4}, {0x04, 0x20}, {0x47, 0x42}, {0x88, 0x05}, {0x86, 0x03}, {0x87, 0x01}, {0xCE, 0x78},
    {0xCF, 0x6E}, {0xD0, 0x0A}, {0xD1, 0x0C}, {0xD2, 0x84}, {0xD3, 0x90}, {0xD4, 0x1E},
};

}  // namespace

// ---------------------------------------------------------------------------
// Cedar

CUSBHardwareCedar::CUSBHardwareCedar(CCameraDevice* owner, PKSDEVICE device) : CUSBHardware(owner, device) {
  PAGED_CODE();
  OVRA_LOG(kLogWarning, "CUSBHardwareCedar::CUSBHardwareCedar\n");
  m_PowerDelayMs = 1000;
}

USHORT CUSBHardwareCedar::GetI2CData(UCHAR device, USHORT reg) {
  PAGED_CODE();
  const UCHAR dev = device != 0 ? device : kCedarDevice;
  RegisterAccessLock lock(this);
  I2CTool tool(this);
  return heads::ReadDirect(tool, dev, heads::LowByte(reg), 1);
}

void CUSBHardwareCedar::SetI2CData(UCHAR device, USHORT reg, USHORT value) {
  PAGED_CODE();
  const UCHAR dev = device != 0 ? device : kCedarDevice;
  RegisterAccessLock lock(this);
  OVRA_LOG(kLogTrace, "CUSBHardwareCedar::SetI2CData(%02x,%02x,%04x)\n", dev, reg, value);
  I2CTool tool(this);
  heads::WriteDirect(tool, dev, heads::LowByte(reg), value, 1);
  heads::SleepMs(3);
}

void CUSBHardwareCedar::SetupTiming(ULONG shutter) {
  PAGED_CODE();
  RegisterAccessLock lock(this);
  SetI2CData(0, kCedarLineFrequencyRegister, m_Owner->LineFrequency == 50 ? 1 : 0);
}

// ---------------------------------------------------------------------------
// OV7740

CUSBHardwareOV7740::CUSBHardwareOV7740(CCameraDevice* owner, PKSDEVICE device) : CUSBHardware(owner, device) {
  PAGED_CODE();
  OVRA_LOG(kLogWarning, "CUSBHardwareOV7740::CUSBHardwareOV7740\n");
  m_PowerDelayMs = 25;
}

USHORT CUSBHardwareOV7740::GetI2CData(UCHAR device, USHORT reg) {
  PAGED_CODE();
  const UCHAR dev = device != 0 ? device : kOv7740Device;
  RegisterAccessLock lock(this);
  I2CTool tool(this);
  const USHORT value = heads::ReadDirect(tool, dev, heads::LowByte(reg), 1);
  OVRA_LOG(kLogTrace, "CUSBHardwareOV7740::GetI2CData(%02x,%02x) == %04x\n", dev, reg, value);
  return value;
}

void CUSBHardwareOV7740::SetI2CData(UCHAR device, USHORT reg, USHORT value) {
  PAGED_CODE();
  const UCHAR dev = device != 0 ? device : kOv7740Device;
  RegisterAccessLock lock(this);
  OVRA_LOG(kLogTrace, "CUSBHardwareOV7740::SetI2CData(%02x,%02x,%04x)\n", dev, reg, value);
  I2CTool tool(this);
  heads::WriteDirect(tool, dev, heads::LowByte(reg), value, 1);
}

void CUSBHardwareOV7740::SetupTiming(ULONG shutter) {
  PAGED_CODE();
  // Window sizes of the sensor's output for the supported widths.
  ULONG a;
  ULONG b;
  switch (m_Width) {
    case 176: a = 386; b = 176; break;
    case 320:
    case 352: a = 792; b = 252; break;
    case 640: a = 792; b = 504; break;
    default: a = 999; b = 555; break;
  }
  const ULONG width = ULONG(m_Width);
  const ULONG height = ULONG(m_Height);

  RegisterAccessLock lock(this);
  for (const RegisterValue& rv : kOv7740Setup) SetI2CData(0, rv.reg, rv.value);
  SetI2CData(0, 0x16, USHORT((height & 1) * 32 + (width & 3) * 8));
  SetI2CData(0, 0x17, 0x2A);
  SetI2CData(0, 0x18, heads::LowByte(width >> 2));
  SetI2CData(0, 0x19, 0x05);
  SetI2CData(0, 0x1A, heads::LowByte(height >> 1));
  SetI2CData(0, 0x29, heads::LowByte(a));
  SetI2CData(0, 0x2A, heads::HighByte(a));
  SetI2CData(0, 0x2B, heads::LowByte(b));
  SetI2CData(0, 0x2C, heads::HighByte(b));
}
