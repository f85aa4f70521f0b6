#pragma once

#include "pymodule/platform.h"

#include <span>
#include <string_view>

#include "pymodule/json_load/file.h"

namespace quillscore::py {

// load_json, parse_json_only and read_file_only, in registration order.
std::span<PyMethodDef> json_functions();

// Reads the file at `path` (UTF-8) whole; false with OSError set on
// failure: the system's text and " (os error N)", or the NUL-byte message.
bool read_path(std::string_view path, json::FileBuffer& out);

}  // namespace quillscore::py
