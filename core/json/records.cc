#include "core/json/records.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "core/base/quote.h"
#include "core/json/parser.h"
#include "core/json/validator.h"
#include "core/pool/cancel.h"

namespace quillscore::json {
namespace {

// Integers beyond 2^53 no longer map to one double each: a coordinate written
// as such an integer would silently change value.
constexpr uint64_t kExactIntegerLimit = uint64_t{1} << 53;

// Shortest round-trip digits laid out as the error messages show floats:
// plain decimals from 1e-5 up to 1e16 (integral ones with ".0"), scientific
// notation ("1e20", "1.5e-7") outside that range.
std::string format_float(double v) {
  char buf[40];
  const auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  const std::string_view text(buf, static_cast<size_t>(res.ptr - buf));
  std::string out;
  size_t i = 0;
  if (text[0] == '-') {
    out += '-';
    i = 1;
  }
  const size_t e_at = text.find('e');
  std::string digits;
  for (size_t j = i; j < e_at; ++j) {
    if (text[j] != '.') digits += text[j];
  }
  int exponent = 0;
  std::from_chars(text.data() + e_at + 1 + (text[e_at + 1] == '+'), text.data() + text.size(),
                  exponent);
  const int length = static_cast<int>(digits.size());
  const int kk = exponent + 1;  // 10^(kk-1) <= |v| < 10^kk
  const int k = kk - length;    // |v| = digits * 10^k
  if (k >= 0 && kk <= 16) {
    out += digits;
    out.append(static_cast<size_t>(k), '0');
    out += ".0";
  } else if (kk > 0 && kk <= 16) {
    out.append(digits, 0, static_cast<size_t>(kk));
    out += '.';
    out.append(digits, static_cast<size_t>(kk));
  } else if (kk > -5 && kk <= 0) {
    out += "0.";
    out.append(static_cast<size_t>(-kk), '0');
    out += digits;
  } else {
    out += digits[0];
    if (length > 1) {
      out += '.';
      out.append(digits, 1);
    }
    out += 'e';
    out += std::to_string(kk - 1);
  }
  return out;
}

std::string describe(const Number& n) {
  switch (n.kind) {
    case Number::Kind::kUnsigned:
      return "integer `" + std::to_string(n.u) + "`";
    case Number::Kind::kSigned:
      return "integer `" + std::to_string(n.i) + "`";
    case Number::Kind::kFloat:
      break;
  }
  return "floating point `" + format_float(n.f) + "`";
}

enum Field : uint8_t {
  kCaption,
  kId,
  kImageId,
  kCategoryId,
  kBbox,
  kArea,
  kScore,
  kIscrowd,
  kSegmentation,  // read for masks only; skipped as unknown otherwise
  kKeypoints,     // these two for keypoints only
  kNumKeypoints,
  kUnknown,
};

constexpr const char* kFieldNames[] = {"caption", "id",    "image_id", "category_id",
                                       "bbox",    "area",  "score",    "iscrowd",
                                       "segmentation", "keypoints", "num_keypoints"};

constexpr unsigned bit(Field f) { return 1u << f; }

Field classify(std::string_view k) {
  switch (k.size()) {
    case 2:
      return k == "id" ? kId : kUnknown;
    case 4:
      if (k == "bbox") return kBbox;
      return k == "area" ? kArea : kUnknown;
    case 5:
      return k == "score" ? kScore : kUnknown;
    case 7:
      if (k == "iscrowd") return kIscrowd;
      return k == "caption" ? kCaption : kUnknown;
    case 8:
      return k == "image_id" ? kImageId : kUnknown;
    case 9:
      return k == "keypoints" ? kKeypoints : kUnknown;
    case 11:
      return k == "category_id" ? kCategoryId : kUnknown;
    case 12:
      return k == "segmentation" ? kSegmentation : kUnknown;
    case 13:
      return k == "num_keypoints" ? kNumKeypoints : kUnknown;
    default:
      return kUnknown;
  }
}

// Classifies a crowd value while checking it as strictly as the object
// builder would: true, false and integers that fit 64 signed bits are flags;
// anything else is unusable.
struct CrowdSink {
  enum class Kind : uint8_t { kFailed, kUnusable, kClear, kSet };
  struct Value {
    Kind kind = Kind::kFailed;
    explicit operator bool() const { return kind != Kind::kFailed; }
  };
  static Value string(const StringRef&) { return {Kind::kUnusable}; }
  static Value number(const Number& n) {
    switch (n.kind) {
      case Number::Kind::kUnsigned:
        if (n.u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) break;
        return {n.u != 0 ? Kind::kSet : Kind::kClear};
      case Number::Kind::kSigned:
        return {n.i != 0 ? Kind::kSet : Kind::kClear};
      case Number::Kind::kFloat:
        break;
    }
    return {Kind::kUnusable};
  }
  static Value boolean(bool b) { return {b ? Kind::kSet : Kind::kClear}; }
  static Value null() { return {Kind::kUnusable}; }
  static Value array() { return {Kind::kUnusable}; }
  static bool append(Value&, Value) { return true; }
  static Value object() { return {Kind::kUnusable}; }
  static Value key(const StringRef&) { return {Kind::kUnusable}; }
  static bool set(Value&, Value, Value) { return true; }
};

struct Record {
  unsigned seen = 0;  // bits of the known members read
  bool has_id = false;
  bool has_area = false;
  uint8_t crowd = 0;
  int64_t id = 0;
  int64_t image_id = 0;
  int64_t category_id = 0;
  double area = 0;
  double score = 0;
  rle::Box box{};
  // Masks only.
  SegmentRow segment{};
  bool has_segment = false;  // given, and not null
  bool null_box = false;
  // Keypoints only.
  KeypointRow points{};
  bool has_num_keypoints = false;
};

class RecordReader {
 public:
  RecordReader(Reader& r, Mode mode, Scores scores, Geometry geometry)
      : r_(r),
        mode_(mode),
        scores_required_(scores == Scores::kRequired),
        masks_(geometry == Geometry::kMask),
        points_(geometry == Geometry::kKeypoints) {}

