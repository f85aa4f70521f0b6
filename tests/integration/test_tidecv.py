"""COCOeval.error_analysis(tidecv_ties=True) against tidecv 1.0.1 itself, run
as a black box on the same files: the val2014 100-image fake box and mask
results and seeded synthetic data. Run by `make integration-tidecv`, in a
venv of its own (tidecv pulls in matplotlib, OpenCV, pandas and seaborn)."""

from __future__ import annotations

import json
import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "python"))
from _paths import DATA_DIR  # noqa: E402

tidecv = pytest.importorskip("tidecv", reason="tidecv is not installed (make integration-tidecv)")

import numpy.ma  # noqa: E402,F401  imported before the aliases below, which it cannot live with

# tidecv 1.0.1 predates NumPy 2, whose removal of these aliases breaks its
# imports; it never relies on them being anything but the builtins.
for _name, _type in (("float", float), ("int", int), ("bool", bool), ("object", object)):
    setattr(np, _name, _type)

from pycocotools import mask as mask_utils  # noqa: E402
from tidecv import TIDE, datasets  # noqa: E402

from quillscore import COCO, COCOeval  # noqa: E402

VAL2014 = DATA_DIR / "coco_val2014_100"
TOL = 1e-9


def reference(gt_path: Path, res_path: Path, iou_type: str) -> dict:
    mode = TIDE.BOX if iou_type == "bbox" else TIDE.MASK
    tide = TIDE(mode=mode)
    run = tide.evaluate(datasets.COCO(str(gt_path)), datasets.COCOResult(str(res_path)), mode=mode)
    (main,) = tide.get_main_errors().values()
    (special,) = tide.get_special_errors().values()
    counts = {k.short_name: v for k, v in run.count_errors().items()}
    return {"ap": run.ap, "main": main, "special": special, "counts": counts}


def ours(gt_path: Path, res_path: Path, iou_type: str) -> dict:
    gt = COCO(str(gt_path))
    E = COCOeval(gt, gt.loadRes(str(res_path)), iou_type)
    E.evaluate()
    E.accumulate()
    return E.error_analysis(tidecv_ties=True)


def assert_same(gt_path, res_path, iou_type):
    want, got = reference(gt_path, res_path, iou_type), ours(gt_path, res_path, iou_type)
    assert got["ap"] == pytest.approx(want["ap"], abs=TOL)
    for group in ("main", "special"):
        assert got[group].keys() == want[group].keys()
        assert got[group] == pytest.approx(want[group], abs=TOL), group
    assert got["counts"] == {k: want["counts"].get(k, 0) for k in got["counts"]}


@pytest.mark.parametrize("iou_type, results", [("bbox", "fake_bbox_results.json"),
                                               ("segm", "fake_segm_results.json")])
def test_val2014(iou_type, results):
    gt_path, res_path = VAL2014 / "instances_val2014_100.json", VAL2014 / results
    if not gt_path.exists():
        pytest.skip(f"{gt_path} is not available")
    assert_same(gt_path, res_path, iou_type)


def _rect(x, y, w, h):
    return [x, y, x + w, y, x + w, y + h, x, y + h]


