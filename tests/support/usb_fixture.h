// A camera on the emulated USB bus (an emulated bridge or any DeviceModel)
// with an AVStream device above it, whose frame router records what it gets.
#pragma once

#include <functional>
#include <memory>
#include <optional>
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
    KIRQL irql = 0;
  };

  explicit RecordingDevice(PKSDEVICE device) : CCameraDevice(device) {}
  void HandleVideoData(PUCHAR data, ULONG length) override;

  bool keepBlocks = true;  // record each call in `blocks`
  bool keepBytes = true;   // append each block's bytes to `bytes`
  std::vector<Block> blocks;
  std::vector<uint8_t> bytes;
  uint64_t calls = 0;   // blocks of data
  uint64_t losses = 0;  // places where the reader lost data (a null block)
  uint64_t totalBytes = 0;
  std::function<void()> onBlock;  // after each block, at the completion's IRQL
};

// The bus, the PnP manager and ks.sys around one camera; teardown destroys the
// hardware objects still alive and leaves no pool block.
class UsbCamera {
 public:
  explicit UsbCamera(std::shared_ptr<host::usb::DeviceModel> model, std::string_view name = "usbcam");
  // The emulated bridge of a camera profile (`bridge` is set).
  explicit UsbCamera(const emu::Profile& profile, emu::BridgeOptions options = {}, std::string_view name = "usbcam");
  ~UsbCamera();
  UsbCamera(const UsbCamera&) = delete;
  UsbCamera& operator=(const UsbCamera&) = delete;

  // Builds T(owner, device, args...) (a CUSBHardware subclass) in zeroed pool
  // memory, as the driver does; null when the pool refuses.
  template <class T, class... Args>
  T* Make(Args&&... args) {
    void* memory = AllocateZeroed(sizeof(T));
    if (memory == nullptr) return nullptr;
    return static_cast<T*>(Adopt(new (memory, Placement::At) T(owner, device, std::forward<Args>(args)...)));
  }
  // Takes a hardware object built elsewhere so that teardown destroys it.
  CUSBHardware* Adopt(CUSBHardware* hardware);
  // Runs ~CUSBHardware and frees the memory, as the device's bag would.
  void Destroy(CUSBHardware* hardware);
  // Makes `hardware` the device's head object, owned by the device's object
  // bag (freed when the device is removed), as device start does.
  void GiveToDevice(CUSBHardware* hardware);
  host::usb::BusStats BusStats() const { return host::usb::Stats(pdo); }

  std::shared_ptr<host::usb::DeviceModel> model;
  std::shared_ptr<emu::Bridge> bridge;  // when built for a profile
  PDRIVER_OBJECT driver = nullptr;
  PDEVICE_OBJECT pdo = nullptr;
  PKSDEVICE device = nullptr;
  RecordingDevice* owner = nullptr;

 private:
  std::vector<CUSBHardware*> hardware_;
};

// A USB device scripted by the test. Every control transfer is recorded;
// standard requests are answered from the descriptors, vendor requests
// succeed. Video is the pattern: the four bytes at stream position 4k hold k.
struct EndpointDesc {
  uint8_t address = 0x82;     // bit 7: IN
  uint8_t attributes = 0x01;  // transfer type in bits 0-1
  uint16_t maxPacket = 1024;  // bits 11-12: extra transactions per microframe
  uint8_t interval = 1;
};
struct InterfaceDesc {
  uint8_t number = 0;
  uint8_t alternate = 0;
  std::vector<EndpointDesc> endpoints;
};

// The configuration descriptor (bNumInterfaces = distinct interface numbers),
// then each interface descriptor followed by its endpoints.
std::vector<uint8_t> MakeConfiguration(const std::vector<InterfaceDesc>& interfaces);

uint8_t PatternByte(uint64_t position);
void FillPattern(uint8_t* buffer, uint64_t position, uint32_t length);
// Stream position of a block that starts on a multiple of four.
int64_t PatternPosition(const uint8_t* data);

class ScriptedDevice : public host::usb::DeviceModel {
 public:
  using Setup = host::usb::Setup;
  using Reply = std::optional<host::usb::ControlReply>;
  struct ControlRecord {
    Setup setup;
    std::vector<uint8_t> data;  // the data stage of an OUT request
  };

  // A camera of the family. Interface 0 has alternate settings 0..3, each an
  // OUT bulk pipe and the video pipe: isochronous IN of 0, 1, 2 and 3 x 1024
  // bytes per microframe, or bulk IN of 512-byte packets.
  static std::shared_ptr<ScriptedDevice> Camera(bool bulk = false);
  static host::usb::ControlReply Stall();

  host::usb::ControlReply Control(const Setup& setup, uint8_t* data) override;
  host::usb::IsoPacket IsochIn(uint8_t endpoint, uint64_t microframe, uint8_t* buffer, uint32_t capacity) override;
  host::usb::BulkReply BulkIn(uint8_t endpoint, uint8_t* buffer, uint32_t capacity) override;

  // The recorded requests but descriptor reads as (bRequest, wValue); how many have this code.
  std::vector<std::pair<int, int>> Requests() const;
  size_t Count(uint8_t request) const;

  std::vector<uint8_t> deviceDescriptor;
  std::vector<uint8_t> configuration;
  // If not empty, the n-th read of the configuration descriptor returns
  // configurationReads[n] (the last one for later reads) instead.
  std::vector<std::vector<uint8_t>> configurationReads;
  size_t configurationReadCount = 0;
  std::vector<ControlRecord> controls;

  // Hooks: a control reply instead of the default (given the data stage or
  // the IN reply buffer), an isochronous packet, a bulk transfer.
  std::function<Reply(const Setup&, uint8_t* data)> onControl;
  std::function<host::usb::IsoPacket(uint64_t microframe, uint8_t* buffer, uint32_t capacity)> onIso;
  std::function<host::usb::BulkReply(uint8_t* buffer, uint32_t capacity)> onBulk;
  uint64_t streamPosition = 0;  // pattern bytes produced so far
  uint64_t isoPackets = 0;
};

// A CUSBHardware whose head slots do nothing.
class PlainHardware : public CUSBHardware {
 public:
  PlainHardware(CCameraDevice* owner, PKSDEVICE device) : CUSBHardware(owner, device) {}
  USHORT GetI2CData(UCHAR, USHORT) override { return 0; }
  void SetI2CData(UCHAR, USHORT, USHORT) override {}
  void SetupTiming(ULONG) override {}
};

}  // namespace ovratest
