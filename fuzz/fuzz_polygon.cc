// Polygon and box rasterisation. Any coordinates (NaN, infinities, values far
// outside 32 bits) must rasterise or be refused with InputError, never crash.
// When the outline is short enough to walk point by point, the mask must equal
// the literal rasteriser's, bit for bit; so must a box, and a multi-polygon
// segmentation must equal the union of its polygons.
//
// Input: h, w, polygon split selector, then coordinates, each a tag byte and
// its value bytes (see coordinate()).
#include <cmath>

#include "core/base/error.h"
#include "core/rle/raster.h"
#include "fuzz/support.h"

using namespace quillscore::rle;

namespace {

constexpr size_t kMaxCoords = 96;
// Keeps the literal walk affordable.
constexpr uint64_t kMaxWalk = 1'000'000;
// The extra checks repeat the literal walk; keep them to cheaper outlines.
constexpr uint64_t kMaxExtraWalk = 100'000;

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kSpecial[] = {
    kNan, kInf, -kInf, 1e300, -1e300, 5e-324, -0.0, -0.1, -0.3, -0.5, -0.7, -1.5, 0.1, 0.5,
    0.7, 2.5, 429496729.5, -429496729.5, 429496729.7, -429496729.7, 429496729.9, -429496729.9,
    2147483647.0, -2147483648.0, 4294967296.0, 1e10, -1e10, 13107.2, 13107.4, 65536.0,
    0.3, 0.9,
};

double coordinate(fuzz::Reader& in) {
  switch (in.u8() % 16) {
    case 0:
    case 1:
      return in.f64();
    case 2:
      return kSpecial[in.u8() % std::size(kSpecial)];
    case 11:
    case 12:
      // Tenths land on and next to the half steps of the fine grid.
      return in.u8() / 10.0 - 2.0;
    case 13:
    case 14:
      return static_cast<int16_t>(in.u16()) / 8.0;
    case 15:
      // Long edges, where the core stops walking point by point.
      return static_cast<int16_t>(in.u16()) * 4.0;
    default:
      // Near the image, on a quarter-pixel grid.
      return static_cast<int8_t>(in.u8()) / 4.0 + 16.0;
  }
}

void mismatch(const char* what, const std::vector<double>& coords, uint32_t h, uint32_t w,
              const Rle& want, const Rle& got) {
  std::fprintf(stderr, "h=%u w=%u polygon:", h, w);
  for (double c : coords) std::fprintf(stderr, " %.17g", c);
  std::fprintf(stderr, "\n");
  fuzz::print_rle("expected", want);
  fuzz::print_rle("actual", got);
  fuzz::fail(what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Reader in(data, size);
  const uint32_t h = in.u8() % 41, w = in.u8() % 41;
  const uint8_t split = in.u8();
  std::vector<double> coords;
  while (!in.empty() && coords.size() < kMaxCoords) coords.push_back(coordinate(in));

  // With w = 0 no column is out of range, so a long outline keeps a crossing
  // at every fifth fine column: tens of millions of them, seconds per run.
  // Such inputs only cost time; skip them to keep the fuzzer fast.
  const bool affordable = fuzz::ref::outline_points(coords) <= kMaxWalk;
  if (w == 0 && !affordable) return 0;

  RasterWorkspace ws;
  std::optional<Rle> got;
  try {
    got = rle_from_polygon(coords, h, w, ws);
  } catch (const quillscore::InputError&) {
    // Deliberate refusal of an absurd outline.
  }
  if (!affordable) return 0;
  FUZZ_CHECK(got.has_value(), "InputError for a polygon with a short outline");

  const Rle want = fuzz::ref::literal_polygon(coords, h, w);
  if (*got != want) {
    mismatch("rle_from_polygon differs from the literal rasteriser", coords, h, w, want, *got);
  }

  // The workspace is dirty now; it must not leak into the next polygon.
  const Rle again = rle_from_polygon(coords, h, w, ws);
  if (again != want) {
    mismatch("rle_from_polygon depends on the workspace's contents", coords, h, w, want, again);
  }

  if (fuzz::ref::outline_points(coords) > kMaxExtraWalk) return 0;
  if (coords.size() >= 4) {
    const Box box{coords[0], coords[1], coords[2], coords[3]};
    const std::vector<double> corners{box[0], box[1], box[0], box[1] + box[3],
                                      box[0] + box[2], box[1] + box[3], box[0] + box[2], box[1]};
    if (fuzz::ref::outline_points(corners) <= kMaxExtraWalk) {
      const Rle want_box = fuzz::ref::literal_polygon(corners, h, w);
      const Rle got_box = rle_from_box(box, h, w);
      if (got_box != want_box) {
        mismatch("rle_from_box differs from its corner polygon", corners, h, w, want_box, got_box);
      }
    }
  }

  // The same coordinates cut into up to four polygons: their union.
  Polygons polys;
  polys.coords = coords;
  const size_t parts = 1 + split % 4;
  for (size_t i = 1; i <= parts; ++i) {
    polys.ends.push_back(static_cast<uint32_t>(coords.size() * i / parts));
  }
  std::vector<Rle> masks;
  for (size_t i = 0, begin = 0; i < polys.ends.size(); begin = polys.ends[i++]) {
    // Each piece closes its own ring, which may be a long edge.
    const std::vector<double> piece(coords.begin() + begin, coords.begin() + polys.ends[i]);
    if (fuzz::ref::outline_points(piece) > kMaxExtraWalk) return 0;
    masks.push_back(fuzz::ref::literal_polygon(piece, h, w));
  }
  const std::optional<Rle> want_union = fuzz::ref::walk_merge(masks, false);
  const Rle got_union = rasterise_segmentation(Segmentation{polys}, h, w, ws);
  if (want_union && got_union != *want_union) {
    mismatch("rasterise_segmentation differs from the union of its polygons", coords, h, w,
             *want_union, got_union);
  }
  return 0;
}
