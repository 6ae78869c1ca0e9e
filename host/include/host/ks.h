// User-mode stand-in for the kernel-streaming interface (ks.h, ksmedia.h):
// the published structures with their x64 layouts, the GUIDs, and the
// AVStream routines a minidriver calls. Names and layouts are the WDK's, so a
// minidriver compiles unchanged against this header and against the WDK.
#pragma once

#include "nt.h"

#ifndef STATUS_PROPSET_NOT_FOUND
#define STATUS_PROPSET_NOT_FOUND ((NTSTATUS)0xC0000230L)
#endif
#ifndef STATUS_DEVICE_NOT_READY
#define STATUS_DEVICE_NOT_READY ((NTSTATUS)0xC00000A3L)
#endif
#ifndef STATUS_SHARING_VIOLATION
#define STATUS_SHARING_VIOLATION ((NTSTATUS)0xC0000043L)
#endif
#ifndef STATUS_NOINTERFACE
#define STATUS_NOINTERFACE ((NTSTATUS)0xC00002B9L)
#endif

#define SIZEOF_ARRAY(a) (sizeof(a) / sizeof((a)[0]))
typedef PVOID PSECURITY_DESCRIPTOR;
typedef GUID IID;
typedef const GUID& REFIID;

// GUIDs: STATIC_X expands to the initialiser list (for static tables), X is
// the named constant (one definition across the program).
#define STATICGUIDOF(guid) STATIC_##guid
#define HOST_DEFINE_GUID(name) inline const GUID name = {STATIC_##name}

#define STATIC_GUID_NULL 0x00000000, 0x0000, 0x0000, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00
#define STATIC_KSPROPSETID_General 0x1464EDA5, 0x6A8F, 0x11D1, 0x9A, 0xA7, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96
#define STATIC_KSPROPTYPESETID_General 0x97E99BA0, 0xBDEA, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00
#define STATIC_KSPROPSETID_Pin 0x8C134960, 0x51AD, 0x11CF, 0x87, 0x8A, 0x94, 0xF8, 0x01, 0xC1, 0x00, 0x00
#define STATIC_KSPROPSETID_Connection 0x1D58C920, 0xAC9B, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00
#define STATIC_KSPROPSETID_Stream 0x65aaba60, 0x98ae, 0x11cf, 0xa1, 0x0d, 0x00, 0x20, 0xaf, 0xd1, 0x56, 0xe4
#define STATIC_PROPSETID_VIDCAP_DROPPEDFRAMES 0xC6E13344, 0x30AC, 0x11d0, 0xa1, 0x8c, 0x00, 0xa0, 0xc9, 0x11, 0x89, 0x56
#define STATIC_PROPSETID_VIDCAP_VIDEOCONTROL 0x6a2e0670, 0x28e4, 0x11d0, 0xa1, 0x8c, 0x00, 0xa0, 0xc9, 0x11, 0x89, 0x56
#define STATIC_KSCATEGORY_VIDEO 0x6994AD05, 0x93EF, 0x11D0, 0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96
#define STATIC_KSCATEGORY_CAPTURE 0x65E8773D, 0x8F56, 0x11D0, 0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96
#define STATIC_PINNAME_VIDEO_CAPTURE 0xfb6c4281, 0x0353, 0x11d1, 0x90, 0x5f, 0x00, 0x00, 0xc0, 0xcc, 0x16, 0xba
#define STATIC_PINNAME_VIDEO_STILL 0xfb6c428A, 0x0353, 0x11d1, 0x90, 0x5f, 0x00, 0x00, 0xc0, 0xcc, 0x16, 0xba
#define STATIC_KSDATAFORMAT_TYPE_VIDEO 0x73646976, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71
#define STATIC_KSDATAFORMAT_SUBTYPE_UYVY 0x59565955, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71
#define STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO 0x05589f80, 0xc356, 0x11ce, 0xbf, 0x01, 0x00, 0xaa, 0x00, 0x55, 0x59, 0x5a
#define STATIC_KSDATAFORMAT_SPECIFIER_NONE 0x0F6417D6, 0xC318, 0x11D0, 0xA4, 0x3F, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96
#define STATIC_KSDATAFORMAT_TYPE_WILDCARD STATIC_GUID_NULL
#define STATIC_KSDATAFORMAT_SUBTYPE_WILDCARD STATIC_GUID_NULL
#define STATIC_KSDATAFORMAT_SPECIFIER_WILDCARD STATIC_GUID_NULL
#define STATIC_KSMEMORY_TYPE_KERNEL_NONPAGED 0x4a6d5fc4, 0x7895, 0x11d1, 0xb0, 0x69, 0x00, 0xa0, 0xc9, 0x06, 0x28, 0x02
#define STATIC_KSNAME_Filter 0x9b365890, 0x165f, 0x11d0, 0xa1, 0x95, 0x00, 0x20, 0xaf, 0xd1, 0x56, 0xe4
#define STATIC_KSINTERFACESETID_Standard 0x1A8766A0, 0x62CE, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00
#define STATIC_KSMEDIUMSETID_Standard 0x4747B320, 0x62CE, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00
#define STATIC_KS_TYPE_DONT_CARE STATIC_GUID_NULL
#define STATIC_IID_IUnknown 0x00000000, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46

HOST_DEFINE_GUID(GUID_NULL);
HOST_DEFINE_GUID(KSPROPSETID_General);
HOST_DEFINE_GUID(KSPROPTYPESETID_General);
HOST_DEFINE_GUID(KSPROPSETID_Pin);
HOST_DEFINE_GUID(KSPROPSETID_Connection);
HOST_DEFINE_GUID(KSPROPSETID_Stream);
HOST_DEFINE_GUID(PROPSETID_VIDCAP_DROPPEDFRAMES);
HOST_DEFINE_GUID(PROPSETID_VIDCAP_VIDEOCONTROL);
HOST_DEFINE_GUID(KSCATEGORY_VIDEO);
HOST_DEFINE_GUID(KSCATEGORY_CAPTURE);
HOST_DEFINE_GUID(PINNAME_VIDEO_CAPTURE);
HOST_DEFINE_GUID(PINNAME_VIDEO_STILL);
HOST_DEFINE_GUID(KSDATAFORMAT_TYPE_VIDEO);
HOST_DEFINE_GUID(KSDATAFORMAT_SUBTYPE_UYVY);
HOST_DEFINE_GUID(KSDATAFORMAT_SPECIFIER_VIDEOINFO);
HOST_DEFINE_GUID(KSDATAFORMAT_SPECIFIER_NONE);
HOST_DEFINE_GUID(KSMEMORY_TYPE_KERNEL_NONPAGED);
HOST_DEFINE_GUID(KSNAME_Filter);
HOST_DEFINE_GUID(KSINTERFACESETID_Standard);
HOST_DEFINE_GUID(KSMEDIUMSETID_Standard);
HOST_DEFINE_GUID(IID_IUnknown);
#define KSDATAFORMAT_TYPE_WILDCARD GUID_NULL
#define KSDATAFORMAT_SUBTYPE_WILDCARD GUID_NULL
#define KSDATAFORMAT_SPECIFIER_WILDCARD GUID_NULL
#define KS_TYPE_DONT_CARE GUID_NULL

// Control codes of kernel-streaming objects (all METHOD_NEITHER).
#ifndef FILE_READ_ACCESS
#define FILE_READ_ACCESS 0x0001
#define FILE_WRITE_ACCESS 0x0002
#endif
#define IOCTL_KS_PROPERTY CTL_CODE(FILE_DEVICE_KS, 0x000, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_KS_ENABLE_EVENT CTL_CODE(FILE_DEVICE_KS, 0x001, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_KS_DISABLE_EVENT CTL_CODE(FILE_DEVICE_KS, 0x002, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_KS_METHOD CTL_CODE(FILE_DEVICE_KS, 0x003, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_KS_WRITE_STREAM CTL_CODE(FILE_DEVICE_KS, 0x004, METHOD_NEITHER, FILE_WRITE_ACCESS)
#define IOCTL_KS_READ_STREAM CTL_CODE(FILE_DEVICE_KS, 0x005, METHOD_NEITHER, FILE_READ_ACCESS)
#define IOCTL_KS_RESET_STATE CTL_CODE(FILE_DEVICE_KS, 0x006, METHOD_NEITHER, FILE_ANY_ACCESS)

