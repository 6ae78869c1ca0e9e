#include "head_bench.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace headtest {

void PrintTo(const Byte& b, std::ostream* os) {
  char text[16];
  std::snprintf(text, sizeof text, "%02x:%02x", b.flags, b.value);
  *os << text;
}

Bytes Msg(std::initializer_list<uint8_t> bytes) {
  Bytes out;
  size_t i = 0;
  for (uint8_t b : bytes) {
    uint8_t flags = emu::kI2cData;
    if (i == 0) flags |= emu::kI2cStart;
    if (i + 1 == bytes.size()) flags |= emu::kI2cStop;
    out.push_back({flags, b});
    ++i;
  }
  return out;
}

Bytes Rd(uint8_t address8, int count) {
  Bytes out = {{emu::kI2cStart | emu::kI2cData, uint8_t(address8 | 1)}};
  for (int i = 0; i < count; ++i) {
    const bool last = i + 1 == count;
    out.push_back({uint8_t(last ? emu::kI2cData | emu::kI2cStop : emu::kI2cData | emu::kI2cAck), 0xFF});
  }
  return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

host::usb::ControlReply ReplyFilter::Control(const host::usb::Setup& setup, uint8_t* data) {
  host::usb::ControlReply reply = bridge_->Control(setup, data);
  const bool vendorIn = (setup.bmRequestType & 0xE0) == 0xC0;
  if (vendorIn && onVendorIn && reply.status == USBD_STATUS_SUCCESS) onVendorIn(setup, data);
  return reply;
}
USBD_STATUS ReplyFilter::IsochRequest(uint8_t endpoint, uint32_t packets) {
  return bridge_->IsochRequest(endpoint, packets);
}
host::usb::IsoPacket ReplyFilter::IsochIn(uint8_t endpoint, uint64_t microframe, uint8_t* buffer, uint32_t capacity) {
  return bridge_->IsochIn(endpoint, microframe, buffer, capacity);
}
host::usb::BulkReply ReplyFilter::BulkIn(uint8_t endpoint, uint8_t* buffer, uint32_t capacity) {
  return bridge_->BulkIn(endpoint, buffer, capacity);
}

const emu::Profile& ProfileOf(uint32_t modelType) {
  for (const emu::Profile& p : emu::Profiles()) {
    if (p.modelType == modelType) return p;
  }
  ADD_FAILURE() << "no profile of model type " << modelType;
  return emu::Profiles().front();
}

HeadBench::HeadBench(const emu::Profile& profile, emu::GenericHeadShape generic)
    : bridge_(std::make_shared<emu::Bridge>(profile)), filter_(std::make_shared<ReplyFilter>(bridge_)) {
  head = emu::AttachHead(*bridge_, profile.modelType, generic);
  camera_ = std::make_unique<ovratest::UsbCamera>(filter_, profile.name);
  bridge_->SetPdo(camera_->pdo);
  CCameraDevice& dev = *camera_->owner;
  dev.VidPid = profile.VidPid();
  dev.ModelType = profile.modelType;
  dev.ModelFlags = profile.modelFlags;
  dev.LineFrequency = (profile.modelFlags & kModel60Hz) ? 60 : (profile.modelFlags & kModel50Hz) ? 50 : 0;
  dev.GenericConfig.Camera = generic.address8;
  dev.GenericConfig.RegisterWidth = uint16_t(generic.registerBytes * 8);
  dev.GenericConfig.DataWidth = uint16_t(generic.valueBytes * 8);
  hw = camera_->Adopt(CUSBHardware::CreateHardware(camera_->owner, camera_->device, profile.modelType));
  EXPECT_NE(hw, nullptr) << "CreateHardware for " << profile.name;
}

Bytes HeadBench::I2c() const {
  Bytes out;
  for (const emu::I2cByte& b : bridge_->I2c().Log()) out.push_back({b.flags, b.written});
  return out;
}

void HeadBench::Clear() {
  bridge_->I2c().ClearLog();
  bridge_->ClearRequests();
  host::dbg::Clear();
}

void HeadBench::SetFormat(int32_t width, int32_t height, int64_t period) {
  KS_VIDEOINFOHEADER info = {};
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = height;
  info.AvgTimePerFrame = period;
  hw->SetFormat(&info);
}

bool Logged(const std::string& text, ULONG level) {
  for (const host::dbg::Entry& e : host::dbg::Entries()) {
    if (e.text == text && e.level == level && e.component == 81) return true;
  }
  return false;
}

std::vector<std::string> LogLines(const std::string& substring) {
  std::vector<std::string> lines;
  for (const host::dbg::Entry& e : host::dbg::Entries()) {
    if (e.text.find(substring) != std::string::npos) lines.push_back(e.text);
  }
  return lines;
}

}  // namespace headtest
