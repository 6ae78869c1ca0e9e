// Vendor requests and video transfers sent to an emulated camera with raw
// URBs, as a client driver would send them.
#pragma once

#include <cstdint>
#include <vector>

#include <emu/bridge.h>

#include "bus/raw_urb.h"

namespace emutest {

struct Reply {
  NTSTATUS status = 0;
  USBD_STATUS urbStatus = 0;
  std::vector<uint8_t> data;  // IN: the bytes received
  int64_t time = 0;           // completion time
};

// An OUT request with `data` as its data stage.
inline Reply Out(PDEVICE_OBJECT pdo, uint8_t code, uint16_t value, std::vector<uint8_t> data = {}) {
  URB urb;
  bustest::FillVendor(&urb, false, code, value, 0, data.empty() ? nullptr : data.data(), uint32_t(data.size()));
  bustest::Submission s(pdo, &urb);
  s.Wait();
  return Reply{s.status, s.UrbStatus(), {}, s.time};
}

// An IN request for `length` bytes.
inline Reply In(PDEVICE_OBJECT pdo, uint8_t code, uint16_t value, uint16_t length) {
  std::vector<uint8_t> buffer(length, 0xEE);
  URB urb;
  bustest::FillVendor(&urb, true, code, value, 0, length ? buffer.data() : nullptr, length);
  bustest::Submission s(pdo, &urb);
  s.Wait();
  buffer.resize(urb.UrbControlVendorClassRequest.TransferBufferLength);
  return Reply{s.status, s.UrbStatus(), buffer, s.time};
}

// One I2C byte through request 0xC3: the 4-byte reply.
inline std::vector<uint8_t> I2cByte(PDEVICE_OBJECT pdo, uint8_t flags, uint8_t byte) {
  return In(pdo, emu::kReqI2cByte, uint16_t(flags << 8 | byte), 4).data;
}

// Configures the camera and selects an alternate setting of interface 0;
// returns its pipes (the video pipe second).
inline bustest::Pipes Streaming(PDEVICE_OBJECT pdo, uint8_t alternate, NTSTATUS* status = nullptr) {
  bustest::Pipes config = bustest::SelectConfiguration(pdo, status);
  if (config.configuration == nullptr) return config;
  return bustest::SelectInterface(pdo, config.configuration, 0, alternate, 2, status);
}

}  // namespace emutest
