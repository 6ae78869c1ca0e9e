// The I2C and control channel between the driver and the camera head: one I2C
// byte per vendor request, head power with a reference count, the trigger, the
// port byte, the status bit and the three-bit commands on the port lines.
#include "heads.h"
#include "i2c_message.h"

namespace {

// Reply of an I2C byte request as it reads when the transfer itself failed:
// the bus idle (0xFF) and the ninth bit high (not acknowledged).
constexpr UCHAR kNoReplyByte0 = 0x00;
constexpr UCHAR kNoReplyData = 0xFF;
constexpr UCHAR kNoReplyAck = 0x01;

// Moves one byte. The reply buffer is preset to "not acknowledged", and a
// failed transfer counts as such, so a lost request never passes for an
// acknowledged byte.
NTSTATUS TransferByte(CUSBHardware* hw, UCHAR flags, UCHAR byte, UCHAR reply[kI2cReplyBytes]) {
  reply[0] = kNoReplyByte0;
  reply[1] = kNoReplyData;
  reply[2] = kNoReplyAck;
  reply[3] = 0;
  return hw->SubmitVendorRequest(reply, kI2cReplyBytes, TRUE, kVrI2cByte, 0, USHORT(flags << 8 | byte));
}

}  // namespace

// ---------------------------------------------------------------------------
// I2C bytes and messages

void CUSBHardware::I2CTool::Write(UCHAR flags, UCHAR byte) {
  PAGED_CODE();
  UCHAR reply[kI2cReplyBytes];
  const NTSTATUS transfer = TransferByte(hardware, flags, byte, reply);
  OVRA_LOG(kLogVerbose, "I2C wr: %02x %02x %02x\n", reply[0], reply[1], reply[2]);
  if (reply[2] != 0 || !NT_SUCCESS(transfer)) status = STATUS_DEVICE_BUSY;
}

UCHAR CUSBHardware::I2CTool::Read(UCHAR flags) {
  PAGED_CODE();
  UCHAR reply[kI2cReplyBytes];
  const NTSTATUS transfer = TransferByte(hardware, flags, 0xFF, reply);
  OVRA_LOG(kLogVerbose, "I2C rd: %02x %02x %02x\n", reply[0], reply[1], reply[2]);
  // The last byte of a read is not acknowledged by the master; every other
  // byte is.
  const bool last = (flags & I2C_STOP) != 0;
  const bool acknowledged = reply[2] == 0;
  if (last == acknowledged || !NT_SUCCESS(transfer)) status = STATUS_DEVICE_BUSY;
  return reply[1];
}

