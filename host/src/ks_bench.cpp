// The AVStream bench: client buffers and streams, the convenience requests a
// capture application makes, and a driver and camera as the system loads and
// plugs them.
#include <algorithm>

#include <host/api/ks.h>

#include "internal.h"

namespace host::ks {

// ---------------------------------------------------------------------------
// Buffers and streams.

Buffer::Buffer(ULONG frameExtent, bool frameInfo) {
  headerSize = sizeof(KSSTREAM_HEADER) + (frameInfo ? sizeof(KS_FRAME_INFO) : 0);
  headerBlock_.reset(new uint8_t[headerSize]());
  data_.reset(new uint8_t[frameExtent]());
  header = reinterpret_cast<KSSTREAM_HEADER*>(headerBlock_.get());
  header->Size = headerSize;
  header->FrameExtent = frameExtent;
  header->Data = data_.get();
  if (frameInfo) FrameInfo()->ExtendedHeaderSize = sizeof(KS_FRAME_INFO);
}

KS_FRAME_INFO* Buffer::FrameInfo() {
  return headerSize >= sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO)
             ? reinterpret_cast<KS_FRAME_INFO*>(headerBlock_.get() + sizeof(KSSTREAM_HEADER))
             : nullptr;
}

Stream::Stream(Handle pin, ULONG frameExtent, bool frameInfo) : pin_(pin), extent_(frameExtent), frameInfo_(frameInfo) {}

Stream::~Stream() {
  for (auto& b : pending_) {
    if (!b->done) {
      Violation("a client buffer is freed while pin %p still holds it", static_cast<void*>(pin_));
      (void)b.release();  // leaked rather than freed under the driver
    }
  }
}

NTSTATUS Stream::Queue(size_t count) {
  for (size_t i = 0; i < count; i++) {
    auto buffer = std::make_unique<Buffer>(extent_, frameInfo_);
    const NTSTATUS status = SubmitRead(pin_, buffer.get());
    if (status != STATUS_PENDING) return status;
    pending_.push_back(std::move(buffer));
  }
  return STATUS_PENDING;
}

std::vector<std::unique_ptr<Buffer>> Stream::Take() {
  std::vector<std::unique_ptr<Buffer>> done;
  auto firstPending = std::stable_partition(pending_.begin(), pending_.end(), [](auto& b) { return b->done; });
  std::move(pending_.begin(), firstPending, std::back_inserter(done));
  pending_.erase(pending_.begin(), firstPending);
  std::stable_sort(done.begin(), done.end(), [](auto& a, auto& b) { return a->completedAt < b->completedAt; });
  return done;
}

// ---------------------------------------------------------------------------
// Requests.

namespace {

std::vector<uint8_t> RequestBytes(const GUID& set, ULONG id, ULONG flags, const void* instance, ULONG length) {
  std::vector<uint8_t> request(sizeof(KSPROPERTY) + length);
  KSPROPERTY p{};
  p.Set = set;
  p.Id = id;
  p.Flags = flags;
  memcpy(request.data(), &p, sizeof p);
  if (length != 0) memcpy(request.data() + sizeof p, instance, length);
  return request;
}

KSP_PIN PinRequest(ULONG id, ULONG pinId) {
  KSP_PIN p{};
  p.Property.Set = KSPROPSETID_Pin;
  p.Property.Id = id;
  p.Property.Flags = KSPROPERTY_TYPE_GET;
  p.PinId = pinId;
  return p;
}

}  // namespace

IoResult GetProperty(Handle handle, const GUID& set, ULONG id, void* out, ULONG outLength, const void* instance,
                     ULONG instanceLength) {
  auto request = RequestBytes(set, id, KSPROPERTY_TYPE_GET, instance, instanceLength);
  return DeviceIoControl(handle, IOCTL_KS_PROPERTY, request.data(), ULONG(request.size()), out, outLength);
}

IoResult SetProperty(Handle handle, const GUID& set, ULONG id, const void* data, ULONG dataLength,
                     const void* instance, ULONG instanceLength) {
  auto request = RequestBytes(set, id, KSPROPERTY_TYPE_SET, instance, instanceLength);
  return DeviceIoControl(handle, IOCTL_KS_PROPERTY, request.data(), ULONG(request.size()), const_cast<void*>(data),
                         dataLength);
}

