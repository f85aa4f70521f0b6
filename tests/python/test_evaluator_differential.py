"""The Evaluator against the reference COCO API (pycocotools' COCOeval):
the same annotations and parameters through both, and the accumulated
precision, recall and score arrays and every per-image record must be
identical, bit for bit.

Inputs: the published fake results on the val2014 100-image subset, seeded
perturbations of the COCO-mini 2017 instances and person keypoints, small
synthetic datasets built on the protocol's edges (crowds, area-range
bounds, score ties across images and at the detection cap, NaN and
infinite geometry), and the CrowdPose-style keypoint sample.

Parameters are the reference's, prepared as it prepares them for
evaluation (sorted unique ids, max_dets sorted ascending); an unsorted
max_dets list, which the reference never evaluates, is checked against the
reference's sorted run separately. Boundary IoU, which the reference does
not offer, is checked against a dense-pixel computation written here.
"""

from __future__ import annotations

import copy

import numpy as np
import pytest

import _eval_data as data


def reference_eval(coco_gt, coco_dt, iou_type):
    """pycocotools' COCOeval on the two sets; the test skips (with the reason
    shown by -rs) where pycocotools is not installed."""
    cocoeval = pytest.importorskip("pycocotools.cocoeval", reason="pycocotools is not installed")
    return cocoeval.COCOeval(coco_gt, coco_dt, iou_type)


VAL2014 = "coco_val2014_100/instances_val2014_100.json"
MINI = {
    "val": "coco_mini_2017/instances_val2017.json",
    "train": "coco_mini_2017/instances_train2017.json",
}
MINI_KP = {
    "val": "coco_mini_2017/person_keypoints_val2017.json",
    "train": "coco_mini_2017/person_keypoints_train2017.json",
}
CROWDPOSE_SIGMAS = [s / 10 for s in (.79, .79, .72, .72, .62, .62, 1.07, 1.07, .87, .87, .89, .89, .79, .79)]
SYN_KP_SIGMAS = [0.026, 0.025, 0.025, 0.035, 0.035]


def compare(dataset, results, iou_type, tweak=None, *, sizes=None, equal_nan=False):
    """Evaluate `results` against `dataset` both ways and require identical
    output. `tweak(params)` adjusts the reference's parameters first; ours
    are then taken from them."""
    gt = data.reference_coco(dataset)
    dt = data.reference_results(gt, results)
    E = reference_eval(gt, dt, iou_type)
    if tweak is not None:
        tweak(E.params)
    ev = data.evaluator_for(gt, dt, E, iou_type, data.image_sizes(dataset) if sizes is None else sizes)
    ours = ev.run(collect_eval_imgs=True)
    data.run_reference(E)
    data.assert_same_as_reference(ours, E, equal_nan=equal_nan)
    return ours, E


def _set(**fields):
    def tweak(p):
        for k, v in fields.items():
            setattr(p, k, v)
    return tweak


def _subsets(p):
    p.imgIds = sorted(p.imgIds)[::3]
    p.catIds = sorted(p.catIds)[1::4] if len(p.catIds) > 1 else p.catIds


def _no_cats_subset(p):
    p.useCats = 0
    p.catIds = sorted(p.catIds)[::2] if len(p.catIds) > 1 else p.catIds


VARIANTS = {
    "default": None,
    "area-ranges": _set(areaRng=[[0, 1e10], [0, 20 ** 2], [20 ** 2, 60 ** 2], [60 ** 2, 1e10],
                                 [32 ** 2, 32 ** 2], [500, 100]]),
    "max-dets-1-10-100": _set(maxDets=[1, 10, 100]),
    "max-dets-100": _set(maxDets=[100]),
    "one-iou": _set(iouThrs=np.array([0.5])),
    "iou-one": _set(iouThrs=np.array([0.75, 1.0])),
    "eleven-recall": _set(recThrs=np.linspace(0, 1, 11)),
    "no-cats": _set(useCats=0),
    "no-cats-subset": _no_cats_subset,
    "subsets": _subsets,
}


