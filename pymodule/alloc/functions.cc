#include "pymodule/alloc/functions.h"

#include "core/base/allocator.h"
#include "pymodule/lib/errors.h"
#include "pymodule/lib/ref.h"

namespace quillscore::py {
namespace {

PyObject* alloc_stats(PyObject*, PyObject*) {
  return guarded([]() -> PyObject* {
    const alloc::Stats s = alloc::snapshot();
    Ref d(PyDict_New());
    if (!d) return nullptr;
    const std::pair<const char*, uint64_t> fields[] = {
        {"live_bytes", s.live_bytes},
        {"peak_bytes", s.peak_bytes},
        {"total_allocated_bytes", s.total_allocated_bytes},
        {"allocations", s.allocations},
        {"frees", s.frees},
    };
    if (PyDict_SetItemString(d.get(), "enabled", alloc::counting() ? Py_True : Py_False) < 0) {
      return nullptr;
    }
    for (const auto& [key, value] : fields) {
      Ref v(PyLong_FromUnsignedLongLong(value));
      if (!v || PyDict_SetItemString(d.get(), key, v.get()) < 0) return nullptr;
    }
    return d.release();
  });
}

PyObject* reset_alloc_peak(PyObject*, PyObject*) {
  alloc::reset_peak();
  Py_RETURN_NONE;
}

PyMethodDef kFunctions[] = {
    {"alloc_stats", alloc_stats, METH_NOARGS,
     "alloc_stats()\n--\n\n"
     "The extension's own allocation counters, kept by core/base/allocator.cc.\n\n"
     "`enabled` is false unless the extension was built with the `alloc-stats`\n"
     "feature, in which case every other field is zero and should be ignored\n"
     "rather than reported as \"no allocations\"."},
    {"reset_alloc_peak", reset_alloc_peak, METH_NOARGS,
     "reset_alloc_peak()\n--\n\n"
     "Drop the allocation high-water mark to the current live figure, so the\n"
     "next phase can be measured on its own."},
};

}  // namespace

std::span<PyMethodDef> alloc_functions() { return kFunctions; }

}  // namespace quillscore::py
