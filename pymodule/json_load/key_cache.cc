#include "pymodule/json_load/key_cache.h"

#include <cstring>

namespace quillscore::py {

KeyCache::KeyCache(size_t initial_slots) : seed_(json::random_sip_key()) {
  if (initial_slots) slots_.assign(initial_slots, Slot{0, 0, 0, nullptr});
}

KeyCache::~KeyCache() {
  for (const Slot& s : slots_) Py_XDECREF(s.str);
}

PyObject* KeyCache::get(std::string_view key, bool ascii) {
  if (slots_.empty()) grow();
  const uint64_t hash = json::siphash13(seed_, key.data(), key.size());
  const size_t mask = slots_.size() - 1;
  for (size_t i = hash & mask;; i = (i + 1) & mask) {
    const Slot& s = slots_[i];
    if (!s.str) return insert(i, hash, key, ascii);
    if (s.hash == hash && s.length == key.size() &&
        std::memcmp(text_.data() + s.offset, key.data(), key.size()) == 0) {
      Py_INCREF(s.str);
      return s.str;
    }
  }
}

PyObject* KeyCache::insert(size_t slot, uint64_t hash, std::string_view key, bool ascii) {
  PyObject* str = str_from_utf8(key, ascii);
  if (!str) return nullptr;
  const size_t offset = text_.size();
  text_.insert(text_.end(), key.begin(), key.end());
  slots_[slot] = Slot{hash, offset, key.size(), str};
  Py_INCREF(str);  // one reference for the cache, one for the caller
  if (++count_ * 8 > slots_.size() * 7) grow();
  return str;
}

void KeyCache::grow() {
  std::vector<Slot> old = std::move(slots_);
  slots_.assign(old.empty() ? 8 : old.size() * 2, Slot{0, 0, 0, nullptr});
  const size_t mask = slots_.size() - 1;
  for (const Slot& s : old) {
    if (!s.str) continue;
    size_t i = s.hash & mask;
    while (slots_[i].str) i = (i + 1) & mask;
    slots_[i] = s;
  }
}

}  // namespace quillscore::py
