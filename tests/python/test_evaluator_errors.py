"""Bad and odd input to the Evaluator: every argument must either be
rejected with the documented exception (type, message, and the
"while processing" note for call arguments) or give a defined result;
nothing may crash, hang or leave a thread behind."""

from __future__ import annotations

import copy
import os
import re
import threading

import numpy as np
import pytest

import _eval_data as data
from _eval_data import box_ann, tiny

NAN, INF = float("nan"), float("inf")
# the precision of a lone true positive: tp / (tp + fp + eps)
ONE = 1.0 / (1.0 + 2.220446049250313e-16)
G1 = [box_ann(1, 1, [0, 0, 10, 10])]
D1 = [box_ann(1, 1, [0, 0, 10, 10], score=0.9)]


def notes_of(exc):
    return getattr(exc, "__notes__", None)


# ---------------------------------------------------------------------------
# constructor arguments: converter failures carry the argument's note

ARGUMENT_ERRORS = [
    # (id, overrides, exception, message regex or None, blamed argument)
    ("img_sizes-not-dict", dict(img_sizes=[(1, (5, 5))]), TypeError, r"not an instance of 'dict'", "img_sizes"),
    ("img_sizes-list-value", dict(img_sizes={1: [5, 5]}), TypeError, r"not an instance of 'tuple'", "img_sizes"),
    ("img_sizes-three", dict(img_sizes={1: (5, 5, 5)}), ValueError,
     r"^expected tuple of length 2, but got tuple of length 3$", "img_sizes"),
    ("img_sizes-one", dict(img_sizes={1: (5,)}), ValueError,
     r"^expected tuple of length 2, but got tuple of length 1$", "img_sizes"),
    ("img_sizes-negative", dict(img_sizes={1: (-1, 5)}), OverflowError, None, "img_sizes"),
    ("img_sizes-negative-width", dict(img_sizes={1: (5, -5)}), OverflowError, None, "img_sizes"),
    ("img_sizes-too-large", dict(img_sizes={1: (5, 2 ** 32)}), OverflowError, None, "img_sizes"),
    ("img_sizes-huge", dict(img_sizes={1: (10 ** 30, 5)}), OverflowError, None, "img_sizes"),
    ("img_sizes-str-key", dict(img_sizes={"1": (5, 5)}), TypeError, None, "img_sizes"),
    ("img_sizes-float-size", dict(img_sizes={1: (5.0, 5)}), TypeError, None, "img_sizes"),
    ("img_sizes-late-bad-entry", dict(img_sizes={1: (5, 5), 2: None}), TypeError, None, "img_sizes"),
    ("img_ids-str", dict(img_ids="12"), TypeError, r"^Can't extract `str` to `Vec`$", "img_ids"),
    ("img_ids-float", dict(img_ids=[1, 1.5]), TypeError, None, "img_ids"),
    ("img_ids-int", dict(img_ids=5), TypeError, r"Sequence", "img_ids"),
    ("img_ids-too-large", dict(img_ids=[2 ** 63]), OverflowError, None, "img_ids"),
    ("cat_ids-set", dict(cat_ids={1, 2}), TypeError, r"Sequence", "cat_ids"),
    ("cat_ids-none-item", dict(cat_ids=[1, None]), TypeError, None, "cat_ids"),
    ("iou_thrs-str", dict(iou_thrs="0.5"), TypeError, r"^Can't extract `str` to `Vec`$", "iou_thrs"),
    ("iou_thrs-str-item", dict(iou_thrs=[0.5, "0.75"]), TypeError, None, "iou_thrs"),
    ("iou_thrs-generator", dict(iou_thrs=(t for t in [0.5])), TypeError, r"Sequence", "iou_thrs"),
    ("rec_thrs-none", dict(rec_thrs=None), TypeError, r"Sequence", "rec_thrs"),
    ("max_dets-negative", dict(max_dets=[1, -1]), OverflowError, None, "max_dets"),
    ("max_dets-too-large", dict(max_dets=[2 ** 64]), OverflowError, None, "max_dets"),
    ("max_dets-float", dict(max_dets=[1.0]), TypeError, None, "max_dets"),
    ("area_rng-str", dict(area_rng="ab"), TypeError, r"^Can't extract `str` to `Vec`$", "area_rng"),
    ("area_rng-three", dict(area_rng=[[0, 1, 2]]), ValueError,
     r"^expected a sequence of length 2 \(got 3\)$", "area_rng"),
    ("area_rng-one", dict(area_rng=[[0, 1], [5]]), ValueError,
     r"^expected a sequence of length 2 \(got 1\)$", "area_rng"),
    ("area_rng-flat", dict(area_rng=[0, 1]), TypeError, None, "area_rng"),
    ("area_rng-str-item", dict(area_rng=["ab"]), TypeError, None, "area_rng"),
    ("area_rng-int", dict(area_rng=5), TypeError, r"Sequence", "area_rng"),
    ("use_cats-int", dict(use_cats=1), TypeError, None, "use_cats"),
    ("use_cats-none", dict(use_cats=None), TypeError, None, "use_cats"),
    ("iou_type-bytes", dict(iou_type=b"bbox"), TypeError, r"not an instance of 'str'", "iou_type"),
    ("kpt_sigmas-none", dict(kpt_sigmas=None), TypeError, r"Sequence", "kpt_sigmas"),
    ("use_area-int", dict(use_area=0), TypeError, None, "use_area"),
    ("boundary_dilation-str", dict(boundary_dilation="0.02"), TypeError, None, "boundary_dilation"),
    ("boundary_dilation-none", dict(boundary_dilation=None), TypeError, None, "boundary_dilation"),
    ("boundary_dilation-negative", dict(boundary_dilation=-1.0), ValueError,
     r"^dilation ratio must be a finite number >= 0, got -1.0$", "boundary_dilation"),
    ("boundary_dilation-nan", dict(boundary_dilation=float("nan")), ValueError,
     r"^dilation ratio must be a finite number >= 0, got nan$", "boundary_dilation"),
]


