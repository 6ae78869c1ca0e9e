// Pool: leak reports, misuse of frees, fault injection by count, tag and call
// site, and the IRQL rules of paged and non-paged allocations.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <functional>
#include <vector>

#include <host/api/host.h>

#include "driver/common/common.h"

namespace {

using host::pool::MakeTag;

constexpr ULONG kTagA = MakeTag("Aaaa");
constexpr ULONG kTagB = MakeTag("Bbbb");

// Four allocations from four call sites; the first and the last share a tag.
// Each touches its block after the call, so none becomes a tail call.
void* Touch(void* p, size_t n) {
  if (p != nullptr) memset(p, 0, n);
  return p;
}
__attribute__((noinline)) void* Site1() { return Touch(ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTagA), 16); }
__attribute__((noinline)) void* Site2() { return Touch(ExAllocatePoolWithTag(NonPagedPoolNx, 24, kTagB), 24); }
__attribute__((noinline)) void* Site3() { return Touch(ExAllocatePoolWithTag(PagedPool, 32, MakeTag("Cccc")), 32); }
__attribute__((noinline)) void* Site4() { return Touch(ExAllocatePoolWithTag(NonPagedPoolNx, 40, kTagA), 40); }

// Which of the four allocations succeeded; frees what it got.
std::vector<bool> RunFour() {
  std::vector<bool> ok;
  for (auto* site : {Site1, Site2, Site3, Site4}) {
    void* p = site();
    ok.push_back(p != nullptr);
    if (p != nullptr) ExFreePool(p);
  }
  return ok;
}

std::string Hex(uintptr_t v) {
  char text[32];
  snprintf(text, sizeof text, "0x%" PRIxPTR, v);
  return text;
}

TEST(Pool, LeakReportGroupsOutstandingBlocksByTag) {
  void* a = ExAllocatePoolWithTag(NonPagedPoolNx, 64, MakeTag("KCNw"));
  void* b = ExAllocatePoolWithTag(NonPagedPoolNx, 72, MakeTag("KCNw"));
  void* c = ExAllocatePoolWithTag(PagedPool, 8, MakeTag("Ovra"));
  const std::string report = host::pool::LeakReport();
  EXPECT_NE(report.find("KCNw: 2 blocks, 136 bytes"), std::string::npos) << report;
  EXPECT_NE(report.find("Ovra: 1 block, 8 bytes"), std::string::npos) << report;
  EXPECT_NE(report.find("64 bytes"), std::string::npos);
  EXPECT_NE(report.find("72 bytes, NonPagedPoolNx"), std::string::npos);
  EXPECT_NE(report.find("from " + Hex(host::pool::SitesSeen().at(0))), std::string::npos) << report;
  EXPECT_EQ(host::pool::Outstanding(MakeTag("KCNw")), 2u);
  EXPECT_EQ(host::pool::GetStats().bytesOutstanding, 144u);

  // New blocks are not zeroed: callers must clear what they rely on.
  const std::vector<uint8_t> zero(64, 0);
  EXPECT_NE(memcmp(a, zero.data(), zero.size()), 0);

  ExFreePool(a);
  ExFreePoolWithTag(b, MakeTag("KCNw"));
  ExFreePool(c);
  EXPECT_EQ(host::pool::LeakReport(), "");
  const auto stats = host::pool::GetStats();
  EXPECT_EQ(stats.allocations, 3u);
  EXPECT_EQ(stats.frees, 3u);
  EXPECT_EQ(stats.outstanding, 0u);
}

TEST(Pool, FreeMisuseIsReportedWithTheBlock) {
  struct Case {
    const char* name;
    std::function<void(void* block)> misuse;
    const char* expected;
    bool blockStillLive;
  };
  static int onStack;
  const Case cases[] = {
      {"double free", [](void* p) { ExFreePool(p), ExFreePool(p); }, "double free", false},
      {"double free with tag", [](void* p) { ExFreePool(p), ExFreePoolWithTag(p, MakeTag("KCNw")); }, "KCNw", false},
      {"wrong tag", [](void* p) { ExFreePoolWithTag(p, MakeTag("Ovra")); }, "wrong tag Ovra", true},
      {"inner pointer", [](void* p) { ExFreePool(static_cast<char*>(p) + 8); }, "8 bytes into a live block", true},
      {"not pool", [](void*) { ExFreePool(&onStack); }, "not a pool block", true},
      {"null", [](void*) { ExFreePool(nullptr); }, "null pointer", true},
  };
  for (const Case& c : cases) {
    void* block = ExAllocatePoolWithTag(NonPagedPoolNx, 32, MakeTag("KCNw"));
    {
      host::ViolationCapture capture;
      c.misuse(block);
      ASSERT_EQ(capture.Messages().size(), 1u) << c.name;
      EXPECT_TRUE(capture.Saw(c.expected)) << c.name << ": " << capture.Messages()[0];
    }
    if (c.blockStillLive) ExFreePool(block);
    EXPECT_EQ(host::pool::Outstanding(), 0u) << c.name;
  }
}

