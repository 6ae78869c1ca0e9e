// The reader path: an emulated camera's video pipe through the continuous
// reader and the hardware object to the device's frame router, in virtual
// time. Reports the bytes delivered per virtual second, the real throughput
// of the whole path (emulated bus included), and the pool allocations per
// completed transfer, which must be zero.
#include <benchmark/benchmark.h>

#include <memory>

#include "driver/usb/reader.h"
#include "support/usb_fixture.h"

namespace {

constexpr int64_t kSlice = 100 * host::sched::kMillisecond;

void ReaderPath(benchmark::State& state) {
  const bool bulk = state.range(0) != 0;
  const UCHAR alternate = UCHAR(state.range(1));
  host::Reset();
  {
    emu::BridgeOptions options;
    options.transport = bulk ? emu::VideoTransport::Bulk : emu::VideoTransport::Isochronous;
    ovratest::UsbCamera camera(emu::Profiles().front(), options);
    camera.bridge->SetSource(std::make_shared<emu::PatternSource>());
    auto* hw = camera.Make<ovratest::PlainHardware>();
    if (hw == nullptr || !NT_SUCCESS(hw->AcquireResources(alternate)) || !NT_SUCCESS(hw->Start())) {
      state.SkipWithError("the camera did not start streaming");
      return;
    }
    camera.owner->keepBlocks = false;
    camera.owner->keepBytes = false;
    host::sched::RunFor(kSlice);  // every transfer in flight

    const uint64_t bytes = camera.owner->totalBytes;
    const uint64_t allocations = host::pool::GetStats().allocations;
    const auto bus = camera.BusStats();
    const uint64_t transfers = bus.isochTransfers + bus.bulkTransfers;
    int64_t slices = 0;
    for (auto _ : state) {
      host::sched::RunFor(kSlice);
      ++slices;
    }
    const uint64_t delivered = camera.owner->totalBytes - bytes;
    const uint64_t allocated = host::pool::GetStats().allocations - allocations;
    const auto after = camera.BusStats();
    const uint64_t completed = after.isochTransfers + after.bulkTransfers - transfers;
    hw->Stop();

    const double virtualSeconds = double(slices * kSlice) / double(host::sched::kSecond);
    state.SetBytesProcessed(int64_t(delivered));
    state.counters["virtual_MBps"] = double(delivered) / virtualSeconds / 1e6;
    state.counters["transfers"] = double(completed);
    state.counters["allocations_per_transfer"] = completed != 0 ? double(allocated) / double(completed) : 0.0;
    if (allocated != 0) state.SkipWithError("the streaming path allocated pool memory");
    if (delivered == 0) state.SkipWithError("no video reached the frame router");
  }
  host::Reset();
}

BENCHMARK(ReaderPath)
    ->ArgNames({"bulk", "alt"})
    ->Args({0, 1})
    ->Args({0, 3})
    ->Args({1, 1})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
