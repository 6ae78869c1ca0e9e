// The bridge's I2C master as request 0xC3 drives it: one byte per request,
// with start and stop conditions and the acknowledge bit.
#include "emu/i2c.h"

namespace emu {

void I2cBus::Attach(uint8_t address8, std::shared_ptr<I2cDevice> device) {
  const uint8_t key = address8 & 0xFE;
  auto it = devices_.find(key);
  if (it != devices_.end() && it->second.get() == current_) current_ = nullptr;
  devices_[key] = std::move(device);
}

void I2cBus::Detach(uint8_t address8) {
  auto it = devices_.find(address8 & 0xFE);
  if (it == devices_.end()) return;
  if (it->second.get() == current_) current_ = nullptr;
  devices_.erase(it);
}

I2cDevice* I2cBus::DeviceAt(uint8_t address8) const {
  auto it = devices_.find(address8 & 0xFE);
  return it == devices_.end() ? nullptr : it->second.get();
}

void I2cBus::NakByte(uint8_t byte, int times, bool addressOnly, bool dataOnly) {
  if (times > 0) naks_.push_back({byte, times, addressOnly, dataOnly});
}

bool I2cBus::TakeNak(uint8_t byte, bool address) {
  for (auto it = naks_.begin(); it != naks_.end(); ++it) {
    if (it->byte != byte || (it->addressOnly && !address) || (it->dataOnly && address)) continue;
    if (--it->times == 0) naks_.erase(it);
    return true;
  }
  return false;
}

I2cByte I2cBus::Transfer(uint8_t flags, uint8_t byte) {
  I2cByte out;
  out.flags = flags;
  out.written = byte;
  out.sampled = 0xFF;

  if (flags & kI2cStart) {
    // A start in the middle of a message ends it for its device.
    if (current_ != nullptr) current_->Stop();
    current_ = nullptr;
    reading_ = false;
    addressPhase_ = true;
    inMessage_ = true;
  }

  if (flags & kI2cData) {
    if (addressPhase_) {
      addressPhase_ = false;
      reading_ = (byte & 1) != 0;
      out.sampled = byte;
      if (!TakeNak(byte, true)) {
        auto it = devices_.find(byte & 0xFE);
        if (it != devices_.end() && it->second->Address(byte)) {
          current_ = it->second.get();
          out.acked = true;
        }
      }
    } else if (reading_) {
      // The master releases the data line (writes 0xFF); the slave drives it
      // and the wired-AND bus shows both. The master drives the ninth bit.
      const bool masterAck = (flags & kI2cAck) != 0;
      const uint8_t data = current_ != nullptr ? current_->Read(masterAck) : 0xFF;
      out.sampled = uint8_t(data & byte);
      out.acked = masterAck;
    } else {
      out.sampled = byte;
      if (current_ != nullptr && !TakeNak(byte, false)) out.acked = current_->Write(byte);
    }
  }

  if (flags & kI2cStop) {
    if (current_ != nullptr) current_->Stop();
    current_ = nullptr;
    reading_ = false;
    addressPhase_ = false;
    inMessage_ = false;
  }

  log_.push_back(out);
  return out;
}

}  // namespace emu
