// Deliberately literal versions of the mask routines, written for clarity and
// not for speed, that the core's unit tests and the fuzzers both hold the
// optimised code to. Only for small inputs.
//
// Two layers, one function per operation in each:
//  - pixels (naive_*): what a mask means. Runs are expanded into one byte per
//    pixel and combined pixel by pixel; right for well-formed masks (runs
//    covering exactly height x width pixels).
//  - runs (walk_*, literal_*): the run-length walks step by step as the pixel
//    rule states them. They are defined on any counts, including counts whose
//    sums disagree with the image or with each other, which the fuzzers feed
//    the core and where the core must still give exactly the rule's answer.
//
// Built as a library of its own (not inline), so that the fuzzers compile it
// without coverage feedback: libFuzzer should steer by the core's branches.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/rle/rle.h"

namespace quillscore::rle::testref {

using Pixels = std::vector<uint8_t>;

// --- pixels ------------------------------------------------------------------

// Expands runs into `out` one pixel at a time; runs past the end are cut and
// pixels no run reaches keep their value.
void naive_decode_into(std::span<const uint32_t> counts, std::span<uint8_t> out);
// n pixels from runs, zero where the runs do not reach.
Pixels naive_dense(std::span<const uint32_t> counts, size_t n);
// The h*w pixels of a mask, zero where the runs do not reach.
Pixels naive_decode(const Rle& m);
// Canonical runs of a byte sequence: a new run at every change of value,
// starting with a (possibly empty) run of zeros.
std::vector<uint32_t> naive_runs(std::span<const uint8_t> px);
Rle naive_encode(std::span<const uint8_t> px, uint32_t h, uint32_t w);

// Smallest box holding every set pixel; [0, 0, 0, 0] when none is set.
Box naive_bbox(const Pixels& px, uint32_t h, uint32_t w);
// Union or intersection of masks of one size, pixel by pixel.
Rle naive_merge(const std::vector<Rle>& masks, bool intersect);
// IoU of two masks of one size counted pixel by pixel; a crowd ground truth
// divides by the detection's area.
double naive_mask_iou(const Pixels& dt, const Pixels& gt, bool crowd);

// --- runs --------------------------------------------------------------------

// The compressed counts string decoded and encoded from the format's
// description, one step per rule, for any bytes and any counts.
std::vector<uint32_t> literal_decode_counts(std::string_view s);
std::string literal_encode_counts(const std::vector<uint32_t>& counts);

uint64_t counts_sum(const std::vector<uint32_t>& c);
// A mask as the system itself would produce it: counts covering exactly h*w
// pixels and no empty run except possibly the leading run of zeros.
bool canonical(const Rle& r);

// Whether ground truth g is a crowd: a flag list shorter than the ground
// truths flags the rest as not crowd.
bool is_crowd(const std::vector<uint8_t>& crowd, size_t g);

// Area and box by the walk over the runs (32-bit sums, as the rule has them).
uint32_t walk_area(const Rle& r);
Box walk_bbox(const Rle& r);

// The box IoU matrix, out[d * gt.size() + g], with the crowd rule for ground
// truths flagged in `crowd` (a short list flags the rest as not crowd), and
// min and max that take the other operand when one is NaN.
void literal_box_iou(const std::vector<Box>& dt, const std::vector<Box>& gt,
                     const std::vector<uint8_t>& crowd, std::vector<double>& out);

// Union or intersection by the fold walk; nullopt when some fold step would
// walk counts whose sums disagree, which the pixel rule leaves open.
std::optional<Rle> walk_merge(const std::vector<Rle>& masks, bool intersect);

// The mask IoU matrix by the pixel rule, with pruning below `theta` when it
// is positive. defined[e] is false for entries whose walk would compare
// counts with disagreeing sums (left open).
void walk_iou(const std::vector<Rle>& dt, const std::vector<Rle>& gt,
              const std::vector<uint8_t>& crowd, double theta, std::vector<double>& out,
              std::vector<uint8_t>& defined);

// --- polygons and boundary bands ---------------------------------------------

// Add 0.5 and truncate toward zero; out of range (and NaN) is INT32_MIN.
int32_t quantise(double v);
// Number of outline points the literal walk visits for these coordinates, so
// that callers can keep the reference within a memory budget.
uint64_t outline_points(std::span<const double> coords);
// The polygon rasteriser as the pixel rule states it: every outline point of
// the 5x finer grid stored, crossings sorted into runs.
Rle literal_polygon(std::span<const double> coords, uint32_t h, uint32_t w);

// Erosion passes for a dilation ratio: round(ratio * diagonal), at least 1.
int64_t erosion_passes(uint32_t h, uint32_t w, double ratio);
// The boundary band by repeated 3x3 erosion with a background frame.
Rle literal_boundary(const Rle& mask, double ratio);

}  // namespace quillscore::rle::testref
