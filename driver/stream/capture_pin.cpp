// CCapturePin: creation and destruction of a pin, its format checks and data
// intersection, and its state machine.
#include "stream.h"

#include "../device/camera_device.h"

namespace {

constexpr ULONG kFormatHeaderBytes = 48;  // KS_VIDEOINFOHEADER up to bmiHeader
constexpr ULONG kKeptHeaderBytes = sizeof(KS_VIDEOINFOHEADER);
// A format: KSDATAFORMAT, then the header's 48 bytes, then biSize bytes.
constexpr ULONGLONG kFormatOverhead = sizeof(KSDATAFORMAT) + kFormatHeaderBytes;
// A range: everything before VideoInfoHeader, then the same header.
constexpr ULONGLONG kRangeOverhead = offsetof(KS_DATARANGE_VIDEO, VideoInfoHeader) + kFormatHeaderBytes;
// Frame intervals that the intersection gives 60 Hz and 50 Hz cameras.
constexpr LONGLONG kInterval60Hz = 333667;
constexpr LONGLONG kInterval50Hz = 400000;
constexpr ULONG kStillSizeFreeKey = 0x2E4C0067;

const GUID kSpecifierVideoInfo = {STATICGUIDOF(KSDATAFORMAT_SPECIFIER_VIDEOINFO)};

ULONGLONG Magnitude(LONG value) { return value < 0 ? ULONGLONG(-LONGLONG(value)) : ULONGLONG(value); }

PKS_VIDEOINFOHEADER HeaderOf(PKSDATAFORMAT format) {
  return &reinterpret_cast<PKS_DATAFORMAT_VIDEOINFOHEADER>(format)->VideoInfoHeader;
}

CCameraDevice* DeviceOf(PVOID ksObject) {
  PKSDEVICE device = KsGetDevice(ksObject);
  return device != nullptr ? static_cast<CCameraDevice*>(device->Context) : nullptr;
}

CCaptureFilter* ParentFilterOf(PKSPIN pin) {
  PKSFILTER filter = KsPinGetParentFilter(pin);
  return filter != nullptr ? static_cast<CCaptureFilter*>(filter->Context) : nullptr;
}

// The frame interval a camera's intersections produce, or 0 when they keep
// the caller's (the later test wins when both flags are set).
LONGLONG IntersectionInterval(ULONG modelFlags) {
  if (modelFlags & kModel50Hz) return kInterval50Hz;
  if (modelFlags & kModel60Hz) return kInterval60Hz;
  return 0;
}

// The line frequency of a Cedar or Rowan head, read once from a head register.
ULONG LineFrequencyFromRegister(CCameraDevice* device, USHORT reg, USHORT bit, ULONG whenSet, ULONG whenClear) {
  if (device->LineFrequency != 0) return device->LineFrequency;
  I2cRequestRecord request = {};
  request.Register = reg;
  if (NT_SUCCESS(device->GetI2CData(&request))) {
    device->LineFrequency = (request.Value & bit) ? whenSet : whenClear;
  }
  return device->LineFrequency;
}

// The pin's private framing: two frames of exactly one image.
void SetFraming(PKSPIN pin, ULONG imageSize) {
  auto* framing = const_cast<PKSALLOCATOR_FRAMING_EX>(pin->Descriptor->AllocatorFraming);
  KS_FRAMING_ITEM& item = framing->FramingItem[0];
  item.Frames = 2;
  item.PhysicalRange = {imageSize, imageSize, 0};
  item.FramingRange.Range = {imageSize, imageSize, 0};
}

}  // namespace

// ---------------------------------------------------------------------------
// Construction.

CCapturePin::CCapturePin(PKSPIN pin) {
  PAGED_CODE();
  FramesProcessed = 0;
  SnapshotHoldoff = 0;
  Pin = pin;
  Started = 0;
  ActiveInterleave = 2;
  PendingInterleave = 2;
  FirstFieldDone = 0;
  CurrentF = 0;
  OVRA_LOG(kLogTrace, "enter CCapturePin::CCapturePin\n");
  Device = DeviceOf(pin);
  if (Device != nullptr && (Device->ModelFlags & kModelInterlaced) == 0) {
    ActiveInterleave = 0;
    PendingInterleave = 0;
  }
  OVRA_LOG(kLogTrace, "exit CCapturePin::CCapturePin\n");
}

