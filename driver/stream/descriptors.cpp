// The static descriptors of the capture filter: filter and pin descriptors,
// data-range and allocator-framing templates and the filter's automation
// table with its property and method sets. A started device copies and
// edits them; nothing here is ever written.
#include "stream.h"

namespace {

// ---------------------------------------------------------------------------
// Identifiers.
constexpr GUID kFilterCategories[] = {{STATICGUIDOF(KSCATEGORY_VIDEO)}, {STATICGUIDOF(KSCATEGORY_CAPTURE)}};
constexpr GUID kReferenceGuid = {STATICGUIDOF(KSNAME_Filter)};
constexpr GUID kPinNameCapture = {STATICGUIDOF(PINNAME_VIDEO_CAPTURE)};
constexpr GUID kPinNameStill = {STATICGUIDOF(PINNAME_VIDEO_STILL)};

constexpr GUID kSetDroppedFrames = {STATICGUIDOF(PROPSETID_VIDCAP_DROPPEDFRAMES)};
constexpr GUID kSetVideoControl = {STATICGUIDOF(PROPSETID_VIDCAP_VIDEOCONTROL)};
constexpr GUID kSetStream = {STATICGUIDOF(KSPROPSETID_Stream)};
constexpr GUID kSetCamprop = {STATICGUIDOF(PROPSETID_CAMPROP)};
constexpr GUID kSetInterleave = {STATICGUIDOF(PROPSETID_CAMPROP_INTERLEAVE)};
constexpr GUID kSetAlder = {STATICGUIDOF(PROPSETID_CAMPROP_ALDER)};
constexpr GUID kSetBirch = {STATICGUIDOF(PROPSETID_CAMPROP_BIRCH)};
constexpr GUID kSetBirch2 = {STATICGUIDOF(PROPSETID_CAMPROP_BIRCH2)};
constexpr GUID kSetCedar = {STATICGUIDOF(PROPSETID_CAMPROP_CEDAR)};
constexpr GUID kSetLarch = {STATICGUIDOF(PROPSETID_CAMPROP_LARCH)};
constexpr GUID kSetMaple = {STATICGUIDOF(PROPSETID_CAMPROP_MAPLE)};
constexpr GUID kSetRowan = {STATICGUIDOF(PROPSETID_CAMPROP_ROWAN)};
constexpr GUID kSetMethods = {STATICGUIDOF(METHODSETID_CAMPROP)};

// ---------------------------------------------------------------------------
// Property items: MinProperty is a bare KSPROPERTY; no values, relations,
// support handler or serialised size.
constexpr KSPROPERTY_ITEM Item(ULONG id, PFNKSHANDLER get, ULONG minData, PFNKSHANDLER set) {
  KSPROPERTY_ITEM item = {};
  item.PropertyId = id;
  item.GetPropertyHandler = get;
  item.MinProperty = sizeof(KSPROPERTY);
  item.MinData = minData;
  item.SetPropertyHandler = set;
  return item;
}

constexpr KSPROPERTY_ITEM kDroppedFramesItems[] = {
    Item(KSPROPERTY_DROPPEDFRAMES_CURRENT, CCaptureFilter::GetVidcapProperty,
         sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S), nullptr),
};
constexpr KSPROPERTY_ITEM kVideoControlItems[] = {
    Item(KSPROPERTY_VIDEOCONTROL_CAPS, CCaptureFilter::GetVidControlCaps, sizeof(KSPROPERTY_VIDEOCONTROL_CAPS_S),
         nullptr),
    Item(KSPROPERTY_VIDEOCONTROL_MODE, CCaptureFilter::GetVidControlMode, sizeof(KSPROPERTY_VIDEOCONTROL_MODE_S),
         CCaptureFilter::SetVidControlMode),
};
constexpr KSPROPERTY_ITEM kStreamItems[] = {
    Item(KSPROPERTY_STREAM_MASTERCLOCK, nullptr, sizeof(HANDLE), CCaptureFilter::SetStreamProperty),
};
constexpr KSPROPERTY_ITEM kCampropItems[] = {
    Item(CAMPROP_I2C_DATA, CCaptureFilter::GetI2CData, 6, CCaptureFilter::SetI2CData),
    Item(CAMPROP_PRODUCT_ID, CCaptureFilter::GetCustomProperty, sizeof(ULONG), nullptr),
    Item(CAMPROP_ALT_SETTING, CCaptureFilter::GetCustomProperty, sizeof(ULONG), CCaptureFilter::SetCustomProperty),
    Item(CAMPROP_AVAILABLE, CCaptureFilter::GetCustomProperty, sizeof(ULONG), nullptr),
    Item(CAMPROP_STATUS_BIT, CCaptureFilter::GetCustomProperty, sizeof(ULONG), nullptr),
    Item(CAMPROP_FX2_EEPROM, CCaptureFilter::ReadFx2Eeprom, 2, CCaptureFilter::WriteFx2Eeprom),
};
constexpr KSPROPERTY_ITEM kInterleaveItems[] = {
    Item(CAMPROP_INTERLEAVE, CCaptureFilter::GetCustomProperty, sizeof(ULONG), CCaptureFilter::SetCustomProperty),
};
constexpr KSPROPERTY_ITEM kExposureItems[] = {
    Item(CAMPROP_EXPOSURE, CCaptureFilter::GetCustomProperty, sizeof(ULONG), CCaptureFilter::SetCustomProperty),
    Item(CAMPROP_SNAPSHOT_MODE, CCaptureFilter::GetCustomProperty, sizeof(ULONG), CCaptureFilter::SetCustomProperty),
};
constexpr KSPROPERTY_ITEM kOsdItems[] = {
    Item(CAMPROP_OSD_COMMAND, nullptr, sizeof(ULONG), CCaptureFilter::SetCustomProperty),
};

