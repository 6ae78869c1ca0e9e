// The video generator, read back by a small parser of its own: code placement and status bytes, blanking, line
// and field layout, the pattern, the frames a driver would deliver in each interleave mode, pacing against
// virtual time and the effect of every fault knob.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <vector>

#include <emu/video.h>

namespace {

using emu::PatternByte;
using emu::StatusByte;
using emu::VideoFault;
using emu::VideoFormat;
using emu::VideoSource;
using Bytes = std::vector<uint8_t>;
using Kind = VideoFault::Kind;

bool F(uint8_t xy) { return xy & 0x40; }
bool V(uint8_t xy) { return xy & 0x20; }
bool H(uint8_t xy) { return xy & 0x10; }

// A timing code as found in the stream: FF 00 00 XY (XY bit 7 set), with the 0xFF bytes just before it.
struct Code {
  size_t at = 0, ffRun = 0;
  uint8_t xy = 0;
};
struct Line {
  Code open, close;  // the SAV and the code after the payload
  Bytes payload;
};
struct Field {
  bool f = false;
  size_t blanking = 0;  // vertical-blanking lines before it
  std::vector<Line> lines;
};
struct Parsed {
  std::vector<Code> codes;
  std::vector<Field> fields;  // complete fields only
};

Parsed Parse(const Bytes& s) {
  Parsed p;
  size_t run = 0;
  for (size_t i = 0; i + 3 < s.size(); ++i) {
    if (s[i] != 0xFF) {
      run = 0;
    } else if (s[i + 1] == 0 && s[i + 2] == 0 && (s[i + 3] & 0x80)) {
      p.codes.push_back({i, run, s[i + 3]});
      run = 0;
      i += 3;
    } else {
      ++run;
    }
  }
  Field field;
  for (size_t j = 0; j < p.codes.size(); ++j) {
    const Code& c = p.codes[j];
    if (H(c.xy)) continue;
    if (V(c.xy)) {
      if (!field.lines.empty()) {
        p.fields.push_back(field);
        field = {};
      }
      ++field.blanking;
    } else if (j + 1 < p.codes.size()) {
      const Code& next = p.codes[j + 1];
      field.f = F(c.xy);
      field.lines.push_back({c, next, Bytes(s.begin() + c.at + 4, s.begin() + next.at - next.ffRun)});
    }
  }
  return p;
}

VideoFormat Small(bool interlaced = false, uint32_t bpp = 2) {
  VideoFormat f;
  f.width = 24;
  f.height = 8;
  f.bytesPerPixel = bpp;
  f.interlaced = interlaced;
  f.blankingLines = 3;
  f.hblankBytes = 6;
  f.frameInterval = 10000;
  return f;
}

// Reads the whole stream through Read() in reads of `chunk` bytes, keeping each read's length.
Bytes ReadAll(VideoSource& source, size_t total, size_t chunk, std::vector<size_t>* reads = nullptr) {
  Bytes out;
  Bytes buf(chunk);
  while (out.size() < total) {
    const size_t n = source.Read(buf.data(), chunk);
    if (reads) reads->push_back(n);
    out.insert(out.end(), buf.begin(), buf.begin() + n);
  }
  return out;
}

// A well-formed stream: every code, blanking run, line and field where it belongs, every payload byte the
// pattern's; and the frames a driver assembles from the parsed fields match ExpectedFrame in every mode that
// fits the stream.
TEST(VideoTest, WellFormedStreamAndDeliveredFrames) {
  const struct {
    VideoFormat format;
    std::vector<uint32_t> modes;
  } cases[] = {{Small(false, 2), {0}}, {Small(false, 1), {0}}, {Small(true, 2), {1, 2}}, {Small(true, 1), {1, 2}}};
  for (const auto& c : cases) {
    const VideoFormat& fm = c.format;
    SCOPED_TRACE(testing::Message() << "bpp " << fm.bytesPerPixel << " interlaced " << fm.interlaced);
    const int frames = 3;
    const Bytes s = VideoSource::Generate(fm, size_t(fm.FrameBytes() * frames + 64));
    const Parsed p = Parse(s);

    ASSERT_GE(p.codes.size(), 2 * (s.size() / fm.UnitBytes()));
    for (size_t j = 0; j < p.codes.size(); ++j) {
      const Code& c = p.codes[j];
      ASSERT_EQ(c.at, j / 2 * fm.UnitBytes() + (j % 2 ? 4 + fm.hblankBytes : 0)) << j;
      const bool f = F(c.xy), v = V(c.xy), h = H(c.xy);
      // BT.656 status bytes by F, V, H; bit 0 is the trigger, clear here.
      const uint8_t bt656[8] = {0x80, 0x9C, 0xAA, 0xB6, 0xC6, 0xDA, 0xEC, 0xF0};
      ASSERT_EQ(c.xy, bt656[f * 4 + v * 2 + h]) << j;
      ASSERT_EQ(StatusByte(f, v, h, true), c.xy | 1);
      EXPECT_EQ(h, j % 2 == 0) << j;  // EAV, SAV, EAV, ...
      EXPECT_EQ(c.ffRun, 0u);
      if (h && j + 1 < p.codes.size()) {  // horizontal blanking
        for (size_t i = c.at + 4; i < p.codes[j + 1].at; ++i) EXPECT_TRUE(s[i] == 0x10 || s[i] == 0x80);
      }
    }
    ASSERT_EQ(p.fields.size(), size_t(frames * fm.Fields()));
    for (size_t k = 0; k < p.fields.size(); ++k) {
      const Field& fd = p.fields[k];
      const uint64_t frame = k / fm.Fields();
      const uint32_t field = uint32_t(k % fm.Fields());
      EXPECT_EQ(fd.f, field == 1);
      EXPECT_EQ(fd.blanking, fm.blankingLines);
      ASSERT_EQ(fd.lines.size(), fm.FieldLines());
      for (uint32_t y = 0; y < fd.lines.size(); ++y) {
        const Line& l = fd.lines[y];
        const bool last = y + 1 == fd.lines.size();
        // The EAV after a field's last line opens the next field's blanking: V set, that field's F.
        EXPECT_EQ(V(l.close.xy), last);
        EXPECT_EQ(F(l.close.xy), last ? fm.interlaced && field == 0 : field == 1);
        ASSERT_EQ(l.payload.size(), fm.LineBytes());
        for (uint32_t x = 0; x < l.payload.size(); ++x)
          ASSERT_EQ(l.payload[x], PatternByte(frame, field, y, x)) << frame << "," << y << "," << x;
      }
    }
    // Assemble as a driver does, from the parsed lines alone.
    for (uint32_t mode : c.modes) {
      for (uint64_t frame = 0; frame < uint64_t(frames); ++frame) {
        const size_t stride = 2 * fm.width;
        Bytes image(stride * fm.height);
        for (uint32_t y = 0; y < fm.height; ++y) {
          const Field& fd = p.fields[frame * fm.Fields() + (mode == 0 ? 0 : mode == 1 ? 1 : y % 2)];
          const Bytes& in = fd.lines[mode == 0 ? y : y / 2].payload;
          for (size_t x = 0; x < stride; ++x)
            image[y * stride + x] = fm.bytesPerPixel == 2 ? in[x] : (x % 2 ? in[x / 2] : 0x80);
        }
        EXPECT_EQ(image, emu::ExpectedFrame(fm, mode, frame)) << "mode " << mode << " frame " << frame;
        EXPECT_EQ(emu::FrameOf(fm, mode, image.data()), frame);
      }
    }
  }
}

// Bytes one frame, field, line or column apart differ (nearly all of a line), and frames tell their number.
TEST(VideoTest, PatternSeparatesNeighbours) {
  const uint32_t shifts[4][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}};
  for (const auto& d : shifts) {
    int same = 0;
    for (uint32_t x = 0; x < 1280; ++x)
      same += PatternByte(7 + d[0], d[1], 5 + d[2], x + d[3]) == PatternByte(7, 0, 5, x);
    EXPECT_LT(same, 20);
  }
  const VideoFormat fm = Small(true, 1);
  for (uint64_t frame = 250; frame < 260; ++frame)
    EXPECT_EQ(emu::FrameOf(fm, 2, emu::ExpectedFrame(fm, 2, frame).data()), frame % 255);
}

