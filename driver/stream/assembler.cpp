// The frame router (CCameraDevice::HandleVideoData) and the pins' assembler
// (CCapturePin::ProcessBuffer): timing codes are found in the camera's byte
// stream and the active lines are copied straight into the pin's leading-edge
// frame. Everything here runs in the USB completion path at up to
// DISPATCH_LEVEL: non-paged, no allocation, no wait, no lock. The reader hands
// the blocks of one camera over one at a time and in stream order.
#include "assembler.h"

#include "../device/camera_device.h"
#include "capture_pin.h"

namespace {

// Status byte (byte 3) of a timing code.
constexpr UCHAR kCodeMarker = 0x80;   // always set in a real code
constexpr UCHAR kCodeField = 0x40;    // F: 0 first field, 1 second field
constexpr UCHAR kCodeBlanking = 0x20; // V: vertical blanking
constexpr UCHAR kCodeEav = 0x10;      // H: 1 end of active video, 0 start
constexpr UCHAR kCodeTrigger = 0x01;  // the camera's snapshot line
constexpr UCHAR kSync = 0xFF;
constexpr size_t kCodeBytes = 4;

// Frames for which a still request ignores further trigger edges while a
// still pin exists.
constexpr ULONG kSnapshotHoldoffFrames = 9;

// Geometry beyond this cannot come from a camera; clamping keeps the
// position arithmetic far from overflow whatever a format says.
constexpr LONGLONG kMaxDimension = 1 << 20;

// Presentation time of the last delivered frame of any pin and camera, for
// the frame trace only (a torn value costs a wrong trace number, nothing else).
LONGLONG g_LastPresentationTime;

// The route flags word is shared with property requests at PASSIVE_LEVEL:
// every change is one interlocked operation, so no request is lost.
inline volatile LONG* Shared(PULONG flags) { return reinterpret_cast<volatile LONG*>(flags); }
inline void SetFlags(PULONG flags, ULONG bits) { InterlockedOr(Shared(flags), LONG(bits)); }
// Clears `bits` and returns those of them that were set.
inline ULONG TakeFlags(PULONG flags, ULONG bits) { return ULONG(InterlockedAnd(Shared(flags), ~LONG(bits))) & bits; }
inline ULONG ReadFlags(PULONG flags) { return ULONG(*Shared(flags)); }

inline LONGLONG Clamp(LONGLONG v) { return v < 0 ? 0 : v > kMaxDimension ? kMaxDimension : v; }

// The bytes a stream pointer's frame really has: the smaller of the header's
// FrameExtent and what the pointer says remains of it.
LONGLONG UsableBytes(PKSSTREAM_POINTER frame) {
  const PKSSTREAM_HEADER header = frame->StreamHeader;
  if (header == nullptr || header->Data == nullptr) return 0;
  LONGLONG bytes = header->FrameExtent;
  if (frame->OffsetOut.Remaining < bytes) bytes = frame->OffsetOut.Remaining;
  return bytes;
}

// One call of CCapturePin::ProcessBuffer: the geometry of the pin's format,
// the frame held for this call and the parse position.
class AssemblyCall {
 public:
  AssemblyCall(CCapturePin* pin, ParseContext* context, PULONG flags);
  void Run();

 private:
  enum : int { kReturnNow = -1 };

  void Hold(PKSSTREAM_POINTER frame);
  void Release();
  bool ParseCarried();
  void CarryOver(const UCHAR* bytes, size_t count);
  size_t ActiveLine(const UCHAR* at, size_t run, bool openEnd);
  void EndLine();
  void FieldStart();
  int AtCode(const UCHAR* code, const UCHAR* blockStart);
  void Store(const UCHAR* source, size_t count, LONG x);
  // A code of active video (V clear) with H as `h`, not a repeated 0xFF, and
  // with the trigger bit last seen: nothing for the trigger check to do.
  bool PlainCode(const UCHAR* code, UCHAR h) const {
    return code[1] != kSync && (code[3] & (kCodeEav | kCodeBlanking)) == h &&
           (code[3] & kCodeTrigger) == pin_->Device->LastSnapshotBit;
  }
  // Almost every code repeats the last trigger bit seen: only a change needs
  // a closer look.
  void Check(const UCHAR* code, const UCHAR* blockStart) {
    if ((code[3] & kCodeTrigger) != pin_->Device->LastSnapshotBit) pin_->CheckSnapshot(code, flags_, blockStart);
  }
  void Write(LONGLONG at, const UCHAR* source, size_t count);

