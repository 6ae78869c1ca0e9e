// The emulated USB bus below a camera's device object. The bus is the USB
// stack from the driver's point of view: it takes IOCTL_INTERNAL_USB_SUBMIT_URB
// on the physical device object it creates, and plays each request against a
// DeviceModel (the emulator implements one per camera). Requests complete in
// virtual time at DISPATCH_LEVEL, transfers of one pipe in submission order.
//
// It checks what the Windows USB stack checks: each URB's Hdr.Length for its
// function, high-speed isochronous geometry (whole frames of 8 packets, at
// most 1024, no packet larger than the endpoint's payload, packets that
// cover the buffer), and endpoint halt: a transfer the device stalls halts
// its pipe, and every later transfer fails with USBD_STATUS_STALL_PID until a
// reset-pipe request. IRP_MN_REMOVE_DEVICE on the physical device object
// makes it refuse every later request.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "../usb.h"
#include "host.h"

namespace host::usb {

// One high-speed microframe.
constexpr int64_t kMicroframe = 1250;  // 125 us in 100-ns units

struct Setup {
  uint8_t bmRequestType = 0;
  uint8_t bRequest = 0;
  uint16_t wValue = 0;
  uint16_t wIndex = 0;
  uint16_t wLength = 0;
};

// The device's answer to one control transfer.
struct ControlReply {
  USBD_STATUS status = USBD_STATUS_SUCCESS;  // an error fails the IRP with STATUS_UNSUCCESSFUL
  uint32_t length = 0;                       // data-stage bytes moved (IN: written into the buffer)
  int64_t latency = kMicroframe;             // virtual time until the request completes
  bool never = false;                        // never completes on its own (only cancel or unplug end it)
  bool completesAnyway = false;              // a cancel does not stop it: it completes after `latency`
};

struct IsoPacket {
  uint32_t length = 0;  // bytes received, at most the packet capacity
  USBD_STATUS status = USBD_STATUS_SUCCESS;
};

struct BulkReply {
  uint32_t length = 0;  // bytes received
  USBD_STATUS status = USBD_STATUS_SUCCESS;
  int64_t duration = kMicroframe;  // time the transfer takes once it is at the head of the pipe
  bool wait = false;               // no data yet: the bus asks again after `duration`
};

// The device on the other end of the cable.
class DeviceModel {
 public:
  virtual ~DeviceModel() = default;
  // Every control transfer on the default pipe, the standard ones included
  // (GET_DESCRIPTOR, SET_CONFIGURATION, SET_INTERFACE). For OUT, `data` holds
  // wLength bytes; for IN it has room for wLength bytes.
  virtual ControlReply Control(const Setup& setup, uint8_t* data) = 0;
  // Whole-request status of an isochronous IN transfer about to be played
  // (USBD_STATUS_ISOCH_REQUEST_FAILED fails it with no data).
  virtual USBD_STATUS IsochRequest(uint8_t endpoint, uint32_t packets) {
    (void)endpoint;
    (void)packets;
    return USBD_STATUS_SUCCESS;
  }
  // One isochronous IN packet at bus microframe `microframe` (microframes
  // without a transfer are never asked for: their data is lost).
  virtual IsoPacket IsochIn(uint8_t endpoint, uint64_t microframe, uint8_t* buffer, uint32_t capacity) = 0;
  // One bulk IN transfer into `buffer`.
  virtual BulkReply BulkIn(uint8_t endpoint, uint8_t* buffer, uint32_t capacity) = 0;
};

struct BusStats {
  uint64_t controlRequests = 0;
  uint64_t pipeResets = 0;     // reset-pipe requests that cleared a halted pipe
  uint64_t afterRemoval = 0;   // requests refused because the device was removed
  uint64_t pendingAtRemoval = 0;  // requests still pending when the removal came down
  uint64_t isochTransfers = 0;
  uint64_t bulkTransfers = 0;
  uint64_t cancelled = 0;
  uint64_t aborted = 0;
  uint64_t pending = 0;  // requests the bus holds now
};

// Plugs a device into the bus: returns its physical device object, which
// accepts IRP_MJ_INTERNAL_DEVICE_CONTROL with IOCTL_INTERNAL_USB_SUBMIT_URB.
PDEVICE_OBJECT Plug(std::shared_ptr<DeviceModel> model, std::string_view name = "usbcam");
// Pulls the cable: pending requests complete with STATUS_DEVICE_NOT_CONNECTED
// (USBD_STATUS_DEVICE_GONE), later ones fail at once inside IofCallDriver.
void Unplug(PDEVICE_OBJECT pdo);
bool IsPlugged(PDEVICE_OBJECT pdo);
// Frees the physical device object (after Unplug, or unplugging it first).
void Remove(PDEVICE_OBJECT pdo);
BusStats Stats(PDEVICE_OBJECT pdo);
DeviceModel* Model(PDEVICE_OBJECT pdo);
// The configuration value selected (0: unconfigured) and the alternate
// setting of an interface (-1 if the interface is not part of the configuration).
uint8_t Configuration(PDEVICE_OBJECT pdo);
int AlternateSetting(PDEVICE_OBJECT pdo, uint8_t interfaceNumber);

}  // namespace host::usb
