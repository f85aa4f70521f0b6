#include "pymodule/mask/rle_dict.h"

#include <cstring>

#include "core/rle/codec.h"
#include "pymodule/lib/args.h"
#include "pymodule/lib/errors.h"
#include "pymodule/lib/keys.h"
#include "pymodule/lib/numpy.h"
#include "pymodule/lib/ref.h"

namespace quillscore::py {
namespace {

// Looks up a key that must be present; `missing` is the ValueError's text.
PyObject* required_item(PyObject* dict, PyObject* key, const char* missing) {
  PyObject* v = PyDict_GetItemWithError(dict, key);
  if (!v && !PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, missing);
  return v;
}

// Calls `each(item)` for every item of an iterable; lists and tuples are
// walked directly.
template <class Each>
bool for_each_item(PyObject* o, Each each) {
  if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) {
    Ref keep = Ref::borrow(o);
    // The list may change under a callback; re-read its size every time.
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(o); ++i) {
      Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(o, i));
      if (!each(item.get())) return false;
    }
    return true;
  }
  Ref it(PyObject_GetIter(o));
  if (!it) return false;
  while (Ref item{PyIter_Next(it.get())}) {
    if (!each(item.get())) return false;
  }
  return !PyErr_Occurred();
}

// A row of exactly four floats, or ValueError "list input ...".
bool read_box_row(PyObject* row, rle::Box& box) {
  std::vector<double> v;
  if (!to_f64_vector(row, v) || v.size() != 4) {
    PyErr_Clear();
    return fail(PyExc_ValueError, "list input can be bounding box (Nx4) or RLEs ([RLE])"), false;
  }
  box = {v[0], v[1], v[2], v[3]};
  return true;
}

}  // namespace

bool read_rle_size(PyObject* size, uint32_t& h, uint32_t& w) {
  uint64_t hw[2];
  if ((PyList_CheckExact(size) || PyTuple_CheckExact(size)) && PySequence_Fast_GET_SIZE(size) == 2 &&
      PyLong_CheckExact(PySequence_Fast_GET_ITEM(size, 0)) &&
      PyLong_CheckExact(PySequence_Fast_GET_ITEM(size, 1))) {
    // The usual [h, w] of two ints, read without building a vector.
    for (int i = 0; i < 2; ++i) {
      hw[i] = PyLong_AsUnsignedLongLong(PySequence_Fast_GET_ITEM(size, i));
      if (hw[i] == static_cast<uint64_t>(-1) && PyErr_Occurred()) return false;
    }
  } else {
    std::vector<uint64_t> v;
    if (!to_u64_vector(size, v)) return false;
    if (v.size() != 2) return fail(PyExc_ValueError, "RLE 'size' must be [h, w]"), false;
    hw[0] = v[0];
    hw[1] = v[1];
  }
  h = static_cast<uint32_t>(hw[0]);
  w = static_cast<uint32_t>(hw[1]);
  return true;
}

bool read_rle_source(PyObject* o, RleSource& out) {
  if (!PyDict_Check(o)) return fail(PyExc_TypeError, "expected an RLE dict with 'size' and 'counts'"), false;
  const Keys* k = keys();
  if (!k) return false;
  PyObject* size = required_item(o, k->size, "RLE dict is missing 'size'");
  if (!size) return false;
  if (!read_rle_size(size, out.height, out.width)) return false;
  PyObject* counts = required_item(o, k->counts, "RLE dict is missing 'counts'");
  if (!counts) return false;
  out.owner = Ref::borrow(counts);
  out.compressed = true;
  if (PyBytes_Check(counts)) {
    out.bytes = {PyBytes_AS_STRING(counts), static_cast<size_t>(PyBytes_GET_SIZE(counts))};
    return true;
  }
  if (PyUnicode_Check(counts)) {
    Py_ssize_t n;
    const char* s = PyUnicode_AsUTF8AndSize(counts, &n);
    if (!s) return false;
    out.bytes = {s, static_cast<size_t>(n)};
    return true;
  }
  out.compressed = false;
  if (!to_u32_vector(counts, out.counts)) {
    PyErr_Clear();
    return fail(PyExc_TypeError, "RLE 'counts' must be bytes, str, or a list of ints"), false;
  }
  return true;
}