# ---------------------------------------------------------------------------
# real data, default parameters


@pytest.mark.parametrize("iou_type", ["bbox", "segm"])
def test_val2014_fake_results(load_data, iou_type):
    dataset = load_data(VAL2014)
    results = load_data(f"coco_val2014_100/fake_{iou_type}_results.json")
    ours, E = compare(dataset, results, iou_type)
    # not vacuous: a good share of the cells hold positive precision
    assert (ours["precision"] > 0).mean() > 0.1


@pytest.mark.parametrize("split", sorted(MINI))
@pytest.mark.parametrize("iou_type", ["bbox", "segm"])
def test_coco_mini_perturbed(load_data, split, iou_type):
    dataset = load_data(MINI[split])
    results = data.perturb_instances(dataset, seed=11 if split == "val" else 12, kind=iou_type)
    ours, _ = compare(dataset, results, iou_type)
    assert (ours["precision"] > 0).mean() > 0.1


@pytest.mark.parametrize("split", sorted(MINI_KP))
def test_coco_mini_keypoints_perturbed(load_data, split):
    dataset = load_data(MINI_KP[split])
    results = data.perturb_keypoints(dataset, seed=21 if split == "val" else 22)
    ours, _ = compare(dataset, results, "keypoints")
    assert (ours["precision"] > 0).mean() > 0.1


# ---------------------------------------------------------------------------
# parameter variants


@pytest.mark.parametrize("variant", sorted(VARIANTS))
def test_variants_val2014_bbox(load_data, variant):
    dataset = load_data(VAL2014)
    compare(dataset, load_data("coco_val2014_100/fake_bbox_results.json"), "bbox", VARIANTS[variant])


@pytest.mark.parametrize("variant", sorted(VARIANTS))
def test_variants_coco_mini_segm(load_data, variant):
    dataset = load_data(MINI["val"])
    compare(dataset, data.perturb_instances(dataset, seed=31, kind="segm"), "segm", VARIANTS[variant])


# With useCats = 0 the reference's keypoint evaluation matches no detection
# at all (every dtMatches entry of every record is 0, however good the
# detections): it computes no keypoint similarity for pooled categories.
# Pooled keypoints are therefore checked separately, on single-category
# data, against the reference's per-category run.
KP_VARIANTS = sorted(v for v in VARIANTS if not v.startswith("no-cats"))


@pytest.mark.parametrize("variant", KP_VARIANTS)
def test_variants_coco_mini_keypoints(load_data, variant):
    dataset = load_data(MINI_KP["train"])
    compare(dataset, data.perturb_keypoints(dataset, seed=32), "keypoints", VARIANTS[variant])


@pytest.mark.parametrize("variant", sorted(VARIANTS))
@pytest.mark.parametrize("iou_type", ["bbox", "segm"])
def test_variants_synthetic(variant, iou_type):
    dataset, bbox_res, segm_res = data.synthetic_instances(seed=41)
    compare(dataset, bbox_res if iou_type == "bbox" else segm_res, iou_type, VARIANTS[variant])


@pytest.mark.parametrize("variant", ["default", "max-dets-1-10-100", "one-iou", "area-ranges", "subsets"])
@pytest.mark.parametrize("seed", [51, 52])
def test_variants_synthetic_keypoints(variant, seed):
    dataset, results = data.synthetic_keypoints(seed)
    tweak = VARIANTS[variant]

    def both(p):
        p.kpt_oks_sigmas = np.array(SYN_KP_SIGMAS)
        if tweak is not None:
            tweak(p)

    compare(dataset, results, "keypoints", both)


