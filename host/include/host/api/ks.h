// The AVStream bench: what the PnP manager and a capture application do to a
// KS minidriver, in their terms. Plug a camera (an emulated USB device) under
// a driver, start, stop and remove it; open its filter by reference string;
// send property and method requests as raw bytes; create pins from a
// KSPIN_CONNECT and a format; walk pin states; queue client buffers and take
// them back completed, with their stream headers.
//
// Everything here runs on the calling host thread at PASSIVE_LEVEL; the
// driver's callbacks run inside these calls (and in virtual time, as the
// scheduler runs them).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "../ks.h"
#include "host.h"
#include "usbbus.h"

namespace host::ks {

// ---------------------------------------------------------------------------
// Plug and Play, below the driver.

// Creates the functional device object (stack size of the PDO's plus one) and
// its KSDEVICE above `pdo`, then calls the driver's Add callback (from the
// descriptor given to KsInitializeDriver). On failure nothing stays behind.
NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo, PKSDEVICE* device);
// IRP_MN_START_DEVICE: calls Start (and PostStart), then sets Started.
NTSTATUS StartDevice(PKSDEVICE device);
// IRP_MN_STOP_DEVICE: calls Stop, clears Started; filter factories created
// with KSCREATE_ITEM_FREEONSTOP go away (a violation if a filter is still
// open: the PnP manager does not stop a device with open handles).
void StopDevice(PKSDEVICE device);
// IRP_MN_SURPRISE_REMOVAL: calls SurpriseRemoval; pending reads complete with
// STATUS_DEVICE_REMOVED, new reads and opens fail with it.
void SurpriseRemoveDevice(PKSDEVICE device);
// IRP_MN_REMOVE_DEVICE: calls Remove, frees the filter factories (a violation
// if a filter is still open), then the object bag (each item's free routine,
// newest first), the FDO and the KSDEVICE.
void RemoveDevice(PKSDEVICE device);

// Items in an object bag.
size_t BagItems(KSOBJECT_BAG bag);
// The device mutex is held by some thread.
bool DeviceMutexHeld(PKSDEVICE device);
// Times the unload routine that KsInitializeDriver installed has run.
int UnloadCalls(PDRIVER_OBJECT driver);
// Filter factories that exist for the device.
size_t FilterFactories(PKSDEVICE device);

// ---------------------------------------------------------------------------
// The client side: handles to open filters, pins and clocks.
using Handle = PFILE_OBJECT;

// IRP_MJ_CREATE on the device's filter factory with this reference string:
// the filter's Create dispatch runs. STATUS_OBJECT_NAME_NOT_FOUND when no such
// factory exists (not started, stopped), STATUS_DEVICE_REMOVED after surprise
// removal.
NTSTATUS OpenFilter(PKSDEVICE device, std::u16string_view reference, Handle* filter);
// IRP_MJ_CREATE of a pin on an open filter: `connect` is a KSPIN_CONNECT
// followed by the data format, `length` bytes in all. ks.sys checks the
// buffer, the pin id, the interface and medium, the instance count and the
// format against the pin's ranges; then the driver's SetDataFormat (with no old
// format) and Create run.
NTSTATUS CreatePin(Handle filter, const void* connect, ULONG length, Handle* pin);
// IRP_MJ_CLOSE. A pin is walked down to stop first (one SetDeviceState per
// step), its queued buffers complete with STATUS_CANCELLED, then Close runs
// and its bag is freed. A filter closes its pins first. A clock handle drops
// the client's reference.
NTSTATUS Close(Handle handle);
// A master clock for KSPROPERTY_STREAM_MASTERCLOCK: its time is the virtual
// time since its creation. Close the handle when done.
Handle CreateClock();

