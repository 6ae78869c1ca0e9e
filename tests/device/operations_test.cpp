// Camera operations on emulated cameras: the register cache and its side
// effects, power on behalf of applications, firmware download and the EEPROM,
// and what every operation does without a head object.
#include <gtest/gtest.h>

#include <numeric>
#include <tuple>
#include <string>
#include <vector>

#include "heads/head_bench.h"

namespace {

using headtest::HeadBench;

const emu::Profile& Profile(uint32_t vidPid) {
  const emu::Profile* p = emu::FindProfile(uint16_t(vidPid >> 16), uint16_t(vidPid));
  EXPECT_NE(p, nullptr);
  return *p;
}

// A started camera of this model: the device fields and the head object.
struct Bench : HeadBench {
  explicit Bench(uint32_t vidPid) : HeadBench(Profile(vidPid)) {
    CCameraDevice& d = device();
    d.ModelType = Profile(vidPid).modelType;
    d.ModelFlags = Profile(vidPid).modelFlags;
    d.Hardware = hw;
    Clear();
  }
  // Addresses of the I2C messages since the last Clear (the byte after a start).
  std::vector<int> Addresses() const {
    std::vector<int> out;
    for (const auto& b : I2c())
      if (b.flags & emu::kI2cStart) out.push_back(b.value);
    return out;
  }
  std::vector<int> PowerRequests() const {
    std::vector<int> out;
    for (const auto& r : Vendor(emu::kReqPower)) out.push_back(r.setup.wValue);
    return out;
  }
  I2cRequestRecord Get(UCHAR dev, USHORT reg, NTSTATUS expected = STATUS_SUCCESS) {
    I2cRequestRecord r = {dev, 0, reg, 0};
    EXPECT_EQ(device().GetI2CData(&r), expected);
    return r;
  }
  void Set(UCHAR dev, USHORT reg, USHORT value) {
    const I2cRequestRecord r = {dev, 0, reg, value};
    EXPECT_EQ(device().SetI2CData(&r), STATUS_SUCCESS);
  }
};

constexpr uint32_t kCcd = 0x2E4C0042, kAlder = 0x2E4C0060, kCedar = 0x2E4C0142, kRowan = 0x2E4C1442,
                   kMaple = 0x2E4C0052;

// Devices the relay controller of a CCD head forwarded accesses to, as
// (device, register, value).
std::vector<std::tuple<int, int, int>> RelayAccesses(Bench& b) {
  std::vector<std::tuple<int, int, int>> out;
  for (const auto& a : b.head.relay->Accesses()) out.emplace_back(a.device, a.reg, a.value);
  b.head.relay->ClearAccesses();
  return out;
}

TEST(Registers, MirroredHeadReadsThroughTheCacheAndWritesBothCopies) {
  Bench b(kCcd);
  b.head.relay->Set8(0xA0, 0x10, 0x55);
  EXPECT_EQ(b.Get(0, 0x10).Value, 0x55);
  EXPECT_TRUE(headtest::Logged("Reading 10 for first time\n", kLogTrace));
  EXPECT_EQ(RelayAccesses(b), (std::vector<std::tuple<int, int, int>>{{0xA0, 0x10, 0x55}}));
  EXPECT_EQ(b.Get(0, 0x10).Value, 0x55);
  EXPECT_TRUE(RelayAccesses(b).empty()) << "a cached register is read again";
  b.Set(0, 0x10, 0x42);
  EXPECT_EQ(RelayAccesses(b), (std::vector<std::tuple<int, int, int>>{{0x30, 0x10, 0x42}, {0xA0, 0x10, 0x42}}));
  EXPECT_EQ(b.Get(0, 0x10).Value, 0x42);
  // An explicit address is never cached.
  b.Get(0x30, 0x10);
  b.Get(0x30, 0x10);
  EXPECT_EQ(RelayAccesses(b).size(), 2u);
}

// Register numbers past 255 reach the head but never the 256-entry cache or
// masks (which the fields after them would otherwise take).
TEST(Registers, NumbersAbove255ReachTheHeadButNotTheCache) {
  for (const uint32_t model : {kCcd, kAlder}) {
    Bench b(model);
    b.Set(0, 0x1FF, 0xBEEF);
    b.Get(0, 0x110);
    EXPECT_FALSE(b.Addresses().empty());
    const CCameraDevice& d = b.device();
    for (int i = 0; i < 8; ++i) {
      EXPECT_EQ(d.RestoreMask[i], 0u);
      EXPECT_EQ(d.CacheValid[i], 0u);
    }
    EXPECT_EQ(std::accumulate(std::begin(d.RegisterCache), std::end(d.RegisterCache), 0), 0);
  }
}

TEST(Registers, WritesOfModelRegistersUpdateMaskFrequencyAndRegistry) {
  const struct {
    uint32_t model;
    USHORT reg, value;
    bool restore, persisted;
    ULONG lineFrequency;  // 0: unchanged
  } cases[] = {
      {kAlder, 13, 1, false, false, 0},   {kAlder, 11, 1, false, false, 0}, {kAlder, 0x10, 7, true, true, 0},
      {kCedar, 0x71, 1, false, true, 50}, {kCedar, 0x71, 0, false, true, 60}, {kRowan, 0xA0, 1, false, true, 50},
      {kRowan, 0xA0, 0, false, true, 60}, {kRowan, 0x71, 1, false, false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.model << " reg " << c.reg);
    Bench b(c.model);
    CCameraDevice& d = b.device();
    d.LineFrequency = 1;
    const std::string key = host::reg::DeviceKeyPath(b.device().KsDevice->PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE);
    host::reg::DeleteKey(key);
    b.Set(0, c.reg, c.value);
    EXPECT_EQ((d.RestoreMask[c.reg >> 5] >> (c.reg & 31)) & 1, c.restore ? 1u : 0u);
    EXPECT_EQ((d.CacheValid[c.reg >> 5] >> (c.reg & 31)) & 1, 1u);
    EXPECT_EQ(d.LineFrequency, c.lineFrequency ? c.lineFrequency : 1u);
    host::reg::Value v;
    EXPECT_EQ(host::reg::Get(key, "Interleave", &v), c.persisted);
    EXPECT_EQ(host::reg::Get(key, "ShutterSpeed", &v), c.persisted && c.model == kAlder);
  }
}

TEST(Registers, RawAccessNeedsTheModelFlagAndAWriteNeedsPower) {
  Bench maple(kMaple);  // no raw I2C access
  maple.Get(0, 1, STATUS_ILLEGAL_FUNCTION);
  const I2cRequestRecord r = {0, 0, 1, 1};
  EXPECT_EQ(maple.device().SetI2CData(&r), STATUS_ILLEGAL_FUNCTION);
  EXPECT_TRUE(maple.Requests().empty());

  Bench b(kAlder);
  b.Set(0, 0x20, 1);  // unpowered: powered for this write only
  EXPECT_EQ(b.PowerRequests(), (std::vector<int>{1, 0}));
  b.hw->SetCameraPower(TRUE);  // as a streaming pin holds it
  b.Clear();
  b.Set(0, 0x20, 2);
  b.Get(0, 0x20);
  EXPECT_TRUE(b.PowerRequests().empty());
  EXPECT_EQ(b.hw->m_PowerCount, 1);
}

// Method power: an application's off takes back only its own on.
TEST(Power, ApplicationOffNeverTakesAPinsPower) {
  Bench b(kAlder);
  CCameraDevice& d = b.device();
  b.hw->SetCameraPower(TRUE);  // the streaming pin's
  EXPECT_EQ(d.SetCameraPower(0), STATUS_SUCCESS);
  EXPECT_EQ(b.hw->m_PowerCount, 1);
  EXPECT_TRUE(b.bridge().Powered());
  d.SetCameraPower(1);
  d.SetCameraPower(1);
  EXPECT_EQ(b.hw->m_PowerCount, 3);
  for (int i = 0; i < 4; ++i) d.SetCameraPower(0);
  EXPECT_EQ(b.hw->m_PowerCount, 1);
  EXPECT_TRUE(b.bridge().Powered());
}

std::vector<uint8_t> Image(size_t n) {
  std::vector<uint8_t> image(n);
  for (size_t i = 0; i < n; ++i) image[i] = uint8_t(i * 7 + 1);
  return image;
}

TEST(Firmware, ChunksBetweenTheResetPairThenRenumeration) {
  Bench b(kAlder);
  const auto image = Image(130);
  EXPECT_EQ(b.device().LoadFirmware(image.data(), image.size()), STATUS_SUCCESS);
  EXPECT_EQ(b.Requests(), (std::vector<std::pair<int, int>>{
                              {0xA0, 0xE600}, {0xA0, 0}, {0xA0, 64}, {0xA0, 128}, {0xA0, 0xE600}, {0xA0, 0xE600}, {0xA8, 0}}));
  const auto records = b.Vendor(emu::kReqFirmware);
  EXPECT_EQ(records[3].data.size(), 2u);
  EXPECT_EQ(records[4].data, std::vector<uint8_t>{1});
  EXPECT_EQ(records[5].data, std::vector<uint8_t>{0});
  EXPECT_EQ(std::vector<uint8_t>(b.bridge().Ram().begin(), b.bridge().Ram().begin() + 130), image);
  char last[32];
  snprintf(last, sizeof last, "%02x %02x...\n", image[128], image[129]);
  EXPECT_EQ(host::dbg::Count(last), 1u) << "the last chunk's trace shows only its two bytes";
}

TEST(Firmware, RefusalsAndFailures) {
  const struct {
    const char* name;
    size_t length;
    bool held, failSecondChunk;
    NTSTATUS status;
    size_t requests;  // vendor requests sent
  } cases[] = {
      {"7 bytes", 7, false, false, STATUS_INVALID_PARAMETER, 0},
      {"64 KiB + 1", 65537, false, false, STATUS_INVALID_BUFFER_SIZE, 0},
      {"exactly 64 KiB", 65536, false, false, STATUS_SUCCESS, 1024 + 4},
      {"a pin holds the camera", 130, true, false, STATUS_DEVICE_BUSY, 0},
      // hold, chunk 0, failing chunk 1, then the release in order
      {"a chunk fails", 200, false, true, STATUS_UNSUCCESSFUL, 3 + 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bench b(kAlder);
    CCameraDevice& d = b.device();
    if (c.held) d.OwnerFilter = reinterpret_cast<CCaptureFilter*>(&d);
    if (c.failSecondChunk) b.bridge().FailRequest(emu::kReqFirmware, 1, 2);
    const auto image = Image(c.length);
    EXPECT_EQ(d.LoadFirmware(image.data(), image.size()), c.status);
    EXPECT_EQ(b.Requests().size(), c.requests);
    if (c.requests > 0) {
      EXPECT_EQ(b.Requests().back(), (std::pair<int, int>{0xA8, 0}));
      EXPECT_FALSE(b.bridge().CpuHeld());
    }
    d.OwnerFilter = nullptr;
  }
}

TEST(Eeprom, ChunksBoundsAndFailures) {
  Bench b(kAlder);
  CCameraDevice& d = b.device();
  auto& eeprom = b.bridge().Eeprom();
  for (size_t i = 0; i < eeprom.size(); ++i) eeprom[i] = uint8_t(i >> 3);

  std::vector<uint8_t> buffer(100, 0xCC);
  EXPECT_EQ(d.ReadFx2Eeprom(0x0100, 100, buffer.data()), STATUS_SUCCESS);
  EXPECT_EQ(b.Requests(), (std::vector<std::pair<int, int>>{{0xA2, 0x0100}, {0xA2, 0x0140}}));
  EXPECT_EQ(b.Vendor(emu::kReqEeprom)[1].setup.wLength, 36);
  EXPECT_EQ(buffer, std::vector<uint8_t>(eeprom.begin() + 0x100, eeprom.begin() + 0x164));

  // Past the end of the 64 KiB space, or longer than it: refused, nothing sent.
  b.Clear();
  for (const auto& [address, length] : std::vector<std::pair<ULONG, ULONG>>{{0xFFC0, 65}, {0, 0x10001}, {0x10000, 1}}) {
    std::vector<uint8_t> big(length);
    EXPECT_EQ(d.ReadFx2Eeprom(address, length, big.data()), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(d.WriteFx2Eeprom(address, length, big.data()), STATUS_INVALID_PARAMETER);
  }
  EXPECT_TRUE(b.Requests().empty());
  EXPECT_EQ(d.ReadFx2Eeprom(0xFFC0, 64, buffer.data()), STATUS_SUCCESS);  // the last chunk

  // A failing chunk: its status, and no stale bytes in the buffer.
  b.bridge().FailRequest(emu::kReqEeprom, 1, 1);
  std::fill(buffer.begin(), buffer.end(), 0xCC);
  EXPECT_EQ(d.ReadFx2Eeprom(0x0100, 100, buffer.data()), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(std::count(buffer.begin() + 64, buffer.end(), 0), 36);

  const auto data = Image(70);
  EXPECT_EQ(d.WriteFx2Eeprom(0x2000, 70, data.data()), STATUS_SUCCESS);
  EXPECT_EQ(std::vector<uint8_t>(eeprom.begin() + 0x2000, eeprom.begin() + 0x2046), data);
  b.bridge().FailRequest(emu::kReqEeprom, 1);
  EXPECT_EQ(d.WriteFx2Eeprom(0x2000, 70, data.data()), STATUS_UNSUCCESSFUL);
}

TEST(Settings, AlternateSettingIsCheckedAndPersisted) {
  Bench b(kAlder);
  CCameraDevice& d = b.device();
  const std::string key = host::reg::DeviceKeyPath(d.KsDevice->PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE);
  for (const LONG bad : {-1, 256}) EXPECT_EQ(d.SetAltSetting(bad), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(d.AltSetting, 0u);
  EXPECT_EQ(d.SetAltSetting(3), STATUS_SUCCESS);
  host::reg::Value v;
  ASSERT_TRUE(host::reg::Get(key, "AltSetting", &v));
  EXPECT_EQ(v.data, (std::vector<uint8_t>{3, 0, 0, 0}));
  ULONG value = 0;
  EXPECT_EQ(d.GetAltSetting(&value), STATUS_SUCCESS);
  EXPECT_EQ(value, 3u);
}

// A failed start leaves no head object: every operation that needs the head
// refuses cleanly, those that do not still answer.
TEST(NoHardware, OperationsThatNeedTheHeadRefuse) {
  Bench b(kAlder);
  CCameraDevice& d = b.device();
  d.Hardware = nullptr;
  d.ModelFlags |= kModelInterlaced;
  I2cRequestRecord r = {0, 0, 1, 1};
  ULONG value = 0;
  UCHAR bytes[16] = {};
  KS_VIDEOINFOHEADER info = {};
  info.bmiHeader.biBitCount = 16;
  info.bmiHeader.biCompression = 0x59565955;
  const NTSTATUS refused[] = {
      d.GetI2CData(&r),
      d.SetI2CData(&r),
      d.SetExposure(5),
      d.GetStatusBit(&value),
      d.SetCameraPower(1),
      d.LoadFirmware(bytes, sizeof bytes),
      d.ReadFx2Eeprom(0, 8, bytes),
      d.WriteFx2Eeprom(0, 8, bytes),
      d.RegisterPin(reinterpret_cast<CCaptureFilter*>(&d), 0, &info, reinterpret_cast<CCapturePin*>(&d)),
  };
  for (const NTSTATUS status : refused) EXPECT_EQ(status, STATUS_DEVICE_NOT_READY);
  d.ModelType = kModelMaple;
  EXPECT_EQ(d.SendOSDCommand(1), STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(d.GetProductId(&value), STATUS_SUCCESS);
  EXPECT_EQ(d.GetInterleave(&value), STATUS_SUCCESS);
  EXPECT_TRUE(b.Requests().empty());
}

}  // namespace
