"""Seeded evaluation inputs for the Evaluator suites: detections made by
perturbing real ground truth, small synthetic datasets built to sit on the
protocol's edges, and the plumbing that feeds one dataset both to our
Evaluator and to the reference COCO API.

Everything here is deterministic for a given seed. Detection dicts are
returned fresh on every call because the reference's loadRes writes into
the dicts it is given.
"""

from __future__ import annotations

import contextlib
import copy
import io
import json
import math

import numpy as np

from _rle_reference import counts_from_dense
from quillscore import _vireo as qm

# ---------------------------------------------------------------------------
# small geometry helpers


def _r2(v: float) -> float:
    return float(round(float(v), 2))


def box_polygon(x: float, y: float, w: float, h: float) -> list[float]:
    return [x, y, x + w, y, x + w, y + h, x, y + h]


def rle_of_polygons(polys: list[list[float]], h: int, w: int) -> dict:
    """One compressed RLE dict (counts as str, the way result files carry
    it) for the union of the polygons."""
    rles = qm.frPyObjects(polys, h, w)
    rle = qm.merge(rles) if len(rles) > 1 else rles[0]
    return {"size": [h, w], "counts": rle["counts"].decode("ascii")}


def rle_of_mask(mask: np.ndarray) -> dict:
    rle = qm.encode(np.asfortranarray(mask.astype(np.uint8))[:, :, None])[0]
    return {"size": [int(mask.shape[0]), int(mask.shape[1])], "counts": rle["counts"].decode("ascii")}


def _jitter_box(rng, box, scale):
    x, y, w, h = (float(v) for v in box)
    w2 = max(1.0, w * math.exp(rng.normal(0, scale)))
    h2 = max(1.0, h * math.exp(rng.normal(0, scale)))
    x2 = x + rng.normal(0, scale) * w
    y2 = y + rng.normal(0, scale) * h
    return [_r2(x2), _r2(y2), _r2(w2), _r2(h2)]


def _random_box(rng, img_h, img_w):
    w = rng.uniform(4, max(5, img_w / 3))
    h = rng.uniform(4, max(5, img_h / 3))
    x = rng.uniform(0, max(1, img_w - w))
    y = rng.uniform(0, max(1, img_h - h))
    return [_r2(x), _r2(y), _r2(w), _r2(h)]


def _overlaps_any(box, boxes):
    x, y, w, h = box
    for gx, gy, gw, gh in boxes:
        if x < gx + gw and gx < x + w and y < gy + gh and gy < y + h:
            return True
    return False


def _score(rng) -> float:
    # two decimals: plenty of equal scores within and across images
    return _r2(rng.uniform(0.01, 1.0))


# ---------------------------------------------------------------------------
# detections made from real ground truth


