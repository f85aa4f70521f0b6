"""The package's COCOeval (and evaluate()) against the reference COCO API:
the same dataset and results through `quillscore.COCO`/`COCOeval` and
through pycocotools' COCO/COCOeval, and `stats` must be equal (==), on every
real file and on seeded synthetic data, with default and changed
parameters (including the summary's quirks)."""

from __future__ import annotations

import contextlib
import copy
import io
import json

import numpy as np
import pytest

import _eval_data as data
from _eval_data import image_and_category_subsets, pooled_subset, set_params
import quillscore
from _paths import DATA_DIR

pycoco = pytest.importorskip("pycocotools.coco", reason="pycocotools is not installed")
pycocoeval = pytest.importorskip("pycocotools.cocoeval", reason="pycocotools is not installed")

VAL2014 = "coco_val2014_100/instances_val2014_100.json"
MINI = ["coco_mini_2017/instances_val2017.json", "coco_mini_2017/instances_train2017.json"]
MINI_KP = ["coco_mini_2017/person_keypoints_val2017.json",
           "coco_mini_2017/person_keypoints_train2017.json"]
CROWDPOSE = "keypoints_samples/crowdpose_val_sample.json"
CROWDPOSE_RESULTS = "keypoints_samples/crowdpose_results_sample.json"
CROWDPOSE_SIGMAS = np.array([.79, .79, .72, .72, .62, .62, 1.07, 1.07, .87, .87, .89, .89, .79, .79]) / 10

# The reference API's published summary of the classic run: the fake
# results on the val2014 100-image subset.
CLASSIC = {
    "bbox": [0.505, 0.697, 0.573, 0.586, 0.519, 0.501, 0.387, 0.594, 0.595, 0.640, 0.566, 0.564],
    "segm": [0.320, 0.562, 0.299, 0.387, 0.310, 0.327, 0.268, 0.415, 0.417, 0.469, 0.377, 0.381],
}


def quiet(fn, *args):
    with contextlib.redirect_stdout(io.StringIO()):
        return fn(*args)


def both_ways(dataset, results, iou_type, tweak=None, *, ref_dataset=None):
    """(our COCOeval, the reference's), both evaluated, accumulated and
    summarised with the same parameters."""
    ref_gt = quiet(lambda: _ref_coco(dataset if ref_dataset is None else ref_dataset))
    ref_dt = quiet(ref_gt.loadRes, copy.deepcopy(results))
    ref = pycocoeval.COCOeval(ref_gt, ref_dt, iou_type)
    gt = quillscore.COCO(copy.deepcopy(dataset))
    dt = gt.loadRes(copy.deepcopy(results))
    ours = quillscore.COCOeval(gt, dt, iou_type)
    if tweak is not None:
        tweak(ref.params)
        tweak(ours.params)
    quiet(ref.evaluate)
    quiet(ref.accumulate)
    quiet(ref.summarize)
    ours.evaluate()
    ours.accumulate()
    printed = quiet_capture(ours.summarize)
    assert printed.splitlines() == ours.lines
    return ours, ref


def quiet_capture(fn) -> str:
    buf = io.StringIO()
    with contextlib.redirect_stdout(buf):
        fn()
    return buf.getvalue()


def _ref_coco(dataset):
    c = pycoco.COCO()
    c.dataset = copy.deepcopy(dataset)
    c.createIndex()
    return c


def assert_same_stats(ours, ref):
    assert list(ours.stats) == list(ref.stats)
    for key in ("precision", "recall", "scores"):
        assert np.array_equal(ours.eval[key], ref.eval[key]), key
    assert ours.eval["counts"] == list(ref.eval["counts"])


def load(relpath):
    path = DATA_DIR / relpath
    if not path.exists():
        pytest.skip(f"{path} is not available")
    with open(path) as f:
        return json.load(f)


# ---------------------------------------------------------------------------
# real files


@pytest.mark.parametrize("iou_type", ["bbox", "segm"])
def test_classic_reference_run(iou_type):
    dataset = load(VAL2014)
    results = load(f"coco_val2014_100/fake_{iou_type}_results.json")
    ours, ref = both_ways(dataset, results, iou_type)
    assert_same_stats(ours, ref)
    assert [round(float(s), 3) for s in ours.stats] == CLASSIC[iou_type]


