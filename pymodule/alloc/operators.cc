// Routes every C++ allocation of the extension through the module's
// allocation path. The linker's export list keeps these definitions private
// to the extension, so the interpreter and other libraries are unaffected.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <new>

#include "core/base/allocator.h"

namespace {

namespace qa = quillscore::alloc;

// The counting build needs the size at free time, and an unsized delete does
// not say it: keep it in a header in front of the block. The header is as
// large as the block's alignment so the payload stays aligned.
#ifdef QUILLSCORE_ALLOC_STATS
constexpr bool kHeader = true;
#else
constexpr bool kHeader = false;
#endif

// The alignment operator new owes an object of this size.
size_t natural_align(size_t size) {
  return size >= __STDCPP_DEFAULT_NEW_ALIGNMENT__ ? __STDCPP_DEFAULT_NEW_ALIGNMENT__
                                                  : std::bit_floor(size ? size : 1);
}

// A block for operator new, or null when the C library has none.
void* try_new_block(size_t size, size_t align) noexcept {
  if (!kHeader) return qa::try_allocate(size, align);
  const size_t head = align < 16 ? 16 : align;
  if (size > SIZE_MAX - head) return nullptr;
  auto* base = static_cast<std::byte*>(qa::try_allocate(size + head, head));
  if (!base) return nullptr;
  *reinterpret_cast<size_t*>(base + head - sizeof(size_t)) = size;
  return base + head;
}

// The throwing forms fail as every allocation of the module does, so that
// the work unwinds and the caller gets MemoryError.
void* new_block(size_t size, size_t align) {
  void* p = try_new_block(size, align);
  if (!p) throw qa::AllocationFailure(size);
  return p;
}

void delete_block(void* p, size_t align) {
  if (!p) return;
  if (!kHeader) {
    qa::deallocate(p, 0, align);
    return;
  }
  const size_t head = align < 16 ? 16 : align;
  auto* payload = static_cast<std::byte*>(p);
  const size_t size = *reinterpret_cast<size_t*>(payload - sizeof(size_t));
  qa::deallocate(payload - head, size + head, head);
}

}  // namespace

void* operator new(size_t size) { return new_block(size, natural_align(size)); }
void* operator new[](size_t size) { return new_block(size, natural_align(size)); }
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  return try_new_block(size, natural_align(size));
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
  return try_new_block(size, natural_align(size));
}
void* operator new(size_t size, std::align_val_t a) {
  return new_block(size, static_cast<size_t>(a));
}
void* operator new[](size_t size, std::align_val_t a) {
  return new_block(size, static_cast<size_t>(a));
}
void* operator new(size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
  return try_new_block(size, static_cast<size_t>(a));
}
void* operator new[](size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
  return try_new_block(size, static_cast<size_t>(a));
}

void operator delete(void* p) noexcept { delete_block(p, 16); }
void operator delete[](void* p) noexcept { delete_block(p, 16); }
void operator delete(void* p, size_t) noexcept { delete_block(p, 16); }
void operator delete[](void* p, size_t) noexcept { delete_block(p, 16); }
void operator delete(void* p, const std::nothrow_t&) noexcept { delete_block(p, 16); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { delete_block(p, 16); }
void operator delete(void* p, std::align_val_t a) noexcept {
  delete_block(p, static_cast<size_t>(a));
}
void operator delete[](void* p, std::align_val_t a) noexcept {
  delete_block(p, static_cast<size_t>(a));
}
void operator delete(void* p, size_t, std::align_val_t a) noexcept {
  delete_block(p, static_cast<size_t>(a));
}
void operator delete[](void* p, size_t, std::align_val_t a) noexcept {
  delete_block(p, static_cast<size_t>(a));
}
void operator delete(void* p, std::align_val_t a, const std::nothrow_t&) noexcept {
  delete_block(p, static_cast<size_t>(a));
}
void operator delete[](void* p, std::align_val_t a, const std::nothrow_t&) noexcept {
  delete_block(p, static_cast<size_t>(a));
}
