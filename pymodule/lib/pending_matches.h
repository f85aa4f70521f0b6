// A batch's matching made on a runner thread while the caller goes on
// (Evaluator.start_matches), collected as a MatchState.
#pragma once

#include "pymodule/platform.h"

#include "core/eval/model.h"

namespace quillscore::py {

// Starts making the streamed matching of `st`, the state of `evaluator`,
// whose borrow count is `*borrows` (see borrow.h): the evaluator is kept, and
// shared-borrowed, until the matching is collected. `parallel` false keeps the
// work on one thread. Null with an exception set on failure.
PyObject* start_pending_matches(PyObject* evaluator, eval::EngineState* st, Py_ssize_t* borrows,
                                double boundary_dilation, bool parallel);

}  // namespace quillscore::py
