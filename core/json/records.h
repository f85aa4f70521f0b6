// The typed record reader: a COCO box-annotation array decoded straight into
// fixed-size rows, without building a value per record, so that it can be
// fuzzed and tested on its own; the module's dataset driver (which builds
// Python objects for the rest of a dataset file) sits on top.
//
// Errors are the JSON reader's, at the positions its messages promise; the
// reader's own failures are recorded in the reader as custom errors.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/base/allocator.h"
#include "core/json/reader.h"
#include "core/rle/rle.h"

namespace quillscore::json {

// Dataset files carry ground truth (ids, areas and crowd flags are kept);
// results files carry detections (those members are checked, then dropped).
enum class Mode : uint8_t { kDataset, kResults };

// How a results record's score is read: an absent or null score is 0, or
// it is an error (a silent 0 ranks the detection last and changes the
// precision of everything below it).
enum class Scores : uint8_t { kDefaultZero, kRequired };

struct KeyRow {
  int64_t image_id;
  int64_t category_id;
  double score;  // 0 when absent or null, unless scores are required
};

struct GroundTruthRow {
  int64_t id;
  double area;      // as given; meaningless without has_area
  uint8_t iscrowd;  // 0 or 1
  uint8_t has_area;
};

// The row sizes the memory accounting promises callers.
static_assert(sizeof(KeyRow) == 24 && sizeof(GroundTruthRow) == 24 && sizeof(rle::Box) == 32);

// A growable array of fixed-size rows. Growth and the final trim go through
// the counted allocation path and so the C library's reallocation, which
// moves large blocks by remapping pages rather than copying them, so a
// COCO-scale column is never copied while it is read.
template <class T>
class RowBuffer {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  RowBuffer() = default;
  RowBuffer(RowBuffer&& o) noexcept
      : data_(std::exchange(o.data_, nullptr)),
        size_(std::exchange(o.size_, 0)),
        capacity_(std::exchange(o.capacity_, 0)),
        lent_(std::exchange(o.lent_, false)) {}
  RowBuffer& operator=(RowBuffer&& o) noexcept {
    std::swap(data_, o.data_);
    std::swap(size_, o.size_);
    std::swap(capacity_, o.capacity_);
    std::swap(lent_, o.lent_);
    return *this;
  }
  RowBuffer(const RowBuffer&) = delete;
  RowBuffer& operator=(const RowBuffer&) = delete;
  ~RowBuffer() {
    if (data_ && !lent_) alloc::deallocate(data_, capacity_ * sizeof(T), alignof(T));
  }

  // Room for `capacity` rows in all.
  void reserve(size_t capacity) {
    if (capacity > capacity_) resize_storage(capacity);
  }

  // An empty buffer whose room is `owner`'s rows [at, at + n), which must lie
  // within `owner`'s room and outlive it untouched by `owner`. The lent
  // buffer never frees that room; should it need more, it moves its rows to
  // storage of its own.
  static RowBuffer lend(RowBuffer& owner, size_t at, size_t n) {
    RowBuffer b;
    b.data_ = owner.data_ + at;
    b.capacity_ = n;
    b.lent_ = true;
    return b;
  }

  // The rows of `lent` after these, left where they are when it still
  // writes into this buffer's room: the rows between are then never
  // written (nor read, nor paged in). The position of `lent`'s first row.
  size_t take_back(RowBuffer& lent) {
    if (lent.lent_ && lent.data_ >= data_ + size_ && lent.data_ + lent.capacity_ <= data_ + capacity_) {
      const size_t at = static_cast<size_t>(lent.data_ - data_);
      size_ = at + lent.size_;
      lent = RowBuffer();
      return at;
    }
    const size_t at = size_;
    append_draining(lent);
    return at;
  }

  void push_back(const T& row) {
    if (size_ == capacity_) resize_storage(capacity_ ? 2 * capacity_ : 64);
    data_[size_++] = row;
  }
  void append(const T* rows, size_t n) {
    if (n > capacity_ - size_) {
      size_t capacity = capacity_ ? 2 * capacity_ : 64;
      while (capacity - size_ < n) capacity *= 2;
      resize_storage(capacity);
    }
    if (n > 0) std::memcpy(data_ + size_, rows, n * sizeof(T));
    size_ += n;
  }
  // Moves `other`'s rows after these, giving back `other`'s memory a slice
  // at a time as they are copied (from its end), so that the rows are
  // never all held twice.
  void append_draining(RowBuffer& other) {
    constexpr size_t kSlice = (size_t{8} << 20) / sizeof(T) + 1;
    const size_t base = size_;
    if (other.size_ > capacity_ - size_) resize_storage(size_ + other.size_);
    size_ += other.size_;
    for (size_t left = other.size_; left > 0;) {
      const size_t n = left < kSlice ? left : kSlice;
      left -= n;
      std::memcpy(data_ + base + left, other.data_ + left, n * sizeof(T));
      other.size_ = left;
      other.trim();
    }
  }

  // Gives back the room beyond the rows.
  void trim() {
    if (size_ == capacity_) return;
    if (size_ == 0) {
      if (!lent_) alloc::deallocate(data_, capacity_ * sizeof(T), alignof(T));
      data_ = nullptr;
      lent_ = false;
      capacity_ = 0;
      return;
    }
    resize_storage(size_);
  }

  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }
  const T& operator[](size_t i) const { return data_[i]; }

