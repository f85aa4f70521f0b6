// Argument binding and the standard converters shared by every entry point.
// Converters return false with exactly one Python exception set.
#pragma once

#include "pymodule/platform.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "pymodule/lib/errors.h"
#include "pymodule/lib/ref.h"

namespace quillscore::py {

// Runs a conversion of the argument `name`; on failure attaches the note
// "while processing '{name}'" to the exception.
template <class Convert>
bool convert_arg(const char* name, Convert&& convert) {
  if (convert()) return true;
  add_argument_note(name);
  return false;
}

// Each entry point converts its arguments into a struct of its own, one field
// per parameter, whose initialiser is the parameter's default. A Signature
// declares the parameters once, in order: the name, the converter that fills
// the field (any of the to_* functions below, or the entry point's own), and
// whether the argument may be left out. Binding by position and keyword, the
// "while processing '{name}'" note and the text signature of the docstring
// all come from that one declaration.

// One parameter, its converter bound to its field of `Args`.
template <class Args>
struct Param {
  const char* name;
  bool (*convert)(PyObject* arg, Args& out);
  // The default as Python writes it, read from a value-initialised Args;
  // null for a required parameter.
  std::string (*show_default)(const Args& defaults);
};

namespace detail {

template <class Member>
struct MemberOf;
template <class Class, class T>
struct MemberOf<T Class::*> {
  using Owner = Class;
};

template <auto Member>
using OwnerOf = typename MemberOf<decltype(Member)>::Owner;

// The field at the end of a path of member pointers: a.*P1.*P2...
template <auto... Path, class Args>
constexpr auto& field(Args& a) {
  return (a .* ... .* Path);
}

}  // namespace detail

// The default of an optional parameter as Python writes it.
std::string python_literal(bool v);
std::string python_literal(int64_t v);
std::string python_literal(uint64_t v);
std::string python_literal(double v);
// An absent object: None.
std::string python_literal(PyObject* v);

// A parameter that must be given. `Member` and `Path` name its field: a
// member pointer of the argument struct, followed by more for a field inside
// a member.
template <auto Convert, auto Member, auto... Path>
constexpr Param<detail::OwnerOf<Member>> required(const char* name) {
  using Args = detail::OwnerOf<Member>;
  return {name,
          [](PyObject* arg, Args& out) {
            return Convert(arg, detail::field<Member, Path...>(out));
          },
          nullptr};
}

// A parameter that may be left out, keeping its field's initial value.
template <auto Convert, auto Member, auto... Path>
constexpr Param<detail::OwnerOf<Member>> optional(const char* name) {
  using Args = detail::OwnerOf<Member>;
  return {name,
          [](PyObject* arg, Args& out) {
            return Convert(arg, detail::field<Member, Path...>(out));
          },
          [](const Args& defaults) {
            return python_literal(detail::field<Member, Path...>(defaults));
          }};
}

// A function's name and parameters; the required ones come first.
template <class Args, size_t N>
struct Signature {
  constexpr Signature(const char* function, const Param<Args> (&declared)[N])
      : function(function) {
    for (size_t i = 0; i < N; ++i) {
      params[i] = declared[i];
      names[i] = declared[i].name;
      if (!declared[i].show_default) {
        // Not a constant expression: a required parameter after an optional one.
        if (required != i) throw "required parameters come first";
        ++required;
      }
    }
  }

  const char* function;
  std::array<Param<Args>, N> params{};
  std::array<const char*, N> names{};
  size_t required = 0;
};

// Places vectorcall arguments in one slot per parameter (null when absent),
// raising TypeError in CPython's wording for missing, duplicate, unknown or
// surplus arguments.
bool bind_slots(const char* function, std::span<const char* const> names, size_t required,
                PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots);

// Binds and converts the arguments of a vectorcall into `out`, parameter by
// parameter in declared order; false with the error set, a failed
// conversion carrying the note "while processing '{name}'".
template <class Args, size_t N>
bool bind(const Signature<Args, N>& sig, PyObject* const* args, Py_ssize_t nargs,
          PyObject* kwnames, Args& out) {
  PyObject* slots[N];
  if (!bind_slots(sig.function, sig.names, sig.required, args, nargs, kwnames, slots)) {
    return false;
  }
  for (size_t i = 0; i < N; ++i) {
    if (slots[i] && !convert_arg(sig.params[i].name,
                                 [&] { return sig.params[i].convert(slots[i], out); })) {
      return false;
    }
  }
  return true;
}

// "name(a, b=default)": the text signature that inspect.signature and help()
// read from the head of a docstring; `bound` adds the leading "$self" of a
// method.
template <class Args, size_t N>
std::string text_signature(const Signature<Args, N>& sig, bool bound) {
  const Args defaults{};
  std::string s = sig.function;
  s += bound ? "($self" : "(";
  for (size_t i = 0; i < N; ++i) {
    if (bound || i > 0) s += ", ";
    s += sig.params[i].name;
    if (sig.params[i].show_default) s += "=" + sig.params[i].show_default(defaults);
  }
  return s + ")";
}

// The argument object itself, borrowed from the call.
bool borrow(PyObject* o, PyObject*& out);
// The argument, or null for None: an optional object whose default is None.
bool none_as_absent(PyObject* o, PyObject*& out);

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

// A str where a sequence of items is wanted (a str is a sequence of str):
// TypeError "Can't extract `str` to `Vec`". False for anything else, with no
// exception set.
bool reject_str(PyObject* o);

// Sequences (never str) converted element by element.
bool to_u64_vector(PyObject* o, std::vector<uint64_t>& out);
bool to_u32_vector(PyObject* o, std::vector<uint32_t>& out);
bool to_f64_vector(PyObject* o, std::vector<double>& out);
bool to_i64_vector(PyObject* o, std::vector<int64_t>& out);
bool to_bool_vector(PyObject* o, std::vector<uint8_t>& out);

// A sequence (not str) of exactly two floats: ValueError "expected a
// sequence of length 2 (got {len})" otherwise.
bool to_f64_pair(PyObject* o, std::array<double, 2>& out);
// A sequence (not str) of such pairs.
bool to_f64_pair_vector(PyObject* o, std::vector<std::array<double, 2>>& out);

// A list (or subclass), borrowed: TypeError "'{}' object is not an instance
// of 'list'" otherwise.
bool to_list(PyObject* o, PyObject*& out);

// A boundary band's width as a share of the image diagonal: ValueError
// unless it is a finite number >= 0 (a negative or NaN ratio would
// otherwise be read as no band at all).
bool to_dilation_ratio(PyObject* o, double& out);

// A tuple (or subclass) of exactly two items, returned borrowed.
bool to_pair(PyObject* o, PyObject*& first, PyObject*& second);

// Exactly `type` or a subclass: TypeError "'{}' object is not an instance of '{}'".
bool expect_instance(PyObject* o, PyTypeObject* type, const char* type_name);

}  // namespace quillscore::py
