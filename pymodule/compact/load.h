#pragma once

#include "pymodule/platform.h"

#include <span>

namespace quillscore::py {

// load_compact_bbox, the module's compact-storage function.
std::span<PyMethodDef> compact_functions();

}  // namespace quillscore::py
