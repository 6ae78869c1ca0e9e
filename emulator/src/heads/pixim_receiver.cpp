// Receiver of three-bit commands on the port byte's clock and data lines, and
// the table of which head each model type carries.
#include "emu/heads.h"

namespace emu {

void PiximReceiver::OnPort(uint8_t value) {
  portBytes_.push_back(value);
  const bool clock = (value & kClock) != 0;
  const bool data = (value & kData) != 0;
  const bool lastClock = (last_ & kClock) != 0;
  const bool lastData = (last_ & kData) != 0;
  if (lastClock && clock && !lastData && data) {
    // Start: the data line rises while the clock is high.
    if (receiving_) ++broken_;
    receiving_ = true;
    bits_ = 0;
    current_ = Command{};
    current_.ports = {last_, value};
  } else if (receiving_) {
    current_.ports.push_back(value);
    if (!lastClock && clock) {
      current_.value = uint8_t(current_.value | (data ? 1 : 0) << bits_);
      ++bits_;
    }
    if (bits_ == 3 && !clock) {
      commands_.push_back(current_);
      receiving_ = false;
    }
  }
  last_ = value;
}

std::vector<uint8_t> PiximReceiver::Values() const {
  std::vector<uint8_t> values;
  for (const Command& c : commands_) values.push_back(c.value);
  return values;
}

void PiximReceiver::Clear() {
  commands_.clear();
  portBytes_.clear();
  receiving_ = false;
  bits_ = 0;
  broken_ = 0;
}

EmulatedHead MakeHead(uint32_t modelType, I2cBus& bus, const GenericHeadShape& generic) {
  EmulatedHead head;
  switch (modelType) {
    case 0:  // CCD
    case 4:  // Larch
    case 6:  // Rowan
      head.relay = std::make_shared<RelayController>();
      head.relay->AttachTo(bus);
      break;
    case 1:  // Alder
      head.registers = std::make_shared<RegisterHead>(0xBA, 1, 2);
      break;
    case 2: {  // Birch: two 16-bit devices and eight 8-bit ones
      std::vector<RegisterHead::Port> ports = {{0x7A, 1, 2}, {0xBA, 1, 2}};
      for (uint8_t a = 0xA8; a <= 0xAE; a = uint8_t(a + 2)) ports.push_back({a, 1, 1});
      head.registers = std::make_shared<RegisterHead>(std::move(ports));
      break;
    }
    case 3:  // Cedar
      head.registers = std::make_shared<RegisterHead>(0x68, 1, 1);
      break;
    case 5:  // Maple
      head.pixim = std::make_shared<PiximReceiver>();
      break;
    case 7:  // OV7740
      head.registers = std::make_shared<RegisterHead>(0x42, 1, 1);
      break;
    case 8:  // Generic
      head.registers = std::make_shared<RegisterHead>(generic.address8, generic.registerBytes, generic.valueBytes);
      break;
    default:
      break;
  }
  if (head.registers) head.registers->AttachTo(bus);
  return head;
}

}  // namespace emu
