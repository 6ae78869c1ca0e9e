// Property and method requests as a hostile client sends them to a started
// camera's filter: the input picks the camera, the set, the id, the flags and
// the lengths of the request and of the data, and supplies their bytes. Both
// buffers are exactly their length, so a handler that reads or writes past
// what the client gave is caught. A completed GET may not claim more bytes
// than the client's buffer holds.
//
// Input: camera byte, set byte, id byte, flags byte, instance length byte,
// data length (16-bit little-endian, up to 1 KiB), then the bytes of the
// instance data and of the property data (missing bytes are zero).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include <host/api/host.h>
#include <host/api/ks.h>

#include "stream/camera_bench.h"

#include "driver/usb/hardware.h"

namespace {

const GUID kSets[] = {
    {STATICGUIDOF(PROPSETID_VIDCAP_DROPPEDFRAMES)}, {STATICGUIDOF(PROPSETID_VIDCAP_VIDEOCONTROL)},
    {STATICGUIDOF(KSPROPSETID_Stream)},             {STATICGUIDOF(PROPSETID_CAMPROP)},
    {STATICGUIDOF(PROPSETID_CAMPROP_INTERLEAVE)},   {STATICGUIDOF(PROPSETID_CAMPROP_ALDER)},
    {STATICGUIDOF(PROPSETID_CAMPROP_BIRCH)},        {STATICGUIDOF(PROPSETID_CAMPROP_BIRCH2)},
    {STATICGUIDOF(PROPSETID_CAMPROP_CEDAR)},        {STATICGUIDOF(PROPSETID_CAMPROP_LARCH)},
    {STATICGUIDOF(PROPSETID_CAMPROP_MAPLE)},        {STATICGUIDOF(PROPSETID_CAMPROP_ROWAN)},
    {STATICGUIDOF(METHODSETID_CAMPROP)},
};
constexpr size_t kMethodSet = 12;
constexpr ULONG kIds[] = {0, 3, 20, 21, 40, 41, 42, 43, 44, 45, 60, 61, 62, 80};
constexpr ULONG kPropertyFlags[] = {KSPROPERTY_TYPE_GET, KSPROPERTY_TYPE_SET, KSPROPERTY_TYPE_BASICSUPPORT,
                                    KSPROPERTY_TYPE_SETSUPPORT};
constexpr ULONG kMethodFlags[] = {KSMETHOD_TYPE_SEND, KSMETHOD_TYPE_SEND, KSMETHOD_TYPE_SEND,
                                  KSMETHOD_TYPE_BASICSUPPORT};

// One camera of each head kind, started once with its filter open and then
// marked removed, so that every request to the bridge fails at once: on this
// host a register, EEPROM or firmware request costs milliseconds of real time
// on a live camera, and the handlers' buffer and length paths are what is
// fuzzed here (the suites cover the live paths).
std::vector<std::unique_ptr<ovratest::CameraBench>>& Cameras() {
  static auto* cameras = [] {
    host::Reset();
    host::dbg::SetEcho(-1);
    auto* list = new std::vector<std::unique_ptr<ovratest::CameraBench>>;
    for (const emu::Profile& p : ovratest::OnePerHead()) {
      list->push_back(std::make_unique<ovratest::CameraBench>(p));
      list->back()->Device()->Hardware->DeviceRemoved();
    }
    return list;
  }();
  return *cameras;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 7) return 0;
  auto& cameras = Cameras();
  ovratest::CameraBench& camera = *cameras[data[0] % cameras.size()];
  const size_t set = data[1] % (sizeof kSets / sizeof kSets[0]);
  const ULONG id = (data[2] & 0x80) ? data[2] : kIds[data[2] % (sizeof kIds / sizeof kIds[0])];
  const bool method = set == kMethodSet;
  const ULONG flags = (data[3] & 0x80) ? data[3] : method ? kMethodFlags[data[3] & 3] : kPropertyFlags[data[3] & 3];
  size_t instance = data[4];
  // Up to 1 KiB of data. Register records, EEPROM bytes and firmware are bus
  // traffic that costs real time on the host; a few of them reach every
  // length case of their handlers, so those requests stay short.
  size_t length = (size_t(data[5]) | size_t(data[6]) << 8) & 0x3FF;
  if (id == CAMPROP_I2C_DATA) {
    length &= 0x1F;
    instance &= 0x1F;
  } else if (id == CAMPROP_FX2_EEPROM || id == CAMPROP_METHOD_LOAD_FIRMWARE) {
    length &= 0x7F;
    instance &= 0x7F;
  }
  data += 7;
  size -= 7;

  // Both buffers exactly as long as the client says.
  std::unique_ptr<uint8_t[]> in(new uint8_t[sizeof(KSPROPERTY) + instance]);
  KSPROPERTY request = {};
  request.Set = kSets[set];
  request.Id = id;
  request.Flags = flags;
  memcpy(in.get(), &request, sizeof request);
  memset(in.get() + sizeof request, 0, instance);
  const size_t fromInput = std::min(instance, size);
  memcpy(in.get() + sizeof request, data, fromInput);
  data += fromInput;
  size -= fromInput;
  std::unique_ptr<uint8_t[]> out(length ? new uint8_t[length] : nullptr);
  if (length) {
    memset(out.get(), 0, length);
    memcpy(out.get(), data, std::min(length, size));
  }

  const host::ks::IoResult r =
      host::ks::DeviceIoControl(camera.filter, method ? IOCTL_KS_METHOD : IOCTL_KS_PROPERTY, in.get(),
                                ULONG(sizeof request + instance), out.get(), ULONG(length));
  if (NT_SUCCESS(r.status) && r.information > length && !(flags & KSPROPERTY_TYPE_SET)) abort();
  host::dbg::Clear();
  return 0;
}
