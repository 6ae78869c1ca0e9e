// The kernel build's view of the platform: the WDK headers that mingw-w64
// ships, plus every fix they need so that driver/ compiles in C++ with the
// same names and layouts as the host build. This is the only place for such
// fixes; driver/common/platform.h includes it when OVRA_KERNEL is defined.
#pragma once

#if !defined(OVRA_KERNEL)
#error "compat.h is for the kernel build only"
#endif

// wdm.h and mingw's intrinsic header both define these two in C++; keep the
// intrinsic header's definitions out.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset

#include <ntddk.h>
#include <windef.h>

// ks.h declares IKsReferenceClock and KsPinGetReferenceClockInterface only
// when IUnknown is known; unknown.h needs two declspec names the kernel
// headers leave undefined.
#ifndef DECLSPEC_NOVTABLE
#define DECLSPEC_NOVTABLE
#endif
#ifndef DECLSPEC_NOTHROW
#define DECLSPEC_NOTHROW
#endif
#include <unknown.h>

// ksmedia.h uses TCHAR, which no kernel header defines.
typedef WCHAR TCHAR;

// mingw's KSDEVICE_DESCRIPTOR stops at Version; the published structure ends
// with Flags (both are 32 bytes on x64, Flags living in the tail padding).
// Declare mingw's under another name and the published one under the real
// name, and give KsInitializeDriver an overload that takes the published one.
#define _KSDEVICE_DESCRIPTOR _KSDEVICE_DESCRIPTOR_NO_FLAGS
#define KSDEVICE_DESCRIPTOR KSDEVICE_DESCRIPTOR_NO_FLAGS
#define PKSDEVICE_DESCRIPTOR PKSDEVICE_DESCRIPTOR_NO_FLAGS
#include <ks.h>
#undef _KSDEVICE_DESCRIPTOR
#undef KSDEVICE_DESCRIPTOR
#undef PKSDEVICE_DESCRIPTOR

typedef struct _KSDEVICE_DESCRIPTOR {
  const KSDEVICE_DISPATCH* Dispatch;
  ULONG FilterDescriptorsCount;
  const KSFILTER_DESCRIPTOR* const* FilterDescriptors;
  ULONG Version;
  ULONG Flags;
} KSDEVICE_DESCRIPTOR, *PKSDEVICE_DESCRIPTOR;

static_assert(sizeof(KSDEVICE_DESCRIPTOR) == sizeof(KSDEVICE_DESCRIPTOR_NO_FLAGS), "KSDEVICE_DESCRIPTOR size");
static_assert(offsetof(KSDEVICE_DESCRIPTOR, Version) == offsetof(KSDEVICE_DESCRIPTOR_NO_FLAGS, Version),
              "KSDEVICE_DESCRIPTOR layout");

inline NTSTATUS KsInitializeDriver(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath,
                                   const KSDEVICE_DESCRIPTOR* descriptor) {
  return KsInitializeDriver(driver, registryPath, reinterpret_cast<const KSDEVICE_DESCRIPTOR_NO_FLAGS*>(descriptor));
}

#include <ksmedia.h>

// mingw's USB headers declare the usbd.sys routines without C linkage.
extern "C" {
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>
}

// ---------------------------------------------------------------------------
// Names the host build has and mingw-w64 10 lacks.

#ifndef RTL_QUERY_REGISTRY_TYPECHECK
#define RTL_QUERY_REGISTRY_TYPECHECK 0x00000100
#endif
#ifndef RTL_QUERY_REGISTRY_TYPECHECK_SHIFT
#define RTL_QUERY_REGISTRY_TYPECHECK_SHIFT 24
#endif

// The function type behind PRTL_QUERY_REGISTRY_ROUTINE, for declaring callbacks.
typedef NTSTATUS NTAPI RTL_QUERY_REGISTRY_ROUTINE(PWSTR ValueName, ULONG ValueType, PVOID ValueData,
                                                  ULONG ValueLength, PVOID Context, PVOID EntryContext);

#ifndef USBD_STATUS_REQUEST_FAILED
#define USBD_STATUS_REQUEST_FAILED ((USBD_STATUS)0x80000500L)
#endif
#ifndef USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR
#define USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR ((USBD_STATUS)0xC0000F00L)
#endif
#ifndef FILE_DEVICE_USB_HOST
#define FILE_DEVICE_USB_HOST FILE_DEVICE_UNKNOWN
#endif

// UYVY video (FOURCC 'UYVY' in the standard media-subtype GUID).
#ifndef STATIC_KSDATAFORMAT_SUBTYPE_UYVY
#define STATIC_KSDATAFORMAT_SUBTYPE_UYVY 0x59565955L, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71
extern "C" const GUID __attribute__((selectany)) KSDATAFORMAT_SUBTYPE_UYVY = {STATIC_KSDATAFORMAT_SUBTYPE_UYVY};
#endif

