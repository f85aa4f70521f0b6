#include "core/group/group_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <tuple>
#include <vector>

namespace quillscore::group {
namespace {

constexpr uint32_t kOut = kUnlisted;

// A group written as (image, its annotation indexes in order).
struct Group {
  uint32_t image;
  std::vector<uint32_t> members;
  friend bool operator==(const Group&, const Group&) = default;
};

std::vector<Group> slot_groups(const GroupIndex& idx, uint32_t slot) {
  std::vector<Group> out;
  const auto [first, end] = idx.slots.at(slot);
  for (uint32_t g = first; g < end; ++g) {
    const auto m = idx.members(idx.groups.at(g));
    out.push_back({idx.groups[g].image, {m.begin(), m.end()}});
  }
  return out;
}

void PrintTo(const Group& g, std::ostream* os) {
  *os << "image " << g.image << ": " << ::testing::PrintToString(g.members);
}

struct IndexCase {
  const char* what;
  std::vector<uint32_t> images, cats;
  uint32_t slots;
  bool use_cats;
  std::vector<std::vector<Group>> expected;  // per slot
};

TEST(GroupIndex, Examples) {
  const IndexCase cases[] = {
      {"per category, ascending image within each",
       {2, 0, 2, 1, 0}, {1, 0, 0, 1, 1}, 2, true,
       {{{0, {1}}, {2, {2}}}, {{0, {4}}, {1, {3}}, {2, {0}}}}},
      {"equal image and category keep intake order",
       {3, 3, 1, 3}, {0, 0, 0, 0}, 1, true, {{{1, {2}}, {3, {0, 1, 3}}}}},
      {"pooled: one group per image, by category then intake",
       {0, 0, 0, 0, 1}, {2, 0, 2, 1, 0}, 1, false, {{{0, {1, 3, 0, 2}}, {1, {4}}}}},
      {"unlisted image or category is left out, also when pooled",
       {0, kOut, 0, 1}, {kOut, 0, 1, 0}, 1, false, {{{0, {2}}, {1, {3}}}}},
      {"unlisted category left out per category too",
       {0, 0, kOut}, {kOut, 1, 0}, 2, true, {{}, {{0, {1}}}}},
      {"a slot without annotations is empty", {4, 4}, {2, 0}, 3, true,
       {{{4, {1}}}, {}, {{4, {0}}}}},
      {"no annotations at all", {}, {}, 2, true, {{}, {}}},
      {"pooled, large image indexes still ascend", {70000, 5, 70000}, {0, 3, 0}, 1, false,
       {{{5, {1}}, {70000, {0, 2}}}}},
  };
  for (const IndexCase& c : cases) {
    const GroupIndex idx = build_group_index(c.images, c.cats, c.slots, c.use_cats);
    ASSERT_EQ(idx.slots.size(), c.slots) << c.what;
    for (uint32_t k = 0; k < c.slots; ++k) {
      EXPECT_EQ(slot_groups(idx, k), c.expected[k]) << c.what << ", slot " << k;
      if (c.expected[k].empty()) {
        EXPECT_EQ(idx.slots[k], (std::pair<uint32_t, uint32_t>{0, 0})) << c.what << ", slot " << k;
      }
    }
    // Every group is non-empty and the order holds each listed annotation once.
    size_t listed = 0;
    for (size_t i = 0; i < c.images.size(); ++i) listed += c.images[i] != kOut && c.cats[i] != kOut;
    EXPECT_EQ(idx.order.size(), listed) << c.what;
    for (const ImageGroup& g : idx.groups) EXPECT_GT(g.count, 0u) << c.what;
  }
}

TEST(GroupIndex, CategoryBeyondSlotsIsAnInternalError) {
  const std::vector<uint32_t> images = {0}, cats = {2};
  EXPECT_THROW(build_group_index(images, cats, 2, true), InternalError);
}

// Random columns against a plain reading of the grouping: per slot, each
// image in ascending order with its annotations by category, then index.
TEST(GroupIndex, RandomColumnsAgainstPlainGrouping) {
  for (uint32_t seed = 0; seed < 200; ++seed) {
    std::mt19937 rng(seed);
    const uint32_t n_img = 1 + rng() % 6, n_cat = 1 + rng() % 4, n = rng() % 40;
    const bool use_cats = seed % 2;
    std::vector<uint32_t> images(n), cats(n);
    for (uint32_t i = 0; i < n; ++i) {
      images[i] = rng() % 10 == 0 ? kOut : rng() % n_img;
      cats[i] = rng() % 10 == 0 ? kOut : rng() % n_cat;
    }
    const uint32_t slots = use_cats ? n_cat : 1;
    const GroupIndex idx = build_group_index(images, cats, slots, use_cats);
    for (uint32_t k = 0; k < slots; ++k) {
      std::vector<Group> want;
      for (uint32_t img = 0; img < n_img; ++img) {
        Group g{img, {}};
        for (uint32_t c = 0; c < n_cat; ++c) {
          if (use_cats && c != k) continue;
          for (uint32_t i = 0; i < n; ++i) {
            if (images[i] == img && cats[i] == c) g.members.push_back(i);
          }
        }
        if (!g.members.empty()) want.push_back(g);
      }
      ASSERT_EQ(slot_groups(idx, k), want) << "seed " << seed << ", slot " << k;
    }
    // The marks of the groups agree with the index: a listed annotation's
    // group is marked exactly when the index holds it.
    const GroupMarks marks(images, cats, n_img, slots, use_cats);
    for (uint32_t img = 0; img < n_img; ++img) {
      for (uint32_t c = 0; c < n_cat; ++c) {
        const auto& groups = slot_groups(idx, use_cats ? c : 0);
        const bool held = std::any_of(groups.begin(), groups.end(), [&](const Group& g) { return g.image == img; });
        ASSERT_EQ(marks.holds(img, c), held) << "seed " << seed << ", image " << img << ", category " << c;
      }
    }
  }
  // Past the most groups marked, every group counts as held.
  const std::vector<uint32_t> none;
  EXPECT_TRUE(GroupMarks(none, none, GroupMarks::kMaxMarkedGroups + 1, 1, true).holds(5, 0));
}

// Columns large enough to be counted and placed in blocks on the pool, in
// the orders sources come in (image by image, shuffled, reversed), against
// a stable sort of the listed rows by (slot, image, category).
TEST(GroupIndex, LargeColumnsAgainstAStableSort) {
  constexpr uint32_t kImages = 2000, kCats = 30, kRows = 150'000;
  for (const bool use_cats : {true, false}) {
    for (const int order : {0, 1, 2}) {
      std::mt19937 rng(order * 2 + use_cats);
      std::vector<uint32_t> images(kRows), cats(kRows);
      for (uint32_t i = 0; i < kRows; ++i) {
        images[i] = rng() % 50 == 0 ? kOut : rng() % kImages;
        cats[i] = rng() % 50 == 0 ? kOut : rng() % kCats;
      }
      if (order == 0) std::sort(images.begin(), images.end());
      if (order == 2) std::sort(images.rbegin(), images.rend());
      const uint32_t slots = use_cats ? kCats : 1;
      const GroupIndex idx = build_group_index(images, cats, slots, use_cats);
      std::vector<uint32_t> rows;
      for (uint32_t i = 0; i < kRows; ++i) {
        if (images[i] != kOut && cats[i] != kOut) rows.push_back(i);
      }
      const auto key = [&](uint32_t i) {
        return std::tuple(use_cats ? cats[i] : 0u, images[i], use_cats ? 0u : cats[i]);
      };
      std::stable_sort(rows.begin(), rows.end(), [&](uint32_t a, uint32_t b) { return key(a) < key(b); });
      std::vector<std::vector<Group>> want(slots);
      for (const uint32_t i : rows) {
        auto& slot = want[use_cats ? cats[i] : 0];
        if (slot.empty() || slot.back().image != images[i]) slot.push_back({images[i], {}});
        slot.back().members.push_back(i);
      }
      for (uint32_t k = 0; k < slots; ++k) {
        ASSERT_EQ(slot_groups(idx, k), want[k]) << "slot " << k << ", order " << order << (use_cats ? "" : ", pooled");
      }
    }
  }
}

// A pairing written as (image, ground-truth members, detection members).
struct Pair {
  uint32_t image;
  bool has_gt, has_dt;
  std::vector<uint32_t> gt, dt;
  friend bool operator==(const Pair&, const Pair&) = default;
};

void PrintTo(const Pair& p, std::ostream* os) {
  *os << "image " << p.image << " gt " << (p.has_gt ? ::testing::PrintToString(p.gt) : "-")
      << " dt " << (p.has_dt ? ::testing::PrintToString(p.dt) : "-");
}

std::vector<Pair> pairs_of(const GroupIndex& gt, const GroupIndex& dt, uint32_t slot) {
  std::vector<Pair> out;
  for (const PairedGroup& p : pair_groups(gt, dt, slot)) {
    Pair q{p.image, p.has_gt, p.has_dt, {}, {}};
    if (p.has_gt) {
      EXPECT_EQ(p.gt.image, p.image);
      const auto m = gt.members(p.gt);
      q.gt.assign(m.begin(), m.end());
    }
    if (p.has_dt) {
      EXPECT_EQ(p.dt.image, p.image);
      const auto m = dt.members(p.dt);
      q.dt.assign(m.begin(), m.end());
    }
    out.push_back(q);
  }
  return out;
}

TEST(PairGroups, MergesImagesOfBothSides) {
  // Slot 0: ground truths on images 0, 2, 5; detections on 1, 2, 6, 7.
  // Slot 1: ground truths only. Slot 2: detections only. Slot 3: nothing.
  const std::vector<uint32_t> g_img = {5, 0, 2, 2, 3}, g_cat = {0, 0, 0, 0, 1};
  const std::vector<uint32_t> d_img = {7, 2, 1, 6, 2, 4}, d_cat = {0, 0, 0, 0, 0, 2};
  const GroupIndex gt = build_group_index(g_img, g_cat, 4, true);
  const GroupIndex dt = build_group_index(d_img, d_cat, 4, true);
  const std::vector<Pair> slot0 = {
      {0, true, false, {1}, {}},  {1, false, true, {}, {2}}, {2, true, true, {2, 3}, {1, 4}},
      {5, true, false, {0}, {}},  {6, false, true, {}, {3}}, {7, false, true, {}, {0}},
  };
  EXPECT_EQ(pairs_of(gt, dt, 0), slot0);
  EXPECT_EQ(pairs_of(gt, dt, 1), (std::vector<Pair>{{3, true, false, {4}, {}}}));
  EXPECT_EQ(pairs_of(gt, dt, 2), (std::vector<Pair>{{4, false, true, {}, {5}}}));
  EXPECT_TRUE(pair_groups(gt, dt, 3).empty());
}

TEST(PairGroups, PooledSlotPairsEveryCategoryOfAnImage) {
  const std::vector<uint32_t> g_img = {1, 1, 0}, g_cat = {1, 0, kOut};
  const std::vector<uint32_t> d_img = {1, 0}, d_cat = {2, 0};
  const GroupIndex gt = build_group_index(g_img, g_cat, 1, false);
  const GroupIndex dt = build_group_index(d_img, d_cat, 1, false);
  EXPECT_EQ(pairs_of(gt, dt, 0), (std::vector<Pair>{{0, false, true, {}, {1}},
                                                     {1, true, true, {1, 0}, {0}}}));
}

TEST(PairGroups, SlotBeyondTheIndexIsAnInternalError) {
  const GroupIndex gt = build_group_index(std::vector<uint32_t>{}, std::vector<uint32_t>{}, 2, true);
  EXPECT_THROW(pair_groups(gt, gt, 2), InternalError);
}

}  // namespace
}  // namespace quillscore::group