// A new format takes effect at the next frame start; the picture for people never holds a 0xFF.
TEST(VideoTest, FormatChangeAtTheNextFrame) {
  const VideoFormat fm = Small();
  VideoFormat next = Small(true, 1);
  next.picture = true;
  VideoSource source(fm);
  Bytes s = ReadAll(source, 100, 100);
  source.SetFormat(next);
  const Bytes rest = ReadAll(source, size_t(fm.FrameBytes() + 2 * next.FrameBytes()), 1000);
  s.insert(s.end(), rest.begin(), rest.end());
  const Parsed p = Parse(s);
  ASSERT_GE(p.fields.size(), 5u);
  EXPECT_EQ(p.fields[0].lines.size(), fm.height);
  EXPECT_EQ(p.fields[0].lines[0].payload.size(), fm.LineBytes());
  for (size_t k = 1; k < 5; ++k) {
    EXPECT_EQ(p.fields[k].f, k % 2 == 0);
    EXPECT_EQ(p.fields[k].lines.size(), next.FieldLines());
    for (const Line& l : p.fields[k].lines) {
      ASSERT_EQ(l.payload.size(), next.LineBytes());
      EXPECT_EQ(std::count(l.payload.begin(), l.payload.end(), 0xFF), 0);
    }
  }
  EXPECT_NE(p.fields[1].lines[2].payload, p.fields[3].lines[2].payload);  // the box moves
}

