#include "core/eval/stream.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <numeric>
#include <span>
#include <string>
#include <unordered_set>

#include "core/base/checked.h"
#include "core/base/error.h"
#include "core/eval/run.h"
#include "core/json/siphash.h"
#include "core/pool/pool.h"

namespace quillscore::eval {
namespace {

// 2-bit outcome `r` of one detection's record.
Outcome outcome_at(const uint8_t* record, size_t r) {
  return static_cast<Outcome>((record[r / 4] >> (r % 4 * 2)) & 3);
}

// A 4 x 4 matrix of 2-bit outcomes, byte q holding row q (element j at
// bits 2j), transposed: byte j then holds element j of every row.
uint32_t transpose_quad(uint32_t w) {
  // Swap each element (q, j + 1) with (q + 1, j) for even q and j, six
  // bits apart; then the 2 x 2 blocks (q, j + 2) with (q + 2, j), twelve
  // bits apart.
  uint32_t t = ((w >> 6) ^ w) & 0x00CC00CCu;
  w ^= t ^ (t << 6);
  t = ((w >> 12) ^ w) & 0x0000F0F0u;
  return w ^ t ^ (t << 12);
}

bool same_bits(std::span<const double> a, std::span<const double> b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * 8) == 0);
}

// What makes two states' matching comparable, or the first difference.
std::string settings_difference(const StreamState& a, const StreamState& b) {
  const EvalParams &p = a.params, &q = b.params;
  if (p.iou_type != q.iou_type) return "IoU types";
  if (p.use_cats != q.use_cats || p.cat_ids != q.cat_ids) return "categories";
  std::vector<double> pa, qa;
  for (const auto& r : p.area_rng) pa.insert(pa.end(), r.begin(), r.end());
  for (const auto& r : q.area_rng) qa.insert(qa.end(), r.begin(), r.end());
  if (!same_bits(p.iou_thrs, q.iou_thrs) || !same_bits(p.rec_thrs, q.rec_thrs) ||
      p.max_dets != q.max_dets || !same_bits(pa, qa) || !same_bits(p.kpt_sigmas, q.kpt_sigmas) ||
      p.use_area != q.use_area || !same_bits({&a.boundary_dilation, 1}, {&b.boundary_dilation, 1})) {
    return "parameters";
  }
  return "";
}

// The checksum's key: fixed, since it guards against damage, not forgery.
constexpr json::SipKey kChecksumKey{0x71756c6c73636f72ULL, 0x65206d6174636865ULL};
constexpr char kMagic[8] = {'Q', 'S', 'M', 'A', 'T', 'C', 'H', '\0'};
constexpr uint32_t kVersion = 1;

class Writer {
 public:
  template <class T>
  void put(const T& v) {
    const auto* p = reinterpret_cast<const uint8_t*>(&v);
    out.insert(out.end(), p, p + sizeof(T));
  }
  template <class T>
  void put_list(const std::vector<T>& v) {
    put<uint64_t>(v.size());
    const auto* p = reinterpret_cast<const uint8_t*>(v.data());
    out.insert(out.end(), p, p + v.size() * sizeof(T));
  }
  std::vector<uint8_t> out;
};

class Reader {
 public:
  explicit Reader(std::span<const uint8_t> in) : in_(in) {}
  template <class T>
  T get(const char* what) {
    T v;
    take(&v, sizeof(T), what);
    return v;
  }
  template <class T>
  std::vector<T> get_list(const char* what) {
    const uint64_t n = get<uint64_t>(what);
    if (n > (in_.size() - at_) / sizeof(T)) fail(std::string("truncated in ") + what);
    std::vector<T> v(static_cast<size_t>(n));
    take(v.data(), v.size() * sizeof(T), what);
    return v;
  }
  bool done() const { return at_ == in_.size(); }
  [[noreturn]] static void fail(const std::string& why) {
    throw InputError("not a matching state: " + why);
  }

 private:
  void take(void* dst, size_t n, const char* what) {
    if (n > in_.size() - at_) fail(std::string("truncated in ") + what);
    if (n) std::memcpy(dst, in_.data() + at_, n);
    at_ += n;
  }
  std::span<const uint8_t> in_;
  size_t at_ = 0;
};

}  // namespace

size_t StreamState::detections() const {
  size_t n = 0;
  for (const StreamSlot& s : slots) n += s.scores.size();
  return n;
}

