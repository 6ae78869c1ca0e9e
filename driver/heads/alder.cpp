// Alder head: a sensor directly on the bus at 0xBA with 8-bit registers and
// 16-bit values. Its timing program computes clock, line length, blanking and
// exposure from the format; the capture-mode code follows the chosen clock.
#include "../device/camera_device.h"
#include "heads.h"
#include "i2c_message.h"

namespace {

constexpr UCHAR kAlderDevice = 0xBA;
constexpr ULONG kVidPidAlderBoard = 0x2E4C0060;  // board with its own rate limits and codes

// Sensor registers written by the timing program.
enum AlderRegister : USHORT {
  kRegColumnStart = 0x01,
  kRegRowStart = 0x02,
  kRegWindowHeight = 0x03,
  kRegWindowWidth = 0x04,
  kRegHorizontalBlank = 0x05,
  kRegVerticalBlank = 0x06,
  kRegShutterWidth = 0x09,
  kRegReset = 0x0D,
  kRegReadMode1 = 0x1E,
  kRegReadMode2 = 0x20,
};

constexpr LONGLONG kRateNumerator = 10010000;  // 100-ns units per second at 1001/1000
constexpr LONG kDefaultRate = 24;
constexpr LONG kClockScale = 1000125;
constexpr LONG kColumnOverhead = 225;          // clocks per line outside the window
constexpr LONG kMaxHorizontalBlank = 1791;
constexpr LONG kShortVerticalBlank = 25;
constexpr LONG kLargestDimension = 0xFFFF;     // sizes the 16-bit registers can hold

// Frames per second for a frame period. No period means the default rate;
// periods longer than 1.001 s (including any whose low 32 bits are zero)
// run at 1 frame per second, the slowest rate the program can set up.
LONG FrameRate(LONGLONG period) {
  if (period <= 0) return kDefaultRate;
  const LONGLONG rate = kRateNumerator / period;
  return rate < 1 ? 1 : LONG(rate);
}

}  // namespace

CUSBHardwareAlder::CUSBHardwareAlder(CCameraDevice* owner, PKSDEVICE device)
    : CUSBHardware(owner, device), clockMHz(0) {
  PAGED_CODE();
  OVRA_LOG(kLogWarning, "CUSBHardwareAlder::CUSBHardwareAlder\n");
  m_PowerDelayMs = 250;
}

USHORT CUSBHardwareAlder::GetI2CData(UCHAR device, USHORT reg) {
  PAGED_CODE();
  const UCHAR dev = device != 0 ? device : kAlderDevice;
  RegisterAccessLock lock(this);
  I2CTool tool(this);
  const USHORT value = heads::ReadDirect(tool, dev, heads::LowByte(reg), 2);
  OVRA_LOG(kLogTrace, "CUSBHardwareAlder::GetI2CData(%02x,%02x) == %04x\n", dev, reg, value);
  return value;
}

void CUSBHardwareAlder::SetI2CData(UCHAR device, USHORT reg, USHORT value) {
  PAGED_CODE();
  const UCHAR dev = device != 0 ? device : kAlderDevice;
  RegisterAccessLock lock(this);
  OVRA_LOG(kLogTrace, "CUSBHardwareAlder::SetI2CData(%02x,%02x,%04x)\n", dev, reg, value);
  I2CTool tool(this);
  heads::WriteDirect(tool, dev, heads::LowByte(reg), value, 2);
}

ULONG CUSBHardwareAlder::GetWidthSetting() {
  if (m_Owner->VidPid == kVidPidAlderBoard) return clockMHz >= 1 && clockMHz <= 24 ? 9 : 0;
  const ULONG slowClock = clockMHz <= 24 ? 8 : 0;
  ULONG widthCode;
  if (m_Width > 800) {
    widthCode = 0;
  } else if (m_Width > 640) {
    widthCode = 2;
  } else if (m_Width > 320) {
    widthCode = 1;
  } else {
    widthCode = 3;
  }
  return slowClock + widthCode;
}

