"""Rasterise the sample's ground truth and score the sample's segmentation
results against it with the mask toolkit: one IoU matrix per image and
category, and the share of detections that find a match at IoU 0.5."""

import json
import sys
import time
from collections import defaultdict
from pathlib import Path

from quillscore import _vireo as mask


def ground_truth_rles(dataset):
    sizes = {img["id"]: (img["height"], img["width"]) for img in dataset["images"]}
    out = []
    for ann in dataset["annotations"]:
        h, w = sizes[ann["image_id"]]
        seg = ann["segmentation"]
        if isinstance(seg, list):
            rle = mask.merge(mask.frPyObjects(seg, h, w))
        elif isinstance(seg["counts"], list):
            rle = mask.frPyObjects(seg, h, w)
        else:
            rle = seg
        out.append((ann, rle))
    return out


def main(folder):
    folder = Path(folder)
    dataset = json.loads((folder / "instances_val2014_100.json").read_text())
    results = json.loads((folder / "fake_segm_results.json").read_text())

    start = time.perf_counter()
    gts = ground_truth_rles(dataset)
    raster_s = time.perf_counter() - start

    by_group = defaultdict(lambda: ([], []))
    for ann, rle in gts:
        by_group[ann["image_id"], ann["category_id"]][0].append((ann, rle))
    for det in results:
        by_group[det["image_id"], det["category_id"]][1].append(det)

    start = time.perf_counter()
    matched = total = 0
    for gt, dt in by_group.values():
        total += len(dt)
        if not gt or not dt:
            continue
        ious = mask.iou([d["segmentation"] for d in dt], [r for _, r in gt],
                        [a["iscrowd"] for a, _ in gt])
        matched += int((ious.max(axis=1) >= 0.5).sum())
    iou_s = time.perf_counter() - start

    areas = mask.area([r for _, r in gts])
    print(f"images: {len(dataset['images'])}, ground truths: {len(gts)}, "
          f"detections: {len(results)}")
    print(f"rasterised ground truth in {raster_s * 1e3:.1f} ms "
          f"(total mask area {int(areas.sum())} px)")
    print(f"IoU matrices in {iou_s * 1e3:.1f} ms: {matched} of {total} detections "
          f"overlap a ground truth of their category at IoU >= 0.5")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "../shared/data/coco_val2014_100")
