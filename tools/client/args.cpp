#include "args.h"

#include <cmath>
#include <cstdio>

namespace ovra {

std::string ArgReader::Next() {
  const std::string& word = args_[next_++];
  if (word.size() < 3 || word.compare(0, 2, "--") != 0) {
    if (word == "-h") return option_ = "--help";
    throw UsageError("unexpected argument '" + word + "'");
  }
  const size_t equals = word.find('=');
  hasInline_ = equals != std::string::npos;
  option_ = word.substr(0, equals);
  inline_ = hasInline_ ? word.substr(equals + 1) : std::string();
  return option_;
}

std::string ArgReader::Value() {
  if (hasInline_) {
    hasInline_ = false;
    return inline_;
  }
  if (Done()) throw UsageError(option_ + " needs a value");
  return args_[next_++];
}

void ArgReader::NoValue() {
  if (hasInline_) throw UsageError(option_ + " takes no value");
}

uint64_t ParseNumber(std::string_view text, std::string_view what, uint64_t max) {
  const auto bad = [&] { return UsageError("bad " + std::string(what) + " '" + std::string(text) + "'"); };
  int base = 10;
  std::string_view digits = text;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    base = 16;
    digits.remove_prefix(2);
  }
  if (digits.empty()) throw bad();
  uint64_t value = 0;
  for (char c : digits) {
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else throw bad();
    if (value > (UINT64_MAX - d) / base) throw bad();
    value = value * base + d;
  }
  if (value > max) throw UsageError(std::string(what) + " " + std::string(text) + " is above " + std::to_string(max));
  return value;
}

double ParseDecimal(std::string_view text, std::string_view what) {
  const std::string s(text);
  char* end = nullptr;
  const double value = strtod(s.c_str(), &end);
  if (s.empty() || *end != '\0' || !std::isfinite(value) || value < 0 || s[0] == '-' || s[0] == '+' ||
      s.find_first_of("xXeEnN") != std::string::npos)
    throw UsageError("bad " + std::string(what) + " '" + s + "'");
  return value;
}

void ParseSize(std::string_view text, uint32_t* width, uint32_t* height) {
  const size_t x = text.find('x');
  if (x == std::string_view::npos) throw UsageError("bad size '" + std::string(text) + "' (want WIDTHxHEIGHT)");
  *width = uint32_t(ParseNumber(text.substr(0, x), "width", 65535));
  *height = uint32_t(ParseNumber(text.substr(x + 1), "height", 65535));
  if (*width == 0 || *height == 0) throw UsageError("bad size '" + std::string(text) + "'");
}

uint32_t ParseVidPid(std::string_view text) {
  const size_t colon = text.find(':');
  const auto part = [&](std::string_view p) {
    if (p.empty() || p.size() > 4 || p.find_first_not_of("0123456789abcdefABCDEF") != std::string_view::npos)
      throw UsageError("bad camera '" + std::string(text) + "' (want VID:PID in hexadecimal)");
    return uint32_t(ParseNumber("0x" + std::string(p), "camera"));
  };
  if (colon == std::string_view::npos) part("");
  return part(text.substr(0, colon)) << 16 | part(text.substr(colon + 1));
}

int64_t ParseDuration(std::string_view text) {
  double scale = 1e7;
  std::string_view number = text;
  const auto strip = [&](std::string_view suffix, double s) {
    if (number.size() > suffix.size() && number.substr(number.size() - suffix.size()) == suffix) {
      number.remove_suffix(suffix.size());
      scale = s;
      return true;
    }
    return false;
  };
  strip("ms", 1e4) || strip("us", 10) || strip("s", 1e7);
  const double value = ParseDecimal(number, "duration") * scale;
  if (value > 1e15) throw UsageError("duration '" + std::string(text) + "' is too long");
  return int64_t(std::llround(value));
}

void SplitAssignment(std::string_view text, std::string* key, std::string* value) {
  const size_t equals = text.find('=');
  if (equals == std::string_view::npos || equals == 0)
    throw UsageError("bad assignment '" + std::string(text) + "' (want NAME=VALUE)");
  *key = std::string(text.substr(0, equals));
  *value = std::string(text.substr(equals + 1));
}

std::string FormatVidPid(uint32_t vidPid) {
  char text[16];
  snprintf(text, sizeof text, "%04X:%04X", vidPid >> 16, vidPid & 0xFFFF);
  return text;
}

}  // namespace ovra
