// Synchronous USB requests and descriptor helpers: the control road to the
// USB stack below the camera's device object.
#pragma once

#include "hardware.h"

// Time a synchronous request may stay pending before it is cancelled.
constexpr LONGLONG kUsbRequestTimeout = -1000000;  // 100 ms, relative, 100-ns units

// Submits one URB to `target` and waits for it. A request still pending after
// 100 ms is cancelled and reported as STATUS_IO_TIMEOUT; the call returns only
// after the request has completed. STATUS_INSUFFICIENT_RESOURCES (nothing
// sent) when the request cannot be built. PASSIVE_LEVEL.
NTSTATUS CallUSBD(PDEVICE_OBJECT target, PURB urb);

// Reads the descriptor of `type` (index 0, language 0) into `buffer`. The
// bytes the device returned are stored in `*returned` when it is given.
// STATUS_INVALID_PARAMETER without a request for a null buffer.
NTSTATUS GetDescriptor(CUSBHardware* hardware, UCHAR type, PVOID buffer, ULONG length, PULONG returned = nullptr);

// Debug dumps of descriptors the driver holds.
void DumpDeviceDescriptor(const USB_DEVICE_DESCRIPTOR* descriptor);
// Walks the set within its wTotalLength, which the caller guarantees to lie
// inside the buffer.
void DumpConfiguration(const USB_CONFIGURATION_DESCRIPTOR* configuration);

// Keeps the whole, well-formed descriptors at the start of a configuration
// set of which `received` bytes arrived: each bLength at least 2 and inside
// the bytes, the set opened by a configuration descriptor, interface
// descriptors of at least 9 bytes, endpoint descriptors of at least 7. Sets
// wTotalLength to the bytes kept and returns it (0: nothing usable).
ULONG TrimConfiguration(PUSB_CONFIGURATION_DESCRIPTOR configuration, ULONG received);

// Pipe records of an interface record that lie inside its Length.
ULONG PipesInRecord(const USBD_INTERFACE_INFORMATION* record);

// Frees the interface copies and the array that holds them, and clears the
// pipe table that points into them.
void FreeInterfaceCopies(CUSBHardware* hardware);
