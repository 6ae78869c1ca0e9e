// Timing programs, checked on the emulated heads' register files.

#include <algorithm>
#include <map>

#include "head_bench.h"

namespace headtest {
namespace {

struct AlderCase {
  const char* name;
  int32_t width;
  int32_t height;
  int64_t period;
  const char* settings;             // the trace line after "Settings "; "": the program does nothing
  std::vector<uint16_t> registers;  // 5, 6, 9 and 0x20
  ULONG shutter = 1600000;
  uint16_t readMode2Before = 0;
  int board = -1;  // -1: the Alder camera; n: the Alder board (0x2E4C0060) at alternate setting n
  bool resources = true;
};
void PrintTo(const AlderCase& c, std::ostream* os) { *os << c.name; }

class AlderTiming : public ::testing::TestWithParam<AlderCase> {};

TEST_P(AlderTiming, ProgramsClockWindowBlankingAndExposure) {
  // Registers 1, 2, 3, 4 and 0x1E of each size.
  const std::map<int32_t, std::vector<uint16_t>> window = {
      {1280, {12, 16, 1023, 1287, 0x8000}}, {1024, {140, 144, 767, 1031, 0x8000}}, {800, {252, 228, 599, 807, 0x8000}},
      {640, {8, 12, 959, 1291, 0x8000}},    {320, {4, 8, 959, 1295, 0x800C}}};
  const AlderCase& c = GetParam();
  HeadBench bench(1);
  bench.device().VidPid = c.board >= 0 ? 0x2E4C0060 : 0x2E4C0061;
  bench.hw->m_AlternateSetting = UCHAR(std::max(c.board, 0));
  bench.hw->m_ResourcesAcquired = c.resources;
  bench.head.registers->Set(0x20, c.readMode2Before);
  bench.SetFormat(c.width, c.height, c.period);
  bench.Clear();
  bench.head.registers->ClearWrites();

  bench.hw->SetupTiming(c.shutter);

  bench.hw->m_ResourcesAcquired = TRUE;  // so teardown releases them
  EXPECT_EQ(bench.I2c().empty(), *c.settings == 0);
  std::vector<emu::RegisterWrite> expected;
  if (*c.settings != 0) {
    const std::string settings = c.settings;
    EXPECT_TRUE(Logged("CUSBHardwareAlder::SetupTiming Settings " + settings + "\n", 2)) << host::dbg::Tail(14);
    const LONG clock = static_cast<CUSBHardwareAlder*>(bench.hw)->clockMHz;  // kept for the capture-mode code
    EXPECT_NE(settings.find(", " + std::to_string(clock) + "MHz"), std::string::npos) << clock;
    const std::vector<uint16_t>& w = window.at(c.width);
    const std::vector<uint16_t>& r = c.registers;
    expected = {{0xBA, 0x0D, 0}, {0xBA, 1, w[0]}, {0xBA, 2, w[1]}, {0xBA, 3, w[2]},    {0xBA, 4, w[3]},
                {0xBA, 5, r[0]},  {0xBA, 6, r[1]}, {0xBA, 9, r[2]}, {0xBA, 0x1E, w[4]}, {0xBA, 0x20, r[3]}};
  }
  EXPECT_EQ(bench.head.registers->Writes(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AlderTiming,
    ::testing::ValuesIn(std::vector<AlderCase>{
        {"sxga15", 1280, 1024, 666666, "1284x1024@15, 24MHz, 15, 25; 1524, 525", {15, 25, 524, 0x1304}},
        {"sxga30", 1280, 1024, 333333, "1284x1024@30, 48MHz, 15, 25; 1524, 1050", {15, 25, 1049, 0x1304}},
        {"xga30", 1024, 768, 333333, "1028x768@30, 48MHz, 271, 25; 1524, 1050", {271, 25, 1049, 0x1304}},
        {"svga30", 800, 600, 333333, "804x600@30, 48MHz, 495, 25; 1524, 1050", {495, 25, 1049, 0x1304}},
        // Only bits 14 and 15 of the read-mode register survive; 640 adds 0x18.
        {"vga30", 640, 480, 333333, "1288x960@30, 48MHz, 655, 25; 1524, 1050", {655, 25, 1049, 0xD31C}, 1600000,
         0xFFFF},
        {"qvga5", 320, 240, 2000000, "1292x960@5, 24MHz, 1347, 2284; 1898, 421", {1347, 2284, 420, 0x5304}, 1600000,
         0x4000},
        // The board runs at most 24 fps (18 for windows wider than 644) unless at alternate setting 0.
        {"board24", 640, 480, 333333, "1288x960@24, 24MHz, 379, 319; 1250, 640", {379, 319, 639, 0x131C}, 1600000, 0,
         1},
        {"board18", 1280, 1024, 333333, "1284x1024@18, 48MHz, 1031, 25; 2540, 630", {1031, 25, 629, 0x1304}, 1600000,
         0, 2},
        {"boardAtSetting0", 640, 480, 333333, "1288x960@30, 48MHz, 655, 25; 1524, 1050", {655, 25, 1049, 0x131C},
         1600000, 0, 0},
        // Rate 15 stays at 24 MHz (sxga15), rate 16 needs 48 MHz.
        {"sxga16", 1280, 1024, 625625, "1284x1024@16, 48MHz, 1348, 25; 2857, 560", {1348, 25, 559, 0x1304}},
        {"noPeriod", 640, 480, 0, "1288x960@24, 24MHz, 379, 319; 1250, 640", {379, 319, 639, 0x131C}},
        {"negativePeriod", 640, 480, -5, "1288x960@24, 24MHz, 379, 319; 1250, 640", {379, 319, 639, 0x131C}},
        {"longExposure", 800, 600, 333333, "804x600@30, 48MHz, 495, 25; 1524, 32829", {495, 25, 32828, 0x1304},
         50000000},
        // A rate faster than the line: no blanking and the shortest line, instead of looping.
        {"fasterThanTheLine", 320, 240, 104166, "1292x960@96, 48MHz, 0, 25; 549, 2919", {0, 25, 2918, 0x1304}},
        // Periods that divide to rate 0, or to nothing in 32 bits, run at 1 fps.
        {"twoSeconds", 640, 480, 20000000, "1288x960@1, 24MHz, 1383, 10156; 2252, 355", {1383, 10156, 354, 0x131C}},
        {"lowHalfZero", 640, 480, 1LL << 32, "1288x960@1, 24MHz, 1383, 10156; 2252, 355", {1383, 10156, 354, 0x131C}},
        // An exposure longer than register 9 can count is held at its largest.
        {"hugeShutter", 800, 600, 333333, "804x600@30, 48MHz, 495, 25; 1524, 65536", {495, 25, 0xFFFF, 0x1304}, ~0u},
        // Nothing without resources or a size the registers can hold.
        {"noResources", 640, 480, 333333, "", {}, 1600000, 0, -1, false},
        {"noWidth", 0, 480, 333333, "", {}},
        {"noHeight", 640, 0, 333333, "", {}},
        {"negativeWidth", -640, 480, 333333, "", {}},
        {"widthBeyond16Bits", 70000, 480, 333333, "", {}}}));

struct BirchCase {
  const char* name;
  uint32_t vidPid;
  int32_t width;
  int32_t height;
  uint16_t control;                                   // register 1 before
  std::vector<std::pair<uint16_t, uint16_t>> writes;  // to the default device, in order
  bool resources = true;
};
void PrintTo(const BirchCase& c, std::ostream* os) { *os << c.name; }

class BirchTiming : public ::testing::TestWithParam<BirchCase> {};

TEST_P(BirchTiming, SwitchesTheReadoutMode) {
  const BirchCase& c = GetParam();
  HeadBench bench(2);
  bench.device().VidPid = c.vidPid;
  bench.device().Register12[5] = 0x00C5;
  bench.head.registers->Set(0x7A, 0, 0xC123);  // the mode bits are replaced
  bench.head.registers->Set(0x7A, 1, c.control);
  bench.SetFormat(c.width, c.height);
  bench.hw->m_ResourcesAcquired = c.resources;
  bench.head.registers->ClearWrites();
  const int64_t start = Now();

  bench.hw->SetupTiming(1600000);

  bench.hw->m_ResourcesAcquired = TRUE;
  std::vector<emu::RegisterWrite> expected;
  for (const auto& [reg, value] : c.writes) expected.push_back({0x7A, reg, value});
  EXPECT_EQ(bench.head.registers->Writes(), expected);
  // 500 ms before the first access, and 33 ms after each step (three more for a free window).
  const bool freeWindow = std::any_of(c.writes.begin(), c.writes.end(), [](const auto& w) { return w.first == 15; });
  const int64_t waits = (c.resources ? 500 + 33 * (freeWindow ? 6 : 3) : 0) * kMillisecond;
  EXPECT_GE(Now() - start, waits);
  EXPECT_LT(Now() - start, waits + 10 * kMillisecond);
}

constexpr uint32_t k1MP = 0x2E4C0064;
constexpr uint32_t k2MP = 0x2E4C0067;

INSTANTIATE_TEST_SUITE_P(
    Modes, BirchTiming,
    ::testing::ValuesIn(std::vector<BirchCase>{
        {"sxga", k1MP, 1280, 1024, 0, {{12, 0x0000}, {0, 0x0123}}},
        {"svga", k1MP, 800, 600, 0, {{12, 0x8080}, {0, 0x8123}}},
        {"vga", k1MP, 640, 480, 0, {{12, 0x8080}, {0, 0x4123}}},
        {"xgaFreeWindow", k1MP, 1024, 768, 0, {{12, 0}, {15, 1025}, {16, 768}, {17, 0x5619}, {0, 0xC123}}},
        {"qvgaFreeWindow", k1MP, 320, 240, 0, {{12, 0x8080}, {15, 321}, {16, 240}, {17, 0x301E}, {0, 0xC123}}},
        // Bit 3 of register 1 is cleared around the switch and restored.
        {"controlBitRestored", k1MP, 640, 480, 0x0C08, {{1, 0x0C00}, {12, 0x8080}, {0, 0x4123}, {1, 0x0C08}}},
        {"uxga", k2MP, 1600, 1200, 0, {{12, 0x00C5}, {0, 0x0123}}},
        {"2mpSxga", k2MP, 1280, 1024, 0, {{12, 0x0000}, {0, 0x4123}}},
        {"2mp720", k2MP, 1280, 720, 0, {{12, 0x0000}, {0, 0x8123}}},
        {"2mpSvga", k2MP, 800, 600, 0, {{12, 0x8080}, {0, 0xC123}}},
        {"2mpVgaHasNoMode", k2MP, 640, 480, 0x0008, {{1, 0x0000}, {12, 0x8080}, {1, 0x0008}}},
        // Widths outside the six bands have no register-12 entry: none is written.
        {"beyondTheBands", k1MP, 1920, 1080, 0, {{15, 1921}, {16, 1080}, {17, 0x301E}, {0, 0xC123}}},
        {"noResources", k1MP, 640, 480, 0, {}, false}}));

TEST(CedarTiming, LineFrequencyRegister) {
  for (const auto& [frequency, value] : std::vector<std::pair<ULONG, uint16_t>>{{50, 1}, {60, 0}, {0, 0}}) {
    HeadBench bench(3);
    bench.head.registers->Set(0x71, 0x55);
    bench.device().LineFrequency = frequency;
    bench.hw->SetupTiming(0);
    EXPECT_EQ(bench.head.registers->Writes(), (std::vector<emu::RegisterWrite>{{0x68, 0x71, value}})) << frequency;
  }
}

TEST(Ov7740Timing, PlaysTheTableWithTheSizeDependentValues) {
  const std::vector<std::pair<uint16_t, uint16_t>> fixed = {
      {0x12, 0x80}, {0x55, 0x42}, {0x11, 0x01}, {0x12, 0x20}, {0x36, 0x3F}, {0x1B, 0x85}, {0x31, 0x70},
      {0x33, 0xC4}, {0x04, 0x20}, {0x47, 0x42}, {0x88, 0x05}, {0x86, 0x03}, {0x87, 0x01}, {0xCE, 0x78},
      {0xCF, 0x6E}, {0xD0, 0x0A}, {0xD1, 0x0C}, {0xD2, 0x84}, {0xD3, 0x90}, {0xD4, 0x1E}};
  const uint16_t sizedRegisters[] = {0x16, 0x17, 0x18, 0x19, 0x1A, 0x29, 0x2A, 0x2B, 0x2C};
  for (const auto& [width, height, sized] : std::vector<std::tuple<int32_t, int32_t, std::vector<uint16_t>>>{
           {640, 480, {0x00, 0x2A, 0xA0, 0x05, 0xF0, 0x18, 0x03, 0xF8, 0x01}},
           {176, 144, {0x00, 0x2A, 0x2C, 0x05, 0x48, 0x82, 0x01, 0xB0, 0x00}},
           {352, 288, {0x00, 0x2A, 0x58, 0x05, 0x90, 0x18, 0x03, 0xFC, 0x00}},
           {321, 241, {0x28, 0x2A, 0x50, 0x05, 0x78, 0xE7, 0x03, 0x2B, 0x02}}}) {
    HeadBench bench(7);
    bench.SetFormat(width, height);
    bench.head.registers->ClearWrites();
    bench.hw->SetupTiming(0);
    std::vector<emu::RegisterWrite> expected;
    for (const auto& [reg, value] : fixed) expected.push_back({0x42, reg, value});
    for (size_t i = 0; i < sized.size(); ++i) expected.push_back({0x42, sizedRegisters[i], sized[i]});
    EXPECT_EQ(bench.head.registers->Writes(), expected) << width << "x" << height;
  }
}

TEST(GenericTiming, SendsTheSequencesOfTheSizeInOrderUntilAGapOrReportsAnUnlistedSize) {
  LONG resolutions[] = {2, 640, 480, 320, 240};
  // 640x480: 0, then a gap before 2. 320x240: 1, 0, 2 (empty), 3, and a second 0 (record order wins).
  std::vector<std::tuple<LONG, LONG, std::vector<uint8_t>>> sequences = {
      {0, 0, {0xB0, 0x01, 0x02}}, {0, 2, {0xB0, 0x09}}, {1, 1, {0x55}},     {1, 0, {0xB0, 0x10, 0x20, 0x30}},
      {1, 2, {}},                 {1, 3, {0xB0, 0x11}}, {1, 0, {0xB0, 0xEE}}};
  std::vector<I2cSequenceRecord> records;
  for (auto& [resolution, number, bytes] : sequences) {
    records.push_back({resolution, number, bytes.empty() ? nullptr : bytes.data(), LONG(bytes.size())});
  }
  HeadBench bench(8);
  GenericHeadConfig& config = bench.device().GenericConfig;
  config.Sequences = records.data();
  config.SequenceCount = LONG(records.size());
  // Without a resolution list from the registry every size is unlisted.
  for (const auto& [width, height, listed, wire] : std::vector<std::tuple<int32_t, int32_t, bool, const char*>>{
           {640, 480, true, "[B0 01 02]"}, {320, 240, true, "[B0 10 20 30] [55] [B0 11]"}, {640, 240, true, ""},
           {640, 480, false, ""}}) {
    config.Resolutions = listed ? resolutions : nullptr;
    bench.SetFormat(width, height);
    bench.Clear();
    bench.hw->SetupTiming(0);
    EXPECT_EQ(bench.I2c(), Wire(wire)) << width << "x" << height;
    const std::string unlisted = "CUSBHardwareGeneric::SetupTiming could not find " + std::to_string(width) + "x" +
                                 std::to_string(height) + "\n";
    EXPECT_EQ(Logged(unlisted, 0), *wire == 0);
  }
}

}  // namespace
}  // namespace headtest