  bool run(Columns& out, const RunBoth& run_both = {}, size_t split_from = SIZE_MAX) {
    const int c = r_.skip_whitespace();
    if (c < 0) return r_.peek_error(ErrorCode::kEofWhileParsingValue);
    if (c != '[') return invalid_type(r_, "bbox annotations");
    if (!r_.enter_container()) return false;
    const uint8_t* split = run_both ? split_point(split_from) : nullptr;
    Outcome read = split ? read_halves(split, run_both) : read_until(nullptr, true);
    if (read != Outcome::kEnd) return false;
    if (mode_ == Mode::kResults && ((masks_ && !boxes_alike(masks_columns_.rows)) ||
                                    (points_ && !boxes_alike(points_columns_.rows)))) {
      return needs_dicts();
    }
    hand_over(out);
    return true;
  }

 private:
  enum class Outcome : uint8_t { kFailed, kEnd, kStopped };

  // Records up to the array's end (consumed), or until the cursor comes to
  // `stop` at the start of a record (not consumed).
  Outcome read_until(const uint8_t* stop, bool first) {
    const pool::CancelCheck check;
    for (;; first = false) {
      switch (r_.array_step(first)) {
        case Step::kFail:
          return Outcome::kFailed;
        case Step::kEnd:
          r_.leave_container();
          return Outcome::kEnd;
        case Step::kItem:
          break;
      }
      if (r_.pos() == stop) return Outcome::kStopped;
      check();
      if (!record()) return Outcome::kFailed;
    }
  }

  // The record at the cursor, into the rows.
  bool record() {
    Record rec;
    const int b = r_.peek();
    bool ok;
    if (b == '{') {
      ok = object_record(rec);
    } else if (b == '[') {
      ok = positional_record(rec);
    } else {
      ok = invalid_type(r_, "struct Record");
    }
    return ok && finish(rec);
  }

  // A large array is read in two halves at once. The second starts at a
  // guess, the first "{" after the middle of the bytes left that follows
  // "}," as one record follows another; the guess stands only if the first
  // half's own reading comes to that very byte as the start of a record.
  // Otherwise, or when the second half fails or disagrees with the first on
  // what all records must share, the first half reads on alone, so that rows
  // and errors are exactly those of one reading from the start. (A dataset's
  // annotations are mostly followed by little, its categories; where more
  // follows, the guess may fall past the array, which the first half then
  // reads whole.)
  const uint8_t* split_point(size_t split_from) const {
    const uint8_t* from = r_.pos();
    const size_t size = static_cast<size_t>(r_.end() - from);
    if (size < split_from || size < 2) return nullptr;
    const uint8_t* end = r_.end();
    const uint8_t* limit = from + size / 2 + std::min<size_t>(size / 4, size_t{1} << 20);
    for (const uint8_t* p = from + size / 2; p < limit && p < end; ++p) {
      if (*p != '}') continue;
      const uint8_t* q = skip_space(p + 1, end);
      if (q == end || *q != ',') continue;
      q = skip_space(q + 1, end);
      if (q != end && *q == '{') return q;
    }
    return nullptr;
  }

