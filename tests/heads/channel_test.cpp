// The I2C and control channel through the bridge: acknowledge rules, the
// power reference count, trigger and port byte, commands on the port lines,
// the status bit, the snapshot register and the register lock.

#include "head_bench.h"

namespace headtest {
namespace {

struct AckCase {
  const char* name;
  int forceAckOf;  // reply byte 2 of this I2C request (-1: none) is rewritten to forcedLevel
  uint8_t forcedLevel;
  int failFrom;  // I2C requests from this one on fail (-1: none)
  NTSTATUS status;
  std::vector<uint8_t> reads;
};
void PrintTo(const AckCase& c, std::ostream* os) { *os << c.name; }

class AcknowledgeRules : public ::testing::TestWithParam<AckCase> {};

// A register read of the Cedar head, [68 10] [69 . .], byte by byte.
TEST_P(AcknowledgeRules, WrongLevelMarksTheToolBusyAndTheMessageGoesOn) {
  const AckCase& c = GetParam();
  HeadBench bench(3);
  bench.head.registers->Set(0x10, 0x5A);
  int seen = 0;
  bench.bridge().onVendorIn = [&](const host::usb::Setup& setup, uint8_t* reply) {
    if (setup.bRequest == 0xC3 && seen++ == c.forceAckOf) reply[2] = c.forcedLevel;
  };
  if (c.failFrom >= 0) bench.bridge().FailRequest(0xC3, -1, c.failFrom);
  bench.Clear();

  CUSBHardware::I2CTool tool(bench.hw);
  tool.Write(0x03, 0x68);
  tool.Write(0x06, 0x10);
  tool.Write(0x03, 0x69);
  const std::vector<uint8_t> reads = {tool.Read(0x0A), tool.Read(0x06)};
  EXPECT_EQ(tool.status, c.status);
  EXPECT_EQ(reads, c.reads);
  EXPECT_EQ(bench.Vendor(0xC3).size(), 5u);  // every byte went out, also after the failing one
  const Bytes sent = Wire("[68 10] [69 . .]");
  EXPECT_EQ(bench.I2c(), c.failFrom < 0 ? sent : Bytes(sent.begin(), sent.begin() + c.failFrom));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AcknowledgeRules,
    ::testing::Values(AckCase{"allAcknowledged", -1, 0, -1, STATUS_SUCCESS, {0x5A, 0x00}},
                      AckCase{"writeNotAcknowledged", 1, 7, -1, STATUS_DEVICE_BUSY, {0x5A, 0x00}},
                      AckCase{"readMoreNotAcknowledged", 3, 1, -1, STATUS_DEVICE_BUSY, {0x5A, 0x00}},
                      AckCase{"lastReadAcknowledged", 4, 0, -1, STATUS_DEVICE_BUSY, {0x5A, 0x00}},
                      // A request that never reached the bus is not an acknowledged
                      // byte, and a read of it yields the idle bus.
                      AckCase{"failedTransfers", -1, 0, 0, STATUS_DEVICE_BUSY, {0xFF, 0xFF}},
                      AckCase{"failedLastRead", -1, 0, 4, STATUS_DEVICE_BUSY, {0x5A, 0xFF}}));

TEST(Power, ReferenceCountSendsOnEveryTimeAndOffOnlyForTheLast) {
  HeadBench bench(0);  // CCD: settle time 1000 ms, code 2
  // Power on or off, the power request's value (-1: none), the count after.
  for (const auto& [on, power, countAfter] : std::vector<std::tuple<bool, int, LONG>>{
           {true, 1, 1}, {true, 1, 2}, {false, -1, 1}, {false, 0, 0}, {false, 0, -1}}) {
    SCOPED_TRACE(countAfter);
    bench.hw->Trigger();
    bench.Clear();
    const int64_t start = Now();
    bench.hw->SetCameraPower(on);
    const int64_t took = Now() - start;
    std::vector<std::pair<int, int>> expected = {{0xC8, 0x82}};  // the port byte with the untriggered bit
    if (power >= 0) expected.push_back({0xC4, power});
    EXPECT_EQ(bench.Requests(), expected);
    EXPECT_EQ(bench.hw->m_PowerCount, countAfter);
    EXPECT_EQ(bench.hw->m_Triggered, 0);
    EXPECT_GE(took, on ? 1000 * kMillisecond : 0);
    EXPECT_LT(took, (on ? 1010 : 10) * kMillisecond);
    const std::string line = "CUSBHardware::SetCameraPower(" + std::to_string(on) + ") state ";
    EXPECT_TRUE(Logged(line + std::to_string(countAfter + (on ? -1 : 1)) + "\n", 2));  // the count before
  }
  EXPECT_FALSE(bench.bridge().Powered());
}

// Maple commands: three bits, least significant first, on the clock (bit 3)
// and data (bit 2) lines of the port byte; bit 7 keeps the trigger state.
TEST(PortLines, CommandsGoOutBitByBitAndTriggerClearsTheUntriggeredBit) {
  HeadBench bench(5);
  bench.SetFormat(640, 480);  // code 1: base 0x81
  const std::vector<uint8_t> command2 = {0x89, 0x8D, 0x81, 0x81, 0x89, 0x81, 0x85, 0x8D, 0x81, 0x81, 0x89, 0x81};
  bench.Clear();
  bench.hw->SetI2CData(0x42, 0x1234, 0x02);  // device and register mean nothing here
  bench.hw->SetI2CData(0, 0, 0x0D);          // bit 3 is not sent
  bench.hw->SetI2CData(0, 0, 0x03);
  EXPECT_EQ(bench.Vendor(0xC8).size(), 36u);
  EXPECT_TRUE(Logged("CUSBHardware::PiximTool::SendBit Sending 89\n", 0));
  bench.Clear();
  bench.hw->Trigger();
  EXPECT_EQ(bench.Requests(), (std::vector<std::pair<int, int>>{{0xBB, 0}, {0xC8, 0x01}}));
  bench.hw->SendOSDCommand(0x02);
  bench.hw->SetCameraPower(TRUE);
  bench.hw->SendOSDCommand(0x02);
  bench.hw->SetCameraPower(FALSE);
  const auto& commands = bench.head.pixim->Commands();
  ASSERT_EQ(commands.size(), 5u);
  EXPECT_EQ(bench.head.pixim->Values(), (std::vector<uint8_t>{2, 5, 3, 2, 2}));
  EXPECT_EQ(commands[0].ports, command2);
  EXPECT_EQ(commands[1].ports,
            (std::vector<uint8_t>{0x89, 0x8D, 0x81, 0x85, 0x8D, 0x81, 0x81, 0x89, 0x81, 0x85, 0x8D, 0x81}));
  for (size_t i = 0; i < command2.size(); ++i) EXPECT_EQ(commands[3].ports[i], command2[i] & 0x7F) << i;
  EXPECT_EQ(commands[4].ports, command2);
  EXPECT_EQ(bench.head.pixim->Broken(), 0);
}

TEST(StatusBit, IsBitZeroOfReplyByteOne) {
  using Reply = std::vector<uint8_t>;  // empty: the request fails
  for (const auto& [reply, bit] : std::vector<std::pair<Reply, ULONG>>{{{0, 3, 0, 0}, 1}, {{0, 2, 0, 0}, 0}, {{}, 0}}) {
    HeadBench bench(0);
    bench.bridge().SetStatusBit(true);  // what a failed request must not leak
    if (reply.empty()) bench.bridge().FailRequest(0xC9);
    bench.bridge().onVendorIn = [&](auto&, uint8_t* data) { std::copy(reply.begin(), reply.end(), data); };
    EXPECT_EQ(bench.hw->GetStatusBit(), bit) << reply.size();
  }
}

TEST(SnapshotMode, SetsOrClearsBitEightOfRegister1EAndArmsTheStill) {
  HeadBench bench(1);
  bench.head.registers->Set(0x1E, 0x8142);
  bench.Clear();
  bench.hw->SetSnapshotMode(TRUE);
  bench.hw->SetSnapshotMode(FALSE);
  bench.hw->SetSnapshotMode(FALSE);
  const std::vector<emu::RegisterWrite> writes = {{0xBA, 0x1E, 0x8142}, {0xBA, 0x0B, 1}, {0xBA, 0x1E, 0x8042},
                                                  {0xBA, 0x1E, 0x8042}};
  EXPECT_EQ(bench.head.registers->Writes(), writes);
  // Read of 0x1E (5 bytes) and its write (4), the settle, then the write of 0x0B.
  const std::vector<emu::ControlRecord> bytes = bench.Vendor(0xC3);
  ASSERT_EQ(bytes.size(), 13u + 9u + 9u);
  EXPECT_GE(bytes[9].time - bytes[8].time, 500 * host::sched::kMicrosecond);
}

// Two callers on one head: the I2C messages of different threads never interleave.
TEST(Concurrency, AccessesOfTwoThreadsKeepTheirMessagesTogether) {
  HeadBench bench(4);  // Larch: every access is two messages through the relay
  const int kAccesses = 12;
  for (int i = 0; i < kAccesses; ++i) bench.head.relay->Set16(uint16_t(0x3000 + i), uint16_t(0x1000 + i));
  bench.Clear();
  std::vector<USHORT> read;
  {
    host::Thread writer("writer", [&] {
      for (int i = 0; i < kAccesses; ++i) bench.hw->SetI2CData(0x48, USHORT(i), USHORT(0x20 + i));
    });
    host::Thread reader("reader", [&] {
      for (int i = 0; i < kAccesses; ++i) read.push_back(bench.hw->GetI2CData(0, USHORT(0x3000 + i)));
    });
  }
  EXPECT_EQ(bench.head.relay->ProtocolErrors(), 0);  // a command whose value message never came
  ASSERT_EQ(read.size(), size_t(kAccesses));
  for (int i = 0; i < kAccesses; ++i) {
    EXPECT_EQ(bench.head.relay->Get8(0x48, uint8_t(i)), 0x20 + i) << i;
    EXPECT_EQ(read[i], 0x1000 + i) << i;
  }
  bool inMessage = false;
  for (const Byte& b : bench.I2c()) {
    EXPECT_FALSE(inMessage && (b.flags & emu::kI2cStart)) << "a start inside a message";
    inMessage = (b.flags & emu::kI2cStop) == 0;
  }
}

TEST(Concurrency, AnAccessWaitsForARunningTimingProgram) {
  HeadBench bench(2);  // Birch: the program sleeps between its accesses
  bench.SetFormat(1024, 768);
  bench.head.registers->Set(0xBA, 0x05, 0x4321);
  bench.Clear();
  USHORT value = 0;
  {
    host::Thread program("timing", [&] { bench.hw->SetupTiming(1600000); });
    host::Thread other("access", [&] {
      host::sched::RunFor(600 * kMillisecond);  // in the middle of the program
      value = bench.hw->GetI2CData(1, 0x05);
    });
  }
  EXPECT_EQ(value, 0x4321);
  const Bytes bytes = bench.I2c();  // the access comes after the program's last byte
  ASSERT_GE(bytes.size(), 5u);
  EXPECT_EQ(Bytes(bytes.end() - 5, bytes.end()), Wire("[BA 05] [BB . .]"));
}

}  // namespace
}  // namespace headtest
