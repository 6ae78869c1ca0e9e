// CUSBHardware: the camera-head object, one per started camera. The base owns
// the USB side (configuration, the continuous reader of the video pipe, the
// stream state, the data hook to the device's frame router) and the I2C and
// control channel; the head classes add the register protocol and timing.
#pragma once

#include "../common/common.h"
#include "vendor_requests.h"

class CCameraDevice;
class ContinuousReader;

// Stream states (m_State).
enum StreamState : LONG {
  kStreamStopped = 0,
  kStreamPaused = 1,
  kStreamRunning = 2,
};

class CUSBHardware {
 public:
  CUSBHardware(CCameraDevice* owner, PKSDEVICE device);

  // Builds the head object for a model type (0..8), or null.
  static CUSBHardware* CreateHardware(CCameraDevice* owner, PKSDEVICE device, ULONG modelType);

  // --- virtual operations, in slot order ---
  // Slot 0: video bytes from the reader; passed to the frame router while running.
  virtual void HandleData(PUCHAR data, ULONG length);
  // Slot 1: reads one register; device 0 is the head's default device.
  virtual USHORT GetI2CData(UCHAR device, USHORT reg) = 0;
  // Slot 2: writes one register; device 0 is the head's default device.
  virtual void SetI2CData(UCHAR device, USHORT reg, USHORT value) = 0;
  // Slot 3: records width, height and frame period of the format.
  virtual void SetFormat(const KS_VIDEOINFOHEADER* info);
  // Slot 4: programs the head for the recorded format.
  virtual void SetupTiming(ULONG shutter) = 0;
  // Slot 5: capture-mode code for the port byte.
  virtual ULONG GetWidthSetting();
  // After the six slots: the owner destroys every head through the base, so
  // destruction is virtual.
  virtual ~CUSBHardware();

  // --- USB device access ---
  NTSTATUS CallUSBD(PURB urb);
  NTSTATUS GetDescriptors();
  static PUSB_DEVICE_DESCRIPTOR GetDeviceDescriptor(PDEVICE_OBJECT lowerDevice);
  NTSTATUS SelectConfiguration();
  NTSTATUS SelectInterface(UCHAR interfaceNumber, UCHAR alternateSetting);
  NTSTATUS SubmitVendorRequest(PVOID buffer, ULONG length, BOOLEAN deviceToHost, UCHAR request, USHORT index,
                               USHORT value);

  // --- lifecycle ---
  NTSTATUS AcquireResources(UCHAR alternateSetting);
  NTSTATUS Start();
  NTSTATUS Pause(BOOLEAN pause);
  NTSTATUS Stop();
  NTSTATUS ReleaseResources();
  // Surprise removal and removal: refuses every later vendor request, stops
  // the reader and waits until none of its transfers, ticks or work items
  // runs any more. Called before the removal goes down the stack.
  void DeviceRemoved();

  // --- I2C and control channel ---
  void SetCameraPower(BOOLEAN on);
  void Trigger();
  void SendOSDCommand(UCHAR command);
  ULONG GetStatusBit();
  void SetRegister(USHORT reg, USHORT value);
  void SetSnapshotMode(BOOLEAN on);

  // One I2C message in progress, on the caller's stack.
  class I2CTool {
   public:
    explicit I2CTool(CUSBHardware* hw) : hardware(hw), status(STATUS_SUCCESS) {}
    void Write(UCHAR flags, UCHAR byte);
    UCHAR Read(UCHAR flags);
    CUSBHardware* hardware;
    NTSTATUS status;
  };

  // One three-bit command clocked out on the port byte's data and clock lines.
  class PiximTool {
   public:
    PiximTool(CUSBHardware* hw, UCHAR portBase) : hardware(hw), base(portBase) {}
    void SendBit(UCHAR clock, UCHAR data);
    void Start();
    void SendCommand(UCHAR command);
    CUSBHardware* hardware;
    UCHAR base;
  };

  // --- fields, in order ---
  PKSDEVICE m_Device;
  // Written once, by DeviceRemoved at PASSIVE_LEVEL; read without a lock by
  // every vendor request (a byte: a request racing the removal fails in the
  // USB stack instead).
  BOOLEAN m_Removed;
  PUSBD_INTERFACE_INFORMATION* m_Interfaces;
  PUSBD_PIPE_INFORMATION m_Pipes[4];
  PUSB_DEVICE_DESCRIPTOR m_DeviceDescriptor;
  PUSB_CONFIGURATION_DESCRIPTOR m_ConfigDescriptor;
  LONG m_NumInterfaces;
  LONG m_NumPipes;
  UCHAR m_AlternateSetting;
  USBD_CONFIGURATION_HANDLE m_ConfigHandle;
  BOOLEAN m_Configured;
  LONG m_ResourcesAcquired;
  LONG volatile m_PowerCount;
  UCHAR m_Triggered;
  LONG m_Width;
  LONG m_Height;
  LONGLONG m_FramePeriod;
  ULONG m_PowerDelayMs;
  ContinuousReader* m_Reader;
  KSPIN_LOCK m_Lock;
  LONG volatile m_State;
  CCameraDevice* m_Owner;
  // Serialises register accesses of different callers, so that the I2C
  // messages of two accesses never interleave on the bus. Recursive: a timing
  // program holds it across its own accesses.
  KMUTEX m_RegisterLock;
};

// Holds a head's register lock for one register access (PASSIVE_LEVEL).
class RegisterAccessLock {
 public:
  explicit RegisterAccessLock(CUSBHardware* hw);
  ~RegisterAccessLock();
  RegisterAccessLock(const RegisterAccessLock&) = delete;
  RegisterAccessLock& operator=(const RegisterAccessLock&) = delete;

 private:
  CUSBHardware* hardware_;
};
