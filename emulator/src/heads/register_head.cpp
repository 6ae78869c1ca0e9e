// Register devices directly on the I2C bus.
#include <utility>

#include "emu/heads.h"

namespace emu {

RegisterHead::RegisterHead(std::vector<Port> ports) : ports_(std::move(ports)), files_(ports_.size()) {}

RegisterHead::RegisterHead(uint8_t address8, int registerBytes, int valueBytes)
    : RegisterHead(std::vector<Port>{Port{address8, registerBytes, valueBytes}}) {}

void RegisterHead::AttachTo(I2cBus& bus) {
  for (const Port& port : ports_) bus.Attach(port.address8, shared_from_this());
}

int RegisterHead::PortIndex(uint8_t address8) const {
  for (size_t i = 0; i < ports_.size(); ++i) {
    if (ports_[i].address8 == (address8 & 0xFE)) return int(i);
  }
  return -1;
}

uint16_t RegisterHead::Get(uint8_t address8, uint16_t reg) const {
  const int index = PortIndex(address8);
  if (index < 0) return 0;
  const auto& file = files_[index];
  const auto it = file.find(reg);
  return it == file.end() ? 0 : it->second;
}

void RegisterHead::Set(uint8_t address8, uint16_t reg, uint16_t value) {
  const int index = PortIndex(address8);
  if (index >= 0) files_[index][reg] = value;
}

std::vector<uint16_t> RegisterHead::WritesOf(uint8_t address8, uint16_t reg) const {
  std::vector<uint16_t> values;
  for (const RegisterWrite& w : writes_) {
    if (w.device == (address8 & 0xFE) && w.reg == reg) values.push_back(w.value);
  }
  return values;
}

bool RegisterHead::Refuse() {
  if (refusals_ <= 0) return false;
  --refusals_;
  ++refused_;
  return true;
}

bool RegisterHead::Address(uint8_t address8) {
  const int index = PortIndex(address8);
  if (index < 0 || Refuse()) return false;
  port_ = index;
  reading_ = (address8 & 1) != 0;
  registerBytesSeen_ = 0;
  pending_ = 0;
  pendingBytes_ = 0;
  return true;
}

bool RegisterHead::Write(uint8_t byte) {
  if (port_ < 0 || reading_ || Refuse()) return false;
  const Port& port = ports_[port_];
  if (registerBytesSeen_ < port.registerBytes) {
    pointer_ = registerBytesSeen_ == 0 ? byte : uint16_t(pointer_ << 8 | byte);
    ++registerBytesSeen_;
    return true;
  }
  pending_ = pending_ << 8 | byte;
  if (++pendingBytes_ == port.valueBytes) {
    const uint16_t value = uint16_t(port.valueBytes == 2 ? pending_ & 0xFFFF : pending_ & 0xFF);
    files_[port_][pointer_] = value;
    writes_.push_back(RegisterWrite{port.address8, pointer_, value});
    pointer_ = uint16_t(port.registerBytes == 2 ? pointer_ + 1 : (pointer_ + 1) & 0xFF);
    pending_ = 0;
    pendingBytes_ = 0;
  }
  return true;
}

uint8_t RegisterHead::Read(bool masterAck) {
  if (port_ < 0 || !reading_) return 0xFF;
  const Port& port = ports_[port_];
  const uint16_t value = Get(port.address8, pointer_);
  const uint8_t byte = port.valueBytes == 2 && pendingBytes_ == 0 ? uint8_t(value >> 8) : uint8_t(value & 0xFF);
  if (++pendingBytes_ == port.valueBytes) {
    pointer_ = uint16_t(port.registerBytes == 2 ? pointer_ + 1 : (pointer_ + 1) & 0xFF);
    pendingBytes_ = 0;
  }
  return byte;
}

void RegisterHead::Stop() {
  port_ = -1;
  reading_ = false;
  pending_ = 0;
  pendingBytes_ = 0;
}

}  // namespace emu
