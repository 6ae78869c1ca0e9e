// The camera's property and method sets as a client names them: set GUIDs,
// item ids and the request layouts it sends.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <host/nt.h>

namespace ovra {

constexpr GUID Camprop(uint8_t last) { return {0x926DDB00u | last, 0x3C8E, 0x476C, {0x90, 0x68, 0xEB, 0x45, 0x55, 0xA9, 0x92, 0x31}}; }

inline constexpr GUID kSetDroppedFrames = {0xC6E13344, 0x30AC, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};
inline constexpr GUID kSetVideoControl = {0x6A2E0670, 0x28E4, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};
inline constexpr GUID kSetStream = {0x65AABA60, 0x98AE, 0x11CF, {0xA1, 0x0D, 0x00, 0x20, 0xAF, 0xD1, 0x56, 0xE4}};
inline constexpr GUID kSetInterleave = Camprop(0x16);
inline constexpr GUID kSetCamprop = Camprop(0x17);
inline constexpr GUID kSetMethods = Camprop(0x18);
inline constexpr GUID kSetAlder = Camprop(0x19);
inline constexpr GUID kSetBirch2 = Camprop(0x1A);
inline constexpr GUID kSetBirch = Camprop(0x1B);
inline constexpr GUID kSetCedar = Camprop(0x1C);
inline constexpr GUID kSetLarch = Camprop(0x1D);
inline constexpr GUID kSetMaple = Camprop(0x1E);
inline constexpr GUID kSetRowan = Camprop(0x1F);

enum : ULONG {
  kIdInterleave = 0,
  kIdExposure = 20,
  kIdSnapshotMode = 21,
  kIdI2cData = 40,
  kIdProductId = 41,
  kIdAltSetting = 42,
  kIdAvailable = 43,
  kIdStatusBit = 44,
  kIdEeprom = 45,
  kIdOsdCommand = 80,
  kMethodSnapshot = 60,
  kMethodLoadFirmware = 61,
  kMethodCameraPower = 62,
};

// One I2C request record: 6 bytes, packed, little-endian.
#pragma pack(push, 1)
struct I2cRecord {
  uint8_t device;
  uint8_t reserved;
  uint16_t reg;
  uint16_t value;
};
#pragma pack(pop)
static_assert(sizeof(I2cRecord) == 6, "I2C record");

// Every set a client may meet on the filter, with a printable name.
struct KnownSet {
  GUID guid;
  const char* name;
};
const std::vector<KnownSet>& KnownSets();
std::string SetName(const GUID& guid);
std::string GuidText(const GUID& guid);
bool SameGuid(const GUID& a, const GUID& b);

// A 32-bit property the control tool reads or writes by name. The first of
// `sets` that the camera has is used.
struct NamedProperty {
  const char* name;
  std::vector<GUID> sets;
  ULONG id;
  bool get;
  bool set;
  const char* help;
};
const std::vector<NamedProperty>& NamedProperties();
const NamedProperty* FindNamedProperty(const std::string& name);
// The name the tools give an item ("" when they have none).
const char* ItemName(const GUID& set, ULONG id);

}  // namespace ovra
