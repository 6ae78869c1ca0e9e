// Pool memory: every block is its own exact-size heap allocation so that
// AddressSanitizer sees overruns, recorded with its tag, size, pool type, call
// site, sequence number and virtual time. Frees are checked (unknown block,
// double free, wrong tag) and fault injection fails chosen allocations.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include <host/api/host.h>

#include "internal.h"

// Provided by the sanitizer runtimes when they are linked in; used to name
// allocation sites in leak reports.
extern "C" void __sanitizer_symbolize_pc(void* pc, const char* fmt, char* out, size_t size) __attribute__((weak));

namespace host {
namespace {

constexpr uint8_t kFreshFill = 0xA5;  // new blocks: pointers read from them are non-canonical
constexpr uint8_t kFreedFill = 0x5A;  // overwritten just before the memory goes back to the heap
constexpr size_t kFreedHistory = 4096;

struct Block {
  size_t size;
  ULONG tag;
  POOL_TYPE type;
  uintptr_t site;
  uint64_t sequence;
  int64_t time;
};

struct FreedBlock {
  Block block;
  const char* freedBy;
};

struct Pool {
  std::mutex lock;
  std::map<uintptr_t, Block> live;  // ordered, to find the block an inner pointer belongs to
  std::unordered_map<uintptr_t, FreedBlock> freed;
  std::deque<uintptr_t> freedOrder;
  pool::Stats stats;
  uint64_t attempts = 0;
  uint64_t failAt = 0;  // attempt number that fails, 0 = none
  std::set<ULONG> failTags;
  std::set<uintptr_t> failSites;
  std::vector<uintptr_t> sites;
  std::unordered_set<uintptr_t> siteSet;
};

Pool& ThePool() {
  static Pool* pool = new Pool;  // never destroyed: reachable from atexit handlers and other threads
  return *pool;
}

bool IsPagedType(POOL_TYPE type) { return (static_cast<int>(type) & 1) != 0; }

const char* PoolTypeName(POOL_TYPE type) {
  switch (static_cast<int>(type)) {
    case NonPagedPool: return "NonPagedPool";
    case PagedPool: return "PagedPool";
    case NonPagedPoolMustSucceed: return "NonPagedPoolMustSucceed";
    case NonPagedPoolCacheAligned: return "NonPagedPoolCacheAligned";
    case PagedPoolCacheAligned: return "PagedPoolCacheAligned";
    case NonPagedPoolNx: return "NonPagedPoolNx";
    default: return IsPagedType(type) ? "paged pool" : "non-paged pool";
  }
}

std::string DescribeSite(uintptr_t site) {
  char text[320];
  int n = snprintf(text, sizeof text, "0x%" PRIxPTR, site);
  if (site != 0 && __sanitizer_symbolize_pc != nullptr) {
    char symbol[256] = {};
    // The return address points after the call; step back into it.
    __sanitizer_symbolize_pc(reinterpret_cast<void*>(site - 1), "%f %L", symbol, sizeof symbol);
    if (symbol[0] != '\0' && n > 0 && static_cast<size_t>(n) < sizeof text)
      snprintf(text + n, sizeof text - n, " (%s)", symbol);
  }
  return text;
}

std::string DescribeBlock(const Block& b) {
  char text[160];
  snprintf(text, sizeof text, "tag %s, %zu bytes, %s, allocation #%" PRIu64 " at t=%" PRId64 " from ",
           pool::TagName(b.tag).c_str(), b.size, PoolTypeName(b.type), b.sequence, b.time);
  return text + DescribeSite(b.site);
}

void RememberFreed(Pool& pool, uintptr_t address, const Block& block, const char* what) {
  if (pool.freed.count(address) == 0) {
    pool.freedOrder.push_back(address);
    if (pool.freedOrder.size() > kFreedHistory) {
      pool.freed.erase(pool.freedOrder.front());
      pool.freedOrder.pop_front();
    }
  }
  pool.freed[address] = FreedBlock{block, what};
}

// Takes the block out of the books, or reports why it cannot. Returns false
// (after the violation) when the caller must not release the memory.
bool Unregister(void* p, const char* what, const ULONG* expectedTag, size_t* size) {
  Pool& pool = ThePool();
  const uintptr_t address = reinterpret_cast<uintptr_t>(p);
  char head[128];
  std::string problem;
  {
    std::lock_guard<std::mutex> guard(pool.lock);
    auto it = pool.live.find(address);
    if (it != pool.live.end() && (expectedTag == nullptr || *expectedTag == it->second.tag)) {
      *size = it->second.size;
      RememberFreed(pool, address, it->second, what);
      pool.stats.frees++;
      pool.stats.outstanding--;
      pool.stats.bytesOutstanding -= it->second.size;
      pool.live.erase(it);
      return true;
    }
    snprintf(head, sizeof head, "%s of 0x%" PRIxPTR ": ", what, address);
    problem = head;
    if (it != pool.live.end()) {
      problem += "wrong tag " + pool::TagName(*expectedTag) + " for a block allocated with " + DescribeBlock(it->second);
    } else if (p == nullptr) {
      problem += "null pointer";
    } else if (auto freed = pool.freed.find(address); freed != pool.freed.end()) {
      problem += "double free of a block already freed by " + std::string(freed->second.freedBy) + " (" +
                 DescribeBlock(freed->second.block) + ")";
    } else {
      auto after = pool.live.upper_bound(address);
      const bool inner = after != pool.live.begin() &&
                         address < std::prev(after)->first + std::max<size_t>(std::prev(after)->second.size, 1);
      if (inner) {
        snprintf(head, sizeof head, "not the start of a block: %" PRIuPTR " bytes into a live block (",
                 address - std::prev(after)->first);
        problem += head + DescribeBlock(std::prev(after)->second) + ")";
      } else {
        problem += "not a pool block";
      }
    }
  }
  Violation("%s", problem.c_str());
  return false;
}

}  // namespace

// ---------------------------------------------------------------------------
namespace internal {

void* PoolAllocate(POOL_TYPE type, size_t bytes, ULONG tag, uintptr_t site) {
  const bool paged = IsPagedType(type);
  Pool& pool = ThePool();
  bool fail = false;
  uint64_t sequence;
  {
    std::lock_guard<std::mutex> guard(pool.lock);
    sequence = ++pool.attempts;
    if (site != 0 && pool.siteSet.insert(site).second) pool.sites.push_back(site);
    if (pool.failAt == sequence) {
      pool.failAt = 0;
      fail = true;
    }
    if (pool.failTags.count(tag) != 0 || pool.failSites.count(site) != 0) fail = true;
    if (fail) pool.stats.failures++;
  }
  // The IRQL rule is checked even for an allocation that is made to fail.
  if (!RequireIrql(paged ? APC_LEVEL : DISPATCH_LEVEL, paged ? "ExAllocatePoolWithTag(PagedPool)"
                                                              : "ExAllocatePoolWithTag(NonPagedPool)"))
    return nullptr;
  if (fail) return nullptr;

  void* p = std::malloc(bytes != 0 ? bytes : 1);
  if (p == nullptr) return nullptr;
  memset(p, kFreshFill, bytes);
  const int64_t now = sched::Now();
  {
    std::lock_guard<std::mutex> guard(pool.lock);
    const uintptr_t address = reinterpret_cast<uintptr_t>(p);
    pool.freed.erase(address);  // the heap reused the address; stale history would mislead
    pool.live[address] = Block{bytes, tag, type, site, sequence, now};
    pool.stats.allocations++;
    pool.stats.outstanding++;
    pool.stats.bytesOutstanding += bytes;
  }
  return p;
}

void PoolFree(void* p, const char* what) {
  const uintptr_t address = reinterpret_cast<uintptr_t>(p);
  size_t size = 0;
  {
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.lock);
    auto it = pool.live.find(address);
    if (it != pool.live.end()) size = it->second.size;
  }
  if (size != 0) CheckFreedRange(p, size);
  if (!Unregister(p, what, nullptr, &size)) return;
  memset(p, kFreedFill, size);
  std::free(p);
}

size_t PoolBlockSize(const void* p) {
  Pool& pool = ThePool();
  std::lock_guard<std::mutex> guard(pool.lock);
  auto it = pool.live.find(reinterpret_cast<uintptr_t>(p));
  return it == pool.live.end() ? 0 : it->second.size;
}

void ResetPool() {
  Pool& pool = ThePool();
  std::lock_guard<std::mutex> guard(pool.lock);
  for (auto& [address, block] : pool.live) std::free(reinterpret_cast<void*>(address));
  pool.live.clear();
  pool.freed.clear();
  pool.freedOrder.clear();
  pool.stats = pool::Stats{};
  pool.attempts = 0;
  pool.failAt = 0;
  pool.failTags.clear();
  pool.failSites.clear();
  pool.sites.clear();
  pool.siteSet.clear();
}

}  // namespace internal

