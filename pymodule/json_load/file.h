// Whole-file reads into one owned buffer. Interpreter-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quillscore::py {

// The bytes of one file, owned; released with the object, or moved on to a
// longer-lived owner.
class FileBuffer {
 public:
  FileBuffer() = default;
  FileBuffer(FileBuffer&& o) noexcept;
  FileBuffer& operator=(FileBuffer&& o) noexcept;
  FileBuffer(const FileBuffer&) = delete;
  FileBuffer& operator=(const FileBuffer&) = delete;
  ~FileBuffer();

  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  std::string_view view() const { return {reinterpret_cast<const char*>(data_), size_}; }
  // True when reading stopped at a NUL byte from a stream (a pipe or a
  // device), which is then the last byte held. No JSON text contains one,
  // so every parse of these bytes fails at or before it.
  bool cut_at_nul() const { return cut_at_nul_; }

 private:
  friend struct FileReading;
  void release();

  uint8_t* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
  size_t align_ = 0;
  bool cut_at_nul_ = false;
};

// Why a read failed: an operating-system error number, a NUL byte in the
// path (found before any system call), or the caller's stop check.
struct FileError {
  int os_error = 0;
  bool nul_in_path = false;
  bool stopped = false;
  // "No such file or directory (os error 2)", or
  // "file name contained an unexpected NUL byte". (A stopped read has
  // recorded its own reason with the caller.)
  std::string message() const;
};

// Asked on the reading thread about every kStopCheckIntervalMs while a read
// waits for a slow source or runs on; true abandons the read.
using StopCheck = bool (*)();
constexpr int kStopCheckIntervalMs = 100;

// Opens `path` and reads it to end of file. Regular files: the size from the
// file's metadata is the initial capacity, read with plain reads (retried
// after signals, growing if the file turns out longer). Pipes, FIFOs,
// sockets and character devices are opened without waiting for a writer and
// read as data arrives; such a stream ends at end of file or just after its
// first NUL byte, so an endless device of zeros or noise costs one read.
// No memory mapping.
bool read_whole_file(std::string_view path, FileBuffer& out, FileError& err,
                     StopCheck stop = nullptr);

}  // namespace quillscore::py
