#include "pymodule/lib/intake.h"

#include <chrono>
#include <string>

#include "core/intake/builder.h"
#include "pymodule/lib/args.h"
#include "pymodule/lib/errors.h"
#include "pymodule/lib/interrupt.h"
#include "pymodule/lib/keys.h"
#include "pymodule/lib/numpy.h"
#include "pymodule/lib/ref.h"
#include "pymodule/mask/rle_dict.h"

namespace quillscore::py {
namespace {

using Clock = std::chrono::steady_clock;

uint64_t nanos_since(Clock::time_point start) {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count());
}

// The value under `key`, or null when absent or None (no exception set).
// Exact dict lookups: a subclass's own item lookup is not called.
bool lookup(PyObject* dict, PyObject* key, PyObject*& out) {
  out = PyDict_GetItemWithError(dict, key);
  if (!out) return !PyErr_Occurred();
  if (out == Py_None) out = nullptr;
  return true;
}

// A list of floats read directly, anything else through the sequence converter.
bool read_floats(PyObject* o, std::vector<double>& out) {
  if (read_f64_array(o, out)) return true;
  if (PyList_Check(o)) {
    const Py_ssize_t n = PyList_GET_SIZE(o);
    const size_t base = out.size();
    out.resize(base + static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = PyList_GET_ITEM(o, i);
      double& v = out[base + static_cast<size_t>(i)];
      if (PyFloat_CheckExact(item)) {
        v = PyFloat_AS_DOUBLE(item);  // the common case, without a call
      } else if (PyLong_CheckExact(item)) {
        v = PyLong_AsDouble(item);  // as float(int) would round it
        if (v == -1.0 && PyErr_Occurred()) return false;
      } else if (!to_f64(item, v)) {
        return false;
      }
    }
    return true;
  }
  std::vector<double> v;
  if (!to_f64_vector(o, v)) return false;
  out.insert(out.end(), v.begin(), v.end());
  return true;
}

bool read_box(PyObject* value, rle::Box& box) {
  box = {0, 0, 0, 0};
  if (!value) return true;
  if (PyList_Check(value) && PyList_GET_SIZE(value) == 4) {
    for (Py_ssize_t i = 0; i < 4; ++i) {
      if (!to_f64(PyList_GET_ITEM(value, i), box[static_cast<size_t>(i)])) return false;
    }
    return true;
  }
  std::vector<double> v;
  if (!read_f64_array(value, v) && !to_f64_vector(value, v)) return false;
  if (v.size() != 4) return fail(PyExc_ValueError, "'bbox' must have 4 entries"), false;
  box = {v[0], v[1], v[2], v[3]};
  return true;
}

// The rasterisation job of one annotation of a mask kind.
bool read_segmentation(PyObject* ann, const Keys& k, const rle::Box& box, MaskJob& job) {
  PyObject* seg;
  if (!lookup(ann, k.segmentation, seg)) return false;
  if (!seg) {
    job.seg = box;
    return true;
  }
  if (PyDict_Check(seg)) {
    PyObject* counts = PyDict_GetItemWithError(seg, k.counts);
    if (!counts) {
      if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_ValueError, "RLE segmentation is missing 'counts'");
      }
      return false;
    }
    if (PyBytes_Check(counts)) {
      job.seg = rle::CompressedCounts{
          std::string(PyBytes_AS_STRING(counts), static_cast<size_t>(PyBytes_GET_SIZE(counts)))};
      return true;
    }
    if (PyUnicode_Check(counts)) {
      Py_ssize_t n;
      const char* s = PyUnicode_AsUTF8AndSize(counts, &n);
      if (!s) return false;
      job.seg = rle::CompressedCounts{std::string(s, static_cast<size_t>(n))};
      return true;
    }
    rle::Counts c;
    if (!to_u32_vector(counts, c.counts)) return false;
    job.seg = std::move(c);
    return true;
  }
  rle::Polygons polys;
  Ref it(PyObject_GetIter(seg));
  if (!it) return false;
  while (Ref poly{PyIter_Next(it.get())}) {
    if (!read_floats(poly.get(), polys.coords)) return false;
    if (polys.coords.size() > UINT32_MAX) {
      return fail(PyExc_ValueError, "segmentation has too many coordinates"), false;
    }
    polys.ends.push_back(static_cast<uint32_t>(polys.coords.size()));
  }
  if (PyErr_Occurred()) return false;
  job.seg = std::move(polys);
  return true;
}

// An RLE segmentation's own size, for an image the dataset gives none:
// such masks need nothing from the image, unlike polygons and boxes.
// `found` says whether the segmentation is an RLE dict with a size.
bool own_rle_size(PyObject* ann, const Keys& k, MaskJob& job, bool& found) {
  found = false;
  PyObject* seg;
  if (!lookup(ann, k.segmentation, seg)) return false;
  if (!seg || !PyDict_Check(seg)) return true;
  PyObject* size = PyDict_GetItemWithError(seg, k.size);
  if (!size) return !PyErr_Occurred();
  found = read_rle_size(size, job.height, job.width);
  return found;
}

}  // namespace