def synthetic(seed: int) -> tuple[dict, list[dict]]:
    """Images listed out of id order; crowd regions as polygons, uncompressed
    and compressed RLE; images without ground truth and with crowd regions
    only; a category with ground truth but no detection and two with
    detections but no ground truth; an image over the 100-detection cap; and
    scores rounded to one decimal on even seeds, so that ties are everywhere."""
    rng = np.random.default_rng(seed)
    cat_ids = [1, 3, 4, 7, 9, 12, 15, 20]
    gt_cats, never_detected = cat_ids[:6], cat_ids[5]
    n_img = int(rng.integers(25, 45))
    img_ids = rng.permutation(np.arange(1, n_img + 1) * 3).tolist()
    images, anns, dets = [], [], []
    for k, img_id in enumerate(img_ids):
        w, h = int(rng.integers(60, 160)), int(rng.integers(60, 160))
        images.append({"id": img_id, "width": w, "height": h, "file_name": f"{img_id}.jpg"})
        kind = rng.random()
        objects = []
        for _ in range(0 if kind < 0.15 else int(rng.integers(1, 7))):
            bw, bh = rng.uniform(8, w / 2), rng.uniform(8, h / 2)
            box = [round(float(v), 1) for v in (rng.uniform(0, w - bw), rng.uniform(0, h - bh), bw, bh)]
            cat = int(rng.choice(gt_cats))
            crowd = rng.random() < (0.6 if kind < 0.22 else 0.1)
            ann = {"id": len(anns) + 1, "image_id": img_id, "category_id": cat, "bbox": box,
                   "area": box[2] * box[3], "iscrowd": int(crowd), "segmentation": [_rect(*box)]}
            if crowd:
                rle = mask_utils.merge(mask_utils.frPyObjects([_rect(*box)], h, w))
                if rng.random() < 0.5:
                    flat = mask_utils.decode(rle).ravel(order="F")
                    edges = np.flatnonzero(np.diff(flat)) + 1
                    runs = np.diff(np.concatenate([[0], edges, [flat.size]])).tolist()
                    ann["segmentation"] = {"size": [h, w], "counts": ([0] if flat[0] else []) + runs}
                else:
                    ann["segmentation"] = {"size": [h, w], "counts": rle["counts"].decode()}
            anns.append(ann)
            objects.append((box, cat))
        candidates = []
        for box, cat in objects:
            for _ in range(int(rng.integers(0, 4))):
                spread = rng.choice([0.03, 0.15, 0.4])
                jitter = rng.normal(0, spread, 4) * [box[2], box[3], box[2], box[3]]
                b = [box[0] + jitter[0], box[1] + jitter[1], max(box[2] + jitter[2], 2),
                     max(box[3] + jitter[3], 2)]
                c = cat if rng.random() < 0.75 else int(rng.choice(cat_ids))
                candidates.append((b, c, rng.normal(0.85 - spread, 0.15)))
        for _ in range(110 if k == 1 else int(rng.poisson(1.5))):
            bw, bh = rng.uniform(4, w / 2), rng.uniform(4, h / 2)
            candidates.append(([rng.uniform(0, w - bw), rng.uniform(0, h - bh), bw, bh],
                               int(rng.choice(cat_ids)), rng.exponential(0.25)))
        for b, c, score in candidates:
            if c == never_detected:
                continue
            b = [round(float(min(max(v, 0), 10_000)), 1) for v in b]
            b[2] = max(min(b[2], w - b[0]) if b[0] < w else 1.0, 1.0)
            b[3] = max(min(b[3], h - b[1]) if b[1] < h else 1.0, 1.0)
            score = round(float(np.clip(score, 0.01, 1.0)), 1 if seed % 2 == 0 else 3)
            rle = mask_utils.frPyObjects([_rect(*b)], h, w)[0]
            dets.append({"image_id": img_id, "category_id": c, "bbox": b, "score": score,
                         "segmentation": {"size": rle["size"], "counts": rle["counts"].decode()}})
    dets = [dets[i] for i in rng.permutation(len(dets))]
    cats = [{"id": c, "name": f"c{c}", "supercategory": "x"} for c in cat_ids]
    return {"images": images, "annotations": anns, "categories": cats}, dets


@pytest.mark.parametrize("iou_type", ["bbox", "segm"])
@pytest.mark.parametrize("seed", range(8))
def test_synthetic(tmp_path, seed, iou_type):
    dataset, results = synthetic(seed)
    gt_path, res_path = tmp_path / "gt.json", tmp_path / "results.json"
    gt_path.write_text(json.dumps(dataset))
    res_path.write_text(json.dumps(results))
    assert_same(gt_path, res_path, iou_type)
