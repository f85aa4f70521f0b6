// Greedy matching of one image's detections to its ground truths, read
// through the per-image records of a run.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "core/eval/run.h"
#include "tests/core/eval/builders.h"

namespace quillscore::eval {
namespace {

using namespace testkit;

struct MatchCase {
  const char* what;
  std::vector<Ann> gts, dts;
  std::vector<double> iou_thrs;
  std::array<double, 2> area;
  // Expected record, [t][d] and [t][g] as in the record.
  std::vector<int64_t> gt_ids;
  std::vector<uint8_t> gt_ignore;
  std::vector<int64_t> dt_matches;
  std::vector<uint8_t> dt_ignore;
  std::vector<int64_t> gt_matches;
};

// Detections are listed best first (scores 0.9, 0.8, ...), so rank = list order.
std::vector<Ann> ranked(std::vector<Ann> dts) {
  for (size_t i = 0; i < dts.size(); ++i) dts[i].score = 0.9 - 0.05 * static_cast<double>(i);
  return dts;
}

const double kTall = 1e11;

std::vector<MatchCase> cases() {
  return {
      {"equal IoU: the later ground truth in order wins",
       {{.id = 1, .box = {0, 0, 10, 10}}, {.id = 2, .box = {5, 0, 10, 10}}},
       ranked({{.id = 10, .box = {2.5, 0, 10, 10}}}),
       {0.5}, {0, kBig}, {1, 2}, {0, 0}, {2}, {0}, {0, 10}},
      {"equal perfect IoU with duplicates",
       {{.id = 1, .box = {0, 0, 10, 10}}, {.id = 2, .box = {0, 0, 10, 10}}, {.id = 3, .box = {0, 0, 10, 10}}},
       ranked({{.id = 10, .box = {0, 0, 10, 10}}, {.id = 11, .box = {0, 0, 10, 10}}}),
       {0.5}, {0, kBig}, {1, 2, 3}, {0, 0, 0}, {3, 2}, {0, 0}, {0, 11, 10}},
      {"a matched ground truth is not matched again",
       {{.id = 1, .box = {0, 0, 10, 10}}},
       ranked({{.id = 10, .box = {0, 0, 10, 10}}, {.id = 11, .box = {0, 0, 10, 10}}}),
       {0.5}, {0, kBig}, {1}, {0}, {1, 0}, {0, 0}, {10}},
      {"the second detection takes the next best free ground truth",
       {{.id = 1, .box = {0, 0, 10, 10}}, {.id = 2, .box = {1, 0, 10, 10}}},
       ranked({{.id = 10, .box = {0, 0, 10, 10}}, {.id = 11, .box = {0, 0, 10, 10}}}),
       {0.5}, {0, kBig}, {1, 2}, {0, 0}, {1, 2}, {0, 0}, {10, 11}},
      {"a crowd ground truth is matched by any number of detections, the last reported",
       {{.id = 1, .box = {0, 0, 100, 100}, .crowd = 1}},
       ranked({{.id = 10, .box = {0, 0, 5, 5}}, {.id = 11, .box = {50, 50, 5, 5}},
               {.id = 12, .box = {90, 0, 5, 5}}}),
       {0.5}, {0, kBig}, {1}, {1}, {1, 1, 1}, {1, 1, 1}, {12}},
      {"a counted match is never traded for an ignored ground truth with higher IoU",
       {{.id = 2, .box = {0, 0, 10, 10}, .ignore = 1}, {.id = 1, .box = {0, 0, 10, 12}}},
       ranked({{.id = 10, .box = {0, 0, 10, 10}}}),
       {0.5}, {0, kBig}, {1, 2}, {0, 1}, {1}, {0}, {10, 0}},
      {"matched to an ignored ground truth when no counted one reaches the threshold",
       {{.id = 1, .box = {0, 0, 10, 10}}, {.id = 2, .box = {6, 0, 10, 10}, .ignore = 1}},
       ranked({{.id = 10, .box = {7, 0, 10, 10}}}),
       {0.5}, {0, kBig}, {1, 2}, {0, 1}, {2}, {1}, {0, 10}},
      {"a crowd region is ignored and comes after the counted ground truths",
       {{.id = 1, .box = {0, 0, 100, 100}, .crowd = 1}, {.id = 2, .box = {0, 0, 10, 10}}},
       ranked({{.id = 10, .box = {0, 0, 10, 10}}, {.id = 11, .box = {0, 0, 10, 10}}}),
       {0.5}, {0, kBig}, {2, 1}, {0, 1}, {2, 1}, {0, 1}, {10, 11}},
      {"area bounds are inclusive and a NaN area is never outside",
       {{.id = 1, .box = {0, 0, 1, 1}, .area = 100}, {.id = 2, .box = {10, 0, 1, 1}, .area = 99.5},
        {.id = 3, .box = {20, 0, 1, 1}, .area = 200}, {.id = 4, .box = {30, 0, 1, 1}, .area = 200.5},
        {.id = 5, .box = {40, 0, 1, 1}, .area = kNaN}},
       {}, {0.5}, {100, 200}, {1, 3, 5, 2, 4}, {0, 0, 0, 1, 1}, {}, {}, {0, 0, 0, 0, 0}},
      {"unmatched detections: ignored outside the range or when flagged",
       {{.id = 1, .box = {0, 0, 10, 10}, .area = 150}},
       ranked({{.id = 10, .box = {50, 0, 1, 1}, .area = 50},
               {.id = 11, .box = {50, 0, 1, 1}, .area = 100},
               {.id = 12, .box = {50, 0, 1, 1}, .area = 250},
               {.id = 13, .box = {50, 0, 1, 1}, .area = kNaN},
               {.id = 14, .box = {50, 0, 1, 1}, .area = 150, .unmatched_ignore = 1},
               {.id = 15, .box = {50, 0, 1, 1}, .area = 200},
               // Matched detections take their ground truth's flag whatever
               // their own area or flag.
               {.id = 16, .box = {0, 0, 10, 10}, .area = 1e6, .unmatched_ignore = 1}}),
       {0.5}, {100, 200}, {1}, {0}, {0, 0, 0, 0, 0, 0, 1}, {1, 0, 1, 0, 1, 0, 0}, {16}},
      {"thresholds of 1, above 1 and NaN behave as 0.9999999999",
       {{.id = 1, .box = {0, 0, 1, kTall}, .area = 1}, {.id = 2, .box = {10, 0, 1, kTall}, .area = 1},
        {.id = 3, .box = {20, 0, 1, kTall}, .area = 1}},
       ranked({{.id = 10, .box = {0, 0, 1, kTall}, .area = 1},
               {.id = 11, .box = {10, 0, 1, kTall - 5}, .area = 1},     // IoU 0.99999999995
               {.id = 12, .box = {20, 0, 1, kTall - 20}, .area = 1}}),  // IoU 0.9999999998
       {1.0, kNaN, 1.5}, {0, kBig}, {1, 2, 3}, {0, 0, 0},
       {1, 2, 0, 1, 2, 0, 1, 2, 0}, {0, 0, 0, 0, 0, 0, 0, 0, 0}, {10, 11, 0, 10, 11, 0, 10, 11, 0}},
      {"a threshold of 0 matches without any overlap",
       {{.id = 1, .box = {0, 0, 1, 1}}}, ranked({{.id = 10, .box = {50, 50, 1, 1}}}),
       {0.0, 0.5}, {0, kBig}, {1}, {0}, {1, 0}, {0, 0}, {10, 0}},
      {"each threshold matches on its own",
       {{.id = 1, .box = {0, 0, 10, 10}}}, ranked({{.id = 10, .box = {0, 0, 10, 6}}}),
       {0.5, 0.6, 0.65}, {0, kBig}, {1}, {0}, {1, 1, 0}, {0, 0, 0}, {10, 10, 0}},
  };
}

TEST(Matching, Cases) {
  for (const MatchCase& c : cases()) {
    EvalParams p = params(1, 1);
    p.iou_thrs = c.iou_thrs;
    p.area_rng = {c.area};
    auto st = boxes_state(p, c.gts, c.dts);
    const auto res = run(*st, true);
    const EvalImageRecord* rec = record_at(res, 1, 0, 0, 0);
    ASSERT_NE(rec, nullptr) << c.what;
    EXPECT_EQ(rec->gt_ids, c.gt_ids) << c.what;
    EXPECT_EQ(rec->gt_ignore, c.gt_ignore) << c.what;
    EXPECT_EQ(rec->dt_matches, c.dt_matches) << c.what;
    EXPECT_EQ(rec->dt_ignore, c.dt_ignore) << c.what;
    EXPECT_EQ(rec->gt_matches, c.gt_matches) << c.what;
  }
}

TEST(Matching, GroundTruthsWithoutDetectionsStillCount) {
  EvalParams p = params(2, 1);
  p.rec_thrs = {0.0, 0.5};
  auto st = boxes_state(p, {{.id = 1, .img = 0, .box = {0, 0, 10, 10}},
                            {.id = 2, .img = 1, .box = {0, 0, 10, 10}}},
                        {{.id = 10, .img = 1, .box = {0, 0, 10, 10}, .score = 0.5}});
  const auto res = run(*st, true);
  const EvalImageRecord* rec = record_at(res, 2, 0, 0, 0);
  ASSERT_NE(rec, nullptr);
  EXPECT_TRUE(rec->dt_ids.empty());
  EXPECT_TRUE(rec->dt_matches.empty());
  EXPECT_EQ(rec->gt_ids, (std::vector<int64_t>{1}));
  EXPECT_EQ(rec->gt_matches, (std::vector<int64_t>{0}));
  // One of two ground truths found.
  EXPECT_EQ(recall_at(res, 0, 0, 0, 0), 0.5);
}

}  // namespace
}  // namespace quillscore::eval
