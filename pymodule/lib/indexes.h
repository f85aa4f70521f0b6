#pragma once

#include "pymodule/platform.h"

#include <span>

namespace quillscore::py {

// index_annotations and prepare_bbox_results, in registration order.
std::span<PyMethodDef> index_functions();

}  // namespace quillscore::py