@pytest.mark.parametrize("iou_type", ["bbox", "segm"])
def test_unsorted_max_dets_cap_at_last_entry(load_data, iou_type):
    """The reference sorts maxDets before evaluating, so it never sees an
    unsorted list. Ours keeps the caller's order and caps matching at the
    last entry: [100, 1, 10] caps at 10, its 100 cell equals its 10 cell,
    and all three equal the reference's [1, 10] cells."""
    from quillscore import _vireo as qm

    dataset = load_data(VAL2014)
    results = load_data(f"coco_val2014_100/fake_{iou_type}_results.json")
    gt = data.reference_coco(dataset)
    dt = data.reference_results(gt, results)
    E = reference_eval(gt, dt, iou_type)
    E.params.maxDets = [1, 10]
    p = E.params
    ev = qm.Evaluator(copy.deepcopy(gt.loadAnns(gt.getAnnIds())), copy.deepcopy(dt.loadAnns(dt.getAnnIds())),
                      data.image_sizes(dataset), list(p.imgIds), list(p.catIds), list(p.iouThrs),
                      list(p.recThrs), [100, 1, 10], [list(r) for r in p.areaRng], True, iou_type, [])
    ours = ev.run(collect_eval_imgs=True)
    data.run_reference(E)
    for key in ("precision", "recall", "scores"):
        for m_ours, m_ref in ((0, 1), (1, 0), (2, 1)):
            assert np.array_equal(ours[key][..., m_ours], E.eval[key][..., m_ref]), (key, m_ours)
    assert {r["maxDet"] for r in ours["evalImgs"] if r is not None} == {10}
    assert max(len(r["dtIds"]) for r in ours["evalImgs"] if r is not None) == 10


@pytest.mark.parametrize("source", ["mini-val", "mini-train", "synthetic"])
def test_pooled_keypoints_equal_the_single_category(load_data, source):
    """With one category, pooling categories changes nothing but the
    reported category id (-1)."""
    from quillscore import _vireo as qm

    if source == "synthetic":
        dataset, results = data.synthetic_keypoints(53)
        sigmas = SYN_KP_SIGMAS
    else:
        dataset = load_data(MINI_KP[source[5:]])
        results = data.perturb_keypoints(dataset, seed=54)
        sigmas = None
    assert len(dataset["categories"]) == 1
    gt = data.reference_coco(dataset)
    dt = data.reference_results(gt, results)
    E = reference_eval(gt, dt, "keypoints")
    if sigmas is not None:
        E.params.kpt_oks_sigmas = np.array(sigmas)
    p = E.params
    ev = qm.Evaluator(copy.deepcopy(gt.loadAnns(gt.getAnnIds())), copy.deepcopy(dt.loadAnns(dt.getAnnIds())),
                      {}, list(p.imgIds), list(p.catIds), list(p.iouThrs), list(p.recThrs),
                      list(p.maxDets), [list(r) for r in p.areaRng], False, "keypoints",
                      list(p.kpt_oks_sigmas))
    ours = ev.run(collect_eval_imgs=True)
    data.run_reference(E)
    for rec in E.evalImgs:
        if rec is not None:
            rec["category_id"] = -1
    data.assert_same_as_reference(ours, E)


# ---------------------------------------------------------------------------
# synthetic edge cases


def test_synthetic_exercises_its_edges():
    """The synthetic set must really contain what it is meant to test."""
    dataset, bbox_res, _ = data.synthetic_instances(seed=41)
    anns = dataset["annotations"]
    assert any(a["iscrowd"] and isinstance(a["segmentation"], dict) for a in anns)
    assert any(a["iscrowd"] and isinstance(a["segmentation"], list) for a in anns)
    assert {32.0 ** 2, 96.0 ** 2} <= {a["area"] for a in anns}
    per_image = {}
    for d in bbox_res:
        per_image[d["image_id"]] = per_image.get(d["image_id"], 0) + 1
    assert max(per_image.values()) > 100
    assert 6 in per_image and not any(a["image_id"] == 6 for a in anns)
    ranked = sorted((d["score"] for d in bbox_res if d["image_id"] == 4), reverse=True)
    assert ranked[99] == ranked[100]  # a tie straddles the cap of 100


