// The COCO mask toolkit as Python functions: RLE dicts and NumPy arrays in,
// the core's mask operations underneath.
#include "pymodule/mask/functions.h"

#include <cstring>

#include "core/pool/cancel.h"
#include "core/rle/boundary.h"
#include "core/rle/iou.h"
#include "core/rle/ops.h"
#include "core/rle/raster.h"
#include "core/base/allocator.h"
#include "pymodule/lib/args.h"
#include "pymodule/lib/errors.h"
#include "pymodule/lib/interrupt.h"
#include "pymodule/lib/keys.h"
#include "pymodule/lib/methods.h"
#include "pymodule/lib/numpy.h"
#include "pymodule/lib/ref.h"
#include "pymodule/mask/rle_dict.h"

namespace quillscore::py {
namespace {

using rle::Rle;

// Masks of boxes, or TypeError when the list held RLE dicts.
PyObject* boxes_to_rles(PyObject* bb, uint32_t h, uint32_t w) {
  BoxesOrMasks in;
  if (!read_boxes_or_masks(bb, in)) return nullptr;
  if (in.is_masks) return fail(PyExc_TypeError, "expected bounding boxes");
  std::vector<Rle> out;
  out.reserve(in.boxes.size());
  // A box's mask has a run or two per column.
  if (!run_released(in.boxes.size() * (uint64_t{w} + 1), [&] {
        const pool::CancelCheck check;
        for (const rle::Box& b : in.boxes) {
          check();
          out.push_back(rle::rle_from_box(b, h, w));
        }
      })) {
    return nullptr;
  }
  return rle_list_to_py(out);
}

// Masks of polygons, one per item, not merged.
PyObject* polygons_to_rles(PyObject* poly, uint32_t h, uint32_t w) {
  std::vector<std::vector<double>> polygons;
  Ref it(PyObject_GetIter(poly));
  if (!it) return nullptr;
  uint64_t steps = 0;
  SignalPoll signals;
  while (Ref item{PyIter_Next(it.get())}) {
    polygons.emplace_back();
    if (!signals() || !to_f64_vector(item.get(), polygons.back())) return nullptr;
    // Rasterising walks the outline and writes a run or two per column.
    steps += polygons.back().size() + w;
  }
  if (PyErr_Occurred()) return nullptr;
  std::vector<Rle> out;
  out.reserve(polygons.size());
  if (!run_released(steps, [&] {
        rle::RasterWorkspace ws;
        const pool::CancelCheck check;
        for (const auto& coords : polygons) {
          check();
          out.push_back(rle::rle_from_polygon(coords, h, w, ws));
        }
      })) {
    return nullptr;
  }
  return rle_list_to_py(out);
}

// Uncompressed RLE dicts to compressed ones; their own sizes are used.
PyObject* uncompressed_to_rles(PyObject* uc) {
  std::vector<Rle> out;
  Ref it(PyObject_GetIter(uc));
  if (!it) return nullptr;
  SignalPoll signals;
  while (Ref item{PyIter_Next(it.get())}) {
    if (!signals()) return nullptr;
    out.emplace_back();
    if (!read_uncompressed_rle(item.get(), out.back())) return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  return rle_list_to_py(out);
}

// What merging costs: a step per run.
uint64_t total_runs(const std::vector<Rle>& masks) {
  uint64_t n = 0;
  for (const Rle& m : masks) n += m.counts.size();
  return n;
}

// A dict holding both "counts" and "size" (looked up in that order).
bool has_counts_and_size(PyObject* d, bool& yes) {
  const Keys* k = keys();
  if (!k) return false;
  int r = PyDict_Contains(d, k->counts);
  if (r > 0) r = PyDict_Contains(d, k->size);
  if (r < 0) return false;
  yes = r > 0;
  return true;
}

// The functions' arguments and parameters. The masks and boxes are read in
// the bodies, whose errors carry no argument note.

// A list of RLE dicts as the only argument.
struct RleListArgs {
  PyObject* rle_objs;
};

constexpr Signature<RleListArgs, 1> rle_list_signature(const char* function) {
  return {function, {required<borrow, &RleListArgs::rle_objs>("rle_objs")}};
}

constexpr auto kArea = rle_list_signature("area");
constexpr auto kToBbox = rle_list_signature("toBbox");
constexpr auto kDecode = rle_list_signature("decode");

struct IouArgs {
  PyObject* dt;
  PyObject* gt;
  PyObject* iscrowd;
};

constexpr Signature kIou{"iou",
                         {required<borrow, &IouArgs::dt>("dt"), required<borrow, &IouArgs::gt>("gt"),
                          required<borrow, &IouArgs::iscrowd>("iscrowd")}};

struct MergeArgs {
  PyObject* rle_objs;
  int64_t intersect = 0;
};

constexpr Signature kMerge{"merge",
                           {required<borrow, &MergeArgs::rle_objs>("rle_objs"),
                            optional<to_i64, &MergeArgs::intersect>("intersect")}};

// A uint8 or bool ndarray, borrowed; its shape is checked by encode.
bool to_mask_array(PyObject* o, PyObject*& out) {
  // A bool array holds the same bytes, 0 or 1: masks often come as one.
  if (is_array_of(o, NPY_UINT8) || is_array_of(o, NPY_BOOL)) {
    out = o;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to a uint8 or bool ndarray",
               Py_TYPE(o)->tp_name);
  return false;
}

struct EncodeArgs {
  PyObject* mask;
};

constexpr Signature kEncode{"encode", {required<to_mask_array, &EncodeArgs::mask>("mask")}};

// Shapes (boxes, polygons, RLE dicts) and the image's height and width,
// unsigned 32-bit.
struct ShapeArgs {
  PyObject* shapes;
  uint32_t h, w;
};

constexpr Signature<ShapeArgs, 3> shape_signature(const char* function, const char* shapes,
                                                  const char* h, const char* w) {
  return {function,
          {required<borrow, &ShapeArgs::shapes>(shapes), required<to_u32, &ShapeArgs::h>(h),
           required<to_u32, &ShapeArgs::w>(w)}};
}

constexpr auto kFrBbox = shape_signature("frBbox", "bb", "h", "w");
constexpr auto kFrPoly = shape_signature("frPoly", "poly", "h", "w");
constexpr auto kFrUncompressedRle = shape_signature("frUncompressedRLE", "uc", "_h", "_w");
constexpr auto kFrPyObjects = shape_signature("frPyObjects", "obj", "h", "w");

struct BoundaryArgs {
  PyObject* rle_objs;
  double dilation_ratio = rle::kDefaultDilationRatio;
};

constexpr Signature kToBoundary{
    "toBoundary",
    {required<borrow, &BoundaryArgs::rle_objs>("rle_objs"),
     optional<to_dilation_ratio, &BoundaryArgs::dilation_ratio>("dilation_ratio")}};

PyObject* iou(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    IouArgs a{};
    if (!bind(kIou, args, nargs, kwnames, a)) return nullptr;
    BoxesOrMasks dt, gt;
    if (!read_boxes_or_masks(a.dt, dt) || !read_boxes_or_masks(a.gt, gt)) return nullptr;
    if (dt.size() == 0 || gt.size() == 0) return PyList_New(0);
    std::vector<uint8_t> crowd;
    Ref it(PyObject_GetIter(a.iscrowd));
    if (!it) return nullptr;
    while (Ref item{PyIter_Next(it.get())}) {
      Ref index(PyNumber_Index(item.get()));
      if (!index) return nullptr;
      crowd.push_back(static_cast<uint8_t>(PyLong_AsUnsignedLongLongMask(index.get())));
    }
    if (PyErr_Occurred()) return nullptr;
    if (dt.is_masks != gt.is_masks) {
      return fail(PyExc_TypeError,
                  "The dt and gt should have the same data type, either RLEs, list or np.ndarray");
    }
    const size_t m = dt.size(), n = gt.size();
    std::vector<double> out(m * n);
    // A pair of masks costs a walk over their runs where their boxes meet.
    const uint64_t steps = uint64_t{m} * n * (dt.is_masks ? 16 : 1);
    const bool done = run_released(steps, [&] {
      if (dt.is_masks) {
        std::vector<const Rle*> dp, gp;
        for (const Rle& r : dt.masks) dp.push_back(&r);
        for (const Rle& r : gt.masks) gp.push_back(&r);
        rle::rle_iou(dp, gp, crowd, 0.0, out);
      } else {
        rle::box_iou(dt.boxes, gt.boxes, crowd, out);
      }
    });
    if (!done) return nullptr;
    npy_intp dims[2] = {static_cast<npy_intp>(m), static_cast<npy_intp>(n)};
    return array_over(std::move(out), NPY_DOUBLE, 2, dims);
  });
}

PyObject* merge(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    MergeArgs a{};
    if (!bind(kMerge, args, nargs, kwnames, a)) return nullptr;
    std::vector<Rle> masks;
    if (!read_rle_list(a.rle_objs, masks)) return nullptr;
    Rle merged;
    if (!run_released(total_runs(masks), [&] { merged = rle::rle_merge(masks, a.intersect != 0); })) {
      return nullptr;
    }
    return rle_to_dict(merged);
  });
}

