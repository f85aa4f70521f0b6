#include "core/eval/crowdpose.h"

#include "core/base/error.h"
#include "core/eval/keypoints.h"

namespace quillscore::eval {

bool has_confident_keypoint(const Keypoints& kp, size_t detection) {
  const size_t k = kp.count;
  if ((detection + 1) * 3 * k > kp.values.size()) {
    throw InternalError("detection keypoints out of bounds");
  }
  const double* v = kp.values.data() + detection * 3 * k;
  for (size_t i = 0; i < k; ++i) {
    if (v[3 * i + 2] > 0) return true;
  }
  return false;
}

void prepare_crowdpose(AnnotationSet& gt, AnnotationSet& dt, bool use_area) {
  const auto* kp = std::get_if<Keypoints>(&dt.geometry);
  if (kp == nullptr) throw InternalError("CrowdPose scoring needs keypoint detections");
  if (dt.image_index.size() != dt.size() || gt.boxes.size() != gt.size() ||
      gt.areas.size() != gt.size()) {
    throw InternalError("annotation columns differ in length");
  }
  // Checked before anything changes, so a fault leaves both sets as they were.
  std::vector<uint8_t> keep(dt.size());
  for (size_t i = 0; i < dt.size(); ++i) keep[i] = has_confident_keypoint(*kp, i);
  // An unlisted detection is left out of every group, as a detection of an
  // image the evaluation does not list is; its id keeps its place.
  for (size_t i = 0; i < dt.size(); ++i) {
    if (!keep[i]) dt.image_index[i] = kUnlisted;
  }
  if (!use_area) {
    for (size_t i = 0; i < gt.size(); ++i) gt.areas[i] = keypoint_box_area(gt.boxes[i]);
  }
}

}  // namespace quillscore::eval
