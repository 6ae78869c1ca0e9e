// A control session on one emulated camera: what ovractl does, over the KS
// client (filter property and method requests, the still pin).
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "camprop.h"

namespace ovra {

class Rig;

class Control {
 public:
  // Plugs the camera and opens its filter; null with a one-line reason.
  static std::unique_ptr<Control> Open(uint32_t vidPid, std::string* error);
  ~Control();

  // The property sets and items of the filter, from support queries.
  bool List(FILE* out, std::string* error);
  // A named property (NamedProperties) or a standard one: "dropped-frames",
  // "video-caps", "video-mode". `text` gets a printable value.
  bool Get(const std::string& name, std::string* text, std::string* error);
  bool Set(const std::string& name, uint32_t value, std::string* error);
  bool I2cRead(uint8_t device, uint16_t reg, uint16_t* value, std::string* error);
  bool I2cWrite(uint8_t device, uint16_t reg, uint16_t value, std::string* error);
  bool EepromRead(uint32_t address, uint32_t length, std::vector<uint8_t>* data, std::string* error);
  bool EepromWrite(uint32_t address, const std::vector<uint8_t>& data, std::string* error);
  bool LoadFirmware(const std::vector<uint8_t>& image, std::string* error);
  bool Power(bool on, std::string* error);
  // Streams the capture pin at the camera's first size, asks for a still and
  // returns the still pin's frame (UYVY).
  bool Still(std::vector<uint8_t>* uyvy, uint32_t* width, uint32_t* height, std::string* error);
  // Lets virtual time pass.
  void Wait(int64_t duration);

 private:
  Control();
  std::unique_ptr<Rig> rig_;
  uint32_t vidPid_ = 0;
};

}  // namespace ovra
