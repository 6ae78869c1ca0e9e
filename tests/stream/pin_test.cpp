// Pins as a capture application meets them: the ranges each camera offers,
// format intersection, pin creation with a format, and formats that come
// from a hostile or careless client.
#include <cstring>

#include <gtest/gtest.h>
#include <host/api/host.h>
#include <host/api/ks.h>

#include "stream/camera_bench.h"

#include "driver/device/model_table.h"

namespace ovratest {
namespace {

using host::ks::Handle;

// ---------------------------------------------------------------------------
// One range per resolution.

struct RangeCase {
  ULONG type, key, alt, width, height;
  LONGLONG minInterval, maxInterval;
};

class DataRangeTest : public ::testing::TestWithParam<RangeCase> {};

TEST_P(DataRangeTest, RatesSizesAndTheStillFlagFollowTheModel) {
  const RangeCase c = GetParam();
  KS_DATARANGE_VIDEO capture = CaptureRangeTemplate;
  KS_DATARANGE_VIDEO still = StillRangeTemplate;
  CCapturePin::CalculateDataRange(&capture, FALSE, c.alt, c.type, c.key, c.width, c.height);
  CCapturePin::CalculateDataRange(&still, TRUE, c.alt, c.type, c.key, c.width, c.height);

  const ULONGLONG image = ULONGLONG(c.width) * c.height * 2;
  const ULONG expectedImage = image > 0xFFFFFFFFull ? 0xFFFFFFFFu : ULONG(image);
  EXPECT_EQ(capture.DataRange.SampleSize, expectedImage);
  EXPECT_EQ(capture.VideoInfoHeader.bmiHeader.biSizeImage, expectedImage);
  EXPECT_EQ(capture.ConfigCaps.MinFrameInterval, c.minInterval);
  EXPECT_EQ(capture.VideoInfoHeader.AvgTimePerFrame, c.minInterval);
  EXPECT_EQ(capture.ConfigCaps.MaxFrameInterval, c.maxInterval);
  const ULONGLONG maxBits = ULONGLONG(10000000 / c.minInterval) * c.width * c.height * 16;
  const ULONGLONG minBits = ULONGLONG(10000000 / c.maxInterval) * c.width * c.height * 16;
  EXPECT_EQ(ULONGLONG(capture.ConfigCaps.MaxBitsPerSecond), std::min<ULONGLONG>(maxBits, 0x7FFFFFFF));
  EXPECT_EQ(ULONGLONG(capture.ConfigCaps.MinBitsPerSecond), std::min<ULONGLONG>(minBits, 0x7FFFFFFF));
  EXPECT_EQ(ULONGLONG(capture.VideoInfoHeader.dwBitRate), std::min<ULONGLONG>(maxBits, 0xFFFFFFFF));
  for (const SIZE& s : {capture.ConfigCaps.InputSize, capture.ConfigCaps.MinCroppingSize,
                        capture.ConfigCaps.MaxCroppingSize, capture.ConfigCaps.MinOutputSize,
                        capture.ConfigCaps.MaxOutputSize}) {
    EXPECT_EQ(s.cx, LONG(c.width));
    EXPECT_EQ(s.cy, LONG(c.height));
  }
  EXPECT_EQ(capture.VideoInfoHeader.rcSource.right, LONG(c.width));
  EXPECT_EQ(capture.VideoInfoHeader.rcSource.bottom, LONG(c.height));
  EXPECT_EQ(capture.VideoInfoHeader.bmiHeader.biWidth, LONG(c.width));
  EXPECT_EQ(capture.VideoInfoHeader.bmiHeader.biHeight, LONG(c.height));
  EXPECT_EQ(capture.VideoInfoHeader.bmiHeader.biSize, 40u);  // the template's fields stay
  EXPECT_EQ(capture.VideoInfoHeader.bmiHeader.biCompression, 0x59565955u);

  // The still pin's range differs only in its stream description.
  EXPECT_EQ(capture.StreamDescriptionFlags, ULONG(KS_VIDEOSTREAM_CAPTURE));
  EXPECT_EQ(still.StreamDescriptionFlags, ULONG(KS_VIDEOSTREAM_STILL));
  still.StreamDescriptionFlags = capture.StreamDescriptionFlags;
  EXPECT_EQ(memcmp(&still, &capture, sizeof capture), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Models, DataRangeTest,
    ::testing::Values(
        // Alder 0x0060: 24/18 fps with alternate setting 1, else 30; always down to 1 fps.
        RangeCase{1, 0x2E4C0060, 1, 1280, 1024, 555555, 10000000}, RangeCase{1, 0x2E4C0060, 1, 800, 600, 416666, 10000000},
        RangeCase{1, 0x2E4C0060, 0, 1280, 1024, 333333, 10000000},
        // Other Alder keys: 31000 / width, or 23040 / width with another alternate setting.
        RangeCase{1, 0x2E4C0061, 0, 1280, 1024, 416666, 10000000}, RangeCase{1, 0x2E4C0061, 0, 320, 240, 104166, 10000000},
        RangeCase{1, 0x2E4C0061, 2, 640, 480, 277777, 10000000},
        // Birch: one rate per width.
        RangeCase{2, 0x2E4C0067, 0, 1600, 1200, 1250000, 1250000}, RangeCase{2, 0x2E4C0064, 0, 1024, 768, 833333, 833333},
        RangeCase{2, 0x2E4C0064, 0, 800, 600, 500000, 500000}, RangeCase{2, 0x2E4C0064, 1, 640, 480, 333333, 333333},
        // Everyone else: 30 fps.
        RangeCase{0, 0x2E4C0042, 0, 720, 480, 333333, 333333}, RangeCase{7, 0x2E4C0101, 0, 352, 288, 333333, 333333},
        // A registry resolution too large for the 32-bit fields saturates, never wraps.
        RangeCase{8, 0x2E4C5332, 0, 100000, 100000, 333333, 333333}));

// ---------------------------------------------------------------------------
// Every range of every model, through the client interface.

class EveryModelTest : public ::testing::TestWithParam<emu::Profile> {};

TEST_P(EveryModelTest, BothPinsOfferTheResolutionListAndEveryRangeMakesAPin) {
  CameraBench bench(GetParam());
  ASSERT_EQ(bench.openStatus, STATUS_SUCCESS);
  const LONG* list = bench.Device()->GetResolutions();
  const std::vector<Bytes> capture = bench.Ranges(kCapturePinId);
  const std::vector<Bytes> still = bench.Ranges(kStillPinId);
  ASSERT_EQ(capture.size(), ResolutionCount(list));
  ASSERT_EQ(still.size(), capture.size());
  for (size_t i = 0; i < capture.size(); i++) {
    SCOPED_TRACE(i);
    EXPECT_EQ(RangeOf(capture[i]).VideoInfoHeader.bmiHeader.biWidth, ResolutionWidth(list, ULONG(i)));
    EXPECT_EQ(RangeOf(capture[i]).VideoInfoHeader.bmiHeader.biHeight, ResolutionHeight(list, ULONG(i)));
    Bytes s = still[i];
    EXPECT_EQ(RangeOf(s).StreamDescriptionFlags, ULONG(KS_VIDEOSTREAM_STILL));
    RangeOf(s).StreamDescriptionFlags = KS_VIDEOSTREAM_CAPTURE;
    EXPECT_EQ(s, capture[i]);

    for (ULONG pinId : {kCapturePinId, kStillPinId}) {
      Handle pin = nullptr;
      Bytes format;
      ASSERT_EQ(bench.CreatePin(pinId, i, &pin, &format), STATUS_SUCCESS) << "pin " << pinId;
      // A private framing: two frames of exactly one image.
      const ULONG image = FormatOf(format).VideoInfoHeader.bmiHeader.biSizeImage;
      const KS_FRAMING_ITEM& framing = host::ks::PinObject(pin)->Descriptor->AllocatorFraming->FramingItem[0];
      EXPECT_EQ(framing.Frames, 2u);
      EXPECT_EQ(framing.PhysicalRange.MinFrameSize, image);
      EXPECT_EQ(framing.PhysicalRange.MaxFrameSize, image);
      EXPECT_EQ(framing.FramingRange.Range.MinFrameSize, image);
      EXPECT_EQ(framing.FramingRange.Range.MaxFrameSize, image);
      EXPECT_EQ(PinAllocatorFraming.FramingItem[0].Frames, 3u);  // the template is untouched
      EXPECT_EQ(bench.camera.CloseHandle(pin), STATUS_SUCCESS);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Profiles, EveryModelTest, ::testing::ValuesIn(emu::Profiles()),
                         [](const auto& info) { return std::string(info.param.name).replace(
                                                    std::string(info.param.name).find('-'), 1, "_"); });

// ---------------------------------------------------------------------------
// Intersection.

constexpr uint32_t kMaple0052 = 0x2E4C0052;  // one 640 x 480 range, 60 Hz

// KSPROPERTY_PIN_DATAINTERSECTION with one range and `outLength` bytes of room.
host::ks::IoResult IntersectRaw(Handle filter, ULONG pinId, const Bytes& range, ULONG outLength, Bytes* out) {
  Bytes request(sizeof(KSP_PIN) + sizeof(KSMULTIPLE_ITEM) + ((range.size() + 7) & ~size_t(7)));
  KSP_PIN p = {};
  p.Property.Set = {STATICGUIDOF(KSPROPSETID_Pin)};
  p.Property.Id = KSPROPERTY_PIN_DATAINTERSECTION;
  p.Property.Flags = KSPROPERTY_TYPE_GET;
  p.PinId = pinId;
  KSMULTIPLE_ITEM items{ULONG(request.size() - sizeof p), 1};
  memcpy(request.data(), &p, sizeof p);
  memcpy(request.data() + sizeof p, &items, sizeof items);
  memcpy(request.data() + sizeof p + sizeof items, range.data(), range.size());
  out->assign(outLength, 0);
  return host::ks::DeviceIoControl(filter, IOCTL_KS_PROPERTY, request.data(), ULONG(request.size()),
                                   outLength ? out->data() : nullptr, outLength);
}

TEST(IntersectTest, SizeQueryThenTheFormatOfTheRange) {
  CameraBench bench(ProfileOf(kMaple0052));
  const Bytes range = bench.Ranges(kCapturePinId).at(0);
  Bytes out;
  host::ks::IoResult r = IntersectRaw(bench.filter, kCapturePinId, range, 0, &out);
  EXPECT_EQ(r.status, STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(r.information, 40u + 112);
  EXPECT_EQ(IntersectRaw(bench.filter, kCapturePinId, range, 151, &out).status, STATUS_BUFFER_TOO_SMALL);
  r = IntersectRaw(bench.filter, kCapturePinId, range, 152, &out);
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.information, 152u);
  const auto& f = FormatOf(out);
  EXPECT_EQ(f.DataFormat.FormatSize, 152u);
  EXPECT_EQ(f.DataFormat.SampleSize, 614400u);
  EXPECT_EQ(f.VideoInfoHeader.bmiHeader.biSizeImage, 614400u);
  EXPECT_EQ(f.VideoInfoHeader.AvgTimePerFrame, 333667);  // 60 Hz camera
}

// A change to the caller's range, and what the intersection says to it.
struct IntersectCase {
  const char* name;
  ULONG pinId;
  std::function<void(KS_DATARANGE_VIDEO&)> change;
  NTSTATUS status;
  ULONG image;  // biSizeImage on success
};

class IntersectCaseTest : public ::testing::TestWithParam<IntersectCase> {};

TEST_P(IntersectCaseTest, TheCallersRangeDecides) {
  const IntersectCase& c = GetParam();
  CameraBench bench(ProfileOf(kMaple0052));
  Bytes range = bench.Ranges(kCapturePinId).at(0);
  c.change(RangeOf(range));
  Bytes format;
  ASSERT_EQ(bench.Intersect(c.pinId, range, &format), c.status);
  if (c.status == STATUS_SUCCESS) {
    EXPECT_EQ(FormatOf(format).VideoInfoHeader.bmiHeader.biSizeImage, c.image);
    EXPECT_EQ(FormatOf(format).DataFormat.SampleSize, c.image);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IntersectCaseTest,
    ::testing::Values(
        IntersectCase{"Unchanged", kCapturePinId, [](KS_DATARANGE_VIDEO&) {}, STATUS_SUCCESS, 614400},
        IntersectCase{"NegativeHeight", kCapturePinId,
                      [](KS_DATARANGE_VIDEO& r) { r.VideoInfoHeader.bmiHeader.biHeight = -480; }, STATUS_SUCCESS,
                      614400},
        IntersectCase{"OneConfigCapsByte", kCapturePinId, [](KS_DATARANGE_VIDEO& r) { r.ConfigCaps.CropAlignY = 2; },
                      STATUS_NO_MATCH, 0},
        IntersectCase{"CaptureRangeOnTheStillPin", kStillPinId, [](KS_DATARANGE_VIDEO&) {}, STATUS_NO_MATCH, 0},
        IntersectCase{"HeaderShorterThanABitmapHeader", kCapturePinId,
                      [](KS_DATARANGE_VIDEO& r) { r.VideoInfoHeader.bmiHeader.biSize = 39; },
                      STATUS_INVALID_PARAMETER, 0},
        IntersectCase{"HeaderPastTheRange", kCapturePinId,
                      [](KS_DATARANGE_VIDEO& r) { r.VideoInfoHeader.bmiHeader.biSize = 41; },
                      STATUS_INVALID_PARAMETER, 0},
        IntersectCase{"HeaderSizeThatWraps", kCapturePinId,
                      [](KS_DATARANGE_VIDEO& r) { r.VideoInfoHeader.bmiHeader.biSize = 0xFFFFFF00u; },
                      STATUS_INVALID_PARAMETER, 0},
        IntersectCase{"ImageBeyond32Bits", kCapturePinId,
                      [](KS_DATARANGE_VIDEO& r) { r.VideoInfoHeader.bmiHeader.biWidth = 4473925; },
                      STATUS_INVALID_PARAMETER, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// The camera's own adjustments of the proposed format.
struct AdjustCase {
  const char* name;
  uint32_t vidPid;
  uint32_t altSetting, allow720;
  LONG width, height;  // of the caller's range
  LONGLONG interval;
  LONG outWidth, outHeight;
};

class AdjustTest : public ::testing::TestWithParam<AdjustCase> {};

TEST_P(AdjustTest, TheFormatFitsTheCamera) {
  const AdjustCase& c = GetParam();
  CameraBench bench(ProfileOf(c.vidPid), [&](CameraBench& b) {
    b.SetDeviceValue("AltSetting", c.altSetting);
    b.SetDeviceValue("Allow720", c.allow720);
  });
  ASSERT_EQ(bench.openStatus, STATUS_SUCCESS);
  for (const Bytes& range : bench.Ranges(kCapturePinId)) {
    const KS_BITMAPINFOHEADER& bmi = RangeOf(range).VideoInfoHeader.bmiHeader;
    if (bmi.biWidth != c.width || bmi.biHeight != c.height) continue;
    Bytes format;
    ASSERT_EQ(bench.Intersect(kCapturePinId, range, &format), STATUS_SUCCESS);
    const KS_VIDEOINFOHEADER& info = FormatOf(format).VideoInfoHeader;
    EXPECT_EQ(info.AvgTimePerFrame, c.interval);
    EXPECT_EQ(info.bmiHeader.biWidth, c.outWidth);
    EXPECT_EQ(info.bmiHeader.biHeight, c.outHeight);
    EXPECT_EQ(info.rcSource.right, c.outWidth);
    EXPECT_EQ(info.rcSource.bottom, c.outHeight);
    EXPECT_EQ(info.bmiHeader.biSizeImage, ULONG(c.outWidth * c.outHeight * 2));
    // The proposal is a format the pin takes.
    Handle pin = nullptr;
    EXPECT_EQ(bench.camera.CreatePin(bench.filter, kCapturePinId, format, &pin), STATUS_SUCCESS);
    return;
  }
  FAIL() << "no " << c.width << " x " << c.height << " range";
}

INSTANTIATE_TEST_SUITE_P(
    Cameras, AdjustTest,
    ::testing::Values(AdjustCase{"Ccd60Hz", 0x2E4C0042, 0, 0, 640, 480, 333667, 640, 480},
                      AdjustCase{"Ccd50Hz", 0x2E4C0043, 0, 0, 640, 576, 400000, 640, 576},
                      AdjustCase{"NarrowedOnSetting1", 0x2E4C0042, 1, 0, 720, 480, 333667, 640, 480},
                      AdjustCase{"Allow720", 0x2E4C0042, 1, 1, 720, 480, 333667, 720, 480},
                      AdjustCase{"Cedar50Hz", 0x2E4C0143, 0, 0, 704, 480, 400000, 704, 576},
                      AdjustCase{"Rowan50Hz", 0x2E4C1443, 0, 0, 640, 480, 400000, 640, 576}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Formats at pin creation.

struct FormatCase {
  const char* name;
  std::function<void(KS_DATAFORMAT_VIDEOINFOHEADER&)> change;
  NTSTATUS status;
};

class FormatTest : public ::testing::TestWithParam<FormatCase> {};

TEST_P(FormatTest, ThePinTakesOnlyAFormatOfItsRange) {
  const FormatCase& c = GetParam();
  CameraBench bench(ProfileOf(kMaple0052));
  Bytes format = FormatFromRange(bench.Ranges(kCapturePinId).at(0));
  c.change(FormatOf(format));
  Handle pin = nullptr;
  const uint64_t before = host::pool::Outstanding();
  ASSERT_EQ(bench.camera.CreatePin(bench.filter, kCapturePinId, format, &pin), c.status);
  if (NT_SUCCESS(c.status)) {
    // The pin keeps the format it was created with, whole.
    auto* object = static_cast<CCapturePin*>(host::ks::PinObject(pin)->Context);
    EXPECT_EQ(memcmp(object->FormatCopy, &FormatOf(format).VideoInfoHeader, sizeof(KS_VIDEOINFOHEADER)), 0);
    EXPECT_EQ(memcmp(&object->KeptHeader, &FormatOf(format).VideoInfoHeader, sizeof(KS_VIDEOINFOHEADER)), 0);
    EXPECT_EQ(bench.camera.CloseHandle(pin), STATUS_SUCCESS);
  }
  EXPECT_EQ(host::pool::Outstanding(), before);
}

using F = KS_DATAFORMAT_VIDEOINFOHEADER;
INSTANTIATE_TEST_SUITE_P(
    Cases, FormatTest,
    ::testing::Values(
        FormatCase{"AsOffered", [](F&) {}, STATUS_SUCCESS},
        FormatCase{"Wider", [](F& f) {
                     f.VideoInfoHeader.bmiHeader.biWidth = 800;
                     f.VideoInfoHeader.bmiHeader.biSizeImage = 800 * 480 * 2;
                   }, STATUS_SUCCESS},
        FormatCase{"Narrower", [](F& f) { f.VideoInfoHeader.bmiHeader.biWidth = 600; }, STATUS_NO_MATCH},
        FormatCase{"TopDown", [](F& f) { f.VideoInfoHeader.bmiHeader.biHeight = -480; }, STATUS_SUCCESS},
        FormatCase{"OtherHeight", [](F& f) { f.VideoInfoHeader.bmiHeader.biHeight = 240; }, STATUS_NO_MATCH},
        FormatCase{"MostNegativeHeight", [](F& f) { f.VideoInfoHeader.bmiHeader.biHeight = INT32_MIN; },
                   STATUS_NO_MATCH},
        FormatCase{"ZeroWidth", [](F& f) { f.VideoInfoHeader.bmiHeader.biWidth = 0; }, STATUS_NO_MATCH},
        FormatCase{"OtherCompression", [](F& f) { f.VideoInfoHeader.bmiHeader.biCompression = 0x32595559; },
                   STATUS_NO_MATCH},
        FormatCase{"24Bit", [](F& f) { f.VideoInfoHeader.bmiHeader.biBitCount = 24; }, STATUS_NO_MATCH},
        FormatCase{"8Bit", [](F& f) { f.VideoInfoHeader.bmiHeader.biBitCount = 8; }, STATUS_NO_MATCH},
        FormatCase{"ShortBitmapHeader", [](F& f) { f.VideoInfoHeader.bmiHeader.biSize = 39; },
                   STATUS_INVALID_PARAMETER},
        FormatCase{"HeaderPastTheFormat", [](F& f) { f.VideoInfoHeader.bmiHeader.biSize = 41; },
                   STATUS_INVALID_PARAMETER},
        FormatCase{"HeaderSizeThatWraps", [](F& f) { f.VideoInfoHeader.bmiHeader.biSize = 0xFFFFFFC0u; },
                   STATUS_INVALID_PARAMETER},
        FormatCase{"ImageTooSmall", [](F& f) { f.VideoInfoHeader.bmiHeader.biSizeImage = 614399; },
                   STATUS_INVALID_PARAMETER},
        // 4473925 x 480 x 2 wraps to 704 in 32 bits.
        FormatCase{"ImageSizeThatWraps", [](F& f) {
                     f.VideoInfoHeader.bmiHeader.biWidth = 4473925;
                     f.VideoInfoHeader.bmiHeader.biSizeImage = 704;
                   }, STATUS_INVALID_PARAMETER},
        FormatCase{"IntervalOfTheCamera", [](F& f) { f.VideoInfoHeader.AvgTimePerFrame = 333667; }, STATUS_SUCCESS},
        FormatCase{"IntervalOfAnotherCamera", [](F& f) { f.VideoInfoHeader.AvgTimePerFrame = 400000; },
                   STATUS_NO_MATCH},
        FormatCase{"NoInterval", [](F& f) { f.VideoInfoHeader.AvgTimePerFrame = 0; }, STATUS_NO_MATCH},
        FormatCase{"FormatTooShort", [](F& f) { f.DataFormat.FormatSize = 151; }, STATUS_NO_MATCH}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FormatChangeTest, AStoppedPinTakesANewFormatWhole) {
  CameraBench bench(ProfileOf(0x2E4C0061));  // Alder: several sizes
  Handle pin = nullptr;
  Bytes first;
  ASSERT_EQ(bench.CreatePin(kCapturePinId, 0, &pin, &first), STATUS_SUCCESS);
  Bytes second;
  ASSERT_EQ(bench.Intersect(kCapturePinId, bench.Ranges(kCapturePinId).at(5), &second), STATUS_SUCCESS);
  KSPROPERTY request = {};
  request.Set = {STATICGUIDOF(KSPROPSETID_Connection)};
  request.Id = KSPROPERTY_CONNECTION_DATAFORMAT;
  request.Flags = KSPROPERTY_TYPE_SET;
  const uint64_t blocks = host::pool::Outstanding();
  for (int i = 0; i < 3; i++) {  // repeated changes keep one copy
    host::ks::IoResult r = host::ks::DeviceIoControl(pin, IOCTL_KS_PROPERTY, &request, sizeof request, second.data(),
                                                     ULONG(second.size()));
    ASSERT_EQ(r.status, STATUS_SUCCESS);
  }
  EXPECT_EQ(host::pool::Outstanding(), blocks);
  const KS_FRAMING_ITEM& framing = host::ks::PinObject(pin)->Descriptor->AllocatorFraming->FramingItem[0];
  EXPECT_EQ(framing.FramingRange.Range.MaxFrameSize, 614400u);
  auto* object = static_cast<CCapturePin*>(host::ks::PinObject(pin)->Context);
  // Both copies of the geometry change together, and the device follows the capture pin.
  EXPECT_EQ(object->FormatCopy->bmiHeader.biWidth, 640);
  EXPECT_EQ(object->KeptHeader.bmiHeader.biWidth, 640);
  EXPECT_EQ(bench.Device()->VideoInfo.bmiHeader.biWidth, 640);
  EXPECT_EQ(bench.Device()->VideoInfo.bmiHeader.biHeight, 480);
}

// ---------------------------------------------------------------------------
// Low resources.

// Runs `open` once to count its allocations, then with each of them failing
// in turn: `open` must fail with `expected` and leave no pool block behind.
// `open` returns its status and a handle to close on success.
void EveryAllocationFails(const std::function<NTSTATUS(Handle*)>& open, const std::function<void(Handle)>& close,
                          NTSTATUS expected) {
  const uint64_t baseline = host::pool::Outstanding();
  const uint64_t first = host::pool::AllocationCount();
  Handle handle = nullptr;
  ASSERT_EQ(open(&handle), STATUS_SUCCESS);
  const uint64_t count = host::pool::AllocationCount() - first;
  close(handle);
  ASSERT_GT(count, 0u);
  for (uint64_t n = 1; n <= count; n++) {
    SCOPED_TRACE(n);
    host::pool::FailNth(n);
    EXPECT_EQ(open(&handle), expected);
    host::pool::ClearFaults();
    EXPECT_EQ(host::pool::Outstanding(), baseline);
  }
}

TEST(LowResourcesTest, EveryAllocationOfFilterAndPinCreationFailsCleanly) {
  CameraBench bench(ProfileOf(kMaple0052));
  EveryAllocationFails([&](Handle* filter) { return bench.camera.OpenFilter(filter); },
                 [&](Handle filter) { bench.camera.CloseHandle(filter); }, STATUS_INSUFFICIENT_RESOURCES);
  const Bytes format = FormatFromRange(bench.Ranges(kCapturePinId).at(0));
  EveryAllocationFails([&](Handle* pin) { return bench.camera.CreatePin(bench.filter, kCapturePinId, format, pin); },
                 [&](Handle pin) { bench.camera.CloseHandle(pin); }, STATUS_INSUFFICIENT_RESOURCES);
}

}  // namespace
}  // namespace ovratest
