#include "core/intake/builder.h"

#include <atomic>
#include <utility>

#include "core/pool/pool.h"

#include "core/base/error.h"

namespace quillscore::intake {
namespace {

eval::Geometry empty_geometry(eval::IouType type) {
  switch (type) {
    case eval::IouType::kSegm: return eval::Masks{};
    case eval::IouType::kBoundary: return eval::BoundaryMasks{};
    case eval::IouType::kKeypoints: return eval::Keypoints{};
    case eval::IouType::kBbox: break;
  }
  return eval::Boxes{};
}

}  // namespace

SetBuilder::SetBuilder(const LookupTables& tables, eval::IouType type, Side side, Unlisted unlisted)
    : tables_(tables),
      images_(tables.images),
      categories_(tables.categories),
      type_(type),
      side_(side),
      unlisted_(unlisted) {
  set_.geometry = empty_geometry(type);
  if (auto* boxes = std::get_if<eval::Boxes>(&set_.geometry)) boxes_ = &boxes->boxes;
}

void SetBuilder::reserve(size_t rows) {
  set_.ids.reserve(rows);
  set_.scores.reserve(rows);
  set_.areas.reserve(rows);
  set_.iscrowd.reserve(rows);
  set_.ignore.reserve(rows);
  set_.unmatched_ignore.reserve(rows);
  set_.image_index.reserve(rows);
  set_.category_index.reserve(rows);
  if (boxes_ && !shared_) boxes_->reserve(rows);
  if (type_ == eval::IouType::kKeypoints) set_.boxes.reserve(rows);
}

void SetBuilder::share_boxes(eval::SharedBoxes rows) {
  if (!boxes_ || rows_ > 0) throw InternalError("box rows shared with a set that cannot take them");
  *boxes_ = {};
  shared_ = std::move(rows);
}

void SetBuilder::drop() {
  // The first row left out ends the sharing: the rows kept so far are the
  // shared ones before it.
  if (shared_ && dropped_ == 0) {
    const rle::Box* first = shared_->rows.get();
    boxes_->reserve(set_.ids.capacity());
    boxes_->assign(first, first + set_.size());
    shared_.reset();
  }
  ++dropped_;
}

bool SetBuilder::add_in_parallel(size_t n, const std::function<Row(size_t)>& row_of) {
  // Below this, laying rows out on the pool costs more than it saves.
  constexpr size_t kParallelFrom = size_t{1} << 16, kRowsPerChunk = size_t{1} << 14;
  if (n < kParallelFrom) return false;
  set_.image_index.resize(n);
  set_.category_index.resize(n);
  set_.ids.resize(n);
  set_.scores.resize(n);
  set_.areas.resize(n);
  set_.iscrowd.resize(n);
  set_.ignore.resize(n);
  set_.unmatched_ignore.assign(n, 0);
  if (boxes_ && !shared_) boxes_->resize(n);
  if (type_ == eval::IouType::kKeypoints) set_.boxes.resize(n);
  std::atomic<bool> unlisted{false};
  pool::parallel_chunks(n, [&](size_t begin, size_t end) {
    PositionLookup image_of(tables_.images), category_of(tables_.categories);
    bool any = false;
    for (size_t i = begin; i < end; ++i) {
      const Row row = row_of(i);
      const uint32_t image = image_of(row.image_id), category = category_of(row.category_id);
      any |= image == group::kUnlisted || category == group::kUnlisted;
      set_.image_index[i] = image;
      set_.category_index[i] = category;
      set_.ids[i] = id_of(row, static_cast<int64_t>(i) + 1);
      set_.scores[i] = row.score;
      set_.areas[i] = area_of(row);
      set_.iscrowd[i] = row.crowd;
      set_.ignore[i] = ignored(row);
      if (boxes_ && !shared_) (*boxes_)[i] = row.box;
      if (type_ == eval::IouType::kKeypoints) set_.boxes[i] = row.box;
    }
    if (any) unlisted = true;
  }, kRowsPerChunk);
  // Dropped rows shift every later one: those sources go row by row, from
  // the start.
  if (unlisted && unlisted_ == Unlisted::kDrop) {
    for (auto* column : {&set_.iscrowd, &set_.ignore, &set_.unmatched_ignore}) column->clear();
    for (auto* column : {&set_.image_index, &set_.category_index}) column->clear();
    set_.ids.clear();
    set_.scores.clear();
    set_.areas.clear();
    set_.boxes.clear();
    if (boxes_) boxes_->clear();
    return false;
  }
  rows_ = n;
  return true;
}

eval::AnnotationSet SetBuilder::finish() && {
  if (shared_) {
    if (shared_->count != rows_) throw InternalError("shared box rows do not match the rows given");
    set_.geometry = std::move(*shared_);
    boxes_ = nullptr;
  }
  if (dropped_ > 0) {
    // Reserved for every row given: give back the room of the dropped ones.
    set_.ids.shrink_to_fit();
    set_.scores.shrink_to_fit();
    set_.areas.shrink_to_fit();
    set_.iscrowd.shrink_to_fit();
    set_.ignore.shrink_to_fit();
    set_.unmatched_ignore.shrink_to_fit();
    set_.image_index.shrink_to_fit();
    set_.category_index.shrink_to_fit();
    set_.boxes.shrink_to_fit();
    if (boxes_) boxes_->shrink_to_fit();
  }
  return std::move(set_);
}

}  // namespace quillscore::intake
