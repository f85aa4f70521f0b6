// The counts decoder's two ways, for tests: the vector decoder serves
// counts_from_string where the processor has it, and the portable one
// everywhere else.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace quillscore::rle::detail {

// The counts of the string by the portable decoder alone.
std::vector<uint32_t> counts_portable(std::string_view bytes);

// Whether counts_from_string and the extents use the vector decoder here.
bool vector_counts_in_use();

}  // namespace quillscore::rle::detail
