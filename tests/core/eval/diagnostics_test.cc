// Operating points and the confusion matrix on small hand-made images whose
// counts can be read off the boxes.
#include <gtest/gtest.h>
#include <oneapi/tbb/task_arena.h>

#include <cmath>
#include <vector>

#include "core/eval/confusion.h"
#include "core/eval/operating_points.h"
#include "core/pool/pool.h"
#include "tests/core/eval/builders.h"
#include "tests/core/eval/random_case.h"

namespace quillscore::eval {
namespace {

using namespace testkit;

// Category 0: two ground truths, hit at 0.9 and 0.8, missed by a 0.8 and a
// 0.3 detection. Category 1: one ground truth and no detection.
std::unique_ptr<EngineState> two_categories() {
  const std::vector<Ann> gts = {{1, 0, 0, {0, 0, 10, 10}}, {2, 0, 0, {50, 0, 10, 10}},
                                {3, 0, 1, {0, 50, 10, 10}}};
  const std::vector<Ann> dts = {{1, 0, 0, {0, 0, 10, 10}, 0.9}, {2, 0, 0, {200, 0, 10, 10}, 0.8},
                                {3, 0, 0, {50, 0, 10, 10}, 0.8}, {4, 0, 0, {300, 0, 9, 9}, 0.3}};
  return boxes_state(params(1, 2), gts, dts);
}

struct Row {
  int64_t cat;
  double score;
  int64_t tp, fp, fn;
  double precision, recall;
};

void expect_rows(const OperatingPoints& got, const std::vector<Row>& want) {
  ASSERT_EQ(got.score.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(got.category_id[i], want[i].cat);
    EXPECT_EQ(got.score[i], want[i].score);
    EXPECT_EQ(got.tp[i], want[i].tp);
    EXPECT_EQ(got.fp[i], want[i].fp);
    EXPECT_EQ(got.fn[i], want[i].fn);
    EXPECT_DOUBLE_EQ(got.precision[i], want[i].precision);
    EXPECT_DOUBLE_EQ(got.recall[i], want[i].recall);
  }
}

TEST(OperatingPoints, OneRowPerDistinctScoreThenPooled) {
  const auto st = two_categories();
  const auto res = operating_points(*st, 0, 0, 100, std::nullopt);
  expect_rows(res.rows, {{10, 0.9, 1, 0, 1, 1.0, 0.5},
                         {10, 0.8, 2, 1, 0, 2.0 / 3, 1.0},
                         {10, 0.3, 2, 2, 0, 0.5, 1.0},
                         {-1, 0.9, 1, 0, 2, 1.0, 1.0 / 3},
                         {-1, 0.8, 2, 1, 1, 2.0 / 3, 2.0 / 3},
                         {-1, 0.3, 2, 2, 1, 0.5, 2.0 / 3}});
  ASSERT_EQ(res.best.size(), 3u);
  EXPECT_EQ(res.best[0].score, 0.8);
  EXPECT_DOUBLE_EQ(res.best[0].f1, 0.8);
  // No detection: no row, a NaN score and zeros.
  EXPECT_EQ(res.best[1].category_id, 20);
  EXPECT_TRUE(std::isnan(res.best[1].score));
  EXPECT_EQ(res.best[1].f1, 0.0);
  EXPECT_EQ(res.best[2].category_id, -1);
}

TEST(OperatingPoints, GivenThresholdsInTheirOrderWithZeroDenominators) {
  const auto st = two_categories();
  const std::vector<double> thrs = {0.95, 0.0};
  const auto res = operating_points(*st, 0, 0, 100, std::span<const double>(thrs));
  expect_rows(res.rows, {{10, 0.95, 0, 0, 2, 0.0, 0.0},
                         {10, 0.0, 2, 2, 0, 0.5, 1.0},
                         {20, 0.95, 0, 0, 1, 0.0, 0.0},
                         {20, 0.0, 0, 0, 1, 0.0, 0.0},
                         {-1, 0.95, 0, 0, 3, 0.0, 0.0},
                         {-1, 0.0, 2, 2, 1, 0.5, 2.0 / 3}});
}

TEST(OperatingPoints, MaxDetKeepsTheBestRankedOnly) {
  const auto st = two_categories();
  const auto res = operating_points(*st, 0, 0, 1, std::nullopt);
  expect_rows(res.rows, {{10, 0.9, 1, 0, 1, 1.0, 0.5}, {-1, 0.9, 1, 0, 2, 1.0, 1.0 / 3}});
}

int64_t at(const ConfusionMatrix& m, size_t r, size_t c) { return m.counts.at(r * m.size + c); }

TEST(ConfusionMatrix, CrossClassMatchesCrowdAndBackground) {
  // Ground truths: a (class 0), b (class 1), a crowd of class 0, c (class 1).
  const std::vector<Ann> gts = {{1, 0, 0, {0, 0, 10, 10}}, {2, 0, 1, {20, 0, 10, 10}},
                                {3, 0, 0, {40, 0, 10, 10}, 1.0, {}, 1}, {4, 0, 1, {60, 0, 10, 10}}};
  // A class-1 detection on a, one on b, a class-0 one on the crowd, a weak one.
  const std::vector<Ann> dts = {{1, 0, 1, {0, 0, 10, 10}, 0.9}, {2, 0, 1, {20, 0, 10, 10}, 0.8},
                                {3, 0, 0, {40, 0, 10, 10}, 0.7}, {4, 0, 0, {100, 100, 5, 5}, 0.1}};
  const auto st = boxes_state(params(1, 2), gts, dts);
  const auto m = confusion_matrix(*st, 0.5, 0.5, 100);
  ASSERT_EQ(m.size, 3u);
  const std::vector<int64_t> want = {0, 1, 0,   // a taken for class 1
                                     0, 1, 1,   // b right, c missed
                                     1, 0, 0};  // the crowd's detection is background
  EXPECT_EQ(m.counts, want);
  EXPECT_EQ(at(confusion_matrix(*st, 0.5, 0.0, 100), 2, 0), 2);
  // One detection per image and class: the 0.8 one is dropped, b is missed.
  const auto one = confusion_matrix(*st, 0.5, 0.5, 1);
  EXPECT_EQ(at(one, 1, 1), 0);
  EXPECT_EQ(at(one, 1, 2), 2);
}

// Both diagnostics must not depend on the pool's size or on scheduling.
TEST(Diagnostics, SameResultsOnEveryPoolSize) {
  tbb::task_arena one(1), two(2), eight(8);
  const RandomShape shape{.max_img = 40, .max_cat = 4};
  for (uint32_t seed = 0; seed < seeds(20); ++seed) {
    const RandomCase c = random_case(seed, shape);
    EvalParams p = params(c.n_img, c.n_cat);
    p.max_dets = {1, 5};
    auto st = boxes_state(p, c.gts, c.dts);
    auto both = [&](tbb::task_arena& arena) {
      return pool::run_in(arena, [&] {
        return std::make_pair(operating_points(*st, 0, 0, 5, std::nullopt).rows,
                              confusion_matrix(*st, 0.3, 0.2, 3).counts);
      });
    };
    const auto want = both(one);
    for (tbb::task_arena* arena : {&two, &eight, &two, &eight}) {
      const auto got = both(*arena);
      EXPECT_EQ(got.first.score, want.first.score) << "seed " << seed;
      EXPECT_EQ(got.first.tp, want.first.tp) << "seed " << seed;
      EXPECT_EQ(got.first.fp, want.first.fp) << "seed " << seed;
      EXPECT_EQ(got.first.fn, want.first.fn) << "seed " << seed;
      EXPECT_EQ(got.second, want.second) << "seed " << seed;
    }
  }
}

}  // namespace
}  // namespace quillscore::eval
