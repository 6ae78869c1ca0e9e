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

}  // namespace ovratest