@pytest.mark.parametrize("relpath", MINI)
@pytest.mark.parametrize("iou_type", ["bbox", "segm"])
def test_coco_mini_instances(relpath, iou_type):
    dataset = load(relpath)
    results = data.perturb_instances(dataset, seed=5, kind=iou_type)
    assert_same_stats(*both_ways(dataset, results, iou_type))


@pytest.mark.parametrize("relpath", MINI_KP)
def test_coco_mini_keypoints(relpath):
    dataset = load(relpath)
    results = data.perturb_keypoints(dataset, seed=6)
    ours, ref = both_ways(dataset, results, "keypoints")
    assert_same_stats(ours, ref)
    assert len(ours.stats) == 10


def test_crowdpose_keypoints_with_their_sigmas():
    """The sample's ground truth has no "area": ours takes the box's w * h,
    which the reference is given spelled out."""
    dataset, results = load(CROWDPOSE), load(CROWDPOSE_RESULTS)
    spelled_out = copy.deepcopy(dataset)
    for a in spelled_out["annotations"]:
        a["area"] = a["bbox"][2] * a["bbox"][3]

    def sigmas(p):
        p.kpt_oks_sigmas = CROWDPOSE_SIGMAS.copy()

    ours, ref = both_ways(dataset, results, "keypoints", sigmas, ref_dataset=spelled_out)
    assert_same_stats(ours, ref)
    assert ours.stats[0] > 0


# ---------------------------------------------------------------------------
# parameters users change, and the summary's quirks


VARIANTS = {
    "default": None,
    "area ranges": set_params(areaRng=[[0, 1e10], [0, 40 ** 2], [40 ** 2, 80 ** 2], [80 ** 2, 1e10]]),
    # no 100 among the limits: the first AP entry, fixed at 100, is -1
    "max dets 1 10 300": set_params(maxDets=[1, 10, 300]),
    "max dets unsorted": set_params(maxDets=[100, 1, 10]),
    # no 0.5 or 0.75 threshold: AP50 and AP75 are -1
    "thresholds 0.55 0.8": set_params(iouThrs=np.array([0.55, 0.8])),
    "one threshold 0.5": set_params(iouThrs=np.array([0.5])),
    "eleven recall points": set_params(recThrs=np.linspace(0, 1, 11)),
    "renamed area label": set_params(areaRngLbl=["all", "tiny", "medium", "large"]),
    "pooled categories": set_params(useCats=0),
    "pooled subset": pooled_subset,
    "image and category subsets": image_and_category_subsets,
    # settings that look odd but have a meaning, and so are evaluated
    "repeated unsorted thresholds": set_params(iouThrs=np.array([0.75, 0.5, 0.5])),
    "repeated recall points": set_params(recThrs=np.array([0.0, 0.2, 0.2, 0.5, 1.0])),
    "a limit of 0 detections": set_params(maxDets=[0, 10, 100]),
}


@pytest.mark.parametrize("variant", list(VARIANTS))
@pytest.mark.parametrize("iou_type", ["bbox", "segm"])
def test_parameter_variants_synthetic(variant, iou_type):
    dataset, bbox_res, segm_res = data.synthetic_instances(seed=43)
    results = bbox_res if iou_type == "bbox" else segm_res
    assert_same_stats(*both_ways(dataset, results, iou_type, VARIANTS[variant]))


@pytest.mark.parametrize("variant", list(VARIANTS))
def test_parameter_variants_val2014(variant):
    dataset = load(VAL2014)
    results = load("coco_val2014_100/fake_bbox_results.json")
    ours, ref = both_ways(dataset, results, "bbox", VARIANTS[variant])
    assert_same_stats(ours, ref)
    assert ours.lines == _ref_lines(ref)


def _ref_lines(ref):
    return quiet_capture(ref.summarize).splitlines()


@pytest.mark.parametrize("variant", ["default", "one threshold 0.5", "image and category subsets",
                                     "eleven recall points"])
def test_parameter_variants_keypoints(variant):
    dataset, results = data.synthetic_keypoints(52)
    tweak = VARIANTS[variant]

    def both(p):
        p.kpt_oks_sigmas = np.array([0.026, 0.025, 0.025, 0.035, 0.035])
        if tweak is not None:
            tweak(p)

    assert_same_stats(*both_ways(dataset, results, "keypoints", both))