typedef enum { KSRESET_BEGIN, KSRESET_END } KSRESET;
typedef enum { KSSTATE_STOP, KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN } KSSTATE, *PKSSTATE;

#define KSPRIORITY_LOW 0x00000001
#define KSPRIORITY_NORMAL 0x40000000
#define KSPRIORITY_HIGH 0x80000000
#define KSPRIORITY_EXCLUSIVE 0xFFFFFFFF
typedef struct {
  ULONG PriorityClass;
  ULONG PrioritySubClass;
} KSPRIORITY, *PKSPRIORITY;

// ---------------------------------------------------------------------------
// Identifiers, formats and ranges.
typedef struct {
  union {
    struct {
      GUID Set;
      ULONG Id;
      ULONG Flags;
    };
    LONGLONG Alignment;
  };
} KSIDENTIFIER, *PKSIDENTIFIER;
typedef KSIDENTIFIER KSPROPERTY, *PKSPROPERTY, KSMETHOD, *PKSMETHOD, KSEVENT, *PKSEVENT;

#define KSPROPERTY_TYPE_GET 0x00000001
#define KSPROPERTY_TYPE_SET 0x00000002
#define KSPROPERTY_TYPE_SETSUPPORT 0x00000100
#define KSPROPERTY_TYPE_BASICSUPPORT 0x00000200
#define KSPROPERTY_TYPE_RELATIONS 0x00000400
#define KSPROPERTY_TYPE_SERIALIZESET 0x00000800
#define KSPROPERTY_TYPE_UNSERIALIZESET 0x00001000
#define KSPROPERTY_TYPE_SERIALIZERAW 0x00002000
#define KSPROPERTY_TYPE_UNSERIALIZERAW 0x00004000
#define KSPROPERTY_TYPE_SERIALIZESIZE 0x00008000
#define KSPROPERTY_TYPE_DEFAULTVALUES 0x00010000
#define KSPROPERTY_TYPE_TOPOLOGY 0x10000000
#define KSMETHOD_TYPE_NONE 0x00000000
#define KSMETHOD_TYPE_READ 0x00000001
#define KSMETHOD_TYPE_WRITE 0x00000002
#define KSMETHOD_TYPE_MODIFY 0x00000003
#define KSMETHOD_TYPE_SOURCE 0x00000004
#define KSMETHOD_TYPE_SEND 0x00000001
#define KSMETHOD_TYPE_SETSUPPORT 0x00000100
#define KSMETHOD_TYPE_BASICSUPPORT 0x00000200
#define KSMETHOD_TYPE_TOPOLOGY 0x10000000

typedef KSIDENTIFIER KSPIN_INTERFACE, *PKSPIN_INTERFACE, KSPIN_MEDIUM, *PKSPIN_MEDIUM;

typedef struct {
  ULONG Size;  // bytes, this header included
  ULONG Count;
} KSMULTIPLE_ITEM, *PKSMULTIPLE_ITEM;

// Answer to a basic-support query (followed by MembersListCount member lists).
typedef struct {
  ULONG AccessFlags;  // KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET as supported
  ULONG DescriptionSize;
  KSIDENTIFIER PropTypeSet;
  ULONG MembersListCount;
  ULONG Reserved;
} KSPROPERTY_DESCRIPTION, *PKSPROPERTY_DESCRIPTION;

typedef struct {
  ULONG MembersFlags;
  ULONG MembersSize;
  ULONG MembersCount;
  ULONG Flags;
} KSPROPERTY_MEMBERSHEADER, *PKSPROPERTY_MEMBERSHEADER;

typedef struct {
  KSPROPERTY_MEMBERSHEADER MembersHeader;
  const VOID* Members;
} KSPROPERTY_MEMBERSLIST, *PKSPROPERTY_MEMBERSLIST;

typedef struct {
  KSIDENTIFIER PropTypeSet;
  ULONG MembersListCount;
  const KSPROPERTY_MEMBERSLIST* MembersList;
} KSPROPERTY_VALUES, *PKSPROPERTY_VALUES;

// ---------------------------------------------------------------------------
// Pin property set: instances, data flow, ranges, intersection.
typedef enum {
  KSPROPERTY_PIN_CINSTANCES,
  KSPROPERTY_PIN_CTYPES,
  KSPROPERTY_PIN_DATAFLOW,
  KSPROPERTY_PIN_DATARANGES,
  KSPROPERTY_PIN_DATAINTERSECTION,
  KSPROPERTY_PIN_INTERFACES,
  KSPROPERTY_PIN_MEDIUMS,
  KSPROPERTY_PIN_COMMUNICATION,
  KSPROPERTY_PIN_GLOBALCINSTANCES,
  KSPROPERTY_PIN_NECESSARYINSTANCES,
  KSPROPERTY_PIN_PHYSICALCONNECTION,
  KSPROPERTY_PIN_CATEGORY,
  KSPROPERTY_PIN_NAME,
  KSPROPERTY_PIN_CONSTRAINEDDATARANGES,
  KSPROPERTY_PIN_PROPOSEDATAFORMAT
} KSPROPERTY_PIN;

typedef struct {
  KSPROPERTY Property;
  ULONG PinId;
  ULONG Reserved;
} KSP_PIN, *PKSP_PIN;

#define KSINSTANCE_INDETERMINATE ((ULONG)-1)
typedef struct {
  ULONG PossibleCount;
  ULONG CurrentCount;
} KSPIN_CINSTANCES, *PKSPIN_CINSTANCES;

typedef enum { KSPIN_DATAFLOW_IN = 1, KSPIN_DATAFLOW_OUT } KSPIN_DATAFLOW, *PKSPIN_DATAFLOW;
typedef enum {
  KSPIN_COMMUNICATION_NONE,
  KSPIN_COMMUNICATION_SINK,
  KSPIN_COMMUNICATION_SOURCE,
  KSPIN_COMMUNICATION_BOTH,
  KSPIN_COMMUNICATION_BRIDGE
} KSPIN_COMMUNICATION, *PKSPIN_COMMUNICATION;

// What a client sends to create a pin (followed by the data format).
typedef struct {
  KSPIN_INTERFACE Interface;
  KSPIN_MEDIUM Medium;
  ULONG PinId;
  HANDLE PinToHandle;  // null: the pin is a sink for a user-mode client
  KSPRIORITY Priority;
} KSPIN_CONNECT, *PKSPIN_CONNECT;

#define KSINTERFACE_STANDARD_STREAMING 0
#define KSMEDIUM_TYPE_ANYINSTANCE 0
#define KSMEDIUM_STANDARD_DEVIO KSMEDIUM_TYPE_ANYINSTANCE

typedef enum {
  KSPROPERTY_CONNECTION_STATE,
  KSPROPERTY_CONNECTION_PRIORITY,
  KSPROPERTY_CONNECTION_DATAFORMAT,
  KSPROPERTY_CONNECTION_ALLOCATORFRAMING,
  KSPROPERTY_CONNECTION_PROPOSEDATAFORMAT,
  KSPROPERTY_CONNECTION_ACQUIREORDERING,
  KSPROPERTY_CONNECTION_ALLOCATORFRAMING_EX,
  KSPROPERTY_CONNECTION_STARTAT
} KSPROPERTY_CONNECTION;

