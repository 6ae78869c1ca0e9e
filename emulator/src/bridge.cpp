// The camera's USB bridge: standard and vendor control requests, the video
// pipe and the fault knobs.
#include "emu/bridge.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace emu {
namespace {

using host::usb::BulkReply;
using host::usb::ControlReply;
using host::usb::IsoPacket;
using host::usb::kMicroframe;
using host::usb::Setup;

constexpr uint8_t kGetStatus = 0;
constexpr uint8_t kClearFeature = 1;
constexpr uint8_t kGetDescriptor = 6;
constexpr uint8_t kGetConfiguration = 8;
constexpr uint8_t kSetConfiguration = 9;
constexpr uint8_t kGetInterface = 10;
constexpr uint8_t kSetInterface = 11;
constexpr uint8_t kConfigurationValue = 1;
// How long a waiting bulk transfer sleeps before the bridge looks again.
constexpr int64_t kBulkIdlePoll = 8 * kMicroframe;

void Put16(std::vector<uint8_t>& v, uint16_t x) {
  v.push_back(uint8_t(x));
  v.push_back(uint8_t(x >> 8));
}

void PutEndpoint(std::vector<uint8_t>& v, uint8_t address, uint8_t attributes, uint16_t maxPacket, uint8_t interval) {
  v.insert(v.end(), {7, USB_ENDPOINT_DESCRIPTOR_TYPE, address, attributes});
  Put16(v, maxPacket);
  v.push_back(interval);
}

}  // namespace

// ---------------------------------------------------------------------------
// Descriptors.

std::vector<uint8_t> BuildDeviceDescriptor(const Profile& profile) {
  std::vector<uint8_t> d = {18, USB_DEVICE_DESCRIPTOR_TYPE};
  Put16(d, 0x0200);                // bcdUSB
  d.insert(d.end(), {0xFF, 0xFF, 0xFF, 64});  // vendor class, subclass, protocol; bMaxPacketSize0
  Put16(d, profile.vid);
  Put16(d, profile.pid);
  Put16(d, 0x0100);                // bcdDevice
  d.insert(d.end(), {0, 0, 0, 1});  // no strings; one configuration
  return d;
}

uint32_t IsochBytesPerMicroframe(int alternateSetting) {
  return alternateSetting >= 1 && alternateSetting <= 3 ? 1024u * uint32_t(alternateSetting) : 0u;
}

std::vector<uint8_t> BuildConfigDescriptor(VideoTransport transport) {
  std::vector<uint8_t> c = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 1, kConfigurationValue, 0, 0x80, 250};
  for (int alt = 0; alt < kAltSettings; ++alt) {
    c.insert(c.end(), {9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, uint8_t(alt), 2, 0xFF, 0, 0, 0});
    PutEndpoint(c, kAuxEndpoint, USB_ENDPOINT_TYPE_BULK, kBulkPacket, 0);
    if (transport == VideoTransport::Bulk) {
      PutEndpoint(c, kVideoEndpoint, USB_ENDPOINT_TYPE_BULK, kBulkPacket, 0);
    } else {
      // wMaxPacketSize: 1024 bytes per transaction, bits 11-12 the extra
      // transactions per microframe.
      const uint16_t size = alt == 0 ? 0 : uint16_t(1024 | (alt - 1) << 11);
      PutEndpoint(c, kVideoEndpoint, USB_ENDPOINT_TYPE_ISOCHRONOUS, size, 1);
    }
  }
  c[2] = uint8_t(c.size());
  c[3] = uint8_t(c.size() >> 8);
  return c;
}

// ---------------------------------------------------------------------------
// Byte sources and shapers.

size_t PatternSource::Read(uint8_t* out, size_t capacity) {
  for (size_t i = 0; i < capacity; ++i) out[i] = ByteAt(position_ + i);
  position_ += capacity;
  return capacity;
}

size_t BufferSource::Read(uint8_t* out, size_t capacity) {
  size_t n = 0;
  while (n < capacity && !bytes_.empty()) {
    if (position_ == bytes_.size()) {
      if (!loop_) break;
      position_ = 0;
    }
    const size_t chunk = std::min(capacity - n, bytes_.size() - position_);
    memcpy(out + n, bytes_.data() + position_, chunk);
    n += chunk;
    position_ += chunk;
  }
  return n;
}

