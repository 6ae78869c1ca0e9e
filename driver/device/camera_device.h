// CCameraDevice: one per camera, the Context of its KSDEVICE.
#pragma once

#include "../common/common.h"

class CUSBHardware;
class CCapturePin;
class CCaptureFilter;
class CCameraDevice;

// One I2C message of the Generic head, built from the registry.
struct I2cSequenceRecord {
  LONG ResolutionIndex;
  LONG SequenceNumber;
  PUCHAR Bytes;  // into the sequence buffer
  LONG Count;
};

// Generic head configuration, built from the registry.
struct GenericHeadConfig {
  CCameraDevice* Owner;
  PLONG Resolutions;  // N, then N (width, height) pairs
  UCHAR CountingPass;
  LONG SequenceCount;
  LONG SequenceBytes;
  PUCHAR SequenceBuffer;
  I2cSequenceRecord* Sequences;
  LONG FillOffset;
  UCHAR Camera;
  USHORT RegisterWidth;
  USHORT DataWidth;
};

class CCameraDevice {
 public:
  explicit CCameraDevice(PKSDEVICE device);

  // The frame router: every block of video data the head object passes on
  // while the stream runs. Slot 0, the only virtual operation.
  virtual void HandleVideoData(PUCHAR data, ULONG length) = 0;

  // --- device dispatch callbacks: static forwarders to the members below ---
  static NTSTATUS DispatchCreate(PKSDEVICE device);
  static NTSTATUS DispatchStart(PKSDEVICE device, PIRP irp, PCM_RESOURCE_LIST translated,
                                PCM_RESOURCE_LIST untranslated);
  static void DispatchStop(PKSDEVICE device, PIRP irp);
  static void DispatchRemove(PKSDEVICE device, PIRP irp);
  // Object-bag free routines for the device object and the head object; null is ignored.
  static void DeleteDevice(PVOID object);
  static void DeleteHardware(PVOID object);

  NTSTATUS PnpStart(PIRP irp, PCM_RESOURCE_LIST translated, PCM_RESOURCE_LIST untranslated);
  void PnpStop();
  void PnpRemove();
  // The model's resolution list (count, then width/height pairs); never null.
  const LONG* GetResolutions();

  PKSDEVICE KsDevice;
  CUSBHardware* Hardware;
  ULONG RoutedPackets;
  ULONGLONG RoutedBytes;
  ULONG ModelType;
  ULONG LineFrequency;
  ULONG ModelFlags;
  ULONG AltSetting;
  ULONG Allow720;
  ULONG VidPid;
  GenericHeadConfig GenericConfig;
  ULONG Interleave;
  ULONG ShutterSpeed;
  UCHAR SnapshotMode;
  ULONG SavedFramesProcessed;
  ULONG SavedFramesDropped;
  USHORT RegisterCache[256];
  ULONG RestoreMask[8];
  ULONG CacheValid[8];
  CCaptureFilter* OwnerFilter;
  CCapturePin* Pins[2];
  CCapturePin* RouteTarget;
  ULONG RouteFlags;
  ULONG AssemblerState;
  LONGLONG AssemblerContext;
  KS_VIDEOINFOHEADER VideoInfo;
  UCHAR StillWait;
  KEVENT StillEvent;
  ULONG Register12[6];

 protected:
  ~CCameraDevice() = default;
};