@pytest.mark.parametrize("overrides,exc,message,arg", [c[1:] for c in ARGUMENT_ERRORS],
                         ids=[c[0] for c in ARGUMENT_ERRORS])
def test_argument_conversion_errors(qm, overrides, exc, message, arg):
    kwargs = dict(data.TINY_PARAMS, img_sizes={1: (20, 20)})
    kwargs.update(overrides)
    with pytest.raises(exc) as info:
        qm.Evaluator(G1, D1, **kwargs)
    assert type(info.value) is exc
    if message is not None:
        assert re.search(message, info.value.args[0]), info.value.args[0]
    assert notes_of(info.value) == [f"while processing '{arg}'"]


def test_first_bad_argument_in_parameter_order_is_reported(qm):
    kwargs = dict(data.TINY_PARAMS, img_sizes={}, cat_ids="x", iou_thrs="y", iou_type="nope")
    with pytest.raises(TypeError) as info:
        qm.Evaluator(G1, D1, **kwargs)
    assert notes_of(info.value) == ["while processing 'cat_ids'"]
    # every conversion comes before the IoU type is looked at ...
    with pytest.raises(TypeError) as info:
        tiny(G1, D1, iou_type="nope", kpt_sigmas=None)
    assert notes_of(info.value) == ["while processing 'kpt_sigmas'"]
    # ... and the IoU type before the annotation lists
    with pytest.raises(ValueError, match="^iouType must be one of"):
        tiny(tuple(G1), D1, iou_type="nope")


@pytest.mark.parametrize("value", [True, False, np.bool_(True), np.bool_(False)])
def test_booleans_accept_numpy_bools(qm, value):
    ev = tiny(G1, D1, use_cats=value, use_area=value)
    assert ev.run()["counts"][2] == (2 if value else 1)


def test_binding_errors(qm):
    args = [G1, D1, {}, [1], [1], [0.5], [0.0], [1], [[0, 1]], True, "bbox"]
    with pytest.raises(TypeError, match=r"^Evaluator\(\) missing 1 required positional argument: 'kpt_sigmas'$") as info:
        qm.Evaluator(*args)
    assert notes_of(info.value) is None
    with pytest.raises(TypeError, match=r"^Evaluator\(\) got an unexpected keyword argument 'iouType'$"):
        qm.Evaluator(*args, [], iouType="bbox")
    with pytest.raises(TypeError, match=r"^Evaluator\(\) got multiple values for argument 'iou_type'$"):
        qm.Evaluator(*args, [], iou_type="bbox")
    with pytest.raises(TypeError, match=r"^Evaluator\(\) takes .*15 were given"):
        qm.Evaluator(*args, [], True, 0.02, None)
    # binding fails before any argument is converted
    with pytest.raises(TypeError, match="unexpected keyword"):
        qm.Evaluator("junk", "junk", "junk", *args[3:], [], bogus=1)


# ---------------------------------------------------------------------------
# IoU type

@pytest.mark.parametrize("value,shown", [
    ("mask", '"mask"'),
    ("BBOX", '"BBOX"'),
    ("bbox ", '"bbox "'),
    ("", '""'),
    ("keypoint", '"keypoint"'),
    ('a"b\\c\n\t', '"a\\"b\\\\c\\n\\t"'),
    # a NUL does not end the name early: this is not "bbox"
    ("bbox\x00x", '"bbox\\0x"'),
])
def test_unknown_iou_type(qm, value, shown):
    with pytest.raises(ValueError) as info:
        tiny(G1, D1, iou_type=value)
    assert str(info.value) == "iouType must be one of segm, bbox, keypoints, boundary; got " + shown
    assert notes_of(info.value) is None


