// A camera on the emulated USB bus with an AVStream device above it, for
// tests of the driver's USB side and of the camera heads.
//
//   ovratest::UsbCamera camera(model);            // any host::usb::DeviceModel
//   auto* hw = camera.Make<MyHardware>();          // placement-built in pool memory
//   hw->AcquireResources(1); hw->Start(); host::sched::RunFor(...);
//   camera.owner->blocks / camera.owner->bytes     // what reached the frame router
//
// The destructor destroys the hardware objects still alive (releasing their
// USB resources through the bus), removes the device and the bus's physical
// device object, and leaves no pool block behind.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <host/api/host.h>
#include <host/api/ks.h>
#include <host/api/usbbus.h>

#include "driver/device/camera_device.h"
#include "driver/usb/hardware.h"

namespace ovratest {

// A CCameraDevice whose frame router records every block it receives.
class RecordingDevice final : public CCameraDevice {
 public:
  struct Block {
    const uint8_t* address = nullptr;  // where the block lay (valid only during the call)
    uint32_t length = 0;
    uint64_t streamOffset = 0;  // bytes delivered before this block
    int64_t time = 0;           // virtual time of the call
    KIRQL irql = 0;             // IRQL of the call
  };

  explicit RecordingDevice(PKSDEVICE device) : CCameraDevice(device) {}
  ~RecordingDevice() = default;

  void HandleVideoData(PUCHAR data, ULONG length) override;
  void Clear();

  bool keepBlocks = true;  // record each call in `blocks`
  bool keepBytes = true;   // append each block's bytes to `bytes`
  std::vector<Block> blocks;
  std::vector<uint8_t> bytes;
  uint64_t calls = 0;
  uint64_t totalBytes = 0;
  // Called for every block after it is recorded (at the caller's IRQL).
  std::function<void(const uint8_t* data, uint32_t length)> onBlock;
};

// The bus, the PnP manager and ks.sys around one camera, without the
// driver's own device dispatch: a test driver object whose Add callback
// makes a RecordingDevice the KSDEVICE's Context.
class UsbCamera {
 public:
  explicit UsbCamera(std::shared_ptr<host::usb::DeviceModel> model, std::string_view name = "usbcam");
  ~UsbCamera();
  UsbCamera(const UsbCamera&) = delete;
  UsbCamera& operator=(const UsbCamera&) = delete;

  // Builds a hardware object of type T (a CUSBHardware subclass constructed
  // as T(owner, device, args...)) in zeroed non-paged pool, the way the
  // driver does; null when the pool refuses the memory. Destroyed by Destroy
  // or at teardown.
  template <class T, class... Args>
  T* Make(Args&&... args);
  // Takes a hardware object built elsewhere (CUSBHardware::CreateHardware)
  // so that teardown destroys it; returns it.
  CUSBHardware* Adopt(CUSBHardware* hardware);
  // Runs ~CUSBHardware and frees the memory, as the device's bag would.
  void Destroy(CUSBHardware* hardware);

  // Pulls the cable (pending requests fail with STATUS_DEVICE_NOT_CONNECTED).
  void Unplug();
  bool Plugged() const;

  host::usb::BusStats BusStats() const { return host::usb::Stats(pdo); }

  std::shared_ptr<host::usb::DeviceModel> model;
  PDRIVER_OBJECT driver = nullptr;
  PDEVICE_OBJECT pdo = nullptr;
  PKSDEVICE device = nullptr;
  RecordingDevice* owner = nullptr;

 private:
  std::vector<CUSBHardware*> hardware_;
};

template <class T, class... Args>
T* UsbCamera::Make(Args&&... args) {
  void* memory = AllocateZeroed(sizeof(T));
  if (memory == nullptr) return nullptr;
  T* hardware = new (memory, Placement::At) T(owner, device, std::forward<Args>(args)...);
  hardware_.push_back(hardware);
  return hardware;
}

// A CUSBHardware with the head-specific slots left trivial: register reads
// answer from a small file, writes land in it, timing does nothing. For tests
// of the base object alone.
class PlainHardware : public CUSBHardware {
 public:
  PlainHardware(CCameraDevice* owner, PKSDEVICE device) : CUSBHardware(owner, device) {}
  USHORT GetI2CData(UCHAR device, USHORT reg) override { return registers[reg & 0xFF]; }
  void SetI2CData(UCHAR device, USHORT reg, USHORT value) override { registers[reg & 0xFF] = value; }
  void SetupTiming(ULONG shutter) override { lastShutter = shutter; }

  USHORT registers[256] = {};
  ULONG lastShutter = 0;
};

}  // namespace ovratest