struct IoResult {
  NTSTATUS status;
  ULONG_PTR information;  // IoStatus.Information as the client sees it
};
// DeviceIoControl on a filter or pin: IOCTL_KS_PROPERTY or IOCTL_KS_METHOD.
// `in` holds the KSPROPERTY/KSMETHOD and its instance data; `out` the data
// (read for SET, written for GET). On a filter the ks.sys pin set
// (KSPROPSETID_Pin) comes first, then the filter's automation table; on a pin
// the connection and stream sets, then the pin's table. As in ks.sys, the
// handler gets one system buffer with the request and then the data; data for
// a GET starts filled with 0xCD (not zeros), so unwritten bytes show.
IoResult DeviceIoControl(Handle handle, ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength);

// ---------------------------------------------------------------------------
// Streaming: IOCTL_KS_READ_STREAM on an output pin.

// One read request: a stream header of `headerSize` bytes (a KSSTREAM_HEADER,
// possibly followed by an extended header such as KS_FRAME_INFO) whose Data
// and FrameExtent describe the frame buffer.
struct Read {
  KSSTREAM_HEADER* header = nullptr;
  ULONG headerSize = 0;
  NTSTATUS status = STATUS_SUCCESS;
  bool done = false;
  int64_t completedAt = 0;  // virtual time
};
// Queues the read on the pin (the caller keeps it alive until it is done).
// Returns STATUS_PENDING, or the error without queuing: a bad header
// (STATUS_INVALID_BUFFER_SIZE/PARAMETER), a stopped pin
// (STATUS_INVALID_DEVICE_STATE), a removed device (STATUS_DEVICE_REMOVED).
NTSTATUS SubmitRead(Handle pin, Read* read);
// Reads queued on the pin and not completed.
size_t QueuedReads(Handle pin);

// A client buffer: header and frame in separate blocks of exactly their size,
// so that a write past either is caught.
class Buffer : public Read {
 public:
  Buffer(ULONG frameExtent, bool frameInfo);
  uint8_t* Data() { return data_.get(); }
  ULONG Extent() const { return header->FrameExtent; }
  // The KS_FRAME_INFO after the header, or null.
  KS_FRAME_INFO* FrameInfo();

 private:
  std::unique_ptr<uint8_t[]> headerBlock_;
  std::unique_ptr<uint8_t[]> data_;
};

// The buffers a client keeps queued on one pin.
class Stream {
 public:
  Stream(Handle pin, ULONG frameExtent, bool frameInfo);
  ~Stream();  // a violation if the pin still holds one of its buffers
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;
  // Queues `count` new buffers; the first error stops (and is returned).
  NTSTATUS Queue(size_t count = 1);
  // The completed buffers, oldest first.
  std::vector<std::unique_ptr<Buffer>> Take();
  size_t Pending() const { return pending_.size(); }

 private:
  Handle pin_;
  ULONG extent_;
  bool frameInfo_;
  std::vector<std::unique_ptr<Buffer>> pending_;
};

// ---------------------------------------------------------------------------
// Convenience requests built on DeviceIoControl.

IoResult GetProperty(Handle handle, const GUID& set, ULONG id, void* out, ULONG outLength,
                     const void* instance = nullptr, ULONG instanceLength = 0);
IoResult SetProperty(Handle handle, const GUID& set, ULONG id, const void* data, ULONG dataLength,
                     const void* instance = nullptr, ULONG instanceLength = 0);
// Flags KSMETHOD_TYPE_SEND; `in` follows the KSMETHOD in the request.
IoResult CallMethod(Handle handle, const GUID& set, ULONG id, const void* in, ULONG inLength, void* data,
                    ULONG dataLength);

