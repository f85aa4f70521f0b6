// NumPy's C API, bound on first use, and arrays over module-owned buffers.
#pragma once

#include "pymodule/platform.h"

#define PY_ARRAY_UNIQUE_SYMBOL quillscore_ARRAY_API
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#ifndef QUILLSCORE_NUMPY_IMPORT
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

#include <utility>
#include <vector>

namespace quillscore::py {

// Binds NumPy's C API on first use; false with an exception set on failure.
bool numpy_ready();

// Whether `o` is a NumPy array whose dtype is equivalent to `typenum`.
bool is_array_of(PyObject* o, int typenum);

// The values of a one-dimensional float64 array, read through its strides;
// false (nothing set) when `o` is not one.
bool read_f64_array(PyObject* o, std::vector<double>& out);

// A capsule that owns `buffer` and frees it with the module's allocator.
PyObject* buffer_owner(std::vector<uint8_t>&& buffer);
PyObject* buffer_owner(std::vector<uint32_t>&& buffer);
PyObject* buffer_owner(std::vector<double>&& buffer);
PyObject* buffer_owner(std::vector<int64_t>&& buffer);

// An array of `typenum` over the vector's storage, which the array's base
// object then owns; strides null means C order.
template <class T>
PyObject* array_over(std::vector<T>&& data, int typenum, int nd, npy_intp* dims,
                     npy_intp* strides = nullptr) {
  if (!numpy_ready()) return nullptr;
  if (data.empty()) return PyArray_ZEROS(nd, dims, typenum, strides != nullptr);
  void* raw = data.data();
  PyObject* owner = buffer_owner(std::move(data));
  if (!owner) return nullptr;
  const int flags = NPY_ARRAY_WRITEABLE | (strides ? 0 : NPY_ARRAY_C_CONTIGUOUS);
  PyObject* arr = PyArray_New(&PyArray_Type, nd, dims, typenum, strides, raw, 0, flags, nullptr);
  if (!arr) {
    Py_DECREF(owner);
    return nullptr;
  }
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(arr), owner) < 0) {
    Py_DECREF(arr);
    return nullptr;
  }
  return arr;
}

}  // namespace quillscore::py
