"""The rest of the COCO API's COCOeval surface against the reference
(pycocotools) as a black box: `ious`, `computeIoU` / `computeOks`,
`evaluateImg` at the parameters' and at other area ranges and limits, the
flat `evalImgs`, `stats` and the `Params` resets, compared value by value
and type by type on every real file and on seeded synthetic data."""

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

pycocoeval = pytest.importorskip("pycocotools.cocoeval", reason="pycocotools is not installed")

VAL2014 = "coco_val2014_100/instances_val2014_100.json"
CROWDPOSE_SIGMAS = np.array([.79, .79, .72, .72, .62, .62, 1.07, 1.07, .87, .87, .89, .89, .79, .79]) / 10


def load(relpath):
    path = DATA_DIR / relpath
    if not path.exists():
        pytest.skip(f"{path} is not available")
    return json.loads(path.read_text())


def _fake(kind):
    return lambda: (load(VAL2014), load(f"coco_val2014_100/fake_{kind}_results.json"))


def _mini(relpath, kind, seed):
    def make():
        dataset = load(relpath)
        if kind == "keypoints":
            return dataset, data.perturb_keypoints(dataset, seed)
        return dataset, data.perturb_instances(dataset, seed, kind)
    return make


def _synthetic(kind, seed):
    def make():
        dataset, bbox_res, segm_res = data.synthetic_instances(seed)
        return dataset, bbox_res if kind == "bbox" else segm_res
    return make


def _synthetic_keypoints():
    return data.synthetic_keypoints(52)


def _crowdpose():
    return (load("keypoints_samples/crowdpose_val_sample.json"),
            load("keypoints_samples/crowdpose_results_sample.json"))


def _subsets_few_detections(p):
    image_and_category_subsets(p)
    p.maxDets = [20, 1, 5]  # sorted by evaluate(); the cap, 20, cuts some images


def _crowdpose_sigmas(p):
    p.kpt_oks_sigmas = CROWDPOSE_SIGMAS.copy()


def _five_sigmas(p):
    p.kpt_oks_sigmas = np.array([0.026, 0.025, 0.025, 0.035, 0.035])


# name: (inputs, iou type, parameter change)
CASES = {
    "val2014 bbox": (_fake("bbox"), "bbox", None),
    "val2014 segm": (_fake("segm"), "segm", None),
    "val2014 bbox, pooled categories": (_fake("bbox"), "bbox", pooled_subset),
    "val2014 segm, subsets, cap 20": (_fake("segm"), "segm", _subsets_few_detections),
    # high thresholds: small IoUs must still be reported as they are
    "val2014 segm, thresholds 0.8 0.9": (_fake("segm"), "segm", set_params(iouThrs=np.array([0.8, 0.9]))),
    "mini val2017 bbox": (_mini("coco_mini_2017/instances_val2017.json", "bbox", 5), "bbox", None),
    "mini train2017 segm": (_mini("coco_mini_2017/instances_train2017.json", "segm", 6), "segm", None),
    "synthetic bbox": (_synthetic("bbox", 43), "bbox", None),
    "synthetic segm, pooled": (_synthetic("segm", 44), "segm", set_params(useCats=0)),
    "synthetic segm, limits 1 10 300": (_synthetic("segm", 45), "segm", set_params(maxDets=[1, 10, 300])),
    "mini val2017 keypoints": (_mini("coco_mini_2017/person_keypoints_val2017.json", "keypoints", 6),
                               "keypoints", None),
    "synthetic keypoints": (_synthetic_keypoints, "keypoints", _five_sigmas),
    "crowdpose keypoints": (_crowdpose, "keypoints", _crowdpose_sigmas),
}


def quiet(fn, *args):
    with contextlib.redirect_stdout(io.StringIO()):
        return fn(*args)


def evaluated(case):
    """(ours, the reference's), both after evaluate() with the same
    parameters."""
    make, iou_type, tweak = CASES[case]
    dataset, results = make()
    ref_dataset = copy.deepcopy(dataset)
    for a in ref_dataset["annotations"]:
        # ours takes a missing area from the box, the reference needs it given
        a.setdefault("area", a["bbox"][2] * a["bbox"][3])
    return data.evaluated_pair(dataset, results, iou_type, tweak, ref_dataset)


