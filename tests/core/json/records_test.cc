// The typed record reader without the interpreter: the rows each record
// becomes in both modes (defaults, escaped keys, positional records), what a
// failed read leaves behind, and the footprint of the columns. Its messages
// and their positions are held to the module's in tests/python/test_compact.py.
#include "core/json/records.h"

#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <string_view>
#include <tuple>
#include <vector>

namespace quillscore::json {
namespace {

struct Row {
  int64_t image_id, category_id;
  double score;
  rle::Box box;
  int64_t id = 0;  // ground truth only, as are area and crowd
  double area = 0;   // compared only where the record gives one
  uint8_t crowd = 0;
  bool has_area = true;
};

struct RowsCase {
  const char* name;
  Mode mode;
  std::string doc;  // one record
  Row row;
};

const RowsCase kRowsCases[] = {
    {"ResultWithScore", Mode::kResults,
     R"({"image_id": 4, "category_id": 5, "bbox": [1.5, 2, 3, 4], "score": 0.25})",
     {4, 5, 0.25, {1.5, 2, 3, 4}}},
    {"ResultScoreAbsentIsZero", Mode::kResults,
     R"({"bbox": [0, 0, 1, 1], "category_id": -2, "image_id": 9, "extra": {"a": [1]}})",
     {9, -2, 0, {0, 0, 1, 1}}},
    {"ResultScoreNullIsZero", Mode::kResults,
     R"({"image_id": 1, "category_id": 2, "bbox": [0, 0, 1, 1], "score": null})",
     {1, 2, 0, {0, 0, 1, 1}}},
    {"EscapedKeysAreKnown", Mode::kResults,
     R"({"\u0069mage_id": 3, "category\u005fid": 1, "b\u0062ox": [0, 0, 2, 2], "sco\u0072e": 7})",
     {3, 1, 7, {0, 0, 2, 2}}},
    // The default area is the intake's to apply, not the reader's.
    {"GroundTruthWithoutAreaSaysSo", Mode::kDataset,
     R"({"id": 11, "image_id": 1, "category_id": 2, "bbox": [0, 0, 3, 2.5]})",
     {1, 2, 0, {0, 0, 3, 2.5}, 11, 0, 0, false}},
    {"GroundTruthAreaAndCrowdAsWritten", Mode::kDataset,
     R"({"id": -1, "image_id": 1, "category_id": 2, "bbox": [0, 0, 3, 2], "area": 4, "iscrowd": true})",
     {1, 2, 0, {0, 0, 3, 2}, -1, 4, 1}},
    {"GroundTruthCrowdNullIsClear", Mode::kDataset,
     R"({"id": 5, "image_id": 1, "category_id": 2, "bbox": [0, 0, 1, 1], "iscrowd": null})",
     {1, 2, 0, {0, 0, 1, 1}, 5, 0, 0, false}},
    {"PositionalGroundTruth", Mode::kDataset, R"([null, 8, 1, 2, [0, 0, 4, 4], 3.5, null, 2])",
     {1, 2, 0, {0, 0, 4, 4}, 8, 3.5, 1}},
};

void PrintTo(const RowsCase& c, std::ostream* os) { *os << c.name; }

class RecordRows : public ::testing::TestWithParam<RowsCase> {};

TEST_P(RecordRows, OneRecord) {
  const RowsCase& c = GetParam();
  const std::string doc = "[" + c.doc + "]";
  Reader r(doc);
  Columns out;
  ASSERT_TRUE(read_records(r, c.mode, out)) << r.parse_error().render();
  ASSERT_EQ(out.size(), 1u);
  const Row& want = c.row;
  EXPECT_EQ(out.keys[0].image_id, want.image_id);
  EXPECT_EQ(out.keys[0].category_id, want.category_id);
  EXPECT_EQ(out.keys[0].score, want.score);
  EXPECT_EQ((*out.boxes)[0], want.box);
  if (c.mode == Mode::kResults) {
    EXPECT_EQ(out.ground_truth.size(), 0u);
    return;
  }
  ASSERT_EQ(out.ground_truth.size(), 1u);
  EXPECT_EQ(out.ground_truth[0].id, want.id);
  EXPECT_EQ(out.ground_truth[0].has_area, want.has_area);
  if (want.has_area) {
    EXPECT_EQ(out.ground_truth[0].area, want.area);
  }
  EXPECT_EQ(out.ground_truth[0].iscrowd, want.crowd);
}

INSTANTIATE_TEST_SUITE_P(Cases, RecordRows, ::testing::ValuesIn(kRowsCases),
                         [](const auto& info) { return std::string(info.param.name); });

constexpr std::string_view kTwoRecords =
    R"([{"id": 1, "image_id": 1, "category_id": 2, "bbox": [0, 0, 1, 1]},
        {"id": 2, "image_id": 3, "category_id": 4, "bbox": [1, 1, 2, 2]}])";