def test_keypoints_crowd_is_keypoints(qm):
    dataset, results = data.synthetic_keypoints(55)
    dts = [dict(d, id=i + 1, area=1000.0) for i, d in enumerate(results)]
    runs = []
    for kind in ("keypoints", "keypoints_crowd"):
        ev = qm.Evaluator(copy.deepcopy(dataset["annotations"]), copy.deepcopy(dts), {}, [1, 2, 3], [1],
                          [0.5, 0.75], list(np.linspace(0, 1, 11)), [20], [[0, 1e10]], True, kind,
                          [0.026, 0.025, 0.025, 0.035, 0.035])
        runs.append(ev.run(collect_eval_imgs=True))
    for key in ("precision", "recall", "scores"):
        assert np.array_equal(runs[0][key], runs[1][key])
    assert repr(runs[0]["evalImgs"]) == repr(runs[1]["evalImgs"])
    assert (runs[0]["precision"] > 0).any()


# ---------------------------------------------------------------------------
# the annotation lists themselves

def test_sides_must_be_lists(qm):
    for gt, dt in ((tuple(G1), D1), (G1, tuple(D1)), (iter(G1), D1), (G1, None), ({}, D1)):
        with pytest.raises(TypeError, match="not an instance of 'list'") as info:
            tiny(gt, dt)
        assert notes_of(info.value) is None


def test_list_subclasses_and_dict_subclasses_are_read(qm):
    class L(list):
        pass

    class Dct(dict):
        def __getitem__(self, key):  # never consulted: lookups are exact
            raise AssertionError("item lookup of a dict subclass was called")

    gt = L([Dct(a) for a in G1])
    dt = L([Dct(a) for a in D1])
    assert tiny(gt, dt).run()["precision"][0, 0, 0, 0, 0] == ONE


def _segm_gt(**extra):
    d = {"image_id": 1, "category_id": 1, "segmentation": [[0, 0, 10, 0, 10, 10, 0, 10]]}
    d.update(extra)
    return d


INTAKE_ERRORS = [
    # (id, kind, gt, dt, img_sizes, exception, exact message or None)
    ("not-a-dict", "bbox", [[1, 2]], D1, None, ValueError, "annotations must be dicts"),
    ("none-element", "bbox", G1, [None], None, ValueError, "annotations must be dicts"),
    ("missing-image-id", "bbox", [{"category_id": 1}], D1, None, KeyError, "annotation is missing 'image_id'"),
    ("none-image-id", "bbox", G1, [{"image_id": None}], None, KeyError, "annotation is missing 'image_id'"),
    ("str-image-id", "bbox", [{"image_id": "1"}], D1, None, TypeError, None),
    ("float-image-id", "bbox", G1, [{"image_id": 1.0}], None, TypeError, None),
    ("huge-image-id", "bbox", [{"image_id": 2 ** 63}], D1, None, OverflowError, None),
    ("str-category-id", "bbox", [{"image_id": 1, "category_id": "1"}], D1, None, TypeError, None),
    ("float-id", "bbox", G1, [{"image_id": 1, "id": 2.0}], None, TypeError, None),
    ("str-score", "bbox", G1, [{"image_id": 1, "score": "high"}], None, TypeError, None),
    ("bbox-five", "bbox", [box_ann(1, 1, [0, 0, 1, 1, 1])], D1, None, ValueError, "'bbox' must have 4 entries"),
    ("bbox-three-tuple", "bbox", G1, [{"image_id": 1, "bbox": (0, 0, 1)}], None, ValueError,
     "'bbox' must have 4 entries"),
    ("bbox-empty", "bbox", [{"image_id": 1, "bbox": []}], D1, None, ValueError, "'bbox' must have 4 entries"),
    ("bbox-str", "bbox", [{"image_id": 1, "bbox": "0011"}], D1, None, TypeError, "Can't extract `str` to `Vec`"),
    ("bbox-str-item", "bbox", [{"image_id": 1, "bbox": [0, 0, 1, "1"]}], D1, None, TypeError, None),
    ("bbox-int", "bbox", [{"image_id": 1, "bbox": 4}], D1, None, TypeError, None),
    ("bbox-dict", "bbox", [{"image_id": 1, "bbox": {}}], D1, None, TypeError, None),
    ("str-area", "bbox", [{"image_id": 1, "area": "big"}], D1, None, TypeError, None),
    ("float-iscrowd", "bbox", [{"image_id": 1, "iscrowd": 1.0}], D1, None, TypeError, None),
    ("str-num-keypoints", "keypoints", [{"image_id": 1, "num_keypoints": "3"}], [], None, TypeError, None),
    ("str-keypoints", "keypoints", G1, [{"image_id": 1, "keypoints": "123"}], None, TypeError,
     "Can't extract `str` to `Vec`"),
    ("keypoint-item-str", "keypoints", [{"image_id": 1, "keypoints": [1, 2, "v"]}], [], None, TypeError, None),
    ("segm-no-image-entry", "segm", [_segm_gt()], [], {}, KeyError, "no image entry for image_id 1"),
    ("boundary-no-image-entry-dt", "boundary", [], [{"image_id": -7}], {1: (5, 5)}, KeyError,
     "no image entry for image_id -7"),
    ("rle-missing-counts", "segm", [_segm_gt(segmentation={"size": [20, 20]})], [], None, ValueError,
     "RLE segmentation is missing 'counts'"),
    ("rle-none-counts", "segm", [_segm_gt(segmentation={"size": [20, 20], "counts": None})], [], None,
     TypeError, None),
    ("rle-negative-counts", "segm", [_segm_gt(segmentation={"counts": [3, -1]})], [], None, OverflowError,
     "out of range integral type conversion attempted"),
    ("rle-too-large-counts", "segm", [_segm_gt(segmentation={"counts": [3, 2 ** 32]})], [], None,
     OverflowError, "out of range integral type conversion attempted"),
    ("rle-float-counts", "segm", [_segm_gt(segmentation={"counts": [3.0]})], [], None, TypeError, None),
    ("segmentation-int", "segm", [_segm_gt(segmentation=5)], [], None, TypeError, None),
    ("segmentation-str", "segm", [_segm_gt(segmentation="poly")], [], None, TypeError, None),
    ("polygon-str-item", "segm", [_segm_gt(segmentation=[[0, 0, 1, "1", 2, 2]])], [], None, TypeError, None),
    ("polygon-int", "boundary", [_segm_gt(segmentation=[5])], [], None, TypeError, None),
    ("keypoints-length", "keypoints",
     [{"image_id": 1, "num_keypoints": 1, "keypoints": [1, 1, 2] * 3}],
     [{"image_id": 1, "keypoints": [1, 1, 1] * 3 + [5]}], None, ValueError, None),
    ("keypoints-length-gt", "keypoints",
     [{"image_id": 1, "num_keypoints": 1, "keypoints": [1, 1, 2] * 3},
      {"image_id": 1, "num_keypoints": 1, "keypoints": [1, 1, 2] * 4}], [], None, ValueError, None),
]


