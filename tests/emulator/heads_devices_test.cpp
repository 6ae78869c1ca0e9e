// The emulated heads on a bare I2C bus and port lines: register files of every
// shape, refused acknowledges, the relay controller's commands and protocol
// errors, and the decoding of three-bit port-line commands.
#include <gtest/gtest.h>

#include <emu/heads.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using emu::I2cBus;

// Sends one write message and returns whether every byte was acknowledged.
bool WriteMessage(I2cBus& bus, const std::vector<uint8_t>& bytes) {
  bool acked = true;
  for (size_t i = 0; i < bytes.size(); ++i) {
    uint8_t flags = emu::kI2cData;
    if (i == 0) flags |= emu::kI2cStart;
    if (i + 1 == bytes.size()) flags |= emu::kI2cStop;
    acked = bus.Transfer(flags, bytes[i]).acked && acked;
  }
  return acked;
}

// Reads `count` bytes from `address8 | 1`; *addressAcked tells whether the
// device answered.
std::vector<uint8_t> ReadMessage(I2cBus& bus, uint8_t address8, int count, bool* addressAcked = nullptr) {
  const bool acked = bus.Transfer(emu::kI2cStart | emu::kI2cData, uint8_t(address8 | 1)).acked;
  if (addressAcked) *addressAcked = acked;
  std::vector<uint8_t> out;
  for (int i = 0; i < count; ++i) {
    const bool last = i + 1 == count;
    const uint8_t flags = last ? (emu::kI2cData | emu::kI2cStop) : (emu::kI2cData | emu::kI2cAck);
    out.push_back(bus.Transfer(flags, 0xFF).sampled);
  }
  return out;
}

struct ShapeCase {
  int registerBytes;
  int valueBytes;
  std::vector<uint8_t> writeMessage;  // after the address
  uint16_t reg;
  uint16_t value;
  std::vector<uint8_t> pointer;  // register bytes for the read-back
  std::vector<uint8_t> readBack;
};

class RegisterHeadShapes : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(RegisterHeadShapes, WriteStoresValueAndReadReturnsItHighByteFirst) {
  const ShapeCase& c = GetParam();
  I2cBus bus;
  auto head = std::make_shared<emu::RegisterHead>(0xB0, c.registerBytes, c.valueBytes);
  head->AttachTo(bus);

  std::vector<uint8_t> message = {0xB0};
  message.insert(message.end(), c.writeMessage.begin(), c.writeMessage.end());
  ASSERT_TRUE(WriteMessage(bus, message));
  EXPECT_EQ(head->Get(c.reg), c.value);
  ASSERT_EQ(head->Writes().size(), 1u);
  EXPECT_EQ(head->Writes()[0], (emu::RegisterWrite{0xB0, c.reg, c.value}));

  std::vector<uint8_t> pointer = {0xB0};
  pointer.insert(pointer.end(), c.pointer.begin(), c.pointer.end());
  ASSERT_TRUE(WriteMessage(bus, pointer));
  bool acked = false;
  EXPECT_EQ(ReadMessage(bus, 0xB0, int(c.readBack.size()), &acked), c.readBack);
  EXPECT_TRUE(acked);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, RegisterHeadShapes,
    ::testing::Values(ShapeCase{1, 1, {0x71, 0x5A}, 0x71, 0x5A, {0x71}, {0x5A}},
                      ShapeCase{1, 2, {0x09, 0x04, 0x1B}, 0x09, 0x041B, {0x09}, {0x04, 0x1B}},
                      ShapeCase{2, 1, {0x30, 0x12, 0x7E}, 0x3012, 0x7E, {0x30, 0x12}, {0x7E}},
                      ShapeCase{2, 2, {0x30, 0x12, 0xAB, 0xCD}, 0x3012, 0xABCD, {0x30, 0x12}, {0xAB, 0xCD}}));

TEST(RegisterHead, SequentialValuesAdvanceThePointerAndAHalfValueIsDropped) {
  I2cBus bus;
  auto head = std::make_shared<emu::RegisterHead>(0xBA, 1, 2);
  head->AttachTo(bus);
  ASSERT_TRUE(WriteMessage(bus, {0xBA, 0x05, 0x01, 0x02, 0x03, 0x04, 0x99}));
  EXPECT_EQ(head->Get(0x05), 0x0102);
  EXPECT_EQ(head->Get(0x06), 0x0304);
  EXPECT_EQ(head->Get(0x07), 0);  // the lone high byte 0x99 never completed a value
  EXPECT_EQ(head->Writes().size(), 2u);
}