TEST(RecordReader, ColumnsAreTrimmedToTheirRows) {
  for (const Mode mode : {Mode::kResults, Mode::kDataset}) {
    Reader r(kTwoRecords);
    Columns out;
    ASSERT_TRUE(read_records(r, mode, out));
    const size_t gt = mode == Mode::kDataset ? 2 : 0;
    EXPECT_EQ(out.bytes(), 2 * (sizeof(KeyRow) + sizeof(rle::Box)) + gt * sizeof(GroundTruthRow));
  }
  Reader r("[]");
  Columns out;
  ASSERT_TRUE(read_records(r, Mode::kDataset, out));
  EXPECT_EQ(out.size(), 0u);
  EXPECT_EQ(out.bytes(), 0u);
}

TEST(RecordReader, AFailedReadLeavesTheColumnsAsTheyWere) {
  Reader good(kTwoRecords);
  Columns out;
  ASSERT_TRUE(read_records(good, Mode::kResults, out));
  for (const std::string bad : {R"([{"image_id": 1, "category_id": 2, "bbox": [0, 0, 1, 1]}, 5])",
                                R"([{"image_id": 1, "category_id": 2, "bbox": [0, 0, 1, 1]}] x)"}) {
    Reader r(bad);
    EXPECT_FALSE(read_results_document(r, out));
    EXPECT_TRUE(r.failed());
    ASSERT_EQ(out.size(), 2u) << bad;
    EXPECT_EQ(out.keys[1].image_id, 3);
  }
}

TEST(RecordReader, TheCursorEndsJustAfterTheArray) {
  Reader r(R"(  [] , "rest")");
  Columns out;
  ASSERT_TRUE(read_records(r, Mode::kResults, out));
  EXPECT_EQ(r.offset(), 4u);
}

TEST(RowBuffer, AppendingDrainsTheOtherSliceBySlice) {
  // Enough rows for several slices of the draining copy.
  RowBuffer<KeyRow> a, b;
  for (int64_t i = 0; i < 10; ++i) a.push_back({i, 0, 0});
  for (int64_t i = 10; i < 1'000'010; ++i) b.push_back({i, -i, 0.5});
  a.append_draining(b);
  EXPECT_EQ(b.size(), 0u);
  EXPECT_EQ(b.capacity(), 0u);
  ASSERT_EQ(a.size(), 1'000'010u);
  for (int64_t i = 0; i < 1'000'010; ++i) {
    ASSERT_EQ(a[static_cast<size_t>(i)].image_id, i);
    if (i >= 10) {
      ASSERT_EQ(a[static_cast<size_t>(i)].category_id, -i);
    }
  }
}

TEST(RowBuffer, ALentBufferIsTakenBackInPlaceOrMovesOutWhenItOutgrowsItsRoom) {
  for (const size_t rows : {0, 5, 8, 9, 100}) {
    RowBuffer<int64_t> owner;
    owner.reserve(16);
    for (int64_t i = 0; i < 3; ++i) owner.push_back(i);
    size_t at;
    {
      RowBuffer<int64_t> lent = RowBuffer<int64_t>::lend(owner, 8, 8);
      for (size_t i = 0; i < rows; ++i) lent.push_back(static_cast<int64_t>(100 + i));
      at = owner.take_back(lent);
      EXPECT_EQ(lent.size(), 0u);
    }
    // In its room it stays where it was written; grown out of it, it follows.
    EXPECT_EQ(at, rows <= 8 ? 8u : 3u);
    ASSERT_EQ(owner.size(), at + rows);
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(owner[i], static_cast<int64_t>(i));
    for (size_t i = 0; i < rows; ++i) EXPECT_EQ(owner[at + i], static_cast<int64_t>(100 + i));
  }
  // Dropped without being taken back, it leaves the owner's room alone.
  RowBuffer<int64_t> owner;
  owner.reserve(4);
  { RowBuffer<int64_t> lent = RowBuffer<int64_t>::lend(owner, 0, 4); lent.push_back(1); lent.trim(); }
  owner.push_back(7);
  EXPECT_EQ(owner[0], 7);
}