typedef enum {
  KSPROPERTY_STREAM_ALLOCATOR,
  KSPROPERTY_STREAM_QUALITY,
  KSPROPERTY_STREAM_DEGRADATION,
  KSPROPERTY_STREAM_MASTERCLOCK,
  KSPROPERTY_STREAM_TIMEFORMAT,
  KSPROPERTY_STREAM_PRESENTATIONTIME,
  KSPROPERTY_STREAM_PRESENTATIONEXTENT,
  KSPROPERTY_STREAM_FRAMETIME,
  KSPROPERTY_STREAM_RATECAPABILITY,
  KSPROPERTY_STREAM_RATE,
  KSPROPERTY_STREAM_PIPE_ID
} KSPROPERTY_STREAM;

typedef union {
  struct {
    ULONG FormatSize;
    ULONG Flags;
    ULONG SampleSize;
    ULONG Reserved;
    GUID MajorFormat;
    GUID SubFormat;
    GUID Specifier;
  };
  LONGLONG Alignment;
} KSDATAFORMAT, *PKSDATAFORMAT, KSDATARANGE, *PKSDATARANGE;

#define KSDATAFORMAT_TEMPORAL_COMPRESSION 0x1
#define KSDATAFORMAT_ATTRIBUTES 0x2
#define KSDATARANGE_ATTRIBUTES 0x2
#define KSDATARANGE_REQUIRED_ATTRIBUTES 0x4

typedef struct {
  ULONG Size;
  ULONG Flags;
  GUID Attribute;
} KSATTRIBUTE, *PKSATTRIBUTE;

typedef struct {
  ULONG Count;
  PKSATTRIBUTE* Attributes;
} KSATTRIBUTE_LIST, *PKSATTRIBUTE_LIST;

typedef struct {
  LONGLONG Time;
  ULONG Numerator;
  ULONG Denominator;
} KSTIME, *PKSTIME;

typedef struct {
  ULONG Size;
  ULONG TypeSpecificFlags;
  KSTIME PresentationTime;
  LONGLONG Duration;
  ULONG FrameExtent;
  ULONG DataUsed;
  PVOID Data;
  ULONG OptionsFlags;
  ULONG Reserved;
} KSSTREAM_HEADER, *PKSSTREAM_HEADER;

#define KSSTREAM_HEADER_OPTIONSF_SPLICEPOINT 0x00000001
#define KSSTREAM_HEADER_OPTIONSF_PREROLL 0x00000002
#define KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY 0x00000004
#define KSSTREAM_HEADER_OPTIONSF_TYPECHANGED 0x00000008
#define KSSTREAM_HEADER_OPTIONSF_TIMEVALID 0x00000010
#define KSSTREAM_HEADER_OPTIONSF_TIMEDISCONTINUITY 0x00000040
#define KSSTREAM_HEADER_OPTIONSF_DURATIONVALID 0x00000100
#define KSSTREAM_HEADER_OPTIONSF_ENDOFSTREAM 0x00000200

// ---------------------------------------------------------------------------
// Video structures (ksmedia.h).
typedef struct tagRECT {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
} RECT, *PRECT;

typedef struct tagSIZE {
  LONG cx;
  LONG cy;
} SIZE, *PSIZE;

typedef struct tagKS_BITMAPINFOHEADER {
  DWORD biSize;
  LONG biWidth;
  LONG biHeight;
  WORD biPlanes;
  WORD biBitCount;
  DWORD biCompression;
  DWORD biSizeImage;
  LONG biXPelsPerMeter;
  LONG biYPelsPerMeter;
  DWORD biClrUsed;
  DWORD biClrImportant;
} KS_BITMAPINFOHEADER, *PKS_BITMAPINFOHEADER;

typedef struct tagKS_VIDEOINFOHEADER {
  RECT rcSource;
  RECT rcTarget;
  DWORD dwBitRate;
  DWORD dwBitErrorRate;
  REFERENCE_TIME AvgTimePerFrame;
  KS_BITMAPINFOHEADER bmiHeader;
} KS_VIDEOINFOHEADER, *PKS_VIDEOINFOHEADER;

typedef struct _KS_VIDEO_STREAM_CONFIG_CAPS {
  GUID guid;
  ULONG VideoStandard;
  SIZE InputSize;
  SIZE MinCroppingSize;
  SIZE MaxCroppingSize;
  int CropGranularityX;
  int CropGranularityY;
  int CropAlignX;
  int CropAlignY;
  SIZE MinOutputSize;
  SIZE MaxOutputSize;
  int OutputGranularityX;
  int OutputGranularityY;
  int StretchTapsX;
  int StretchTapsY;
  int ShrinkTapsX;
  int ShrinkTapsY;
  LONGLONG MinFrameInterval;
  LONGLONG MaxFrameInterval;
  LONG MinBitsPerSecond;
  LONG MaxBitsPerSecond;
} KS_VIDEO_STREAM_CONFIG_CAPS, *PKS_VIDEO_STREAM_CONFIG_CAPS;

typedef struct tagKS_DATARANGE_VIDEO {
  KSDATARANGE DataRange;
  BOOL bFixedSizeSamples;
  BOOL bTemporalCompression;
  DWORD StreamDescriptionFlags;
  DWORD MemoryAllocationFlags;
  KS_VIDEO_STREAM_CONFIG_CAPS ConfigCaps;
  KS_VIDEOINFOHEADER VideoInfoHeader;
} KS_DATARANGE_VIDEO, *PKS_DATARANGE_VIDEO;

typedef struct tagKS_DATAFORMAT_VIDEOINFOHEADER {
  KSDATAFORMAT DataFormat;
  KS_VIDEOINFOHEADER VideoInfoHeader;
} KS_DATAFORMAT_VIDEOINFOHEADER, *PKS_DATAFORMAT_VIDEOINFOHEADER;

#define KS_VIDEOSTREAM_PREVIEW 0x0001
#define KS_VIDEOSTREAM_CAPTURE 0x0002
#define KS_VIDEOSTREAM_STILL 0x1000
#define KS_BI_RGB 0L

typedef struct tagKS_FRAME_INFO {
  ULONG ExtendedHeaderSize;
  DWORD dwFrameFlags;
  LONGLONG PictureNumber;
  LONGLONG DropCount;
  HANDLE hDirectDraw;
  HANDLE hSurfaceHandle;
  RECT DirectDrawRect;
  DWORD Reserved1;
  DWORD Reserved2;
  DWORD Reserved3;
  DWORD Reserved4;
} KS_FRAME_INFO, *PKS_FRAME_INFO;

#define KS_VIDEO_FLAG_FRAME 0x0000
#define KS_VIDEO_FLAG_FIELD1 0x0001
#define KS_VIDEO_FLAG_FIELD2 0x0002
#define KS_VIDEO_FLAG_I_FRAME 0x0000

typedef enum { KSPROPERTY_DROPPEDFRAMES_CURRENT } KSPROPERTY_VIDCAP_DROPPEDFRAMES;
typedef enum {
  KSPROPERTY_VIDEOCONTROL_CAPS,
  KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE,
  KSPROPERTY_VIDEOCONTROL_FRAME_RATES,
  KSPROPERTY_VIDEOCONTROL_MODE
} KSPROPERTY_VIDCAP_VIDEOCONTROL;
typedef enum {
  KS_VideoControlFlag_FlipHorizontal = 0x0001,
  KS_VideoControlFlag_FlipVertical = 0x0002,
  KS_VideoControlFlag_ExternalTriggerEnable = 0x0004,
  KS_VideoControlFlag_Trigger = 0x0008
} KS_VideoControlFlags;

typedef struct {
  KSPROPERTY Property;
  LONGLONG PictureNumber;
  LONGLONG DropCount;
  ULONG AverageFrameSize;
} KSPROPERTY_DROPPEDFRAMES_CURRENT_S, *PKSPROPERTY_DROPPEDFRAMES_CURRENT_S;

