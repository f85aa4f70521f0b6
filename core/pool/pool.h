// The process-wide worker pool and the one parallel map every parallel loop
// of the core goes through; a run's cancellation token (cancel.h) reaches
// every chunk.
#pragma once

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>

#include <cstddef>
#include <functional>
#include <type_traits>
#include <vector>

#include "core/pool/cancel.h"

namespace quillscore::pool {

// Number of workers the pool is created with: RAYON_NUM_THREADS (0 meaning
// the CPU count), else RAYON_RS_NUM_CPUS, else the CPUs this process may use.
size_t configured_size();

// The pool, created on first use and kept until the process ends.
tbb::task_arena& global_arena();

namespace detail {
// The arena whose task the calling thread is running, if any.
tbb::task_arena*& current_arena();

// Marks the calling thread as running a task of `arena` for its lifetime.
class ArenaScope {
 public:
  explicit ArenaScope(tbb::task_arena& arena) : prev_(current_arena()) { current_arena() = &arena; }
  ~ArenaScope() { current_arena() = prev_; }
  ArenaScope(const ArenaScope&) = delete;
  ArenaScope& operator=(const ArenaScope&) = delete;

 private:
  tbb::task_arena* prev_;
};

// Records that the pool's threads are about to start (see pool.cc).
void note_pool_start();
// Whether this process is a fork of one whose pool had started: it then runs
// every parallel map on the calling thread.
bool in_forked_child();
// Whether the calling thread runs its parallel maps inline (InlineScope).
bool& inline_only();
}  // namespace detail

// While alive, the parallel maps the calling thread starts run on it alone:
// for work that already runs beside other work (a batch matched while the
// caller reads the next), where waking the pool's workers, and their spinning
// once done, costs the other work more than the split gives.
class InlineScope {
 public:
  InlineScope() : prev_(detail::inline_only()) { detail::inline_only() = true; }
  ~InlineScope() { detail::inline_only() = prev_; }
  InlineScope(const InlineScope&) = delete;
  InlineScope& operator=(const InlineScope&) = delete;

 private:
  bool prev_;
};

// Runs body(begin, end) over chunks covering [0, n) on the pool, or inline
// when the pool has one worker or the process is a forked child; a chunk can
// hold scratch for its items. The first exception thrown fails the whole
// call. A token cancelled before the call returns fails it with Cancelled,
// at the latest before the next chunk. A range is split only while it holds
// more than `grain` items (so chunks hold at least half of it), and n <= grain
// runs inline: a loop over a few small items, nested in a parallel loop of
// its own, costs more to schedule than to run.
void parallel_chunks(size_t n, const std::function<void(size_t, size_t)>& body, size_t grain = 1);

// Runs fn on the calling thread inside `arena`, so that the parallel maps it
// starts use that arena instead of the global pool (tests pin pool sizes so).
template <class Fn>
auto run_in(tbb::task_arena& arena, Fn&& fn) {
  const CancelToken* token = detail::current_token();
  detail::note_pool_start();
  return arena.execute([&] {
    detail::ArenaScope scope(arena);
    detail::TokenScope cancel(token);
    return fn();
  });
}

// Maps fn over the indexes 0..n-1 and returns the results in index order,
// whatever the scheduling, in chunks as parallel_chunks makes them for
// `grain`. Calls may nest: fn may run a map of its own.
template <class Fn>
auto parallel_map(size_t n, Fn&& fn, size_t grain = 1)
    -> std::vector<std::invoke_result_t<Fn&, size_t>> {
  std::vector<std::invoke_result_t<Fn&, size_t>> out(n);
  parallel_chunks(
      n,
      [&](size_t begin, size_t end) {
        const CancelCheck check;
        for (size_t i = begin; i < end; ++i) {
          check();
          out[i] = fn(i);
        }
      },
      grain);
  return out;
}

}  // namespace quillscore::pool
