// The emulated side of a session: the driver loaded with DriverEntry, a
// camera of one model plugged into the emulated bus, its device added and
// started as the PnP manager does, and the camera's filter opened as an
// application opens it. Also the camera's video stream and fault knobs.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <emu/bridge.h>
#include <emu/heads.h>
#include <emu/video.h>
#include <host/api/ks.h>

class CCameraDevice;

namespace ovra {

// Misbehaviour of the emulated camera, all off by default.
struct Faults {
  uint64_t dropEvery = 0;   // every Nth video packet fails (its bytes are lost)
  uint64_t shortEvery = 0;  // every Nth video packet carries at most 512 bytes
  uint64_t emptyEvery = 0;  // every Nth video packet is empty
  int failRequests = 0;     // the first N isochronous requests fail as a whole
  int64_t stallAt = -1;     // the video pipe stalls at this virtual time (until flushed)
  int64_t unplugAt = -1;    // the cable is pulled at this virtual time
  std::vector<emu::VideoFault> video;  // breaks in the byte stream, by frame and line
  uint64_t fifoBytes = 0;              // the camera's FIFO (0: the emulator's default)
};

// "KIND@FRAME[:LINE[:COUNT]]" to a video fault; KIND is one of drop, ff,
// sav-for-eav, short-line, long-line, fewer-lines, more-lines,
// no-first-field, ff-run, cut. Throws UsageError.
emu::VideoFault ParseVideoFault(const std::string& text);
const char* VideoFaultKinds();

struct RigOptions {
  // The USB alternate setting the driver streams with, seeded into the
  // camera's device key before it starts, as an installation would set it
  // (-1: leave the driver's default, 0, which has no video bandwidth).
  int altSetting = 3;
  // Puts a device model of its own between the bus and the emulated bridge
  // (a bench times the camera's callbacks with it).
  std::function<std::shared_ptr<host::usb::DeviceModel>(std::shared_ptr<emu::Bridge>)> wrap;
};

class Rig {
 public:
  // Loads the driver, plugs the camera of `vidPid`, starts its device and
  // opens its filter; null with a one-line reason on failure.
  static std::unique_ptr<Rig> Start(uint32_t vidPid, std::string* error, const RigOptions& options = {});
  ~Rig();
  Rig(const Rig&) = delete;
  Rig& operator=(const Rig&) = delete;

  host::ks::Handle filter() const { return filter_; }
  host::ks::Camera& ks() { return *camera_; }
  emu::Bridge& bridge() { return *bridge_; }
  const emu::EmulatedHead& head() const { return head_; }
  const emu::Profile& profile() const { return profile_; }
  CCameraDevice* camera() const;
  // Bytes the driver's frame router has received since the stream started.
  uint64_t BytesRouted() const;
  bool Unplugged() const;
  // What the PnP manager does once the cable is gone: surprise removal (once).
  // True when the camera is gone.
  bool HandleUnplug();

  // Sets the knobs; the times in `faults` count from now.
  void Apply(const Faults& faults);
  // Video packets the packet knobs failed so far.
  uint64_t PacketsFailed() const { return *packetsFailed_; }
  // Makes the camera send `width` x `height` frames every `interval` (the
  // moving picture for people, or the test pattern); faults given to Apply
  // go into this stream.
  emu::VideoSource& SetVideo(uint32_t width, uint32_t height, int64_t interval, bool picture);
  emu::VideoSource* video() const { return video_.get(); }
  // Raises the camera's trigger bit for frame `frame` (and lowers it after).
  void TriggerAt(uint64_t frame);

 private:
  Rig() = default;
  emu::Profile profile_;
  std::unique_ptr<host::ks::Driver> driver_;
  std::shared_ptr<emu::Bridge> bridge_;
  emu::EmulatedHead head_;
  std::unique_ptr<host::ks::Camera> camera_;
  host::ks::Handle filter_ = nullptr;
  std::shared_ptr<emu::VideoSource> video_;
  Faults faults_;
  bool surpriseRemoved_ = false;
  std::shared_ptr<uint64_t> packetsFailed_ = std::make_shared<uint64_t>(0);
};

}  // namespace ovra
