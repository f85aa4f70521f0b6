// The typed record reader without the interpreter: the rows each record
// becomes in both modes (defaults, escaped keys, positional records), what a
// failed read leaves behind, and the footprint of the columns. Its messages
// and their positions are held to the module's in tests/python/test_compact.py.
#include "core/json/records.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace quillscore::json {
namespace {

struct Row {
  int64_t image_id, category_id;
  double score;
  rle::Box box;
  int64_t id;  // ground truth only, as are area and crowd
  double area;   // compared only where the record gives one
  uint8_t crowd;
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
  if (want.has_area) EXPECT_EQ(out.ground_truth[0].area, want.area);
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

}  // namespace
}  // namespace quillscore::json