  static const uint8_t* skip_space(const uint8_t* p, const uint8_t* end) {
    while (p < end && (*p == ' ' || *p == '\n' || *p == '\r' || *p == '\t')) ++p;
    return p;
  }

  Outcome read_halves(const uint8_t* split, const RunBoth& run_both) {
    Reader second_cursor = r_.fork_at(split);
    RecordReader second(second_cursor, mode_, scores_required_ ? Scores::kRequired : Scores::kDefaultZero,
                        masks_ ? Geometry::kMask : points_ ? Geometry::kKeypoints : Geometry::kBox);
    if (masks_) {
      // Unescaped counts text is never longer than the bytes it is read
      // from, so the text of each half fits in the bytes that half reads:
      // the second half writes into this buffer's room from where its
      // bytes begin, and stays there. Between the halves' texts lies room
      // never written, which costs address space but no memory.
      const size_t first = static_cast<size_t>(split - r_.pos());
      text_.reserve(text_.size() + static_cast<size_t>(r_.end() - r_.pos()));
      second.text_ = RowBuffer<char>::lend(text_, text_.size() + first, text_.capacity() - text_.size() - first);
    }
    Outcome first_half = Outcome::kFailed, second_half = Outcome::kFailed;
    run_both([&] { first_half = read_until(split, true); },
             [&] { second_half = second.read_until(nullptr, true); });
    if (first_half != Outcome::kStopped) return first_half;
    if (second_half == Outcome::kEnd && agrees(second)) {
      append(std::move(second));
      r_.seek(second_cursor.pos());
      r_.leave_container();
      return Outcome::kEnd;
    }
    return record() ? read_until(nullptr, false) : Outcome::kFailed;
  }

  // Whether the second half's records share with the first's what all
  // records must: whether results carry boxes, keypoint list lengths, and
  // (ground truth) ids no record of the first half has.
  bool agrees(const RecordReader& second) const {
    for (const int64_t id : second.ids_) {
      if (ids_.count(id) != 0) return false;
    }
    const auto first_rows_agree = [](const auto& a, const auto& b) {
      return a.size() == 0 || b.size() == 0 || a[0].has_box == b[0].has_box;
    };
    if (masks_ && !first_rows_agree(masks_columns_.rows, second.masks_columns_.rows)) return false;
    if (points_) {
      const auto& a = points_columns_.rows;
      const auto& b = second.points_columns_.rows;
      if (!first_rows_agree(a, b) || (a.size() > 0 && b.size() > 0 && a[0].length != b[0].length)) {
        return false;
      }
    }
    return true;
  }

  // The second half's rows after these, its offsets into its own buffers
  // moved past these rows' values.
  void append(RecordReader&& second) {
    keys_.append_draining(second.keys_);
    ground_truth_.append_draining(second.ground_truth_);
    boxes_.append_draining(second.boxes_);
    MaskColumns& m = masks_columns_;
    const size_t written = text_.size();
    const uint64_t text0 = text_.take_back(second.text_), runs0 = m.runs.size(), coords0 = m.coords.size(),
                   rings0 = m.ring_ends.size();
    m.text_unwritten += text0 - written;
    for (SegmentRow s : second.masks_columns_.rows) {
      const uint64_t base = s.kind == SegmentRow::kCompressed ? text0
                            : s.kind == SegmentRow::kRuns     ? runs0
                                                              : coords0;
      s.begin += base;
      s.end += base;
      if (s.kind == SegmentRow::kPolygons) s.ring_begin += rings0;
      m.rows.push_back(s);
    }
    m.runs.append_draining(second.masks_columns_.runs);
    m.coords.append_draining(second.masks_columns_.coords);
    m.ring_ends.append_draining(second.masks_columns_.ring_ends);
    KeypointColumns& k = points_columns_;
    const uint64_t values0 = k.values.size();
    for (KeypointRow row : second.points_columns_.rows) {
      row.begin += values0;
      k.rows.push_back(row);
    }
    k.values.append_draining(second.points_columns_.values);
  }

