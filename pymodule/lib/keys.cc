#include "pymodule/lib/keys.h"

namespace quillscore::py {

const Keys* keys() {
  static Keys k{};
  static bool ready = false;
  if (!ready) {
    k.size = PyUnicode_InternFromString("size");
    k.counts = PyUnicode_InternFromString("counts");
    if (!k.size || !k.counts) return nullptr;
    ready = true;
  }
  return &k;
}

}  // namespace quillscore::py