@pytest.mark.parametrize("kind,gt,dt,sizes,exc,message", [c[1:] for c in INTAKE_ERRORS],
                         ids=[c[0] for c in INTAKE_ERRORS])
def test_intake_errors(qm, kind, gt, dt, sizes, exc, message):
    with pytest.raises(exc) as info:
        tiny(copy.deepcopy(gt), copy.deepcopy(dt), {1: (20, 20)} if sizes is None else sizes, iou_type=kind)
    assert type(info.value) is exc
    if message is not None:
        assert info.value.args[0] == message
    # annotation values are not call arguments: no note
    assert notes_of(info.value) is None
    if kind == "keypoints" and exc is ValueError:
        assert "keypoint" in str(info.value)


# ---------------------------------------------------------------------------
# odd but acceptable input gives a defined result

def _run_ok(ev):
    res = ev.run(collect_eval_imgs=True)
    T, R, K, A, M = res["counts"]
    assert res["precision"].shape == (T, R, K, A, M)
    assert not np.isnan(res["precision"]).any()
    return res


def test_nan_and_infinite_boxes_give_defined_results(qm):
    boxes = [[NAN, 0, 10, 10], [0, 0, INF, 10], [0, 0, -INF, 10], [NAN] * 4, [INF] * 4,
             [-1e308, -1e308, 1e308, 1e308], [0, 0, 0, 0], [0, 0, -5, -5]]
    gt = [box_ann(1, 1, b) for b in boxes] + [box_ann(1, 1, [0, 0, 10, 10])]
    dt = [box_ann(1, 1, b, score=0.5) for b in boxes] + [box_ann(1, 1, [0, 0, 10, 10], score=NAN)]
    for kind in ("bbox", "segm", "boundary"):
        ev = tiny(copy.deepcopy(gt), copy.deepcopy(dt), {1: (30, 30)}, iou_type=kind)
        _run_ok(ev)
        det, _ = ev.per_instance()
        assert len(det["dt_id"]) == len(dt)


def test_nan_parameters_give_defined_results(qm):
    ev = tiny(G1, D1, iou_thrs=[NAN, 1.0, 2.0, -1.0], rec_thrs=[NAN, 0.0, 1.0],
              area_rng=[[NAN, NAN], [0, NAN], [INF, -INF]])
    res = ev.run(collect_eval_imgs=True)
    # a NaN or too large threshold acts as 0.9999999999; a perfect box still matches
    assert res["recall"][0, 0, 0, -1] == 1.0
    assert res["recall"][1, 0, 0, -1] == 1.0
    assert res["recall"][2, 0, 0, -1] == 1.0
    assert res["recall"][3, 0, 0, -1] == 1.0
    # a NaN area is never outside a range
    assert res["recall"][0, 0, 1, -1] == 1.0
    # every area is outside [inf, -inf]: no counted ground truth
    assert (res["recall"][:, 0, 2, :] == -1.0).all()


