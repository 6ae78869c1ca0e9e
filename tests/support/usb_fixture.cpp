#include "support/usb_fixture.h"

#include <algorithm>
#include <set>

#include <gtest/gtest.h>

namespace ovratest {
namespace {

NTSTATUS AddRecordingDevice(PKSDEVICE device) {
  device->Context = new RecordingDevice(device);
  return STATUS_SUCCESS;
}

// Removal and surprise removal go to the driver's own forwarder, which acts on
// the device's Hardware.
const KSDEVICE_DISPATCH kDispatch = {AddRecordingDevice,           nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                     nullptr, CCameraDevice::DispatchRemove, nullptr, CCameraDevice::DispatchRemove,
                                     nullptr, nullptr, nullptr};
const KSDEVICE_DESCRIPTOR kDescriptor = {&kDispatch, 0, nullptr, KSDEVICE_DESCRIPTOR_VERSION, 0};

}  // namespace

void RecordingDevice::HandleVideoData(PUCHAR data, ULONG length) {
  if (data == nullptr) {
    ++losses;
    return;
  }
  if (keepBlocks) blocks.push_back({data, length, totalBytes, KeGetCurrentIrql()});
  if (keepBytes) bytes.insert(bytes.end(), data, data + length);
  ++calls;
  totalBytes += length;
  if (onBlock) onBlock();
}

UsbCamera::UsbCamera(std::shared_ptr<host::usb::DeviceModel> m, std::string_view name) : model(std::move(m)) {
  driver = host::io::CreateDriverObject("ovrausb");
  UNICODE_STRING path;
  RtlInitUnicodeString(&path, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\ovrausb");
  EXPECT_EQ(KsInitializeDriver(driver, &path, &kDescriptor), STATUS_SUCCESS);
  pdo = host::usb::Plug(model, name);
  EXPECT_EQ(host::ks::AddDevice(driver, pdo, &device), STATUS_SUCCESS);
  if (device != nullptr) owner = static_cast<RecordingDevice*>(device->Context);
}

UsbCamera::UsbCamera(const emu::Profile& profile, emu::BridgeOptions options, std::string_view name)
    : UsbCamera(std::make_shared<emu::Bridge>(profile, options), name) {
  bridge = std::static_pointer_cast<emu::Bridge>(model);
  bridge->SetPdo(pdo);
}

UsbCamera::~UsbCamera() {
  while (!hardware_.empty()) Destroy(hardware_.back());  // newest first, as the device's bag frees them
  if (device != nullptr) host::ks::RemoveDevice(device);
  delete owner;
  if (pdo != nullptr) host::usb::Remove(pdo);
  if (driver != nullptr) host::io::DeleteDriverObject(driver);
}

void UsbCamera::GiveToDevice(CUSBHardware* hardware) {
  hardware_.erase(std::remove(hardware_.begin(), hardware_.end(), hardware), hardware_.end());
  owner->Hardware = hardware;
  EXPECT_EQ(KsAddItemToObjectBag(device->Bag, hardware, CCameraDevice::DeleteHardware), STATUS_SUCCESS);
}

CUSBHardware* UsbCamera::Adopt(CUSBHardware* hardware) {
  if (hardware != nullptr) hardware_.push_back(hardware);
  return hardware;
}

void UsbCamera::Destroy(CUSBHardware* hardware) {
  if (hardware == nullptr) return;
  hardware_.erase(std::remove(hardware_.begin(), hardware_.end(), hardware), hardware_.end());
  if (owner != nullptr && owner->Hardware == hardware) owner->Hardware = nullptr;
  hardware->~CUSBHardware();
  ExFreePool(hardware);
}

// Descriptors and the scripted device.

std::vector<uint8_t> MakeConfiguration(const std::vector<InterfaceDesc>& interfaces) {
  std::set<uint8_t> numbers;
  for (const auto& i : interfaces) numbers.insert(i.number);
  std::vector<uint8_t> set = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, uint8_t(numbers.size()), 1, 0, 0x80, 250};
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

uint8_t PatternByte(uint64_t position) { return uint8_t((position / 4) >> (8 * (position % 4))); }

void FillPattern(uint8_t* buffer, uint64_t position, uint32_t length) {
  for (uint32_t i = 0; i < length; ++i) buffer[i] = PatternByte(position + i);
}

int64_t PatternPosition(const uint8_t* d) { return int64_t(d[0] | d[1] << 8 | d[2] << 16 | uint32_t(d[3]) << 24) * 4; }

std::shared_ptr<ScriptedDevice> ScriptedDevice::Camera(bool bulk) {
  const EndpointDesc control = {0x01, USB_ENDPOINT_TYPE_BULK, 512, 0};
  const uint16_t isoPackets[] = {0, 1024, 1024 | (1 << 11), 1024 | (2 << 11)};
  std::vector<InterfaceDesc> interfaces;
  for (uint8_t alternate = 0; alternate < 4; ++alternate) {
    const EndpointDesc video = bulk ? EndpointDesc{0x82, USB_ENDPOINT_TYPE_BULK, 512, 0}
                                    : EndpointDesc{0x82, USB_ENDPOINT_TYPE_ISOCHRONOUS, isoPackets[alternate], 1};
    interfaces.push_back({0, alternate, {control, video}});
  }
  auto device = std::make_shared<ScriptedDevice>();
  device->deviceDescriptor = {18, USB_DEVICE_DESCRIPTOR_TYPE, 0x00, 0x02, 0xFF, 0xFF, 0xFF, 64, 0xBC, 0x0F, 0x10, 0x81,
                              0x00, 0x01, 1, 2, 0, 1};  // VID/PID 0x0FBC/0x8110
  device->configuration = MakeConfiguration(interfaces);
  return device;
}

host::usb::ControlReply ScriptedDevice::Stall() {
  host::usb::ControlReply reply;
  reply.status = USBD_STATUS_STALL_PID;
  return reply;
}

host::usb::ControlReply ScriptedDevice::Control(const Setup& setup, uint8_t* data) {
  const bool out = (setup.bmRequestType & 0x80) == 0, vendor = (setup.bmRequestType & 0x60) == 0x40;
  const uint8_t type = uint8_t(setup.wValue >> 8);
  controls.push_back({setup, out ? std::vector<uint8_t>(data, data + setup.wLength) : std::vector<uint8_t>()});
  host::usb::ControlReply reply;
  auto send = [&](const std::vector<uint8_t>& bytes) {
    reply.length = uint32_t(std::min<size_t>(setup.wLength, bytes.size()));
    std::copy_n(bytes.begin(), reply.length, data);
  };
  if (Reply custom = onControl ? onControl(setup, data) : std::nullopt) {
    reply = *custom;
  } else if (vendor || setup.bRequest == 9 || setup.bRequest == 11) {  // SET_CONFIGURATION, SET_INTERFACE
    reply.length = setup.wLength;  // IN replies are the bus's zeros
  } else if (setup.bRequest == 6 && type == USB_DEVICE_DESCRIPTOR_TYPE) {
    send(deviceDescriptor);
  } else if (setup.bRequest == 6 && type == USB_CONFIGURATION_DESCRIPTOR_TYPE) {
    const size_t n = configurationReadCount++;
    send(configurationReads.empty() ? configuration : configurationReads[std::min(n, configurationReads.size() - 1)]);
  } else {
    reply = Stall();
  }
  return reply;
}

host::usb::IsoPacket ScriptedDevice::IsochIn(uint8_t, uint64_t microframe, uint8_t* buffer, uint32_t capacity) {
  ++isoPackets;
  if (onIso) return onIso(microframe, buffer, capacity);
  FillPattern(buffer, streamPosition, capacity);
  streamPosition += capacity;
  return {capacity, USBD_STATUS_SUCCESS};
}

host::usb::BulkReply ScriptedDevice::BulkIn(uint8_t, uint8_t* buffer, uint32_t capacity) {
  if (onBulk) return onBulk(buffer, capacity);
  FillPattern(buffer, streamPosition, capacity);
  streamPosition += capacity;
  return {capacity, USBD_STATUS_SUCCESS, 8 * host::usb::kMicroframe, false};  // about 32 MB/s
}

std::vector<std::pair<int, int>> ScriptedDevice::Requests() const {
  std::vector<std::pair<int, int>> out;
  for (const auto& c : controls) {
    if (c.setup.bRequest != 6) out.emplace_back(c.setup.bRequest, c.setup.wValue);
  }
  return out;
}

size_t ScriptedDevice::Count(uint8_t request) const {
  return size_t(std::count_if(controls.begin(), controls.end(),
                              [&](const ControlRecord& c) { return c.setup.bRequest == request; }));
}

}  // namespace ovratest