@pytest.mark.parametrize("iou_type", ["bbox", "segm"])
def test_cap_ties_keep_intake_order(iou_type):
    """With 150 detections on one image and ties across the cap, which ones
    survive the cap is decided by intake order, as in the reference."""
    dataset, bbox_res, segm_res = data.synthetic_instances(seed=41)
    results = bbox_res if iou_type == "bbox" else segm_res
    for variant in ("max-dets-1-10-100", "max-dets-100"):
        compare(dataset, list(reversed(results)), iou_type, VARIANTS[variant])


def test_nan_and_infinite_boxes_and_scores():
    dataset, bbox_res, _ = data.synthetic_instances(seed=41)
    nan, inf = float("nan"), float("inf")
    res = copy.deepcopy(bbox_res)
    res[0]["bbox"][0] = nan
    res[1]["bbox"][2] = inf
    res[2]["bbox"][3] = -inf
    res[3]["bbox"] = [nan, nan, nan, nan]
    res[4]["bbox"] = [0, 0, inf, inf]
    res[5]["score"] = nan
    res[6]["score"] = nan
    res[7]["score"] = inf
    res[8]["score"] = -inf
    for i in range(9, len(res), 7):  # -0 and 0 tie, across images
        res[i]["score"] = -0.0 if i % 2 else 0.0
    dataset = copy.deepcopy(dataset)
    dataset["annotations"][1]["bbox"][1] = inf
    dataset["annotations"][2]["bbox"][2] = nan
    dataset["annotations"][3]["area"] = nan
    for variant in ("default", "max-dets-1-10-100", "no-cats"):
        compare(dataset, res, "bbox", VARIANTS[variant], equal_nan=True)


def test_all_scores_nan_keep_intake_order():
    dataset, bbox_res, _ = data.synthetic_instances(seed=41)
    res = copy.deepcopy(bbox_res)
    for d in res:
        d["score"] = float("nan")
    compare(dataset, res, "bbox", equal_nan=True)


@pytest.mark.parametrize("seed", [61, 62, 63])
def test_random_small_datasets(seed):
    """Many tiny images with a few heavily overlapping objects each, so that
    greedy matching, crowd reuse and area-range ignoring interact."""
    rng = np.random.default_rng(seed)
    images, anns, res = [], [], []
    for image_id in range(1, 16):
        h, w = int(rng.integers(8, 60)), int(rng.integers(8, 60))
        images.append({"id": image_id, "height": h, "width": w})
        for _ in range(int(rng.integers(0, 5))):
            bw, bh = float(rng.integers(1, w + 1)), float(rng.integers(1, h + 1))
            box = [float(rng.integers(0, w)), float(rng.integers(0, h)), bw, bh]
            anns.append({"id": len(anns) + 1, "image_id": image_id,
                         "category_id": int(rng.integers(1, 3)), "bbox": box,
                         "area": float(rng.choice([bw * bh, 32 ** 2, 0.0, bw * bh + 0.5])),
                         "iscrowd": int(rng.random() < 0.2),
                         "segmentation": [data.box_polygon(*box)]})
        for _ in range(int(rng.integers(0, 8))):
            box = [float(rng.integers(0, w)), float(rng.integers(0, h)),
                   float(rng.integers(1, w + 1)), float(rng.integers(1, h + 1))]
            res.append({"image_id": image_id, "category_id": int(rng.integers(1, 3)), "bbox": box,
                        "score": float(rng.choice([0.5, 0.25, 0.75, rng.random()]))})
    dataset = {"images": images, "annotations": anns,
               "categories": [{"id": 1, "name": "a"}, {"id": 2, "name": "b"}]}
    segm = []
    for d in res:
        h, w = images[d["image_id"] - 1]["height"], images[d["image_id"] - 1]["width"]
        segm.append({"image_id": d["image_id"], "category_id": d["category_id"], "score": d["score"],
                     "segmentation": data.rle_of_polygons([data.box_polygon(*d["bbox"])], h, w)})
    for variant in ("default", "area-ranges", "no-cats", "one-iou", "max-dets-100"):
        compare(dataset, res, "bbox", VARIANTS[variant])
        compare(dataset, segm, "segm", VARIANTS[variant])


