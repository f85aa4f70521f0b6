// The annotation set of a column-stored mask side (a CompactMasks): each kept
// record's segmentation rasterised at its image's size, in parallel, exactly
// as the dictionary route rasterises the same annotation.
#pragma once

#include "pymodule/platform.h"

#include "core/eval/model.h"
#include "core/group/group_index.h"
#include "core/intake/positions.h"
#include "pymodule/compact/compact_bbox.h"

namespace quillscore::py {

// The records whose image and category are both listed in `tables`, in file
// order, for a segm or boundary evaluation (`kind`, bands at `dilation`).
// Records of a dataset file keep their ids, areas and crowd flags; results get ids
// 1..N by file position, no crowd, and areas as completing result dicts gives
// them: their boxes' when the results carry boxes, else their masks'. A
// record whose image has no size is rasterised at its RLE's own, and a
// polygon there is the KeyError the dictionary route raises. False with the
// error set (that, or Ctrl-C while rasterising); `rasterise_ns` gets the
// wall time spent rasterising. `meets`, where given, marks the groups that
// hold a ground truth: a packed mask outside them gets its area alone, its
// box left to be read later (MaskExtents::kBoxLater).
bool compact_mask_set(const CompactData& data, bool is_gt, const intake::LookupTables& tables,
                      eval::IouType kind, double dilation, eval::AnnotationSet& out,
                      uint64_t& rasterise_ns, const group::GroupMarks* meets = nullptr);

}  // namespace quillscore::py