def perturb_instances(dataset: dict, seed: int, kind: str, *, cat_pool=None,
                      extra_cats=None) -> list[dict]:
    """Result dicts ("bbox" or "segm") for an instance dataset: most ground
    truths found with jittered geometry and a random score, some missed,
    some duplicated, a few given a wrong category, plus false positives
    (some away from every ground truth).

    cat_pool: the categories a wrong-category detection may take (default:
    every category of the dataset). extra_cats(image) -> list of category
    ids that get an unmatched false positive on that image (used for
    LVIS's negative and non-exhaustive categories)."""
    assert kind in ("bbox", "segm")
    rng = np.random.default_rng(seed)
    images = {im["id"]: im for im in dataset["images"]}
    cats = sorted(c["id"] for c in dataset["categories"]) if cat_pool is None else list(cat_pool)
    boxes_of: dict[int, list] = {}
    for ann in dataset["annotations"]:
        boxes_of.setdefault(ann["image_id"], []).append(ann["bbox"])

    out = []

    def emit(image_id, cat, box, polys=None):
        im = images[image_id]
        d = {"image_id": image_id, "category_id": cat, "score": _score(rng)}
        if kind == "bbox":
            d["bbox"] = box
        else:
            if polys is None:
                polys = [box_polygon(*box)]
            d["segmentation"] = rle_of_polygons(polys, im["height"], im["width"])
        out.append(d)

    for ann in dataset["annotations"]:
        u = rng.random()
        if u < 0.12:
            continue  # missed
        cat = ann["category_id"]
        if rng.random() < 0.05:
            cat = int(rng.choice(cats))  # wrong category
        copies = 2 if rng.random() < 0.12 else 1  # duplicates
        for c in range(copies):
            scale = 0.06 if c == 0 else 0.15
            box = _jitter_box(rng, ann["bbox"], scale)
            polys = None
            seg = ann.get("segmentation")
            if kind == "segm" and isinstance(seg, list) and seg:
                dx, dy = rng.normal(0, scale) * ann["bbox"][2], rng.normal(0, scale) * ann["bbox"][3]
                noise = 0.02 * math.sqrt(max(ann.get("area", 1.0), 1.0))
                polys = []
                for p in seg:
                    p = np.asarray(p, float)
                    p[0::2] += dx
                    p[1::2] += dy
                    p += rng.normal(0, noise, p.shape)
                    polys.append([_r2(v) for v in p])
            emit(ann["image_id"], cat, box, polys)

    for image_id in sorted(images):
        im = images[image_id]
        gt_boxes = boxes_of.get(image_id, [])
        for _ in range(int(rng.poisson(1.2))):
            emit(image_id, int(rng.choice(cats)), _random_box(rng, im["height"], im["width"]))
        # a false positive away from every ground truth, when one fits
        for _ in range(20):
            box = _random_box(rng, im["height"], im["width"])
            if not _overlaps_any(box, gt_boxes):
                emit(image_id, int(rng.choice(cats)), box)
                break
        if extra_cats is not None:
            for cat in extra_cats(im):
                if rng.random() < 0.7:
                    emit(image_id, int(cat), _random_box(rng, im["height"], im["width"]))
    order = rng.permutation(len(out))
    return [out[i] for i in order]


def perturb_keypoints(dataset: dict, seed: int) -> list[dict]:
    """Keypoint result dicts: every visible point jittered, invisible points
    placed somewhere in the box, v = 1 throughout; some people missed, some
    duplicated, and random false positives."""
    rng = np.random.default_rng(seed)
    images = {im["id"]: im for im in dataset["images"]}
    nkp = len(dataset["categories"][0]["keypoints"])
    out = []
    for ann in dataset["annotations"]:
        if rng.random() < 0.1:
            continue
        x, y, w, h = ann["bbox"]
        scale = math.sqrt(max(ann.get("area", w * h), 1.0))
        for c in range(2 if rng.random() < 0.1 else 1):
            kps = np.asarray(ann["keypoints"], float).reshape(-1, 3)
            pts = []
            for kx, ky, v in kps:
                if v > 0:
                    s = (0.03 if c == 0 else 0.1) * scale
                    pts += [_r2(kx + rng.normal(0, s)), _r2(ky + rng.normal(0, s)), 1]
                else:
                    pts += [_r2(x + rng.uniform(0, w)), _r2(y + rng.uniform(0, h)), 1]
            out.append({"image_id": ann["image_id"], "category_id": ann["category_id"],
                        "keypoints": pts, "score": _score(rng)})
    for image_id in sorted(images):
        im = images[image_id]
        for _ in range(int(rng.poisson(0.8))):
            bx, by, bw, bh = _random_box(rng, im["height"], im["width"])
            pts = []
            for _k in range(nkp):
                pts += [_r2(bx + rng.uniform(0, bw)), _r2(by + rng.uniform(0, bh)), 1]
            out.append({"image_id": image_id, "category_id": dataset["categories"][0]["id"],
                        "keypoints": pts, "score": _score(rng)})
    order = rng.permutation(len(out))
    return [out[i] for i in order]


