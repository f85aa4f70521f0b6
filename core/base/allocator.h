// The one allocation path of the extension's own memory: the core's row
// buffers call it directly, and the module sends its file buffers, masks and
// every C++ allocation (pymodule/alloc/operators.cc) through it. Built with
// QUILLSCORE_ALLOC_STATS it keeps exact counters; otherwise it is a plain
// pass-through to the C library with no counting cost at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

namespace quillscore::alloc {

struct Stats {
  uint64_t live_bytes, peak_bytes, total_allocated_bytes, allocations, frees;
};

// What a failed allocation throws: the work in progress unwinds, and the
// binding boundary turns it into MemoryError with this message. Its text
// lives in the object itself, since there is no memory to build it in.
class AllocationFailure : public std::bad_alloc {
 public:
  explicit AllocationFailure(size_t size) noexcept;
  size_t size() const noexcept { return size_; }
  // "memory allocation of {size} bytes failed"
  const char* what() const noexcept override { return message_; }

 private:
  size_t size_;
  char message_[64];
};

// These throw AllocationFailure when the C library has no memory left; a
// failed reallocation leaves the old block as it was.
void* allocate(size_t size, size_t align);
void* allocate_zeroed(size_t size, size_t align);
void* reallocate(void* p, size_t old_size, size_t new_size, size_t align);
void deallocate(void* p, size_t size, size_t align);

// Like allocate but returns null on failure, for the non-throwing forms of
// operator new.
void* try_allocate(size_t size, size_t align) noexcept;

// Whether this build counts, a snapshot of the counters, and a reset of the
// high-water mark to the current live figure.
bool counting();
Stats snapshot();
void reset_peak();

}  // namespace quillscore::alloc
