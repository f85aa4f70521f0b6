// Box and mask IoU matrices with the crowd rule of the COCO protocol.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "core/rle/rle.h"

namespace quillscore::rle {

// out[d * n + g] = IoU of detection box d and ground-truth box g; a crowd
// ground truth (non-zero flag; positions past the flags are not crowd) divides
// by the detection's area instead of the union. Writes nothing if either list
// is empty.
void box_iou(std::span<const Box> dt, std::span<const Box> gt, std::span<const uint8_t> crowd,
             std::span<double> out);

// What a caller may already know of a list of masks: each one's bounding box
// (rle_bbox) and area (rle_area). A list of another length than its masks
// (empty, say) is worked out where needed.
struct MaskFacts {
  std::span<const Box> boxes;
  std::span<const uint32_t> areas;
};

// Makes detection mask d of a list that holds null for it: masks kept
// compressed are decoded only once a pair's boxes say they may overlap.
using MaskDecoder = std::function<Rle(size_t d)>;

// Mask IoU pair by pair, with the crowd rule, for lists of masks that live
// as long as it does: each mask's run list is built the first time a pair
// needs it and kept for every later pair. The masks' boxes and areas are
// taken from `facts` where given, else worked out once here. Null detection
// masks are made by `decode_dt` when first needed (their facts must be given).
class PairIou {
 public:
  PairIou(std::span<const Rle* const> dt, std::span<const Rle* const> gt,
          std::span<const uint8_t> crowd, MaskFacts dt_facts = {}, MaskFacts gt_facts = {},
          MaskDecoder decode_dt = {});
  ~PairIou();
  PairIou(const PairIou&) = delete;
  PairIou& operator=(const PairIou&) = delete;

  // The IoU of detection d and ground truth g: 0 where their boxes do not
  // overlap, -1 for masks of different sizes; with theta > 0, 0 too where the
  // IoU provably lies below theta, without walking the runs.
  double operator()(size_t d, size_t g, double theta);

 private:
  struct Lists;
  const Rle& dt_mask(size_t d);
  std::span<const Rle* const> dt_, gt_;
  MaskDecoder decode_dt_;
  std::span<const uint8_t> crowd_;
  std::vector<Box> own_dbox_, own_gbox_;
  std::vector<uint32_t> own_darea_, own_garea_;
  std::span<const Box> dbox_, gbox_;
  std::span<const uint32_t> darea_, garea_;
  std::unique_ptr<Lists> lists_;
};

// The matrix form, out[d * n + g], with one theta for every pair.
void rle_iou(std::span<const Rle* const> dt, std::span<const Rle* const> gt,
             std::span<const uint8_t> crowd, double theta, std::span<double> out,
             MaskFacts dt_facts = {}, MaskFacts gt_facts = {}, MaskDecoder decode_dt = {});

}  // namespace quillscore::rle
