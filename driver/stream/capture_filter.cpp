// CCaptureFilter: the filter's object and its property and method handlers.
// Each handler finds the camera from the request and calls one device
// operation; a device operation's error is passed back to the caller.
#include "stream.h"

#include "../device/camera_device.h"

namespace {

constexpr ULONG kRequestBytes = sizeof(KSPROPERTY);  // KSPROPERTY and KSMETHOD alike
constexpr ULONG kRecordBytes = sizeof(I2cRequestRecord);
// The EEPROM request: KSPROPERTY, then the 16-bit start address.
constexpr ULONG kEepromRequestBytes = kRequestBytes + sizeof(USHORT);
constexpr ULONG kFlipBoth = KS_VideoControlFlag_FlipHorizontal | KS_VideoControlFlag_FlipVertical;
constexpr ULONG kFlipHorizontal = KS_VideoControlFlag_FlipHorizontal;

struct Lengths {
  ULONG In;   // the request, with any instance data after it
  ULONG Out;  // the property's data
};

Lengths LengthsOf(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  return {stack->Parameters.DeviceIoControl.InputBufferLength, stack->Parameters.DeviceIoControl.OutputBufferLength};
}

CCameraDevice* DeviceFromIrp(PIRP irp) {
  CCaptureFilter* filter = GetFilterFromIrp(irp);
  return filter != nullptr ? filter->Device : nullptr;
}

// The stream index of a video-control request, when the request holds it.
ULONG StreamIndexOf(PIRP irp, PKSIDENTIFIER request) {
  if (LengthsOf(irp).In < offsetof(KSPROPERTY_VIDEOCONTROL_CAPS_S, StreamIndex) + sizeof(ULONG)) return 0;
  return reinterpret_cast<PKSPROPERTY_VIDEOCONTROL_CAPS_S>(request)->StreamIndex;
}

// Where a product keeps its flip and trigger bits.
struct ModeRegister {
  USHORT Register;
  USHORT Mask;
  USHORT Flag1;  // bits for mode flag 1 (horizontal flip)
  USHORT Flag2;  // bits for mode flag 2 (vertical flip)
};

bool ModeRegisterOf(ULONG productId, ModeRegister* out) {
  switch (productId) {
    case 0x42:
    case 0x43: *out = {0x04, 0x80, 0x80, 0x00}; return true;
    case 0x60: *out = {0x20, 0xC000, 0x4000, 0x8000}; return true;
    case 0x64: *out = {0x08, 0x03, 0x02, 0x01}; return true;
    default: return false;
  }
}

USHORT ReadRegisterForMode(ULONG productId) {
  switch (productId) {
    case 0x60: return 0x20;
    case 0x64: return 0x08;
    default: return 0x04;
  }
}

LONG ModeFromRegister(ULONG productId, USHORT value) {
  switch (productId) {
    case 0x42:
    case 0x43: return KS_VideoControlFlag_ExternalTriggerEnable | ((value & 0x80) ? 1 : 0);
    case 0x60:
      return KS_VideoControlFlag_ExternalTriggerEnable | ((value & 0x8000) ? 2 : 0) | ((value & 0x4000) ? 1 : 0);
    case 0x64: return ((value & 0x01) ? 2 : 0) | ((value & 0x02) ? 1 : 0);
    default: return 0;
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// The filter object.

NTSTATUS CCaptureFilter::DispatchCreate(PKSFILTER filter, PIRP irp) {
  PAGED_CODE();
  OVRA_LOG(kLogTrace, "enter CCaptureFilter::DispatchCreate\n");
  auto* object = static_cast<CCaptureFilter*>(AllocateZeroed(sizeof(CCaptureFilter)));
  if (object == nullptr) {
    OVRA_LOG(kLogError, "exit1 CCaptureFilter::DispatchCreate %08x\n", STATUS_INSUFFICIENT_RESOURCES);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  object->Filter = filter;
  NTSTATUS status = KsAddItemToObjectBag(filter->Bag, object, FreeFilter);
  if (!NT_SUCCESS(status)) {
    ExFreePool(object);
    OVRA_LOG(kLogError, "exit2 CCaptureFilter::DispatchCreate %08x\n", status);
    return status;
  }
  filter->Context = object;
  PKSDEVICE device = KsFilterGetDevice(filter);
  object->Device = device != nullptr ? static_cast<CCameraDevice*>(device->Context) : nullptr;
  OVRA_LOG(kLogTrace, "exit CCaptureFilter::DispatchCreate %08x\n", STATUS_SUCCESS);
  return STATUS_SUCCESS;
}

NTSTATUS CCaptureFilter::DispatchClose(PKSFILTER filter, PIRP irp) {
  PAGED_CODE();
  OVRA_LOG(kLogTrace, "CCaptureFilter::DispatchClose\n");
  return STATUS_SUCCESS;
}

void CCaptureFilter::FreeFilter(PVOID object) {
  if (object != nullptr) ExFreePool(object);
}

CCaptureFilter* GetFilterFromIrp(PIRP irp) {
  PAGED_CODE();
  PKSFILTER filter = KsGetFilterFromIrp(irp);
  if (filter == nullptr) {
    OVRA_LOG(kLogError, "GetFilterFromIrp can't get KSFILTER.\n");
    return nullptr;
  }
  auto* object = static_cast<CCaptureFilter*>(filter->Context);
  if (object == nullptr || object->Device == nullptr) {
    OVRA_LOG(kLogError, "GetFilterFromIrp can't get filter object.\n");
    return nullptr;
  }
  return object;
}

// ---------------------------------------------------------------------------
// Standard sets.

NTSTATUS CCaptureFilter::GetVidcapProperty(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  PAGED_CODE();
  OVRA_LOG(kLogTrace, "CCaptureFilter::GetVidcapProperty(%d)\n", request->Id);
  CCameraDevice* device = DeviceFromIrp(irp);
  if (device == nullptr) return STATUS_UNSUCCESSFUL;
  NTSTATUS status = device->GetDroppedFrames(static_cast<PKSPROPERTY_DROPPEDFRAMES_CURRENT_S>(data));
  if (NT_SUCCESS(status)) irp->IoStatus.Information = sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S);
  return status;
}

NTSTATUS CCaptureFilter::GetVidControlCaps(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  PAGED_CODE();
  OVRA_LOG(kLogTrace, "CCaptureFilter::GetVidControlCaps(%d)\n", request->Id);
  CCameraDevice* device = DeviceFromIrp(irp);
  if (device == nullptr) return STATUS_UNSUCCESSFUL;
  ULONG productId = 0;
  NTSTATUS status = device->GetProductId(&productId);
  if (!NT_SUCCESS(status)) return status;
  const ULONG streamIndex = StreamIndexOf(irp, request);
  ULONG caps = (productId == 0x60 || productId == 0x64) ? kFlipBoth : kFlipHorizontal;
  if (streamIndex == kStillPinId) caps |= KS_VideoControlFlag_Trigger;
  auto* out = static_cast<PKSPROPERTY_VIDEOCONTROL_CAPS_S>(data);
  out->StreamIndex = streamIndex;
  out->VideoControlCaps = caps;
  irp->IoStatus.Information = sizeof(KSPROPERTY_VIDEOCONTROL_CAPS_S);
  return STATUS_SUCCESS;
}

NTSTATUS CCaptureFilter::GetVidControlMode(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  PAGED_CODE();
  OVRA_LOG(kLogTrace, "CCaptureFilter::GetVidControlMode(%d)\n", request->Id);
  CCameraDevice* device = DeviceFromIrp(irp);
  if (device == nullptr) return STATUS_UNSUCCESSFUL;
  ULONG productId = 0;
  NTSTATUS status = device->GetProductId(&productId);
  if (!NT_SUCCESS(status)) return status;
  I2cRequestRecord reg = {};
  reg.Register = ReadRegisterForMode(productId);
  status = device->GetI2CData(&reg);
  ModeRegister where;
  // Only a product whose mode lives in the register needs the value read.
  if (!NT_SUCCESS(status) && ModeRegisterOf(productId, &where)) return status;
  auto* out = static_cast<PKSPROPERTY_VIDEOCONTROL_MODE_S>(data);
  out->StreamIndex = StreamIndexOf(irp, request);
  out->Mode = ModeFromRegister(productId, NT_SUCCESS(status) ? reg.Value : 0);
  irp->IoStatus.Information = sizeof(KSPROPERTY_VIDEOCONTROL_MODE_S);
  return STATUS_SUCCESS;
}

NTSTATUS CCaptureFilter::SetVidControlMode(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  PAGED_CODE();
  OVRA_LOG(kLogTrace, "CCaptureFilter::SetVidControlMode(%d)\n", request->Id);
  CCameraDevice* device = DeviceFromIrp(irp);
  if (device == nullptr) return STATUS_UNSUCCESSFUL;
  ULONG productId = 0;
  NTSTATUS status = device->GetProductId(&productId);
  if (!NT_SUCCESS(status)) return status;
  if (productId == 0x14 || productId == 0x142 || productId == 0x143) return STATUS_UNSUCCESSFUL;
  const LONG mode = static_cast<PKSPROPERTY_VIDEOCONTROL_MODE_S>(data)->Mode;
  ModeRegister where;
  if (ModeRegisterOf(productId, &where)) {
    const USHORT wanted = USHORT(((mode & 1) ? where.Flag1 : 0) | ((mode & 2) ? where.Flag2 : 0));
    I2cRequestRecord reg = {};
    reg.Register = where.Register;
    status = device->GetI2CData(&reg);
    if (!NT_SUCCESS(status)) return status;
    if ((reg.Value & where.Mask) != wanted) {
      reg.Value = USHORT((reg.Value & ~where.Mask) | wanted);
      status = device->SetI2CData(&reg);
      if (!NT_SUCCESS(status)) return status;
    }
  }
  if (mode & KS_VideoControlFlag_Trigger) return device->TakeSnapshot();
  return STATUS_SUCCESS;
}

NTSTATUS CCaptureFilter::SetStreamProperty(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  PAGED_CODE();
  OVRA_LOG(kLogTrace, "CCaptureFilter::SetStreamProperty(%d)\n", request->Id);
  if (GetFilterFromIrp(irp) == nullptr) return STATUS_UNSUCCESSFUL;
  // The master clock is accepted and not used.
  return request->Id == KSPROPERTY_STREAM_MASTERCLOCK ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

// ---------------------------------------------------------------------------
// Vendor property sets.

NTSTATUS CCaptureFilter::GetI2CData(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  PAGED_CODE();
  const Lengths lengths = LengthsOf(irp);
  OVRA_LOG(kLogTrace, "CCaptureFilter::GetI2CData(%d) in %d out %d\n", request->Id, lengths.In, lengths.Out);
  CCameraDevice* device = DeviceFromIrp(irp);
  if (device == nullptr) return STATUS_UNSUCCESSFUL;
  if (lengths.In < kRequestBytes + kRecordBytes || lengths.Out < lengths.In - kRequestBytes) {
    return STATUS_BUFFER_OVERFLOW;
  }
  const ULONG count = (lengths.In - kRequestBytes) / kRecordBytes;
  const PUCHAR in = reinterpret_cast<PUCHAR>(request) + kRequestBytes;
  const PUCHAR out = static_cast<PUCHAR>(data);
  for (ULONG i = 0; i < count; i++) {
    I2cRequestRecord record;
    memcpy(&record, in + i * kRecordBytes, kRecordBytes);
    NTSTATUS status = device->GetI2CData(&record);
    if (!NT_SUCCESS(status)) return status;
    memcpy(out + i * kRecordBytes, &record, kRecordBytes);
  }
  irp->IoStatus.Information = count * kRecordBytes;
  return STATUS_SUCCESS;
}

NTSTATUS CCaptureFilter::SetI2CData(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  PAGED_CODE();
  const Lengths lengths = LengthsOf(irp);
  OVRA_LOG(kLogTrace, "CCaptureFilter::SetI2CData(%d) in %d out %d\n", request->Id, lengths.In, lengths.Out);
  CCameraDevice* device = DeviceFromIrp(irp);
  if (device == nullptr || lengths.Out == 0) return STATUS_UNSUCCESSFUL;
  const PUCHAR records = static_cast<PUCHAR>(data);
  for (ULONG i = 0; i < lengths.Out / kRecordBytes; i++) {
    I2cRequestRecord record;
    memcpy(&record, records + i * kRecordBytes, kRecordBytes);
    NTSTATUS status = device->SetI2CData(&record);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

NTSTATUS CCaptureFilter::GetCustomProperty(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  PAGED_CODE();
  OVRA_LOG(kLogTrace, "CCaptureFilter::GetCustomProperty(%d)\n", request->Id);
  CCameraDevice* device = DeviceFromIrp(irp);
  if (device == nullptr) return STATUS_UNSUCCESSFUL;
  ULONG value = 0;
  NTSTATUS status;
  switch (request->Id) {
    case CAMPROP_INTERLEAVE: status = device->GetInterleave(&value); break;
    case CAMPROP_EXPOSURE: status = device->GetExposure(&value); break;
    case CAMPROP_SNAPSHOT_MODE:
      value = device->GetSnapshotMode();
      status = STATUS_SUCCESS;
      break;
    case CAMPROP_PRODUCT_ID: status = device->GetProductId(&value); break;
    case CAMPROP_ALT_SETTING: status = device->GetAltSetting(&value); break;
    case CAMPROP_AVAILABLE:
      value = device->OwnerFilter == nullptr ? 1 : 0;
      status = STATUS_SUCCESS;
      break;
    case CAMPROP_STATUS_BIT: status = device->GetStatusBit(&value); break;
    default: return STATUS_UNSUCCESSFUL;
  }
  if (!NT_SUCCESS(status)) return status;
  *static_cast<PULONG>(data) = value;
  irp->IoStatus.Information = sizeof(ULONG);
  return STATUS_SUCCESS;
}

NTSTATUS CCaptureFilter::SetCustomProperty(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  PAGED_CODE();
  OVRA_LOG(kLogTrace, "CCaptureFilter::SetCustomProperty(%d)\n", request->Id);
  CCameraDevice* device = DeviceFromIrp(irp);
  if (device == nullptr) return STATUS_UNSUCCESSFUL;
  const ULONG value = *static_cast<PULONG>(data);
  switch (request->Id) {
    case CAMPROP_INTERLEAVE: return device->SetInterleave(&value);
    case CAMPROP_EXPOSURE: return device->SetExposure(value);
    case CAMPROP_SNAPSHOT_MODE: return device->SetSnapshotMode(UCHAR(value));
    case CAMPROP_ALT_SETTING: return device->SetAltSetting(LONG(value));
    case CAMPROP_OSD_COMMAND: return device->SendOSDCommand(LONG(value));
    default: return STATUS_UNSUCCESSFUL;
  }
}

NTSTATUS CCaptureFilter::ReadFx2Eeprom(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  PAGED_CODE();
  const Lengths lengths = LengthsOf(irp);
  OVRA_LOG(kLogTrace, "CCaptureFilter::ReadFx2Eeprom(%d) in %d out %d\n", request->Id, lengths.In, lengths.Out);
  CCameraDevice* device = DeviceFromIrp(irp);
  if (device == nullptr) return STATUS_UNSUCCESSFUL;
  if (lengths.In < kEepromRequestBytes || lengths.Out < lengths.In - kRequestBytes) return STATUS_BUFFER_OVERFLOW;
  USHORT address;
  memcpy(&address, reinterpret_cast<PUCHAR>(request) + kRequestBytes, sizeof(address));
  NTSTATUS status = device->ReadFx2Eeprom(address, lengths.Out, static_cast<PUCHAR>(data));
  if (NT_SUCCESS(status)) irp->IoStatus.Information = lengths.Out;
  return status;
}

NTSTATUS CCaptureFilter::WriteFx2Eeprom(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  PAGED_CODE();
  const Lengths lengths = LengthsOf(irp);
  OVRA_LOG(kLogTrace, "CCaptureFilter::WriteFx2Eeprom(%d) in %d out %d\n", request->Id, lengths.In, lengths.Out);
  CCameraDevice* device = DeviceFromIrp(irp);
  if (device == nullptr || lengths.Out == 0) return STATUS_UNSUCCESSFUL;
  // The start address follows the request; without it there is nothing to write to.
  if (lengths.In < kEepromRequestBytes) return STATUS_BUFFER_OVERFLOW;
  USHORT address;
  memcpy(&address, reinterpret_cast<PUCHAR>(request) + kRequestBytes, sizeof(address));
  return device->WriteFx2Eeprom(address, lengths.Out, static_cast<const UCHAR*>(data));
}

// ---------------------------------------------------------------------------
// Vendor method set.

NTSTATUS CCaptureFilter::MethodHandler(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  PAGED_CODE();
  OVRA_LOG(kLogTrace, "CCaptureFilter::MethodHandler\n");
  CCameraDevice* device = DeviceFromIrp(irp);
  if (device == nullptr) return STATUS_UNSUCCESSFUL;
  switch (request->Id) {
    case CAMPROP_METHOD_SNAPSHOT: return device->TakeSnapshot();
    case CAMPROP_METHOD_CAMERA_POWER:
      if (data == nullptr || LengthsOf(irp).Out == 0) return STATUS_BUFFER_TOO_SMALL;
      return device->SetCameraPower(*static_cast<PUCHAR>(data));
    default: return STATUS_UNSUCCESSFUL;
  }
}

NTSTATUS CCaptureFilter::LoadFirmware(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  PAGED_CODE();
  OVRA_LOG(kLogTrace, "CCaptureFilter::LoadFirmware\n");
  CCameraDevice* device = DeviceFromIrp(irp);
  if (device == nullptr) return STATUS_UNSUCCESSFUL;
  const ULONG in = LengthsOf(irp).In;
  if (in < kRequestBytes) return STATUS_INVALID_PARAMETER;
  return device->LoadFirmware(reinterpret_cast<PUCHAR>(request) + kRequestBytes, in - kRequestBytes);
}
