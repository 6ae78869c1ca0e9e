// Vendor control requests understood by the camera's bridge. wIndex is 0 in
// every request; "in" requests read from the device, "out" write to it.
#pragma once

#include "../common/common.h"

enum VendorRequest : UCHAR {
  kVrFirmwareLoad = 0xA0,   // out; wValue 0xE600: CPU reset (1 hold, 0 release), else RAM address of the chunk
  kVrEeprom = 0xA2,         // in/out; wValue EEPROM address of the chunk (at most 64 bytes)
  kVrRenumerate = 0xA8,     // out, no data; ends a firmware download
  kVrStreamReset = 0xBB,    // out, no data; before acquisition, start and trigger
  kVrI2cByte = 0xC3,        // in, 4-byte reply; wValue = flags << 8 | byte
  kVrCameraPower = 0xC4,    // out, no data; wValue 1 on, 0 off
  kVrPortByte = 0xC8,       // out, no data; wValue the port byte
  kVrStatusBit = 0xC9,      // in, 4-byte reply; bit 0 of byte 1
  kVrFlush = 0xCA,          // out, no data; flushes a stalled video stream
};

constexpr USHORT kFx2CpuControlAddress = 0xE600;  // CPUCS
constexpr ULONG kVendorChunkBytes = 64;            // firmware and EEPROM chunks
constexpr ULONG kI2cReplyBytes = 4;
constexpr ULONG kStatusReplyBytes = 4;

// I2C flags (high byte of wValue of kVrI2cByte).
enum I2cFlag : UCHAR {
  I2C_START = 0x01,
  I2C_DATA = 0x02,
  I2C_STOP = 0x04,
  I2C_ACK = 0x08,
};

// The port byte's untriggered bit.
constexpr UCHAR kPortUntriggered = 0x80;
