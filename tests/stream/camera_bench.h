// An emulated camera of one model, plugged under the driver and started, with
// its filter open: what a capture application has before it creates pins.
// Header-only, shared by the stream and end-to-end suites.
#pragma once

#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include <gtest/gtest.h>
#include <host/api/host.h>
#include <host/api/ks.h>

#include <emu/bridge.h>
#include <emu/heads.h>
#include <emu/profiles.h>
#include <emu/video.h>

#include "driver/device/driver_entry.h"
#include "driver/stream/stream.h"

namespace ovratest {

using Bytes = std::vector<uint8_t>;

inline const emu::Profile& ProfileOf(uint32_t vidPid) {
  const emu::Profile* p = emu::FindProfile(uint16_t(vidPid >> 16), uint16_t(vidPid));
  EXPECT_NE(p, nullptr) << std::hex << vidPid;
  return *p;
}

// One camera of each head kind, in model-table order.
inline std::vector<emu::Profile> OnePerHead() {
  std::vector<emu::Profile> out;
  bool seen[9] = {};
  for (const emu::Profile& p : emu::Profiles()) {
    if (p.modelType < 9 && !seen[p.modelType]) {
      seen[p.modelType] = true;
      out.push_back(p);
    }
  }
  return out;
}

class CameraBench {
 public:
  // `seed` runs before the start, to put values into the registry.
  explicit CameraBench(const emu::Profile& profile, const std::function<void(CameraBench&)>& seed = nullptr,
                       emu::BridgeOptions options = {})
      : profile(profile),
        bridge(std::make_shared<emu::Bridge>(profile, options)),
        head(emu::AttachHead(*bridge, profile.modelType)),
        video(std::make_shared<emu::VideoSource>(emu::FormatFor(profile, 640, 480))),
        camera(driver, bridge) {
    bridge->SetPdo(camera.Pdo());
    bridge->SetSource(video);
    if (seed) seed(*this);
    startStatus = camera.Start();
    if (NT_SUCCESS(startStatus)) openStatus = camera.OpenFilter(&filter);
  }

  // A value of the camera's per-device key (seed it before the start).
  void SetDeviceValue(const char* name, uint32_t value) {
    host::reg::SetDword(camera.DeviceKey(PLUGPLAY_REGKEY_DEVICE), name, value);
  }

  CCameraDevice* Device() const { return static_cast<CCameraDevice*>(camera.Device()->Context); }

  std::vector<Bytes> Ranges(ULONG pinId) const { return host::ks::DataRanges(filter, pinId); }

  // The format the driver proposes for a range (offered with its own header).
  NTSTATUS Intersect(ULONG pinId, const Bytes& range, Bytes* format) const {
    return host::ks::Intersect(filter, pinId, range, format);
  }

  // Intersects range `index` of the pin and creates the pin with the result.
  NTSTATUS CreatePin(ULONG pinId, size_t index, host::ks::Handle* pin, Bytes* format = nullptr) {
    Bytes local;
    Bytes& f = format ? *format : local;
    const std::vector<Bytes> ranges = Ranges(pinId);
    if (index >= ranges.size()) return STATUS_NO_MATCH;
    NTSTATUS status = Intersect(pinId, ranges[index], &f);
    if (!NT_SUCCESS(status)) return status;
    return camera.CreatePin(filter, pinId, f, pin);
  }

  const emu::Profile profile;
  host::ks::Driver driver{DriverEntry};
  std::shared_ptr<emu::Bridge> bridge;
  emu::EmulatedHead head;
  std::shared_ptr<emu::VideoSource> video;
  host::ks::Camera camera;
  NTSTATUS startStatus = STATUS_UNSUCCESSFUL;
  NTSTATUS openStatus = STATUS_UNSUCCESSFUL;
  host::ks::Handle filter = nullptr;
};

// Views of the bytes of ranges and formats.
inline KS_DATARANGE_VIDEO& RangeOf(Bytes& bytes) { return *reinterpret_cast<KS_DATARANGE_VIDEO*>(bytes.data()); }
inline const KS_DATARANGE_VIDEO& RangeOf(const Bytes& bytes) {
  return *reinterpret_cast<const KS_DATARANGE_VIDEO*>(bytes.data());
}
inline KS_DATAFORMAT_VIDEOINFOHEADER& FormatOf(Bytes& bytes) {
  return *reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(bytes.data());
}
inline const KS_DATAFORMAT_VIDEOINFOHEADER& FormatOf(const Bytes& bytes) {
  return *reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(bytes.data());
}

// A format built straight from a range, as a client may send it without
// asking the driver first.
inline Bytes FormatFromRange(const Bytes& range) {
  Bytes out(sizeof(KS_DATAFORMAT_VIDEOINFOHEADER));
  auto& f = FormatOf(out);
  memcpy(&f.DataFormat, range.data(), sizeof(KSDATAFORMAT));
  f.DataFormat.FormatSize = sizeof(KS_DATAFORMAT_VIDEOINFOHEADER);
  f.VideoInfoHeader = RangeOf(range).VideoInfoHeader;
  return out;
}

}  // namespace ovratest