  void hand_over(Columns& out) {
    // Trimmed once, so that the rows' footprint is exactly their size.
    keys_.trim();
    ground_truth_.trim();
    boxes_.trim();
    out.keys = std::move(keys_);
    out.ground_truth = std::move(ground_truth_);
    out.boxes = std::make_shared<const RowBuffer<rle::Box>>(std::move(boxes_));
    masks_columns_.rows.trim();
    text_.trim();
    masks_columns_.text = std::make_shared<const RowBuffer<char>>(std::move(text_));
    masks_columns_.runs.trim();
    masks_columns_.coords.trim();
    masks_columns_.ring_ends.trim();
    out.masks = std::move(masks_columns_);
    points_columns_.rows.trim();
    points_columns_.values.trim();
    out.keypoints = std::move(points_columns_);
  }

  // Results are completed by the kind of the first: all with boxes (whose
  // areas then count) or all without (their masks' or keypoints' areas
  // count).
  template <class Row>
  static bool boxes_alike(const RowBuffer<Row>& rows) {
    for (size_t i = 1; i < rows.size(); ++i) {
      if (rows[i].has_box != rows[0].has_box) return false;
    }
    return true;
  }

  bool needs_dicts() { return r_.custom_error(kMaskNeedsDicts); }

  // Cursor on `{`; consumes through `}`.
  bool object_record(Record& rec) {
    if (!r_.enter_container()) return false;
    for (bool first = true;; first = false) {
      switch (r_.object_step(first)) {
        case Step::kFail:
          return false;
        case Step::kEnd:
          r_.leave_container();
          return required_members(rec);
        case Step::kItem:
          break;
      }
      Field f = plain_known_key();
      if (f == kUnknown) {
        r_.advance();  // the key's opening quote
        StringRef key;
        if (!r_.parse_string(key)) return false;
        f = classify(key.view());
      }
      if ((f == kSegmentation && !masks_) || ((f == kKeypoints || f == kNumKeypoints) && !points_)) {
        f = kUnknown;
      }
      if (f != kUnknown) {
        // Noticed right after the key, before its value.
        if (rec.seen & bit(f)) {
          return unpositioned(std::string("duplicate field `") + kFieldNames[f] + "`", '}');
        }
        rec.seen |= bit(f);
      }
      if (!r_.object_colon() || !member(f, rec, '}')) return false;
    }
  }

  // A known key written without escapes, recognised straight from the bytes
  // and consumed with its quotes (cursor on the opening quote); kUnknown,
  // consuming nothing, for every other key. Real files spell their keys
  // plainly, so the string reader runs only for the unknown members.
  Field plain_known_key() {
    const uint8_t* p = r_.pos() + 1;
    const size_t avail = static_cast<size_t>(r_.end() - p);
    const auto match = [&](std::string_view name, Field f) {
      if (avail <= name.size() || std::memcmp(p, name.data(), name.size()) != 0 ||
          p[name.size()] != '"') {
        return kUnknown;
      }
      r_.seek(p + name.size() + 1);
      return f;
    };
    if (avail == 0) return kUnknown;
    switch (*p) {
      case 'k':
        return match("keypoints", kKeypoints);
      case 'n':
        return match("num_keypoints", kNumKeypoints);
      case 'i':
        if (avail > 1 && p[1] == 'd') return match("id", kId);
        if (avail > 1 && p[1] == 'm') return match("image_id", kImageId);
        return match("iscrowd", kIscrowd);
      case 'c':
        if (avail > 1 && p[1] == 'a' && avail > 2 && p[2] == 't') {
          return match("category_id", kCategoryId);
        }
        return match("caption", kCaption);
      case 'b':
        return match("bbox", kBbox);
      case 'a':
        return match("area", kArea);
      case 's':
        if (avail > 1 && p[1] == 'e') return match("segmentation", kSegmentation);
        return match("score", kScore);
      default:
        return kUnknown;
    }
  }

  // At the closing brace (consumed): the members without a default.
  bool required_members(const Record& rec) {
    for (const Field f : {kImageId, kCategoryId, kBbox, kScore}) {
      if (f == kBbox && (masks_ || points_)) continue;
      if (f == kScore && !scores_required_) break;
      if (!(rec.seen & bit(f))) {
        return r_.custom_error(std::string("missing field `") + kFieldNames[f] + "`");
      }
    }
    return true;
  }