// Pacing: no byte leaves before the camera made it, a fast enough pipe gets each as it is made (25 frames in
// 25 ms), and a slower one loses the oldest bytes at the FIFO and nothing else. Unpaced: all at once.
TEST(VideoTest, PacedInVirtualTime) {
  const struct {
    uint32_t perMicroframe;
    uint64_t fifo;
    bool losses;
  } cases[] = {{1024, 64 * 1024, false}, {50, 64 * 1024, false}, {50, 512, true}};
  const VideoFormat fm = Small();  // 682 bytes a frame, a frame a ms: 85.25 bytes a microframe
  for (const auto& c : cases) {
    SCOPED_TRACE(c.perMicroframe);
    VideoSource source(fm);
    source.SetFifoBytes(c.fifo);
    const int64_t t0 = 5'000'000;
    Bytes buf(c.perMicroframe);
    uint64_t sent = 0;
    for (int64_t t = t0; t <= t0 + 200 * host::usb::kMicroframe; t += host::usb::kMicroframe) {
      sent += source.ReadAt(buf.data(), buf.size(), t);
      const uint64_t made = uint64_t((t - t0) * int64_t(fm.FrameBytes()) / fm.frameInterval);
      ASSERT_LE(sent, made);
      ASSERT_EQ(sent + source.Counters().lostBytes, source.Position());
      ASSERT_TRUE(c.perMicroframe < 86 || sent == made);
    }
    EXPECT_EQ(sent, source.Counters().bytes);
    EXPECT_EQ(source.Counters().lostBytes > 0, c.losses);
    EXPECT_TRUE(c.perMicroframe < 86 || (source.Counters().frames == 25 && source.Counters().lines == 25 * 8));
  }
  VideoFormat unpaced = Small();
  unpaced.frameInterval = 0;
  VideoSource source(unpaced);
  Bytes buf(4096);
  EXPECT_EQ(source.ReadAt(buf.data(), buf.size(), 0), buf.size());
}

// A fault knob on line 2 of frame 1 (field 0).
VideoFault Knob(Kind kind, uint32_t column = 0, uint32_t count = 1, int value = -1, bool atSav = false) {
  VideoFault f;
  f.kind = kind;
  f.frame = 1;
  f.line = 2;
  f.column = column;
  f.count = count;
  f.value = value;
  f.atSav = atSav;
  return f;
}

