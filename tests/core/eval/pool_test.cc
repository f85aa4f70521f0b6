// The worker pool: ordered parallel maps, nesting, failure propagation,
// cancellation, fork, and the pool size taken from the environment.
#include "core/pool/pool.h"

#include <gtest/gtest.h>
#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/task_arena.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <optional>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/base/error.h"

namespace quillscore::pool {
namespace {

// Lets an arena of 8 really have 8 threads on a smaller machine.
struct ManyThreads {
  tbb::global_control control{tbb::global_control::max_allowed_parallelism, 8};
};

const int kArenaSizes[] = {1, 2, 8};

TEST(ParallelMap, ResultsComeInIndexOrder) {
  ManyThreads many;
  for (int size : kArenaSizes) {
    tbb::task_arena arena(size);
    for (size_t n : {size_t{0}, size_t{1}, size_t{2}, size_t{7}, size_t{1000}, size_t{20000}}) {
      const auto out = run_in(arena, [&] {
        return parallel_map(n, [](size_t i) { return std::to_string(i * 3 + 1); });
      });
      ASSERT_EQ(out.size(), n);
      for (size_t i = 0; i < n; ++i) ASSERT_EQ(out[i], std::to_string(i * 3 + 1)) << size << " " << i;
    }
  }
}

TEST(ParallelMap, EveryItemRunsExactlyOnce) {
  ManyThreads many;
  tbb::task_arena arena(8);
  std::vector<std::atomic<int>> calls(5000);
  run_in(arena, [&] {
    parallel_map(calls.size(), [&](size_t i) { return ++calls[i]; });
    return 0;
  });
  for (size_t i = 0; i < calls.size(); ++i) ASSERT_EQ(calls[i].load(), 1) << i;
}

// Chunks hold at least half the grain, cover every index once, and a loop no
// longer than its grain runs as one chunk on the calling thread.
TEST(ParallelChunks, GrainBoundsChunks) {
  ManyThreads many;
  tbb::task_arena arena(8);
  for (size_t grain : {size_t{1}, size_t{16}, size_t{1000}}) {
    for (size_t n : {size_t{1}, size_t{15}, size_t{16}, size_t{17}, size_t{5000}}) {
      std::mutex m;
      std::vector<std::pair<size_t, size_t>> chunks;
      std::set<std::thread::id> threads;
      std::thread::id caller;
      run_in(arena, [&] {
        caller = std::this_thread::get_id();
        parallel_chunks(
            n,
            [&](size_t begin, size_t end) {
              std::lock_guard lock(m);
              chunks.emplace_back(begin, end);
              threads.insert(std::this_thread::get_id());
            },
            grain);
        return 0;
      });
      std::sort(chunks.begin(), chunks.end());
      size_t next = 0;
      for (const auto& [begin, end] : chunks) {
        ASSERT_EQ(begin, next) << grain << " " << n;
        EXPECT_GE(2 * (end - begin), std::min(grain, n)) << grain << " " << n;
        next = end;
      }
      EXPECT_EQ(next, n);
      if (n <= grain) {
        EXPECT_EQ(chunks.size(), 1u) << grain << " " << n;
        EXPECT_EQ(threads, std::set{caller}) << grain << " " << n;
      }
    }
  }
}

TEST(ParallelMap, MapsNest) {
  ManyThreads many;
  for (int size : kArenaSizes) {
    tbb::task_arena arena(size);
    const auto out = run_in(arena, [&] {
      return parallel_map(40, [](size_t i) {
        const auto inner = parallel_map(i + 1, [i](size_t j) {
          // A third level, to be sure nesting is not limited to one.
          const auto leaf = parallel_map(3, [i, j](size_t l) { return i * 10000 + j * 10 + l; });
          return leaf[0] + leaf[1] + leaf[2];
        });
        return inner;
      });
    });
    ASSERT_EQ(out.size(), 40u);
    for (size_t i = 0; i < 40; ++i) {
      ASSERT_EQ(out[i].size(), i + 1);
      for (size_t j = 0; j <= i; ++j) ASSERT_EQ(out[i][j], 3 * (i * 10000 + j * 10) + 3) << i << " " << j;
    }
  }
}

TEST(ParallelMap, NestedMapsStayInTheirArena) {
  // Work started inside an arena of 2 never runs on more than 2 threads,
  // however deep it nests.
  ManyThreads many;
  tbb::task_arena arena(2);
  std::mutex lock;
  std::set<std::thread::id> threads;
  run_in(arena, [&] {
    parallel_map(64, [&](size_t) {
      return parallel_map(64, [&](size_t j) {
        std::lock_guard<std::mutex> g(lock);
        threads.insert(std::this_thread::get_id());
        return j;
      });
    });
    return 0;
  });
  EXPECT_LE(threads.size(), 2u);
}

TEST(ParallelMap, AFailingItemFailsTheWholeMap) {
  ManyThreads many;
  for (int size : kArenaSizes) {
    tbb::task_arena arena(size);
    for (size_t bad : {size_t{0}, size_t{37}, size_t{999}}) {
      try {
        run_in(arena, [&] {
          return parallel_map(1000, [&](size_t i) {
            if (i == bad) throw InternalError("item " + std::to_string(i) + " failed");
            return i;
          });
        });
        ADD_FAILURE() << "no failure, arena " << size;
      } catch (const InternalError& e) {
        EXPECT_EQ(std::string(e.what()), "item " + std::to_string(bad) + " failed");
      }
    }
    // A failure deep inside a nested map also reaches the caller, with its type.
    EXPECT_THROW(run_in(arena, [&] {
                   return parallel_map(8, [](size_t i) {
                     return parallel_map(8, [i](size_t j) -> int {
                       if (i == 5 && j == 6) throw std::out_of_range("deep");
                       return 0;
                     });
                   });
                 }),
                 std::out_of_range);
    // Many failures: one of them comes out.
    try {
      run_in(arena, [&] {
        return parallel_map(500, [](size_t i) -> int {
          throw std::runtime_error("every item fails: " + std::to_string(i));
        });
      });
      ADD_FAILURE() << "no failure";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()).rfind("every item fails: ", 0), 0u);
    }
    // The arena is still usable afterwards.
    const auto ok = run_in(arena, [] { return parallel_map(100, [](size_t i) { return i; }); });
    EXPECT_EQ(ok[99], 99u);
  }
}

