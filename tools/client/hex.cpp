#include "hex.h"

#include <cstdio>
#include <fstream>
#include <sstream>

namespace ovra {
namespace {

int Digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string Hex(uint32_t value, int digits) {
  char text[16];
  snprintf(text, sizeof text, "0x%0*X", digits, value);
  return text;
}

}  // namespace

bool ParseIntelHex(std::string_view text, std::vector<uint8_t>* image, std::string* error) {
  std::vector<uint8_t> bytes(kFirmwareSpace, 0);
  std::vector<bool> placed(kFirmwareSpace, false);
  uint32_t end = 0;  // one past the highest byte placed
  uint32_t base = 0;
  bool ended = false;
  size_t lineNumber = 0;
  auto fail = [&](const std::string& reason) {
    *error = "line " + std::to_string(lineNumber) + ": " + reason;
    return false;
  };

  while (!text.empty()) {
    const size_t newline = text.find('\n');
    std::string_view line = text.substr(0, newline);
    text = newline == std::string_view::npos ? std::string_view() : text.substr(newline + 1);
    ++lineNumber;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
    if (line.empty()) continue;
    if (ended) return fail("data after the end-of-file record");
    if (line[0] != ':') return fail("a record starts with ':'");
    line.remove_prefix(1);
    if (line.size() % 2 != 0 || line.size() < 10) return fail("record too short or odd number of digits");
    std::vector<uint8_t> record;
    for (size_t i = 0; i < line.size(); i += 2) {
      const int high = Digit(line[i]);
      const int low = Digit(line[i + 1]);
      if (high < 0 || low < 0) return fail("not a hexadecimal digit");
      record.push_back(uint8_t(high << 4 | low));
    }
    const uint32_t count = record[0];
    if (record.size() != count + 5) return fail("length field says " + std::to_string(count) + " data bytes");
    uint8_t sum = 0;
    for (uint8_t b : record) sum = uint8_t(sum + b);
    if (sum != 0) return fail("checksum mismatch");
    const uint32_t offset = uint32_t(record[1]) << 8 | record[2];
    const uint8_t type = record[3];
    const uint8_t* data = record.data() + 4;
    switch (type) {
      case 0x00: {
        const uint32_t start = base + offset;
        if (start + count > kFirmwareSpace)
          return fail("data at " + Hex(start, 4) + " (" + std::to_string(count) + " bytes) lies past 64 KiB");
        for (uint32_t i = 0; i < count; ++i) {
          if (placed[start + i]) return fail("data at " + Hex(start + i, 4) + " overlaps an earlier record");
          placed[start + i] = true;
          bytes[start + i] = data[i];
        }
        if (count != 0 && start + count > end) end = start + count;
        break;
      }
      case 0x01:
        ended = true;
        break;
      case 0x02:
      case 0x04:
        if (count != 2) return fail("address record with " + std::to_string(count) + " data bytes");
        base = (uint32_t(data[0]) << 8 | data[1]) << (type == 0x02 ? 4 : 16);
        break;
      case 0x03:
      case 0x05:
        break;
      default:
        return fail("record type " + Hex(type, 2) + " is not supported");
    }
  }
  if (!ended) {
    *error = "no end-of-file record";
    return false;
  }
  bytes.resize(end);
  *image = std::move(bytes);
  return true;
}

bool LoadIntelHex(const std::string& path, std::vector<uint8_t>* image, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read " + path;
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (!ParseIntelHex(text.str(), image, error)) {
    *error = path + ": " + *error;
    return false;
  }
  return true;
}

}  // namespace ovra
