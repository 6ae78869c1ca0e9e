// The filter's property and method sets as a client reaches them with
// IOCTL_KS_PROPERTY and IOCTL_KS_METHOD: which sets each camera has, buffer
// lengths, what comes back in Information, and errors passed back.
#include <cstring>

#include <gtest/gtest.h>
#include <host/api/host.h>
#include <host/api/ks.h>

#include "stream/camera_bench.h"

namespace ovratest {
namespace {

using host::ks::IoResult;

const GUID kCamprop = {STATICGUIDOF(PROPSETID_CAMPROP)};
const GUID kMethods = {STATICGUIDOF(METHODSETID_CAMPROP)};
const GUID kVideoControl = {STATICGUIDOF(PROPSETID_VIDCAP_VIDEOCONTROL)};
const GUID kDropped = {STATICGUIDOF(PROPSETID_VIDCAP_DROPPEDFRAMES)};

const GUID kModelSets[] = {
    {STATICGUIDOF(PROPSETID_CAMPROP_INTERLEAVE)}, {STATICGUIDOF(PROPSETID_CAMPROP_ALDER)},
    {STATICGUIDOF(PROPSETID_CAMPROP_BIRCH)},      {STATICGUIDOF(PROPSETID_CAMPROP_BIRCH2)},
    {STATICGUIDOF(PROPSETID_CAMPROP_CEDAR)},      {STATICGUIDOF(PROPSETID_CAMPROP_LARCH)},
    {STATICGUIDOF(PROPSETID_CAMPROP_MAPLE)},      {STATICGUIDOF(PROPSETID_CAMPROP_ROWAN)},
};
enum ModelSet { kInterleave, kAlder, kBirch, kBirch2, kCedar, kLarch, kMaple, kRowan, kSetCount };

// A request with instance data after the KSPROPERTY.
Bytes Request(const GUID& set, ULONG id, ULONG flags, const void* instance = nullptr, size_t instanceBytes = 0) {
  Bytes r(sizeof(KSPROPERTY) + instanceBytes);
  KSPROPERTY p = {};
  p.Set = set;
  p.Id = id;
  p.Flags = flags;
  memcpy(r.data(), &p, sizeof p);
  if (instanceBytes) memcpy(r.data() + sizeof p, instance, instanceBytes);
  return r;
}

IoResult Property(host::ks::Handle filter, const Bytes& request, void* data, ULONG dataBytes) {
  return host::ks::DeviceIoControl(filter, IOCTL_KS_PROPERTY, request.data(), ULONG(request.size()), data,
                                   dataBytes);
}

IoResult Method(host::ks::Handle filter, const Bytes& request, void* data = nullptr, ULONG dataBytes = 0) {
  return host::ks::DeviceIoControl(filter, IOCTL_KS_METHOD, request.data(), ULONG(request.size()), data, dataBytes);
}

// ---------------------------------------------------------------------------

struct SetsCase {
  uint32_t vidPid;
  std::vector<ModelSet> sets;
};

class ModelSetsTest : public ::testing::TestWithParam<SetsCase> {};

TEST_P(ModelSetsTest, EachCameraAnswersItsOwnSetsOnly) {
  CameraBench bench(ProfileOf(GetParam().vidPid));
  ASSERT_EQ(bench.openStatus, STATUS_SUCCESS);
  for (int s = 0; s < kSetCount; s++) {
    SCOPED_TRACE(s);
    const bool present = std::find(GetParam().sets.begin(), GetParam().sets.end(), s) != GetParam().sets.end();
    IoResult r = Property(bench.filter, Request(kModelSets[s], 0, KSPROPERTY_TYPE_SETSUPPORT), nullptr, 0);
    EXPECT_EQ(r.status, present ? STATUS_SUCCESS : STATUS_PROPSET_NOT_FOUND);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Models, ModelSetsTest,
    ::testing::Values(SetsCase{0x0FBC8117, {kInterleave}},  // mirrored registers: the template's list
                      SetsCase{0x2E4C0042, {kInterleave}}, SetsCase{0x2E4C0060, {kAlder}},
                      SetsCase{0x2E4C0064, {kBirch, kBirch2}}, SetsCase{0x2E4C0142, {kCedar}},
                      SetsCase{0x2E4C0014, {kLarch}}, SetsCase{0x2E4C0052, {kMaple}},
                      SetsCase{0x2E4C1442, {kRowan}}, SetsCase{0x2E4C0101, {kInterleave}},
                      SetsCase{0x2E4C5332, {}}));

// ---------------------------------------------------------------------------
// Raw head registers.

TEST(I2cPropertyTest, RecordsComeBackWithTheirValuesAndTrailingBytesAreIgnored) {
  CameraBench bench(ProfileOf(0x2E4C0060));  // Alder: 16-bit registers, raw access allowed
  ASSERT_NE(bench.head.registers, nullptr);
  bench.head.registers->Set(0x10, 0x1234);
  bench.head.registers->Set(0x11, 0x5678);
  bench.head.registers->Set(0x12, 0x9ABC);
  const I2cRequestRecord records[3] = {{0, 0, 0x10, 0}, {0, 0, 0x11, 0}, {0, 0, 0x12, 0}};
  uint8_t out[18] = {};
  IoResult r = Property(bench.filter, Request(kCamprop, CAMPROP_I2C_DATA, KSPROPERTY_TYPE_GET, records, 18), out, 18);
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.information, 18u);
  I2cRequestRecord got[3];
  memcpy(got, out, sizeof got);
  EXPECT_EQ(got[0].Value, 0x1234);
  EXPECT_EQ(got[1].Value, 0x5678);
  EXPECT_EQ(got[2].Value, 0x9ABC);
  EXPECT_EQ(got[2].Register, 0x12);

  // Less than one record after the request.
  EXPECT_EQ(Property(bench.filter, Request(kCamprop, CAMPROP_I2C_DATA, KSPROPERTY_TYPE_GET, records, 2), out, 18)
                .status,
            STATUS_BUFFER_OVERFLOW);

  // 13 bytes of records: two writes.
  bench.head.registers->ClearWrites();
  uint8_t set[13] = {};
  const I2cRequestRecord writes[2] = {{0, 0, 0x20, 0x0001}, {0, 0, 0x21, 0x0002}};
  memcpy(set, writes, sizeof writes);
  set[12] = 0x55;
  EXPECT_EQ(Property(bench.filter, Request(kCamprop, CAMPROP_I2C_DATA, KSPROPERTY_TYPE_SET), set, 13).status,
            STATUS_SUCCESS);
  EXPECT_EQ(bench.head.registers->WritesOf(0x20), std::vector<uint16_t>{1});
  EXPECT_EQ(bench.head.registers->WritesOf(0x21), std::vector<uint16_t>{2});
}

TEST(I2cPropertyTest, AModelWithoutRawAccessSaysSoInsteadOfEchoingTheRequest) {
  CameraBench bench(ProfileOf(0x2E4C0052));  // Maple: flags 0x05
  const I2cRequestRecord record = {0, 0, 0x10, 0x7777};
  uint8_t out[6] = {};
  IoResult r = Property(bench.filter, Request(kCamprop, CAMPROP_I2C_DATA, KSPROPERTY_TYPE_GET, &record, 6), out, 6);
  EXPECT_EQ(r.status, STATUS_ILLEGAL_FUNCTION);
  EXPECT_EQ(r.information, 0u);
}

// ---------------------------------------------------------------------------
// Video control.

struct CapsCase {
  uint32_t vidPid;
  ULONG capture;  // caps for stream 0; the still stream adds the trigger flag
};

class VideoControlCapsTest : public ::testing::TestWithParam<CapsCase> {};

TEST_P(VideoControlCapsTest, FlipsByProductAndTriggerOnTheStillStream) {
  CameraBench bench(ProfileOf(GetParam().vidPid));
  for (ULONG stream : {0u, 1u}) {
    KSPROPERTY_VIDEOCONTROL_CAPS_S caps = {};
    caps.StreamIndex = stream;
    Bytes request(sizeof caps);
    caps.Property = *reinterpret_cast<const KSPROPERTY*>(
        Request(kVideoControl, KSPROPERTY_VIDEOCONTROL_CAPS, KSPROPERTY_TYPE_GET).data());
    memcpy(request.data(), &caps, sizeof caps);
    KSPROPERTY_VIDEOCONTROL_CAPS_S out = {};
    IoResult r = Property(bench.filter, request, &out, sizeof out);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, sizeof out);
    EXPECT_EQ(out.VideoControlCaps, GetParam().capture | (stream == 1 ? ULONG(KS_VideoControlFlag_Trigger) : 0));
  }
  // A bare request holds no stream index: stream 0.
  KSPROPERTY_VIDEOCONTROL_CAPS_S out = {};
  out.StreamIndex = 1;
  ASSERT_EQ(Property(bench.filter, Request(kVideoControl, KSPROPERTY_VIDEOCONTROL_CAPS, KSPROPERTY_TYPE_GET), &out,
                     sizeof out).status,
            STATUS_SUCCESS);
  EXPECT_EQ(out.VideoControlCaps, GetParam().capture);
}

INSTANTIATE_TEST_SUITE_P(Products, VideoControlCapsTest,
                         ::testing::Values(CapsCase{0x2E4C0060, 3}, CapsCase{0x2E4C0064, 3}, CapsCase{0x2E4C0061, 1},
                                           CapsCase{0x2E4C0042, 1}));

KSPROPERTY_VIDEOCONTROL_MODE_S ModeRequest(ULONG flags, LONG mode) {
  KSPROPERTY_VIDEOCONTROL_MODE_S m = {};
  m.Property.Set = kVideoControl;
  m.Property.Id = KSPROPERTY_VIDEOCONTROL_MODE;
  m.Property.Flags = flags;
  m.Mode = mode;
  return m;
}

TEST(VideoControlModeTest, FlipsLiveInTheProductsRegisterAndAreWrittenOnlyWhenTheyChange) {
  CameraBench bench(ProfileOf(0x2E4C0060));  // register 0x20, bits 0x4000 / 0x8000
  bench.head.registers->Set(0x20, 0x0123);
  bench.head.registers->ClearWrites();
  KSPROPERTY_VIDEOCONTROL_MODE_S set = ModeRequest(KSPROPERTY_TYPE_SET, 3);
  Bytes request(sizeof(KSPROPERTY));
  memcpy(request.data(), &set, sizeof(KSPROPERTY));
  ASSERT_EQ(Property(bench.filter, request, &set, sizeof set).status, STATUS_SUCCESS);
  EXPECT_EQ(bench.head.registers->WritesOf(0x20), std::vector<uint16_t>{0xC123});
  ASSERT_EQ(Property(bench.filter, request, &set, sizeof set).status, STATUS_SUCCESS);
  EXPECT_EQ(bench.head.registers->WritesOf(0x20).size(), 1u);  // already set: nothing written

  KSPROPERTY_VIDEOCONTROL_MODE_S get = ModeRequest(KSPROPERTY_TYPE_GET, 0);
  memcpy(request.data(), &get, sizeof(KSPROPERTY));
  IoResult r = Property(bench.filter, request, &get, sizeof get);
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.information, sizeof get);
  EXPECT_EQ(get.Mode, 4 | 2 | 1);
}

