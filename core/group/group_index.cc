#include "core/group/group_index.h"

#include <algorithm>
#include <tuple>
#include <utility>
#include <vector>

#include "core/base/checked.h"
#include "core/base/error.h"
#include "core/pool/pool.h"

namespace quillscore::group {
namespace {

// Major-key runs per chunk of the parallel ordering pass: runs by category
// are long, runs by image short and many. Fewer annotations than
// kRowsForThreads are ordered on the calling thread: waking a worker costs
// more than checking them.
constexpr size_t kRunsPerChunk = 64;
constexpr size_t kRowsForThreads = size_t{1} << 16;

// The groups [first, end) of `slot`.
std::pair<uint32_t, uint32_t> slot_groups(const GroupIndex& index, uint32_t slot) {
  const auto [first, end] = checked_at(index.slots, slot, "category slot");
  if (first > end || end > index.groups.size()) throw InternalError("group range out of bounds");
  return {first, end};
}

// The group of `image` among a slot's groups (ascending by image), if any.
const ImageGroup* find_group(const GroupIndex& index, uint32_t slot, uint32_t image) {
  const auto [first, end] = slot_groups(index, slot);
  const auto begin_it = index.groups.begin() + first, end_it = index.groups.begin() + end;
  const auto it = std::lower_bound(begin_it, end_it, image,
                                   [](const ImageGroup& g, uint32_t img) { return g.image < img; });
  return it != end_it && it->image == image ? &*it : nullptr;
}

}  // namespace

GroupIndex build_group_index(std::span<const uint32_t> image_index,
                             std::span<const uint32_t> category_index, uint32_t slots,
                             bool use_cats) {
  if (image_index.size() != category_index.size()) {
    throw InternalError("image and category columns differ in length");
  }
  // Listed annotations (image and category both listed) in ascending
  // order, stably ordered by the major key (category then image with categories in use, image then category
  // without) in one counting pass, and each major key's run stably by the
  // minor key. The minor key travels with each annotation, so that no pass
  // after the first reads the columns out of order (at millions of rows
  // those reads, not the counting, were the cost). Sources mostly list
  // annotations image by image, so a run is usually in order already and
  // only checked; runs are independent, and are checked (and, where needed,
  // sorted) in parallel.
  const auto listed = [&](size_t i) { return image_index[i] != kUnlisted && category_index[i] != kUnlisted; };
  size_t n = 0;
  uint32_t max_img = 0, max_cat = 0;
  for (size_t i = 0; i < image_index.size(); ++i) {
    if (!listed(i)) continue;
    if (use_cats) checked_index(category_index[i], slots, "category slot");
    ++n;
    max_img = std::max(max_img, image_index[i]);
    max_cat = std::max(max_cat, category_index[i]);
  }
  GroupIndex index;
  index.slots.assign(slots, {0, 0});
  if (n == 0) return index;
  if (!use_cats) checked_index(0, slots, "category slot");
  const std::span<const uint32_t> major = use_cats ? category_index : image_index,
                                  minor = use_cats ? image_index : category_index;
  // The counting pass and the placing, each over blocks of rows in
  // parallel: a block's rows of key k go after those of the blocks before
  // it, so the order stays the rows' order within each key.
  // start[k]: where major key k's run begins; start[k + 1] where it ends.
  const size_t runs = size_t{use_cats ? max_cat : max_img} + 1, rows = major.size();
  const size_t blocks = n < kRowsForThreads ? 1 : std::clamp<size_t>(pool::configured_size(), 1, 8);
  const auto block_rows = [&](size_t b) { return std::pair{rows * b / blocks, rows * (b + 1) / blocks}; };
  std::vector<std::vector<size_t>> next(blocks, std::vector<size_t>(runs, 0));
  pool::parallel_chunks(blocks, [&](size_t begin, size_t end) {
    for (size_t b = begin; b < end; ++b) {
      const auto [first, last] = block_rows(b);
      for (size_t i = first; i < last; ++i) {
        if (listed(i)) ++next[b][major[i]];
      }
    }
  });
  std::vector<size_t> start(runs + 1, 0);
  for (size_t k = 0, at = 0; k < runs; ++k) {
    start[k] = at;
    for (size_t b = 0; b < blocks; ++b) at += std::exchange(next[b][k], at);
    start[k + 1] = at;
  }
  index.order.resize(n);
  std::vector<uint32_t> minor_of(n);
  pool::parallel_chunks(blocks, [&](size_t begin, size_t end) {
    for (size_t b = begin; b < end; ++b) {
      const auto [first, last] = block_rows(b);
      std::vector<size_t>& place = next[b];
      for (size_t i = first; i < last; ++i) {
        if (!listed(i)) continue;
        const size_t at = place[major[i]]++;
        index.order[at] = static_cast<uint32_t>(i);
        minor_of[at] = minor[i];
      }
    }
  });
  // One group per (slot, image): with categories in use a slot is a major
  // key's run and its images the minor keys; without, slot 0 holds a group
  // per image, the major key. Each run's groups are counted as the run is
  // checked, so that all are laid out at once and filled in parallel.
  std::vector<uint32_t> group_count(runs, 0);
  const size_t run_grain = n < kRowsForThreads ? runs : kRunsPerChunk;
  pool::parallel_chunks(runs, [&](size_t begin, size_t end) {
    std::vector<std::pair<uint32_t, uint32_t>> pairs;  // (minor key, annotation)
    for (size_t k = begin; k < end; ++k) {
      const size_t first = start[k], last = start[k + 1];
      if (!std::is_sorted(minor_of.begin() + first, minor_of.begin() + last)) {
        pairs.clear();
        for (size_t at = first; at < last; ++at) pairs.emplace_back(minor_of[at], index.order[at]);
        std::stable_sort(pairs.begin(), pairs.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        for (size_t at = first; at < last; ++at) std::tie(minor_of[at], index.order[at]) = pairs[at - first];
      }
      if (first == last) continue;
      if (!use_cats) {
        group_count[k] = 1;
        continue;
      }
      uint32_t count = 1;
      for (size_t at = first + 1; at < last; ++at) count += minor_of[at] != minor_of[at - 1];
      group_count[k] = count;
    }
  }, run_grain);
  std::vector<size_t> group_start(runs + 1, 0);
  for (size_t k = 0; k < runs; ++k) group_start[k + 1] = group_start[k] + group_count[k];
  index.groups.resize(group_start[runs]);
  pool::parallel_chunks(runs, [&](size_t begin, size_t end) {
    for (size_t k = begin; k < end; ++k) {
      const size_t first = start[k], last = start[k + 1];
      if (first == last) continue;
      ImageGroup* g = index.groups.data() + group_start[k];
      if (!use_cats) {
        *g = {static_cast<uint32_t>(k), static_cast<uint32_t>(first), static_cast<uint32_t>(last - first)};
        continue;
      }
      index.slots[k] = {static_cast<uint32_t>(group_start[k]), static_cast<uint32_t>(group_start[k + 1])};
      *g = {minor_of[first], static_cast<uint32_t>(first), 0};
      for (size_t at = first; at < last; ++at) {
        if (at != first && minor_of[at] != minor_of[at - 1]) *++g = {minor_of[at], static_cast<uint32_t>(at), 0};
        ++g->count;
      }
    }
  }, run_grain);
  if (!use_cats) index.slots[0] = {0, static_cast<uint32_t>(index.groups.size())};
  return index;
}

GroupMarks::GroupMarks(std::span<const uint32_t> image_index, std::span<const uint32_t> category_index,
                       size_t images, uint32_t slots, bool use_cats)
    : images_(images), slots_(use_cats ? slots : 1), use_cats_(use_cats) {
  if (image_index.size() != category_index.size()) throw InternalError("index columns differ in length");
  if (images_ * slots_ > kMaxMarkedGroups) return;
  kept_ = true;
  bits_.assign((images_ * slots_ + 63) / 64, 0);
  for (size_t i = 0; i < image_index.size(); ++i) {
    const uint32_t image = image_index[i], slot = use_cats_ ? category_index[i] : 0;
    // Unlisted annotations belong to no group.
    if (image >= images_ || slot >= slots_ || category_index[i] == kUnlisted) continue;
    const uint64_t bit = uint64_t{slot} * images_ + image;
    bits_[bit >> 6] |= uint64_t{1} << (bit & 63);
  }
}

std::vector<PairedGroup> pair_groups(const GroupIndex& gt, const GroupIndex& dt, uint32_t slot) {
  const auto [gb, ge] = slot_groups(gt, slot);
  const auto [db, de] = slot_groups(dt, slot);
  std::vector<PairedGroup> out;
  out.reserve((ge - gb) + (de - db));
  uint32_t i = gb, j = db;
  while (i < ge || j < de) {
    PairedGroup p;
    const bool take_gt = i < ge && (j >= de || gt.groups[i].image <= dt.groups[j].image);
    const bool take_dt = j < de && (i >= ge || dt.groups[j].image <= gt.groups[i].image);
    if (take_gt) {
      p.has_gt = true;
      p.gt = gt.groups[i++];
      p.image = p.gt.image;
    }
    if (take_dt) {
      p.has_dt = true;
      p.dt = dt.groups[j++];
      p.image = p.dt.image;
    }
    out.push_back(p);
  }
  return out;
}

PairedGroup find_pair(const GroupIndex& gt, const GroupIndex& dt, uint32_t slot, uint32_t image) {
  PairedGroup p;
  p.image = image;
  if (const ImageGroup* g = find_group(gt, slot, image)) {
    p.has_gt = true;
    p.gt = *g;
  }
  if (const ImageGroup* d = find_group(dt, slot, image)) {
    p.has_dt = true;
    p.dt = *d;
  }
  return p;
}

}  // namespace quillscore::group