// --- reading a results array in two halves ---------------------------------

template <class T>
std::vector<T> rows_of(const RowBuffer<T>& b) {
  return std::vector<T>(b.begin(), b.end());
}

// A results document of `n` records of one geometry, with strings and nested
// arrays that hold "},{" where a split might be guessed; `record(i)` may
// replace any record.
std::string results_doc(Geometry g, int n, const std::function<std::string(int)>& record = {}) {
  std::string doc = "[";
  for (int i = 0; i < n; ++i) {
    std::string r = record ? record(i) : "";
    if (r.empty()) {
      r = R"({"image_id": )" + std::to_string(i % 7) + R"(, "category_id": 1, "score": 0.)" +
          std::to_string(i % 10);
      if (i % 4 == 0) r += R"(, "note": "a},{b", "extra": [{"x": 1},{"y": 2}])";
      if (g == Geometry::kBox || i % 3 == 0) r += R"(, "bbox": [1, 2, 3, 4])";
      if (g == Geometry::kMask) r += R"(, "segmentation": {"size": [4, 5], "counts": "0a\\1"})";
      if (g == Geometry::kKeypoints) r += R"(, "keypoints": [1, 2, 2, 3.5, 4, 1])";
      r += "}";
    }
    doc += (i ? ",\n " : "") + r;
  }
  return doc + "]";
}

struct Read {
  bool ok;
  std::string error;
  Columns columns;
};

Read read(const std::string& doc, Geometry g, const RunBoth& run_both, Mode mode) {
  Reader r(doc);
  Read out;
  out.ok = mode == Mode::kResults
               ? read_results_document(r, out.columns, Scores::kDefaultZero, g, run_both, 0)
               : read_records(r, mode, out.columns, Scores::kDefaultZero, g, run_both, 0) &&
                     r.end_of_document();
  if (!out.ok) out.error = r.parse_error().render();
  return out;
}

// A mask row with its counts text in place of where the text lies.
// (Rows are compared field by field: their padding is not theirs.)
std::vector<std::string> mask_rows(const MaskColumns& m) {
  std::vector<std::string> out;
  for (SegmentRow s : rows_of(m.rows)) {
    std::string text;
    if (s.kind == SegmentRow::kCompressed) {
      text.assign(m.text->begin() + s.begin, m.text->begin() + s.end);
      s.begin = s.end = 0;
    }
    std::ostringstream row;
    row << int{s.kind} << " " << s.begin << " " << s.end << " " << s.ring_begin << " " << s.height << " "
        << s.width << " " << s.rings << " " << int{s.has_box} << " " << text;
    out.push_back(row.str());
  }
  return out;
}

std::vector<std::tuple<uint64_t, uint32_t, uint8_t, int64_t>> keypoint_rows(const KeypointColumns& k) {
  std::vector<std::tuple<uint64_t, uint32_t, uint8_t, int64_t>> out;
  for (const KeypointRow& r : rows_of(k.rows)) out.emplace_back(r.begin, r.length, r.has_box, r.num_keypoints);
  return out;
}

// The ground-truth rows field by field (their padding is not theirs).
std::vector<std::tuple<int64_t, double, uint8_t, uint8_t>> ground_truth_of(const Columns& c) {
  std::vector<std::tuple<int64_t, double, uint8_t, uint8_t>> out;
  for (const GroundTruthRow& g : rows_of(c.ground_truth)) out.emplace_back(g.id, g.area, g.iscrowd, g.has_area);
  return out;
}

bool same(const Columns& a, const Columns& b) {
  const auto bytes = [](const auto& v) {
    return std::string(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(v[0]));
  };
  return bytes(rows_of(a.keys)) == bytes(rows_of(b.keys)) &&
         bytes(rows_of(*a.boxes)) == bytes(rows_of(*b.boxes)) &&
         mask_rows(a.masks) == mask_rows(b.masks) &&
         bytes(rows_of(a.masks.coords)) == bytes(rows_of(b.masks.coords)) &&
         bytes(rows_of(a.masks.ring_ends)) == bytes(rows_of(b.masks.ring_ends)) &&
         keypoint_rows(a.keypoints) == keypoint_rows(b.keypoints) &&
         bytes(rows_of(a.keypoints.values)) == bytes(rows_of(b.keypoints.values));
}

