// Built only under the thread sanitizer: two tasks of one parallel map write
// a plain variable with nothing ordering the writes, so the run must end in a
// data race report on it. A race between tasks always has the scheduler's
// frames at the bottom of both stacks; this canary dies when the sanitizer
// stops seeing such races, as it did while a suppression of everything under
// libtbb stood in for an instrumented TBB.
#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/task_arena.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "core/pool/pool.h"

namespace {

long racy_total = 0;

}  // namespace

int main() {
  using namespace quillscore;
  tbb::global_control two(tbb::global_control::max_allowed_parallelism, 2);
  tbb::task_arena arena(2);
  // The tasks wait for each other so that they run on two threads at once,
  // then the second writes after the first: two accesses at the same instant
  // can slip past the sanitizer's shadow memory, one after the other cannot.
  // Relaxed flags order nothing, so for the sanitizer the writes stay
  // unordered. The deadline only keeps a pool that never lends a second
  // thread from hanging the test (it then fails below).
  std::atomic<int> arrived{0};
  std::atomic<bool> first_wrote{false};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  auto wait_for = [&](auto done) {
    while (!done() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  };
  const auto threads = pool::run_in(arena, [&] {
    return pool::parallel_map(2, [&](size_t i) {
      arrived.fetch_add(1, std::memory_order_relaxed);
      wait_for([&] { return arrived.load(std::memory_order_relaxed) == 2; });
      if (i == 1) wait_for([&] { return first_wrote.load(std::memory_order_relaxed); });
      racy_total += static_cast<long>(i) + 1;
      if (i == 0) first_wrote.store(true, std::memory_order_relaxed);
      return std::this_thread::get_id();
    });
  });
  if (threads[0] == threads[1]) {
    std::puts("both tasks ran on one thread: nothing to race");
    return 1;
  }
  std::printf("two threads, total %ld\n", racy_total);
  return 0;
}
