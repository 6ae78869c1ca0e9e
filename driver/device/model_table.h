// The camera models: which head and which features a VID/PID means, and the
// fixed resolution lists the pins offer per model.
#pragma once

#include "camera_device.h"

// One row of the model table.
struct ModelTableEntry {
  ULONG Key;    // idVendor << 16 | idProduct
  ULONG Type;   // model type 0..8, selects the head class
  ULONG Flags;  // ModelFlag bits
};

// The rows in lookup order, ended by a row whose Key is 0.
extern const ModelTableEntry kModelTable[];

// The first row whose key is vidPid, or null (0 never matches: it ends the table).
const ModelTableEntry* FindModel(ULONG vidPid);

// Sets ModelType and ModelFlags from VidPid. Without a matching row ModelType
// becomes kModelUnknown, ModelFlags keeps its value and the miss is logged.
void IdentifyModel(CCameraDevice* device);

// Line frequency in Hz that the model flags select: 60, else 50, else 0.
ULONG LineFrequencyFromFlags(ULONG modelFlags);

// A resolution list is a count N followed by N (width, height) pairs.
inline ULONG ResolutionCount(const LONG* list) { return list[0] > 0 ? ULONG(list[0]) : 0; }
inline LONG ResolutionWidth(const LONG* list, ULONG index) { return list[1 + 2 * index]; }
inline LONG ResolutionHeight(const LONG* list, ULONG index) { return list[2 + 2 * index]; }
