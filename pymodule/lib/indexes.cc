// Annotation bookkeeping that callers would otherwise do in interpreted
// loops: the lookup indexes over an annotation list, and the fields the
// evaluator expects on box results. Everything goes through the object
// protocols on the caller's own objects, so the outcome is exactly that of
// the equivalent Python loop: same objects (no copies), same arithmetic, and
// a mapping subclass's own item lookup and assignment.
#include "pymodule/lib/indexes.h"

#include <initializer_list>
#include <memory>

#include "pymodule/lib/args.h"
#include "pymodule/lib/errors.h"
#include "pymodule/lib/keys.h"
#include "pymodule/lib/ref.h"

namespace quillscore::py {
namespace {

// o[key] as a new reference. An exact dict is read directly; a missing key
// still goes through the protocol so the KeyError is the mapping's own.
PyObject* get_item(PyObject* o, PyObject* key) {
  if (PyDict_CheckExact(o)) {
    PyObject* v = PyDict_GetItemWithError(o, key);
    if (v) return Py_NewRef(v);
    if (PyErr_Occurred()) return nullptr;
  }
  return PyObject_GetItem(o, key);
}

// o[i] for a small non-negative int index, through the item protocol.
PyObject* get_index(PyObject* o, Py_ssize_t i) {
  if (PyList_CheckExact(o) && i < PyList_GET_SIZE(o)) return Py_NewRef(PyList_GET_ITEM(o, i));
  Ref index(PyLong_FromSsize_t(i));
  return index ? PyObject_GetItem(o, index.get()) : nullptr;
}

// The annotations of a COCO-scale list are spread over hundreds of
// megabytes: the values an index needs (above all the id objects, which the
// index hashes) sit kilobytes apart, so a loop taking annotations one at a
// time waits for one cache miss after another. Warming them a few
// annotations ahead lets the misses overlap: the dict object far ahead, its
// key table nearer, and nearest the values under the wanted keys. Only
// objects the list holds at this very moment are read, by C code alone (no
// Python code runs in between); everything else is a prefetch, which never
// faults and changes nothing.
//
// The walk ahead also learns the key objects the annotations use: a loaded
// file shares one str per key text among all its dicts, and looking an
// exact dict up with that very object hits on identity instead of comparing
// the text. (An equal exact str is an equal key; the protocol path for
// other mappings keeps the module's own key objects.)
inline void prefetch(const void* p) { __builtin_prefetch(p, 0, 3); }

class Lookahead {
 public:
  static constexpr int kMaxWanted = 3;

  Lookahead(PyObject* list, std::initializer_list<PyObject*> wanted) : list_(list) {
    for (PyObject* k : wanted) {
      wanted_[nwanted_] = k;
      hashes_[nwanted_] = PyObject_Hash(k);  // exact str: never fails
      ++nwanted_;
    }
  }

  // The key to look `wanted` number k up with in an exact dict.
  PyObject* key(int k) const { return learned_[k] ? learned_[k].get() : wanted_[k]; }

  // Called for every i in order: at each block boundary, warms the blocks
  // ahead, one stage per block, each stage a burst of independent accesses
  // so that their misses (and page walks) overlap.
  void warm(Py_ssize_t i) {
    if (i % kBlock != 0) return;
    const Py_ssize_t n = PyList_GET_SIZE(list_);
    // Three blocks ahead: the dict objects.
    for (Py_ssize_t j = i + 3 * kBlock; j < i + 4 * kBlock && j < n; ++j) {
      prefetch(PyList_GET_ITEM(list_, j));
    }
    // Two blocks ahead: their key tables.
    for (Py_ssize_t j = i + 2 * kBlock; j < i + 3 * kBlock && j < n; ++j) {
      PyObject* d = PyList_GET_ITEM(list_, j);
      if (!PyDict_CheckExact(d)) continue;
      const auto* table =
          reinterpret_cast<const char*>(reinterpret_cast<PyDictObject*>(d)->ma_keys);
      for (int line = 0; line < 4; ++line) prefetch(table + 64 * line);
    }
    // One block ahead: the values under the wanted keys. Dicts built alike
    // keep their keys at the same entry positions, so each is tried first
    // where the previous dict had it.
    int count = 0;
    for (Py_ssize_t j = i + kBlock; j < i + 2 * kBlock && j < n; ++j) {
      PyObject* d = PyList_GET_ITEM(list_, j);
      if (!PyDict_CheckExact(d)) continue;
      for (int w = 0; w < nwanted_; ++w) {
        Py_ssize_t pos = last_pos_[w];
        PyObject *key, *value;
        if (learned_[w] && PyDict_Next(d, &pos, &key, &value) && key == learned_[w].get()) {
          values_[count++] = value;
          continue;
        }
        pos = 0;
        Py_ssize_t at = 0;
        while (PyDict_Next(d, &pos, &key, &value)) {
          if (classify(key) == w) {
            values_[count++] = value;
            last_pos_[w] = at;
            break;
          }
          at = pos;
        }
      }
    }
    for (int v = 0; v < count; ++v) prefetch(values_[v]);
  }