PyObject* area(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    RleListArgs a{};
    if (!bind(kArea, args, nargs, kwnames, a)) return nullptr;
    std::vector<Rle> masks;
    if (!read_rle_list(a.rle_objs, masks)) return nullptr;
    std::vector<uint32_t> out;
    out.reserve(masks.size());
    for (const Rle& r : masks) out.push_back(rle::rle_area(r));
    npy_intp dims[1] = {static_cast<npy_intp>(out.size())};
    return array_over(std::move(out), NPY_UINT32, 1, dims);
  });
}

PyObject* to_bbox(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    RleListArgs a{};
    if (!bind(kToBbox, args, nargs, kwnames, a)) return nullptr;
    std::vector<Rle> masks;
    if (!read_rle_list(a.rle_objs, masks)) return nullptr;
    std::vector<double> out;
    out.reserve(4 * masks.size());
    for (const Rle& r : masks) {
      const rle::Box b = rle::rle_bbox(r);
      out.insert(out.end(), b.begin(), b.end());
    }
    npy_intp dims[2] = {static_cast<npy_intp>(masks.size()), 4};
    return array_over(std::move(out), NPY_DOUBLE, 2, dims);
  });
}

// Frees a decoded mask stack when its array goes away.
// The capsule's context holds the block's size for the allocation counters.
void free_stack(PyObject* capsule) {
  const auto size = reinterpret_cast<uintptr_t>(PyCapsule_GetContext(capsule));
  alloc::deallocate(PyCapsule_GetPointer(capsule, "quillscore.masks"), size, 16);
}

