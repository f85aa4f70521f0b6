// How failures become Python exceptions.
#pragma once

#include "pymodule/platform.h"

#include <exception>

namespace quillscore::py {

// The exception type for internal invariant failures; derives from
// BaseException so that handlers for Exception do not swallow it. Created
// once per process; null with an exception set if that fails.
PyObject* panic_exception_type();

// Sets an exception of `type` with `message`; always returns null so entry
// points can `return fail(...)`.
std::nullptr_t fail(PyObject* type, const char* message);

// Attaches the note "while processing '{name}'" to the pending exception.
void add_argument_note(const char* name);

// Turns the C++ exception being handled into the pending Python exception:
// InputError becomes ValueError, a failed allocation MemoryError, anything
// else PanicException.
void set_from_current_exception() noexcept;

// Runs an entry point's body so that no C++ exception reaches the
// interpreter.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    set_from_current_exception();
    return nullptr;
  }
}

}  // namespace quillscore::py