PacketShaper ScriptedPackets(std::vector<std::pair<uint64_t, PacketShape>> script) {
  auto table = std::make_shared<std::map<uint64_t, PacketShape>>(script.begin(), script.end());
  return [table](uint64_t index) {
    auto it = table->find(index);
    return it == table->end() ? PacketShape{} : it->second;
  };
}

// ---------------------------------------------------------------------------
// The bridge.

Bridge::Bridge(const Profile& profile, BridgeOptions options)
    : profile_(profile), options_(options), ram_(kRamBytes, 0), eeprom_(kEepromBytes, 0xFF) {
  ResetDescriptors();
}

void Bridge::ResetDescriptors() {
  deviceDescriptor_ = BuildDeviceDescriptor(profile_);
  configDescriptor_ = BuildConfigDescriptor(options_.transport);
}

void Bridge::AddPortListener(std::shared_ptr<PortListener> listener) {
  if (listener) portListeners_.push_back(std::move(listener));
}

void Bridge::AddPowerListener(std::shared_ptr<PowerListener> listener) {
  if (listener) powerListeners_.push_back(std::move(listener));
}

std::vector<ControlRecord> Bridge::VendorRequests() const {
  std::vector<ControlRecord> out;
  for (const ControlRecord& r : records_)
    if (r.Vendor()) out.push_back(r);
  return out;
}

std::vector<ControlRecord> Bridge::VendorRequests(uint8_t code) const {
  std::vector<ControlRecord> out;
  for (const ControlRecord& r : records_)
    if (r.Vendor() && r.setup.bRequest == code) out.push_back(r);
  return out;
}

void Bridge::FailRequest(uint8_t request, int count, int skip, USBD_STATUS status) {
  ControlFault f;
  f.request = request;
  f.count = count;
  f.skip = skip;
  f.action = ControlFault::Action::Fail;
  f.status = status;
  faults_.push_back(f);
}

void Bridge::DelayRequest(uint8_t request, int64_t latency, int count, int skip) {
  ControlFault f;
  f.request = request;
  f.count = count;
  f.skip = skip;
  f.action = ControlFault::Action::Delay;
  f.latency = latency;
  faults_.push_back(f);
}

void Bridge::HangRequest(uint8_t request, int count, int skip) {
  ControlFault f;
  f.request = request;
  f.count = count;
  f.skip = skip;
  f.action = ControlFault::Action::Hang;
  faults_.push_back(f);
}

void Bridge::UnplugOnRequest(uint8_t request, int skip) {
  ControlFault f;
  f.request = request;
  f.count = 1;
  f.skip = skip;
  f.action = ControlFault::Action::Unplug;
  faults_.push_back(f);
}

void Bridge::FailIsochRequests(int count, USBD_STATUS status) {
  isochFailures_ = std::max(count, 0);
  isochFailureStatus_ = status;
}

ControlFault* Bridge::MatchFault(const Setup& setup) {
  const bool vendor = (setup.bmRequestType & 0x60) == 0x40;
  ControlFault* hit = nullptr;
  for (ControlFault& f : faults_) {
    if (f.request != setup.bRequest || f.vendor != vendor) continue;
    ++f.seen;
    if (hit == nullptr && f.seen > f.skip && (f.count < 0 || f.applied < f.count)) {
      ++f.applied;
      hit = &f;
    }
  }
  return hit;
}

