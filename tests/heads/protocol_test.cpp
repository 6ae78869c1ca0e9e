// Register protocols of the head classes on the wire: addresses, widths,
// relay commands, default devices, trace lines and waits; the Birch head's
// retries; the capture-mode codes; construction and the factory.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "head_bench.h"

namespace headtest {
namespace {

using host::sched::kMillisecond;
using host::sched::Now;

// ---------------------------------------------------------------------------
// Messages of single register accesses

struct AccessCase {
  const char* name;
  uint32_t modelType;
  emu::GenericHeadShape generic;
  std::function<void(HeadBench&)> arrange;
  bool read;
  uint8_t device;
  uint16_t reg;
  uint16_t value;  // written, or expected back
  Bytes bytes;
  std::string trace;   // "" when the class prints none
  int64_t waitMs;      // sleep after the access
  std::function<void(HeadBench&)> check;
};

class RegisterAccess : public ::testing::TestWithParam<AccessCase> {};

TEST_P(RegisterAccess, SendsTheClassMessagesByteForByte) {
  const AccessCase& c = GetParam();
  HeadBench bench(ProfileOf(c.modelType), c.generic);
  if (c.arrange) c.arrange(bench);
  bench.Clear();
  const int64_t start = Now();
  if (c.read) {
    EXPECT_EQ(bench.hw->GetI2CData(c.device, c.reg), c.value);
  } else {
    bench.hw->SetI2CData(c.device, c.reg, c.value);
  }
  const int64_t took = Now() - start;
  EXPECT_EQ(bench.I2c(), c.bytes);
  if (!c.trace.empty()) {
    EXPECT_TRUE(Logged(c.trace, 2)) << host::dbg::Tail(5);
  }
  if (c.trace.empty()) {
    EXPECT_TRUE(LogLines("::GetI2CData(").empty() && LogLines("::SetI2CData(").empty()) << host::dbg::Tail(5);
  }
  // USB time is a few microframes per byte; the class's own sleep comes on top.
  EXPECT_GE(took, c.waitMs * kMillisecond);
  EXPECT_LT(took, (c.waitMs + 3) * kMillisecond);
  if (c.check) c.check(bench);
}

const emu::GenericHeadShape kDefaultShape = {};

INSTANTIATE_TEST_SUITE_P(
    Heads, RegisterAccess,
    ::testing::Values(
        // Larch: the 16-bit main device through relay commands 0x02/0x03,
        // 8-bit devices through 0x00/0x01 with the high bytes dropped.
        AccessCase{"larchRead16", 4, kDefaultShape, [](HeadBench& b) { b.head.relay->Set16(0x3012, 0xBEEF); },
                   true, 0, 0x3012, 0xBEEF, Cat({Msg({0x70, 0x03, 0x30, 0x12}), Rd(0x71, 2)}),
                   "CUSBHardwareLarch::GetI2CData(ba,3012) == beef\n", 0, nullptr},
        AccessCase{"larchWrite8", 4, kDefaultShape, nullptr, false, 0x48, 0x0105, 0x1234,
                   Cat({Msg({0x70, 0x00, 0x48, 0x05}), Msg({0x70, 0x34})}),
                   "CUSBHardwareLarch::SetI2CData(48,0105,1234)\n", 3,
                   [](HeadBench& b) { EXPECT_EQ(b.head.relay->Get8(0x48, 0x05), 0x34); }},
        AccessCase{"larchWrite16", 4, kDefaultShape, nullptr, false, 0, 0x0105, 0x1234,
                   Cat({Msg({0x70, 0x02, 0x01, 0x05}), Msg({0x70, 0x12, 0x34})}),
                   "CUSBHardwareLarch::SetI2CData(ba,0105,1234)\n", 3,
                   [](HeadBench& b) { EXPECT_EQ(b.head.relay->Get16(0x0105), 0x1234); }},
        AccessCase{"larchRead8", 4, kDefaultShape, [](HeadBench& b) { b.head.relay->Set8(0x48, 0x05, 0x77); }, true,
                   0x48, 0x0105, 0x0077, Cat({Msg({0x70, 0x01, 0x49, 0x05}), Rd(0x71, 1)}),
                   "CUSBHardwareLarch::GetI2CData(48,0105) == 0077\n", 0, nullptr},
        // CCD: no default device for reads, 0x30 for writes.
        AccessCase{"ccdReadDevice0", 0, kDefaultShape, nullptr, true, 0, 0x10, 0xFFFF, {}, "", 0, nullptr},
        AccessCase{"ccdWriteDevice0", 0, kDefaultShape, nullptr, false, 0, 0x10, 0x0155,
                   Cat({Msg({0x70, 0x00, 0x30, 0x10}), Msg({0x70, 0x55})}),
                   "CUSBHardwareCCD::SetI2CData(30,10,0155)\n", 3,
                   [](HeadBench& b) { EXPECT_EQ(b.head.relay->Get8(0x30, 0x10), 0x55); }},
        AccessCase{"ccdRead", 0, kDefaultShape, [](HeadBench& b) { b.head.relay->Set8(0x30, 0x10, 0x21); }, true,
                   0x30, 0x10, 0x21, Cat({Msg({0x70, 0x01, 0x31, 0x10}), Rd(0x71, 1)}), "", 0, nullptr},
        // Rowan: the second bank through 0x80/0x81 with the device number.
        AccessCase{"rowanBankWrite", 6, kDefaultShape, nullptr, false, 0x85, 0x21, 0x42,
                   Cat({Msg({0x70, 0x80, 0x05, 0x21}), Msg({0x70, 0x42})}),
                   "CUSBHardwareRowan::SetI2CData(85,21,0042)\n", 20,
                   [](HeadBench& b) { EXPECT_EQ(b.head.relay->GetBank(5, 0x21), 0x42); }},
        AccessCase{"rowanBankRead", 6, kDefaultShape, [](HeadBench& b) { b.head.relay->SetBank(5, 0x21, 0x99); },
                   true, 0x85, 0x21, 0x99, Cat({Msg({0x70, 0x81, 0x05, 0x21}), Rd(0x71, 1)}), "", 0, nullptr},
        AccessCase{"rowanPastTheBankWrite", 6, kDefaultShape, nullptr, false, 0x88, 0x21, 0x42,
                   Cat({Msg({0x70, 0x00, 0x88, 0x21}), Msg({0x70, 0x42})}),
                   "CUSBHardwareRowan::SetI2CData(88,21,0042)\n", 20, nullptr},
        AccessCase{"rowanPastTheBankRead", 6, kDefaultShape, nullptr, true, 0x88, 0x21, 0,
                   Cat({Msg({0x70, 0x01, 0x89, 0x21}), Rd(0x71, 1)}), "", 0, nullptr},
        AccessCase{"rowanDefault", 6, kDefaultShape, nullptr, false, 0, 0x07, 0x3C,
                   Cat({Msg({0x70, 0x00, 0x30, 0x07}), Msg({0x70, 0x3C})}),
                   "CUSBHardwareRowan::SetI2CData(30,07,003c)\n", 20, nullptr},
        // Alder: 8-bit registers, 16-bit values, directly on the bus.
        AccessCase{"alderRead", 1, kDefaultShape, [](HeadBench& b) { b.head.registers->Set(0x20, 0x1304); }, true, 0,
                   0x20, 0x1304, Cat({Msg({0xBA, 0x20}), Rd(0xBA, 2)}),
                   "CUSBHardwareAlder::GetI2CData(ba,20) == 1304\n", 0, nullptr},
        AccessCase{"alderWrite", 1, kDefaultShape, nullptr, false, 0, 0x09, 0x041B, Msg({0xBA, 0x09, 0x04, 0x1B}),
                   "CUSBHardwareAlder::SetI2CData(ba,09,041b)\n", 0, nullptr},
        // Birch: device mapping and widths.
        AccessCase{"birchDefault", 2, kDefaultShape, [](HeadBench& b) { b.head.registers->Set(0x7A, 0x01, 0x0C08); },
                   true, 0, 0x01, 0x0C08, Cat({Msg({0x7A, 0x01}), Rd(0x7A, 2)}),
                   "CUSBHardwareBirch::GetI2CData(7a,01) == 0c08\n", 0, nullptr},
        AccessCase{"birchDevice1", 2, kDefaultShape, nullptr, false, 1, 0x2B, 0x0123, Msg({0xBA, 0x2B, 0x01, 0x23}),
                   "CUSBHardwareBirch::SetI2CData(ba,2b,0123)\n", 0,
                   [](HeadBench& b) { EXPECT_EQ(b.head.registers->Get(0xBA, 0x2B), 0x0123); }},
        AccessCase{"birchA2", 2, kDefaultShape, nullptr, false, 0xA2, 0x05, 0x1234, Msg({0xAA, 0x05, 0x34}),
                   "CUSBHardwareBirch::SetI2CData(aa,05,1234)\n", 0,
                   [](HeadBench& b) { EXPECT_EQ(b.head.registers->Get(0xAA, 0x05), 0x34); }},
        AccessCase{"birchA8", 2, kDefaultShape, [](HeadBench& b) { b.head.registers->Set(0xA8, 0x05, 0x66); }, true,
                   0xA8, 0x05, 0x66, Cat({Msg({0xA8, 0x05}), Rd(0xA8, 1)}),
                   "CUSBHardwareBirch::GetI2CData(a8,05) == 0066\n", 0, nullptr},
        // Cedar and OV7740: 8-bit sensors on the bus.
        AccessCase{"cedarWrite", 3, kDefaultShape, nullptr, false, 0, 0x71, 0x0101, Msg({0x68, 0x71, 0x01}),
                   "CUSBHardwareCedar::SetI2CData(68,71,0101)\n", 3, nullptr},
        AccessCase{"cedarRead", 3, kDefaultShape, [](HeadBench& b) { b.head.registers->Set(0x71, 0x01); }, true, 0,
                   0x71, 0x01, Cat({Msg({0x68, 0x71}), Rd(0x68, 1)}), "", 0, nullptr},
        AccessCase{"ov7740Read", 7, kDefaultShape, [](HeadBench& b) { b.head.registers->Set(0x0A, 0x77); }, true, 0,
                   0x0A, 0x77, Cat({Msg({0x42, 0x0A}), Rd(0x42, 1)}),
                   "CUSBHardwareOV7740::GetI2CData(42,0a) == 0077\n", 0, nullptr},
        AccessCase{"ov7740Write", 7, kDefaultShape, nullptr, false, 0, 0x12, 0x80, Msg({0x42, 0x12, 0x80}),
                   "CUSBHardwareOV7740::SetI2CData(42,12,0080)\n", 0, nullptr},
        // Generic: widths from the registry.
        AccessCase{"generic16x8Read", 8, emu::GenericHeadShape{0xB0, 2, 1},
                   [](HeadBench& b) { b.head.registers->Set(0x3012, 0x5A); }, true, 0, 0x3012, 0x5A,
                   Cat({Msg({0xB0, 0x30, 0x12}), Rd(0xB0, 1)}), "CUSBHardwareGeneric::GetI2CData(b0,3012) == 005a\n",
                   0, nullptr},
        AccessCase{"generic16x16Write", 8, emu::GenericHeadShape{0x90, 2, 2}, nullptr, false, 0, 0x3012, 0xABCD,
                   Msg({0x90, 0x30, 0x12, 0xAB, 0xCD}), "CUSBHardwareGeneric::SetI2CData(90,3012,abcd)\n", 0,
                   [](HeadBench& b) { EXPECT_EQ(b.head.registers->Get(0x3012), 0xABCD); }},
        AccessCase{"generic8x16Read", 8, emu::GenericHeadShape{0xB0, 1, 2},
                   [](HeadBench& b) { b.head.registers->Set(0x12, 0xBEEF); }, true, 0, 0x3012, 0xBEEF,
                   Cat({Msg({0xB0, 0x12}), Rd(0xB0, 2)}), "CUSBHardwareGeneric::GetI2CData(b0,3012) == beef\n", 0,
                   nullptr},
        AccessCase{"generic8x8Write", 8, emu::GenericHeadShape{0xB0, 1, 1}, nullptr, false, 0x44, 0x3012, 0xABCD,
                   Msg({0x44, 0x12, 0xCD}), "CUSBHardwareGeneric::SetI2CData(44,3012,abcd)\n", 0, nullptr},
        // A Generic head the registry never described: the registry's
        // defaults, never the general call address 0.
        AccessCase{"genericUnconfigured", 8, kDefaultShape,
                   [](HeadBench& b) {
                     b.device().GenericConfig.Camera = 0;
                     b.device().GenericConfig.RegisterWidth = 0;
                     b.device().GenericConfig.DataWidth = 0;
                   },
                   false, 0, 0x05, 0x0102, Msg({0xB0, 0x05, 0x01, 0x02}),
                   "CUSBHardwareGeneric::SetI2CData(b0,05,0102)\n", 0, nullptr}),
    [](const ::testing::TestParamInfo<AccessCase>& info) { return std::string(info.param.name); });

TEST(BirchMapping, OddGroupDeviceIsAddressedAsGiven) {
  // 0xA3 becomes the bus address 0xAB, with single-byte values.
  HeadBench bench(2);
  bench.Clear();
  bench.hw->GetI2CData(0xA3, 0x05);
  const Bytes sent = bench.I2c();
  const Bytes first = Cat({Msg({0xAB, 0x05}), Rd(0xAB, 1)});
  ASSERT_GE(sent.size(), first.size());
  EXPECT_EQ(Bytes(sent.begin(), sent.begin() + first.size()), first);
}

// ---------------------------------------------------------------------------
// Birch retries

struct RetryCase {
  const char* name;
  bool read;
  long refusals;  // acknowledges the head refuses
  int retries;    // "retry" lines expected
  int64_t waitMs;
};

class BirchRetries : public ::testing::TestWithParam<RetryCase> {};

TEST_P(BirchRetries, RetryUntilAcknowledgedOrGiveUp) {
  const RetryCase& c = GetParam();
  HeadBench bench(2);
  bench.head.registers->Set(0x7A, 0x20, 0x1234);
  bench.head.registers->RefuseAcks(c.refusals);
  bench.Clear();
  const int64_t start = Now();
  USHORT value = 0;
  if (c.read) {
    value = bench.hw->GetI2CData(0, 0x20);
  } else {
    bench.hw->SetI2CData(0, 0x20, 0x0042);
  }
  const int64_t took = Now() - start;

  const std::string which = c.read ? "GetI2CData" : "SetI2CData";
  const std::vector<std::string> retries = LogLines("CUSBHardwareBirch::" + which + " retry ");
  ASSERT_EQ(int(retries.size()), c.retries) << c.name;
  for (int i = 0; i < c.retries; ++i) {
    EXPECT_EQ(retries[i], "CUSBHardwareBirch::" + which + " retry " + std::to_string(i + 1) + "\n") << c.name;
  }
  // Every failed attempt waits, the last one included; USB time is extra.
  const size_t attempts = size_t(c.retries) + (c.retries == (c.read ? 150 : 100) ? 0 : 1);
  EXPECT_GE(took, c.waitMs * kMillisecond) << c.name;
  EXPECT_LT(took, (c.waitMs + int64_t(attempts) + 5) * kMillisecond) << c.name;
  EXPECT_EQ(bench.Vendor(0xC3).size(), attempts * (c.read ? 5 : 4)) << c.name;
  if (c.read) {
    // A read that never succeeded returns the last bytes sampled (the idle bus).
    EXPECT_EQ(value, c.retries == 150 ? 0xFFFF : 0x1234) << c.name;
    EXPECT_TRUE(Logged("CUSBHardwareBirch::GetI2CData(7a,20) == " + std::string(c.retries == 150 ? "ffff" : "1234") +
                           "\n",
                       2))
        << c.name;
  } else {
    EXPECT_EQ(bench.head.registers->Get(0x7A, 0x20), c.retries == 100 ? 0x1234 : 0x0042) << c.name;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BirchRetries,
    ::testing::Values(RetryCase{"readAtOnce", true, 0, 0, 0},
                      // A refused address loses the rest of its message; a read
                      // attempt has two messages.
                      RetryCase{"readOneRefusal", true, 1, 1, 60}, RetryCase{"readTwoRefusals", true, 2, 1, 60},
                      RetryCase{"readThreeRefusals", true, 3, 2, 120},
                      RetryCase{"readNever", true, 1000000, 150, 150 * 60},
                      RetryCase{"writeAtOnce", false, 0, 0, 0}, RetryCase{"writeTwoRefusals", false, 2, 2, 66},
                      RetryCase{"writeNever", false, 1000000, 100, 100 * 33}),
    [](const ::testing::TestParamInfo<RetryCase>& info) { return std::string(info.param.name); });

struct BandCase {
  int32_t width;
  int band;  // -1: no entry
};

TEST(BirchBand, RegisterTwelveIsKeptPerWidthBandBeforeTheFirstAttempt) {
  const std::vector<BandCase> cases = {{0, -1},    {255, -1},  {256, 0},    {640, 1},  {1023, 2},
                                       {1024, 3},  {1280, 4},  {1791, 5},   {1792, -1}, {5000, -1},
                                       {-640, -1}};
  for (const BandCase& c : cases) {
    HeadBench bench(2);
    bench.SetFormat(c.width, 480);
    CCameraDevice& dev = bench.device();
    const ULONG sentinel = 0xA5A5A5A5;
    for (ULONG& e : dev.Register12) e = sentinel;
    // Nothing around the table may change either.
    const uint8_t* object = reinterpret_cast<const uint8_t*>(bench.camera().owner);
    const size_t tableStart = reinterpret_cast<const uint8_t*>(dev.Register12) - object;
    const size_t tableEnd = tableStart + sizeof(dev.Register12);
    const std::vector<uint8_t> before(object, object + sizeof(ovratest::RecordingDevice));
    bench.head.registers->RefuseAcks(1000000);  // every attempt fails
    bench.hw->SetI2CData(0, 12, 0x1234);
    for (int i = 0; i < 6; ++i) {
      EXPECT_EQ(dev.Register12[i], i == c.band ? 0x1234u : sentinel) << "width " << c.width << " entry " << i;
    }
    const std::vector<uint8_t> after(object, object + sizeof(ovratest::RecordingDevice));
    EXPECT_TRUE(std::equal(before.begin(), before.begin() + tableStart, after.begin()) &&
                std::equal(before.begin() + tableEnd, before.end(), after.begin() + tableEnd))
        << "width " << c.width;
    EXPECT_EQ(CUSBHardwareBirch::Register12Band(c.width), c.band) << c.width;
  }
  // Only register 12 of the default device is remembered.
  HeadBench bench(2);
  bench.SetFormat(640, 480);
  bench.hw->SetI2CData(1, 12, 0x4444);
  bench.hw->SetI2CData(0, 13, 0x5555);
  EXPECT_EQ(bench.device().Register12[1], 0x8080u);
}

// ---------------------------------------------------------------------------
// Capture-mode codes

struct CodeCase {
  uint32_t vidPid;  // 0: the bench profile's
  int32_t width;
  LONG clock;
  ULONG code;
};

TEST(WidthSetting, CodesOfTheBaseAndTheClassesThatReplaceIt) {
  struct Group {
    uint32_t modelType;
    std::vector<CodeCase> cases;
  };
  const std::vector<Group> groups = {
      {0, {{0, 720, 0, 0}, {0, 721, 0, 3}, {0, 641, 0, 0}, {0, 640, 0, 1}, {0, 513, 0, 1}, {0, 512, 0, 2}, {0, 0, 0, 2}}},
      {1,
       {{0x2E4C0061, 640, 24, 9}, {0x2E4C0061, 640, 48, 1}, {0x2E4C0061, 1280, 0, 8}, {0x2E4C0061, 1280, 48, 0},
        {0x2E4C0061, 800, 24, 10}, {0x2E4C0061, 801, 48, 0}, {0x2E4C0061, 321, 24, 9}, {0x2E4C0061, 320, 48, 3},
        {0x2E4C0060, 640, 0, 0}, {0x2E4C0060, 640, 1, 9}, {0x2E4C0060, 1280, 24, 9}, {0x2E4C0060, 320, 48, 0}}},
      {2, {{0, 640, 0, 0}, {0, 1600, 0, 0}, {0, 320, 0, 0}}},
      {5, {{0, 720, 0, 0}, {0, 640, 0, 1}, {0, 320, 0, 2}}},
      {8, {{0, 640, 0, 0}, {0, 1280, 0, 0}, {0, 320, 0, 0}}},
  };
  for (const Group& g : groups) {
    HeadBench bench(g.modelType);
    for (const CodeCase& c : g.cases) {
      if (c.vidPid != 0) bench.device().VidPid = c.vidPid;
      if (g.modelType == 1) static_cast<CUSBHardwareAlder*>(bench.hw)->clockMHz = c.clock;
      bench.SetFormat(c.width, 480);
      EXPECT_EQ(bench.hw->GetWidthSetting(), c.code)
          << "type " << g.modelType << " " << std::hex << c.vidPid << std::dec << " width " << c.width << " clock "
          << c.clock;
    }
  }
}

// ---------------------------------------------------------------------------
// Construction and the factory

TEST(Factory, BuildsTheClassOfEveryModelTypeWithItsLineAndSettleTime) {
  struct Row {
    uint32_t type;
    const char* line;
    ULONG delayMs;
  };
  const std::vector<Row> rows = {
      {0, "CUSBHardwareCCD::CUSBHardwareCCD\n", 1000},         {1, "CUSBHardwareAlder::CUSBHardwareAlder\n", 250},
      {2, "CUSBHardwareBirch::CUSBHardwareBirch\n", 3500},     {3, "CUSBHardwareCedar::CUSBHardwareCedar\n", 1000},
      {4, "CUSBHardwareLarch::CUSBHardwareLarch\n", 100},      {5, "CUSBHardwareMaple::CUSBHardwareMaple\n", 100},
      {6, "CUSBHardwareRowan::CUSBHardwareRowan\n", 25},       {7, "CUSBHardwareOV7740::CUSBHardwareOV7740\n", 25},
      {8, "CUSBHardwareGeneric::CUSBHardwareGeneric\n", 100},
  };
  for (const Row& row : rows) {
    host::dbg::Clear();
    HeadBench bench(row.type);
    ASSERT_NE(bench.hw, nullptr) << row.type;
    for (const Row& other : rows) {
      EXPECT_EQ(Logged(other.line, 1), other.type == row.type) << "type " << row.type << ": " << other.line;
    }
    EXPECT_EQ(bench.hw->m_PowerDelayMs, row.delayMs) << row.type;
    EXPECT_TRUE(bench.hw->m_Configured) << row.type;
    // The settle time is what a power-on waits.
    const int64_t start = Now();
    bench.hw->SetCameraPower(TRUE);
    EXPECT_GE(Now() - start, int64_t(row.delayMs) * kMillisecond) << row.type;
    EXPECT_LT(Now() - start, int64_t(row.delayMs + 5) * kMillisecond) << row.type;
    bench.hw->SetCameraPower(FALSE);
  }
}

TEST(Factory, BirchConstructorSeedsTheRegisterTwelveTable) {
  ovratest::UsbCamera camera(ProfileOf(2));
  for (ULONG& e : camera.owner->Register12) e = 0x77;
  camera.Adopt(CUSBHardware::CreateHardware(camera.owner, camera.device, 2));
  const ULONG expected[6] = {0x8080, 0x8080, 0x8080, 0, 0, 0x77};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(camera.owner->Register12[i], expected[i]) << i;
}

TEST(Factory, NoObjectForAnUnknownTypeOrAHeadThatDidNotConfigure) {
  struct Row {
    const char* name;
    uint32_t type;
    std::function<void(emu::Bridge&)> arrange;
    bool object;
  };
  const std::vector<Row> rows = {
      {"unknown type", 9, nullptr, false},
      {"unknown model", 0xFFF, nullptr, false},
      {"descriptor read fails", 4,
       [](emu::Bridge& b) {
         emu::ControlFault f;
         f.request = 0x06;  // GET_DESCRIPTOR
         f.vendor = false;
         f.count = -1;
         b.AddControlFault(f);
       },
       false},
      {"configuration fails", 1,
       [](emu::Bridge& b) {
         emu::ControlFault f;
         f.request = 0x09;  // SET_CONFIGURATION
         f.vendor = false;
         f.count = -1;
         b.AddControlFault(f);
       },
       false},
      // Configured, but interface 0 could not be selected: the object stays.
      {"interface selection fails", 7,
       [](emu::Bridge& b) {
         emu::ControlFault f;
         f.request = 0x0B;  // SET_INTERFACE
         f.vendor = false;
         f.count = -1;
         b.AddControlFault(f);
       },
       true},
  };
  for (const Row& row : rows) {
    ovratest::UsbCamera camera(ProfileOf(row.type <= 8 ? row.type : 0));
    if (row.arrange) row.arrange(*camera.bridge);
    const uint64_t blocksBefore = host::pool::Outstanding(kTagObject);
    CUSBHardware* hw = camera.Adopt(CUSBHardware::CreateHardware(camera.owner, camera.device, row.type));
    EXPECT_EQ(hw != nullptr, row.object) << row.name;
    if (hw == nullptr) {
      EXPECT_EQ(host::pool::Outstanding(kTagObject), blocksBefore) << row.name;
    }
    if (hw != nullptr) {
      EXPECT_FALSE(hw->m_ResourcesAcquired) << row.name;
    }
  }
}

TEST(Factory, NoObjectWhenThePoolRefusesTheMemory) {
  ovratest::UsbCamera camera(ProfileOf(1));
  host::pool::FailNth(1);
  EXPECT_EQ(CUSBHardware::CreateHardware(camera.owner, camera.device, 1), nullptr);
  host::pool::ClearFaults();
  EXPECT_FALSE(host::dbg::Contains("CUSBHardwareAlder::CUSBHardwareAlder"));
}

}  // namespace
}  // namespace headtest
