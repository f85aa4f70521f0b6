#include "pymodule/json_load/builder.h"

#include <climits>
#include <string>
#include <vector>

#include "core/json/parser.h"
#include "pymodule/lib/gc_pause.h"
#include "pymodule/lib/ref.h"

namespace quillscore::py {
namespace {

// The parser's sink for Python objects: new references throughout, keys
// through the load's key cache, lists created at their final size and
// dicts filled by item assignment.
class PySink {
 public:
  using Value = Ref;

  explicit PySink(KeyCache& keys) : keys_(keys) {}
  PySink(const PySink&) = delete;
  PySink& operator=(const PySink&) = delete;
  // Items of arrays left open by a failed parse.
  ~PySink() {
    for (PyObject* item : stack_) Py_DECREF(item);
  }

  static Ref string(const json::StringRef& s) { return Ref(str_from_utf8(s.view(), s.ascii)); }
  static Ref number(const json::Number& n) {
    switch (n.kind) {
      case json::Number::Kind::kFloat:
        return Ref(PyFloat_FromDouble(n.f));
      case json::Number::Kind::kSigned:
        return Ref(PyLong_FromLongLong(n.i));
      case json::Number::Kind::kUnsigned:
        break;
    }
    // PyLong_FromLong has the small-int cache and the one-digit fast path.
    if (n.u <= static_cast<uint64_t>(LONG_MAX)) return Ref(PyLong_FromLong(static_cast<long>(n.u)));
    return Ref(PyLong_FromUnsignedLongLong(n.u));
  }
  static Ref boolean(bool b) { return Ref::borrow(b ? Py_True : Py_False); }
  static Ref null() { return Ref::borrow(Py_None); }
  // Arrays: the items wait on a stack shared by all open arrays, and each
  // list is created once at its final size, instead of growing by
  // reallocation item by item.
  size_t stack_mark() const { return stack_.size(); }
  void stack_push(Ref item) {
    stack_.push_back(item.get());  // may throw: the reference is still the Ref's
    item.release();
  }
  Ref array_of(size_t mark) {
    const size_t n = stack_.size() - mark;
    Ref list(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list) return list;
    for (size_t i = 0; i < n; ++i) PyList_SET_ITEM(list.get(), i, stack_[mark + i]);
    stack_.resize(mark);
    return list;
  }
  static Ref object() { return Ref(PyDict_New()); }
  Ref key(const json::StringRef& s) { return Ref(keys_.get(s.view(), s.ascii)); }
  static bool set(Ref& dict, Ref key, Ref item) {
    return PyDict_SetItem(dict.get(), key.get(), item.get()) == 0;
  }

 private:
  KeyCache& keys_;
  std::vector<PyObject*> stack_;
};

}  // namespace

PyObject* build_object(json::Reader& r, KeyCache& keys) {
  PySink sink(keys);
  return json::Parser<PySink>(r, sink).value().release();
}

void set_document_error(const json::Reader& r) {
  const json::ParseError e = r.parse_error();
  std::string text = "JSON snapshot: ";
  if (e.code == json::ErrorCode::kTrailingCharacters) text += "trailing data: ";
  text += e.render();
  PyErr_SetString(PyExc_ValueError, text.c_str());
}

PyObject* load_document(std::string_view bytes) {
  json::Reader r(bytes);
  KeyCache keys(KeyCache::kLoaderSlots);
  Ref doc;
  {
    GcPause pause;
    PySink sink(keys);
    doc = json::Parser<PySink>(r, sink).document();
  }
  if (doc) return doc.release();
  if (r.failed()) set_document_error(r);
  return nullptr;
}

}  // namespace quillscore::py
