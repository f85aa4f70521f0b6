"""COCOeval.confusion_matrix(): hand-made images that pin each rule of the
cross-class matching (tie order, crowd, score threshold, detections kept
per image and category, background row and column), and a brute-force
version of the stated rule on random data, with the reference COCO API's
IoU, as a differential."""

from __future__ import annotations

import copy

import numpy as np
import pytest

import _eval_data as data
import quillscore

mask_utils = pytest.importorskip("pycocotools.mask", reason="pycocotools is not installed")

CATS = (1, 2)
BG = len(CATS)


def evaluated(anns, results, iou_type="bbox", cats=CATS, tweak=None):
    dataset = {"images": [{"id": i, "height": 100, "width": 100} for i in (1, 2)],
               "categories": [{"id": c, "name": f"c{c}"} for c in cats],
               "annotations": [dict(a, id=i + 1) for i, a in enumerate(anns)]}
    for a in dataset["annotations"]:
        a.setdefault("area", a["bbox"][2] * a["bbox"][3])
        a.setdefault("iscrowd", 0)
    gt = quillscore.COCO(dataset)
    E = quillscore.COCOeval(gt, gt.loadRes(copy.deepcopy(results)), iou_type)
    if tweak is not None:
        tweak(E.params)
    E.evaluate()
    E.accumulate()
    return E


def gt(cat, box, image=1, **extra):
    return data.box_ann(image, cat, box, **extra)


def det(cat, box, score, image=1):
    return data.box_ann(image, cat, box, score=score)


SQUARE, SIXTY, FORTY = [0, 0, 10, 10], [0, 0, 10, 6], [0, 0, 10, 4]  # IoU with SQUARE: 1, .6, .4
FAR = [50, 50, 10, 10]

# name: (ground truths, detections, keyword arguments, {(row, column): count}),
# rows and columns as positions in CATS, BG for background.
HAND = {
    "same iou: higher score wins": (
        [gt(1, SQUARE)], [det(2, SQUARE, 0.9), det(1, SQUARE, 0.8)], {}, {(0, 1): 1, (BG, 0): 1}),
    "same iou and score: earlier detection wins": (
        [gt(1, SQUARE)], [det(2, SQUARE, 0.8), det(1, SQUARE, 0.8)], {}, {(0, 1): 1, (BG, 0): 1}),
    "same iou and score, other order": (
        [gt(1, SQUARE)], [det(1, SQUARE, 0.8), det(2, SQUARE, 0.8)], {}, {(0, 0): 1, (BG, 1): 1}),
    "same iou: earlier ground truth wins": (
        [gt(2, SQUARE), gt(1, SQUARE)], [det(1, SQUARE, 0.5)], {}, {(1, 0): 1, (0, BG): 1}),
    "higher iou beats higher score": (
        [gt(1, SQUARE)], [det(2, SIXTY, 0.9), det(1, SQUARE, 0.3)], {}, {(0, 0): 1, (BG, 1): 1}),
    "greedy by iou, not by detection": (
        # the 0.9 detection overlaps the first ground truth best (0.8), but
        # the other detection covers it exactly and takes it first; the 0.9
        # one then matches the second ground truth (0.75)
        [gt(1, SQUARE), gt(2, [0, 0, 10, 6])],
        [det(1, [0, 0, 10, 8], 0.9), det(2, SQUARE, 0.5)], {}, {(0, 1): 1, (1, 0): 1}),
    "below the iou threshold: both unmatched": (
        [gt(1, SQUARE)], [det(2, FORTY, 0.9)], {}, {(0, BG): 1, (BG, 1): 1}),
    "lower iou threshold matches": (
        [gt(1, SQUARE)], [det(2, FORTY, 0.9)], {"iou_thr": 0.4}, {(0, 1): 1}),
    "iou threshold 1 still takes a perfect match": (
        [gt(1, SQUARE)], [det(2, SQUARE, 0.9), det(1, SIXTY, 0.9)], {"iou_thr": 1.0},
        {(0, 1): 1, (BG, 0): 1}),
    "crowd matches nothing and counts nowhere": (
        [gt(1, SQUARE, iscrowd=1), gt(2, FAR)], [det(1, SQUARE, 0.9)], {}, {(BG, 0): 1, (1, BG): 1}),
    "score threshold drops detections": (
        [gt(1, SQUARE)], [det(1, SQUARE, 0.4), det(2, FAR, 0.6)], {"score_thr": 0.5},
        {(0, BG): 1, (BG, 1): 1}),
    "score threshold keeps equal scores": (
        [gt(1, SQUARE)], [det(1, SQUARE, 0.5)], {"score_thr": 0.5}, {(0, 0): 1}),
    "max_det per image and category": (
        [gt(1, SQUARE), gt(1, FAR), gt(2, [20, 20, 10, 10])],
        [det(1, SQUARE, 0.9), det(1, FAR, 0.3), det(2, [20, 20, 10, 10], 0.1)], {"max_det": 1},
        {(0, 0): 1, (0, BG): 1, (1, 1): 1}),
    "images apart": (
        [gt(1, SQUARE, image=1)], [det(1, SQUARE, 0.9, image=2)], {}, {(0, BG): 1, (BG, 0): 1}),
    "image without ground truth": (
        [gt(2, FAR, image=1)], [det(1, SQUARE, 0.9, image=2), det(2, SQUARE, 0.8, image=2)], {},
        {(1, BG): 1, (BG, 0): 1, (BG, 1): 1}),
    "no results": (
        [gt(1, SQUARE), gt(1, FAR), gt(2, SQUARE, image=2)], [], {}, {(0, BG): 2, (1, BG): 1}),
    "no ground truth": (
        [], [det(2, SQUARE, 0.9)], {}, {(BG, 1): 1}),
}