CCapturePin::~CCapturePin() {
  PAGED_CODE();
  OVRA_LOG(kLogTrace, "CCapturePin::~CCapturePin(P=%p)\n", Pin);
  if (Device != nullptr && Pin != nullptr) Device->UnregisterPin(ParentFilterOf(Pin), Pin->Id);
  // A pin is stepped down to stop before it goes, which releases its clock;
  // this only covers a pin destroyed without that.
  if (ReferenceClock != nullptr) {
    ReferenceClock->Release();
    ReferenceClock = nullptr;
  }
}

void CCapturePin::FreePin(PVOID object) {
  PAGED_CODE();
  if (object == nullptr) return;
  static_cast<CCapturePin*>(object)->CCapturePin::~CCapturePin();
  ExFreePool(object);
}

PKSPIN CCapturePin::GetKsPin() { return Pin; }

PKS_VIDEOINFOHEADER CCapturePin::SaveVideoInfoHeader() {
  PAGED_CODE();
  PKSDATAFORMAT format = Pin->ConnectionFormat;
  const ULONG biSize = HeaderOf(format)->bmiHeader.biSize;
  // The framework checked the format with DispatchSetFormat; still, never
  // copy more than the format holds, nor keep less than a whole header.
  if (biSize < sizeof(KS_BITMAPINFOHEADER) || kFormatOverhead + biSize > format->FormatSize) return nullptr;
  const ULONG bytes = biSize + kFormatHeaderBytes;
  auto* copy = static_cast<PKS_VIDEOINFOHEADER>(AllocateZeroed(bytes));
  if (copy == nullptr) return nullptr;
  memcpy(copy, HeaderOf(format), bytes);
  if (!NT_SUCCESS(KsAddItemToObjectBag(Pin->Bag, copy, nullptr))) {
    ExFreePool(copy);
    return nullptr;
  }
  // Published only now that it is whole. The previous copy stays in the bag
  // (freed with the pin): nothing that may still read it is stopped here.
  FormatCopy = copy;
  return copy;
}

