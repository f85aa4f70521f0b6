// The compressed "counts" string of the COCO annotation format.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "core/rle/ops.h"
#include "core/rle/rle.h"

namespace quillscore::rle {

// Encodes run lengths as the compressed counts string.
std::string counts_to_string(std::span<const uint32_t> counts);

// Decodes any byte string into counts; never fails and never checks the
// counts against height * width.
Rle counts_from_string(std::string_view bytes, uint32_t height, uint32_t width);

// rle_bbox and rle_area of counts_from_string(bytes, height, width), read
// without building the list.
RunExtent extent_from_string(std::string_view bytes, uint32_t height, uint32_t width);

// rle_area of counts_from_string(bytes, ...) alone: a fraction of the work
// of the extent, which places every run in its column.
uint32_t area_from_string(std::string_view bytes);

}  // namespace quillscore::rle
