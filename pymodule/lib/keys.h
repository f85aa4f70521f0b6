// Dict keys the module reads and writes, created once per process.
#pragma once

#include "pymodule/platform.h"

namespace quillscore::py {

struct Keys {
  PyObject* size;
  PyObject* counts;
};

// Interned key strings; null with an exception set if creating them failed.
const Keys* keys();

}  // namespace quillscore::py