TEST(RecordReader, ReadingInHalvesGivesOneReadingsRowsAndErrors) {
  const RunBoth second_first = [](const std::function<void()>& a, const std::function<void()>& b) {
    b();
    a();
  };
  const RunBoth at_once = [](const std::function<void()>& a, const std::function<void()>& b) {
    std::thread other(b);
    a();
    other.join();
  };
  // The halves, whichever runs first, give one reading's rows or error.
  const auto halves_match_one_reading = [&](const std::string& doc, Geometry g, Mode mode) {
    Read one = read(doc, g, {}, mode);
    for (const RunBoth& run_both : {second_first, at_once}) {
      const Read halves = read(doc, g, run_both, mode);
      EXPECT_EQ(one.ok, halves.ok) << doc;
      EXPECT_EQ(one.error, halves.error) << doc;
      if (one.ok && halves.ok) {
        EXPECT_TRUE(same(one.columns, halves.columns)) << doc;
        EXPECT_EQ(one.columns.bytes(), halves.columns.bytes()) << doc;
        EXPECT_EQ(ground_truth_of(one.columns), ground_truth_of(halves.columns)) << doc;
      }
    }
    return one;
  };
  // Broken records, placed early (the first half's) or late (the second's).
  const std::string broken[] = {
      "",                                                          // none
      R"({"image_id": 1, "category_id": 1, "score": 1, "bbox": [1, 2]})",  // bad box
      R"({"image_id": 1})",                                        // missing members
      R"({"image_id": 1, "category_id": 1, "score": 1, "keypoints": [1, 2, 2, 3, 3, 3, 4, 4, 4],
          "segmentation": [[1, 2, 3, 4, 5, 6]], "bbox": [1, 2, 3, 4]})",  // other lengths and kinds
      R"({"image_id": 1, "category_id": 1, "score": 1, "bbox": [1, 2, 3, 4],
          "segmentation": {"size": [4, 5], "counts": "0a"}, "keypoints": [1, 2, 2, 3.5, 4, 1]})",  // boxed
  };
  for (const Geometry g : {Geometry::kBox, Geometry::kMask, Geometry::kKeypoints}) {
    for (const std::string& bad : broken) {
      for (const int at : {1, 30, 59}) {
        // A record count per place, so that the middle falls now on a
        // record's start and now inside one.
        const int n = 60 + at % 5;
        const std::string doc = results_doc(g, n, [&](int i) { return i == at ? bad : ""; });
        const Read one = halves_match_one_reading(doc, g, Mode::kResults);
        if (one.ok) {
          EXPECT_EQ(one.columns.size(), static_cast<size_t>(n));
        }
      }
    }
  }
  // Ground truth: ids must differ across the halves too. Record `at` takes
  // the id of record `like` (itself: no repeat), or is dropped of its id.
  for (const Geometry g : {Geometry::kBox, Geometry::kMask, Geometry::kKeypoints}) {
    for (const auto& [at, like] : {std::pair{40, 40}, std::pair{5, 2}, std::pair{58, 3}, std::pair{59, 57},
                                  std::pair{33, -1}}) {
      const auto record = [&, at = at, like = like](int i) {
        const int id = i == at ? like : i;
        std::string r = R"({"image_id": )" + std::to_string(i % 7) + R"(, "category_id": 1, "area": 6)";
        if (id >= 0) r += R"(, "id": )" + std::to_string(id);
        if (i % 4 == 0) r += R"(, "note": "a},{b")";
        r += R"(, "iscrowd": 0, "bbox": [1, 2, 3, 4])";
        if (g == Geometry::kMask) r += R"(, "segmentation": [[1, 2, 3, 4, 5, 6]])";
        if (g == Geometry::kKeypoints) r += R"(, "num_keypoints": 1, "keypoints": [1, 2, 2])";
        return r + "}";
      };
      const std::string doc = results_doc(g, 62, record);
      EXPECT_EQ(halves_match_one_reading(doc, g, Mode::kDataset).ok, at == like) << doc;
    }
  }
}

}  // namespace
}  // namespace quillscore::json