@pytest.mark.parametrize("name", sorted(HAND))
def test_hand_made(name):
    anns, results, kwargs, cells = HAND[name]
    got = evaluated(anns, results).confusion_matrix(**kwargs)
    want = np.zeros((BG + 1, BG + 1), dtype=np.int64)
    for (r, c), n in cells.items():
        want[r, c] = n
    assert got.dtype == np.int64
    np.testing.assert_array_equal(got, want)


def test_rows_follow_the_evaluated_categories():
    """Categories left out of params.catIds have no row, and their
    annotations take no part."""
    anns = [gt(1, SQUARE), gt(3, FAR)]
    results = [det(3, SQUARE, 0.9), det(2, FAR, 0.8)]
    E = evaluated(anns, results, cats=(1, 2, 3), tweak=lambda p: setattr(p, "catIds", [2, 1]))
    got = E.confusion_matrix()
    # rows and columns: 1, 2, background
    np.testing.assert_array_equal(got, [[0, 0, 1], [0, 0, 0], [0, 1, 0]])


def brute_force(dataset, results, iou_type, iou_thr, score_thr, max_det, cat_ids, max_dets):
    """The stated rule, pair by pair, with the reference COCO API's IoU."""
    ref_gt = data.reference_coco(dataset)
    ref_dt = data.reference_results(ref_gt, results)
    slot = {c: k for k, c in enumerate(cat_ids)}
    place = {a["id"]: i for i, a in enumerate(dataset["annotations"])}
    n = len(cat_ids) + 1
    out = np.zeros((n, n), dtype=np.int64)
    keep = min(max_det, max_dets[-1])
    thr = min(iou_thr, 1 - 1e-10)
    for img in sorted(ref_gt.getImgIds()):
        gts = [a for a in ref_gt.loadAnns(ref_gt.getAnnIds(imgIds=[img]))
               if a["category_id"] in slot and not a.get("iscrowd") and not a.get("ignore")]
        dts = []
        for c in cat_ids:
            mine = [a for a in ref_dt.loadAnns(ref_dt.getAnnIds(imgIds=[img], catIds=[c]))]
            mine = sorted(mine, key=lambda a: -a["score"])[:keep]  # stable: ties keep input order
            dts += [a for a in mine if a["score"] >= score_thr]
        gts.sort(key=lambda a: place[a["id"]])  # input order
        dts.sort(key=lambda a: a["id"])  # the results' ids follow their order
        if iou_type == "bbox":
            d_geo, g_geo = [a["bbox"] for a in dts], [a["bbox"] for a in gts]
        else:
            d_geo, g_geo = [ref_dt.annToRLE(a) for a in dts], [ref_gt.annToRLE(a) for a in gts]
        ious = mask_utils.iou(d_geo, g_geo, [0] * len(gts)) if dts and gts else np.zeros((0, 0))
        pairs = sorted(((ious[i, j], dts[i]["score"], i, j) for i in range(len(dts))
                        for j in range(len(gts)) if ious[i, j] >= thr),
                       key=lambda t: (-t[0], -t[1], t[2], t[3]))
        used_d, used_g = set(), set()
        for _, _, i, j in pairs:
            if i in used_d or j in used_g:
                continue
            used_d.add(i)
            used_g.add(j)
            out[slot[gts[j]["category_id"]], slot[dts[i]["category_id"]]] += 1
        for j, g in enumerate(gts):
            if j not in used_g:
                out[slot[g["category_id"]], n - 1] += 1
        for i, d in enumerate(dts):
            if i not in used_d:
                out[n - 1, slot[d["category_id"]]] += 1
    return out


