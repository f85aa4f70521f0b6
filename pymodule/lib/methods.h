// Method-table entries: the fastcall entry points and docstrings whose text
// signature comes from the function's Signature.
#pragma once

#include "pymodule/platform.h"

#include <forward_list>
#include <string>
#include <utility>

#include "pymodule/lib/args.h"

namespace quillscore::py {

// A METH_FASTCALL entry point in the PyCFunction slot of a method table.
template <auto F>
PyCFunction fastcall() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

// `text` kept for the rest of the process, as method tables and type specs
// need their docstrings. Only called while the module is set up, with the
// interpreter lock held.
inline const char* keep_docstring(std::string text) {
  static std::forward_list<std::string> kept;
  return kept.emplace_front(std::move(text)).c_str();
}

// A docstring: the text signature, the separator inspect reads it by, then
// `body`. Built while the module is set up: the defaults are shown as the
// interpreter writes them.
template <class Args, size_t N>
const char* docstring(const Signature<Args, N>& sig, const char* body, bool bound = false) {
  return keep_docstring(text_signature(sig, bound) + "\n--\n\n" + body);
}

// The entry of a module function taking positional and keyword arguments.
template <auto F, class Args, size_t N>
PyMethodDef keyword_function(const Signature<Args, N>& sig, const char* body = "") {
  return {sig.function, fastcall<F>(), METH_FASTCALL | METH_KEYWORDS, docstring(sig, body)};
}

// The same for a method, whose text signature starts with $self.
template <auto F, class Args, size_t N>
PyMethodDef keyword_method(const Signature<Args, N>& sig, const char* body = "") {
  return {sig.function, fastcall<F>(), METH_FASTCALL | METH_KEYWORDS, docstring(sig, body, true)};
}

}  // namespace quillscore::py
