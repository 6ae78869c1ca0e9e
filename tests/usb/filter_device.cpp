#include "filter_device.h"

namespace ovratest {

FilterDevice::FilterDevice(PKSDEVICE device) : device_(device), lower_(device->NextDeviceObject) {
  driver_ = host::io::CreateDriverObject("usbfilter");
  driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Dispatch;
  self_ = host::io::CreateDevice(driver_, sizeof(FilterDevice*), CCHAR(lower_->StackSize + 1), "usbfilter");
  *static_cast<FilterDevice**>(self_->DeviceExtension) = this;
  device_->NextDeviceObject = self_;
}

FilterDevice::~FilterDevice() {
  device_->NextDeviceObject = lower_;
  host::io::DeleteDevice(self_);
  host::io::DeleteDriverObject(driver_);
}

FilterDevice* FilterDevice::From(PDEVICE_OBJECT device) { return *static_cast<FilterDevice**>(device->DeviceExtension); }

NTSTATUS FilterDevice::Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  FilterDevice* self = From(device);
  auto* urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
  if (self->hold && self->hold(*urb)) {
    IoMarkIrpPending(irp);
    const size_t index = self->held.size();
    self->held.push_back({irp, host::sched::Now(), -1, -1});
    IoSetCancelRoutine(irp, Cancel);
    if (self->completeAfter >= 0) {
      host::sched::After(self->completeAfter, [self, index] {
        if (IoSetCancelRoutine(self->held[index].irp, nullptr) != nullptr) self->Finish(index, STATUS_SUCCESS);
      });
    }
    return STATUS_PENDING;
  }
  ++self->forwarded;
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, Completion, self, TRUE, TRUE, TRUE);
  return IoCallDriver(self->lower_, irp);
}

NTSTATUS FilterDevice::Completion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  auto* self = static_cast<FilterDevice*>(context);
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  ++self->completed;
  if (self->onComplete) {
    auto* urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    self->onComplete(self->completed, irp, urb);
  }
  return STATUS_SUCCESS;
}

void FilterDevice::Cancel(PDEVICE_OBJECT device, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  FilterDevice* self = From(device);
  for (size_t i = 0; i < self->held.size(); ++i) {
    if (self->held[i].irp != irp || self->held[i].completedAt >= 0) continue;
    self->held[i].cancelledAt = host::sched::Now();
    if (self->cancelDelay == 0) {
      self->Finish(i, STATUS_CANCELLED);
    } else {
      host::sched::After(self->cancelDelay, [self, i] { self->Finish(i, STATUS_CANCELLED); });
    }
    return;
  }
}

void FilterDevice::Finish(size_t index, NTSTATUS status) {
  Held& h = held[index];
  PIRP irp = h.irp;
  auto* urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
  urb->UrbHeader.Status = status == STATUS_CANCELLED ? USBD_STATUS_CANCELED : USBD_STATUS_SUCCESS;
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  h.completedAt = host::sched::Now();
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

}  // namespace ovratest
