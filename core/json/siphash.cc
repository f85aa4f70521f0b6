#include "core/json/siphash.h"

#include <sys/random.h>

#include <atomic>
#include <chrono>
#include <cstring>

namespace quillscore::json {
namespace {

inline uint64_t rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct State {
  uint64_t v0, v1, v2, v3;
  void round() {
    v0 += v1;
    v1 = rotl(v1, 13);
    v1 ^= v0;
    v0 = rotl(v0, 32);
    v2 += v3;
    v3 = rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = rotl(v1, 17);
    v1 ^= v2;
    v2 = rotl(v2, 32);
  }
  void compress(uint64_t m) {
    v3 ^= m;
    round();
    v0 ^= m;
  }
};

inline uint64_t load_le64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;  // x86-64 is little-endian
}

}  // namespace

uint64_t siphash13(const SipKey& key, const void* data, size_t size) {
  State s{key.k0 ^ 0x736f6d6570736575ULL, key.k1 ^ 0x646f72616e646f6dULL,
          key.k0 ^ 0x6c7967656e657261ULL, key.k1 ^ 0x7465646279746573ULL};
  const auto* p = static_cast<const uint8_t*>(data);
  const size_t blocks = size / 8;
  for (size_t i = 0; i < blocks; ++i) s.compress(load_le64(p + 8 * i));
  uint64_t last = static_cast<uint64_t>(size) << 56;
  const uint8_t* tail = p + 8 * blocks;
  for (size_t i = 0; i < size % 8; ++i) last |= static_cast<uint64_t>(tail[i]) << (8 * i);
  s.compress(last);
  s.v2 ^= 0xff;
  s.round();
  s.round();
  s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

SipKey random_sip_key() {
  SipKey key;
  if (getrandom(&key, sizeof key, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof key)) return key;
  // No entropy yet (very early boot): a clock and a counter still keep
  // different maps apart, which is all the seeding is for.
  static std::atomic<uint64_t> counter{0};
  const uint64_t t = static_cast<uint64_t>(
      std::chrono::steady_clock::now().time_since_epoch().count());
  key.k0 = t * 0x9E3779B97F4A7C15ULL;
  key.k1 = counter.fetch_add(1, std::memory_order_relaxed) ^ reinterpret_cast<uintptr_t>(&key);
  return key;
}

}  // namespace quillscore::json
