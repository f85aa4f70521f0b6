// How the engine reports faults: an InternalError for a violated invariant (a
// corrupt set, an index past its list) and an InputError for input it
// refuses, each with its full message. No other exception type, and so no
// standard library's wording, reaches the caller.
#include <gtest/gtest.h>

#include <exception>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <typeinfo>
#include <vector>

#include "core/base/error.h"
#include "core/eval/run.h"
#include "tests/core/eval/builders.h"

namespace quillscore::eval {
namespace {

using namespace testkit;

enum class Kind { kInternal, kInput };

struct FaultCase {
  const char* what;
  // Builds the state (corrupting it where the case needs) and runs the
  // operation that must fail.
  std::function<void()> op;
  Kind kind;
  const char* message;
};

// One ground truth and one matching detection in image 0, category 0.
std::unique_ptr<EngineState> one_pair(EvalParams p = params(1, 1)) {
  return boxes_state(std::move(p), {{.id = 1, .box = {0, 0, 4, 4}}},
                     {{.id = 10, .box = {0, 0, 4, 4}, .score = 0.9}});
}

// The same pair after `corrupt` has changed the built state.
std::function<void()> corrupted(std::function<void(EngineState&)> corrupt,
                                std::function<void(EngineState&)> op) {
  return [=] {
    auto st = one_pair();
    corrupt(*st);
    op(*st);
  };
}

void run_plain(EngineState& st) { run(st, false); }
void run_records(EngineState& st) { run(st, true); }
void verdicts(EngineState& st) { per_instance(st, 0, 0, 100); }

const FaultCase kFaults[] = {
    {"t_idx past the thresholds",
     [] { per_instance(*one_pair(), 1, 0, 100); },
     Kind::kInternal, "IoU threshold index out of bounds: 1 of 1"},
    {"a_idx past the area ranges",
     [] { per_instance(*one_pair(), 0, 3, 100); },
     Kind::kInternal, "area range index out of bounds: 3 of 1"},
    {"category position past the slots",
     [] {
       boxes_state(params(1, 2), {{.id = 1}}, {{.id = 10, .cat = 5}});
     },
     Kind::kInternal, "category slot index out of bounds: 5 of 2"},
    {"image position past the image ids, per-image records",
     [] { run(*boxes_state(params(1, 1), {{.id = 1, .img = 3}}, {}), true); },
     Kind::kInternal, "image index out of bounds: 3 of 1"},
    {"image position past the image ids, verdicts",
     [] { per_instance(*boxes_state(params(1, 1), {}, {{.id = 10, .img = 2}}), 0, 0, 100); },
     Kind::kInternal, "image index out of bounds: 2 of 1"},
    {"ground-truth ids short, per-image records",
     corrupted([](EngineState& st) { st.gt.ids.clear(); }, run_records),
     Kind::kInternal, "ground truth index out of bounds: 0 of 0"},
    {"ground-truth ids short, verdicts",
     corrupted([](EngineState& st) { st.gt.ids.clear(); }, verdicts),
     Kind::kInternal, "ground truth index out of bounds: 0 of 0"},
    {"detection ids short, per-image records",
     corrupted([](EngineState& st) { st.dt.ids.clear(); }, run_records),
     Kind::kInternal, "detection index out of bounds: 0 of 0"},
    {"detection ids short, verdicts",
     corrupted([](EngineState& st) { st.dt.ids.clear(); }, verdicts),
     Kind::kInternal, "detection index out of bounds: 0 of 0"},
    {"detection scores short",
     corrupted([](EngineState& st) { st.dt.scores.clear(); }, run_plain),
     Kind::kInternal, "annotation index out of bounds: 0 of 0"},
    {"ground-truth areas short",
     corrupted([](EngineState& st) { st.gt.areas.clear(); }, run_plain),
     Kind::kInternal, "annotation index out of bounds: 0 of 0"},
    {"boxes short",
     corrupted([](EngineState& st) { st.gt.geometry = Boxes{}; }, run_plain),
     Kind::kInternal, "annotation index out of bounds: 0 of 0"},
    {"shared boxes without rows",
     corrupted([](EngineState& st) { st.dt.geometry = SharedBoxes{}; }, run_plain),
     Kind::kInternal, "annotation index out of bounds: 0 of 0"},
    {"masks short",
     corrupted([](EngineState& st) { st.gt.geometry = st.dt.geometry = Masks{}; }, run_plain),
     Kind::kInternal, "annotation index out of bounds: 0 of 0"},
    {"geometry kinds that do not pair",
     corrupted([](EngineState& st) { st.dt.geometry = Masks{}; }, run_plain),
     Kind::kInternal, "ground truth and detection geometry kinds disagree"},
    {"fewer keypoint sigmas than keypoints",
     corrupted(
         [](EngineState& st) {
           st.gt.geometry = st.dt.geometry = Keypoints{{1, 1, 2, 2, 2, 2}, 2};
           st.params.kpt_sigmas = {0.1};
         },
         run_plain),
     Kind::kInternal, "fewer keypoint sigmas than keypoints"},
    {"LVIS flags one short",
     corrupted([](EngineState&) {},
               [](EngineState& st) { configure_lvis(st, std::vector<uint8_t>{}, {}); }),
     Kind::kInput, "LVIS ignore flags do not match ground-truth length"},
    {"LVIS flags one too many",
     corrupted([](EngineState&) {},
               [](EngineState& st) { configure_lvis(st, std::vector<uint8_t>{0, 1}, {}); }),
     Kind::kInput, "LVIS ignore flags do not match ground-truth length"},
    {"LVIS pairs over a detection column that is short",
     corrupted([](EngineState& st) { st.dt.category_index.clear(); },
               [](EngineState& st) {
                 const std::pair<int64_t, int64_t> pair{img_id(0), cat_id(0)};
                 configure_lvis(st, std::vector<uint8_t>{1}, {&pair, 1});
               }),
     Kind::kInternal, "detection index out of bounds: 0 of 0"},
};

TEST(Faults, EachHasItsTypeAndMessage) {
  for (const FaultCase& c : kFaults) {
    try {
      c.op();
      ADD_FAILURE() << c.what << ": no fault";
    } catch (const InternalError& e) {
      EXPECT_EQ(c.kind, Kind::kInternal) << c.what << ": InternalError " << e.what();
      EXPECT_STREQ(e.what(), c.message) << c.what;
    } catch (const InputError& e) {
      EXPECT_EQ(c.kind, Kind::kInput) << c.what << ": InputError " << e.what();
      EXPECT_STREQ(e.what(), c.message) << c.what;
    } catch (const std::exception& e) {
      ADD_FAILURE() << c.what << ": " << typeid(e).name() << " " << e.what();
    }
  }
}

TEST(Faults, RefusedLvisInputChangesNothing) {
  // A refusal found after the length check (a corrupt detection column) must
  // leave the flags as they were, like the length check itself.
  auto st = one_pair();
  st->gt.iscrowd = {1};
  st->dt.category_index.clear();
  const std::pair<int64_t, int64_t> pair{img_id(0), cat_id(0)};
  EXPECT_THROW(configure_lvis(*st, std::vector<uint8_t>{1}, {&pair, 1}), InternalError);
  EXPECT_EQ(st->gt.ignore, (std::vector<uint8_t>{0}));
  EXPECT_EQ(st->gt.iscrowd, (std::vector<uint8_t>{1}));
  EXPECT_EQ(st->dt.unmatched_ignore, (std::vector<uint8_t>{0}));
}

TEST(Faults, ResultArraysNoBufferCanHoldAreBadAlloc) {
  // T * R * K * A * M cells: 5000^5 fits in size_t but no array of doubles
  // that long can exist; 10^4 each does not fit at all. Either way the run
  // fails as an allocation would, before allocating anything.
  for (size_t n : {5000, 10000}) {
    EvalParams p = params(1, n);
    p.iou_thrs.assign(n, 0.5);
    p.rec_thrs.assign(n, 0.5);
    p.area_rng.assign(n, {0, kBig});
    p.max_dets.assign(n, 100);
    auto st = boxes_state(p, {}, {});
    EXPECT_THROW(run(*st, false), std::bad_array_new_length) << n;
  }
}

}  // namespace
}  // namespace quillscore::eval