  // Cursor on `[`; the members by position, consumed through `]`.
  bool positional_record(Record& rec) {
    if (!r_.enter_container()) return false;
    for (unsigned i = 0; i < 8; ++i) {
      switch (r_.array_step(i == 0)) {
        case Step::kFail:
          return false;
        case Step::kEnd:
          r_.leave_container();
          if (i <= kBbox || (scores_required_ && i <= kScore)) {
            const unsigned missing = i < kImageId ? unsigned{kImageId} : i;
            return r_.custom_error("invalid length " + std::to_string(missing) +
                                   ", expected struct Record with 8 elements");
          }
          return true;
        case Step::kItem:
          break;
      }
      const auto f = static_cast<Field>(i);
      rec.seen |= bit(f);
      if (!member(f, rec, ']')) return false;
    }
    if (!sequence_end()) return false;
    r_.leave_container();
    return true;
  }

  // The value of one member; `close` is the bracket of the enclosing record.
  bool member(Field f, Record& rec, char close) {
    switch (f) {
      case kCaption:
        return skip_value(r_);
      case kId:
        return optional_i64(rec.id, rec.has_id);
      case kImageId:
        return integer(rec.image_id);
      case kCategoryId:
        return integer(rec.category_id);
      case kBbox:
        if ((masks_ || points_) && r_.skip_whitespace() == 'n') {
          rec.null_box = true;
          return r_.parse_literal("ull");
        }
        return bbox(rec.box);
      case kArea:
        return optional_f64(rec.area, rec.has_area);
      case kScore: {
        if (scores_required_ && r_.skip_whitespace() == 'n') return invalid_type(r_, "f64");
        bool present;
        return optional_f64(rec.score, present);
      }
      case kIscrowd:
        return crowd(rec.crowd, close);
      case kSegmentation:
        return segmentation(rec);
      case kKeypoints:
        return keypoints(rec.points);
      case kNumKeypoints:
        if (r_.skip_whitespace() == 'n') return r_.parse_literal("ull");
        rec.has_num_keypoints = true;
        return integer(rec.points.num_keypoints);
      case kUnknown:
        break;
    }
    return skip_value(r_);
  }

  // The mode's rules at the record's closing bracket, then its rows.
  bool finish(Record& rec) {
    if (masks_) {
      // What the dictionary route reads differently is left to it: a ground
      // truth without mask or area (its box stands in), results with
      // polygons (rasterised at their image's size) or a null box.
      if (!rec.has_segment) return needs_dicts();
      if (mode_ == Mode::kResults) {
        if (rec.segment.kind == SegmentRow::kPolygons || rec.null_box) return needs_dicts();
      } else if (!rec.has_area) {
        return needs_dicts();
      }
      rec.segment.has_box = (rec.seen & bit(kBbox)) && !rec.null_box;
      masks_columns_.rows.push_back(rec.segment);
    }
    if (points_) {
      // Results are completed from alike lists (one length, a positive
      // multiple of three); a ground truth needs its count, and its box.
      const uint32_t length = rec.points.length;
      if (mode_ == Mode::kResults) {
        const auto& rows = points_columns_.rows;
        if (rec.null_box || length == 0 || length % 3 != 0 ||
            (rows.size() > 0 && rows[0].length != length)) {
          return needs_dicts();
        }
      } else if (!rec.has_num_keypoints || !(rec.seen & bit(kBbox)) || rec.null_box) {
        return needs_dicts();
      }
      rec.points.has_box = (rec.seen & bit(kBbox)) && !rec.null_box;
      points_columns_.rows.push_back(rec.points);
    }
    if (mode_ == Mode::kResults) {
      if (rec.seen & bit(kCaption)) {
        return r_.custom_error("caption results require caption loading");
      }
    } else {
      if (!rec.has_id) return r_.custom_error("missing GT id");
      if (!ids_.insert(rec.id).second) {
        return r_.custom_error("duplicate GT ids require dictionary indexing");
      }
      ground_truth_.push_back({rec.id, rec.area, rec.crowd, rec.has_area});
    }
    keys_.push_back({rec.image_id, rec.category_id, rec.score});
    boxes_.push_back(rec.box);
    return true;
  }

