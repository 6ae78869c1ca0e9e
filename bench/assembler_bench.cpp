// The frame assembler at full speed: 640 x 480 UYVY frames in blocks of
// 98,304 bytes through CCameraDevice::HandleVideoData into client buffers,
// beside a bare memchr for 0xFF plus memcpy of the runs between codes over the
// same bytes in the same run. Reports the assembler's bytes per second, its
// speed as a fraction of the baseline's (`ratio`, aim >= 0.9), and the pool
// allocations per block, which must be zero. With host_log:0 the host's debug
// log neither formats nor keeps the driver's trace lines, as a kernel does for
// levels nobody listens to; host_log:1 shows what the stand-in's log adds.
#include <benchmark/benchmark.h>

#include <ctime>
#include <cstring>
#include <vector>

#include <emu/video.h>
#include <host/api/host.h>

#include "support/assembler_rig.h"

namespace {

constexpr size_t kBlock = 98304;
constexpr size_t kFrames = 4;

// Thread CPU time: the machine is shared, and a pass that waits for a
// processor must not count against either side.
double CpuSeconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// What a copier does at the least: find each 0xFF, copy the bytes before it,
// step over the 4-byte code. The output rotates through as many frame-sized
// buffers as the pin has queued, so both write the same amount of memory.
void Baseline(const uint8_t* p, size_t size, uint8_t* out, size_t outSize, size_t* at) {
  const uint8_t* const end = p + size;
  while (p < end) {
    const uint8_t* sync = static_cast<const uint8_t*>(memchr(p, 0xFF, size_t(end - p)));
    const size_t run = size_t((sync != nullptr ? sync : end) - p);
    if (*at + run > outSize) *at = 0;
    memcpy(out + *at, p, run);
    *at += run;
    if (sync == nullptr) break;
    p = sync + 4;
  }
}

void Assembler(benchmark::State& state) {
  host::Reset();
  host::dbg::SetKeep(state.range(0) != 0);
  {
    ovratest::AssemblerRig rig({.width = 640, .height = 480});
    emu::VideoFormat format;
    format.width = 640;
    format.height = 480;
    format.frameInterval = 0;
    const size_t blocks = format.FrameBytes() * kFrames / kBlock;
    const std::vector<uint8_t> stream = emu::VideoSource::Generate(format, blocks * kBlock);
    std::vector<std::vector<uint8_t>> input;
    for (size_t i = 0; i < blocks; ++i) input.emplace_back(stream.begin() + i * kBlock, stream.begin() + (i + 1) * kBlock);
    std::vector<uint8_t> out(size_t(rig.ImageBytes()) * 2 * kFrames);
    size_t at = 0;
    if (!NT_SUCCESS(rig.Queue(0, 2 * kFrames))) {
      state.SkipWithError("the pin took no buffers");
      return;
    }

    double assembler = 0, baseline = 0;
    uint64_t allocations = 0, fed = 0, frames = 0;
    for (auto _ : state) {
      const uint64_t before = host::pool::AllocationCount();
      const double t0 = CpuSeconds();
      for (auto& block : input) rig.Device()->HandleVideoData(block.data(), ULONG(block.size()));
      const double t1 = CpuSeconds();
      allocations += host::pool::AllocationCount() - before;
      for (auto& block : input) Baseline(block.data(), block.size(), out.data(), out.size(), &at);
      const double t2 = CpuSeconds();
      benchmark::DoNotOptimize(out.data());
      assembler += t1 - t0;
      baseline += t2 - t1;
      state.SetIterationTime(t1 - t0);
      fed += input.size();
      const size_t done = rig.Take(0).size();
      frames += done;
      rig.Queue(0, done);
    }
    state.SetBytesProcessed(int64_t(fed * kBlock));
    state.counters["ratio"] = assembler > 0 ? baseline / assembler : 0.0;
    state.counters["allocations_per_block"] = fed != 0 ? double(allocations) / double(fed) : 0.0;
    state.counters["frames"] = double(frames);
    rig.Drain(0);
    if (allocations != 0) state.SkipWithError("the assembler allocated pool memory");
    if (frames == 0) state.SkipWithError("no frame was delivered");
    host::dbg::Clear();
  }
  host::dbg::SetKeep(true);
  host::Reset();
}

BENCHMARK(Assembler)->ArgName("host_log")->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
