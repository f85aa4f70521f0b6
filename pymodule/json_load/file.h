// Whole-file reads into one owned buffer. Interpreter-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quillscore::json {

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

 private:
  friend struct FileReading;
  void release();

  uint8_t* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
  size_t align_ = 0;
};

// Why a read failed: an operating-system error number, or a NUL byte in the
// path (found before any system call).
struct FileError {
  int os_error = 0;
  bool nul_in_path = false;
  // "No such file or directory (os error 2)", or
  // "file name contained an unexpected NUL byte".
  std::string message() const;
};

// Opens `path`, takes its size from the file's metadata as the initial
// capacity and reads to end of file (retrying reads interrupted by signals,
// growing if the file turns out longer). No memory mapping.
bool read_whole_file(std::string_view path, FileBuffer& out, FileError& err);

}  // namespace quillscore::json
