#include "core/intake/builder.h"

#include <utility>

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
    : images_(tables.images),
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