ControlReply Bridge::Control(const Setup& setup, uint8_t* data) {
  ControlRecord record;
  record.time = host::sched::Now();
  record.setup = setup;
  const bool in = (setup.bmRequestType & 0x80) != 0;
  if (!in) record.data.assign(data, data + setup.wLength);

  ControlReply reply;
  reply.latency = options_.controlLatency;
  if (ControlFault* f = MatchFault(setup)) {
    switch (f->action) {
      case ControlFault::Action::Fail:
        record.status = f->status;
        records_.push_back(std::move(record));
        reply.status = f->status;
        return reply;
      case ControlFault::Action::Hang:
        record.status = USBD_STATUS_PENDING;
        record.answered = false;
        records_.push_back(std::move(record));
        reply.never = true;
        return reply;
      case ControlFault::Action::Unplug:
        record.status = USBD_STATUS_DEVICE_GONE;
        record.answered = false;
        records_.push_back(std::move(record));
        if (pdo_ != nullptr && host::usb::IsPlugged(pdo_)) host::usb::Unplug(pdo_);
        reply.status = USBD_STATUS_DEVICE_GONE;
        return reply;
      case ControlFault::Action::Delay:
        reply.latency = f->latency;
        reply.completesAnyway = f->completesAnyway;
        break;
    }
  }

  uint32_t length = 0;
  const USBD_STATUS status = (setup.bmRequestType & 0x60) == 0x40 ? Vendor(setup, data, &length)
                                                                  : Standard(setup, data, &length);
  reply.status = status;
  reply.length = USBD_SUCCESS(status) ? std::min<uint32_t>(length, setup.wLength) : 0;
  record.status = status;
  if (in) record.data.assign(data, data + reply.length);
  records_.push_back(std::move(record));
  return reply;
}

USBD_STATUS Bridge::Standard(const Setup& setup, uint8_t* data, uint32_t* length) {
  const bool in = (setup.bmRequestType & 0x80) != 0;
  const uint8_t recipient = setup.bmRequestType & 0x1F;
  if ((setup.bmRequestType & 0x60) != 0) return USBD_STATUS_STALL_PID;  // class requests
  switch (setup.bRequest) {
    case kGetDescriptor: {
      if (!in || recipient != 0) return USBD_STATUS_STALL_PID;
      const uint8_t type = uint8_t(setup.wValue >> 8);
      const uint8_t index = uint8_t(setup.wValue);
      const std::vector<uint8_t>* d = nullptr;
      if (type == USB_DEVICE_DESCRIPTOR_TYPE && index == 0) d = &deviceDescriptor_;
      if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE && index == 0) d = &configDescriptor_;
      if (d == nullptr) return USBD_STATUS_STALL_PID;
      *length = uint32_t(std::min<size_t>(setup.wLength, d->size()));
      if (*length != 0) memcpy(data, d->data(), *length);
      return USBD_STATUS_SUCCESS;
    }
    case kSetConfiguration: {
      if (in || recipient != 0) return USBD_STATUS_STALL_PID;
      const uint8_t value = configDescriptor_.size() > 5 ? configDescriptor_[5] : kConfigurationValue;
      if (setup.wValue != 0 && setup.wValue != value) return USBD_STATUS_STALL_PID;
      configuration_ = uint8_t(setup.wValue);
      alternate_ = 0;
      return USBD_STATUS_SUCCESS;
    }
    case kSetInterface:
      if (in || recipient != 1 || configuration_ == 0 || setup.wIndex != 0 || setup.wValue >= kAltSettings)
        return USBD_STATUS_STALL_PID;
      alternate_ = setup.wValue;
      return USBD_STATUS_SUCCESS;
    case kGetConfiguration:
      if (!in || setup.wLength < 1) return USBD_STATUS_STALL_PID;
      data[0] = configuration_;
      *length = 1;
      return USBD_STATUS_SUCCESS;
    case kGetInterface:
      if (!in || configuration_ == 0 || setup.wIndex != 0 || setup.wLength < 1) return USBD_STATUS_STALL_PID;
      data[0] = uint8_t(alternate_);
      *length = 1;
      return USBD_STATUS_SUCCESS;
    case kClearFeature:
      // ENDPOINT_HALT of the video endpoint; other features are accepted.
      if (in) return USBD_STATUS_STALL_PID;
      if (recipient == 2 && setup.wValue == 0 && setup.wIndex == kVideoEndpoint && haltClears_ > 0) {
        --haltClears_;
        ++haltsCleared_;
      }
      return USBD_STATUS_SUCCESS;
    case kGetStatus:
      if (!in) return USBD_STATUS_STALL_PID;
      *length = std::min<uint32_t>(2, setup.wLength);
      memset(data, 0, *length);
      return USBD_STATUS_SUCCESS;
    default:
      return USBD_STATUS_STALL_PID;
  }
}

