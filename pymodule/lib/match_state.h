// The MatchState class: an evaluation's matching without its geometry,
// mergeable across image sets and storable as bytes.
#pragma once

#include "pymodule/platform.h"

#include "core/eval/stream.h"

namespace quillscore::py {

// The MatchState type, created once per process; null with an exception set
// on failure.
PyTypeObject* match_state_type();

// A new MatchState holding `state`; null with an exception set on failure.
PyObject* match_state_object(eval::StreamState&& state);

}  // namespace quillscore::py