// ---------------------------------------------------------------------------
// The layouts the driver relies on, as the host build asserts them.
static_assert(sizeof(KSDATAFORMAT) == 64, "KSDATAFORMAT");
static_assert(sizeof(KS_VIDEOINFOHEADER) == 88, "KS_VIDEOINFOHEADER");
static_assert(sizeof(KS_DATARANGE_VIDEO) == 296, "KS_DATARANGE_VIDEO");
static_assert(sizeof(KSPROPERTY) == 24 && sizeof(KSMETHOD) == 24, "KSPROPERTY/KSMETHOD");
static_assert(sizeof(KSSTREAM_HEADER) == 56, "KSSTREAM_HEADER");
static_assert(sizeof(KS_FRAME_INFO) == 72, "KS_FRAME_INFO");
static_assert(sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S) == 48, "KSPROPERTY_DROPPEDFRAMES_CURRENT_S");
static_assert(sizeof(KSPROPERTY_VIDEOCONTROL_CAPS_S) == 32, "KSPROPERTY_VIDEOCONTROL_CAPS_S");
static_assert(sizeof(KSPROPERTY_VIDEOCONTROL_MODE_S) == 32, "KSPROPERTY_VIDEOCONTROL_MODE_S");
static_assert(sizeof(KS_VIDEO_STREAM_CONFIG_CAPS) == 128, "KS_VIDEO_STREAM_CONFIG_CAPS");
static_assert(sizeof(KSP_PIN) == 32 && sizeof(KSMULTIPLE_ITEM) == 8, "KSP_PIN/KSMULTIPLE_ITEM");
static_assert(sizeof(KSPIN_CONNECT) == 72 && offsetof(KSPIN_CONNECT, Priority) == 64, "KSPIN_CONNECT");
static_assert(sizeof(KSPROPERTY_DESCRIPTION) == 40, "KSPROPERTY_DESCRIPTION");
static_assert(sizeof(KSPROPERTY_ITEM) == 72 && sizeof(KSPROPERTY_SET) == 40, "KSPROPERTY_ITEM/SET");
static_assert(sizeof(KSMETHOD_ITEM) == 40 && sizeof(KSMETHOD_SET) == 40, "KSMETHOD_ITEM/SET");
static_assert(sizeof(KSAUTOMATION_TABLE) == 48, "KSAUTOMATION_TABLE");
static_assert(sizeof(KSALLOCATOR_FRAMING_EX) == 112, "KSALLOCATOR_FRAMING_EX");
static_assert(sizeof(KSFILTER_DISPATCH) == 32 && sizeof(KSPIN_DISPATCH) == 80, "dispatch tables");
static_assert(sizeof(KSFILTER_DESCRIPTOR) == 104, "KSFILTER_DESCRIPTOR");
static_assert(sizeof(KSPIN_DESCRIPTOR) == 88 && sizeof(KSPIN_DESCRIPTOR_EX) == 136, "pin descriptors");
static_assert(offsetof(KSPIN_DESCRIPTOR_EX, IntersectHandler) == 128, "KSPIN_DESCRIPTOR_EX");
static_assert(sizeof(KSDEVICE) == 64 && sizeof(KSFILTER) == 24 && sizeof(KSFILTERFACTORY) == 24, "objects");
static_assert(sizeof(KSPIN) == 136 && offsetof(KSPIN, ConnectionFormat) == 96 && offsetof(KSPIN, ClientState) == 128,
              "KSPIN");
static_assert(sizeof(KSSTREAM_POINTER_OFFSET) == 16 && sizeof(KSSTREAM_POINTER) == 64 &&
                  offsetof(KSSTREAM_POINTER, OffsetOut) == 48,
              "stream pointers");
static_assert(sizeof(URB) == 152, "URB");
static_assert(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 136, "vendor URB");
static_assert(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == 136, "descriptor URB");
static_assert(sizeof(struct _URB_SELECT_CONFIGURATION) == 88, "select-configuration URB");
static_assert(sizeof(struct _URB_SELECT_INTERFACE) == 56 + 24, "select-interface URB, one pipe");
static_assert(sizeof(USBD_PIPE_INFORMATION) == 24, "pipe information");
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 128, "bulk URB");
static_assert(sizeof(struct _URB_ISOCH_TRANSFER) == 152, "isochronous URB");
static_assert(sizeof(USBD_ISO_PACKET_DESCRIPTOR) == 12, "iso packet");
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18, "device descriptor");
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9, "configuration descriptor");
static_assert(IOCTL_INTERNAL_USB_SUBMIT_URB == 0x220003, "submit-URB control code");
static_assert(sizeof(WCHAR) == 2 && sizeof(LONG) == 4 && sizeof(ULONG) == 4, "Windows x64 base types");

// Kernel code uses no floating point (its state is not saved for it).
#pragma GCC poison float double