void CUSBHardwareAlder::SetupTiming(ULONG shutter) {
  PAGED_CODE();
  if (!m_ResourcesAcquired || m_Width == 0 || m_Height == 0) return;
  if (m_Width < 0 || m_Width > kLargestDimension || m_Height < -kLargestDimension || m_Height > kLargestDimension) {
    OVRA_LOG(kLogError, "CUSBHardwareAlder::SetupTiming unsupported size %dx%d\n", m_Width, m_Height);
    return;
  }
  RegisterAccessLock lock(this);

  const LONG width = m_Width;
  const LONG height = m_Height;
  LONG wp = width + 4;  // window width with four extra columns

  LONG rate = FrameRate(m_FramePeriod);
  if (m_Owner->VidPid == kVidPidAlderBoard && m_AlternateSetting > 0) {
    const LONG limit = wp > 644 ? 18 : 24;
    if (rate > limit) rate = limit;
  }

  const LONG clock = LONGLONG(wp + kColumnOverhead) * rate * 1050 > 24000000 ? 48 : 24;
  clockMHz = clock;
  LONGLONG rows = (clock == 48 || height > 800) ? 1050 : 800;
  LONGLONG line = LONGLONG(clock) * kClockScale / (rows * rate);

  // Horizontal blanking: what the line has beyond the window. Too much
  // blanking is traded for more rows of shorter lines. A line shorter than
  // the window (a rate faster than the sensor can run) gets no blanking and
  // the shortest line instead of a wrapped, huge blanking value.
  const LONGLONG minimumLine = wp + kColumnOverhead;
  LONG hb;
  for (;;) {
    const LONGLONG blank = line - minimumLine;
    if (blank < 0) {
      hb = 0;
      line = minimumLine;
      break;
    }
    if (blank <= kMaxHorizontalBlank) {
      hb = LONG(blank);
      break;
    }
    line = line * 3 / 4;
    rows = rows * 4 / 3;
  }
  // Keep bit 1 of hb + 1 clear; below 2 move up instead of wrapping below 0.
  if ((hb + 1) & 2) hb = hb >= 2 ? hb - 2 : hb + 2;

  // Exposure in rows; the shutter counts 48 MHz clocks. line >= 229 here.
  LONGLONG sr = LONGLONG(shutter) / (line - 1);
  if (clock == 24) sr /= 2;
  if (sr < 2) sr = 2;
  if (sr > 0x10000) sr = 0x10000;  // register 9 holds sr - 1 in 16 bits
  const LONG vb = sr < rows ? LONG((rows - height - 1) & 0xFFFF) : kShortVerticalBlank;

  USHORT m2 = USHORT((GetI2CData(0, kRegReadMode2) & 0xD304) | 0x1304);
  LONG c = 12;
  LONG r = 16;
  USHORT m1 = 0x8000;
  LONG windowWidth = wp;
  LONG windowHeight = height;
  switch (width) {
    case 320:
      c = 4;
      r = 8;
      m1 = 0x800C;
      windowWidth = wp * 4 - 4;
      windowHeight = height * 4;
      break;
    case 640:
      c = 8;
      r = 12;
      m2 = USHORT(m2 | 0x18);
      windowWidth = wp * 2;
      windowHeight = height * 2;
      break;
    case 800:
    case 1024:
      c = (1280 - width) / 2 + 12;
      r = (1024 - height) / 2 + 16;
      break;
    default:
      break;
  }

  OVRA_LOG(kLogTrace, "CUSBHardwareAlder::SetupTiming Settings %dx%d@%d, %dMHz, %d, %d; %d, %d\n", windowWidth,
           windowHeight, rate, clock, hb, vb, LONG(line), LONG(sr));

  SetI2CData(0, kRegReset, 0);
  SetI2CData(0, kRegColumnStart, USHORT(c));
  SetI2CData(0, kRegRowStart, USHORT(r));
  SetI2CData(0, kRegWindowHeight, USHORT(windowHeight - 1));
  SetI2CData(0, kRegWindowWidth, USHORT(windowWidth + 3));
  SetI2CData(0, kRegHorizontalBlank, USHORT(hb));
  SetI2CData(0, kRegVerticalBlank, USHORT(vb));
  SetI2CData(0, kRegShutterWidth, USHORT(sr - 1));
  SetI2CData(0, kRegReadMode1, m1);
  SetI2CData(0, kRegReadMode2, m2);
}
