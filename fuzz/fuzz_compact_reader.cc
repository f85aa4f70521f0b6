// The typed record reader on arbitrary bytes, in both modes: it never reads
// out of bounds, positions every error inside the input, accepts only what
// the grammar-only validator accepts, and (where the strict reader can build
// the whole document) yields exactly the rows a literal walk of the built
// tree gives.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/json/records.h"
#include "fuzz/json_checks.h"

using namespace quillscore::json;

namespace {

// A plain tree of the document: the literal reference reads rows from it.
struct Node {
  enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject } kind = Kind::kNull;
  Number number{};
  std::string text;
  std::vector<std::string> keys;
  std::vector<std::unique_ptr<Node>> items;

  const Node* member(const std::string& key) const {
    const Node* found = nullptr;  // a repeated key takes the last value
    for (size_t i = 0; i < keys.size(); ++i) {
      if (keys[i] == key) found = items[i].get();
    }
    return found;
  }
};

struct TreeSink {
  using Value = std::unique_ptr<Node>;
  static Value make(Node::Kind k) {
    auto n = std::make_unique<Node>();
    n->kind = k;
    return n;
  }
  static Value string(const StringRef& s) {
    Value v = make(Node::Kind::kString);
    v->text = std::string(s.view());
    return v;
  }
  static Value number(const Number& n) {
    Value v = make(Node::Kind::kNumber);
    v->number = n;
    return v;
  }
  static Value boolean(bool) { return make(Node::Kind::kBool); }
  static Value null() { return make(Node::Kind::kNull); }
  static Value array() { return make(Node::Kind::kArray); }
  static bool append(Value& a, Value item) {
    a->items.push_back(std::move(item));
    return true;
  }
  static Value object() { return make(Node::Kind::kObject); }
  static Value key(const StringRef& s) { return string(s); }
  static bool set(Value& o, Value key, Value item) {
    o->keys.push_back(key->text);
    o->items.push_back(std::move(item));
    return true;
  }
};

double as_double(const Node* n) {
  switch (n->number.kind) {
    case Number::Kind::kUnsigned:
      return static_cast<double>(n->number.u);
    case Number::Kind::kSigned:
      return static_cast<double>(n->number.i);
    case Number::Kind::kFloat:
      break;
  }
  return n->number.f;
}

