// The camera's USB bridge as the bus sees it: descriptors of a camera
// profile, the vendor requests with their effects, the I2C bus and port lines
// towards the head, the video pipe fed from a byte source, a recorder of all
// control traffic, and fault knobs.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include <host/api/usbbus.h>

#include "i2c.h"
#include "profiles.h"

namespace emu {

constexpr uint32_t kRamBytes = 16 * 1024;     // bridge program/data RAM at 0x0000
constexpr uint32_t kEepromBytes = 64 * 1024;  // addressed by wValue, wrapping
constexpr uint16_t kCpuControl = 0xE600;      // CPUCS: bit 0 holds the CPU in reset
constexpr uint8_t kAuxEndpoint = 0x01;        // first endpoint of interface 0: bulk OUT
constexpr uint8_t kVideoEndpoint = 0x82;      // second endpoint: the video pipe, IN
constexpr int kAltSettings = 4;               // interface 0, alternate settings 0..3
constexpr uint16_t kBulkPacket = 512;

// Vendor request codes the bridge answers.
enum : uint8_t {
  kReqFirmware = 0xA0,
  kReqEeprom = 0xA2,
  kReqRenumerate = 0xA8,
  kReqStreamReset = 0xBB,
  kReqI2cByte = 0xC3,
  kReqPower = 0xC4,
  kReqPort = 0xC8,
  kReqStatus = 0xC9,
  kReqFlush = 0xCA,
};

enum class VideoTransport { Isochronous, Bulk };

struct BridgeOptions {
  VideoTransport transport = VideoTransport::Isochronous;
  // Bulk video: bytes the bridge sends per microframe.
  uint32_t bulkBytesPerMicroframe = 4096;
  // Time from the setup packet to the end of a control transfer.
  int64_t controlLatency = host::usb::kMicroframe;
};

// Descriptors of a profile: bcdUSB 0x0200, the profile's VID/PID, one
// configuration with interface 0 in four alternate settings. Each setting has
// a bulk OUT endpoint and then the video endpoint: isochronous IN with 0,
// 1024, 2 x 1024 and 3 x 1024 bytes per microframe, or bulk IN with 512-byte
// packets.
std::vector<uint8_t> BuildDeviceDescriptor(const Profile& profile);
std::vector<uint8_t> BuildConfigDescriptor(VideoTransport transport);
// Video bytes per microframe of an isochronous alternate setting (0..3).
uint32_t IsochBytesPerMicroframe(int alternateSetting);

// A stream of video bytes. Read fills up to `capacity` bytes and returns how
// many it wrote (0: nothing to send now).
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual size_t Read(uint8_t* out, size_t capacity) = 0;
  // What the bridge calls: `time` is the virtual time at which the bytes
  // leave the camera (the start of their microframe), for sources that
  // produce at a rate of their own. The default ignores it.
  virtual size_t ReadAt(uint8_t* out, size_t capacity, int64_t time) { return Read(out, capacity); }
};

// An endless deterministic stream: the byte at stream offset i is ByteAt(i),
// so a consumer can tell where every byte it received came from.
class PatternSource : public ByteSource {
 public:
  static uint8_t ByteAt(uint64_t offset) { return uint8_t(offset ^ (offset >> 8) ^ (offset >> 16) ^ (offset >> 24)); }
  size_t Read(uint8_t* out, size_t capacity) override;
  uint64_t Position() const { return position_; }

 private:
  uint64_t position_ = 0;
};

// Bytes given by the test, sent once or over and over.
class BufferSource : public ByteSource {
 public:
  explicit BufferSource(std::vector<uint8_t> bytes, bool loop = false) : bytes_(std::move(bytes)), loop_(loop) {}
  size_t Read(uint8_t* out, size_t capacity) override;
  void Append(const std::vector<uint8_t>& more) { bytes_.insert(bytes_.end(), more.begin(), more.end()); }
  size_t Remaining() const { return bytes_.size() - position_; }

 private:
  std::vector<uint8_t> bytes_;
  size_t position_ = 0;
  bool loop_ = false;
};

// What the bridge makes of one video packet (isochronous) or transfer (bulk).
struct PacketShape {
  enum class Kind {
    Normal,  // as many bytes as the source gives, up to the room
    Short,   // at most `length` bytes
    Empty,   // nothing; the source keeps its bytes
    Failed,  // the bytes are taken from the source and lost; `status` reported
  };
  Kind kind = Kind::Normal;
  uint32_t length = 0;
  USBD_STATUS status = USBD_STATUS_XACT_ERROR;
};
// Called with the index of each video packet (isochronous: every packet the
// bus asks for on the video endpoint, from 0; bulk: every transfer played).
using PacketShaper = std::function<PacketShape(uint64_t index)>;
// A shaper from a table of exceptions; every other packet is normal.
PacketShaper ScriptedPackets(std::vector<std::pair<uint64_t, PacketShape>> script);

