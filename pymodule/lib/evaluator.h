#pragma once

#include "pymodule/platform.h"

namespace quillscore::py {

// The Evaluator type, created once per process; null with an exception set
// if that fails.
PyTypeObject* evaluator_type();

}  // namespace quillscore::py
