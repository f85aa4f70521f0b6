#include "pymodule/compact/compact_bbox.h"

#include <memory>
#include <unordered_set>
#include <utility>

#include "pymodule/json_load/builder.h"
#include "pymodule/lib/args.h"
#include "pymodule/lib/errors.h"
#include "pymodule/lib/keys.h"
#include "pymodule/lib/methods.h"
#include "pymodule/lib/ref.h"

namespace quillscore::py {
namespace {

struct CompactObject {
  PyObject_HEAD
  CompactData* data;
};

CompactData& data_of(PyObject* o) { return *reinterpret_cast<CompactObject*>(o)->data; }

void compact_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<CompactObject*>(self)->data;
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* get_annotation_count(PyObject* self, void*) {
  return PyLong_FromSize_t(data_of(self).columns.size());
}

PyObject* get_snapshot_bytes(PyObject* self, void*) {
  return PyLong_FromSize_t(data_of(self).snapshot->size());
}

PyObject* get_column_bytes(PyObject* self, void*) {
  return PyLong_FromSize_t(data_of(self).columns.bytes());
}

// Results as the evaluation's callers prepare them: area from the box's
// width and height, 1-based position as id, no crowd; with the interpreter's
// own item access and arithmetic, as prepare_bbox_results does.
bool prepare_results(PyObject* list) {
  const Keys* k = keys();
  if (!k) return false;
  Ref zero(PyLong_FromLong(0));
  if (!zero) return false;
  const Py_ssize_t n = PyList_GET_SIZE(list);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* result = PyList_GET_ITEM(list, i);
    Ref box(PyObject_GetItem(result, k->bbox));
    if (!box) return false;
    Ref w(PySequence_GetItem(box.get(), 2));
    if (!w) return false;
    Ref h(PySequence_GetItem(box.get(), 3));
    if (!h) return false;
    Ref area(PyNumber_Multiply(w.get(), h.get()));
    Ref id(PyLong_FromSsize_t(i + 1));
    if (!area || !id || PyObject_SetItem(result, k->area, area.get()) < 0 ||
        PyObject_SetItem(result, k->id, id.get()) < 0 ||
        PyObject_SetItem(result, k->iscrowd, zero.get()) < 0) {
      return false;
    }
  }
  return true;
}

PyObject* compact_annotations(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const CompactData& d = data_of(self);
    // The snapshot passed the record reader, but the members it skipped were
    // only checked for grammar: the full loader may still refuse them.
    Ref doc(load_document(d.snapshot->view()));
    if (!doc) return nullptr;
    if (!d.results) {
      const Keys* k = keys();
      if (!k) return nullptr;
      Ref key(PyUnicode_FromString("annotations"));
      if (!key) return nullptr;
      return PyObject_GetItem(doc.get(), key.get());
    }
    if (!prepare_results(doc.get())) return nullptr;
    return doc.release();
  });
}

struct ValidImagesArgs {
  std::vector<int64_t> images;
};

constexpr Signature kValidImages{"valid_images",
                                 {required<to_i64_vector, &ValidImagesArgs::images>("images")}};

PyObject* compact_valid_images(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    ValidImagesArgs a{};
    if (!bind(kValidImages, args, nargs, kwnames, a)) return nullptr;
    const std::unordered_set<int64_t> known(a.images.begin(), a.images.end());
    for (const compact::KeyRow& row : data_of(self).columns.keys) {
      if (!known.contains(row.image_id)) Py_RETURN_FALSE;
    }
    Py_RETURN_TRUE;
  });
}

