// The tools' file formats: Y4M frames and rates, PNG through libpng, Intel
// HEX flattening and its refusals.
#include <gtest/gtest.h>
#include <png.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "client/hex.h"
#include "client/writers.h"

namespace {

// Per process: other runs of this suite may be writing theirs at the same time.
std::string TempPath(const char* name) { return testing::TempDir() + "ovra_" + std::to_string(getpid()) + "_" + name; }

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(Y4m, RateIsExactWhereAPlayerCanHaveIt) {
  const struct {
    int64_t interval;
    const char* rate;
  } cases[] = {{333333, "30:1"}, {333667, "30000:1001"}, {400000, "25:1"}, {666667, "15:1"}, {417083, "24000:1001"},
               {1234567, "10000000:1234567"}, {250000, "40:1"}};
  for (const auto& c : cases) EXPECT_EQ(ovra::Y4mRate(c.interval), c.rate) << c.interval;
}

// UYVY unpacks to the Y plane, then U and V at half width; luminance-only
// frames get neutral chroma. Two frames, each after its own FRAME line.
TEST(Y4m, FramesArePlanar422) {
  const uint8_t uyvy[] = {0x10, 0x20, 0x30, 0x40, 0x11, 0x21, 0x31, 0x41,   // line 0: U Y V Y U Y V Y
                          0x12, 0x22, 0x32, 0x42, 0x13, 0x23, 0x33, 0x43};  // line 1
  const uint8_t gray[] = {1, 2, 3, 4, 5, 6, 7, 8};
  const std::string path = TempPath("planar.y4m");
  std::string error;
  ovra::Y4mWriter writer;
  ASSERT_TRUE(writer.Open(path, &error)) << error;
  ASSERT_TRUE(writer.WriteUyvy(uyvy, 4, 2, 333667, &error)) << error;
  ASSERT_TRUE(writer.WriteGray(gray, 4, 2, 333667, &error)) << error;
  EXPECT_FALSE(writer.WriteGray(gray, 2, 4, 333667, &error)) << "a frame of another size";
  ASSERT_TRUE(writer.Close(&error)) << error;

  const std::string header = "YUV4MPEG2 W4 H2 F30000:1001 Ip A1:1 C422\n";
  const std::string frame1 = "FRAME\n" + std::string("\x20\x40\x21\x41\x22\x42\x23\x43") +
                             std::string("\x10\x11\x12\x13") + std::string("\x30\x31\x32\x33");
  const std::string frame2 = "FRAME\n" + std::string(reinterpret_cast<const char*>(gray), 8) + std::string(8, '\x80');
  EXPECT_EQ(ReadAll(path), header + frame1 + frame2);
  remove(path.c_str());
}

TEST(Writers, RefuseWhatTheyCannotWrite) {
  std::string error;
  ovra::Y4mWriter y4m;
  const std::string odd = TempPath("odd.y4m");
  ASSERT_TRUE(y4m.Open(odd, &error)) << error;
  const uint8_t pixels[12] = {};
  EXPECT_FALSE(y4m.WriteUyvy(pixels, 3, 2, 333667, &error));
  EXPECT_NE(error.find("even"), std::string::npos) << error;
  remove(odd.c_str());
  ovra::PngWriter png;
  EXPECT_FALSE(png.Open("/nonexistent-dir/x.png", &error));
  EXPECT_NE(error.find("cannot write /nonexistent-dir/x.png"), std::string::npos) << error;
}

// Colours survive UYVY -> RGB -> PNG -> libpng's reader: studio black and
// white reach 0 and 255, the primaries land on their corners.
TEST(Png, RoundTripThroughLibpng) {
  const struct {
    uint8_t y, u, v;
    uint8_t r, g, b;
  } cases[] = {
      {16, 128, 128, 0, 0, 0},       {235, 128, 128, 255, 255, 255}, {126, 128, 128, 128, 128, 128},
      {81, 90, 240, 255, 0, 0},      {145, 54, 34, 0, 255, 0},       {41, 240, 110, 0, 0, 255},
      {0, 0, 0, 0, 135, 0},  // out of range input clamps instead of wrapping
  };
  const uint32_t width = 2 * uint32_t(std::size(cases)), height = 2;
  std::vector<uint8_t> uyvy;
  for (uint32_t line = 0; line < height; ++line)
    for (const auto& c : cases) uyvy.insert(uyvy.end(), {c.u, c.y, c.v, c.y});
  const std::string path = TempPath("round.png");
  std::string error;
  ASSERT_TRUE(ovra::WritePng(path, uyvy.data(), width, height, &error)) << error;

  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  ASSERT_TRUE(png_image_begin_read_from_file(&image, path.c_str())) << image.message;
  image.format = PNG_FORMAT_RGB;
  std::vector<uint8_t> rgb(PNG_IMAGE_SIZE(image));
  ASSERT_TRUE(png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr)) << image.message;
  ASSERT_EQ(image.width, width);
  ASSERT_EQ(image.height, height);
  for (uint32_t line = 0; line < height; ++line) {
    for (size_t i = 0; i < std::size(cases); ++i) {
      const auto& c = cases[i];
      for (int half = 0; half < 2; ++half) {
        const uint8_t* p = &rgb[(size_t(line) * width + 2 * i + half) * 3];
        EXPECT_NEAR(p[0], c.r, 2) << "case " << i;
        EXPECT_NEAR(p[1], c.g, 2) << "case " << i;
        EXPECT_NEAR(p[2], c.b, 2) << "case " << i;
      }
    }
  }
  remove(path.c_str());
}