// --- cancellation ---------------------------------------------------------------

// How a token gets cancelled in a case: before the map starts, by the item
// at `trigger`, or from another thread once the map has reached `trigger`.
enum class Cancel { kBefore, kByItem, kFromOutside };

TEST(ParallelMap, ACancelledTokenStopsTheMap) {
  ManyThreads many;
  const Cancel cases[] = {Cancel::kBefore, Cancel::kByItem, Cancel::kFromOutside};
  for (int size : kArenaSizes) {
    tbb::task_arena arena(size);
    for (Cancel how : cases) {
      for (bool nested : {false, true}) {
        SCOPED_TRACE(testing::Message() << "arena " << size << " case " << static_cast<int>(how)
                                        << (nested ? " nested" : ""));
        const size_t n = 2000, trigger = 300;
        CancelToken token;
        if (how == Cancel::kBefore) token.cancel();
        std::atomic<size_t> ran{0};
        std::atomic<bool> reached{false};
        auto item = [&](size_t i) {
          if (i == trigger) {
            if (how == Cancel::kByItem) token.cancel();
            reached = true;
          }
          // Past the trigger, wait for the other thread's cancellation, so
          // that the map cannot end before it lands.
          while (how == Cancel::kFromOutside && i >= trigger && !token.cancelled()) {
            std::this_thread::yield();
          }
          ++ran;
          return i;
        };
        std::thread outside;
        if (how == Cancel::kFromOutside) {
          outside = std::thread([&] {
            while (!reached) std::this_thread::yield();
            token.cancel();
          });
        }
        EXPECT_THROW(run_in(arena, [&] {
                       return run_with(token, [&] {
                         if (!nested) return parallel_map(n, item);
                         // The token reaches the chunks of a map nested in
                         // another, on whichever worker runs them.
                         parallel_map(4, [&](size_t k) {
                           return parallel_map(n / 4, [&](size_t i) { return item(k * (n / 4) + i); });
                         });
                         return std::vector<size_t>{};
                       });
                     }),
                     Cancelled);
        if (outside.joinable()) outside.join();
        if (how == Cancel::kBefore) {
          EXPECT_EQ(ran.load(), 0u);
        } else if (how == Cancel::kByItem && size == 1) {
          // Serially, nothing runs after the cancelling item.
          EXPECT_EQ(ran.load(), trigger + 1);
        } else if (how == Cancel::kFromOutside) {
          // Once cancelled from outside, each worker finishes at most the
          // item it is on.
          EXPECT_LE(ran.load(), trigger + 8);
        }
        // The pool and the thread are as before: a later map without the
        // token runs every item.
        const auto ok = run_in(arena, [] { return parallel_map(1000, [](size_t i) { return i * 2; }); });
        ASSERT_EQ(ok.size(), 1000u);
        EXPECT_EQ(ok[999], 1998u);
      }
    }
  }
}