 private:
  void resize_storage(size_t capacity) {
    if (lent_) {
      T* own = static_cast<T*>(alloc::allocate(capacity * sizeof(T), alignof(T)));
      if (size_ > 0) std::memcpy(own, data_, std::min(size_, capacity) * sizeof(T));
      data_ = own;
      capacity_ = capacity;
      lent_ = false;
      return;
    }
    data_ = static_cast<T*>(
        data_ ? alloc::reallocate(data_, capacity_ * sizeof(T), capacity * sizeof(T), alignof(T))
              : alloc::allocate(capacity * sizeof(T), alignof(T)));
    capacity_ = capacity;
  }

  T* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
  bool lent_ = false;  // the room is another buffer's
};

// What a record's geometry is read from: its box alone, its mask too
// ("segmentation") or its keypoints ("keypoints", and a ground truth's
// "num_keypoints"). Mask and keypoint records keep their box when they give
// one.
enum class Geometry : uint8_t { kBox, kMask, kKeypoints };

// One record's segmentation as the file gives it, its values in the
// MaskColumns buffers: a compressed counts string (bytes [begin, end) of
// `text`, unescaped), the runs as a list ([begin, end) of `runs`) or polygons
// (coordinates [begin, end) of `coords`, their `rings` ring ends from
// `ring_begin` in `ring_ends`, relative to `begin`).
struct SegmentRow {
  enum Kind : uint8_t { kCompressed, kRuns, kPolygons };
  uint64_t begin = 0, end = 0;
  uint64_t ring_begin = 0;
  uint32_t height = 0, width = 0;  // an RLE's own size; 0 for polygons
  uint32_t rings = 0;
  Kind kind = kCompressed;
  uint8_t has_box = 0;  // the record gave a box
};

// The counts text sits behind a shared handle, as the box rows do, so that
// an evaluation can keep its masks packed in it without a copy.
struct MaskColumns {
  RowBuffer<SegmentRow> rows;
  std::shared_ptr<const RowBuffer<char>> text;
  size_t text_unwritten = 0;  // bytes of `text` no row covers, never paged in
  RowBuffer<uint32_t> runs;
  RowBuffer<double> coords;
  RowBuffer<uint32_t> ring_ends;

  size_t bytes() const {
    return rows.capacity() * sizeof(SegmentRow) + (text ? text->capacity() - text_unwritten : 0) +
           runs.capacity() * 4 + coords.capacity() * 8 + ring_ends.capacity() * 4;
  }
};

// One record's keypoints: values [begin, begin + length) of `values`
// (length 0 when absent), and a ground truth's "num_keypoints".
struct KeypointRow {
  uint64_t begin = 0;
  uint32_t length = 0;
  uint8_t has_box = 0;  // the record gave a box
  int64_t num_keypoints = 0;
};

struct KeypointColumns {
  RowBuffer<KeypointRow> rows;
  RowBuffer<double> values;

  size_t bytes() const { return rows.capacity() * sizeof(KeypointRow) + values.capacity() * 8; }
};

// Row i of every column is record i of the array. The box rows sit behind a
// shared handle so that an evaluation can hold them without a copy.
struct Columns {
  RowBuffer<KeyRow> keys;
  RowBuffer<GroundTruthRow> ground_truth;  // dataset mode only
  std::shared_ptr<const RowBuffer<rle::Box>> boxes;
  MaskColumns masks;          // Geometry::kMask only
  KeypointColumns keypoints;  // Geometry::kKeypoints only

  size_t size() const { return keys.size(); }
  // What the buffers occupy: trimmed to the row count after a read.
  size_t bytes() const {
    return keys.capacity() * sizeof(KeyRow) +
           ground_truth.capacity() * sizeof(GroundTruthRow) +
           (boxes ? boxes->capacity() * sizeof(rle::Box) : 0) + masks.bytes() + keypoints.bytes();
  }
};

// The message of a mask or keypoint record the reader leaves to the
// dictionary route: a form it does not hold (polygons among results, a null
// box among results, sizes or runs beyond 32 bits, a ground truth without
// area or mask, or without num_keypoints, results whose keypoint lists are
// not alike) is read there, with that route's own rules and messages.
inline constexpr const char* kMaskNeedsDicts = "this segmentation requires dictionary reading";

// Runs both pieces of work and returns when both are done, at once where it
// can (on the caller's pool, say); the reader has no threads of its own.
using RunBoth = std::function<void(const std::function<void()>&, const std::function<void()>&)>;

// Record arrays with at least this many bytes from their start to the end of
// the input are read in two halves, given a RunBoth, with the rows and
// errors of one reading from the start.
inline constexpr size_t kSplitReadFrom = size_t{4} << 20;

// The array of records at the reader's cursor (whitespace before it is
// skipped); the cursor ends just after its closing bracket. On success `out`
// is replaced; on failure the reader holds the error and `out` is unchanged.
// With `run_both`, a large array is read in two halves through it.
bool read_records(Reader& r, Mode mode, Columns& out, Scores scores = Scores::kDefaultZero,
                  Geometry geometry = Geometry::kBox, const RunBoth& run_both = {},
                  size_t split_from = kSplitReadFrom);

// A whole results file: the array, then only whitespace. With `run_both`,
// an array of `split_from` bytes or more is read in two halves through it.
bool read_results_document(Reader& r, Columns& out, Scores scores = Scores::kDefaultZero,
                           Geometry geometry = Geometry::kBox, const RunBoth& run_both = {},
                           size_t split_from = kSplitReadFrom);

// "invalid type: <found>, expected <expected>" for the value at the cursor
// (whitespace already skipped), positioned as the JSON reader places it: past
// a scalar, before an array or object; a byte that starts no value gives
// "expected value" instead. Always false.
bool invalid_type(Reader& r, const char* expected);

}  // namespace quillscore::json