  // A failure that only becomes positioned once the enclosing record has
  // been closed as far as it can be: whitespace is skipped and the closing
  // bracket consumed when it is next (for a positional record, a comma and
  // the whitespace after it too).
  bool unpositioned(std::string message, char close) {
    int c = r_.skip_whitespace();
    if (c == close) {
      r_.advance();
    } else if (c == ',' && close == ']') {
      r_.advance();
      r_.skip_whitespace();
    }
    return r_.custom_error(std::move(message));
  }

  // After the last element of a fixed-length array: its closing bracket.
  bool sequence_end() {
    const int c = r_.skip_whitespace();
    if (c == ']') {
      r_.advance();
      return true;
    }
    if (c == ',') {
      r_.advance();
      return r_.peek_error(r_.skip_whitespace() == ']' ? ErrorCode::kTrailingComma
                                                       : ErrorCode::kTrailingCharacters);
    }
    return r_.peek_error(c < 0 ? ErrorCode::kEofWhileParsingList
                               : ErrorCode::kTrailingCharacters);
  }

  bool integer(int64_t& out) {
    const int c = r_.skip_whitespace();
    if (c == '-' || is_digit(static_cast<uint8_t>(c))) {
      Number n;
      if (!r_.parse_number(n)) return false;
      switch (n.kind) {
        case Number::Kind::kUnsigned:
          if (n.u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
            return r_.custom_error("invalid value: " + describe(n) + ", expected i64");
          }
          out = static_cast<int64_t>(n.u);
          return true;
        case Number::Kind::kSigned:
          out = n.i;
          return true;
        case Number::Kind::kFloat:
          break;
      }
      return r_.custom_error("invalid type: " + describe(n) + ", expected i64");
    }
    if (c < 0) return r_.peek_error(ErrorCode::kEofWhileParsingValue);
    return invalid_type(r_, "i64");
  }

  bool optional_i64(int64_t& out, bool& present) {
    present = false;
    if (r_.skip_whitespace() == 'n') return r_.parse_literal("ull");
    present = true;
    return integer(out);
  }

  bool optional_f64(double& out, bool& present) {
    present = false;
    const int c = r_.skip_whitespace();
    if (c == 'n') return r_.parse_literal("ull");
    if (c == '-' || is_digit(static_cast<uint8_t>(c))) {
      Number n;
      if (!r_.parse_number(n)) return false;
      out = as_double(n);
      present = true;
      return true;
    }
    if (c < 0) return r_.peek_error(ErrorCode::kEofWhileParsingValue);
    return invalid_type(r_, "f64");
  }

  static double as_double(const Number& n) {
    switch (n.kind) {
      case Number::Kind::kUnsigned:
        return static_cast<double>(n.u);
      case Number::Kind::kSigned:
        return static_cast<double>(n.i);
      case Number::Kind::kFloat:
        break;
    }
    return n.f;
  }

  bool bbox(rle::Box& box) {
    const int c = r_.skip_whitespace();
    if (c < 0) return r_.peek_error(ErrorCode::kEofWhileParsingValue);
    if (c != '[') return invalid_type(r_, "an array of length 4");
    if (!r_.enter_container()) return false;
    for (unsigned i = 0; i < 4; ++i) {
      switch (r_.array_step(i == 0)) {
        case Step::kFail:
          return false;
        case Step::kEnd:
          return r_.custom_error("invalid length " + std::to_string(i) +
                                 ", expected an array of length 4");
        case Step::kItem:
          break;
      }
      if (!coordinate(box[i])) return false;
    }
    if (!sequence_end()) return false;
    r_.leave_container();
    return true;
  }

  // A float as it is, or an integer that a double holds exactly; false for
  // an integer beyond that range.
  static bool exact_double(const Number& n, double& out) {
    switch (n.kind) {
      case Number::Kind::kFloat:
        out = n.f;
        return true;
      case Number::Kind::kUnsigned:
        if (n.u > kExactIntegerLimit) return false;
        out = static_cast<double>(n.u);
        return true;
      case Number::Kind::kSigned:
        if (n.i < -static_cast<int64_t>(kExactIntegerLimit)) return false;
        out = static_cast<double>(n.i);
        return true;
    }
    return false;
  }

  bool coordinate(double& out) {
    const int c = r_.skip_whitespace();
    if (c == '-' || is_digit(static_cast<uint8_t>(c))) {
      Number n;
      if (!r_.parse_number(n)) return false;
      return exact_double(n, out) || r_.custom_error("bbox integer exceeds exact float64 range");
    }
    if (c < 0) return r_.peek_error(ErrorCode::kEofWhileParsingValue);
    return invalid_type(r_, "a bbox coordinate with an exactly representable integer part");
  }

