#include "pymodule/json_load/file_bytes.h"

#include <string>
#include <string_view>
#include <utility>

#include "pymodule/lib/args.h"
#include "pymodule/lib/interrupt.h"
#include "pymodule/lib/ref.h"

namespace quillscore::py {
namespace {

// OSError for a failed read: the subclass that OSError(errno, ...) itself
// picks (FileNotFoundError, PermissionError, ...), raised with the message as
// its only argument so that str() of the exception is exactly that message.
void set_file_error(const FileError& err) {
  const std::string message = err.message();
  PyObject* type = PyExc_OSError;
  Ref probe;
  if (!err.nul_in_path) {
    probe = Ref(PyObject_CallFunction(PyExc_OSError, "is", err.os_error, ""));
    if (!probe) return;
    type = reinterpret_cast<PyObject*>(Py_TYPE(probe.get()));
  }
  PyErr_SetString(type, message.c_str());
}

struct FileBytesObject {
  PyObject_HEAD
  SharedFile* file;
  PyObject* name;
};

FileBytesObject* cast(PyObject* o) { return reinterpret_cast<FileBytesObject*>(o); }

void file_bytes_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete cast(self)->file;
  Py_XDECREF(cast(self)->name);
  type->tp_free(self);
  Py_DECREF(type);
}

// Read-only views of the bytes; the object outlives every view.
int file_bytes_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  const FileBuffer& f = **cast(self)->file;
  return PyBuffer_FillInfo(view, self, const_cast<uint8_t*>(f.data()),
                           static_cast<Py_ssize_t>(f.size()), 1, flags);
}

Py_ssize_t file_bytes_length(PyObject* self) {
  return static_cast<Py_ssize_t>((*cast(self)->file)->size());
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(cast(self)->name); }

PyGetSetDef kGetSet[] = {
    {"name", get_name, nullptr, const_cast<char*>("The path the bytes were read from, as given."),
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(file_bytes_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(file_bytes_getbuffer)},
    {Py_sq_length, reinterpret_cast<void*>(file_bytes_length)},
    {Py_tp_getset, kGetSet},
    {Py_tp_doc, const_cast<char*>("The bytes of one file, read once by read_file(path); the\n"
                                  "loaders take it wherever they take a path.")},
    {0, nullptr},
};

// Instances come only from read_file.
PyType_Spec kSpec = {
    "quillscore._vireo.FileBytes",
    sizeof(FileBytesObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kSlots,
};

}  // namespace

PyTypeObject* file_bytes_type() {
  static PyObject* type = nullptr;
  if (!type) type = PyType_FromSpec(&kSpec);
  return reinterpret_cast<PyTypeObject*>(type);
}

PyObject* new_file_bytes(SharedFile file, PyObject* name) {
  PyTypeObject* type = file_bytes_type();
  if (!type) return nullptr;
  auto owned = std::make_unique<SharedFile>(std::move(file));
  PyObject* o = type->tp_alloc(type, 0);
  if (!o) return nullptr;
  cast(o)->file = owned.release();
  cast(o)->name = Py_NewRef(name);
  return o;
}

bool to_file_argument(PyObject* o, FileArgument& out) {
  PyTypeObject* type = file_bytes_type();
  if (!type) return false;
  if (PyObject_TypeCheck(o, type)) {
    out.bytes = *cast(o)->file;
    return true;
  }
  return to_fs_path(o, out.path);
}

bool read_file_argument(const FileArgument& arg, SharedFile& out) {
  if (arg.bytes) {
    out = arg.bytes;
    return true;
  }
  const std::string_view path(PyBytes_AS_STRING(arg.path.get()),
                              static_cast<size_t>(PyBytes_GET_SIZE(arg.path.get())));
  auto file = std::make_shared<FileBuffer>();
  FileError err;
  bool ok;
  {
    ReleaseGil unlocked;
    ok = read_whole_file(path, *file, err, signal_raised_unlocked);
  }
  if (ok) {
    out = std::move(file);
    return true;
  }
  // A stopped read has the signal handler's exception set already.
  if (!err.stopped) set_file_error(err);
  return false;
}

}  // namespace quillscore::py
