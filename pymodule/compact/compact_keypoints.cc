#include "pymodule/compact/compact_keypoints.h"

#include <span>
#include <utility>

#include "core/base/error.h"
#include "core/intake/builder.h"

namespace quillscore::py {

eval::AnnotationSet compact_keypoint_set(const CompactData& data, bool is_gt,
                                         const intake::LookupTables& tables,
                                         intake::RawKeypoints& raw) {
  const json::Columns& c = data.columns;
  const json::KeypointColumns& kp = c.keypoints;
  const size_t n = c.size();
  if (kp.rows.size() != n) throw InternalError("keypoint rows do not match the records");
  intake::SetBuilder builder(tables, eval::IouType::kKeypoints,
                             is_gt ? intake::Side::kGroundTruth : intake::Side::kDetections,
                             intake::Unlisted::kDrop);
  builder.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    intake::Row row = compact_row(data, i);
    const json::KeypointRow& k = kp.rows[i];
    const std::span<const double> values(kp.values.begin() + k.begin, k.length);
    if (!data.results) {
      row.num_keypoints = k.num_keypoints;
    } else if (!k.has_box) {
      const intake::KeypointBox extent = intake::keypoint_box(values);
      row.box = extent.box;
      row.area = extent.area;
    }
    if (!builder.add(row)) continue;
    raw.spans.emplace_back(raw.values.size(), values.size());
    raw.values.insert(raw.values.end(), values.begin(), values.end());
  }
  return std::move(builder).finish();
}

}  // namespace quillscore::py
