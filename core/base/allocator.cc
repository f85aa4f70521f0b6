#include "core/base/allocator.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef QUILLSCORE_ALLOC_STATS
#include <algorithm>
#include <atomic>
#endif

namespace quillscore::alloc {
namespace {

// malloc already aligns to 16 bytes on the platforms we build for.
constexpr size_t kMallocAlign = 16;

bool needs_memalign(size_t size, size_t align) { return align > kMallocAlign || align > size; }

void* raw_allocate(size_t size, size_t align, bool zeroed) {
  if (size == 0) size = 1;  // a unique pointer, never a null "success"
  if (!needs_memalign(size, align)) return zeroed ? std::calloc(size, 1) : std::malloc(size);
  void* p = nullptr;
  if (posix_memalign(&p, align < 8 ? 8 : align, size) != 0) return nullptr;
  if (zeroed) std::memset(p, 0, size);
  return p;
}

void* raw_reallocate(void* p, size_t old_size, size_t new_size, size_t align) {
  if (!needs_memalign(new_size, align)) return std::realloc(p, new_size);
  void* q = raw_allocate(new_size, align, false);
  if (!q) return nullptr;
  std::memcpy(q, p, old_size < new_size ? old_size : new_size);
  std::free(p);
  return q;
}

#ifdef QUILLSCORE_ALLOC_STATS
std::atomic<uint64_t> g_live{0}, g_peak{0}, g_total{0}, g_allocations{0}, g_frees{0};

void count_allocation(size_t size) {
  const uint64_t live = g_live.fetch_add(size, std::memory_order_relaxed) + size;
  uint64_t peak = g_peak.load(std::memory_order_relaxed);
  while (live > peak && !g_peak.compare_exchange_weak(peak, live, std::memory_order_relaxed)) {
  }
  g_total.fetch_add(size, std::memory_order_relaxed);
  g_allocations.fetch_add(1, std::memory_order_relaxed);
}

void count_free(size_t size) {
  g_live.fetch_sub(size, std::memory_order_relaxed);
  g_frees.fetch_add(1, std::memory_order_relaxed);
}
#else
void count_allocation(size_t) {}
void count_free(size_t) {}
#endif

}  // namespace

AllocationFailure::AllocationFailure(size_t size) noexcept : size_(size) {
  std::snprintf(message_, sizeof message_, "memory allocation of %zu bytes failed", size);
}

void* try_allocate(size_t size, size_t align) noexcept {
  void* p = raw_allocate(size, align, false);
  if (p) count_allocation(size);
  return p;
}

void* allocate(size_t size, size_t align) {
  void* p = try_allocate(size, align);
  if (!p) throw AllocationFailure(size);
  return p;
}

void* allocate_zeroed(size_t size, size_t align) {
  void* p = raw_allocate(size, align, true);
  if (!p) throw AllocationFailure(size);
  count_allocation(size);
  return p;
}

// A reallocation counts as a free of the old block and a new allocation.
void* reallocate(void* p, size_t old_size, size_t new_size, size_t align) {
  void* q = raw_reallocate(p, old_size, new_size, align);
  if (!q) throw AllocationFailure(new_size);
  count_free(old_size);
  count_allocation(new_size);
  return q;
}

void deallocate(void* p, size_t size, size_t) {
  if (!p) return;
  std::free(p);
  count_free(size);
}

#ifdef QUILLSCORE_ALLOC_STATS
bool counting() { return true; }
Stats snapshot() {
  return {g_live.load(), g_peak.load(), g_total.load(), g_allocations.load(), g_frees.load()};
}
void reset_peak() { g_peak.store(g_live.load()); }
#else
bool counting() { return false; }
Stats snapshot() { return {0, 0, 0, 0, 0}; }
void reset_peak() {}
#endif

}  // namespace quillscore::alloc
