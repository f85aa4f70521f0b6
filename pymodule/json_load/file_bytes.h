// The file argument of the loaders: a path, read on the spot, or the bytes of
// a file read earlier (FileBytes), so that a caller that needs the same bytes
// twice, as from a pipe, reads them once.
#pragma once

#include "pymodule/platform.h"

#include <memory>

#include "pymodule/json_load/file.h"

namespace quillscore::py {

// The bytes of one file, shared by everything that holds them.
using SharedFile = std::shared_ptr<const json::FileBuffer>;

// The bytes `arg` stands for: a FileBytes's own, or those of the file at the
// path `arg` (str, bytes or os.PathLike, as open() takes them), read with the
// interpreter lock released. False with the exception set: TypeError noted
// "while processing 'path'" for anything else, OSError with the system's
// text and " (os error N)" (or the NUL-byte message) when reading fails, or
// what a signal handler raised (KeyboardInterrupt) while the read waited.
bool read_file_argument(PyObject* arg, SharedFile& out);

// The FileBytes type, created once per process; null with an exception set
// if that fails.
PyTypeObject* file_bytes_type();

// A new FileBytes holding `file`, read from `name` (the path as given); null
// with an exception set on failure.
PyObject* new_file_bytes(SharedFile file, PyObject* name);

}  // namespace quillscore::py
