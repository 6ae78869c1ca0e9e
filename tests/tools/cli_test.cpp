// The tools as a person runs them: bad command lines get one line on
// standard error and a non-zero exit, and an output that cannot be written
// is reported before any capture starts.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>

namespace {

struct Result {
  int exit = -1;
  std::string out;
  std::string err;
};

Result RunTool(const std::string& program, const std::string& arguments) {
  // Per process: other runs of this suite may be writing theirs at the same time.
  const std::string errPath = testing::TempDir() + "ovra_cli_stderr_" + std::to_string(getpid()) + ".txt";
  const std::string command = program + " " + arguments + " 2>" + errPath;
  Result r;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return r;
  std::array<char, 4096> chunk;
  for (size_t n; (n = fread(chunk.data(), 1, chunk.size(), pipe)) > 0;) r.out.append(chunk.data(), n);
  const int status = pclose(pipe);
  r.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (FILE* f = fopen(errPath.c_str(), "r")) {
    for (size_t n; (n = fread(chunk.data(), 1, chunk.size(), f)) > 0;) r.err.append(chunk.data(), n);
    fclose(f);
  }
  remove(errPath.c_str());
  return r;
}

TEST(Cli, BadCommandLinesGetOneLineAndAFailingExit) {
  const struct {
    const char* program;
    const char* arguments;
    int exit;
    const char* message;
  } cases[] = {
      {OVRACAP_PATH, "--bogus", 2, "ovracap: unknown option --bogus"},
      {OVRACAP_PATH, "--frames", 2, "ovracap: --frames needs a value"},
      {OVRACAP_PATH, "--frames 0", 2, "frame count must be at least 1"},
      {OVRACAP_PATH, "--frames 12x", 2, "bad frame count '12x'"},
      {OVRACAP_PATH, "--camera 2E4C", 2, "unknown camera '2E4C'"},
      {OVRACAP_PATH, "--camera 2E4C:", 2, "bad camera '2E4C:'"},
      {OVRACAP_PATH, "--camera 1234:5678", 2, "no camera model 1234:5678"},
      {OVRACAP_PATH, "--size 1000x1000", 2, "does not offer 1000x1000"},
      {OVRACAP_PATH, "--size 640by480", 2, "bad size '640by480'"},
      {OVRACAP_PATH, "--fps 0", 2, "frame rate must be between"},
      {OVRACAP_PATH, "--fps 30 --interval 333333", 2, "exclude each other"},
      {OVRACAP_PATH, "--frames 3 --duration 1s", 2, "exclude each other"},
      {OVRACAP_PATH, "--duration 3days", 2, "bad duration"},
      {OVRACAP_PATH, "--interleave 3", 2, "interleave mode 3 is above 2"},
      {OVRACAP_PATH, "--raw", 2, "--raw needs --out"},
      {OVRACAP_PATH, "--list=yes", 2, "--list takes no value"},
      {OVRACAP_PATH, "--out /nonexistent-dir/a.y4m", 1, "cannot write /nonexistent-dir/a.y4m"},
      {OVRACAP_PATH, "--png /nonexistent-dir/a.png", 1, "cannot write /nonexistent-dir/a.png"},
      {OVRACTL_PATH, "", 2, "nothing to do"},
      {OVRACTL_PATH, "--get nosuch", 2, "unknown property 'nosuch'"},
      {OVRACTL_PATH, "--get osd", 2, "property 'osd' cannot be read"},
      {OVRACTL_PATH, "--set product-id=1", 2, "property 'product-id' cannot be set"},
      {OVRACTL_PATH, "--set exposure", 2, "bad assignment 'exposure'"},
      {OVRACTL_PATH, "--set exposure=fast", 2, "bad exposure 'fast'"},
      {OVRACTL_PATH, "--i2c-read 0x100:4", 2, "I2C device 0x100 is above 255"},
      {OVRACTL_PATH, "--i2c-write 0:4=0x10000", 2, "register value 0x10000 is above 65535"},
      {OVRACTL_PATH, "--eeprom-dump 0xFF00:0x200=x.bin", 2, "is outside 64 KiB"},
      {OVRACTL_PATH, "--power maybe", 2, "bad power state 'maybe'"},
      {OVRACTL_PATH, "--get exposure --camera 2E4C:0061", 2, "--camera must come before the actions"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.program) + " " + c.arguments);
    const Result r = RunTool(c.program, c.arguments);
    EXPECT_EQ(r.exit, c.exit);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.out, "") << "nothing on standard output";
  }
}

TEST(Cli, ListNamesTheDefaultCameraAndItsSizes) {
  const Result list = RunTool(OVRACAP_PATH, "--list");
  ASSERT_EQ(list.exit, 0) << list.err;
  EXPECT_NE(list.out.find("2E4C:0060  alder-0060    alder     1280x1024 1280x960 1024x768 800x600 640x512 640x480 320x240"),
            std::string::npos)
      << list.out;
  const Result help = RunTool(OVRACAP_PATH, "--help");
  EXPECT_EQ(help.exit, 0);
  EXPECT_NE(help.out.find("default: 2E4C:0060"), std::string::npos) << help.out;
}

}  // namespace