typedef struct {
  KSPROPERTY Property;
  ULONG StreamIndex;
  ULONG VideoControlCaps;
} KSPROPERTY_VIDEOCONTROL_CAPS_S, *PKSPROPERTY_VIDEOCONTROL_CAPS_S;

typedef struct {
  KSPROPERTY Property;
  ULONG StreamIndex;
  LONG Mode;
} KSPROPERTY_VIDEOCONTROL_MODE_S, *PKSPROPERTY_VIDEOCONTROL_MODE_S;

static_assert(sizeof(KSDATAFORMAT) == 64, "KSDATAFORMAT");
static_assert(sizeof(KS_VIDEOINFOHEADER) == 88, "KS_VIDEOINFOHEADER");
static_assert(sizeof(KS_DATARANGE_VIDEO) == 296, "KS_DATARANGE_VIDEO");
static_assert(sizeof(KSPROPERTY) == 24 && sizeof(KSMETHOD) == 24, "KSPROPERTY/KSMETHOD");
static_assert(sizeof(KSSTREAM_HEADER) == 56, "KSSTREAM_HEADER");
static_assert(sizeof(KS_FRAME_INFO) == 72, "KS_FRAME_INFO");
static_assert(sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S) == 48, "KSPROPERTY_DROPPEDFRAMES_CURRENT_S");
static_assert(sizeof(KSPROPERTY_VIDEOCONTROL_CAPS_S) == 32, "KSPROPERTY_VIDEOCONTROL_CAPS_S");
static_assert(sizeof(KSPROPERTY_VIDEOCONTROL_MODE_S) == 32, "KSPROPERTY_VIDEOCONTROL_MODE_S");
static_assert(sizeof(KS_VIDEO_STREAM_CONFIG_CAPS) == 128, "KS_VIDEO_STREAM_CONFIG_CAPS");

// ---------------------------------------------------------------------------
// Reference clock (a COM-style interface; the slot order is the published one).
typedef struct {
  LONGLONG Granularity;
  LONGLONG Error;
} KSRESOLUTION, *PKSRESOLUTION;

struct IUnknown {
  virtual NTSTATUS QueryInterface(REFIID id, PVOID* object) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;
};
typedef IUnknown* PUNKNOWN;

struct IKsReferenceClock : public IUnknown {
  virtual LONGLONG GetTime() = 0;
  virtual LONGLONG GetPhysicalTime() = 0;
  // Presentation time, with the system time (100-ns units) it corresponds to.
  virtual LONGLONG GetCorrelatedTime(PLONGLONG systemTime) = 0;
  virtual LONGLONG GetCorrelatedPhysicalTime(PLONGLONG systemTime) = 0;
  virtual NTSTATUS GetResolution(PKSRESOLUTION resolution) = 0;
  virtual NTSTATUS GetState(PKSSTATE state) = 0;
};
typedef IKsReferenceClock* PIKSREFERENCECLOCK;

// ---------------------------------------------------------------------------
// Automation tables: property, method and event sets with their items.
typedef NTSTATUS (*PFNKSHANDLER)(PIRP irp, PKSIDENTIFIER request, PVOID data);
typedef BOOLEAN (*PFNKSFASTHANDLER)(PFILE_OBJECT fileObject, PKSIDENTIFIER request, ULONG requestLength, PVOID data,
                                    ULONG dataLength, PIO_STATUS_BLOCK ioStatus);

typedef struct {
  ULONG PropertyId;
  union {
    PFNKSHANDLER GetPropertyHandler;
    BOOLEAN GetSupported;
  };
  ULONG MinProperty;
  ULONG MinData;
  union {
    PFNKSHANDLER SetPropertyHandler;
    BOOLEAN SetSupported;
  };
  const KSPROPERTY_VALUES* Values;
  ULONG RelationsCount;
  const KSPROPERTY* Relations;
  PFNKSHANDLER SupportHandler;
  ULONG SerializedSize;
} KSPROPERTY_ITEM, *PKSPROPERTY_ITEM;

typedef struct {
  ULONG PropertyId;
  union {
    PFNKSFASTHANDLER GetPropertyHandler;
    BOOLEAN GetSupported;
  };
  union {
    PFNKSFASTHANDLER SetPropertyHandler;
    BOOLEAN SetSupported;
  };
  ULONG Reserved;
} KSFASTPROPERTY_ITEM, *PKSFASTPROPERTY_ITEM;

typedef struct {
  const GUID* Set;
  ULONG PropertiesCount;
  const KSPROPERTY_ITEM* PropertyItem;
  ULONG FastIoCount;
  const KSFASTPROPERTY_ITEM* FastIoTable;
} KSPROPERTY_SET, *PKSPROPERTY_SET;

typedef struct {
  ULONG MethodId;
  union {
    PFNKSHANDLER MethodHandler;
    BOOLEAN MethodSupported;
  };
  ULONG MinMethod;
  ULONG MinData;
  PFNKSHANDLER SupportHandler;
  ULONG Flags;  // KSMETHOD_TYPE_*
} KSMETHOD_ITEM, *PKSMETHOD_ITEM;

typedef struct {
  ULONG MethodId;
  union {
    PFNKSFASTHANDLER MethodHandler;
    BOOLEAN MethodSupported;
  };
} KSFASTMETHOD_ITEM, *PKSFASTMETHOD_ITEM;

typedef struct {
  const GUID* Set;
  ULONG MethodsCount;
  const KSMETHOD_ITEM* MethodItem;
  ULONG FastIoCount;
  const KSFASTMETHOD_ITEM* FastIoTable;
} KSMETHOD_SET, *PKSMETHOD_SET;

typedef struct {
  ULONG EventId;
  ULONG DataInput;
  ULONG ExtraEntryData;
  PVOID AddHandler;
  PVOID RemoveHandler;
  PVOID SupportHandler;
} KSEVENT_ITEM, *PKSEVENT_ITEM;

typedef struct {
  const GUID* Set;
  ULONG EventsCount;
  const KSEVENT_ITEM* EventItem;
} KSEVENT_SET, *PKSEVENT_SET;

typedef struct KSAUTOMATION_TABLE_ {
  ULONG PropertySetsCount;
  ULONG PropertyItemSize;
  const KSPROPERTY_SET* PropertySets;
  ULONG MethodSetsCount;
  ULONG MethodItemSize;
  const KSMETHOD_SET* MethodSets;
  ULONG EventSetsCount;
  ULONG EventItemSize;
  const KSEVENT_SET* EventSets;
} KSAUTOMATION_TABLE, *PKSAUTOMATION_TABLE;

#define DEFINE_KSPROPERTY_TABLE(tablename) const KSPROPERTY_ITEM tablename[] =
#define DEFINE_KSPROPERTY_ITEM(PropertyId, GetHandler, MinProperty, MinData, SetHandler, Values, RelationsCount, \
                               Relations, SupportHandler, SerializedSize)                                      \
  {                                                                                                            \
    PropertyId, {(PFNKSHANDLER)GetHandler}, MinProperty, MinData, {(PFNKSHANDLER)SetHandler},                  \
        (PKSPROPERTY_VALUES)Values, RelationsCount, (PKSPROPERTY)Relations, (PFNKSHANDLER)SupportHandler,       \
        (ULONG)SerializedSize                                                                                  \
  }
#define DEFINE_KSPROPERTY_SET(Set, PropertiesCount, PropertyItem, FastIoCount, FastIoTable) \
  { Set, PropertiesCount, PropertyItem, FastIoCount, FastIoTable }
#define DEFINE_KSPROPERTY_SET_TABLE(tablename) const KSPROPERTY_SET tablename[] =
#define DEFINE_KSMETHOD_TABLE(tablename) const KSMETHOD_ITEM tablename[] =
#define DEFINE_KSMETHOD_ITEM(MethodId, Flags, MethodHandler, MinMethod, MinData, SupportHandler) \
  { MethodId, {(PFNKSHANDLER)MethodHandler}, MinMethod, MinData, SupportHandler, Flags }
