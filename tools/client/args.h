// Command-line parsing shared by the tools: options in the order given
// ("--name value" or "--name=value") and the number formats they take.
// Every problem is a UsageError with a one-line message.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace ovra {

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class ArgReader {
 public:
  ArgReader(int argc, char** argv) : args_(argv + 1, argv + argc) {}
  explicit ArgReader(std::vector<std::string> args) : args_(std::move(args)) {}

  bool Done() const { return next_ >= args_.size(); }
  // The next option's name ("--out"); a word that is not an option is an error.
  std::string Next();
  // The current option's value: after '=' or the following word.
  std::string Value();
  // Refuses a value given with '=' to an option that takes none.
  void NoValue();

 private:
  std::vector<std::string> args_;
  size_t next_ = 0;
  std::string option_;
  std::string inline_;
  bool hasInline_ = false;
};

// Decimal, or hexadecimal after "0x"; at most `max`.
uint64_t ParseNumber(std::string_view text, std::string_view what, uint64_t max = UINT64_MAX);
// A number that may have a fraction ("29.97").
double ParseDecimal(std::string_view text, std::string_view what);
// "640x480".
void ParseSize(std::string_view text, uint32_t* width, uint32_t* height);
// "VVVV:PPPP" in hexadecimal, to VID << 16 | PID.
uint32_t ParseVidPid(std::string_view text);
// A duration in 100-ns units: "3", "3s", "2.5s", "500ms", "250us".
int64_t ParseDuration(std::string_view text);
// "key=value" split at the first '='.
void SplitAssignment(std::string_view text, std::string* key, std::string* value);
std::string FormatVidPid(uint32_t vidPid);

}  // namespace ovra
