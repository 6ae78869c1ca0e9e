// AVStream filter and pin side, driven as a capture application drives it,
// against a small fake minidriver: the pin property set, intersection, pin
// creation, the state walk, Process dispatch, the frame queue and its stream
// pointer, the reference clock, and property and method requests through the
// automation table. Factories across stop and restart, and surprise removal,
// are covered by the driver's end-to-end suites.
#include <host/api/ks.h>

#include "kernel_fixtures.h"

namespace {

using host::ks::Handle;
using host::ks::IoResult;
using Events = std::vector<std::string>;

// ---------------------------------------------------------------------------
// The fake minidriver. Every callback records itself; knobs change answers.
Events events;
struct Knobs {
  NTSTATUS setFormat = STATUS_SUCCESS;
  NTSTATUS pinCreate = STATUS_SUCCESS;
  int failStateTo = -1;  // SetDeviceState into this state fails
  NTSTATUS process = STATUS_PENDING;
  int ejectPerProcess = 0;  // frames Process fills and ejects
  bool takeClock = false;   // acquire takes the reference clock, stop releases it
  bool acquireDeviceInState = false;
  int processSleepMs = 0;  // Process waits this long (as a vendor request would)
} knobs;
PIKSREFERENCECLOCK heldClock;
LONGLONG clockSeen;
ULONG propertyValue = 7;

// A camera-like source on pin 0: a periodic timer DPC fills the leading-edge
// frame at DISPATCH_LEVEL; with no frame it counts a drop and asks for
// processing again. Process (PASSIVE_LEVEL) starts it.
struct Source {
  KTIMER timer;
  KDPC dpc;
  PKSPIN pin = nullptr;
  bool running = false;
  uint32_t frames = 0, drops = 0;
} source;

void SourceDpc(PKDPC, PVOID, PVOID, PVOID) {
  PKSSTREAM_POINTER sp = KsPinGetLeadingEdgeStreamPointer(source.pin, KSSTREAM_POINTER_STATE_LOCKED);
  if (sp == nullptr) {
    source.drops++;
    KsPinAttemptProcessing(source.pin, TRUE);
    return;
  }
  memset(sp->OffsetOut.Data, uint8_t(source.frames), sp->OffsetOut.Remaining);
  sp->StreamHeader->DataUsed = sp->OffsetOut.Count;
  sp->StreamHeader->PresentationTime.Time = int64_t(source.frames++);
  KsStreamPointerUnlock(sp, TRUE);
}


std::string Str(const char* what, long a = -1, long b = -1) {
  std::string s = what;
  if (a >= 0) s += " " + std::to_string(a);
  if (b >= 0) s += " " + std::to_string(b);
  return s;
}

NTSTATUS FilterCreate(PKSFILTER filter, PIRP irp) {
  events.push_back("filter create");
  return KsGetFilterFromIrp(irp) == filter ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}
NTSTATUS FilterClose(PKSFILTER, PIRP) { return events.push_back("filter close"), STATUS_SUCCESS; }

NTSTATUS PinCreate(PKSPIN pin, PIRP irp) {
  events.push_back(Str("pin create", pin->Id));
  EXPECT_EQ(KsGetPinFromIrp(irp), pin);
  EXPECT_EQ(KsPinGetParentFilter(pin), KsGetFilterFromIrp(irp));
  // Pin memory lives in the pin's bag: every test ends with no pool left.
  PVOID context = ExAllocatePoolWithTag(NonPagedPoolNx, 32, host::pool::MakeTag("KCNw"));
  if (context == nullptr || !NT_SUCCESS(KsAddItemToObjectBag(pin->Bag, context, nullptr))) {
    if (context != nullptr) ExFreePool(context);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  pin->Context = context;
  return knobs.pinCreate;
}
NTSTATUS PinClose(PKSPIN pin, PIRP) { return events.push_back(Str("pin close", pin->Id)), STATUS_SUCCESS; }
NTSTATUS SetFormat(PKSPIN pin, PKSDATAFORMAT old, PKSMULTIPLE_ITEM, const KSDATARANGE* range, const KSATTRIBUTE_LIST*) {
  events.push_back(old == nullptr ? "format" : "format change");
  return knobs.setFormat;
}
NTSTATUS SetDeviceState(PKSPIN pin, KSSTATE to, KSSTATE from) {
  events.push_back(Str("state", to, from));
  if (to == knobs.failStateTo) return STATUS_UNSUCCESSFUL;
  if (to == KSSTATE_ACQUIRE && from == KSSTATE_PAUSE && source.running) {
    KeCancelTimer(&source.timer);
    KeFlushQueuedDpcs();
    source.running = false;
  }
  if (knobs.acquireDeviceInState) {
    KsAcquireDevice(KsGetDevice(pin));
    KsReleaseDevice(KsGetDevice(pin));
  }
  if (knobs.takeClock && to == KSSTATE_ACQUIRE && from == KSSTATE_STOP) {
    EXPECT_EQ(KsPinGetReferenceClockInterface(pin, &heldClock), STATUS_SUCCESS);
  }
  if (knobs.takeClock && to == KSSTATE_STOP && heldClock != nullptr) {
    heldClock->Release();
    heldClock = nullptr;
  }
  return STATUS_SUCCESS;
}
NTSTATUS Process(PKSPIN pin) {
  if (knobs.ejectPerProcess < 0 && !source.running) {
    source.pin = pin;
    source.running = true;
    KeInitializeDpc(&source.dpc, SourceDpc, nullptr);
    KeInitializeTimerEx(&source.timer, NotificationTimer);
    LARGE_INTEGER due;
    due.QuadPart = -333333;
    KeSetTimerEx(&source.timer, due, 33, &source.dpc);
  }
  events.push_back(Str("process", pin->Id));
  for (int i = 0; i < knobs.ejectPerProcess; i++) {
    PKSSTREAM_POINTER sp = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
    if (sp == nullptr) break;
    sp->StreamHeader->DataUsed = sp->OffsetOut.Remaining;
    if (heldClock != nullptr) sp->StreamHeader->PresentationTime.Time = heldClock->GetCorrelatedTime(&clockSeen);
    KsStreamPointerUnlock(sp, TRUE);
  }
  if (knobs.processSleepMs != 0) {
    kt::Sleep(knobs.processSleepMs);
    events.push_back("process end");
  }
  return knobs.process;
}

NTSTATUS Intersect(PVOID, PIRP, PKSP_PIN, PKSDATARANGE range, PKSDATARANGE mine, ULONG size, PVOID data,
                   PULONG written) {
  events.push_back("intersect");
  *written = sizeof(KSDATAFORMAT);
  if (size == 0) return STATUS_BUFFER_OVERFLOW;
  if (size < sizeof(KSDATAFORMAT)) return STATUS_BUFFER_TOO_SMALL;
  memcpy(data, mine, sizeof(KSDATAFORMAT));
  return STATUS_SUCCESS;
}

NTSTATUS GetValue(PIRP irp, PKSIDENTIFIER, PVOID data) {
  events.push_back("get");
  memcpy(data, &propertyValue, sizeof propertyValue);
  irp->IoStatus.Information = sizeof propertyValue;
  return STATUS_SUCCESS;
}
NTSTATUS SetValue(PIRP, PKSIDENTIFIER, PVOID data) {
  events.push_back("set");
  memcpy(&propertyValue, data, sizeof propertyValue);
  return STATUS_SUCCESS;
}
// Claims data it never wrote.
NTSTATUS Lazy(PIRP irp, PKSIDENTIFIER, PVOID) {
  irp->IoStatus.Information = sizeof(ULONG);
  return STATUS_SUCCESS;
}
// Doubles each byte of its data in place (a method that reads and writes).
NTSTATUS Twice(PIRP irp, PKSIDENTIFIER, PVOID data) {
  events.push_back("method");
  const ULONG n = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
  for (ULONG i = 0; i < n; i++) static_cast<uint8_t*>(data)[i] *= 2;
  irp->IoStatus.Information = n;
  return STATUS_SUCCESS;
}

const GUID kSet = {0x926DDB17, 0x3C8E, 0x476C, {0x90, 0x68, 0xEB, 0x45, 0x55, 0xA9, 0x92, 0x31}};
const GUID kSubtype = {0x59565955, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};

DEFINE_KSPROPERTY_TABLE(kItems){
    DEFINE_KSPROPERTY_ITEM(1, GetValue, sizeof(KSPROPERTY), sizeof(ULONG), SetValue, nullptr, 0, nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(2, GetValue, sizeof(KSPROPERTY) + 8, sizeof(ULONG), nullptr, nullptr, 0, nullptr, nullptr,
                           0),
    DEFINE_KSPROPERTY_ITEM(3, Lazy, sizeof(KSPROPERTY), sizeof(ULONG), nullptr, nullptr, 0, nullptr, nullptr, 0),
};
DEFINE_KSPROPERTY_SET_TABLE(kSets){DEFINE_KSPROPERTY_SET(&kSet, SIZEOF_ARRAY(kItems), kItems, 0, nullptr)};
DEFINE_KSMETHOD_TABLE(kMethodItems){DEFINE_KSMETHOD_ITEM(60, KSMETHOD_TYPE_MODIFY, Twice, sizeof(KSMETHOD), 2, nullptr)};
DEFINE_KSMETHOD_SET_TABLE(kMethodSets){DEFINE_KSMETHOD_SET(&kSet, SIZEOF_ARRAY(kMethodItems), kMethodItems, 0, nullptr)};
DEFINE_KSAUTOMATION_TABLE(kAutomation){DEFINE_KSAUTOMATION_PROPERTIES(kSets), DEFINE_KSAUTOMATION_METHODS(kMethodSets),
                                       DEFINE_KSAUTOMATION_EVENTS_NULL};

const KSDATARANGE kRange = {{sizeof(KSDATARANGE), 0, 4096, 0, STATICGUIDOF(KSDATAFORMAT_TYPE_VIDEO), kSubtype,
                             STATICGUIDOF(KSDATAFORMAT_SPECIFIER_NONE)}};
const PKSDATARANGE kRanges[] = {const_cast<PKSDATARANGE>(&kRange), const_cast<PKSDATARANGE>(&kRange)};
const KSALLOCATOR_FRAMING_EX kFraming = {
    1, 0, {1, 1, 0}, 0, {{STATICGUIDOF(KSMEMORY_TYPE_KERNEL_NONPAGED), STATIC_KS_TYPE_DONT_CARE, 0, 0, 0, 3, 0, 0,
                          {4096, 4096, 0}, {{4096, 4096, 0}, 0, 0}}}};
const KSPIN_DISPATCH kPinDispatch = {PinCreate, PinClose, Process, nullptr, SetFormat, SetDeviceState,
                                     nullptr,   nullptr,  nullptr, nullptr};
const KSPIN_DESCRIPTOR_EX kPins[] = {
    {&kPinDispatch, nullptr,
     {DEFINE_KSPIN_DEFAULT_INTERFACES, DEFINE_KSPIN_DEFAULT_MEDIUMS, 2, kRanges, KSPIN_DATAFLOW_OUT,
      KSPIN_COMMUNICATION_BOTH, &PINNAME_VIDEO_CAPTURE, &PINNAME_VIDEO_CAPTURE, {0}},
     KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY, 1, 1, &kFraming, Intersect},
    {&kPinDispatch, nullptr,
     {DEFINE_KSPIN_DEFAULT_INTERFACES, DEFINE_KSPIN_DEFAULT_MEDIUMS, 1, kRanges, KSPIN_DATAFLOW_OUT,
      KSPIN_COMMUNICATION_BOTH, &PINNAME_VIDEO_STILL, &PINNAME_VIDEO_STILL, {0}},
     0, 2, 0, nullptr, Intersect},
};
const GUID kCategories[] = {STATICGUIDOF(KSCATEGORY_VIDEO), STATICGUIDOF(KSCATEGORY_CAPTURE)};
const KSFILTER_DISPATCH kFilterDispatch = {FilterCreate, FilterClose, nullptr, nullptr};
DEFINE_KSFILTER_DESCRIPTOR(kFilter){&kFilterDispatch,
                                    &kAutomation,
                                    KSFILTER_DESCRIPTOR_VERSION,
                                    0,
                                    &KSNAME_Filter,
                                    DEFINE_KSFILTER_PIN_DESCRIPTORS(kPins),
                                    DEFINE_KSFILTER_CATEGORIES(kCategories),
                                    DEFINE_KSFILTER_NODE_DESCRIPTORS_NULL,
                                    DEFINE_KSFILTER_DEFAULT_CONNECTIONS,
                                    nullptr};

WCHAR kReference[] = u"GLOBAL";
NTSTATUS Start(PKSDEVICE device, PIRP, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST) {
  events.push_back("start");
  return KsCreateFilterFactory(device->FunctionalDeviceObject, &kFilter, kReference, nullptr,
                               KSCREATE_ITEM_FREEONSTOP, nullptr, nullptr, nullptr);
}
const KSDEVICE_DISPATCH kDeviceDispatch = {nullptr, Start,   nullptr, nullptr, nullptr, nullptr, nullptr,
                                           nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
const KSDEVICE_DESCRIPTOR kDevice = {&kDeviceDispatch, 0, nullptr, KSDEVICE_DESCRIPTOR_VERSION, 0};
NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING path) { return KsInitializeDriver(driver, path, &kDevice); }

class NoDevice : public host::usb::DeviceModel {
  host::usb::ControlReply Control(const host::usb::Setup&, uint8_t*) override { return {}; }
  host::usb::IsoPacket IsochIn(uint8_t, uint64_t, uint8_t*, uint32_t) override { return {}; }
  host::usb::BulkReply BulkIn(uint8_t, uint8_t*, uint32_t) override { return {}; }
};

std::vector<uint8_t> Format(const GUID& subtype = kSubtype) {
  KSDATAFORMAT f = kRange;
  f.SubFormat = subtype;
  std::vector<uint8_t> bytes(sizeof f);
  memcpy(bytes.data(), &f, sizeof f);
  return bytes;
}

class KsClient : public ::testing::Test {
 protected:
  void SetUp() override {
    events.clear();
    knobs = Knobs{};
    heldClock = nullptr;
    propertyValue = 7;
    source = Source{};
    driver_ = std::make_unique<host::ks::Driver>(Entry);
    camera_ = std::make_unique<host::ks::Camera>(*driver_, std::make_shared<NoDevice>());
    ASSERT_EQ(camera_->Start(), STATUS_SUCCESS);
    ASSERT_EQ(camera_->OpenFilter(&filter_), STATUS_SUCCESS);
    events.clear();
  }
  void TearDown() override {
    camera_.reset();
    driver_.reset();
  }
  Handle Pin(ULONG id) {
    Handle pin = nullptr;
    EXPECT_EQ(camera_->CreatePin(filter_, id, Format(), &pin), STATUS_SUCCESS);
    return pin;
  }
  IoResult Property(Handle h, const std::vector<uint8_t>& request, void* out, ULONG outLength) {
    return host::ks::DeviceIoControl(h, IOCTL_KS_PROPERTY, request.data(), ULONG(request.size()), out, outLength);
  }

  std::unique_ptr<host::ks::Driver> driver_;
  std::unique_ptr<host::ks::Camera> camera_;
  Handle filter_ = nullptr;
};

std::vector<uint8_t> Request(const GUID& set, ULONG id, ULONG flags, std::vector<uint8_t> tail = {}) {
  KSPROPERTY p{};
  p.Set = set;
  p.Id = id;
  p.Flags = flags;
  std::vector<uint8_t> bytes(sizeof p);
  memcpy(bytes.data(), &p, sizeof p);
  bytes.insert(bytes.end(), tail.begin(), tail.end());
  return bytes;
}
std::vector<uint8_t> PinIdBytes(ULONG id) {
  std::vector<uint8_t> b(8, 0);
  memcpy(b.data(), &id, 4);
  return b;
}

// ---------------------------------------------------------------------------

TEST_F(KsClient, PinSetAnswersAndRefusesMalformedRequestsUntouched) {
  EXPECT_EQ(host::ks::PinTypes(filter_), 2u);
  Handle pin = Pin(0);
  EXPECT_EQ(host::ks::PinInstances(filter_, 0).CurrentCount, 1u);
  EXPECT_EQ(host::ks::PinInstances(filter_, 1).PossibleCount, 2u);
  EXPECT_EQ(host::ks::DataRanges(filter_, 0).size(), 2u);
  GUID category{};
  EXPECT_EQ(host::ks::GetProperty(filter_, KSPROPSETID_Pin, KSPROPERTY_PIN_CATEGORY, &category, sizeof category,
                                  &PinIdBytes(1)[0], 8)
                .status,
            STATUS_SUCCESS);
  EXPECT_EQ(category, PINNAME_VIDEO_STILL);
  KSALLOCATOR_FRAMING_EX framing{};
  IoResult r = host::ks::GetProperty(pin, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_ALLOCATORFRAMING_EX, nullptr, 0);
  EXPECT_EQ(r.status, STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(r.information, sizeof framing);
  EXPECT_EQ(host::ks::GetProperty(pin, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_ALLOCATORFRAMING_EX, &framing,
                                  sizeof framing)
                .status,
            STATUS_SUCCESS);
  EXPECT_EQ(framing.FramingItem[0].Frames, 3u);

  struct Case {
    const char* name;
    std::vector<uint8_t> request;
    ULONG outLength;
    NTSTATUS status;
    ULONG_PTR information;
  };
  const GUID unknown = {1, 2, 3, {4}};
  const Case cases[] = {
      {"request shorter than KSPROPERTY", std::vector<uint8_t>(16), 4, STATUS_INVALID_BUFFER_SIZE, 0},
      {"unknown set", Request(unknown, 0, KSPROPERTY_TYPE_GET), 4, STATUS_PROPSET_NOT_FOUND, 0},
      {"unknown id", Request(KSPROPSETID_Pin, 99, KSPROPERTY_TYPE_GET, PinIdBytes(0)), 4, STATUS_NOT_FOUND, 0},
      {"pin request without its pin id", Request(KSPROPSETID_Pin, KSPROPERTY_PIN_DATAFLOW, KSPROPERTY_TYPE_GET), 4,
       STATUS_INVALID_BUFFER_SIZE, 0},
      {"pin id out of range", Request(KSPROPSETID_Pin, KSPROPERTY_PIN_DATAFLOW, KSPROPERTY_TYPE_GET, PinIdBytes(2)), 4,
       STATUS_INVALID_PARAMETER, 0},
      {"no room for the answer: size", Request(KSPROPSETID_Pin, KSPROPERTY_PIN_CINSTANCES, KSPROPERTY_TYPE_GET,
                                               PinIdBytes(0)),
       0, STATUS_BUFFER_OVERFLOW, 8},
      {"too little room", Request(KSPROPSETID_Pin, KSPROPERTY_PIN_CINSTANCES, KSPROPERTY_TYPE_GET, PinIdBytes(0)), 4,
       STATUS_BUFFER_TOO_SMALL, 0},
      {"set of a read-only item", Request(KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, KSPROPERTY_TYPE_SET), 4,
       STATUS_NOT_FOUND, 0},
      {"range list: size only", Request(KSPROPSETID_Pin, KSPROPERTY_PIN_DATARANGES, KSPROPERTY_TYPE_GET,
                                        PinIdBytes(0)),
       0, STATUS_BUFFER_OVERFLOW, 8 + 2 * 64},
      {"range list: size as a ULONG", Request(KSPROPSETID_Pin, KSPROPERTY_PIN_DATARANGES, KSPROPERTY_TYPE_GET,
                                              PinIdBytes(0)),
       4, STATUS_SUCCESS, 4},
      {"range list: short", Request(KSPROPSETID_Pin, KSPROPERTY_PIN_DATARANGES, KSPROPERTY_TYPE_GET, PinIdBytes(0)),
       100, STATUS_BUFFER_TOO_SMALL, 0},
      {"get and set at once", Request(kSet, 1, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET), 4,
       STATUS_INVALID_PARAMETER, 0},
      {"driver item, request below MinProperty", Request(kSet, 2, KSPROPERTY_TYPE_GET), 4, STATUS_INVALID_BUFFER_SIZE,
       0},
  };
  for (const Case& c : cases) {
    events.clear();
    std::vector<uint8_t> out(c.outLength + 1, 0xCC);
    IoResult r = Property(filter_, c.request, c.outLength ? out.data() : nullptr, c.outLength);
    EXPECT_EQ(r.status, c.status) << c.name;
    EXPECT_EQ(r.information, c.information) << c.name;
    EXPECT_TRUE(events.empty()) << c.name;
    if (NT_ERROR(c.status)) {
      EXPECT_EQ(out, std::vector<uint8_t>(c.outLength + 1, 0xCC)) << c.name;
    }
  }
}

TEST_F(KsClient, IntersectionAsksTheHandlerForItsSizeThenTheFormat) {
  std::vector<uint8_t> range = host::ks::DataRanges(filter_, 0).at(0), format;
  events.clear();
  ASSERT_EQ(host::ks::Intersect(filter_, 0, range, &format), STATUS_SUCCESS);
  EXPECT_EQ(format.size(), sizeof(KSDATAFORMAT));
  EXPECT_EQ(events, (Events{"intersect", "intersect"}));

  // A caller range no pin range takes, and a multiple-item header claiming
  // more than was sent.
  KSDATARANGE other = kRange;
  other.SubFormat = GUID{9, 9, 9, {9}};
  std::vector<uint8_t> bytes(sizeof other);
  memcpy(bytes.data(), &other, sizeof other);
  events.clear();
  EXPECT_EQ(host::ks::Intersect(filter_, 0, bytes, &format), STATUS_NO_MATCH);
  auto request = Request(KSPROPSETID_Pin, KSPROPERTY_PIN_DATAINTERSECTION, KSPROPERTY_TYPE_GET, PinIdBytes(0));
  KSMULTIPLE_ITEM lie{sizeof(KSMULTIPLE_ITEM) + 200, 1};
  request.insert(request.end(), reinterpret_cast<uint8_t*>(&lie), reinterpret_cast<uint8_t*>(&lie + 1));
  request.insert(request.end(), range.begin(), range.end());
  EXPECT_EQ(Property(filter_, request, nullptr, 0).status, STATUS_INVALID_BUFFER_SIZE);
  EXPECT_TRUE(events.empty());
}

TEST_F(KsClient, PinCreationChecksTheConnectionBeforeTheDriverSeesIt) {
  struct Case {
    const char* name;
    std::function<void(std::vector<uint8_t>&)> spoil;
    NTSTATUS status;
  };
  const Case cases[] = {
      {"format cut short", [](auto& b) { b.resize(b.size() - 1); }, STATUS_INVALID_BUFFER_SIZE},
      {"pin id out of range", [](auto& b) { reinterpret_cast<KSPIN_CONNECT*>(b.data())->PinId = 5; },
       STATUS_INVALID_PARAMETER},
      {"another medium", [](auto& b) { reinterpret_cast<KSPIN_CONNECT*>(b.data())->Medium.Id = 3; }, STATUS_NO_MATCH},
      {"format of no range",
       [](auto& b) { reinterpret_cast<KSDATAFORMAT*>(b.data() + sizeof(KSPIN_CONNECT))->SubFormat.Data1 = 1; },
       STATUS_NO_MATCH},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> connect(sizeof(KSPIN_CONNECT));
    KSPIN_CONNECT k{};
    k.Interface.Set = KSINTERFACESETID_Standard;
    k.Medium.Set = KSMEDIUMSETID_Standard;
    memcpy(connect.data(), &k, sizeof k);
    auto f = Format();
    connect.insert(connect.end(), f.begin(), f.end());
    c.spoil(connect);
    events.clear();
    Handle pin;
    EXPECT_EQ(host::ks::CreatePin(filter_, connect.data(), ULONG(connect.size()), &pin), c.status) << c.name;
    EXPECT_TRUE(events.empty()) << c.name;
  }

  // The driver's format check comes first and can refuse; so can Create.
  events.clear();
  Handle pin;
  knobs.setFormat = STATUS_NO_MATCH;
  EXPECT_EQ(camera_->CreatePin(filter_, 0, Format(), &pin), STATUS_NO_MATCH);
  knobs.setFormat = STATUS_SUCCESS;
  knobs.pinCreate = STATUS_INSUFFICIENT_RESOURCES;
  EXPECT_EQ(camera_->CreatePin(filter_, 0, Format(), &pin), STATUS_INSUFFICIENT_RESOURCES);
  knobs.pinCreate = STATUS_SUCCESS;
  pin = Pin(0);
  Handle second;
  EXPECT_EQ(camera_->CreatePin(filter_, 0, Format(), &second), STATUS_DEVICE_BUSY);  // one instance possible
  // STATUS_NO_MATCH offers the format with the pin's next matching range.
  EXPECT_EQ(events, (Events{"format", "format", "format", "pin create 0", "format", "pin create 0"}));

  // A format change passes the old format; a refused one leaves the old in place.
  events.clear();
  auto f = Format();
  EXPECT_EQ(host::ks::SetProperty(pin, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT, f.data(),
                                  ULONG(f.size()))
                .status,
            STATUS_SUCCESS);
  knobs.setFormat = STATUS_INVALID_PARAMETER;
  f[4] = 1;  // Flags
  EXPECT_EQ(host::ks::SetProperty(pin, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT, f.data(),
                                  ULONG(f.size()))
                .status,
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(host::ks::PinObject(pin)->ConnectionFormat->Flags, 0u);
  EXPECT_EQ(events, (Events{"format change", "format change"}));
}

TEST_F(KsClient, StatesAreWalkedOneStepAtATimeAndClosingStepsDownToStop) {
  Handle pin = Pin(1);
  events.clear();
  EXPECT_EQ(host::ks::SetState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(host::ks::SetState(pin, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  knobs.failStateTo = KSSTATE_PAUSE;
  EXPECT_EQ(host::ks::SetState(pin, KSSTATE_RUN), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(host::ks::GetState(pin), KSSTATE_ACQUIRE);  // the walk stops where the driver refused
  knobs.failStateTo = -1;
  EXPECT_EQ(host::ks::SetState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  camera_->CloseHandle(pin);
  EXPECT_EQ(events, (Events{"state 1 0", "state 2 1", "state 3 2", "state 2 3", "state 1 2", "state 2 1", "state 2 1",
                             "state 3 2", "state 2 3", "state 1 2", "state 0 1", "pin close 1"}));
}

TEST_F(KsClient, ProcessRunsOnArrivalInRunAndNotAgainWhilePendingUntilAsked) {
  Handle pin = Pin(0);  // processes in run only
  host::ks::Stream stream(pin, 64, false);
  EXPECT_EQ(stream.Queue(1), STATUS_INVALID_DEVICE_STATE);  // no reads on a stopped pin
  ASSERT_EQ(host::ks::SetState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
  events.clear();
  EXPECT_EQ(stream.Queue(2), STATUS_PENDING);
  EXPECT_EQ(host::ks::ProcessCalls(pin), 0u);  // paused
  ASSERT_EQ(host::ks::SetState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(host::ks::ProcessCalls(pin), 1u);
  EXPECT_EQ(stream.Queue(1), STATUS_PENDING);  // the queue was not empty
  EXPECT_EQ(host::ks::ProcessCalls(pin), 1u);
  kt::AtIrql(DISPATCH_LEVEL, [&] { KsPinAttemptProcessing(host::ks::PinObject(pin), TRUE); });
  EXPECT_EQ(host::ks::ProcessCalls(pin), 1u);  // asynchronous: later, at PASSIVE_LEVEL
  host::sched::RunUntilIdle();
  EXPECT_EQ(host::ks::ProcessCalls(pin), 2u);
  ASSERT_EQ(host::ks::SetState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
  ASSERT_EQ(host::ks::SetState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(host::ks::ProcessCalls(pin), 3u);  // run again: processing restarts

  // Process that consumes what it is given is called while frames remain.
  knobs.ejectPerProcess = 1;
  knobs.process = STATUS_SUCCESS;
  KsPinAttemptProcessing(host::ks::PinObject(pin), FALSE);
  EXPECT_EQ(host::ks::QueuedReads(pin), 0u);
  EXPECT_EQ(stream.Take().size(), 3u);
}

TEST_F(KsClient, ClosingWaitsForAProcessUnderWayOnAWorker) {
  Handle pin = Pin(1);
  ASSERT_EQ(host::ks::SetState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
  host::ks::Stream stream(pin, 64, false);
  ASSERT_EQ(stream.Queue(1), STATUS_PENDING);
  knobs.processSleepMs = 10;
  events.clear();
  kt::AtIrql(DISPATCH_LEVEL, [&] { KsPinAttemptProcessing(host::ks::PinObject(pin), TRUE); });
  kt::Sleep(1);  // the worker is inside Process now
  camera_->CloseHandle(pin);
  EXPECT_EQ(events, (Events{"process 1", "state 1 2", "state 0 1", "process end", "pin close 1"}));
  stream.Take();
}

TEST_F(KsClient, FramesCompleteInOrderThroughTheLeadingEdge) {
  Handle pin = Pin(1);
  ASSERT_EQ(host::ks::SetState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
  host::ks::Stream stream(pin, 100, true);
  PKSPIN ks = host::ks::PinObject(pin);
  EXPECT_EQ(KsPinGetLeadingEdgeStreamPointer(ks, KSSTREAM_POINTER_STATE_LOCKED), nullptr);  // no frame
  ASSERT_EQ(stream.Queue(3), STATUS_PENDING);
  kt::AtIrql(DISPATCH_LEVEL, [&] {
    PKSSTREAM_POINTER sp = KsPinGetLeadingEdgeStreamPointer(ks, KSSTREAM_POINTER_STATE_LOCKED);
    ASSERT_NE(sp, nullptr);
    EXPECT_EQ(sp->StreamHeader->Size, sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO));
    EXPECT_EQ(sp->OffsetOut.Remaining, 100u);
    EXPECT_EQ(KsStreamPointerAdvanceOffsets(sp, 0, 40, FALSE), STATUS_SUCCESS);
    KsStreamPointerUnlock(sp, FALSE);  // partly filled, stays at the leading edge
    sp = KsPinGetLeadingEdgeStreamPointer(ks, KSSTREAM_POINTER_STATE_LOCKED);
    EXPECT_EQ(sp->OffsetOut.Remaining, 60u);
    EXPECT_EQ(KsPinGetLeadingEdgeStreamPointer(ks, KSSTREAM_POINTER_STATE_LOCKED), sp);  // already locked: same one
    sp->StreamHeader->DataUsed = 100;
    KsStreamPointerUnlock(sp, TRUE);
    sp = KsPinGetLeadingEdgeStreamPointer(ks, KSSTREAM_POINTER_STATE_LOCKED);
    sp->StreamHeader->DataUsed = 7;
    KsStreamPointerUnlock(sp, TRUE);
  });
  auto done = stream.Take();
  ASSERT_EQ(done.size(), 2u);
  EXPECT_EQ(done[0]->header->DataUsed, 100u);
  EXPECT_EQ(done[1]->header->DataUsed, 7u);
  EXPECT_EQ(stream.Pending(), 1u);

  // Misuse the driver could commit, each caught.
  {
    host::ViolationCapture capture;
    kt::AtIrql(DISPATCH_LEVEL, [&] {
      PKSSTREAM_POINTER sp = KsPinGetLeadingEdgeStreamPointer(ks, KSSTREAM_POINTER_STATE_LOCKED);
      sp->StreamHeader->DataUsed = 101;
      KsStreamPointerUnlock(sp, TRUE);
      KsStreamPointerUnlock(sp, FALSE);
    });
    EXPECT_TRUE(capture.Saw("beyond its FrameExtent"));
    EXPECT_TRUE(capture.Saw("is not locked"));
  }
  stream.Take();

  // Stop flushes what is queued.
  ASSERT_EQ(stream.Queue(2), STATUS_PENDING);
  ASSERT_EQ(host::ks::SetState(pin, KSSTATE_STOP), STATUS_SUCCESS);
  done = stream.Take();
  ASSERT_EQ(done.size(), 2u);
  EXPECT_EQ(done[0]->status, STATUS_CANCELLED);
}

TEST_F(KsClient, DpcSourceFillsQueuedFramesInOrderAndRecoversAfterRunningDry) {
  Handle pin = Pin(0);
  knobs.ejectPerProcess = -1;  // Process starts the source
  host::ks::Stream stream(pin, 256, true);
  ASSERT_EQ(host::ks::SetState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  ASSERT_EQ(stream.Queue(2), STATUS_PENDING);  // the first arrival starts it
  std::vector<int64_t> seen;
  uint64_t callsWhenDry = 0;
  for (int i = 0; i < 10; i++) {
    if (i == 6) callsWhenDry = host::ks::ProcessCalls(pin);
    host::sched::RunFor(34 * host::sched::kMillisecond);
    for (auto& b : stream.Take()) {
      EXPECT_EQ(b->status, STATUS_SUCCESS);
      EXPECT_EQ(b->Data()[255], uint8_t(b->header->PresentationTime.Time));
      seen.push_back(b->header->PresentationTime.Time);
    }
    if (i < 5) stream.Queue(1);  // then the client stops queuing: the source runs dry
  }
  EXPECT_GE(source.drops, 3u);
  // The DPC's requests for processing find no frame: Process is not called.
  EXPECT_EQ(host::ks::ProcessCalls(pin), callsWhenDry);
  ASSERT_EQ(stream.Queue(2), STATUS_PENDING);
  host::sched::RunFor(70 * host::sched::kMillisecond);
  for (auto& b : stream.Take()) seen.push_back(b->header->PresentationTime.Time);
  ASSERT_EQ(seen.size(), 9u);
  for (size_t i = 0; i < seen.size(); i++) EXPECT_EQ(seen[i], int64_t(i));
  ASSERT_EQ(host::ks::SetState(pin, KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_FALSE(source.running);
}

TEST_F(KsClient, ReferenceClockFollowsVirtualTimeAndItsReferencesAreCounted) {
  Handle pin = Pin(0);
  Handle clock = host::ks::CreateClock();
  host::sched::RunFor(5 * host::sched::kMillisecond);
  ASSERT_EQ(host::ks::SetMasterClock(pin, clock), STATUS_SUCCESS);
  EXPECT_EQ(host::ks::Close(clock), STATUS_SUCCESS);  // the pin keeps it alive
  knobs.takeClock = true;
  knobs.ejectPerProcess = 1;
  host::ks::Stream stream(pin, 64, false);
  ASSERT_EQ(host::ks::SetState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(host::ks::SetMasterClock(pin, nullptr), STATUS_INVALID_DEVICE_STATE);  // only while stopped
  host::sched::RunFor(10 * host::sched::kMillisecond);
  ASSERT_EQ(stream.Queue(1), STATUS_PENDING);
  auto done = stream.Take();
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0]->header->PresentationTime.Time, 15 * host::sched::kMillisecond);
  EXPECT_EQ(clockSeen, host::sched::Now());
  ASSERT_EQ(host::ks::SetState(pin, KSSTATE_STOP), STATUS_SUCCESS);  // releases the clock

  // A driver that keeps its reference past the pin's life is caught.
  ASSERT_EQ(host::ks::SetState(pin, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  knobs.takeClock = false;
  host::ViolationCapture capture;
  camera_->CloseHandle(pin);
  EXPECT_TRUE(capture.Saw("reference clock not released"));
}

TEST_F(KsClient, DriverPropertiesAndMethodsGoThroughTheAutomationTable) {
  ULONG value = 0;
  IoResult r = host::ks::GetProperty(filter_, kSet, 1, &value, sizeof value);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.information, 4u);
  EXPECT_EQ(value, 7u);
  value = 42;
  EXPECT_EQ(host::ks::SetProperty(filter_, kSet, 1, &value, sizeof value).status, STATUS_SUCCESS);
  EXPECT_EQ(propertyValue, 42u);
  EXPECT_EQ(host::ks::GetProperty(filter_, kSet, 1, &value, 2).status, STATUS_BUFFER_TOO_SMALL);
  value = 0;
  EXPECT_EQ(host::ks::GetProperty(filter_, kSet, 3, &value, sizeof value).status, STATUS_SUCCESS);
  EXPECT_EQ(value, 0xCDCDCDCDu);  // a handler that does not fill its data returns stale bytes, not zeros

  KSPROPERTY_DESCRIPTION d{};
  r = Property(filter_, Request(kSet, 2, KSPROPERTY_TYPE_BASICSUPPORT), &d, sizeof d);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(d.AccessFlags, ULONG(KSPROPERTY_TYPE_BASICSUPPORT | KSPROPERTY_TYPE_GET));
  EXPECT_EQ(Property(filter_, Request(kSet, 9, KSPROPERTY_TYPE_SETSUPPORT), nullptr, 0).status, STATUS_SUCCESS);

  uint8_t bytes[3] = {1, 2, 3};
  r = host::ks::CallMethod(filter_, kSet, 60, nullptr, 0, bytes, sizeof bytes);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.information, 3u);
  EXPECT_EQ(bytes[2], 6);
  EXPECT_EQ(host::ks::CallMethod(filter_, kSet, 60, nullptr, 0, bytes, 1).status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(host::ks::CallMethod(filter_, kSet, 61, nullptr, 0, bytes, 3).status, STATUS_NOT_FOUND);
  EXPECT_EQ(events, (Events{"get", "set", "method"}));
}

TEST_F(KsClient, DeviceMutexInsideTheControlMutexIsCaught) {
  Handle pin = Pin(1);
  knobs.acquireDeviceInState = true;
  host::ViolationCapture capture;
  EXPECT_EQ(host::ks::SetState(pin, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  EXPECT_TRUE(capture.Saw("KsAcquireDevice while holding a filter's control mutex"));
  knobs.acquireDeviceInState = false;
}

}  // namespace
