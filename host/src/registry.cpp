// The in-memory registry: a tree of keys with case-insensitive names and typed
// values, RtlQueryRegistryValues with its table flags, direct mode and
// defaults, per-device keys and counted handles.
#include <cinttypes>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include <host/api/host.h>

#include "internal.h"
#include "text.h"

namespace host {
namespace {

constexpr NTSTATUS kStatusKeyDeleted = static_cast<NTSTATUS>(0xC000017CL);
constexpr ULONG kTagRegistryString = pool::MakeTag("RtlS");
constexpr ULONG kTypeMask = 0x00FFFFFF;  // DefaultType below the type-check byte
constexpr uintptr_t kFirstHandle = 0xFFFFFFFF80000004ull;

// Plain arrays: other translation units build paths from these during their
// own static initialisation.
#define HOST_CCS "\\Registry\\Machine\\System\\CurrentControlSet"
constexpr char kServices[] = HOST_CCS "\\Services";
constexpr char kControl[] = HOST_CCS "\\Control";
constexpr char kEnum[] = HOST_CCS "\\Enum";
constexpr char kImageClass[] = HOST_CCS "\\Control\\Class\\{6bdd1fc6-810f-11d0-bec7-08002be2092f}";
#undef HOST_CCS

struct Key;
using KeyPtr = std::shared_ptr<Key>;

struct Key {
  std::u16string name;
  std::vector<std::pair<std::u16string, reg::Value>> values;  // in the order they were created
  std::map<std::u16string, KeyPtr> subkeys;                    // by folded name: enumerated sorted
  bool deleted = false;

