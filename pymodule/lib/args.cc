#include "pymodule/lib/args.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "core/base/error.h"
#include "pymodule/lib/errors.h"
#include "pymodule/lib/ref.h"

namespace quillscore::py {
namespace {

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": CPython's list of missing names.
std::string quoted_list(const std::vector<const char*>& names) {
  std::string s;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) s += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    s += '\'';
    s += names[i];
    s += '\'';
  }
  return s;
}

// Runs `convert_one` over the items of a sequence (never a str).
template <class T, class One>
bool sequence_to_vector(PyObject* o, std::vector<T>& out, One convert_one) {
  if (reject_str(o)) return false;
  if (!PySequence_Check(o)) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to 'Sequence'",
                 Py_TYPE(o)->tp_name);
    return false;
  }
  out.clear();
  if (PyList_Check(o) || PyTuple_Check(o)) {
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(o);
    out.reserve(static_cast<size_t>(n));
    // Re-read the size: a conversion may run code that shrinks the list.
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(o); ++i) {
      T v;
      Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(o, i));
      if (!convert_one(item.get(), v)) return false;
      out.push_back(v);
    }
    return true;
  }
  // Other sequences by index when they know their length: iterating them
  // through the generic sequence iterator ends in a formatted IndexError,
  // which costs more than the items (NumPy arrays iterate that way).
  const Py_ssize_t n = PySequence_Size(o);
  if (n < 0) {
    PyErr_Clear();
    Ref fast(PySequence_Fast(o, "expected a sequence"));
    if (!fast) return false;
    return sequence_to_vector(fast.get(), out, convert_one);
  }
  out.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref item(PySequence_GetItem(o, i));
    T v;
    if (!item || !convert_one(item.get(), v)) return false;
    out.push_back(v);
  }
  return true;
}

}  // namespace

bool bind_slots(const char* function, std::span<const char* const> names, size_t required,
                PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
  const size_t n = names.size();
  if (static_cast<size_t>(nargs) > n) {
    if (required == n) {
      PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zd %s given",
                   function, n, n == 1 ? "" : "s", nargs, nargs == 1 ? "was" : "were");
    } else {
      PyErr_Format(PyExc_TypeError,
                   "%s() takes from %zu to %zu positional arguments but %zd %s given",
                   function, required, n, nargs, nargs == 1 ? "was" : "were");
    }
    return false;
  }
  for (size_t i = 0; i < n; ++i) slots[i] = i < static_cast<size_t>(nargs) ? args[i] : nullptr;
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    const char* kname = PyUnicode_AsUTF8(key);
    if (!kname) return false;
    size_t i = 0;
    while (i < n && std::strcmp(names[i], kname) != 0) ++i;
    if (i == n) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%s'", function,
                   kname);
      return false;
    }
    if (slots[i]) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function,
                   kname);
      return false;
    }
    slots[i] = args[nargs + k];
  }
  std::vector<const char*> missing;
  for (size_t i = 0; i < required; ++i) {
    if (!slots[i]) missing.push_back(names[i]);
  }
  if (!missing.empty()) {
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s",
                 function, missing.size(), missing.size() == 1 ? "" : "s",
                 quoted_list(missing).c_str());
    return false;
  }
  return true;
}

std::string python_literal(bool v) { return v ? "True" : "False"; }

std::string python_literal(int64_t v) { return std::to_string(v); }

std::string python_literal(uint64_t v) { return std::to_string(v); }

std::string python_literal(double v) {
  // The interpreter's own repr, so that 0.02 reads "0.02" and 1.0 "1.0".
  std::unique_ptr<char, decltype(&PyMem_Free)> text(
      PyOS_double_to_string(v, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr), PyMem_Free);
  if (!text) throw std::bad_alloc();
  return text.get();
}

std::string python_literal(PyObject* v) {
  if (v) throw InternalError("an optional object's default is None");
  return "None";
}

bool borrow(PyObject* o, PyObject*& out) {
  out = o;
  return true;
}

bool none_as_absent(PyObject* o, PyObject*& out) {
  out = o == Py_None ? nullptr : o;
  return true;
}

bool to_i64(PyObject* o, int64_t& out) {
  if (PyLong_CheckExact(o)) {
    out = PyLong_AsLongLong(o);
    return !(out == -1 && PyErr_Occurred());
  }
  Ref index(PyNumber_Index(o));
  if (!index) return false;
  out = PyLong_AsLongLong(index.get());
  return !(out == -1 && PyErr_Occurred());
}

bool to_u64(PyObject* o, uint64_t& out) {
  Ref index(PyNumber_Index(o));
  if (!index) return false;
  out = PyLong_AsUnsignedLongLong(index.get());
  return !(out == static_cast<uint64_t>(-1) && PyErr_Occurred());
}

bool to_u32(PyObject* o, uint32_t& out) {
  Ref index;
  if (!PyLong_CheckExact(o)) {
    index = Ref(PyNumber_Index(o));
    if (!index) return false;
    o = index.get();
  }
  // One message for both ends of the range, negative values included.
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
  if (v == -1 && PyErr_Occurred()) return false;
  if (overflow != 0 || v < 0 || v > static_cast<long long>(UINT32_MAX)) {
    return fail(PyExc_OverflowError, "out of range integral type conversion attempted"), false;
  }
  out = static_cast<uint32_t>(v);
  return true;
}

