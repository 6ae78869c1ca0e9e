// The relay controller in front of the CCD, Larch and Rowan heads.
#include "emu/heads.h"

namespace emu {

namespace {

constexpr uint8_t kCmdWrite8 = 0x00;
constexpr uint8_t kCmdRead8 = 0x01;
constexpr uint8_t kCmdWrite16 = 0x02;
constexpr uint8_t kCmdRead16 = 0x03;
constexpr uint8_t kCmdBankWrite = 0x80;
constexpr uint8_t kCmdBankRead = 0x81;

bool KnownCommand(uint8_t c) {
  return c == kCmdWrite8 || c == kCmdRead8 || c == kCmdWrite16 || c == kCmdRead16 || c == kCmdBankWrite ||
         c == kCmdBankRead;
}

bool IsRead(RelayController::Kind kind) {
  return kind == RelayController::Kind::kRead8 || kind == RelayController::Kind::kRead16 ||
         kind == RelayController::Kind::kBankRead;
}

}  // namespace

void RelayController::AttachTo(I2cBus& bus) { bus.Attach(kAddress, shared_from_this()); }

uint8_t RelayController::Get8(uint8_t device8, uint8_t reg) const {
  const auto it = files8_.find(uint16_t((device8 & 0xFE) << 8 | reg));
  return it == files8_.end() ? 0 : it->second;
}
void RelayController::Set8(uint8_t device8, uint8_t reg, uint8_t value) {
  files8_[uint16_t((device8 & 0xFE) << 8 | reg)] = value;
}
uint16_t RelayController::Get16(uint16_t reg) const {
  const auto it = file16_.find(reg);
  return it == file16_.end() ? 0 : it->second;
}
void RelayController::Set16(uint16_t reg, uint16_t value) { file16_[reg] = value; }
uint8_t RelayController::GetBank(uint8_t number, uint8_t reg) const {
  const auto it = bank_.find(uint16_t(number << 8 | reg));
  return it == bank_.end() ? 0 : it->second;
}
void RelayController::SetBank(uint8_t number, uint8_t reg, uint8_t value) { bank_[uint16_t(number << 8 | reg)] = value; }

int RelayController::ValueBytes(Kind kind) const { return kind == Kind::kWrite16 || kind == Kind::kRead16 ? 2 : 1; }

bool RelayController::Address(uint8_t address8) {
  bytes_.clear();
  readIndex_ = 0;
  if (address8 == kAddress) {
    if (armed_ && !IsRead(kind_)) {
      phase_ = Phase::kValue;
    } else {
      if (armed_) ++errors_;  // a read was named and never fetched
      armed_ = false;
      phase_ = Phase::kCommand;
    }
    return true;
  }
  // The read address: only after a read command.
  if (!armed_ || !IsRead(kind_)) {
    ++errors_;
    armed_ = false;
    phase_ = Phase::kIdle;
    return false;
  }
  phase_ = Phase::kRead;
  switch (kind_) {
    case Kind::kRead8: readValue_ = Get8(device_, uint8_t(reg_)); break;
    case Kind::kRead16: readValue_ = Get16(reg_); break;
    default: readValue_ = GetBank(device_, uint8_t(reg_)); break;
  }
  return true;
}

bool RelayController::Write(uint8_t byte) {
  switch (phase_) {
    case Phase::kCommand:
      if ((bytes_.empty() && !KnownCommand(byte)) || bytes_.size() >= 3 ||
          (bytes_.size() == 1 && (bytes_[0] & 0x80) != 0 && byte > 7)) {
        ++errors_;
        phase_ = Phase::kRejected;  // the rest of the message is ignored
        return false;
      }
      bytes_.push_back(byte);
      return true;
    case Phase::kValue:
      if (int(bytes_.size()) >= ValueBytes(kind_)) {
        ++errors_;
        armed_ = false;
        phase_ = Phase::kRejected;
        return false;
      }
      bytes_.push_back(byte);
      return true;
    default:
      return false;
  }
}

uint8_t RelayController::Read(bool masterAck) {
  if (phase_ != Phase::kRead) return 0xFF;
  const bool high = ValueBytes(kind_) == 2 && readIndex_ == 0;
  ++readIndex_;
  return high ? uint8_t(readValue_ >> 8) : uint8_t(readValue_ & 0xFF);
}

void RelayController::Complete(Kind kind, uint16_t value) {
  switch (kind) {
    case Kind::kWrite8: Set8(device_, uint8_t(reg_), uint8_t(value)); break;
    case Kind::kWrite16: Set16(reg_, value); break;
    case Kind::kBankWrite: SetBank(device_, uint8_t(reg_), uint8_t(value)); break;
    default: break;
  }
  accesses_.push_back(Access{kind, device_, reg_, value});
}

void RelayController::Stop() {
  switch (phase_) {
    case Phase::kCommand:
      if (bytes_.size() != 3) {
        ++errors_;
        break;
      }
      armed_ = true;
      switch (bytes_[0]) {
        case kCmdWrite8:
          kind_ = Kind::kWrite8;
          device_ = bytes_[1];
          reg_ = bytes_[2];
          break;
        case kCmdRead8:
          kind_ = Kind::kRead8;
          if ((bytes_[1] & 1) == 0) ++errors_;  // the read form of the address is expected
          device_ = uint8_t(bytes_[1] & 0xFE);
          reg_ = bytes_[2];
          break;
        case kCmdWrite16:
        case kCmdRead16:
          kind_ = bytes_[0] == kCmdWrite16 ? Kind::kWrite16 : Kind::kRead16;
          device_ = kWideDevice;
          reg_ = uint16_t(bytes_[1] << 8 | bytes_[2]);
          break;
        default:
          kind_ = bytes_[0] == kCmdBankWrite ? Kind::kBankWrite : Kind::kBankRead;
          device_ = bytes_[1];
          reg_ = bytes_[2];
          break;
      }
      break;
    case Phase::kValue:
      armed_ = false;
      if (int(bytes_.size()) != ValueBytes(kind_)) {
        ++errors_;
        break;
      }
      Complete(kind_, bytes_.size() == 2 ? uint16_t(bytes_[0] << 8 | bytes_[1]) : bytes_[0]);
      break;
    case Phase::kRead:
      armed_ = false;
      if (readIndex_ != ValueBytes(kind_)) {
        ++errors_;
        break;
      }
      Complete(kind_, readValue_);
      break;
    case Phase::kIdle:
    case Phase::kRejected:
      break;
  }
  phase_ = Phase::kIdle;
  bytes_.clear();
}

}  // namespace emu