USBD_STATUS Bridge::Vendor(const Setup& setup, uint8_t* data, uint32_t* length) {
  const bool in = (setup.bmRequestType & 0x80) != 0;
  switch (setup.bRequest) {
    case kReqFirmware:
      for (uint32_t i = 0; i < setup.wLength; ++i) {
        const uint16_t address = uint16_t(setup.wValue + i);
        if (in) {
          data[i] = address < kRamBytes ? ram_[address] : address == kCpuControl ? uint8_t(cpuHeld_ ? 1 : 0) : 0;
        } else if (address < kRamBytes) {
          ram_[address] = data[i];
        } else if (address == kCpuControl) {
          const bool hold = (data[i] & 1) != 0;
          if (cpuHeld_ && !hold) ++cpuStarts_;
          cpuHeld_ = hold;
        }
      }
      *length = setup.wLength;
      return USBD_STATUS_SUCCESS;
    case kReqEeprom:
      for (uint32_t i = 0; i < setup.wLength; ++i) {
        const uint16_t address = uint16_t(setup.wValue + i);
        if (in)
          data[i] = eeprom_[address];
        else
          eeprom_[address] = data[i];
      }
      *length = setup.wLength;
      return USBD_STATUS_SUCCESS;
    case kReqRenumerate:
      return in ? USBD_STATUS_STALL_PID : USBD_STATUS_SUCCESS;
    case kReqStreamReset:
      if (in) return USBD_STATUS_STALL_PID;
      ++streamResets_;
      return USBD_STATUS_SUCCESS;
    case kReqFlush:
      if (in) return USBD_STATUS_STALL_PID;
      ++flushes_;
      stalled_ = false;
      return USBD_STATUS_SUCCESS;
    case kReqPower: {
      if (in) return USBD_STATUS_STALL_PID;
      powered_ = setup.wValue != 0;
      const auto listeners = powerListeners_;
      for (const auto& l : listeners) l->OnPower(powered_);
      return USBD_STATUS_SUCCESS;
    }
    case kReqPort: {
      if (in) return USBD_STATUS_STALL_PID;
      port_ = uint8_t(setup.wValue);
      const auto listeners = portListeners_;
      for (const auto& l : listeners) l->OnPort(port_);
      return USBD_STATUS_SUCCESS;
    }
    case kReqI2cByte: {
      if (!in) return USBD_STATUS_STALL_PID;
      const I2cByte b = i2c_.Transfer(uint8_t(setup.wValue >> 8), uint8_t(setup.wValue));
      const uint8_t reply[4] = {b.flags, b.sampled, uint8_t(b.acked ? 0 : 1), 0};
      *length = std::min<uint32_t>(sizeof reply, setup.wLength);
      memcpy(data, reply, *length);
      return USBD_STATUS_SUCCESS;
    }
    case kReqStatus: {
      if (!in) return USBD_STATUS_STALL_PID;
      const uint8_t reply[4] = {0, uint8_t(statusBit_ ? 1 : 0), 0, 0};
      *length = std::min<uint32_t>(sizeof reply, setup.wLength);
      memcpy(data, reply, *length);
      return USBD_STATUS_SUCCESS;
    }
    default:
      return USBD_STATUS_STALL_PID;
  }
}

uint32_t Bridge::VideoBytesPerMicroframe() const {
  if (configuration_ == 0) return 0;
  if (options_.transport == VideoTransport::Bulk) return options_.bulkBytesPerMicroframe;
  return IsochBytesPerMicroframe(alternate_);
}

uint32_t Bridge::PlayVideo(uint8_t* buffer, uint32_t room, int64_t time, USBD_STATUS* status, bool* empty) {
  const PacketShape shape = shaper_ ? shaper_(packetIndex_) : PacketShape{};
  ++packetIndex_;
  *status = USBD_STATUS_SUCCESS;
  *empty = false;
  uint32_t n = 0;
  switch (shape.kind) {
    case PacketShape::Kind::Normal:
      n = source_ ? uint32_t(source_->ReadAt(buffer, room, time)) : 0;
      break;
    case PacketShape::Kind::Short:
      n = source_ ? uint32_t(source_->ReadAt(buffer, std::min(room, shape.length), time)) : 0;
      break;
    case PacketShape::Kind::Empty:
      *empty = true;
      return 0;
    case PacketShape::Kind::Failed:
      scratch_.resize(room);
      if (source_ && room != 0) source_->ReadAt(scratch_.data(), room, time);
      *status = shape.status;
      return 0;
  }
  n = std::min(n, room);
  videoBytes_ += n;
  return n;
}

