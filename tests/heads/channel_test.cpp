// The I2C and control channel through the bridge: acknowledge rules of single
// bytes, the power reference count with its settle wait, trigger and port
// byte, the status bit, commands on the port lines and the snapshot register.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "head_bench.h"

namespace headtest {
namespace {

using host::sched::kMillisecond;
using host::sched::Now;

constexpr uint8_t kCedar = 0x68;  // a head that acknowledges every byte

// ---------------------------------------------------------------------------
// Acknowledge rules

struct Step {
  bool read;
  uint8_t flags;
  uint8_t byte;  // written byte (writes)
};

struct AckCase {
  const char* name;
  // Rewrites reply byte 2 of the n-th I2C request (-1: none) to this level.
  int forceAckOf;
  uint8_t forcedLevel;
  bool failTransfers;  // the bridge stalls every I2C request
  std::vector<Step> steps;
  NTSTATUS status;
  std::vector<uint8_t> reads;  // values returned by the reads, in order
};

class AcknowledgeRules : public ::testing::TestWithParam<AckCase> {};

TEST_P(AcknowledgeRules, WrongLevelMarksTheToolBusyAndTheMessageGoesOn) {
  const AckCase& c = GetParam();
  HeadBench bench(3);
  bench.head.registers->Set(0x10, 0x5A);
  int seen = 0;
  bench.filter().onVendorIn = [&](const host::usb::Setup& setup, uint8_t* reply) {
    if (setup.bRequest == 0xC3 && seen++ == c.forceAckOf) reply[2] = c.forcedLevel;
  };
  if (c.failTransfers) bench.bridge().FailRequest(0xC3, -1);
  bench.Clear();

  CUSBHardware::I2CTool tool(bench.hw);
  std::vector<uint8_t> reads;
  Bytes sent;
  for (const Step& s : c.steps) {
    if (s.read) {
      reads.push_back(tool.Read(s.flags));
    } else {
      tool.Write(s.flags, s.byte);
    }
    sent.push_back({s.flags, s.read ? uint8_t(0xFF) : s.byte});
  }
  EXPECT_EQ(tool.status, c.status) << c.name;
  EXPECT_EQ(reads, c.reads) << c.name;
  // Every byte of the message went out, also after the failing one.
  EXPECT_EQ(bench.Vendor(0xC3).size(), c.steps.size()) << c.name;
  if (!c.failTransfers) {
    EXPECT_EQ(bench.I2c(), sent) << c.name;
  }
}

const std::vector<Step> kRegisterRead = {
    {false, 0x03, kCedar}, {false, 0x06, 0x10}, {false, 0x03, kCedar | 1}, {true, 0x0A, 0}, {true, 0x06, 0}};

INSTANTIATE_TEST_SUITE_P(
    Cases, AcknowledgeRules,
    ::testing::Values(
        AckCase{"allAcknowledged", -1, 0, false, kRegisterRead, STATUS_SUCCESS, {0x5A, 0x00}},
        AckCase{"absentDevice",
                -1,
                0,
                false,
                {{false, 0x03, 0x50}, {false, 0x02, 0x10}, {false, 0x06, 0x20}},
                STATUS_DEVICE_BUSY,
                {}},
        AckCase{"readMoreNotAcknowledged", 3, 1, false, kRegisterRead, STATUS_DEVICE_BUSY, {0x5A, 0x00}},
        AckCase{"lastReadAcknowledged", 4, 0, false, kRegisterRead, STATUS_DEVICE_BUSY, {0x5A, 0x00}},
        AckCase{"writeNotAcknowledged", 1, 7, false, kRegisterRead, STATUS_DEVICE_BUSY, {0x5A, 0x00}},
        // A request that never reached the bus is not an acknowledged byte,
        // and a read of it yields the idle bus.
        AckCase{"failedTransfers", -1, 0, true, kRegisterRead, STATUS_DEVICE_BUSY, {0xFF, 0xFF}},
        AckCase{"failedLastRead", -1, 0, true, {{true, 0x06, 0}}, STATUS_DEVICE_BUSY, {0xFF}}),
    [](const ::testing::TestParamInfo<AckCase>& info) { return std::string(info.param.name); });

TEST(Channel, RemovedDeviceSendsNothingAndABirchReadDoesNotRetry) {
  HeadBench bench(2);
  bench.Clear();
  bench.hw->m_Removed = TRUE;
  const int64_t start = Now();
  bench.hw->GetI2CData(0, 0x20);
  bench.hw->SetI2CData(0, 0x20, 1);
  EXPECT_TRUE(bench.Vendor().empty());
  EXPECT_TRUE(bench.I2c().empty());
  EXPECT_TRUE(LogLines("retry").empty());
  EXPECT_LT(Now() - start, 10 * kMillisecond);
}

// ---------------------------------------------------------------------------
// Power

struct PortOrPower {
  uint8_t code;
  uint16_t value;
  bool operator==(const PortOrPower& o) const { return code == o.code && value == o.value; }
};
void PrintTo(const PortOrPower& r, std::ostream* os) { *os << std::hex << int(r.code) << "/" << r.value; }

std::vector<PortOrPower> PowerTraffic(HeadBench& bench) {
  std::vector<PortOrPower> out;
  for (const emu::ControlRecord& r : bench.Vendor()) out.push_back({r.setup.bRequest, r.setup.wValue});
  return out;
}

struct PowerStep {
  bool on;
  std::vector<PortOrPower> requests;
  LONG countAfter;
  bool waits;
};

TEST(Power, ReferenceCountSendsOnEveryTimeAndOffOnlyForTheLast) {
  HeadBench bench(0);  // CCD: capture-mode code 2 before any format, settle time 1000 ms
  const std::vector<PowerStep> steps = {
      {true, {{0xC8, 0x82}, {0xC4, 1}}, 1, true},
      {true, {{0xC8, 0x82}, {0xC4, 1}}, 2, true},
      {false, {{0xC8, 0x82}}, 1, false},
      {false, {{0xC8, 0x82}, {0xC4, 0}}, 0, false},
      // One off too many still switches the head off and leaves the count below 0.
      {false, {{0xC8, 0x82}, {0xC4, 0}}, -1, false},
  };
  int index = 0;
  for (const PowerStep& s : steps) {
    bench.Clear();
    const int64_t start = Now();
    bench.hw->SetCameraPower(s.on);
    const int64_t took = Now() - start;
    EXPECT_EQ(PowerTraffic(bench), s.requests) << "step " << index;
    EXPECT_EQ(bench.hw->m_PowerCount, s.countAfter) << "step " << index;
    if (s.waits) {
      EXPECT_GE(took, 1000 * kMillisecond) << "step " << index;
      EXPECT_LT(took, 1010 * kMillisecond) << "step " << index;
    } else {
      EXPECT_LT(took, 10 * kMillisecond) << "step " << index;
    }
    EXPECT_TRUE(Logged("CUSBHardware::SetCameraPower(" + std::to_string(s.on ? 1 : 0) + ") state " +
                           std::to_string(s.countAfter - (s.on ? 1 : -1)) + "\n",
                       2))
        << "step " << index;
    ++index;
  }
  EXPECT_FALSE(bench.bridge().Powered());
}

TEST(Power, EveryCallRestoresTheUntriggeredBit) {
  HeadBench bench(0);
  bench.SetFormat(640, 480);  // code 1
  bench.hw->SetCameraPower(TRUE);
  bench.hw->SetCameraPower(TRUE);
  bench.hw->Trigger();
  EXPECT_EQ(bench.bridge().PortByte(), 0x01);
  EXPECT_EQ(bench.hw->m_Triggered, 1);
  bench.hw->SetCameraPower(FALSE);  // the count stays above 0
  EXPECT_EQ(bench.bridge().PortByte(), 0x81);
  EXPECT_EQ(bench.hw->m_Triggered, 0);
  EXPECT_TRUE(bench.bridge().Powered());
  bench.hw->SetCameraPower(FALSE);
}

// ---------------------------------------------------------------------------
// Trigger and commands on the port lines

TEST(PortLines, TriggerClearsTheUntriggeredBitForLaterCommands) {
  HeadBench bench(5);  // Maple
  bench.SetFormat(640, 480);  // code 1
  bench.Clear();
  bench.hw->Trigger();
  ASSERT_EQ(PowerTraffic(bench), (std::vector<PortOrPower>{{0xBB, 0}, {0xC8, 0x01}}));

  bench.hw->SendOSDCommand(0x02);
  ASSERT_EQ(bench.head.pixim->Commands().size(), 1u);
  const std::vector<uint8_t> triggered = {0x09, 0x0D, 0x01, 0x01, 0x09, 0x01, 0x05, 0x0D, 0x01, 0x01, 0x09, 0x01};
  EXPECT_EQ(bench.head.pixim->Commands()[0].ports, triggered);

  bench.hw->SetCameraPower(TRUE);
  bench.hw->SendOSDCommand(0x02);
  ASSERT_EQ(bench.head.pixim->Commands().size(), 2u);
  for (uint8_t port : bench.head.pixim->Commands()[1].ports) EXPECT_EQ(port & 0x80, 0x80);
  bench.hw->SetCameraPower(FALSE);
}

struct CommandCase {
  uint16_t value;
  uint8_t decoded;
  std::vector<uint8_t> ports;  // empty: not compared
};

TEST(PortLines, CommandsGoOutAsThreeBitsLeastSignificantFirst) {
  const std::vector<CommandCase> cases = {
      {0x02, 2, {0x89, 0x8D, 0x81, 0x81, 0x89, 0x81, 0x85, 0x8D, 0x81, 0x81, 0x89, 0x81}},
      {0x0D, 5, {0x89, 0x8D, 0x81, 0x85, 0x8D, 0x81, 0x81, 0x89, 0x81, 0x85, 0x8D, 0x81}},  // bit 3 not sent
      {0x00, 0, {}},
      {0xFFFF, 7, {}},
  };
  HeadBench bench(5);
  bench.SetFormat(640, 480);  // base 0x81: code 1, untriggered
  for (const CommandCase& c : cases) {
    bench.Clear();
    bench.head.pixim->Clear();
    bench.hw->SetI2CData(0x42, 0x1234, c.value);  // device and register mean nothing here
    EXPECT_EQ(bench.head.pixim->Values(), std::vector<uint8_t>{c.decoded}) << c.value;
    EXPECT_EQ(bench.Vendor(0xC8).size(), 12u) << c.value;
    if (!c.ports.empty()) {
      EXPECT_EQ(bench.head.pixim->PortBytes(), c.ports) << c.value;
    }
    EXPECT_EQ(LogLines("CUSBHardware::PiximTool::SendBit Sending ").size(), 12u);
    EXPECT_TRUE(bench.I2c().empty());
  }
  EXPECT_EQ(bench.head.pixim->Broken(), 0);
  EXPECT_EQ(bench.hw->GetI2CData(0, 0), 0xFFFF);
}

// ---------------------------------------------------------------------------
// Status bit

struct StatusCase {
  const char* name;
  std::vector<uint8_t> reply;  // empty: the request fails
  ULONG bit;
};

TEST(StatusBit, IsBitZeroOfReplyByteOne) {
  const std::vector<StatusCase> cases = {
      {"bit set with a neighbour", {0x00, 0x03, 0x00, 0x00}, 1},
      {"neighbour only", {0x00, 0x02, 0x00, 0x00}, 0},
      {"noise around", {0xFF, 0xFE, 0xFF, 0xFF}, 0},
      {"failed request", {}, 0},
  };
  for (const StatusCase& c : cases) {
    HeadBench bench(0);
    bench.bridge().SetStatusBit(true);  // what a failed request must not leak
    if (c.reply.empty()) {
      bench.bridge().FailRequest(0xC9);
    } else {
      bench.filter().onVendorIn = [&](const host::usb::Setup& setup, uint8_t* reply) {
        if (setup.bRequest == 0xC9) std::copy(c.reply.begin(), c.reply.end(), reply);
      };
    }
    EXPECT_EQ(bench.hw->GetStatusBit(), c.bit) << c.name;
  }
}

// ---------------------------------------------------------------------------
// Snapshot mode: read-modify-write of register 0x1E

struct SnapshotCase {
  bool on;
  uint16_t before;
  uint16_t after;
  std::vector<emu::RegisterWrite> writes;
};

TEST(SnapshotMode, TogglesBitEightAndArmsTheStill) {
  const std::vector<SnapshotCase> cases = {
      {true, 0x8042, 0x8142, {{0xBA, 0x1E, 0x8142}, {0xBA, 0x0B, 1}}},
      {true, 0x0100, 0x0100, {{0xBA, 0x1E, 0x0100}, {0xBA, 0x0B, 1}}},
      {false, 0x8142, 0x8042, {{0xBA, 0x1E, 0x8042}}},
      {false, 0xFFFF, 0xFEFF, {{0xBA, 0x1E, 0xFEFF}}},
  };
  for (const SnapshotCase& c : cases) {
    HeadBench bench(1);
    bench.head.registers->Set(0x1E, c.before);
    bench.Clear();
    bench.hw->SetSnapshotMode(c.on);
    EXPECT_EQ(bench.head.registers->Get(0x1E), c.after);
    EXPECT_EQ(bench.head.registers->Writes(), c.writes);
    const std::vector<emu::ControlRecord> bytes = bench.Vendor(0xC3);
    // Read of 0x1E (5 bytes), its write (4), then the write of 0x0B (4).
    ASSERT_EQ(bytes.size(), c.on ? 13u : 9u);
    if (c.on) {
      EXPECT_GE(bytes[9].time - bytes[8].time, 500 * host::sched::kMicrosecond) << "settle before arming";
    }
  }
}

}  // namespace
}  // namespace headtest
