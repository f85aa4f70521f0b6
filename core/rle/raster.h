// Rasterisation of polygons, boxes and whole segmentation values into masks.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "core/rle/rle.h"

namespace quillscore::rle {

// Scratch reused across rasterisations on one thread; its contents between
// calls are meaningless.
struct RasterWorkspace {
  std::vector<int32_t> qx, qy;        // vertices on the fine grid
  std::vector<uint32_t> cols, rows;   // pixels where the outline crosses a column centre
  std::vector<uint32_t> crossings;    // their pixel indexes, sorted
  std::vector<uint32_t> buckets;      // per-column counts of the sort
  std::vector<Rle> masks;             // per-polygon masks of a multi-polygon segmentation
};

// All coordinates of all polygons in one flat list; ends[i] is the cumulative
// length after polygon i.
struct Polygons {
  std::vector<double> coords;
  std::vector<uint32_t> ends;
};
struct Counts {
  std::vector<uint32_t> counts;
};
struct CompressedCounts {
  std::string bytes;
};
using Segmentation = std::variant<Polygons, Counts, CompressedCounts, Box>;

// Mask of one polygon [x0, y0, x1, y1, ...] (an odd trailing value is ignored).
Rle rle_from_polygon(std::span<const double> coords, uint32_t h, uint32_t w,
                     RasterWorkspace& ws);

// Mask of the box [x, y, bw, bh], rasterised as its four-corner polygon.
Rle rle_from_box(const Box& box, uint32_t h, uint32_t w);

// Mask of a segmentation value; h and w become the mask's size in every form.
Rle rasterise_segmentation(const Segmentation& seg, uint32_t h, uint32_t w, RasterWorkspace& ws);

}  // namespace quillscore::rle
