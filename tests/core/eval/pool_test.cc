// The worker pool: ordered parallel maps, nesting, failure propagation and the
// pool size taken from the environment.
#include "core/pool/pool.h"

#include <gtest/gtest.h>
#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/task_arena.h>
#include <sched.h>

#include <atomic>
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