# ---------------------------------------------------------------------------
# synthetic datasets on the protocol's edges

def synthetic_instances(seed: int) -> tuple[dict, list[dict], list[dict]]:
    """(dataset, bbox results, segm results) on a handful of small images:
    crowd ground truths (RLE and polygon), objects whose area sits exactly on
    the area-range bounds, equal scores across images, one image with more
    than 100 detections (ties at the cap included), an image with
    detections only and one with ground truth only."""
    rng = np.random.default_rng(seed)
    sizes = {1: (40, 60), 2: (120, 128), 3: (24, 24), 4: (100, 150), 5: (64, 48), 6: (130, 110)}
    images = [{"id": i, "height": h, "width": w} for i, (h, w) in sizes.items()]
    categories = [{"id": c, "name": f"c{c}"} for c in (1, 2, 3, 7)]
    anns = []

    def gt(image_id, cat, box, *, crowd=0, area=None, polys=None, rle_mask=None):
        h, w = sizes[image_id]
        if rle_mask is not None:
            rle = qm.encode(np.asfortranarray(rle_mask.astype(np.uint8))[:, :, None])[0]
            seg = {"size": [h, w], "counts": [int(v) for v in _counts_of(rle)]}
        else:
            seg = polys if polys is not None else [box_polygon(*box)]
        anns.append({"id": len(anns) + 1, "image_id": image_id, "category_id": cat,
                     "bbox": [float(v) for v in box], "iscrowd": crowd,
                     "area": float(box[2] * box[3]) if area is None else float(area),
                     "segmentation": seg})

    # image 1: small image, a crowd RLE covering a corner plus ordinary objects
    m = np.zeros(sizes[1], np.uint8)
    m[0:20, 0:30] = 1
    gt(1, 1, [0, 0, 30, 20], crowd=1, rle_mask=m)
    gt(1, 1, [5, 5, 10, 8])
    gt(1, 2, [30, 10, 25, 25])
    gt(1, 1, [40, 2, 3, 3])  # tiny
    # image 2: areas exactly on the bounds 32^2 and 96^2, and one just above
    gt(2, 1, [0, 0, 32, 32], area=32.0 ** 2)
    gt(2, 2, [10, 10, 96, 96], area=96.0 ** 2)
    gt(2, 3, [40, 40, 33, 33], area=33.0 ** 2)
    gt(2, 3, [60, 5, 20, 30], crowd=1)  # crowd given as a polygon
    gt(2, 1, [100, 90, 20, 20])
    # image 3: very small image, objects overlapping the border
    gt(3, 1, [-2, -2, 10, 10], area=64.0)
    gt(3, 2, [18, 18, 10, 10], area=36.0)
    # image 4: the crowded image (>100 detections), several ground truths
    for k in range(12):
        gt(4, 1 + k % 2, [5 + 12 * k, 10 + 5 * (k % 4), 10, 14])
    gt(4, 1, [0, 60, 150, 40], crowd=1)
    # image 5: ground truth only
    gt(5, 7, [4, 4, 20, 20])
    gt(5, 7, [10, 10, 20, 20])
    # image 6: detections only (no annotations)

    dataset = {"images": images, "categories": categories, "annotations": anns}

    bbox_res, segm_res = [], []

    def det(image_id, cat, box, score):
        h, w = sizes[image_id]
        box = [float(v) for v in box]
        bbox_res.append({"image_id": image_id, "category_id": cat, "bbox": box, "score": score})
        segm_res.append({"image_id": image_id, "category_id": cat, "score": score,
                         "segmentation": rle_of_polygons([box_polygon(*box)], h, w)})

    # detections matching the ground truth with various overlaps
    for a in anns:
        x, y, w, h = a["bbox"]
        det(a["image_id"], a["category_id"], [x + 1, y, w, h], _score(rng))
    # perfect copies of a few (IoU exactly 1 for the 1.0 threshold variant)
    det(1, 2, [30, 10, 25, 25], 0.5)
    det(2, 1, [0, 0, 32, 32], 0.5)
    # equal scores on different images, and inside crowd regions
    for image_id in (1, 2, 3, 5, 6):
        det(image_id, 1, [2, 2, 6, 6], 0.5)
    det(1, 1, [1, 1, 8, 8], 0.5)
    det(1, 1, [10, 2, 12, 12], 0.5)
    # detection areas on the bounds (bbox results get area w*h)
    det(6, 2, [0, 0, 32, 32], 0.4)
    det(6, 3, [0, 0, 96, 96], 0.4)
    det(6, 7, [50, 50, 2, 2], 0.3)
    # the crowded image: 150 detections, score ties across the cap of 100
    # 80 detections above the tie group plus at most 13 with random scores
    # above it put the 25 tied ones across rank 100
    for k in range(150):
        s = 0.9 - 0.005 * k if k < 80 else (0.3 if k < 105 else 0.25 - 0.001 * k)
        x = float(rng.uniform(0, 140))
        y = float(rng.uniform(0, 90))
        det(4, 1 + int(rng.integers(0, 2)), [_r2(x), _r2(y), _r2(rng.uniform(3, 20)), _r2(rng.uniform(3, 20))], s)
    # a category unknown to the dataset's list is just never evaluated
    det(1, 7, [5, 5, 10, 8], 0.9)
    return dataset, bbox_res, segm_res


