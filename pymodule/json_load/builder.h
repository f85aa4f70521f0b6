// Python objects straight from JSON bytes: the object builder (recursive
// descent over the reader, one pass, no intermediate tree) and the document
// loader on top of it.
#pragma once

#include "pymodule/platform.h"

#include <string_view>

#include "core/json/reader.h"
#include "pymodule/json_load/key_cache.h"

namespace quillscore::py {

// The value at the reader's cursor as a new reference: objects become dicts
// (keys through `keys`, a repeated key keeps its first position and takes the
// last value), arrays lists, strings str, integer literals int within the
// 64-bit classes and every other number float, true/false/null the
// singletons. On failure returns null and either the reader holds the parse
// error, or (reader clean) a Python exception is set.
PyObject* build_object(json::Reader& r, KeyCache& keys);

// A whole document into Python objects, with a fresh key cache. Null on
// failure, with ValueError "JSON snapshot: <error>" (or "JSON snapshot:
// trailing data: <error>" for bytes after the value) or the interpreter's own
// exception when creating an object failed.
PyObject* load_document(std::string_view bytes);

// Sets the ValueError for a reader that failed while loading a document.
void set_document_error(const json::Reader& r);

}  // namespace quillscore::py