TEST(RegisterHead, RefusedAcknowledgesFailTheNextBytesThenTheHeadAnswersAgain) {
  I2cBus bus;
  auto head = std::make_shared<emu::RegisterHead>(0x68, 1, 1);
  head->AttachTo(bus);
  head->RefuseAcks(1);
  // The refused address leaves the whole message unanswered and unstored.
  EXPECT_FALSE(WriteMessage(bus, {0x68, 0x10, 0x22}));
  EXPECT_EQ(head->Get(0x10), 0);
  EXPECT_EQ(head->Refused(), 1);
  EXPECT_TRUE(WriteMessage(bus, {0x68, 0x10, 0x22}));
  EXPECT_EQ(head->Get(0x10), 0x22);
}

TEST(RegisterHead, BirchPortsKeepSeparateFilesAndWidths) {
  I2cBus bus;
  emu::EmulatedHead birch = emu::MakeHead(2, bus);
  ASSERT_TRUE(birch.registers);
  ASSERT_TRUE(WriteMessage(bus, {0x7A, 0x0C, 0x12, 0x34}));
  ASSERT_TRUE(WriteMessage(bus, {0xBA, 0x0C, 0x56, 0x78}));
  ASSERT_TRUE(WriteMessage(bus, {0xAC, 0x0C, 0x9A}));
  EXPECT_EQ(birch.registers->Get(0x7A, 0x0C), 0x1234);
  EXPECT_EQ(birch.registers->Get(0xBA, 0x0C), 0x5678);
  EXPECT_EQ(birch.registers->Get(0xAC, 0x0C), 0x9A);
  bool acked = true;
  ReadMessage(bus, 0xB0, 1, &acked);
  EXPECT_FALSE(acked) << "no device of the Birch head lives at 0xB0";
}

// ---------------------------------------------------------------------------
// Relay controller

struct RelayCase {
  const char* name;
  std::vector<std::vector<uint8_t>> writes;  // write messages, in order
  int readBytes;                             // then one read of this many bytes (0: none)
  std::vector<uint8_t> readBack;
  emu::RelayController::Access access;
};

class RelayCommands : public ::testing::TestWithParam<RelayCase> {};

TEST_P(RelayCommands, ForwardToTheDeviceBehindTheController) {
  const RelayCase& c = GetParam();
  I2cBus bus;
  auto relay = std::make_shared<emu::RelayController>();
  relay->AttachTo(bus);
  relay->Set8(0x48, 0x05, 0x66);
  relay->Set16(0x3012, 0xBEEF);
  relay->SetBank(5, 0x21, 0x77);

  for (const auto& m : c.writes) ASSERT_TRUE(WriteMessage(bus, m)) << c.name;
  if (c.readBytes > 0) {
    EXPECT_EQ(ReadMessage(bus, 0x70, c.readBytes), c.readBack) << c.name;
  }
  EXPECT_EQ(relay->ProtocolErrors(), 0) << c.name;
  ASSERT_EQ(relay->Accesses().size(), 1u) << c.name;
  EXPECT_EQ(relay->Accesses()[0], c.access) << c.name;
}

using Kind = emu::RelayController::Kind;
INSTANTIATE_TEST_SUITE_P(
    Commands, RelayCommands,
    ::testing::Values(
        RelayCase{"write8", {{0x70, 0x00, 0x48, 0x05}, {0x70, 0x34}}, 0, {}, {Kind::kWrite8, 0x48, 0x05, 0x34}},
        RelayCase{"read8", {{0x70, 0x01, 0x49, 0x05}}, 1, {0x66}, {Kind::kRead8, 0x48, 0x05, 0x66}},
        RelayCase{"write16", {{0x70, 0x02, 0x30, 0x12}, {0x70, 0x12, 0x34}}, 0, {}, {Kind::kWrite16, 0xBA, 0x3012, 0x1234}},
        RelayCase{"read16", {{0x70, 0x03, 0x30, 0x12}}, 2, {0xBE, 0xEF}, {Kind::kRead16, 0xBA, 0x3012, 0xBEEF}},
        RelayCase{"bankWrite", {{0x70, 0x80, 0x05, 0x21}, {0x70, 0x42}}, 0, {}, {Kind::kBankWrite, 5, 0x21, 0x42}},
        RelayCase{"bankRead", {{0x70, 0x81, 0x05, 0x21}}, 1, {0x77}, {Kind::kBankRead, 5, 0x21, 0x77}}),
    [](const ::testing::TestParamInfo<RelayCase>& info) { return std::string(info.param.name); });