def test_summary_with_fewer_than_three_limits_reports_minus_one():
    """The reference cannot summarise maxDets [1, 10] (it indexes a third
    limit); ours reports -1 for the entries that need one and the rest as
    usual."""
    dataset = load(VAL2014)
    gt = quillscore.COCO(copy.deepcopy(dataset))
    E = quillscore.COCOeval(gt, gt.loadRes(load("coco_val2014_100/fake_bbox_results.json")), "bbox")
    E.params.maxDets = [1, 10]
    E.evaluate()
    E.accumulate()
    E.summary()
    assert E.stats[0] == -1 and E.stats[6] > 0 and E.stats[7] > 0
    assert all(E.stats[i] == -1 for i in (1, 2, 3, 4, 5, 8, 9, 10, 11))


# ---------------------------------------------------------------------------
# evalImgs, per-category table, empty results


def test_eval_imgs_match_the_reference():
    dataset = load(VAL2014)
    results = load("coco_val2014_100/fake_bbox_results.json")
    ours, ref = both_ways(dataset, results, "bbox", image_and_category_subsets)
    mine, theirs = ours.evalImgs, ref.evalImgs
    assert len(mine) == len(theirs)
    for a, b in zip(mine, theirs):
        if b is None:
            assert a is None
            continue
        for key in ("image_id", "category_id", "aRng", "maxDet", "dtIds", "gtIds"):
            assert list(np.atleast_1d(a[key])) == list(np.atleast_1d(b[key])), key
        for key in ("dtMatches", "gtMatches", "dtScores", "gtIgnore", "dtIgnore"):
            assert np.array_equal(np.asarray(a[key], float), np.asarray(b[key], float)), key


def test_per_category_table_agrees_with_the_summary():
    dataset = load(VAL2014)
    gt = quillscore.COCO(copy.deepcopy(dataset))
    E = quillscore.COCOeval(gt, gt.loadRes(load("coco_val2014_100/fake_bbox_results.json")), "bbox")
    E.evaluate()
    E.accumulate()
    E.summary()
    rows = E.per_category()
    assert [r["category_id"] for r in rows] == E.params.catIds
    assert rows[0]["name"] == gt.cats[rows[0]["category_id"]]["name"]
    # the overall AP is the mean over the categories that have ground truth
    p = E.eval["precision"][:, :, :, 0, -1]
    for r, k in zip(rows, range(p.shape[2])):
        cell = p[:, :, k]
        assert r["AP"] == (float(np.mean(cell[cell > -1])) if (cell > -1).any() else -1.0)
    assert np.isclose(np.mean([r["AP"] for r in rows if r["AP"] > -1]), E.stats[0])


def test_empty_results_are_evaluated():
    dataset = load(VAL2014)
    gt = quillscore.COCO(copy.deepcopy(dataset))
    E = quillscore.COCOeval(gt, gt.loadRes([]), "bbox")
    E.evaluate()
    E.accumulate()
    E.summary()
    # every category with ground truth has precision and recall 0
    assert list(E.stats) == [0.0] * 12
    assert (E.eval["precision"] <= 0).all()


def test_steps_out_of_order_are_refused():
    gt = quillscore.COCO(copy.deepcopy(load(VAL2014)))
    E = quillscore.COCOeval(gt, gt.loadRes([]), "bbox")
    with pytest.raises(RuntimeError, match="evaluate"):
        E.accumulate()
    with pytest.raises(RuntimeError, match="accumulate"):
        E.summarize()


def test_timings_and_per_instance():
    gt = quillscore.COCO(copy.deepcopy(load(VAL2014)))
    E = quillscore.COCOeval(gt, gt.loadRes(load("coco_val2014_100/fake_bbox_results.json")), "bbox")
    E.evaluate()
    E.accumulate()
    assert {"gt_read", "iou_cpu", "evaluate", "accumulate"} <= set(E.timings)
    dts, gts = E.per_instance()
    assert len(dts["dt_id"]) == 734 - 0 or len(dts["dt_id"]) > 0
    assert set(gts) == {"image_id", "category_id", "gt_id", "ignore", "matched"}