namespace heads {

void WriteMessage(CUSBHardware::I2CTool& tool, const UCHAR* bytes, ULONG count) {
  PAGED_CODE();
  if (count == 0) return;
  if (count == 1) {
    tool.Write(kOnlyByte, bytes[0]);
    return;
  }
  tool.Write(kFirstByte, bytes[0]);
  for (ULONG i = 1; i + 1 < count; ++i) tool.Write(kMiddleByte, bytes[i]);
  tool.Write(kLastByte, bytes[count - 1]);
}

void ReadMessage(CUSBHardware::I2CTool& tool, UCHAR address8, UCHAR* bytes, ULONG count) {
  PAGED_CODE();
  tool.Write(kFirstByte, UCHAR(address8 | 1));
  for (ULONG i = 0; i < count; ++i) bytes[i] = tool.Read(i + 1 < count ? kReadMore : kLastByte);
}

USHORT ReadDirect(CUSBHardware::I2CTool& tool, UCHAR dev, UCHAR reg, ULONG valueBytes) {
  PAGED_CODE();
  const UCHAR address[] = {dev, reg};
  WriteMessage(tool, address, sizeof(address));
  UCHAR bytes[2] = {0, 0};
  const ULONG count = valueBytes > 1 ? 2 : 1;
  ReadMessage(tool, dev, bytes, count);
  return count == 2 ? USHORT(bytes[0] << 8 | bytes[1]) : bytes[0];
}

void WriteDirect(CUSBHardware::I2CTool& tool, UCHAR dev, UCHAR reg, USHORT value, ULONG valueBytes) {
  PAGED_CODE();
  if (valueBytes > 1) {
    const UCHAR message[] = {dev, reg, HighByte(value), LowByte(value)};
    WriteMessage(tool, message, sizeof(message));
  } else {
    const UCHAR message[] = {dev, reg, LowByte(value)};
    WriteMessage(tool, message, sizeof(message));
  }
}

void SleepMs(ULONG ms) {
  PAGED_CODE();
  LARGE_INTEGER interval;
  interval.QuadPart = -10000LL * LONGLONG(ms);
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

void SleepUs(ULONG us) {
  PAGED_CODE();
  LARGE_INTEGER interval;
  interval.QuadPart = -10LL * LONGLONG(us);
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

}  // namespace heads

// ---------------------------------------------------------------------------
// Commands on the port lines

void CUSBHardware::PiximTool::SendBit(UCHAR clock, UCHAR data) {
  PAGED_CODE();
  const UCHAR port = UCHAR(base | (clock ? 0x08 : 0) | (data ? 0x04 : 0));
  OVRA_LOG(kLogError, "CUSBHardware::PiximTool::SendBit Sending %02x\n", port);
  hardware->SubmitVendorRequest(nullptr, 0, FALSE, kVrPortByte, 0, port);
}

void CUSBHardware::PiximTool::Start() {
  PAGED_CODE();
  // The data line rises while the clock line is high, then both fall.
  SendBit(1, 0);
  SendBit(1, 1);
  SendBit(0, 0);
}

void CUSBHardware::PiximTool::SendCommand(UCHAR command) {
  PAGED_CODE();
  Start();
  for (int i = 0; i < 3; ++i) {  // least significant bit first; bits 3..7 are not sent
    const UCHAR d = UCHAR((command >> i) & 1);
    SendBit(0, d);
    SendBit(1, d);
    SendBit(0, 0);
  }
}

// ---------------------------------------------------------------------------
// Power, trigger, status

void CUSBHardware::SetCameraPower(BOOLEAN on) {
  PAGED_CODE();
  const bool powerOn = on != FALSE;
  // The count and the power request change together: two callers never send
  // their requests in the opposite order of their count changes.
  RegisterAccessLock lock(this);
  OVRA_LOG(kLogTrace, "CUSBHardware::SetCameraPower(%d) state %d\n", powerOn ? 1 : 0, LONG(m_PowerCount));
  m_Triggered = 0;
  SubmitVendorRequest(nullptr, 0, FALSE, kVrPortByte, 0, USHORT((GetWidthSetting() | kPortUntriggered) & 0xFF));
  if (powerOn) {
    InterlockedIncrement(&m_PowerCount);
  } else if (InterlockedDecrement(&m_PowerCount) > 0) {
    return;  // another power-on is still outstanding
  }
  SubmitVendorRequest(nullptr, 0, FALSE, kVrCameraPower, 0, powerOn ? 1 : 0);
  if (powerOn) heads::SleepMs(m_PowerDelayMs);
}

void CUSBHardware::Trigger() {
  PAGED_CODE();
  SubmitVendorRequest(nullptr, 0, FALSE, kVrStreamReset, 0, 0);
  SubmitVendorRequest(nullptr, 0, FALSE, kVrPortByte, 0, USHORT(GetWidthSetting() & 0x7F));
  m_Triggered = 1;
}

void CUSBHardware::SendOSDCommand(UCHAR command) {
  PAGED_CODE();
  SetI2CData(0, 0, command);
}

ULONG CUSBHardware::GetStatusBit() {
  PAGED_CODE();
  // A failed request leaves the preset reply, which reads as 0.
  UCHAR reply[kStatusReplyBytes] = {0, 0, 0, 0};
  SubmitVendorRequest(reply, kStatusReplyBytes, TRUE, kVrStatusBit, 0, 0);
  return reply[1] & 1;
}

// ---------------------------------------------------------------------------
// Register writes on behalf of the device

void CUSBHardware::SetRegister(USHORT reg, USHORT value) {
  PAGED_CODE();
  SetI2CData(0, reg, value);
}

void CUSBHardware::SetSnapshotMode(BOOLEAN on) {
  PAGED_CODE();
  // Read-modify-write of register 0x1E as one access: no other caller's write
  // of that register may fall between the read and the write back.
  RegisterAccessLock lock(this);
  const USHORT mode = GetI2CData(0, 0x1E);
  if (on) {
    SetI2CData(0, 0x1E, USHORT(mode | 0x0100));
    heads::SleepUs(500);
    SetI2CData(0, 0x0B, 1);
  } else {
    SetI2CData(0, 0x1E, USHORT(mode & 0xFEFF));
  }
}

// ---------------------------------------------------------------------------
// The register lock (a recursive kernel mutex, initialised by the base
// constructor)

RegisterAccessLock::RegisterAccessLock(CUSBHardware* hw) : hardware_(hw) {
  PAGED_CODE();
  KeWaitForSingleObject(&hardware_->m_RegisterLock, Executive, KernelMode, FALSE, nullptr);
}

RegisterAccessLock::~RegisterAccessLock() {
  PAGED_CODE();
  KeReleaseMutex(&hardware_->m_RegisterLock, FALSE);
}
