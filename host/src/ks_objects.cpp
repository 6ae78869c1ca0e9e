// AVStream stand-in, filter and pin side: routines not modelled yet stop the
// test with a clear message instead of failing to link.
#include <host/api/host.h>
#include <host/ks.h>

#include "internal.h"

namespace {
template <class T>
T NotYet(const char* routine, T result) {
  host::Violation("%s is not modelled by the host yet", routine);
  return result;
}
}  // namespace

#define HOST_KS_PENDING(ret, name, params, result) \
  HOST_EXTERN_C ret name params { return NotYet<ret>(#name, result); }
#define HOST_KS_PENDING_VOID(name, params) \
  HOST_EXTERN_C void name params { host::Violation("%s is not modelled by the host yet", #name); }

HOST_KS_PENDING(NTSTATUS, KsCreateFilterFactory,
                (PDEVICE_OBJECT, const KSFILTER_DESCRIPTOR*, PWSTR, PSECURITY_DESCRIPTOR, ULONG,
                 PFNKSFILTERFACTORYPOWER, PFNKSFILTERFACTORYPOWER, PKSFILTERFACTORY*),
                STATUS_NOT_IMPLEMENTED)
HOST_KS_PENDING(PKSDEVICE, KsGetDevice, (PVOID), nullptr)
HOST_KS_PENDING(PVOID, KsGetParent, (PVOID), nullptr)
HOST_KS_PENDING(PKSFILTER, KsGetFilterFromIrp, (PIRP), nullptr)
HOST_KS_PENDING(PKSPIN, KsGetPinFromIrp, (PIRP), nullptr)
HOST_KS_PENDING(PKSFILTER, KsPinGetParentFilter, (PKSPIN), nullptr)
HOST_KS_PENDING(PKSPIN, KsFilterGetFirstChildPin, (PKSFILTER, ULONG), nullptr)
HOST_KS_PENDING(PKSPIN, KsPinGetNextSiblingPin, (PKSPIN), nullptr)
HOST_KS_PENDING(ULONG, KsFilterGetChildPinCount, (PKSFILTER, ULONG), 0)
HOST_KS_PENDING_VOID(KsFilterAcquireControl, (PKSFILTER))
HOST_KS_PENDING_VOID(KsFilterReleaseControl, (PKSFILTER))
HOST_KS_PENDING(PKSSTREAM_POINTER, KsPinGetLeadingEdgeStreamPointer, (PKSPIN, KSSTREAM_POINTER_STATE), nullptr)
HOST_KS_PENDING(NTSTATUS, KsStreamPointerLock, (PKSSTREAM_POINTER), STATUS_NOT_IMPLEMENTED)
HOST_KS_PENDING_VOID(KsStreamPointerUnlock, (PKSSTREAM_POINTER, BOOLEAN))
HOST_KS_PENDING(NTSTATUS, KsStreamPointerAdvance, (PKSSTREAM_POINTER), STATUS_NOT_IMPLEMENTED)
HOST_KS_PENDING(NTSTATUS, KsStreamPointerAdvanceOffsets, (PKSSTREAM_POINTER, ULONG, ULONG, BOOLEAN),
                STATUS_NOT_IMPLEMENTED)
HOST_KS_PENDING_VOID(KsStreamPointerAdvanceOffsetsAndUnlock, (PKSSTREAM_POINTER, ULONG, ULONG, BOOLEAN))
HOST_KS_PENDING(NTSTATUS, KsStreamPointerSetStatusCode, (PKSSTREAM_POINTER, NTSTATUS), STATUS_NOT_IMPLEMENTED)
HOST_KS_PENDING_VOID(KsPinAttemptProcessing, (PKSPIN, BOOLEAN))
HOST_KS_PENDING_VOID(KsPinAcquireProcessingMutex, (PKSPIN))
HOST_KS_PENDING_VOID(KsPinReleaseProcessingMutex, (PKSPIN))
HOST_KS_PENDING(NTSTATUS, KsPinGetReferenceClockInterface, (PKSPIN, PIKSREFERENCECLOCK*), STATUS_UNSUCCESSFUL)