bool to_f64(PyObject* o, double& out) {
  if (PyFloat_CheckExact(o)) {
    out = PyFloat_AS_DOUBLE(o);
    return true;
  }
  out = PyFloat_AsDouble(o);
  return !(out == -1.0 && PyErr_Occurred());
}

bool to_utf8(PyObject* o, std::string_view& out) {
  if (!expect_instance(o, &PyUnicode_Type, "str")) return false;
  Py_ssize_t n;
  const char* s = PyUnicode_AsUTF8AndSize(o, &n);
  if (!s) return false;
  out = {s, static_cast<size_t>(n)};
  return true;
}

bool to_fs_path(PyObject* o, Ref& out) {
  Ref path(PyOS_FSPath(o));
  if (!path) return false;
  if (PyBytes_Check(path.get())) {
    out = std::move(path);
    return true;
  }
  out = Ref(PyUnicode_EncodeFSDefault(path.get()));
  return static_cast<bool>(out);
}

bool to_bool(PyObject* o, bool& out) {
  if (o == Py_True || o == Py_False) {
    out = o == Py_True;
    return true;
  }
  // NumPy's boolean scalars are accepted through their truth conversion.
  PyTypeObject* t = Py_TYPE(o);
  Ref module(PyObject_GetAttrString(reinterpret_cast<PyObject*>(t), "__module__"));
  if (!module) PyErr_Clear();
  const char* tname = t->tp_name;
  if (const char* dot = std::strrchr(tname, '.')) tname = dot + 1;
  const bool numpy_bool = module && PyUnicode_Check(module.get()) &&
                          PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
                          (std::strcmp(tname, "bool") == 0 || std::strcmp(tname, "bool_") == 0);
  if (!numpy_bool) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to 'PyBool'",
                 Py_TYPE(o)->tp_name);
    return false;
  }
  if (!t->tp_as_number || !t->tp_as_number->nb_bool) {
    PyErr_Format(PyExc_TypeError, "object of type '%.200s' does not define a '__bool__' conversion",
                 Py_TYPE(o)->tp_name);
    return false;
  }
  const int r = PyObject_IsTrue(o);
  if (r < 0) return false;
  out = r != 0;
  return true;
}

bool to_u64_vector(PyObject* o, std::vector<uint64_t>& out) {
  return sequence_to_vector(o, out, to_u64);
}

bool to_u32_vector(PyObject* o, std::vector<uint32_t>& out) {
  return sequence_to_vector(o, out, to_u32);
}

bool to_f64_vector(PyObject* o, std::vector<double>& out) {
  return sequence_to_vector(o, out, to_f64);
}

bool to_i64_vector(PyObject* o, std::vector<int64_t>& out) {
  return sequence_to_vector(o, out, to_i64);
}

bool to_bool_vector(PyObject* o, std::vector<uint8_t>& out) {
  return sequence_to_vector(o, out, [](PyObject* item, uint8_t& v) {
    bool b;
    if (!to_bool(item, b)) return false;
    v = b;
    return true;
  });
}

bool reject_str(PyObject* o) {
  if (!PyUnicode_Check(o)) return false;
  fail(PyExc_TypeError, "Can't extract `str` to `Vec`");
  return true;
}

bool to_f64_pair(PyObject* o, std::array<double, 2>& out) {
  std::vector<double> v;
  if (!to_f64_vector(o, v)) return false;
  if (v.size() != out.size()) {
    PyErr_Format(PyExc_ValueError, "expected a sequence of length %zu (got %zu)", out.size(),
                 v.size());
    return false;
  }
  std::copy(v.begin(), v.end(), out.begin());
  return true;
}

bool to_f64_pair_vector(PyObject* o, std::vector<std::array<double, 2>>& out) {
  return sequence_to_vector(o, out, to_f64_pair);
}

bool to_list(PyObject* o, PyObject*& out) {
  out = o;
  return expect_instance(o, &PyList_Type, "list");
}

bool to_dilation_ratio(PyObject* o, double& out) {
  if (!to_f64(o, out)) return false;
  if (std::isfinite(out) && out >= 0) return true;
  PyErr_Format(PyExc_ValueError, "dilation ratio must be a finite number >= 0, got %R", o);
  return false;
}

bool expect_instance(PyObject* o, PyTypeObject* type, const char* type_name) {
  if (PyObject_TypeCheck(o, type)) return true;
  PyErr_Format(PyExc_TypeError, "'%.200s' object is not an instance of '%s'", Py_TYPE(o)->tp_name,
               type_name);
  return false;
}

bool to_pair(PyObject* o, PyObject*& first, PyObject*& second) {
  if (!expect_instance(o, &PyTuple_Type, "tuple")) return false;
  if (PyTuple_GET_SIZE(o) != 2) {
    PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd",
                 PyTuple_GET_SIZE(o));
    return false;
  }
  first = PyTuple_GET_ITEM(o, 0);
  second = PyTuple_GET_ITEM(o, 1);
  return true;
}

}  // namespace quillscore::py
