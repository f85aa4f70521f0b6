// One side of an evaluation built from plain rows, whatever they were read
// from (annotation dicts, compact box rows, arrays): the COCO intake rules
// live here and nowhere else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>

#include "core/eval/model.h"
#include "core/intake/positions.h"

namespace quillscore::intake {

// Only ground truth is ever ignored for what it is (a crowd, a person with no
// visible keypoint); detections are ignored by matching alone.
enum class Side : uint8_t { kGroundTruth, kDetections };

// What becomes of a row whose image or category is not listed.
//
// kKeep: the row keeps its place with position group::kUnlisted, and the
// evaluation passes over it. Sources whose rows are paired with other
// per-row data by position need this: the annotation dicts, whose masks come
// back from the rasteriser one per row in order and whose LVIS ignore flags
// come one per ground truth of the caller's list.
//
// kDrop: the row is left out. Box rows held elsewhere use this: a set
// restricted to a few images then holds only what can be evaluated, and when
// nothing is dropped it shares the rows instead of copying them.
enum class Unlisted : uint8_t { kKeep, kDrop };

// One annotation as a source gives it.
struct Row {
  std::optional<int64_t> id;  // absent: its 1-based position among the rows given
  int64_t image_id = 0;
  int64_t category_id = 0;
  double score = 0.0;
  rle::Box box{0, 0, 0, 0};
  std::optional<double> area;  // absent: the box's width * height
  bool crowd = false;
  int64_t num_keypoints = 0;  // read for keypoint ground truth only
};

// Builds the set row by row, so that a source can be read in one pass and
// another thread can work on the rows' masks meanwhile.
class SetBuilder {
 public:
  // `tables` must outlive the builder.
  SetBuilder(const LookupTables& tables, eval::IouType type, Side side, Unlisted unlisted);

  // Room for `rows` rows in every column.
  void reserve(size_t rows);

  // Box rows held elsewhere, row i being the box of the i-th row to be
  // added (bbox sets only): the set shares them unless a row is dropped, and
  // then copies the kept ones.
  void share_boxes(eval::SharedBoxes rows);

  // Applies the rules to one row. False when the row was dropped; a source
  // then leaves out whatever else it holds for it (mask, keypoints).
  bool add(const Row& row) {
    const uint32_t image = images_(row.image_id);
    const uint32_t category = categories_(row.category_id);
    const int64_t position = static_cast<int64_t>(++rows_);
    if (unlisted_ == Unlisted::kDrop && (image == group::kUnlisted || category == group::kUnlisted)) {
      drop();
      return false;
    }
    set_.ids.push_back(id_of(row, position));
    set_.image_index.push_back(image);
    set_.category_index.push_back(category);
    set_.scores.push_back(row.score);
    set_.areas.push_back(area_of(row));
    set_.iscrowd.push_back(row.crowd);
    set_.ignore.push_back(ignored(row));
    set_.unmatched_ignore.push_back(0);
    if (boxes_) {
      if (!shared_) boxes_->push_back(row.box);
    } else if (type_ == eval::IouType::kKeypoints) {
      set_.boxes.push_back(row.box);
    }
    return true;
  }

  // add() of every row of a source of n, row_of(i) giving the i-th (it may
  // be called more than once for a row, from any thread). When nothing has
  // been added yet and no row is dropped, a large source is laid out in
  // parallel; otherwise row by row.
  template <class RowOf>
  void add_rows(size_t n, const RowOf& row_of) {
    if (rows_ == 0 && add_in_parallel(n, row_of)) return;
    for (size_t i = 0; i < n; ++i) add(row_of(i));
  }

  // Rows given so far, dropped ones included.
  size_t rows() const { return rows_; }

  // The set. Its geometry holds the boxes of a bbox set and is otherwise
  // empty, for the source to fill (masks, keypoints).
  eval::AnnotationSet finish() &&;

 private:
  void drop();
  bool add_in_parallel(size_t n, const std::function<Row(size_t)>& row_of);

  // The rules of add(), shared with add_in_parallel.
  static int64_t id_of(const Row& row, int64_t position) { return row.id ? *row.id : position; }
  static double area_of(const Row& row) { return row.area ? *row.area : row.box[2] * row.box[3]; }
  bool ignored(const Row& row) const {
    return side_ == Side::kGroundTruth &&
           (row.crowd || (type_ == eval::IouType::kKeypoints && row.num_keypoints == 0));
  }

  const LookupTables& tables_;

  eval::AnnotationSet set_;
  PositionLookup images_;
  PositionLookup categories_;
  eval::IouType type_;
  Side side_;
  Unlisted unlisted_;
  std::vector<rle::Box>* boxes_ = nullptr;  // the set's own box rows (bbox sets)
  std::optional<eval::SharedBoxes> shared_;
  size_t rows_ = 0;
  size_t dropped_ = 0;
};

}  // namespace quillscore::intake
