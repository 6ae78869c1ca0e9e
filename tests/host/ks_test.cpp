// AVStream device side: the Plug and Play life of a KSDEVICE, object bags,
// _KsEdit and the driver's unload hook.
#include <algorithm>

#include <host/api/ks.h>

#include "kernel_fixtures.h"

namespace {

using host::pool::MakeTag;

constexpr ULONG kTagEdit = MakeTag("Ovra");

using Events = std::vector<std::string>;
Events events;
NTSTATUS addStatus = STATUS_SUCCESS;
NTSTATUS startStatus = STATUS_SUCCESS;
bool addPutsItemInBag = false;

void FreeRecorded(PVOID item) {
  events.push_back("free " + std::string(static_cast<const char*>(item)));
  ExFreePool(item);
}

PVOID NamedItem(const char* name) {
  auto* p = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPoolNx, strlen(name) + 1, MakeTag("KCNw")));
  if (p != nullptr) memcpy(p, name, strlen(name) + 1);
  return p;
}

// The driver's callbacks record what they see; Add may put an item in the
// device's bag first.
NTSTATUS Add(PKSDEVICE device) {
  events.push_back("add");
  if (addPutsItemInBag) {
    PVOID context = NamedItem("context");
    if (context == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    if (!NT_SUCCESS(KsAddItemToObjectBag(device->Bag, context, FreeRecorded))) {
      ExFreePool(context);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
  }
  return addStatus;
}
NTSTATUS Start(PKSDEVICE device, PIRP, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST) {
  events.push_back(device->Started ? "start while started" : "start");
  return startStatus;
}
NTSTATUS PostStart(PKSDEVICE) { return events.push_back("post-start"), STATUS_SUCCESS; }
void Stop(PKSDEVICE, PIRP) { events.push_back("stop"); }
void Remove(PKSDEVICE, PIRP) { events.push_back("remove"); }
void SurpriseRemoval(PKSDEVICE, PIRP) { events.push_back("surprise"); }

const KSDEVICE_DISPATCH kDispatch = {Add,     Start,  PostStart, nullptr, nullptr,         Stop,    nullptr,
                                     nullptr, Remove, nullptr,   SurpriseRemoval, nullptr, nullptr, nullptr};
const KSDEVICE_DESCRIPTOR kDescriptor = {&kDispatch, 0, nullptr, KSDEVICE_DESCRIPTOR_VERSION, 0};

class Ks : public ::testing::Test {
 protected:
  void SetUp() override {
    events.clear();
    addStatus = startStatus = STATUS_SUCCESS;
    addPutsItemInBag = false;
    bus_ = host::io::CreateDriverObject("usbhub");
    driver_ = host::io::CreateDriverObject("ovrausb");
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\ovrausb");
    ASSERT_EQ(KsInitializeDriver(driver_, &path, &kDescriptor), STATUS_SUCCESS);
    pdo_ = host::io::CreateDevice(bus_, 0, 3, "USB\\VID_0FBC&PID_8117\\7");
  }
  void TearDown() override {
    host::io::DeleteDevice(pdo_);
    host::io::DeleteDriverObject(driver_);
    host::io::DeleteDriverObject(bus_);
  }
  PKSDEVICE AddOne() {
    PKSDEVICE device = nullptr;
    EXPECT_EQ(host::ks::AddDevice(driver_, pdo_, &device), STATUS_SUCCESS);
    return device;
  }

  PDRIVER_OBJECT bus_ = nullptr;
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT pdo_ = nullptr;
};

TEST_F(Ks, PlugAndPlayLife) {
  PKSDEVICE device = AddOne();
  ASSERT_NE(device, nullptr);
  PDEVICE_OBJECT fdo = device->FunctionalDeviceObject;
  EXPECT_EQ(fdo->StackSize, pdo_->StackSize + 1);
  EXPECT_EQ(device->PhysicalDeviceObject, pdo_);
  EXPECT_EQ(device->NextDeviceObject, pdo_);
  EXPECT_EQ(pdo_->AttachedDevice, fdo);
  EXPECT_EQ(KsGetDeviceForDeviceObject(fdo), device);
  EXPECT_EQ(KsGetDeviceForDeviceObject(pdo_), nullptr);
  EXPECT_EQ(host::ks::StartDevice(device), STATUS_SUCCESS);
  EXPECT_TRUE(device->Started);
  EXPECT_EQ(host::ks::StartDevice(device), STATUS_SUCCESS);  // a repeated start sees Started still set
  host::ks::StopDevice(device);
  EXPECT_FALSE(device->Started);
  startStatus = STATUS_UNSUCCESSFUL;
  EXPECT_EQ(host::ks::StartDevice(device), STATUS_UNSUCCESSFUL);
  EXPECT_FALSE(device->Started);
  host::ks::SurpriseRemoveDevice(device);
  host::ks::RemoveDevice(device);

  EXPECT_EQ(events, (Events{"add", "start", "post-start", "start while started", "post-start", "stop", "start",
                             "surprise", "remove"}));
  EXPECT_EQ(pdo_->AttachedDevice, nullptr);
}

TEST_F(Ks, FailedAddLeavesNothingBehind) {
  addPutsItemInBag = true;
  addStatus = STATUS_INSUFFICIENT_RESOURCES;
  PKSDEVICE device = reinterpret_cast<PKSDEVICE>(1);
  EXPECT_EQ(host::ks::AddDevice(driver_, pdo_, &device), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(device, nullptr);
  EXPECT_EQ(events, (Events{"add", "free context"}));
  EXPECT_EQ(pdo_->AttachedDevice, nullptr);

  // Every allocation AddDevice makes can fail, each without a trace.
  addStatus = STATUS_SUCCESS;
  for (uint64_t n = 1;; ++n) {
    host::pool::FailNth(n);
    const NTSTATUS status = host::ks::AddDevice(driver_, pdo_, &device);
    host::pool::ClearFaults();
    if (NT_SUCCESS(status)) {
      EXPECT_GE(n, 4u);  // the device, the driver's item and its bag entry came first
      host::ks::RemoveDevice(device);
      break;
    }
    EXPECT_EQ(device, nullptr) << n;
    EXPECT_EQ(pdo_->AttachedDevice, nullptr) << n;
    EXPECT_EQ(host::pool::Outstanding(), 0u) << "failing allocation " << n << "\n" << host::pool::LeakReport();
  }
}

TEST_F(Ks, ObjectBagsFreeNewestFirstAndCountReferences) {
  PKSDEVICE device = AddOne();
  for (const char* name : {"a", "b"})
    ASSERT_EQ(KsAddItemToObjectBag(device->Bag, NamedItem(name), FreeRecorded), STATUS_SUCCESS);
  ASSERT_EQ(KsAddItemToObjectBag(device->Bag, ExAllocatePoolWithTag(PagedPool, 16, MakeTag("Plai")), nullptr),
            STATUS_SUCCESS);  // freed with ExFreePool
  PVOID c = NamedItem("c");
  for (int i = 0; i < 2; i++) ASSERT_EQ(KsAddItemToObjectBag(device->Bag, c, FreeRecorded), STATUS_SUCCESS);
  EXPECT_EQ(host::ks::BagItems(device->Bag), 4u);  // c is in it once

  // A second device's bag shares "shared": it is freed only when its last bag lets go.
  PDEVICE_OBJECT pdo2 = host::io::CreateDevice(bus_, 0, 3, "USB\\VID_0FBC&PID_8117\\8");
  PKSDEVICE other = nullptr;
  ASSERT_EQ(host::ks::AddDevice(driver_, pdo2, &other), STATUS_SUCCESS);
  PVOID shared = NamedItem("shared");
  ASSERT_EQ(KsAddItemToObjectBag(device->Bag, shared, FreeRecorded), STATUS_SUCCESS);
  ASSERT_EQ(KsAddItemToObjectBag(other->Bag, shared, FreeRecorded), STATUS_SUCCESS);
  EXPECT_EQ(KsRemoveItemFromObjectBag(other->Bag, shared, TRUE), 2u);  // still in the first bag: not freed
  EXPECT_EQ(KsRemoveItemFromObjectBag(other->Bag, shared, TRUE), 0u);  // no longer there
  ASSERT_EQ(KsAddItemToObjectBag(other->Bag, shared, FreeRecorded), STATUS_SUCCESS);
  host::ks::RemoveDevice(other);  // drops its reference only
  host::io::DeleteDevice(pdo2);
  EXPECT_EQ(events, (Events{"add", "add", "remove"}));

  events.clear();
  EXPECT_EQ(KsRemoveItemFromObjectBag(device->Bag, &events, FALSE), 0u);  // never added
  host::ks::RemoveDevice(device);
  EXPECT_EQ(events, (Events{"remove", "free shared", "free c", "free b", "free a"}));
}

TEST_F(Ks, EditCopiesZeroesAndOwns) {
  PKSDEVICE device = AddOne();
  static const char kTemplate[8] = {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H'};
  struct Case {
    const char* name;
    char start;  // the old object: 's'tatic, 'n'ull, or an earlier copy in the 'b'ag
    ULONG newSize, oldSize;
    ULONG failTag;  // 0: no fault
    NTSTATUS status;
    std::string contents;  // of the object afterwards ('.' = zero)
    bool moved;
  };
  const Case cases[] = {
      {"static, grow", 's', 12, 8, 0, STATUS_SUCCESS, "ABCDEFGH....", true},
      {"static, shrink", 's', 4, 8, 0, STATUS_SUCCESS, "ABCD", true},
      {"null old", 'n', 6, 8, 0, STATUS_SUCCESS, "......", true},
      {"in bag, grow", 'b', 10, 8, 0, STATUS_SUCCESS, "ABCDEFGH..", true},
      {"in bag, same size", 'b', 8, 8, 0, STATUS_SUCCESS, "ABCDEFGH", false},
      {"copy fails", 's', 12, 8, kTagEdit, STATUS_INSUFFICIENT_RESOURCES, "ABCDEFGH", false},
      {"bag entry fails", 's', 12, 8, MakeTag("KSob"), STATUS_INSUFFICIENT_RESOURCES, "ABCDEFGH", false},
  };
  for (const Case& c : cases) {
    PVOID object = c.start == 'n' ? nullptr : const_cast<char*>(kTemplate);
    ASSERT_TRUE(c.start != 'b' || _KsEdit(device->Bag, &object, 8, 8, kTagEdit) == STATUS_SUCCESS) << c.name;
    const PVOID before = object;
    const size_t items = host::ks::BagItems(device->Bag);
    if (c.failTag != 0) host::pool::FailTag(c.failTag);
    EXPECT_EQ(_KsEdit(device->Bag, &object, c.newSize, c.oldSize, kTagEdit), c.status) << c.name;
    host::pool::ClearFaults();

    EXPECT_EQ(object != before, c.moved) << c.name;
    const char* bytes = static_cast<const char*>(object);
    std::string contents = bytes != nullptr ? std::string(bytes, c.contents.size()) : "";
    std::replace(contents.begin(), contents.end(), '\0', '.');
    EXPECT_EQ(contents, c.contents) << c.name;
    EXPECT_EQ(host::ks::BagItems(device->Bag), items + (c.moved && c.start != 'b' ? 1 : 0)) << c.name;
    // The bag owns exactly the live copies: a replaced copy was freed.
    EXPECT_EQ(host::pool::Outstanding(kTagEdit), host::ks::BagItems(device->Bag)) << c.name;
    if (object != kTemplate && object != nullptr) KsRemoveItemFromObjectBag(device->Bag, object, TRUE);
  }
  host::ks::RemoveDevice(device);
}

PDRIVER_UNLOAD savedUnload;
void WrappedUnload(PDRIVER_OBJECT driver) {
  events.push_back("driver unload");
  if (savedUnload != nullptr) savedUnload(driver);
}

TEST_F(Ks, InitializeDriverInstallsEntryPoints) {
  // The PnP manager adds devices through the driver extension.
  ASSERT_EQ(driver_->DriverExtension->AddDevice(driver_, pdo_), STATUS_SUCCESS);
  PKSDEVICE device = KsGetDeviceForDeviceObject(pdo_->AttachedDevice);
  ASSERT_NE(device, nullptr);

  savedUnload = driver_->DriverUnload;
  driver_->DriverUnload = WrappedUnload;
  {
    host::ViolationCapture capture;
    host::io::UnloadDriver(driver_);
    EXPECT_TRUE(capture.Saw("not removed"));
  }
  host::ks::RemoveDevice(device);
  host::io::UnloadDriver(driver_);
  EXPECT_EQ(host::ks::UnloadCalls(driver_), 2);
  EXPECT_EQ(events, (Events{"add", "driver unload", "remove", "driver unload"}));
}

}  // namespace
