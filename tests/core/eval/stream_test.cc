// The mergeable matching state: bytes that round-trip, bytes that are not a
// state (each with a valid checksum, so that the checks behind it are what
// refuses them), and merges that refuse and change nothing.
#include "core/eval/stream.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/base/error.h"
#include "core/eval/run.h"
#include "tests/core/eval/builders.h"
#include "tests/core/eval/random_case.h"

namespace quillscore::eval {
namespace {

using namespace testkit;

StreamState state_of(uint64_t seed, size_t first_image, size_t images) {
  const RandomCase c = random_case(seed, {.max_img = 6, .max_cat = 3, .max_gt = 25, .max_dt = 40});
  EvalParams p = params(c.n_img, c.n_cat);
  p.iou_thrs = coco_iou_thrs();
  p.rec_thrs = coco_rec_thrs();
  p.max_dets = {1, 10, 100};
  p.area_rng = {{0, kBig}, {0, 1024}, {1024, 9216}, {9216, kBig}};
  p.img_ids.clear();
  for (size_t i = first_image; i < first_image + images && i < c.n_img; ++i) p.img_ids.push_back(img_id(i));
  // The annotations keep their image positions of the whole case; those
  // of other images are left out as unlisted.
  std::vector<Ann> gts = c.gts, dts = c.dts;
  for (auto* side : {&gts, &dts}) {
    for (Ann& a : *side) {
      a.img = a.img >= first_image && a.img < first_image + images ? a.img - static_cast<uint32_t>(first_image)
                                                                   : kOut;
    }
  }
  auto st = boxes_state(p, gts, dts);
  return stream_of(*st, 0.02);
}

std::string refusal(const std::function<void()>& f) {
  try {
    f();
  } catch (const InputError& e) {
    return e.what();
  }
  return "";
}

TEST(Stream, SplitsMergedInEitherOrderAccumulateAsOne) {
  for (uint64_t seed = 0; seed < seeds(20); ++seed) {
    const StreamState whole = state_of(seed, 0, 6);
    const auto want = accumulate(whole.params, ranked(whole));
    for (size_t cut : {1, 3, 5}) {
      StreamState a = state_of(seed, 0, cut), b = state_of(seed, cut, 6 - cut);
      StreamState ab = a, ba = from_bytes(to_bytes(b));
      merge_into(ab, b);
      merge_into(ba, a);
      for (const StreamState* s : {&ab, &ba}) {
        const auto got = accumulate(s->params, ranked(*s));
        EXPECT_EQ(bitwise_diff(got.precision, want.precision), "") << seed << " " << cut;
        EXPECT_EQ(bitwise_diff(got.recall, want.recall), "") << seed << " " << cut;
        EXPECT_EQ(bitwise_diff(got.scores, want.scores), "") << seed << " " << cut;
      }
    }
  }
}

struct Damage {
  const char* what;
  std::function<void(StreamState&)> apply;
  const char* message;
};

TEST(Stream, BytesThatAreNotAStateAreRefused) {
  const std::vector<Damage> table = {
      {"image listed twice", [](StreamState& s) { s.image_ids.push_back(s.image_ids[0]); },
       "an image is listed twice"},
      {"a slot too many", [](StreamState& s) { s.slots.push_back({}); }, "do not match its slots"},
      {"unknown IoU type", [](StreamState& s) { s.params.iou_type = static_cast<IouType>(9); },
       "unknown IoU type"},
      {"counts of an image not held", [](StreamState& s) { s.slots[0].counted_images.push_back(999); s.slots[0].counted.resize(s.slots[0].counted.size() + 4); },
       "names an image it lacks"},
      {"counts short", [](StreamState& s) { s.slots[0].counted_images.push_back(0); }, "differ in length"},
      {"detection of an image not held", [](StreamState& s) { s.slots[0].image[0] = 999; }, "out of place"},
      {"rank past the cap", [](StreamState& s) { s.slots[0].rank[0] = 100; }, "out of place"},
      {"two detections at one place",
       [](StreamState& s) { s.slots[0].image[1] = s.slots[0].image[0], s.slots[0].rank[1] = s.slots[0].rank[0]; },
       "out of place"},
      {"an outcome that is none", [](StreamState& s) { s.slots[0].outcomes[0] |= 3; }, "outcome is not one"},
  };
  for (const Damage& d : table) {
    StreamState s = state_of(3, 0, 6);
    ASSERT_GT(s.slots[0].scores.size(), 1u);
    d.apply(s);
    const std::vector<uint8_t> bytes = to_bytes(s);
    EXPECT_NE(refusal([&] { from_bytes(bytes); }).find(d.message), std::string::npos) << d.what;
  }
  const std::vector<uint8_t> good = to_bytes(state_of(3, 0, 6));
  std::vector<uint8_t> longer = good;
  longer.insert(longer.end() - 8, 0);  // inside the checksummed part
  for (const auto& bad : {std::vector<uint8_t>(good.begin(), good.end() - 1), longer,
                          std::vector<uint8_t>(good.begin(), good.begin() + 10)}) {
    EXPECT_NE(refusal([&] { from_bytes(bad); }), "");
  }
}

TEST(Stream, RefusedMergesChangeNothing) {
  const StreamState base = state_of(4, 0, 3);
  StreamState other_params = state_of(4, 3, 3);
  other_params.params.max_dets = {1, 10, 50};
  StreamState other_cats = state_of(4, 3, 3);
  other_cats.params.cat_ids.back() += 1;
  const std::vector<std::pair<StreamState, const char*>> table = {
      {state_of(4, 2, 3), "both hold image"},
      {other_params, "different parameters"},
      {other_cats, "different categories"},
  };
  for (const auto& [from, message] : table) {
    StreamState into = base;
    EXPECT_NE(refusal([&] { merge_into(into, from); }).find(message), std::string::npos) << message;
    EXPECT_EQ(to_bytes(into), to_bytes(base)) << message;
  }
}

}  // namespace
}  // namespace quillscore::eval