def synthetic_keypoints(seed: int, nkp: int = 5) -> tuple[dict, list[dict]]:
    """A small keypoint dataset: people with few visible points, people with
    none (ignored; their boxes drive the enlarged-box distance), a crowd, and
    detections of random quality."""
    rng = np.random.default_rng(seed)
    sizes = {1: (80, 100), 2: (60, 60), 3: (200, 150)}
    images = [{"id": i, "height": h, "width": w} for i, (h, w) in sizes.items()]
    categories = [{"id": 1, "name": "person", "keypoints": [f"k{i}" for i in range(nkp)]}]
    anns, res = [], []
    for image_id, (ih, iw) in sizes.items():
        for k in range(4):
            w, h = rng.uniform(10, iw / 2), rng.uniform(10, ih / 2)
            x, y = rng.uniform(0, iw - w), rng.uniform(0, ih - h)
            kps = []
            visible = 0 if k == 3 else int(rng.integers(1, nkp + 1))
            for j in range(nkp):
                if j < visible:
                    kps += [_r2(x + rng.uniform(0, w)), _r2(y + rng.uniform(0, h)), int(rng.integers(1, 3))]
                else:
                    kps += [0, 0, 0]
            anns.append({"id": len(anns) + 1, "image_id": image_id, "category_id": 1,
                         "bbox": [_r2(x), _r2(y), _r2(w), _r2(h)], "area": _r2(w * h * 0.7),
                         "iscrowd": int(k == 2 and image_id == 3), "num_keypoints": visible,
                         "keypoints": kps})
            for c in range(int(rng.integers(0, 3))):
                pts = []
                for j in range(nkp):
                    gx, gy, v = kps[3 * j: 3 * j + 3]
                    if v > 0:
                        pts += [_r2(gx + rng.normal(0, 2 + 4 * c)), _r2(gy + rng.normal(0, 2 + 4 * c)), 1]
                    else:
                        pts += [_r2(x + rng.uniform(-w, 2 * w)), _r2(y + rng.uniform(-h, 2 * h)), 1]
                res.append({"image_id": image_id, "category_id": 1, "keypoints": pts,
                            "score": 0.5 if c == 1 else _score(rng)})
    dataset = {"images": images, "categories": categories, "annotations": anns}
    return dataset, res


def _counts_of(rle: dict) -> list[int]:
    """Uncompressed run lengths of a compressed RLE dict (decoded densely)."""
    return counts_from_dense(qm.decode([rle])[:, :, 0])