def assert_same_matrix(mine, theirs, where, *, keypoints):
    """The same type, dtype and shape, and the same values: bit for bit for
    IoU; for OKS within a few units in the last place, since NumPy may take
    exp from its own vector kernel rather than the C library's."""
    if isinstance(theirs, list):
        assert type(mine) is list and mine == theirs == [], where
        return
    assert type(mine) is np.ndarray, where
    assert (mine.dtype, mine.shape) == (theirs.dtype, theirs.shape), where
    if not keypoints:
        assert np.array_equal(mine, theirs), where
        return
    close = (mine == theirs) | (np.abs(mine - theirs) <= 4 * np.spacing(np.abs(theirs)))
    assert np.all(close | (np.isnan(mine) & np.isnan(theirs))), where


def assert_same_record(mine, theirs, where):
    if theirs is None:
        assert mine is None, where
        return
    assert type(mine) is dict and list(mine) == list(theirs), where
    for key, value in theirs.items():
        if isinstance(value, np.ndarray):
            got = mine[key]
            assert type(got) is np.ndarray, (where, key)
            assert (got.dtype, got.shape) == (value.dtype, value.shape), (where, key)
            assert np.array_equal(got, value), (where, key)
        elif key == "aRng":
            assert list(mine[key]) == list(value), where
        else:
            assert mine[key] == value and type(mine[key]) is type(value) or key in (
                "image_id", "category_id") and mine[key] == value, (where, key, mine[key], value)