  // A segmentation: an RLE dict {"size": [h, w], "counts": str | [ints]} or
  // a list of polygons, each a list of numbers; null leaves it absent.
  bool segmentation(Record& rec) {
    const int c = r_.skip_whitespace();
    if (c == 'n') return r_.parse_literal("ull");
    rec.has_segment = true;
    if (c == '{') return rle_object(rec.segment);
    if (c == '[') return polygons(rec.segment);
    if (c < 0) return r_.peek_error(ErrorCode::kEofWhileParsingValue);
    return needs_dicts();
  }

  bool rle_object(SegmentRow& seg) {
    if (!r_.enter_container()) return false;
    bool size = false, counts = false;
    for (bool first = true;; first = false) {
      switch (r_.object_step(first)) {
        case Step::kFail:
          return false;
        case Step::kEnd:
          r_.leave_container();
          return size && counts ? true : needs_dicts();
        case Step::kItem:
          break;
      }
      r_.advance();  // the key's opening quote
      StringRef key;
      if (!r_.parse_string(key) || !r_.object_colon()) return false;
      if (key.view() == "size") {
        if (size) return needs_dicts();
        size = true;
        if (!rle_size(seg)) return false;
      } else if (key.view() == "counts") {
        if (counts) return needs_dicts();
        counts = true;
        if (!rle_counts(seg)) return false;
      } else if (!skip_value(r_)) {
        return false;
      }
    }
  }

  // The items of the array at the cursor (on "["), each read by item(),
  // through its closing bracket.
  template <class Item>
  bool array_items(Item&& item) {
    if (!r_.enter_container()) return false;
    for (bool first = true;; first = false) {
      switch (r_.array_step(first)) {
        case Step::kFail:
          return false;
        case Step::kEnd:
          r_.leave_container();
          return true;
        case Step::kItem:
          break;
      }
      if (!item()) return false;
    }
  }

  bool rle_size(SegmentRow& seg) {
    if (r_.skip_whitespace() != '[') return needs_dicts();
    if (!r_.enter_container()) return false;
    uint32_t hw[2] = {0, 0};
    for (unsigned i = 0;; ++i) {
      switch (r_.array_step(i == 0)) {
        case Step::kFail:
          return false;
        case Step::kEnd:
          if (i != 2) return needs_dicts();
          r_.leave_container();
          seg.height = hw[0];
          seg.width = hw[1];
          return true;
        case Step::kItem:
          break;
      }
      if (i >= 2) return needs_dicts();
      if (!u32_value(hw[i])) return false;
    }
  }

  bool rle_counts(SegmentRow& seg) {
    const int c = r_.skip_whitespace();
    if (c == '"') {
      r_.advance();
      StringRef text;
      if (!r_.parse_string(text)) return false;
      if (!text.ascii) return needs_dicts();
      seg.kind = SegmentRow::kCompressed;
      seg.begin = text_.size();
      text_.append(reinterpret_cast<const char*>(text.data), text.size);
      seg.end = text_.size();
      return true;
    }
    if (c != '[') return needs_dicts();
    seg.kind = SegmentRow::kRuns;
    seg.begin = masks_columns_.runs.size();
    const bool read = array_items([&] {
      uint32_t run;
      if (!u32_value(run)) return false;
      masks_columns_.runs.push_back(run);
      return true;
    });
    seg.end = masks_columns_.runs.size();
    return read;
  }

  // A whole number in [0, 2^32): what an RLE's sizes and runs hold.
  bool u32_value(uint32_t& out) {
    const int c = r_.skip_whitespace();
    if (!is_digit(static_cast<uint8_t>(c))) return c < 0 ? r_.peek_error(ErrorCode::kEofWhileParsingValue)
                                                         : needs_dicts();
    Number n;
    if (!r_.parse_number(n)) return false;
    if (n.kind != Number::Kind::kUnsigned || n.u > UINT32_MAX) return needs_dicts();
    out = static_cast<uint32_t>(n.u);
    return true;
  }

