// A camera on the emulated USB bus with an AVStream device above it, for
// tests of the driver's USB side and of the camera heads.
//
//   ovratest::UsbCamera camera(*emu::FindProfile(0x0FBC, 0x8110));  // the emulated bridge
//   ovratest::UsbCamera camera(model);            // or any host::usb::DeviceModel
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
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <host/api/host.h>
#include <host/api/ks.h>
#include <host/api/usbbus.h>

#include <emu/bridge.h>
#include <emu/profiles.h>

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
  // The emulated bridge of a camera profile (`bridge` is set).
  explicit UsbCamera(const emu::Profile& profile, emu::BridgeOptions options = {}, std::string_view name = "usbcam");
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
  std::shared_ptr<emu::Bridge> bridge;  // when built for a profile
  PDRIVER_OBJECT driver = nullptr;
  PDEVICE_OBJECT pdo = nullptr;
  PKSDEVICE device = nullptr;
  RecordingDevice* owner = nullptr;

 private:
  void Setup(std::string_view name);
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

// ---------------------------------------------------------------------------
// A USB device scripted by the test: descriptor bytes, answers to control
// transfers, isochronous packets and bulk transfers. Every control transfer
// is recorded. Standard requests (GET_DESCRIPTOR, SET_CONFIGURATION,
// SET_INTERFACE) are answered from the descriptors; other requests are
// vendor requests.
//
// The video pattern: the four bytes at stream position 4k hold k, little-
// endian, so any block that starts on a multiple of four tells where in the
// stream it came from (PatternPosition).

struct EndpointSpec {
  uint8_t address = 0x82;     // bit 7: IN
  uint8_t attributes = 0x01;  // transfer type in bits 0-1
  uint16_t maxPacket = 1024;  // wMaxPacketSize (bits 11-12: extra transactions per microframe)
  uint8_t interval = 1;
};
struct InterfaceSpec {
  uint8_t number = 0;
  uint8_t alternate = 0;
  std::vector<EndpointSpec> endpoints;
};

std::vector<uint8_t> MakeDeviceDescriptor(uint16_t vid, uint16_t pid);
// A configuration set: the configuration descriptor (bNumInterfaces = distinct
// interface numbers, wTotalLength = the set's size), then each interface
// descriptor followed by its endpoints.
std::vector<uint8_t> MakeConfiguration(const std::vector<InterfaceSpec>& interfaces, uint8_t attributes = 0x80,
                                       uint8_t maxPower = 250);
// The camera's interface 0: alternate settings 0..3, each with an OUT bulk
// pipe first and the video pipe second: isochronous IN with 0, 1024, 2 x 1024
// and 3 x 1024 bytes per microframe, or bulk IN with 512-byte packets.
std::vector<InterfaceSpec> CameraInterfaces(bool bulk);

uint8_t PatternByte(uint64_t position);
void FillPattern(uint8_t* buffer, uint64_t position, uint32_t length);
// Stream position of a block's first byte (its first four bytes), or -1 if
// the block is shorter than four bytes.
int64_t PatternPosition(const uint8_t* data, uint32_t length);

class ScriptedDevice : public host::usb::DeviceModel {
 public:
  struct ControlRecord {
    host::usb::Setup setup;
    std::vector<uint8_t> data;  // OUT: the data stage; IN: the reply sent
    USBD_STATUS status = USBD_STATUS_SUCCESS;
    int64_t time = 0;
  };

  // A camera of the family: VID/PID 0x0FBC/0x8110 unless given, interface 0
  // as CameraInterfaces(bulk).
  static std::shared_ptr<ScriptedDevice> Camera(bool bulk = false, uint16_t vid = 0x0FBC, uint16_t pid = 0x8110);

  host::usb::ControlReply Control(const host::usb::Setup& setup, uint8_t* data) override;
  USBD_STATUS IsochRequest(uint8_t endpoint, uint32_t packets) override;
  host::usb::IsoPacket IsochIn(uint8_t endpoint, uint64_t microframe, uint8_t* buffer, uint32_t capacity) override;
  host::usb::BulkReply BulkIn(uint8_t endpoint, uint8_t* buffer, uint32_t capacity) override;

  // Vendor requests recorded with this request code.
  std::vector<ControlRecord> Vendor(uint8_t request) const;
  size_t VendorCount(uint8_t request) const { return Vendor(request).size(); }

  std::vector<uint8_t> deviceDescriptor;
  std::vector<uint8_t> configuration;
  // If not empty, the n-th read of the configuration descriptor returns
  // configurationReads[n] (the last one for later reads) instead.
  std::vector<std::vector<uint8_t>> configurationReads;
  size_t configurationReadCount = 0;

  std::vector<ControlRecord> controls;
  // Reply bytes of IN vendor requests, by request code (zeros when absent).
  std::map<uint8_t, std::vector<uint8_t>> replies;
  // Decides the reply to a standard request (GET_DESCRIPTOR, SET_CONFIGURATION,
  // SET_INTERFACE...) instead of the default answer, when it returns one.
  std::function<std::optional<host::usb::ControlReply>(const host::usb::Setup&, uint8_t* data)> onStandard;
  // Decides a vendor request's reply instead of the default (success, all
  // bytes moved); called with the data stage (OUT) or the reply buffer (IN).
  std::function<std::optional<host::usb::ControlReply>(const host::usb::Setup&, uint8_t* data)> onVendor;
  // Video. Defaults: every packet full, every bulk transfer full, of the pattern.
  std::function<USBD_STATUS(uint32_t packets)> onIsochRequest;
  std::function<host::usb::IsoPacket(uint64_t microframe, uint8_t* buffer, uint32_t capacity)> onIso;
  std::function<host::usb::BulkReply(uint8_t* buffer, uint32_t capacity)> onBulk;
  // Pattern bytes produced so far (the next packet's position).
  uint64_t streamPosition = 0;
  uint64_t isoPackets = 0;
  uint64_t bulkTransfers = 0;
};

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
