// The USBD library with well-formed and hostile descriptor sets. Each set
// lives in a pool block of exactly its size, so AddressSanitizer reports any
// read past the bytes the library was given.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include <host/api/host.h>
#include <host/usb.h>

#include "bus/scripted_model.h"

namespace bustest {
namespace {

// Offsets in ScriptedConfiguration(): configuration 0, interface 0/0 at 9
// (endpoints 18, 25), interface 0/1 at 32 (endpoints 41, 48), a class
// descriptor at 55, interface 1/0 at 60 (endpoint 69); 76 bytes.
constexpr long kIf00 = 9, kIf01 = 32, kIf10 = 60, kEndpoint = 18, kTotal = 76;

// A descriptor set copied into a pool block of exactly its size.
class PoolSet {
 public:
  explicit PoolSet(const std::vector<uint8_t>& bytes) : size_(bytes.size()) {
    block_ = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, bytes.size(), host::pool::MakeTag("Test")));
    memcpy(block_, bytes.data(), bytes.size());
  }
  ~PoolSet() { ExFreePool(block_); }
  PUSB_CONFIGURATION_DESCRIPTOR cfg() const { return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(block_); }
  uint8_t* at(long offset) const { return block_ + offset; }
  long OffsetOf(const void* p) const { return p == nullptr ? -1 : long(static_cast<const uint8_t*>(p) - block_); }
  long Find(long number, long alternate, long cls = -1, long sub = -1, long proto = -1, long start = 0) const {
    return OffsetOf(USBD_ParseConfigurationDescriptorEx(cfg(), at(start), number, alternate, cls, sub, proto));
  }
  long FindType(long type, ULONG total, long start = 0) const {
    return OffsetOf(USBD_ParseDescriptors(block_, total, at(start), type));
  }
  size_t size() const { return size_; }

 private:
  uint8_t* block_;
  size_t size_;
};

std::vector<uint8_t> Patched(std::initializer_list<std::pair<size_t, uint8_t>> patches, size_t cut = 0) {
  std::vector<uint8_t> set = ScriptedConfiguration();
  for (const auto& [at, value] : patches) set[at] = value;
  if (cut != 0) set.resize(cut);
  return set;
}

TEST(Usbd, ParseFindsInterfacesByEveryCriterion) {
  PoolSet set(ScriptedConfiguration());
  struct Case {
    long number, alternate, cls, sub, proto, start;
    long expected;
  };
  const Case cases[] = {
      {0, 0, -1, -1, -1, 0, kIf00},     {0, 1, -1, -1, -1, 0, kIf01},     {1, 0, -1, -1, -1, 0, kIf10},
      {-1, -1, 3, -1, -1, 0, kIf10},    {-1, -1, 0xFF, 1, 2, 0, kIf00},   {0, -1, -1, -1, -1, 0, kIf00},
      {2, 0, -1, -1, -1, 0, -1},        {0, 0, 0x12, -1, -1, 0, -1},      {-1, -1, -1, -1, -1, kEndpoint, kIf01},
      {0, 0, -1, -1, -1, kIf01, -1},    {-1, -1, -1, -1, -1, kTotal, -1}, {-1, -1, -1, -1, -1, -4, -1},
  };
  for (const Case& c : cases)
    EXPECT_EQ(set.Find(c.number, c.alternate, c.cls, c.sub, c.proto, c.start), c.expected)
        << c.number << "/" << c.alternate << " class " << c.cls << " from " << c.start;
  EXPECT_EQ(set.FindType(USB_ENDPOINT_DESCRIPTOR_TYPE, kTotal), kEndpoint);
  EXPECT_EQ(set.FindType(USB_ENDPOINT_DESCRIPTOR_TYPE, kTotal, kEndpoint + 7), kEndpoint + 7);
  EXPECT_EQ(set.FindType(0x24, kTotal), 55);
  EXPECT_EQ(set.FindType(USB_ENDPOINT_DESCRIPTOR_TYPE, kEndpoint + 6), -1) << "an endpoint cut by the length";
}

// Hostile sets: each must give null or a descriptor lying whole inside the
// bytes present, and never make the library read past them.
TEST(Usbd, HostileSetsNeverLeadOutsideTheBuffer) {
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    long if00, if10, endpoint;  // expected offsets (-1: not found)
  };
  const Case cases[] = {
      {"well formed", ScriptedConfiguration(), kIf00, kIf10, kEndpoint},
      {"bLength 0 in the middle", Patched({{kEndpoint, 0}}), kIf00, -1, -1},
      {"bLength 0 at the first interface", Patched({{kIf00, 0}}), -1, -1, -1},
      {"bLength 1", Patched({{55, 1}}), kIf00, -1, kEndpoint},
      {"wTotalLength beyond the bytes present", Patched({{2, 0xFF}, {3, 0xFF}}), kIf00, kIf10, kEndpoint},
      {"wTotalLength cutting the first interface", Patched({{2, 12}, {3, 0}}), -1, -1, -1},
      {"wTotalLength below the header", Patched({{2, 2}, {3, 0}}), -1, -1, -1},
      {"set cut inside interface 1", Patched({}, 64), kIf00, -1, kEndpoint},
      {"last descriptor running past the end", Patched({{69, 200}}), kIf00, kIf10, kEndpoint},
      {"interface descriptor too short", Patched({{kIf00, 5}}), -1, -1, -1},
      {"only the header bytes", Patched({}, 3), -1, -1, -1},
      {"a lone configuration descriptor", Patched({{2, 9}, {3, 0}}, 9), -1, -1, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PoolSet set(c.bytes);
    EXPECT_EQ(set.Find(0, 0), c.if00);
    EXPECT_EQ(set.Find(1, 0), c.if10);
    const ULONG total = c.bytes.size() >= 4 ? ULONG(c.bytes[2] | c.bytes[3] << 8) : 0xFFFF;
    EXPECT_EQ(set.FindType(USB_ENDPOINT_DESCRIPTOR_TYPE, total), c.endpoint);
    // Whatever is found, a select-configuration request over it stays inside.
    std::vector<USBD_INTERFACE_LIST_ENTRY> list(3);
    size_t n = 0;
    for (long number : {0L, 1L}) {
      auto* d = USBD_ParseConfigurationDescriptorEx(set.cfg(), set.cfg(), number, 0, -1, -1, -1);
      if (d != nullptr) list[n++].InterfaceDescriptor = d;
    }
    PURB urb = USBD_CreateConfigurationRequestEx(set.cfg(), list.data());
    EXPECT_EQ(urb != nullptr, n != 0);
    if (urb != nullptr) ExFreePool(urb);
  }
}

