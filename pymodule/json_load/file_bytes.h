// The file argument of the loaders: a path, read on the spot, or the bytes of
// a file read earlier (FileBytes), so that a caller that needs the same bytes
// twice, as from a pipe, reads them once.
#pragma once

#include "pymodule/platform.h"

#include <memory>

#include "pymodule/json_load/file.h"
#include "pymodule/lib/ref.h"

namespace quillscore::py {

// The bytes of one file, shared by everything that holds them.
using SharedFile = std::shared_ptr<const FileBuffer>;

// A file argument: a FileBytes, whose bytes it shares, or a path to read
// (str, bytes or os.PathLike, as open() takes them), held as the bytes the
// system is given.
struct FileArgument {
  SharedFile bytes;
  Ref path;
};

// Converts `o` (no reading yet): TypeError for anything else.
bool to_file_argument(PyObject* o, FileArgument& out);

// The bytes of a converted file argument: a FileBytes's own, or those of the
// file at its path, read with the interpreter lock released. False with the
// exception set: OSError with the system's text and " (os error N)" (or the
// NUL-byte message), or what a signal handler raised (KeyboardInterrupt)
// while the read waited.
bool read_file_argument(const FileArgument& arg, SharedFile& out);

// The FileBytes type, created once per process; null with an exception set
// if that fails.
PyTypeObject* file_bytes_type();

// A new FileBytes holding `file`, read from `name` (the path as given); null
// with an exception set on failure.
PyObject* new_file_bytes(SharedFile file, PyObject* name);

}  // namespace quillscore::py
