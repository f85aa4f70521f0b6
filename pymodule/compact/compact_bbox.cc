#include "pymodule/compact/compact_bbox.h"

#include <memory>
#include <optional>
#include <utility>

#include "core/intake/builder.h"
#include "pymodule/json_load/builder.h"
#include "pymodule/lib/args.h"
#include "pymodule/lib/errors.h"
#include "pymodule/lib/indexes.h"
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
  const SharedFile& snapshot = data_of(self).snapshot;
  return PyLong_FromSize_t(snapshot ? snapshot->size() : 0);
}

// The file's bytes are kept for annotations() alone; a caller that only
// evaluates lets them go before the engine copies the rows.
PyObject* compact_release_snapshot(PyObject* self, PyObject*) {
  data_of(self).snapshot.reset();
  Py_RETURN_NONE;
}

PyObject* get_boxes_complete(PyObject* self, void*) { return PyBool_FromLong(boxes_complete(data_of(self))); }

PyObject* get_column_bytes(PyObject* self, void*) {
  return PyLong_FromSize_t(data_of(self).columns.bytes());
}

PyObject* compact_annotations(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const CompactData& d = data_of(self);
    if (!d.snapshot) {
      return fail(PyExc_RuntimeError, "the file's bytes were released: its annotations are gone");
    }
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
    // Completed as callers complete result dicts, so that these are the very
    // dicts the rows stand for (areas keep the JSON numbers' int or float);
    // mask results that carry no boxes get their masks' areas and boxes.
    const json::Columns& c = d.columns;
    bool done;
    if (d.geometry == json::Geometry::kMask && c.size() > 0 && !c.masks.rows[0].has_box) {
      done = complete_segm_results(doc.get());
    } else if (d.geometry == json::Geometry::kKeypoints && c.size() > 0 &&
               !c.keypoints.rows[0].has_box) {
      // The reader took alike lists only, so these complete natively.
      const int completed = complete_keypoint_results(doc.get());
      if (completed == 0) PyErr_SetString(PyExc_RuntimeError, "keypoint results are not alike");
      done = completed > 0;
    } else {
      done = complete_bbox_results(doc.get());
    }
    if (!done) return nullptr;
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
    const intake::PositionTable known(a.images);
    intake::PositionLookup position(known);
    for (const json::KeyRow& row : data_of(self).columns.keys) {
      if (position(row.image_id) == group::kUnlisted) Py_RETURN_FALSE;
    }
    Py_RETURN_TRUE;
  });
}

PyGetSetDef kGetSet[] = {
    {"annotation_count", get_annotation_count, nullptr, nullptr, nullptr},
    {"snapshot_bytes", get_snapshot_bytes, nullptr, nullptr, nullptr},
    {"column_bytes", get_column_bytes, nullptr, nullptr, nullptr},
    {"boxes_complete", get_boxes_complete, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kMethods[] = {
      {"annotations", compact_annotations, METH_NOARGS, "annotations($self)\n--\n\n"},
      {"release_snapshot", compact_release_snapshot, METH_NOARGS,
       "release_snapshot($self)\n--\n\nLet go of the file's bytes; annotations() then raises."},
      keyword_method<compact_valid_images>(kValidImages),
      {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(compact_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_doc, const_cast<char*>("")},
    {0, nullptr},
};

// Instances come only from the loaders: the classes have no constructor
// callable from Python.
PyTypeObject* make_type(const char* name) {
  PyType_Spec type_spec = {name, sizeof(CompactObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, kSlots};
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
}

bool is_instance(PyObject* o, PyTypeObject* type) {
  if (!type) {
    PyErr_Clear();
    return false;
  }
  return PyObject_TypeCheck(o, type);
}

}  // namespace

PyTypeObject* compact_bbox_type() {
  static PyTypeObject* type = nullptr;
  if (!type) type = make_type("quillscore._vireo.CompactBbox");
  return type;
}

PyTypeObject* compact_masks_type() {
  static PyTypeObject* type = nullptr;
  if (!type) type = make_type("quillscore._vireo.CompactMasks");
  return type;
}

PyTypeObject* compact_keypoints_type() {
  static PyTypeObject* type = nullptr;
  if (!type) type = make_type("quillscore._vireo.CompactKeypoints");
  return type;
}

PyObject* new_compact(CompactData&& data) {
  PyTypeObject* type = data.geometry == json::Geometry::kMask        ? compact_masks_type()
                       : data.geometry == json::Geometry::kKeypoints ? compact_keypoints_type()
                                                                     : compact_bbox_type();
  if (!type) return nullptr;
  auto owned = std::make_unique<CompactData>(std::move(data));
  PyObject* o = type->tp_alloc(type, 0);
  if (!o) return nullptr;
  reinterpret_cast<CompactObject*>(o)->data = owned.release();
  return o;
}

bool is_compact_bbox(PyObject* o) { return is_instance(o, compact_bbox_type()); }

bool is_compact_masks(PyObject* o) { return is_instance(o, compact_masks_type()); }

bool is_compact_keypoints(PyObject* o) { return is_instance(o, compact_keypoints_type()); }

const CompactData& compact_data(PyObject* o) { return data_of(o); }

eval::AnnotationSet compact_annotation_set(const CompactData& data, bool is_gt,
                                           const intake::LookupTables& tables) {
  const json::Columns& c = data.columns;
  const size_t total = c.size();
  intake::SetBuilder builder(tables, eval::IouType::kBbox,
                             is_gt ? intake::Side::kGroundTruth : intake::Side::kDetections,
                             intake::Unlisted::kDrop);
  builder.share_boxes(
      eval::SharedBoxes{std::shared_ptr<const rle::Box>(c.boxes, c.boxes->begin()), total});
  builder.reserve(total);
  builder.add_rows(total, [&](size_t i) { return compact_row(data, i); });
  return std::move(builder).finish();
}

intake::Row compact_row(const CompactData& data, size_t i) {
  const json::Columns& c = data.columns;
  const json::KeyRow& key = c.keys[i];
  intake::Row row;
  row.image_id = key.image_id;
  row.category_id = key.category_id;
  row.score = key.score;
  row.box = (*c.boxes)[i];
  // A results file gives no id, area or crowd flag: the row gets their
  // defaults, its id by position in the whole file, whichever rows are kept.
  if (!data.results) {
    const json::GroundTruthRow& g = c.ground_truth[i];
    row.id = g.id;
    row.area = g.has_area ? std::optional<double>(g.area) : std::nullopt;
    row.crowd = g.iscrowd != 0;
  }
  return row;
}

bool boxes_complete(const CompactData& d) {
  const auto all_boxed = [](const auto& rows) {
    for (const auto& r : rows) {
      if (!r.has_box) return false;
    }
    return true;
  };
  switch (d.geometry) {
    case json::Geometry::kBox:
      return true;
    case json::Geometry::kMask:
      return all_boxed(d.columns.masks.rows);
    case json::Geometry::kKeypoints:
      break;
  }
  return all_boxed(d.columns.keypoints.rows);
}

}  // namespace quillscore::py
