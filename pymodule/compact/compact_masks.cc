#include "pymodule/compact/compact_masks.h"

#include <chrono>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/base/error.h"
#include "core/intake/builder.h"
#include "core/pool/cancel.h"
#include "core/pool/pool.h"
#include "core/rle/boundary.h"
#include "core/rle/codec.h"
#include "core/rle/ops.h"
#include "core/rle/raster.h"
#include "pymodule/lib/intake.h"
#include "pymodule/lib/interrupt.h"

namespace quillscore::py {
namespace {

// One record's mask at h x w, as rasterising its segmentation dict gives it.
rle::Rle rasterise_row(const json::MaskColumns& m, size_t i, uint32_t h, uint32_t w,
                       rle::RasterWorkspace& ws) {
  const json::SegmentRow& s = m.rows[i];
  switch (s.kind) {
    case json::SegmentRow::kCompressed:
      return rle::counts_from_string(std::string_view(m.text->begin() + s.begin, s.end - s.begin), h, w);
    case json::SegmentRow::kRuns:
      return rle::Rle{h, w, std::vector<uint32_t>(m.runs.begin() + s.begin, m.runs.begin() + s.end)};
    case json::SegmentRow::kPolygons:
      break;
  }
  rle::Polygons p;
  p.coords.assign(m.coords.begin() + s.begin, m.coords.begin() + s.end);
  p.ends.assign(m.ring_ends.begin() + s.ring_begin, m.ring_ends.begin() + s.ring_begin + s.rings);
  return rle::rasterise_segmentation(p, h, w, ws);
}

}  // namespace

bool compact_mask_set(const CompactData& data, bool is_gt, const intake::LookupTables& tables,
                      eval::IouType kind, double dilation, eval::AnnotationSet& out,
                      uint64_t& rasterise_ns, const group::GroupMarks* meets) {
  const json::Columns& c = data.columns;
  const json::MaskColumns& m = c.masks;
  const size_t n = c.size();
  if (m.rows.size() != n) throw InternalError("mask rows do not match the records");

  // The kept records and their sizes, decided as the set builder decides.
  std::vector<uint32_t> kept;
  std::vector<std::pair<uint32_t, uint32_t>> sizes;
  std::vector<uint8_t> box_later;  // by kept record, where `meets` is given
  intake::PositionLookup images(tables.images), categories(tables.categories);
  kept.reserve(n);
  sizes.reserve(n);
  if (meets) box_later.reserve(n);
  // Records come image by image: the last image's size is asked again.
  int64_t sized_image = 0;
  const std::pair<uint32_t, uint32_t>* image_size = nullptr;
  uint64_t cost = 0;
  for (size_t i = 0; i < n; ++i) {
    const json::KeyRow& key = c.keys[i];
    const uint32_t image = images(key.image_id), category = categories(key.category_id);
    if (image == group::kUnlisted || category == group::kUnlisted) continue;
    if (meets) box_later.push_back(!meets->holds(image, category));
    const json::SegmentRow& s = m.rows[i];
    if (!image_size || key.image_id != sized_image) {
      const auto it = tables.sizes.find(key.image_id);
      image_size = it == tables.sizes.end() ? nullptr : &it->second;
      sized_image = key.image_id;
    }
    std::pair<uint32_t, uint32_t> hw{s.height, s.width};
    if (image_size) {
      hw = *image_size;
    } else if (s.kind == json::SegmentRow::kPolygons) {
      return no_image_size(key.image_id);
    }
    kept.push_back(static_cast<uint32_t>(i));
    sizes.push_back(hw);
    cost += s.end - s.begin + hw.second;
  }

  const bool boundary = kind == eval::IouType::kBoundary;
  // Masks all given as counts text stay packed in the columns' text (segm;
  // boundary bands are worked out from the runs): they are decoded here
  // only for their extents, which give results their areas.
  bool packed = !boundary && m.text;
  for (uint32_t i : kept) packed = packed && m.rows[i].kind == json::SegmentRow::kCompressed;
  std::vector<rle::Rle> masks(packed ? 0 : kept.size()), bands(boundary ? kept.size() : 0);
  eval::MaskExtents extents;
  if (packed) {
    extents.boxes.resize(kept.size());
    extents.areas.resize(kept.size());
  }
  const auto start = std::chrono::steady_clock::now();
  if (!run_released(cost, [&] {
        pool::parallel_chunks(kept.size(), [&](size_t begin, size_t end) {
          rle::RasterWorkspace ws;
          const pool::CancelCheck check;
          for (size_t j = begin; j < end; ++j) {
            check();
            if (packed) {
              // Packed masks are all compressed text: their extents are read
              // off the text, and the masks decoded only where compared.
              const json::SegmentRow& s = m.rows[kept[j]];
              const std::string_view counts(m.text->begin() + s.begin, s.end - s.begin);
              if (meets && box_later[j]) {
                // No ground truth of its group to meet: the area is all
                // that is needed, and it reads in a fraction of the time.
                extents.boxes[j] = eval::MaskExtents::kBoxLater;
                extents.areas[j] = rle::area_from_string(counts);
                continue;
              }
              const rle::RunExtent e = rle::extent_from_string(counts, sizes[j].first, sizes[j].second);
              const rle::Box b = e.box();
              for (size_t k = 0; k < 4; ++k) extents.boxes[j][k] = static_cast<uint32_t>(b[k]);
              extents.areas[j] = e.area();
              continue;
            }
            masks[j] = rasterise_row(m, kept[j], sizes[j].first, sizes[j].second, ws);
            if (boundary) bands[j] = rle::rle_boundary(masks[j], dilation);
          }
        });
      })) {
    return false;
  }
  rasterise_ns += static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                            std::chrono::steady_clock::now() - start)
                                            .count());

  intake::SetBuilder builder(tables, kind,
                             is_gt ? intake::Side::kGroundTruth : intake::Side::kDetections,
                             intake::Unlisted::kDrop);
  // Record i, whose mask is masks[j] when it is kept.
  const auto row_of = [&](size_t i, size_t j, bool keep) {
    intake::Row row = compact_row(data, i);
    if (data.results && !m.rows[i].has_box && keep) {
      row.area = packed ? extents.areas[j] : rle::rle_area(masks[j]);
    }
    return row;
  };
  if (kept.size() == n) {
    builder.add_rows(n, [&](size_t i) { return row_of(i, i, true); });
  } else {
    builder.reserve(kept.size());
    size_t next = 0;  // the next kept record, whose mask is masks[next]
    for (size_t i = 0; i < n; ++i) {
      const bool keep = next < kept.size() && kept[next] == i;
      if (builder.add(row_of(i, next, keep)) != keep) {
        throw InternalError("kept mask records disagree with the set");
      }
      next += keep;
    }
  }
  out = std::move(builder).finish();
  if (out.size() != kept.size()) throw InternalError("kept mask records disagree with the set");
  if (boundary) {
    auto& g = std::get<eval::BoundaryMasks>(out.geometry);
    g.masks = std::move(masks);
    g.bands = std::move(bands);
  } else if (!packed) {
    std::get<eval::Masks>(out.geometry).masks = std::move(masks);
  } else {
    auto& g = std::get<eval::Masks>(out.geometry);
    eval::PackedMasks& p = g.packed;
    p.text = std::shared_ptr<const char>(m.text, m.text->begin());
    p.begin.resize(kept.size());
    p.end.resize(kept.size());
    p.height.resize(kept.size());
    p.width.resize(kept.size());
    for (size_t j = 0; j < kept.size(); ++j) {
      const json::SegmentRow& s = m.rows[kept[j]];
      p.begin[j] = s.begin;
      p.end[j] = s.end;
      p.height[j] = sizes[j].first;
      p.width[j] = sizes[j].second;
    }
    g.extents = std::move(extents);
  }
  return true;
}

}  // namespace quillscore::py