@pytest.mark.parametrize("kind", ["segm", "boundary"])
@pytest.mark.parametrize("size", [(0, 0), (0, 12), (12, 0)])
def test_images_of_size_zero(qm, kind, size):
    """With no rows, masks are empty and never overlap: the ground truth
    still counts and the detection is a false positive. With rows but no
    columns the rasteriser drops no column crossing (the reference's pixel
    rule), so identical polygons give identical non-empty runs and match."""
    gt = [_segm_gt(bbox=[0, 0, 10, 10])]
    dt = [{"image_id": 1, "category_id": 1, "score": 0.7, "bbox": [0, 0, 10, 10],
           "segmentation": [[0, 0, 10, 0, 10, 10, 0, 10]]}]
    ev = tiny(gt, dt, {1: size}, iou_type=kind)
    res = _run_ok(ev)
    det, gt_rows = ev.per_instance()
    if size[0] == 0:
        assert (res["precision"][:, :, 0, 0, :] == 0.0).all()
        assert (res["recall"][:, 0, 0, :] == 0.0).all()
        assert (res["scores"][:, 0, 0, 0, :] == 0.7).all()
        assert det["gt_id"].tolist() == [-1] and not gt_rows["matched"].any()
    else:
        assert (res["precision"][:, :, 0, 0, :] == ONE).all()
        assert det["gt_id"].tolist() == [1] and det["iou"].tolist() == [1.0]


@pytest.mark.parametrize("kind", ["segm", "boundary"])
@pytest.mark.parametrize("size", [(100_000, 100_000), (2 ** 32 - 1, 1), (1, 2 ** 32 - 1),
                                  (2 ** 32 - 1, 2 ** 32 - 1)])
def test_huge_image_sizes_for_masks(qm, size, kind):
    """Huge but representable sizes: a box far smaller than the image still
    rasterises, its band needs only the box's extent (the image has no dense
    form), and identical boxes match."""
    gt = [box_ann(1, 1, [0, 0, 1, 1])]
    dt = [box_ann(1, 1, [0, 0, 1, 1], score=0.5)]
    ev = tiny(gt, dt, {1: size}, iou_type=kind)
    res = _run_ok(ev)
    assert res["recall"][0, 0, 0, -1] == 1.0


def test_huge_image_sizes_ignored_for_boxes(qm):
    ev = tiny(G1, D1, {1: (2 ** 32 - 1, 2 ** 32 - 1), 99: (0, 0)})
    assert ev.run()["recall"][0, 0, 0, -1] == 1.0


@pytest.mark.parametrize("kind", ["segm", "boundary"])
def test_odd_length_polygons_drop_their_last_value(qm, kind):
    """A polygon with an odd number of values is the polygon without its
    last value: same IoUs against the same detections."""
    square = [2, 2, 14, 2, 14, 14, 2, 14]
    dt = [{"image_id": 1, "category_id": 1, "score": 0.5, "segmentation": [[0, 0, 12, 0, 12, 12, 0, 12]]},
          {"image_id": 1, "category_id": 1, "score": 0.4, "segmentation": [square]}]
    ious = []
    for poly in (square + [7.0], square):
        ev = tiny([_segm_gt(segmentation=[poly])], copy.deepcopy(dt), {1: (20, 20)}, iou_type=kind,
                  iou_thrs=[0.0])
        det, _ = ev.per_instance(0, 0, 100)
        ious.append(det["iou"].tolist())
    assert ious[0] == ious[1]
    assert ious[0][0] > 0


@pytest.mark.parametrize("segmentation", [[], [[]], [[5.0]], [[1, 2, 3]], [[0, 0, 1, 1], []]])
def test_degenerate_polygons(qm, segmentation):
    """Empty or too-short polygons give empty masks: nothing matches them."""
    dt = [{"image_id": 1, "category_id": 1, "score": 0.5, "segmentation": [[0, 0, 12, 0, 12, 12, 0, 12]]}]
    for kind in ("segm", "boundary"):
        ev = tiny([_segm_gt(segmentation=segmentation, area=100.0)], copy.deepcopy(dt), {1: (20, 20)},
                  iou_type=kind, iou_thrs=[1e-9])
        _run_ok(ev)
        det, gt_rows = ev.per_instance()
        assert det["gt_id"].tolist() == [-1]
        assert gt_rows["matched"].tolist() == [False]


@pytest.mark.parametrize("coords", [[NAN, 2, 3, 4, 5, 6], [INF, 2, 3, 4, 5, 6], [1e300, 2, 3, 4, 5, -1e300],
                                    [-50, -50, 500, -50, 500, 500, -50, 500]])
def test_polygons_with_extreme_coordinates(qm, coords):
    ev = tiny([_segm_gt(segmentation=[coords], area=50.0)],
              [{"image_id": 1, "category_id": 1, "score": 0.5, "segmentation": [coords]}],
              {1: (20, 20)}, iou_type="segm")
    _run_ok(ev)


@pytest.mark.parametrize("counts", [b"\x7f\x7f\x01zz", "}}}}}}", b"", "0", [400, 400], [0, 1000000]])
def test_odd_rle_counts(qm, counts):
    """Malformed or oversized run lengths decode to some mask; evaluation
    goes on."""
    for kind in ("segm", "boundary"):
        ev = tiny([_segm_gt(segmentation={"size": [20, 20], "counts": counts})],
                  [{"image_id": 1, "category_id": 1, "score": 0.5, "segmentation": [[0, 0, 9, 0, 9, 9]]}],
                  {1: (20, 20)}, iou_type=kind)
        _run_ok(ev)


