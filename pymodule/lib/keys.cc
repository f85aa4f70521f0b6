#include "pymodule/lib/keys.h"

#include <utility>

namespace quillscore::py {

const Keys* keys() {
  static Keys k{};
  static bool ready = false;
  if (!ready) {
    const std::pair<PyObject**, const char*> table[] = {
        {&k.size, "size"},
        {&k.counts, "counts"},
        {&k.image_id, "image_id"},
        {&k.category_id, "category_id"},
        {&k.id, "id"},
        {&k.score, "score"},
        {&k.bbox, "bbox"},
        {&k.area, "area"},
        {&k.iscrowd, "iscrowd"},
        {&k.num_keypoints, "num_keypoints"},
        {&k.keypoints, "keypoints"},
        {&k.segmentation, "segmentation"},
    };
    for (const auto& [slot, text] : table) {
      if (!*slot) *slot = PyUnicode_InternFromString(text);
      if (!*slot) return nullptr;
    }
    ready = true;
  }
  return &k;
}

}  // namespace quillscore::py
