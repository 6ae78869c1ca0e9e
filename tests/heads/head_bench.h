// A camera head under test, reached the way the driver reaches it: the head
// object built by CUSBHardware::CreateHardware over a KSDEVICE, the host's USB
// bus, the emulated bridge, its I2C bus and port lines, and the emulated head
// of the model. Replies of the bridge can be rewritten to provoke what a
// healthy bridge never answers.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <emu/bridge.h>
#include <emu/heads.h>
#include <emu/profiles.h>

#include "driver/heads/heads.h"
#include "support/usb_fixture.h"

namespace headtest {

// One I2C byte as the driver asked the bridge to move it.
struct Byte {
  uint8_t flags = 0;
  uint8_t value = 0;  // 0xFF for a read
  bool operator==(const Byte& o) const { return flags == o.flags && value == o.value; }
};
using Bytes = std::vector<Byte>;
void PrintTo(const Byte& b, std::ostream* os);

// A write message: [S first] [middle]... [last P], or [S only P].
Bytes Msg(std::initializer_list<uint8_t> bytes);
// A read message: [S address|1], then `count` reads, all acknowledged but the last.
Bytes Rd(uint8_t address8, int count);
Bytes Cat(std::initializer_list<Bytes> parts);

// Forwards everything to the bridge; `onVendorIn` may rewrite the reply of
// an IN vendor request after the bridge answered it.
class ReplyFilter : public host::usb::DeviceModel {
 public:
  explicit ReplyFilter(std::shared_ptr<emu::Bridge> bridge) : bridge_(std::move(bridge)) {}
  host::usb::ControlReply Control(const host::usb::Setup& setup, uint8_t* data) override;
  USBD_STATUS IsochRequest(uint8_t endpoint, uint32_t packets) override;
  host::usb::IsoPacket IsochIn(uint8_t endpoint, uint64_t microframe, uint8_t* buffer, uint32_t capacity) override;
  host::usb::BulkReply BulkIn(uint8_t endpoint, uint8_t* buffer, uint32_t capacity) override;

  std::function<void(const host::usb::Setup& setup, uint8_t* reply)> onVendorIn;

 private:
  std::shared_ptr<emu::Bridge> bridge_;
};

// The first profile of a model type.
const emu::Profile& ProfileOf(uint32_t modelType);

class HeadBench {
 public:
  // A camera of this profile with its emulated head; `hw` is the driver's head
  // object for the profile's model type.
  explicit HeadBench(const emu::Profile& profile, emu::GenericHeadShape generic = {});
  explicit HeadBench(uint32_t modelType) : HeadBench(ProfileOf(modelType)) {}
  ~HeadBench() = default;

  emu::Bridge& bridge() { return *bridge_; }
  ReplyFilter& filter() { return *filter_; }
  CCameraDevice& device() { return *camera_->owner; }
  ovratest::UsbCamera& camera() { return *camera_; }

  // The I2C bytes the driver sent since the last Clear.
  Bytes I2c() const;
  // Vendor requests since the last Clear (all, or of one code).
  std::vector<emu::ControlRecord> Vendor() const { return bridge_->VendorRequests(); }
  std::vector<emu::ControlRecord> Vendor(uint8_t code) const { return bridge_->VendorRequests(code); }
  // Forgets the I2C log, the recorded requests and the debug log.
  void Clear();

  // Stores a format in the head (slot 3).
  void SetFormat(int32_t width, int32_t height, int64_t period = 333333);

  emu::EmulatedHead head;
  CUSBHardware* hw = nullptr;

 private:
  std::shared_ptr<emu::Bridge> bridge_;
  std::shared_ptr<ReplyFilter> filter_;
  std::unique_ptr<ovratest::UsbCamera> camera_;
};

// A line in the debug log with exactly this text and level.
bool Logged(const std::string& text, ULONG level);
// Lines in the debug log that contain `substring`.
std::vector<std::string> LogLines(const std::string& substring);

}  // namespace headtest
