// Heads behind the relay controller (write address 0x70, read address 0x71):
// CCD, Larch and Rowan. A register access is a command message naming the
// target, then a second message that carries the value.
#include "heads.h"
#include "i2c_message.h"

namespace {

constexpr UCHAR kRelayWrite = 0x70;
constexpr UCHAR kRelayRead = 0x71;

// Relay commands.
constexpr UCHAR kRelayWrite8 = 0x00;       // device, register; value in the next message
constexpr UCHAR kRelayRead8 = 0x01;        // device | 1, register; value read in the next message
constexpr UCHAR kRelayWrite16 = 0x02;      // register high, low of device 0xBA; value high, low next
constexpr UCHAR kRelayRead16 = 0x03;       // register high, low of device 0xBA; value high, low read next
constexpr UCHAR kRelayBankWrite = 0x80;    // device number 0..7, register; value next
constexpr UCHAR kRelayBankRead = 0x81;     // device number 0..7, register; value read next

constexpr UCHAR kCcdDefaultDevice = 0x30;
constexpr UCHAR kLarchMainDevice = 0xBA;
constexpr UCHAR kRowanDefaultDevice = 0x30;

// The Rowan head's second bank: devices 0x80..0x87.
bool InSecondBank(UCHAR dev) { return dev >= 0x80 && dev <= 0x87; }

// [S 0x70] [command] [a] [b P]
void RelayCommand(CUSBHardware::I2CTool& tool, UCHAR command, UCHAR a, UCHAR b) {
  const UCHAR message[] = {kRelayWrite, command, a, b};
  heads::WriteMessage(tool, message, sizeof(message));
}

// [S 0x70] [value P]
void RelayValue8(CUSBHardware::I2CTool& tool, UCHAR value) {
  const UCHAR message[] = {kRelayWrite, value};
  heads::WriteMessage(tool, message, sizeof(message));
}

// [S 0x71] [rdN P]
UCHAR RelayRead8(CUSBHardware::I2CTool& tool) {
  UCHAR value = 0;
  heads::ReadMessage(tool, kRelayRead, &value, 1);
  return value;
}

}  // namespace

// ---------------------------------------------------------------------------
// CCD

CUSBHardwareCCD::CUSBHardwareCCD(CCameraDevice* owner, PKSDEVICE device) : CUSBHardware(owner, device) {
  PAGED_CODE();
  OVRA_LOG(kLogWarning, "CUSBHardwareCCD::CUSBHardwareCCD\n");
  m_PowerDelayMs = 1000;
}

USHORT CUSBHardwareCCD::GetI2CData(UCHAR device, USHORT reg) {
  PAGED_CODE();
  if (device == 0) return 0xFFFF;  // reads have no default device
  RegisterAccessLock lock(this);
  I2CTool tool(this);
  RelayCommand(tool, kRelayRead8, UCHAR(device | 1), heads::LowByte(reg));
  return RelayRead8(tool);
}

void CUSBHardwareCCD::SetI2CData(UCHAR device, USHORT reg, USHORT value) {
  PAGED_CODE();
  const UCHAR dev = device != 0 ? device : kCcdDefaultDevice;
  RegisterAccessLock lock(this);
  OVRA_LOG(kLogTrace, "CUSBHardwareCCD::SetI2CData(%02x,%02x,%04x)\n", dev, reg, value);
  I2CTool tool(this);
  RelayCommand(tool, kRelayWrite8, dev, heads::LowByte(reg));
  RelayValue8(tool, heads::LowByte(value));
  heads::SleepMs(3);
}

void CUSBHardwareCCD::SetupTiming(ULONG shutter) { PAGED_CODE(); }

// ---------------------------------------------------------------------------
// Larch

CUSBHardwareLarch::CUSBHardwareLarch(CCameraDevice* owner, PKSDEVICE device) : CUSBHardware(owner, device) {
  PAGED_CODE();
  OVRA_LOG(kLogWarning, "CUSBHardwareLarch::CUSBHardwareLarch\n");
  m_PowerDelayMs = 100;
}