 private:
  static constexpr Py_ssize_t kBlock = 4;
  static constexpr int kMaxValues = kBlock * kMaxWanted;
  const void* values_[kMaxValues];
  Py_ssize_t last_pos_[kMaxWanted] = {};

  static constexpr int kSeen = 16;

  // Which wanted key `key` equals (-1 for none), remembered by identity.
  int classify(PyObject* key) {
    for (int s = 0; s < nseen_; ++s) {
      if (seen_[s].get() == key) return seen_as_[s];
    }
    int k = -1;
    if (PyUnicode_CheckExact(key)) {
      const Py_hash_t h = PyObject_Hash(key);
      for (int w = 0; w < nwanted_; ++w) {
        if (h == hashes_[w] && PyUnicode_Compare(key, wanted_[w]) == 0) {
          k = w;
          if (!learned_[w]) learned_[w] = Ref::borrow(key);
          break;
        }
      }
    }
    if (nseen_ < kSeen) {
      seen_[nseen_] = Ref::borrow(key);
      seen_as_[nseen_++] = k;
    }
    return k;
  }

  PyObject* list_;
  PyObject* wanted_[kMaxWanted];
  Py_hash_t hashes_[kMaxWanted];
  Ref learned_[kMaxWanted];
  int nwanted_ = 0;
  Ref seen_[kSeen];
  int seen_as_[kSeen];
  int nseen_ = 0;
};

bool set_item(PyObject* o, PyObject* key, PyObject* value) {
  if (PyDict_CheckExact(o)) return PyDict_SetItem(o, key, value) == 0;
  return PyObject_SetItem(o, key, value) == 0;
}

// Keeps a container the loop builds out of the cyclic collector's sight until
// the loop ends. The collector would otherwise traverse the growing indexes
// (and through them every annotation) at each collection the new lists
// trigger; nothing else can reach them before they are returned, so whether
// they are tracked meanwhile makes no difference to anything but time.
class Untracked {
 public:
  // Drops `o` (one of a few containers) from the collector if it was
  // tracked, remembering that it was.
  void hide(PyObject* o) {
    if (!PyObject_GC_IsTracked(o)) return;
    PyObject_GC_UnTrack(o);
    for (int i = 0; i < count_; ++i) {
      if (shown_[i] == o) return;
    }
    if (count_ < kMax) shown_[count_++] = o;
  }
  // Tracks again whatever was hidden; the objects must still be alive.
  void restore() {
    for (int i = 0; i < count_; ++i) {
      if (!PyObject_GC_IsTracked(shown_[i])) PyObject_GC_Track(shown_[i]);
    }
    count_ = 0;
  }

 private:
  static constexpr int kMax = 4;
  PyObject* shown_[kMax];
  int count_ = 0;
};

// An index from keys to lists of values, built by appending. Where the dict
// lookup could only find an entry already known, it is skipped: for the key
// of the previous append when it is the same object (of a type whose hash is
// fixed) or an exact int of the same value, and for small non-negative exact
// ints, whose lists are kept in a table (exact ints are equal exactly when
// their values are). Only this loop touches the dict, so a known entry stays
// what it was. Annotations come grouped by image in COCO files, so most
// appends take the first shortcut.
class ListIndex {
 public:
  explicit ListIndex(Untracked& untracked) : dict_(PyDict_New()), untracked_(untracked) {}

