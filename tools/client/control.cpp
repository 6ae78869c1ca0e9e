#include "control.h"

#include <cstring>

#include <host/api/host.h>

#include "args.h"
#include "client.h"
#include "props.h"
#include "rig.h"
#include "status.h"

namespace ovra {
namespace {

constexpr uint32_t kEepromChunk = 0x10000;

std::string Failed(const std::string& what, NTSTATUS status) { return what + " failed: " + StatusText(status); }

}  // namespace

Control::Control() = default;
Control::~Control() = default;

std::unique_ptr<Control> Control::Open(uint32_t vidPid, std::string* error) {
  std::unique_ptr<Control> c(new Control);
  c->vidPid_ = vidPid;
  c->rig_ = Rig::Start(vidPid, error);
  if (c->rig_ == nullptr) return nullptr;
  return c;
}

bool Control::List(FILE* out, std::string* error) {
  const host::ks::Handle filter = rig_->filter();
  fprintf(out, "%s %s\n", FormatVidPid(vidPid_).c_str(), emu::HeadName(rig_->profile().modelType));
  for (const KnownSet& set : KnownSets()) {
    const bool methods = SameGuid(set.guid, kSetMethods);
    if (!HasSet(filter, set.guid, methods)) continue;
    fprintf(out, "  %s %s\n", GuidText(set.guid).c_str(), set.name);
    if (methods) continue;
    for (ULONG id = 0; id < 128; ++id) {
      const ULONG access = PropertyAccess(filter, set.guid, id);
      if (access == 0) continue;
      const char* name = ItemName(set.guid, id);
      fprintf(out, "    %3lu %-3s %s\n", (unsigned long)id,
              (access & KSPROPERTY_TYPE_GET) && (access & KSPROPERTY_TYPE_SET) ? "rw"
              : (access & KSPROPERTY_TYPE_GET)                                 ? "r"
                                                                               : "w",
              name);
    }
  }
  return true;
}

bool Control::Get(const std::string& name, std::string* text, std::string* error) {
  const host::ks::Handle filter = rig_->filter();
  if (name == "dropped-frames") {
    // The whole structure travels as the data, its KSPROPERTY included.
    KSPROPERTY_DROPPEDFRAMES_CURRENT_S data{};
    const auto whole = host::ks::GetProperty(filter, kSetDroppedFrames, 0, &data, sizeof data);
    if (!NT_SUCCESS(whole.status)) return *error = Failed("reading dropped frames", whole.status), false;
    *text = "pictures " + std::to_string(data.PictureNumber) + ", dropped " + std::to_string(data.DropCount);
    return true;
  }
  if (name == "video-caps" || name == "video-mode") {
    // Stream 0, the capture pin, in the request and in the data.
    KSPROPERTY_VIDEOCONTROL_MODE_S data{};
    const ULONG stream = 0;
    const ULONG id = name == "video-caps" ? 0 : 3;
    const auto r = host::ks::GetProperty(filter, kSetVideoControl, id, &data, sizeof data, &stream, sizeof stream);
    if (!NT_SUCCESS(r.status)) return *error = Failed("reading " + name, r.status), false;
    char hex[16];
    snprintf(hex, sizeof hex, "0x%X", unsigned(data.Mode));
    *text = hex;
    return true;
  }
  uint32_t value = 0;
  if (!GetNamed(filter, name, &value, error)) return false;
  *text = std::to_string(value);
  if (value > 9) {
    char hex[16];
    snprintf(hex, sizeof hex, " (0x%X)", unsigned(value));
    *text += hex;
  }
  return true;
}

bool Control::Set(const std::string& name, uint32_t value, std::string* error) {
  if (name == "video-mode") {
    KSPROPERTY_VIDEOCONTROL_MODE_S data{};
    data.Mode = LONG(value);
    const ULONG stream = 0;
    const auto r = host::ks::SetProperty(rig_->filter(), kSetVideoControl, 3, &data, sizeof data, &stream, sizeof stream);
    if (!NT_SUCCESS(r.status)) return *error = Failed("setting video-mode", r.status), false;
    return true;
  }
  return SetNamed(rig_->filter(), name, value, error);
}

bool Control::I2cRead(uint8_t device, uint16_t reg, uint16_t* value, std::string* error) {
  I2cRecord record{device, 0, reg, 0};
  I2cRecord reply{};
  // The records ride after the KSPROPERTY; the data gets them back with values.
  const auto r = host::ks::GetProperty(rig_->filter(), kSetCamprop, kIdI2cData, &reply, sizeof reply, &record,
                                       sizeof record);
  if (!NT_SUCCESS(r.status)) return *error = Failed("reading the register", r.status), false;
  *value = reply.value;
  return true;
}

bool Control::I2cWrite(uint8_t device, uint16_t reg, uint16_t value, std::string* error) {
  I2cRecord record{device, 0, reg, value};
  const auto r = host::ks::SetProperty(rig_->filter(), kSetCamprop, kIdI2cData, &record, sizeof record);
  if (!NT_SUCCESS(r.status)) return *error = Failed("writing the register", r.status), false;
  return true;
}

bool Control::EepromRead(uint32_t address, uint32_t length, std::vector<uint8_t>* data, std::string* error) {
  if (length == 0 || address + length > kEepromChunk) return *error = "EEPROM range outside 64 KiB", false;
  data->assign(length, 0);
  const uint16_t start = uint16_t(address);
  const auto r = host::ks::GetProperty(rig_->filter(), kSetCamprop, kIdEeprom, data->data(), length, &start,
                                       sizeof start);
  if (!NT_SUCCESS(r.status)) return *error = Failed("reading the EEPROM", r.status), false;
  return true;
}

bool Control::EepromWrite(uint32_t address, const std::vector<uint8_t>& data, std::string* error) {
  if (data.empty() || address + data.size() > kEepromChunk) return *error = "EEPROM range outside 64 KiB", false;
  const uint16_t start = uint16_t(address);
  const auto r = host::ks::SetProperty(rig_->filter(), kSetCamprop, kIdEeprom, data.data(), ULONG(data.size()), &start,
                                       sizeof start);
  if (!NT_SUCCESS(r.status)) return *error = Failed("writing the EEPROM", r.status), false;
  return true;
}

bool Control::LoadFirmware(const std::vector<uint8_t>& image, std::string* error) {
  const auto r = host::ks::CallMethod(rig_->filter(), kSetMethods, kMethodLoadFirmware, image.data(),
                                      ULONG(image.size()), nullptr, 0);
  if (!NT_SUCCESS(r.status)) return *error = Failed("loading the firmware", r.status), false;
  return true;
}

bool Control::Power(bool on, std::string* error) {
  uint32_t value = on ? 1 : 0;
  const auto r = host::ks::CallMethod(rig_->filter(), kSetMethods, kMethodCameraPower, nullptr, 0, &value, sizeof value);
  if (!NT_SUCCESS(r.status)) return *error = Failed(on ? "powering on" : "powering off", r.status), false;
  return true;
}

bool Control::Still(std::vector<uint8_t>* uyvy, uint32_t* width, uint32_t* height, std::string* error) {
  const host::ks::Handle filter = rig_->filter();
  const std::vector<VideoRange> ranges = VideoRanges(filter, 0);
  if (ranges.empty()) return *error = "the capture pin offers no video range", false;
  PinFormat format, stillFormat;
  if (!IntersectFormat(filter, 0, ranges.front().width, ranges.front().height, 0, &format, error)) return false;
  if (!IntersectFormat(filter, 1, format.width, format.height, 0, &stillFormat, error)) return false;
  if (rig_->video() == nullptr) rig_->SetVideo(format.width, format.height, format.interval, true);
  std::unique_ptr<PinStream> capture = PinStream::Open(rig_->ks(), filter, 0, format, 2, error);
  if (capture == nullptr) return false;
  std::unique_ptr<PinStream> still = PinStream::Open(rig_->ks(), filter, 1, stillFormat, 1, error);
  if (still == nullptr) return false;
  NTSTATUS status = capture->SetState(KSSTATE_RUN);
  if (NT_SUCCESS(status)) status = still->SetState(KSSTATE_RUN);
  if (!NT_SUCCESS(status)) return *error = Failed("starting the pins", status), false;

  // The first frame shows the stream runs; the still is asked for after it.
  bool streaming = false, got = false;
  NTSTATUS readStatus = STATUS_SUCCESS;
  const auto onCapture = [&](const Frame& f) { streaming |= NT_SUCCESS(f.status); };
  const auto onStill = [&](const Frame& f) {
    if (!NT_SUCCESS(f.status)) return void(readStatus = f.status);
    uyvy->assign(f.data, f.data + f.size);
    *width = f.width;
    *height = f.height;
    got = true;
  };
  host::sched::RunUntil([&] { return capture->Pending() < 2; }, 3 * host::sched::kSecond);
  capture->Collect(onCapture);
  if (!streaming) return *error = "the camera sends no frames", false;
  status = TakeSnapshot(filter);
  if (!NT_SUCCESS(status)) return *error = Failed("asking for a still", status), false;
  const bool done = host::sched::RunUntil(
      [&] {
        capture->Collect(onCapture);
        return still->Pending() == 0;
      },
      3 * host::sched::kSecond);
  still->Collect(onStill);
  if (!NT_SUCCESS(readStatus)) return *error = Failed("the still read", readStatus), false;
  if (!done || !got) return *error = "no still arrived within 3 s of camera time", false;
  return true;
}

void Control::Wait(int64_t duration) { host::sched::RunFor(duration); }

}  // namespace ovra
