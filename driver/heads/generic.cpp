// Generic head: a device directly on the bus whose address, register width and
// data width come from the registry, and whose timing program is a list of raw
// I2C messages per resolution, also from the registry.
#include "../device/camera_device.h"
#include "heads.h"
#include "i2c_message.h"

namespace {

// What the registry reader would have stored had it described the head. A
// head that was never configured must not talk to address 0, the bus's
// general call address, which every device on the bus obeys.
constexpr UCHAR kDefaultCamera = 0xB0;
constexpr USHORT kDefaultRegisterWidth = 8;
constexpr USHORT kDefaultDataWidth = 16;

struct GenericShape {
  UCHAR camera;
  bool wideRegisters;  // register addresses of two bytes
  bool wideData;       // values of two bytes
};

GenericShape ShapeOf(const GenericHeadConfig& config) {
  GenericShape shape;
  shape.camera = config.Camera != 0 ? config.Camera : kDefaultCamera;
  const USHORT registerWidth = config.RegisterWidth != 0 ? config.RegisterWidth : kDefaultRegisterWidth;
  const USHORT dataWidth = config.DataWidth != 0 ? config.DataWidth : kDefaultDataWidth;
  shape.wideRegisters = registerWidth > 8;
  shape.wideData = dataWidth > 8;
  return shape;
}

// Index of the resolution list entry of exactly this size, or -1.
LONG FindResolution(const GenericHeadConfig& config, LONG width, LONG height) {
  if (config.Resolutions == nullptr) return -1;
  const LONG count = config.Resolutions[0];
  for (LONG i = 0; i < count; ++i) {
    if (config.Resolutions[1 + 2 * i] == width && config.Resolutions[2 + 2 * i] == height) return i;
  }
  return -1;
}

// The first record, in record order, of this resolution with this number.
const I2cSequenceRecord* FindSequence(const GenericHeadConfig& config, LONG resolution, LONG number) {
  if (config.Sequences == nullptr) return nullptr;
  for (LONG i = 0; i < config.SequenceCount; ++i) {
    const I2cSequenceRecord& record = config.Sequences[i];
    if (record.ResolutionIndex == resolution && record.SequenceNumber == number) return &record;
  }
  return nullptr;
}

}  // namespace

CUSBHardwareGeneric::CUSBHardwareGeneric(CCameraDevice* owner, PKSDEVICE device) : CUSBHardware(owner, device) {
  PAGED_CODE();
  OVRA_LOG(kLogWarning, "CUSBHardwareGeneric::CUSBHardwareGeneric\n");
  m_PowerDelayMs = 100;
}

USHORT CUSBHardwareGeneric::GetI2CData(UCHAR device, USHORT reg) {
  PAGED_CODE();
  const GenericShape shape = ShapeOf(m_Owner->GenericConfig);
  const UCHAR dev = device != 0 ? device : shape.camera;
  RegisterAccessLock lock(this);
  I2CTool tool(this);
  UCHAR address[3];
  ULONG length = 0;
  address[length++] = dev;
  if (shape.wideRegisters) address[length++] = heads::HighByte(reg);
  address[length++] = heads::LowByte(reg);
  heads::WriteMessage(tool, address, length);
  UCHAR bytes[2] = {0, 0};
  const ULONG count = shape.wideData ? 2 : 1;
  heads::ReadMessage(tool, dev, bytes, count);
  const USHORT value = count == 2 ? USHORT(bytes[0] << 8 | bytes[1]) : bytes[0];
  OVRA_LOG(kLogTrace, "CUSBHardwareGeneric::GetI2CData(%02x,%02x) == %04x\n", dev, reg, value);
  return value;
}

void CUSBHardwareGeneric::SetI2CData(UCHAR device, USHORT reg, USHORT value) {
  PAGED_CODE();
  const GenericShape shape = ShapeOf(m_Owner->GenericConfig);
  const UCHAR dev = device != 0 ? device : shape.camera;
  RegisterAccessLock lock(this);
  OVRA_LOG(kLogTrace, "CUSBHardwareGeneric::SetI2CData(%02x,%02x,%04x)\n", dev, reg, value);
  I2CTool tool(this);
  UCHAR message[5];
  ULONG length = 0;
  message[length++] = dev;
  if (shape.wideRegisters) message[length++] = heads::HighByte(reg);
  message[length++] = heads::LowByte(reg);
  if (shape.wideData) message[length++] = heads::HighByte(value);
  message[length++] = heads::LowByte(value);
  heads::WriteMessage(tool, message, length);
}

void CUSBHardwareGeneric::SetupTiming(ULONG shutter) {
  PAGED_CODE();
  const GenericHeadConfig& config = m_Owner->GenericConfig;
  const LONG resolution = FindResolution(config, m_Width, m_Height);
  if (resolution < 0) {
    OVRA_LOG(kLogError, "CUSBHardwareGeneric::SetupTiming could not find %dx%d\n", m_Width, m_Height);
    return;
  }
  RegisterAccessLock lock(this);
  // Sequences go out in ascending number from 0 and end at the first gap; the
  // stored bytes (device address first) are sent as they are.
  for (LONG number = 0;; ++number) {
    const I2cSequenceRecord* record = FindSequence(config, resolution, number);
    if (record == nullptr) break;
    if (record->Bytes == nullptr || record->Count <= 0) continue;
    I2CTool tool(this);
    heads::WriteMessage(tool, record->Bytes, ULONG(record->Count));
  }
}

ULONG CUSBHardwareGeneric::GetWidthSetting() { return 0; }
