// The bridge's I2C bus on its own: start, address, data, acknowledge and stop
// as request 0xC3 moves them, byte by byte.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <emu/i2c.h>

namespace {

using emu::kI2cAck;
using emu::kI2cData;
using emu::kI2cStart;
using emu::kI2cStop;

// An 8-bit register device that logs what reaches it.
class Device : public emu::I2cDevice {
 public:
  explicit Device(uint8_t address8) : address8_(address8) {}
  bool Address(uint8_t a) override {
    events += "A" + Hex(a) + " ";
    first_ = true;
    return (a & 0xFE) == address8_;
  }
  bool Write(uint8_t b) override {
    events += "W" + Hex(b) + " ";
    if (first_) pointer_ = b;
    else regs[pointer_++] = b;
    first_ = false;
    return true;
  }
  uint8_t Read(bool masterAck) override {
    events += masterAck ? "Ra " : "Rn ";
    return regs[pointer_++];
  }
  void Stop() override { events += "P "; }

  uint8_t regs[256] = {};
  std::string events;

 private:
  static std::string Hex(uint8_t v) {
    char s[3];
    snprintf(s, sizeof s, "%02X", v);
    return s;
  }
  uint8_t address8_;
  uint8_t pointer_ = 0;
  bool first_ = false;
};

struct Step {
  uint8_t flags;
  uint8_t byte;
  uint8_t sampled;
  bool acked;
};

struct Case {
  const char* name;
  std::vector<Step> steps;
  std::string events;  // what the device at 0x50 saw
};

TEST(I2cBus, MovesBytesAsTheFlagsSay) {
  const uint8_t S = kI2cStart | kI2cData, D = kI2cData, P = kI2cData | kI2cStop, RA = kI2cData | kI2cAck;
  const Case cases[] = {
      {"write message", {{S, 0xA0, 0xA0, true}, {D, 0x10, 0x10, true}, {P, 0xAB, 0xAB, true}}, "AA0 W10 WAB P "},
      {"read after a register write",
       {{S, 0xA0, 0xA0, true}, {P, 0x20, 0x20, true}, {S, 0xA1, 0xA1, true}, {RA, 0xFF, 0x5A, true},
        {P, 0xFF, 0x6B, false}},
       "AA0 W20 P AA1 Ra Rn P "},
      {"nobody at the address", {{S, 0x42, 0x42, false}, {P, 0x00, 0x00, false}}, ""},
      {"reading from nobody", {{S, 0x43, 0x43, false}, {RA, 0xFF, 0xFF, true}, {P, 0xFF, 0xFF, false}}, ""},
      {"repeated start ends the message", {{S, 0xA0, 0xA0, true}, {D, 0x20, 0x20, true}, {S, 0xA1, 0xA1, true},
                                           {P, 0xFF, 0x5A, false}},
       "AA0 W20 P AA1 Rn P "},
      {"data without a start", {{D, 0x10, 0x10, false}, {P, 0x11, 0x11, false}}, ""},
      {"start without data, then the address",
       {{kI2cStart, 0xFF, 0xFF, false}, {D, 0xA0, 0xA0, true}, {P, 0x30, 0x30, true}}, "AA0 W30 P "},
      {"master drives a zero bit during a read", {{S, 0xA1, 0xA1, true}, {P, 0xF0, 0x50, false}}, "AA1 Rn P "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    emu::I2cBus bus;
    auto device = std::make_shared<Device>(0xA0);
    device->regs[0x00] = 0x5A;
    device->regs[0x20] = 0x5A;
    device->regs[0x21] = 0x6B;
    device->regs[0x30] = 0x5A;
    bus.Attach(0xA0, device);
    for (size_t i = 0; i < c.steps.size(); ++i) {
      const emu::I2cByte b = bus.Transfer(c.steps[i].flags, c.steps[i].byte);
      EXPECT_EQ(b.sampled, c.steps[i].sampled) << "step " << i;
      EXPECT_EQ(b.acked, c.steps[i].acked) << "step " << i;
    }
    EXPECT_EQ(device->events, c.events);
    ASSERT_EQ(bus.Log().size(), c.steps.size());
    EXPECT_EQ(bus.Log().back().flags, c.steps.back().flags);
    EXPECT_FALSE(bus.InMessage());
  }
}

TEST(I2cBus, NakFaultRefusesChosenBytes) {
  const uint8_t S = kI2cStart | kI2cData, D = kI2cData, P = kI2cData | kI2cStop;
  emu::I2cBus bus;
  auto device = std::make_shared<Device>(0xA0);
  bus.Attach(0xA0, device);

  // The address twice refused: those messages reach nobody.
  bus.NakByte(0xA0, 2, /*addressOnly=*/true);
  for (bool expected : {false, false, true}) {
    EXPECT_EQ(bus.Transfer(S, 0xA0).acked, expected);
    EXPECT_EQ(bus.Transfer(P, 0xA0).acked, expected) << "the same byte as data is not an address";
  }
  EXPECT_EQ(device->events, "AA0 WA0 P ");

  // A data byte refused once: the device never sees it.
  device->events.clear();
  bus.NakByte(0x77, 1, false, /*dataOnly=*/true);
  EXPECT_TRUE(bus.Transfer(S, 0xA0).acked);
  EXPECT_TRUE(bus.Transfer(D, 0x01).acked);
  EXPECT_FALSE(bus.Transfer(D, 0x77).acked);
  EXPECT_TRUE(bus.Transfer(P, 0x77).acked);
  EXPECT_EQ(device->events, "AA0 W01 W77 P ");
}

TEST(I2cBus, DevicesAnswerAtTheirWriteAndReadAddresses) {
  emu::I2cBus bus;
  auto device = std::make_shared<Device>(0x70);
  bus.Attach(0x70, device);
  EXPECT_EQ(bus.DeviceAt(0x70), device.get());
  EXPECT_EQ(bus.DeviceAt(0x71), device.get());
  EXPECT_EQ(bus.DeviceAt(0x72), nullptr);
  EXPECT_TRUE(bus.Transfer(kI2cStart | kI2cData, 0x71).acked);
  bus.Detach(0x70);  // in the middle of a message
  EXPECT_EQ(bus.Transfer(kI2cData | kI2cStop, 0xFF).sampled, 0xFF);
  EXPECT_EQ(device->events, "A71 ");
}

}  // namespace
