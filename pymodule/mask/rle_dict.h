// RLE dicts, box lists and their conversions to and from the core's records.
#pragma once

#include "pymodule/platform.h"

#include <string_view>
#include <vector>

#include "core/rle/rle.h"
#include "pymodule/lib/ref.h"

namespace quillscore::py {

// An RLE dict's "size": exactly two whole numbers, [h, w].
bool read_rle_size(PyObject* size, uint32_t& h, uint32_t& w);
// An RLE dict read but not yet decoded: a compressed counts string is
// borrowed from the dict's own object (held here), so that the decoding can
// run without the interpreter lock.
struct RleSource {
  uint32_t height = 0, width = 0;
  bool compressed = false;
  std::string_view bytes;        // compressed: the counts string
  std::vector<uint32_t> counts;  // otherwise: the runs as given
  Ref owner;                     // keeps `bytes` alive
  rle::Rle decode() &&;          // no interpreter lock needed
};
bool read_rle_source(PyObject* o, RleSource& out);
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
