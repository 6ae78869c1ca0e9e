// A small device for bus tests: fixed descriptors, control replies from a
// script, isochronous packets and bulk replies chosen by the test.
#pragma once

#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <vector>

#include <host/api/host.h>
#include <host/api/usbbus.h>

namespace bustest {

using host::usb::BulkReply;
using host::usb::ControlReply;
using host::usb::IsoPacket;
using host::usb::kMicroframe;
using host::usb::Setup;

// Interface 0: alternate 0 with bulk OUT 0x01 and bulk IN 0x81 (512);
// alternate 1 with bulk OUT 0x01 and isochronous IN 0x82 of 3 x 1024 bytes
// per microframe. A class-specific descriptor, then interface 1 with an
// interrupt IN 0x83 of 8 bytes.
inline std::vector<uint8_t> ScriptedConfiguration() {
  std::vector<uint8_t> c = {9, 2, 0, 0, 2, 1, 0, 0x80, 50,
                            9, 4, 0, 0, 2, 0xFF, 1, 2, 0,
                            7, 5, 0x01, 2, 0x00, 0x02, 0,
                            7, 5, 0x81, 2, 0x00, 0x02, 0,
                            9, 4, 0, 1, 2, 0xFF, 1, 2, 0,
                            7, 5, 0x01, 2, 0x00, 0x02, 0,
                            7, 5, 0x82, 1, 0x00, 0x14, 1,
                            5, 0x24, 1, 2, 3,
                            9, 4, 1, 0, 1, 3, 0, 0, 0,
                            7, 5, 0x83, 3, 8, 0, 4};
  c[2] = uint8_t(c.size());
  return c;
}

class ScriptedModel : public host::usb::DeviceModel {
 public:
  struct Seen {
    int64_t time;
    Setup setup;
    std::vector<uint8_t> data;  // OUT data stage
  };

  std::vector<uint8_t> device = {18, 1, 0x00, 0x02, 0, 0, 0, 64, 0x4C, 0x2E, 0x14, 0x00, 0, 1, 0, 0, 0, 1};
  std::vector<uint8_t> config = ScriptedConfiguration();
  int64_t latency = kMicroframe;  // of every control transfer unless the script says otherwise
  USBD_STATUS standardStatus = USBD_STATUS_SUCCESS;  // of SET_CONFIGURATION / SET_INTERFACE
  // Vendor requests; the default accepts everything and answers IN requests
  // with wLength bytes 0xA5.
  std::function<ControlReply(const Setup&, uint8_t*)> vendor;
  std::vector<Seen> seen;

  USBD_STATUS isoRequestStatus = USBD_STATUS_SUCCESS;
  // Isochronous packets; the default fills the room with the microframe's low byte.
  std::function<IsoPacket(uint64_t microframe, uint8_t* buffer, uint32_t capacity)> iso;
  std::vector<uint64_t> isoMicroframes;
  std::vector<uint32_t> isoCapacities;

  std::deque<BulkReply> bulk;  // played in order; when empty the transfer waits
  int bulkCalls = 0;

  ControlReply Control(const Setup& setup, uint8_t* data) override {
    Seen s{host::sched::Now(), setup, {}};
    if (!(setup.bmRequestType & 0x80)) s.data.assign(data, data + setup.wLength);
    seen.push_back(s);
    ControlReply reply;
    reply.latency = latency;
    if ((setup.bmRequestType & 0x60) == 0x40) {
      if (vendor) return vendor(setup, data);
      if (setup.bmRequestType & 0x80) {
        memset(data, 0xA5, setup.wLength);
        reply.length = setup.wLength;
      }
      return reply;
    }
    if (setup.bRequest == 6) {
      const std::vector<uint8_t>* d = (setup.wValue >> 8) == 1 ? &device : (setup.wValue >> 8) == 2 ? &config : nullptr;
      if (d == nullptr) {
        reply.status = USBD_STATUS_STALL_PID;
        return reply;
      }
      reply.length = uint32_t(std::min<size_t>(setup.wLength, d->size()));
      memcpy(data, d->data(), reply.length);
      return reply;
    }
    reply.status = standardStatus;
    return reply;
  }

  USBD_STATUS IsochRequest(uint8_t, uint32_t) override { return isoRequestStatus; }

  IsoPacket IsochIn(uint8_t, uint64_t microframe, uint8_t* buffer, uint32_t capacity) override {
    isoMicroframes.push_back(microframe);
    isoCapacities.push_back(capacity);
    if (iso) return iso(microframe, buffer, capacity);
    memset(buffer, int(microframe & 0xFF), capacity);
    return IsoPacket{capacity, USBD_STATUS_SUCCESS};
  }

  BulkReply BulkIn(uint8_t, uint8_t* buffer, uint32_t capacity) override {
    ++bulkCalls;
    if (bulk.empty()) return BulkReply{0, USBD_STATUS_SUCCESS, 8 * kMicroframe, true};
    BulkReply r = bulk.front();
    bulk.pop_front();
    memset(buffer, 0x5A, std::min(r.length, capacity));
    return r;
  }

  // Vendor setups seen, in order.
  std::vector<Setup> VendorSetups() const {
    std::vector<Setup> out;
    for (const Seen& s : seen)
      if ((s.setup.bmRequestType & 0x60) == 0x40) out.push_back(s.setup);
    return out;
  }
};

}  // namespace bustest