// Each fault knob and what it does to the stream; each counts once.
TEST(VideoTest, FaultKnobs) {
  using Check = std::function<void(const Parsed&, const std::vector<Line>&, size_t width)>;
  struct Case {
    const char* name;
    VideoFault fault;
    Check check;  // given the parsed stream, the lines of frame 1's first field and the line width in bytes
  };
  const Case cases[] = {
      {"spurious FF, a chosen byte 3 later", Knob(Kind::SpuriousFF, 5, 1, 0x80),
       [](const Parsed&, const std::vector<Line>& l, size_t w) {
         Bytes want(w);
         for (uint32_t x = 0; x < w; ++x) want[x] = x == 5 ? 0xFF : x == 8 ? 0x80 : PatternByte(1, 0, 2, x);
         EXPECT_EQ(l[2].payload, want);
       }},
      {"SAV where the EAV belongs", Knob(Kind::SavForEav),
       [](const Parsed&, const std::vector<Line>& l, size_t) {
         EXPECT_EQ(l[2].close.xy, StatusByte(false, false, false, false));
         EXPECT_EQ(l[3].payload.size(), 6u);  // the false SAV "opens" the horizontal blanking
       }},
      {"short line", Knob(Kind::ShortLine, 0, 3),
       [](const Parsed&, const std::vector<Line>& l, size_t w) { EXPECT_EQ(l[2].payload.size(), w - 3); }},
      {"long line", Knob(Kind::LongLine, 0, 5),
       [](const Parsed&, const std::vector<Line>& l, size_t w) {
         ASSERT_EQ(l[2].payload.size(), w + 5);
         EXPECT_EQ(l[2].payload.back(), PatternByte(1, 0, 2, uint32_t(w + 4)));
       }},
      {"too few lines", Knob(Kind::FewerLines, 0, 2),
       [](const Parsed&, const std::vector<Line>& l, size_t) { EXPECT_EQ(l.size(), 8u - 2); }},
      {"too many lines", Knob(Kind::MoreLines, 0, 2),
       [](const Parsed&, const std::vector<Line>& l, size_t) {
         ASSERT_EQ(l.size(), 8u + 2);
         EXPECT_EQ(l.back().payload[0], PatternByte(1, 0, 9, 0));
       }},
      {"FF run before the EAV", Knob(Kind::FFRun, 0, 3),
       [](const Parsed&, const std::vector<Line>& l, size_t w) {
         EXPECT_EQ(l[2].close.ffRun, 3u);
         EXPECT_EQ(l[2].payload.size(), w);
       }},
      {"FF run before the SAV", Knob(Kind::FFRun, 0, 2, -1, true),
       [](const Parsed&, const std::vector<Line>& l, size_t) {
         EXPECT_EQ(l[2].open.ffRun, 2u);
         EXPECT_EQ(l[2].close.ffRun, 0u);
       }},
      {"trigger from a line on, its EAV included", Knob(Kind::Trigger, 0, 1, 1),
       [](const Parsed& p, const std::vector<Line>& l, size_t) {
         EXPECT_EQ(l[1].open.xy & 1, 0);
         EXPECT_EQ(l[1].close.xy & 1, 1);
         EXPECT_EQ(p.fields[2].lines[0].open.xy & 1, 1);
         for (const Code& c : p.codes) EXPECT_EQ(c.xy & ~1, StatusByte(F(c.xy), V(c.xy), H(c.xy), false));
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const VideoFormat fm = Small();
    VideoSource source(fm);
    source.AddFault(c.fault);
    const Parsed p = Parse(ReadAll(source, size_t(fm.FrameBytes() * 3), 1000));
    EXPECT_EQ(source.Counters().faults, 1u);
    ASSERT_GE(p.fields.size(), 2u);
    c.check(p, p.fields[1].lines, fm.LineBytes());
  }
  // Interlaced: frame 1 without its F = 0 field.
  VideoSource source(Small(true));
  source.AddFault(Knob(Kind::NoFirstField));
  const Parsed p = Parse(ReadAll(source, 2000, 1000));
  ASSERT_GE(p.fields.size(), 4u);
  EXPECT_EQ(p.fields[1].lines[0].payload[0], PatternByte(0, 1, 0, 0));
  EXPECT_EQ(p.fields[2].lines[0].payload[0], PatternByte(1, 1, 0, 0));
  EXPECT_FALSE(p.fields[3].f);
}

// A cut 0..3 bytes into a code, or anywhere, ends a read exactly there; dropped packets vanish whole.
TEST(VideoTest, CutsAndDroppedPackets) {
  const VideoFormat fm = Small();
  const Bytes clean = VideoSource::Generate(fm, size_t(fm.FrameBytes() * 2 + 64));
  const Line line = Parse(clean).fields[1].lines[2];
  for (bool atSav : {false, true}) {
    for (uint32_t k = 0; k <= 3; ++k) {
      VideoSource source(fm);
      source.AddFault(Knob(Kind::Cut, 0, k, -1, atSav));
      source.CutAt(100);
      std::vector<size_t> reads;
      const Bytes got = ReadAll(source, clean.size(), 5000, &reads);
      EXPECT_TRUE(std::equal(clean.begin(), clean.end(), got.begin()));
      ASSERT_GE(reads.size(), 3u);
      EXPECT_EQ(reads[0], 100u);
      EXPECT_EQ(reads[0] + reads[1], (atSav ? line.open.at : line.close.at) + k) << atSav << k;
    }
  }
  VideoSource source(fm);
  source.AddFault(Knob(Kind::DropPackets, 0, 2));
  std::vector<size_t> reads;
  Bytes got = ReadAll(source, clean.size() - 200, 100, &reads);
  got.resize(clean.size() - 200);
  const size_t first = (line.open.at + 4) / 100;  // the read holding the line's first pixel
  EXPECT_EQ(reads[first] + reads[first + 1], 0u);
  EXPECT_EQ(reads[first + 2], 100u);
  EXPECT_EQ(source.Counters().droppedPackets, 2u);
  EXPECT_EQ(source.Counters().droppedBytes, 200u);
  EXPECT_TRUE(std::equal(got.begin(), got.begin() + first * 100, clean.begin()));
  EXPECT_TRUE(std::equal(got.begin() + first * 100, got.end(), clean.begin() + (first + 2) * 100));
}

}  // namespace
