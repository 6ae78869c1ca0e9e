// Register protocols of the head classes on the wire, the Birch head's
// retries and band table, the capture-mode codes and the factory.

#include <cstring>

#include "head_bench.h"

namespace headtest {
namespace {

constexpr bool R = true;   // GetI2CData
constexpr bool W = false;  // SetI2CData

struct AccessCase {
  const char* name;
  uint32_t modelType;
  bool read;
  uint8_t device;
  uint16_t reg;
  uint16_t value;     // written, or expected back
  const char* wire;   // see Wire
  const char* trace;  // after "CUSBHardware"; "" when the class prints none
  int64_t waitMs;     // the class's sleep after the access
  emu::GenericHeadShape generic = {};
};
void PrintTo(const AccessCase& c, std::ostream* os) { *os << c.name; }

class RegisterAccess : public ::testing::TestWithParam<AccessCase> {};

// The head acknowledges every written byte and answers BE to a read byte with
// more to come and EF to the last.
TEST_P(RegisterAccess, SendsTheClassMessagesByteForByte) {
  const AccessCase& c = GetParam();
  HeadBench bench(ProfileOf(c.modelType), c.generic);
  bench.bridge().onVendorIn = [](const host::usb::Setup& setup, uint8_t* reply) {
    const bool read = (setup.wValue & 0x01FF) == 0x00FF;
    if (setup.bRequest == 0xC3 && read) reply[1] = (setup.wValue >> 8) == 0x0A ? 0xBE : 0xEF;
    if (setup.bRequest == 0xC3 && !read) reply[2] = 0;
  };
  bench.Clear();
  const int64_t start = Now();
  if (c.read) {
    EXPECT_EQ(bench.hw->GetI2CData(c.device, c.reg), c.value);
  } else {
    bench.hw->SetI2CData(c.device, c.reg, c.value);
  }
  const int64_t took = Now() - start;
  EXPECT_EQ(bench.I2c(), Wire(c.wire));
  EXPECT_TRUE(*c.trace == 0 || Logged("CUSBHardware" + std::string(c.trace) + "\n", 2)) << host::dbg::Tail(5);
  EXPECT_GE(took, c.waitMs * kMillisecond);
  EXPECT_LT(took, (c.waitMs + 3) * kMillisecond);  // USB time is a few microframes per byte
}

INSTANTIATE_TEST_SUITE_P(
    Heads, RegisterAccess,
    ::testing::ValuesIn(std::vector<AccessCase>{
        // Larch: the 16-bit main device through relay commands 0x02/0x03, 8-bit
        // devices through 0x00/0x01 with the high bytes dropped.
        {"larchRead16", 4, R, 0, 0x3012, 0xBEEF, "[70 03 30 12] [71 . .]", "Larch::GetI2CData(ba,3012) == beef", 0},
        {"larchWrite16", 4, W, 0, 0x0105, 0x1234, "[70 02 01 05] [70 12 34]", "Larch::SetI2CData(ba,0105,1234)", 3},
        {"larchRead8", 4, R, 0x48, 0x0105, 0xEF, "[70 01 49 05] [71 .]", "Larch::GetI2CData(48,0105) == 00ef", 0},
        {"larchWrite8", 4, W, 0x48, 0x0105, 0x1234, "[70 00 48 05] [70 34]", "Larch::SetI2CData(48,0105,1234)", 3},
        // CCD: no default device for reads, 0x30 for writes.
        {"ccdReadDevice0", 0, R, 0, 0x10, 0xFFFF, "", "", 0},
        {"ccdRead", 0, R, 0x30, 0x10, 0xEF, "[70 01 31 10] [71 .]", "", 0},
        {"ccdWriteDevice0", 0, W, 0, 0x10, 0x0155, "[70 00 30 10] [70 55]", "CCD::SetI2CData(30,10,0155)", 3},
        // Rowan: the second bank 0x80..0x87 through 0x80/0x81 with the device number.
        {"rowanBankWrite", 6, W, 0x85, 0x21, 0x42, "[70 80 05 21] [70 42]", "Rowan::SetI2CData(85,21,0042)", 20},
        {"rowanBankRead", 6, R, 0x85, 0x21, 0xEF, "[70 81 05 21] [71 .]", "", 0},
        {"rowanPastTheBankWrite", 6, W, 0x88, 0x21, 0x42, "[70 00 88 21] [70 42]", "Rowan::SetI2CData(88,21,0042)", 20},
        {"rowanPastTheBankRead", 6, R, 0x88, 0x21, 0xEF, "[70 01 89 21] [71 .]", "", 0},
        {"rowanDefault", 6, W, 0, 0x07, 0x3C, "[70 00 30 07] [70 3C]", "Rowan::SetI2CData(30,07,003c)", 20},
        // Heads directly on the bus; Birch maps 0 to 0x7A, 1 to 0xBA and 0xA0..0xA7 to 0xA8..0xAF.
        {"alderRead", 1, R, 0, 0x20, 0xBEEF, "[BA 20] [BB . .]", "Alder::GetI2CData(ba,20) == beef", 0},
        {"alderWrite", 1, W, 0, 0x09, 0x041B, "[BA 09 04 1B]", "Alder::SetI2CData(ba,09,041b)", 0},
        {"birchDefault", 2, R, 0, 0x01, 0xBEEF, "[7A 01] [7B . .]", "Birch::GetI2CData(7a,01) == beef", 0},
        {"birchDevice1", 2, W, 1, 0x2B, 0x0123, "[BA 2B 01 23]", "Birch::SetI2CData(ba,2b,0123)", 0},
        {"birchA3", 2, R, 0xA3, 0x05, 0xEF, "[AB 05] [AB .]", "Birch::GetI2CData(ab,05) == 00ef", 0},
        {"birchA8", 2, W, 0xA8, 0x05, 0x1234, "[A8 05 34]", "Birch::SetI2CData(a8,05,1234)", 0},
        {"cedarWrite", 3, W, 0, 0x71, 0x0101, "[68 71 01]", "Cedar::SetI2CData(68,71,0101)", 3},
        {"cedarRead", 3, R, 0, 0x71, 0xEF, "[68 71] [69 .]", "", 0},
        {"ov7740Read", 7, R, 0, 0x0A, 0xEF, "[42 0A] [43 .]", "OV7740::GetI2CData(42,0a) == 00ef", 0},
        {"ov7740Write", 7, W, 0, 0x12, 0x80, "[42 12 80]", "OV7740::SetI2CData(42,12,0080)", 0},
        // Generic: address and widths from the registry; a head the registry
        // never described uses the defaults, never the general call address 0.
        {"generic16x8Read", 8, R, 0, 0x3012, 0xEF, "[B0 30 12] [B1 .]", "Generic::GetI2CData(b0,3012) == 00ef", 0,
         {0xB0, 2, 1}},
        {"generic16x16Write", 8, W, 0, 0x3012, 0xABCD, "[90 30 12 AB CD]", "Generic::SetI2CData(90,3012,abcd)", 0,
         {0x90, 2, 2}},
        {"generic8x16Read", 8, R, 0, 0x3012, 0xBEEF, "[B0 12] [B1 . .]", "Generic::GetI2CData(b0,3012) == beef", 0,
         {0xB0, 1, 2}},
        {"generic8x8Write", 8, W, 0x44, 0x3012, 0xABCD, "[44 12 CD]", "Generic::SetI2CData(44,3012,abcd)", 0,
         {0xB0, 1, 1}},
        {"genericUnconfigured", 8, W, 0, 0x05, 0x0102, "[B0 05 01 02]", "Generic::SetI2CData(b0,05,0102)", 0,
         {0, 0, 0}}}));

struct RetryCase {
  const char* name;
  bool read;
  long refusals;  // acknowledges the head refuses
  bool removed;
  int retries;  // "retry" lines expected
  int64_t waitMs;
  size_t requests;  // I2C byte requests
  uint16_t value;   // read back, or in the register after the write
};
void PrintTo(const RetryCase& c, std::ostream* os) { *os << c.name; }

class BirchRetries : public ::testing::TestWithParam<RetryCase> {};

TEST_P(BirchRetries, RetryUntilAcknowledgedOrGiveUp) {
  const RetryCase& c = GetParam();
  HeadBench bench(2);
  bench.head.registers->Set(0x7A, 0x20, 0x1234);
  bench.head.registers->RefuseAcks(c.refusals);
  bench.hw->m_Removed = c.removed;
  bench.Clear();
  const int64_t start = Now();
  const USHORT value = c.read ? bench.hw->GetI2CData(0, 0x20) : (bench.hw->SetI2CData(0, 0x20, 0x0042), 0);
  const int64_t took = Now() - start;

  const std::string which = c.read ? "CUSBHardwareBirch::GetI2CData" : "CUSBHardwareBirch::SetI2CData";
  std::vector<std::string> retries;
  for (const host::dbg::Entry& e : host::dbg::Entries()) {
    if (e.text.rfind(which + " retry ", 0) == 0) retries.push_back(e.text);
  }
  ASSERT_EQ(int(retries.size()), c.retries);
  for (int i = 0; i < c.retries; ++i) EXPECT_EQ(retries[i], which + " retry " + std::to_string(i + 1) + "\n");
  // Every failed attempt waits, the last one included.
  EXPECT_GE(took, c.waitMs * kMillisecond);
  EXPECT_LT(took, (c.waitMs + int64_t(c.requests) / 4 + 5) * kMillisecond);
  EXPECT_EQ(bench.Vendor(0xC3).size(), c.requests);
  if (c.read) {
    EXPECT_EQ(value, c.value);  // a read that never succeeded returns the idle bus
    EXPECT_TRUE(Logged(which + (c.value == 0xFFFF ? "(7a,20) == ffff\n" : "(7a,20) == 1234\n"), 2));
  } else {
    EXPECT_EQ(bench.head.registers->Get(0x7A, 0x20), c.value);
  }
}

constexpr long kAlways = 1000000;

// A refused address loses the rest of its message.
INSTANTIATE_TEST_SUITE_P(Cases, BirchRetries,
                         ::testing::Values(RetryCase{"readOneRefusal", R, 1, false, 1, 60, 10, 0x1234},
                                           RetryCase{"readNever", R, kAlways, false, 150, 150 * 60, 750, 0xFFFF},
                                           RetryCase{"readRemovedDevice", R, kAlways, true, 0, 0, 0, 0xFFFF},
                                           RetryCase{"writeTwoRefusals", W, 2, false, 2, 66, 12, 0x0042},
                                           RetryCase{"writeNever", W, kAlways, false, 100, 100 * 33, 400, 0x1234}));

TEST(BirchBand, RegisterTwelveIsKeptPerWidthBandBeforeTheFirstAttempt) {
  for (const auto& [width, band] : std::vector<std::pair<int32_t, int>>{
           {255, -1}, {256, 0}, {640, 1}, {1791, 5}, {1792, -1}, {-640, -1}}) {
    HeadBench bench(2);
    bench.SetFormat(width, 480);
    CCameraDevice& dev = bench.device();
    for (ULONG& e : dev.Register12) e = 0xA5A5A5A5;
    const std::vector<uint8_t> before(reinterpret_cast<uint8_t*>(&dev),
                                      reinterpret_cast<uint8_t*>(&dev) + sizeof(ovratest::RecordingDevice));
    bench.head.registers->RefuseAcks(kAlways);  // every attempt fails
    bench.hw->SetI2CData(0, 12, 0x1234);
    bench.head.registers->RefuseAcks(0);
    bench.hw->SetI2CData(1, 12, 0x4444);  // only register 12 of the default device is kept
    bench.hw->SetI2CData(0, 13, 0x5555);
    for (int i = 0; i < 6; ++i) {
      EXPECT_EQ(dev.Register12[i], i == band ? 0x1234u : 0xA5A5A5A5u) << "width " << width << " entry " << i;
      dev.Register12[i] = 0xA5A5A5A5;
    }
    EXPECT_EQ(std::memcmp(before.data(), &dev, before.size()), 0) << "beside the table, width " << width;
  }
}

TEST(WidthSetting, CodesOfTheBaseAndTheClassesThatReplaceIt) {
  constexpr uint32_t A = 0x2E4C0061, B = 0x2E4C0060;  // Alder, Alder board (0: the profile's)
  using Row = std::tuple<uint32_t, uint32_t, int32_t, LONG, ULONG>;  // type, VID/PID, width, Alder clock, code
  for (const auto& [type, vidPid, width, clock, code] : std::vector<Row>{
           {0, 0, 721, 0, 3},   {0, 0, 720, 0, 0},   {0, 0, 641, 0, 0},   {0, 0, 640, 0, 1},  {0, 0, 513, 0, 1},
           {0, 0, 512, 0, 2},   {1, A, 640, 24, 9},  {1, A, 640, 48, 1},  {1, A, 1280, 0, 8}, {1, A, 1280, 48, 0},
           {1, A, 800, 24, 10}, {1, A, 801, 48, 0},  {1, A, 321, 24, 9},  {1, A, 320, 48, 3}, {1, B, 640, 0, 0},
           {1, B, 640, 1, 9},   {1, B, 1280, 24, 9}, {1, B, 320, 48, 0},  {2, 0, 640, 0, 0},  {2, 0, 1600, 0, 0},
           {8, 0, 640, 0, 0},   {8, 0, 1600, 0, 0}}) {
    HeadBench bench(type);
    if (vidPid != 0) bench.device().VidPid = vidPid;
    if (type == 1) static_cast<CUSBHardwareAlder*>(bench.hw)->clockMHz = clock;
    bench.SetFormat(width, 480);
    EXPECT_EQ(bench.hw->GetWidthSetting(), code) << type << " " << width << " " << clock;
  }
}

TEST(Factory, BuildsTheClassOfEveryModelTypeWithItsSettleTime) {
  const std::vector<std::pair<std::string, ULONG>> rows = {
      {"CCD", 1000},  {"Alder", 250}, {"Birch", 3500}, {"Cedar", 1000},  {"Larch", 100},
      {"Maple", 100}, {"Rowan", 25},  {"OV7740", 25},  {"Generic", 100}};
  for (uint32_t type = 0; type < rows.size(); ++type) {
    HeadBench bench(type);
    const auto& [name, settleMs] = rows[type];
    EXPECT_TRUE(Logged("CUSBHardware" + name + "::CUSBHardware" + name + "\n", 1)) << type;
    const int64_t start = Now();
    bench.hw->SetCameraPower(TRUE);
    EXPECT_GE(Now() - start, int64_t(settleMs) * kMillisecond) << type;
    EXPECT_LT(Now() - start, int64_t(settleMs + 5) * kMillisecond) << type;
    bench.hw->SetCameraPower(FALSE);
  }
}

// The test main fails any test that leaves pool blocks behind.
TEST(Factory, NoObjectForAnUnknownTypeAHeadThatDidNotConfigureOrNoMemory) {
  ovratest::UsbCamera camera(ProfileOf(1));
  EXPECT_EQ(CUSBHardware::CreateHardware(camera.owner, camera.device, 9), nullptr);
  host::pool::FailNth(1);
  EXPECT_EQ(CUSBHardware::CreateHardware(camera.owner, camera.device, 1), nullptr);
  host::pool::ClearFaults();
  camera.bridge->AddControlFault({0x09, false, 0, -1});  // SET_CONFIGURATION
  EXPECT_EQ(CUSBHardware::CreateHardware(camera.owner, camera.device, 1), nullptr);
  camera.bridge->ClearControlFaults();
  camera.bridge->AddControlFault({0x0B, false, 0, -1});  // SET_INTERFACE: configured, so the object stays
  CUSBHardware* hw = camera.Adopt(CUSBHardware::CreateHardware(camera.owner, camera.device, 1));
  ASSERT_NE(hw, nullptr);
  EXPECT_FALSE(hw->m_ResourcesAcquired);
}

}  // namespace
}  // namespace headtest