TEST(Usbd, ConfigurationRequestHasARecordPerListEntry) {
  PoolSet set(ScriptedConfiguration());
  USBD_INTERFACE_LIST_ENTRY list[3] = {};
  list[0].InterfaceDescriptor = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(set.at(kIf00));
  list[1].InterfaceDescriptor = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(set.at(kIf10));
  PURB urb = USBD_CreateConfigurationRequestEx(set.cfg(), list);
  ASSERT_NE(urb, nullptr);
  const size_t first = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
  EXPECT_EQ(urb->UrbHeader.Length, first + GET_USBD_INTERFACE_SIZE(2) + GET_USBD_INTERFACE_SIZE(1));
  EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
  EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, set.cfg());
  EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationHandle, nullptr);
  auto* base = reinterpret_cast<uint8_t*>(urb);
  EXPECT_EQ(reinterpret_cast<uint8_t*>(list[0].Interface), base + first);
  EXPECT_EQ(reinterpret_cast<uint8_t*>(list[1].Interface), base + first + GET_USBD_INTERFACE_SIZE(2));
  const struct {
    UCHAR number;
    ULONG pipes;
  } expected[] = {{0, 2}, {1, 1}};
  for (int i = 0; i < 2; ++i) {
    PUSBD_INTERFACE_INFORMATION info = list[i].Interface;
    EXPECT_EQ(info->Length, GET_USBD_INTERFACE_SIZE(expected[i].pipes));
    EXPECT_EQ(info->InterfaceNumber, expected[i].number);
    EXPECT_EQ(info->AlternateSetting, 0);
    EXPECT_EQ(info->NumberOfPipes, expected[i].pipes);
    EXPECT_EQ(info->InterfaceHandle, nullptr);
    PUSBD_PIPE_INFORMATION pipes = info->Pipes;
    for (ULONG p = 0; p < expected[i].pipes; ++p) {
      EXPECT_EQ(pipes[p].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
      EXPECT_EQ(pipes[p].PipeHandle, nullptr);
    }
  }
  ExFreePool(urb);
}

TEST(Usbd, ConfigurationRequestRefusesWhatItCannotBuildSafely) {
  // Eleven interfaces announcing 255 endpoints each: the records would not
  // fit the 16-bit URB length.
  std::vector<uint8_t> wide = {9, 2, 0, 0, 11, 1, 0, 0x80, 50};
  for (uint8_t i = 0; i < 11; ++i) wide.insert(wide.end(), {9, 4, i, 0, 255, 0, 0, 0, 0});
  wide[2] = uint8_t(wide.size());
  PoolSet big(wide);
  std::vector<USBD_INTERFACE_LIST_ENTRY> all(12);
  for (int i = 0; i < 11; ++i) all[i].InterfaceDescriptor = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(big.at(9 + 9 * i));

  PoolSet set(ScriptedConfiguration());
  std::vector<uint8_t> elsewhere = ScriptedConfiguration();
  USBD_INTERFACE_LIST_ENTRY outside[2] = {};
  outside[0].InterfaceDescriptor = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(elsewhere.data() + kIf00);
  USBD_INTERFACE_LIST_ENTRY notInterface[2] = {};
  notInterface[0].InterfaceDescriptor = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(set.at(kEndpoint));
  USBD_INTERFACE_LIST_ENTRY tail[2] = {};
  tail[0].InterfaceDescriptor = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(set.at(kTotal - 4));
  USBD_INTERFACE_LIST_ENTRY empty[1] = {};

  struct Case {
    const char* name;
    const PoolSet& set;
    PUSBD_INTERFACE_LIST_ENTRY list;
  };
  const Case cases[] = {
      {"records overflow the URB length", big, all.data()},
      {"descriptor outside the set", set, outside},
      {"entry is not an interface descriptor", set, notInterface},
      {"interface descriptor cut by the end of the set", set, tail},
      {"empty list", set, empty},
  };
  for (const Case& c : cases) EXPECT_EQ(USBD_CreateConfigurationRequestEx(c.set.cfg(), c.list), nullptr) << c.name;

  USBD_INTERFACE_LIST_ENTRY one[2] = {};
  one[0].InterfaceDescriptor = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(set.at(kIf00));
  host::pool::FailNth(1);
  EXPECT_EQ(USBD_CreateConfigurationRequestEx(set.cfg(), one), nullptr) << "no memory";
  host::pool::ClearFaults();
}

}  // namespace
}  // namespace bustest
