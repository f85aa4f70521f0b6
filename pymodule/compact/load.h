#pragma once

#include "pymodule/platform.h"

#include <span>

namespace quillscore::py {

// load_compact_bbox, load_compact_masks and load_compact_keypoints, the
// module's compact-storage functions.
std::span<PyMethodDef> compact_functions();

}  // namespace quillscore::py
