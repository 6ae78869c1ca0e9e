// The emulated heads where the driver's own tests do not reach (sequential values, refused acknowledges, the head
// of each model type, malformed relay traffic, broken port-line commands); the profile of every model-table row.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include <emu/bridge.h>
#include <emu/heads.h>
#include <host/api/host.h>

#include "driver/device/model_table.h"

namespace {

using emu::I2cBus;

// Sends one write message; true when every byte was acknowledged.
bool WriteMessage(I2cBus& bus, const std::vector<uint8_t>& bytes) {
  bool acked = true;
  for (size_t i = 0; i < bytes.size(); ++i) {
    const int flags = emu::kI2cData | (i == 0 ? emu::kI2cStart : 0) | (i + 1 == bytes.size() ? emu::kI2cStop : 0);
    acked = bus.Transfer(uint8_t(flags), bytes[i]).acked && acked;
  }
  return acked;
}

TEST(RegisterHead, SequentialValuesAdvanceAHalfValueIsDroppedAndRefusedAcksFailTheMessage) {
  I2cBus bus;
  auto head = std::make_shared<emu::RegisterHead>(0xBA, 1, 2);
  head->AttachTo(bus);
  ASSERT_TRUE(WriteMessage(bus, {0xBA, 0x05, 0x01, 0x02, 0x03, 0x04, 0x99}));
  EXPECT_EQ(std::make_tuple(head->Get(0x05), head->Get(0x06), head->Get(0x07)), std::make_tuple(0x0102, 0x0304, 0));
  EXPECT_EQ(head->Writes().size(), 2u) << "the lone high byte 0x99 never completed a value";
  // A refused address leaves the whole message unanswered; then the head answers again.
  head->RefuseAcks(1);
  EXPECT_FALSE(WriteMessage(bus, {0xBA, 0x10, 0x22, 0x33}));
  EXPECT_EQ(std::make_tuple(head->Get(0x10), head->Refused()), std::make_tuple(0, 1L));
  EXPECT_TRUE(WriteMessage(bus, {0xBA, 0x10, 0x22, 0x33}));
  EXPECT_EQ(head->Get(0x10), 0x2233);
}

// The head of each model type answers at its addresses; Birch keeps a file and a value width per port.
TEST(EmulatedHeads, EachModelTypeAnswersAtItsAddresses) {
  const std::vector<std::vector<uint8_t>> answering = {
      {0x70}, {0xBA}, {0x7A, 0xBA, 0xA8, 0xAA, 0xAC, 0xAE}, {0x68}, {0x70}, {}, {0x70}, {0x42}, {0xB0}, {}};
  for (uint32_t type = 0; type < answering.size(); ++type) {
    I2cBus bus;
    emu::EmulatedHead head = emu::MakeHead(type, bus);  // type 9: none
    EXPECT_EQ(bool(head.pixim), type == 5) << type;
    for (uint8_t a : {0x42, 0x68, 0x70, 0x7A, 0xA8, 0xAA, 0xAC, 0xAE, 0xB0, 0xBA})
      EXPECT_EQ(bus.DeviceAt(a) != nullptr, std::count(answering[type].begin(), answering[type].end(), a) == 1)
          << "type " << type << " address " << int(a);
  }
  I2cBus bus;
  emu::EmulatedHead birch = emu::MakeHead(2, bus);
  ASSERT_TRUE(WriteMessage(bus, {0x7A, 0x0C, 0x12, 0x34}));
  ASSERT_TRUE(WriteMessage(bus, {0xBA, 0x0C, 0x56, 0x78}));
  ASSERT_TRUE(WriteMessage(bus, {0xAC, 0x0C, 0x9A}));
  EXPECT_EQ(std::make_tuple(birch.registers->Get(0x7A, 0x0C), birch.registers->Get(0xBA, 0x0C),
                            birch.registers->Get(0xAC, 0x0C)),
            std::make_tuple(0x1234, 0x5678, 0x9A));
}

TEST(RelayController, MalformedOrInterleavedTrafficIsRefusedAndCounted) {
  I2cBus bus;
  auto relay = std::make_shared<emu::RelayController>();
  relay->AttachTo(bus);
  EXPECT_FALSE(WriteMessage(bus, {0x70, 0x44, 0x00, 0x00})) << "unknown command";
  EXPECT_FALSE(WriteMessage(bus, {0x70, 0x80, 0x08, 0x00})) << "bank number above 7";
  EXPECT_FALSE(bus.Transfer(emu::kI2cStart | emu::kI2cData, 0x71).acked) << "a read with no read command before it";
  bus.Transfer(emu::kI2cData | emu::kI2cStop, 0xFF);
  EXPECT_TRUE(WriteMessage(bus, {0x70, 0x00, 0x48}));  // cut short: no target armed
  EXPECT_EQ(relay->ProtocolErrors(), 4);
  EXPECT_EQ(std::make_tuple(relay->Accesses().size(), relay->Get8(0x48, 0x00)), std::make_tuple(0u, 0));
  // Interleaved callers: the second command replaces the first target; the first read is never fetched.
  ASSERT_TRUE(WriteMessage(bus, {0x70, 0x01, 0x49, 0x05}));
  ASSERT_TRUE(WriteMessage(bus, {0x70, 0x00, 0x30, 0x07}));
  ASSERT_TRUE(WriteMessage(bus, {0x70, 0x11}));
  EXPECT_EQ(relay->ProtocolErrors(), 5);
}

TEST(PiximReceiver, OnlyCompleteCommandsCount) {
  emu::PiximReceiver rx;
  for (uint8_t p : {0x81, 0x01, 0x83, 0x80}) rx.OnPort(p);  // power and trigger bits: no command
  EXPECT_TRUE(rx.Values().empty());
  // A start in the middle of a command abandons it.
  for (uint8_t p :
       {0x89, 0x8D, 0x81, 0x85, 0x8D, 0x81, 0x89, 0x8D, 0x81, 0x81, 0x89, 0x81, 0x81, 0x89, 0x81, 0x85, 0x8D, 0x81})
    rx.OnPort(p);
  EXPECT_EQ(std::make_tuple(rx.Values(), rx.Broken()), std::make_tuple(std::vector<uint8_t>{4}, 1L));
}

TEST(Profiles, OnePerModelTableRowInItsOrderFoundByVidPidAndName) {
  size_t rows = 0;
  for (const ModelTableEntry* row = kModelTable; row->Key != 0; ++row, ++rows) {
    ASSERT_LT(rows, emu::Profiles().size());
    const emu::Profile& p = emu::Profiles()[rows];
    SCOPED_TRACE(p.name);
    EXPECT_EQ(std::make_tuple(ULONG(p.VidPid()), ULONG(p.modelType), ULONG(p.modelFlags)),
              std::make_tuple(row->Key, row->Type, row->Flags));
    EXPECT_EQ(std::string(p.name).rfind(emu::HeadName(p.modelType), 0), 0u) << "named after its head";
    EXPECT_EQ(emu::FindProfile(p.vid, p.pid), &p);
    EXPECT_EQ(emu::FindProfile(std::string_view(p.name)), &p) << "names are unique";
    char vidPid[16];
    snprintf(vidPid, sizeof vidPid, "%04X:%04x", p.vid, p.pid);
    EXPECT_EQ(emu::FindProfile(std::string_view(vidPid)), &p);
    const std::vector<uint8_t> d = emu::BuildDeviceDescriptor(p);
    ASSERT_EQ(d.size(), 18u);
    EXPECT_EQ(std::make_tuple(d[8] | d[9] << 8, d[10] | d[11] << 8), std::make_tuple(int(p.vid), int(p.pid)));
  }
  EXPECT_EQ(emu::Profiles().size(), rows);
  for (const char* text : {"2e4c:9999", "larch", "2e4c:00140"})
    EXPECT_EQ(emu::FindProfile(std::string_view(text)), nullptr);
}

}  // namespace
