#include "core/pool/pool.h"

#include <sched.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
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

}  // namespace

size_t configured_size() {
  if (auto n = env_count("RAYON_NUM_THREADS")) return *n > 0 ? *n : available_cpus();
  if (auto n = env_count("RAYON_RS_NUM_CPUS"); n && *n > 0) return *n;
  return available_cpus();
}

tbb::task_arena& global_arena() {
  static tbb::task_arena arena(static_cast<int>(std::min<size_t>(configured_size(), 4096)));
  return arena;
}

namespace detail {

tbb::task_arena*& current_arena() {
  thread_local tbb::task_arena* arena = nullptr;
  return arena;
}

}  // namespace detail

void parallel_chunks(size_t n, const std::function<void(size_t, size_t)>& body) {
  if (n == 0) return;
  tbb::task_arena* cur = detail::current_arena();
  tbb::task_arena& arena = cur ? *cur : global_arena();
  if (n == 1 || arena.max_concurrency() == 1) {
    body(0, n);
    return;
  }
  // Every chunk records its arena, so that maps nested inside it run on the
  // same pool from whichever worker picked the chunk up.
  auto chunk = [&](const tbb::blocked_range<size_t>& r) {
    detail::ArenaScope scope(arena);
    body(r.begin(), r.end());
  };
  if (cur) {
    tbb::parallel_for(tbb::blocked_range<size_t>(0, n), chunk);
  } else {
    arena.execute([&] { tbb::parallel_for(tbb::blocked_range<size_t>(0, n), chunk); });
  }
}

}  // namespace quillscore::pool