# ---------------------------------------------------------------------------
# the one-call route


def _write(tmp_path, name, obj):
    path = tmp_path / name
    path.write_text(json.dumps(obj))
    return str(path)


@pytest.mark.parametrize("source", ["val2014", "mini", "synthetic"])
def test_evaluate_equals_the_reference(tmp_path, source):
    if source == "val2014":
        dataset, results = load(VAL2014), load("coco_val2014_100/fake_bbox_results.json")
    elif source == "mini":
        dataset = load(MINI[0])
        results = data.perturb_instances(dataset, seed=9, kind="bbox")
    else:
        dataset, results, _ = data.synthetic_instances(seed=44)
    E = quillscore.evaluate(_write(tmp_path, "gt.json", dataset), _write(tmp_path, "dt.json", results))
    assert E.cocoGt is None  # the column route, no annotation objects
    _, ref = both_ways(dataset, results, "bbox")
    assert list(E.stats) == list(ref.stats)
    assert np.array_equal(E.eval["precision"], ref.eval["precision"])


@pytest.mark.parametrize("variant", ["pooled categories", "image and category subsets", "max dets 1 10 300"])
def test_evaluate_with_changed_parameters(tmp_path, variant):
    dataset, results = load(VAL2014), load("coco_val2014_100/fake_bbox_results.json")
    E = quillscore.evaluate(_write(tmp_path, "gt.json", dataset), _write(tmp_path, "dt.json", results),
                            params=VARIANTS[variant])
    _, ref = both_ways(dataset, results, "bbox", VARIANTS[variant])
    assert list(E.stats) == list(ref.stats)


def test_evaluate_falls_back_for_repeated_ground_truth_ids(tmp_path):
    """Column storage refuses repeated ground-truth ids; the dict route then
    evaluates every annotation once (the reference, looking annotations up
    by id, would count one of the two twice and drop the other)."""
    dataset = copy.deepcopy(load(VAL2014))
    anns = dataset["annotations"]
    anns[1]["id"] = anns[0]["id"]
    results = load("coco_val2014_100/fake_bbox_results.json")
    E = quillscore.evaluate(_write(tmp_path, "gt.json", dataset), _write(tmp_path, "dt.json", results))
    assert E.cocoGt is not None
    anns[1]["id"] = max(a["id"] for a in anns) + 1
    _, ref = both_ways(dataset, results, "bbox")
    assert list(E.stats) == list(ref.stats)


@pytest.mark.parametrize("iou_type,relpath,kind", [
    ("segm", VAL2014, "coco_val2014_100/fake_segm_results.json"),
    ("keypoints", MINI_KP[0], None),
])
def test_evaluate_other_kinds(tmp_path, iou_type, relpath, kind):
    dataset = load(relpath)
    results = load(kind) if kind else data.perturb_keypoints(dataset, seed=7)
    E = quillscore.evaluate(_write(tmp_path, "gt.json", dataset), _write(tmp_path, "dt.json", results),
                            iou_type)
    _, ref = both_ways(dataset, results, iou_type)
    assert list(E.stats) == list(ref.stats)


def test_thresholds_as_a_plain_list_summarise_like_an_array():
    dataset, results = load(VAL2014), load("coco_val2014_100/fake_bbox_results.json")
    stats = []
    for thresholds in ([0.5, 0.75], np.array([0.5, 0.75])):
        gt = quillscore.COCO(copy.deepcopy(dataset))
        E = quillscore.COCOeval(gt, gt.loadRes(copy.deepcopy(results)), "bbox")
        E.params.iouThrs = thresholds
        E.evaluate()
        E.accumulate()
        E.summary()
        stats.append(list(E.stats))
    assert stats[0] == stats[1] and stats[0][1] > 0 and stats[0][2] > 0