  CCapturePin* const pin_;
  ParseContext* const context_;
  const PULONG flags_;  // the device's route flags
  ULONG state_;

  // Geometry.
  bool mono_;             // 1 input byte a pixel (luminance only)
  LONGLONG inLine_;       // input bytes a line
  LONGLONG outPixel_;     // output bytes a pixel
  LONGLONG stride_;       // one output line
  LONGLONG fieldStride_;  // from one line of the field to the next
  LONGLONG lines_;        // lines a field
  ULONG mode_;            // active interleave

  // The frame held during this call, if any, and where the current line goes.
  PKSSTREAM_POINTER frame_ = nullptr;
  PUCHAR out_ = nullptr;
  LONGLONG outBytes_ = 0;
  LONGLONG line_ = 0;
};

AssemblyCall::AssemblyCall(CCapturePin* pin, ParseContext* context, PULONG flags)
    : pin_(pin), context_(context), flags_(flags), state_(context->State) {
  const KS_BITMAPINFOHEADER& kept = pin->KeptHeader.bmiHeader;
  // The format copy is null only if renewing it failed; the kept header then
  // stands in for it.
  const KS_VIDEOINFOHEADER* current = pin->FormatCopy != nullptr ? pin->FormatCopy : &pin->KeptHeader;
  mono_ = (pin->Device->ModelFlags & kModelMonochrome) != 0;
  inLine_ = Clamp(kept.biWidth) * (mono_ ? 1 : 2);
  outPixel_ = kept.biBitCount / 8;
  stride_ = LONGLONG(current->bmiHeader.biBitCount) * current->bmiHeader.biWidth / 8;
  // A top-down format has a negative height; the line count is its size.
  const LONGLONG height = kept.biHeight;
  lines_ = Clamp(height < 0 ? -height : height);
  mode_ = pin->ActiveInterleave;
  fieldStride_ = stride_;
  if (mode_ == 1 || mode_ == 2) {
    lines_ /= 2;
    fieldStride_ = stride_ * 2;
  }
}

void AssemblyCall::Hold(PKSSTREAM_POINTER frame) {
  frame_ = frame;
  outBytes_ = UsableBytes(frame);
  out_ = outBytes_ != 0 ? static_cast<PUCHAR>(frame->StreamHeader->Data) : nullptr;
  line_ = (mode_ == 2 && pin_->CurrentF != 0 ? stride_ : 0) + fieldStride_ * pin_->Y;
}

void AssemblyCall::Release() {
  if (frame_ != nullptr) KsStreamPointerUnlock(frame_, FALSE);
  frame_ = nullptr;
}

void AssemblyCall::Run() {
  CCapturePin* pin = pin_;
  // A field in progress continues in the leading-edge frame, unless its data
  // are being skipped, or it is a first field that interleave mode 1 drops.
  if ((state_ == kStateActiveLine || pin->X > 0 || pin->Y > 0) && pin->Skipping == 0 &&
      !(mode_ == 1 && pin->CurrentF == 0)) {
    PKSSTREAM_POINTER frame = KsPinGetLeadingEdgeStreamPointer(pin->Pin, KSSTREAM_POINTER_STATE_LOCKED);
    if (frame == nullptr) {
      OVRA_LOG(kLogError, "No frame!\n");
      SetFlags(flags_, kRouteNoBuffer);
      pin->PacketsDropped++;
      pin->Skipping = 1;
      KsPinAttemptProcessing(pin->Pin, TRUE);
    } else if (frame->StreamHeader != pin->FieldFrame) {
      // The client cancelled or flushed the frame this field was written
      // into: the rest of the field is not a clean frame.
      OVRA_LOG(kLogWarning, "Frame changed in mid-field, field skipped\n");
      KsStreamPointerUnlock(frame, FALSE);
      pin->Skipping = 1;
    } else {
      Hold(frame);
    }
  }

  const PUCHAR block = context_->Block;
  LONGLONG end = context_->End;
  if (end < 0) end = 0;
  if (context_->Start < 0 && !ParseCarried()) return;
  LONGLONG start = context_->Start;
  if (start > end) start = end;

  const UCHAR* p = block + start;
  const UCHAR* const e = block + end;
  const UCHAR* sync = nullptr;  // the next 0xFF at or after p, e when there is none; null: not searched
  while (p < e) {
    const size_t left = size_t(e - p);
    if (left < kCodeBytes && *p == kSync) {
      CarryOver(p, left);
      return;
    }
    if (sync == nullptr || sync < p) {
      sync = static_cast<const UCHAR*>(memchr(p, kSync, left));
      if (sync == nullptr) sync = e;
    }
    if (state_ == kStateActiveLine) {
      p += ActiveLine(p, size_t(sync - p), sync == e);
      continue;
    }
    if (state_ == kStateFieldStart) {
      FieldStart();
      continue;
    }
    if (sync != p) {
      // Waiting for a code: skip to it, or drop the rest of the block.
      p = sync;
      continue;
    }
    if (state_ == kStateExpectEav && PlainCode(p, kCodeEav)) {
      // The common case, taken in one step: the EAV of a line, its
      // horizontal blanking, the SAV of the next line. What states 2, 6 and 1
      // would do with these codes, without going round the loop for each.
      p += kCodeBytes;
      sync = static_cast<const UCHAR*>(memchr(p, kSync, size_t(e - p)));
      if (sync == nullptr) sync = e;
      state_ = kStateHorizontalBlanking;
      if (e - sync >= LONGLONG(kCodeBytes) && PlainCode(sync, 0)) {
        p = sync + kCodeBytes;
        state_ = kStateActiveLine;
      }
      continue;
    }
    const int advance = AtCode(p, block);
    if (advance == kReturnNow) {
      context_->State = state_;
      context_->Start = p - block;
      return;
    }
    p += advance;
  }

  context_->Start = 0;
  context_->End = 0;
  context_->State = state_;
  // All lines of the field are in: deliver now rather than at the next
  // vertical blanking, unless a routing decision is already due.
  if (state_ == kStateFieldComplete && (ReadFlags(flags_) & kRouteDue) == 0 && frame_ != nullptr &&
      pin->CompleteField(frame_, flags_)) {
    frame_ = nullptr;
  }
  Release();
}

// Parses the code bytes carried over from the previous block, joined to the
// first bytes of this one. False when the call is over (the code is still
// incomplete, or a frame was delivered at it).
bool AssemblyCall::ParseCarried() {
  const size_t carried = size_t(-context_->Start);
  if (carried > kMaxCarriedBytes) {  // cannot happen; never read outside the carry
    context_->Start = 0;
    return true;
  }
  const size_t blockBytes = size_t(context_->End > 0 ? context_->End : 0);
  const size_t taken = blockBytes < kCodeBytes ? blockBytes : kCodeBytes;
  UCHAR joined[kMaxCarriedBytes + kCodeBytes];
  memcpy(joined, pin_->Device->CarriedCode + kMaxCarriedBytes - carried, carried);
  memcpy(joined + carried, context_->Block, taken);
  const size_t total = carried + taken;

  ULONG first = 0;
  for (size_t i = taken; i-- > 0;) first = first << 8 | context_->Block[i];
  OVRA_LOG(kLogVerbose, "Hit partial at %d, State %d, Size %d, first is %08x, x/y is %d,%d\n",
           LONG(context_->Start), state_, LONG(carried + blockBytes), first, pin_->X, pin_->Y);

  size_t pos = 0;
  if (carried + blockBytes >= kCodeBytes && state_ == kStateExpectEav && (joined[3] & kCodeEav) != 0) {
    pos = kCodeBytes;
    state_ = kStateHorizontalBlanking;
  }
  while (pos < carried) {
    const size_t left = carried - pos + blockBytes;
    if (left < kCodeBytes && joined[pos] == kSync) {
      CarryOver(joined + pos, total - pos);
      return false;
    }
    if (state_ == kStateFieldStart) {
      FieldStart();
      continue;
    }
    if (state_ == kStateActiveLine) {  // only at a carried 0xFF: an empty line
      const UCHAR* sync = static_cast<const UCHAR*>(memchr(joined + pos, kSync, carried - pos));
      const size_t run = sync != nullptr ? size_t(sync - (joined + pos)) : carried - pos;
      pos += ActiveLine(joined + pos, run, sync == nullptr);
      continue;
    }
    if (joined[pos] != kSync) {
      pos++;
      continue;
    }
    const int advance = AtCode(joined + pos, joined + carried);
    if (advance == kReturnNow) {
      context_->State = state_;
      context_->Start = LONGLONG(pos) - LONGLONG(carried);
      return false;
    }
    pos += size_t(advance);
  }
  context_->Start = LONGLONG(pos - carried);
  return true;
}

// Keeps the last 1 to 3 bytes of the block, the start of a split code, in the
// routing context and ends the call.
void AssemblyCall::CarryOver(const UCHAR* bytes, size_t count) {
  memmove(pin_->Device->CarriedCode + kMaxCarriedBytes - count, bytes, count);
  context_->Start = -LONGLONG(count);
  context_->End = 0;
  context_->State = state_;
  Release();
}

// State 0: copies pixels of the current line from `at`; `run` bytes precede
// the next 0xFF, or the end of the bytes at hand (`openEnd`). Returns the
// bytes used.
inline __attribute__((always_inline)) size_t AssemblyCall::ActiveLine(const UCHAR* at, size_t run, bool openEnd) {
  const LONG x = pin_->X;
  const LONGLONG missing = inLine_ > x ? inLine_ - x : 0;
  const size_t chunk = size_t(missing) < run ? size_t(missing) : run;
  if (chunk != 0 && frame_ != nullptr) Store(at, chunk, x);
  // The line stays open across a block end, even when it lacks only part of
  // a pixel: the next block may still bring that byte, and a code at its start
  // closes a line that really is short just the same.
  if (openEnd && chunk == run && x + LONGLONG(chunk) < inLine_) {
    pin_->X = x + LONG(chunk);
    return chunk;
  }
  EndLine();
  return chunk;
}

// The line is over, complete or cut short by a code.
inline __attribute__((always_inline)) void AssemblyCall::EndLine() {
  const LONG y = pin_->Y + 1;
  pin_->Y = y;
  pin_->X = 0;
  line_ += fieldStride_;
  state_ = y < lines_ ? kStateExpectEav : kStateFieldComplete;
}

// State 5: a new field begins with the pixels of its first line.
void AssemblyCall::FieldStart() {
  CCapturePin* pin = pin_;
  pin->X = 0;
  pin->Y = 0;
  // Data lost since the last delivered frame mark the next one, even when a
  // field that is not delivered (a first field) comes in between.
  pin->DiscontinuityPending |= pin->Skipping;
  pin->Skipping = 0;
  pin->FieldStarted = 1;
  state_ = kStateActiveLine;
  if (pin->CurrentF == 0 && mode_ == 1) {  // first fields are not delivered in this mode
    Release();
    return;
  }
  PKSSTREAM_POINTER frame = frame_;
  if (frame == nullptr) frame = KsPinGetLeadingEdgeStreamPointer(pin->Pin, KSSTREAM_POINTER_STATE_LOCKED);
  if (frame == nullptr) {
    OVRA_LOG(kLogError, "No frame 2!\n");
    SetFlags(flags_, kRouteNoBuffer);
    pin->PacketsDropped++;
    pin->Skipping = 1;
    return;
  }
  // A second field whose frame is not the one the first field went into has
  // no first field.
  if (mode_ == 2 && pin->CurrentF != 0 && frame->StreamHeader != pin->FieldFrame) pin->FirstFieldDone = 0;
  pin->FieldFrame = frame->StreamHeader;
  Hold(frame);
}

// Acts on the timing code at `code` (4 bytes) in states 1 to 8. Returns the
// bytes consumed (0: act again in the new state), or kReturnNow after a
// delivered frame. `blockStart` tells codes carried over from the previous
// block from codes of this one.
int AssemblyCall::AtCode(const UCHAR* code, const UCHAR* blockStart) {
  CCapturePin* pin = pin_;
  // A second 0xFF means the first was a repeat: the code starts one later.
  if (code[1] == kSync) return 1;
  const UCHAR xy = code[3];
  switch (state_) {
    case kStateExpectSav:
      if ((xy & kCodeEav) != 0) {
        pin->EavSyncErrors++;
        state_ = kStateHorizontalBlanking;
        return 0;
      }
      Check(code, blockStart);
      state_ = (xy & kCodeBlanking) != 0 ? kStateVerticalBlanking : kStateActiveLine;
      return kCodeBytes;
    case kStateExpectEav:
      if ((xy & kCodeEav) != 0) {
        Check(code, blockStart);
        state_ = (xy & kCodeBlanking) != 0 ? kStateVerticalBlanking : kStateHorizontalBlanking;
        return kCodeBytes;
      }
      pin->EavSyncErrors++;
      state_ = kStateResync;
      return 0;
    case kStateVerticalBlanking:
      if (frame_ != nullptr && pin->FramesProcessed == 0 && pin->Y < lines_) {
        // The stream started in mid-field: fill the same frame again.
        OVRA_LOG(kLogWarning, "**1** Got %d scans in first frame\n", pin->Y);
        pin->FramesProcessed = 1;
      } else if (pin->CompleteField(frame_, flags_)) {
        frame_ = nullptr;
        state_ = kStateWaitActive;
        return kReturnNow;
      }
      // No field is in progress until the next one starts (a field that was
      // not stored leaves its position behind otherwise).
      pin->X = 0;
      pin->Y = 0;
      state_ = kStateWaitActive;
      return 0;
    case kStateWaitActive:
      Check(code, blockStart);
      pin->CurrentF = (xy & kCodeField) != 0 ? 1 : 0;
      if ((xy & (kCodeEav | kCodeBlanking)) == 0) state_ = kStateFieldStart;
      return kCodeBytes;
    case kStateHorizontalBlanking:
      Check(code, blockStart);
      if ((xy & kCodeEav) == 0) {
        state_ = kStateExpectSav;
        return 0;
      }
      if ((xy & kCodeBlanking) != 0) state_ = kStateVerticalBlanking;
      return kCodeBytes;
    case kStateResync:
      Check(code, blockStart);
      if ((xy & kCodeBlanking) != 0) {
        state_ = kStateVerticalBlanking;
        return 0;
      }
      if ((xy & kCodeEav) != 0) {
        state_ = kStateExpectEav;
        return 0;
      }
      return kCodeBytes;
    case kStateFieldComplete:
      Check(code, blockStart);
      if ((xy & kCodeBlanking) != 0) state_ = kStateVerticalBlanking;
      return kCodeBytes;
    default:  // states 0 and 5 never come here; any other value: wait for the next field
      state_ = kStateFieldComplete;
      return 0;
  }
}

// Copies `count` input bytes of the current line at its input position `x`;
// in interleave mode 1 a second field line goes to the next output line too.
inline __attribute__((always_inline)) void AssemblyCall::Store(const UCHAR* source, size_t count, LONG x) {
  const LONGLONG at = line_ + (mono_ ? x * outPixel_ : x);
  Write(at, source, count);
  if (mode_ == 1 && pin_->CurrentF != 0) Write(at + stride_, source, count);
}

// Writes `count` input bytes at offset `at` of the frame, clipped to the
// frame's real size whatever the geometry says.
inline __attribute__((always_inline)) void AssemblyCall::Write(LONGLONG at, const UCHAR* source, size_t count) {
  const int shift = mono_ ? 1 : 0;  // an input byte becomes 2 output bytes when expanded
  LONGLONG n = LONGLONG(count);
  if (at < 0) {
    const LONGLONG skip = (-at + shift) >> shift;
    if (skip >= n) return;
    source += skip;
    n -= skip;
    at += skip << shift;
  }
  const LONGLONG room = (outBytes_ - at) >> shift;
  if (n > room) n = room;
  if (n <= 0) return;
  if (mono_)
    CCapturePin::ExpandMonochrome(out_ + at, source, ULONG(n));
  else
    memcpy(out_ + at, source, size_t(n));
}

}  // namespace


