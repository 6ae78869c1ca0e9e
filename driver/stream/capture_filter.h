// CCaptureFilter: the capture filter's Context, and the filter's automation
// table (property and method sets).
#pragma once

#include "../common/common.h"

class CCameraDevice;

// Vendor property and method sets.
#define STATIC_PROPSETID_CAMPROP 0x926DDB17L, 0x3C8E, 0x476C, 0x90, 0x68, 0xEB, 0x45, 0x55, 0xA9, 0x92, 0x31
#define STATIC_PROPSETID_CAMPROP_INTERLEAVE 0x926DDB16L, 0x3C8E, 0x476C, 0x90, 0x68, 0xEB, 0x45, 0x55, 0xA9, 0x92, 0x31
#define STATIC_METHODSETID_CAMPROP 0x926DDB18L, 0x3C8E, 0x476C, 0x90, 0x68, 0xEB, 0x45, 0x55, 0xA9, 0x92, 0x31
#define STATIC_PROPSETID_CAMPROP_ALDER 0x926DDB19L, 0x3C8E, 0x476C, 0x90, 0x68, 0xEB, 0x45, 0x55, 0xA9, 0x92, 0x31
#define STATIC_PROPSETID_CAMPROP_BIRCH2 0x926DDB1AL, 0x3C8E, 0x476C, 0x90, 0x68, 0xEB, 0x45, 0x55, 0xA9, 0x92, 0x31
#define STATIC_PROPSETID_CAMPROP_BIRCH 0x926DDB1BL, 0x3C8E, 0x476C, 0x90, 0x68, 0xEB, 0x45, 0x55, 0xA9, 0x92, 0x31
#define STATIC_PROPSETID_CAMPROP_CEDAR 0x926DDB1CL, 0x3C8E, 0x476C, 0x90, 0x68, 0xEB, 0x45, 0x55, 0xA9, 0x92, 0x31
#define STATIC_PROPSETID_CAMPROP_LARCH 0x926DDB1DL, 0x3C8E, 0x476C, 0x90, 0x68, 0xEB, 0x45, 0x55, 0xA9, 0x92, 0x31
#define STATIC_PROPSETID_CAMPROP_MAPLE 0x926DDB1EL, 0x3C8E, 0x476C, 0x90, 0x68, 0xEB, 0x45, 0x55, 0xA9, 0x92, 0x31
#define STATIC_PROPSETID_CAMPROP_ROWAN 0x926DDB1FL, 0x3C8E, 0x476C, 0x90, 0x68, 0xEB, 0x45, 0x55, 0xA9, 0x92, 0x31

// Vendor property and method ids.
enum CamPropId : ULONG {
  CAMPROP_INTERLEAVE = 0,
  CAMPROP_EXPOSURE = 20,
  CAMPROP_SNAPSHOT_MODE = 21,
  CAMPROP_I2C_DATA = 40,
  CAMPROP_PRODUCT_ID = 41,
  CAMPROP_ALT_SETTING = 42,
  CAMPROP_AVAILABLE = 43,
  CAMPROP_STATUS_BIT = 44,
  CAMPROP_FX2_EEPROM = 45,
  CAMPROP_METHOD_SNAPSHOT = 60,
  CAMPROP_METHOD_LOAD_FIRMWARE = 61,
  CAMPROP_METHOD_CAMERA_POWER = 62,
  CAMPROP_OSD_COMMAND = 80,
};

// One raw head-register request (CAMPROP_I2C_DATA), 6 bytes, packed.
#pragma pack(push, 1)
struct I2cRequestRecord {
  UCHAR Device;    // 0 = the head's own register space
  UCHAR Reserved;
  USHORT Register;
  USHORT Value;
};
#pragma pack(pop)
static_assert(sizeof(I2cRequestRecord) == 6, "I2C request record");

class CCaptureFilter {
 public:
  // --- filter dispatch ---
  static NTSTATUS DispatchCreate(PKSFILTER filter, PIRP irp);
  static NTSTATUS DispatchClose(PKSFILTER filter, PIRP irp);
  // Object-bag free routine.
  static void FreeFilter(PVOID object);

  // --- property handlers (PFNKSHANDLER) ---
  static NTSTATUS GetVidcapProperty(PIRP irp, PKSIDENTIFIER request, PVOID data);
  static NTSTATUS GetVidControlCaps(PIRP irp, PKSIDENTIFIER request, PVOID data);
  static NTSTATUS GetVidControlMode(PIRP irp, PKSIDENTIFIER request, PVOID data);
  static NTSTATUS SetVidControlMode(PIRP irp, PKSIDENTIFIER request, PVOID data);
  static NTSTATUS SetStreamProperty(PIRP irp, PKSIDENTIFIER request, PVOID data);
  static NTSTATUS GetI2CData(PIRP irp, PKSIDENTIFIER request, PVOID data);
  static NTSTATUS SetI2CData(PIRP irp, PKSIDENTIFIER request, PVOID data);
  static NTSTATUS GetCustomProperty(PIRP irp, PKSIDENTIFIER request, PVOID data);
  static NTSTATUS SetCustomProperty(PIRP irp, PKSIDENTIFIER request, PVOID data);
  static NTSTATUS ReadFx2Eeprom(PIRP irp, PKSIDENTIFIER request, PVOID data);
  static NTSTATUS WriteFx2Eeprom(PIRP irp, PKSIDENTIFIER request, PVOID data);
  // --- method handlers ---
  static NTSTATUS MethodHandler(PIRP irp, PKSIDENTIFIER request, PVOID data);
  static NTSTATUS LoadFirmware(PIRP irp, PKSIDENTIFIER request, PVOID data);

  PKSFILTER Filter;
  CCameraDevice* Device;  // Context of the filter's KSDEVICE
};
static_assert(sizeof(CCaptureFilter) == 16, "CCaptureFilter");

// The CCaptureFilter of the filter an IRP was sent to, or null (logged).
CCaptureFilter* GetFilterFromIrp(PIRP irp);
