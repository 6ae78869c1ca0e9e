// Registry configuration: the service's Parameters key and the camera's
// per-device key, read at each full start; the Generic head's resolutions and
// I2C sequences; the settings written back to the device key.
//
// Everything read here comes from a place an administrator or an installer
// writes, so it is treated as untrusted: only a 4-byte REG_DWORD counts as a
// number, counts and sizes are capped before they size a buffer, and the
// filling pass never writes past what the counting pass allocated.
#include "camera_device.h"

#include "../heads/heads.h"

namespace {

constexpr ULONG kServiceRelative = RTL_REGISTRY_SERVICES;
#define OVRA_PARAMETERS_PATH "ovrausb\\Parameters"

// The Generic head may describe at most this many resolutions; a larger
// "Resolutions" is cut down to it (with a warning).
constexpr ULONG kMaxGenericResolutions = 64;
// All I2C sequences of a device together hold at most this many bytes and
// records; values beyond are ignored.
constexpr ULONG kMaxSequenceBytes = 64 * 1024;
constexpr ULONG kMaxSequences = 4096;
// Interleave modes: 0 progressive, 1 one field doubled, 2 two fields woven.
constexpr ULONG kMaxInterleave = 2;
// USB alternate settings are 8-bit numbers.
constexpr ULONG kMaxAltSetting = 255;

constexpr ULONG kResolutionPathChars = 255;

// Query routine for one numeric setting: a REG_DWORD of exactly four bytes
// is stored, anything else counts as missing (the field keeps its value).
NTSTATUS QueryDword(PWSTR, ULONG type, PVOID data, ULONG length, PVOID, PVOID entryContext) {
  if (type == REG_DWORD && length == sizeof(ULONG) && data != nullptr && entryContext != nullptr)
    memcpy(entryContext, data, sizeof(ULONG));
  return STATUS_SUCCESS;
}

void DwordEntry(RTL_QUERY_REGISTRY_TABLE* entry, PCWSTR name, ULONG* target) {
  memset(entry, 0, sizeof(*entry));
  entry->QueryRoutine = QueryDword;
  entry->Flags = RTL_QUERY_REGISTRY_NOEXPAND;
  entry->Name = name;
  entry->EntryContext = target;
  entry->DefaultType = REG_NONE;  // missing: the routine is not called, the value in hand stays
}

// "ovrausb\Parameters\Resolution<index>" into `path` (kResolutionPathChars).
void FormatResolutionPath(WCHAR* path, ULONG index) {
  static const char kPrefix[] = OVRA_PARAMETERS_PATH "\\Resolution";
  ULONG n = 0;
  for (const char* p = kPrefix; *p != 0; ++p) path[n++] = WCHAR(*p);
  WCHAR digits[10];
  ULONG count = 0;
  do {
    digits[count++] = WCHAR(L'0' + index % 10);
    index /= 10;
  } while (index != 0);
  while (count != 0) path[n++] = digits[--count];
  path[n] = 0;
}

// A sequence number: the value name as a signed decimal (leading white space
// and one sign allowed, reading stops at the first non-digit, no digits give
// 0), saturated to the range of a LONG.
LONG ParseSequenceNumber(PCWSTR name) {
  if (name == nullptr) return 0;
  while (*name == L' ' || *name == L'\t' || *name == L'\n' || *name == L'\r' || *name == L'\v' || *name == L'\f')
    ++name;
  bool negative = false;
  if (*name == L'+' || *name == L'-') negative = *name++ == L'-';
  LONGLONG value = 0;
  for (; *name >= L'0' && *name <= L'9'; ++name) {
    if (value <= 0x80000000LL) value = value * 10 + (*name - L'0');
  }
  if (negative) return value >= 0x80000000LL ? LONG(0x80000000) : LONG(-value);
  return value > 0x7FFFFFFFLL ? 0x7FFFFFFF : LONG(value);
}

}  // namespace

// ---------------------------------------------------------------------------
// The Generic head's tables.

