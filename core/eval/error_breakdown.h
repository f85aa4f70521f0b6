// The error breakdown of tidecv 1.0.1: every detection that is not a true
// positive at IoU 0.5 is a classification, localisation, "both", duplicate or
// background error, every unmatched ground truth nothing else explains is a
// miss, and each error type is weighed by how much its own AP@50 rises when
// that type alone is fixed.
//
// tidecv's rules differ from COCO's evaluation in ways that change numbers,
// so this has a matching pass of its own: the best 100 detections per image
// over all categories (not per category), no area ranges and no ignore flags,
// equal IoU going to the earlier ground truth, a crowd region absorbing a
// detection only above the foreground IoU, and its own AP@50 (recall points
// i / 100, classes with detections but no ground truth counted as AP 0).
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "core/eval/model.h"

namespace quillscore::eval {

// Error types in tidecv's report order.
enum ErrorType : uint8_t { kCls = 0, kLoc, kBoth, kDupe, kBkg, kMiss };
inline constexpr size_t kErrorTypes = 6;

struct ErrorBreakdownOptions {
  // Image ids in the order the evaluation walks them (the ground truth's
  // image list): it decides which of two equal scores comes first. Images
  // the parameters do not list are passed over, and so is a repeated id.
  std::span<const int64_t> image_order;
  double foreground_iou = 0.5;
  double background_iou = 0.1;
  uint64_t max_dets = 100;  // per image, all categories together
  // tidecv orders equal scores differently once an error is fixed (former
  // errors before true positives), so that a fix that changes nothing can
  // lower the AP. Off: the order never changes; on: tidecv's numbers.
  bool tidecv_ties = false;
};

struct ErrorBreakdown {
  double ap = 0.0;                           // AP@50 in percent
  std::array<double, kErrorTypes> main{};    // dAP per ErrorType, never below 0
  double false_pos = 0.0;                    // dAP with every false positive ranked last
  double false_neg = 0.0;                    // dAP with every missed ground truth forgiven
  std::array<uint64_t, kErrorTypes> counts{};
};

// What the breakdown made of each annotation, per row of the detection and
// ground-truth sets: an ErrorType, kLabelTruePositive (a detection that is a
// true positive, a ground truth one of them found), or kLabelNone where the
// breakdown did not look at it (a detection beyond the first max_dets of its
// image, a crowd region, an unlisted image or category). A ground truth that
// is neither found nor missed is labelled with the error (kCls or kLoc) of
// the detection whose fix would claim it.
inline constexpr uint8_t kLabelTruePositive = kErrorTypes;
inline constexpr uint8_t kLabelNone = 255;
struct ErrorLabels {
  std::vector<uint8_t> detections;
  std::vector<uint8_t> ground_truths;
};

ErrorLabels error_labels(const EngineState& st, const ErrorBreakdownOptions& options);

// The breakdown over the images of options.image_order that the parameters
// list and the categories they list, by the evaluation's own similarity (box,
// mask or boundary IoU). Throws InputError for keypoints, which have no such
// breakdown.
ErrorBreakdown error_breakdown(const EngineState& st, const ErrorBreakdownOptions& options);

}  // namespace quillscore::eval