TEST(Pool, FaultInjectionFailsExactlyTheChosenAllocation) {
  RunFour();  // learn the four call sites
  const auto sites = host::pool::SitesSeen();
  ASSERT_EQ(sites.size(), 4u);
  EXPECT_EQ(host::pool::AllocationCount(), 4u);

  struct Case {
    const char* name;
    std::function<void()> arm;
    std::vector<bool> expected;
    std::vector<bool> again;  // a second run with the fault still armed
  };
  const Case cases[] = {
      {"3rd from now", [] { host::pool::FailNth(3); }, {true, true, false, true}, {true, true, true, true}},
      {"tag B", [] { host::pool::FailTag(kTagB); }, {true, false, true, true}, {true, false, true, true}},
      {"tag A, two sites", [] { host::pool::FailTag(kTagA); }, {false, true, true, false}, {false, true, true, false}},
      {"site 4", [&] { host::pool::FailSite(sites[3]); }, {true, true, true, false}, {true, true, true, false}},
      {"site 1", [&] { host::pool::FailSite(sites[0]); }, {false, true, true, true}, {false, true, true, true}},
  };
  for (const Case& c : cases) {
    const uint64_t failuresBefore = host::pool::GetStats().failures;
    c.arm();
    EXPECT_EQ(RunFour(), c.expected) << c.name;
    EXPECT_EQ(RunFour(), c.again) << c.name;
    host::pool::ClearFaults();
    EXPECT_EQ(RunFour(), std::vector<bool>(4, true)) << c.name;
    size_t failed = 0;
    for (bool ok : c.expected) failed += !ok;
    for (bool ok : c.again) failed += !ok;
    EXPECT_EQ(host::pool::GetStats().failures - failuresBefore, failed) << c.name;
  }
  EXPECT_EQ(host::pool::SitesSeen(), sites);  // no new sites: the same four every run
}

__attribute__((noinline)) void* ZeroedA() { return AllocateZeroed(24); }
__attribute__((noinline)) void* ZeroedB() { return AllocateZeroed(32); }  // not foldable into ZeroedA

TEST(Pool, DriverAllocationsAreZeroedAndKeepTheirOwnSites) {
  void* a = ZeroedA();
  void* b = ZeroedB();
  const std::vector<uint8_t> zero(24, 0);
  EXPECT_EQ(memcmp(a, zero.data(), zero.size()), 0);
  // The helper is inlined: each caller is a site of its own, so faults can target it.
  EXPECT_EQ(host::pool::SitesSeen().size(), 2u);
  ExFreePoolWithTag(a, MakeTag("KCNw"));
  ExFreePool(b);
}

TEST(Pool, PagedAndNonPagedIrqlRules) {
  struct Case {
    POOL_TYPE type;
    KIRQL irql;
    bool allowed;
  };
  const Case cases[] = {
      {PagedPool, PASSIVE_LEVEL, true},   {PagedPool, APC_LEVEL, true},
      {PagedPool, DISPATCH_LEVEL, false}, {NonPagedPoolNx, DISPATCH_LEVEL, true},
      {NonPagedPool, DISPATCH_LEVEL + 1, false},
  };
  for (const Case& c : cases) {
    host::ViolationCapture capture;
    KIRQL old;
    KeRaiseIrql(c.irql, &old);
    void* p = ExAllocatePoolWithTag(c.type, 8, kTagA);
    KeLowerIrql(old);
    EXPECT_EQ(p != nullptr, c.allowed) << int(c.type) << " at " << int(c.irql);
    EXPECT_EQ(capture.Messages().empty(), c.allowed) << int(c.type) << " at " << int(c.irql);
    if (p != nullptr) ExFreePool(p);
  }
}

}  // namespace
