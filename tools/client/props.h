// Property and method requests on a filter, as the tools send them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <host/api/ks.h>

#include "camprop.h"

namespace ovra {

// The filter has the set (a KSPROPERTY_TYPE_SETSUPPORT query).
bool HasSet(host::ks::Handle filter, const GUID& set, bool methods = false);
// Access flags of one property from a basic-support query (0: no such item).
ULONG PropertyAccess(host::ks::Handle filter, const GUID& set, ULONG id);
// The first set of `property` the filter has; false with a one-line reason.
bool FindPropertySet(host::ks::Handle filter, const NamedProperty& property, GUID* set, std::string* error);

NTSTATUS GetU32(host::ks::Handle filter, const GUID& set, ULONG id, uint32_t* value);
NTSTATUS SetU32(host::ks::Handle filter, const GUID& set, ULONG id, uint32_t value);
// A named 32-bit property; errors name the property and the status.
bool GetNamed(host::ks::Handle filter, const std::string& name, uint32_t* value, std::string* error);
bool SetNamed(host::ks::Handle filter, const std::string& name, uint32_t value, std::string* error);
// Method 60: a still from the running stream.
NTSTATUS TakeSnapshot(host::ks::Handle filter);

}  // namespace ovra
