// The JSON loader's module functions: the loader itself and its two
// benchmarking companions, which isolate the disk read and the parse.
#include "pymodule/json_load/functions.h"

#include "pymodule/json_load/builder.h"
#include "pymodule/json_load/validator.h"
#include "pymodule/lib/args.h"
#include "pymodule/lib/errors.h"
#include "pymodule/lib/ref.h"

namespace quillscore::py {
namespace {

// Binds the one `path` argument, which must be a str, and gives its UTF-8
// form (a str that has none, with lone surrogates, fails like a wrong type:
// with the argument's note).
bool bind_path(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               std::string_view& path) {
  const Signature sig{function, {"path"}, 1};
  PyObject* a[1];
  if (!bind_args(sig, args, nargs, kwnames, a)) return false;
  return convert_arg("path", [&] { return to_utf8(a[0], path); });
}

PyObject* load_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::string_view path;
    json::FileBuffer file;
    if (!bind_path("load_json", args, nargs, kwnames, path) || !read_path(path, file)) {
      return nullptr;
    }
    return load_document(file.view());
  });
}

PyObject* parse_json_only(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::string_view path;
    json::FileBuffer file;
    if (!bind_path("parse_json_only", args, nargs, kwnames, path) || !read_path(path, file)) {
      return nullptr;
    }
    json::Reader r(file.data(), file.size());
    bool ok;
    {
      ReleaseGil unlocked;
      ok = json::validate_document(r);
    }
    if (!ok) {
      set_document_error(r);
      return nullptr;
    }
    return PyLong_FromSize_t(file.size());
  });
}

PyObject* read_file_only(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::string_view path;
    json::FileBuffer file;
    if (!bind_path("read_file_only", args, nargs, kwnames, path) || !read_path(path, file)) {
      return nullptr;
    }
    return PyLong_FromSize_t(file.size());
  });
}

template <auto F>
PyCFunction fastcall() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

constexpr int kFlags = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kFunctions[] = {
    {"load_json", fastcall<load_json>(), kFlags,
     "load_json(path)\n--\n\n"
     "Parse a JSON file into Python objects.\n\n"
     "Equivalent to `json.load(open(path))` for the subset JSON actually\n"
     "contains; duplicate object keys keep the last value, as CPython does."},
    {"parse_json_only", fastcall<parse_json_only>(), kFlags,
     "parse_json_only(path)\n--\n\n"
     "Read and parse the file, building nothing. Benchmarking only.\n\n"
     "Splits the loader's cost in two. Everything this does \u2014 the read, the\n"
     "tokenizer, the number and string parsing \u2014 `load_json` also does; what it\n"
     "skips is allocating the `PyDict`/`PyList`/`PyFloat` objects and hashing the\n"
     "keys. The difference between the two timings shows which half of the cost to work on."},
    {"read_file_only", fastcall<read_file_only>(), kFlags,
     "read_file_only(path)\n--\n\n"
     "Read the file and nothing else. Benchmarking only: the floor both of the\n"
     "above sit on, so neither gets credited with the disk."},
};

}  // namespace

bool read_path(std::string_view path, json::FileBuffer& out) {
  json::FileError err;
  if (json::read_whole_file(path, out, err)) return true;
  const std::string message = err.message();
  PyObject* type = PyExc_OSError;
  Ref probe;
  if (!err.nul_in_path) {
    // The subclass that OSError(errno, ...) itself picks (FileNotFoundError,
    // PermissionError, ...), raised with the message as its only argument so
    // that str() of the exception is exactly that message.
    probe = Ref(PyObject_CallFunction(PyExc_OSError, "is", err.os_error, ""));
    if (!probe) return false;
    type = reinterpret_cast<PyObject*>(Py_TYPE(probe.get()));
  }
  PyErr_SetString(type, message.c_str());
  return false;
}

std::span<PyMethodDef> json_functions() { return kFunctions; }

}  // namespace quillscore::py
