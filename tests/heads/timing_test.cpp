// Timing programs, checked on the emulated heads' register files: the Alder
// computation and its guards, the Birch readout modes, the Cedar line
// frequency, the OV7740 table and the Generic head's registry sequences.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "head_bench.h"

namespace headtest {
namespace {

using host::sched::kMillisecond;
using host::sched::Now;

// ---------------------------------------------------------------------------
// Alder

struct AlderCase {
  const char* name;
  uint32_t vidPid;
  UCHAR alternateSetting;
  int32_t width;
  int32_t height;
  int64_t period;
  ULONG shutter;
  uint16_t readMode2Before;
  std::string settings;  // the trace line after "Settings "
  // Registers 1, 2, 3, 4, 5, 6, 9, 0x1E, 0x20 after the program.
  std::vector<uint16_t> registers;
  LONG clock;
};

class AlderTiming : public ::testing::TestWithParam<AlderCase> {};

TEST_P(AlderTiming, ProgramsClockWindowBlankingAndExposure) {
  const AlderCase& c = GetParam();
  HeadBench bench(1);
  bench.device().VidPid = c.vidPid;
  bench.hw->m_AlternateSetting = c.alternateSetting;
  bench.head.registers->Set(0x20, c.readMode2Before);
  bench.SetFormat(c.width, c.height, c.period);
  bench.Clear();
  bench.head.registers->ClearWrites();

  bench.hw->SetupTiming(c.shutter);

  EXPECT_TRUE(Logged("CUSBHardwareAlder::SetupTiming Settings " + c.settings + "\n", 2))
      << c.name << "\n" << host::dbg::Tail(14);
  const std::vector<uint16_t> order = {0x0D, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x09, 0x1E, 0x20};
  std::vector<uint16_t> written;
  for (const emu::RegisterWrite& w : bench.head.registers->Writes()) written.push_back(w.reg);
  EXPECT_EQ(written, order) << c.name;
  std::vector<uint16_t> values;
  for (uint16_t reg : {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x09, 0x1E, 0x20}) {
    values.push_back(bench.head.registers->Get(reg));
  }
  EXPECT_EQ(values, c.registers) << c.name;
  EXPECT_EQ(bench.head.registers->Get(0x0D), 0) << c.name;
  EXPECT_EQ(static_cast<CUSBHardwareAlder*>(bench.hw)->clockMHz, c.clock) << c.name;
}

constexpr uint32_t kAlder = 0x2E4C0061;
constexpr uint32_t kAlderBoard = 0x2E4C0060;

INSTANTIATE_TEST_SUITE_P(
    Examples, AlderTiming,
    ::testing::Values(
        AlderCase{"sxga15", kAlder, 0, 1280, 1024, 666666, 1600000, 0x0000, "1284x1024@15, 24MHz, 15, 25; 1524, 525",
                  {12, 16, 1023, 1287, 15, 25, 524, 0x8000, 0x1304}, 24},
        AlderCase{"sxga30", kAlder, 0, 1280, 1024, 333333, 1600000, 0x0000,
                  "1284x1024@30, 48MHz, 15, 25; 1524, 1050", {12, 16, 1023, 1287, 15, 25, 1049, 0x8000, 0x1304}, 48},
        AlderCase{"xga30", kAlder, 0, 1024, 768, 333333, 1600000, 0x0000, "1028x768@30, 48MHz, 271, 25; 1524, 1050",
                  {140, 144, 767, 1031, 271, 25, 1049, 0x8000, 0x1304}, 48},
        AlderCase{"svga30", kAlder, 0, 800, 600, 333333, 1600000, 0x0000, "804x600@30, 48MHz, 495, 25; 1524, 1050",
                  {252, 228, 599, 807, 495, 25, 1049, 0x8000, 0x1304}, 48},
        // Only bits 14 and 15 of the read-mode register survive; 640 adds 0x18.
        AlderCase{"vga30", kAlder, 0, 640, 480, 333333, 1600000, 0xFFFF, "1288x960@30, 48MHz, 655, 25; 1524, 1050",
                  {8, 12, 959, 1291, 655, 25, 1049, 0x8000, 0xD31C}, 48},
        AlderCase{"qvga5", kAlder, 0, 320, 240, 2000000, 1600000, 0x4000, "1292x960@5, 24MHz, 1347, 2284; 1898, 421",
                  {4, 8, 959, 1295, 1347, 2284, 420, 0x800C, 0x5304}, 24},
        AlderCase{"boardLimitedTo24", kAlderBoard, 1, 640, 480, 333333, 1600000, 0x0000,
                  "1288x960@24, 24MHz, 379, 319; 1250, 640", {8, 12, 959, 1291, 379, 319, 639, 0x8000, 0x131C}, 24},
        AlderCase{"boardAtSetting0", kAlderBoard, 0, 640, 480, 333333, 1600000, 0x0000,
                  "1288x960@30, 48MHz, 655, 25; 1524, 1050", {8, 12, 959, 1291, 655, 25, 1049, 0x8000, 0x131C}, 48},
        AlderCase{"boardLimitedTo18", kAlderBoard, 2, 1280, 1024, 333333, 1600000, 0x0000,
                  "1284x1024@18, 48MHz, 1031, 25; 2540, 630", {12, 16, 1023, 1287, 1031, 25, 629, 0x8000, 0x1304}, 48},
        // The clock boundary: rate 15 stays at 24 MHz, rate 16 needs 48 MHz.
        AlderCase{"sxga16", kAlder, 0, 1280, 1024, 625625, 1600000, 0x0000,
                  "1284x1024@16, 48MHz, 1348, 25; 2857, 560", {12, 16, 1023, 1287, 1348, 25, 559, 0x8000, 0x1304}, 48},
        AlderCase{"noFramePeriodRuns24", kAlder, 0, 640, 480, 0, 1600000, 0x0000,
                  "1288x960@24, 24MHz, 379, 319; 1250, 640", {8, 12, 959, 1291, 379, 319, 639, 0x8000, 0x131C}, 24},
        AlderCase{"shortExposure", kAlder, 0, 800, 600, 333333, 1000000, 0x0000,
                  "804x600@30, 48MHz, 495, 449; 1524, 656", {252, 228, 599, 807, 495, 449, 655, 0x8000, 0x1304}, 48},
        AlderCase{"longExposureKeepsShortBlank", kAlder, 0, 800, 600, 333333, 50000000, 0x0000,
                  "804x600@30, 48MHz, 495, 25; 1524, 32829", {252, 228, 599, 807, 495, 25, 32828, 0x8000, 0x1304},
                  48},
        AlderCase{"otherWidth", kAlder, 0, 1280, 960, 333333, 1000000, 0x0000,
                  "1284x960@30, 48MHz, 15, 89; 1524, 656", {12, 16, 959, 1287, 15, 89, 655, 0x8000, 0x1304}, 48}),
    [](const ::testing::TestParamInfo<AlderCase>& info) { return std::string(info.param.name); });

// Frame periods and rates the computation cannot take as they come: periods
// that divide to rate 0 or cannot be divided, and rates faster than the line.
INSTANTIATE_TEST_SUITE_P(
    Guards, AlderTiming,
    ::testing::Values(
        // 96 frames per second at 320 wide asks for a line shorter than the
        // window: no blanking and the shortest line, instead of looping.
        AlderCase{"fasterThanTheLine", kAlder, 0, 320, 240, 104166, 1600000, 0x0000,
                  "1292x960@96, 48MHz, 0, 25; 549, 2919", {4, 8, 959, 1295, 0, 25, 2918, 0x800C, 0x1304}, 48},
        AlderCase{"tinyPeriod", kAlder, 0, 1280, 1024, 1, 1600000, 0x0000,
                  "1284x1024@10010000, 48MHz, 0, 25; 1509, 1061", {12, 16, 1023, 1287, 0, 25, 1060, 0x8000, 0x1304},
                  48},
        // Periods above 1.001 s run at one frame per second.
        AlderCase{"twoSeconds", kAlder, 0, 640, 480, 20000000, 1600000, 0x0000,
                  "1288x960@1, 24MHz, 1383, 10156; 2252, 355", {8, 12, 959, 1291, 1383, 10156, 354, 0x8000, 0x131C},
                  24},
        AlderCase{"lowHalfZero", kAlder, 0, 640, 480, int64_t(1) << 32, 1600000, 0x0000,
                  "1288x960@1, 24MHz, 1383, 10156; 2252, 355", {8, 12, 959, 1291, 1383, 10156, 354, 0x8000, 0x131C},
                  24},
        AlderCase{"negativePeriod", kAlder, 0, 640, 480, -5, 1600000, 0x0000,
                  "1288x960@24, 24MHz, 379, 319; 1250, 640", {8, 12, 959, 1291, 379, 319, 639, 0x8000, 0x131C}, 24},
        // An exposure longer than register 9 can count is held at its largest.
        AlderCase{"hugeShutter", kAlder, 0, 800, 600, 333333, 0xFFFFFFFF, 0x0000,
                  "804x600@30, 48MHz, 495, 25; 1524, 65536", {252, 228, 599, 807, 495, 25, 0xFFFF, 0x8000, 0x1304},
                  48}),
    [](const ::testing::TestParamInfo<AlderCase>& info) { return std::string(info.param.name); });

TEST(AlderTimingSkipped, NothingIsWrittenWithoutResourcesOrWithoutASize) {
  struct Row {
    const char* name;
    int32_t width;
    int32_t height;
    bool resources;
  };
  const std::vector<Row> rows = {
      {"no resources", 640, 480, false}, {"no width", 0, 480, true}, {"no height", 640, 0, true},
      {"negative width", -640, 480, true}, {"width beyond 16 bits", 70000, 480, true},
  };
  for (const Row& row : rows) {
    HeadBench bench(1);
    bench.SetFormat(row.width, row.height);
    if (!row.resources) bench.hw->m_ResourcesAcquired = FALSE;
    bench.Clear();
    bench.hw->SetupTiming(1600000);
    EXPECT_TRUE(bench.I2c().empty()) << row.name;
    EXPECT_EQ(static_cast<CUSBHardwareAlder*>(bench.hw)->clockMHz, 0) << row.name;
    if (!row.resources) bench.hw->m_ResourcesAcquired = TRUE;  // so teardown releases them
  }
}

// ---------------------------------------------------------------------------
// Birch

struct BirchCase {
  const char* name;
  uint32_t vidPid;
  int32_t width;
  int32_t height;
  uint16_t control;  // register 1 before
  std::vector<std::pair<uint16_t, uint16_t>> writes;  // to the default device, in order
};

class BirchTiming : public ::testing::TestWithParam<BirchCase> {};

TEST_P(BirchTiming, SwitchesTheReadoutMode) {
  const BirchCase& c = GetParam();
  HeadBench bench(ProfileOf(2));
  bench.device().VidPid = c.vidPid;
  bench.device().Register12[5] = 0x00C5;
  bench.head.registers->Set(0x7A, 0, 0xC123);  // the mode bits are replaced
  bench.head.registers->Set(0x7A, 1, c.control);
  if (c.width != 0) bench.SetFormat(c.width, c.height);
  bench.head.registers->ClearWrites();
  const int64_t start = Now();

  bench.hw->SetupTiming(1600000);

  std::vector<std::pair<uint16_t, uint16_t>> writes;
  for (const emu::RegisterWrite& w : bench.head.registers->Writes()) {
    EXPECT_EQ(w.device, 0x7A) << c.name;
    writes.push_back({w.reg, w.value});
  }
  EXPECT_EQ(writes, c.writes) << c.name;
  // 500 ms before the first access, and 33 ms after each step.
  bool freeWindow = false;
  for (const auto& w : c.writes) freeWindow = freeWindow || w.first == 15;
  const int64_t waits = (500 + 33 * 3 + (freeWindow ? 33 * 3 : 0)) * kMillisecond;
  EXPECT_GE(Now() - start, waits) << c.name;
  EXPECT_LT(Now() - start, waits + 10 * kMillisecond) << c.name;
}

constexpr uint32_t kBirch = 0x2E4C0064;
constexpr uint32_t kBirch2MP = 0x2E4C0067;

INSTANTIATE_TEST_SUITE_P(
    Modes, BirchTiming,
    ::testing::Values(
        BirchCase{"sxga", kBirch, 1280, 1024, 0x0000, {{12, 0x0000}, {0, 0x0123}}},
        BirchCase{"svga", kBirch, 800, 600, 0x0000, {{12, 0x8080}, {0, 0x8123}}},
        BirchCase{"vga", kBirch, 640, 480, 0x0000, {{12, 0x8080}, {0, 0x4123}}},
        BirchCase{"xgaFreeWindow", kBirch, 1024, 768, 0x0000,
                  {{12, 0x0000}, {15, 1025}, {16, 768}, {17, 0x5619}, {0, 0xC123}}},
        BirchCase{"qvgaFreeWindow", kBirch, 320, 240, 0x0000,
                  {{12, 0x8080}, {15, 321}, {16, 240}, {17, 0x301E}, {0, 0xC123}}},
        // Bit 3 of register 1 is cleared around the switch and restored.
        BirchCase{"controlBitRestored", kBirch, 640, 480, 0x0C08,
                  {{1, 0x0C00}, {12, 0x8080}, {0, 0x4123}, {1, 0x0C08}}},
        BirchCase{"uxga", kBirch2MP, 1600, 1200, 0x0000, {{12, 0x00C5}, {0, 0x0123}}},
        BirchCase{"2mpSxga", kBirch2MP, 1280, 1024, 0x0000, {{12, 0x0000}, {0, 0x4123}}},
        BirchCase{"2mp720", kBirch2MP, 1280, 720, 0x0000, {{12, 0x0000}, {0, 0x8123}}},
        BirchCase{"2mpSvga", kBirch2MP, 800, 600, 0x0000, {{12, 0x8080}, {0, 0xC123}}},
        BirchCase{"2mpVgaHasNoMode", kBirch2MP, 640, 480, 0x0008, {{1, 0x0000}, {12, 0x8080}, {1, 0x0008}}},
        // Widths outside the six bands have no register-12 entry: none is written.
        BirchCase{"noFormat", kBirch, 0, 0, 0x0000, {{15, 1}, {16, 0}, {17, 0x301E}, {0, 0xC123}}},
        BirchCase{"beyondTheBands", kBirch, 1920, 1080, 0x0000,
                  {{15, 1921}, {16, 1080}, {17, 0x301E}, {0, 0xC123}}},
        BirchCase{"narrow", kBirch, 160, 120, 0x0000, {{15, 161}, {16, 120}, {17, 0x301E}, {0, 0xC123}}}),
    [](const ::testing::TestParamInfo<BirchCase>& info) { return std::string(info.param.name); });

TEST(BirchTimingSkipped, NothingHappensWithoutResources) {
  HeadBench bench(2);
  bench.SetFormat(640, 480);
  bench.hw->m_ResourcesAcquired = FALSE;
  bench.Clear();
  const int64_t start = Now();
  bench.hw->SetupTiming(1600000);
  EXPECT_TRUE(bench.I2c().empty());
  EXPECT_LT(Now() - start, kMillisecond);
  bench.hw->m_ResourcesAcquired = TRUE;
}

TEST(BirchTiming, RegisterTwelveWrittenByAnApplicationComesBackWithTheMode) {
  HeadBench bench(2);
  bench.SetFormat(800, 600);
  bench.hw->SetI2CData(0, 12, 0x1111);
  bench.SetFormat(1280, 1024);
  bench.hw->SetI2CData(0, 12, 0x2222);
  bench.SetFormat(800, 600);
  bench.hw->SetupTiming(1600000);
  EXPECT_EQ(bench.head.registers->Get(0x7A, 12), 0x1111);
  bench.SetFormat(1280, 1024);
  bench.hw->SetupTiming(1600000);
  EXPECT_EQ(bench.head.registers->Get(0x7A, 12), 0x2222);
}

// ---------------------------------------------------------------------------
// Cedar and OV7740

TEST(CedarTiming, LineFrequencyRegister) {
  const std::vector<std::pair<ULONG, uint16_t>> rows = {{50, 1}, {60, 0}, {0, 0}};
  for (const auto& [frequency, value] : rows) {
    HeadBench bench(3);
    bench.head.registers->Set(0x71, 0x55);
    bench.device().LineFrequency = frequency;
    bench.hw->SetupTiming(0);
    EXPECT_EQ(bench.head.registers->Writes(), (std::vector<emu::RegisterWrite>{{0x68, 0x71, value}})) << frequency;
  }
}

struct Ov7740Case {
  int32_t width;
  int32_t height;
  std::vector<uint16_t> sized;  // registers 0x16..0x1A and 0x29..0x2C
};

TEST(Ov7740Timing, PlaysTheTableWithTheSizeDependentValues) {
  const std::vector<std::pair<uint16_t, uint16_t>> fixed = {
      {0x12, 0x80}, {0x55, 0x42}, {0x11, 0x01}, {0x12, 0x20}, {0x36, 0x3F}, {0x1B, 0x85}, {0x31, 0x70},
      {0x33, 0xC4}, {0x04, 0x20}, {0x47, 0x42}, {0x88, 0x05}, {0x86, 0x03}, {0x87, 0x01}, {0xCE, 0x78},
      {0xCF, 0x6E}, {0xD0, 0x0A}, {0xD1, 0x0C}, {0xD2, 0x84}, {0xD3, 0x90}, {0xD4, 0x1E}};
  const std::vector<uint16_t> sizedRegisters = {0x16, 0x17, 0x18, 0x19, 0x1A, 0x29, 0x2A, 0x2B, 0x2C};
  const std::vector<Ov7740Case> cases = {
      {640, 480, {0x00, 0x2A, 0xA0, 0x05, 0xF0, 0x18, 0x03, 0xF8, 0x01}},
      {176, 144, {0x00, 0x2A, 0x2C, 0x05, 0x48, 0x82, 0x01, 0xB0, 0x00}},
      {352, 288, {0x00, 0x2A, 0x58, 0x05, 0x90, 0x18, 0x03, 0xFC, 0x00}},
      {321, 241, {0x28, 0x2A, 0x50, 0x05, 0x78, 0xE7, 0x03, 0x2B, 0x02}},
  };
  for (const Ov7740Case& c : cases) {
    HeadBench bench(7);
    bench.SetFormat(c.width, c.height);
    bench.head.registers->ClearWrites();
    bench.hw->SetupTiming(0);
    std::vector<emu::RegisterWrite> expected;
    for (const auto& [reg, value] : fixed) expected.push_back({0x42, reg, value});
    for (size_t i = 0; i < sizedRegisters.size(); ++i) expected.push_back({0x42, sizedRegisters[i], c.sized[i]});
    EXPECT_EQ(bench.head.registers->Writes(), expected) << c.width << "x" << c.height;
  }
}

// ---------------------------------------------------------------------------
// Generic

class GenericTiming : public ::testing::Test {
 protected:
  void SetUp() override {
    bench_ = std::make_unique<HeadBench>(ProfileOf(8));
    GenericHeadConfig& config = bench_->device().GenericConfig;
    config.Resolutions = resolutions_;
    records_ = {
        {0, 0, nullptr, 0},  {0, 2, nullptr, 0},  // 640x480: 0, then a gap before 2
        {1, 1, nullptr, 0},  {1, 0, nullptr, 0},  {1, 2, nullptr, 0}, {1, 3, nullptr, 0},
        {1, 0, nullptr, 0},  // a second sequence 0 of 320x240: the first in record order wins
    };
    sequences_ = {{0xB0, 0x01, 0x02}, {0xB0, 0x09, 0x09}, {0x55}, {0xB0, 0x10, 0x20, 0x30}, {}, {0xB0, 0x11, 0x22},
                  {0xB0, 0xEE}};
    for (size_t i = 0; i < records_.size(); ++i) {
      records_[i].Bytes = sequences_[i].empty() ? nullptr : sequences_[i].data();
      records_[i].Count = LONG(sequences_[i].size());
    }
    config.Sequences = records_.data();
    config.SequenceCount = LONG(records_.size());
  }
  void TearDown() override {
    GenericHeadConfig& config = bench_->device().GenericConfig;
    config.Resolutions = nullptr;
    config.Sequences = nullptr;
    config.SequenceCount = 0;
    bench_.reset();
  }

