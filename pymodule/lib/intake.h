// Reading COCO annotation dicts into the engine's column-stored sets.
#pragma once

#include "pymodule/platform.h"

#include <cstdint>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/eval/model.h"
#include "pymodule/lib/mask_pipeline.h"

namespace quillscore::py {

enum class IouKind { kSegm, kBbox, kKeypoints, kBoundary };

inline bool needs_masks(IouKind k) { return k == IouKind::kSegm || k == IouKind::kBoundary; }

struct LookupTables {
  std::unordered_map<int64_t, uint32_t> images;      // id -> position in img_ids
  std::unordered_map<int64_t, uint32_t> categories;  // id -> position in cat_ids
  std::unordered_map<int64_t, std::pair<uint32_t, uint32_t>> sizes;  // id -> (h, w)
};

// Keypoint lists as read, before the count per annotation is known.
struct RawKeypoints {
  std::vector<double> values;
  std::vector<std::pair<size_t, size_t>> spans;  // (offset, length) per annotation
};

// Everything the reading of one side shares with the pipeline.
struct IntakeContext {
  IouKind kind;
  const LookupTables& tables;
  JobBatch& batch;
  BatchChannel* channel;  // null for kinds without masks
  ReadCounters& counters;
};

// Reads `list` into `set` (ground truth when `is_gt`). Returns false with the
// first error set as a Python exception.
bool read_annotations(PyObject* list, bool is_gt, IntakeContext& ctx, eval::AnnotationSet& set,
                      RawKeypoints& keypoints);

// Sends the batch being gathered to the mask worker, waiting while its
// channel is full. False with the error set when the worker has stopped or a
// signal handler raised.
bool send_batch(IntakeContext& ctx);

// Lays the keypoint lists of both sides out as count * 3 values per
// annotation; absent lists become zeros (nothing visible). False with
// ValueError when a list has another length.
bool finish_keypoints(RawKeypoints& gt_raw, RawKeypoints& dt_raw, eval::Keypoints& gt,
                      eval::Keypoints& dt);

}  // namespace quillscore::py
