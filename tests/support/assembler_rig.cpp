#include "assembler_rig.h"

#include <cstring>
#include <random>

#include <emu/bridge.h>
#include <emu/profiles.h>

#include "driver/stream/assembler.h"

namespace ovratest {
namespace {

// A minimal AVStream driver around the real frame router and pin objects: one
// filter with a capture pin (id 0) and a still pin (id 1) that take any
// format. Everything else of the driver stays out of the way.
class RigDevice final : public CCameraDevice {
 public:
  explicit RigDevice(PKSDEVICE device) : CCameraDevice(device) {}
  static void Free(PVOID object) {
    static_cast<RigDevice*>(object)->~RigDevice();
    ExFreePool(object);
  }
};

// The pin object without its destructor, which belongs to the driver's pin
// registration; the rig holds no references in it.
void FreePinObject(PVOID object) { ExFreePool(object); }

NTSTATUS PinCreate(PKSPIN pin, PIRP) {
  void* memory = AllocateZeroed(sizeof(CCapturePin));
  if (memory == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  auto* object = new (memory, Placement::At) CCapturePin(pin);
  NTSTATUS status = KsAddItemToObjectBag(pin->Bag, object, FreePinObject);
  if (!NT_SUCCESS(status)) {
    ExFreePool(memory);
    return status;
  }
  pin->Context = object;
  auto* copy = static_cast<PKS_VIDEOINFOHEADER>(AllocateZeroed(sizeof(KS_VIDEOINFOHEADER)));
  if (copy == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  status = KsAddItemToObjectBag(pin->Bag, copy, nullptr);
  if (!NT_SUCCESS(status)) {
    ExFreePool(copy);
    return status;
  }
  *copy = reinterpret_cast<PKS_DATAFORMAT_VIDEOINFOHEADER>(pin->ConnectionFormat)->VideoInfoHeader;
  object->FormatCopy = copy;
  object->KeptHeader = *copy;
  return STATUS_SUCCESS;
}

const KSPIN_DISPATCH kPinDispatch = {PinCreate, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                     nullptr, nullptr};
// Null GUIDs: any format.
KSDATARANGE MakeRange() {
  KSDATARANGE r = {};
  r.FormatSize = sizeof(KSDATARANGE);
  return r;
}
KSDATARANGE g_anyFormat = MakeRange();
const PKSDATARANGE kRanges[] = {&g_anyFormat};

KSPIN_DESCRIPTOR_EX MakePin() {
  KSPIN_DESCRIPTOR_EX d = {};
  d.Dispatch = &kPinDispatch;
  d.PinDescriptor.DataRangesCount = 1;
  d.PinDescriptor.DataRanges = kRanges;
  d.PinDescriptor.DataFlow = KSPIN_DATAFLOW_OUT;
  d.PinDescriptor.Communication = KSPIN_COMMUNICATION_BOTH;
  d.InstancesPossible = 1;
  return d;
}
const KSPIN_DESCRIPTOR_EX kPins[2] = {MakePin(), MakePin()};

KSFILTER_DESCRIPTOR MakeFilter() {
  KSFILTER_DESCRIPTOR d = {};
  d.Version = KSFILTER_DESCRIPTOR_VERSION;
  d.PinDescriptorsCount = 2;
  d.PinDescriptorSize = sizeof(KSPIN_DESCRIPTOR_EX);
  d.PinDescriptors = kPins;
  return d;
}
const KSFILTER_DESCRIPTOR kFilter = MakeFilter();

NTSTATUS DeviceAdd(PKSDEVICE device) {
  void* memory = AllocateZeroed(sizeof(RigDevice));
  if (memory == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  auto* object = new (memory, Placement::At) RigDevice(device);
  NTSTATUS status = KsAddItemToObjectBag(device->Bag, object, RigDevice::Free);
  if (!NT_SUCCESS(status)) {
    RigDevice::Free(object);
    return status;
  }
  device->Context = object;
  return STATUS_SUCCESS;
}

NTSTATUS DeviceStart(PKSDEVICE device, PIRP, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST) {
  static WCHAR reference[] = OVRA_WIDE("GLOBAL");
  return KsCreateFilterFactory(device->FunctionalDeviceObject, &kFilter, reference, nullptr,
                               KSCREATE_ITEM_FREEONSTOP, nullptr, nullptr, nullptr);
}

KSDEVICE_DISPATCH MakeDeviceDispatch() {
  KSDEVICE_DISPATCH d = {};
  d.Add = DeviceAdd;
  d.Start = DeviceStart;
  return d;
}
const KSDEVICE_DISPATCH kDeviceDispatch = MakeDeviceDispatch();
const KSDEVICE_DESCRIPTOR kDevice = {&kDeviceDispatch, 0, nullptr, KSDEVICE_DESCRIPTOR_VERSION, 0};

NTSTATUS RigEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  return KsInitializeDriver(driver, registryPath, &kDevice);
}

std::vector<uint8_t> FormatBytes(const RigOptions& o) {
  std::vector<uint8_t> bytes(sizeof(KS_DATAFORMAT_VIDEOINFOHEADER));
  auto* f = reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(bytes.data());
  f->DataFormat.FormatSize = ULONG(bytes.size());
  KS_VIDEOINFOHEADER& h = f->VideoInfoHeader;
  h.AvgTimePerFrame = 333667;
  h.bmiHeader.biSize = sizeof(KS_BITMAPINFOHEADER);
  h.bmiHeader.biWidth = o.width;
  h.bmiHeader.biHeight = o.height;
  h.bmiHeader.biPlanes = 1;
  h.bmiHeader.biBitCount = 16;
  h.bmiHeader.biCompression = 0x59565955;  // UYVY
  h.bmiHeader.biSizeImage = ULONG(o.width) * 2 * ULONG(o.height < 0 ? -o.height : o.height);
  return bytes;
}

}  // namespace

struct AssemblerRig::Impl {
  explicit Impl(const RigOptions& o)
      : options(o), driver(RigEntry), camera(driver, std::make_shared<emu::Bridge>(emu::Profiles().front())) {}
  RigOptions options;
  host::ks::Driver driver;
  host::ks::Camera camera;
  host::ks::Handle filter = nullptr;
  host::ks::Handle pins[2] = {};
  host::ks::Handle clock = nullptr;
  std::unique_ptr<host::ks::Stream> streams[2];
  ULONG extents[2] = {};
};

AssemblerRig::AssemblerRig(const RigOptions& options) : impl_(std::make_unique<Impl>(options)) {
  if (!NT_SUCCESS(impl_->camera.Start()) || !NT_SUCCESS(impl_->camera.OpenFilter(&impl_->filter))) return;
  device_ = static_cast<CCameraDevice*>(impl_->camera.Device()->Context);
  device_->ModelFlags = options.modelFlags;
  const std::vector<uint8_t> format = FormatBytes(options);
  imageBytes_ = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data())->VideoInfoHeader.bmiHeader.biSizeImage;
  if (options.clock) impl_->clock = host::ks::CreateClock();
  for (ULONG id = 0; id < (options.stillPin ? 2u : 1u); ++id) {
    host::ks::Handle& pin = impl_->pins[id];
    if (!NT_SUCCESS(impl_->camera.CreatePin(impl_->filter, id, format, &pin))) return;
    if (impl_->clock != nullptr) host::ks::SetMasterClock(pin, impl_->clock);
    host::ks::SetState(pin, KSSTATE_RUN);
    pins_[id] = static_cast<CCapturePin*>(host::ks::PinObject(pin)->Context);
    pins_[id]->ActiveInterleave = pins_[id]->PendingInterleave = options.interleave;
    if (impl_->clock != nullptr && !NT_SUCCESS(KsPinGetReferenceClockInterface(pins_[id]->Pin, &pins_[id]->ReferenceClock)))
      pins_[id]->ReferenceClock = nullptr;
    impl_->streams[id] = std::make_unique<host::ks::Stream>(pin, imageBytes_, options.frameInfo);
    impl_->extents[id] = imageBytes_;
    device_->Pins[id] = pins_[id];
  }
  Restart();
}

AssemblerRig::~AssemblerRig() {
  for (ULONG id = 0; id < 2; ++id) {
    if (impl_->streams[id] != nullptr) Drain(id);
    impl_->streams[id].reset();
    if (pins_[id] != nullptr && pins_[id]->ReferenceClock != nullptr) pins_[id]->ReferenceClock->Release();
    if (device_ != nullptr) device_->Pins[id] = nullptr;
  }
  if (device_ != nullptr) device_->RouteTarget = nullptr;
  if (impl_->clock != nullptr) host::ks::Close(impl_->clock);
}

NTSTATUS AssemblerRig::Queue(ULONG id, size_t count, ULONG extent) {
  if (impl_->streams[id] == nullptr) return STATUS_INVALID_DEVICE_STATE;
  if (extent == 0) extent = imageBytes_;
  // A stream keeps one buffer size; a new size gets a new stream once the
  // old one has nothing queued.
  if (extent != impl_->extents[id] && impl_->streams[id]->Pending() == 0) {
    impl_->streams[id] = std::make_unique<host::ks::Stream>(impl_->pins[id], extent, impl_->options.frameInfo);
    impl_->extents[id] = extent;
  }
  return count == 0 ? STATUS_PENDING : impl_->streams[id]->Queue(count);
}

std::vector<std::unique_ptr<host::ks::Buffer>> AssemblerRig::Take(ULONG id) {
  if (impl_->streams[id] == nullptr) return {};
  return impl_->streams[id]->Take();
}

void AssemblerRig::Drain(ULONG id) {
  if (pins_[id] == nullptr) return;
  KIRQL irql;
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  while (PKSSTREAM_POINTER frame = KsPinGetLeadingEdgeStreamPointer(pins_[id]->Pin, KSSTREAM_POINTER_STATE_LOCKED))
    KsStreamPointerUnlock(frame, TRUE);
  KeLowerIrql(irql);
}

void AssemblerRig::Feed(const uint8_t* data, size_t size) {
  std::unique_ptr<uint8_t[]> block(new uint8_t[size]);
  memcpy(block.get(), data, size);
  // The reader's completion routine runs at DISPATCH_LEVEL.
  KIRQL irql;
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  device_->HandleVideoData(block.get(), ULONG(size));
  KeLowerIrql(irql);
}

void AssemblerRig::Feed(const std::vector<uint8_t>& stream, const std::vector<size_t>& cuts) {
  size_t from = 0;
  for (size_t cut : cuts) {
    if (cut > from) Feed(stream.data() + from, cut - from);
    from = cut;
  }
  if (from < stream.size()) Feed(stream.data() + from, stream.size() - from);
}

void AssemblerRig::Restart() {
  device_->AssemblerState = kStateFieldComplete;
  device_->AssemblerContext = 0;
  device_->RouteFlags = 0;
  device_->LastSnapshotBit = 0;
  device_->RouteTarget = pins_[0];
  for (CCapturePin* pin : pins_) {
    if (pin == nullptr) continue;
    pin->FramesProcessed = pin->FramesDropped = pin->PacketsDropped = pin->EavSyncErrors = 0;
    pin->SnapshotHoldoff = 0;
    pin->X = pin->Y = 0;
    pin->FirstFieldDone = pin->FieldStarted = 0;
    pin->Skipping = pin->DiscontinuityPending = 0;
    pin->FrameBytes = 0;
  }
}

std::vector<size_t> Cuts(size_t size, size_t block, uint32_t seed) {
  std::vector<size_t> cuts;
  std::mt19937 random(seed);
  for (size_t at = 0; at < size;) {
    at += seed == 0 ? block : 1 + random() % block;
    if (at < size) cuts.push_back(at);
  }
  return cuts;
}

}  // namespace ovratest
