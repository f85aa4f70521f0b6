// The per-load key cache: every object key text of one load maps to one str
// object, so all dicts of the load share it (and its cached hash). Keys are
// not interned in the interpreter's table; sharing ends with the load.
#pragma once

#include "pymodule/platform.h"

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "core/json/siphash.h"

namespace quillscore::py {

class KeyCache {
 public:
  // Room for 112 keys (128 slots at a load factor of 7/8) before the first
  // growth, as the document loader wants; 0 starts with no table at all.
  static constexpr size_t kLoaderSlots = 128;

  explicit KeyCache(size_t initial_slots);
  KeyCache(const KeyCache&) = delete;
  KeyCache& operator=(const KeyCache&) = delete;
  ~KeyCache();

  // The str for a key's UTF-8 bytes (a new reference), created on first
  // sight; null with a Python exception set if creating it failed.
  PyObject* get(std::string_view key, bool ascii);

  size_t size() const { return count_; }

 private:
  struct Slot {
    uint64_t hash;
    size_t offset;  // of the key's bytes in text_
    size_t length;
    PyObject* str;  // strong; null for an empty slot
  };

  PyObject* insert(size_t slot, uint64_t hash, std::string_view key, bool ascii);
  void grow();

  json::SipKey seed_;
  std::vector<Slot> slots_;
  std::vector<char> text_;  // the cache's own copy of every key's bytes
  size_t count_ = 0;
};

// A str from UTF-8 bytes already known to be valid; `ascii` takes the
// one-byte-kind shortcut.
inline PyObject* str_from_utf8(std::string_view s, bool ascii) {
  if (ascii) {
    PyObject* o = PyUnicode_New(static_cast<Py_ssize_t>(s.size()), 127);
    if (o) std::memcpy(PyUnicode_1BYTE_DATA(o), s.data(), s.size());
    return o;
  }
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "strict");
}

}  // namespace quillscore::py
