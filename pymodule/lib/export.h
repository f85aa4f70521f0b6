// The engine's results as Python objects: arrays handed over without copying.
#pragma once

#include "pymodule/platform.h"

#include "core/eval/model.h"

namespace quillscore::py {

// {"counts", "precision", "recall", "scores"[, "evalImgs"]}.
PyObject* run_result(eval::AccumulatedResult&& result, bool with_records);

// (detections, ground_truths), each a dict of equal-length columns.
PyObject* verdict_columns(eval::Verdicts&& verdicts);

}  // namespace quillscore::py
