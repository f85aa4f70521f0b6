// Reading COCO annotation dicts into the engine's column-stored sets: each
// dict becomes a row of the intake builder, and its mask job or keypoints.
#pragma once

#include "pymodule/platform.h"

#include "core/eval/model.h"
#include "core/intake/keypoints.h"
#include "core/intake/positions.h"
#include "pymodule/lib/mask_pipeline.h"

namespace quillscore::py {

// Everything the reading of one side shares with the pipeline.
struct IntakeContext {
  eval::IouType type;
  const intake::LookupTables& tables;
  JobBatch& batch;
  BatchChannel* channel;  // null for types without masks
  ReadCounters& counters;
};

// Reads `list` into `set` (ground truth when `is_gt`), one row per dict in
// list order, unlisted images and categories included. Returns false with
// the first error set as a Python exception.
bool read_annotations(PyObject* list, bool is_gt, IntakeContext& ctx, eval::AnnotationSet& set,
                      intake::RawKeypoints& keypoints);

// Sends the batch being gathered to the mask worker, waiting while its
// channel is full. False with the error set when the worker has stopped or a
// signal handler raised.
bool send_batch(IntakeContext& ctx);

// The KeyError of a mask that needs its image's size on an image that has
// none (a polygon or box, unlike an RLE, carries no size of its own).
// Always false.
bool no_image_size(int64_t image_id);

}  // namespace quillscore::py