template <size_t N>
constexpr KSPROPERTY_SET Set(const GUID* set, const KSPROPERTY_ITEM (&items)[N]) {
  return KSPROPERTY_SET{set, ULONG(N), items, 0, nullptr};
}

#define OVRA_COMMON_SETS                                                                       \
  Set(&kSetDroppedFrames, kDroppedFramesItems), Set(&kSetVideoControl, kVideoControlItems), \
      Set(&kSetStream, kStreamItems), Set(&kSetCamprop, kCampropItems)

// The property-set lists: the four common sets, then the model's own.
constexpr KSPROPERTY_SET kTemplateSets[] = {OVRA_COMMON_SETS, Set(&kSetInterleave, kInterleaveItems)};
constexpr KSPROPERTY_SET kAlderSets[] = {OVRA_COMMON_SETS, Set(&kSetAlder, kExposureItems)};
constexpr KSPROPERTY_SET kBirchSets[] = {OVRA_COMMON_SETS, Set(&kSetBirch, kExposureItems),
                                     Set(&kSetBirch2, kExposureItems)};
constexpr KSPROPERTY_SET kCedarSets[] = {OVRA_COMMON_SETS, Set(&kSetCedar, kInterleaveItems)};
constexpr KSPROPERTY_SET kLarchSets[] = {OVRA_COMMON_SETS, Set(&kSetLarch, kInterleaveItems)};
constexpr KSPROPERTY_SET kMapleSets[] = {OVRA_COMMON_SETS, Set(&kSetMaple, kOsdItems)};
constexpr KSPROPERTY_SET kRowanSets[] = {OVRA_COMMON_SETS, Set(&kSetRowan, kInterleaveItems)};
constexpr KSPROPERTY_SET kGenericSets[] = {OVRA_COMMON_SETS};
#undef OVRA_COMMON_SETS

constexpr KSMETHOD_ITEM Method(ULONG id, PFNKSHANDLER handler, ULONG minData, ULONG flags) {
  KSMETHOD_ITEM item = {};
  item.MethodId = id;
  item.MethodHandler = handler;
  item.MinMethod = sizeof(KSMETHOD);
  item.MinData = minData;
  item.Flags = flags;
  return item;
}
constexpr KSMETHOD_ITEM kMethodItems[] = {
    Method(CAMPROP_METHOD_SNAPSHOT, CCaptureFilter::MethodHandler, 0, KSMETHOD_TYPE_NONE),
    Method(CAMPROP_METHOD_LOAD_FIRMWARE, CCaptureFilter::LoadFirmware, 0, KSMETHOD_TYPE_NONE),
    Method(CAMPROP_METHOD_CAMERA_POWER, CCaptureFilter::MethodHandler, sizeof(ULONG), KSMETHOD_TYPE_READ),
};
constexpr KSMETHOD_SET kMethodSets[] = {{&kSetMethods, ULONG(sizeof(kMethodItems) / sizeof(kMethodItems[0])),
                                     kMethodItems, 0, nullptr}};

