#include "writers.h"

#include <png.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <numeric>

namespace ovra {

OutputFile::~OutputFile() {
  if (file_ != nullptr) fclose(file_);
}

bool OutputFile::Open(const std::string& path, std::string* error) {
  if (file_ != nullptr) fclose(file_);
  path_ = path;
  failed_ = false;
  file_ = fopen(path.c_str(), "wb");
  if (file_ == nullptr) {
    *error = "cannot write " + path + ": " + strerror(errno);
    return false;
  }
  return true;
}

bool OutputFile::Write(const void* data, size_t size) {
  if (file_ == nullptr || failed_) return false;
  if (size != 0 && fwrite(data, 1, size, file_) != size) failed_ = true;
  return !failed_;
}

bool OutputFile::Close(std::string* error) {
  if (file_ == nullptr) return true;
  const bool flushed = fflush(file_) == 0 && !ferror(file_);
  const int saved = errno;
  fclose(file_);
  file_ = nullptr;
  if (failed_ || !flushed) {
    *error = "writing " + path_ + " failed: " + strerror(saved != 0 ? saved : EIO);
    return false;
  }
  return true;
}

std::string Y4mRate(int64_t interval) {
  constexpr int64_t kSecond = 10'000'000;
  if (interval <= 0) return "0:0";
  for (int64_t den : {int64_t(1), int64_t(1001)}) {
    const int64_t num = (kSecond * den + interval / 2) / interval;
    if (num > 0 && (kSecond * den + num / 2) / num == interval) return std::to_string(num) + ":" + std::to_string(den);
  }
  const int64_t g = std::gcd(kSecond, interval);
  return std::to_string(kSecond / g) + ":" + std::to_string(interval / g);
}

bool Y4mWriter::Begin(uint32_t width, uint32_t height, int64_t interval, std::string* error) {
  if (frames_ > 0) {
    if (width == width_ && height == height_) return true;
    *error = "frame size changed from " + std::to_string(width_) + "x" + std::to_string(height_) + " to " +
             std::to_string(width) + "x" + std::to_string(height);
    return false;
  }
  if (width == 0 || height == 0 || width % 2 != 0) {
    *error = "Y4M 4:2:2 needs an even, non-zero width (got " + std::to_string(width) + "x" + std::to_string(height) + ")";
    return false;
  }
  width_ = width;
  height_ = height;
  planes_.assign(size_t(width) * height * 2, 0);
  const std::string header = "YUV4MPEG2 W" + std::to_string(width) + " H" + std::to_string(height) + " F" +
                             Y4mRate(interval) + " Ip A1:1 C422\n";
  if (!file_.Write(header.data(), header.size())) return *error = "writing " + file_.path() + " failed", false;
  return true;
}

bool Y4mWriter::WriteUyvy(const uint8_t* uyvy, uint32_t width, uint32_t height, int64_t interval, std::string* error) {
  if (!Begin(width, height, interval, error)) return false;
  const size_t pixels = size_t(width_) * height_;
  uint8_t* y = planes_.data();
  uint8_t* u = y + pixels;
  uint8_t* v = u + pixels / 2;
  for (size_t i = 0; i < pixels / 2; ++i, uyvy += 4) {
    u[i] = uyvy[0];
    y[2 * i] = uyvy[1];
    v[i] = uyvy[2];
    y[2 * i + 1] = uyvy[3];
  }
  return WritePlanes(error);
}

bool Y4mWriter::WriteGray(const uint8_t* luma, uint32_t width, uint32_t height, int64_t interval, std::string* error) {
  if (!Begin(width, height, interval, error)) return false;
  const size_t pixels = size_t(width_) * height_;
  memcpy(planes_.data(), luma, pixels);
  memset(planes_.data() + pixels, 0x80, pixels);
  return WritePlanes(error);
}

bool Y4mWriter::WritePlanes(std::string* error) {
  ++frames_;
  if (file_.Write("FRAME\n", 6) && file_.Write(planes_.data(), planes_.size())) return true;
  *error = "writing " + file_.path() + " failed";
  return false;
}

namespace {

uint8_t Clamp(int value) { return uint8_t(std::clamp(value, 0, 255)); }

void PixelToRgb(int y, int u, int v, uint8_t* rgb) {
  const int c = 298 * (y - 16) + 128;
  const int d = u - 128;
  const int e = v - 128;
  rgb[0] = Clamp((c + 409 * e) >> 8);
  rgb[1] = Clamp((c - 100 * d - 208 * e) >> 8);
  rgb[2] = Clamp((c + 516 * d) >> 8);
}

}  // namespace

void UyvyToRgb(const uint8_t* uyvy, uint32_t width, uint32_t height, uint8_t* rgb) {
  const uint32_t pairs = width / 2;
  for (uint32_t line = 0; line < height; ++line) {
    const uint8_t* in = uyvy + size_t(line) * width * 2;
    uint8_t* out = rgb + size_t(line) * width * 3;
    for (uint32_t p = 0; p < pairs; ++p, in += 4, out += 6) {
      PixelToRgb(in[1], in[0], in[2], out);
      PixelToRgb(in[3], in[0], in[2], out + 3);
    }
    if (width % 2 != 0) memset(out, 0, 3);
  }
}

bool PngWriter::WriteUyvy(const uint8_t* uyvy, uint32_t width, uint32_t height, std::string* error) {
  if (!file_.IsOpen()) {
    *error = "no PNG file open";
    return false;
  }
  std::vector<uint8_t> rgb(size_t(width) * height * 3);
  UyvyToRgb(uyvy, width, height, rgb.data());
  png_image image;
  memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  image.width = width;
  image.height = height;
  image.format = PNG_FORMAT_RGB;
  if (!png_image_write_to_stdio(&image, file_.file(), 0, rgb.data(), 0, nullptr)) {
    *error = "cannot write " + file_.path() + ": " + image.message;
    png_image_free(&image);
    return false;
  }
  return file_.Close(error);
}

bool WritePng(const std::string& path, const uint8_t* uyvy, uint32_t width, uint32_t height, std::string* error) {
  PngWriter writer;
  return writer.Open(path, error) && writer.WriteUyvy(uyvy, width, height, error);
}

}  // namespace ovra