def test_boundary_with_a_band_covering_every_mask_equals_segm():
    """Boundary IoU compares the masks' bands; a band as wide as the image
    is the whole mask, so the numbers become the mask numbers, while the
    default band gives others."""
    dataset, results = load(VAL2014), load("coco_val2014_100/fake_segm_results.json")
    stats = {}
    for iou_type, dilation in (("segm", None), ("boundary", 1.0), ("boundary", 0.02)):
        gt = quillscore.COCO(copy.deepcopy(dataset))
        E = quillscore.COCOeval(gt, gt.loadRes(copy.deepcopy(results)), iou_type)
        if dilation is not None:
            E.params.boundary_dilation = dilation
        E.evaluate()
        E.accumulate()
        E.summary()
        stats[iou_type, dilation] = list(E.stats)
    assert stats["boundary", 1.0] == stats["segm", None]
    assert stats["boundary", 0.02] != stats["segm", None]


@pytest.mark.parametrize("use_segm,kind", [(1, "segm"), (0, "bbox")])
def test_the_old_use_segm_switch_picks_the_iou_type(use_segm, kind):
    dataset = load(VAL2014)
    results = load("coco_val2014_100/fake_segm_results.json")
    stats = {}
    for switch in (None, use_segm):
        gt = quillscore.COCO(copy.deepcopy(dataset))
        E = quillscore.COCOeval(gt, gt.loadRes(copy.deepcopy(results)), kind if switch is None else "segm")
        E.params.useSegm = switch
        E.evaluate()
        E.accumulate()
        E.summary()
        assert E.params.iouType == kind
        stats[switch] = list(E.stats)
    assert stats[None] == stats[use_segm]


def _random_params(seed, *, pooled=True, sigmas=None):
    """A seeded mix of the parameters users change (the same mix at every
    call)."""

    def tweak(p):
        rng = np.random.default_rng(seed)
        img_ids, cat_ids = sorted(p.imgIds), sorted(p.catIds)
        if rng.random() < 0.5:
            p.imgIds = sorted(rng.choice(img_ids, size=max(1, len(img_ids) * 2 // 3), replace=False).tolist())
        if rng.random() < 0.5:
            p.catIds = sorted(rng.choice(cat_ids, size=max(1, len(cat_ids) // 2), replace=False).tolist())
        if rng.random() < 0.3 and pooled:
            p.useCats = 0
        if sigmas is not None:
            p.kpt_oks_sigmas = np.array(sigmas)
        if rng.random() < 0.5:
            p.iouThrs = np.sort(rng.choice(p.iouThrs, size=int(rng.integers(1, 6)), replace=False))
        if rng.random() < 0.5:
            p.recThrs = np.linspace(0, 1, int(rng.integers(2, 40)))
        if rng.random() < 0.5:
            p.maxDets = sorted(int(m) for m in rng.choice([1, 3, 10, 20, 100, 300], size=3, replace=False))
        if rng.random() < 0.5:
            cuts = np.sort(rng.uniform(0, 150, 2)) ** 2
            p.areaRng = [[0, 1e10], [0, cuts[0]], [cuts[0], cuts[1]], [cuts[1], 1e10]]

    return tweak


@pytest.mark.parametrize("seed", range(12))
@pytest.mark.parametrize("iou_type", ["bbox", "segm"])
def test_random_parameters_on_synthetic_data(seed, iou_type):
    dataset, bbox_res, segm_res = data.synthetic_instances(seed=100 + seed)
    results = bbox_res if iou_type == "bbox" else segm_res
    ours, ref = both_ways(dataset, results, iou_type, _random_params(seed))
    assert_same_stats(ours, ref)
    assert max(ours.stats) > 0


@pytest.mark.parametrize("seed", range(4))
def test_random_parameters_on_coco_mini(seed):
    dataset = load(MINI[seed % 2])
    results = data.perturb_instances(dataset, seed=200 + seed, kind="bbox")
    ours, ref = both_ways(dataset, results, "bbox", _random_params(seed))
    assert_same_stats(ours, ref)
    assert max(ours.stats) > 0


@pytest.mark.parametrize("seed", range(6))
def test_random_parameters_on_keypoints(seed):
    # (pooled categories left out: the reference matches no keypoints there)
    dataset = load(MINI_KP[seed % 2])
    results = data.perturb_keypoints(dataset, seed=300 + seed)
    tweak = _random_params(seed, pooled=False)
    ours, ref = both_ways(dataset, results, "keypoints", tweak)
    assert_same_stats(ours, ref)
    assert (ours.eval["precision"] > 0).any()