TEST(VideoControlModeTest, TheTriggerFlagAloneOnAProductWithoutFlipsOnlyAsksForAStill) {
  CameraBench bench(ProfileOf(0x2E4C0061));
  bench.head.registers->ClearWrites();
  KSPROPERTY_VIDEOCONTROL_MODE_S set = ModeRequest(KSPROPERTY_TYPE_SET, KS_VideoControlFlag_Trigger);
  Bytes request(sizeof(KSPROPERTY));
  memcpy(request.data(), &set, sizeof(KSPROPERTY));
  ASSERT_EQ(Property(bench.filter, request, &set, sizeof set).status, STATUS_SUCCESS);
  EXPECT_TRUE(bench.head.registers->Writes().empty());
  EXPECT_NE(bench.Device()->RouteFlags & kRouteStillNext, 0u);
}

// ---------------------------------------------------------------------------
// Vendor values, EEPROM, firmware, power and stills.

TEST(CustomPropertyTest, ValuesComeBackWithTheirLengthAndModelChecksAreErrors) {
  CameraBench alder(ProfileOf(0x2E4C0061));
  ULONG value = 0;
  IoResult r = Property(alder.filter, Request(kModelSets[kAlder], CAMPROP_EXPOSURE, KSPROPERTY_TYPE_GET), &value,
                        sizeof value);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.information, sizeof value);
  EXPECT_EQ(value, 1600000u);
  r = Property(alder.filter, Request(kCamprop, CAMPROP_PRODUCT_ID, KSPROPERTY_TYPE_GET), &value, sizeof value);
  EXPECT_EQ(value, 0x61u);
  r = Property(alder.filter, Request(kCamprop, CAMPROP_AVAILABLE, KSPROPERTY_TYPE_GET), &value, sizeof value);
  EXPECT_EQ(r.information, sizeof value);
  EXPECT_EQ(value, 1u);
  value = 256;
  EXPECT_FALSE(NT_SUCCESS(
      Property(alder.filter, Request(kCamprop, CAMPROP_ALT_SETTING, KSPROPERTY_TYPE_SET), &value, sizeof value)
          .status));

  CameraBench birch(ProfileOf(0x2E4C0064));
  r = Property(birch.filter, Request(kModelSets[kBirch], CAMPROP_EXPOSURE, KSPROPERTY_TYPE_GET), &value, sizeof value);
  EXPECT_EQ(r.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(r.information, 0u);
  value = 1;
  EXPECT_EQ(Property(birch.filter, Request(kModelSets[kBirch], CAMPROP_SNAPSHOT_MODE, KSPROPERTY_TYPE_SET), &value,
                     sizeof value).status,
            STATUS_UNSUCCESSFUL);
}