  std::unique_ptr<HeadBench> bench_;
  LONG resolutions_[5] = {2, 640, 480, 320, 240};
  std::vector<I2cSequenceRecord> records_;
  std::vector<std::vector<uint8_t>> sequences_;
};

TEST_F(GenericTiming, SendsTheSequencesOfTheSizeInOrderUntilAGap) {
  struct Row {
    int32_t width;
    int32_t height;
    Bytes bytes;
  };
  const std::vector<Row> rows = {
      {640, 480, Msg({0xB0, 0x01, 0x02})},
      // A one-byte sequence is [S b P]; an empty one sends nothing and the
      // program goes on with the next number.
      {320, 240, Cat({Msg({0xB0, 0x10, 0x20, 0x30}), Msg({0x55}), Msg({0xB0, 0x11, 0x22})})},
  };
  for (const Row& row : rows) {
    bench_->SetFormat(row.width, row.height);
    bench_->Clear();
    bench_->hw->SetupTiming(0);
    EXPECT_EQ(bench_->I2c(), row.bytes) << row.width << "x" << row.height;
  }
}

TEST_F(GenericTiming, AnUnlistedSizeIsReportedAndSendsNothing) {
  const std::vector<std::pair<int32_t, int32_t>> sizes = {{800, 600}, {640, 240}, {0, 0}};
  for (const auto& [width, height] : sizes) {
    bench_->SetFormat(width, height);
    bench_->Clear();
    bench_->hw->SetupTiming(0);
    EXPECT_TRUE(bench_->I2c().empty());
    EXPECT_TRUE(Logged("CUSBHardwareGeneric::SetupTiming could not find " + std::to_string(width) + "x" +
                           std::to_string(height) + "\n",
                       0));
  }
  // Without a resolution list from the registry every size is unlisted.
  bench_->device().GenericConfig.Resolutions = nullptr;
  bench_->SetFormat(640, 480);
  bench_->Clear();
  bench_->hw->SetupTiming(0);
  EXPECT_TRUE(bench_->I2c().empty());
  EXPECT_TRUE(Logged("CUSBHardwareGeneric::SetupTiming could not find 640x480\n", 0));
}

}  // namespace
}  // namespace headtest