void CCapturePin::ProcessBuffer(ParseContext* context, PULONG flags) {
  OVRA_LOG(kLogTrace, "enter CCapturePin::ProcessBuffer(%p,%d,%d) %d,%d\n", context->Block, LONG(context->End),
           context->State, X, Y);
  FrameBytes += ULONGLONG(context->End - context->Start);
  AssemblyCall call(this, context, flags);
  call.Run();
}

BOOLEAN CCapturePin::CompleteField(PKSSTREAM_POINTER streamPointer, PULONG flags) {
  OVRA_LOG(kLogVerbose, "CCapturePin::CompleteField %p %08x %p %d\n", this, ReadFlags(flags), streamPointer,
           FieldStarted);
  if (streamPointer == nullptr || FieldStarted == 0) return FALSE;
  X = 0;
  Y = 0;
  if (ActiveInterleave == 1 && CurrentF == 0) return FALSE;
  if (ActiveInterleave == 2) {
    if (CurrentF == 0) {
      FirstFieldDone = 1;  // the frame stays at the leading edge for the second field
      return FALSE;
    }
    if (FirstFieldDone == 0) {  // a second field without its first
      FrameBytes = 0;
      Skipping = 1;
      return FALSE;
    }
  }
  SetFlags(flags, kRouteFrameDone);

  const KS_VIDEOINFOHEADER* current = FormatCopy != nullptr ? FormatCopy : &KeptHeader;
  PKSSTREAM_HEADER header = streamPointer->StreamHeader;
  header->OptionsFlags = KSSTREAM_HEADER_OPTIONSF_SPLICEPOINT | KSSTREAM_HEADER_OPTIONSF_DURATIONVALID;
  header->Duration = current->AvgTimePerFrame;
  const LONGLONG frameBytes = UsableBytes(streamPointer);
  header->DataUsed = LONGLONG(current->bmiHeader.biSizeImage) < frameBytes ? current->bmiHeader.biSizeImage
                                                                            : ULONG(frameBytes);
  header->PresentationTime.Numerator = 1;
  header->PresentationTime.Denominator = 1;
  LONGLONG time = 0;
  if (ReferenceClock != nullptr) {
    LONGLONG systemTime;
    time = ReferenceClock->GetCorrelatedTime(&systemTime);
    header->OptionsFlags |= KSSTREAM_HEADER_OPTIONSF_TIMEVALID;
  }
  header->PresentationTime.Time = time;
  if (DiscontinuityPending != 0) {
    header->OptionsFlags |= KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY;
    FramesDropped++;
    DiscontinuityPending = 0;
  }
  OVRA_LOG(kLogVerbose, "Frame %8d: %12I64d %8d %8d %8d\n", FramesProcessed, time, LONG(header->Duration),
           LONG(time - g_LastPresentationTime), LONG(FrameBytes));
  FramesProcessed++;
  FrameBytes = 0;
  g_LastPresentationTime = time;
  if (header->Size >= sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO)) {
    PKS_FRAME_INFO info = reinterpret_cast<PKS_FRAME_INFO>(header + 1);
    if (info->ExtendedHeaderSize == sizeof(KS_FRAME_INFO)) {
      info->dwFrameFlags = 0;
      info->PictureNumber = FramesProcessed;
      info->DropCount = FramesDropped;
    }
  }
  FirstFieldDone = 0;
  FieldFrame = nullptr;
  ActiveInterleave = PendingInterleave;
  KsStreamPointerUnlock(streamPointer, TRUE);
  return TRUE;
}