USHORT CUSBHardwareLarch::GetI2CData(UCHAR device, USHORT reg) {
  PAGED_CODE();
  const UCHAR dev = device != 0 ? device : kLarchMainDevice;
  RegisterAccessLock lock(this);
  I2CTool tool(this);
  USHORT value;
  if (dev == kLarchMainDevice) {
    RelayCommand(tool, kRelayRead16, heads::HighByte(reg), heads::LowByte(reg));
    UCHAR bytes[2] = {0, 0};
    heads::ReadMessage(tool, kRelayRead, bytes, 2);
    value = USHORT(bytes[0] << 8 | bytes[1]);
  } else {
    RelayCommand(tool, kRelayRead8, UCHAR(dev | 1), heads::LowByte(reg));
    value = RelayRead8(tool);
  }
  OVRA_LOG(kLogTrace, "CUSBHardwareLarch::GetI2CData(%02x,%04x) == %04x\n", dev, reg, value);
  return value;
}

void CUSBHardwareLarch::SetI2CData(UCHAR device, USHORT reg, USHORT value) {
  PAGED_CODE();
  const UCHAR dev = device != 0 ? device : kLarchMainDevice;
  RegisterAccessLock lock(this);
  OVRA_LOG(kLogTrace, "CUSBHardwareLarch::SetI2CData(%02x,%04x,%04x)\n", dev, reg, value);
  I2CTool tool(this);
  if (dev == kLarchMainDevice) {
    RelayCommand(tool, kRelayWrite16, heads::HighByte(reg), heads::LowByte(reg));
    const UCHAR message[] = {kRelayWrite, heads::HighByte(value), heads::LowByte(value)};
    heads::WriteMessage(tool, message, sizeof(message));
  } else {
    // 8-bit devices: the register's and the value's high bytes are dropped.
    RelayCommand(tool, kRelayWrite8, dev, heads::LowByte(reg));
    RelayValue8(tool, heads::LowByte(value));
  }
  heads::SleepMs(3);
}

void CUSBHardwareLarch::SetupTiming(ULONG shutter) { PAGED_CODE(); }

// ---------------------------------------------------------------------------
// Rowan

CUSBHardwareRowan::CUSBHardwareRowan(CCameraDevice* owner, PKSDEVICE device) : CUSBHardware(owner, device) {
  PAGED_CODE();
  OVRA_LOG(kLogWarning, "CUSBHardwareRowan::CUSBHardwareRowan\n");
  m_PowerDelayMs = 25;
}

USHORT CUSBHardwareRowan::GetI2CData(UCHAR device, USHORT reg) {
  PAGED_CODE();
  const UCHAR dev = device != 0 ? device : kRowanDefaultDevice;
  RegisterAccessLock lock(this);
  I2CTool tool(this);
  if (InSecondBank(dev)) {
    RelayCommand(tool, kRelayBankRead, UCHAR(dev - 0x80), heads::LowByte(reg));
  } else {
    RelayCommand(tool, kRelayRead8, UCHAR(dev | 1), heads::LowByte(reg));
  }
  return RelayRead8(tool);
}

void CUSBHardwareRowan::SetI2CData(UCHAR device, USHORT reg, USHORT value) {
  PAGED_CODE();
  const UCHAR dev = device != 0 ? device : kRowanDefaultDevice;
  RegisterAccessLock lock(this);
  OVRA_LOG(kLogTrace, "CUSBHardwareRowan::SetI2CData(%02x,%02x,%04x)\n", dev, reg, value);
  I2CTool tool(this);
  if (InSecondBank(dev)) {
    RelayCommand(tool, kRelayBankWrite, UCHAR(dev - 0x80), heads::LowByte(reg));
  } else {
    RelayCommand(tool, kRelayWrite8, dev, heads::LowByte(reg));
  }
  RelayValue8(tool, heads::LowByte(value));
  heads::SleepMs(20);
}

void CUSBHardwareRowan::SetupTiming(ULONG shutter) { PAGED_CODE(); }