def test_rle_size_is_not_consulted(qm):
    """An RLE is rasterised at the img_sizes size, whatever its own "size"
    says: a 4x6 mask given as 2x2 still covers its 24 pixels."""
    counts = [0, 24]
    gt = [_segm_gt(segmentation={"size": [2, 2], "counts": counts})]
    dt = [{"image_id": 1, "category_id": 1, "score": 0.5,
           "segmentation": {"size": [99, 99], "counts": counts}},
          {"image_id": 1, "category_id": 1, "score": 0.4, "segmentation": [[-1, -1, 5.9, -1, 5.9, 3.9, -1, 3.9]]}]
    ev = tiny(gt, dt, {1: (4, 6)}, iou_type="segm", iou_thrs=[0.0])
    det, _ = ev.per_instance()
    assert det["iou"].tolist()[0] == 1.0


def test_keypoint_lists(qm):
    kp = [10, 10, 2, 20, 20, 2, 30, 30, 0]
    gt = [{"image_id": 1, "category_id": 1, "num_keypoints": 2, "keypoints": kp, "bbox": [5, 5, 30, 30], "area": 900}]
    dt = [{"image_id": 1, "category_id": 1, "score": 0.5, "keypoints": [10, 10, 1, 20, 20, 1, 0, 0, 1]},
          {"image_id": 1, "category_id": 1, "score": 0.4},  # no keypoints at all
          {"image_id": 1, "category_id": 1, "score": 0.3, "keypoints": []}]
    ev = tiny(gt, dt, iou_type="keypoints")
    det, _ = ev.per_instance(0, 0, 100)
    assert det["gt_id"].tolist()[0] == 1 and det["iou"].tolist()[0] == 1.0
    # one sigma per keypoint, no fewer and no more
    for sigmas in ([0.1, 0.1], [0.1] * 4, []):
        with pytest.raises(ValueError) as info:
            tiny(gt, dt, iou_type="keypoints", kpt_sigmas=sigmas)
        assert str(info.value) == (f"{len(sigmas)} keypoint sigmas for 3 keypoints per annotation: "
                                   "give one sigma per keypoint")
    # without any keypoint list there is no count to disagree with
    tiny([box_ann(1, 1, [0, 0, 1, 1], num_keypoints=0)], [], iou_type="keypoints", kpt_sigmas=[0.1]).run()


# ---------------------------------------------------------------------------
# the intake's defaults

def test_intake_defaults(qm):
    gt = [{"image_id": 1, "category_id": 1, "bbox": [0, 0, 30, 40]},              # id 1, area 1200
          {"image_id": 1, "category_id": 1, "bbox": [100, 0, 10, 10], "iscrowd": 2},  # id 2, crowd
          {"image_id": 1, "category_id": 1, "bbox": [200, 0, 10, 10], "iscrowd": None,
           "id": None, "area": None, "score": None},                             # id 3, counted
          {"image_id": 1, "category_id": 99, "bbox": [0, 0, 30, 40]},            # unknown category
          {"image_id": 42, "category_id": 1, "bbox": [0, 0, 30, 40]}]            # unknown image
    dt = [{"image_id": 1, "category_id": 1, "bbox": (0, 0, 30, 40)},              # tuple box, score 0
          {"image_id": 1, "category_id": 1, "bbox": [100, 0, 10, 10], "score": 0.5},
          {"image_id": 1, "bbox": [200, 0, 10, 10], "score": 0.5}]               # no category: -1
    ev = tiny(gt, dt, iou_thrs=[0.5], area_rng=[[1200, 1200], [0, 1e10]])
    res = ev.run(collect_eval_imgs=True)
    rec = res["evalImgs"][0]  # category 1, area [1200, 1200], image 1
    assert rec["gtIds"] == [1, 2, 3]  # only the 30x40 box has area 1200
    assert rec["gtIgnore"].tolist() == [0.0, 1.0, 1.0]
    assert rec["dtIds"] == [2, 1]  # the detection without a category is never evaluated
    assert rec["dtScores"] == [0.5, 0.0]
    rec = res["evalImgs"][2]  # category 1, all areas, image 1
    assert rec["gtIds"] == [1, 3, 2]  # counted first, the crowd last
    assert rec["gtIgnore"].tolist() == [0.0, 0.0, 1.0]
    assert rec["dtMatches"].tolist() == [[2.0, 1.0]]
    # the image not in img_ids, and the category not in cat_ids, appear nowhere
    assert all(r is None or (r["image_id"] == 1 and r["category_id"] == 1) for r in res["evalImgs"])


def test_keypoint_ground_truth_without_visible_points_is_ignored(qm):
    kp = [10, 10, 2, 20, 20, 2, 30, 30, 2]
    gt = [{"image_id": 1, "category_id": 1, "keypoints": kp, "bbox": [5, 5, 30, 30], "area": 900, "id": 1,
           "num_keypoints": n} for n in (0,)]
    gt += [{"image_id": 1, "category_id": 1, "keypoints": kp, "bbox": [5, 5, 30, 30], "area": 900, "id": 2},
           {"image_id": 1, "category_id": 1, "keypoints": kp, "bbox": [5, 5, 30, 30], "area": 900, "id": 3,
            "num_keypoints": 3}]
    ev = tiny(gt, [], iou_type="keypoints")
    rec = ev.run(collect_eval_imgs=True)["evalImgs"][0]
    assert rec["gtIds"] == [3, 1, 2]
    assert rec["gtIgnore"].tolist() == [0.0, 1.0, 1.0]


