// Pool: leak reports, misuse of frees, fault injection by count, tag and call
// site, and the IRQL rules of paged and non-paged allocations.
#include <cinttypes>
#include <cstdio>

#include "driver/common/common.h"
#include "kernel_fixtures.h"

namespace {

using host::pool::MakeTag;

constexpr ULONG kTagA = MakeTag("Aaaa");
constexpr ULONG kTagB = MakeTag("Bbbb");

// Four allocations from four call sites; the first and the last share a tag.
// Each touches its block after the call, so none becomes a tail call.
void* Touch(void* p, size_t n) { return p != nullptr ? memset(p, 0, n) : p; }
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

TEST(Pool, LeakReportGroupsOutstandingBlocksByTagWithTheirSites) {
  void* a = ExAllocatePoolWithTag(NonPagedPoolNx, 64, MakeTag("KCNw"));
  void* b = ExAllocatePoolWithTag(NonPagedPoolNx, 72, MakeTag("KCNw"));
  void* c = ExAllocatePoolWithTag(PagedPool, 8, MakeTag("Ovra"));
  char site[32];
  snprintf(site, sizeof site, "from 0x%" PRIxPTR, host::pool::SitesSeen().at(0));
  const std::string report = host::pool::LeakReport();
  for (const char* line : {"KCNw: 2 blocks, 136 bytes", "Ovra: 1 block, 8 bytes", "72 bytes, NonPagedPoolNx",
                           static_cast<const char*>(site)})
    EXPECT_NE(report.find(line), std::string::npos) << line << " in\n" << report;
  EXPECT_EQ(host::pool::Outstanding(MakeTag("KCNw")), 2u);

  // New blocks are not zeroed: callers must clear what they rely on.
  const std::vector<uint8_t> zero(64, 0);
  EXPECT_NE(memcmp(a, zero.data(), zero.size()), 0);

  ExFreePool(a);
  ExFreePoolWithTag(b, MakeTag("KCNw"));
  ExFreePool(c);
  EXPECT_EQ(host::pool::LeakReport(), "");
  EXPECT_EQ(host::pool::GetStats().allocations, 3u);
  EXPECT_EQ(host::pool::GetStats().frees, 3u);
}

TEST(Pool, FreeMisuseIsReportedWithTheBlock) {
  struct Case {
    std::function<void(void* block)> misuse;
    const char* expected;
    bool blockStillLive;
  };
  static int onStack;
  const Case cases[] = {
      {[](void* p) { ExFreePool(p), ExFreePoolWithTag(p, MakeTag("KCNw")); },
       "double free of a block already freed by ExFreePool (tag KCNw, 32 bytes", false},
      {[](void* p) { ExFreePoolWithTag(p, MakeTag("Ovra")); }, "wrong tag Ovra for a block allocated with tag KCNw",
       true},
      {[](void* p) { ExFreePool(static_cast<char*>(p) + 8); }, "8 bytes into a live block", true},
      {[](void*) { ExFreePool(&onStack); }, "not a pool block", true},
      {[](void*) { ExFreePool(nullptr); }, "null pointer", true},
  };
  for (const Case& c : cases) {
    void* block = ExAllocatePoolWithTag(NonPagedPoolNx, 32, MakeTag("KCNw"));
    {
      host::ViolationCapture capture;
      c.misuse(block);
      ASSERT_EQ(capture.Messages().size(), 1u) << c.expected;
      EXPECT_TRUE(capture.Saw(c.expected)) << capture.Messages()[0];
    }
    if (c.blockStillLive) ExFreePool(block);
    EXPECT_EQ(host::pool::Outstanding(), 0u) << c.expected;
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
    c.arm();
    EXPECT_EQ(RunFour(), c.expected) << c.name;
    EXPECT_EQ(RunFour(), c.again) << c.name;
    host::pool::ClearFaults();
    EXPECT_EQ(RunFour(), std::vector<bool>(4, true)) << c.name;
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
  ExFreePool(a);
  ExFreePool(b);
}

TEST(Pool, PagedPoolOnlyUpToApcLevel) {
  for (auto [type, irql, allowed] : {std::tuple{PagedPool, APC_LEVEL, true}, {PagedPool, DISPATCH_LEVEL, false},
                                     {NonPagedPoolNx, DISPATCH_LEVEL, true}}) {
    host::ViolationCapture capture;
    void* p = nullptr;
    kt::AtIrql(irql, [&, type = type] { p = ExAllocatePoolWithTag(type, 8, kTagA); });
    EXPECT_EQ(p != nullptr, allowed) << int(type) << " at " << int(irql);
    EXPECT_EQ(capture.Messages().empty(), allowed) << int(type) << " at " << int(irql);
    if (p != nullptr) ExFreePool(p);
  }
}

}  // namespace
