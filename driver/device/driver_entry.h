// The driver's entry point and the device descriptor it hands to ks.sys.
#pragma once

#include "camera_device.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

// Dispatch table and device descriptor given to KsInitializeDriver. No filter
// descriptors: each camera's filter factory is created when it starts.
extern const KSDEVICE_DISPATCH kDeviceDispatch;
extern const KSDEVICE_DESCRIPTOR kDeviceDescriptor;