rle::Rle RleSource::decode() && {
  if (compressed) return rle::counts_from_string(bytes, height, width);
  rle::Rle out;
  out.height = height;
  out.width = width;
  out.counts = std::move(counts);
  return out;
}

bool read_rle_dict(PyObject* o, rle::Rle& out) {
  RleSource source;
  if (!read_rle_source(o, source)) return false;
  out = std::move(source).decode();
  return true;
}

bool read_rle_list(PyObject* o, std::vector<rle::Rle>& out) {
  out.clear();
  if (PyList_CheckExact(o)) out.reserve(static_cast<size_t>(PyList_GET_SIZE(o)));
  return for_each_item(o, [&](PyObject* item) {
    out.emplace_back();
    return read_rle_dict(item, out.back());
  });
}

bool read_uncompressed_rle(PyObject* o, rle::Rle& out) {
  if (!PyDict_Check(o)) return fail(PyExc_TypeError, "expected uncompressed RLE dicts"), false;
  const Keys* k = keys();
  if (!k) return false;
  PyObject* size = required_item(o, k->size, "RLE dict is missing 'size'");
  if (!size) return false;
  std::vector<uint64_t> hw;
  if (!to_u64_vector(size, hw)) return false;
  PyObject* counts = required_item(o, k->counts, "RLE dict is missing 'counts'");
  if (!counts || !to_u32_vector(counts, out.counts)) return false;
  // Entries past the second are ignored here, as the format has always allowed.
  if (hw.size() < 2) return fail(PyExc_ValueError, "RLE 'size' must be [h, w]"), false;
  out.height = static_cast<uint32_t>(hw[0]);
  out.width = static_cast<uint32_t>(hw[1]);
  return true;
}

PyObject* rle_to_dict(const rle::Rle& r) {
  const Keys* k = keys();
  if (!k) return nullptr;
  const std::string s = rle::counts_to_string(r.counts);
  Ref counts(PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
  Ref h(PyLong_FromUnsignedLong(r.height)), w(PyLong_FromUnsignedLong(r.width));
  Ref size(PyList_New(2));
  Ref d(PyDict_New());
  if (!counts || !h || !w || !size || !d) return nullptr;
  PyList_SET_ITEM(size.get(), 0, h.release());
  PyList_SET_ITEM(size.get(), 1, w.release());
  if (PyDict_SetItem(d.get(), k->size, size.get()) < 0 ||
      PyDict_SetItem(d.get(), k->counts, counts.get()) < 0) {
    return nullptr;
  }
  return d.release();
}

PyObject* rle_list_to_py(const std::vector<rle::Rle>& masks) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(masks.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < masks.size(); ++i) {
    PyObject* d = rle_to_dict(masks[i]);
    if (!d) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), d);
  }
  return list.release();
}

bool read_boxes_or_masks(PyObject* o, BoxesOrMasks& out) {
  out = {};
  if (is_array_of(o, NPY_DOUBLE)) {
    auto* arr = reinterpret_cast<PyArrayObject*>(o);
    if (PyArray_NDIM(arr) != 2 || PyArray_DIM(arr, 1) != 4) {
      return fail(PyExc_ValueError,
                  "numpy ndarray input is only for *bounding boxes* and should have Nx4 dimension"),
             false;
    }
    const npy_intp n = PyArray_DIM(arr, 0), s0 = PyArray_STRIDE(arr, 0), s1 = PyArray_STRIDE(arr, 1);
    const char* base = static_cast<const char*>(PyArray_DATA(arr));
    out.boxes.resize(static_cast<size_t>(n));
    for (npy_intp i = 0; i < n; ++i) {
      for (int j = 0; j < 4; ++j) {
        std::memcpy(&out.boxes[i][j], base + i * s0 + j * s1, sizeof(double));
      }
    }
    return true;
  }
  bool first = true;
  return for_each_item(o, [&](PyObject* item) {
    if (first) {
      out.is_masks = PyDict_Check(item);
      first = false;
    }
    if (out.is_masks) {
      out.masks.emplace_back();
      return read_rle_dict(item, out.masks.back());
    }
    out.boxes.emplace_back();
    return read_box_row(item, out.boxes.back());
  });
}

}  // namespace quillscore::py
