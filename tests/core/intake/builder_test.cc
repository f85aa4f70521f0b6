// The intake rules, each once, on the builder every source feeds.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/base/error.h"
#include "core/intake/builder.h"
#include "core/intake/keypoints.h"
#include "core/intake/positions.h"

namespace quillscore::intake {
namespace {

constexpr uint32_t kOut = group::kUnlisted;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Images 10, 20, 30 and categories 1, 2 (ids unlike their positions).
LookupTables tables() {
  LookupTables t;
  const std::vector<int64_t> images{10, 20, 30}, categories{1, 2};
  t.images = PositionTable(images);
  t.categories = PositionTable(categories);
  return t;
}

Row row(int64_t image, int64_t category) {
  Row r;
  r.image_id = image;
  r.category_id = category;
  r.box = {1, 2, 3, 4};
  return r;
}

// Lists kept as an array over their range and lists kept in a hash table
// answer alike: every id asked, its neighbours, and the ends of int64.
TEST(Positions, EveryIdListAnswersWithTheLaterPositionOfAnId) {
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  std::vector<int64_t> spread;  // 100 ids 1,000 apart: too thin for an array
  for (int64_t i = 0; i < 100; ++i) spread.push_back(-50'000 + i * 1000);
  const std::vector<std::vector<int64_t>> lists = {
      {7, 8, 7, -1}, {-3, -2, -1}, {0}, {kMax}, {kMin}, {kMin, kMax}, {kMax, 0, kMax - 5000},
      {1, 5000, 3}, spread};
  for (const auto& ids : lists) {
    const PositionTable t(ids);
    std::map<int64_t, uint32_t> expected;
    for (size_t i = 0; i < ids.size(); ++i) expected[ids[i]] = static_cast<uint32_t>(i);
    std::set<int64_t> asked{kMin, kMax, 0};
    for (const int64_t id : ids) {
      for (const int64_t step : {-1, 0, 1}) {
        if ((step < 0 && id == kMin) || (step > 0 && id == kMax)) continue;
        asked.insert(id + step);
      }
    }
    for (const int64_t id : asked) {
      const auto it = expected.find(id);
      EXPECT_EQ(t.find(id), it == expected.end() ? kOut : it->second)
          << "id " << id << " of a list of " << ids.size();
    }
  }
}

TEST(Positions, CachedLookupAnswersAsTheTable) {
  const std::vector<int64_t> ids{5, 0, 9};
  const PositionTable t(ids);
  PositionLookup lookup(t);
  // Repeats, an absent id between two present ones, and 0 (the cache's
  // initial id) before anything was asked.
  const std::pair<int64_t, uint32_t> queries[] = {{0, 1},   {0, 1}, {4, kOut}, {4, kOut}, {5, 0},
                                                  {9, 2},   {9, 2}, {5, 0},    {4, kOut}, {0, 1}};
  for (const auto& [id, expected] : queries) EXPECT_EQ(lookup(id), expected) << "id " << id;
  const PositionTable empty;
  PositionLookup none(empty);
  EXPECT_EQ(none(0), kOut);
  EXPECT_EQ(none(0), kOut);
}

// One row through the rules: what the set holds for it.
struct RuleCase {
  const char* name;
  eval::IouType type;
  Side side;
  Row row;
  int64_t id;
  double area;
  uint8_t iscrowd;
  uint8_t ignore;
};

Row with(Row r, auto&& change) {
  change(r);
  return r;
}

TEST(SetBuilder, Rules) {
  using enum eval::IouType;
  const Row base = row(20, 2);
  const RuleCase cases[] = {
      {"defaults: id by position, area w*h", kBbox, Side::kGroundTruth, base, 2, 12, 0, 0},
      {"given id and area", kBbox, Side::kGroundTruth,
       with(base, [](Row& r) { r.id = -5, r.area = 0.5; }), -5, 0.5, 0, 0},
      {"given zero area", kBbox, Side::kDetections, with(base, [](Row& r) { r.area = 0; }), 2, 0,
       0, 0},
      {"crowd ground truth is ignored", kBbox, Side::kGroundTruth,
       with(base, [](Row& r) { r.crowd = true; }), 2, 12, 1, 1},
      {"crowd detection is not", kSegm, Side::kDetections,
       with(base, [](Row& r) { r.crowd = true; }), 2, 12, 1, 0},
      {"person with no visible point is ignored", kKeypoints, Side::kGroundTruth, base, 2, 12, 0,
       1},
      {"person with visible points is not", kKeypoints, Side::kGroundTruth,
       with(base, [](Row& r) { r.num_keypoints = 3; }), 2, 12, 0, 0},
      {"crowd person with visible points is", kKeypoints, Side::kGroundTruth,
       with(base, [](Row& r) { r.num_keypoints = 3, r.crowd = true; }), 2, 12, 1, 1},
      {"keypoint detections are never", kKeypoints, Side::kDetections, base, 2, 12, 0, 0},
      {"the count matters for keypoints only", kBoundary, Side::kGroundTruth, base, 2, 12, 0, 0},
  };
  const LookupTables t = tables();
  for (const RuleCase& c : cases) {
    SCOPED_TRACE(c.name);
    SetBuilder b(t, c.type, c.side, Unlisted::kKeep);
    Row first = row(10, 1);
    first.score = 0.25;
    first.id = 100;
    EXPECT_TRUE(b.add(first));
    Row second = c.row;
    second.score = 0.75;
    EXPECT_TRUE(b.add(second));
    const eval::AnnotationSet s = std::move(b).finish();
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s.ids, (std::vector<int64_t>{100, c.id}));
    EXPECT_EQ(s.scores, (std::vector<double>{0.25, 0.75}));
    EXPECT_EQ(s.areas[1], c.area);
    EXPECT_EQ(s.iscrowd[1], c.iscrowd);
    EXPECT_EQ(s.ignore[1], c.ignore);
    EXPECT_EQ(s.unmatched_ignore, (std::vector<uint8_t>{0, 0}));
    EXPECT_EQ(s.image_index, (std::vector<uint32_t>{0, 1}));
    EXPECT_EQ(s.category_index, (std::vector<uint32_t>{0, 1}));
  }
}

TEST(SetBuilder, GivenNaNAreaStays) {
  const LookupTables t = tables();
  SetBuilder b(t, eval::IouType::kBbox, Side::kGroundTruth, Unlisted::kKeep);
  b.add(with(row(10, 1), [](Row& r) { r.area = kNaN; }));
  EXPECT_TRUE(std::isnan(std::move(b).finish().areas[0]));
}

// Rows over listed and unlisted images and categories: which are kept, at
// which positions, with which ids.
TEST(SetBuilder, UnlistedRowsKeptOrDropped) {
  const Row rows[] = {row(10, 1), row(99, 1), row(20, 7), row(99, 7), row(30, 2)};
  const LookupTables t = tables();
  struct Expected {
    Unlisted policy;
    std::vector<bool> added;
    std::vector<int64_t> ids;
    std::vector<uint32_t> images, categories;
  } cases[] = {
      {Unlisted::kKeep, {true, true, true, true, true}, {1, 2, 3, 4, 5}, {0, kOut, 1, kOut, 2},
       {0, 0, kOut, kOut, 1}},
      // Default ids count the dropped rows: they are positions in the source.
      {Unlisted::kDrop, {true, false, false, false, true}, {1, 5}, {0, 2}, {0, 1}},
  };
  for (const Expected& e : cases) {
    SCOPED_TRACE(e.policy == Unlisted::kKeep ? "keep" : "drop");
    SetBuilder b(t, eval::IouType::kBbox, Side::kGroundTruth, e.policy);
    b.reserve(std::size(rows));
    std::vector<bool> added;
    for (const Row& r : rows) added.push_back(b.add(r));
    EXPECT_EQ(b.rows(), std::size(rows));
    EXPECT_EQ(added, e.added);
    const eval::AnnotationSet s = std::move(b).finish();
    EXPECT_EQ(s.ids, e.ids);
    EXPECT_EQ(s.image_index, e.images);
    EXPECT_EQ(s.category_index, e.categories);
    for (const auto* column : {&s.scores, &s.areas}) EXPECT_EQ(column->size(), e.ids.size());
    for (const auto* column : {&s.iscrowd, &s.ignore, &s.unmatched_ignore}) {
      EXPECT_EQ(column->size(), e.ids.size());
    }
    EXPECT_EQ(std::get<eval::Boxes>(s.geometry).boxes.size(), e.ids.size());
  }
}

TEST(SetBuilder, GeometryOfEachType) {
  const LookupTables t = tables();
  Row r = row(10, 1);
  for (eval::IouType type : {eval::IouType::kBbox, eval::IouType::kSegm,
                             eval::IouType::kKeypoints, eval::IouType::kBoundary}) {
    SetBuilder b(t, type, Side::kDetections, Unlisted::kKeep);
    b.add(r);
    const eval::AnnotationSet s = std::move(b).finish();
    switch (type) {
      case eval::IouType::kBbox:
        EXPECT_EQ(std::get<eval::Boxes>(s.geometry).boxes, std::vector<rle::Box>{r.box});
        EXPECT_TRUE(s.boxes.empty());
        break;
      case eval::IouType::kKeypoints:
        EXPECT_TRUE(std::get<eval::Keypoints>(s.geometry).values.empty());
        EXPECT_EQ(s.boxes, std::vector<rle::Box>{r.box});  // for the OKS's area fallback
        break;
      case eval::IouType::kSegm:
        EXPECT_TRUE(std::get<eval::Masks>(s.geometry).masks.empty());
        EXPECT_TRUE(s.boxes.empty());
        break;
      case eval::IouType::kBoundary:
        EXPECT_TRUE(std::get<eval::BoundaryMasks>(s.geometry).masks.empty());
        EXPECT_TRUE(s.boxes.empty());
        break;
    }
    EXPECT_EQ(eval::needs_masks(type),
              type == eval::IouType::kSegm || type == eval::IouType::kBoundary);
  }
}

// Box rows held elsewhere: shared while every row is kept, else the kept
// ones copied, whichever row is the first dropped.
TEST(SetBuilder, SharedBoxRows) {
  const LookupTables t = tables();
  const std::vector<int64_t> images{10, 20, 30, 10};
  struct Case {
    const char* name;
    std::vector<bool> listed;
  } cases[] = {
      {"all kept", {true, true, true, true}},
      {"first dropped", {false, true, true, true}},
      {"middle dropped", {true, true, false, true}},
      {"last dropped", {true, true, true, false}},
      {"all dropped", {false, false, false, false}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto rows = std::make_shared<std::vector<rle::Box>>();
    std::vector<rle::Box> kept;
    for (size_t i = 0; i < images.size(); ++i) {
      rows->push_back({double(i), 0, double(i + 1), 2});
      if (c.listed[i]) kept.push_back(rows->back());
    }
    SetBuilder b(t, eval::IouType::kBbox, Side::kDetections, Unlisted::kDrop);
    b.share_boxes({std::shared_ptr<const rle::Box>(rows, rows->data()), rows->size()});
    b.reserve(rows->size());
    for (size_t i = 0; i < images.size(); ++i) {
      Row r = row(c.listed[i] ? images[i] : 99, 1);
      r.box = (*rows)[i];
      EXPECT_EQ(b.add(r), c.listed[i]);
    }
    const eval::AnnotationSet s = std::move(b).finish();
    ASSERT_EQ(s.size(), kept.size());
    if (kept.size() == rows->size()) {
      const auto& shared = std::get<eval::SharedBoxes>(s.geometry);
      EXPECT_EQ(shared.rows.get(), rows->data());  // the very rows, not a copy
      EXPECT_EQ(shared.count, rows->size());
    } else {
      EXPECT_EQ(std::get<eval::Boxes>(s.geometry).boxes, kept);
    }
    for (size_t i = 0; i < kept.size(); ++i) EXPECT_EQ(s.areas[i], kept[i][2] * kept[i][3]);
  }
}

TEST(SetBuilder, SharedRowsMustMatchTheRowsGiven) {
  const LookupTables t = tables();
  auto rows = std::make_shared<std::vector<rle::Box>>(2, rle::Box{0, 0, 1, 1});
  SetBuilder b(t, eval::IouType::kBbox, Side::kDetections, Unlisted::kDrop);
  b.share_boxes({std::shared_ptr<const rle::Box>(rows, rows->data()), 2});
  b.add(row(10, 1));
  EXPECT_THROW(std::move(b).finish(), InternalError);
  SetBuilder masks(t, eval::IouType::kSegm, Side::kDetections, Unlisted::kDrop);
  EXPECT_THROW(masks.share_boxes({std::shared_ptr<const rle::Box>(rows, rows->data()), 2}),
               InternalError);
}

RawKeypoints raw(const std::vector<std::vector<double>>& lists) {
  RawKeypoints r;
  for (const auto& list : lists) {
    r.spans.emplace_back(r.values.size(), list.size());
    r.values.insert(r.values.end(), list.begin(), list.end());
  }
  return r;
}

TEST(LayOutKeypoints, CountFromTheFirstListAbsentListsZero) {
  struct Case {
    const char* name;
    std::vector<std::vector<double>> gt, dt;
    uint32_t count;
    std::vector<double> gt_values, dt_values;
  } cases[] = {
      {"ground truth fixes the count", {{}, {1, 2, 2}}, {{4, 5, 1}, {}}, 1, {0, 0, 0, 1, 2, 2},
       {4, 5, 1, 0, 0, 0}},
      {"detections fix it when ground truth has none", {{}}, {{}, {1, 1, 1, 2, 2, 2}}, 2,
       {0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 1, 1, 1, 2, 2, 2}},
      {"no list, no count", {{}, {}}, {{}}, 0, {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RawKeypoints gt_raw = raw(c.gt), dt_raw = raw(c.dt);
    eval::Keypoints gt, dt;
    lay_out_keypoints(gt_raw, dt_raw, gt, dt);
    EXPECT_EQ(gt.count, c.count);
    EXPECT_EQ(dt.count, c.count);
    EXPECT_EQ(gt.values, c.gt_values);
    EXPECT_EQ(dt.values, c.dt_values);
    EXPECT_TRUE(gt_raw.spans.empty() && dt_raw.values.empty());
  }
}

TEST(LayOutKeypoints, OtherLengthsAreRefused) {
  struct Case {
    std::vector<std::vector<double>> gt, dt;
    const char* message;
  } cases[] = {
      {{{1, 1, 1}}, {{1, 1, 1, 2, 2, 2}},
       "every keypoint list must hold the same number of values (3), got 6"},
      // A length that is no multiple of 3 fixes the count below it, and
      // then does not match it itself.
      {{{1, 1, 1, 2}}, {}, "every keypoint list must hold the same number of values (3), got 4"},
  };
  for (const Case& c : cases) {
    RawKeypoints gt_raw = raw(c.gt), dt_raw = raw(c.dt);
    eval::Keypoints gt, dt;
    try {
      lay_out_keypoints(gt_raw, dt_raw, gt, dt);
      ADD_FAILURE() << "accepted: " << c.message;
    } catch (const InputError& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
  }
}

}  // namespace
}  // namespace quillscore::intake
