// Module initialisation: registers the classes and functions in their fixed
// order and lists them in __all__.
#include "pymodule/platform.h"

#include <span>

#include "pymodule/alloc/functions.h"
#include "pymodule/compact/compact_bbox.h"
#include "pymodule/compact/load.h"
#include "pymodule/json_load/file_bytes.h"
#include "pymodule/json_load/functions.h"
#include "pymodule/lib/errors.h"
#include "pymodule/lib/evaluator.h"
#include "pymodule/lib/match_state.h"
#include "pymodule/lib/indexes.h"
#include "pymodule/lib/ref.h"
#include "pymodule/mask/functions.h"

namespace quillscore::py {
namespace {

// Adds `value` under `name` and appends the name to __all__.
bool export_name(PyObject* module, const char* name, PyObject* value) {
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  Ref all_ref(all);
  if (!all) {
    PyErr_Clear();
    all_ref = Ref(PyList_New(0));
    if (!all_ref || PyModule_AddObjectRef(module, "__all__", all_ref.get()) < 0) return false;
  }
  Ref py_name(PyUnicode_FromString(name));
  return py_name && PyList_Append(all_ref.get(), py_name.get()) == 0 &&
         PyModule_AddObjectRef(module, name, value) == 0;
}

bool add_functions(PyObject* module, PyObject* module_name, std::span<PyMethodDef> defs) {
  for (PyMethodDef& def : defs) {
    Ref f(PyCFunction_NewEx(&def, nullptr, module_name));
    if (!f || !export_name(module, def.ml_name, f.get())) return false;
  }
  return true;
}

bool add_everything(PyObject* module) {
  Ref name(PyModule_GetNameObject(module));
  if (!name) return false;
  PyTypeObject* evaluator = evaluator_type();
  if (!evaluator || !export_name(module, "Evaluator", reinterpret_cast<PyObject*>(evaluator))) {
    return false;
  }
  PyTypeObject* matches = match_state_type();
  if (!matches || !export_name(module, "MatchState", reinterpret_cast<PyObject*>(matches))) {
    return false;
  }
  PyTypeObject* compact = compact_bbox_type();
  if (!compact || !export_name(module, "CompactBbox", reinterpret_cast<PyObject*>(compact))) {
    return false;
  }
  PyTypeObject* compact_masks = compact_masks_type();
  if (!compact_masks ||
      !export_name(module, "CompactMasks", reinterpret_cast<PyObject*>(compact_masks))) {
    return false;
  }
  PyTypeObject* compact_points = compact_keypoints_type();
  if (!compact_points ||
      !export_name(module, "CompactKeypoints", reinterpret_cast<PyObject*>(compact_points))) {
    return false;
  }
  PyTypeObject* file_bytes = file_bytes_type();
  if (!file_bytes || !export_name(module, "FileBytes", reinterpret_cast<PyObject*>(file_bytes))) {
    return false;
  }
  const std::span<PyMethodDef> groups[] = {compact_functions(), index_functions(),
                                            mask_functions(),    json_functions(),
                                            alloc_functions()};
  for (auto defs : groups) {
    if (!add_functions(module, name.get(), defs)) return false;
  }
  // Not in __all__: the type is there for callers that want to catch it.
  PyObject* panic = panic_exception_type();
  if (!panic || PyModule_AddObjectRef(module, "PanicException", panic) < 0) return false;
  return true;
}

// The method tables are built here, on first use: their docstrings show the
// parameters' defaults as the interpreter writes them.
int exec_module(PyObject* module) {
  try {
    return add_everything(module) ? 0 : -1;
  } catch (...) {
    set_from_current_exception();
    return -1;
  }
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "_vireo",  // m_name; the package path comes from the import system
    "",
    0,
    nullptr,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quillscore::py

extern "C" PyMODINIT_FUNC PyInit__vireo() { return PyModuleDef_Init(&quillscore::py::kModule); }