IoResult CallMethod(Handle handle, const GUID& set, ULONG id, const void* in, ULONG inLength, void* data,
                    ULONG dataLength) {
  auto request = RequestBytes(set, id, KSMETHOD_TYPE_SEND, in, inLength);
  return DeviceIoControl(handle, IOCTL_KS_METHOD, request.data(), ULONG(request.size()), data, dataLength);
}

ULONG PinTypes(Handle filter) {
  ULONG n = 0;
  GetProperty(filter, KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, &n, sizeof n);
  return n;
}

KSPIN_CINSTANCES PinInstances(Handle filter, ULONG pinId) {
  KSP_PIN request = PinRequest(KSPROPERTY_PIN_CINSTANCES, pinId);
  KSPIN_CINSTANCES c{};
  DeviceIoControl(filter, IOCTL_KS_PROPERTY, &request, sizeof request, &c, sizeof c);
  return c;
}

std::vector<std::vector<uint8_t>> DataRanges(Handle filter, ULONG pinId) {
  KSP_PIN request = PinRequest(KSPROPERTY_PIN_DATARANGES, pinId);
  IoResult size = DeviceIoControl(filter, IOCTL_KS_PROPERTY, &request, sizeof request, nullptr, 0);
  if (size.status != STATUS_BUFFER_OVERFLOW || size.information < sizeof(KSMULTIPLE_ITEM)) return {};
  std::vector<uint8_t> list(size.information);
  IoResult r = DeviceIoControl(filter, IOCTL_KS_PROPERTY, &request, sizeof request, list.data(), ULONG(list.size()));
  if (!NT_SUCCESS(r.status)) return {};
  KSMULTIPLE_ITEM head;
  memcpy(&head, list.data(), sizeof head);
  std::vector<std::vector<uint8_t>> ranges;
  size_t at = sizeof head;
  for (ULONG i = 0; i < head.Count && at + sizeof(KSDATARANGE) <= list.size(); i++) {
    KSDATARANGE range;
    memcpy(&range, list.data() + at, sizeof range);
    if (range.FormatSize < sizeof range || at + range.FormatSize > list.size()) break;
    ranges.emplace_back(list.begin() + at, list.begin() + at + range.FormatSize);
    at += (range.FormatSize + 7u) & ~7u;
  }
  return ranges;
}

NTSTATUS Intersect(Handle filter, ULONG pinId, const std::vector<uint8_t>& range, std::vector<uint8_t>* format) {
  std::vector<uint8_t> request(sizeof(KSP_PIN) + sizeof(KSMULTIPLE_ITEM) + ((range.size() + 7) & ~size_t(7)));
  KSP_PIN p = PinRequest(KSPROPERTY_PIN_DATAINTERSECTION, pinId);
  KSMULTIPLE_ITEM items{ULONG(request.size() - sizeof p), 1};
  memcpy(request.data(), &p, sizeof p);
  memcpy(request.data() + sizeof p, &items, sizeof items);
  memcpy(request.data() + sizeof p + sizeof items, range.data(), range.size());
  IoResult size = DeviceIoControl(filter, IOCTL_KS_PROPERTY, request.data(), ULONG(request.size()), nullptr, 0);
  if (size.status != STATUS_BUFFER_OVERFLOW) return size.status;
  format->assign(size.information, 0);
  IoResult r = DeviceIoControl(filter, IOCTL_KS_PROPERTY, request.data(), ULONG(request.size()), format->data(),
                               ULONG(format->size()));
  if (NT_SUCCESS(r.status)) format->resize(r.information);
  return r.status;
}

NTSTATUS CreatePinWithFormat(Handle filter, ULONG pinId, const std::vector<uint8_t>& format, Handle* pin) {
  std::vector<uint8_t> connect(sizeof(KSPIN_CONNECT) + format.size());
  KSPIN_CONNECT c{};
  c.Interface.Set = KSINTERFACESETID_Standard;
  c.Interface.Id = KSINTERFACE_STANDARD_STREAMING;
  c.Medium.Set = KSMEDIUMSETID_Standard;
  c.Medium.Id = KSMEDIUM_TYPE_ANYINSTANCE;
  c.PinId = pinId;
  c.Priority.PriorityClass = KSPRIORITY_NORMAL;
  c.Priority.PrioritySubClass = 1;
  memcpy(connect.data(), &c, sizeof c);
  memcpy(connect.data() + sizeof c, format.data(), format.size());
  return CreatePin(filter, connect.data(), ULONG(connect.size()), pin);
}

