// The camera-head classes: one per kind of head behind the bridge, each with
// its register protocol on the I2C channel (slots 1 and 2), its timing program
// (slot 4) and, where it differs from the base, its capture-mode code (slot 5).
//
// Every register access and every timing program holds the head's register
// lock, so the I2C messages of two callers never interleave on the bus.
#pragma once

#include "../usb/hardware.h"

// Model types, as the model table names them; each selects one head class.
enum HeadModelType : ULONG {
  kModelCCD = 0,
  kModelAlder = 1,
  kModelBirch = 2,
  kModelCedar = 3,
  kModelLarch = 4,
  kModelMaple = 5,
  kModelRowan = 6,
  kModelOV7740 = 7,
  kModelGeneric = 8,
};

// CCD head: 8-bit devices behind the relay controller; writes default to 0x30,
// a read needs an explicit device.
class CUSBHardwareCCD : public CUSBHardware {
 public:
  CUSBHardwareCCD(CCameraDevice* owner, PKSDEVICE device);
  USHORT GetI2CData(UCHAR device, USHORT reg) override;
  void SetI2CData(UCHAR device, USHORT reg, USHORT value) override;
  void SetupTiming(ULONG shutter) override;
};

// Alder head: a sensor at 0xBA on the bus, 8-bit registers, 16-bit values.
class CUSBHardwareAlder : public CUSBHardware {
 public:
  CUSBHardwareAlder(CCameraDevice* owner, PKSDEVICE device);
  USHORT GetI2CData(UCHAR device, USHORT reg) override;
  void SetI2CData(UCHAR device, USHORT reg, USHORT value) override;
  void SetupTiming(ULONG shutter) override;
  ULONG GetWidthSetting() override;

  // Sensor clock chosen by the last timing program: 24 or 48 (0 before).
  LONG clockMHz;
};

// Birch head: 16-bit devices at 0x7A (default) and 0xBA (device 1) and 8-bit
// devices at 0xA8..0xAF; every access is retried until acknowledged.
class CUSBHardwareBirch : public CUSBHardware {
 public:
  CUSBHardwareBirch(CCameraDevice* owner, PKSDEVICE device);
  USHORT GetI2CData(UCHAR device, USHORT reg) override;
  void SetI2CData(UCHAR device, USHORT reg, USHORT value) override;
  void SetupTiming(ULONG shutter) override;
  ULONG GetWidthSetting() override;

  // Index of the register-12 table entry for a width, or -1 when the width
  // lies outside the table's six bands (below 256, 1792 and above).
  static LONG Register12Band(LONG width);
};

// Cedar head: an 8-bit sensor at 0x68 on the bus.
class CUSBHardwareCedar : public CUSBHardware {
 public:
  CUSBHardwareCedar(CCameraDevice* owner, PKSDEVICE device);
  USHORT GetI2CData(UCHAR device, USHORT reg) override;
  void SetI2CData(UCHAR device, USHORT reg, USHORT value) override;
  void SetupTiming(ULONG shutter) override;
};

// Larch head: relay controller with a 16-bit main device 0xBA and 8-bit
// devices beside it.
class CUSBHardwareLarch : public CUSBHardware {
 public:
  CUSBHardwareLarch(CCameraDevice* owner, PKSDEVICE device);
  USHORT GetI2CData(UCHAR device, USHORT reg) override;
  void SetI2CData(UCHAR device, USHORT reg, USHORT value) override;
  void SetupTiming(ULONG shutter) override;
};

// Maple head: takes three-bit commands on the port byte's clock and data lines;
// it has no readable registers.
class CUSBHardwareMaple : public CUSBHardware {
 public:
  CUSBHardwareMaple(CCameraDevice* owner, PKSDEVICE device);
  USHORT GetI2CData(UCHAR device, USHORT reg) override;
  void SetI2CData(UCHAR device, USHORT reg, USHORT value) override;
  void SetupTiming(ULONG shutter) override;
};

// Rowan head: relay controller with 8-bit devices and a second bank of eight
// devices addressed as 0x80..0x87.
class CUSBHardwareRowan : public CUSBHardware {
 public:
  CUSBHardwareRowan(CCameraDevice* owner, PKSDEVICE device);
  USHORT GetI2CData(UCHAR device, USHORT reg) override;
  void SetI2CData(UCHAR device, USHORT reg, USHORT value) override;
  void SetupTiming(ULONG shutter) override;
};

// OV7740 head: an 8-bit sensor at 0x42 on the bus.
class CUSBHardwareOV7740 : public CUSBHardware {
 public:
  CUSBHardwareOV7740(CCameraDevice* owner, PKSDEVICE device);
  USHORT GetI2CData(UCHAR device, USHORT reg) override;
  void SetI2CData(UCHAR device, USHORT reg, USHORT value) override;
  void SetupTiming(ULONG shutter) override;
};

// Generic head: address, register and data widths and the timing sequences
// all come from the registry (the device's GenericConfig).
class CUSBHardwareGeneric : public CUSBHardware {
 public:
  CUSBHardwareGeneric(CCameraDevice* owner, PKSDEVICE device);
  USHORT GetI2CData(UCHAR device, USHORT reg) override;
  void SetI2CData(UCHAR device, USHORT reg, USHORT value) override;
  void SetupTiming(ULONG shutter) override;
  ULONG GetWidthSetting() override;
};