  reg::Value* FindValue(std::u16string_view valueName) {
    for (auto& [n, v] : values)
      if (text::EqualNoCase(n, valueName)) return &v;
    return nullptr;
  }
  void SetValue(std::u16string_view valueName, reg::Value value) {
    if (reg::Value* existing = FindValue(valueName)) {
      *existing = std::move(value);
    } else {
      values.emplace_back(std::u16string(valueName), std::move(value));
    }
  }
  bool DeleteValue(std::u16string_view valueName) {
    for (auto it = values.begin(); it != values.end(); ++it) {
      if (text::EqualNoCase(it->first, valueName)) {
        values.erase(it);
        return true;
      }
    }
    return false;
  }
};

struct Handle {
  KeyPtr key;
  ACCESS_MASK access;
};

struct Registry {
  std::mutex lock;
  KeyPtr root = std::make_shared<Key>();
  std::map<uintptr_t, Handle> handles;
  uintptr_t nextHandle = kFirstHandle;
};

Registry& TheRegistry() {
  static Registry* registry = new Registry;
  return *registry;
}

std::vector<std::u16string> Components(std::u16string_view path) {
  std::vector<std::u16string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(u'\\', start);
    if (end == std::u16string_view::npos) end = path.size();
    if (end > start) parts.emplace_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

void MarkDeleted(Key& key) {
  key.deleted = true;
  for (auto& [n, sub] : key.subkeys) MarkDeleted(*sub);
}

// Walks (and with `create` makes) the keys of `path` below `from`. Missing
// keys give STATUS_OBJECT_NAME_NOT_FOUND for the last component and
// STATUS_OBJECT_PATH_NOT_FOUND for one before it.
NTSTATUS Walk(KeyPtr from, std::u16string_view path, bool create, KeyPtr* out) {
  const auto parts = Components(path);
  KeyPtr key = std::move(from);
  for (size_t i = 0; i < parts.size(); ++i) {
    auto it = key->subkeys.find(text::Fold(parts[i]));
    if (it == key->subkeys.end()) {
      if (!create) return i + 1 == parts.size() ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
      auto made = std::make_shared<Key>();
      made->name = parts[i];
      it = key->subkeys.emplace(text::Fold(parts[i]), std::move(made)).first;
    }
    key = it->second;
  }
  *out = std::move(key);
  return STATUS_SUCCESS;
}

KeyPtr FindKey(Registry& r, std::string_view path) {
  KeyPtr key;
  return NT_SUCCESS(Walk(r.root, text::ToUtf16(path), false, &key)) ? key : nullptr;
}

KeyPtr MakeKey(Registry& r, std::string_view path) {
  KeyPtr key;
  Walk(r.root, text::ToUtf16(path), true, &key);
  return key;
}

const char* RelativeBase(ULONG relativeTo) {
  switch (relativeTo) {
    case RTL_REGISTRY_ABSOLUTE: return "";
    case RTL_REGISTRY_SERVICES: return "\\Registry\\Machine\\System\\CurrentControlSet\\Services";
    case RTL_REGISTRY_CONTROL: return "\\Registry\\Machine\\System\\CurrentControlSet\\Control";
    case RTL_REGISTRY_WINDOWS_NT: return "\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion";
    case RTL_REGISTRY_DEVICEMAP: return "\\Registry\\Machine\\Hardware\\DeviceMap";
    case RTL_REGISTRY_USER: return "\\Registry\\User\\CurrentUser";
    default: return nullptr;
  }
}

// Resolves the key a RelativeTo/Path pair names. `badHandle` is set when the
// caller must report a violation (after releasing the registry lock).
NTSTATUS OpenRelative(Registry& r, ULONG relativeTo, PCWSTR path, bool create, ACCESS_MASK need, KeyPtr* out,
                      bool* badHandle) {
  *badHandle = false;
  if (relativeTo & RTL_REGISTRY_HANDLE) {
    auto it = r.handles.find(reinterpret_cast<uintptr_t>(path));
    if (it == r.handles.end()) {
      *badHandle = true;
      return STATUS_INVALID_HANDLE;
    }
    if ((it->second.access & need) != need) return STATUS_ACCESS_DENIED;
    if (it->second.key->deleted) return kStatusKeyDeleted;
    *out = it->second.key;
    return STATUS_SUCCESS;
  }
  const char* base = RelativeBase(relativeTo & ~static_cast<ULONG>(RTL_REGISTRY_OPTIONAL));
  if (base == nullptr) return STATUS_INVALID_PARAMETER;
  std::u16string full = text::ToUtf16(base);
  if (path != nullptr) {
    if ((relativeTo & 0xFFFF) == RTL_REGISTRY_ABSOLUTE && path[0] != u'\\') return STATUS_OBJECT_NAME_INVALID;
    full += u'\\';
    full += path;
  }
  return Walk(r.root, full, create, out);
}

NTSTATUS BadHandle(const char* routine, const void* handle) {
  Violation("%s: invalid registry handle %p", routine, handle);
  return STATUS_INVALID_HANDLE;
}

// A value as handed to a query: the data plus zero bytes past its end, so that
// a string stored without its terminator (or with an odd length) still ends.
struct Snapshot {
  std::u16string name;
  bool nullName;  // a default for an entry without a name
  ULONG type;
  std::vector<uint8_t> data;
  ULONG length;
};

Snapshot Snap(std::u16string_view name, ULONG type, const void* data, size_t length) {
  Snapshot s{std::u16string(name), false, type, {}, static_cast<ULONG>(length)};
  s.data.resize(((length + 1) & ~size_t{1}) + sizeof(WCHAR), 0);
  if (length != 0) memcpy(s.data.data(), data, length);
  return s;
}

size_t DefaultStringBytes(ULONG type, const void* data) {
  const char16_t* s = static_cast<const char16_t*>(data);
  if (type != REG_MULTI_SZ) return (text::Length(s) + 1) * sizeof(WCHAR);
  size_t n = 0;
  while (s[n] != 0 || s[n + 1] != 0) ++n;  // up to the empty string that ends the list
  return (n + 2) * sizeof(WCHAR);
}

bool IsStringType(ULONG type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// %NAME% references from the environment block (UTF-16 "NAME=value" strings
// ending with an empty one), or from the system's own variables; unknown
// names stay as written.
std::u16string Expand(std::u16string_view in, const void* environment) {
  std::map<std::u16string, std::u16string> vars;
  if (environment != nullptr) {
    for (const char16_t* p = static_cast<const char16_t*>(environment); *p != 0; p += text::Length(p) + 1) {
      std::u16string_view entry(p);
      const size_t eq = entry.find(u'=', 1);
      if (eq != std::u16string_view::npos) vars[text::Fold(entry.substr(0, eq))] = entry.substr(eq + 1);
    }
  } else {
    vars[u"SYSTEMROOT"] = u"C:\\Windows";
    vars[u"WINDIR"] = u"C:\\Windows";
    vars[u"SYSTEMDRIVE"] = u"C:";
  }
  std::u16string out;
  for (size_t i = 0; i < in.size();) {
    const size_t close = in[i] == u'%' ? in.find(u'%', i + 1) : std::u16string_view::npos;
    if (close != std::u16string_view::npos) {
      auto it = vars.find(text::Fold(in.substr(i + 1, close - i - 1)));
      if (it != vars.end()) {
        out += it->second;
        i = close + 1;
        continue;
      }
    }
    out += in[i++];
  }
  return out;
}

NTSTATUS StoreDirect(PVOID target, ULONG type, const uint8_t* data, ULONG length, uintptr_t site) {
  if (IsStringType(type)) {
    auto* string = static_cast<UNICODE_STRING*>(target);
    size_t bytes = length & ~1u;
    if (bytes != 0 && data[bytes - 1] == 0 && data[bytes - 2] == 0) bytes -= sizeof(WCHAR);
    const size_t needed = bytes + sizeof(WCHAR);
    if (needed > 0xFFFE) return STATUS_BUFFER_TOO_SMALL;
    if (string->Buffer == nullptr) {
      void* p = internal::PoolAllocate(PagedPool, needed, kTagRegistryString, site);
      if (p == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
      string->Buffer = static_cast<PWSTR>(p);
      string->MaximumLength = static_cast<USHORT>(needed);
    } else if (string->MaximumLength < needed) {
      return STATUS_BUFFER_TOO_SMALL;
    }
    memcpy(string->Buffer, data, bytes);
    string->Buffer[bytes / sizeof(WCHAR)] = 0;
    string->Length = static_cast<USHORT>(bytes);
    return STATUS_SUCCESS;
  }
  if (length <= sizeof(ULONG)) {
    memcpy(target, data, length);
    return STATUS_SUCCESS;
  }
  // Larger data: the destination starts with a LONG giving its own size.
  // Negative: the data alone goes there; positive: length, type, then data.
  LONG declared;
  memcpy(&declared, target, sizeof declared);
  if (declared < 0) {
    if (static_cast<int64_t>(length) > -static_cast<int64_t>(declared)) return STATUS_BUFFER_TOO_SMALL;
    memcpy(target, data, length);
  } else {
    if (static_cast<uint64_t>(length) + 2 * sizeof(ULONG) > static_cast<uint64_t>(declared))
      return STATUS_BUFFER_TOO_SMALL;
    const ULONG header[2] = {length, type};
    memcpy(target, header, sizeof header);
    memcpy(static_cast<uint8_t*>(target) + sizeof header, data, length);
  }
  return STATUS_SUCCESS;
}

struct Query {
  PVOID context;
  PVOID environment;
  uintptr_t site;
};

NTSTATUS DeliverOne(const RTL_QUERY_REGISTRY_TABLE& e, const Query& q, PWSTR name, ULONG type, uint8_t* data,
                    ULONG length) {
  if (e.Flags & RTL_QUERY_REGISTRY_DIRECT) return StoreDirect(e.EntryContext, type, data, length, q.site);
  return e.QueryRoutine(name, type, data, length, q.context, e.EntryContext);
}

// Hands one value to the entry: REG_EXPAND_SZ expanded and REG_MULTI_SZ one
// string at a time (both as REG_SZ) unless the entry says NOEXPAND.
NTSTATUS Deliver(const RTL_QUERY_REGISTRY_TABLE& e, const Query& q, Snapshot& v) {
  PWSTR name = v.nullName ? nullptr : v.name.data();
  const bool expand = (e.Flags & RTL_QUERY_REGISTRY_NOEXPAND) == 0;
  if (v.type == REG_EXPAND_SZ && expand) {
    std::u16string expanded =
        Expand(std::u16string_view(reinterpret_cast<const char16_t*>(v.data.data())), q.environment);
    const ULONG bytes = static_cast<ULONG>((expanded.size() + 1) * sizeof(WCHAR));
    return DeliverOne(e, q, name, REG_SZ, reinterpret_cast<uint8_t*>(expanded.data()), bytes);
  }
  if (v.type == REG_MULTI_SZ && expand && (e.Flags & RTL_QUERY_REGISTRY_DIRECT) == 0) {
    auto* s = reinterpret_cast<char16_t*>(v.data.data());
    const size_t chars = v.length / sizeof(WCHAR);
    for (size_t i = 0; i < chars && s[i] != 0;) {
      const size_t n = text::Length(s + i);
      const NTSTATUS status =
          DeliverOne(e, q, name, REG_SZ, reinterpret_cast<uint8_t*>(s + i), static_cast<ULONG>((n + 1) * 2));
      if (!NT_SUCCESS(status)) return status;
      i += n + 1;
    }
    return STATUS_SUCCESS;
  }
  return DeliverOne(e, q, name, v.type, v.data.data(), v.length);
}

NTSTATUS DeliverDefault(const RTL_QUERY_REGISTRY_TABLE& e, const Query& q) {
  const ULONG type = e.DefaultType & kTypeMask;
  if (type == REG_NONE) return STATUS_SUCCESS;
  size_t length = e.DefaultLength;
  if (length == 0 && e.DefaultData != nullptr && IsStringType(type)) length = DefaultStringBytes(type, e.DefaultData);
  Snapshot v = Snap(e.Name != nullptr ? std::u16string_view(e.Name) : std::u16string_view(), type,
                    e.DefaultData, e.DefaultData != nullptr ? length : 0);
  v.nullName = e.Name == nullptr;
  return Deliver(e, q, v);
}

NTSTATUS QueryEntry(Registry& r, const RTL_QUERY_REGISTRY_TABLE& e, const Query& q, const KeyPtr& key) {
  const ULONG flags = e.Flags;
  if (e.QueryRoutine == nullptr && (flags & RTL_QUERY_REGISTRY_DIRECT) == 0) return STATUS_INVALID_PARAMETER;
  if ((flags & RTL_QUERY_REGISTRY_DIRECT) && (e.Name == nullptr || e.EntryContext == nullptr))
    return STATUS_INVALID_PARAMETER;
  if (e.Name == nullptr && (flags & RTL_QUERY_REGISTRY_NOVALUE))
    return e.QueryRoutine(nullptr, REG_NONE, nullptr, 0, q.context, e.EntryContext);

  std::vector<Snapshot> found;
  {
    std::lock_guard<std::mutex> guard(r.lock);
    if (key != nullptr && !key->deleted) {
      if (e.Name == nullptr) {
        for (const auto& [n, v] : key->values) found.push_back(Snap(n, v.type, v.data.data(), v.data.size()));
      } else if (const reg::Value* v = key->FindValue(e.Name)) {
        found.push_back(Snap(e.Name, v->type, v->data.data(), v->data.size()));
      }
    }
  }
  if (found.empty()) {
    if (flags & RTL_QUERY_REGISTRY_REQUIRED) return STATUS_OBJECT_NAME_NOT_FOUND;
    return DeliverDefault(e, q);
  }
  for (Snapshot& v : found) {
    if ((flags & RTL_QUERY_REGISTRY_TYPECHECK) && v.type != (e.DefaultType >> RTL_QUERY_REGISTRY_TYPECHECK_SHIFT))
      return STATUS_OBJECT_TYPE_MISMATCH;
    const NTSTATUS status = Deliver(e, q, v);
    if (!NT_SUCCESS(status)) return status;
    if (flags & RTL_QUERY_REGISTRY_DELETE) {
      std::lock_guard<std::mutex> guard(r.lock);
      if (!key->deleted) key->DeleteValue(v.name);
    }
  }
  return STATUS_SUCCESS;
}

NTSTATUS RequirePassive(const char* routine) {
  return internal::RequireIrql(PASSIVE_LEVEL, routine) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

}  // namespace

// ---------------------------------------------------------------------------
namespace internal {

// True while the tree is what a reset builds: the standard keys, no values.
bool IsStandardTree(const Key& root) {
  static const auto* folded = new std::vector<std::u16string>{
      text::Fold(u"Registry"), text::Fold(u"Machine"), text::Fold(u"System"), text::Fold(u"CurrentControlSet"),
      text::Fold(u"Services"), text::Fold(u"Control"), text::Fold(u"Enum")};
  const Key* key = &root;
  for (size_t i = 0; i < 4; ++i) {
    if (!key->values.empty() || key->subkeys.size() != 1) return false;
    auto it = key->subkeys.find((*folded)[i]);
    if (it == key->subkeys.end()) return false;
    key = it->second.get();
  }
  if (!key->values.empty() || key->subkeys.size() != 3) return false;
  for (size_t i = 4; i < 7; ++i) {
    auto it = key->subkeys.find((*folded)[i]);
    if (it == key->subkeys.end() || !it->second->values.empty() || !it->second->subkeys.empty()) return false;
  }
  return true;
}

void ResetRegistry() {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  if (r.handles.empty() && r.nextHandle == kFirstHandle && IsStandardTree(*r.root)) return;  // nothing to undo
  MarkDeleted(*r.root);
  r.root = std::make_shared<Key>();
  r.handles.clear();
  r.nextHandle = kFirstHandle;
  for (const char* path : {kServices, kControl, kEnum}) MakeKey(r, path);
}

}  // namespace internal

namespace reg {

std::string ServicesPath(std::string_view service) { return std::string(kServices) + "\\" + std::string(service); }

void CreateKey(std::string_view path) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  MakeKey(r, path);
}

void DeleteKey(std::string_view path) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  auto parts = Components(text::ToUtf16(path));
  if (parts.empty()) return;
  const std::u16string last = text::Fold(parts.back());
  parts.pop_back();
  KeyPtr parent = r.root;
  for (const auto& part : parts) {
    auto it = parent->subkeys.find(text::Fold(part));
    if (it == parent->subkeys.end()) return;
    parent = it->second;
  }
  auto it = parent->subkeys.find(last);
  if (it == parent->subkeys.end()) return;
  MarkDeleted(*it->second);
  parent->subkeys.erase(it);
}

bool KeyExists(std::string_view path) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  return FindKey(r, path) != nullptr;
}

void Set(std::string_view path, std::string_view name, ULONG type, std::vector<uint8_t> data) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  MakeKey(r, path)->SetValue(text::ToUtf16(name), Value{type, std::move(data)});
}

void SetDword(std::string_view path, std::string_view name, uint32_t value) {
  std::vector<uint8_t> data(sizeof value);
  memcpy(data.data(), &value, sizeof value);
  Set(path, name, REG_DWORD, std::move(data));
}

void SetString(std::string_view path, std::string_view name, std::string_view value) {
  const std::u16string wide = text::ToUtf16(value);
  std::vector<uint8_t> data((wide.size() + 1) * sizeof(WCHAR), 0);
  memcpy(data.data(), wide.data(), wide.size() * sizeof(WCHAR));
  Set(path, name, REG_SZ, std::move(data));
}

bool Get(std::string_view path, std::string_view name, Value* out) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  KeyPtr key = FindKey(r, path);
  const Value* v = key != nullptr ? key->FindValue(text::ToUtf16(name)) : nullptr;
  if (v == nullptr) return false;
  if (out != nullptr) *out = *v;
  return true;
}

std::vector<std::string> Values(std::string_view path) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  std::vector<std::string> names;
  if (KeyPtr key = FindKey(r, path))
    for (const auto& [n, v] : key->values) names.push_back(text::ToUtf8(n));
  return names;
}

