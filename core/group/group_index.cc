#include "core/group/group_index.h"

#include <algorithm>

#include "core/base/checked.h"
#include "core/base/error.h"

namespace quillscore::group {
namespace {

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
  // Listed annotations in ascending order, then stably ordered by the minor
  // key and again by the major one (category then image with categories in
  // use, image then category without): two counting passes, each linear in
  // the annotations, where a comparison sort of millions of keys was not.
  std::vector<uint32_t> listed;
  listed.reserve(image_index.size());
  uint32_t max_img = 0, max_cat = 0;
  for (size_t i = 0; i < image_index.size(); ++i) {
    const uint32_t img = image_index[i], cat = category_index[i];
    if (img == kUnlisted || cat == kUnlisted) continue;
    if (use_cats) checked_index(cat, slots, "category slot");
    listed.push_back(static_cast<uint32_t>(i));
    max_img = std::max(max_img, img);
    max_cat = std::max(max_cat, cat);
  }
  const std::span<const uint32_t> major = use_cats ? category_index : image_index,
                                  minor = use_cats ? image_index : category_index;
  std::vector<uint32_t> scratch(listed.size());
  auto stable_by = [&](std::span<const uint32_t> key, uint32_t max_key) {
    std::vector<size_t> start(size_t{max_key} + 2, 0);
    for (uint32_t i : listed) ++start[size_t{key[i]} + 1];
    for (size_t k = 1; k < start.size(); ++k) start[k] += start[k - 1];
    for (uint32_t i : listed) scratch[start[key[i]]++] = i;
    listed.swap(scratch);
  };
  if (!listed.empty()) {
    stable_by(minor, use_cats ? max_img : max_cat);
    stable_by(major, use_cats ? max_cat : max_img);
  }

  GroupIndex index;
  index.order.reserve(listed.size());
  index.slots.assign(slots, {0, 0});
  uint32_t cur_slot = 0, cur_image = 0;
  for (const uint32_t ann : listed) {
    const uint32_t slot = use_cats ? category_index[ann] : 0;
    const uint32_t image = image_index[ann];
    checked_index(slot, slots, "category slot");
    const auto pos = static_cast<uint32_t>(index.order.size());
    if (index.groups.empty() || slot != cur_slot || image != cur_image) {
      if (index.groups.empty() || slot != cur_slot) {
        index.slots[slot].first = static_cast<uint32_t>(index.groups.size());
      }
      index.groups.push_back({image, pos, 0});
      index.slots[slot].second = static_cast<uint32_t>(index.groups.size());
      cur_slot = slot;
      cur_image = image;
    }
    ++index.groups.back().count;
    index.order.push_back(ann);
  }
  return index;
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
