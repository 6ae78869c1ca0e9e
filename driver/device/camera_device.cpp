// CCameraDevice: construction with the initial state of a newly added camera,
// its creation by the Add callback, stop, removal and the object-bag free
// routines of the device object and the head object.
#include "camera_device.h"

#include "../usb/hardware.h"

CCameraDevice::CCameraDevice(PKSDEVICE device)
    : KsDevice(device),
      Hardware(nullptr),
      RoutedPackets(0),
      RoutedBytes(0),
      ModelType(0),
      LineFrequency(0),
      ModelFlags(0),
      AltSetting(0),
      Allow720(0),
      VidPid(0),
      GenericConfig{},
      Interleave(2),
      ShutterSpeed(1600000),
      SnapshotMode(0),
      SavedFramesProcessed(0),
      SavedFramesDropped(0),
      RegisterCache{},
      RestoreMask{},
      CacheValid{},
      OwnerFilter(nullptr),
      Pins{},
      RouteTarget(nullptr),
      RouteFlags(0),
      AssemblerState(0),
      AssemblerContext(0),
      VideoInfo{},
      StillWait(0),
      StillEvent{},
      Register12{},
      PinLock{},
      DriverPin(kNoDriverPin),
      RouterCalls(0),
      AppPowerCount(0) {
  GenericConfig.CountingPass = 1;
  LastSnapshotBit = 0;
  KeInitializeEvent(&StillEvent, NotificationEvent, FALSE);
  KeInitializeMutex(&PinLock, 0);
}

NTSTATUS CCameraDevice::DispatchCreate(PKSDEVICE device) {
  PAGED_CODE();
  OVRA_LOG(kLogTrace, "enter CCameraDevice::DispatchCreate\n");
  void* memory = AllocateZeroed(sizeof(CCameraDevice));
  if (memory == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  CCameraDevice* self = new (memory, Placement::At) CCameraDevice(device);

  KsAcquireDevice(device);
  const NTSTATUS status = KsAddItemToObjectBag(device->Bag, self, DeleteDevice);
  KsReleaseDevice(device);
  if (!NT_SUCCESS(status)) {
    DeleteDevice(self);
  } else {
    device->Context = self;
  }
  OVRA_LOG(kLogTrace, "exit CCameraDevice::DispatchCreate(%08x)\n", status);
  return status;
}

void CCameraDevice::PnpStop() {
  PAGED_CODE();
  // The filter factory was created with KSCREATE_ITEM_FREEONSTOP; nothing to undo.
  OVRA_LOG(kLogTrace, "CCameraDevice::PnpStop\n");
}

void CCameraDevice::PnpRemove() {
  PAGED_CODE();
  OVRA_LOG(kLogTrace, "CCameraDevice::PnpRemove\n");
  // From now on every vendor request to the camera fails at once, and no
  // transfer, tick or work item of the reader is left when ks.sys passes the
  // removal down.
  if (Hardware != nullptr) Hardware->DeviceRemoved();
}

void CCameraDevice::DeleteDevice(PVOID object) {
  PAGED_CODE();
  if (object == nullptr) return;
  CCameraDevice* self = static_cast<CCameraDevice*>(object);
  self->GenericConfig.Free();
  self->CCameraDevice::~CCameraDevice();
  ExFreePool(self);
}

void CCameraDevice::DeleteHardware(PVOID object) {
  PAGED_CODE();
  if (object == nullptr) return;
  CUSBHardware* hardware = static_cast<CUSBHardware*>(object);
  hardware->~CUSBHardware();  // releases the USB resources it still holds
  ExFreePool(hardware);
}