StreamState stream_of(EngineState& st, double boundary_dilation) {
  StreamState s;
  s.params = st.params;
  s.params.img_ids.clear();
  s.boundary_dilation = boundary_dilation;
  s.image_ids = st.params.img_ids;
  s.held.insert(s.image_ids.begin(), s.image_ids.end());
  // An evaluator that has evaluated holds its matching: that is converted.
  // Otherwise (a batch being added) it is made in this layout directly.
  const auto state = st.matched.get();
  if (!state) {
    s.slots = streamed_matching(st);
    return s;
  }
  const size_t rows = state->t_n * state->a_n, bytes = s.outcome_bytes();
  s.slots.resize(state->slots.size());
  for (size_t k = 0; k < state->slots.size(); ++k) {
    const SlotMatches& sm = state->slots[k];
    StreamSlot& out = s.slots[k];
    const size_t A = state->a_n;
    for (size_t i = 0; i < sm.images.size(); ++i) {
      const auto row = std::span(sm.counted).subspan(i * A, A);
      if (std::all_of(row.begin(), row.end(), [](uint32_t c) { return c == 0; })) continue;
      out.counted_images.push_back(sm.images[i]);
      out.counted.insert(out.counted.end(), row.begin(), row.end());
    }
    out.scores = sm.scores;
    out.image.reserve(sm.size());
    for (uint32_t i : sm.image) out.image.push_back(sm.images[i]);
    out.rank = sm.rank;
    out.outcomes.assign(checked_count<uint8_t>({sm.size(), bytes}), 0);
    // Row by row, 32 detections per word read.
    const size_t n = sm.size();
    for (size_t r = 0; r < rows; ++r) {
      uint8_t* at = out.outcomes.data() + r / 4;
      const unsigned shift = r % 4 * 2;
      for (size_t w = 0; w * 32 < n; ++w) {
        const uint64_t word = sm.outcomes.word(r, w);
        const size_t here = std::min<size_t>(32, n - w * 32);
        for (size_t k = 0; k < here; ++k) {
          at[(w * 32 + k) * bytes] |= static_cast<uint8_t>(((word >> (2 * k)) & 3) << shift);
        }
      }
    }
  }
  return s;
}

void merge_into(StreamState& into, const StreamState& from) {
  if (const std::string what = settings_difference(into, from); !what.empty()) {
    throw InputError("cannot merge matching states of different " + what);
  }
  for (int64_t id : from.image_ids) {
    if (into.held.count(id)) {
      throw InputError("cannot merge matching states that both hold image " + std::to_string(id));
    }
  }
  if (into.slots.size() != from.slots.size()) throw InternalError("matching states of one setting differ in slots");
  // Room for everything first: once appending starts, nothing can fail.
  // Capacity grows geometrically: a state fed batch by batch copies each
  // detection a bounded number of times, not once per batch.
  auto grow = [](auto& v, const auto& more) {
    const size_t need = v.size() + more.size();
    if (v.capacity() < need) v.reserve(std::max(need, 2 * v.capacity()));
  };
  grow(into.image_ids, from.image_ids);
  for (size_t k = 0; k < into.slots.size(); ++k) {
    StreamSlot& a = into.slots[k];
    const StreamSlot& b = from.slots[k];
    grow(a.counted_images, b.counted_images), grow(a.counted, b.counted), grow(a.scores, b.scores);
    grow(a.image, b.image), grow(a.rank, b.rank), grow(a.outcomes, b.outcomes);
  }
  // The lookup set is the one part that can fail while it grows: it is put
  // back as it was when it does.
  try {
    into.held.insert(from.image_ids.begin(), from.image_ids.end());
  } catch (...) {
    for (int64_t id : from.image_ids) into.held.erase(id);
    throw;
  }
  const auto image_base = static_cast<uint32_t>(into.image_ids.size());
  into.image_ids.insert(into.image_ids.end(), from.image_ids.begin(), from.image_ids.end());
  for (size_t k = 0; k < into.slots.size(); ++k) {
    StreamSlot& a = into.slots[k];
    const StreamSlot& b = from.slots[k];
    for (uint32_t i : b.counted_images) a.counted_images.push_back(image_base + i);
    a.counted.insert(a.counted.end(), b.counted.begin(), b.counted.end());
    a.scores.insert(a.scores.end(), b.scores.begin(), b.scores.end());
    for (uint32_t i : b.image) a.image.push_back(image_base + i);
    a.rank.insert(a.rank.end(), b.rank.begin(), b.rank.end());
    a.outcomes.insert(a.outcomes.end(), b.outcomes.begin(), b.outcomes.end());
  }
}

