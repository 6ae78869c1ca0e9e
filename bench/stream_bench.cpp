// The whole stream: 640x480 UYVY at 30 fps from the emulated camera through
// the bus, the continuous reader, the frame router and assembler, to a client
// reading the capture pin, for 10 seconds of camera time (--virtual_seconds=N). Reports camera
// seconds per real second, real bytes per second into client buffers, pool
// allocations per frame in steady state (must be 0), and the share of real
// time spent in the driver's router and assembler, in the emulated camera,
// and in the rest (the host: scheduler, bus, KS framework, client copies).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <memory>
#include <string>

#include "client/client.h"
#include "client/rig.h"
#include "driver/device/camera_device.h"

namespace {

using Clock = std::chrono::steady_clock;

double g_routerSeconds = 0;  // time inside the frame router, timed around each call
double g_cameraSeconds = 0;  // time inside the emulated camera's bus callbacks
bool g_failed = false;
int64_t g_seconds = 10;  // camera seconds measured (--virtual_seconds=N)

// The frame router is the device object's one virtual slot; the bench points
// the object at a copy of its vtable whose slot times the original.
using RouterFn = void (*)(CCameraDevice*, PUCHAR, ULONG);
RouterFn g_router = nullptr;
void* g_vtable[3];

void TimedRouter(CCameraDevice* device, PUCHAR data, ULONG length) {
  const auto start = Clock::now();
  g_router(device, data, length);
  g_routerSeconds += std::chrono::duration<double>(Clock::now() - start).count();
}

void TimeRouter(CCameraDevice* device) {
  void** vptr = *reinterpret_cast<void***>(device);
  g_vtable[0] = vptr[-2];  // offset to top
  g_vtable[1] = vptr[-1];  // type information
  g_vtable[2] = reinterpret_cast<void*>(&TimedRouter);
  g_router = reinterpret_cast<RouterFn>(vptr[0]);
  *reinterpret_cast<void***>(device) = &g_vtable[2];
}

template <class F>
auto TimeCamera(F f) {
  const auto start = Clock::now();
  auto result = f();
  g_cameraSeconds += std::chrono::duration<double>(Clock::now() - start).count();
  return result;
}

// The camera's side of the bus, timed.
class TimedModel : public host::usb::DeviceModel {
 public:
  explicit TimedModel(std::shared_ptr<emu::Bridge> inner) : inner_(std::move(inner)) {}
  host::usb::ControlReply Control(const host::usb::Setup& s, uint8_t* d) override { return TimeCamera([&] { return inner_->Control(s, d); }); }
  USBD_STATUS IsochRequest(uint8_t e, uint32_t p) override { return TimeCamera([&] { return inner_->IsochRequest(e, p); }); }
  host::usb::IsoPacket IsochIn(uint8_t e, uint64_t m, uint8_t* b, uint32_t c) override {
    return TimeCamera([&] { return inner_->IsochIn(e, m, b, c); });
  }
  host::usb::BulkReply BulkIn(uint8_t e, uint8_t* b, uint32_t c) override { return TimeCamera([&] { return inner_->BulkIn(e, b, c); }); }

 private:
  std::shared_ptr<emu::Bridge> inner_;
};

constexpr uint32_t kCamera = 0x2E4C0101;

void Fail(benchmark::State& state, const std::string& why) {
  g_failed = true;
  state.SkipWithError(why.c_str());
}

void WholeStream(benchmark::State& state) {
  constexpr int64_t kWarmUp = host::sched::kSecond;
  const int64_t kMeasured = g_seconds * host::sched::kSecond;
  constexpr uint32_t kBuffers = 4;
  for (auto _ : state) {
    host::Reset();
    std::string error;
    // A colour head with a progressive 640x480 UYVY stream.
    ovra::RigOptions options;
    options.wrap = [](std::shared_ptr<emu::Bridge> bridge) { return std::make_shared<TimedModel>(std::move(bridge)); };
    std::unique_ptr<ovra::Rig> rig = ovra::Rig::Start(kCamera, &error, options);
    if (rig == nullptr) return Fail(state, error);
    ovra::PinFormat format;
    if (!ovra::IntersectFormat(rig->filter(), 0, 640, 480, 0, &format, &error)) return Fail(state, error);
    rig->SetVideo(format.width, format.height, format.interval, false);
    auto pin = ovra::PinStream::Open(rig->ks(), rig->filter(), 0, format, kBuffers, &error);
    if (pin == nullptr) return Fail(state, error);
    if (!NT_SUCCESS(pin->SetState(KSSTATE_RUN))) return Fail(state, "the capture pin does not run");

    uint64_t frames = 0, bytes = 0;
    const auto collect = [&](const ovra::Frame& f) {
      if (NT_SUCCESS(f.status)) ++frames, bytes += f.size;
    };
    const auto runUntil = [&](int64_t end) {
      while (host::sched::Now() < end) {
        host::sched::RunUntil([&] { return pin->Pending() < kBuffers; }, end - host::sched::Now());
        pin->Collect(collect);
      }
    };
    runUntil(host::sched::Now() + kWarmUp);
    if (frames == 0) return Fail(state, "no frame reached the client");

    TimeRouter(rig->camera());
    g_routerSeconds = g_cameraSeconds = 0;
    const uint64_t framesBefore = frames, bytesBefore = bytes;
    const uint64_t allocationsBefore = host::pool::GetStats().allocations;
    const auto realStart = Clock::now();
    const std::clock_t cpuStart = std::clock();
    runUntil(host::sched::Now() + kMeasured);
    const double real = std::chrono::duration<double>(Clock::now() - realStart).count();
    const double cpu = double(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    const uint64_t allocations = host::pool::GetStats().allocations - allocationsBefore;
    const uint64_t measuredFrames = frames - framesBefore;
    pin.reset();

    state.SetIterationTime(real);
    state.SetBytesProcessed(int64_t(bytes - bytesBefore));
    state.counters["frames"] = double(measuredFrames);
    state.counters["virtual_per_real"] = double(g_seconds) / real;
    state.counters["virtual_per_cpu"] = double(g_seconds) / cpu;  // the same on an idle machine
    state.counters["client_MBps"] = double(bytes - bytesBefore) / real / 1e6;
    state.counters["allocations_per_frame"] = measuredFrames ? double(allocations) / double(measuredFrames) : 0.0;
    state.counters["driver_share"] = g_routerSeconds / real;
    state.counters["camera_share"] = g_cameraSeconds / real;
    state.counters["host_share"] = 1.0 - (g_routerSeconds + g_cameraSeconds) / real;
    if (measuredFrames < uint64_t(29 * g_seconds))
      Fail(state, "frames were lost: " + std::to_string(measuredFrames) + " in " + std::to_string(g_seconds) + " s");
    if (allocations != 0) Fail(state, "the streaming path allocated pool memory");
  }
}

BENCHMARK(WholeStream)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  // Our own flag first; Google Benchmark refuses flags it does not know.
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--virtual_seconds=", 0) == 0) g_seconds = std::max<int64_t>(1, std::stoll(arg.substr(18)));
    else argv[kept++] = argv[i];
  }
  argc = kept;
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return g_failed ? 1 : 0;
}
