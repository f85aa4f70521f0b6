#define QUILLSCORE_NUMPY_IMPORT
#include "pymodule/lib/numpy.h"

#include <cstring>

namespace quillscore::py {
namespace {

template <class T>
void free_vector(PyObject* capsule) {
  delete static_cast<std::vector<T>*>(PyCapsule_GetPointer(capsule, "quillscore.buffer"));
}

template <class T>
PyObject* make_owner(std::vector<T>&& buffer) {
  auto* held = new std::vector<T>(std::move(buffer));
  PyObject* capsule = PyCapsule_New(held, "quillscore.buffer", free_vector<T>);
  if (!capsule) delete held;
  return capsule;
}

}  // namespace

bool numpy_ready() {
  // import_array picks numpy._core or numpy.core by the installed version.
  if (PyArray_API) return true;
  return _import_array() >= 0;
}

bool is_array_of(PyObject* o, int typenum) {
  if (!numpy_ready()) {
    PyErr_Clear();
    return false;
  }
  return PyArray_Check(o) &&
         PyArray_EquivTypenums(PyArray_TYPE(reinterpret_cast<PyArrayObject*>(o)), typenum);
}

bool read_f64_array(PyObject* o, std::vector<double>& out) {
  if (!is_array_of(o, NPY_DOUBLE)) return false;
  auto* arr = reinterpret_cast<PyArrayObject*>(o);
  if (PyArray_NDIM(arr) != 1) return false;
  const npy_intp n = PyArray_DIM(arr, 0), stride = PyArray_STRIDE(arr, 0);
  const char* p = static_cast<const char*>(PyArray_DATA(arr));
  const size_t base = out.size();
  out.resize(base + static_cast<size_t>(n));
  for (npy_intp i = 0; i < n; ++i) std::memcpy(&out[base + static_cast<size_t>(i)], p + i * stride, sizeof(double));
  return true;
}

PyObject* buffer_owner(std::vector<uint8_t>&& b) { return make_owner(std::move(b)); }
PyObject* buffer_owner(std::vector<uint32_t>&& b) { return make_owner(std::move(b)); }
PyObject* buffer_owner(std::vector<double>&& b) { return make_owner(std::move(b)); }
PyObject* buffer_owner(std::vector<int64_t>&& b) { return make_owner(std::move(b)); }

}  // namespace quillscore::py
