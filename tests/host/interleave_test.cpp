// Interleaving mode: driver fragments with a race that needs no wait pass
// in the default mode and fail under some seed; the same seed fails again;
// the fragments written soundly pass under every seed.
#include "kernel_fixtures.h"

namespace {

using host::sched::kMicrosecond;
using host::sched::kMillisecond;

constexpr unsigned kSeeds = 64;

// A frame counter that the passive code and a DPC both bump.
struct Counter {
  KSPIN_LOCK lock;
  KDPC dpc;
  LONG frames = 0;
  LONG generation = 0;

  Counter() {
    KeInitializeSpinLock(&lock);
    KeInitializeDpc(&dpc, &Bump, this);
  }
  static void Bump(PKDPC, PVOID context, PVOID, PVOID) {
    auto* self = static_cast<Counter*>(context);
    KeAcquireSpinLockAtDpcLevel(&self->lock);
    self->frames++;
    KeReleaseSpinLockFromDpcLevel(&self->lock);
  }
};

// The passive side reads, publishes a generation, then writes back: an
// update lost when the DPC runs in between.
bool LostUpdate(bool sound) {
  Counter c;
  KeInsertQueueDpc(&c.dpc, nullptr, nullptr);
  if (sound) {
    KIRQL irql;
    KeAcquireSpinLock(&c.lock, &irql);
    c.frames++;
    InterlockedIncrement(&c.generation);
    KeReleaseSpinLock(&c.lock, irql);
  } else {
    const LONG seen = c.frames;
    InterlockedIncrement(&c.generation);
    c.frames = seen + 1;
  }
  host::sched::RunUntilIdle();
  return c.frames == 2;
}

// A transfer completes 125 us after submission and its data is kept only
// while the stream runs: starting the transfer before marking the stream
// running drops the data of a completion that comes in between.
struct Stream {
  LONG running = 0;
  LONG submitted = 0;
  int kept = 0;
};

bool StartBeforeRunning(bool sound) {
  Stream s;
  auto submit = [&] {
    InterlockedIncrement(&s.submitted);
    host::sched::After(125 * kMicrosecond, [&] {
      if (InterlockedCompareExchange(&s.running, 1, 1) == 1) s.kept++;
    });
  };
  if (sound) {
    InterlockedExchange(&s.running, 1);
    submit();
  } else {
    submit();
    InterlockedExchange(&s.running, 1);
  }
  host::sched::RunFor(kMillisecond);
  return s.kept == 1;
}

TEST(InterleavingMode, RacyFragmentsFailUnderSomeSeedReproduciblyAndSoundOnesNever) {
  const struct {
    const char* name;
    bool (*fragment)(bool sound);
  } rows[] = {
      {"lost update around an interlocked operation", LostUpdate},
      {"completion before the stream is marked running", StartBeforeRunning},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    host::Reset();
    host::SetInterleaving(0, 0);
    EXPECT_TRUE(row.fragment(false)) << "the default mode runs events only at waits";
    EXPECT_EQ(host::InterleavedEvents(), 0u);

    const uint64_t seed = host::ExploreInterleavings(1, kSeeds, [&] { return row.fragment(false); });
    ASSERT_NE(seed, 0u);
    host::SetInterleaving(seed, host::InterleavingSettings{}.probability);
    EXPECT_FALSE(row.fragment(false)) << "seed " << seed << " does not repeat";
    EXPECT_GT(host::InterleavedEvents(), 0u);

    EXPECT_EQ(host::ExploreInterleavings(1, kSeeds, [&] { return row.fragment(true); }), 0u);
  }
}

// A point never runs an event that is due beyond the horizon, nor anything
// while the thread holds a spin lock or runs inside an event.
TEST(InterleavingMode, PointsRespectTheHorizonHeldSpinLocksAndRunningEvents) {
  host::InterleavingSettings settings;
  settings.seed = 7;
  settings.probability = 1.0;
  settings.burst = 64;
  host::SetInterleaving(settings);
  LONG value = 0;
  int ran = 0;
  host::sched::After(2 * kMillisecond, [&] { ran++; });
  InterlockedIncrement(&value);
  EXPECT_EQ(ran, 0);

  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL irql;
  KeAcquireSpinLock(&lock, &irql);
  host::sched::After(0, [&] { ran++; });
  InterlockedIncrement(&value);
  EXPECT_EQ(ran, 0);
  KeReleaseSpinLock(&lock, irql);
  EXPECT_EQ(ran, 1);

  int inner = 0;
  host::sched::After(0, [&] {
    host::sched::After(0, [&] { inner++; });
    InterlockedIncrement(&value);
    EXPECT_EQ(inner, 0);
  });
  InterlockedIncrement(&value);
  EXPECT_EQ(inner, 1);  // after the outer event, at the point that ran it
  host::sched::RunFor(3 * kMillisecond);
  EXPECT_EQ(ran, 2);
}

}  // namespace