template <size_t N>
constexpr ULONG Count(const KSPROPERTY_SET (&)[N]) {
  return ULONG(N);
}

// ---------------------------------------------------------------------------
// Dispatch tables.
constexpr KSFILTER_DISPATCH kFilterDispatch = {CCaptureFilter::DispatchCreate, CCaptureFilter::DispatchClose, nullptr,
                                           nullptr};
constexpr KSPIN_DISPATCH kPinDispatch = {
    CCapturePin::DispatchCreate,    CCapturePin::DispatchClose,    CCapturePin::DispatchProcess, nullptr,
    CCapturePin::DispatchSetFormat, CCapturePin::DispatchSetState, nullptr,                      nullptr,
    nullptr,                        nullptr};

// ---------------------------------------------------------------------------
// Data ranges: 720 x 488 UYVY at 30 frames a second until a device fills in
// one range per resolution.
constexpr LONG kTemplateWidth = 720;
constexpr LONG kTemplateHeight = 488;
constexpr ULONG kTemplateImage = 702720;  // 720 x 488 x 2
constexpr LONGLONG kTemplateInterval = 333667;
constexpr LONG kTemplateBitRate = 168652800;
constexpr ULONG kFourccUyvy = 0x59565955;

constexpr KS_DATARANGE_VIDEO MakeRange(ULONG streamFlags) {
  KS_DATARANGE_VIDEO range = {};
  range.DataRange.FormatSize = sizeof(KS_DATARANGE_VIDEO);
  range.DataRange.SampleSize = kTemplateImage;
  range.DataRange.MajorFormat = {STATICGUIDOF(KSDATAFORMAT_TYPE_VIDEO)};
  range.DataRange.SubFormat = {STATICGUIDOF(KSDATAFORMAT_SUBTYPE_UYVY)};
  range.DataRange.Specifier = {STATICGUIDOF(KSDATAFORMAT_SPECIFIER_VIDEOINFO)};
  range.bFixedSizeSamples = TRUE;
  range.bTemporalCompression = TRUE;
  range.StreamDescriptionFlags = streamFlags;
  KS_VIDEO_STREAM_CONFIG_CAPS& caps = range.ConfigCaps;
  caps.guid = {STATICGUIDOF(KSDATAFORMAT_SPECIFIER_VIDEOINFO)};
  const SIZE size = {kTemplateWidth, kTemplateHeight};
  caps.InputSize = caps.MinCroppingSize = caps.MaxCroppingSize = caps.MinOutputSize = caps.MaxOutputSize = size;
  caps.CropGranularityX = caps.CropGranularityY = caps.CropAlignX = caps.CropAlignY = 1;
  caps.OutputGranularityX = caps.OutputGranularityY = 1;
  caps.MinFrameInterval = caps.MaxFrameInterval = kTemplateInterval;
  caps.MinBitsPerSecond = caps.MaxBitsPerSecond = kTemplateBitRate;
  KS_VIDEOINFOHEADER& info = range.VideoInfoHeader;
  info.rcSource.right = kTemplateWidth;
  info.rcSource.bottom = kTemplateHeight;
  info.dwBitRate = kTemplateBitRate;
  info.AvgTimePerFrame = kTemplateInterval;
  info.bmiHeader.biSize = sizeof(KS_BITMAPINFOHEADER);
  info.bmiHeader.biWidth = kTemplateWidth;
  info.bmiHeader.biHeight = kTemplateHeight;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 16;
  info.bmiHeader.biCompression = kFourccUyvy;
  info.bmiHeader.biSizeImage = kTemplateImage;
  return range;
}

