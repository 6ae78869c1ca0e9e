// A camera head reached the way the driver reaches it: the head object from
// CUSBHardware::CreateHardware over the host's USB bus, the emulated bridge
// with its I2C bus and port lines, and the emulated head of the model.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <emu/bridge.h>
#include <emu/heads.h>
#include <emu/profiles.h>

#include "driver/heads/heads.h"
#include "support/usb_fixture.h"

namespace headtest {

using host::sched::kMillisecond;
using host::sched::Now;

// One I2C byte as the driver asked the bridge to move it (value 0xFF: a read).
struct Byte {
  uint8_t flags = 0;
  uint8_t value = 0;
  bool operator==(const Byte& o) const { return flags == o.flags && value == o.value; }
};
using Bytes = std::vector<Byte>;

// Messages as text, with the flags the driver gives their bytes: "[70 01 49 05]"
// writes four bytes in one message, "[71 . .]" reads two bytes from 0x70.
inline Bytes Wire(const std::string& text) {
  Bytes out;
  std::istringstream in(text);
  for (std::string token; in >> token;) {
    const bool first = token.front() == '[', last = token.back() == ']';
    token = token.substr(first, token.size() - first - last);
    const bool read = token == ".";
    const int more = read ? emu::kI2cAck : 0;
    out.push_back({uint8_t(emu::kI2cData | (first ? emu::kI2cStart : 0) | (last ? emu::kI2cStop : more)),
                   uint8_t(read ? 0xFF : std::stoi(token, nullptr, 16))});
  }
  return out;
}

// The emulated bridge; `onVendorIn` may rewrite the reply of an IN vendor
// request, to provoke what a healthy bridge never answers.
class FilteredBridge : public emu::Bridge {
 public:
  using emu::Bridge::Bridge;
  host::usb::ControlReply Control(const host::usb::Setup& setup, uint8_t* data) override {
    const host::usb::ControlReply reply = emu::Bridge::Control(setup, data);
    const bool vendorIn = (setup.bmRequestType & 0xE0) == 0xC0;  // vendor, device to host
    if (vendorIn && onVendorIn && reply.status == USBD_STATUS_SUCCESS) onVendorIn(setup, data);
    return reply;
  }
  std::function<void(const host::usb::Setup& setup, uint8_t* reply)> onVendorIn;
};

// The first profile of a model type.
inline const emu::Profile& ProfileOf(uint32_t modelType) {
  for (const emu::Profile& p : emu::Profiles()) {
    if (p.modelType == modelType) return p;
  }
  ADD_FAILURE() << "no profile of model type " << modelType;
  return emu::Profiles().front();
}

class HeadBench {
 public:
  explicit HeadBench(const emu::Profile& profile, emu::GenericHeadShape generic = {})
      : bridge_(std::make_shared<FilteredBridge>(profile)) {
    head = emu::AttachHead(*bridge_, profile.modelType, generic);
    camera_ = std::make_unique<ovratest::UsbCamera>(bridge_, profile.name);
    CCameraDevice& dev = *camera_->owner;
    dev.VidPid = profile.VidPid();
    dev.GenericConfig.Camera = generic.address8;
    dev.GenericConfig.RegisterWidth = uint16_t(generic.registerBytes * 8);
    dev.GenericConfig.DataWidth = uint16_t(generic.valueBytes * 8);
    hw = camera_->Adopt(CUSBHardware::CreateHardware(camera_->owner, camera_->device, profile.modelType));
    EXPECT_NE(hw, nullptr) << "CreateHardware for " << profile.name;
  }
  explicit HeadBench(uint32_t modelType) : HeadBench(ProfileOf(modelType)) {}

  FilteredBridge& bridge() { return *bridge_; }
  CCameraDevice& device() { return *camera_->owner; }

  // The I2C bytes and vendor requests since the last Clear.
  Bytes I2c() const {
    Bytes out;
    for (const emu::I2cByte& b : bridge_->I2c().Log()) out.push_back({b.flags, b.written});
    return out;
  }
  std::vector<std::pair<int, int>> Requests() const {  // (code, value)
    std::vector<std::pair<int, int>> out;
    for (const emu::ControlRecord& r : bridge_->VendorRequests()) out.push_back({r.setup.bRequest, r.setup.wValue});
    return out;
  }
  std::vector<emu::ControlRecord> Vendor(uint8_t code) const { return bridge_->VendorRequests(code); }
  // Forgets the I2C log, the recorded requests and the debug log.
  void Clear() {
    bridge_->I2c().ClearLog();
    bridge_->ClearRequests();
    host::dbg::Clear();
  }
  void SetFormat(int32_t width, int32_t height, int64_t period = 333333) {
    KS_VIDEOINFOHEADER info = {};
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    info.AvgTimePerFrame = period;
    hw->SetFormat(&info);
  }

  emu::EmulatedHead head;
  CUSBHardware* hw = nullptr;

 private:
  std::shared_ptr<FilteredBridge> bridge_;
  std::unique_ptr<ovratest::UsbCamera> camera_;
};

// A line of the driver's debug log with exactly this text and level.
inline bool Logged(const std::string& text, ULONG level) {
  for (const host::dbg::Entry& e : host::dbg::Entries()) {
    if (e.text == text && e.level == level && e.component == 81) return true;
  }
  return false;
}

}  // namespace headtest
