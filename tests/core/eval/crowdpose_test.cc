#include "core/eval/crowdpose.h"

#include <gtest/gtest.h>

#include <vector>

#include "core/base/error.h"
#include "core/eval/keypoints.h"
#include "core/eval/run.h"
#include "tests/core/eval/builders.h"
#include "tests/core/eval/param_sets.h"
#include "tests/core/eval/random_case.h"

namespace quillscore::eval {
namespace {

using testkit::Ann;
using testkit::box_set;
using testkit::kNaN;
using testkit::params;
using testkit::with_geometry;

// Two keypoints per annotation at (5, 5) and (6, 6), shifted right by
// `shift`, with these confidences.
Keypoints two_points(const std::vector<std::pair<double, double>>& conf,
                     const std::vector<double>& shift = {}) {
  Keypoints kp{{}, 2};
  for (size_t i = 0; i < conf.size(); ++i) {
    const double dx = i < shift.size() ? shift[i] : 0.0;
    kp.values.insert(kp.values.end(), {5 + dx, 5, conf[i].first, 6 + dx, 6, conf[i].second});
  }
  return kp;
}

TEST(CrowdPose, ConfidentKeypointTable) {
  const struct {
    double a, b;
    bool expected;
  } cases[] = {
      {0, 0, false},   {-1, 0, false}, {kNaN, 0, false}, {kNaN, kNaN, false},
      {0, 1e-300, true}, {0.5, -2, true}, {kNaN, 0.1, true},
  };
  for (const auto& c : cases) {
    const Keypoints kp = two_points({{c.a, c.b}});
    EXPECT_EQ(has_confident_keypoint(kp, 0), c.expected) << c.a << ", " << c.b;
  }
  EXPECT_THROW(has_confident_keypoint(two_points({{1, 1}}), 1), InternalError);
}

// One image, one ground truth at (5, 5), (6, 6); detections ranked by score
// with a cap of 3: the two best have no confident point and lie far off,
// the others on the ground truth.
std::unique_ptr<EngineState> flood(bool prepare, bool use_area) {
  EvalParams p = params(1, 1);
  p.iou_type = IouType::kKeypoints;
  p.kpt_sigmas = {0.1, 0.1};
  p.max_dets = {3};
  p.use_area = true;
  std::vector<Ann> dts;
  std::vector<std::pair<double, double>> conf;
  std::vector<double> shift;
  for (int i = 0; i < 6; ++i) {
    dts.push_back({.id = 10 + i, .score = 1.0 - 0.1 * i});
    conf.push_back(i < 2 ? std::pair{0.0, kNaN} : std::pair{0.9, 0.0});
    shift.push_back(i < 2 ? 500.0 : 0.0);
  }
  AnnotationSet gt = with_geometry(box_set({{.id = 1, .box = {0, 0, 20, 10}, .area = 7.0}}),
                                   two_points({{2, 2}}));
  gt.boxes.push_back({0, 0, 20, 10});
  AnnotationSet dt = with_geometry(box_set(dts), two_points(conf, shift));
  if (prepare) prepare_crowdpose(gt, dt, use_area);
  return make_engine_state(std::move(p), std::move(gt), std::move(dt));
}

TEST(CrowdPose, UnconfidentDetectionsTakeNoPlaceUnderTheCap) {
  for (bool prepare : {false, true}) {
    auto st = flood(prepare, true);
    const AccumulatedResult res = run(*st, true);
    const EvalImageRecord* rec = res.records.at(0).get();
    ASSERT_NE(rec, nullptr);
    const std::vector<int64_t> kept = prepare ? std::vector<int64_t>{12, 13, 14}
                                              : std::vector<int64_t>{10, 11, 12};
    EXPECT_EQ(rec->dt_ids, kept) << prepare;
    // The true positive is the first confident detection either way; before
    // it, the unconfident ones are false positives unless dropped.
    EXPECT_EQ(rec->dt_matches.at(prepare ? 0 : 2), 1) << prepare;
    EXPECT_DOUBLE_EQ(testkit::precision_at(res, 0, 2, 0, 0, 0), prepare ? 1.0 : 1.0 / 3) << prepare;
  }
}

TEST(CrowdPose, AreaFromTheBoxUnlessAsked) {
  auto kept = flood(true, true);
  EXPECT_EQ(kept->gt.areas.at(0), 7.0);
  auto boxed = flood(true, false);
  EXPECT_EQ(boxed->gt.areas.at(0), keypoint_box_area({0, 0, 20, 10}));
  // The multiplication order matters in the last bit: w * h first.
  const rle::Box b{0, 0, 14.27, 171.45};
  EXPECT_EQ(keypoint_box_area(b), (14.27 * 171.45) * 0.53);
  EXPECT_NE(keypoint_box_area(b), (0.53 * 14.27) * 171.45);
}

TEST(CrowdPose, NonKeypointDetectionsAreAnInternalErrorAndChangeNothing) {
  AnnotationSet gt = box_set({{.id = 1}});
  gt.boxes.push_back({0, 0, 1, 1});
  AnnotationSet dt = box_set({{.id = 2}});
  EXPECT_THROW(prepare_crowdpose(gt, dt, false), InternalError);
  EXPECT_EQ(gt.areas.at(0), 1.0);
  EXPECT_EQ(dt.image_index.at(0), 0u);
}

// --- precision per image group ------------------------------------------------

namespace groups_test {

using testkit::kOut;
using testkit::random_case;
using testkit::RandomCase;

// The annotations of `c` with those on images outside group g unlisted: what
// an evaluation of that group's images alone sees.
std::vector<Ann> only_group(std::vector<Ann> anns, const std::vector<uint32_t>& group_of,
                            uint32_t g) {
  for (Ann& a : anns) {
    if (a.img != kOut && group_of[a.img] != g) a.img = kOut;
  }
  return anns;
}

TEST(GroupPrecision, EachGroupIsAnEvaluationOfItsImagesAlone) {
  for (const testkit::ParamSet& ps : testkit::param_sets()) {
    for (uint32_t seed = 1; seed <= testkit::seeds(60); ++seed) {
      const RandomCase c = random_case(seed, {.max_img = 6, .max_cat = 3, .max_gt = 20, .max_dt = 30});
      const EvalParams p = testkit::params_for(ps, c);
      const uint32_t groups = 1 + seed % 3;
      std::vector<uint32_t> group_of(c.n_img);
      for (size_t i = 0; i < c.n_img; ++i) group_of[i] = static_cast<uint32_t>((i * 7 + seed) % groups);
      auto st = make_engine_state(p, box_set(c.gts), box_set(c.dts));
      const std::vector<double> got = group_precision(*st, group_of, groups);
      const size_t per_group = got.size() / groups;
      for (uint32_t g = 0; g < groups; ++g) {
        auto alone = make_engine_state(p, box_set(only_group(c.gts, group_of, g)),
                                       box_set(only_group(c.dts, group_of, g)));
        const AccumulatedResult want = run(*alone, false);
        const std::vector<double> mine(got.begin() + g * per_group, got.begin() + (g + 1) * per_group);
        ASSERT_EQ(testkit::bitwise_diff(mine, want.precision), "")
            << ps.what << ", seed " << seed << ", group " << g;
      }
    }
  }
}

TEST(GroupPrecision, GroupsThatDoNotFitAreInputErrors) {
  auto st = make_engine_state(params(2, 1), box_set({{.id = 1}}), box_set({{.id = 2}}));
  const std::vector<uint32_t> short_list{0}, too_high{0, 2};
  EXPECT_THROW(group_precision(*st, short_list, 2), InputError);
  EXPECT_THROW(group_precision(*st, too_high, 2), InputError);
  // No group at all: an empty array.
  const std::vector<uint32_t> none{};
  auto empty = make_engine_state(params(0, 1), box_set({}), box_set({}));
  EXPECT_TRUE(group_precision(*empty, none, 0).empty());
}

}  // namespace groups_test

}  // namespace
}  // namespace quillscore::eval
