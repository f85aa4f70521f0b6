#pragma once

#include "pymodule/platform.h"

#include <span>

namespace quillscore::py {

// alloc_stats and reset_alloc_peak, in registration order.
std::span<PyMethodDef> alloc_functions();

}  // namespace quillscore::py
