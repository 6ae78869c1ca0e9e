// DriverEntry, the unload hook, and the device dispatch callbacks that forward
// each Plug and Play event to the camera's CCameraDevice.
#include "driver_entry.h"


const KSDEVICE_DISPATCH kDeviceDispatch = {
    CCameraDevice::DispatchCreate,  // Add
    CCameraDevice::DispatchStart,   // Start
    nullptr,                        // PostStart
    nullptr,                        // QueryStop
    nullptr,                        // CancelStop
    CCameraDevice::DispatchStop,    // Stop
    nullptr,                        // QueryRemove
    nullptr,                        // CancelRemove
    CCameraDevice::DispatchRemove,  // Remove
    nullptr,                        // QueryCapabilities
    CCameraDevice::DispatchRemove,  // SurpriseRemoval
    nullptr,                        // QueryPower
    nullptr,                        // SetPower
    nullptr,                        // QueryInterface
};

const KSDEVICE_DESCRIPTOR kDeviceDescriptor = {
    &kDeviceDispatch,             // Dispatch
    0,                            // FilterDescriptorsCount
    nullptr,                      // FilterDescriptors
    KSDEVICE_DESCRIPTOR_VERSION,  // Version
    0,                            // Flags
};

namespace {

// The unload routine KsInitializeDriver installed; DriverUnload chains to it.
PDRIVER_UNLOAD g_KsUnload;

void DriverUnload(PDRIVER_OBJECT driver) {
  PAGED_CODE();
  if (g_KsUnload != nullptr) g_KsUnload(driver);
}

CCameraDevice* DeviceOf(PKSDEVICE device) { return static_cast<CCameraDevice*>(device->Context); }

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  PAGED_CODE();
  NTSTATUS status = KsInitializeDriver(driver, registryPath, &kDeviceDescriptor);
  // Hooked whatever the status. A second call on the same driver object must
  // not save the hook itself, or unloading would call itself forever.
  if (driver->DriverUnload != DriverUnload) g_KsUnload = driver->DriverUnload;
  driver->DriverUnload = DriverUnload;
  return status;
}

// ---------------------------------------------------------------------------
// Forwarders. ks.sys calls Start, Stop and Remove only for a device whose Add
// succeeded, so Context is set; a null Context is refused all the same.

NTSTATUS CCameraDevice::DispatchStart(PKSDEVICE device, PIRP irp, PCM_RESOURCE_LIST translated,
                                      PCM_RESOURCE_LIST untranslated) {
  PAGED_CODE();
  CCameraDevice* self = DeviceOf(device);
  if (self == nullptr) return STATUS_INVALID_DEVICE_STATE;
  return self->PnpStart(irp, translated, untranslated);
}

void CCameraDevice::DispatchStop(PKSDEVICE device, PIRP irp) {
  PAGED_CODE();
  CCameraDevice* self = DeviceOf(device);
  if (self != nullptr) self->PnpStop();
}

void CCameraDevice::DispatchRemove(PKSDEVICE device, PIRP irp) {
  PAGED_CODE();
  CCameraDevice* self = DeviceOf(device);
  if (self != nullptr) self->PnpRemove();
}