NTSTATUS CCapturePin::DispatchCreate(PKSPIN pin, PIRP irp) {
  PAGED_CODE();
  OVRA_LOG(kLogTrace, "enter CCapturePin::DispatchCreate\n");
  void* memory = AllocateZeroed(sizeof(CCapturePin));
  if (memory == nullptr) {
    OVRA_LOG(kLogError, "exit1 CCapturePin::DispatchCreate %08x\n", STATUS_INSUFFICIENT_RESOURCES);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  auto* object = new (memory, Placement::At) CCapturePin(pin);
  NTSTATUS status = KsAddItemToObjectBag(pin->Bag, object, FreePin);
  if (!NT_SUCCESS(status)) {
    FreePin(object);
    OVRA_LOG(kLogError, "exit2 CCapturePin::DispatchCreate %08x\n", status);
    return status;
  }
  pin->Context = object;

  PKS_VIDEOINFOHEADER copy = object->SaveVideoInfoHeader();
  if (copy == nullptr) {
    OVRA_LOG(kLogError, "exit3 CCapturePin::DispatchCreate %08x\n", STATUS_INSUFFICIENT_RESOURCES);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  const KS_BITMAPINFOHEADER& bmi = copy->bmiHeader;
  OVRA_LOG(kLogTrace, "Format is %d x %d, %d-bit, compr=%08x, %d bytes\n", bmi.biWidth, bmi.biHeight,
           bmi.biBitCount, bmi.biCompression, bmi.biSizeImage);
  memcpy(&object->KeptHeader, copy, kKeptHeaderBytes);

  // A private descriptor with private framing: two frames of exactly one image.
  status = _KsEdit(pin->Bag, reinterpret_cast<PVOID*>(const_cast<PKSPIN_DESCRIPTOR_EX*>(&pin->Descriptor)),
                   sizeof(KSPIN_DESCRIPTOR_EX), sizeof(KSPIN_DESCRIPTOR_EX), kTagKsEdit);
  if (NT_SUCCESS(status)) {
    auto* descriptor = const_cast<PKSPIN_DESCRIPTOR_EX>(pin->Descriptor);
    status = _KsEdit(pin->Bag,
                     reinterpret_cast<PVOID*>(const_cast<PKSALLOCATOR_FRAMING_EX*>(&descriptor->AllocatorFraming)),
                     sizeof(KSALLOCATOR_FRAMING_EX), sizeof(KSALLOCATOR_FRAMING_EX), kTagKsEdit);
    if (NT_SUCCESS(status)) SetFraming(pin, bmi.biSizeImage);
  }
  OVRA_LOG(kLogTrace, "exit CCapturePin::DispatchCreate %08x\n", status);
  return status;
}

NTSTATUS CCapturePin::DispatchClose(PKSPIN pin, PIRP irp) {
  PAGED_CODE();
  OVRA_LOG(kLogTrace, "CCapturePin::DispatchClose\n");
  return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// Formats.

NTSTATUS CCapturePin::DispatchSetFormat(PKSPIN pin, PKSDATAFORMAT oldFormat, PKSMULTIPLE_ITEM oldAttributeList,
                                        const KSDATARANGE* dataRange, const KSATTRIBUTE_LIST* attributeRange) {
  PAGED_CODE();
  OVRA_LOG(kLogTrace, "enter CCapturePin::DispatchSetFormat\n");
  OVRA_LOG(kLogTrace, "Pin %p, OldFormat %p\n", pin, oldFormat);
  PKSDATAFORMAT format = pin->ConnectionFormat;
  if (format->Specifier != kSpecifierVideoInfo || format->FormatSize < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) {
    OVRA_LOG(kLogTrace, "exit1 CCapturePin::DispatchSetFormat %08x\n", STATUS_NO_MATCH);
    return STATUS_NO_MATCH;
  }
  const KS_VIDEOINFOHEADER* info = HeaderOf(format);
  const KS_BITMAPINFOHEADER& bmi = info->bmiHeader;
  OVRA_LOG(kLogTrace, "Format is %d x %d, %d-bit, compr=%08x, %d bytes, %d\n", bmi.biWidth, bmi.biHeight,
           bmi.biBitCount, bmi.biCompression, bmi.biSizeImage, ULONG(info->AvgTimePerFrame));

  // The header must be whole (at least a KS_BITMAPINFOHEADER) and inside the format.
  if (bmi.biSize < sizeof(KS_BITMAPINFOHEADER) || kFormatOverhead + bmi.biSize > format->FormatSize) {
    OVRA_LOG(kLogTrace, "exit2 CCapturePin::DispatchSetFormat %08x\n", STATUS_INVALID_PARAMETER);
    return STATUS_INVALID_PARAMETER;
  }
  const auto* range = reinterpret_cast<const KS_DATARANGE_VIDEO*>(dataRange);
  const KS_BITMAPINFOHEADER& rangeBmi = range->VideoInfoHeader.bmiHeader;
  const ULONGLONG height = Magnitude(bmi.biHeight);
  if (bmi.biWidth <= 0 || bmi.biWidth < rangeBmi.biWidth || height == 0 || height != Magnitude(rangeBmi.biHeight) ||
      bmi.biCompression != rangeBmi.biCompression || bmi.biBitCount != rangeBmi.biBitCount) {
    OVRA_LOG(kLogTrace, "exit3 CCapturePin::DispatchSetFormat %08x\n", STATUS_NO_MATCH);
    return STATUS_NO_MATCH;
  }
  // Until Create has run, the pin's Context is still its filter's.
  CCapturePin* object = oldFormat != nullptr ? static_cast<CCapturePin*>(pin->Context) : nullptr;
  CCameraDevice* device = DeviceOf(pin);
  // The frame interval: one the range offers, or the one this camera's
  // intersections give.
  const LONGLONG interval = info->AvgTimePerFrame;
  const bool inRange = interval >= range->ConfigCaps.MinFrameInterval && interval <= range->ConfigCaps.MaxFrameInterval;
  if (!inRange && (device == nullptr || interval != IntersectionInterval(device->ModelFlags) || interval == 0)) {
    OVRA_LOG(kLogTrace, "exit4 CCapturePin::DispatchSetFormat %08x\n", STATUS_NO_MATCH);
    return STATUS_NO_MATCH;
  }
  if (ULONGLONG(bmi.biSizeImage) < ULONGLONG(bmi.biBitCount / 8) * height * ULONGLONG(bmi.biWidth)) {
    OVRA_LOG(kLogTrace, "exit6 CCapturePin::DispatchSetFormat %08x\n", STATUS_INVALID_PARAMETER);
    return STATUS_INVALID_PARAMETER;
  }
  if (oldFormat != nullptr) {
    // The assembler's geometry comes from the kept header and the format
    // copy together; change them only while no frame is being assembled.
    if (object == nullptr || pin->DeviceState != KSSTATE_STOP) {
      OVRA_LOG(kLogTrace, "exit5 CCapturePin::DispatchSetFormat %08x\n", STATUS_INVALID_DEVICE_STATE);
      return STATUS_INVALID_DEVICE_STATE;
    }
    PKS_VIDEOINFOHEADER previous = object->FormatCopy;
    if (object->SaveVideoInfoHeader() == nullptr) {
      OVRA_LOG(kLogError, "exit7 CCapturePin::DispatchSetFormat %08x\n", STATUS_INSUFFICIENT_RESOURCES);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    // A stopped pin is not registered: nothing reads the old copy any more.
    if (previous != nullptr) KsRemoveItemFromObjectBag(pin->Bag, previous, TRUE);
    memcpy(&object->KeptHeader, object->FormatCopy, kKeptHeaderBytes);
    SetFraming(pin, object->FormatCopy->bmiHeader.biSizeImage);
  }
  // The capture pin's format becomes the device's, unless another filter
  // holds the hardware with its own.
  if (pin->Id == kCapturePinId && device != nullptr) {
    PinLockHolder lock(device);
    if (device->OwnerFilter == nullptr || device->OwnerFilter == ParentFilterOf(pin)) {
      memcpy(&device->VideoInfo, info, kKeptHeaderBytes);
    }
  }
  OVRA_LOG(kLogTrace, "exit CCapturePin::DispatchSetFormat %08x\n", STATUS_SUCCESS);
  return STATUS_SUCCESS;
}

NTSTATUS CCapturePin::IntersectHandler(PVOID context, PIRP irp, PKSP_PIN pinInstance, PKSDATARANGE callerRange,
                                       PKSDATARANGE matchingRange, ULONG bufferSize, PVOID data, PULONG dataSize) {
  PAGED_CODE();
  OVRA_LOG(kLogVerbose, "enter CCapturePin::IntersectHandler\n");
  if (callerRange->Specifier != kSpecifierVideoInfo || callerRange->FormatSize < sizeof(KS_DATARANGE_VIDEO)) {
    OVRA_LOG(kLogTrace, "exit CCapturePin::IntersectHandler NO_MATCH 1\n");
    return STATUS_NO_MATCH;
  }
  const auto* caller = reinterpret_cast<const KS_DATARANGE_VIDEO*>(callerRange);
  const auto* ours = reinterpret_cast<const KS_DATARANGE_VIDEO*>(matchingRange);
  if (caller->bFixedSizeSamples != ours->bFixedSizeSamples ||
      caller->bTemporalCompression != ours->bTemporalCompression ||
      caller->StreamDescriptionFlags != ours->StreamDescriptionFlags ||
      caller->MemoryAllocationFlags != ours->MemoryAllocationFlags ||
      RtlCompareMemory(&caller->ConfigCaps, &ours->ConfigCaps, sizeof(ours->ConfigCaps)) !=
          sizeof(ours->ConfigCaps)) {
    OVRA_LOG(kLogVerbose, "exit CCapturePin::IntersectHandler NO_MATCH\n");
    return STATUS_NO_MATCH;
  }
  const ULONG biSize = caller->VideoInfoHeader.bmiHeader.biSize;
  if (biSize < sizeof(KS_BITMAPINFOHEADER) || kRangeOverhead + biSize > callerRange->FormatSize) {
    OVRA_LOG(kLogTrace, "exit CCapturePin::IntersectHandler INVALID_PARAMETER\n");
    return STATUS_INVALID_PARAMETER;
  }
  const ULONG resultSize = ULONG(kFormatOverhead) + biSize;
  if (bufferSize == 0) {
    *dataSize = resultSize;
    OVRA_LOG(kLogVerbose, "exit CCapturePin::IntersectHandler BUFFER_OVERFLOW\n");
    return STATUS_BUFFER_OVERFLOW;
  }
  if (bufferSize < resultSize) {
    OVRA_LOG(kLogTrace, "exit CCapturePin::IntersectHandler BUFFER_TOO_SMALL\n");
    return STATUS_BUFFER_TOO_SMALL;
  }

  auto* result = static_cast<PKS_DATAFORMAT_VIDEOINFOHEADER>(data);
  memcpy(&result->DataFormat, matchingRange, sizeof(KSDATAFORMAT));
  result->DataFormat.FormatSize = resultSize;
  memcpy(&result->VideoInfoHeader, &caller->VideoInfoHeader, kFormatHeaderBytes + biSize);
  KS_VIDEOINFOHEADER& info = result->VideoInfoHeader;
  KS_BITMAPINFOHEADER& bmi = info.bmiHeader;

  // Fit the format to the camera.
  CCameraDevice* device = DeviceOf(context);
  if (device != nullptr) {
    const ULONG flags = device->ModelFlags;
    if (flags & kModel60Hz) info.AvgTimePerFrame = kInterval60Hz;
    if (flags & kModel50Hz) info.AvgTimePerFrame = kInterval50Hz;
    if ((flags & (kModel60Hz | kModel50Hz)) && device->AltSetting == 1 && device->Allow720 == 0 &&
        bmi.biWidth > 640) {
      bmi.biWidth = 640;
      if (info.rcSource.right != 0) info.rcSource.right = 640;
    }
    if (device->ModelType == 3) {
      const ULONG hz = LineFrequencyFromRegister(device, 8, 0x40, 60, 50);
      bmi.biHeight = hz == 50 ? 576 : 480;
      if (bmi.biWidth > 704) bmi.biWidth = 704;
      if (info.rcSource.right != 0) info.rcSource.right = bmi.biWidth;
      if (info.rcSource.bottom != 0) info.rcSource.bottom = bmi.biHeight;
    } else if (device->ModelType == 6 && (flags & kModelInterlaced)) {
      const ULONG hz = LineFrequencyFromRegister(device, 0xA0, 0x01, 50, 60);
      bmi.biWidth = 640;
      bmi.biHeight = hz == 50 ? 576 : 480;
      if (info.rcSource.right != 0) info.rcSource.right = 640;
      if (info.rcSource.bottom != 0) info.rcSource.bottom = bmi.biHeight;
    }
    // The still pin takes the capture pin's size while a filter holds the camera.
    if (pinInstance->PinId == kStillPinId && device->VidPid != kStillSizeFreeKey) {
      PinLockHolder lock(device);
      if (device->OwnerFilter != nullptr && (bmi.biWidth != device->VideoInfo.bmiHeader.biWidth ||
                                             bmi.biHeight != device->VideoInfo.bmiHeader.biHeight)) {
        OVRA_LOG(kLogTrace, "CCapturePin::IntersectHandler pin 1 nomatch pin 0\n");
        return STATUS_NO_MATCH;
      }
    }
  }
  // Whole lines of 32-bit units; a size beyond 32 bits is no format.
  const ULONGLONG stride = ((ULONGLONG(bmi.biBitCount) * ULONGLONG(bmi.biWidth > 0 ? bmi.biWidth : 0) + 31) / 8) & ~3ull;
  const ULONGLONG image = stride * Magnitude(bmi.biHeight);
  if (bmi.biWidth <= 0 || image == 0 || image > 0xFFFFFFFFull) {
    OVRA_LOG(kLogTrace, "exit CCapturePin::IntersectHandler INVALID_PARAMETER\n");
    return STATUS_INVALID_PARAMETER;
  }
  bmi.biSizeImage = ULONG(image);
  result->DataFormat.SampleSize = ULONG(image);
  *dataSize = resultSize;
  OVRA_LOG(kLogVerbose, "exit CCapturePin::IntersectHandler SUCCESS\n");
  return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// State machine.

NTSTATUS CCapturePin::DispatchSetState(PKSPIN pin, KSSTATE toState, KSSTATE fromState) {
  auto* object = static_cast<CCapturePin*>(pin->Context);
  return object != nullptr ? object->SetState(toState, fromState) : STATUS_INVALID_DEVICE_STATE;
}

NTSTATUS CCapturePin::DispatchProcess(PKSPIN pin) {
  auto* object = static_cast<CCapturePin*>(pin->Context);
  return object != nullptr ? object->Process() : STATUS_PENDING;
}

NTSTATUS CCapturePin::SetState(KSSTATE target, KSSTATE previous) {
  PAGED_CODE();
  OVRA_LOG(kLogTrace, "enter CCapturePin::SetState(%d<-%d)\n", target, previous);
  NTSTATUS status = STATUS_SUCCESS;
  switch (target) {
    case KSSTATE_STOP: {
      if (RunState != kPinStopped) {
        if (OwnsHardware) status = Device->Stop();
        RunState = kPinStopped;
      }
      OVRA_LOG(kLogTrace, "%s pin statistics:\n", Pin->Id != kCapturePinId ? "Still" : "Capture");
      OVRA_LOG(kLogTrace, "%8d frames processed.\n", FramesProcessed);
      OVRA_LOG(kLogTrace, "%8d frames dropped.\n", FramesDropped);
      OVRA_LOG(kLogTrace, "%8d packets dropped.\n", PacketsDropped);
      OVRA_LOG(kLogTrace, "%8d EAV sync errors.\n", EavSyncErrors);
      // Once unregistered the frame router no longer reaches this pin, so
      // its clock can go.
      if (Device != nullptr) Device->UnregisterPin(ParentFilterOf(Pin), Pin->Id);
      OwnsHardware = 0;
      if (ReferenceClock != nullptr) {
        ReferenceClock->Release();
        ReferenceClock = nullptr;
      }
      break;
    }
    case KSSTATE_ACQUIRE:
      if (previous == KSSTATE_STOP) {
        OwnsHardware = 0;
        FramesProcessed = FramesDropped = PacketsDropped = EavSyncErrors = 0;
        SnapshotHoldoff = 0;
        X = Y = 0;
        FirstFieldDone = 0;
        FieldStarted = 0;
        if (Device == nullptr) {
          status = STATUS_DEVICE_NOT_READY;
          break;
        }
        status = Device->RegisterPin(ParentFilterOf(Pin), Pin->Id, &KeptHeader, this);
        if (NT_SUCCESS(status)) {
          OwnsHardware = status == STATUS_SUCCESS;
          // "Already acquired for this filter" is a success, not a result.
          status = STATUS_SUCCESS;
          if (!NT_SUCCESS(KsPinGetReferenceClockInterface(Pin, &ReferenceClock))) ReferenceClock = nullptr;
        }
      } else if (RunState != kPinStopped) {
        if (OwnsHardware) status = Device->Stop();
        RunState = kPinStopped;
      }
      break;
    case KSSTATE_PAUSE:
      Started = 0;
      if (previous == KSSTATE_RUN) {
        if (OwnsHardware) {
          status = Device->Pause(TRUE);
          if (!NT_SUCCESS(status)) break;
        }
        RunState = kPinPaused;
      }
      break;
    case KSSTATE_RUN:
      if (OwnsHardware) {
        status = RunState == kPinPaused ? Device->Pause(FALSE) : Device->Start();
        if (!NT_SUCCESS(status)) break;
      }
      RunState = kPinRunning;
      break;
    default:
      break;
  }
  OVRA_LOG(kLogTrace, "exit CCapturePin::SetState (%08x)\n", status);
  return status;
}

NTSTATUS CCapturePin::Process() {
  PAGED_CODE();
  OVRA_LOG(kLogVerbose, "CCapturePin::Process\n");
  if (Started) return STATUS_PENDING;
  if (OwnsHardware) Device->Trigger();
  Started = 1;
  return STATUS_PENDING;
}
