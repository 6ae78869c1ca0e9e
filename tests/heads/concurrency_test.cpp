// Two callers on one head: register accesses and timing programs of different
// threads never interleave their I2C messages.
#include <gtest/gtest.h>

#include <vector>

#include "head_bench.h"

namespace headtest {
namespace {

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
    writer.Join();
    reader.Join();
  }

  EXPECT_EQ(bench.head.relay->ProtocolErrors(), 0);
  ASSERT_EQ(read.size(), size_t(kAccesses));
  for (int i = 0; i < kAccesses; ++i) {
    EXPECT_EQ(bench.head.relay->Get8(0x48, uint8_t(i)), 0x20 + i) << i;
    EXPECT_EQ(read[i], 0x1000 + i) << i;
  }
  // Every message ran from its start to its stop without a foreign byte.
  bool inMessage = false;
  for (const Byte& b : bench.I2c()) {
    if (b.flags & emu::kI2cStart) {
      EXPECT_FALSE(inMessage) << "a start inside a message";
    }
    inMessage = (b.flags & emu::kI2cStop) == 0;
  }
  // And the two threads really did take turns.
  const auto& accesses = bench.head.relay->Accesses();
  int switches = 0;
  for (size_t i = 1; i < accesses.size(); ++i) switches += accesses[i].kind != accesses[i - 1].kind;
  EXPECT_GT(switches, 1);
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
      host::sched::RunFor(600 * host::sched::kMillisecond);  // in the middle of the program
      value = bench.hw->GetI2CData(1, 0x05);
    });
    program.Join();
    other.Join();
  }
  EXPECT_EQ(value, 0x4321);
  // The other device's bytes lie entirely after the program's.
  const Bytes bytes = bench.I2c();
  size_t lastProgramByte = 0;
  size_t firstOtherByte = bytes.size();
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (!(bytes[i].flags & emu::kI2cStart)) continue;
    if ((bytes[i].value & 0xFE) == 0x7A) lastProgramByte = i;
    if ((bytes[i].value & 0xFE) == 0xBA && firstOtherByte == bytes.size()) firstOtherByte = i;
  }
  ASSERT_LT(firstOtherByte, bytes.size());
  EXPECT_GT(firstOtherByte, lastProgramByte);
  EXPECT_EQ(bench.head.registers->Get(0x7A, 0), 0xC000);
}

}  // namespace
}  // namespace headtest