  PyObject* dict() const { return dict_.get(); }

  bool append(PyObject* key, PyObject* value) {
    long v = -1;
    const bool small_int = exact_int(key, v) && v >= 0 && v < kSmall;
    PyObject* list = nullptr;
    if ((key == last_key_.get() && last_key_fixed_) ||
        (last_is_int_ && v >= 0 && v == last_int_ && PyLong_CheckExact(key))) {
      list = last_list_;
    } else if (small_int && small_[v]) {
      list = small_[v];
    } else {
      list = find_or_create(key, value);
      if (!list) return false;
      if (list == kCreated) {
        remember(key, v, created_);
        if (small_int) small_[v] = created_;
        return true;
      }
      if (small_int) small_[v] = list;
    }
    remember(key, v, list);
    return PyList_Append(list, value) == 0;
  }

  // The lists (and the dict) back under the collector's care.
  void finish() {
    Py_ssize_t pos = 0;
    PyObject *key, *list;
    while (PyDict_Next(dict_.get(), &pos, &key, &list)) {
      if (PyList_CheckExact(list) && !PyObject_GC_IsTracked(list)) PyObject_GC_Track(list);
    }
  }

 private:
  static constexpr long kSmall = 4096;
  static inline PyObject* const kCreated = reinterpret_cast<PyObject*>(uintptr_t{1});

  static bool exact_int(PyObject* o, long& v) {
    if (!PyLong_CheckExact(o)) return false;
    int overflow = 0;
    v = PyLong_AsLongAndOverflow(o, &overflow);  // cannot fail for an exact int
    if (overflow) v = -1;
    return !overflow;
  }

  void remember(PyObject* key, long v, PyObject* list) {
    last_key_ = Ref::borrow(key);
    // Only keys whose hash cannot change may be recognised by identity.
    last_key_fixed_ =
        PyLong_CheckExact(key) || PyUnicode_CheckExact(key) || PyFloat_CheckExact(key);
    last_is_int_ = PyLong_CheckExact(key) && v >= 0;
    last_int_ = v;
    last_list_ = list;
  }

  // The list under `key` (borrowed), or kCreated after storing a new
  // one-element list holding `value` (then in created_); null on failure.
  PyObject* find_or_create(PyObject* key, PyObject* value) {
    PyObject* found = PyDict_GetItemWithError(dict_.get(), key);
    if (!found) {
      if (PyErr_Occurred()) return nullptr;
      Ref list(PyList_New(1));
      if (!list) return nullptr;
      PyObject_GC_UnTrack(list.get());  // tracked again by finish()
      PyList_SET_ITEM(list.get(), 0, Py_NewRef(value));
      if (PyDict_SetItem(dict_.get(), key, list.get()) < 0) return nullptr;
      untracked_.hide(dict_.get());
      created_ = list.get();  // the dict holds it
      return kCreated;
    }
    // Only keys of unequal types that hash and compare equal can land here
    // on a non-list (say an image id 1 and a category entry True).
    if (!expect_instance(found, &PyList_Type, "list")) return nullptr;
    return found;
  }