TEST(IntelHex, FlattensRecordsOrSaysWhichLineItCannotPlace) {
  const std::string eof = ":00000001FF\n";
  const struct {
    const char* name;
    std::string text;
    std::vector<uint8_t> image;  // when accepted
    const char* error;           // substring, when refused
  } cases[] = {
      {"two records with a gap, CRLF", ":020000001122(CS)\r\n:0100040033(CS)\r\n" + eof, {0x11, 0x22, 0, 0, 0x33}, nullptr},
      {"segment base moves data", ":020000020001(CS)\n:01000000AA(CS)\n" + eof,
       [] { std::vector<uint8_t> v(17); v[16] = 0xAA; return v; }(), nullptr},
      {"start address record skipped", ":0400000300000000(CS)\n:01000000AA(CS)\n" + eof, {0xAA}, nullptr},
      {"last byte at 0xFFFF fits", ":01FFFF0077(CS)\n" + eof, {}, nullptr},
      {"record past 64 KiB", ":02FFFF00AABB(CS)\n" + eof, {}, "line 1: data at 0xFFFF (2 bytes) lies past 64 KiB"},
      {"linear base above 64 KiB", ":020000040001(CS)\n:01000000AA(CS)\n" + eof, {}, "line 2: data at 0x10000"},
      {"unsupported type", ":0100000642(CS)\n" + eof, {}, "line 1: record type 0x06 is not supported"},
      {"bad checksum", ":0100000011EF\n" + eof, {}, "line 1: checksum mismatch"},
      {"length field disagrees", ":0200000011(CS)\n" + eof, {}, "line 1: length field"},
      {"bad digit", ":01000000G1EE\n" + eof, {}, "line 1: not a hexadecimal digit"},
      {"overlap", ":0100000011(CS)\n:0100000022(CS)\n" + eof, {}, "line 2: data at 0x0000 overlaps"},
      {"no end record", ":0100000011(CS)\n", {}, "no end-of-file record"},
      {"data after end", eof + ":0100000011(CS)\n", {}, "line 2: data after the end-of-file record"},
      {"missing colon", "0100000011EE\n" + eof, {}, "line 1: a record starts with ':'"},
  };
  for (auto c : cases) {
    SCOPED_TRACE(c.name);
    // Fill in a correct checksum wherever the case says (CS).
    for (size_t cs; (cs = c.text.find("(CS)")) != std::string::npos;) {
      const size_t start = c.text.rfind(':', cs) + 1;
      unsigned sum = 0;
      for (size_t i = start; i < cs; i += 2) sum += std::stoul(c.text.substr(i, 2), nullptr, 16);
      char hex[3];
      snprintf(hex, sizeof hex, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
      c.text.replace(cs, 4, hex);
    }
    std::vector<uint8_t> image;
    std::string error;
    const bool ok = ovra::ParseIntelHex(c.text, &image, &error);
    if (c.error == nullptr) {
      ASSERT_TRUE(ok) << error;
      if (std::string(c.name) == "last byte at 0xFFFF fits") {
        ASSERT_EQ(image.size(), 0x10000u);
        EXPECT_EQ(image.back(), 0x77);
      } else {
        EXPECT_EQ(image, c.image);
      }
    } else {
      EXPECT_FALSE(ok);
      EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
  }
}

}  // namespace