# ---------------------------------------------------------------------------
# the reference COCO API, and our Evaluator prepared the way it prepares


def reference_coco(dataset: dict):
    import pytest

    COCO = pytest.importorskip("pycocotools.coco", reason="pycocotools is not installed").COCO

    with contextlib.redirect_stdout(io.StringIO()):
        c = COCO()
        c.dataset = copy.deepcopy(dataset)
        c.createIndex()
    return c


def reference_results(coco_gt, results: list[dict]):
    with contextlib.redirect_stdout(io.StringIO()):
        return coco_gt.loadRes(copy.deepcopy(results))


def evaluated_pair(dataset: dict, results: list[dict], iou_type: str, tweak=None,
                   ref_dataset: dict | None = None):
    """(ours, the reference's COCOeval), both after evaluate() with the
    same parameters (`tweak`, if given, changes both); the reference reads
    `ref_dataset` where it needs the dataset written otherwise."""
    import pytest

    pycocoeval = pytest.importorskip("pycocotools.cocoeval", reason="pycocotools is not installed")
    import quillscore

    ref_gt = reference_coco(dataset if ref_dataset is None else ref_dataset)
    ref = pycocoeval.COCOeval(ref_gt, reference_results(ref_gt, results), iou_type)
    gt = quillscore.COCO(copy.deepcopy(dataset))
    ours = quillscore.COCOeval(gt, gt.loadRes(copy.deepcopy(results)), iou_type)
    if tweak is not None:
        for p in (ref.params, ours.params):
            tweak(p)
    with contextlib.redirect_stdout(io.StringIO()):
        ref.evaluate()
    ours.evaluate()
    return ours, ref


def finished(E, tweak=None):
    """A COCOeval (ours or the reference's) with `tweak` applied to its
    parameters, evaluated, accumulated and summarised quietly."""
    if tweak is not None:
        tweak(E.params)
    with contextlib.redirect_stdout(io.StringIO()):
        E.evaluate()
        E.accumulate()
        E.summarize()
    return E


def reference_finished(dataset: dict, results: list[dict], iou_type: str, tweak=None):
    """The reference COCO API's finished evaluation of the dicts."""
    import pytest

    pycocoeval = pytest.importorskip("pycocotools.cocoeval", reason="pycocotools is not installed")
    gt = reference_coco(dataset)
    return finished(pycocoeval.COCOeval(gt, reference_results(gt, results), iou_type), tweak)


def write_files(folder, dataset: dict, results: list[dict]) -> tuple[str, str]:
    """The dataset and results as gt.json and dt.json in `folder`."""
    gt, dt = folder / "gt.json", folder / "dt.json"
    gt.write_text(json.dumps(dataset))
    dt.write_text(json.dumps(results))
    return str(gt), str(dt)


def changed(make, change):
    """`make` (giving dataset and results) with `change(dataset, results)`
    applied to a copy of what it gives."""
    def made():
        dataset, results = copy.deepcopy(make())
        change(dataset, results)
        return dataset, results
    return made


def assert_same_evaluation(a, b):
    assert list(a.stats) == list(b.stats)
    for key in ("precision", "recall", "scores"):
        assert np.array_equal(a.eval[key], b.eval[key]), key


def image_sizes(dataset: dict) -> dict:
    return {im["id"]: (im["height"], im["width"]) for im in dataset["images"]}


