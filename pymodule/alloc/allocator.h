// The one allocation path of the module's own memory. Built with
// QUILLSCORE_ALLOC_STATS it keeps exact counters; otherwise it is a plain
// pass-through to the C library with no counting cost at all.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillscore::alloc {

struct Stats {
  uint64_t live_bytes, peak_bytes, total_allocated_bytes, allocations, frees;
};

// These abort the process with "memory allocation of {} bytes failed" when
// the C library has no memory left.
void* allocate(size_t size, size_t align);
void* allocate_zeroed(size_t size, size_t align);
void* reallocate(void* p, size_t old_size, size_t new_size, size_t align);
void deallocate(void* p, size_t size, size_t align);

// Like allocate_zeroed but returns null instead of aborting, for buffers
// whose size the caller chose (a decoded mask stack, say).
void* try_allocate_zeroed(size_t size, size_t align);

// Whether this build counts, a snapshot of the counters, and a reset of the
// high-water mark to the current live figure.
bool counting();
Stats snapshot();
void reset_peak();

}  // namespace quillscore::alloc