@pytest.mark.parametrize("iou_type", ["bbox", "segm"])
def test_unlisted_annotations_keep_their_places(qm, iou_type):
    """Dicts on an image or category outside the evaluation keep their
    positions: LVIS flags come one per ground truth of the list, and masks
    come back from the rasteriser one per annotation, in list order."""
    def square(x, y=0):
        return [[x, y, x + 10, y, x + 10, 10, x, 10]]
    gt = [box_ann(1, 1, [0, 0, 10, 10], segmentation=square(0)),
          box_ann(42, 1, [20, 0, 10, 10], segmentation=square(20)),  # image not listed
          box_ann(1, 99, [40, 0, 10, 10], segmentation=square(40)),  # category not listed
          box_ann(1, 1, [60, 0, 10, 10], segmentation=square(60))]
    dt = [box_ann(42, 1, [20, 0, 10, 10], score=1.0, segmentation=square(20)),
          box_ann(1, 1, [60, 0, 10, 10], score=0.9, segmentation=square(60)),
          box_ann(1, 1, [0, 2, 10, 8], score=0.8, segmentation=square(0, 2))]
    ev = tiny(gt, dt, {1: (20, 80), 42: (20, 80)}, iou_type=iou_type, iou_thrs=[0.5])
    ev.configure_lvis([False, True, True, True], [])
    det, truth = ev.per_instance()
    assert truth["gt_id"].tolist() == [1, 4] and truth["ignore"].tolist() == [False, True]
    assert det["dt_id"].tolist() == [2, 3] and det["gt_id"].tolist() == [4, 1]
    assert det["iou"].tolist() == [1.0, 0.8] and det["ignore"].tolist() == [True, False]


def test_keypoint_lists_of_another_length(qm):
    kp = [10, 10, 2, 20, 20, 2, 30, 30, 0]
    gt = [{"image_id": 1, "category_id": 1, "num_keypoints": 2, "keypoints": kp, "bbox": [5, 5, 30, 30]}]
    for dt_points, got in ((kp[:6], 6), (kp + [1], 10)):
        dt = [{"image_id": 1, "category_id": 1, "score": 0.5, "keypoints": dt_points}]
        with pytest.raises(ValueError) as info:
            tiny(gt, dt, iou_type="keypoints")
        assert str(info.value) == f"every keypoint list must hold the same number of values (9), got {got}"


# ---------------------------------------------------------------------------
# configure_lvis input

def test_configure_lvis_length_mismatch_changes_nothing(qm):
    gt = [box_ann(1, 1, [0, 0, 10, 10], iscrowd=1), box_ann(1, 1, [20, 20, 10, 10])]
    dt = [box_ann(1, 1, [0, 0, 5, 5], score=0.9), box_ann(1, 1, [1, 1, 5, 5], score=0.8),
          box_ann(1, 1, [20, 20, 10, 10], score=0.7)]
    ev = tiny(gt, dt)
    before = ev.run(collect_eval_imgs=True)
    for flags in ([False], [False, False, False], []):
        with pytest.raises(ValueError) as info:
            ev.configure_lvis(flags, [(1, 1)])
        assert str(info.value) == "LVIS ignore flags do not match ground-truth length"
        assert notes_of(info.value) is None
    after = ev.run(collect_eval_imgs=True)
    for key in ("precision", "recall", "scores"):
        assert np.array_equal(before[key], after[key])
    assert repr(before["evalImgs"]) == repr(after["evalImgs"])


LVIS_ARG_ERRORS = [
    ("ignore-ints", [0, 1], [], TypeError, "gt_ignore"),
    ("ignore-str", "01", [], TypeError, "gt_ignore"),
    ("ignore-none", None, [], TypeError, "gt_ignore"),
    ("pairs-str", [False, False], "11", TypeError, "non_exhaustive"),
    ("pairs-list-pair", [False, False], [[1, 1]], TypeError, "non_exhaustive"),
    ("pairs-three", [False, False], [(1, 1, 1)], ValueError, "non_exhaustive"),
    ("pairs-float-id", [False, False], [(1.0, 1)], TypeError, "non_exhaustive"),
    ("pairs-int", [False, False], 5, TypeError, "non_exhaustive"),
    ("pairs-huge-id", [False, False], [(2 ** 63, 1)], OverflowError, "non_exhaustive"),
]


@pytest.mark.parametrize("flags,pairs,exc,arg", [c[1:] for c in LVIS_ARG_ERRORS],
                         ids=[c[0] for c in LVIS_ARG_ERRORS])