USBD_STATUS Bridge::IsochRequest(uint8_t endpoint, uint32_t packets) {
  if (endpoint == kVideoEndpoint && haltClears_ > 0) return USBD_STATUS_STALL_PID;
  if (endpoint == kVideoEndpoint && isochFailures_ > 0) {
    --isochFailures_;
    return isochFailureStatus_;
  }
  return USBD_STATUS_SUCCESS;
}

IsoPacket Bridge::IsochIn(uint8_t endpoint, uint64_t microframe, uint8_t* buffer, uint32_t capacity) {
  IsoPacket packet;
  if (endpoint != kVideoEndpoint) return packet;
  ++videoPackets_;
  if (stalled_) {
    ++packetIndex_;
    return packet;
  }
  const uint32_t room = std::min(capacity, VideoBytesPerMicroframe());
  bool empty = false;
  packet.length = PlayVideo(buffer, room, int64_t(microframe) * kMicroframe, &packet.status, &empty);
  return packet;
}

BulkReply Bridge::BulkIn(uint8_t endpoint, uint8_t* buffer, uint32_t capacity) {
  BulkReply reply;
  if (endpoint != kVideoEndpoint || haltClears_ > 0) {
    reply.status = USBD_STATUS_STALL_PID;
    return reply;
  }
  if (stalled_) {
    reply.wait = true;
    reply.duration = kBulkIdlePoll;
    return reply;
  }
  const uint32_t rate = std::max<uint32_t>(VideoBytesPerMicroframe(), 1);
  bool empty = false;
  const uint32_t n = PlayVideo(buffer, capacity, host::sched::Now(), &reply.status, &empty);
  if (n == 0 && USBD_SUCCESS(reply.status) && !empty) {
    // Nothing to send: the transfer waits, and the packet does not count.
    --packetIndex_;
    reply.wait = true;
    reply.duration = kBulkIdlePoll;
    return reply;
  }
  ++videoPackets_;
  reply.length = n;
  reply.duration = std::max<int64_t>(1, (int64_t(n) + rate - 1) / rate) * kMicroframe;
  return reply;
}

// ---------------------------------------------------------------------------
// Camera.

Camera::Camera(const Profile& profile, BridgeOptions options, std::string_view name)
    : bridge_(std::make_shared<Bridge>(profile, options)) {
  pdo_ = host::usb::Plug(bridge_, name);
  bridge_->SetPdo(pdo_);
}

Camera::~Camera() { Remove(); }

Camera::Camera(Camera&& other) noexcept : pdo_(other.pdo_), bridge_(std::move(other.bridge_)) { other.pdo_ = nullptr; }

Camera& Camera::operator=(Camera&& other) noexcept {
  if (this != &other) {
    Remove();
    pdo_ = other.pdo_;
    bridge_ = std::move(other.bridge_);
    other.pdo_ = nullptr;
  }
  return *this;
}

void Camera::Unplug() {
  if (pdo_ != nullptr && host::usb::IsPlugged(pdo_)) host::usb::Unplug(pdo_);
}

void Camera::UnplugAt(int64_t when) {
  if (pdo_ == nullptr) return;
  std::weak_ptr<Bridge> weak = bridge_;
  PDEVICE_OBJECT pdo = pdo_;
  host::sched::At(
      when,
      [weak, pdo] {
        auto bridge = weak.lock();
        if (bridge && host::usb::Model(pdo) == bridge.get() && host::usb::IsPlugged(pdo)) host::usb::Unplug(pdo);
      },
      DISPATCH_LEVEL, "usb: unplug");
}

void Camera::Remove() {
  if (pdo_ == nullptr) return;
  if (bridge_ && host::usb::Model(pdo_) == bridge_.get()) host::usb::Remove(pdo_);
  if (bridge_) bridge_->SetPdo(nullptr);
  pdo_ = nullptr;
}

Camera PlugCamera(const Profile& profile, BridgeOptions options, std::string_view name) {
  return Camera(profile, options, name);
}

}  // namespace emu
