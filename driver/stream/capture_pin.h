// CCapturePin: one per pin instance (capture pin 0, still pin 1), the Context
// of its KSPIN. Holds the pin's format, run state, reference clock and the
// frame assembler's per-pin position and counters.
#pragma once

#include "../common/common.h"

class CCameraDevice;

// KSPIN.Id of the two pins.
enum PinId : ULONG {
  kCapturePinId = 0,
  kStillPinId = 1,
};

// Pin run state: what the pin last asked of the hardware.
enum PinRunState : ULONG {
  kPinStopped = 0,
  kPinPaused = 1,
  kPinRunning = 2,
};

// Route flags of the device's frame router.
enum RouteFlag : ULONG {
  kRouteFrameDone = 0x00001,  // a frame was delivered during this call
  kRouteStillNext = 0x00002,  // the next frame goes to the still pin
  kRouteNoBuffer = 0x00004,   // no output buffer was free during this call
  kRouteDue = 0x10000,        // a routing decision is due before the next bytes
};

// One block of video bytes as the router hands it to a pin. The pin reads and
// updates all of it: Start is the first byte not yet parsed (negative while
// carried-over bytes of a split code come first), End is set to 0 once the
// block is consumed.
struct ParseContext {
  PUCHAR Block;
  ULONG State;
  LONGLONG Start;
  LONGLONG End;
};

class CCapturePin {
 public:
  explicit CCapturePin(PKSPIN pin);
  // Not virtual: the object-bag free routine destroys the exact type.
  ~CCapturePin();

  // --- virtual operations, in slot order ---
  // Slot 0: assembles the bytes of `context` into the pin's buffers.
  virtual void ProcessBuffer(ParseContext* context, PULONG flags);
  // Slot 1: the pin's KSPIN.
  virtual PKSPIN GetKsPin();

  // --- pin dispatch (static forwarders reach the object through KSPIN.Context) ---
  static NTSTATUS DispatchCreate(PKSPIN pin, PIRP irp);
  static NTSTATUS DispatchClose(PKSPIN pin, PIRP irp);
  static NTSTATUS DispatchSetFormat(PKSPIN pin, PKSDATAFORMAT oldFormat, PKSMULTIPLE_ITEM oldAttributeList,
                                    const KSDATARANGE* dataRange, const KSATTRIBUTE_LIST* attributeRange);
  static NTSTATUS DispatchSetState(PKSPIN pin, KSSTATE toState, KSSTATE fromState);
  static NTSTATUS DispatchProcess(PKSPIN pin);
  // Data intersection; `context` is the KSFILTER.
  static NTSTATUS IntersectHandler(PVOID context, PIRP irp, PKSP_PIN pinInstance, PKSDATARANGE callerRange,
                                   PKSDATARANGE matchingRange, ULONG bufferSize, PVOID data, PULONG dataSize);
  // Object-bag free routine of the pin object.
  static void FreePin(PVOID object);

  // Fills one data range for a resolution of a camera model (the other
  // fields keep the template's values).
  static void CalculateDataRange(PKS_DATARANGE_VIDEO range, BOOLEAN still, ULONG altSetting, ULONG modelType,
                                 ULONG vidPid, ULONG width, ULONG height);

  // Copies the connection format's header into a new bag-owned block and
  // makes it the format copy; null on failure (the old copy stays).
  PKS_VIDEOINFOHEADER SaveVideoInfoHeader();

  // --- state machine ---
  NTSTATUS SetState(KSSTATE target, KSSTATE previous);
  NTSTATUS Process();

  // --- frame assembler ---
  // Hands a finished frame on; true when the stream pointer was released.
  BOOLEAN CompleteField(PKSSTREAM_POINTER streamPointer, PULONG flags);
  // count 16-bit UYVY half-pairs from count luminance bytes (chroma 0x80).
  static void ExpandMonochrome(PUCHAR destination, const UCHAR* source, ULONG count);
  // Looks at a timing code's trigger bit; may request a still.
  void CheckSnapshot(const UCHAR* code, PULONG flags, const UCHAR* blockStart);

  // --- fields ---
  PKSPIN Pin;
  CCameraDevice* Device;
  ULONG RunState;                      // PinRunState
  PIKSREFERENCECLOCK ReferenceClock;   // taken at acquire, released at stop; null without one
  KS_VIDEOINFOHEADER KeptHeader;       // the format the pin was created with
  PKS_VIDEOINFOHEADER FormatCopy;      // current connection format (biSize + 48 bytes, bag-owned)
  UCHAR OwnsHardware;                  // RegisterPin acquired the hardware for this pin
  UCHAR Started;                       // first Process since the last transition to pause done

  // Assembly fields. Written by the frame router's path (DISPATCH_LEVEL, one
  // block at a time) while the pin runs; reset by SetState at stop -> acquire
  // before the pin is registered, so the two never overlap. The interleave
  // values are also written by the device at PASSIVE_LEVEL (Start, and the
  // pending value by SetInterleave).
  ULONG ActiveInterleave;
  ULONG PendingInterleave;
  UCHAR FirstFieldDone;
  UCHAR CurrentF;
  UCHAR FieldStarted;
  ULONG Skipping;
  ULONG DiscontinuityPending;
  ULONG FramesProcessed;
  ULONG FramesDropped;
  ULONG PacketsDropped;
  ULONG EavSyncErrors;
  LONG X;
  LONG Y;
  ULONGLONG FrameBytes;
  ULONG SnapshotHoldoff;

  // The frame (its stream header) the current field is written into, compared
  // at every block so that a frame the client cancelled or flushed in
  // mid-field is never delivered as clean. Router path only; null after a
  // delivered frame.
  PKSSTREAM_HEADER FieldFrame;
};
