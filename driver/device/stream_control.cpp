// Device stream control: pins bind to the device, the first pin of one filter
// acquires the hardware and drives it, every other filter is kept out, and the
// last pin to leave releases it.
//
// Registration and the PASSIVE readers of Pins hold PinLock, a mutex of the
// device's own (ks.sys takes its device mutex before the filters' control
// mutexes, so that one cannot be used here). The frame router reads Pins and
// RouteTarget at DISPATCH_LEVEL without a lock; it counts itself in RouterCalls
// for each block, and UnregisterPin waits for that count to drain after it
// has cleared a slot, so that nothing touches a pin once it has left.
#include "camera_device.h"

#include "../heads/heads.h"
#include "../stream/capture_pin.h"

namespace {

constexpr ULONG kFourccUyvy = 0x59565955;
constexpr ULONG kAssemblerStartState = 8;  // skip to the next vertical blanking
constexpr ULONG kRegisters = 256;

// Registers the Alder head's timing program sets itself: never replayed.
constexpr UCHAR kNotRestored[] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x09, 0x0B, 0x0D, 0x1E, 0x20};

void PublishPointer(CCapturePin** slot, CCapturePin* value) {
  InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(slot), value);
}

// Returns once no block is being routed (seen at least once with none).
void WaitForRouter(CCameraDevice* device) {
  while (InterlockedCompareExchange(&device->RouterCalls, 0, 0) != 0) {
    LARGE_INTEGER interval;
    interval.QuadPart = -10000;  // 1 ms
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
  }
}

}  // namespace

NTSTATUS CCameraDevice::RegisterPin(CCaptureFilter* filter, ULONG pinId, const KS_VIDEOINFOHEADER* info,
                                    CCapturePin* pin) {
  PAGED_CODE();
  if (pinId >= RTL_NUMBER_OF(Pins) || pin == nullptr || info == nullptr) return STATUS_INVALID_PARAMETER;
  // Without a head object (a failed start) there is nothing to acquire.
  if (Hardware == nullptr) return STATUS_DEVICE_NOT_READY;

  PinLockHolder lock(this);
  NTSTATUS result;
  if (OwnerFilter != nullptr) {
    if (OwnerFilter != filter) return STATUS_SHARING_VIOLATION;
    if (Pins[pinId] != nullptr) return STATUS_SHARING_VIOLATION;
    // The pin that acquired the hardware may have left while the other pin
    // stayed: then this one takes over driving it.
    result = DriverPin == kNoDriverPin ? STATUS_SUCCESS : NTSTATUS(1);
  } else {
    result = AcquireHardwareResources(info);
    if (!NT_SUCCESS(result)) return result;
    OwnerFilter = filter;
  }
  if (result == STATUS_SUCCESS) DriverPin = pinId;
  PublishPointer(&Pins[pinId], pin);
  return result;
}

void CCameraDevice::UnregisterPin(CCaptureFilter* filter, ULONG pinId) {
  PAGED_CODE();
  if (pinId >= RTL_NUMBER_OF(Pins)) return;
  PinLockHolder lock(this);
  if (filter == nullptr || filter != OwnerFilter) return;

  CCapturePin* pin = Pins[pinId];
  if (pin != nullptr) {
    // Once the slot is clear no new routing step can pick this pin; a step
    // that read the slot before may still make it RouteTarget, so wait for
    // those, then clear RouteTarget, then wait for the blocks that took it.
    PublishPointer(&Pins[pinId], nullptr);
    WaitForRouter(this);
    InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(&RouteTarget), nullptr, pin);
    WaitForRouter(this);
    // The counts are final now that no block reaches the pin.
    if (pinId == kCapturePinId) {
      SavedFramesProcessed = pin->FramesProcessed;
      SavedFramesDropped = pin->FramesDropped;
    }
  }
  if (DriverPin == pinId) DriverPin = kNoDriverPin;

  if (Pins[0] == nullptr && Pins[1] == nullptr) {
    ReleaseHardwareResources();
    OwnerFilter = nullptr;
    DriverPin = kNoDriverPin;
  }
}