TEST(EepromPropertyTest, ReadsInChunksAndAWriteNeedsItsAddress) {
  CameraBench bench(ProfileOf(0x2E4C0061));
  for (size_t i = 0; i < bench.bridge->Eeprom().size(); i++) bench.bridge->Eeprom()[i] = uint8_t(i * 7);
  bench.bridge->ClearRequests();
  const USHORT address = 0x0100;
  uint8_t data[100] = {};
  IoResult r = Property(bench.filter, Request(kCamprop, CAMPROP_FX2_EEPROM, KSPROPERTY_TYPE_GET, &address, 2), data,
                        sizeof data);
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.information, sizeof data);
  EXPECT_EQ(data[99], uint8_t((0x100 + 99) * 7));
  const auto requests = bench.bridge->VendorRequests(0xA2);
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].setup.wValue, 0x0100);
  EXPECT_EQ(requests[0].setup.wLength, 64);
  EXPECT_EQ(requests[1].setup.wValue, 0x0140);
  EXPECT_EQ(requests[1].setup.wLength, 36);

  bench.bridge->ClearRequests();
  EXPECT_EQ(Property(bench.filter, Request(kCamprop, CAMPROP_FX2_EEPROM, KSPROPERTY_TYPE_SET), data, 2).status,
            STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(Property(bench.filter, Request(kCamprop, CAMPROP_FX2_EEPROM, KSPROPERTY_TYPE_GET), data, 2).status,
            STATUS_BUFFER_OVERFLOW);
  EXPECT_TRUE(bench.bridge->VendorRequests(0xA2).empty());
}