TEST(ParallelMap, CancelCheckStopsALongItem) {
  // Long loops inside one item check the token themselves.
  ManyThreads many;
  for (int size : kArenaSizes) {
    tbb::task_arena arena(size);
    CancelToken token;
    std::atomic<uint64_t> steps{0};
    EXPECT_THROW(run_in(arena, [&] {
                   return run_with(token, [&] {
                     return parallel_map(3, [&](size_t) {
                       const CancelCheck check;
                       for (uint64_t s = 0;; ++s) {
                         check();
                         if (++steps == 1000) token.cancel();
                       }
                       return 0;
                     });
                   });
                 }),
                 Cancelled)
        << "arena " << size;
  }
}

// --- fork ---------------------------------------------------------------------

// A child forked while another thread is inside a parallel map must be able
// to run maps of its own; it is killed by an alarm if it hangs.
TEST(PoolFork, ForkWhileAMapRunsLeavesTheChildAPool) {
  for (int round = 0; round < 3; ++round) {
    std::atomic<bool> inside{false};
    std::thread busy([&] {
      parallel_map(64, [&](size_t i) {
        inside = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return i;
      });
    });
    while (!inside) std::this_thread::yield();
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      alarm(10);
      const auto out = parallel_map(5000, [](size_t i) { return i + 1; });
      _exit(out.size() == 5000 && out[4999] == 5000 ? 0 : 1);
    }
    busy.join();
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
}

// --- pool size from the environment ---------------------------------------------

// Sets or unsets both variables for one scope, restoring them afterwards.
class PoolEnv {
 public:
  PoolEnv() {
    for (const char* name : kNames) {
      const char* v = std::getenv(name);
      saved_.push_back(v ? std::optional<std::string>(v) : std::nullopt);
    }
  }
  ~PoolEnv() {
    for (size_t i = 0; i < 2; ++i) set(kNames[i], saved_[i]);
  }
  static void set(const char* name, const std::optional<std::string>& value) {
    if (value) {
      setenv(name, value->c_str(), 1);
    } else {
      unsetenv(name);
    }
  }

 private:
  static constexpr const char* kNames[] = {"RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"};
  std::vector<std::optional<std::string>> saved_;
};

TEST(PoolSize, FromTheEnvironment) {
  PoolEnv env;
  PoolEnv::set("RAYON_NUM_THREADS", std::nullopt);
  PoolEnv::set("RAYON_RS_NUM_CPUS", std::nullopt);
  const size_t cpus = configured_size();
  cpu_set_t set;
  ASSERT_EQ(sched_getaffinity(0, sizeof(set), &set), 0);
  EXPECT_GE(cpus, 1u);
  EXPECT_LE(cpus, static_cast<size_t>(CPU_COUNT(&set)));

  using Opt = std::optional<std::string>;
  struct Case {
    Opt threads, rs_cpus;
    size_t expected;  // 0 stands for the CPU count
  };
  const Case cases[] = {
      {"7", std::nullopt, 7},
      {"7", "5", 7},
      {"1", std::nullopt, 1},
      {"1000", std::nullopt, 1000},
      {"0", std::nullopt, 0},
      {"0", "5", 0},  // 0 is a number: the CPU count, not the fallback
      {"abc", "5", 5},
      {"", "5", 5},
      {"-3", "5", 5},
      {"2.5", "5", 5},
      {"7x", "5", 5},
      {" 7", std::nullopt, 0},
      {std::nullopt, "5", 5},
      {std::nullopt, "0", 0},
      {std::nullopt, "abc", 0},
      {"abc", "abc", 0},
      {"abc", "0", 0},
  };
  for (const Case& c : cases) {
    PoolEnv::set("RAYON_NUM_THREADS", c.threads);
    PoolEnv::set("RAYON_RS_NUM_CPUS", c.rs_cpus);
    EXPECT_EQ(configured_size(), c.expected ? c.expected : cpus)
        << "RAYON_NUM_THREADS=" << c.threads.value_or("(unset)")
        << " RAYON_RS_NUM_CPUS=" << c.rs_cpus.value_or("(unset)");
  }
}

}  // namespace
}  // namespace quillscore::pool