NTSTATUS GenericHeadConfig::Initialize(CCameraDevice* owner, ULONG count) {
  PAGED_CODE();
  Owner = owner;
  // 2N + 1 entries; N is capped, so the size cannot overflow.
  Resolutions = static_cast<PLONG>(AllocateZeroed((2 * SIZE_T(count) + 1) * sizeof(LONG)));
  if (Resolutions == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  Resolutions[0] = LONG(count);
  return STATUS_SUCCESS;
}

NTSTATUS GenericHeadConfig::AllocateSequences() {
  PAGED_CODE();
  NTSTATUS status = STATUS_SUCCESS;
  if (SequenceBytes > 0) {
    SequenceBuffer = static_cast<PUCHAR>(AllocateZeroed(ULONG(SequenceBytes)));
    if (SequenceBuffer == nullptr) status = STATUS_INSUFFICIENT_RESOURCES;
  }
  if (NT_SUCCESS(status) && SequenceCount > 0) {
    Sequences = static_cast<I2cSequenceRecord*>(AllocateZeroed(ULONG(SequenceCount) * sizeof(I2cSequenceRecord)));
    if (Sequences == nullptr) status = STATUS_INSUFFICIENT_RESOURCES;
  }
  if (!NT_SUCCESS(status)) {
    // Without both tables no sequence can be kept: the resolutions stay, the
    // sequences are dropped.
    FreeSequences();
  } else {
    SequenceCapacity = SequenceCount;
  }
  SequenceCount = 0;
  FillOffset = 0;
  CountingPass = 0;
  return status;
}

void GenericHeadConfig::FreeSequences() {
  if (SequenceBuffer != nullptr) ExFreePool(SequenceBuffer);
  if (Sequences != nullptr) ExFreePool(Sequences);
  SequenceBuffer = nullptr;
  Sequences = nullptr;
  SequenceBytes = 0;
  SequenceCapacity = 0;
}

void GenericHeadConfig::Free() {
  if (Resolutions != nullptr) ExFreePool(Resolutions);
  Resolutions = nullptr;
  FreeSequences();
  SequenceCount = 0;
  FillOffset = 0;
  CountingPass = 1;
}

NTSTATUS GenericHeadConfig::QueryRoutine(PWSTR name, ULONG type, PVOID data, ULONG length, PVOID context,
                                         PVOID entryContext) {
  PAGED_CODE();
  auto* config = static_cast<GenericHeadConfig*>(context);
  const ULONG index = ULONG(ULONG_PTR(entryContext));
  if (config == nullptr || config->Resolutions == nullptr || index >= ULONG(config->Resolutions[0]))
    return STATUS_SUCCESS;
  const WCHAR first = name != nullptr ? name[0] : WCHAR(0);

  if (first == L'X' || first == L'Y') {
    // The first 32 bits of the data, whatever its type; shorter data is no size.
    if (data != nullptr && length >= sizeof(LONG)) {
      LONG value;
      memcpy(&value, data, sizeof(value));
      config->Resolutions[1 + 2 * index + (first == L'Y' ? 1 : 0)] = value;
    }
    return STATUS_SUCCESS;
  }
  if (first == L'F') return STATUS_SUCCESS;

  const LONG number = ParseSequenceNumber(name);
  if (config->CountingPass) {
    // Values that would take the tables past their caps are left out, in this
    // pass and (being the same values) in the next.
    if (ULONG(config->SequenceCount) >= kMaxSequences || length > kMaxSequenceBytes - ULONG(config->SequenceBytes))
      return STATUS_SUCCESS;
    config->SequenceBytes += LONG(length);
    config->SequenceCount++;
    return STATUS_SUCCESS;
  }

  // The filling pass writes only into what the counting pass allocated: a
  // value added or grown in between is left out.
  if (config->Sequences == nullptr || config->SequenceCount >= config->SequenceCapacity) return STATUS_SUCCESS;
  if (length > ULONG(config->SequenceBytes - config->FillOffset)) return STATUS_SUCCESS;
  if (length != 0 && data == nullptr) return STATUS_SUCCESS;
  I2cSequenceRecord& record = config->Sequences[config->SequenceCount];
  record.ResolutionIndex = LONG(index);
  record.SequenceNumber = number;
  record.Bytes = length != 0 ? config->SequenceBuffer + config->FillOffset : nullptr;
  record.Count = LONG(length);
  if (length != 0) memcpy(record.Bytes, data, length);
  config->FillOffset += LONG(length);
  config->SequenceCount++;
  return STATUS_SUCCESS;
}

void CCameraDevice::ReadResolutions(ULONG count) {
  PAGED_CODE();
  WCHAR path[kResolutionPathChars];
  RTL_QUERY_REGISTRY_TABLE table[2];
  for (ULONG i = 0; i < count; ++i) {
    FormatResolutionPath(path, i);
    memset(table, 0, sizeof(table));
    table[0].QueryRoutine = GenericHeadConfig::QueryRoutine;
    // Sequences are raw bytes: strings are neither expanded nor split.
    table[0].Flags = RTL_QUERY_REGISTRY_NOEXPAND;
    table[0].EntryContext = reinterpret_cast<PVOID>(ULONG_PTR(i));
    // A missing or unreadable key leaves its entry at 0 x 0.
    RtlQueryRegistryValues(kServiceRelative, path, table, &GenericConfig, nullptr);
  }
}

// ---------------------------------------------------------------------------
// Reading and writing the settings.

NTSTATUS CCameraDevice::ReadConfiguration() {
  PAGED_CODE();
  // The tables of an earlier start go first; this start describes the head anew.
  GenericConfig.Free();

  ULONG altSetting = 0, allow720 = 1, resolutions = 0, camera = 0xB0, registerWidth = 8, dataWidth = 16;
  ULONG interleave = Interleave;
  {
    RTL_QUERY_REGISTRY_TABLE table[8];
    DwordEntry(&table[0], OVRA_WIDE("AltSetting"), &altSetting);
    DwordEntry(&table[1], OVRA_WIDE("Allow720"), &allow720);
    DwordEntry(&table[2], OVRA_WIDE("Resolutions"), &resolutions);
    DwordEntry(&table[3], OVRA_WIDE("Camera"), &camera);
    DwordEntry(&table[4], OVRA_WIDE("RegisterWidth"), &registerWidth);
    DwordEntry(&table[5], OVRA_WIDE("DataWidth"), &dataWidth);
    DwordEntry(&table[6], OVRA_WIDE("Interleave"), &interleave);
    memset(&table[7], 0, sizeof(table[7]));
    RtlQueryRegistryValues(kServiceRelative, OVRA_WIDE("ovrausb\\Parameters"), table, nullptr, nullptr);
    // Out-of-range settings count as missing.
    if (interleave > kMaxInterleave) interleave = Interleave;
    if (altSetting > kMaxAltSetting) altSetting = 0;
  }

  if (resolutions > 0) {
    if (resolutions > kMaxGenericResolutions) {
      OVRA_LOG(kLogWarning, "GenericHelper: %d resolutions, only %d used\n", resolutions, kMaxGenericResolutions);
      resolutions = kMaxGenericResolutions;
    }
    if (!NT_SUCCESS(GenericConfig.Initialize(this, resolutions))) {
      OVRA_LOG(kLogError, "GenericHelper: no memory for %d resolutions\n", resolutions);
    } else {
      GenericConfig.Camera = UCHAR(camera);
      GenericConfig.RegisterWidth = USHORT(registerWidth);
      GenericConfig.DataWidth = USHORT(dataWidth);
      GenericConfig.CountingPass = 1;
      ReadResolutions(resolutions);
      if (!NT_SUCCESS(GenericConfig.AllocateSequences()))
        OVRA_LOG(kLogError, "GenericHelper: no memory for the I2C sequences\n");
      ReadResolutions(resolutions);

      const GenericHeadConfig& config = GenericConfig;
      OVRA_LOG(kLogError, "GenericHelper read %d resolutions\n", resolutions);
      for (ULONG i = 0; i < resolutions; ++i) {
        OVRA_LOG(kLogError, "   %4dx%4d\n", config.Resolutions[1 + 2 * i], config.Resolutions[2 + 2 * i]);
        for (LONG j = 0; j < config.SequenceCount; ++j) {
          const I2cSequenceRecord& record = config.Sequences[j];
          if (record.ResolutionIndex != LONG(i)) continue;
          const LONG offset = record.Bytes != nullptr ? LONG(record.Bytes - config.SequenceBuffer) : config.FillOffset;
          OVRA_LOG(kLogError, "      I2CSequence #%d starts at %d for  %d bytes\n", j, offset, record.Count);
        }
      }
    }
  }

  // The device key overrides; without it the settings keep their values, but
  // a progressive head never takes an interleave mode.
  HANDLE key = nullptr;
  NTSTATUS status = IoOpenDeviceRegistryKey(KsDevice->PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key);
  if (!NT_SUCCESS(status)) {
    if ((ModelFlags & kModelInterlaced) == 0) Interleave = 0;
    return status;
  }
  ULONG shutterSpeed = ShutterSpeed;
  const ULONG serviceInterleave = interleave, serviceAltSetting = altSetting;
  {
    RTL_QUERY_REGISTRY_TABLE table[5];
    DwordEntry(&table[0], OVRA_WIDE("AltSetting"), &altSetting);
    DwordEntry(&table[1], OVRA_WIDE("Allow720"), &allow720);
    DwordEntry(&table[2], OVRA_WIDE("Interleave"), &interleave);
    DwordEntry(&table[3], OVRA_WIDE("ShutterSpeed"), &shutterSpeed);
    memset(&table[4], 0, sizeof(table[4]));
    status = RtlQueryRegistryValues(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(key), table, nullptr, nullptr);
  }
  ZwClose(key);
  if (!NT_SUCCESS(status)) {
    if ((ModelFlags & kModelInterlaced) == 0) Interleave = 0;
    return status;
  }
  if (interleave > kMaxInterleave) interleave = serviceInterleave;
  if (altSetting > kMaxAltSetting) altSetting = serviceAltSetting;

  AltSetting = altSetting;
  Allow720 = allow720;
  ShutterSpeed = shutterSpeed;
  Interleave = (ModelFlags & kModelInterlaced) ? interleave : 0;
  return STATUS_SUCCESS;
}

void CCameraDevice::WriteRegistryValue(HANDLE key, PCWSTR name, ULONG value) {
  PAGED_CODE();
  UNICODE_STRING valueName;
  RtlInitUnicodeString(&valueName, name);
  ZwSetValueKey(key, &valueName, 0, REG_DWORD, &value, sizeof(value));
}

NTSTATUS CCameraDevice::WriteConfiguration() {
  PAGED_CODE();
  HANDLE key = nullptr;
  const NTSTATUS status =
      IoOpenDeviceRegistryKey(KsDevice->PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE, KEY_WRITE, &key);
  if (!NT_SUCCESS(status)) return status;
  WriteRegistryValue(key, OVRA_WIDE("Interleave"), Interleave);
  if (ModelType == kModelAlder) WriteRegistryValue(key, OVRA_WIDE("ShutterSpeed"), ShutterSpeed);
  ZwClose(key);
  return STATUS_SUCCESS;
}