int64_t as_i64(const Node* n) {
  return n->number.kind == Number::Kind::kSigned ? n->number.i
                                                 : static_cast<int64_t>(n->number.u);
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void check_against_tree(std::string_view bytes, const Columns& c, Scores scores) {
  Reader r(bytes);
  TreeSink sink;
  auto root = Parser<TreeSink>(r, sink).document();
  if (!root) return;  // a skipped member the strict reader refuses
  JSON_CHECK(root->kind == Node::Kind::kArray, "accepted a top level that is not an array");
  JSON_CHECK(root->items.size() == c.size(), "row count differs from the array's length");
  for (size_t i = 0; i < c.size(); ++i) {
    const Node* rec = root->items[i].get();
    const Node *image, *category, *score, *box;
    if (rec->kind == Node::Kind::kObject) {
      image = rec->member("image_id");
      category = rec->member("category_id");
      score = rec->member("score");
      box = rec->member("bbox");
    } else {
      JSON_CHECK(rec->kind == Node::Kind::kArray && rec->items.size() >= 5,
                 "accepted a record that is neither an object nor a long enough array");
      image = rec->items[2].get();
      category = rec->items[3].get();
      box = rec->items[4].get();
      score = rec->items.size() > 6 ? rec->items[6].get() : nullptr;
    }
    JSON_CHECK(image && category && box, "accepted a record without its required members");
    JSON_CHECK(c.keys[i].image_id == as_i64(image), "image_id differs");
    JSON_CHECK(c.keys[i].category_id == as_i64(category), "category_id differs");
    const bool numeric = score && score->kind == Node::Kind::kNumber;
    JSON_CHECK(numeric || scores == Scores::kDefaultZero,
               "accepted a record without a score where scores are required");
    const double s = numeric ? as_double(score) : 0.0;
    JSON_CHECK(same_bits(c.keys[i].score, s), "score differs");
    JSON_CHECK(box->items.size() == 4, "accepted a box that does not hold 4 values");
    for (size_t k = 0; k < 4; ++k) {
      JSON_CHECK(same_bits((*c.boxes)[i][k], as_double(box->items[k].get())), "box differs");
    }
  }
}

void run(std::string_view bytes, Mode mode, Scores scores = Scores::kDefaultZero) {
  Reader r(bytes);
  Columns c;
  const bool ok = mode == Mode::kResults
                      ? read_results_document(r, c, scores)
                      : read_records(r, mode, c) && r.end_of_document();
  if (!ok) {
    JSON_CHECK(r.failed(), "the record reader failed without an error");
    fuzz_json::check_position(r.parse_error(), bytes.size());
    return;
  }
  const size_t n = c.size();
  JSON_CHECK(c.boxes && c.boxes->size() == n, "box rows and key rows differ in number");
  const size_t extra = mode == Mode::kDataset ? n : 0;
  JSON_CHECK(c.ground_truth.size() == extra, "ground-truth rows in the wrong mode");
  JSON_CHECK(c.bytes() == n * 56 + extra * 24, "the columns are not trimmed to their rows");
  for (const GroundTruthRow& g : c.ground_truth) {
    JSON_CHECK(g.iscrowd <= 1, "a crowd flag other than 0 or 1");
  }
  Reader grammar(bytes);
  JSON_CHECK(validate_document(grammar), "the validator rejects what the record reader accepts");
  check_against_tree(bytes, c, scores);
}

// Mask records: whatever is accepted is valid JSON, and every record's
// segmentation lies within the buffers it points into.
void run_masks(std::string_view bytes, Mode mode) {
  Reader r(bytes);
  Columns c;
  const bool ok = mode == Mode::kResults
                      ? read_results_document(r, c, Scores::kDefaultZero, Geometry::kMask)
                      : read_records(r, mode, c, Scores::kDefaultZero, Geometry::kMask) &&
                            r.end_of_document();
  if (!ok) {
    JSON_CHECK(r.failed(), "the mask reader failed without an error");
    fuzz_json::check_position(r.parse_error(), bytes.size());
    return;
  }
  Reader grammar(bytes);
  JSON_CHECK(validate_document(grammar), "the validator rejects what the mask reader accepts");
  const MaskColumns& m = c.masks;
  JSON_CHECK(m.rows.size() == c.size(), "mask rows and key rows differ in number");
  for (const SegmentRow& s : m.rows) {
    JSON_CHECK(s.begin <= s.end, "a segmentation range runs backwards");
    switch (s.kind) {
      case SegmentRow::kCompressed:
        JSON_CHECK(m.text && s.end <= m.text->size(), "counts text beyond its buffer");
        break;
      case SegmentRow::kRuns:
        JSON_CHECK(s.end <= m.runs.size(), "runs beyond their buffer");
        break;
      case SegmentRow::kPolygons:
        JSON_CHECK(mode == Mode::kDataset, "polygons accepted among results");
        JSON_CHECK(s.end <= m.coords.size() && s.ring_begin + s.rings <= m.ring_ends.size(),
                   "polygons beyond their buffers");
        for (uint32_t k = 0; k < s.rings; ++k) {
          JSON_CHECK(m.ring_ends[s.ring_begin + k] <= s.end - s.begin, "a ring ends beyond its polygons");
        }
        break;
    }
  }
}

// Keypoint records: whatever is accepted is valid JSON, every record's
// values lie within the buffer, and results' lists are alike.
void run_keypoints(std::string_view bytes, Mode mode) {
  Reader r(bytes);
  Columns c;
  const bool ok = mode == Mode::kResults
                      ? read_results_document(r, c, Scores::kDefaultZero, Geometry::kKeypoints)
                      : read_records(r, mode, c, Scores::kDefaultZero, Geometry::kKeypoints) &&
                            r.end_of_document();
  if (!ok) {
    JSON_CHECK(r.failed(), "the keypoint reader failed without an error");
    fuzz_json::check_position(r.parse_error(), bytes.size());
    return;
  }
  Reader grammar(bytes);
  JSON_CHECK(validate_document(grammar), "the validator rejects what the keypoint reader accepts");
  const KeypointColumns& k = c.keypoints;
  JSON_CHECK(k.rows.size() == c.size(), "keypoint rows and key rows differ in number");
  for (const KeypointRow& row : k.rows) {
    JSON_CHECK(row.begin + row.length <= k.values.size(), "keypoints beyond their buffer");
    if (mode == Mode::kResults) {
      JSON_CHECK(row.length > 0 && row.length % 3 == 0 && row.length == k.rows[0].length,
                 "results with keypoint lists that are not alike");
    }
  }
}

// An array read in two halves (split wherever a record might start) gives
// exactly the rows, or the error, of one reading from the start.
template <class T>
bool same_rows(const RowBuffer<T>& a, const RowBuffer<T>& b) {
  return a.size() == b.size() && (a.size() == 0 || std::memcmp(a.begin(), b.begin(), a.size() * sizeof(T)) == 0);
}

// Each mask row as its fields and its own values, wherever its counts text
// lies (the halves leave room between their texts), without padding bytes.
std::vector<std::string> mask_rows(const MaskColumns& m) {
  std::vector<std::string> out;
  for (const SegmentRow& s : m.rows) {
    std::string row = std::to_string(int{s.kind}) + " " + std::to_string(s.height) + " " +
                      std::to_string(s.width) + " " + std::to_string(int{s.has_box}) + " ";
    if (s.kind == SegmentRow::kCompressed) {
      row.append(m.text->begin() + s.begin, m.text->begin() + s.end);
    } else {
      row += std::to_string(s.begin) + " " + std::to_string(s.end) + " " + std::to_string(s.ring_begin) +
             " " + std::to_string(s.rings);
    }
    out.push_back(std::move(row));
  }
  return out;
}

std::vector<std::string> keypoint_rows(const KeypointColumns& k) {
  std::vector<std::string> out;
  for (const KeypointRow& r : k.rows) {
    out.push_back(std::to_string(r.begin) + " " + std::to_string(r.length) + " " +
                  std::to_string(int{r.has_box}) + " " + std::to_string(r.num_keypoints));
  }
  return out;
}

std::vector<std::string> ground_truth_rows(const Columns& c) {
  std::vector<std::string> out;
  for (const GroundTruthRow& g : c.ground_truth) {
    uint64_t area;
    std::memcpy(&area, &g.area, 8);
    out.push_back(std::to_string(g.id) + " " + std::to_string(area) + " " + std::to_string(int{g.iscrowd}) +
                  " " + std::to_string(int{g.has_area}));
  }
  return out;
}

void run_split(std::string_view bytes, Geometry geometry, Mode mode) {
  Reader whole(bytes), halves(bytes);
  Columns a, b;
  const RunBoth one_then_other = [](const std::function<void()>& x, const std::function<void()>& y) {
    y();  // the second half first: nothing may depend on the order
    x();
  };
  const auto read = [&](Reader& r, Columns& c, const RunBoth& run_both) {
    return mode == Mode::kResults
               ? read_results_document(r, c, Scores::kDefaultZero, geometry, run_both, 0)
               : read_records(r, mode, c, Scores::kDefaultZero, geometry, run_both, 0) && r.end_of_document();
  };
  const bool ok_a = read(whole, a, {});
  const bool ok_b = read(halves, b, one_then_other);
  JSON_CHECK(ok_a == ok_b, "reading in halves succeeds where one reading does not, or fails where it succeeds");
  if (!ok_a) {
    JSON_CHECK(whole.parse_error().render() == halves.parse_error().render(),
               "reading in halves fails otherwise", whole.parse_error().render() + " vs " +
                                                         halves.parse_error().render());
    return;
  }
  JSON_CHECK(same_rows(a.keys, b.keys) && same_rows(*a.boxes, *b.boxes), "halves give other rows");
  JSON_CHECK(ground_truth_rows(a) == ground_truth_rows(b), "halves give other ground-truth rows");
  JSON_CHECK(mask_rows(a.masks) == mask_rows(b.masks) && same_rows(a.masks.runs, b.masks.runs) &&
                 same_rows(a.masks.coords, b.masks.coords) && same_rows(a.masks.ring_ends, b.masks.ring_ends),
             "halves give other masks");
  JSON_CHECK(a.bytes() == b.bytes(), "halves hold other column bytes");
  JSON_CHECK(keypoint_rows(a.keypoints) == keypoint_rows(b.keypoints) &&
                 same_rows(a.keypoints.values, b.keypoints.values),
             "halves give other keypoints");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  run(bytes, Mode::kResults);
  run(bytes, Mode::kResults, Scores::kRequired);
  run(bytes, Mode::kDataset);
  run_masks(bytes, Mode::kResults);
  run_masks(bytes, Mode::kDataset);
  run_keypoints(bytes, Mode::kResults);
  run_keypoints(bytes, Mode::kDataset);
  for (Geometry g : {Geometry::kBox, Geometry::kMask, Geometry::kKeypoints}) {
    run_split(bytes, g, Mode::kResults);
    run_split(bytes, g, Mode::kDataset);
  }
  return 0;
}
