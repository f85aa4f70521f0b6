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
  // The key's slot, or the empty slot where it belongs.
  auto probe = [&] {
    const size_t mask = slots_.size() - 1;
    size_t i = hash & mask;
    for (; slots_[i].str; i = (i + 1) & mask) {
      const Slot& s = slots_[i];
      if (s.hash == hash && s.length == key.size() &&
          std::memcmp(text_.data() + s.offset, key.data(), key.size()) == 0) {
        break;
      }
    }
    return i;
  };
  size_t i = probe();
  if (slots_[i].str) {
    Py_INCREF(slots_[i].str);
    return slots_[i].str;
  }
  // Room for a new key is made before its str exists, so that a failed
  // allocation cannot strand a reference.
  if ((count_ + 1) * 8 > slots_.size() * 7) {
    grow();
    i = probe();
  }
  return insert(i, hash, key, ascii);
}

PyObject* KeyCache::insert(size_t slot, uint64_t hash, std::string_view key, bool ascii) {
  const size_t offset = text_.size();
  text_.insert(text_.end(), key.begin(), key.end());
  PyObject* str = str_from_utf8(key, ascii);
  if (!str) {
    text_.resize(offset);
    return nullptr;
  }
  slots_[slot] = Slot{hash, offset, key.size(), str};
  Py_INCREF(str);  // one reference for the cache, one for the caller
  ++count_;
  return str;
}

// The new table is built beside the old one, which stays whole if that fails.
void KeyCache::grow() {
  std::vector<Slot> fresh(slots_.empty() ? 8 : slots_.size() * 2, Slot{0, 0, 0, nullptr});
  const size_t mask = fresh.size() - 1;
  for (const Slot& s : slots_) {
    if (!s.str) continue;
    size_t i = s.hash & mask;
    while (fresh[i].str) i = (i + 1) & mask;
    fresh[i] = s;
  }
  slots_.swap(fresh);
}

}  // namespace quillscore::py
