#include "core/pool/pool.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>

#include <oneapi/tbb/info.h>

namespace quillscore::pool {
namespace {

// A decimal count, as the variable's value must be to count; anything else
// is treated as absent.
std::optional<size_t> env_count(const char* name) {
  const char* v = std::getenv(name);
  if (!v) return std::nullopt;
  std::string s(v);
  if (!s.empty() && s[0] == '+') s.erase(0, 1);
  if (s.empty() || s.size() > 18 || !std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  return static_cast<size_t>(std::stoull(s));
}

// CPUs allowed by a cgroup quota, if one is set (v2, then v1).
std::optional<size_t> cgroup_cpus() {
  double quota = -1, period = -1;
  if (std::ifstream f("/sys/fs/cgroup/cpu.max"); f) {
    std::string q;
    f >> q >> period;
    if (q != "max" && f) quota = std::strtod(q.c_str(), nullptr);
  } else {
    std::ifstream fq("/sys/fs/cgroup/cpu/cpu.cfs_quota_us"), fp("/sys/fs/cgroup/cpu/cpu.cfs_period_us");
    if (fq && fp) fq >> quota, fp >> period;
  }
  if (quota <= 0 || period <= 0) return std::nullopt;
  return std::max<size_t>(1, static_cast<size_t>(quota / period));
}

size_t available_cpus() {
  size_t n = 0;
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof(set), &set) == 0) n = static_cast<size_t>(CPU_COUNT(&set));
  if (n == 0) n = static_cast<size_t>(tbb::info::default_concurrency());
  if (auto quota = cgroup_cpus()) n = std::min(n, *quota);
  return std::max<size_t>(n, 1);
}

// fork() copies the pool's bookkeeping but none of its threads, and a worker
// that was inside the pool, or only just leaving it, may hold one of its
// locks: a child that used the copy could wait forever. So the child of a
// process whose pool has started runs every map on its own thread; the child
// of one whose pool never started gets a pool on first use like any process.
std::atomic<bool> g_started{false};
std::atomic<bool> g_forked{false};

void after_fork_in_child() {
  if (g_started.load(std::memory_order_relaxed)) g_forked.store(true, std::memory_order_relaxed);
}

}  // namespace

size_t configured_size() {
  if (auto n = env_count("RAYON_NUM_THREADS")) return *n > 0 ? *n : available_cpus();
  if (auto n = env_count("RAYON_RS_NUM_CPUS"); n && *n > 0) return *n;
  return available_cpus();
}

tbb::task_arena& global_arena() {
  // Never destroyed: a forked child that exits must not tear down the
  // parent's pool, whose threads it does not have.
  static tbb::task_arena* arena =
      new tbb::task_arena(static_cast<int>(std::min<size_t>(configured_size(), 4096)));
  return *arena;
}

namespace detail {

tbb::task_arena*& current_arena() {
  thread_local tbb::task_arena* arena = nullptr;
  return arena;
}

void note_pool_start() {
  if (g_started.load(std::memory_order_relaxed)) return;
  static std::once_flag registered;
  std::call_once(registered, [] { pthread_atfork(nullptr, nullptr, after_fork_in_child); });
  g_started.store(true, std::memory_order_relaxed);
}

bool in_forked_child() { return g_forked.load(std::memory_order_relaxed); }

bool& inline_only() {
  thread_local bool only = false;
  return only;
}

}  // namespace detail

void parallel_chunks(size_t n, const std::function<void(size_t, size_t)>& body, size_t grain) {
  if (n == 0) return;
  grain = std::max<size_t>(grain, 1);
  tbb::task_arena* const outer = detail::current_arena();
  const CancelToken* const token = detail::current_token();
  const CancelCheck check;
  check();
  tbb::task_arena* arena = nullptr;
  if (n > grain && !detail::in_forked_child() && !detail::inline_only()) {
    arena = outer ? outer : &global_arena();
    if (arena->max_concurrency() == 1) arena = nullptr;
  }
  if (!arena) {
    body(0, n);
    check();
    return;
  }
  // Every chunk carries its arena and token, so that maps nested inside it
  // run on the same pool, and stop with the run, from whichever worker
  // picked the chunk up.
  auto chunk = [&](const tbb::blocked_range<size_t>& r) {
    check();
    detail::ArenaScope scope(*arena);
    detail::TokenScope cancel(token);
    body(r.begin(), r.end());
  };
  if (outer) {
    tbb::parallel_for(tbb::blocked_range<size_t>(0, n, grain), chunk);
  } else {
    detail::note_pool_start();
    arena->execute([&] { tbb::parallel_for(tbb::blocked_range<size_t>(0, n, grain), chunk); });
  }
  // Cancelled while the last chunks ran: the run stops all the same, so that
  // its caller never goes on with a cancelled run's partial work.
  check();
}

}  // namespace quillscore::pool