bool read_annotations(PyObject* list, bool is_gt, IntakeContext& ctx, eval::AnnotationSet& set,
                      intake::RawKeypoints& raw) {
  const auto start = Clock::now();
  const Keys* keys_ptr = keys();
  if (!keys_ptr) return false;
  const Keys& k = *keys_ptr;
  const bool keypoints = ctx.type == eval::IouType::kKeypoints;
  // Every row is kept: masks come back from the worker one per row, in order.
  intake::SetBuilder builder(ctx.tables, ctx.type,
                             is_gt ? intake::Side::kGroundTruth : intake::Side::kDetections,
                             intake::Unlisted::kKeep);
  const Py_ssize_t n = PyList_GET_SIZE(list);
  builder.reserve(static_cast<size_t>(n));

  SignalPoll signals;
  for (Py_ssize_t i = 0; i < n && i < PyList_GET_SIZE(list); ++i) {
    if (!signals()) return false;
    Ref ann = Ref::borrow(PyList_GET_ITEM(list, i));
    PyObject* a = ann.get();
    if (!PyDict_Check(a)) return fail(PyExc_ValueError, "annotations must be dicts"), false;
    PyObject* v;

    // Read in this order, so that the first bad field is the one reported.
    intake::Row row;
    row.category_id = -1;
    if (!lookup(a, k.image_id, v)) return false;
    if (!v) {
      PyErr_SetString(PyExc_KeyError, "annotation is missing 'image_id'");
      return false;
    }
    if (!to_i64(v, row.image_id)) return false;
    if (!lookup(a, k.category_id, v) || (v && !to_i64(v, row.category_id))) return false;
    if (!lookup(a, k.id, v) || (v && !to_i64(v, row.id.emplace()))) return false;
    if (!lookup(a, k.score, v) || (v && !to_f64(v, row.score))) return false;
    if (!lookup(a, k.bbox, v) || !read_box(v, row.box)) return false;
    if (!lookup(a, k.area, v) || (v && !to_f64(v, row.area.emplace()))) return false;
    int64_t crowd = 0;
    if (!lookup(a, k.iscrowd, v) || (v && !to_i64(v, crowd))) return false;
    row.crowd = crowd != 0;
    if (is_gt && keypoints &&
        (!lookup(a, k.num_keypoints, v) || (v && !to_i64(v, row.num_keypoints)))) {
      return false;
    }
    builder.add(row);

    if (keypoints) {
      const size_t offset = raw.values.size();
      if (!lookup(a, k.keypoints, v) || (v && !read_floats(v, raw.values))) return false;
      raw.spans.emplace_back(offset, raw.values.size() - offset);
    } else if (eval::needs_masks(ctx.type)) {
      MaskJob job;
      auto size = ctx.tables.sizes.find(row.image_id);
      if (size != ctx.tables.sizes.end()) {
        job.height = size->second.first;
        job.width = size->second.second;
      } else {
        bool found = false;
        if (!own_rle_size(a, k, job, found)) return false;
        if (!found) return no_image_size(row.image_id);
      }
      if (!read_segmentation(a, k, row.box, job)) return false;
      ctx.batch.push_back(std::move(job));
      if (ctx.batch.size() >= kBatchJobs && !send_batch(ctx)) return false;
    }
  }
  set = std::move(builder).finish();
  (is_gt ? ctx.counters.gt_read : ctx.counters.dt_read) += nanos_since(start);
  return true;
}

bool no_image_size(int64_t image_id) {
  const std::string id_text = std::to_string(image_id);
  PyErr_Format(PyExc_KeyError, "no image entry for image_id %s", id_text.c_str());
  return false;
}

bool send_batch(IntakeContext& ctx) {
  JobBatch full = std::move(ctx.batch);
  ctx.batch = JobBatch();
  ctx.batch.reserve(kBatchJobs);
  const auto start = Clock::now();
  using Sent = BatchChannel::Sent;
  Sent sent = ctx.channel->send(full, std::chrono::milliseconds(0));
  // A full channel means the rasteriser is behind: wait for it without the
  // interpreter lock, and let Ctrl-C end the wait.
  const bool waited = sent != Sent::kFull || wait_interruptibly([&](std::chrono::milliseconds slice) {
                        sent = ctx.channel->send(full, slice);
                        return sent != Sent::kFull;
                      });
  ctx.counters.read_blocked += nanos_since(start);
  if (!waited) return false;
  if (sent == Sent::kClosed) return fail(PyExc_ValueError, "mask rasteriser stopped"), false;
  return true;
}

}  // namespace quillscore::py
