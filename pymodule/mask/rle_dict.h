// RLE dicts, box lists and their conversions to and from the core's records.
#pragma once

#include "pymodule/platform.h"

#include <vector>

#include "core/rle/rle.h"

namespace quillscore::py {

// An RLE dict's "size": exactly two whole numbers, [h, w].
bool read_rle_size(PyObject* size, uint32_t& h, uint32_t& w);
// {"size": [h, w], "counts": bytes | str | list of ints} into a mask.
bool read_rle_dict(PyObject* o, rle::Rle& out);
// Any iterable of RLE dicts.
bool read_rle_list(PyObject* o, std::vector<rle::Rle>& out);
// An uncompressed RLE dict of frUncompressedRLE: counts are always a
// sequence of ints (bytes included, as their byte values).
bool read_uncompressed_rle(PyObject* o, rle::Rle& out);

// A new {"size": [h, w], "counts": bytes} dict.
PyObject* rle_to_dict(const rle::Rle& r);
// A new list of such dicts.
PyObject* rle_list_to_py(const std::vector<rle::Rle>& masks);

// Either boxes (a float64 (N, 4) array or rows of four numbers) or masks (a
// list whose first item is a dict).
struct BoxesOrMasks {
  std::vector<rle::Box> boxes;
  std::vector<rle::Rle> masks;
  bool is_masks = false;
  size_t size() const { return is_masks ? masks.size() : boxes.size(); }
};
bool read_boxes_or_masks(PyObject* o, BoxesOrMasks& out);

}  // namespace quillscore::py
