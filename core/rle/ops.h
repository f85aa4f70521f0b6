// Conversions, measures and merging of run-length masks.
#pragma once

#include <cstdint>
#include <span>

#include "core/rle/rle.h"

namespace quillscore::rle {

// Runs of a column-major byte mask; every change of byte value starts a run.
Rle encode_dense(std::span<const uint8_t> pixels, uint32_t height, uint32_t width);

// Writes the runs into `out` from position 0, clipped at its end; positions
// no run reaches are left as they are.
void decode_dense(const Rle& mask, std::span<uint8_t> out);

// Number of set pixels, modulo 2^32.
uint32_t rle_area(const Rle& mask);

// Bounding box [x, y, w, h] of the set pixels; [0, 0, 0, 0] when none.
Box rle_bbox(const Rle& mask);

// Union (or intersection) of all masks. An empty list, or masks of different
// sizes, give the empty record.
Rle rle_merge(std::span<const Rle> masks, bool intersect);

}  // namespace quillscore::rle
