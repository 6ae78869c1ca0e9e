// The data range a pin offers for one resolution of a camera model.
#include "stream.h"

namespace {

constexpr ULONG kAlderKey0060 = 0x2E4C0060;
constexpr LONGLONG kSecond = 10000000;  // 100-ns units

// Rate fields of the ranges are 32-bit; a resolution too large for them (a
// registry-defined one) saturates rather than wraps, so that no format built
// from the range can pass the size checks with a wrapped image size.
ULONG Saturate32(ULONGLONG value) { return value > 0xFFFFFFFFull ? 0xFFFFFFFFu : ULONG(value); }
LONG SaturateLong(ULONGLONG value) { return value > 0x7FFFFFFFull ? 0x7FFFFFFF : LONG(value); }

}  // namespace

void CCapturePin::CalculateDataRange(PKS_DATARANGE_VIDEO range, BOOLEAN still, ULONG altSetting, ULONG modelType,
                                     ULONG vidPid, ULONG width, ULONG height) {
  // Fastest and slowest frame rates, in frames per second.
  ULONG rateMax = 30;
  ULONG rateMin = 30;
  if (modelType == 1) {
    rateMin = 1;
    if (vidPid == kAlderKey0060) {
      if (altSetting == 1) rateMax = width <= 800 ? 24 : 18;
    } else if (width != 0) {
      rateMax = (altSetting == 0 ? 31000 : 23040) / width;
    }
  } else if (modelType == 2) {
    switch (width) {
      case 320:
      case 640: rateMax = 30; break;
      case 800: rateMax = 20; break;
      case 1024: rateMax = 12; break;
      default: rateMax = 8; break;
    }
    rateMin = rateMax;
  }
  if (rateMax == 0) rateMax = 1;  // a width beyond the table's rates

  const ULONGLONG pixels = ULONGLONG(width) * height;
  const ULONG imageSize = Saturate32(pixels * 16 / 8);
  range->DataRange.SampleSize = imageSize;
  range->VideoInfoHeader.bmiHeader.biSizeImage = imageSize;
  range->StreamDescriptionFlags = still ? KS_VIDEOSTREAM_STILL : KS_VIDEOSTREAM_CAPTURE;

  KS_VIDEO_STREAM_CONFIG_CAPS& caps = range->ConfigCaps;
  const SIZE size = {LONG(width), LONG(height)};
  caps.InputSize = size;
  caps.MinCroppingSize = size;
  caps.MaxCroppingSize = size;
  caps.MinOutputSize = size;
  caps.MaxOutputSize = size;
  caps.MinFrameInterval = kSecond / LONGLONG(rateMax);
  caps.MaxFrameInterval = kSecond / LONGLONG(rateMin);
  caps.MinBitsPerSecond = SaturateLong(pixels * 16 * rateMin);
  caps.MaxBitsPerSecond = SaturateLong(pixels * 16 * rateMax);

  KS_VIDEOINFOHEADER& info = range->VideoInfoHeader;
  info.AvgTimePerFrame = caps.MinFrameInterval;
  info.dwBitRate = Saturate32(pixels * 16 * rateMax);
  info.rcSource.right = LONG(width);
  info.rcSource.bottom = LONG(height);
  info.bmiHeader.biWidth = LONG(width);
  info.bmiHeader.biHeight = LONG(height);
}