def test_configure_lvis_argument_errors(qm, flags, pairs, exc, arg):
    ev = tiny([box_ann(1, 1, [0, 0, 10, 10]), box_ann(1, 1, [20, 20, 10, 10])], D1)
    with pytest.raises(exc) as info:
        ev.configure_lvis(flags, pairs)
    assert type(info.value) is exc
    assert notes_of(info.value) == [f"while processing '{arg}'"]
    # the evaluator is still usable afterwards
    ev.configure_lvis([False, False], [])
    assert ev.run()["counts"] == [2, 3, 2, 3, 3]


# ---------------------------------------------------------------------------
# per_instance arguments

@pytest.mark.parametrize("kwargs,arg", [(dict(t_idx=-1), "t_idx"), (dict(a_idx=-1), "a_idx"),
                                        (dict(max_det=-1), "max_det"), (dict(max_det=2 ** 64), "max_det")])
def test_per_instance_negative_arguments(qm, kwargs, arg):
    with pytest.raises(OverflowError) as info:
        tiny(G1, D1).per_instance(**kwargs)
    assert notes_of(info.value) == [f"while processing '{arg}'"]


@pytest.mark.parametrize("kwargs,arg", [(dict(t_idx=0.0), "t_idx"), (dict(a_idx="0"), "a_idx"),
                                        (dict(max_det=None), "max_det")])
def test_per_instance_wrong_types(qm, kwargs, arg):
    with pytest.raises(TypeError) as info:
        tiny(G1, D1).per_instance(**kwargs)
    assert notes_of(info.value) == [f"while processing '{arg}'"]


@pytest.mark.parametrize("kwargs", [dict(t_idx=2), dict(a_idx=3), dict(t_idx=10 ** 6, a_idx=10 ** 6)])
def test_per_instance_out_of_range_indexes(qm, kwargs):
    ev = tiny(G1, D1)
    with pytest.raises(qm.PanicException):
        ev.per_instance(**kwargs)
    # an evaluator with nothing to look at never touches the indexes
    det, gt = tiny([], []).per_instance(**kwargs)
    assert len(det["dt_id"]) == 0 and len(gt["gt_id"]) == 0
    # and the failure left the evaluator usable
    assert ev.per_instance()[0]["gt_id"].tolist() == [1]


# ---------------------------------------------------------------------------
# a late failure stops the mask worker

def _thread_count() -> int:
    return len(os.listdir("/proc/self/task"))


@pytest.mark.parametrize("where", ["detection", "ground-truth-after-first-batch"])
def test_late_intake_failure_leaves_no_thread(qm, where):
    sizes = {i: (60, 80) for i in range(1, 101)}
    gts = [{"image_id": 1 + i % 100, "category_id": 1, "id": i + 1,
            "segmentation": [[i % 50, 3, i % 50 + 9, 3, i % 50 + 9, 15, i % 50, 15]]}
           for i in range(10_000)]
    dts = [{"image_id": 1, "category_id": 1, "score": 0.5, "segmentation": [[0, 0, 5, 0, 5, 5]]}]
    # warm up: the process-wide pool exists before the baseline is taken
    tiny(gts[:5000], dts, sizes, iou_type="segm", img_ids=list(sizes)).run()
    baseline = _thread_count()
    threads = threading.active_count()
    if where == "detection":
        dts = dts + [{"category_id": 1, "score": 0.5}]  # no image_id
        expected = (KeyError, "annotation is missing 'image_id'")
    else:
        gts = gts[:5000] + [{"image_id": 1, "segmentation": {"size": [60, 80]}}] + gts[5000:]
        expected = (ValueError, "RLE segmentation is missing 'counts'")
    for kind in ("segm", "boundary"):
        with pytest.raises(expected[0]) as info:
            tiny(gts, dts, sizes, iou_type=kind, img_ids=list(sizes))
        assert info.value.args[0] == expected[1]
        assert _thread_count() == baseline
        assert threading.active_count() == threads
    # and the same lists without the bad entry construct fine
    ok = tiny([g for g in gts if isinstance(g["segmentation"], list)],
              [d for d in dts if "image_id" in d], sizes, iou_type="segm", img_ids=list(sizes))
    assert ok.run()["counts"][2] == 2
    assert _thread_count() == baseline


# ---------------------------------------------------------------------------
# compact storage sides

def test_compact_side_requires_bbox(qm, tmp_path):
    if not hasattr(qm, "load_compact_bbox"):
        pytest.skip("CompactBbox is not part of this build yet")
    path = tmp_path / "gt.json"
    path.write_text('{"images": [{"id": 1, "height": 20, "width": 20}], "categories": [{"id": 1}],'
                    ' "annotations": [{"id": 1, "image_id": 1, "category_id": 1, "bbox": [0, 0, 10, 10],'
                    ' "area": 100, "iscrowd": 0}]}')
    _, compact = qm.load_compact_bbox(str(path))
    for gt, dt in ((compact, []), ([], compact), (compact, compact)):
        for kind in ("segm", "keypoints", "boundary"):
            with pytest.raises(ValueError) as info:
                tiny(gt, dt, {1: (20, 20)}, iou_type=kind)
            assert str(info.value) == "compact storage requires bbox evaluation"
        tiny(gt, dt, iou_type="bbox").run()
