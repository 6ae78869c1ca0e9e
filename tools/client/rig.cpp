#include "rig.h"

#include <emu/profiles.h>
#include <host/api/host.h>

#include "args.h"
#include "status.h"
#include "driver/device/camera_device.h"
#include "driver/device/driver_entry.h"

namespace ovra {

std::unique_ptr<Rig> Rig::Start(uint32_t vidPid, std::string* error) {
  const emu::Profile* profile = emu::FindProfile(uint16_t(vidPid >> 16), uint16_t(vidPid));
  if (profile == nullptr) {
    *error = "no camera model " + FormatVidPid(vidPid) + " (see --list)";
    return nullptr;
  }
  std::unique_ptr<Rig> rig(new Rig);
  rig->profile_ = *profile;
  rig->driver_ = host::io::CreateDriverObject("ovrausb");
  UNICODE_STRING path;
  RtlInitUnicodeString(&path, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\ovrausb");
  NTSTATUS status = DriverEntry(rig->driver_, &path);
  if (!NT_SUCCESS(status)) {
    *error = "DriverEntry failed: " + StatusText(status);
    return nullptr;
  }
  rig->camera_ = emu::PlugCamera(*profile, {}, profile->name);
  status = host::ks::AddDevice(rig->driver_, rig->camera_.pdo(), &rig->device_);
  if (!NT_SUCCESS(status)) {
    rig->device_ = nullptr;
    *error = "adding the device failed: " + StatusText(status);
    return nullptr;
  }
  status = host::ks::StartDevice(rig->device_);
  if (!NT_SUCCESS(status)) {
    *error = "starting the device failed: " + StatusText(status);
    return nullptr;
  }
  rig->started_ = true;
  return rig;
}

Rig::~Rig() {
  if (device_ != nullptr) {
    if (unplugged_) host::ks::SurpriseRemoveDevice(device_);
    else if (started_) host::ks::StopDevice(device_);
    host::ks::RemoveDevice(device_);
  }
  camera_.Remove();
  if (driver_ != nullptr) {
    host::io::UnloadDriver(driver_);
    host::io::DeleteDriverObject(driver_);
  }
}

void Rig::Apply(const Faults& f) {
  emu::Bridge& b = bridge();
  if (f.dropEvery || f.shortEvery || f.emptyEvery) {
    b.SetPacketShaper([f](uint64_t index) {
      emu::PacketShape shape;
      const uint64_t n = index + 1;
      if (f.dropEvery && n % f.dropEvery == 0) shape.kind = emu::PacketShape::Kind::Failed;
      else if (f.emptyEvery && n % f.emptyEvery == 0) shape.kind = emu::PacketShape::Kind::Empty;
      else if (f.shortEvery && n % f.shortEvery == 0) {
        shape.kind = emu::PacketShape::Kind::Short;
        shape.length = 512;
      }
      return shape;
    });
  }
  if (f.failRequests > 0) b.FailIsochRequests(f.failRequests);
  if (f.stallAt >= 0) {
    emu::Bridge* bridge = &b;
    host::sched::At(f.stallAt, [bridge] { bridge->StallVideo(); }, DISPATCH_LEVEL, "stall video");
  }
  if (f.unplugAt >= 0) {
    camera_.UnplugAt(f.unplugAt);
    unplugged_ = true;
  }
}

void Rig::Unplug() {
  camera_.Unplug();
  unplugged_ = true;
}

CCameraDevice* Rig::camera() const {
  return device_ != nullptr ? static_cast<CCameraDevice*>(device_->Context) : nullptr;
}

uint64_t Rig::BytesRouted() const {
  CCameraDevice* c = camera();
  return c != nullptr ? c->RoutedBytes : 0;
}

}  // namespace ovra