// A control-request fault. Requests that match `request` (vendor or
// standard) are counted; after `skip` of them pass, the next `count` (-1:
// all later ones) get `action`.
struct ControlFault {
  enum class Action {
    Fail,    // no effect; the request ends with `status` (a stall by default)
    Delay,   // takes effect; completes after `latency`
    Hang,    // no effect; never completes (only a cancel or unplug ends it)
    Unplug,  // the cable is pulled as the request arrives
  };
  uint8_t request = 0;
  bool vendor = true;
  int skip = 0;
  int count = 1;
  Action action = Action::Fail;
  USBD_STATUS status = USBD_STATUS_STALL_PID;
  int64_t latency = 0;
  // Delay: a cancel does not stop the request (it is past the point of no
  // return): it completes after `latency` with its effect.
  bool completesAnyway = false;
  // Bookkeeping.
  int seen = 0;
  int applied = 0;
};

// One control transfer as the bridge saw it.
struct ControlRecord {
  int64_t time = 0;  // virtual time of the setup packet
  host::usb::Setup setup;
  std::vector<uint8_t> data;  // OUT: the data stage; IN: the reply bytes
  USBD_STATUS status = USBD_STATUS_SUCCESS;
  bool answered = true;  // false when the bridge never completes it
  bool Vendor() const { return (setup.bmRequestType & 0x60) == 0x40; }
  bool In() const { return (setup.bmRequestType & 0x80) != 0; }
};

class Bridge : public host::usb::DeviceModel {
 public:
  explicit Bridge(const Profile& profile, BridgeOptions options = {});

  const Profile& profile() const { return profile_; }
  const BridgeOptions& options() const { return options_; }
  // The bus device the bridge is plugged into (set by Camera; needed by the
  // unplug fault).
  void SetPdo(PDEVICE_OBJECT pdo) { pdo_ = pdo; }
  PDEVICE_OBJECT Pdo() const { return pdo_; }

  // --- the head side ---
  I2cBus& I2c() { return i2c_; }
  void AddPortListener(std::shared_ptr<PortListener> listener);
  void AddPowerListener(std::shared_ptr<PowerListener> listener);
  uint8_t PortByte() const { return port_; }
  bool Powered() const { return powered_; }
  void SetStatusBit(bool on) { statusBit_ = on; }
  bool StatusBit() const { return statusBit_; }

  // --- recorder ---
  const std::vector<ControlRecord>& Requests() const { return records_; }
  void ClearRequests() { records_.clear(); }
  std::vector<ControlRecord> VendorRequests() const;
  std::vector<ControlRecord> VendorRequests(uint8_t code) const;

  // --- firmware, EEPROM, bridge state ---
  const std::vector<uint8_t>& Ram() const { return ram_; }
  bool CpuHeld() const { return cpuHeld_; }
  int CpuStarts() const { return cpuStarts_; }  // releases from reset
  std::vector<uint8_t>& Eeprom() { return eeprom_; }
  uint8_t Configuration() const { return configuration_; }
  int AlternateSetting() const { return alternate_; }
  int StreamResets() const { return streamResets_; }  // requests 0xBB
  int Flushes() const { return flushes_; }            // requests 0xCA

  // --- video ---
  void SetSource(std::shared_ptr<ByteSource> source) { source_ = std::move(source); }
  ByteSource* Source() const { return source_.get(); }
  // Bytes per microframe of the current alternate setting (bulk: the bulk rate).
  uint32_t VideoBytesPerMicroframe() const;
  // Stalls the video pipe until request 0xCA: bulk transfers wait,
  // isochronous packets come back empty.
  void StallVideo() { stalled_ = true; }
  bool VideoStalled() const { return stalled_; }
  // Halts the video endpoint: every video transfer is answered with a stall
  // (USBD_STATUS_STALL_PID) until `clears` CLEAR_FEATURE(ENDPOINT_HALT)
  // requests have reached it.
  void HaltVideoEndpoint(int clears = 1) { haltClears_ = clears; }
  bool VideoEndpointHalted() const { return haltClears_ > 0; }
  int HaltsCleared() const { return haltsCleared_; }
  void SetPacketShaper(PacketShaper shaper) { shaper_ = std::move(shaper); }
  // The next `count` isochronous requests fail as a whole with `status`.
  void FailIsochRequests(int count, USBD_STATUS status = USBD_STATUS_ISOCH_REQUEST_FAILED);
  uint64_t VideoBytesSent() const { return videoBytes_; }
  uint64_t VideoPackets() const { return videoPackets_; }

