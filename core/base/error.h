// Internal invariant failures of the core. The Python layer turns these into
// PanicException carrying the same message; nothing partial is returned.
#pragma once

#include <stdexcept>
#include <string>

namespace quillscore {

class InternalError : public std::runtime_error {
 public:
  explicit InternalError(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace quillscore

namespace quillscore {

// Input the core cannot process within sane bounds (for example a polygon
// whose outline would need billions of crossings). Surfaces as ValueError.
class InputError : public std::runtime_error {
 public:
  explicit InputError(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace quillscore
