// load_compact_bbox, load_compact_masks and load_compact_keypoints: a COCO
// box, mask or keypoint file into typed rows. A results file is one array of records; a dataset file is an object whose "annotations" member
// goes to the record reader while every other member is built as Python
// objects, since callers need the images and categories.
#include "pymodule/compact/load.h"

#include "core/json/records.h"
#include "core/pool/pool.h"
#include "pymodule/compact/compact_bbox.h"
#include "pymodule/json_load/builder.h"
#include "pymodule/json_load/file_bytes.h"
#include "pymodule/json_load/key_cache.h"
#include "pymodule/lib/args.h"
#include "pymodule/lib/errors.h"
#include "pymodule/lib/gc_pause.h"
#include "pymodule/lib/interrupt.h"
#include "pymodule/lib/methods.h"
#include "pymodule/lib/ref.h"

namespace quillscore::py {
namespace {

// The reader's error as the ValueError of this function: the rendered parser
// error with no prefix.
std::nullptr_t record_error(const json::Reader& r) {
  if (r.failed() && !PyErr_Occurred()) {
    PyErr_SetString(PyExc_ValueError, r.parse_error().render().c_str());
  }
  return nullptr;
}

// The rows of an annotation array (a whole document for results), read
// without the interpreter lock so that Ctrl-C can stop a large file. False
// with either the reader holding the error or (reader clean) a Python
// exception set.
bool read_rows(json::Reader& r, json::Mode mode, json::Scores scores, json::Geometry geometry,
               size_t bytes, json::Columns& columns) {
  bool read = false;
  // A large array of records is read in two halves on the pool.
  const json::RunBoth on_the_pool = [](const std::function<void()>& a, const std::function<void()>& b) {
    pool::parallel_chunks(2, [&](size_t begin, size_t end) {
      for (size_t half = begin; half < end; ++half) (half == 0 ? a : b)();
    });
  };
  return run_released(bytes, [&] {
           read = mode == json::Mode::kResults
                      ? json::read_results_document(r, columns, scores, geometry, on_the_pool)
                      : json::read_records(r, mode, columns, scores, geometry, on_the_pool);
         }) &&
         read;
}

// The top-level object of a dataset file. Null on failure with either the
// reader holding the error or (reader clean) a Python exception set.
PyObject* read_dataset(json::Reader& r, json::Geometry geometry, size_t bytes,
                       json::Columns& columns) {
  const int c = r.skip_whitespace();
  if (c < 0) return r.peek_error(json::ErrorCode::kEofWhileParsingValue), nullptr;
  if (c != '{') return json::invalid_type(r, "COCO dataset"), nullptr;
  if (!r.enter_container()) return nullptr;
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  KeyCache keys(0);
  GcPause pause;
  bool annotations = false;
  for (bool first = true;; first = false) {
    switch (r.object_step(first)) {
      case json::Step::kFail:
        return nullptr;
      case json::Step::kEnd:
        if (!annotations) return r.custom_error("missing annotations"), nullptr;
        r.leave_container();
        return dict.release();
      case json::Step::kItem:
        break;
    }
    r.advance();  // the key's opening quote
    json::StringRef k;
    if (!r.parse_string(k)) return nullptr;
    Ref key(str_from_utf8(k.view(), k.ascii));
    if (!key || !r.object_colon()) return nullptr;
    Ref value;
    if (k.view() == "annotations") {
      // A repeated member replaces the rows of the earlier one.
      if (!read_rows(r, json::Mode::kDataset, json::Scores::kDefaultZero, geometry, bytes, columns)) {
        return nullptr;
      }
      annotations = true;
      value = Ref::borrow(Py_None);
    } else {
      value = Ref(build_object(r, keys));
      if (!value) return nullptr;
    }
    if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
  }
}

struct LoadArgs {
  FileArgument path;
  bool results = false;
  bool require_score = false;
};

constexpr Signature<LoadArgs, 3> load_signature(const char* function) {
  return {function,
          {required<to_file_argument, &LoadArgs::path>("path"),
           optional<to_bool, &LoadArgs::results>("results"),
           optional<to_bool, &LoadArgs::require_score>("require_score")}};
}

constexpr auto kLoadCompactBbox = load_signature("load_compact_bbox");
constexpr auto kLoadCompactMasks = load_signature("load_compact_masks");
constexpr auto kLoadCompactKeypoints = load_signature("load_compact_keypoints");

constexpr const auto& signature_of(json::Geometry geometry) {
  switch (geometry) {
    case json::Geometry::kMask:
      return kLoadCompactMasks;
    case json::Geometry::kKeypoints:
      return kLoadCompactKeypoints;
    case json::Geometry::kBox:
      break;
  }
  return kLoadCompactBbox;
}

template <json::Geometry geometry>
PyObject* load_compact(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    LoadArgs a{};
    if (!bind(signature_of(geometry), args, nargs, kwnames, a)) return nullptr;
    const bool results = a.results;
    const bool require_score = a.require_score;

    CompactData data;
    data.results = results;
    data.geometry = geometry;
    if (!read_file_argument(a.path, data.snapshot)) return nullptr;
    json::Reader r(data.snapshot->data(), data.snapshot->size());
    Ref members;
    if (results) {
      const auto scores =
          require_score ? json::Scores::kRequired : json::Scores::kDefaultZero;
      if (!read_rows(r, json::Mode::kResults, scores, geometry, data.snapshot->size(), data.columns)) {
        return record_error(r);
      }
      members = Ref(PyDict_New());
    } else {
      members = Ref(read_dataset(r, geometry, data.snapshot->size(), data.columns));
      if (!members || !r.end_of_document()) return record_error(r);
    }
    if (!members) return nullptr;
    Ref compact(new_compact(std::move(data)));
    if (!compact) return nullptr;
    return PyTuple_Pack(2, members.get(), compact.get());
  });
}

}  // namespace

std::span<PyMethodDef> compact_functions() {
  static PyMethodDef functions[] = {
      keyword_function<load_compact<json::Geometry::kBox>>(kLoadCompactBbox),
      keyword_function<load_compact<json::Geometry::kMask>>(
          kLoadCompactMasks,
          "Extension: a COCO mask file (segm or boundary) into columns, each record's "
          "segmentation kept as the file gives it, for the Evaluator to rasterise."),
      keyword_function<load_compact<json::Geometry::kKeypoints>>(
          kLoadCompactKeypoints,
          "Extension: a COCO keypoint file into columns, each record's keypoints as one "
          "run of floats."),
  };
  return functions;
}

}  // namespace quillscore::py