  Ref dict_;
  Untracked& untracked_;
  Ref last_key_;
  bool last_key_fixed_ = false;
  bool last_is_int_ = false;
  long last_int_ = -1;
  PyObject* last_list_ = nullptr;
  PyObject* created_ = nullptr;
  PyObject* small_[kSmall] = {};
};

PyObject* index_annotations(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"index_annotations", {"annotations", "with_categories"}, 2};
    PyObject* a[2];
    if (!bind_args(sig, args, nargs, kwnames, a)) return nullptr;
    bool with_categories = false;
    if (!convert_arg("annotations",
                     [&] { return expect_instance(a[0], &PyList_Type, "list"); }) ||
        !convert_arg("with_categories", [&] { return to_bool(a[1], with_categories); })) {
      return nullptr;
    }
    const Keys* k = keys();
    if (!k) return nullptr;
    Untracked untracked;
    // Sized for one entry per annotation up front: growing by doubling
    // would copy the table a dozen times for a COCO-scale list.
    Ref by_id(_PyDict_NewPresized(PyList_GET_SIZE(a[0])));
    auto by_image = std::make_unique<ListIndex>(untracked);
    auto by_category = std::make_unique<ListIndex>(untracked);
    if (!by_id || !by_image->dict() || !by_category->dict()) return nullptr;
    PyObject* list = a[0];
    const Py_ssize_t n = PyList_GET_SIZE(list);
    enum { kImageId, kId, kCategoryId };
    Lookahead ahead(list, {k->image_id, k->id, k->category_id});
    // A subclass's item lookup may run code that shrinks the list: stop at
    // its current end.
    for (Py_ssize_t i = 0; i < n && i < PyList_GET_SIZE(list); ++i) {
      ahead.warm(i);
      Ref ann = Ref::borrow(PyList_GET_ITEM(list, i));
      const bool exact = PyDict_CheckExact(ann.get());
      auto key = [&](int which, PyObject* own) { return exact ? ahead.key(which) : own; };
      Ref image_id(get_item(ann.get(), key(kImageId, k->image_id)));
      if (!image_id || !by_image->append(image_id.get(), ann.get())) return nullptr;
      Ref id(get_item(ann.get(), key(kId, k->id)));
      if (!id || PyDict_SetItem(by_id.get(), id.get(), ann.get()) < 0) return nullptr;
      untracked.hide(by_id.get());
      if (with_categories) {
        Ref category_id(get_item(ann.get(), key(kCategoryId, k->category_id)));
        if (!category_id || !by_category->append(category_id.get(), image_id.get())) {
          return nullptr;
        }
      }
    }
    by_image->finish();
    by_category->finish();
    untracked.restore();
    return PyTuple_Pack(3, by_id.get(), by_image->dict(), by_category->dict());
  });
}

PyObject* prepare_bbox_results(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"prepare_bbox_results", {"annotations"}, 1};
    PyObject* a[1];
    if (!bind_args(sig, args, nargs, kwnames, a)) return nullptr;
    if (!convert_arg("annotations", [&] { return expect_instance(a[0], &PyList_Type, "list"); })) {
      return nullptr;
    }
    const Keys* k = keys();
    if (!k) return nullptr;
    Ref zero(PyLong_FromLong(0));
    if (!zero) return nullptr;
    PyObject* list = a[0];
    const Py_ssize_t n = PyList_GET_SIZE(list);
    for (Py_ssize_t i = 0; i < n && i < PyList_GET_SIZE(list); ++i) {
      Ref result = Ref::borrow(PyList_GET_ITEM(list, i));
      Ref box(get_item(result.get(), k->bbox));
      if (!box) return nullptr;
      Ref w(get_index(box.get(), 2));
      if (!w) return nullptr;
      Ref h(get_index(box.get(), 3));
      if (!h) return nullptr;
      Ref area(PyNumber_Multiply(w.get(), h.get()));
      if (!area || !set_item(result.get(), k->area, area.get())) return nullptr;
      Ref id(PyLong_FromSsize_t(i + 1));
      if (!id || !set_item(result.get(), k->id, id.get()) ||
          !set_item(result.get(), k->iscrowd, zero.get())) {
        return nullptr;
      }
    }
    Py_RETURN_NONE;
  });
}

template <auto F>
PyCFunction fastcall() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

constexpr int kFlags = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kFunctions[] = {
    {"index_annotations", fastcall<index_annotations>(), kFlags,
     "index_annotations(annotations, with_categories)\n--\n\n"
     "Build public annotation indexes without Python bytecode loops or copied annotations."},
    {"prepare_bbox_results", fastcall<prepare_bbox_results>(), kFlags,
     "prepare_bbox_results(annotations)\n--\n\n"
     "Fill bbox-result metadata with Python arithmetic and object semantics intact."},
};

}  // namespace

std::span<PyMethodDef> index_functions() { return kFunctions; }

}  // namespace quillscore::py
