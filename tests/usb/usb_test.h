// Shared pieces of the USB tests: a scripted camera with a PlainHardware on
// it, and a filter device between the driver and the bus.
#pragma once

#include <gtest/gtest.h>

#include <functional>

#include "driver/usb/reader.h"
#include "driver/usb/usb_access.h"
#include "support/usb_fixture.h"

namespace ovratest {

using host::sched::kMillisecond;
using host::sched::kSecond;

class UsbTest : public ::testing::Test {
 protected:
  void SetUp() override { Plug(); }
  // The hooks go before the camera: they may refer to the test's locals.
  void TearDown() override {
    if (dev) {
      dev->onControl = nullptr;
      dev->onIso = nullptr;
      dev->onBulk = nullptr;
    }
    camera.reset();
  }
  void Plug(std::shared_ptr<ScriptedDevice> d = ScriptedDevice::Camera()) {
    TearDown();
    dev = std::move(d);
    camera = std::make_unique<UsbCamera>(dev);
    hw = camera->Make<PlainHardware>();
  }
  // Acquires an alternate setting (1: 1024-byte packets, 96 per transfer) and starts streaming.
  void Stream(UCHAR alternate = 1) {
    ASSERT_EQ(hw->AcquireResources(alternate), STATUS_SUCCESS);
    reader = hw->m_Reader;
    ASSERT_EQ(hw->Start(), STATUS_SUCCESS);
  }

  std::shared_ptr<ScriptedDevice> dev;
  std::unique_ptr<UsbCamera> camera;
  PlainHardware* hw = nullptr;
  ContinuousReader* reader = nullptr;
};

// A lower filter (device->NextDeviceObject while it lives): holds the requests `hold`
// picks until they are cancelled; `onComplete` rewrites the results of the others.
class FilterDevice {
 public:
  explicit FilterDevice(PKSDEVICE device) : device_(device), lower_(device->NextDeviceObject) {
    driver_ = host::io::CreateDriverObject("usbfilter");
    driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Dispatch;
    self_ = host::io::CreateDevice(driver_, sizeof(FilterDevice*), CCHAR(lower_->StackSize + 1), "usbfilter");
    *static_cast<FilterDevice**>(self_->DeviceExtension) = this;
    device_->NextDeviceObject = self_;
  }
  ~FilterDevice() {
    device_->NextDeviceObject = lower_;
    host::io::DeleteDevice(self_);
    host::io::DeleteDriverObject(driver_);
  }

  std::function<bool(const URB& urb)> hold;
  int64_t cancelDelay = 0;  // a held request completes this long after its cancel routine ran
  size_t held = 0;
  std::function<void(PIRP irp, PURB urb)> onComplete;

 private:
  static FilterDevice* From(PDEVICE_OBJECT device) { return *static_cast<FilterDevice**>(device->DeviceExtension); }
  static PURB UrbOf(PIRP irp) {
    return static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
  }
  static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    FilterDevice* self = From(device);
    if (self->hold && self->hold(*UrbOf(irp))) {
      ++self->held;
      IoMarkIrpPending(irp);
      IoSetCancelRoutine(irp, Cancel);
      return STATUS_PENDING;
    }
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, Completion, self, TRUE, TRUE, TRUE);
    return IoCallDriver(self->lower_, irp);
  }
  static NTSTATUS Completion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    auto* self = static_cast<FilterDevice*>(context);
    if (self->onComplete) self->onComplete(irp, UrbOf(irp));
    return STATUS_SUCCESS;
  }
  static void Cancel(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    auto finish = [irp] {
      UrbOf(irp)->UrbHeader.Status = USBD_STATUS_CANCELED;
      irp->IoStatus.Status = STATUS_CANCELLED;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
    };
    if (From(device)->cancelDelay == 0) return finish();
    host::sched::After(From(device)->cancelDelay, finish);
  }

  PKSDEVICE device_;
  PDEVICE_OBJECT lower_, self_;
  PDRIVER_OBJECT driver_;
};

}  // namespace ovratest
