// The emulated side of a capture: the driver loaded with DriverEntry, a
// camera of one model plugged into the emulated bus, and its device added
// and started as the PnP manager would. The tools talk to the camera through
// the KS client (ks_client.h); the rig only plugs it in, sets the camera's
// fault knobs and reads the counters a bench wants.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <emu/bridge.h>
#include <emu/video.h>
#include <host/api/ks.h>

class CCameraDevice;

namespace ovra {

// Misbehaviour of the emulated camera, all off by default.
struct Faults {
  uint64_t dropEvery = 0;   // every Nth video packet fails (its bytes are lost)
  uint64_t shortEvery = 0;  // every Nth video packet carries half its bytes
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

class Rig {
 public:
  // Loads the driver, plugs the camera of `vidPid` and starts its device;
  // null with a one-line reason on failure (nothing stays behind).
  static std::unique_ptr<Rig> Start(uint32_t vidPid, std::string* error);
  ~Rig();
  Rig(const Rig&) = delete;
  Rig& operator=(const Rig&) = delete;

  void Apply(const Faults& faults);
  // Makes the camera send `width` x `height` frames every `interval` (the
  // moving picture for people, or the test pattern); faults given to Apply
  // go into this stream.
  emu::VideoSource& SetVideo(uint32_t width, uint32_t height, int64_t interval, bool picture);
  emu::VideoSource* video() const { return video_.get(); }
  // Raises the camera's trigger bit for frame `frame` (and lowers it after).
  void TriggerAt(uint64_t frame);
  // Pulls the cable now (surprise removal follows at teardown).
  void Unplug();

  emu::Bridge& bridge() { return camera_.bridge(); }
  PKSDEVICE device() const { return device_; }
  CCameraDevice* camera() const;
  const emu::Profile& profile() const { return profile_; }
  uint64_t BytesRouted() const;

 private:
  Rig() = default;
  emu::Profile profile_;
  PDRIVER_OBJECT driver_ = nullptr;
  emu::Camera camera_;
  PKSDEVICE device_ = nullptr;
  bool started_ = false;
  bool unplugged_ = false;
  std::shared_ptr<emu::VideoSource> video_;
  Faults faults_;
};

}  // namespace ovra