def _sample_pairs(ref, n=40):
    """Evaluated (image, category) pairs with annotations first, then empty
    ones, and pairs naming an unlisted image and (where categories are not
    pooled: the reference pools them under -1 only) category."""
    keys = list(ref.ious)
    full = [k for k in keys if len(ref.ious[k])]
    empty = [k for k in keys if not len(ref.ious[k])]
    unlisted = [(987654321, keys[0][1])] + [(keys[0][0], 987654321)] * ref.params.useCats
    return full[:: max(1, len(full) // n)] + empty[:: max(1, len(empty) // 5)] + unlisted


@pytest.mark.parametrize("case", list(CASES))
def test_reference_api_agrees(case):
    ours, ref = evaluated(case)
    keypoints = ref.params.iouType == "keypoints"

    # ious: every evaluated (image, category) pair, in the same order
    mine = ours.ious
    assert type(mine) is dict
    assert list(mine) == [(int(i), int(c)) for i, c in ref.ious]
    for key, theirs in ref.ious.items():
        assert_same_matrix(mine[key], theirs, key, keypoints=keypoints)

    # the per-pair computation, also for pairs outside the evaluation
    compute = "computeOks" if keypoints else "computeIoU"
    for key in _sample_pairs(ref):
        assert_same_matrix(getattr(ours, compute)(*key), getattr(ref, compute)(*key), key,
                           keypoints=keypoints)

    # evaluateImg at the parameters' ranges and one of its own, at every
    # limit up to the cap
    cap = ref.params.maxDets[-1]
    ranges = [list(r) for r in ref.params.areaRng] + [[50.0, 2000.0]]
    for img, cat in _sample_pairs(ref, n=12):
        for a_rng in ranges:
            for max_det in sorted({1, 5, cap}):
                where = (img, cat, a_rng, max_det)
                record = ours.evaluateImg(img, cat, a_rng, max_det)
                assert_same_record(record, ref.evaluateImg(img, cat, a_rng, max_det), where)
                if record is not None:
                    assert record["aRng"] is a_rng

    # the flat per-image list
    assert type(ours.evalImgs) is list and len(ours.evalImgs) == len(ref.evalImgs)
    for i, (a, b) in enumerate(zip(ours.evalImgs, ref.evalImgs)):
        assert_same_record(a, b, i)

    # stats
    ours.accumulate()
    quiet(ours.summarize)
    quiet(ref.accumulate)
    quiet(ref.summarize)
    assert type(ours.stats) is np.ndarray and ours.stats.dtype == np.float64
    assert list(ours.stats) == list(ref.stats)


def test_before_evaluate_and_on_the_wrong_kind():
    gt = quillscore.COCO(load(VAL2014))
    E = quillscore.COCOeval(gt, gt.loadRes(load("coco_val2014_100/fake_bbox_results.json")), "bbox")
    assert E.ious == {}
    for call in (lambda: E.computeIoU(1, 1), lambda: E.evaluateImg(1, 1, [0, 1e10], 100)):
        with pytest.raises(RuntimeError, match=r"^Please run evaluate\(\) first$"):
            call()
    E.evaluate()
    with pytest.raises(ValueError, match=r"^computeOks does not apply to 'bbox' evaluation; use computeIoU$"):
        E.computeOks(1, 1)
    with pytest.raises(ValueError, match=r"^expected a sequence of length 2 \(got 1\)\n"
                                         r"while processing 'area_rng'$"):
        E.evaluateImg(1, 1, [0], 100)
    with pytest.raises(OverflowError):
        E.evaluateImg(1, 1, [0, 1e10], -1)
    # ious follow the parameters evaluate() used, recomputed by the next one
    first = E.ious
    assert E.ious is first
    E.params.maxDets = [1, 2, 3]
    assert E.ious is first
    E.evaluate()
    assert max(len(m) for m in E.ious.values()) == 3


@pytest.mark.parametrize("iou_type", ["bbox", "segm", "keypoints"])
@pytest.mark.parametrize("reset", ["setDetParams", "setKpParams"])
def test_params_resets(iou_type, reset):
    ours, ref = quillscore.Params(iou_type), pycocoeval.Params(iou_type)
    for p in (ours, ref):
        p.imgIds, p.catIds, p.maxDets, p.useCats = [1], [2], [3], 0
        getattr(p, reset)()
    for key, value in vars(ref).items():
        assert np.array_equal(getattr(ours, key), value), key
        assert type(getattr(ours, key)) is type(value), key


def test_rle_masks_on_images_the_dataset_gives_no_size():
    """Result sets built as datasets of their own (as torchmetrics builds
    them) may sit on ground-truth images without height and width: RLE
    masks carry their own size and are evaluated all the same."""
    masks = np.zeros((3, 12, 10), np.uint8)
    masks[0, 2:8, 1:6] = 1
    masks[1, 3:9, 2:6] = 1
    masks[2, 0:4, 0:10] = 1
    rles = [quillscore.mask.encode(np.asfortranarray(m)) for m in masks]
    gt_set = {"images": [{"id": 1, "height": 12, "width": 10}, {"id": 2}],
              "categories": [{"id": 1, "name": "thing"}],
              "annotations": [{"id": 1, "image_id": 1, "category_id": 1, "iscrowd": 0, "area": 30,
                               "bbox": [1, 2, 5, 6], "segmentation": rles[0]}]}
    dt_set = {"images": [{"id": 1, "height": 12, "width": 10}, {"id": 2, "height": 12, "width": 10}],
              "categories": gt_set["categories"],
              "annotations": [{"id": i + 1, "image_id": image, "category_id": 1, "iscrowd": 0,
                               "area": float(masks[m].sum()), "bbox": [0, 0, 1, 1], "score": score,
                               "segmentation": rles[m]}
                              for i, (image, m, score) in enumerate([(1, 1, 0.9), (2, 2, 0.8)])]}
    results = []
    for coco_class in (data.reference_coco, None):
        gt, dt = (coco_class(gt_set), coco_class(dt_set)) if coco_class else (
            quillscore.COCO(copy.deepcopy(gt_set)), quillscore.COCO(copy.deepcopy(dt_set)))
        E = (pycocoeval.COCOeval if coco_class else quillscore.COCOeval)(gt, dt, "segm")
        quiet(E.evaluate)
        quiet(E.accumulate)
        quiet(E.summarize)
        results.append(E)
    ref, ours = results
    assert list(ours.stats) == list(ref.stats) and ours.stats[0] > 0
    assert_same_matrix(ours.ious[(1, 1)], ref.ious[(1, 1)], (1, 1), keypoints=False)
    for a, b in zip(ours.evalImgs, ref.evalImgs):
        assert_same_record(a, b, "")


def test_one_call_evaluation_looks_the_same():
    """evaluate() reads box files into column storage; its matrices and
    records are those of COCO and COCOeval."""
    gt_path = DATA_DIR / VAL2014
    results = DATA_DIR / "coco_val2014_100" / "fake_bbox_results.json"
    if not gt_path.exists():
        pytest.skip(f"{gt_path} is not available")
    fast = quillscore.evaluate(str(gt_path), str(results))
    gt = quillscore.COCO(str(gt_path))
    E = quillscore.COCOeval(gt, gt.loadRes(str(results)), "bbox")
    E.evaluate()
    assert list(fast.ious) == list(E.ious)
    for key, value in E.ious.items():
        assert_same_matrix(fast.ious[key], value, key, keypoints=False)
        assert_same_matrix(fast.computeIoU(*key), value, key, keypoints=False)
    for img, cat in list(E.ious)[::97]:
        for a_rng in ([0, 1e10], [32 ** 2, 96 ** 2]):
            assert_same_record(fast.evaluateImg(img, cat, a_rng, 10), E.evaluateImg(img, cat, a_rng, 10),
                               (img, cat))
