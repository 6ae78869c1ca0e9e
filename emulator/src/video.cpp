#include "emu/video.h"

#include <algorithm>
#include <cstring>

namespace emu {

namespace {

constexpr uint8_t kBlankChroma = 0x80;  // blanking levels: neutral chroma, black luminance
constexpr uint8_t kBlankLuma = 0x10;

uint8_t BlankByte(uint32_t bytesPerPixel, size_t i) {
  return bytesPerPixel == 1 || (i & 1) ? kBlankLuma : kBlankChroma;
}

// Where output line `line` of a delivered frame comes from.
void SourceLine(uint32_t mode, uint32_t line, uint32_t* field, uint32_t* srcLine) {
  switch (mode) {
    case 1:
      *field = 1;
      *srcLine = line / 2;
      break;
    case 2:
      *field = line & 1;
      *srcLine = line / 2;
      break;
    default:
      *field = 0;
      *srcLine = line;
      break;
  }
}

}  // namespace

VideoFormat FormatFor(const Profile& profile, uint32_t width, uint32_t height, int64_t frameInterval) {
  VideoFormat f;
  f.width = width;
  f.height = height;
  f.bytesPerPixel = (profile.modelFlags & 0x40) ? 1 : 2;
  f.interlaced = (profile.modelFlags & 0x01) != 0;
  f.frameInterval = frameInterval;
  return f;
}

uint8_t StatusByte(bool f, bool v, bool h, bool trigger) {
  return uint8_t(0x80 | f << 6 | v << 5 | h << 4 | (v ^ h) << 3 | (f ^ h) << 2 | (f ^ v) << 1 | (trigger ? 1 : 0));
}

namespace {

// The frame-independent part of a pattern byte: 0..254.
uint8_t PatternBase(uint32_t field, uint32_t line, uint32_t column) {
  uint32_t h = (field + 1) * 0x9E3779B9u ^ (line + 1) * 0x85EBCA6Bu ^ (column + 1) * 0xC2B2AE35u;
  h ^= h >> 16;
  h *= 0x7FEB352Du;
  h ^= h >> 15;
  h *= 0x846CA68Bu;
  h ^= h >> 16;
  return uint8_t(h % 255);
}

// out[i] = (base[i] + frame % 255) % 255 for bases 0..254, 16 bytes a step:
// with m = frame % 255, the wrapped sum base + m is one short of the answer
// exactly when base + m >= 255, i.e. base >= 255 - m.
void AddFrame(const uint8_t* base, size_t n, uint64_t frame, uint8_t* out) {
  const uint8_t m = uint8_t(frame % 255);
  const uint8_t t = uint8_t(255 - m);
  size_t i = 0;
#if defined(__GNUC__)
  typedef uint8_t V16 __attribute__((vector_size(16)));
  V16 vm, vt;
  for (int k = 0; k < 16; ++k) vm[k] = m, vt[k] = t;
  for (; i + 16 <= n; i += 16) {
    V16 b;
    memcpy(&b, base + i, 16);
    const V16 r = V16(b + vm) - V16(b >= vt);  // the comparison is all ones (-1) where true
    memcpy(out + i, &r, 16);
  }
#endif
  for (; i < n; ++i) out[i] = uint8_t(base[i] >= t ? base[i] - t : base[i] + m);
}

}  // namespace

uint8_t PatternByte(uint64_t frame, uint32_t field, uint32_t line, uint32_t column) {
  return uint8_t((PatternBase(field, line, column) + frame % 255) % 255);
}

uint8_t PictureByte(const VideoFormat& format, uint64_t frame, uint32_t field, uint32_t line, uint32_t column) {
  // Y, U, V of white, yellow, cyan, green, magenta, red, blue, black.
  static const uint8_t kBars[8][3] = {{180, 128, 128}, {162, 44, 142}, {131, 156, 44}, {112, 72, 58},
                                      {84, 184, 198},  {65, 100, 212}, {35, 212, 114}, {16, 128, 128}};
  const uint32_t width = std::max<uint32_t>(format.width, 1);
  const uint32_t pixel = format.bytesPerPixel == 1 ? column : column / 2;
  const uint32_t row = format.interlaced ? line * 2 + field : line;
  const uint8_t* bar = kBars[std::min<uint64_t>(uint64_t(pixel) * 8 / width, 7)];
  const uint32_t box = std::max<uint32_t>(width / 8, 2);
  const uint64_t left = frame * 4 % width;
  const bool inBox = (pixel + width - left) % width < box && row >= box && row < 2 * box;
  const bool luma = format.bytesPerPixel == 1 || (column & 1);
  if (luma) return inBox ? 235 : bar[0];
  return inBox ? 128 : bar[(column & 2) ? 2 : 1];
}

uint8_t ExpectedByte(const VideoFormat& format, uint32_t mode, uint64_t frame, uint32_t line, uint32_t column) {
  uint32_t field, src;
  SourceLine(mode, line, &field, &src);
  if (format.bytesPerPixel == 1) return (column & 1) ? PatternByte(frame, field, src, column / 2) : kBlankChroma;
  return PatternByte(frame, field, src, column);
}

std::vector<uint8_t> ExpectedFrame(const VideoFormat& format, uint32_t mode, uint64_t frame) {
  const uint32_t stride = format.width * 2;
  std::vector<uint8_t> image(size_t(stride) * format.height);
  // A line at a time: ExpectedByte's pattern bytes, 'pixels' of them a line.
  const uint32_t pixels = format.bytesPerPixel == 1 ? format.width : stride;
  std::vector<uint8_t> base(pixels), row(pixels);
  for (uint32_t y = 0; y < format.height; ++y) {
    uint32_t field, src;
    SourceLine(mode, y, &field, &src);
    for (uint32_t x = 0; x < pixels; ++x) base[x] = PatternBase(field, src, x);
    uint8_t* out = image.data() + size_t(y) * stride;
    if (format.bytesPerPixel == 1) {
      AddFrame(base.data(), pixels, frame, row.data());
      for (uint32_t x = 0; x < pixels; ++x) out[2 * x] = kBlankChroma, out[2 * x + 1] = row[x];
    } else {
      AddFrame(base.data(), pixels, frame, out);
    }
  }
  return image;
}

uint32_t FrameOf(const VideoFormat& format, uint32_t mode, const uint8_t* image) {
  const uint32_t column = format.bytesPerPixel == 1 ? 1 : 0;
  const uint32_t base = ExpectedByte(format, mode, 0, 0, column);
  return (image[column] + 255 - base) % 255;
}

// ---------------------------------------------------------------------------

VideoSource::VideoSource(const VideoFormat& format) : format_(format), pending_(format) {}

void VideoSource::SetFormat(const VideoFormat& format) { pending_ = format; }

VideoFault* VideoSource::Find(VideoFault::Kind kind, uint64_t frame, uint32_t field, uint32_t line, bool atSav) {
  const bool lineless = kind == VideoFault::Kind::FewerLines || kind == VideoFault::Kind::MoreLines ||
                        kind == VideoFault::Kind::NoFirstField;
  for (VideoFault& f : faults_) {
    if (f.kind != kind || f.frame != frame) continue;
    if (kind != VideoFault::Kind::NoFirstField && f.field != field) continue;
    if (!lineless && f.line != line) continue;
    if ((kind == VideoFault::Kind::FFRun || kind == VideoFault::Kind::Cut) && f.atSav != atSav) continue;
    ++counters_.faults;
    return &f;
  }
  return nullptr;
}

// Begins field line_.field of frame line_.frame: applies a new format at a
// frame start and the knobs that shape the field.
void VideoSource::StartField() {
  if (line_.field == 0) {
    format_ = pending_;
    format_.blankingLines = std::max<uint32_t>(format_.blankingLines, 1);  // fields end at vertical blanking
    if (format_.interlaced && Find(VideoFault::Kind::NoFirstField, line_.frame, 0, 0)) line_.field = 1;
  }
  line_.row = 0;
  int64_t active = format_.FieldLines();
  if (const VideoFault* f = Find(VideoFault::Kind::FewerLines, line_.frame, line_.field, 0)) active -= f->count;
  if (const VideoFault* f = Find(VideoFault::Kind::MoreLines, line_.frame, line_.field, 0)) active += f->count;
  line_.active = uint32_t(std::max<int64_t>(active, 0));
}

void VideoSource::Advance() {
  // The unit just finished: count what it completed.
  prevActive_ = !line_.Blanking(format_);
  if (prevActive_) ++counters_.lines;
  prev_ = line_;
  prevIndex_ = prevActive_ ? line_.Index(format_) : 0;
  if (++line_.row < format_.blankingLines + line_.active) return;
  ++counters_.fields;
  if (format_.interlaced && line_.field == 0) {
    line_.field = 1;
  } else {
    ++counters_.frames;
    ++line_.frame;
    line_.field = 0;
  }
  StartField();
}

// Blanking bytes 0..n-1 of a line (hblank and vertical-blanking payload alike).
const std::vector<uint8_t>& VideoSource::BlankFill(size_t n) {
  if (blankFill_.size() < n || blankBpp_ != format_.bytesPerPixel) {
    blankBpp_ = format_.bytesPerPixel;
    blankFill_.resize(std::max(n, blankFill_.size()));
    for (size_t i = 0; i < blankFill_.size(); ++i) blankFill_[i] = BlankByte(blankBpp_, i);
  }
  return blankFill_;
}

// The first `length` pattern bytes of active line `index` of the current
// field. The frame-independent bases of the format's lines are worked out
// once, a line at a time as first needed; columns and lines beyond the
// format (long lines, extra lines) are computed one by one.
void VideoSource::PatternLine(uint32_t index, uint32_t length, uint8_t* out) {
  const VideoFormat& f = format_;
  const uint32_t lineBytes = f.LineBytes();
  const uint32_t lines = f.Fields() * f.FieldLines();
  if (baseLineBytes_ != lineBytes || baseFieldLines_ != f.FieldLines() || baseReady_.size() != lines) {
    baseLineBytes_ = lineBytes;
    baseFieldLines_ = f.FieldLines();
    bases_.assign(size_t(lineBytes) * lines, 0);
    baseReady_.assign(lines, false);
  }
  uint32_t cached = 0;
  if (line_.field < f.Fields() && index < f.FieldLines()) {
    const uint32_t row = line_.field * f.FieldLines() + index;
    uint8_t* base = bases_.data() + size_t(row) * lineBytes;
    if (!baseReady_[row]) {
      for (uint32_t c = 0; c < lineBytes; ++c) base[c] = PatternBase(line_.field, index, c);
      baseReady_[row] = true;
    }
    cached = std::min(length, lineBytes);
    AddFrame(base, cached, line_.frame, out);
  }
  for (uint32_t c = cached; c < length; ++c) out[c] = PatternByte(line_.frame, line_.field, index, c);
}

// Lays out the current line: [FF run] EAV, blanking, [FF run] SAV, payload.
void VideoSource::BuildUnit() {
  const VideoFormat& f = format_;
  const bool blank = line_.Blanking(f);
  const uint32_t index = blank ? 0 : line_.Index(f);
  const bool fieldBit = line_.field != 0;
  if (!blank) {
    const VideoFault* t = Find(VideoFault::Kind::Trigger, line_.frame, line_.field, index);
    if (t) trigger_ = t->value != 0;
  }
  const uint64_t base = position_;  // stream offset of this unit: the previous one is used up
  unit_.clear();
  unitPos_ = 0;
  // Knobs on a code: an FF run and a forced read boundary `count` bytes into it.
  auto code = [&](uint8_t xy, bool atSav, bool on, uint64_t frame, uint32_t field, uint32_t line) {
    if (on) {
      if (const VideoFault* r = Find(VideoFault::Kind::FFRun, frame, field, line, atSav))
        unit_.insert(unit_.end(), r->count, 0xFF);
      if (const VideoFault* c = Find(VideoFault::Kind::Cut, frame, field, line, atSav))
        cuts_.insert(base + unit_.size() + std::min<uint32_t>(c->count, 3));
    }
    const uint8_t bytes[4] = {0xFF, 0x00, 0x00, xy};
    unit_.insert(unit_.end(), bytes, bytes + 4);
  };

  // The EAV, which closes the previous line when that was active.
  uint8_t eav = StatusByte(fieldBit, blank, true, trigger_);
  if (prevActive_ && Find(VideoFault::Kind::SavForEav, prev_.frame, prev_.field, prevIndex_))
    eav = StatusByte(prev_.field != 0, false, false, trigger_);
  code(eav, false, prevActive_, prev_.frame, prev_.field, prevIndex_);
  const std::vector<uint8_t>& fill = BlankFill(std::max<uint32_t>(f.hblankBytes, f.LineBytes()));
  unit_.insert(unit_.end(), fill.begin(), fill.begin() + f.hblankBytes);
  code(StatusByte(fieldBit, blank, false, trigger_), true, !blank, line_.frame, line_.field, index);

  const size_t payload = unit_.size();
  if (blank) {
    unit_.insert(unit_.end(), fill.begin(), fill.begin() + f.LineBytes());
    return;
  }
  int64_t length = f.LineBytes();
  if (const VideoFault* s = Find(VideoFault::Kind::ShortLine, line_.frame, line_.field, index)) length -= s->count;
  if (const VideoFault* l = Find(VideoFault::Kind::LongLine, line_.frame, line_.field, index)) length += l->count;
  length = std::max<int64_t>(length, 0);
  unit_.resize(payload + size_t(length));
  uint8_t* out = unit_.data() + payload;
  if (f.picture) {
    for (uint32_t c = 0; c < uint32_t(length); ++c) out[c] = PictureByte(f, line_.frame, line_.field, index, c);
  } else {
    PatternLine(index, uint32_t(length), out);
  }
  // A spurious 0xFF, only where the line has that byte.
  for (VideoFault& s : faults_) {
    if (s.kind != VideoFault::Kind::SpuriousFF || s.frame != line_.frame || s.field != line_.field || s.line != index ||
        s.column >= length)
      continue;
    ++counters_.faults;
    unit_[payload + s.column] = 0xFF;
    if (s.value >= 0 && s.value <= 0xFF && s.column + 3 < length) unit_[payload + s.column + 3] = uint8_t(s.value);
  }
  if (const VideoFault* d = Find(VideoFault::Kind::DropPackets, line_.frame, line_.field, index)) {
    dropAt_ = base + payload;
    dropCount_ = d->count;
  }
}

// Copies (or, with a null `out`, discards) up to `n` bytes; with
// `stopAtCuts`, stops at the first cut strictly after the starting offset.
size_t VideoSource::Emit(uint8_t* out, size_t n, bool stopAtCuts) {
  if (!begun_) {  // the first line is laid out at the first read, after the knobs are set
    begun_ = true;
    StartField();
    BuildUnit();
  }
  const uint64_t start = position_;
  size_t done = 0;
  while (done < n) {
    size_t chunk = std::min(n - done, unit_.size() - unitPos_);
    if (stopAtCuts) {
      auto cut = cuts_.upper_bound(start);
      if (cut != cuts_.end()) {
        if (*cut <= position_) break;
        chunk = size_t(std::min<uint64_t>(chunk, *cut - position_));
      }
    }
    if (out) memcpy(out + done, unit_.data() + unitPos_, chunk);
    done += chunk;
    unitPos_ += chunk;
    position_ += chunk;
    if (unitPos_ == unit_.size()) {
      Advance();
      BuildUnit();
    }
  }
  cuts_.erase(cuts_.begin(), cuts_.upper_bound(position_));
  return done;
}

// One read as the reader sees it: applies a pending packet drop.
size_t VideoSource::Send(uint8_t* out, size_t n) {
  n = Emit(out, n, true);
  if (n == 0) return 0;
  if (dropAt_ < position_) {
    dropAt_ = UINT64_MAX;
    dropLeft_ = dropCount_;
  }
  if (dropLeft_ > 0) {
    --dropLeft_;
    ++counters_.droppedPackets;
    counters_.droppedBytes += n;
    return 0;
  }
  counters_.bytes += n;
  return n;
}

size_t VideoSource::Read(uint8_t* out, size_t capacity) { return Send(out, capacity); }

size_t VideoSource::ReadAt(uint8_t* out, size_t capacity, int64_t time) {
  if (format_.frameInterval <= 0) return Send(out, capacity);
  if (started_ && time > rateTime_) {
    const __int128 made = __int128(time - rateTime_) * rateBytes_ / rateInterval_;
    produced_ = std::max<uint64_t>(produced_, rateProduced_ + uint64_t(made));
  }
  // Production starts at the first read; a new format's rate from the first read after it.
  if (!started_ || rateBytes_ != format_.FrameBytes() || rateInterval_ != format_.frameInterval) {
    started_ = true;
    rateTime_ = time;
    rateProduced_ = produced_;
    rateBytes_ = format_.FrameBytes();
    rateInterval_ = format_.frameInterval;
  }
  // The oldest bytes beyond the FIFO are lost.
  if (produced_ > position_ + fifo_) {
    const uint64_t lost = produced_ - position_ - fifo_;
    Emit(nullptr, size_t(lost), false);
    counters_.lostBytes += lost;
  }
  const uint64_t ready = produced_ > position_ ? produced_ - position_ : 0;
  return Send(out, size_t(std::min<uint64_t>(capacity, ready)));
}

std::vector<uint8_t> VideoSource::Generate(const VideoFormat& format, size_t bytes) {
  VideoSource source(format);
  std::vector<uint8_t> out(bytes);
  source.Emit(out.data(), bytes, false);
  return out;
}

}  // namespace emu
