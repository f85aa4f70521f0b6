#include <chrono>

#include "core/eval/model.h"
#include "core/pool/pool.h"
#include "core/rle/codec.h"
#include "core/rle/ops.h"

namespace quillscore::eval {
namespace {

// The extents of masks 0..n-1, extent(i) giving each one's.
template <class ExtentOf>
MaskExtents extents_of(size_t n, ExtentOf extent) {
  MaskExtents f;
  f.boxes.resize(n);
  f.areas.resize(n);
  pool::parallel_chunks(n, [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) {
      const rle::RunExtent e = extent(i);
      const Box b = e.box();
      for (size_t k = 0; k < 4; ++k) f.boxes[i][k] = static_cast<uint32_t>(b[k]);
      f.areas[i] = e.area();
    }
  });
  return f;
}

MaskExtents extents_of(const std::vector<rle::Rle>& masks) {
  return extents_of(masks.size(), [&](size_t i) { return rle::extent_of(masks[i]); });
}

void keep_mask_extents(Geometry& g) {
  if (auto* m = std::get_if<Masks>(&g)) {
    // A reader that decoded packed masks on the way may have kept them.
    if (m->extents.areas.size() == m->size() && m->extents.boxes.size() == m->size()) return;
    m->extents = m->packed.text ? extents_of(m->packed.size(), [&](size_t i) { return m->packed.extent(i); })
                                : extents_of(m->masks);
  } else if (auto* b = std::get_if<BoundaryMasks>(&g)) {
    b->extents = extents_of(b->masks);
    b->band_extents = extents_of(b->bands);
  }
}

}  // namespace

rle::Rle PackedMasks::decode(size_t i) const {
  return rle::counts_from_string(counts(i), height[i], width[i]);
}

rle::RunExtent PackedMasks::extent(size_t i) const {
  return rle::extent_from_string(counts(i), height[i], width[i]);
}

std::unique_ptr<EngineState> make_engine_state(EvalParams params, AnnotationSet gt,
                                               AnnotationSet dt) {
  auto st = std::make_unique<EngineState>();
  st->params = std::move(params);
  st->gt = std::move(gt);
  st->dt = std::move(dt);
  st->slots = st->params.slots();
  keep_mask_extents(st->gt.geometry);
  keep_mask_extents(st->dt.geometry);
  const auto start = std::chrono::steady_clock::now();
  // The two sides' indexes at once, unless they are small (a streamed
  // batch): waking a worker for a few microseconds costs more than that.
  constexpr size_t kRowsForTwoThreads = size_t{1} << 16;
  const bool small = st->gt.image_index.size() + st->dt.image_index.size() < kRowsForTwoThreads;
  pool::parallel_chunks(2, [&](size_t begin, size_t end) {
    for (size_t side = begin; side < end; ++side) {
      const AnnotationSet& set = side == 0 ? st->gt : st->dt;
      (side == 0 ? st->gt_index : st->dt_index) =
          group::build_group_index(set.image_index, set.category_index, st->slots, st->params.use_cats);
    }
  }, small ? 2 : 1);
  st->timings.group_index += static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start)
          .count());
  return st;
}

}  // namespace quillscore::eval