#define DEFINE_KSMETHOD_SET(Set, MethodsCount, MethodItem, FastIoCount, FastIoTable) \
  { Set, MethodsCount, MethodItem, FastIoCount, FastIoTable }
#define DEFINE_KSMETHOD_SET_TABLE(tablename) const KSMETHOD_SET tablename[] =
#define DEFINE_KSAUTOMATION_TABLE(table) const KSAUTOMATION_TABLE table =
#define DEFINE_KSAUTOMATION_PROPERTIES(table) SIZEOF_ARRAY(table), sizeof(KSPROPERTY_ITEM), table
#define DEFINE_KSAUTOMATION_METHODS(table) SIZEOF_ARRAY(table), sizeof(KSMETHOD_ITEM), table
#define DEFINE_KSAUTOMATION_EVENTS(table) SIZEOF_ARRAY(table), sizeof(KSEVENT_ITEM), table
#define DEFINE_KSAUTOMATION_PROPERTIES_NULL 0, sizeof(KSPROPERTY_ITEM), NULL
#define DEFINE_KSAUTOMATION_METHODS_NULL 0, sizeof(KSMETHOD_ITEM), NULL
#define DEFINE_KSAUTOMATION_EVENTS_NULL 0, sizeof(KSEVENT_ITEM), NULL

// ---------------------------------------------------------------------------
// Allocator framing.
#define KSALLOCATOR_REQUIREMENTF_INPLACE_MODIFIER 0x00000001
#define KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY 0x00000002
#define KSALLOCATOR_REQUIREMENTF_FRAME_INTEGRITY 0x00000004
#define KSALLOCATOR_REQUIREMENTF_MUST_ALLOCATE 0x00000008
#define KSALLOCATOR_REQUIREMENTF_PREFERENCES_ONLY 0x80000000

typedef struct {
  ULONG OptionsFlags;
  ULONG RequirementsFlags;
  POOL_TYPE PoolType;
  ULONG Frames;
  ULONG FrameSize;
  ULONG FileAlignment;
} KSALLOCATOR_FRAMING, *PKSALLOCATOR_FRAMING;

typedef struct {
  ULONG MinFrameSize;
  ULONG MaxFrameSize;
  ULONG Stepping;
} KS_FRAMING_RANGE, *PKS_FRAMING_RANGE;

typedef struct {
  KS_FRAMING_RANGE Range;
  ULONG InPlaceWeight;
  ULONG NotInPlaceWeight;
} KS_FRAMING_RANGE_WEIGHTED, *PKS_FRAMING_RANGE_WEIGHTED;

typedef struct {
  ULONG RatioNumerator;
  ULONG RatioDenominator;
  ULONG RatioConstantMargin;
} KS_COMPRESSION, *PKS_COMPRESSION;

typedef struct {
  GUID MemoryType;
  GUID BusType;
  ULONG MemoryFlags;
  ULONG BusFlags;
  ULONG Flags;
  ULONG Frames;
  ULONG FileAlignment;
  ULONG MemoryTypeWeight;
  KS_FRAMING_RANGE PhysicalRange;
  KS_FRAMING_RANGE_WEIGHTED FramingRange;
} KS_FRAMING_ITEM, *PKS_FRAMING_ITEM;

typedef struct {
  ULONG CountItems;
  ULONG PinFlags;
  KS_COMPRESSION OutputCompression;
  ULONG PinWeight;
  KS_FRAMING_ITEM FramingItem[1];
} KSALLOCATOR_FRAMING_EX, *PKSALLOCATOR_FRAMING_EX;

// ---------------------------------------------------------------------------
// AVStream objects and descriptors.
typedef PVOID KSOBJECT_BAG;
typedef struct _KSDEVICE KSDEVICE, *PKSDEVICE;
typedef struct _KSDEVICE_DESCRIPTOR KSDEVICE_DESCRIPTOR, *PKSDEVICE_DESCRIPTOR;
typedef struct _KSDEVICE_DISPATCH KSDEVICE_DISPATCH, *PKSDEVICE_DISPATCH;
typedef struct _KSFILTERFACTORY KSFILTERFACTORY, *PKSFILTERFACTORY;
typedef struct _KSFILTER KSFILTER, *PKSFILTER;
typedef struct _KSPIN KSPIN, *PKSPIN;
typedef struct _KSFILTER_DESCRIPTOR KSFILTER_DESCRIPTOR, *PKSFILTER_DESCRIPTOR;
typedef struct _KSFILTER_DISPATCH KSFILTER_DISPATCH, *PKSFILTER_DISPATCH;
typedef struct _KSPIN_DESCRIPTOR_EX KSPIN_DESCRIPTOR_EX, *PKSPIN_DESCRIPTOR_EX;
typedef struct _KSPIN_DISPATCH KSPIN_DISPATCH, *PKSPIN_DISPATCH;
typedef struct _KSCLOCK_DISPATCH KSCLOCK_DISPATCH, *PKSCLOCK_DISPATCH;
typedef struct _KSALLOCATOR_DISPATCH KSALLOCATOR_DISPATCH, *PKSALLOCATOR_DISPATCH;
typedef struct _KSNODE_DESCRIPTOR KSNODE_DESCRIPTOR, *PKSNODE_DESCRIPTOR;
typedef struct _KSSTREAM_POINTER_OFFSET KSSTREAM_POINTER_OFFSET, *PKSSTREAM_POINTER_OFFSET;
typedef struct _KSSTREAM_POINTER KSSTREAM_POINTER, *PKSSTREAM_POINTER;
typedef struct _KSMAPPING KSMAPPING, *PKSMAPPING;
typedef struct _KSPROCESSPIN KSPROCESSPIN, *PKSPROCESSPIN;
typedef struct _KSPROCESSPIN_INDEXENTRY KSPROCESSPIN_INDEXENTRY, *PKSPROCESSPIN_INDEXENTRY;
typedef struct _CM_RESOURCE_LIST CM_RESOURCE_LIST, *PCM_RESOURCE_LIST;
typedef struct _DEVICE_CAPABILITIES DEVICE_CAPABILITIES, *PDEVICE_CAPABILITIES;
typedef struct _KSHANDSHAKE KSHANDSHAKE, *PKSHANDSHAKE;

typedef enum _SYSTEM_POWER_STATE { PowerSystemUnspecified = 0, PowerSystemWorking = 1 } SYSTEM_POWER_STATE;
typedef enum _DEVICE_POWER_STATE { PowerDeviceUnspecified = 0, PowerDeviceD0 = 1, PowerDeviceD3 = 4 } DEVICE_POWER_STATE;
typedef enum _POWER_ACTION { PowerActionNone = 0 } POWER_ACTION;

typedef NTSTATUS (*PFNKSDEVICECREATE)(PKSDEVICE device);
typedef NTSTATUS (*PFNKSDEVICEPNPSTART)(PKSDEVICE device, PIRP irp, PCM_RESOURCE_LIST translated,
                                        PCM_RESOURCE_LIST untranslated);
typedef NTSTATUS (*PFNKSDEVICE)(PKSDEVICE device);
typedef NTSTATUS (*PFNKSDEVICEIRP)(PKSDEVICE device, PIRP irp);
typedef void (*PFNKSDEVICEIRPVOID)(PKSDEVICE device, PIRP irp);
typedef NTSTATUS (*PFNKSDEVICEQUERYCAPABILITIES)(PKSDEVICE device, PIRP irp, PDEVICE_CAPABILITIES caps);
typedef NTSTATUS (*PFNKSDEVICEQUERYPOWER)(PKSDEVICE device, PIRP irp, DEVICE_POWER_STATE deviceTo,
                                          DEVICE_POWER_STATE deviceFrom, SYSTEM_POWER_STATE systemTo,
                                          SYSTEM_POWER_STATE systemFrom, POWER_ACTION action);