PyObject* decode(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    RleListArgs a{};
    if (!bind(kDecode, args, nargs, kwnames, a)) return nullptr;
    std::vector<Rle> masks;
    if (!read_rle_list(a.rle_objs, masks)) return nullptr;
    if (masks.empty()) return fail(PyExc_IndexError, "decode() needs at least one RLE");
    if (!numpy_ready()) return nullptr;
    const size_t h = masks[0].height, w = masks[0].width, n = masks.size();
    const size_t plane = h * w;  // below 2^64: both factors are 32-bit
    if (n != 0 && plane > static_cast<size_t>(PTRDIFF_MAX) / n) {
      return fail(PyExc_MemoryError, "decoded masks would not fit in memory");
    }
    auto* buf = static_cast<uint8_t*>(alloc::allocate_zeroed(plane * n, 16));
    Ref owner(PyCapsule_New(buf, "quillscore.masks", free_stack));
    if (!owner || PyCapsule_SetContext(owner.get(), reinterpret_cast<void*>(plane * n)) < 0) {
      if (!owner) alloc::deallocate(buf, plane * n, 16);
      return nullptr;
    }
    if (!run_released(plane * n, [&] {
          const pool::CancelCheck check;
          for (size_t i = 0; i < n; ++i) {
            check();
            rle::decode_dense(masks[i], {buf + i * plane, plane});
          }
        })) {
      return nullptr;
    }
    npy_intp dims[3] = {static_cast<npy_intp>(h), static_cast<npy_intp>(w),
                        static_cast<npy_intp>(n)};
    npy_intp strides[3] = {1, static_cast<npy_intp>(h), static_cast<npy_intp>(plane)};
    Ref arr(PyArray_New(&PyArray_Type, 3, dims, NPY_UINT8, strides, buf, 0,
                        NPY_ARRAY_WRITEABLE | NPY_ARRAY_F_CONTIGUOUS, nullptr));
    if (!arr || PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(arr.get()),
                                      owner.release()) < 0) {
      return nullptr;
    }
    return arr.release();
  });
}

PyObject* encode(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    EncodeArgs a{};
    if (!bind(kEncode, args, nargs, kwnames, a)) return nullptr;
    auto* arr = reinterpret_cast<PyArrayObject*>(a.mask);
    if (PyArray_NDIM(arr) != 3) return fail(PyExc_ValueError, "mask must be a 3-D (h, w, n) uint8 array");
    const npy_intp h = PyArray_DIM(arr, 0), w = PyArray_DIM(arr, 1), n = PyArray_DIM(arr, 2);
    const npy_intp s0 = PyArray_STRIDE(arr, 0), s1 = PyArray_STRIDE(arr, 1), s2 = PyArray_STRIDE(arr, 2);
    const char* base = static_cast<const char*>(PyArray_DATA(arr));
    const size_t plane = static_cast<size_t>(h) * static_cast<size_t>(w);
    std::vector<Rle> out;
    out.reserve(static_cast<size_t>(n));
    // The argument keeps the array, and so its pixels, alive meanwhile.
    if (!run_released(plane * static_cast<size_t>(n), [&] {
          std::vector<uint8_t> scratch;
          const pool::CancelCheck check;
          for (npy_intp i = 0; i < n; ++i) {
            check();
            const char* slice = base + i * s2;
            std::span<const uint8_t> pixels;
            if (s0 == 1 && (s1 == h || w <= 1)) {
              // Already column-major: encode in place.
              pixels = {reinterpret_cast<const uint8_t*>(slice), plane};
            } else {
              scratch.resize(plane);
              uint8_t* dst = scratch.data();
              for (npy_intp x = 0; x < w; ++x) {
                for (npy_intp y = 0; y < h; ++y) *dst++ = static_cast<uint8_t>(slice[x * s1 + y * s0]);
              }
              pixels = scratch;
            }
            out.push_back(rle::encode_dense(pixels, static_cast<uint32_t>(h), static_cast<uint32_t>(w)));
          }
        })) {
      return nullptr;
    }
    return rle_list_to_py(out);
  });
}

