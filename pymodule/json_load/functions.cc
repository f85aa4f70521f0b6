// The JSON loader's module functions: the loader itself, its two
// benchmarking companions, which isolate the disk read and the parse, and
// read_file, which reads a file once for more than one loader.
#include "pymodule/json_load/functions.h"

#include "core/json/validator.h"
#include "pymodule/json_load/builder.h"
#include "pymodule/json_load/file_bytes.h"
#include "pymodule/lib/args.h"
#include "pymodule/lib/errors.h"
#include "pymodule/lib/ref.h"

namespace quillscore::py {
namespace {

// Binds the one `path` argument (borrowed into `path`) and reads the file it
// names, or takes the bytes of a FileBytes.
bool bind_file(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               SharedFile& file, PyObject** path = nullptr) {
  const Signature sig{function, {"path"}, 1};
  PyObject* a[1];
  FileArgument arg;
  if (!bind_args(sig, args, nargs, kwnames, a) ||
      !convert_arg("path", [&] { return to_file_argument(a[0], arg); })) {
    return false;
  }
  if (path) *path = a[0];
  return read_file_argument(arg, file);
}

// Validates the whole document with the interpreter lock released; false
// with the loader's ValueError set.
bool validate(const FileBuffer& file) {
  json::Reader r(file.data(), file.size());
  bool ok;
  {
    ReleaseGil unlocked;
    ok = json::validate_document(r);
  }
  if (!ok) set_document_error(r);
  return ok;
}

// For the calls that read without parsing: a stream cut short at a NUL byte
// is no JSON text, reported as parse_json_only reports it (the validation
// fails at or before that byte).
bool check_not_cut(const FileBuffer& file) { return !file.cut_at_nul() || validate(file); }

PyObject* load_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    SharedFile file;
    if (!bind_file("load_json", args, nargs, kwnames, file)) return nullptr;
    return load_document(file->view());
  });
}

PyObject* parse_json_only(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    SharedFile file;
    if (!bind_file("parse_json_only", args, nargs, kwnames, file) || !validate(*file)) {
      return nullptr;
    }
    return PyLong_FromSize_t(file->size());
  });
}

PyObject* read_file_only(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    SharedFile file;
    if (!bind_file("read_file_only", args, nargs, kwnames, file) || !check_not_cut(*file)) {
      return nullptr;
    }
    return PyLong_FromSize_t(file->size());
  });
}

PyObject* read_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    SharedFile file;
    PyObject* path;
    if (!bind_file("read_file", args, nargs, kwnames, file, &path) || !check_not_cut(*file)) {
      return nullptr;
    }
    return new_file_bytes(std::move(file), path);
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
    {"read_file", fastcall<read_file>(), kFlags,
     "read_file(path)\n--\n\n"
     "Read the file once into a FileBytes, which `load_json` and\n"
     "`load_compact_bbox` take in place of a path: for a caller that may need\n"
     "the same bytes twice, as from a pipe, which gives them only once."},
};

}  // namespace

std::span<PyMethodDef> json_functions() { return kFunctions; }

}  // namespace quillscore::py
