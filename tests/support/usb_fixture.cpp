#include "support/usb_fixture.h"

#include <algorithm>

#include <gtest/gtest.h>

namespace ovratest {

namespace {

NTSTATUS AddRecordingDevice(PKSDEVICE device) {
  device->Context = new RecordingDevice(device);
  return STATUS_SUCCESS;
}

const KSDEVICE_DISPATCH kDispatch = {AddRecordingDevice, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                     nullptr,            nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
const KSDEVICE_DESCRIPTOR kDescriptor = {&kDispatch, 0, nullptr, KSDEVICE_DESCRIPTOR_VERSION, 0};

const char16_t kRegistryPath[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\ovrausb";

}  // namespace

void RecordingDevice::HandleVideoData(PUCHAR data, ULONG length) {
  if (keepBlocks) {
    Block block;
    block.address = data;
    block.length = length;
    block.streamOffset = totalBytes;
    block.time = host::sched::Now();
    block.irql = KeGetCurrentIrql();
    blocks.push_back(block);
  }
  if (keepBytes && length != 0) bytes.insert(bytes.end(), data, data + length);
  ++calls;
  totalBytes += length;
  if (onBlock) onBlock(data, length);
}

void RecordingDevice::Clear() {
  blocks.clear();
  bytes.clear();
  calls = 0;
  totalBytes = 0;
}

UsbCamera::UsbCamera(std::shared_ptr<host::usb::DeviceModel> m, std::string_view name) : model(std::move(m)) {
  Setup(name);
}

UsbCamera::UsbCamera(const emu::Profile& profile, emu::BridgeOptions options, std::string_view name)
    : bridge(std::make_shared<emu::Bridge>(profile, options)) {
  model = bridge;
  Setup(name);
  bridge->SetPdo(pdo);
}

void UsbCamera::Setup(std::string_view name) {
  driver = host::io::CreateDriverObject("ovrausb");
  UNICODE_STRING path;
  RtlInitUnicodeString(&path, kRegistryPath);
  NTSTATUS status = KsInitializeDriver(driver, &path, &kDescriptor);
  EXPECT_EQ(status, STATUS_SUCCESS) << "KsInitializeDriver";
  pdo = host::usb::Plug(model, name);
  status = host::ks::AddDevice(driver, pdo, &device);
  EXPECT_EQ(status, STATUS_SUCCESS) << "host::ks::AddDevice";
  if (device != nullptr) owner = static_cast<RecordingDevice*>(device->Context);
}

UsbCamera::~UsbCamera() {
  // Newest first, as the device's bag frees its items.
  while (!hardware_.empty()) Destroy(hardware_.back());
  if (device != nullptr) host::ks::RemoveDevice(device);
  delete owner;
  owner = nullptr;
  device = nullptr;
  if (pdo != nullptr) host::usb::Remove(pdo);
  pdo = nullptr;
  if (driver != nullptr) host::io::DeleteDriverObject(driver);
  driver = nullptr;
}

CUSBHardware* UsbCamera::Adopt(CUSBHardware* hardware) {
  if (hardware != nullptr) hardware_.push_back(hardware);
  return hardware;
}

void UsbCamera::Destroy(CUSBHardware* hardware) {
  if (hardware == nullptr) return;
  hardware_.erase(std::remove(hardware_.begin(), hardware_.end(), hardware), hardware_.end());
  hardware->~CUSBHardware();
  ExFreePool(hardware);
}

void UsbCamera::Unplug() {
  if (pdo != nullptr && host::usb::IsPlugged(pdo)) host::usb::Unplug(pdo);
}

bool UsbCamera::Plugged() const { return pdo != nullptr && host::usb::IsPlugged(pdo); }

// ---------------------------------------------------------------------------
// Descriptors and the scripted device.

std::vector<uint8_t> MakeDeviceDescriptor(uint16_t vid, uint16_t pid) {
  return {18,   USB_DEVICE_DESCRIPTOR_TYPE, 0x00, 0x02, 0xFF, 0xFF, 0xFF, 64, uint8_t(vid), uint8_t(vid >> 8),
          uint8_t(pid), uint8_t(pid >> 8), 0x00, 0x01, 1, 2, 0, 1};
}

std::vector<uint8_t> MakeConfiguration(const std::vector<InterfaceSpec>& interfaces, uint8_t attributes,
                                       uint8_t maxPower) {
  std::vector<uint8_t> numbers;
  for (const auto& i : interfaces) {
    if (std::find(numbers.begin(), numbers.end(), i.number) == numbers.end()) numbers.push_back(i.number);
  }
  std::vector<uint8_t> set = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, uint8_t(numbers.size()), 1, 0,
                              attributes, maxPower};
  for (const auto& i : interfaces) {
    set.insert(set.end(), {9, USB_INTERFACE_DESCRIPTOR_TYPE, i.number, i.alternate, uint8_t(i.endpoints.size()), 0xFF,
                           0x00, 0x00, 0});
    for (const auto& e : i.endpoints) {
      set.insert(set.end(), {7, USB_ENDPOINT_DESCRIPTOR_TYPE, e.address, e.attributes, uint8_t(e.maxPacket),
                             uint8_t(e.maxPacket >> 8), e.interval});
    }
  }
  set[2] = uint8_t(set.size());
  set[3] = uint8_t(set.size() >> 8);
  return set;
}

std::vector<InterfaceSpec> CameraInterfaces(bool bulk) {
  const EndpointSpec control = {0x01, USB_ENDPOINT_TYPE_BULK, 512, 0};
  std::vector<InterfaceSpec> interfaces;
  const uint16_t isoPackets[] = {0, 1024, 1024 | (1 << 11), 1024 | (2 << 11)};
  for (uint8_t alternate = 0; alternate < 4; ++alternate) {
    EndpointSpec video = bulk ? EndpointSpec{0x82, USB_ENDPOINT_TYPE_BULK, 512, 0}
                              : EndpointSpec{0x82, USB_ENDPOINT_TYPE_ISOCHRONOUS, isoPackets[alternate], 1};
    interfaces.push_back({0, alternate, {control, video}});
  }
  return interfaces;
}

uint8_t PatternByte(uint64_t position) { return uint8_t((position / 4) >> (8 * (position % 4))); }

void FillPattern(uint8_t* buffer, uint64_t position, uint32_t length) {
  for (uint32_t i = 0; i < length; ++i) buffer[i] = PatternByte(position + i);
}

int64_t PatternPosition(const uint8_t* data, uint32_t length) {
  if (length < 4) return -1;
  const uint32_t word = uint32_t(data[0]) | uint32_t(data[1]) << 8 | uint32_t(data[2]) << 16 | uint32_t(data[3]) << 24;
  return int64_t(word) * 4;
}

std::shared_ptr<ScriptedDevice> ScriptedDevice::Camera(bool bulk, uint16_t vid, uint16_t pid) {
  auto device = std::make_shared<ScriptedDevice>();
  device->deviceDescriptor = MakeDeviceDescriptor(vid, pid);
  device->configuration = MakeConfiguration(CameraInterfaces(bulk));
  return device;
}

host::usb::ControlReply ScriptedDevice::Control(const host::usb::Setup& setup, uint8_t* data) {
  host::usb::ControlReply reply;
  const bool in = (setup.bmRequestType & 0x80) != 0;
  const bool vendor = (setup.bmRequestType & 0x60) == 0x40;
  ControlRecord record;
  record.setup = setup;
  record.time = host::sched::Now();

  std::optional<host::usb::ControlReply> custom;
  if (!vendor && onStandard) custom = onStandard(setup, data);
  if (custom) {
    reply = *custom;
    record.status = reply.status;
    if (in && reply.length != 0) record.data.assign(data, data + std::min<uint32_t>(reply.length, setup.wLength));
    controls.push_back(std::move(record));
    return reply;
  }
  if (!vendor) {
    if (setup.bRequest == 6 && in) {  // GET_DESCRIPTOR
      const uint8_t type = uint8_t(setup.wValue >> 8);
      const std::vector<uint8_t>* bytes = nullptr;
      if (type == USB_DEVICE_DESCRIPTOR_TYPE) {
        bytes = &deviceDescriptor;
      } else if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE) {
        bytes = &configuration;
        if (!configurationReads.empty()) {
          bytes = &configurationReads[std::min(configurationReadCount, configurationReads.size() - 1)];
        }
        ++configurationReadCount;
      }
      if (bytes == nullptr) {
        reply.status = USBD_STATUS_STALL_PID;
      } else {
        reply.length = uint32_t(std::min<size_t>(setup.wLength, bytes->size()));
        std::copy(bytes->begin(), bytes->begin() + reply.length, data);
      }
    } else if (setup.bRequest == 9 || setup.bRequest == 11) {  // SET_CONFIGURATION, SET_INTERFACE
      reply.length = 0;
    } else {
      reply.status = USBD_STATUS_STALL_PID;
    }
    record.status = reply.status;
    if (in && reply.length != 0) record.data.assign(data, data + reply.length);
    controls.push_back(std::move(record));
    return reply;
  }