std::vector<std::string> Subkeys(std::string_view path) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  std::vector<std::string> names;
  if (KeyPtr key = FindKey(r, path))
    for (const auto& [folded, sub] : key->subkeys) names.push_back(text::ToUtf8(sub->name));
  return names;
}

std::string DeviceKeyPath(PDEVICE_OBJECT pdo, ULONG keyType) {
  const std::string name = pdo != nullptr ? io::DeviceName(pdo) : std::string();
  if (name.empty()) return {};
  switch (keyType) {
    case PLUGPLAY_REGKEY_DEVICE: return std::string(kEnum) + "\\" + name + "\\Device Parameters";
    case PLUGPLAY_REGKEY_DRIVER: return std::string(kImageClass) + "\\" + name;
    default: return {};
  }
}

size_t OpenHandles() {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  return r.handles.size();
}

}  // namespace reg
}  // namespace host

// ---------------------------------------------------------------------------
// The ntoskrnl routines.
using host::Registry;
using host::TheRegistry;

HOST_EXTERN_C DECLSPEC_NOINLINE NTSTATUS RtlQueryRegistryValues(ULONG relativeTo, PCWSTR path,
                                                                PRTL_QUERY_REGISTRY_TABLE table, PVOID context,
                                                                PVOID environment) {
  const host::Query q{context, environment, HOST_CALLER_SITE()};
  if (NTSTATUS s = host::RequirePassive("RtlQueryRegistryValues"); !NT_SUCCESS(s)) return s;
  if (table == nullptr) return STATUS_INVALID_PARAMETER;
  Registry& r = TheRegistry();
  host::KeyPtr base;
  NTSTATUS status;
  bool badHandle;
  {
    std::lock_guard<std::mutex> guard(r.lock);
    status = host::OpenRelative(r, relativeTo, path, false, KEY_QUERY_VALUE, &base, &badHandle);
  }
  if (badHandle) return host::BadHandle("RtlQueryRegistryValues", path);
  if (!NT_SUCCESS(status))
    return (relativeTo & RTL_REGISTRY_OPTIONAL) && status != STATUS_INVALID_PARAMETER ? STATUS_SUCCESS : status;

  host::KeyPtr current = base;
  for (PRTL_QUERY_REGISTRY_TABLE e = table; e->QueryRoutine != nullptr || e->Name != nullptr; ++e) {
    if (e->Flags & RTL_QUERY_REGISTRY_TOPKEY) {
      current = base;
      continue;
    }
    if (e->Flags & RTL_QUERY_REGISTRY_SUBKEY) {
      // Entries after this one read the named key below the queried one; a
      // missing key reads as one without values (defaults apply).
      std::lock_guard<std::mutex> guard(r.lock);
      if (e->Name == nullptr || base->deleted || !NT_SUCCESS(host::Walk(base, e->Name, false, &current)))
        current = nullptr;
      if (current == nullptr && (e->Flags & RTL_QUERY_REGISTRY_REQUIRED)) return STATUS_OBJECT_NAME_NOT_FOUND;
      continue;
    }
    status = host::QueryEntry(r, *e, q, current);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

HOST_EXTERN_C NTSTATUS RtlWriteRegistryValue(ULONG relativeTo, PCWSTR path, PCWSTR valueName, ULONG valueType,
                                             PVOID valueData, ULONG valueLength) {
  if (NTSTATUS s = host::RequirePassive("RtlWriteRegistryValue"); !NT_SUCCESS(s)) return s;
  if (valueName == nullptr || (valueData == nullptr && valueLength != 0)) return STATUS_INVALID_PARAMETER;
  Registry& r = TheRegistry();
  bool badHandle;
  {
    std::lock_guard<std::mutex> guard(r.lock);
    host::KeyPtr key;
    const NTSTATUS status = host::OpenRelative(r, relativeTo & ~static_cast<ULONG>(RTL_REGISTRY_OPTIONAL), path,
                                               true, KEY_SET_VALUE, &key, &badHandle);
    if (NT_SUCCESS(status)) {
      const auto* bytes = static_cast<const uint8_t*>(valueData);
      key->SetValue(valueName, host::reg::Value{valueType, std::vector<uint8_t>(bytes, bytes + valueLength)});
      return STATUS_SUCCESS;
    }
    if (!badHandle) return status;
  }
  return host::BadHandle("RtlWriteRegistryValue", path);
}

HOST_EXTERN_C NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT pdo, ULONG keyType, ACCESS_MASK access, PHANDLE key) {
  if (NTSTATUS s = host::RequirePassive("IoOpenDeviceRegistryKey"); !NT_SUCCESS(s)) return s;
  if (pdo == nullptr || key == nullptr) return STATUS_INVALID_PARAMETER;
  if (keyType != PLUGPLAY_REGKEY_DEVICE && keyType != PLUGPLAY_REGKEY_DRIVER) return STATUS_INVALID_PARAMETER;
  const std::string path = host::reg::DeviceKeyPath(pdo, keyType);
  if (path.empty()) return STATUS_INVALID_DEVICE_REQUEST;
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  const uintptr_t handle = r.nextHandle;
  r.nextHandle += 4;
  r.handles[handle] = host::Handle{host::MakeKey(r, path), access};
  *key = reinterpret_cast<HANDLE>(handle);
  return STATUS_SUCCESS;
}

HOST_EXTERN_C NTSTATUS ZwSetValueKey(HANDLE key, PUNICODE_STRING valueName, ULONG titleIndex, ULONG type, PVOID data,
                                     ULONG dataSize) {
  if (NTSTATUS s = host::RequirePassive("ZwSetValueKey"); !NT_SUCCESS(s)) return s;
  Registry& r = TheRegistry();
  {
    std::lock_guard<std::mutex> guard(r.lock);
    auto it = r.handles.find(reinterpret_cast<uintptr_t>(key));
    if (it != r.handles.end()) {
      if ((it->second.access & KEY_SET_VALUE) == 0) return STATUS_ACCESS_DENIED;
      if (it->second.key->deleted) return host::kStatusKeyDeleted;
      if (valueName == nullptr || (valueName->Length != 0 && valueName->Buffer == nullptr) ||
          (valueName->Length & 1) != 0 || (data == nullptr && dataSize != 0))
        return STATUS_INVALID_PARAMETER;
      const auto* bytes = static_cast<const uint8_t*>(data);
      it->second.key->SetValue(std::u16string_view(valueName->Buffer, valueName->Length / sizeof(WCHAR)),
                               host::reg::Value{type, std::vector<uint8_t>(bytes, bytes + dataSize)});
      return STATUS_SUCCESS;
    }
  }
  return host::BadHandle("ZwSetValueKey", key);
}

HOST_EXTERN_C NTSTATUS ZwClose(HANDLE handle) {
  if (NTSTATUS s = host::RequirePassive("ZwClose"); !NT_SUCCESS(s)) return s;
  Registry& r = TheRegistry();
  {
    std::lock_guard<std::mutex> guard(r.lock);
    if (r.handles.erase(reinterpret_cast<uintptr_t>(handle)) != 0) return STATUS_SUCCESS;
  }
  return host::BadHandle("ZwClose", handle);
}
