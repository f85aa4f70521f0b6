// The two ways the core reports a fault: by throwing one of these. Nothing
// else leaves the core as an error (a cancelled run unwinds with
// pool::Cancelled, and a failed allocation with std::bad_alloc).
#pragma once

#include <stdexcept>
#include <string>

namespace quillscore {

// A violated internal invariant: a position past the end of a column, sets
// whose geometry kinds do not pair. The operation is abandoned and nothing
// partial is returned; the Python layer raises PanicException with the same
// message.
class InternalError : public std::runtime_error {
 public:
  explicit InternalError(const std::string& message) : std::runtime_error(message) {}
};

// Input the core refuses: a polygon whose outline would need billions of
// crossings, LVIS flags that do not fit the ground truth. The Python layer
// raises ValueError with the same message.
class InputError : public std::runtime_error {
 public:
  explicit InputError(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace quillscore