NTSTATUS CCameraDevice::AcquireHardwareResources(const KS_VIDEOINFOHEADER* info) {
  PAGED_CODE();
  OVRA_LOG(kLogTrace, "enter CCameraDevice::AcquireHardwareResources\n");
  VideoInfo = *info;
  if (VideoInfo.bmiHeader.biBitCount != 16 || VideoInfo.bmiHeader.biCompression != kFourccUyvy) {
    OVRA_LOG(kLogTrace, "exit2 CCameraDevice::AcquireHardwareResources %08x\n", STATUS_INVALID_PARAMETER);
    return STATUS_INVALID_PARAMETER;
  }
  if (Hardware == nullptr) {
    OVRA_LOG(kLogTrace, "exit1 CCameraDevice::AcquireHardwareResources %08x\n", STATUS_DEVICE_NOT_READY);
    return STATUS_DEVICE_NOT_READY;
  }

  Hardware->SetCameraPower(TRUE);
  SnapshotMode = 0;
  // A still requested before this acquisition belongs to no stream of it.
  InterlockedAnd(reinterpret_cast<LONG volatile*>(&RouteFlags), ~LONG(kRouteStillNext));

  const NTSTATUS status = Hardware->AcquireResources(UCHAR(AltSetting));
  if (!NT_SUCCESS(status)) {
    OVRA_LOG(kLogTrace, "exit3 CCameraDevice::AcquireHardwareResources %08x\n", status);
    // Nothing stays acquired: whatever the head set up before it failed goes
    // too (the next acquisition configures the device afresh).
    Hardware->ReleaseResources();
    Hardware->SetCameraPower(FALSE);
    return status;
  }

  Hardware->SetFormat(&VideoInfo);
  Hardware->SetupTiming(ShutterSpeed);

  for (UCHAR reg : kNotRestored) RestoreMask[reg >> 5] &= ~(1u << (reg & 31));
  if (ModelType == kModelAlder) {
    for (ULONG reg = 0; reg < kRegisters; ++reg) {
      if ((RestoreMask[reg >> 5] >> (reg & 31)) & 1) Hardware->SetRegister(USHORT(reg), RegisterCache[reg]);
    }
  }

  OVRA_LOG(kLogTrace, "exit CCameraDevice::AcquireHardwareResources %08x\n", status);
  return status;
}

void CCameraDevice::ReleaseHardwareResources() {
  PAGED_CODE();
  OVRA_LOG(kLogTrace, "CCameraDevice::ReleaseHardwareResources\n");
  if (Hardware == nullptr) return;
  Hardware->SetCameraPower(FALSE);
  Hardware->ReleaseResources();
}

NTSTATUS CCameraDevice::Start() {
  PAGED_CODE();
  OVRA_LOG(kLogTrace, "CCameraDevice::Start\n");
  if (Hardware == nullptr) return STATUS_DEVICE_NOT_READY;
  // The reader is stopped: nothing routes while these are reset. A run that
  // follows an earlier one begins as cleanly as the first.
  RoutedBytes = 0;
  RoutedPackets = 0;
  AssemblerState = kAssemblerStartState;
  AssemblerContext = 0;  // no carried-over code bytes to parse
  RtlZeroMemory(CarriedCode, sizeof(CarriedCode));
  RouteFlags = 0;
  {
    PinLockHolder lock(this);
    for (CCapturePin* pin : Pins) {
      if (pin == nullptr) continue;
      pin->PendingInterleave = Interleave;
      pin->ActiveInterleave = Interleave;
      pin->X = 0;
      pin->Y = 0;
      pin->FirstFieldDone = 0;
      pin->FieldStarted = 0;
      pin->CurrentF = 0;
      pin->Skipping = 0;
    }
    PublishPointer(&RouteTarget, Pins[kCapturePinId]);
  }
  return Hardware->Start();
}

NTSTATUS CCameraDevice::Stop() {
  PAGED_CODE();
  OVRA_LOG(kLogTrace, "CCameraDevice::Stop\n");
  if (Hardware == nullptr) return STATUS_DEVICE_NOT_READY;
  return Hardware->Stop();
}

NTSTATUS CCameraDevice::Pause(BOOLEAN pause) {
  PAGED_CODE();
  OVRA_LOG(kLogTrace, "CCameraDevice::Pause\n");
  if (Hardware == nullptr) return STATUS_DEVICE_NOT_READY;
  return Hardware->Pause(pause);
}

void CCameraDevice::Trigger() {
  PAGED_CODE();
  OVRA_LOG(kLogTrace, "CCameraDevice::Trigger\n");
  if (Hardware != nullptr) Hardware->Trigger();
}

NTSTATUS CCameraDevice::GetDroppedFrames(PKSPROPERTY_DROPPEDFRAMES_CURRENT_S frames) {
  PAGED_CODE();
  PinLockHolder lock(this);
  const CCapturePin* pin = Pins[kCapturePinId] != nullptr ? Pins[kCapturePinId] : Pins[kStillPinId];
  const ULONG processed = pin != nullptr ? pin->FramesProcessed : SavedFramesProcessed;
  const ULONG dropped = pin != nullptr ? pin->FramesDropped : SavedFramesDropped;
  frames->PictureNumber = LONGLONG(ULONGLONG(processed));
  frames->DropCount = LONGLONG(ULONGLONG(dropped));
  frames->AverageFrameSize = 0;
  return STATUS_SUCCESS;
}

NTSTATUS CCameraDevice::SetInterleave(const ULONG* value) {
  PAGED_CODE();
  if ((ModelFlags & kModelInterlaced) == 0) return STATUS_UNSUCCESSFUL;
  if (*value > 2) return STATUS_INVALID_PARAMETER;
  Interleave = *value;
  {
    PinLockHolder lock(this);
    // While the hardware streams, a pin's active mode changes only at its
    // next frame boundary (from the pending value), never in mid-field.
    const bool streaming = Hardware != nullptr && Hardware->m_State != kStreamStopped;
    for (CCapturePin* pin : Pins) {
      if (pin == nullptr) continue;
      pin->PendingInterleave = Interleave;
      if (!streaming && pin != RouteTarget) pin->ActiveInterleave = Interleave;
    }
  }
  WriteConfiguration();
  return STATUS_SUCCESS;
}