TEST(MethodTest, FirmwareAfterTheRequestGoesToBridgeRam) {
  CameraBench bench(ProfileOf(0x2E4C0061));
  bench.bridge->ClearRequests();
  Bytes image(130);
  for (size_t i = 0; i < image.size(); i++) image[i] = uint8_t(i + 1);
  Bytes request = Request(kMethods, CAMPROP_METHOD_LOAD_FIRMWARE, KSMETHOD_TYPE_SEND, image.data(), image.size());
  ASSERT_EQ(Method(bench.filter, request).status, STATUS_SUCCESS);
  EXPECT_EQ(Bytes(bench.bridge->Ram().begin(), bench.bridge->Ram().begin() + 130), image);
  EXPECT_EQ(bench.bridge->VendorRequests(0xA8).size(), 1u);
}

TEST(MethodTest, ABirchStillWithoutVideoWaits250Milliseconds) {
  CameraBench bench(ProfileOf(0x2E4C0064));
  const int64_t before = host::sched::Now();
  ASSERT_EQ(Method(bench.filter, Request(kMethods, CAMPROP_METHOD_SNAPSHOT, KSMETHOD_TYPE_SEND)).status,
            STATUS_SUCCESS);
  EXPECT_GE(host::sched::Now() - before, 2500000);
  EXPECT_LT(host::sched::Now() - before, 3000000);
  EXPECT_EQ(bench.head.registers->WritesOf(0x13), std::vector<uint16_t>{1});
  EXPECT_NE(bench.Device()->RouteFlags & kRouteStillNext, 0u);
}

// ---------------------------------------------------------------------------
// A camera whose start failed: its filter opens, and every request that needs
// the head fails cleanly.

TEST(FailedStartTest, RequestsFailCleanlyWithoutAHead) {
  emu::Profile unknown = ProfileOf(0x2E4C0061);
  unknown.pid = 0x7777;  // not in the model table
  CameraBench bench(unknown);
  EXPECT_EQ(bench.startStatus, STATUS_INSUFFICIENT_RESOURCES);
  ASSERT_EQ(bench.camera.OpenFilter(&bench.filter), STATUS_SUCCESS);
  ULONG value = 0;
  EXPECT_FALSE(NT_SUCCESS(
      Property(bench.filter, Request(kCamprop, CAMPROP_STATUS_BIT, KSPROPERTY_TYPE_GET), &value, sizeof value).status));
  EXPECT_FALSE(NT_SUCCESS(Method(bench.filter, Request(kMethods, CAMPROP_METHOD_CAMERA_POWER, KSMETHOD_TYPE_SEND),
                                 &value, sizeof value).status));
  Bytes image(16, 0x11);
  EXPECT_FALSE(NT_SUCCESS(
      Method(bench.filter, Request(kMethods, CAMPROP_METHOD_LOAD_FIRMWARE, KSMETHOD_TYPE_SEND, image.data(), 16))
          .status));
  host::ks::Handle pin = nullptr;
  EXPECT_EQ(bench.CreatePin(kCapturePinId, 0, &pin), STATUS_SUCCESS);
  EXPECT_EQ(host::ks::SetState(pin, KSSTATE_ACQUIRE), STATUS_DEVICE_NOT_READY);
}

}  // namespace
}  // namespace ovratest
