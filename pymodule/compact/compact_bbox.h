// CompactBbox: box annotations held as typed rows plus the bytes of the file
// they were read from, and their conversion into the engine's annotation
// sets without a Python object per annotation.
#pragma once

#include "pymodule/platform.h"

#include "core/eval/model.h"
#include "core/intake/builder.h"
#include "core/intake/positions.h"
#include "core/json/records.h"
#include "pymodule/json_load/file_bytes.h"

namespace quillscore::py {

// What a CompactBbox holds; fixed once created, but for the snapshot, which
// its owner may release.
struct CompactData {
  SharedFile snapshot;  // the file as read; null once released
  json::Columns columns;
  bool results = false;  // read as a results file
  json::Geometry geometry = json::Geometry::kBox;  // kMask: a CompactMasks
};

// The CompactBbox type, and the CompactMasks and CompactKeypoints types of
// mask and keypoint files (the same rows with each record's segmentation or
// keypoints), each created once per process; null with an exception set if
// that fails.
PyTypeObject* compact_bbox_type();
PyTypeObject* compact_masks_type();
PyTypeObject* compact_keypoints_type();

// A new CompactBbox, CompactMasks or CompactKeypoints by `data.geometry`,
// taking over `data`; null with an exception set on failure.
PyObject* new_compact(CompactData&& data);

// Whether `o` is a CompactBbox (or CompactMasks), or an instance of a
// subclass. False without an exception when the type cannot be created:
// nothing can be an instance.
bool is_compact_bbox(PyObject* o);
bool is_compact_masks(PyObject* o);
bool is_compact_keypoints(PyObject* o);

// The rows of a CompactBbox, CompactMasks or CompactKeypoints (`o` must be one).
const CompactData& compact_data(PyObject* o);

// Whether every record gave a box (always for a CompactBbox).
bool boxes_complete(const CompactData& data);

// The annotation set of one side of a box evaluation: the records whose image
// and category are both listed in `tables`, in file order. When every record
// is kept the set shares the box rows; otherwise it owns copies of the kept
// ones. Detections from a dataset file keep their file ids, areas and crowd
// flags; ground truth from a results file gets ids 1..N by file position,
// areas w*h and no crowd.
eval::AnnotationSet compact_annotation_set(const CompactData& data, bool is_gt,
                                           const intake::LookupTables& tables);

// Record i as the intake's row: ground truth from a dataset file with its
// id, area (absent: the box's) and crowd flag, results with the defaults.
intake::Row compact_row(const CompactData& data, size_t i);

}  // namespace quillscore::py
