#pragma once

#include "pymodule/platform.h"

#include <span>

namespace quillscore::py {

// load_json, parse_json_only, read_file_only and read_file, in registration
// order.
std::span<PyMethodDef> json_functions();

}  // namespace quillscore::py
