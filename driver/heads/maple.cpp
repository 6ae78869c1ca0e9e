// Maple head: no register file on the bus; it takes three-bit commands
// clocked out on the port byte's clock (bit 3) and data (bit 2) lines.
#include "heads.h"
#include "i2c_message.h"

CUSBHardwareMaple::CUSBHardwareMaple(CCameraDevice* owner, PKSDEVICE device) : CUSBHardware(owner, device) {
  PAGED_CODE();
  OVRA_LOG(kLogWarning, "CUSBHardwareMaple::CUSBHardwareMaple\n");
  m_PowerDelayMs = 100;
}

USHORT CUSBHardwareMaple::GetI2CData(UCHAR device, USHORT reg) {
  PAGED_CODE();
  return 0xFFFF;  // nothing to read
}

void CUSBHardwareMaple::SetI2CData(UCHAR device, USHORT reg, USHORT value) {
  PAGED_CODE();
  // Device and register mean nothing to this head; the value is the command.
  RegisterAccessLock lock(this);
  // The command keeps the capture-mode code and the trigger state on the
  // port lines while it toggles the clock and data lines.
  const UCHAR base = UCHAR((GetWidthSetting() | (m_Triggered ? 0 : kPortUntriggered)) & 0xFF);
  PiximTool pixim(this, base);
  pixim.SendCommand(heads::LowByte(value));
}

void CUSBHardwareMaple::SetupTiming(ULONG shutter) { PAGED_CODE(); }
