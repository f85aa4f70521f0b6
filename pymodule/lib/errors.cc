#include "pymodule/lib/errors.h"

#include <cstdio>
#include <cstdlib>
#include <new>
#include <stdexcept>

#include "core/base/error.h"
#include "core/base/allocator.h"
#include "pymodule/lib/ref.h"

namespace quillscore::py {

PyObject* panic_exception_type() {
  // Kept for the life of the process, like the module's type objects.
  static PyObject* type = nullptr;
  if (!type) {
    type = PyErr_NewExceptionWithDoc(
        "quillscore._vireo.PanicException",
        "An internal invariant of the extension failed; the operation was abandoned.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

std::nullptr_t fail(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  return nullptr;
}

void add_argument_note(const char* name) {
  Ref note(PyUnicode_FromFormat("while processing '%s'", name));
  if (!note) return;
#if PY_VERSION_HEX >= 0x030C0000
  Ref exc(PyErr_GetRaisedException());
  if (!exc) return;
  Ref r(PyObject_CallMethod(exc.get(), "add_note", "O", note.get()));
  if (!r) return;  // the failure of add_note replaces the original error
  PyErr_SetRaisedException(exc.release());
#else
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  if (!type) return;
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb) PyException_SetTraceback(value, tb);
  Ref r(PyObject_CallMethod(value, "add_note", "O", note.get()));
  if (!r) {
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    return;
  }
  PyErr_Restore(type, value, tb);
#endif
}

void set_from_current_exception() noexcept {
  const char* message = "unknown internal failure";
  PyObject* type = nullptr;
  try {
    throw;
  } catch (const InputError& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
    return;
  } catch (const alloc::AllocationFailure& e) {
    // The size asked for says whether the input or the machine is at fault.
    PyErr_SetString(PyExc_MemoryError, e.what());
    return;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return;
  } catch (const std::exception& e) {
    message = e.what();
  } catch (...) {
  }
  // An internal fault while another one is already on its way out cannot be
  // reported: stop rather than lose it.
  if (PyErr_Occurred() && PyErr_ExceptionMatches(panic_exception_type())) {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
  }
  PyErr_Clear();
  type = panic_exception_type();
  if (type) PyErr_SetString(type, message);
}

}  // namespace quillscore::py