  // --- control faults ---
  void AddControlFault(const ControlFault& fault) { faults_.push_back(fault); }
  void ClearControlFaults() { faults_.clear(); }
  void FailRequest(uint8_t request, int count = 1, int skip = 0, USBD_STATUS status = USBD_STATUS_STALL_PID);
  void DelayRequest(uint8_t request, int64_t latency, int count = 1, int skip = 0);
  void HangRequest(uint8_t request, int count = 1, int skip = 0);
  void UnplugOnRequest(uint8_t request, int skip = 0);
  void SetControlLatency(int64_t latency) { options_.controlLatency = latency; }

  // --- descriptors (replace them wholesale for malformed-descriptor tests) ---
  const std::vector<uint8_t>& DeviceDescriptor() const { return deviceDescriptor_; }
  const std::vector<uint8_t>& ConfigDescriptor() const { return configDescriptor_; }
  void SetDeviceDescriptor(std::vector<uint8_t> bytes) { deviceDescriptor_ = std::move(bytes); }
  void SetConfigDescriptor(std::vector<uint8_t> bytes) { configDescriptor_ = std::move(bytes); }
  void ResetDescriptors();

  // --- host::usb::DeviceModel ---
  host::usb::ControlReply Control(const host::usb::Setup& setup, uint8_t* data) override;
  USBD_STATUS IsochRequest(uint8_t endpoint, uint32_t packets) override;
  host::usb::IsoPacket IsochIn(uint8_t endpoint, uint64_t microframe, uint8_t* buffer, uint32_t capacity) override;
  host::usb::BulkReply BulkIn(uint8_t endpoint, uint8_t* buffer, uint32_t capacity) override;

 private:
  ControlFault* MatchFault(const host::usb::Setup& setup);
  // The effect of a request: returns the status and sets the reply length.
  USBD_STATUS Standard(const host::usb::Setup& setup, uint8_t* data, uint32_t* length);
  USBD_STATUS Vendor(const host::usb::Setup& setup, uint8_t* data, uint32_t* length);
  // Reads up to `room` bytes of video, sent at `time`, through the shaper.
  uint32_t PlayVideo(uint8_t* buffer, uint32_t room, int64_t time, USBD_STATUS* status, bool* empty);

  Profile profile_;
  BridgeOptions options_;
  PDEVICE_OBJECT pdo_ = nullptr;
  std::vector<uint8_t> deviceDescriptor_;
  std::vector<uint8_t> configDescriptor_;

  I2cBus i2c_;
  std::vector<std::shared_ptr<PortListener>> portListeners_;
  std::vector<std::shared_ptr<PowerListener>> powerListeners_;
  uint8_t port_ = 0;
  bool powered_ = false;
  bool statusBit_ = false;

  std::vector<uint8_t> ram_;
  std::vector<uint8_t> eeprom_;
  bool cpuHeld_ = false;
  int cpuStarts_ = 0;
  uint8_t configuration_ = 0;
  int alternate_ = 0;
  int streamResets_ = 0;
  int flushes_ = 0;

  std::shared_ptr<ByteSource> source_;
  bool stalled_ = false;
  int haltClears_ = 0;
  int haltsCleared_ = 0;
  PacketShaper shaper_;
  uint64_t packetIndex_ = 0;
  int isochFailures_ = 0;
  USBD_STATUS isochFailureStatus_ = USBD_STATUS_ISOCH_REQUEST_FAILED;
  uint64_t videoBytes_ = 0;
  uint64_t videoPackets_ = 0;
  std::vector<uint8_t> scratch_;

  std::vector<ControlFault> faults_;
  std::vector<ControlRecord> records_;
};

// A bridge for a profile, plugged into the bus; removed from the bus when the
// camera goes out of scope.
class Camera {
 public:
  Camera() = default;
  explicit Camera(const Profile& profile, BridgeOptions options = {}, std::string_view name = "usbcam");
  ~Camera();
  Camera(Camera&& other) noexcept;
  Camera& operator=(Camera&& other) noexcept;
  Camera(const Camera&) = delete;
  Camera& operator=(const Camera&) = delete;

  PDEVICE_OBJECT pdo() const { return pdo_; }
  Bridge& bridge() const { return *bridge_; }
  std::shared_ptr<Bridge> shared() const { return bridge_; }

  // Pulls the cable now, or at a virtual time.
  void Unplug();
  void UnplugAt(int64_t when);
  // Takes the device off the bus (after unplugging it, if still plugged).
  void Remove();

 private:
  PDEVICE_OBJECT pdo_ = nullptr;
  std::shared_ptr<Bridge> bridge_;
};

// Plugs a bridge for a profile; the same as constructing a Camera.
Camera PlugCamera(const Profile& profile, BridgeOptions options = {}, std::string_view name = "usbcam");

}  // namespace emu
