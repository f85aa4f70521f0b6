// The process-wide worker pool and the one parallel map every parallel loop
// of the core goes through, with the token that cancels a run.
#pragma once

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>

#include <atomic>
#include <cstddef>
#include <exception>
#include <functional>
#include <type_traits>
#include <vector>

namespace quillscore::pool {

// Number of workers the pool is created with: RAYON_NUM_THREADS (0 meaning
// the CPU count), else RAYON_RS_NUM_CPUS, else the CPUs this process may use.
size_t configured_size();

// The pool, created on first use and kept until the process ends.
tbb::task_arena& global_arena();

// Thrown out of the work of a cancelled token; it unwinds the whole run.
class Cancelled : public std::exception {
 public:
  const char* what() const noexcept override { return "the run was cancelled"; }
};

// Asks the runs that carry it to stop; set from any thread.
class CancelToken {
 public:
  void cancel() noexcept { flag_.store(true, std::memory_order_relaxed); }
  bool cancelled() const noexcept { return flag_.load(std::memory_order_relaxed); }

 private:
  std::atomic<bool> flag_{false};
};

namespace detail {
// What the calling thread's work belongs to: the arena its parallel maps run
// on (null: the global pool) and the token that cancels it (null: none).
struct Context {
  tbb::task_arena* arena = nullptr;
  const CancelToken* token = nullptr;
};
Context& current();

// Sets the calling thread's context for its lifetime.
class ContextScope {
 public:
  explicit ContextScope(Context ctx) : prev_(current()) { current() = ctx; }
  ~ContextScope() { current() = prev_; }
  ContextScope(const ContextScope&) = delete;
  ContextScope& operator=(const ContextScope&) = delete;

 private:
  Context prev_;
};

// Records that the pool's threads are about to start (see pool.cc).
void note_pool_start();
// Whether this process is a fork of one whose pool had started: it then runs
// every parallel map on the calling thread.
bool in_forked_child();
}  // namespace detail

// Throws Cancelled once the calling thread's work is cancelled. The token is
// looked up on construction: make one per loop, and call it per item.
class CancelCheck {
 public:
  CancelCheck() : token_(detail::current().token) {}
  void operator()() const {
    if (token_ && token_->cancelled()) throw Cancelled();
  }

 private:
  const CancelToken* token_;
};

// Runs body(begin, end) over chunks covering [0, n) on the pool, or inline
// when the pool has one worker or the process is a forked child; a chunk can hold scratch for its items. The
// first exception thrown fails the whole call. A token cancelled before the
// call returns fails it with Cancelled, at the latest before the next chunk.
void parallel_chunks(size_t n, const std::function<void(size_t, size_t)>& body);

// Runs fn on the calling thread inside `arena`, so that the parallel maps it
// starts use that arena instead of the global pool (tests pin pool sizes so).
template <class Fn>
auto run_in(tbb::task_arena& arena, Fn&& fn) {
  const detail::Context ctx{&arena, detail::current().token};
  detail::note_pool_start();
  return arena.execute([&] {
    detail::ContextScope scope(ctx);
    return fn();
  });
}

// Runs fn on the calling thread with `token` carried into every parallel map
// it starts, from whichever worker runs their chunks.
template <class Fn>
auto run_with(const CancelToken& token, Fn&& fn) {
  detail::ContextScope scope({detail::current().arena, &token});
  return fn();
}

// Maps fn over the indexes 0..n-1 and returns the results in index order,
// whatever the scheduling. Calls may nest: fn may run a map of its own.
template <class Fn>
auto parallel_map(size_t n, Fn&& fn) -> std::vector<std::invoke_result_t<Fn&, size_t>> {
  std::vector<std::invoke_result_t<Fn&, size_t>> out(n);
  parallel_chunks(n, [&](size_t begin, size_t end) {
    const CancelCheck check;
    for (size_t i = begin; i < end; ++i) {
      check();
      out[i] = fn(i);
    }
  });
  return out;
}

}  // namespace quillscore::pool
