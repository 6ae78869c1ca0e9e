// Registry: RtlQueryRegistryValues as the driver uses it (direct mode with
// the value in hand as default, type checks, sizes), and per-device keys
// with their handles.
#include <cstring>

#include "kernel_fixtures.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Table = std::vector<RTL_QUERY_REGISTRY_TABLE>;

const std::string kParameters = host::reg::ServicesPath("ovrausb") + "\\Parameters";

Bytes Dword(uint32_t v) {
  Bytes b(4);
  memcpy(b.data(), &v, 4);
  return b;
}

// The driver's way of reading a DWORD: the field itself is the default.
RTL_QUERY_REGISTRY_TABLE DwordInHand(PCWSTR name, ULONG* field) {
  return {nullptr, RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK, name, field,
          (REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | REG_DWORD, field, sizeof(ULONG)};
}

NTSTATUS Query(ULONG relativeTo, PCWSTR path, Table table) {
  table.push_back({});
  return RtlQueryRegistryValues(relativeTo, path, table.data(), nullptr, nullptr);
}
NTSTATUS QueryParameters(Table table) { return Query(RTL_REGISTRY_SERVICES, u"ovrausb\\Parameters", table); }
NTSTATUS QueryKey(HANDLE key, Table table) { return Query(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(key), table); }

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
    int service, device;  // -1: absent
    ULONG expected;
  };
  const Case cases[] = {{-1, -1, 7}, {1, -1, 1}, {1, 3, 3}, {-1, 3, 3}, {0, -1, 0}};
  for (const Case& c : cases) {
    host::reg::DeleteKey(kParameters);
    host::reg::DeleteKey(DeviceKey());
    if (c.service >= 0) host::reg::SetDword(kParameters, "AltSetting", c.service);
    if (c.device >= 0) host::reg::SetDword(DeviceKey(), "AltSetting", c.device);
    ULONG alt = 7;
    // No service key at all: that query fails and leaves the field alone.
    EXPECT_EQ(NT_SUCCESS(QueryParameters({DwordInHand(u"AltSetting", &alt)})), c.service >= 0);
    HANDLE key = Open(PLUGPLAY_REGKEY_DEVICE, KEY_READ);
    EXPECT_EQ(QueryKey(key, {DwordInHand(u"AltSetting", &alt)}), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    EXPECT_EQ(alt, c.expected) << "service " << c.service << ", device " << c.device;
  }
}

TEST_F(Registry, PathsIgnoreCaseAndAMissingKeyIsNotFound) {
  host::reg::SetDword(kParameters, "Camera", 0xB0);
  ULONG camera = 1;
  EXPECT_EQ(Query(RTL_REGISTRY_SERVICES, u"ovrausb\\Missing", {DwordInHand(u"Camera", &camera)}),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(camera, 1u);
  const PCWSTR mixedCase = u"\\REGISTRY\\machine\\SYSTEM\\CurrentControlSet\\services\\OVRAUSB\\parameters";
  EXPECT_EQ(Query(RTL_REGISTRY_ABSOLUTE, mixedCase, {DwordInHand(u"CAMERA", &camera)}), STATUS_SUCCESS);
  EXPECT_EQ(camera, 0xB0u);
}

TEST_F(Registry, DirectNonStringDataNeverOverrunsTheStatedSize) {
  Bytes binary64(64);
  for (size_t i = 0; i < binary64.size(); ++i) binary64[i] = static_cast<uint8_t>(i + 1);
  auto withSize = [](LONG size, size_t bytes) {
    Bytes b(bytes, 0xEE);
    memcpy(b.data(), &size, 4);
    return b;
  };
  Bytes counted = Dword(64);  // length 64, type REG_BINARY, then the data
  for (const Bytes& part : {Dword(REG_BINARY), binary64}) counted.insert(counted.end(), part.begin(), part.end());

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
      {"negative size, one short", REG_BINARY, binary64, withSize(-63, 63), STATUS_BUFFER_TOO_SMALL, withSize(-63, 63)},
  };
  for (const Case& c : cases) {
    host::reg::Set(kParameters, "Value", c.type, c.stored);
    Bytes target = c.target;
    EXPECT_EQ(QueryParameters({{nullptr, RTL_QUERY_REGISTRY_DIRECT, u"Value", target.data(), REG_NONE, nullptr, 0}}),
              c.status)
        << c.name;
    EXPECT_EQ(target, c.after) << c.name;
  }
}

TEST_F(Registry, TypeCheckRefusesOtherTypes) {
  const std::pair<ULONG, Bytes> others[] = {
      {REG_SZ, {'5', 0, 0, 0}}, {REG_BINARY, Bytes(64, 1)}, {REG_QWORD, Bytes(8, 1)}};
  for (const auto& [type, data] : others) {
    host::reg::Set(kParameters, "Interleave", type, data);
    auto field = std::make_unique<ULONG>(2);
    EXPECT_EQ(QueryParameters({DwordInHand(u"Interleave", field.get())}), STATUS_OBJECT_TYPE_MISMATCH) << type;
    EXPECT_EQ(*field, 2u);
  }
}

TEST_F(Registry, DeviceKeysAndHandles) {
  EXPECT_EQ(DeviceKey(), "\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\USB\\VID_0FBC&PID_8117\\5&1"
                         "\\Device Parameters");
  EXPECT_FALSE(host::reg::KeyExists(DeviceKey()));

  HANDLE writer = Open(PLUGPLAY_REGKEY_DEVICE, KEY_WRITE);
  HANDLE reader = Open(PLUGPLAY_REGKEY_DEVICE, KEY_READ);
  EXPECT_TRUE(host::reg::KeyExists(DeviceKey()));
  EXPECT_EQ(host::reg::OpenHandles(), 2u);

  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"Interleave");
  ULONG value = 1, read = 0;
  EXPECT_EQ(ZwSetValueKey(writer, &name, 0, REG_DWORD, &value, sizeof value), STATUS_SUCCESS);
  EXPECT_EQ(ZwSetValueKey(reader, &name, 0, REG_DWORD, &value, sizeof value), STATUS_ACCESS_DENIED);
  host::reg::Value stored;
  ASSERT_TRUE(host::reg::Get(DeviceKey(), "interleave", &stored));
  EXPECT_TRUE(stored.type == REG_DWORD && stored.data == Dword(1));
  EXPECT_EQ(QueryKey(writer, {DwordInHand(u"Interleave", &read)}), STATUS_ACCESS_DENIED);  // write-only
  EXPECT_EQ(QueryKey(reader, {DwordInHand(u"Interleave", &read)}), STATUS_SUCCESS);
  EXPECT_EQ(read, 1u);

  for (HANDLE h : {writer, reader}) EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
  EXPECT_EQ(host::reg::OpenHandles(), 0u);

  host::ViolationCapture capture;
  EXPECT_EQ(ZwClose(reader), STATUS_INVALID_HANDLE);
  EXPECT_EQ(ZwSetValueKey(writer, &name, 0, REG_DWORD, &value, sizeof value), STATUS_INVALID_HANDLE);
  EXPECT_EQ(capture.Messages().size(), 2u);
}

}  // namespace
