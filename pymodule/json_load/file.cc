#include "pymodule/json_load/file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "pymodule/alloc/allocator.h"

namespace quillscore::json {

// Large buffers are aligned to, and sized in, 2 MiB huge pages and marked for
// the kernel's transparent huge pages: a fresh 4 KiB-paged buffer costs one
// page fault per 4 KiB filled, which takes longer than the copy out of the
// page cache, and the parse that follows also runs with fewer TLB misses.
constexpr size_t kHugePage = size_t{2} << 20;
constexpr size_t kHugeFrom = 4 * kHugePage;

struct FileReading {
  static void reserve(FileBuffer& b, size_t want) {
    size_t align = 16;
    size_t capacity = want < 64 ? 64 : want;
    if (capacity >= kHugeFrom) {
      align = kHugePage;
      capacity = (capacity + kHugePage - 1) & ~(kHugePage - 1);
    }
    if (!b.data_) {
      b.data_ = static_cast<uint8_t*>(alloc::allocate(capacity, align));
    } else {
      const size_t old_align = b.align_;
      if (old_align != align) {
        auto* fresh = static_cast<uint8_t*>(alloc::allocate(capacity, align));
        std::memcpy(fresh, b.data_, b.size_);
        alloc::deallocate(b.data_, b.capacity_, old_align);
        b.data_ = fresh;
      } else {
        b.data_ = static_cast<uint8_t*>(alloc::reallocate(b.data_, b.capacity_, capacity, align));
      }
    }
    if (align == kHugePage) madvise(b.data_, capacity, MADV_HUGEPAGE);
    b.capacity_ = capacity;
    b.align_ = align;
  }

  static bool read_to_end(int fd, size_t hint, FileBuffer& b, int& os_error) {
    // One byte beyond the expected size, so that reaching end of file needs
    // no growth when the metadata was right.
    reserve(b, hint + 1);
    for (;;) {
      if (b.size_ == b.capacity_) reserve(b, b.capacity_ * 2);
      const ssize_t n = ::read(fd, b.data_ + b.size_, b.capacity_ - b.size_);
      if (n > 0) {
        b.size_ += static_cast<size_t>(n);
      } else if (n == 0) {
        return true;
      } else if (errno != EINTR) {
        os_error = errno;
        return false;
      }
    }
  }
};

FileBuffer::FileBuffer(FileBuffer&& o) noexcept
    : data_(std::exchange(o.data_, nullptr)),
      size_(std::exchange(o.size_, 0)),
      capacity_(std::exchange(o.capacity_, 0)),
      align_(std::exchange(o.align_, 0)) {}

FileBuffer& FileBuffer::operator=(FileBuffer&& o) noexcept {
  if (this != &o) {
    release();
    data_ = std::exchange(o.data_, nullptr);
    size_ = std::exchange(o.size_, 0);
    capacity_ = std::exchange(o.capacity_, 0);
    align_ = std::exchange(o.align_, 0);
  }
  return *this;
}

FileBuffer::~FileBuffer() { release(); }

void FileBuffer::release() {
  if (data_) alloc::deallocate(data_, capacity_, align_);
  data_ = nullptr;
  size_ = capacity_ = align_ = 0;
}

std::string FileError::message() const {
  if (nul_in_path) return "file name contained an unexpected NUL byte";
  std::string s = std::strerror(os_error);
  s += " (os error ";
  s += std::to_string(os_error);
  s += ')';
  return s;
}

bool read_whole_file(std::string_view path, FileBuffer& out, FileError& err) {
  err = FileError{};
  if (path.find('\0') != std::string_view::npos) {
    err.nul_in_path = true;
    return false;
  }
  const std::string cpath(path);
  int fd;
  do {
    fd = ::open(cpath.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    err.os_error = errno;
    return false;
  }
  struct stat st;
  size_t hint = 0;
  if (::fstat(fd, &st) == 0 && st.st_size > 0) hint = static_cast<size_t>(st.st_size);

  FileBuffer b;
  const bool ok = FileReading::read_to_end(fd, hint, b, err.os_error);
  ::close(fd);
  if (ok) out = std::move(b);
  return ok;
}

}  // namespace quillscore::json
