// The emulated side of a capture: the driver loaded with DriverEntry, a
// camera of one model plugged into the emulated bus, and its device added
// and started as the PnP manager would. The tools talk to the camera through
// the KS client (ks_client.h); the rig only plugs it in, sets the camera's
// fault knobs and reads the counters a bench wants.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <emu/bridge.h>
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
  bool Any() const {
    return dropEvery || shortEvery || emptyEvery || failRequests || stallAt >= 0 || unplugAt >= 0;
  }
};

class Rig {
 public:
  // Loads the driver, plugs the camera of `vidPid` and starts its device;
  // null with a one-line reason on failure (nothing stays behind).
  static std::unique_ptr<Rig> Start(uint32_t vidPid, std::string* error);
  ~Rig();
  Rig(const Rig&) = delete;
  Rig& operator=(const Rig&) = delete;

  void Apply(const Faults& faults);
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
};

}  // namespace ovra