ULONG PinTypes(Handle filter);
KSPIN_CINSTANCES PinInstances(Handle filter, ULONG pinId);
// The pin's data ranges, each as its bytes.
std::vector<std::vector<uint8_t>> DataRanges(Handle filter, ULONG pinId);
// KSPROPERTY_PIN_DATAINTERSECTION for one caller range, with the two-step size
// query; the format on success.
NTSTATUS Intersect(Handle filter, ULONG pinId, const std::vector<uint8_t>& range, std::vector<uint8_t>* format);
// A pin from a format (KSPIN_CONNECT with the standard interface and medium).
NTSTATUS CreatePinWithFormat(Handle filter, ULONG pinId, const std::vector<uint8_t>& format, Handle* pin);
NTSTATUS SetState(Handle pin, KSSTATE state);
KSSTATE GetState(Handle pin);
// KSPROPERTY_STREAM_MASTERCLOCK on the pin (null clears it).
NTSTATUS SetMasterClock(Handle pin, Handle clock);

// Host-side views for tests: the objects behind handles, Process calls made.
PKSPIN PinObject(Handle pin);
PKSFILTER FilterObject(Handle filter);
uint64_t ProcessCalls(Handle pin);

// ---------------------------------------------------------------------------
// A driver and a camera, as the system loads and plugs them.

// The driver object of `service`, its DriverEntry called with the service key.
class Driver {
 public:
  explicit Driver(DRIVER_INITIALIZE* entry, std::string service = "ovrausb");
  ~Driver();  // unloads the driver (remove its cameras first)
  Driver(const Driver&) = delete;
  Driver& operator=(const Driver&) = delete;
  NTSTATUS EntryStatus() const { return entryStatus_; }
  PDRIVER_OBJECT Object() const { return driver_; }
  std::string ServiceKey() const { return reg::ServicesPath(service_); }
  // ServiceKey()\Parameters, where service-wide settings are seeded.
  std::string ParametersKey() const { return ServiceKey() + "\\Parameters"; }

 private:
  std::string service_;
  PDRIVER_OBJECT driver_ = nullptr;
  NTSTATUS entryStatus_ = STATUS_UNSUCCESSFUL;
};

// A USB camera on the emulated bus with the driver's device above it. The
// destructor closes every handle it opened, removes the device if it is still
// there, unplugs the camera and frees the PDO.
class Camera {
 public:
  Camera(Driver& driver, std::shared_ptr<usb::DeviceModel> model, std::string name = "usbcam");
  ~Camera();
  Camera(const Camera&) = delete;
  Camera& operator=(const Camera&) = delete;

  NTSTATUS AddStatus() const { return addStatus_; }
  PKSDEVICE Device() const { return device_; }
  PDEVICE_OBJECT Pdo() const { return pdo_; }
  // The per-device registry key (PLUGPLAY_REGKEY_DRIVER or _DEVICE), to seed
  // before Start.
  std::string DeviceKey(ULONG keyType = PLUGPLAY_REGKEY_DRIVER) const { return reg::DeviceKeyPath(pdo_, keyType); }

  NTSTATUS Start();
  // Closes the handles opened through this object, then stops the device.
  void Stop();
  // Pulls the cable, then IRP_MN_SURPRISE_REMOVAL (handles stay open).
  void SurpriseRemove();
  // Closes the handles opened through this object, then removes the device.
  void Remove();

  // Opens the filter; the handle is closed by Stop, Remove or the destructor
  // unless closed before with CloseHandle.
  NTSTATUS OpenFilter(Handle* filter, std::u16string_view reference = u"GLOBAL");
  NTSTATUS CreatePin(Handle filter, ULONG pinId, const std::vector<uint8_t>& format, Handle* pin);
  NTSTATUS CloseHandle(Handle handle);

 private:
  void CloseAll();
  std::shared_ptr<usb::DeviceModel> model_;
  PDEVICE_OBJECT pdo_ = nullptr;
  PKSDEVICE device_ = nullptr;
  NTSTATUS addStatus_ = STATUS_UNSUCCESSFUL;
  std::vector<Handle> handles_;  // filters and pins, in opening order
};

// ---------------------------------------------------------------------------
// The debug log, for tools: entries of at most `maxLevel`, oldest first.
std::vector<std::string> LogLines(ULONG maxLevel = 31);

}  // namespace host::ks
