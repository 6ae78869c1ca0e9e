#include "camprop.h"

#include <cstdio>
#include <cstring>

namespace ovra {

const std::vector<KnownSet>& KnownSets() {
  static const std::vector<KnownSet> sets = {
      {kSetDroppedFrames, "dropped frames"},  {kSetVideoControl, "video control"}, {kSetStream, "stream"},
      {kSetCamprop, "camera"},                {kSetInterleave, "interleave"},      {kSetAlder, "alder"},
      {kSetBirch, "birch"},                   {kSetBirch2, "birch 2"},             {kSetCedar, "cedar"},
      {kSetLarch, "larch"},                   {kSetMaple, "maple"},                {kSetRowan, "rowan"},
      {kSetMethods, "camera methods"},
  };
  return sets;
}

bool SameGuid(const GUID& a, const GUID& b) { return memcmp(&a, &b, sizeof(GUID)) == 0; }

std::string GuidText(const GUID& g) {
  char text[40];
  snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", unsigned(g.Data1), g.Data2, g.Data3,
           g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

std::string SetName(const GUID& guid) {
  for (const KnownSet& s : KnownSets())
    if (SameGuid(s.guid, guid)) return s.name;
  return GuidText(guid);
}

const std::vector<NamedProperty>& NamedProperties() {
  static const std::vector<NamedProperty> properties = {
      {"interleave", {kSetInterleave, kSetCedar, kSetLarch, kSetRowan}, kIdInterleave, true, true,
       "0 progressive, 1 single field line-doubled, 2 two fields woven"},
      {"exposure", {kSetAlder, kSetBirch, kSetBirch2}, kIdExposure, true, true, "shutter time"},
      {"snapshot-mode", {kSetAlder, kSetBirch, kSetBirch2}, kIdSnapshotMode, true, true, "1: every frame is a still"},
      {"alt-setting", {kSetCamprop}, kIdAltSetting, true, true, "USB alternate setting for streaming"},
      {"product-id", {kSetCamprop}, kIdProductId, true, false, "USB product id"},
      {"available", {kSetCamprop}, kIdAvailable, true, false, "1 while no application holds the camera"},
      {"status-bit", {kSetCamprop}, kIdStatusBit, true, false, "the head's status bit"},
      {"osd", {kSetMaple}, kIdOsdCommand, false, true, "on-screen display command"},
  };
  return properties;
}

const NamedProperty* FindNamedProperty(const std::string& name) {
  for (const NamedProperty& p : NamedProperties())
    if (name == p.name) return &p;
  return nullptr;
}

}  // namespace ovra

namespace ovra {

const char* ItemName(const GUID& set, ULONG id) {
  static const struct {
    const GUID* set;
    ULONG id;
    const char* name;
  } kOthers[] = {
      {&kSetDroppedFrames, 0, "dropped-frames"}, {&kSetVideoControl, 0, "video-caps"},
      {&kSetVideoControl, 3, "video-mode"},      {&kSetStream, 3, "master clock"},
      {&kSetCamprop, kIdI2cData, "i2c (--i2c-read, --i2c-write)"},
      {&kSetCamprop, kIdEeprom, "eeprom (--eeprom-dump, --eeprom-write)"},
  };
  for (const NamedProperty& p : NamedProperties())
    for (const GUID& g : p.sets)
      if (SameGuid(g, set) && p.id == id) return p.name;
  for (const auto& o : kOthers)
    if (SameGuid(*o.set, set) && o.id == id) return o.name;
  return "";
}

}  // namespace ovra
