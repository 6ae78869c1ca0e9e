// Stills on request: the snapshot method, the video-control trigger flag and
// the snapshot mode of Alder heads. The frame router does the routing.
#include "stream.h"

#include "../device/camera_device.h"
#include "../usb/hardware.h"

namespace {

constexpr ULONG kBirch = 2;
constexpr ULONG kAlder = 1;
constexpr USHORT kBirchTakeStill = 0x13;
constexpr USHORT kAlderRestartFrames = 0x0B;
constexpr LONGLONG kStillWait = -2500000;  // 250 ms, relative

// The route flags are shared with the frame router (DISPATCH_LEVEL), so they
// change with interlocked operations.
void SetRouteFlags(CCameraDevice* device, ULONG bits) {
  InterlockedOr(reinterpret_cast<LONG volatile*>(&device->RouteFlags), LONG(bits));
}
void ClearRouteFlags(CCameraDevice* device, ULONG bits) {
  InterlockedAnd(reinterpret_cast<LONG volatile*>(&device->RouteFlags), LONG(~bits));
}

}  // namespace

NTSTATUS CCameraDevice::TakeSnapshot() {
  PAGED_CODE();
  OVRA_LOG(kLogTrace, "CCameraDevice::TakeSnapshot\n");
  if (ModelType == kBirch) {
    // Wait for the frame in progress to end (or 250 ms), then have the head
    // take the still: it arrives one frame later.
    KeClearEvent(&StillEvent);
    StillWait = 1;
    LARGE_INTEGER timeout;
    timeout.QuadPart = kStillWait;
    KeWaitForSingleObject(&StillEvent, UserRequest, KernelMode, FALSE, &timeout);
    if (Hardware != nullptr) Hardware->SetRegister(kBirchTakeStill, 1);
  }
  SetRouteFlags(this, kRouteStillNext);
  NotifySnapshot();
  if (ModelType == kAlder && SnapshotMode != 0 && Hardware != nullptr) Hardware->SetRegister(kAlderRestartFrames, 1);
  return STATUS_SUCCESS;
}

NTSTATUS CCameraDevice::SetSnapshotMode(UCHAR on) {
  PAGED_CODE();
  OVRA_LOG(kLogTrace, "CCameraDevice::SetSnapshotMode(%d)\n", on);
  if (ModelType != kAlder) return STATUS_UNSUCCESSFUL;
  if (Hardware == nullptr) return STATUS_DEVICE_NOT_READY;
  SnapshotMode = on;
  if (on != 0) {
    Hardware->SetSnapshotMode(TRUE);
    // From the next frame boundary on, every frame goes to the still pin.
    SetRouteFlags(this, kRouteStillNext);
  } else {
    // Decide again before the next block: back to the capture pin.
    ClearRouteFlags(this, kRouteStillNext);
    SetRouteFlags(this, kRouteDue);
    Hardware->SetSnapshotMode(FALSE);
  }
  return STATUS_SUCCESS;
}

UCHAR CCameraDevice::GetSnapshotMode() {
  PAGED_CODE();
  OVRA_LOG(kLogTrace, "CCameraDevice::GetSnapshotMode -- %d\n", SnapshotMode);
  return SnapshotMode;
}
