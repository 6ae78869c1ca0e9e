// Plug and Play life of an AVStream device, as the PnP manager and ks.sys
// drive it: the calls a test makes to add, start, stop and remove a camera.
#pragma once

#include "../ks.h"
#include "host.h"

namespace host::ks {

// Creates the functional device object (stack size of the PDO's plus one) and
// its KSDEVICE above `pdo`, then calls the driver's Add callback (from the
// descriptor given to KsInitializeDriver). On failure nothing stays behind.
NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo, PKSDEVICE* device);
// IRP_MN_START_DEVICE: calls Start (and PostStart), then sets Started.
NTSTATUS StartDevice(PKSDEVICE device);
// IRP_MN_STOP_DEVICE: calls Stop, clears Started.
void StopDevice(PKSDEVICE device);
// IRP_MN_SURPRISE_REMOVAL: calls SurpriseRemoval.
void SurpriseRemoveDevice(PKSDEVICE device);
// IRP_MN_REMOVE_DEVICE: calls Remove, frees the object bag (running each
// item's free routine, newest first), deletes the FDO and the KSDEVICE.
void RemoveDevice(PKSDEVICE device);

// Items in an object bag.
size_t BagItems(KSOBJECT_BAG bag);
// The device mutex is held by some thread.
bool DeviceMutexHeld(PKSDEVICE device);
// Times the unload routine that KsInitializeDriver installed has run for this
// driver object (the driver's own unload is expected to call it).
int UnloadCalls(PDRIVER_OBJECT driver);

}  // namespace host::ks
