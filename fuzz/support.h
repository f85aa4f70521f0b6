// What the fuzz targets share: reading the fuzzer's input, shaping masks out
// of it, and reporting a failed check. The literal references the targets
// hold the core to are the unit tests' own, in tests/reference.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "core/rle/rle.h"
#include "tests/reference/rle.h"

namespace fuzz {

using quillscore::rle::Box;
using quillscore::rle::Rle;
namespace ref = quillscore::rle::testref;

[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "\n*** fuzz check failed: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

#define FUZZ_CHECK(cond, what) \
  do {                         \
    if (!(cond)) ::fuzz::fail(what); \
  } while (0)

inline void print_counts(const char* name, const std::vector<uint32_t>& c) {
  std::fprintf(stderr, "%s (%zu):", name, c.size());
  for (size_t i = 0; i < c.size() && i < 64; ++i) std::fprintf(stderr, " %u", c[i]);
  if (c.size() > 64) std::fprintf(stderr, " ...");
  std::fprintf(stderr, "\n");
}

inline void print_rle(const char* name, const Rle& r) {
  std::fprintf(stderr, "%s: %ux%u ", name, r.height, r.width);
  print_counts("counts", r.counts);
}

// Reads the fuzzer input front to back; past the end every read yields zeros.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : p_(data), e_(data + size) {}
  bool empty() const { return p_ == e_; }
  size_t left() const { return static_cast<size_t>(e_ - p_); }
  uint8_t u8() { return p_ < e_ ? *p_++ : 0; }
  uint16_t u16() { return static_cast<uint16_t>(u8() | (u8() << 8)); }
  uint64_t u64() {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= uint64_t{u8()} << (8 * i);
    return v;
  }
  double f64() {
    const uint64_t bits = u64();
    double d;
    static_assert(sizeof d == sizeof bits);
    __builtin_memcpy(&d, &bits, sizeof d);
    return d;
  }
  // The rest of the input split at `sep`, at most `max_parts` pieces (the last
  // one keeps any further separators).
  std::vector<std::string_view> split_rest(char sep, size_t max_parts) {
    std::vector<std::string_view> parts;
    const char* b = reinterpret_cast<const char*>(p_);
    const char* e = reinterpret_cast<const char*>(e_);
    p_ = e_;
    if (b == e) return parts;
    while (parts.size() + 1 < max_parts) {
      const char* s = std::find(b, e, sep);
      if (s == e) break;
      parts.emplace_back(b, static_cast<size_t>(s - b));
      b = s + 1;
    }
    parts.emplace_back(b, static_cast<size_t>(e - b));
    return parts;
  }

 private:
  const uint8_t* p_;
  const uint8_t* e_;
};

// ------------------------------------------------------------ input shaping

// Makes decoded counts cover exactly h*w pixels: runs are cut where the
// image ends and a final run fills any rest.
void normalise(Rle& r);
// Drops empty runs after the first by joining their neighbours.
void drop_empty_runs(Rle& r);

// One mask of an h x w image from a piece of the input, as the mask targets
// read them: with flag 4 the piece's first byte may widen or heighten the
// mask by one (a size mismatch), then the compressed counts; flag 1
// normalises the counts, flag 2 drops empty runs.
Rle read_mask(std::string_view piece, uint32_t h, uint32_t w, uint8_t flags);

}  // namespace fuzz
