// Building blocks of the head classes' register protocols: whole I2C messages
// on one I2CTool, and the fixed sleeps between accesses.
#pragma once

#include "../usb/hardware.h"

namespace heads {

// Flags of the bytes of one message.
constexpr UCHAR kFirstByte = I2C_START | I2C_DATA;             // 0x03
constexpr UCHAR kMiddleByte = I2C_DATA;                        // 0x02
constexpr UCHAR kLastByte = I2C_DATA | I2C_STOP;               // 0x06
constexpr UCHAR kOnlyByte = I2C_START | I2C_DATA | I2C_STOP;  // 0x07
constexpr UCHAR kReadMore = I2C_DATA | I2C_ACK;                // 0x0A

// Writes `count` bytes as one message: start before the first, stop after the
// last. Nothing is sent for an empty message.
void WriteMessage(CUSBHardware::I2CTool& tool, const UCHAR* bytes, ULONG count);

// Reads `count` bytes (1 or more) from the device at `address8` in one
// message: the read address, then every byte acknowledged but the last.
void ReadMessage(CUSBHardware::I2CTool& tool, UCHAR address8, UCHAR* bytes, ULONG count);

// Devices directly on the bus with 8-bit register addresses:
// read [S dev] [reg P], [S dev|1] [rdA]... [rdN P] (high byte first), and
// write [S dev] [reg] [value bytes, high first... P]. `valueBytes` is 1 or 2.
USHORT ReadDirect(CUSBHardware::I2CTool& tool, UCHAR dev, UCHAR reg, ULONG valueBytes);
void WriteDirect(CUSBHardware::I2CTool& tool, UCHAR dev, UCHAR reg, USHORT value, ULONG valueBytes);

// Sleeps the calling thread (PASSIVE_LEVEL).
void SleepMs(ULONG ms);
void SleepUs(ULONG us);

inline UCHAR LowByte(ULONG v) { return UCHAR(v & 0xFF); }
inline UCHAR HighByte(ULONG v) { return UCHAR((v >> 8) & 0xFF); }

}  // namespace heads
