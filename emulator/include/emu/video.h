// The camera's video generator: a BT.656-style byte stream of timing
// reference codes (SAV/EAV with F, V, H and protection bits, bit 0 the
// trigger line), horizontal and vertical blanking and active lines filled
// with a test pattern from which every byte's frame, field, line and column
// can be told. Paced in virtual time at the frame rate, with fault knobs that
// break the stream in the ways a camera or cable does.
//
// Each line is sent as: EAV, horizontal blanking, SAV, then the line's
// payload (pixels on active lines, blanking fill on vertical-blanking lines).
// So the code that closes active line L is the EAV of the line after it, and
// that EAV carries the next line's F and V (V = 1 right after a field's last
// line). A field is `blankingLines` lines of vertical blanking followed by
// its active lines; a frame is one field (progressive) or the F = 0 field and
// then the F = 1 field (interlaced, height / 2 lines each).
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <set>
#include <utility>
#include <vector>

#include "bridge.h"
#include "profiles.h"

namespace emu {

struct VideoFormat {
  uint32_t width = 640;        // pixels per active line
  uint32_t height = 480;       // active lines per frame (both fields together when interlaced; then even)
  uint32_t bytesPerPixel = 2;  // 2: UYVY; 1: luminance only
  bool interlaced = false;     // two fields a frame, F = 0 then F = 1
  uint32_t blankingLines = 4;  // vertical-blanking lines before every field (at least 1)
  uint32_t hblankBytes = 16;   // blanking bytes between EAV and SAV
  int64_t frameInterval = 333333;  // 100-ns units; 0: unpaced, every byte exists at once
  bool picture = false;  // a moving picture for people (colour bars, a sliding box) instead of the test pattern

  uint32_t LineBytes() const { return width * bytesPerPixel; }      // active payload of one line
  uint32_t FieldLines() const { return interlaced ? height / 2 : height; }
  uint32_t Fields() const { return interlaced ? 2 : 1; }
  uint64_t UnitBytes() const { return 8 + uint64_t(hblankBytes) + LineBytes(); }  // one line on the wire
  uint64_t FrameBytes() const { return uint64_t(Fields()) * (blankingLines + FieldLines()) * UnitBytes(); }
};

// The stream of a camera model: luminance only with model flag 0x40,
// interlaced with model flag 0x01.
VideoFormat FormatFor(const Profile& profile, uint32_t width, uint32_t height, int64_t frameInterval = 333333);

// Status byte XY of a timing code: bit 7 set, F, V, H, the BT.656 protection
// bits P3 = V^H, P2 = F^H, P1 = F^V, and bit 0 the trigger line.
uint8_t StatusByte(bool f, bool v, bool h, bool trigger);

// The test pattern: input byte `column` of active line `line` of field
// `field` (0 for progressive) of frame `frame`. Never 0xFF. A hash of field,
// line and column plus the frame number modulo 255, so a byte in the wrong
// place or from the wrong frame differs, and frames 255 apart look alike.
uint8_t PatternByte(uint64_t frame, uint32_t field, uint32_t line, uint32_t column);

// The moving picture: byte `column` of active line `line` of a field, in
// 75% colour bars with a white box that slides a little every frame. Never 0xFF.
uint8_t PictureByte(const VideoFormat& format, uint64_t frame, uint32_t field, uint32_t line, uint32_t column);

// The byte a driver delivers at (`line`, `column`) of the output frame (UYVY,
// 2 bytes a pixel, stride 2 x width) assembled from generator frame `frame`
// in interleave mode 0 (progressive), 1 (the F = 1 field, every line twice)
// or 2 (F = 0 lines at even, F = 1 lines at odd output lines). One-byte
// pixels come out as 0x80, luminance.
uint8_t ExpectedByte(const VideoFormat& format, uint32_t mode, uint64_t frame, uint32_t line, uint32_t column);
// The whole delivered frame: height x 2 x width bytes.
std::vector<uint8_t> ExpectedFrame(const VideoFormat& format, uint32_t mode, uint64_t frame);
// The generator frame number modulo 255 that a delivered frame's first
// pattern byte says it came from.
uint32_t FrameOf(const VideoFormat& format, uint32_t mode, const uint8_t* image);

// A fault knob, placed at active line `line` of field `field` (0 or 1) of
// frame `frame`. Each takes effect once, when that line is generated.
struct VideoFault {
  enum class Kind {
    DropPackets,  // the read holding the line's first payload byte and `count` - 1 reads after it are lost
    SpuriousFF,   // payload byte `column` is 0xFF; `value` (if 0..255) replaces the byte 3 after it
    SavForEav,    // the code closing the line is an SAV (F of the line, V = 0)
    ShortLine,    // the payload lacks its last `count` bytes
    LongLine,     // the payload has `count` more bytes (pattern columns beyond the width)
    FewerLines,   // the field has `count` fewer active lines (`line` is not used)
    MoreLines,    // the field has `count` more active lines (`line` is not used)
    NoFirstField, // interlaced: the frame's F = 0 field is not sent (`field`, `line` not used)
    FFRun,        // `count` extra 0xFF bytes before the code closing the line (`atSav`: its SAV)
    Cut,          // a read ends `count` (0..3) bytes into the code closing the line (`atSav`: its SAV)
    Trigger,      // from this line's codes on, the trigger bit is `value` != 0
  };
  Kind kind = Kind::SpuriousFF;
  uint64_t frame = 0;
  uint32_t field = 0;
  uint32_t line = 0;
  uint32_t column = 0;
  uint32_t count = 1;
  int value = -1;
  bool atSav = false;
};

struct VideoCounters {
  uint64_t bytes = 0;           // bytes handed to the reader
  uint64_t lostBytes = 0;       // produced while the FIFO was full, never sent
  uint64_t droppedBytes = 0;    // in dropped packets
  uint64_t droppedPackets = 0;  // reads lost by DropPackets
  uint64_t frames = 0;          // frames, fields and active lines whose last byte has left the generator
  uint64_t fields = 0;
  uint64_t lines = 0;
  uint64_t faults = 0;          // fault knobs that took effect
};

// An allocator whose resize leaves new bytes uninitialised: the line buffer
// is overwritten every line, so zeroing it first is wasted work.
template <class T>
struct UninitAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = UninitAllocator<U>;
  };
  UninitAllocator() = default;
  template <class U>
  UninitAllocator(const UninitAllocator<U>&) {}
  template <class U>
  void construct(U* p) {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... A>
  void construct(U* p, A&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<A>(args)...);
  }
};

