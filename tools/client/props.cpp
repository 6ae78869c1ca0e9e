#include "props.h"

#include "status.h"

namespace ovra {

bool HasSet(host::ks::Handle filter, const GUID& set, bool methods) {
  KSIDENTIFIER request{};
  request.Set = set;
  request.Flags = methods ? KSMETHOD_TYPE_SETSUPPORT : KSPROPERTY_TYPE_SETSUPPORT;
  const auto r = host::ks::DeviceIoControl(filter, methods ? IOCTL_KS_METHOD : IOCTL_KS_PROPERTY, &request,
                                           sizeof request, nullptr, 0);
  return NT_SUCCESS(r.status);
}

ULONG PropertyAccess(host::ks::Handle filter, const GUID& set, ULONG id) {
  KSPROPERTY request{};
  request.Set = set;
  request.Id = id;
  request.Flags = KSPROPERTY_TYPE_BASICSUPPORT;
  ULONG access = 0;
  const auto r = host::ks::DeviceIoControl(filter, IOCTL_KS_PROPERTY, &request, sizeof request, &access, sizeof access);
  return NT_SUCCESS(r.status) ? access & (KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET) : 0;
}

bool FindPropertySet(host::ks::Handle filter, const NamedProperty& property, GUID* set, std::string* error) {
  for (const GUID& candidate : property.sets) {
    if (HasSet(filter, candidate)) {
      *set = candidate;
      return true;
    }
  }
  *error = std::string(property.name) + " is not a property of this camera model";
  return false;
}

NTSTATUS GetU32(host::ks::Handle filter, const GUID& set, ULONG id, uint32_t* value) {
  return host::ks::GetProperty(filter, set, id, value, sizeof *value).status;
}

NTSTATUS SetU32(host::ks::Handle filter, const GUID& set, ULONG id, uint32_t value) {
  return host::ks::SetProperty(filter, set, id, &value, sizeof value).status;
}

bool GetNamed(host::ks::Handle filter, const std::string& name, uint32_t* value, std::string* error) {
  const NamedProperty* p = FindNamedProperty(name);
  GUID set;
  if (p == nullptr) return *error = "unknown property '" + name + "'", false;
  if (!FindPropertySet(filter, *p, &set, error)) return false;
  const NTSTATUS status = GetU32(filter, set, p->id, value);
  if (!NT_SUCCESS(status)) return *error = "reading " + name + " failed: " + StatusText(status), false;
  return true;
}

bool SetNamed(host::ks::Handle filter, const std::string& name, uint32_t value, std::string* error) {
  const NamedProperty* p = FindNamedProperty(name);
  GUID set;
  if (p == nullptr) return *error = "unknown property '" + name + "'", false;
  if (!FindPropertySet(filter, *p, &set, error)) return false;
  const NTSTATUS status = SetU32(filter, set, p->id, value);
  if (!NT_SUCCESS(status))
    return *error = "setting " + name + " to " + std::to_string(value) + " failed: " + StatusText(status), false;
  return true;
}

NTSTATUS TakeSnapshot(host::ks::Handle filter) {
  return host::ks::CallMethod(filter, kSetMethods, kMethodSnapshot, nullptr, 0, nullptr, 0).status;
}

}  // namespace ovra