typedef void (*PFNKSDEVICESETPOWER)(PKSDEVICE device, PIRP irp, DEVICE_POWER_STATE to, DEVICE_POWER_STATE from);
typedef void (*PFNKSFREE)(PVOID data);
typedef void (*PFNKSFILTERFACTORYPOWER)(PKSFILTERFACTORY factory, DEVICE_POWER_STATE state);
typedef NTSTATUS (*PFNKSFILTERIRP)(PKSFILTER filter, PIRP irp);
typedef NTSTATUS (*PFNKSFILTERPROCESS)(PKSFILTER filter, PKSPROCESSPIN_INDEXENTRY index);
typedef NTSTATUS (*PFNKSFILTERVOID)(PKSFILTER filter);
typedef NTSTATUS (*PFNKSPINIRP)(PKSPIN pin, PIRP irp);
typedef NTSTATUS (*PFNKSPINSETDEVICESTATE)(PKSPIN pin, KSSTATE toState, KSSTATE fromState);
typedef NTSTATUS (*PFNKSPINSETDATAFORMAT)(PKSPIN pin, PKSDATAFORMAT oldFormat, PKSMULTIPLE_ITEM oldAttributeList,
                                          const KSDATARANGE* dataRange, const KSATTRIBUTE_LIST* attributeRange);
typedef NTSTATUS (*PFNKSPINHANDSHAKE)(PKSPIN pin, PKSHANDSHAKE in, PKSHANDSHAKE out);
typedef NTSTATUS (*PFNKSPIN)(PKSPIN pin);
typedef void (*PFNKSPINVOID)(PKSPIN pin);
typedef BOOLEAN (*PFNKSPINSETTIMER)(PKSPIN pin, PKTIMER timer, LARGE_INTEGER dueTime, PKDPC dpc);
typedef BOOLEAN (*PFNKSPINCANCELTIMER)(PKSPIN pin, PKTIMER timer);
typedef LONGLONG (*PFNKSPINCORRELATEDTIME)(PKSPIN pin, PLONGLONG systemTime);
typedef void (*PFNKSPINRESOLUTION)(PKSPIN pin, PKSRESOLUTION resolution);
typedef NTSTATUS (*PFNKSPININITIALIZEALLOCATOR)(PKSPIN pin, PKSALLOCATOR_FRAMING framing, PVOID* context);
typedef void (*PFNKSDELETEALLOCATOR)(PVOID context);
typedef PVOID (*PFNKSDEFAULTALLOCATE)(PVOID context);
typedef void (*PFNKSDEFAULTFREE)(PVOID context, PVOID buffer);
typedef void (*PFNKSSTREAMPOINTER)(PKSSTREAM_POINTER streamPointer);
// The pin's data-range intersection: writes the format for `dataRange` (the
// caller's) matched against `matchingDataRange` (the pin's), or with
// `dataBufferSize` 0 reports the size it needs through `dataSize` and returns
// STATUS_BUFFER_OVERFLOW.
typedef NTSTATUS (*PFNKSINTERSECTHANDLEREX)(PVOID context, PIRP irp, PKSP_PIN pin, PKSDATARANGE dataRange,
                                            PKSDATARANGE matchingDataRange, ULONG dataBufferSize, PVOID data,
                                            PULONG dataSize);

struct _KSDEVICE_DISPATCH {
  PFNKSDEVICECREATE Add;
  PFNKSDEVICEPNPSTART Start;
  PFNKSDEVICE PostStart;
  PFNKSDEVICEIRP QueryStop;
  PFNKSDEVICEIRPVOID CancelStop;
  PFNKSDEVICEIRPVOID Stop;
  PFNKSDEVICEIRP QueryRemove;
  PFNKSDEVICEIRPVOID CancelRemove;
  PFNKSDEVICEIRPVOID Remove;
  PFNKSDEVICEQUERYCAPABILITIES QueryCapabilities;
  PFNKSDEVICEIRPVOID SurpriseRemoval;
  PFNKSDEVICEQUERYPOWER QueryPower;
  PFNKSDEVICESETPOWER SetPower;
  PFNKSDEVICEIRP QueryInterface;
};

struct _KSFILTER_DISPATCH {
  PFNKSFILTERIRP Create;
  PFNKSFILTERIRP Close;
  PFNKSFILTERPROCESS Process;
  PFNKSFILTERVOID Reset;
};

struct _KSPIN_DISPATCH {
  PFNKSPINIRP Create;
  PFNKSPINIRP Close;
  PFNKSPIN Process;
  PFNKSPINVOID Reset;
  PFNKSPINSETDATAFORMAT SetDataFormat;
  PFNKSPINSETDEVICESTATE SetDeviceState;
  PFNKSPIN Connect;
  PFNKSPINVOID Disconnect;
  const KSCLOCK_DISPATCH* Clock;
  const KSALLOCATOR_DISPATCH* Allocator;
};

struct _KSCLOCK_DISPATCH {
  PFNKSPINSETTIMER SetTimer;
  PFNKSPINCANCELTIMER CancelTimer;
  PFNKSPINCORRELATEDTIME CorrelatedTime;
  PFNKSPINRESOLUTION Resolution;
};

struct _KSALLOCATOR_DISPATCH {
  PFNKSPININITIALIZEALLOCATOR InitializeAllocator;
  PFNKSDELETEALLOCATOR DeleteAllocator;
  PFNKSDEFAULTALLOCATE Allocate;
  PFNKSDEFAULTFREE Free;
};

#define KSDEVICE_DESCRIPTOR_VERSION 0x100

struct _KSDEVICE_DESCRIPTOR {
  const KSDEVICE_DISPATCH* Dispatch;
  ULONG FilterDescriptorsCount;
  const KSFILTER_DESCRIPTOR* const* FilterDescriptors;
  ULONG Version;
  ULONG Flags;
};

struct _KSNODE_DESCRIPTOR {
  const KSAUTOMATION_TABLE* AutomationTable;
  const GUID* Type;
  const GUID* Name;
};

typedef struct {
  ULONG FromNode;
  ULONG FromNodePin;
  ULONG ToNode;
  ULONG ToNodePin;
} KSTOPOLOGY_CONNECTION, *PKSTOPOLOGY_CONNECTION;

typedef struct {
  GUID Manufacturer;
  GUID Product;
  GUID Component;
  GUID Name;
  ULONG Version;
  ULONG Revision;
} KSCOMPONENTID, *PKSCOMPONENTID;

#define KSFILTER_DESCRIPTOR_VERSION ((ULONG)-1)
#define KSFILTER_FLAG_DISPATCH_LEVEL_PROCESSING 0x00000001
#define KSFILTER_FLAG_CRITICAL_PROCESSING 0x00000002
#define KSFILTER_FLAG_HYPERCRITICAL_PROCESSING 0x00000004
#define KSFILTER_FLAG_RECEIVE_ZERO_LENGTH_SAMPLES 0x00000008
#define KSFILTER_FLAG_DENY_USERMODE_ACCESS 0x80000000

struct _KSFILTER_DESCRIPTOR {
  const KSFILTER_DISPATCH* Dispatch;
  const KSAUTOMATION_TABLE* AutomationTable;
  ULONG Version;
  ULONG Flags;
  const GUID* ReferenceGuid;
  ULONG PinDescriptorsCount;
  ULONG PinDescriptorSize;
  const KSPIN_DESCRIPTOR_EX* PinDescriptors;
  ULONG CategoriesCount;
  const GUID* Categories;
  ULONG NodeDescriptorsCount;
  ULONG NodeDescriptorSize;
  const KSNODE_DESCRIPTOR* NodeDescriptors;
  ULONG ConnectionsCount;
  const KSTOPOLOGY_CONNECTION* Connections;
  const KSCOMPONENTID* ComponentId;
};