  if (!in && setup.wLength != 0) record.data.assign(data, data + setup.wLength);
  if (onVendor) custom = onVendor(setup, data);
  if (custom) {
    reply = *custom;
  } else if (in) {
    std::fill(data, data + setup.wLength, 0);
    auto it = replies.find(setup.bRequest);
    if (it != replies.end()) std::copy_n(it->second.begin(), std::min<size_t>(setup.wLength, it->second.size()), data);
    reply.length = setup.wLength;
  } else {
    reply.length = setup.wLength;
  }
  if (in && reply.length != 0) record.data.assign(data, data + std::min<uint32_t>(reply.length, setup.wLength));
  record.status = reply.status;
  controls.push_back(std::move(record));
  return reply;
}

USBD_STATUS ScriptedDevice::IsochRequest(uint8_t endpoint, uint32_t packets) {
  return onIsochRequest ? onIsochRequest(packets) : USBD_STATUS_SUCCESS;
}

host::usb::IsoPacket ScriptedDevice::IsochIn(uint8_t endpoint, uint64_t microframe, uint8_t* buffer,
                                             uint32_t capacity) {
  ++isoPackets;
  if (onIso) return onIso(microframe, buffer, capacity);
  FillPattern(buffer, streamPosition, capacity);
  streamPosition += capacity;
  host::usb::IsoPacket packet;
  packet.length = capacity;
  return packet;
}

host::usb::BulkReply ScriptedDevice::BulkIn(uint8_t endpoint, uint8_t* buffer, uint32_t capacity) {
  ++bulkTransfers;
  if (onBulk) return onBulk(buffer, capacity);
  FillPattern(buffer, streamPosition, capacity);
  streamPosition += capacity;
  host::usb::BulkReply reply;
  reply.length = capacity;
  reply.duration = 8 * host::usb::kMicroframe;  // about 32 MB/s
  return reply;
}

std::vector<ScriptedDevice::ControlRecord> ScriptedDevice::Vendor(uint8_t request) const {
  std::vector<ControlRecord> out;
  for (const auto& c : controls) {
    if ((c.setup.bmRequestType & 0x60) == 0x40 && c.setup.bRequest == request) out.push_back(c);
  }
  return out;
}

}  // namespace ovratest