# ---------------------------------------------------------------------------
# CrowdPose-style keypoints: 14 points, custom sigmas


@pytest.mark.parametrize("use_area", [True, False])
def test_crowdpose_sample(load_data, use_area):
    """The sample's ground truth carries no "area". Ours defaults it to the
    box's w*h (and with use_area=False scales OKS by 0.53*w*h); the
    reference needs it spelled out, so it gets exactly those values. With
    use_area=False only the all-area range is compared, because the
    reference's scale and area range read the same field."""
    dataset = load_data("keypoints_samples/crowdpose_val_sample.json")
    results = load_data("keypoints_samples/crowdpose_results_sample.json")
    assert all("area" not in a for a in dataset["annotations"])
    assert len(results[0]["keypoints"]) == 3 * 14
    spelled = copy.deepcopy(dataset)
    for a in spelled["annotations"]:
        a["area"] = a["bbox"][2] * a["bbox"][3] * (1.0 if use_area else 0.53)
    gt = data.reference_coco(spelled)
    dt = data.reference_results(gt, results)
    E = reference_eval(gt, dt, "keypoints")
    E.params.kpt_oks_sigmas = np.array(CROWDPOSE_SIGMAS)
    if not use_area:
        E.params.areaRng = [[0, 1e10]]
    p = E.params
    from quillscore import _vireo as qm

    ev = qm.Evaluator(copy.deepcopy(dataset["annotations"]),
                      copy.deepcopy(dt.loadAnns(dt.getAnnIds())), {},
                      list(p.imgIds), list(p.catIds), list(p.iouThrs), list(p.recThrs),
                      list(p.maxDets), [list(r) for r in p.areaRng], True, "keypoints_crowd",
                      CROWDPOSE_SIGMAS, use_area=use_area)
    ours = ev.run(collect_eval_imgs=True)
    data.run_reference(E)
    data.assert_same_as_reference(ours, E)
    assert (ours["precision"] > 0).any()


# ---------------------------------------------------------------------------
# Boundary IoU against a dense-pixel computation written here


def naive_verdicts(dataset, results, dt_masks, gt_masks, thr, ratio, cap=100):
    """{dt id: (gt id or -1, iou, ignored)} and {gt id: matched} by greedy
    matching per image and category on dense-pixel Boundary IoU: detections
    by descending score (ties in input order), crowd ground truths last and
    reusable, a counted match never traded for a crowd one."""
    thr = min(thr, 1 - 1e-10)
    dets, gts = {}, {}
    for i, d in enumerate(results):
        dets.setdefault((d["image_id"], d["category_id"]), []).append((i + 1, d["score"], dt_masks[i]))
    for a in dataset["annotations"]:
        gts.setdefault((a["image_id"], a["category_id"]), []).append(a)
    det_rows, gt_rows = {}, {}
    for key in set(dets) | set(gts):
        ranked = sorted(dets.get(key, []), key=lambda t: -t[1])[:cap]
        group = sorted(gts.get(key, []), key=lambda a: a["iscrowd"] != 0)
        matched = set()
        for dt_id, _score, dm in ranked:
            best, m, m_iou = thr, None, 0.0
            for j, g in enumerate(group):
                if j in matched and not g["iscrowd"]:
                    continue
                if m is not None and not group[m]["iscrowd"] and g["iscrowd"]:
                    break
                iou = data.naive_boundary_iou(dm, gt_masks[g["id"]], bool(g["iscrowd"]), ratio)
                if iou < best:
                    continue
                best, m, m_iou = iou, j, iou
            if m is None:
                det_rows[dt_id] = (-1, 0.0, False)
            else:
                matched.add(m)
                det_rows[dt_id] = (group[m]["id"], m_iou, bool(group[m]["iscrowd"]))
        for j, g in enumerate(group):
            gt_rows[g["id"]] = j in matched
    return det_rows, gt_rows


