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
  size_t at = 0;
  uint8_t xy = 0;
  size_t ffRun = 0;
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
      p.codes.push_back({i, s[i + 3], run});
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
  struct Case {
    VideoFormat format;
    std::vector<uint32_t> modes;
  };
  VideoFormat vga;
  vga.width = 640;
  vga.height = 480;
  const Case cases[] = {{vga, {0}}, {Small(false, 1), {0}}, {Small(true, 2), {1, 2}}, {Small(true, 1), {1, 2}}};
  for (const Case& c : cases) {
    const VideoFormat& fm = c.format;
    SCOPED_TRACE(testing::Message() << fm.width << "x" << fm.height << " bpp " << fm.bytesPerPixel << " interlaced "
                                    << fm.interlaced);
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

// The pattern tells apart bytes that differ by one in any coordinate (nearly every byte of a line differs),
// and the frame number modulo 255.
TEST(VideoTest, PatternSeparatesNeighbours) {
  const std::function<uint8_t(uint32_t)> shifted[] = {
      [](uint32_t x) { return PatternByte(8, 1, 5, x); }, [](uint32_t x) { return PatternByte(7, 0, 5, x); },
      [](uint32_t x) { return PatternByte(7, 1, 6, x); }, [](uint32_t x) { return PatternByte(7, 1, 5, x + 1); }};
  for (size_t i = 0; i < 4; ++i) {
    int same = 0;
    for (uint32_t x = 0; x < 1280; ++x) same += shifted[i](x) == PatternByte(7, 1, 5, x);
    EXPECT_LT(same, 20) << i;
  }
  const VideoFormat fm = Small(true, 1);
  for (uint64_t frame = 250; frame < 260; ++frame) {
    const Bytes image = emu::ExpectedFrame(fm, 2, frame);
    EXPECT_EQ(emu::FrameOf(fm, 2, image.data()), frame % 255);
  }
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

// Pacing: no byte leaves before the camera made it; over whole frames the stream runs at the frame rate; a
// pipe slower than the camera loses the oldest bytes at the FIFO, and nothing else.
TEST(VideoTest, PacedInVirtualTime) {
  struct Case {
    uint32_t perMicroframe;
    uint64_t fifo;
    bool losses;
  };
  const Case cases[] = {{1024, 64 * 1024, false}, {50, 64 * 1024, false}, {50, 512, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.perMicroframe);
    const VideoFormat fm = Small();  // 682 bytes a frame, a frame a ms: 85.25 bytes a microframe
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
      if (c.perMicroframe >= fm.FrameBytes() / 8 + 1) {
        ASSERT_EQ(sent, made);
      }
    }
    EXPECT_EQ(sent, source.Counters().bytes);
    EXPECT_EQ(source.Counters().lostBytes > 0, c.losses);
    if (c.perMicroframe == 1024) {
      EXPECT_EQ(source.Counters().frames, 25u);  // 25 ms
      EXPECT_EQ(source.Counters().lines, 25u * fm.height);
    }
  }
  // Unpaced: every byte exists at once.
  VideoFormat fm = Small();
  fm.frameInterval = 0;
  VideoSource source(fm);
  Bytes buf(4096);
  EXPECT_EQ(source.ReadAt(buf.data(), buf.size(), 0), buf.size());
}

// Each fault knob, placed on frame 1, and what it does to the stream.
TEST(VideoTest, FaultKnobs) {
  const uint32_t L = 2;  // the line faults are placed on
  auto lineOf = [](const Parsed& p, size_t field, uint32_t line) -> const Line& { return p.fields[field].lines[line]; };
  struct Case {
    const char* name;
    VideoFault fault;
    bool interlaced;
    std::function<void(const Parsed&, const VideoFormat&)> check;
  };
  auto fault = [](Kind kind, uint32_t column = 0, uint32_t count = 1, int value = -1, bool atSav = false) {
    VideoFault f;
    f.kind = kind;
    f.frame = 1;
    f.line = L;
    f.column = column;
    f.count = count;
    f.value = value;
    f.atSav = atSav;
    return f;
  };
  const Case cases[] = {
      {"spurious FF, chosen byte 3 after", fault(Kind::SpuriousFF, 5, 1, 0x80), false,
       [&](const Parsed& p, const VideoFormat& fm) {
         Bytes want(fm.LineBytes());
         for (uint32_t x = 0; x < want.size(); ++x) want[x] = PatternByte(1, 0, L, x);
         want[5] = 0xFF;
         want[8] = 0x80;
         EXPECT_EQ(lineOf(p, 1, L).payload, want);
       }},
      {"SAV where the EAV belongs", fault(Kind::SavForEav), false,
       [&](const Parsed& p, const VideoFormat&) {
         EXPECT_EQ(lineOf(p, 1, L).close.xy, StatusByte(false, false, false, false));
         // The parser takes the false SAV for a line holding the horizontal blanking.
         EXPECT_EQ(lineOf(p, 1, L + 1).payload.size(), 6u);
       }},
      {"short line", fault(Kind::ShortLine, 0, 3), false,
       [&](const Parsed& p, const VideoFormat& fm) { EXPECT_EQ(lineOf(p, 1, L).payload.size(), fm.LineBytes() - 3); }},
      {"long line", fault(Kind::LongLine, 0, 5), false,
       [&](const Parsed& p, const VideoFormat& fm) {
         const Bytes& pl = lineOf(p, 1, L).payload;
         ASSERT_EQ(pl.size(), fm.LineBytes() + 5);
         EXPECT_EQ(pl.back(), PatternByte(1, 0, L, fm.LineBytes() + 4));
       }},
      {"too few lines", fault(Kind::FewerLines, 0, 2), false,
       [&](const Parsed& p, const VideoFormat& fm) { EXPECT_EQ(p.fields[1].lines.size(), fm.height - 2); }},
      {"too many lines", fault(Kind::MoreLines, 0, 2), false,
       [&](const Parsed& p, const VideoFormat& fm) {
         ASSERT_EQ(p.fields[1].lines.size(), fm.height + 2);
         EXPECT_EQ(p.fields[1].lines.back().payload[0], PatternByte(1, 0, fm.height + 1, 0));
       }},
      {"F = 1 field without its F = 0 field", fault(Kind::NoFirstField), true,
       [&](const Parsed& p, const VideoFormat&) {
         ASSERT_GE(p.fields.size(), 4u);
         EXPECT_EQ(p.fields[1].f, true);
         EXPECT_EQ(p.fields[2].f, true);  // frame 1 has only its second field
         EXPECT_EQ(p.fields[2].lines[0].payload[0], PatternByte(1, 1, 0, 0));
         EXPECT_EQ(p.fields[3].f, false);
       }},
      {"FF run before the EAV", fault(Kind::FFRun, 0, 3), false,
       [&](const Parsed& p, const VideoFormat& fm) {
         EXPECT_EQ(lineOf(p, 1, L).close.ffRun, 3u);
         EXPECT_EQ(lineOf(p, 1, L).payload.size(), fm.LineBytes());
       }},
      {"FF run before the SAV", fault(Kind::FFRun, 0, 2, -1, true), false,
       [&](const Parsed& p, const VideoFormat&) {
         EXPECT_EQ(lineOf(p, 1, L).open.ffRun, 2u);
         EXPECT_EQ(lineOf(p, 1, L).close.ffRun, 0u);
       }},
      {"trigger on from a line", fault(Kind::Trigger, 0, 1, 1), false,
       [&](const Parsed& p, const VideoFormat&) {
         EXPECT_EQ(lineOf(p, 1, L - 1).open.xy & 1, 0);
         EXPECT_EQ(lineOf(p, 1, L - 1).close.xy & 1, 1);  // the EAV of line L is one of its codes
         EXPECT_EQ(lineOf(p, 1, L).open.xy & 1, 1);
         EXPECT_EQ(p.fields[2].lines[0].open.xy & 1, 1);
         for (const Code& c : p.codes) EXPECT_EQ(c.xy & ~1, StatusByte(F(c.xy), V(c.xy), H(c.xy), false));
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const VideoFormat fm = Small(c.interlaced);
    VideoSource source(fm);
    source.AddFault(c.fault);
    const Parsed p = Parse(ReadAll(source, size_t(fm.FrameBytes() * 3), 1000));
    EXPECT_EQ(source.Counters().faults, 1u);
    c.check(p, fm);
  }
}

// Read boundaries: a cut 0..3 bytes into a code ends a read exactly there; dropped packets vanish whole.
TEST(VideoTest, CutsAndDroppedPackets) {
  const VideoFormat fm = Small();
  const Bytes clean = VideoSource::Generate(fm, size_t(fm.FrameBytes() * 2 + 64));
  const Parsed ref = Parse(clean);
  for (bool atSav : {false, true}) {
    for (uint32_t k = 0; k <= 3; ++k) {
      VideoSource source(fm);
      VideoFault f;
      f.kind = Kind::Cut;
      f.frame = 1;
      f.line = 4;
      f.count = k;
      f.atSav = atSav;
      source.AddFault(f);
      source.CutAt(100);
      std::vector<size_t> reads;
      const Bytes got = ReadAll(source, clean.size(), 5000, &reads);
      EXPECT_TRUE(std::equal(clean.begin(), clean.end(), got.begin()));
      const Line& line = ref.fields[1].lines[4];
      const size_t cut = (atSav ? line.open.at : line.close.at) + k;
      ASSERT_GE(reads.size(), 3u);
      EXPECT_EQ(reads[0], 100u);
      EXPECT_EQ(reads[0] + reads[1], cut) << atSav << k;
    }
  }
  VideoSource source(fm);
  VideoFault f;
  f.kind = Kind::DropPackets;
  f.frame = 1;
  f.line = 4;
  f.count = 2;
  source.AddFault(f);
  std::vector<size_t> reads;
  Bytes got = ReadAll(source, clean.size() - 200, 100, &reads);
  got.resize(clean.size() - 200);
  const size_t first = (ref.fields[1].lines[4].open.at + 4) / 100;  // the read with the line's first pixel
  EXPECT_EQ(reads[first], 0u);
  EXPECT_EQ(reads[first + 1], 0u);
  EXPECT_EQ(reads[first + 2], 100u);
  EXPECT_EQ(source.Counters().droppedPackets, 2u);
  EXPECT_EQ(source.Counters().droppedBytes, 200u);
  EXPECT_TRUE(std::equal(got.begin(), got.begin() + first * 100, clean.begin()));
  EXPECT_TRUE(std::equal(got.begin() + first * 100, got.end(), clean.begin() + (first + 2) * 100));
}

}  // namespace