constexpr KSALLOCATOR_FRAMING_EX MakeFraming() {
  KSALLOCATOR_FRAMING_EX framing = {};
  framing.CountItems = 1;
  framing.OutputCompression = {1, 1, 0};
  KS_FRAMING_ITEM& item = framing.FramingItem[0];
  item.MemoryType = {STATICGUIDOF(KSMEMORY_TYPE_KERNEL_NONPAGED)};
  item.Flags = KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY | KSALLOCATOR_REQUIREMENTF_PREFERENCES_ONLY;
  item.Frames = 3;
  item.PhysicalRange = {0, 0xFFFFFFFF, 1};
  item.FramingRange.Range = {8192, 8192, 1};
  return framing;
}

}  // namespace

// Every template is constant-initialised (no code runs at load).
constexpr KS_DATARANGE_VIDEO CaptureRangeTemplate = MakeRange(KS_VIDEOSTREAM_CAPTURE);
constexpr KS_DATARANGE_VIDEO StillRangeTemplate = MakeRange(KS_VIDEOSTREAM_STILL);
constexpr KSALLOCATOR_FRAMING_EX PinAllocatorFraming = MakeFraming();

namespace {

// The pin descriptors point at one range each; a device replaces the lists.
constexpr PKSDATARANGE kCaptureRanges[] = {const_cast<PKSDATARANGE>(&CaptureRangeTemplate.DataRange)};
constexpr PKSDATARANGE kStillRanges[] = {const_cast<PKSDATARANGE>(&StillRangeTemplate.DataRange)};

constexpr KSPIN_DESCRIPTOR_EX MakePin(const PKSDATARANGE* ranges, const GUID* name, ULONG instancesNecessary) {
  KSPIN_DESCRIPTOR_EX pin = {};
  pin.Dispatch = &kPinDispatch;
  pin.PinDescriptor.DataRangesCount = 1;
  pin.PinDescriptor.DataRanges = ranges;
  pin.PinDescriptor.DataFlow = KSPIN_DATAFLOW_OUT;
  pin.PinDescriptor.Communication = KSPIN_COMMUNICATION_BOTH;
  pin.PinDescriptor.Category = name;
  pin.PinDescriptor.Name = name;
  pin.Flags = KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY;
  pin.InstancesPossible = 1;
  pin.InstancesNecessary = instancesNecessary;
  pin.AllocatorFraming = &PinAllocatorFraming;
  pin.IntersectHandler = CCapturePin::IntersectHandler;
  return pin;
}

}  // namespace

constexpr KSAUTOMATION_TABLE CaptureFilterAutomationTable = {
    Count(kTemplateSets), sizeof(KSPROPERTY_ITEM), kTemplateSets, 1, sizeof(KSMETHOD_ITEM), kMethodSets, 0, 0,
    nullptr};

constexpr KSPIN_DESCRIPTOR_EX CapturePinDescriptors[2] = {MakePin(kCaptureRanges, &kPinNameCapture, 1),
                                                      MakePin(kStillRanges, &kPinNameStill, 0)};

constexpr KSFILTER_DESCRIPTOR CaptureFilterDescriptor = {
    &kFilterDispatch,
    &CaptureFilterAutomationTable,
    KSFILTER_DESCRIPTOR_VERSION,
    0,
    &kReferenceGuid,
    2,
    sizeof(KSPIN_DESCRIPTOR_EX),
    CapturePinDescriptors,
    2,
    kFilterCategories,
    0,
    sizeof(KSNODE_DESCRIPTOR),
    nullptr,
    0,
    nullptr,
    nullptr};

const KSPROPERTY_SET* ModelPropertySets(ULONG modelType, PULONG count) {
  switch (modelType) {
    case 1: *count = Count(kAlderSets); return kAlderSets;
    case 2: *count = Count(kBirchSets); return kBirchSets;
    case 3: *count = Count(kCedarSets); return kCedarSets;
    case 4: *count = Count(kLarchSets); return kLarchSets;
    case 5: *count = Count(kMapleSets); return kMapleSets;
    case 6: *count = Count(kRowanSets); return kRowanSets;
    case 8: *count = Count(kGenericSets); return kGenericSets;
    default: *count = Count(kTemplateSets); return kTemplateSets;
  }
}