void CCapturePin::ExpandMonochrome(PUCHAR destination, const UCHAR* source, ULONG count) {
  for (ULONG i = 0; i < count; i++) {
    destination[2 * i] = 0x80;
    destination[2 * i + 1] = source[i];
  }
}

void CCapturePin::CheckSnapshot(const UCHAR* code, PULONG flags, const UCHAR* blockStart) {
  const UCHAR xy = code[3];
  const UCHAR bit = xy & kCodeTrigger;
  if (bit == Device->LastSnapshotBit) return;
  if (xy == kSync || (xy & kCodeMarker) == 0) return;
  if ((ReadFlags(flags) & kRouteStillNext) != 0) return;
  if (Pin->Id != 0) return;
  if (code < blockStart) return;  // bytes carried over from the previous block
  if (FramesProcessed < SnapshotHoldoff) return;
  OVRA_LOG(kLogError, "Snap %02x %02x %02x %02x at %08x\n", code[0], code[1], code[2], code[3],
           ULONG(code - blockStart));
  Device->LastSnapshotBit = bit;
  if (bit != 0) {
    SetFlags(flags, kRouteStillNext);
    Device->NotifySnapshot();
  }
}

void CCameraDevice::NotifySnapshot() {
  CCapturePin* capture = Pins[0];
  if (capture != nullptr && Pins[1] != nullptr) capture->SnapshotHoldoff = capture->FramesProcessed + kSnapshotHoldoffFrames;
}