def evaluator_for(coco_gt, coco_dt, E, iou_type: str, sizes: dict, **extra):
    """Our Evaluator built from the reference's params, prepared the way the
    reference prepares them when it evaluates: sorted unique image and
    category ids, and max_dets sorted ascending (the reference sorts them,
    so its last entry, the cap, is always the largest).

    Call it before the reference evaluates: the reference writes rasterised
    masks and ignore flags into the annotation dicts it evaluates, and our
    Evaluator must see the annotations as they were given (polygons
    included). The dicts are copied anyway so neither side sees the other's
    changes."""
    p = E.params
    img_ids = [int(i) for i in np.unique(p.imgIds)]
    cat_ids = [int(c) for c in np.unique(p.catIds)]
    cats = cat_ids if p.useCats else []
    gts = copy.deepcopy(coco_gt.loadAnns(coco_gt.getAnnIds(imgIds=img_ids, catIds=cats)))
    dts = copy.deepcopy(coco_dt.loadAnns(coco_dt.getAnnIds(imgIds=img_ids, catIds=cats)))
    sigmas = getattr(p, "kpt_oks_sigmas", None)
    return qm.Evaluator(
        gts, dts, sizes,
        img_ids=img_ids, cat_ids=cat_ids,
        iou_thrs=list(p.iouThrs), rec_thrs=list(p.recThrs),
        max_dets=sorted(int(m) for m in p.maxDets), area_rng=[list(r) for r in p.areaRng],
        use_cats=bool(p.useCats), iou_type=iou_type,
        kpt_sigmas=[] if sigmas is None else list(sigmas), **extra)


def run_reference(E):
    with contextlib.redirect_stdout(io.StringIO()):
        E.evaluate()
        E.accumulate()


def assert_records_equal(ours: list, theirs: list, area_rng):
    assert len(ours) == len(theirs)
    for i, (o, t) in enumerate(zip(ours, theirs)):
        if t is None:
            assert o is None, (i, o)
            continue
        assert o is not None, (i, t)
        where = (i, t["image_id"], t["category_id"])
        assert list(o) == ["image_id", "category_id", "aRng", "maxDet", "dtIds", "gtIds",
                           "dtMatches", "gtMatches", "dtScores", "gtIgnore", "dtIgnore"]
        assert o["image_id"] == t["image_id"], where
        assert o["category_id"] == t["category_id"], where
        assert list(area_rng[o["aRng"]]) == list(t["aRng"]), where
        assert o["maxDet"] == t["maxDet"], where
        assert o["dtIds"] == list(t["dtIds"]), where
        assert o["gtIds"] == list(t["gtIds"]), where
        assert type(o["dtScores"]) is list
        assert np.array_equal(np.asarray(o["dtScores"], float), np.asarray(t["dtScores"], float),
                              equal_nan=True), where
        for key in ("dtMatches", "gtMatches", "gtIgnore", "dtIgnore"):
            theirs_arr = t[key]
            assert (o[key].dtype, o[key].shape) == (theirs_arr.dtype, theirs_arr.shape), (where, key)
            assert np.array_equal(o[key], theirs_arr), (where, key, o[key], theirs_arr)


def assert_same_as_reference(result: dict, E, *, records: bool = True, equal_nan: bool = False):
    ev = E.eval
    for key in ("precision", "recall", "scores"):
        ours, theirs = result[key], ev[key]
        assert ours.shape == theirs.shape, key
        if not np.array_equal(ours, theirs, equal_nan=equal_nan):
            diff = np.argwhere(~((ours == theirs) | (np.isnan(ours) & np.isnan(theirs))))
            idx = tuple(diff[0])
            raise AssertionError(
                f"{key} differs at {len(diff)} positions, first {idx}: ours {ours[idx]!r}, "
                f"reference {theirs[idx]!r}")
    if records:
        assert_records_equal(result["evalImgs"], E.evalImgs, E.params.areaRng)


# ---------------------------------------------------------------------------
# random masks for Boundary IoU


def _blob(rng, h, w):
    yy, xx = np.mgrid[0:h, 0:w]
    m = np.zeros((h, w), bool)
    for _ in range(int(rng.integers(1, 3))):
        if rng.random() < 0.5:
            cy, cx = rng.uniform(0, h), rng.uniform(0, w)
            ry, rx = rng.uniform(1, max(1.5, h / 2.5)), rng.uniform(1, max(1.5, w / 2.5))
            m |= ((yy - cy) / ry) ** 2 + ((xx - cx) / rx) ** 2 <= 1
        else:
            y0, x0 = int(rng.integers(0, h)), int(rng.integers(0, w))
            m[y0:y0 + int(rng.integers(1, h + 1)), x0:x0 + int(rng.integers(1, w + 1))] = True
    if not m.any():
        m[int(rng.integers(0, h)), int(rng.integers(0, w))] = True
    return m