@pytest.mark.parametrize("seed", [81, 82, 83])
@pytest.mark.parametrize("ratio", [0.02, 0.05, 0.0, 0.3])
def test_boundary_iou_verdicts_against_dense_pixels(qm, seed, ratio):
    dataset, results, gt_masks, dt_masks = data.random_mask_dataset(seed)
    dts = []
    for i, d in enumerate(results):
        dts.append(dict(d, id=i + 1, area=float(dt_masks[i].sum())))
    thrs = [0.1, 0.3, 0.5, 0.7, 0.9]
    ev = qm.Evaluator(copy.deepcopy(dataset["annotations"]), dts, data.image_sizes(dataset),
                      [im["id"] for im in dataset["images"]], [1, 2], thrs,
                      list(np.linspace(0, 1, 101)), [100], [[0, 1e10]], True, "boundary", [],
                      boundary_dilation=ratio)
    matches = []
    for t_idx, thr in enumerate(thrs):
        det_rows, gt_rows = naive_verdicts(dataset, results, dt_masks, gt_masks, thr, ratio)
        det, gt = ev.per_instance(t_idx, 0, 100)
        got = {int(i): (int(g), float(iou), bool(ig))
               for i, g, iou, ig in zip(det["dt_id"], det["gt_id"], det["iou"], det["ignore"])}
        assert got == det_rows, thr
        assert {int(i): bool(m) for i, m in zip(gt["gt_id"], gt["matched"])} == gt_rows, thr
        matches.append(sum(g != -1 for g, _, _ in det_rows.values()))
    # not vacuous: matches at the low thresholds, and fewer as they rise
    assert matches[0] > 3 and matches[0] > matches[-1]


def test_boundary_differs_from_mask_iou(qm):
    """Sanity for the test above: on these masks Boundary IoU is a different
    (never larger) measure than mask IoU."""
    dataset, results, gt_masks, dt_masks = data.random_mask_dataset(81)
    smaller = 0
    for i, d in enumerate(results):
        for a in dataset["annotations"]:
            if a["image_id"] == d["image_id"] and not a["iscrowd"]:
                full = data.naive_mask_iou(dt_masks[i], gt_masks[a["id"]], False)
                b = data.naive_boundary_iou(dt_masks[i], gt_masks[a["id"]], False, 0.02)
                assert b <= full
                smaller += b < full
    assert smaller > 5


@pytest.mark.parametrize("ratio", [None, 0.05, 0.0])
def test_boundary_accumulation_against_reference_matching(ratio):
    """Full runs: the reference's matching and accumulation, fed with the
    dense-pixel Boundary IoU through its per-image similarity hook, against
    ours with iou_type "boundary"."""
    dataset, results, gt_masks, dt_masks = data.random_mask_dataset(84)
    gt = data.reference_coco(dataset)
    dt = data.reference_results(gt, results)
    loaded = dt.loadAnns(dt.getAnnIds())
    assert [a["id"] for a in loaded] == list(range(1, len(results) + 1))
    E = reference_eval(gt, dt, "segm")
    r = 0.02 if ratio is None else ratio

    def dense_boundary_iou(imgId, catId):
        p = E.params
        g = E._gts[imgId, catId]
        d = E._dts[imgId, catId]
        if len(g) == 0 or len(d) == 0:
            return []
        order = np.argsort([-x["score"] for x in d], kind="mergesort")
        d = [d[i] for i in order][: p.maxDets[-1]]
        return np.array([[data.naive_boundary_iou(dt_masks[x["id"] - 1], gt_masks[y["id"]],
                                                  bool(y["iscrowd"]), r) for y in g] for x in d])

    E.computeIoU = dense_boundary_iou
    extra = {} if ratio is None else {"boundary_dilation": ratio}
    ev = data.evaluator_for(gt, dt, E, "boundary", data.image_sizes(dataset), **extra)
    ours = ev.run(collect_eval_imgs=True)
    data.run_reference(E)
    data.assert_same_as_reference(ours, E)
    assert (ours["precision"] > 0).any()
