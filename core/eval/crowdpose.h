// CrowdPose keypoint evaluation: the COCO keypoint protocol (same similarity,
// matching and accumulation) on inputs prepared the way that benchmark scores
// them.
#pragma once

#include "core/eval/model.h"

namespace quillscore::eval {

// Prepares both sides of a keypoint evaluation for CrowdPose scoring:
// - a detection none of whose keypoint confidences is above 0 takes no part
//   (it is not ranked, takes no place under the detection cap and counts as
//   nothing), as the benchmark drops such results before evaluating;
// - without `use_area`, each ground truth's area (its keypoint scale and the
//   size its area range is judged by) is keypoint_box_area of its box, since
//   CrowdPose annotates no mask area.
// Throws InternalError when the detections are not keypoint sets.
void prepare_crowdpose(AnnotationSet& gt, AnnotationSet& dt, bool use_area);

// Whether one detection's keypoints (3 values per point) hold a confidence
// above 0; NaN is not above 0.
bool has_confident_keypoint(const Keypoints& kp, size_t detection);

}  // namespace quillscore::eval
