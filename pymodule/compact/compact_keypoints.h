// The annotation set of a column-stored keypoint side (a CompactKeypoints).
#pragma once

#include "core/eval/model.h"
#include "core/intake/keypoints.h"
#include "core/intake/positions.h"
#include "pymodule/compact/compact_bbox.h"

namespace quillscore::py {

// The records whose image and category are both listed in `tables`, in file
// order, with their keypoint lists appended to `raw` (laid out with the
// other side's once both are in). Records of a dataset file keep their ids,
// areas, crowd flags and "num_keypoints"; results get ids 1..N by file
// position and, as completing result dicts gives them, their boxes' areas
// when they carry boxes, else the box and area of their keypoints' extent.
eval::AnnotationSet compact_keypoint_set(const CompactData& data, bool is_gt,
                                         const intake::LookupTables& tables,
                                         intake::RawKeypoints& raw);

}  // namespace quillscore::py