NTSTATUS SetState(Handle pin, KSSTATE state) {
  ULONG value = state;
  return SetProperty(pin, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, &value, sizeof value).status;
}

KSSTATE GetState(Handle pin) {
  ULONG value = KSSTATE_STOP;
  GetProperty(pin, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, &value, sizeof value);
  return KSSTATE(value);
}

NTSTATUS SetMasterClock(Handle pin, Handle clock) {
  HANDLE value = clock;
  return SetProperty(pin, KSPROPSETID_Stream, KSPROPERTY_STREAM_MASTERCLOCK, &value, sizeof value).status;
}

// ---------------------------------------------------------------------------
// Driver and camera.

Driver::Driver(DRIVER_INITIALIZE* entry, std::string service) : service_(std::move(service)) {
  driver_ = io::CreateDriverObject(service_);
  reg::CreateKey(ServiceKey());
  const std::string path = ServiceKey();
  std::u16string wide(path.begin(), path.end());
  UNICODE_STRING registryPath;
  RtlInitUnicodeString(&registryPath, wide.c_str());
  entryStatus_ = entry(driver_, &registryPath);
}

Driver::~Driver() {
  if (driver_ == nullptr) return;
  if (NT_SUCCESS(entryStatus_)) io::UnloadDriver(driver_);
  io::DeleteDriverObject(driver_);
}

Camera::Camera(Driver& driver, std::shared_ptr<usb::DeviceModel> model, std::string name) : model_(std::move(model)) {
  pdo_ = usb::Plug(model_, name);
  addStatus_ = AddDevice(driver.Object(), pdo_, &device_);
}

Camera::~Camera() {
  CloseAll();
  if (device_ != nullptr) RemoveDevice(device_);
  if (pdo_ != nullptr) usb::Remove(pdo_);
}

void Camera::CloseAll() {
  // Pins before their filters: newest first.
  while (!handles_.empty()) {
    Handle h = handles_.back();
    handles_.pop_back();
    Close(h);
  }
}

NTSTATUS Camera::Start() { return device_ != nullptr ? StartDevice(device_) : STATUS_DEVICE_REMOVED; }

void Camera::Stop() {
  CloseAll();
  if (device_ != nullptr) StopDevice(device_);
}

void Camera::SurpriseRemove() {
  if (pdo_ != nullptr && usb::IsPlugged(pdo_)) usb::Unplug(pdo_);
  if (device_ != nullptr) SurpriseRemoveDevice(device_);
}

void Camera::Remove() {
  CloseAll();
  if (device_ != nullptr) RemoveDevice(device_);
  device_ = nullptr;
}

NTSTATUS Camera::OpenFilter(Handle* filter, std::u16string_view reference) {
  if (device_ == nullptr) return STATUS_DEVICE_REMOVED;
  const NTSTATUS status = ks::OpenFilter(device_, reference, filter);
  if (NT_SUCCESS(status)) handles_.push_back(*filter);
  return status;
}

NTSTATUS Camera::CreatePin(Handle filter, ULONG pinId, const std::vector<uint8_t>& format, Handle* pin) {
  const NTSTATUS status = CreatePinWithFormat(filter, pinId, format, pin);
  if (NT_SUCCESS(status)) handles_.push_back(*pin);
  return status;
}

NTSTATUS Camera::CloseHandle(Handle handle) {
  // A filter's pins close with it.
  if (PKSFILTER f = FilterObject(handle)) {
    handles_.erase(std::remove_if(handles_.begin(), handles_.end(),
                                  [f](Handle h) { return PinObject(h) != nullptr && KsPinGetParentFilter(PinObject(h)) == f; }),
                   handles_.end());
  }
  handles_.erase(std::remove(handles_.begin(), handles_.end(), handle), handles_.end());
  return Close(handle);
}

std::vector<std::string> LogLines(ULONG maxLevel) {
  std::vector<std::string> lines;
  for (const dbg::Entry& e : dbg::Entries())
    if (e.level <= maxLevel) lines.push_back(e.text);
  return lines;
}

}  // namespace host::ks