PyObject* fr_bbox(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    ShapeArgs a{};
    if (!bind(kFrBbox, args, nargs, kwnames, a)) return nullptr;
    return boxes_to_rles(a.shapes, a.h, a.w);
  });
}

PyObject* fr_poly(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    ShapeArgs a{};
    if (!bind(kFrPoly, args, nargs, kwnames, a)) return nullptr;
    return polygons_to_rles(a.shapes, a.h, a.w);
  });
}

PyObject* fr_uncompressed_rle(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    ShapeArgs a{};
    if (!bind(kFrUncompressedRle, args, nargs, kwnames, a)) return nullptr;
    return uncompressed_to_rles(a.shapes);
  });
}

PyObject* fr_py_objects(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    ShapeArgs a{};
    if (!bind(kFrPyObjects, args, nargs, kwnames, a)) return nullptr;
    PyObject* obj = a.shapes;
    const uint32_t h = a.h, w = a.w;
    if (is_array_of(obj, NPY_DOUBLE)) return boxes_to_rles(obj, h, w);
    if (PyDict_Check(obj)) {
      bool rle_dict;
      if (!has_counts_and_size(obj, rle_dict)) return nullptr;
      if (!rle_dict) return fail(PyExc_TypeError, "input type is not supported.");
      Rle r;
      if (!read_uncompressed_rle(obj, r)) return nullptr;
      return rle_to_dict(r);
    }
    Ref items(PySequence_List(obj));
    if (!items) return nullptr;
    const Py_ssize_t n = PyList_GET_SIZE(items.get());
    if (n == 0) return PyList_New(0);
    PyObject* first = PyList_GET_ITEM(items.get(), 0);
    if (PyDict_Check(first)) {
      bool rle_dict;
      if (!has_counts_and_size(first, rle_dict)) return nullptr;
      if (rle_dict) return uncompressed_to_rles(items.get());
    }
    // Only objects with a number slot can convert to a float; asking the
    // others would cost a raised and discarded exception per call.
    const PyNumberMethods* num = Py_TYPE(first)->tp_as_number;
    double probe;
    if (num && (num->nb_float || num->nb_index) && to_f64(first, probe)) {
      // One flat coordinate list: four values are a box, more a polygon.
      std::vector<double> coords;
      if (!to_f64_vector(items.get(), coords)) return nullptr;
      rle::RasterWorkspace ws;
      return rle_to_dict(coords.size() == 4
                             ? rle::rle_from_box({coords[0], coords[1], coords[2], coords[3]}, h, w)
                             : rle::rle_from_polygon(coords, h, w, ws));
    }
    PyErr_Clear();
    const Py_ssize_t len = PyObject_Size(first);
    if (len < 0) return nullptr;
    return len == 4 ? boxes_to_rles(items.get(), h, w) : polygons_to_rles(items.get(), h, w);
  });
}

PyObject* to_boundary(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    BoundaryArgs a{};
    if (!bind(kToBoundary, args, nargs, kwnames, a)) return nullptr;
    std::vector<Rle> masks;
    if (!read_rle_list(a.rle_objs, masks)) return nullptr;
    uint64_t pixels = 0;
    for (const Rle& m : masks) pixels += uint64_t{m.height} * m.width;
    if (!run_released(pixels, [&] {
          const pool::CancelCheck check;
          for (Rle& m : masks) {
            check();
            m = rle::rle_boundary(m, a.dilation_ratio);
          }
        })) {
      return nullptr;
    }
    return rle_list_to_py(masks);
  });
}

}  // namespace

std::span<PyMethodDef> mask_functions() {
  static PyMethodDef functions[] = {
      keyword_function<encode>(kEncode),
      keyword_function<decode>(kDecode),
      keyword_function<merge>(kMerge),
      keyword_function<area>(kArea),
      keyword_function<to_bbox>(kToBbox),
      keyword_function<iou>(kIou),
      keyword_function<fr_bbox>(kFrBbox),
      keyword_function<fr_poly>(kFrPoly),
      keyword_function<fr_uncompressed_rle>(kFrUncompressedRle),
      keyword_function<fr_py_objects>(kFrPyObjects),
      keyword_function<to_boundary>(kToBoundary,
                                    "Extension: boundary mask of an RLE, for Boundary IoU."),
  };
  return functions;
}

}  // namespace quillscore::py