def random_boxes(seed, images=12, cats=4):
    """Ground truths and detections crowded together so that classes
    overlap, with coarse scores and boxes so that ties happen."""
    rng = np.random.default_rng(seed)
    dataset = {"images": [{"id": i + 1, "height": 60, "width": 60} for i in range(images)],
               "categories": [{"id": c + 1, "name": f"c{c}"} for c in range(cats)], "annotations": []}
    results = []
    for i in range(images):
        for _ in range(rng.integers(0, 8)):
            x, y, w, h = (int(v) for v in rng.integers(0, 6, 4) * 5 + [0, 0, 5, 5])
            dataset["annotations"].append({
                "id": len(dataset["annotations"]) + 1, "image_id": i + 1,
                "category_id": int(rng.integers(1, cats + 1)), "bbox": [x, y, w, h], "area": w * h,
                "iscrowd": int(rng.random() < 0.1)})
        for _ in range(rng.integers(0, 14)):
            x, y, w, h = (int(v) for v in rng.integers(0, 6, 4) * 5 + [0, 0, 5, 5])
            results.append({"image_id": i + 1, "category_id": int(rng.integers(1, cats + 1)),
                            "bbox": [x, y, w, h], "score": float(rng.integers(1, 6)) / 5})
    return dataset, results


SETTINGS = [(0.5, 0.0, None), (0.3, 0.4, 3), (0.75, 0.2, 1), (1.0, 0.0, None), (0.0, 0.6, 2)]


@pytest.mark.parametrize("iou_thr, score_thr, max_det", SETTINGS)
@pytest.mark.parametrize("seed", range(6))
def test_random_boxes_against_brute_force(seed, iou_thr, score_thr, max_det):
    dataset, results = random_boxes(seed)
    gt_ = quillscore.COCO(copy.deepcopy(dataset))
    E = quillscore.COCOeval(gt_, gt_.loadRes(copy.deepcopy(results)), "bbox")
    E.params.maxDets = [1, 2, 5]
    E.evaluate()
    E.accumulate()
    got = E.confusion_matrix(iou_thr=iou_thr, score_thr=score_thr, max_det=max_det)
    want = brute_force(dataset, results, "bbox", iou_thr, score_thr,
                       5 if max_det is None else max_det, E.params.catIds, E.params.maxDets)
    np.testing.assert_array_equal(got, want)
    assert want.sum() > 0


@pytest.mark.parametrize("iou_type", ["bbox", "segm"])
def test_val2014_fake_results_against_brute_force(load_data, iou_type):
    dataset = load_data("coco_val2014_100/instances_val2014_100.json")
    results = load_data(f"coco_val2014_100/fake_{iou_type}_results.json")
    gt_ = quillscore.COCO(copy.deepcopy(dataset))
    E = quillscore.COCOeval(gt_, gt_.loadRes(copy.deepcopy(results)), iou_type)
    E.evaluate()
    E.accumulate()
    got = E.confusion_matrix(iou_thr=0.5, score_thr=0.3)
    want = brute_force(dataset, results, iou_type, 0.5, 0.3, 100, E.params.catIds, E.params.maxDets)
    np.testing.assert_array_equal(got, want)
    assert np.trace(got[:-1, :-1]) > 0


BAD = [
    ({"iou_thr": 1.01}, ValueError, r"iou_thr must lie in \[0, 1\]"),
    ({"iou_thr": float("nan")}, ValueError, r"iou_thr must lie in \[0, 1\]"),
    ({"score_thr": -0.5}, ValueError, "score_thr must be a finite number >= 0"),
    ({"score_thr": None}, TypeError, "score_thr must be a number"),
    ({"max_det": 1000}, ValueError, r"max_det must lie in \[0, 100\]"),
]


@pytest.mark.parametrize("kwargs, error, message", BAD)
def test_bad_arguments(kwargs, error, message):
    E = evaluated([gt(1, SQUARE)], [det(1, SQUARE, 0.9)])
    with pytest.raises(error, match=message):
        E.confusion_matrix(**kwargs)


def test_needs_categories_and_accumulate():
    E = evaluated([gt(1, SQUARE)], [det(1, SQUARE, 0.9)], tweak=lambda p: setattr(p, "useCats", 0))
    with pytest.raises(ValueError, match="useCats"):
        E.confusion_matrix()
    gt_ = quillscore.COCO({"images": [{"id": 1}], "categories": [{"id": 1}], "annotations": []})
    E = quillscore.COCOeval(gt_, gt_.loadRes([]), "bbox")
    E.evaluate()
    with pytest.raises(RuntimeError, match="accumulate"):
        E.confusion_matrix()