PyGetSetDef kGetSet[] = {
    {"annotation_count", get_annotation_count, nullptr, nullptr, nullptr},
    {"snapshot_bytes", get_snapshot_bytes, nullptr, nullptr, nullptr},
    {"column_bytes", get_column_bytes, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Positions of the records' images and categories (kUnlisted when absent).
// Records come grouped by image and categories are few, so the previous
// record's answer is tried before the table.
class PositionCache {
 public:
  explicit PositionCache(const std::unordered_map<int64_t, uint32_t>& table) : table_(table) {}
  uint32_t operator()(int64_t id) {
    if (id == last_id_ && has_last_) return last_pos_;
    const auto it = table_.find(id);
    last_id_ = id;
    last_pos_ = it == table_.end() ? eval::kUnlisted : it->second;
    has_last_ = true;
    return last_pos_;
  }

 private:
  const std::unordered_map<int64_t, uint32_t>& table_;
  int64_t last_id_ = 0;
  uint32_t last_pos_ = eval::kUnlisted;
  bool has_last_ = false;
};

}  // namespace

PyTypeObject* compact_bbox_type() {
  static PyObject* type = nullptr;
  if (type) return reinterpret_cast<PyTypeObject*>(type);
  static PyMethodDef methods[] = {
      {"annotations", compact_annotations, METH_NOARGS, "annotations($self)\n--\n\n"},
      keyword_method<compact_valid_images>(kValidImages),
      {nullptr, nullptr, 0, nullptr},
  };
  static PyType_Slot slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(compact_dealloc)},
      {Py_tp_methods, methods},
      {Py_tp_getset, kGetSet},
      {Py_tp_doc, const_cast<char*>("")},
      {0, nullptr},
  };
  // Instances come only from load_compact_bbox: the class has no constructor
  // callable from Python.
  static PyType_Spec spec = {
      "quillscore._vireo.CompactBbox",
      sizeof(CompactObject),
      0,
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
      slots,
  };
  type = PyType_FromSpec(&spec);
  return reinterpret_cast<PyTypeObject*>(type);
}

PyObject* new_compact_bbox(CompactData&& data) {
  PyTypeObject* type = compact_bbox_type();
  if (!type) return nullptr;
  auto owned = std::make_unique<CompactData>(std::move(data));
  PyObject* o = type->tp_alloc(type, 0);
  if (!o) return nullptr;
  reinterpret_cast<CompactObject*>(o)->data = owned.release();
  return o;
}

bool is_compact_bbox(PyObject* o) {
  PyTypeObject* type = compact_bbox_type();
  if (!type) {
    PyErr_Clear();
    return false;
  }
  return PyObject_TypeCheck(o, type);
}

const CompactData& compact_data(PyObject* o) { return data_of(o); }

eval::AnnotationSet compact_annotation_set(const CompactData& data, bool is_gt,
                                           const LookupTables& tables) {
  const compact::Columns& c = data.columns;
  const size_t total = c.size();
  eval::AnnotationSet set;
  // One lookup pass; when every record is kept its results are the columns.
  std::vector<uint32_t> image_index, category_index;
  size_t kept = 0;
  if (!tables.images.empty() && !tables.categories.empty()) {
    image_index.resize(total);
    category_index.resize(total);
    PositionCache image_of(tables.images), category_of(tables.categories);
    for (size_t i = 0; i < total; ++i) {
      image_index[i] = image_of(c.keys[i].image_id);
      category_index[i] = category_of(c.keys[i].category_id);
      kept += image_index[i] != eval::kUnlisted && category_index[i] != eval::kUnlisted;
    }
  }
  const bool all = kept == total;
  const bool dataset = !data.results;
  set.ids.reserve(kept);
  set.scores.reserve(kept);
  set.areas.reserve(kept);
  set.iscrowd.reserve(kept);
  set.ignore.reserve(kept);
  set.unmatched_ignore.assign(kept, 0);
  eval::Boxes copies;
  if (all) {
    set.image_index = std::move(image_index);
    set.category_index = std::move(category_index);
    set.geometry = eval::SharedBoxes{std::shared_ptr<const rle::Box>(c.boxes, c.boxes->begin()),
                                     c.boxes->size()};
  } else {
    set.image_index.reserve(kept);
    set.category_index.reserve(kept);
    copies.boxes.reserve(kept);
  }
  for (size_t i = 0; i < total && kept > 0; ++i) {
    if (!all) {
      if (image_index[i] == eval::kUnlisted || category_index[i] == eval::kUnlisted) continue;
      set.image_index.push_back(image_index[i]);
      set.category_index.push_back(category_index[i]);
      copies.boxes.push_back((*c.boxes)[i]);
    }
    const rle::Box& box = (*c.boxes)[i];
    set.scores.push_back(c.keys[i].score);
    if (dataset) {
      const compact::GroundTruthRow& g = c.ground_truth[i];
      set.ids.push_back(g.id);
      set.areas.push_back(g.area);
      set.iscrowd.push_back(g.iscrowd);
      set.ignore.push_back(is_gt ? g.iscrowd : 0);
    } else {
      // Ids follow the position in the whole file, whichever records are kept.
      set.ids.push_back(static_cast<int64_t>(i) + 1);
      set.areas.push_back(box[2] * box[3]);
      set.iscrowd.push_back(0);
      set.ignore.push_back(0);
    }
  }
  if (!all) set.geometry = std::move(copies);
  return set;
}

}  // namespace quillscore::py
