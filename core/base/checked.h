// Checked sizes and positions: a size computed from the caller's parameters,
// and a position into a column where nothing upstream proves it in range.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <new>
#include <string>

#include "core/base/error.h"

namespace quillscore {

// The number of Elements in a buffer with dimensions `factors`;
// std::bad_array_new_length (a std::bad_alloc) when no such buffer can exist:
// the product does not fit in size_t (a wrapped product would size one too
// small), or its bytes exceed what any array can hold (a vector asked for
// that many would fail with the library's own words).
template <class Element>
size_t checked_count(std::initializer_list<size_t> factors) {
  size_t product = 1;
  for (size_t f : factors) {
    if (__builtin_mul_overflow(product, f, &product)) throw std::bad_array_new_length();
  }
  if (product > static_cast<size_t>(PTRDIFF_MAX) / sizeof(Element)) {
    throw std::bad_array_new_length();
  }
  return product;
}

namespace detail {
// Kept out of line so that the checks below cost a compare and a branch.
[[noreturn, gnu::cold, gnu::noinline]] inline void index_out_of_bounds(const char* what,
                                                                       size_t index, size_t size) {
  throw InternalError(std::string(what) + " index out of bounds: " + std::to_string(index) +
                      " of " + std::to_string(size));
}
}  // namespace detail

// `index`, when it is below `size`; otherwise InternalError
// "{what} index out of bounds: {index} of {size}".
inline size_t checked_index(size_t index, size_t size, const char* what) {
  if (index >= size) detail::index_out_of_bounds(what, index, size);
  return index;
}

// The element of `column` at `index`, checked as checked_index checks it.
// Where a position is proven in range, index the column directly instead.
template <class Column>
decltype(auto) checked_at(Column& column, size_t index, const char* what) {
  return column[checked_index(index, column.size(), what)];
}

}  // namespace quillscore