MatchedState ranked(const StreamState& s) {
  const size_t A = s.params.area_rng.size(), rows = s.params.iou_thrs.size() * A,
               bytes = s.outcome_bytes();
  // Each image's place among all of them by id: the evaluation's order.
  std::vector<uint32_t> by_id(s.image_ids.size());
  std::iota(by_id.begin(), by_id.end(), 0u);
  std::sort(by_id.begin(), by_id.end(),
            [&](uint32_t a, uint32_t b) { return s.image_ids[a] < s.image_ids[b]; });
  std::vector<uint32_t> place(s.image_ids.size());
  for (size_t i = 0; i < by_id.size(); ++i) place[by_id[i]] = static_cast<uint32_t>(i);

  MatchedState out;
  out.t_n = s.params.iou_thrs.size();
  out.a_n = A;
  out.slots.resize(s.slots.size());
  // A detection's place in the ranking and where its record is, packed so
  // that sorting reads keys in place rather than through its columns.
  struct Key {
    RankingKey order;
    uint32_t at;
  };
  pool::parallel_chunks(s.slots.size(), [&](size_t begin, size_t end) {
    // Per image (by its place): its index among the slot's images.
    std::vector<uint32_t> index_of(s.image_ids.size());
    std::vector<uint8_t> seen(s.image_ids.size(), 0);
    const std::vector<uint8_t> none(bytes, 0);
    std::vector<Key> keys;
    const pool::CancelCheck check;
    for (size_t k = begin; k < end; ++k) {
      check();
      const StreamSlot& in = s.slots[k];
      SlotMatches& sm = out.slots[k];
      // The slot's images (with counted ground truths or detections)
      // ascending, as the evaluation walks them, with their counts.
      // Each image is marked in `seen` (cleared after) and taken once: in
      // order by a walk over all places where the slot has many images,
      // otherwise by sorting the few.
      std::vector<uint32_t> places;
      for (const auto* list : {&in.counted_images, &in.image}) {
        for (const uint32_t i : *list) {
          if (!seen[place[i]]) seen[place[i]] = 1, places.push_back(place[i]);
        }
      }
      if (places.size() * 16 >= seen.size()) {
        places.clear();
        for (uint32_t at = 0; at < seen.size(); ++at) {
          if (seen[at]) seen[at] = 0, places.push_back(at);
        }
      } else {
        for (const uint32_t at : places) seen[at] = 0;
        std::sort(places.begin(), places.end());
      }
      for (size_t i = 0; i < places.size(); ++i) index_of[places[i]] = static_cast<uint32_t>(i);
      sm.images = places;
      sm.counted.assign(places.size() * A, 0);
      for (size_t i = 0; i < in.counted_images.size(); ++i) {
        std::copy_n(in.counted.begin() + i * A, A,
                    sm.counted.begin() + index_of[place[in.counted_images[i]]] * A);
      }
      // An image holds one detection per rank, so the order is strict.
      keys.resize(in.scores.size());
      for (size_t i = 0; i < keys.size(); ++i) {
        keys[i] = {{RankingKey::score_key(in.scores[i]), place[in.image[i]], in.rank[i]},
                   static_cast<uint32_t>(i)};
      }
      sort_by_ranking(keys, [](const Key& key) -> const RankingKey& { return key.order; }, false);
      sm.outcomes = OutcomeTable(rows, keys.size());
      sm.scores.reserve(keys.size());
      sm.image.reserve(keys.size());
      sm.rank.reserve(keys.size());
      for (const Key& key : keys) {
        sm.scores.push_back(in.scores[key.at]);
        sm.image.push_back(index_of[key.order.image]);
        sm.rank.push_back(key.order.rank);
      }
      // Four ranked detections at a time: byte b of their four records
      // (rows 4b to 4b+3 of each) turned into the table's rows 4b to 4b+3
      // (four detections each), so that each byte of the table is written
      // once, whole. Past the last detection, records read as zeros.
      for (size_t i0 = 0; i0 < keys.size(); i0 += 4) {
        const uint8_t* record[4];
        for (size_t q = 0; q < 4; ++q) {
          record[q] = i0 + q < keys.size() ? in.outcomes.data() + static_cast<size_t>(keys[i0 + q].at) * bytes
                                           : none.data();
        }
        for (size_t b = 0; b < bytes; ++b) {
          const uint32_t quad = transpose_quad(uint32_t{record[0][b]} | uint32_t{record[1][b]} << 8 |
                                               uint32_t{record[2][b]} << 16 | uint32_t{record[3][b]} << 24);
          for (size_t j = 0; j < 4 && 4 * b + j < rows; ++j) {
            sm.outcomes.set_four(4 * b + j, i0 / 4, static_cast<uint8_t>(quad >> (8 * j)));
          }
        }
      }
    }
  });
  return out;
}

