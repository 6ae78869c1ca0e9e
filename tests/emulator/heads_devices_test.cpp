// The emulated heads on a bare I2C bus and port lines, where the driver's own
// tests do not reach: sequential register values, refused acknowledges,
// malformed relay traffic, broken port-line commands and the head of every
// model type. (Well-formed traffic is covered through the driver.)
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

TEST(PiximReceiver, OnlyCompleteCommandsCount) {
  struct Row {
    const char* name;
    std::vector<uint8_t> ports;
    std::vector<uint8_t> commands;
    long broken;
  };
  const std::vector<Row> rows = {
      // Port writes that are not commands (power, trigger) decode to nothing.
      {"plain port bytes", {0x81, 0x01, 0x83, 0x80}, {}, 0},
      // A start in the middle of a command abandons it.
      {"restarted",
       {0x89, 0x8D, 0x81, 0x85, 0x8D, 0x81, 0x89, 0x8D, 0x81, 0x81, 0x89, 0x81, 0x81, 0x89, 0x81, 0x85, 0x8D, 0x81},
       {4},
       1},
  };
  for (const Row& row : rows) {
    emu::PiximReceiver rx;
    for (uint8_t p : row.ports) rx.OnPort(p);
    EXPECT_EQ(rx.Values(), row.commands) << row.name;
    EXPECT_EQ(rx.Broken(), row.broken) << row.name;
  }
}

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
