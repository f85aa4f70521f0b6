#pragma once

#include "pymodule/platform.h"

#include <span>

namespace quillscore::py {

// The mask toolkit's functions, in registration order.
std::span<PyMethodDef> mask_functions();

}  // namespace quillscore::py