std::vector<uint8_t> to_bytes(const StreamState& s) {
  static_assert(std::endian::native == std::endian::little, "the byte layout is little-endian");
  Writer w;
  w.out.insert(w.out.end(), std::begin(kMagic), std::end(kMagic));
  w.put<uint32_t>(kVersion);
  const EvalParams& p = s.params;
  w.put<uint8_t>(static_cast<uint8_t>(p.iou_type));
  w.put<uint8_t>(p.use_cats);
  w.put<uint8_t>(p.use_area);
  w.put<double>(s.boundary_dilation);
  w.put_list(p.cat_ids);
  w.put_list(p.iou_thrs);
  w.put_list(p.rec_thrs);
  w.put_list(p.max_dets);
  w.put_list(p.area_rng);
  w.put_list(p.kpt_sigmas);
  w.put_list(s.image_ids);
  w.put<uint64_t>(s.slots.size());
  for (const StreamSlot& slot : s.slots) {
    w.put_list(slot.counted_images);
    w.put_list(slot.counted);
    w.put_list(slot.scores);
    w.put_list(slot.image);
    w.put_list(slot.rank);
    w.put_list(slot.outcomes);
  }
  w.put<uint64_t>(json::siphash13(kChecksumKey, w.out.data(), w.out.size()));
  return std::move(w.out);
}

StreamState from_bytes(std::span<const uint8_t> bytes) {
  if (bytes.size() < sizeof(kMagic) + sizeof(uint32_t) + sizeof(uint64_t) ||
      std::memcmp(bytes.data(), kMagic, sizeof(kMagic)) != 0) {
    Reader::fail("the bytes do not start as one");
  }
  const size_t body = bytes.size() - sizeof(uint64_t);
  uint64_t sum;
  std::memcpy(&sum, bytes.data() + body, sizeof(sum));
  Reader r(bytes.first(body));
  r.get<std::array<char, 8>>("the header");
  if (const auto version = r.get<uint32_t>("the header"); version != kVersion) {
    Reader::fail("version " + std::to_string(version) + " is not " + std::to_string(kVersion));
  }
  if (json::siphash13(kChecksumKey, bytes.data(), body) != sum) {
    Reader::fail("the checksum does not match (damaged or truncated bytes)");
  }
  StreamState s;
  EvalParams& p = s.params;
  const auto type = r.get<uint8_t>("the settings");
  if (type > static_cast<uint8_t>(IouType::kBoundary)) Reader::fail("unknown IoU type");
  p.iou_type = static_cast<IouType>(type);
  p.use_cats = r.get<uint8_t>("the settings") != 0;
  p.use_area = r.get<uint8_t>("the settings") != 0;
  s.boundary_dilation = r.get<double>("the settings");
  p.cat_ids = r.get_list<int64_t>("the categories");
  p.iou_thrs = r.get_list<double>("the settings");
  p.rec_thrs = r.get_list<double>("the settings");
  p.max_dets = r.get_list<uint64_t>("the settings");
  p.area_rng = r.get_list<std::array<double, 2>>("the settings");
  p.kpt_sigmas = r.get_list<double>("the settings");
  s.image_ids = r.get_list<int64_t>("the images");
  s.held.insert(s.image_ids.begin(), s.image_ids.end());
  if (s.held.size() != s.image_ids.size()) Reader::fail("an image is listed twice");
  const uint64_t slots = r.get<uint64_t>("the categories");
  if (slots != p.slots()) Reader::fail("the categories do not match its slots");
  const size_t A = p.area_rng.size(), rows = p.iou_thrs.size() * A, bytes_per = s.outcome_bytes();
  const uint64_t cap = p.cap();
  s.slots.resize(static_cast<size_t>(slots));
  for (StreamSlot& slot : s.slots) {
    slot.counted_images = r.get_list<uint32_t>("a category's images");
    slot.counted = r.get_list<uint32_t>("a category's images");
    slot.scores = r.get_list<double>("a category's detections");
    slot.image = r.get_list<uint32_t>("a category's detections");
    slot.rank = r.get_list<uint32_t>("a category's detections");
    slot.outcomes = r.get_list<uint8_t>("a category's detections");
    const size_t n = slot.scores.size();
    if (slot.counted.size() != slot.counted_images.size() * A || slot.image.size() != n ||
        slot.rank.size() != n || slot.outcomes.size() != n * bytes_per) {
      Reader::fail("a category's columns differ in length");
    }
    std::unordered_set<uint32_t> seen;
    for (uint32_t i : slot.counted_images) {
      if (i >= s.image_ids.size() || !seen.insert(i).second) Reader::fail("a category names an image it lacks");
    }
    std::unordered_set<uint64_t> places;  // (image, rank) pairs, each once
    for (size_t i = 0; i < n; ++i) {
      if (slot.image[i] >= s.image_ids.size() || slot.rank[i] >= cap ||
          !places.insert(uint64_t{slot.image[i]} << 32 | slot.rank[i]).second) {
        Reader::fail("a detection's image or rank is out of place");
      }
      for (size_t o = 0; o < rows; ++o) {
        if (outcome_at(slot.outcomes.data() + i * bytes_per, o) > Outcome::kIgnored) {
          Reader::fail("a detection's outcome is not one");
        }
      }
    }
  }
  if (!r.done()) Reader::fail("bytes follow its end");
  return s;
}

}  // namespace quillscore::eval
