// Sizes computed from the caller's parameters.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <new>

namespace quillscore {

// The product of `factors`; std::bad_array_new_length (a std::bad_alloc) when
// it does not fit in size_t, since no such buffer can exist and a wrapped
// product would size one too small.
inline size_t checked_product(std::initializer_list<size_t> factors) {
  size_t product = 1;
  for (size_t f : factors) {
    if (__builtin_mul_overflow(product, f, &product)) throw std::bad_array_new_length();
  }
  return product;
}

}  // namespace quillscore
