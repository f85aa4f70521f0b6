// SipHash-1-3 (one compression round per block, three finalisation rounds)
// of a byte string under a 128-bit key.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillscore::json {

struct SipKey {
  uint64_t k0, k1;
};

uint64_t siphash13(const SipKey& key, const void* data, size_t size);

// A key from the operating system's random source.
SipKey random_sip_key();

}  // namespace quillscore::json
