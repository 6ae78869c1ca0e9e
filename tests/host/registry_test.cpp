// Registry: RtlQueryRegistryValues as drivers use it (direct mode with the
// value in hand as default, type checks, strings, query routines, table
// flags), per-device keys and their handles, and the counted-string helpers.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <host/api/host.h>

namespace {

using Bytes = std::vector<uint8_t>;

const std::string kParameters = host::reg::ServicesPath("ovrausb") + "\\Parameters";

Bytes Dword(uint32_t v) {
  Bytes b(4);
  memcpy(b.data(), &v, 4);
  return b;
}

Bytes Wide(std::u16string_view s) {  // the characters plus one terminator
  Bytes b((s.size() + 1) * 2, 0);
  memcpy(b.data(), s.data(), s.size() * 2);
  return b;
}

std::u16string Text(const UNICODE_STRING& s) {
  return s.Buffer != nullptr ? std::u16string(s.Buffer, s.Length / 2) : std::u16string();
}

RTL_QUERY_REGISTRY_TABLE Direct(PCWSTR name, void* target, ULONG extraFlags = 0, ULONG defaultType = REG_NONE,
                                void* defaultData = nullptr, ULONG defaultLength = 0) {
  return {nullptr, RTL_QUERY_REGISTRY_DIRECT | extraFlags, name, target, defaultType, defaultData, defaultLength};
}

// The driver's way of reading a DWORD: the field itself is the default.
RTL_QUERY_REGISTRY_TABLE DwordInHand(PCWSTR name, ULONG* field) {
  return Direct(name, field, RTL_QUERY_REGISTRY_TYPECHECK,
                (REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | REG_DWORD, field, sizeof(ULONG));
}

NTSTATUS Query(ULONG relativeTo, PCWSTR path, std::vector<RTL_QUERY_REGISTRY_TABLE> table, PVOID context = nullptr) {
  table.push_back({});
  return RtlQueryRegistryValues(relativeTo, path, table.data(), context, nullptr);
}

class Registry : public ::testing::Test {
 protected:
  void SetUp() override {
    bus_ = host::io::CreateDriverObject("usbhub");
    pdo_ = host::io::CreateDevice(bus_, 0, 1, "USB\\VID_0FBC&PID_8117\\5&1");
  }
  void TearDown() override {
    host::io::DeleteDevice(pdo_);
    host::io::DeleteDriverObject(bus_);
  }
  HANDLE Open(ULONG keyType, ACCESS_MASK access) {
    HANDLE h = nullptr;
    EXPECT_EQ(IoOpenDeviceRegistryKey(pdo_, keyType, access, &h), STATUS_SUCCESS);
    return h;
  }
  std::string DeviceKey() { return host::reg::DeviceKeyPath(pdo_, PLUGPLAY_REGKEY_DEVICE); }

  PDRIVER_OBJECT bus_ = nullptr;
  PDEVICE_OBJECT pdo_ = nullptr;
};

TEST_F(Registry, ServiceValueIsTheDefaultAndTheDeviceKeyWins) {
  struct Case {
    int service;  // -1: absent
    int device;
    ULONG expected;
  };
  const Case cases[] = {{-1, -1, 7}, {1, -1, 1}, {1, 3, 3}, {-1, 3, 3}, {0, -1, 0}};
  for (const Case& c : cases) {
    host::reg::DeleteKey(kParameters);
    host::reg::DeleteKey(DeviceKey());
    if (c.service >= 0) host::reg::SetDword(kParameters, "AltSetting", c.service);
    if (c.device >= 0) host::reg::SetDword(DeviceKey(), "AltSetting", c.device);

    ULONG alt = 7;
    const NTSTATUS service = Query(RTL_REGISTRY_SERVICES, u"ovrausb\\Parameters", {DwordInHand(u"AltSetting", &alt)});
    EXPECT_EQ(NT_SUCCESS(service), c.service >= 0);  // no service key at all: the query fails
    HANDLE key = Open(PLUGPLAY_REGKEY_DEVICE, KEY_READ);
    EXPECT_EQ(Query(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(key), {DwordInHand(u"AltSetting", &alt)}),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    EXPECT_EQ(alt, c.expected) << "service " << c.service << ", device " << c.device;
  }
}

TEST_F(Registry, KeyLookupStatuses) {
  host::reg::SetDword(kParameters, "Camera", 0xB0);
  struct Case {
    ULONG relativeTo;
    PCWSTR path;
    NTSTATUS expected;
    ULONG value;
  };
  const Case cases[] = {
      {RTL_REGISTRY_SERVICES, u"ovrausb\\Parameters", STATUS_SUCCESS, 0xB0},
      {RTL_REGISTRY_ABSOLUTE, u"\\REGISTRY\\machine\\SYSTEM\\CurrentControlSet\\services\\OVRAUSB\\parameters",
       STATUS_SUCCESS, 0xB0},
      {RTL_REGISTRY_SERVICES, u"ovrausb\\Missing", STATUS_OBJECT_NAME_NOT_FOUND, 1},
      {RTL_REGISTRY_SERVICES, u"nosuch\\Parameters", STATUS_OBJECT_PATH_NOT_FOUND, 1},
      {RTL_REGISTRY_SERVICES | RTL_REGISTRY_OPTIONAL, u"nosuch\\Parameters", STATUS_SUCCESS, 1},
      {RTL_REGISTRY_ABSOLUTE, u"Registry\\Machine", STATUS_OBJECT_NAME_INVALID, 1},
      {77, u"ovrausb", STATUS_INVALID_PARAMETER, 1},
  };
  for (const Case& c : cases) {
    ULONG camera = 1;
    EXPECT_EQ(Query(c.relativeTo, c.path, {DwordInHand(u"CAMERA", &camera)}), c.expected);
    EXPECT_EQ(camera, c.value);
  }
}

TEST_F(Registry, DirectNonStringDataNeverOverrunsTheStatedSize) {
  Bytes binary64(64);
  for (size_t i = 0; i < binary64.size(); ++i) binary64[i] = static_cast<uint8_t>(i + 1);
  auto withSize = [](LONG size, size_t bytes) {
    Bytes b(bytes, 0xEE);
    memcpy(b.data(), &size, 4);
    return b;
  };
  Bytes counted(72);  // length 64, type REG_BINARY, then the data
  const ULONG header[2] = {64, REG_BINARY};
  memcpy(counted.data(), header, 8);
  memcpy(counted.data() + 8, binary64.data(), 64);

  struct Case {
    const char* name;
    ULONG type;
    Bytes stored;
    Bytes target;  // an exact-size heap block: AddressSanitizer sees any write past it
    NTSTATUS status;
    Bytes after;
  };
  const Case cases[] = {
      {"dword", REG_DWORD, Dword(0x12345678), Dword(0), STATUS_SUCCESS, Dword(0x12345678)},
      {"2-byte binary", REG_BINARY, {0xAA, 0xBB}, Dword(0xFFFFFFFF), STATUS_SUCCESS, {0xAA, 0xBB, 0xFF, 0xFF}},
      {"64-byte binary into a zeroed field", REG_BINARY, binary64, Dword(0), STATUS_BUFFER_TOO_SMALL, Dword(0)},
      {"qword into a zeroed field", REG_QWORD, Bytes(8, 1), Dword(0), STATUS_BUFFER_TOO_SMALL, Dword(0)},
      {"positive size, room", REG_BINARY, binary64, withSize(72, 72), STATUS_SUCCESS, counted},
      {"positive size, one short", REG_BINARY, binary64, withSize(71, 71), STATUS_BUFFER_TOO_SMALL, withSize(71, 71)},
      {"negative size, room", REG_BINARY, binary64, withSize(-64, 64), STATUS_SUCCESS, binary64},
      {"negative size, one short", REG_BINARY, binary64, withSize(-63, 63), STATUS_BUFFER_TOO_SMALL,
       withSize(-63, 63)},
  };
  for (const Case& c : cases) {
    host::reg::Set(kParameters, "Value", c.type, c.stored);
    Bytes target = c.target;
    EXPECT_EQ(Query(RTL_REGISTRY_SERVICES, u"ovrausb\\Parameters", {Direct(u"Value", target.data())}), c.status)
        << c.name;
    EXPECT_EQ(target, c.after) << c.name;
  }
}

TEST_F(Registry, TypeCheckRefusesOtherTypes) {
  struct Case {
    ULONG storedType;
    Bytes stored;
    NTSTATUS expected;
  };
  const Case cases[] = {
      {REG_DWORD, Dword(5), STATUS_SUCCESS},
      {REG_SZ, Wide(u"5"), STATUS_OBJECT_TYPE_MISMATCH},
      {REG_BINARY, Bytes(64, 1), STATUS_OBJECT_TYPE_MISMATCH},
      {REG_QWORD, Bytes(8, 1), STATUS_OBJECT_TYPE_MISMATCH},
  };
  for (const Case& c : cases) {
    host::reg::Set(kParameters, "Interleave", c.storedType, c.stored);
    auto field = std::make_unique<ULONG>(2);
    EXPECT_EQ(Query(RTL_REGISTRY_SERVICES, u"ovrausb\\Parameters", {DwordInHand(u"Interleave", field.get())}),
              c.expected);
    EXPECT_EQ(*field, c.expected == STATUS_SUCCESS ? 5u : 2u);
  }
}

TEST_F(Registry, StringsIntoCountedStrings) {
  WCHAR dflt[] = u"dflt";
  struct Case {
    const char* name;
    ULONG type;  // REG_NONE: value absent
    Bytes stored;
    ULONG flags;
    USHORT room;  // bytes of caller buffer; 0: let the query allocate
    NTSTATUS status;
    std::u16string text;
  };
  const Case cases[] = {
      {"allocated", REG_SZ, Wide(u"Hello"), 0, 0, STATUS_SUCCESS, u"Hello"},
      {"exact room", REG_SZ, Wide(u"Hello"), 0, 12, STATUS_SUCCESS, u"Hello"},
      {"no room for the terminator", REG_SZ, Wide(u"Hello"), 0, 10, STATUS_BUFFER_TOO_SMALL, u""},
      {"no terminator stored", REG_SZ, Bytes{'H', 0, 'i', 0}, 0, 0, STATUS_SUCCESS, u"Hi"},
      {"expanded", REG_EXPAND_SZ, Wide(u"%SystemRoot%\\x %Unknown%"), 0, 0, STATUS_SUCCESS,
       u"C:\\Windows\\x %Unknown%"},
      {"not expanded", REG_EXPAND_SZ, Wide(u"%SystemRoot%"), RTL_QUERY_REGISTRY_NOEXPAND, 0, STATUS_SUCCESS,
       u"%SystemRoot%"},
      {"multi", REG_MULTI_SZ, Wide(std::u16string(u"a\0bc\0", 5)), RTL_QUERY_REGISTRY_NOEXPAND, 0, STATUS_SUCCESS,
       std::u16string(u"a\0bc\0", 5)},
      {"default", REG_NONE, {}, 0, 0, STATUS_SUCCESS, u"dflt"},
  };
  for (const Case& c : cases) {
    host::reg::DeleteKey(kParameters);
    host::reg::CreateKey(kParameters);
    if (c.type != REG_NONE) host::reg::Set(kParameters, "Name", c.type, c.stored);
    std::vector<WCHAR> room(c.room / 2);
    UNICODE_STRING s{0, c.room, c.room != 0 ? room.data() : nullptr};
    EXPECT_EQ(Query(RTL_REGISTRY_SERVICES, u"ovrausb\\Parameters", {Direct(u"Name", &s, c.flags, REG_SZ, dflt)}),
              c.status)
        << c.name;
    EXPECT_EQ(Text(s), c.text) << c.name;
    if (c.status == STATUS_SUCCESS) {
      EXPECT_EQ(s.Buffer[s.Length / 2], 0) << c.name << ": not terminated";
    }
    if (c.room == 0 && s.Buffer != nullptr) {
      EXPECT_EQ(host::pool::Outstanding(), 1u) << c.name;  // the caller owns the allocated buffer
      ExFreePool(s.Buffer);
    }
  }
}

TEST_F(Registry, RequiredValuesAndEmptyDefaults) {
  host::reg::SetDword(kParameters, "Present", 9);
  ULONG a = 1, b = 1, c = 1;
  // A missing REQUIRED value ends the query before later entries and ignores its default.
  EXPECT_EQ(Query(RTL_REGISTRY_SERVICES, u"ovrausb\\Parameters",
                  {Direct(u"Missing", &a, RTL_QUERY_REGISTRY_REQUIRED, REG_DWORD, &c, 4), Direct(u"Present", &b)}),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(a, 1u);
  EXPECT_EQ(b, 1u);
  // Present REQUIRED values and missing values without a default (REG_NONE) are fine.
  EXPECT_EQ(Query(RTL_REGISTRY_SERVICES, u"ovrausb\\Parameters",
                  {Direct(u"Present", &b, RTL_QUERY_REGISTRY_REQUIRED), Direct(u"Missing", &a)}),
            STATUS_SUCCESS);
  EXPECT_EQ(b, 9u);
  EXPECT_EQ(a, 1u);
}

struct Call {
  std::u16string name;  // u"<null>" for a null name
  ULONG type;
  Bytes data;
  PVOID context;
  PVOID entryContext;
  bool operator==(const Call& o) const {
    return name == o.name && type == o.type && data == o.data && context == o.context &&
           entryContext == o.entryContext;
  }
};

struct Recorder {
  std::vector<Call> calls;
  size_t failOnCall = 0;  // 1-based; 0: never
};

NTSTATUS Record(PWSTR name, ULONG type, PVOID data, ULONG length, PVOID context, PVOID entryContext) {
  auto* r = static_cast<Recorder*>(context);
  const auto* bytes = static_cast<const uint8_t*>(data);
  r->calls.push_back({name != nullptr ? std::u16string(name) : u"<null>", type,
                      bytes != nullptr ? Bytes(bytes, bytes + length) : Bytes{}, context, entryContext});
  return r->calls.size() == r->failOnCall ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
}

TEST_F(Registry, QueryRoutinesSeeEveryValue) {
  const std::string key = kParameters + "\\Resolution0";
  host::reg::SetDword(key, "X", 640);
  host::reg::Set(key, "Multi", REG_MULTI_SZ, Wide(std::u16string(u"one\0two\0", 8)));
  host::reg::Set(key, "Exp", REG_EXPAND_SZ, Wide(u"%SystemRoot%"));
  host::reg::Set(key, "0", REG_BINARY, {1, 2, 3});
  int tag = 0;
  PVOID entry = &tag;

  Recorder r;
  auto run = [&](ULONG flags, size_t failOn = 0) {
    r = Recorder{};
    r.failOnCall = failOn;
    const NTSTATUS status = Query(RTL_REGISTRY_SERVICES, u"ovrausb\\Parameters\\Resolution0",
                                  {{Record, flags, nullptr, entry, REG_NONE, nullptr, 0},
                                   {Record, RTL_QUERY_REGISTRY_NOVALUE, nullptr, nullptr, REG_NONE, nullptr, 0}},
                                  &r);
    return std::make_pair(status, r.calls);
  };
  auto [status, calls] = run(0);
  ASSERT_EQ(status, STATUS_SUCCESS);
  const std::vector<Call> expected = {
      {u"X", REG_DWORD, Dword(640), &r, entry},
      {u"Multi", REG_SZ, Wide(u"one"), &r, entry},
      {u"Multi", REG_SZ, Wide(u"two"), &r, entry},
      {u"Exp", REG_SZ, Wide(u"C:\\Windows"), &r, entry},
      {u"0", REG_BINARY, {1, 2, 3}, &r, entry},
      {u"<null>", REG_NONE, {}, &r, nullptr},  // the NOVALUE entry: one call, no value
  };
  EXPECT_EQ(calls, expected);

  // NOEXPAND hands the raw values over.
  std::tie(status, calls) = run(RTL_QUERY_REGISTRY_NOEXPAND);
  ASSERT_EQ(calls.size(), 5u);
  EXPECT_EQ(calls[1].type, ULONG(REG_MULTI_SZ));
  EXPECT_EQ(calls[1].data, Wide(std::u16string(u"one\0two\0", 8)));
  EXPECT_EQ(calls[2].type, ULONG(REG_EXPAND_SZ));

  // An error from a routine ends the whole query with that status.
  std::tie(status, calls) = run(0, 2);
  EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(calls.size(), 2u);

  // DELETE removes each value once it has been handed over.
  std::tie(status, calls) = run(RTL_QUERY_REGISTRY_DELETE);
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_TRUE(host::reg::Values(key).empty());
}

TEST_F(Registry, SubkeyAndTopkeyMoveTheFocus) {
  host::reg::SetDword(kParameters, "X", 1);
  host::reg::SetDword(kParameters + "\\Resolution1", "X", 320);
  ULONG inSub = 0, afterTop = 0, inMissing = 5;
  EXPECT_EQ(Query(RTL_REGISTRY_SERVICES, u"ovrausb\\Parameters",
                  {{nullptr, RTL_QUERY_REGISTRY_SUBKEY, u"Resolution1", nullptr, REG_NONE, nullptr, 0},
                   Direct(u"X", &inSub),
                   {nullptr, RTL_QUERY_REGISTRY_TOPKEY, u"", nullptr, REG_NONE, nullptr, 0},
                   Direct(u"X", &afterTop),
                   {nullptr, RTL_QUERY_REGISTRY_SUBKEY, u"Resolution9", nullptr, REG_NONE, nullptr, 0},
                   Direct(u"X", &inMissing)}),
            STATUS_SUCCESS);
  EXPECT_EQ(inSub, 320u);
  EXPECT_EQ(afterTop, 1u);
  EXPECT_EQ(inMissing, 5u);  // a missing subkey has no values; no default given
}

TEST_F(Registry, DeviceKeysAndHandles) {
  EXPECT_EQ(DeviceKey(), "\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\USB\\VID_0FBC&PID_8117\\5&1"
                         "\\Device Parameters");
  EXPECT_EQ(host::reg::DeviceKeyPath(pdo_, PLUGPLAY_REGKEY_DRIVER),
            "\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\{6bdd1fc6-810f-11d0-bec7-08002be2092f}"
            "\\USB\\VID_0FBC&PID_8117\\5&1");
  EXPECT_FALSE(host::reg::KeyExists(DeviceKey()));

  HANDLE writer = Open(PLUGPLAY_REGKEY_DEVICE, KEY_WRITE);
  HANDLE reader = Open(PLUGPLAY_REGKEY_DEVICE, KEY_READ);
  HANDLE driverKey = Open(PLUGPLAY_REGKEY_DRIVER, KEY_READ);
  EXPECT_TRUE(host::reg::KeyExists(DeviceKey()));
  EXPECT_EQ(host::reg::OpenHandles(), 3u);

  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"Interleave");
  ULONG value = 1;
  EXPECT_EQ(ZwSetValueKey(writer, &name, 0, REG_DWORD, &value, sizeof value), STATUS_SUCCESS);
  EXPECT_EQ(ZwSetValueKey(reader, &name, 0, REG_DWORD, &value, sizeof value), STATUS_ACCESS_DENIED);
  host::reg::Value stored;
  ASSERT_TRUE(host::reg::Get(DeviceKey(), "interleave", &stored));
  EXPECT_EQ(stored.type, ULONG(REG_DWORD));
  EXPECT_EQ(stored.data, Dword(1));
  ULONG read = 0;
  EXPECT_EQ(Query(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(writer), {DwordInHand(u"Interleave", &read)}),
            STATUS_ACCESS_DENIED);  // a write-only handle cannot be queried
  EXPECT_EQ(Query(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(reader), {DwordInHand(u"Interleave", &read)}),
            STATUS_SUCCESS);
  EXPECT_EQ(read, 1u);

  for (HANDLE h : {writer, reader, driverKey}) EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
  EXPECT_EQ(host::reg::OpenHandles(), 0u);

  host::ViolationCapture capture;
  EXPECT_EQ(ZwClose(reader), STATUS_INVALID_HANDLE);
  EXPECT_EQ(Query(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(reader), {DwordInHand(u"Interleave", &read)}),
            STATUS_INVALID_HANDLE);
  EXPECT_EQ(ZwSetValueKey(writer, &name, 0, REG_DWORD, &value, sizeof value), STATUS_INVALID_HANDLE);
  EXPECT_EQ(capture.Messages().size(), 3u);
  HANDLE unused;
  EXPECT_EQ(IoOpenDeviceRegistryKey(pdo_, PLUGPLAY_REGKEY_CURRENT_HWPROFILE, KEY_READ, &unused),
            STATUS_INVALID_PARAMETER);
}

TEST_F(Registry, PassiveLevelOnly) {
  host::ViolationCapture capture;
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  ULONG v = 0;
  EXPECT_NE(Query(RTL_REGISTRY_SERVICES, u"ovrausb\\Parameters", {DwordInHand(u"X", &v)}), STATUS_SUCCESS);
  HANDLE h;
  EXPECT_NE(IoOpenDeviceRegistryKey(pdo_, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &h), STATUS_SUCCESS);
  KeLowerIrql(old);
  EXPECT_EQ(capture.Messages().size(), 2u);
  EXPECT_TRUE(capture.Saw("RtlQueryRegistryValues"));
}

TEST_F(Registry, TestApiAndWrites) {
  ULONG v = 3;
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, u"ovrausb\\Parameters\\New", u"Value", REG_DWORD, &v, 4),
            STATUS_SUCCESS);
  host::reg::SetString(kParameters, "Name", "Kam\xC3\xA9ra");  // UTF-8 in, UTF-16 stored
  host::reg::SetDword(kParameters, "b", 1);
  host::reg::SetDword(kParameters, "a", 2);
  host::reg::SetDword(kParameters, "B", 3);  // same value: names ignore case
  EXPECT_EQ(host::reg::Values(kParameters), (std::vector<std::string>{"Name", "b", "a"}));
  EXPECT_EQ(host::reg::Subkeys(kParameters), std::vector<std::string>{"New"});
  host::reg::Value value;
  ASSERT_TRUE(host::reg::Get(kParameters, "NAME", &value));
  EXPECT_EQ(value.type, ULONG(REG_SZ));
  EXPECT_EQ(value.data, Wide(u"Kam\u00E9ra"));
  ASSERT_TRUE(host::reg::Get(kParameters, "b", &value));
  EXPECT_EQ(value.data, Dword(3));
  ASSERT_TRUE(host::reg::Get(kParameters + "\\new", "value", &value));
  EXPECT_EQ(value.data, Dword(3));

  host::reg::DeleteKey(host::reg::ServicesPath("OVRAUSB"));
  EXPECT_FALSE(host::reg::KeyExists(kParameters));
  EXPECT_TRUE(host::reg::KeyExists("\\Registry\\Machine\\System\\CurrentControlSet\\Services"));
}

TEST(Rtl, CountedStringsAndMemoryComparison) {
  UNICODE_STRING s;
  RtlInitUnicodeString(&s, u"GLOBAL");
  EXPECT_EQ(s.Length, 12);
  EXPECT_EQ(s.MaximumLength, 14);
  RtlInitUnicodeString(&s, nullptr);
  EXPECT_EQ(s.Length, 0);
  EXPECT_EQ(s.MaximumLength, 0);
  EXPECT_EQ(s.Buffer, nullptr);

  const uint8_t a[] = {1, 2, 3, 4};
  const uint8_t b[] = {1, 2, 9, 4};
  EXPECT_EQ(RtlCompareMemory(a, a, 4), 4u);
  EXPECT_EQ(RtlCompareMemory(a, b, 4), 2u);
  EXPECT_EQ(RtlCompareMemory(a, b, 0), 0u);
}

}  // namespace