def _perturbed(rng, m):
    h, w = m.shape
    u = rng.random()
    if u < 0.15:
        return m.copy()
    out = np.roll(m, (int(rng.integers(-1, 2)), int(rng.integers(-1, 2))), axis=(0, 1))
    if u < 0.6:
        # grow or shrink by a pixel somewhere along the outline
        grown = out.copy()
        grown[1:, :] |= out[:-1, :]
        out = grown if rng.random() < 0.5 else out & ~(grown & ~out)
    else:
        out = out ^ (rng.random(m.shape) < 0.01)
    if not out.any():
        out = m.copy()
    return out


def random_mask_dataset(seed: int):
    """(dataset, results, gt_masks, dt_masks): a few images of assorted
    sizes (diagonals on both sides of the dilation radius steps), two
    categories, some crowd ground truths, detections that are perturbed
    copies of ground truths or random blobs. Segmentations are compressed
    RLE dicts; gt_masks maps annotation id -> dense mask and dt_masks is
    aligned with results (detection id = position + 1)."""
    rng = np.random.default_rng(seed)
    sizes = {1: (30, 40), 2: (64, 64), 3: (17, 90), 4: (100, 80), 5: (7, 5)}
    images = [{"id": i, "height": h, "width": w} for i, (h, w) in sizes.items()]
    anns, gt_masks, results, dt_masks = [], {}, [], []
    for image_id, (h, w) in sizes.items():
        for _ in range(int(rng.integers(1, 5))):
            m = _blob(rng, h, w)
            ann_id = len(anns) + 1
            ys, xs = np.nonzero(m)
            anns.append({"id": ann_id, "image_id": image_id, "category_id": int(rng.integers(1, 3)),
                         "iscrowd": int(rng.random() < 0.2), "area": float(m.sum()),
                         "bbox": [float(xs.min()), float(ys.min()), float(xs.max() - xs.min() + 1),
                                  float(ys.max() - ys.min() + 1)],
                         "segmentation": rle_of_mask(m)})
            gt_masks[ann_id] = m
            for _ in range(int(rng.integers(0, 3))):
                dm = _perturbed(rng, m)
                cat = anns[-1]["category_id"] if rng.random() < 0.9 else 3 - anns[-1]["category_id"]
                results.append({"image_id": image_id, "category_id": cat, "score": _score(rng),
                                "segmentation": rle_of_mask(dm)})
                dt_masks.append(dm)
        for _ in range(int(rng.integers(0, 3))):
            dm = _blob(rng, h, w)
            results.append({"image_id": image_id, "category_id": int(rng.integers(1, 3)),
                            "score": _score(rng), "segmentation": rle_of_mask(dm)})
            dt_masks.append(dm)
    dataset = {"images": images, "annotations": anns,
               "categories": [{"id": 1, "name": "a"}, {"id": 2, "name": "b"}]}
    return dataset, results, gt_masks, dt_masks


def naive_band(mask: np.ndarray, ratio: float) -> np.ndarray:
    """Mask pixels within the erosion distance of the outside: the mask minus
    its n-fold 3x3 erosion, with everything beyond the image counting as
    outside; n is ratio * diagonal rounded half away from zero, at least 1."""
    h, w = mask.shape
    d = ratio * math.sqrt(h * h + w * w)
    d = math.floor(d + 0.5) if d >= 0 else 0
    n = max(1, int(d))
    cur = np.zeros((h + 2, w + 2), bool)
    cur[1:-1, 1:-1] = mask
    for _ in range(n):
        nxt = np.zeros_like(cur)
        inner = np.ones((h, w), bool)
        for dy in (0, 1, 2):
            for dx in (0, 1, 2):
                inner &= cur[dy:dy + h, dx:dx + w]
        nxt[1:-1, 1:-1] = inner
        cur = nxt
    return mask & ~cur[1:-1, 1:-1]


