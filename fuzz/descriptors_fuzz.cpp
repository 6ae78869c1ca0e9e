// Descriptor sets from a hostile device: the driver reads them, configures,
// selects an alternate setting, streams for a moment and releases, with
// every byte of the device and configuration descriptors coming from the
// input. AddressSanitizer watches every read (pool blocks are exact-size);
// the pool must be empty afterwards.
//
// Input: [flags] [first-read total: 2 bytes LE] [device descriptor: 18 bytes]
//        [configuration set: the rest]
// flags bits 0-1: alternate setting to stream with; bit 2: the configuration
// header read reports the given total instead of the set's own; bit 3: bulk
// video pipe of the emulated bridge (when bit 2 is clear).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "support/usb_fixture.h"

namespace {

constexpr size_t kHeader = 3 + 18;

void Exercise(ovratest::UsbCamera& camera, uint8_t alternate) {
  auto* hw = camera.Make<ovratest::PlainHardware>();
  if (hw == nullptr || !hw->m_Configured) return;
  if (NT_SUCCESS(hw->AcquireResources(alternate)) && NT_SUCCESS(hw->Start())) {
    host::sched::RunFor(2 * host::sched::kMillisecond);
    hw->Stop();
  }
  hw->ReleaseResources();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kHeader) return 0;
  host::Reset();
  const uint8_t flags = data[0];
  const uint16_t firstTotal = uint16_t(data[1] | data[2] << 8);
  std::vector<uint8_t> device(data + 3, data + kHeader);
  std::vector<uint8_t> configuration(data + kHeader, data + size);
  const uint8_t alternate = flags & 3;

  if (flags & 4) {
    // The device changes its mind between the header read and the full read.
    auto model = std::make_shared<ovratest::ScriptedDevice>();
    model->deviceDescriptor = device;
    std::vector<uint8_t> header = configuration;
    if (header.size() >= 4) {
      header[2] = uint8_t(firstTotal);
      header[3] = uint8_t(firstTotal >> 8);
    }
    model->configurationReads = {header, configuration};
    ovratest::UsbCamera camera(model);
    Exercise(camera, alternate);
  } else {
    emu::BridgeOptions options;
    options.transport = (flags & 8) ? emu::VideoTransport::Bulk : emu::VideoTransport::Isochronous;
    ovratest::UsbCamera camera(emu::Profiles().front(), options);
    camera.bridge->SetSource(std::make_shared<emu::PatternSource>());
    camera.bridge->SetDeviceDescriptor(device);
    camera.bridge->SetConfigDescriptor(configuration);
    Exercise(camera, alternate);
  }

  if (host::pool::Outstanding() != 0) {
    fprintf(stderr, "pool blocks left behind:\n%s", host::pool::LeakReport().c_str());
    abort();
  }
  host::Reset();  // what this run built goes now, so that libFuzzer sees no growth
  return 0;
}
