// Output files of the tools: Y4M video (planar 4:2:2), raw UYVY, PNG stills.
// Every writer opens its file when asked, so that a path that cannot be
// written is reported before a capture starts.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace ovra {

// An output file opened for writing at once and closed by the destructor.
class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Creates or truncates `path`; false with a one-line reason in `error`.
  bool Open(const std::string& path, std::string* error);
  bool IsOpen() const { return file_ != nullptr; }
  const std::string& path() const { return path_; }
  FILE* file() const { return file_; }
  bool Write(const void* data, size_t size);
  // Flushes and closes; false (with the reason) if any write failed.
  bool Close(std::string* error);

 private:
  FILE* file_ = nullptr;
  std::string path_;
  bool failed_ = false;
};

// YUV4MPEG2 with planar 4:2:2 frames (C422): the Y plane, then U and V at half
// width. Frames come as packed UYVY, or as 8-bit luminance that is padded
// with neutral chroma. The header is written with the first frame, whose
// size and interval (100-ns units) every later frame must keep.
class Y4mWriter {
 public:
  bool Open(const std::string& path, std::string* error) { return file_.Open(path, error); }
  bool WriteUyvy(const uint8_t* uyvy, uint32_t width, uint32_t height, int64_t interval, std::string* error);
  bool WriteGray(const uint8_t* luma, uint32_t width, uint32_t height, int64_t interval, std::string* error);
  bool Close(std::string* error) { return file_.Close(error); }
  uint64_t frames() const { return frames_; }

 private:
  bool Begin(uint32_t width, uint32_t height, int64_t interval, std::string* error);
  bool WritePlanes(std::string* error);
  OutputFile file_;
  uint32_t width_ = 0;
  uint32_t height_ = 0;
  std::vector<uint8_t> planes_;
  uint64_t frames_ = 0;
};

// The Y4M frame-rate fraction of a frame interval in 100-ns units: n:1 or
// n:1001 where one of them gives the interval back exactly, else the reduced
// fraction 10^7:interval.
std::string Y4mRate(int64_t interval);

// BT.601 limited-range UYVY to 8-bit RGB, 3 bytes a pixel. Odd widths are not
// UYVY: the last pixel of a line then has no pair and is dropped.
void UyvyToRgb(const uint8_t* uyvy, uint32_t width, uint32_t height, uint8_t* rgb);

// A PNG written later into a file opened now (so that a bad path fails early).
class PngWriter {
 public:
  bool Open(const std::string& path, std::string* error) { return file_.Open(path, error); }
  bool WriteUyvy(const uint8_t* uyvy, uint32_t width, uint32_t height, std::string* error);
  const std::string& path() const { return file_.path(); }

 private:
  OutputFile file_;
};

// Writes `uyvy` as an RGB PNG at `path`.
bool WritePng(const std::string& path, const uint8_t* uyvy, uint32_t width, uint32_t height, std::string* error);

}  // namespace ovra