def naive_mask_iou(d: np.ndarray, g: np.ndarray, crowd: bool) -> float:
    inter = int(np.count_nonzero(d & g))
    if inter == 0:
        return 0.0
    union = int(np.count_nonzero(d)) if crowd else int(np.count_nonzero(d | g))
    return inter / union


def naive_boundary_iou(d: np.ndarray, g: np.ndarray, crowd: bool, ratio: float) -> float:
    full = naive_mask_iou(d, g, crowd)
    if crowd:
        return full
    return min(full, naive_mask_iou(naive_band(d, ratio), naive_band(g, ratio), False))


# ---------------------------------------------------------------------------
# small hand-made evaluators

TINY_PARAMS = dict(img_ids=[1, 2], cat_ids=[1, 2], iou_thrs=[0.5, 0.75], rec_thrs=[0.0, 0.5, 1.0],
                   max_dets=[1, 10, 100], area_rng=[[0.0, 1e10], [0.0, 1024.0], [1024.0, 1e10]],
                   use_cats=True, iou_type="bbox", kpt_sigmas=[0.1, 0.1, 0.1])


def tiny(gt, dt, sizes=None, **overrides):
    """An Evaluator over hand-written annotation lists with small default
    parameters (two images, two categories, two thresholds)."""
    args = dict(TINY_PARAMS)
    args.update(overrides)
    return qm.Evaluator(gt, dt, {} if sizes is None else sizes, **args)


def box_ann(image_id, cat, box, **extra):
    d = {"image_id": image_id, "category_id": cat, "bbox": [float(v) for v in box]}
    d.update(extra)
    return d


def large_bbox_lists(seed: int, images: int = 300, cats: int = 4, gts: int = 20, dts: int = 60):
    """Many boxes per image and category, no crowds: a run that takes a
    noticeable fraction of a second."""
    rng = np.random.default_rng(seed)
    gt, dt = [], []
    for i in range(images):
        for c in range(cats):
            xy, wh = rng.uniform(0, 500, (gts, 2)), rng.uniform(5, 80, (gts, 2))
            gt += [{"image_id": i, "category_id": c, "bbox": [xy[k, 0], xy[k, 1], wh[k, 0], wh[k, 1]]}
                   for k in range(gts)]
            xy, wh, sc = rng.uniform(0, 500, (dts, 2)), rng.uniform(5, 80, (dts, 2)), rng.random(dts)
            dt += [{"image_id": i, "category_id": c, "score": sc[k],
                    "bbox": [xy[k, 0], xy[k, 1], wh[k, 0], wh[k, 1]]} for k in range(dts)]
    params = dict(img_ids=list(range(images)), cat_ids=list(range(cats)),
                  iou_thrs=list(np.linspace(0.5, 0.95, 10)), rec_thrs=list(np.linspace(0, 1, 101)),
                  max_dets=[1, 10, 100], area_rng=[[0, 1e10], [0, 1024], [1024, 9216], [9216, 1e10]],
                  use_cats=True, iou_type="bbox", kpt_sigmas=[])
    return gt, dt, params


# Parameter changes the differential tables apply: each takes the Params.

def set_params(**fields):
    def tweak(p):
        for k, v in fields.items():
            setattr(p, k, copy.deepcopy(v))
    return tweak


def image_and_category_subsets(p):
    p.imgIds = sorted(p.imgIds)[::3]
    p.catIds = sorted(p.catIds)[1::4]


def pooled_subset(p):
    p.useCats = 0
    p.catIds = sorted(p.catIds)[::2]
