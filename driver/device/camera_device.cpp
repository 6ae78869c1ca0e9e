// CCameraDevice: construction with the initial state of a newly added camera.
#include "camera_device.h"

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
      Register12{} {
  GenericConfig.CountingPass = 1;
  KeInitializeEvent(&StillEvent, NotificationEvent, FALSE);
}