// ---------------------------------------------------------------------------
namespace pool {

Stats GetStats() {
  Pool& pool = ThePool();
  std::lock_guard<std::mutex> guard(pool.lock);
  return pool.stats;
}

uint64_t Outstanding(ULONG tag) {
  Pool& pool = ThePool();
  std::lock_guard<std::mutex> guard(pool.lock);
  if (tag == 0) return pool.live.size();
  return std::count_if(pool.live.begin(), pool.live.end(), [tag](const auto& e) { return e.second.tag == tag; });
}

std::string LeakReport() {
  Pool& pool = ThePool();
  std::map<std::string, std::vector<std::pair<uintptr_t, Block>>> byTag;
  {
    std::lock_guard<std::mutex> guard(pool.lock);
    for (const auto& [address, block] : pool.live) byTag[TagName(block.tag)].emplace_back(address, block);
  }
  std::string report;
  for (auto& [tag, blocks] : byTag) {
    std::sort(blocks.begin(), blocks.end(),
              [](const auto& a, const auto& b) { return a.second.sequence < b.second.sequence; });
    size_t bytes = 0;
    for (const auto& b : blocks) bytes += b.second.size;
    char line[128];
    snprintf(line, sizeof line, "%s: %zu block%s, %zu bytes\n", tag.c_str(), blocks.size(),
             blocks.size() == 1 ? "" : "s", bytes);
    report += line;
    for (const auto& [address, block] : blocks) {
      snprintf(line, sizeof line, "  0x%" PRIxPTR ": %zu bytes, %s, allocation #%" PRIu64 " at t=%" PRId64 " from ",
               address, block.size, PoolTypeName(block.type), block.sequence, block.time);
      report += line + DescribeSite(block.site) + "\n";
    }
  }
  return report;
}

std::string TagName(ULONG tag) {
  std::string name;
  for (int i = 0; i < 4; ++i) {
    const unsigned char c = static_cast<unsigned char>(tag >> (8 * i));
    if (c >= 0x20 && c < 0x7F) {
      name += static_cast<char>(c);
    } else {
      char esc[8];
      snprintf(esc, sizeof esc, "\\x%02X", c);
      name += esc;
    }
  }
  return name;
}

void FailNth(uint64_t n) {
  Pool& pool = ThePool();
  std::lock_guard<std::mutex> guard(pool.lock);
  pool.failAt = n == 0 ? 0 : pool.attempts + n;
}

void FailTag(ULONG tag) {
  Pool& pool = ThePool();
  std::lock_guard<std::mutex> guard(pool.lock);
  pool.failTags.insert(tag);
}

void FailSite(uintptr_t site) {
  Pool& pool = ThePool();
  std::lock_guard<std::mutex> guard(pool.lock);
  pool.failSites.insert(site);
}

void ClearFaults() {
  Pool& pool = ThePool();
  std::lock_guard<std::mutex> guard(pool.lock);
  pool.failAt = 0;
  pool.failTags.clear();
  pool.failSites.clear();
}

uint64_t AllocationCount() {
  Pool& pool = ThePool();
  std::lock_guard<std::mutex> guard(pool.lock);
  return pool.attempts;
}

std::vector<uintptr_t> SitesSeen() {
  Pool& pool = ThePool();
  std::lock_guard<std::mutex> guard(pool.lock);
  return pool.sites;
}

}  // namespace pool
}  // namespace host

// ---------------------------------------------------------------------------
// The ntoskrnl routines.

HOST_EXTERN_C DECLSPEC_NOINLINE PVOID ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T bytes, ULONG tag) {
  return host::internal::PoolAllocate(type, bytes, tag, HOST_CALLER_SITE());
}

HOST_EXTERN_C DECLSPEC_NOINLINE PVOID ExAllocatePool(POOL_TYPE type, SIZE_T bytes) {
  return host::internal::PoolAllocate(type, bytes, host::pool::MakeTag("None"), HOST_CALLER_SITE());
}

HOST_EXTERN_C void ExFreePool(PVOID p) { host::internal::PoolFree(p, "ExFreePool"); }

HOST_EXTERN_C void ExFreePoolWithTag(PVOID p, ULONG tag) {
  size_t size = host::internal::PoolBlockSize(p);
  if (size != 0) host::internal::CheckFreedRange(p, size);
  if (!host::Unregister(p, "ExFreePoolWithTag", &tag, &size)) return;
  memset(p, host::kFreedFill, size);
  std::free(p);
}