TEST(RelayController, MalformedTrafficIsRefusedAndCounted) {
  I2cBus bus;
  auto relay = std::make_shared<emu::RelayController>();
  relay->AttachTo(bus);

  EXPECT_FALSE(WriteMessage(bus, {0x70, 0x44, 0x00, 0x00})) << "unknown command";
  EXPECT_FALSE(WriteMessage(bus, {0x70, 0x80, 0x08, 0x00})) << "bank number above 7";
  bool acked = true;
  ReadMessage(bus, 0x70, 1, &acked);
  EXPECT_FALSE(acked) << "a read with no read command before it";
  EXPECT_TRUE(WriteMessage(bus, {0x70, 0x00, 0x48}));  // cut short: no target armed
  EXPECT_EQ(relay->ProtocolErrors(), 4);
  EXPECT_TRUE(relay->Accesses().empty());
  EXPECT_EQ(relay->Get8(0x48, 0x00), 0);
}

TEST(RelayController, AnInterleavedCommandRedirectsTheValueAndIsDetectable) {
  // What two unsynchronised callers do to the controller: the second command
  // replaces the first target, so the first caller's value lands elsewhere.
  I2cBus bus;
  auto relay = std::make_shared<emu::RelayController>();
  relay->AttachTo(bus);
  ASSERT_TRUE(WriteMessage(bus, {0x70, 0x01, 0x49, 0x05}));  // caller A: read 0x48/0x05
  ASSERT_TRUE(WriteMessage(bus, {0x70, 0x00, 0x30, 0x07}));  // caller B: write 0x30/0x07
  ASSERT_TRUE(WriteMessage(bus, {0x70, 0x11}));
  EXPECT_EQ(relay->ProtocolErrors(), 1);  // A's read was never fetched
}

// ---------------------------------------------------------------------------
// Port-line commands

struct PiximCase {
  const char* name;
  std::vector<uint8_t> ports;
  std::vector<uint8_t> commands;
  long broken;
};

class PiximDecoding : public ::testing::TestWithParam<PiximCase> {};

TEST_P(PiximDecoding, DecodesStartAndThreeBitsLeastSignificantFirst) {
  const PiximCase& c = GetParam();
  emu::PiximReceiver rx;
  for (uint8_t p : c.ports) rx.OnPort(p);
  EXPECT_EQ(rx.Values(), c.commands) << c.name;
  EXPECT_EQ(rx.Broken(), c.broken) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, PiximDecoding,
    ::testing::Values(
        PiximCase{"command2", {0x89, 0x8D, 0x81, 0x81, 0x89, 0x81, 0x85, 0x8D, 0x81, 0x81, 0x89, 0x81}, {2}, 0},
        PiximCase{"command5NoUntriggeredBit",
                  {0x09, 0x0D, 0x01, 0x05, 0x0D, 0x01, 0x01, 0x09, 0x01, 0x05, 0x0D, 0x01},
                  {5},
                  0},
        // Port writes that are not commands (power, trigger) decode to nothing.
        PiximCase{"plainPortBytes", {0x81, 0x01, 0x83, 0x80}, {}, 0},
        // A start in the middle of a command abandons it.
        PiximCase{"restarted",
                  {0x89, 0x8D, 0x81, 0x85, 0x8D, 0x81, 0x89, 0x8D, 0x81, 0x81, 0x89, 0x81, 0x81, 0x89, 0x81, 0x85,
                   0x8D, 0x81},
                  {4},
                  1}),
    [](const ::testing::TestParamInfo<PiximCase>& info) { return std::string(info.param.name); });

TEST(EmulatedHeads, EachModelTypeAnswersAtItsAddresses) {
  struct Row {
    uint32_t type;
    std::vector<uint8_t> answering;
  };
  const std::vector<Row> rows = {
      {0, {0x70}},       {1, {0xBA}}, {2, {0x7A, 0xBA, 0xA8, 0xAA, 0xAC, 0xAE}}, {3, {0x68}}, {4, {0x70}},
      {5, {}},           {6, {0x70}}, {7, {0x42}},                               {8, {0xB0}}, {42, {}},
  };
  const std::vector<uint8_t> probe = {0x42, 0x68, 0x70, 0x7A, 0xA8, 0xAA, 0xAC, 0xAE, 0xB0, 0xBA};
  for (const Row& row : rows) {
    I2cBus bus;
    emu::EmulatedHead head = emu::MakeHead(row.type, bus);
    EXPECT_EQ(bool(head.pixim), row.type == 5) << row.type;
    for (uint8_t a : probe) {
      const bool expected = std::find(row.answering.begin(), row.answering.end(), a) != row.answering.end();
      EXPECT_EQ(bus.DeviceAt(a) != nullptr, expected) << "type " << row.type << " address " << int(a);
    }
  }
}

}  // namespace
