// CCameraDevice::PnpStart: from a USB device to a capture filter factory.
// Identify the model, read the registry, edit a private copy of the filter
// and pin descriptors for the model, create the filter factory, then the
// camera-head object.
#include "camera_device.h"

#include "../stream/stream.h"
#include "../usb/hardware.h"
#include "model_table.h"

namespace {

constexpr ULONG kSpecialMirroredKey = 0x0FBC8117;  // mirrored registers, still a private automation table
constexpr UCHAR kDeviceDescriptorLength = 18;

// count * size, or false when it does not fit in 32 bits.
bool CheckedSize(ULONG count, ULONG size, ULONG* bytes) {
  const ULONGLONG product = ULONGLONG(count) * size;
  if (product > 0xFFFFFFFFull) return false;
  *bytes = ULONG(product);
  return true;
}

NTSTATUS Edit(PKSDEVICE device, const void* pointerToPointer, ULONG count, ULONG size, ULONG oldSize) {
  ULONG bytes;
  if (!CheckedSize(count, size, &bytes)) return STATUS_INTEGER_OVERFLOW;
  return _KsEdit(device->Bag, reinterpret_cast<PVOID*>(const_cast<void*>(pointerToPointer)), bytes, oldSize,
                 kTagKsEdit);
}

}  // namespace

NTSTATUS CCameraDevice::PnpStart(PIRP, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST) {
  PAGED_CODE();
  OVRA_LOG(kLogTrace, "enter CCameraDevice::PnpStart\n");
  if (KsDevice->Started) {
    OVRA_LOG(kLogTrace, "exit CCameraDevice::PnpStart %08x\n", STATUS_SUCCESS);
    return STATUS_SUCCESS;
  }

  // The device descriptor. A read that failed can leave a zeroed buffer
  // behind, which is no descriptor and names no camera.
  PUSB_DEVICE_DESCRIPTOR descriptor = CUSBHardware::GetDeviceDescriptor(KsDevice->NextDeviceObject);
  if (descriptor == nullptr) return STATUS_UNSUCCESSFUL;
  const bool valid = descriptor->bLength == kDeviceDescriptorLength && descriptor->bDescriptorType == USB_DEVICE_DESCRIPTOR_TYPE;
  VidPid = ULONG(descriptor->idVendor) << 16 | descriptor->idProduct;
  ExFreePool(descriptor);
  if (!valid) return STATUS_UNSUCCESSFUL;

  IdentifyModel(this);
  LineFrequency = LineFrequencyFromFlags(ModelFlags);
  ReadConfiguration();
  OVRA_LOG(kLogTrace, "Model: type %d, %d Hz, Setting %d\n", ModelType, LineFrequency, AltSetting);

  // The per-device copies all belong to the device's bag.
  PKSFILTER_DESCRIPTOR filter = const_cast<PKSFILTER_DESCRIPTOR>(&CaptureFilterDescriptor);
  KsAcquireDevice(KsDevice);
  NTSTATUS status = Edit(KsDevice, &filter, 1, sizeof(KSFILTER_DESCRIPTOR), sizeof(KSFILTER_DESCRIPTOR));
  if (!NT_SUCCESS(status)) {
    KsReleaseDevice(KsDevice);
    return status;
  }

  // Property sets by model: a private automation table unless the head
  // mirrors its registers (then the template's, except for one camera).
  const bool mirrored = (ModelFlags & kModelMirroredRegisters) != 0;
  if (!mirrored || VidPid == kSpecialMirroredKey) {
    status = Edit(KsDevice, &filter->AutomationTable, 1, sizeof(KSAUTOMATION_TABLE), sizeof(KSAUTOMATION_TABLE));
    if (!NT_SUCCESS(status)) {
      KsReleaseDevice(KsDevice);
      return status;
    }
    auto* table = const_cast<PKSAUTOMATION_TABLE>(filter->AutomationTable);
    ULONG count = 0;
    table->PropertySets = ModelPropertySets(mirrored ? kModelUnknown : ModelType, &count);
    table->PropertySetsCount = count;
  }

  status = Edit(KsDevice, &filter->PinDescriptors, 2, sizeof(KSPIN_DESCRIPTOR_EX), 2 * sizeof(KSPIN_DESCRIPTOR_EX));
  if (!NT_SUCCESS(status)) {
    KsReleaseDevice(KsDevice);
    return status;
  }
  auto* pins = const_cast<PKSPIN_DESCRIPTOR_EX>(filter->PinDescriptors);

  const LONG* resolutions = GetResolutions();
  const ULONG count = ResolutionCount(resolutions);
  for (ULONG p = 0; p < 2; ++p) pins[p].PinDescriptor.DataRangesCount = count;
  for (ULONG p = 0; p < 2 && NT_SUCCESS(status); ++p)
    status = Edit(KsDevice, &pins[p].PinDescriptor.DataRanges, count, sizeof(PKSDATARANGE), sizeof(PKSDATARANGE));
  for (ULONG p = 0; p < 2 && NT_SUCCESS(status); ++p)
    status = Edit(KsDevice, &pins[p].PinDescriptor.DataRanges[0], count, sizeof(KS_DATARANGE_VIDEO),
                  sizeof(KS_DATARANGE_VIDEO));
  KsReleaseDevice(KsDevice);
  if (!NT_SUCCESS(status)) return status;

  // One range per resolution, in list order, each pin from its template.
  for (ULONG p = 0; p < 2; ++p) {
    auto** pointers = const_cast<PKSDATARANGE*>(pins[p].PinDescriptor.DataRanges);
    auto* ranges = reinterpret_cast<PKS_DATARANGE_VIDEO>(pointers[0]);
    for (ULONG i = 0; i < count; ++i) {
      if (i > 0) {
        pointers[i] = &ranges[i].DataRange;
        ranges[i] = ranges[0];
      }
      CCapturePin::CalculateDataRange(&ranges[i], p == kStillPinId ? TRUE : FALSE, AltSetting, ModelType, VidPid,
                                      ULONG(ResolutionWidth(resolutions, i)), ULONG(ResolutionHeight(resolutions, i)));
    }
  }

  WCHAR reference[] = OVRA_WIDE("GLOBAL");
  KsAcquireDevice(KsDevice);
  status = KsCreateFilterFactory(KsDevice->FunctionalDeviceObject, filter, reference, nullptr,
                                 KSCREATE_ITEM_FREEONSTOP, nullptr, nullptr, nullptr);
  KsReleaseDevice(KsDevice);
  if (!NT_SUCCESS(status)) {
    OVRA_LOG(kLogTrace, "exit CCameraDevice::PnpStart %08x\n", status);
    return status;
  }

  // A restart keeps the head object of the first start: it is the same camera.
  if (Hardware == nullptr) {
    CUSBHardware* hardware = CUSBHardware::CreateHardware(this, KsDevice, ModelType);
    if (hardware == nullptr) {
      OVRA_LOG(kLogTrace, "exit CCameraDevice::PnpStart %08x\n", STATUS_INSUFFICIENT_RESOURCES);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = KsAddItemToObjectBag(KsDevice->Bag, hardware, DeleteHardware);
    if (!NT_SUCCESS(status)) {
      DeleteHardware(hardware);
      OVRA_LOG(kLogTrace, "exit CCameraDevice::PnpStart %08x\n", status);
      return status;
    }
    Hardware = hardware;
  }

  OVRA_LOG(kLogTrace, "exit CCameraDevice::PnpStart %08x\n", STATUS_SUCCESS);
  return STATUS_SUCCESS;
}
