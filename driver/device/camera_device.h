// CCameraDevice: one per camera, the Context of its KSDEVICE.
#pragma once

#include "../common/common.h"
#include "../stream/capture_filter.h"  // the raw register request record

// Status codes of the device operations that not every platform header names.
#ifndef STATUS_ILLEGAL_FUNCTION
#define STATUS_ILLEGAL_FUNCTION ((NTSTATUS)0xC00000AFL)
#endif
#ifndef STATUS_DEVICE_NOT_READY
#define STATUS_DEVICE_NOT_READY ((NTSTATUS)0xC00000A3L)
#endif
#ifndef STATUS_SHARING_VIOLATION
#define STATUS_SHARING_VIOLATION ((NTSTATUS)0xC0000043L)
#endif
#ifndef STATUS_INTEGER_OVERFLOW
#define STATUS_INTEGER_OVERFLOW ((NTSTATUS)0xC0000095L)
#endif

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

// Generic head configuration, built from the registry at each full start
// (two passes over the Resolution keys: count, then fill) and freed with the
// device object or at the next start.
struct GenericHeadConfig {
  CCameraDevice* Owner;
  PLONG Resolutions;  // N, then N (width, height) pairs
  UCHAR CountingPass;
  LONG SequenceCount;  // counted, then the records filled
  LONG SequenceBytes;  // total of the counting pass: the size of SequenceBuffer
  PUCHAR SequenceBuffer;
  I2cSequenceRecord* Sequences;
  LONG FillOffset;
  UCHAR Camera;
  USHORT RegisterWidth;
  USHORT DataWidth;
  LONG SequenceCapacity;  // records allocated in Sequences

  // The resolution list of `count` zeroed entries, its first entry count.
  NTSTATUS Initialize(CCameraDevice* owner, ULONG count);
  // Allocates the tables the counting pass sized and starts the filling pass.
  NTSTATUS AllocateSequences();
  // RtlQueryRegistryValues callback for one value of a Resolution key;
  // context = this record, entry context = the resolution index.
  static NTSTATUS QueryRoutine(PWSTR name, ULONG type, PVOID data, ULONG length, PVOID context,
                               PVOID entryContext);
  void FreeSequences();
  // Frees every table and returns to the state of a new device object.
  void Free();
};


// DriverPin when no registered pin drives the hardware.
constexpr ULONG kNoDriverPin = 0xFFFFFFFF;

class CCameraDevice {
 public:
  explicit CCameraDevice(PKSDEVICE device);

  // The frame router: every block of video data the head object passes on
  // while the stream runs. Slot 0, the only virtual operation.
  virtual void HandleVideoData(PUCHAR data, ULONG length);

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

  // --- registry configuration ---
  NTSTATUS ReadConfiguration();
  void ReadResolutions(ULONG count);
  NTSTATUS WriteConfiguration();
  static void WriteRegistryValue(HANDLE key, PCWSTR name, ULONG value);

  // --- stream control: pins bind to the device, the first drives the hardware ---
  // 0: this pin acquired (or took over) the hardware and drives it; 1: a pin
  // of the same filter drives it; an error: refused.
  NTSTATUS RegisterPin(CCaptureFilter* filter, ULONG pinId, const KS_VIDEOINFOHEADER* info, CCapturePin* pin);
  // After it returns the frame router no longer touches the pin.
  void UnregisterPin(CCaptureFilter* filter, ULONG pinId);
  NTSTATUS AcquireHardwareResources(const KS_VIDEOINFOHEADER* info);
  void ReleaseHardwareResources();
  NTSTATUS Start();
  NTSTATUS Stop();
  NTSTATUS Pause(BOOLEAN pause);
  void Trigger();
  NTSTATUS GetDroppedFrames(PKSPROPERTY_DROPPEDFRAMES_CURRENT_S frames);

  // --- camera operations behind the property and method sets ---
  NTSTATUS GetI2CData(I2cRequestRecord* request);
  NTSTATUS SetI2CData(const I2cRequestRecord* request);
  NTSTATUS GetAltSetting(PULONG value);
  NTSTATUS SetAltSetting(LONG value);
  NTSTATUS GetExposure(PULONG value);
  NTSTATUS SetExposure(ULONG value);
  NTSTATUS GetInterleave(PULONG value);
  NTSTATUS SetInterleave(const ULONG* value);
  NTSTATUS GetProductId(PULONG value);
  NTSTATUS GetStatusBit(PULONG value);
  NTSTATUS SetCameraPower(UCHAR on);
  NTSTATUS SendOSDCommand(LONG command);
  NTSTATUS LoadFirmware(const UCHAR* image, SIZE_T length);
  NTSTATUS HoldBridgeReset(UCHAR hold);
  NTSTATUS ReadFx2Eeprom(ULONG address, ULONG length, PUCHAR buffer);
  NTSTATUS WriteFx2Eeprom(ULONG address, ULONG length, const UCHAR* data);

  // --- stills on request (driver/stream/still.cpp) ---
  NTSTATUS TakeSnapshot();
  NTSTATUS SetSnapshotMode(UCHAR on);
  UCHAR GetSnapshotMode();

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

  // Serialises pin registration, firmware download and the PASSIVE readers
  // of Pins (a kernel mutex, recursive; never held while taking a ks.sys mutex).
  KMUTEX PinLock;
  // Pin id whose registration acquired the hardware and drives it, or
  // kNoDriverPin. Written under PinLock.
  ULONG DriverPin;
  // Blocks the frame router is routing right now: it increments this
  // (interlocked) before it loads RouteTarget for a block and decrements it
  // when done with the block; UnregisterPin waits for 0 after clearing a slot.
  volatile LONG RouterCalls;
  // Power-ons sent by applications (method), not yet matched by an off.
  // Changed with interlocked operations (PASSIVE callers, no lock).
  LONG volatile AppPowerCount;

  // --- frame router (driver/stream/assembler.cpp) ---
  // Starts the trigger hold-off after a still request (completion path or PASSIVE_LEVEL).
  void NotifySnapshot();
  // The 1 to 3 bytes of a timing code split by a block end, right-aligned;
  // AssemblerContext is minus the number still to be parsed. Written and read
  // only by the router path (one block at a time).
  UCHAR CarriedCode[3];
  // The trigger bit's value at the last change seen on this camera's stream
  // (initially 0). Read and written only by the frame router's path, which
  // the reader runs one block at a time.
  UCHAR LastSnapshotBit;
  // Blocks dropped because no pin was there to take them (router path only).
  ULONG UnroutedBlocks;

 protected:
  ~CCameraDevice() = default;
};

// Holds the device's pin lock (PinLock) for a scope: the registration of pins
// (OwnerFilter, Pins, VideoInfo) changes and is read only under it.
class PinLockHolder {
 public:
  explicit PinLockHolder(CCameraDevice* device) : device_(device) {
    KeWaitForSingleObject(&device_->PinLock, Executive, KernelMode, FALSE, nullptr);
  }
  ~PinLockHolder() { KeReleaseMutex(&device_->PinLock, FALSE); }
  PinLockHolder(const PinLockHolder&) = delete;
  PinLockHolder& operator=(const PinLockHolder&) = delete;

 private:
  CCameraDevice* device_;
};