class VideoSource : public ByteSource {
 public:
  explicit VideoSource(const VideoFormat& format);

  // Takes effect at the next frame start (the pacing rate too).
  void SetFormat(const VideoFormat& format);
  const VideoFormat& Format() const { return format_; }
  void AddFault(const VideoFault& fault) { faults_.push_back(fault); }
  // The trigger bit of every code generated from now on.
  void SetTrigger(bool on) { trigger_ = on; }
  // No read crosses this stream offset.
  void CutAt(uint64_t offset) { cuts_.insert(offset); }
  // Bytes the camera's FIFO holds before the oldest are lost (default 64 KiB).
  void SetFifoBytes(uint64_t bytes) { fifo_ = bytes; }

  const VideoCounters& Counters() const { return counters_; }
  uint64_t Position() const { return position_; }  // stream offset of the next byte to leave
  uint64_t Frame() const { return line_.frame; }    // the frame being generated

  // Unpaced: the next bytes of the stream, as many as fit (stopping at cuts).
  size_t Read(uint8_t* out, size_t capacity) override;
  // Paced: only bytes produced by `time`. Production starts at the first call
  // and runs at FrameBytes() per frameInterval.
  size_t ReadAt(uint8_t* out, size_t capacity, int64_t time) override;

  // The first `bytes` bytes of a well-formed stream of this format.
  static std::vector<uint8_t> Generate(const VideoFormat& format, size_t bytes);

 private:
  struct Line {
    uint64_t frame = 0;
    uint32_t field = 0;
    uint32_t row = 0;     // within the field, blanking lines first
    uint32_t active = 0;  // active lines of this field
    bool Blanking(const VideoFormat& f) const { return row < f.blankingLines; }
    uint32_t Index(const VideoFormat& f) const { return row - f.blankingLines; }
  };
  VideoFault* Find(VideoFault::Kind kind, uint64_t frame, uint32_t field, uint32_t line, bool atSav = false);
  void StartField();
  void Advance();
  void BuildUnit();
  const std::vector<uint8_t>& BlankFill(size_t n);
  void PatternLine(uint32_t index, uint32_t length, uint8_t* out);
  size_t Emit(uint8_t* out, size_t n, bool stopAtCuts);
  size_t Send(uint8_t* out, size_t n);

  VideoFormat format_;
  VideoFormat pending_;
  std::vector<VideoFault> faults_;
  std::set<uint64_t> cuts_;
  bool trigger_ = false;
  uint64_t fifo_ = 64 * 1024;

  bool begun_ = false;
  Line line_;             // the line in unit_
  bool prevActive_ = false;
  Line prev_;             // the line before it, and its active-line index
  uint32_t prevIndex_ = 0;
  std::vector<uint8_t, UninitAllocator<uint8_t>> unit_;
  std::vector<uint8_t> blankFill_;  // BlankFill's bytes, for blankBpp_
  uint32_t blankBpp_ = 0;
  std::vector<uint8_t> bases_;      // PatternLine's frame-independent bytes, baseLineBytes_ a line
  std::vector<bool> baseReady_;     // per line of each field: its bases_ are filled in
  uint32_t baseLineBytes_ = 0;
  uint32_t baseFieldLines_ = 0;
  size_t unitPos_ = 0;
  uint64_t position_ = 0;

  uint64_t dropAt_ = UINT64_MAX;
  uint32_t dropCount_ = 0;
  uint32_t dropLeft_ = 0;

  bool started_ = false;
  int64_t rateTime_ = 0;       // pacing: bytes produced by rateTime_ ...
  uint64_t rateProduced_ = 0;  // ... were rateProduced_, and then rateBytes_ a rateInterval_
  uint64_t rateBytes_ = 0;
  int64_t rateInterval_ = 1;
  uint64_t produced_ = 0;
  VideoCounters counters_;
};

}  // namespace emu
