#include "control.h"

#include "rig.h"

namespace ovra {

class KsFilter {};

Control::Control() = default;
Control::~Control() = default;

std::unique_ptr<Control> Control::Open(uint32_t vidPid, std::string* error) {
  std::unique_ptr<Control> c(new Control);
  c->rig_ = Rig::Start(vidPid, error);
  if (c->rig_ == nullptr) return nullptr;
  *error = "property requests through the KS client are not available in this build yet";
  return nullptr;
}

bool Control::List(FILE*, std::string*) { return false; }
bool Control::Get(const std::string&, std::string*, std::string*) { return false; }
bool Control::Set(const std::string&, uint32_t, std::string*) { return false; }
bool Control::I2cRead(uint8_t, uint16_t, uint16_t*, std::string*) { return false; }
bool Control::I2cWrite(uint8_t, uint16_t, uint16_t, std::string*) { return false; }
bool Control::EepromRead(uint32_t, uint32_t, std::vector<uint8_t>*, std::string*) { return false; }
bool Control::EepromWrite(uint32_t, const std::vector<uint8_t>&, std::string*) { return false; }
bool Control::LoadFirmware(const std::vector<uint8_t>&, std::string*) { return false; }
bool Control::Power(bool, std::string*) { return false; }
bool Control::Still(std::vector<uint8_t>*, uint32_t*, uint32_t*, std::string*) { return false; }
void Control::Wait(int64_t) {}

}  // namespace ovra
