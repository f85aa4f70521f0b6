// Argument binding and the standard converters shared by every entry point.
// Converters return false with exactly one Python exception set.
#pragma once

#include "pymodule/platform.h"

#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <vector>

#include "pymodule/lib/errors.h"
#include "pymodule/lib/ref.h"

namespace quillscore::py {

// A function's parameters, the first `required` of them mandatory.
struct Signature {
  const char* function;
  std::initializer_list<const char*> params;
  size_t required;
};

// Binds vectorcall arguments to one slot per parameter (null when absent),
// raising TypeError in CPython's wording for missing, duplicate, unknown or
// surplus arguments.
bool bind_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** slots);

// Runs a conversion of the argument `name`; on failure attaches the note
// "while processing '{name}'" to the exception.
template <class Convert>
bool convert_arg(const char* name, Convert&& convert) {
  if (convert()) return true;
  add_argument_note(name);
  return false;
}

bool to_i64(PyObject* o, int64_t& out);
bool to_u64(PyObject* o, uint64_t& out);
// Unsigned 32-bit: OverflowError outside 0 ... 4294967295.
bool to_u32(PyObject* o, uint32_t& out);
bool to_f64(PyObject* o, double& out);
bool to_bool(PyObject* o, bool& out);
// A str (or subclass) as its UTF-8 form, which the str keeps alive; a str
// without one (lone surrogates) fails like a wrong type.
bool to_utf8(PyObject* o, std::string_view& out);

// A file-system path as open() takes it (str, bytes or os.PathLike), as a
// bytes object holding what the system is given: a str is encoded with the
// file-system encoding and its error handler, so names that are not valid
// UTF-8 (undecodable bytes kept as surrogate escapes) reach the file intact.
bool to_fs_path(PyObject* o, Ref& out);

// Sequences (never str) converted element by element.
bool to_u64_vector(PyObject* o, std::vector<uint64_t>& out);
bool to_u32_vector(PyObject* o, std::vector<uint32_t>& out);
bool to_f64_vector(PyObject* o, std::vector<double>& out);
bool to_i64_vector(PyObject* o, std::vector<int64_t>& out);
bool to_bool_vector(PyObject* o, std::vector<uint8_t>& out);

// A sequence (not str) of exactly n floats: ValueError "expected a sequence
// of length {n} (got {len})" otherwise.
bool to_f64_array(PyObject* o, size_t n, double* out);

// A boundary band's width as a share of the image diagonal: ValueError
// unless it is a finite number >= 0 (a negative or NaN ratio would
// otherwise be read as no band at all).
bool to_dilation_ratio(PyObject* o, double& out);

// A tuple (or subclass) of exactly two items, returned borrowed.
bool to_pair(PyObject* o, PyObject*& first, PyObject*& second);

// Exactly `type` or a subclass: TypeError "'{}' object is not an instance of '{}'".
bool expect_instance(PyObject* o, PyTypeObject* type, const char* type_name);

}  // namespace quillscore::py