void CCameraDevice::HandleVideoData(PUCHAR data, ULONG length) {
  InterlockedIncrement(&RouterCalls);
  if (data == nullptr) {
    // The reader lost camera bytes here. What follows does not continue the
    // field in progress: it is skipped, the next frame is marked
    // discontinuous, and carried code bytes are dropped.
    CCapturePin* target = RouteTarget;
    if (target != nullptr) {
      target->Skipping = 1;
      target->PacketsDropped++;
    }
    if (AssemblerContext < 0) AssemblerContext = 0;
    InterlockedDecrement(&RouterCalls);
    return;
  }
  const PULONG flags = &RouteFlags;
  RoutedPackets++;
  RoutedBytes += length;
  ParseContext context{data, AssemblerState, AssemblerContext, LONGLONG(length)};
  do {
    if ((ReadFlags(flags) & kRouteDue) != 0) {
      // Take the still request and the due decision in one step, so that a
      // request made meanwhile at PASSIVE_LEVEL waits for the next boundary.
      const bool still = (TakeFlags(flags, kRouteDue | kRouteStillNext) & kRouteStillNext) != 0;
      RouteTarget = still && Pins[1] != nullptr ? Pins[1] : Pins[0];
      OVRA_LOG(kLogVerbose, "Coming frame routed to %s, Birch flag %d\n", still ? "still" : "capture", StillWait);
      // A still request on Birch heads waits (at most 250 ms) for this boundary.
      if (StillWait != 0) {
        StillWait = 0;
        KeSetEvent(&StillEvent, 0, FALSE);
      }
      if (SnapshotMode != 0) SetFlags(flags, kRouteStillNext);
    }
    CCapturePin* target = RouteTarget;
    if (target == nullptr) {
      // No pin takes this frame: drop the rest of the block, start again at
      // the next whole field, and decide again with the next block.
      UnroutedBlocks++;
      context.State = kStateFieldComplete;
      context.Start = 0;
      context.End = 0;
      SetFlags(flags, kRouteDue);
      break;
    }
    TakeFlags(flags, kRouteNoBuffer);
    target->ProcessBuffer(&context, flags);
    if (TakeFlags(flags, kRouteFrameDone) != 0) SetFlags(flags, kRouteDue);
  } while (context.End > 0);
  AssemblerState = context.State;
  AssemblerContext = context.Start;
  InterlockedDecrement(&RouterCalls);
}