#define DEFINE_KSFILTER_DESCRIPTOR(descriptor) const KSFILTER_DESCRIPTOR descriptor =
#define DEFINE_KSFILTER_PIN_DESCRIPTORS(table) SIZEOF_ARRAY(table), sizeof(table[0]), table
#define DEFINE_KSFILTER_CATEGORIES(table) SIZEOF_ARRAY(table), table
#define DEFINE_KSFILTER_CATEGORY(category) 1, &(category)
#define DEFINE_KSFILTER_CATEGORIES_NULL 0, NULL
#define DEFINE_KSFILTER_NODE_DESCRIPTORS(table) SIZEOF_ARRAY(table), sizeof(table[0]), table
#define DEFINE_KSFILTER_NODE_DESCRIPTORS_NULL 0, sizeof(KSNODE_DESCRIPTOR), NULL
#define DEFINE_KSFILTER_CONNECTIONS(table) SIZEOF_ARRAY(table), table
#define DEFINE_KSFILTER_DEFAULT_CONNECTIONS 0, NULL
#define DEFINE_KSFILTER_DESCRIPTOR_TABLE(table) const KSFILTER_DESCRIPTOR* const table[] =

typedef struct {
  ULONG InterfacesCount;
  const KSPIN_INTERFACE* Interfaces;
  ULONG MediumsCount;
  const KSPIN_MEDIUM* Mediums;
  ULONG DataRangesCount;
  const PKSDATARANGE* DataRanges;
  KSPIN_DATAFLOW DataFlow;
  KSPIN_COMMUNICATION Communication;
  const GUID* Category;
  const GUID* Name;
  union {
    LONGLONG Reserved;
    struct {
      ULONG ConstrainedDataRangesCount;
      PKSDATARANGE* ConstrainedDataRanges;
    };
  };
} KSPIN_DESCRIPTOR, *PKSPIN_DESCRIPTOR;

#define KSPIN_FLAG_DISPATCH_LEVEL_PROCESSING KSFILTER_FLAG_DISPATCH_LEVEL_PROCESSING
#define KSPIN_FLAG_CRITICAL_PROCESSING KSFILTER_FLAG_CRITICAL_PROCESSING
#define KSPIN_FLAG_HYPERCRITICAL_PROCESSING KSFILTER_FLAG_HYPERCRITICAL_PROCESSING
#define KSPIN_FLAG_ASYNCHRONOUS_PROCESSING 0x00000008
#define KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING 0x00000010
#define KSPIN_FLAG_INITIATE_PROCESSING_ON_EVERY_ARRIVAL 0x00000020
#define KSPIN_FLAG_FRAMES_NOT_REQUIRED_FOR_PROCESSING 0x00000040
#define KSPIN_FLAG_ENFORCE_FIFO 0x00000080
#define KSPIN_FLAG_GENERATE_MAPPINGS 0x00000100
#define KSPIN_FLAG_DISTINCT_TRAILING_EDGE 0x00000200
#define KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY 0x00010000
#define KSPIN_FLAG_SPLITTER 0x00020000
#define KSPIN_FLAG_USE_STANDARD_TRANSPORT 0x00040000
#define KSPIN_FLAG_DO_NOT_USE_STANDARD_TRANSPORT 0x00080000
#define KSPIN_FLAG_FIXED_FORMAT 0x00100000
#define KSPIN_FLAG_GENERATE_EOS_EVENTS 0x00200000
#define KSPIN_FLAG_IMPLEMENT_CLOCK 0x00400000
#define KSPIN_FLAG_SOME_FRAMES_REQUIRED_FOR_PROCESSING 0x00800000
#define KSPIN_FLAG_PROCESS_IF_ANY_IN_RUN_STATE 0x01000000
#define KSPIN_FLAG_DENY_USERMODE_ACCESS 0x80000000

struct _KSPIN_DESCRIPTOR_EX {
  const KSPIN_DISPATCH* Dispatch;
  const KSAUTOMATION_TABLE* AutomationTable;
  KSPIN_DESCRIPTOR PinDescriptor;
  ULONG Flags;
  ULONG InstancesPossible;
  ULONG InstancesNecessary;
  const KSALLOCATOR_FRAMING_EX* AllocatorFraming;
  PFNKSINTERSECTHANDLEREX IntersectHandler;
};

#define DEFINE_KSPIN_DEFAULT_INTERFACES 0, NULL
#define DEFINE_KSPIN_DEFAULT_MEDIUMS 0, NULL

struct _KSDEVICE {
  const KSDEVICE_DESCRIPTOR* Descriptor;
  KSOBJECT_BAG Bag;
  PVOID Context;
  PDEVICE_OBJECT FunctionalDeviceObject;
  PDEVICE_OBJECT PhysicalDeviceObject;
  PDEVICE_OBJECT NextDeviceObject;
  BOOLEAN Started;
  SYSTEM_POWER_STATE SystemPowerState;
  DEVICE_POWER_STATE DevicePowerState;
};

struct _KSFILTERFACTORY {
  const KSFILTER_DESCRIPTOR* FilterDescriptor;
  KSOBJECT_BAG Bag;
  PVOID Context;
};

struct _KSFILTER {
  const KSFILTER_DESCRIPTOR* Descriptor;
  KSOBJECT_BAG Bag;
  PVOID Context;
};

struct _KSPIN {
  const KSPIN_DESCRIPTOR_EX* Descriptor;
  KSOBJECT_BAG Bag;
  PVOID Context;
  ULONG Id;
  KSPIN_COMMUNICATION Communication;
  BOOLEAN ConnectionIsExternal;
  KSPIN_INTERFACE ConnectionInterface;
  KSPIN_MEDIUM ConnectionMedium;
  KSPRIORITY ConnectionPriority;
  PKSDATAFORMAT ConnectionFormat;
  PKSMULTIPLE_ITEM AttributeList;
  ULONG StreamHeaderSize;
  KSPIN_DATAFLOW DataFlow;
  KSSTATE DeviceState;
  KSRESET ResetState;
  KSSTATE ClientState;
};

struct _KSMAPPING {
  LARGE_INTEGER PhysicalAddress;
  ULONG ByteCount;
  ULONG Alignment;
};

// A position in a frame: Data is the next byte, Remaining the bytes left of
// Count.
struct _KSSTREAM_POINTER_OFFSET {
  union {
    PUCHAR Data;
    PKSMAPPING Mappings;
  };
  ULONG Count;
  ULONG Remaining;
};

struct _KSSTREAM_POINTER {
  PVOID Context;
  PKSPIN Pin;
  PKSSTREAM_HEADER StreamHeader;
  PKSSTREAM_POINTER_OFFSET Offset;  // OffsetOut on an output pin
  KSSTREAM_POINTER_OFFSET OffsetIn;
  KSSTREAM_POINTER_OFFSET OffsetOut;
};

typedef enum { KSSTREAM_POINTER_STATE_UNLOCKED = 0, KSSTREAM_POINTER_STATE_LOCKED } KSSTREAM_POINTER_STATE;

typedef enum { KsObjectTypeDevice, KsObjectTypeFilterFactory, KsObjectTypeFilter, KsObjectTypePin } KSOBJECTTYPE;

// Create-item flags of KsCreateFilterFactory.
#define KSCREATE_ITEM_SECURITYCHANGED 0x00000001
#define KSCREATE_ITEM_WILDCARD 0x00000002
#define KSCREATE_ITEM_NOPARAMETERS 0x00000004
#define KSCREATE_ITEM_FREEONSTOP 0x00000008

