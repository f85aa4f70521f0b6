#define QUILLSCORE_NUMPY_IMPORT
#include "pymodule/lib/numpy.h"

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

PyObject* buffer_owner(std::vector<uint8_t>&& b) { return make_owner(std::move(b)); }
PyObject* buffer_owner(std::vector<uint32_t>&& b) { return make_owner(std::move(b)); }
PyObject* buffer_owner(std::vector<double>&& b) { return make_owner(std::move(b)); }
PyObject* buffer_owner(std::vector<int64_t>&& b) { return make_owner(std::move(b)); }

}  // namespace quillscore::py
