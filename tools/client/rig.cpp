#include "rig.h"

#include <emu/profiles.h>
#include <host/api/host.h>

#include "args.h"
#include "status.h"
#include "driver/device/camera_device.h"
#include "driver/device/driver_entry.h"

namespace ovra {

std::unique_ptr<Rig> Rig::Start(uint32_t vidPid, std::string* error, const RigOptions& options) {
  const emu::Profile* profile = emu::FindProfile(uint16_t(vidPid >> 16), uint16_t(vidPid));
  if (profile == nullptr) {
    *error = "no camera model " + FormatVidPid(vidPid) + " (see --list)";
    return nullptr;
  }
  std::unique_ptr<Rig> rig(new Rig);
  rig->profile_ = *profile;
  rig->driver_ = std::make_unique<host::ks::Driver>(DriverEntry);
  if (!NT_SUCCESS(rig->driver_->EntryStatus())) {
    *error = "DriverEntry failed: " + StatusText(rig->driver_->EntryStatus());
    return nullptr;
  }
  rig->bridge_ = std::make_shared<emu::Bridge>(*profile);
  rig->head_ = emu::AttachHead(*rig->bridge_, profile->modelType);
  std::shared_ptr<host::usb::DeviceModel> model = rig->bridge_;
  if (options.wrap) model = options.wrap(rig->bridge_);
  rig->camera_ = std::make_unique<host::ks::Camera>(*rig->driver_, model, profile->name);
  rig->bridge_->SetPdo(rig->camera_->Pdo());
  NTSTATUS status = rig->camera_->AddStatus();
  if (!NT_SUCCESS(status)) {
    *error = "adding the device failed: " + StatusText(status);
    return nullptr;
  }
  if (options.altSetting >= 0) {
    for (ULONG key : {ULONG(PLUGPLAY_REGKEY_DEVICE), ULONG(PLUGPLAY_REGKEY_DRIVER)})
      host::reg::SetDword(rig->camera_->DeviceKey(key), "AltSetting", uint32_t(options.altSetting));
  }
  status = rig->camera_->Start();
  if (!NT_SUCCESS(status)) {
    *error = "starting the device failed: " + StatusText(status);
    return nullptr;
  }
  status = rig->camera_->OpenFilter(&rig->filter_);
  if (!NT_SUCCESS(status)) {
    *error = "opening the filter failed: " + StatusText(status);
    return nullptr;
  }
  return rig;
}

Rig::~Rig() {
  // Handles first, then the device, then the driver.
  if (camera_ != nullptr) {
    HandleUnplug();
    camera_->Remove();
  }
  camera_.reset();
  driver_.reset();
}

bool Rig::HandleUnplug() {
  if (!Unplugged()) return false;
  if (!surpriseRemoved_) camera_->SurpriseRemove();
  surpriseRemoved_ = true;
  return true;
}

bool Rig::Unplugged() const { return camera_ != nullptr && !host::usb::IsPlugged(camera_->Pdo()); }

void Rig::Apply(const Faults& f) {
  faults_ = f;
  if (video_ != nullptr) {
    for (const emu::VideoFault& fault : f.video) video_->AddFault(fault);
    if (f.fifoBytes != 0) video_->SetFifoBytes(f.fifoBytes);
  }
  emu::Bridge& b = bridge();
  if (f.dropEvery || f.shortEvery || f.emptyEvery) {
    std::shared_ptr<uint64_t> failed = packetsFailed_;
    b.SetPacketShaper([f, failed](uint64_t index) {
      emu::PacketShape shape;
      const uint64_t n = index + 1;
      if (f.dropEvery && n % f.dropEvery == 0) shape.kind = emu::PacketShape::Kind::Failed, ++*failed;
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
    host::sched::At(host::sched::Now() + f.stallAt, [bridge] { bridge->StallVideo(); }, DISPATCH_LEVEL, "stall video");
  }
  if (f.unplugAt >= 0) {
    PDEVICE_OBJECT pdo = camera_->Pdo();
    host::sched::At(host::sched::Now() + f.unplugAt, [pdo] { host::usb::Unplug(pdo); }, DISPATCH_LEVEL, "unplug");
  }
}

emu::VideoSource& Rig::SetVideo(uint32_t width, uint32_t height, int64_t interval, bool picture) {
  emu::VideoFormat format = emu::FormatFor(profile_, width, height, interval);
  format.picture = picture;
  video_ = std::make_shared<emu::VideoSource>(format);
  for (const emu::VideoFault& fault : faults_.video) video_->AddFault(fault);
  if (faults_.fifoBytes != 0) video_->SetFifoBytes(faults_.fifoBytes);
  bridge().SetSource(video_);
  return *video_;
}

void Rig::TriggerAt(uint64_t frame) {
  if (video_ == nullptr) return;
  emu::VideoFault raise;
  raise.kind = emu::VideoFault::Kind::Trigger;
  raise.frame = frame;
  raise.value = 1;
  video_->AddFault(raise);
  emu::VideoFault lower = raise;
  lower.frame = frame + 1;
  lower.value = 0;
  video_->AddFault(lower);
}

namespace {

const struct {
  const char* name;
  emu::VideoFault::Kind kind;
} kFaultKinds[] = {
    {"drop", emu::VideoFault::Kind::DropPackets},
    {"ff", emu::VideoFault::Kind::SpuriousFF},
    {"sav-for-eav", emu::VideoFault::Kind::SavForEav},
    {"short-line", emu::VideoFault::Kind::ShortLine},
    {"long-line", emu::VideoFault::Kind::LongLine},
    {"fewer-lines", emu::VideoFault::Kind::FewerLines},
    {"more-lines", emu::VideoFault::Kind::MoreLines},
    {"no-first-field", emu::VideoFault::Kind::NoFirstField},
    {"ff-run", emu::VideoFault::Kind::FFRun},
    {"cut", emu::VideoFault::Kind::Cut},
};

}  // namespace

const char* VideoFaultKinds() {
  return "drop, ff, sav-for-eav, short-line, long-line, fewer-lines, more-lines, no-first-field, ff-run, cut";
}

emu::VideoFault ParseVideoFault(const std::string& text) {
  const size_t at = text.find('@');
  if (at == std::string::npos) throw UsageError("bad fault '" + text + "' (want KIND@FRAME[:LINE[:COUNT]])");
  const std::string name = text.substr(0, at);
  emu::VideoFault fault;
  bool known = false;
  for (const auto& k : kFaultKinds) {
    if (name == k.name) {
      fault.kind = k.kind;
      known = true;
    }
  }
  if (!known) throw UsageError("unknown fault '" + name + "' (one of " + VideoFaultKinds() + ")");
  std::string rest = text.substr(at + 1);
  std::vector<std::string> parts;
  for (size_t colon; (colon = rest.find(':')) != std::string::npos; rest = rest.substr(colon + 1))
    parts.push_back(rest.substr(0, colon));
  parts.push_back(rest);
  if (parts.size() > 3) throw UsageError("bad fault '" + text + "' (want KIND@FRAME[:LINE[:COUNT]])");
  fault.frame = ParseNumber(parts[0], "fault frame", 100'000'000);
  if (parts.size() > 1 && !parts[1].empty()) fault.line = uint32_t(ParseNumber(parts[1], "fault line", 65535));
  if (parts.size() > 2) fault.count = uint32_t(ParseNumber(parts[2], "fault count", 1'000'000));
  if (fault.kind == emu::VideoFault::Kind::Cut && fault.count > 3) throw UsageError("a cut is 0 to 3 bytes into a code");
  return fault;
}

CCameraDevice* Rig::camera() const {
  PKSDEVICE device = camera_ != nullptr ? camera_->Device() : nullptr;
  return device != nullptr ? static_cast<CCameraDevice*>(device->Context) : nullptr;
}

uint64_t Rig::BytesRouted() const {
  CCameraDevice* c = camera();
  return c != nullptr ? c->RoutedBytes : 0;
}

}  // namespace ovra
