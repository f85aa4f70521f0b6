// The JSON loader's module functions: the loader itself, its two
// benchmarking companions, which isolate the disk read and the parse, and
// read_file, which reads a file once for more than one loader.
#include "pymodule/json_load/functions.h"

#include "core/json/validator.h"
#include "pymodule/json_load/builder.h"
#include "pymodule/json_load/file_bytes.h"
#include "pymodule/lib/args.h"
#include "pymodule/lib/errors.h"
#include "pymodule/lib/methods.h"
#include "pymodule/lib/ref.h"

namespace quillscore::py {
namespace {

// The file argument and the object given for it, which read_file keeps as
// the name of its bytes.
struct NamedFile {
  PyObject* given;
  FileArgument file;
};

bool to_named_file(PyObject* o, NamedFile& out) {
  out.given = o;
  return to_file_argument(o, out.file);
}

// Every function here takes the one argument `path`.
struct PathArgs {
  NamedFile path;
};

constexpr Signature<PathArgs, 1> path_signature(const char* function) {
  return {function, {required<to_named_file, &PathArgs::path>("path")}};
}

constexpr auto kLoadJson = path_signature("load_json");
constexpr auto kParseJsonOnly = path_signature("parse_json_only");
constexpr auto kReadFileOnly = path_signature("read_file_only");
constexpr auto kReadFile = path_signature("read_file");

// Binds the `path` argument (the object given borrowed into `path`) and
// reads the file it names, or takes the bytes of a FileBytes.
bool bind_file(const Signature<PathArgs, 1>& sig, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames, SharedFile& file, PyObject** path = nullptr) {
  PathArgs a{};
  if (!bind(sig, args, nargs, kwnames, a)) return false;
  if (path) *path = a.path.given;
  return read_file_argument(a.path.file, file);
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
    if (!bind_file(kLoadJson, args, nargs, kwnames, file)) return nullptr;
    return load_document(file->view());
  });
}

PyObject* parse_json_only(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    SharedFile file;
    if (!bind_file(kParseJsonOnly, args, nargs, kwnames, file) || !validate(*file)) {
      return nullptr;
    }
    return PyLong_FromSize_t(file->size());
  });
}

PyObject* read_file_only(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    SharedFile file;
    if (!bind_file(kReadFileOnly, args, nargs, kwnames, file) || !check_not_cut(*file)) {
      return nullptr;
    }
    return PyLong_FromSize_t(file->size());
  });
}

PyObject* read_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    SharedFile file;
    PyObject* path;
    if (!bind_file(kReadFile, args, nargs, kwnames, file, &path) || !check_not_cut(*file)) {
      return nullptr;
    }
    return new_file_bytes(std::move(file), path);
  });
}

}  // namespace

std::span<PyMethodDef> json_functions() {
  static PyMethodDef functions[] = {
      keyword_function<load_json>(
          kLoadJson,
          "Parse a JSON file into Python objects.\n\n"
          "Equivalent to `json.load(open(path))` for the subset JSON actually\n"
          "contains; duplicate object keys keep the last value, as CPython does."),
      keyword_function<parse_json_only>(
          kParseJsonOnly,
          "Read and parse the file, building nothing. Benchmarking only.\n\n"
          "Splits the loader's cost in two. Everything this does \u2014 the read, the\n"
          "tokenizer, the number and string parsing \u2014 `load_json` also does; what it\n"
          "skips is allocating the `PyDict`/`PyList`/`PyFloat` objects and hashing the\n"
          "keys. The difference between the two timings shows which half of the cost to work on."),
      keyword_function<read_file_only>(
          kReadFileOnly,
          "Read the file and nothing else. Benchmarking only: the floor both of the\n"
          "above sit on, so neither gets credited with the disk."),
      keyword_function<read_file>(
          kReadFile,
          "Read the file once into a FileBytes, which `load_json` and\n"
          "`load_compact_bbox` take in place of a path: for a caller that may need\n"
          "the same bytes twice, as from a pipe, which gives them only once."),
  };
  return functions;
}

}  // namespace quillscore::py