static_assert(sizeof(KSP_PIN) == 32 && sizeof(KSMULTIPLE_ITEM) == 8, "KSP_PIN/KSMULTIPLE_ITEM");
static_assert(sizeof(KSPIN_CONNECT) == 72 && offsetof(KSPIN_CONNECT, Priority) == 64, "KSPIN_CONNECT");
static_assert(sizeof(KSPROPERTY_DESCRIPTION) == 40, "KSPROPERTY_DESCRIPTION");
static_assert(sizeof(KSPROPERTY_ITEM) == 72 && sizeof(KSPROPERTY_SET) == 40, "KSPROPERTY_ITEM/SET");
static_assert(sizeof(KSMETHOD_ITEM) == 40 && sizeof(KSMETHOD_SET) == 40, "KSMETHOD_ITEM/SET");
static_assert(sizeof(KSAUTOMATION_TABLE) == 48, "KSAUTOMATION_TABLE");
static_assert(sizeof(KSALLOCATOR_FRAMING_EX) == 112, "KSALLOCATOR_FRAMING_EX");
static_assert(sizeof(KSFILTER_DISPATCH) == 32 && sizeof(KSPIN_DISPATCH) == 80, "dispatch tables");
static_assert(sizeof(KSFILTER_DESCRIPTOR) == 104, "KSFILTER_DESCRIPTOR");
static_assert(sizeof(KSPIN_DESCRIPTOR) == 88 && sizeof(KSPIN_DESCRIPTOR_EX) == 136, "pin descriptors");
static_assert(offsetof(KSPIN_DESCRIPTOR_EX, IntersectHandler) == 128, "KSPIN_DESCRIPTOR_EX");
static_assert(sizeof(KSDEVICE) == 64 && sizeof(KSFILTER) == 24 && sizeof(KSFILTERFACTORY) == 24, "objects");
static_assert(sizeof(KSPIN) == 136 && offsetof(KSPIN, ConnectionFormat) == 96 && offsetof(KSPIN, ClientState) == 128,
              "KSPIN");
static_assert(sizeof(KSSTREAM_POINTER_OFFSET) == 16 && sizeof(KSSTREAM_POINTER) == 64 &&
                  offsetof(KSSTREAM_POINTER, OffsetOut) == 48,
              "stream pointers");

// ---------------------------------------------------------------------------
// ks.sys routines.
HOST_EXTERN_C NTSTATUS KsInitializeDriver(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath,
                                          const KSDEVICE_DESCRIPTOR* descriptor);
HOST_EXTERN_C void KsAcquireDevice(PKSDEVICE device);
HOST_EXTERN_C void KsReleaseDevice(PKSDEVICE device);
HOST_EXTERN_C PKSDEVICE KsGetDeviceForDeviceObject(PDEVICE_OBJECT fdo);

HOST_EXTERN_C NTSTATUS KsAddItemToObjectBag(KSOBJECT_BAG bag, PVOID item, PFNKSFREE free);
HOST_EXTERN_C ULONG KsRemoveItemFromObjectBag(KSOBJECT_BAG bag, PVOID item, BOOLEAN free);
HOST_EXTERN_C NTSTATUS _KsEdit(KSOBJECT_BAG bag, PVOID* pointerToPointer, ULONG newSize, ULONG oldSize, ULONG tag);
#define KsDiscard(Object, Pointer) KsRemoveItemFromObjectBag((Object)->Bag, (PVOID)(Pointer), TRUE)
#define KsEdit(Object, PointerToPointer, Tag)                                                             \
  _KsEdit((Object)->Bag, (PVOID*)(PointerToPointer), sizeof(**(PointerToPointer)), sizeof(**(PointerToPointer)), \
          (Tag))
#define KsEditSized(Object, PointerToPointer, NewSize, OldSize, Tag) \
  _KsEdit((Object)->Bag, (PVOID*)(PointerToPointer), (NewSize), (OldSize), (Tag))

// A filter factory under `deviceObject` (the FDO), reached by clients through
// `refString`. With KSCREATE_ITEM_FREEONSTOP it goes away when the device stops.
HOST_EXTERN_C NTSTATUS KsCreateFilterFactory(PDEVICE_OBJECT deviceObject, const KSFILTER_DESCRIPTOR* descriptor,
                                             PWSTR refString, PSECURITY_DESCRIPTOR securityDescriptor,
                                             ULONG createItemFlags, PFNKSFILTERFACTORYPOWER sleepCallback,
                                             PFNKSFILTERFACTORYPOWER wakeCallback, PKSFILTERFACTORY* filterFactory);

// The KSDEVICE of any AVStream object (device, filter factory, filter, pin).
HOST_EXTERN_C PKSDEVICE KsGetDevice(PVOID object);
HOST_EXTERN_C PVOID KsGetParent(PVOID object);
HOST_EXTERN_C PKSFILTER KsGetFilterFromIrp(PIRP irp);
HOST_EXTERN_C PKSPIN KsGetPinFromIrp(PIRP irp);
HOST_EXTERN_C PKSFILTER KsPinGetParentFilter(PKSPIN pin);
HOST_EXTERN_C PKSPIN KsFilterGetFirstChildPin(PKSFILTER filter, ULONG pinId);
HOST_EXTERN_C PKSPIN KsPinGetNextSiblingPin(PKSPIN pin);
HOST_EXTERN_C ULONG KsFilterGetChildPinCount(PKSFILTER filter, ULONG pinId);
HOST_EXTERN_C void KsFilterAcquireControl(PKSFILTER filter);
HOST_EXTERN_C void KsFilterReleaseControl(PKSFILTER filter);
static inline PKSDEVICE KsFilterFactoryGetDevice(PKSFILTERFACTORY factory) { return KsGetDevice(factory); }
static inline PKSDEVICE KsFilterGetDevice(PKSFILTER filter) { return KsGetDevice(filter); }
static inline PKSDEVICE KsPinGetDevice(PKSPIN pin) { return KsGetDevice(pin); }
static inline PKSFILTERFACTORY KsFilterGetParentFilterFactory(PKSFILTER filter) {
  return (PKSFILTERFACTORY)KsGetParent(filter);
}

// Streaming on a pin's frame queue. Callable at DISPATCH_LEVEL.
HOST_EXTERN_C PKSSTREAM_POINTER KsPinGetLeadingEdgeStreamPointer(PKSPIN pin, KSSTREAM_POINTER_STATE state);
HOST_EXTERN_C NTSTATUS KsStreamPointerLock(PKSSTREAM_POINTER streamPointer);
HOST_EXTERN_C void KsStreamPointerUnlock(PKSSTREAM_POINTER streamPointer, BOOLEAN eject);
HOST_EXTERN_C NTSTATUS KsStreamPointerAdvance(PKSSTREAM_POINTER streamPointer);
HOST_EXTERN_C NTSTATUS KsStreamPointerAdvanceOffsets(PKSSTREAM_POINTER streamPointer, ULONG inUsed, ULONG outUsed,
                                                     BOOLEAN eject);
HOST_EXTERN_C void KsStreamPointerAdvanceOffsetsAndUnlock(PKSSTREAM_POINTER streamPointer, ULONG inUsed,
                                                          ULONG outUsed, BOOLEAN eject);
HOST_EXTERN_C NTSTATUS KsStreamPointerSetStatusCode(PKSSTREAM_POINTER streamPointer, NTSTATUS status);
HOST_EXTERN_C void KsPinAttemptProcessing(PKSPIN pin, BOOLEAN asynchronous);
HOST_EXTERN_C void KsPinAcquireProcessingMutex(PKSPIN pin);
HOST_EXTERN_C void KsPinReleaseProcessingMutex(PKSPIN pin);
// The pin's master clock with one reference for the caller (Release it), or
// STATUS_UNSUCCESSFUL when the pin has none.
HOST_EXTERN_C NTSTATUS KsPinGetReferenceClockInterface(PKSPIN pin, PIKSREFERENCECLOCK* referenceClock);
