// The engine's results as Python objects: arrays handed over without copying.
#pragma once

#include "pymodule/platform.h"

#include <optional>
#include <vector>

#include "core/eval/confusion.h"
#include "core/eval/inspect.h"
#include "core/eval/instances.h"
#include "core/eval/model.h"
#include "core/eval/operating_points.h"

namespace quillscore::py {

// {"counts", "precision", "recall", "scores"[, "evalImgs"]}.
PyObject* run_result(eval::AccumulatedResult&& result, bool with_records);

// (detections, ground_truths), each a dict of equal-length columns.
PyObject* verdict_columns(eval::Verdicts&& verdicts);

// (detections, ground_truths), each a dict of columns: "image_id",
// "category_id", "id", "score", "area", "iscrowd", "label" of one entry per
// row, "partner", "iou" and "ignore" of one per row and threshold.
PyObject* instance_columns(eval::InstanceTable&& table);

// One per-image record as the COCO API's dict, "aRng" holding the area
// range's index; `t` is the number of IoU thresholds.
PyObject* record_dict(const eval::EvalImageRecord& r, size_t t);

// One pair's similarity matrix as a float64 array, [] where it has none.
PyObject* similarity_array(std::optional<eval::PairMatrix>&& m);

// {(image id, category id): matrix or []} over every listed image and
// category slot (-1 for pooled categories), image by image.
PyObject* similarity_dict(const eval::EvalParams& p,
                          std::vector<std::vector<eval::PairMatrix>>&& per_slot);

// (rows, best): each a dict of equal-length columns, the rows' keyed
// category_id, score, tp, fp, fn, precision, recall and f1, the best F1
// rows' category_id, score, precision, recall and f1.
PyObject* operating_point_columns(eval::OperatingPointsResult&& result);

// (num_gt, num_dt): the counts per category slot as two int64 arrays.
PyObject* slot_count_columns(eval::SlotCounts&& counts);

// The (K+1) x (K+1) int64 table.
PyObject* confusion_array(eval::ConfusionMatrix&& matrix);

}  // namespace quillscore::py
