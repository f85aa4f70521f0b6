#include <chrono>

#include "core/eval/model.h"

namespace quillscore::eval {

std::unique_ptr<EngineState> make_engine_state(EvalParams params, AnnotationSet gt,
                                               AnnotationSet dt) {
  auto st = std::make_unique<EngineState>();
  st->params = std::move(params);
  st->gt = std::move(gt);
  st->dt = std::move(dt);
  st->slots = st->params.slots();
  const auto start = std::chrono::steady_clock::now();
  st->gt_index = group::build_group_index(st->gt.image_index, st->gt.category_index, st->slots,
                                          st->params.use_cats);
  st->dt_index = group::build_group_index(st->dt.image_index, st->dt.category_index, st->slots,
                                          st->params.use_cats);
  st->timings.group_index += static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start)
          .count());
  return st;
}

}  // namespace quillscore::eval