  bool polygons(SegmentRow& seg) {
    auto& m = masks_columns_;
    seg.kind = SegmentRow::kPolygons;
    seg.begin = m.coords.size();
    seg.ring_begin = m.ring_ends.size();
    const bool read = array_items([&] {
      if (r_.skip_whitespace() != '[') return needs_dicts();
      const bool ring = array_items([&] {
        double v;
        if (!exact_value(v)) return false;
        m.coords.push_back(v);
        return true;
      });
      if (!ring) return false;
      const uint64_t end = m.coords.size() - seg.begin;
      if (end > UINT32_MAX) return needs_dicts();
      m.ring_ends.push_back(static_cast<uint32_t>(end));
      return true;
    });
    seg.end = m.coords.size();
    seg.rings = static_cast<uint32_t>(m.ring_ends.size() - seg.ring_begin);
    return read;
  }

  // A keypoint list: numbers; null leaves it absent.
  bool keypoints(KeypointRow& row) {
    const int c = r_.skip_whitespace();
    if (c == 'n') return r_.parse_literal("ull");
    if (c != '[') return c < 0 ? r_.peek_error(ErrorCode::kEofWhileParsingValue) : needs_dicts();
    auto& values = points_columns_.values;
    row.begin = values.size();
    const bool read = array_items([&] {
      double v;
      if (!exact_value(v)) return false;
      values.push_back(v);
      return true;
    });
    if (!read) return false;
    if (values.size() - row.begin > UINT32_MAX) return needs_dicts();
    row.length = static_cast<uint32_t>(values.size() - row.begin);
    return true;
  }

  // A polygon coordinate or keypoint value: a float, or an integer that a
  // double holds exactly.
  bool exact_value(double& out) {
    const int c = r_.skip_whitespace();
    if (c != '-' && !is_digit(static_cast<uint8_t>(c))) {
      return c < 0 ? r_.peek_error(ErrorCode::kEofWhileParsingValue) : needs_dicts();
    }
    Number n;
    if (!r_.parse_number(n)) return false;
    return exact_double(n, out) || needs_dicts();
  }

  bool crowd(uint8_t& out, char close) {
    if (r_.skip_whitespace() == 'n') {
      out = 0;
      return r_.parse_literal("ull");
    }
    CrowdSink sink;
    const CrowdSink::Value v = Parser<CrowdSink>(r_, sink).value();
    if (!v) return false;
    if (v.kind == CrowdSink::Kind::kUnusable) {
      return unpositioned("data did not match any variant of untagged enum Crowd", close);
    }
    out = v.kind == CrowdSink::Kind::kSet;
    return true;
  }

  Reader& r_;
  Mode mode_;
  bool scores_required_;
  bool masks_;
  bool points_;
  MaskColumns masks_columns_;
  KeypointColumns points_columns_;
  RowBuffer<char> text_;  // the counts strings, handed over shared
  RowBuffer<KeyRow> keys_;
  RowBuffer<GroundTruthRow> ground_truth_;
  RowBuffer<rle::Box> boxes_;
  std::unordered_set<int64_t> ids_;  // dataset mode: ids seen so far
};

}  // namespace

bool invalid_type(Reader& r, const char* expected) {
  std::string found;
  switch (r.peek()) {
    case 'n':
      if (!r.parse_literal("ull")) return false;
      found = "null";
      break;
    case 't':
      if (!r.parse_literal("rue")) return false;
      found = "boolean `true`";
      break;
    case 'f':
      if (!r.parse_literal("alse")) return false;
      found = "boolean `false`";
      break;
    case '-':
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9': {
      Number n;
      if (!r.parse_number(n)) return false;
      found = describe(n);
      break;
    }
    case '"': {
      r.advance();
      StringRef s;
      if (!r.parse_string(s)) return false;
      found = "string " + debug_quote(s.view());
      break;
    }
    case '[':
      found = "sequence";
      break;
    case '{':
      found = "map";
      break;
    default:
      return r.peek_error(ErrorCode::kExpectedSomeValue);
  }
  return r.custom_error("invalid type: " + found + ", expected " + expected);
}

bool read_records(Reader& r, Mode mode, Columns& out, Scores scores, Geometry geometry,
                  const RunBoth& run_both, size_t split_from) {
  return RecordReader(r, mode, scores, geometry).run(out, run_both, split_from);
}

bool read_results_document(Reader& r, Columns& out, Scores scores, Geometry geometry,
                           const RunBoth& run_both, size_t split_from) {
  Columns columns;
  if (!RecordReader(r, Mode::kResults, scores, geometry).run(columns, run_both, split_from) ||
      !r.end_of_document()) {
    return false;
  }
  out = std::move(columns);
  return true;
}

}  // namespace quillscore::json
