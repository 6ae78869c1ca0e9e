// Hooks of the AVStream stand-in for its own modules: object bags (shared by
// devices, filter factories, filters and pins) and the device's Plug and Play
// events that the filter and pin side must follow.
#pragma once

#include <host/ks.h>

namespace host::ksi {

KSOBJECT_BAG CreateBag();
// Frees every item whose last bag this was (newest first, each through its
// free routine or ExFreePool), then the bag itself.
void FreeBag(KSOBJECT_BAG bag);
bool BagContains(KSOBJECT_BAG bag, const void* item);

// After the driver's Stop: factories made with KSCREATE_ITEM_FREEONSTOP go.
void DeviceStopped(PKSDEVICE device);
// After the driver's SurpriseRemoval: pending reads fail, new opens fail.
void DeviceSurpriseRemoved(PKSDEVICE device);
// Before the device's bag is freed: every factory goes (a violation if a
// filter is still open).
void DeviceRemoved(PKSDEVICE device);
// Filter control mutexes the calling thread holds (ks.sys takes the device
// mutex before them, never after).
int ControlMutexesHeld();
void ResetObjects();

}  // namespace host::ksi
