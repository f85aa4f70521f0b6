"""The Evaluator's Python surface: signatures and docstrings, the layout of
run's result and of per_instance's columns, timings, and behaviour under
concurrent use from several Python threads."""

from __future__ import annotations

import gc
import inspect
import sys
import threading
import time

import numpy as np
import pytest

import _eval_data as data
from _eval_data import box_ann, tiny

P = inspect.Parameter
ONE = 1.0 / (1.0 + 2.220446049250313e-16)

CONSTRUCTOR = [("gt_anns", P.empty), ("dt_anns", P.empty), ("img_sizes", P.empty), ("img_ids", P.empty),
               ("cat_ids", P.empty), ("iou_thrs", P.empty), ("rec_thrs", P.empty), ("max_dets", P.empty),
               ("area_rng", P.empty), ("use_cats", P.empty), ("iou_type", P.empty), ("kpt_sigmas", P.empty),
               ("use_area", True), ("boundary_dilation", 0.02)]
METHODS = {
    "configure_lvis": [("gt_ignore", P.empty), ("non_exhaustive", P.empty)],
    "run": [("collect_eval_imgs", False)],
    "timings": [],
    "per_instance": [("t_idx", 0), ("a_idx", 0), ("max_det", 100)],
    "similarity": [("image_id", None), ("category_id", None)],
    "evaluate_image": [("image_id", P.empty), ("category_id", P.empty), ("area_rng", P.empty),
                       ("max_det", P.empty)],
    "group_precision": [("image_groups", P.empty), ("groups", P.empty)],
    "category_counts": [("a_idx", 0)],
    "matches": [("parallel", True)],
    "start_matches": [("parallel", True)],
    "operating_points": [("t_idx", P.empty), ("a_idx", P.empty), ("max_det", P.empty),
                         ("score_thrs", None)],
    "confusion_matrix": [("iou_thr", P.empty), ("score_thr", P.empty), ("max_det", P.empty)],
    "error_analysis": [("image_order", P.empty), ("tidecv_ties", False)],
    "instances": [("t_idx", P.empty), ("a_idx", 0), ("max_det", 100), ("image_order", None)],
}
TIMING_KEYS = ["gt_read", "dt_read", "read_blocked", "rasterise", "group_index", "iou_cpu", "match_cpu",
               "accumulate_cpu"]
RECORD_KEYS = ["image_id", "category_id", "aRng", "maxDet", "dtIds", "gtIds", "dtMatches", "gtMatches",
               "dtScores", "gtIgnore", "dtIgnore"]
DET_COLUMNS = {"image_id": np.int64, "category_id": np.int64, "dt_id": np.int64, "gt_id": np.int64,
               "score": np.float64, "iou": np.float64, "ignore": np.bool_}
GT_COLUMNS = {"image_id": np.int64, "category_id": np.int64, "gt_id": np.int64, "ignore": np.bool_,
              "matched": np.bool_}


def params_of(sig):
    return [(p.name, p.default) for p in sig.parameters.values()]


@pytest.fixture(scope="module")
def val2014_bbox(load_data):
    """Our Evaluator's inputs for the val2014 subset and its fake box
    results, with the COCO defaults; no reference library needed."""
    from quillscore import _vireo as qm

    dataset = load_data("coco_val2014_100/instances_val2014_100.json")
    results = load_data("coco_val2014_100/fake_bbox_results.json")
    img_ids = sorted(im["id"] for im in dataset["images"])
    cat_ids = sorted(c["id"] for c in dataset["categories"])
    params = dict(img_ids=img_ids, cat_ids=cat_ids, iou_thrs=list(np.linspace(0.5, 0.95, 10)),
                  rec_thrs=list(np.linspace(0, 1, 101)), max_dets=[1, 10, 100],
                  area_rng=[[0, 1e10], [0, 1024], [1024, 9216], [9216, 1e10]], use_cats=True,
                  iou_type="bbox", kpt_sigmas=[])
    return qm, dataset, results, params


# ---------------------------------------------------------------------------
# signatures and docstrings

def test_constructor_signature(qm):
    sig = inspect.signature(qm.Evaluator)
    assert params_of(sig) == CONSTRUCTOR
    assert all(p.kind is P.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())
    assert type(sig.parameters["use_area"].default) is bool
    assert type(sig.parameters["boundary_dilation"].default) is float
    assert qm.Evaluator.__doc__ == "The evaluation engine, constructed once from prepared annotations."
    assert qm.Evaluator.__text_signature__ == (
        "(gt_anns, dt_anns, img_sizes, img_ids, cat_ids, iou_thrs, rec_thrs, max_dets, area_rng, "
        "use_cats, iou_type, kpt_sigmas, use_area=True, boundary_dilation=0.02)")
    assert qm.Evaluator.__module__ == "quillscore._vireo"
    assert qm.Evaluator.__name__ == "Evaluator"


@pytest.mark.parametrize("name", sorted(METHODS))
def test_method_signatures(qm, name):
    method = getattr(qm.Evaluator, name)
    unbound = inspect.signature(method)
    names = list(unbound.parameters)
    assert names[0] == "self" and unbound.parameters["self"].kind is P.POSITIONAL_ONLY
    assert params_of(unbound)[1:] == METHODS[name]
    for p in list(unbound.parameters.values())[1:]:
        assert p.kind is P.POSITIONAL_OR_KEYWORD
        if p.default is not P.empty:
            assert type(p.default) is type(dict(METHODS[name])[p.name])
    bound = inspect.signature(getattr(tiny([], []), name))
    assert params_of(bound) == METHODS[name]


def test_method_docstrings(qm):
    E = qm.Evaluator
    assert E.per_instance.__doc__.startswith("Per-instance verdicts at one setting, column-wise.\n\n")
    assert "(detections, ground_truths)" in E.per_instance.__doc__
    assert E.timings.__doc__.startswith("Per-phase timings, in seconds.\n\n")
    assert E.run.__doc__
    assert E.configure_lvis.__text_signature__ == "($self, gt_ignore, non_exhaustive)"
    assert E.run.__text_signature__ == "($self, collect_eval_imgs=False)"
    assert E.timings.__text_signature__ == "($self)"
    assert E.per_instance.__text_signature__ == "($self, t_idx=0, a_idx=0, max_det=100)"


def test_class_has_nothing_else(qm):
    own = {n for n in vars(qm.Evaluator) if not n.startswith("__")}
    assert own == set(METHODS)
    assert qm.Evaluator.__init__ is object.__init__
    ev = tiny([], [])
    with pytest.raises(AttributeError):
        ev.extra = 1
    # the methods are in the class's method table order
    assert [n for n in vars(qm.Evaluator) if n in METHODS] == ["configure_lvis", "run", "timings", "per_instance",
                                                               "similarity", "evaluate_image",
                                                               "group_precision", "matches",
                                                               "start_matches", "category_counts",
                                                               "operating_points",
                                                               "confusion_matrix", "error_analysis",
                                                               "instances"]


def test_timings_is_a_method(qm):
    ev = tiny([], [])
    assert callable(ev.timings) and not isinstance(ev.timings, dict)
    assert ev.timings.__self__ is ev
    with pytest.raises(TypeError):
        ev.timings(1)
    with pytest.raises(TypeError):
        ev.timings(x=1)


def test_keyword_and_positional_calls_agree(qm):
    gt = [box_ann(1, 1, [0, 0, 10, 10]), box_ann(2, 2, [5, 5, 10, 10])]
    dt = [box_ann(1, 1, [1, 0, 10, 10], score=0.5), box_ann(2, 2, [5, 5, 9, 9], score=0.7)]
    p = data.TINY_PARAMS
    positional = qm.Evaluator(gt, dt, {}, p["img_ids"], p["cat_ids"], p["iou_thrs"], p["rec_thrs"],
                              p["max_dets"], p["area_rng"], p["use_cats"], p["iou_type"], p["kpt_sigmas"],
                              True, 0.02)
    keywords = qm.Evaluator(dt_anns=dt, gt_anns=gt, img_sizes={}, **p)
    a, b = positional.run(True), keywords.run(collect_eval_imgs=True)
    for key in ("precision", "recall", "scores"):
        assert np.array_equal(a[key], b[key])
    assert repr(a["evalImgs"]) == repr(b["evalImgs"])
    da, ga = positional.per_instance(1, 0, 10)
    db, gb = keywords.per_instance(max_det=10, t_idx=1)
    assert all(np.array_equal(da[k], db[k]) for k in da) and all(np.array_equal(ga[k], gb[k]) for k in ga)
    every = positional.similarity()
    assert repr(keywords.similarity(None, category_id=None)) == repr(every)
    assert repr(keywords.similarity(category_id=2, image_id=2)) == repr(every[(2, 2)])
    assert repr(positional.evaluate_image(1, 1, [0, 1e10], 10)) == repr(
        keywords.evaluate_image(max_det=10, area_rng=[0, 1e10], category_id=1, image_id=1))
    with pytest.raises(TypeError, match="^similarity\\(\\) takes both image_id and category_id, or neither$"):
        positional.similarity(1)


# ---------------------------------------------------------------------------
# run's result

def _check_array(a, dtype, shape):
    assert type(a) is np.ndarray
    assert a.dtype == dtype
    assert a.shape == shape
    assert a.flags.c_contiguous and a.flags.writeable and a.flags.aligned
    assert a.dtype.isnative


def test_run_result_layout(val2014_bbox):
    qm, dataset, results, params = val2014_bbox
    ev = qm.Evaluator(dataset["annotations"], results, {}, **params)
    for collect in (False, True, np.bool_(True), np.bool_(False)):
        res = ev.run(collect_eval_imgs=collect)
        keys = ["counts", "precision", "recall", "scores"] + (["evalImgs"] if collect else [])
        assert type(res) is dict and list(res) == keys
        assert type(res["counts"]) is list and all(type(c) is int for c in res["counts"])
        T, R, K, A, M = res["counts"]
        assert (T, R, K, A, M) == (10, 101, 80, 4, 3)
        _check_array(res["precision"], np.float64, (T, R, K, A, M))
        _check_array(res["recall"], np.float64, (T, K, A, M))
        _check_array(res["scores"], np.float64, (T, R, K, A, M))
        # three separate buffers
        assert not np.shares_memory(res["precision"], res["scores"])
    assert list(ev.run()) == ["counts", "precision", "recall", "scores"]


def test_eval_imgs_layout(val2014_bbox):
    qm, dataset, results, params = val2014_bbox
    ev = qm.Evaluator(dataset["annotations"], results, {}, **params)
    res = ev.run(collect_eval_imgs=True)
    T, R, K, A, M = res["counts"]
    recs = res["evalImgs"]
    assert type(recs) is list and len(recs) == K * A * len(params["img_ids"])
    present = [r for r in recs if r is not None]
    assert 0 < len(present) < len(recs)
    for i, r in enumerate(recs):
        if r is None:
            continue
        k, rest = divmod(i, A * len(params["img_ids"]))
        a, n = divmod(rest, len(params["img_ids"]))
        assert type(r) is dict and list(r) == RECORD_KEYS
        assert (r["image_id"], r["category_id"], r["aRng"]) == (params["img_ids"][n], params["cat_ids"][k], a)
        assert all(type(r[key]) is int for key in ("image_id", "category_id", "aRng", "maxDet"))
        assert r["maxDet"] == 100
        D, G = len(r["dtIds"]), len(r["gtIds"])
        assert D + G > 0
        for key in ("dtIds", "gtIds", "dtScores"):
            assert type(r[key]) is list
        assert all(type(x) is int for x in r["dtIds"] + r["gtIds"])
        assert all(type(x) is float for x in r["dtScores"]) and len(r["dtScores"]) == D
        assert r["dtScores"] == sorted(r["dtScores"], reverse=True)
        _check_array(r["dtMatches"], np.float64, (T, D))
        _check_array(r["gtMatches"], np.float64, (T, G))
        # the COCO API's types: ints (a float64 empty array without any), bools
        _check_array(r["gtIgnore"], np.int64 if G else np.float64, (G,))
        _check_array(r["dtIgnore"], np.bool_, (T, D))
        # ignored ground truths come last
        assert list(r["gtIgnore"]) == sorted(r["gtIgnore"])
        assert set(np.unique(r["dtIgnore"])) <= {0.0, 1.0}
        assert set(r["dtMatches"].ravel()) <= set(map(float, r["gtIds"])) | {0.0}
        assert set(r["gtMatches"].ravel()) <= set(map(float, r["dtIds"])) | {0.0}


def test_results_are_independent_and_outlive_the_evaluator(val2014_bbox):
    qm, dataset, results, params = val2014_bbox
    ev = qm.Evaluator(dataset["annotations"], results, {}, **params)
    first = ev.run(collect_eval_imgs=True)
    kept = {k: first[k].copy() for k in ("precision", "recall", "scores")}
    pos = next(i for i, r in enumerate(first["evalImgs"]) if r is not None and r["dtIds"])
    rec = first["evalImgs"][pos]
    rec_copy = {k: (v.copy() if isinstance(v, (np.ndarray, list)) else v) for k, v in rec.items()}
    # scribble over everything returned
    for k in ("precision", "recall", "scores"):
        first[k][...] = 7.0
    for k in ("dtMatches", "gtMatches", "gtIgnore", "dtIgnore"):
        rec[k][...] = 7.0
    rec["dtIds"].append(-5)
    second = ev.run(collect_eval_imgs=True)
    for k in kept:
        assert np.array_equal(second[k], kept[k])
        assert not np.shares_memory(second[k], first[k])
    again = second["evalImgs"][pos]
    for k, v in rec_copy.items():
        assert np.array_equal(again[k], v) if isinstance(v, np.ndarray) else again[k] == v
    det, gt = ev.per_instance()
    det_copy = {k: v.copy() for k, v in det.items()}
    for v in det.values():
        v[...] = 0
    det2, _ = ev.per_instance()
    assert all(np.array_equal(det2[k], det_copy[k]) for k in det_copy)
    # arrays stay valid once the evaluator is gone
    del ev
    gc.collect()
    for k in kept:
        assert np.array_equal(second[k], kept[k])
        assert sys.getrefcount(second[k]) >= 2
    assert np.array_equal(det2["dt_id"], det_copy["dt_id"])
    for k, v in rec_copy.items():
        assert np.array_equal(again[k], v) if isinstance(v, np.ndarray) else again[k] == v


def test_collect_eval_imgs_refuses_ints(qm):
    ev = tiny([], [])
    for value in (1, 0, None, "yes", 1.0):
        with pytest.raises(TypeError) as info:
            ev.run(collect_eval_imgs=value)
        assert info.value.__notes__ == ["while processing 'collect_eval_imgs'"]
    with pytest.raises(TypeError) as info:
        ev.run(1)
    assert info.value.__notes__ == ["while processing 'collect_eval_imgs'"]
    with pytest.raises(TypeError, match="unexpected keyword argument 'collect'"):
        ev.run(collect=True)
    with pytest.raises(TypeError, match=r"takes .*2 were given"):
        ev.run(True, True)


def test_use_cats_false_reports_one_slot(qm):
    gt = [box_ann(1, 1, [0, 0, 10, 10]), box_ann(1, 2, [20, 20, 10, 10]), box_ann(2, 2, [0, 0, 5, 5])]
    dt = [box_ann(1, 2, [0, 0, 10, 10], score=0.9), box_ann(2, 1, [0, 0, 5, 5], score=0.8)]
    ev = tiny(gt, dt, use_cats=False)
    res = ev.run(collect_eval_imgs=True)
    assert res["counts"] == [2, 3, 1, 3, 3]
    assert res["precision"].shape[2] == 1 and res["recall"].shape[1] == 1
    assert len(res["evalImgs"]) == 1 * 3 * 2
    assert {r["category_id"] for r in res["evalImgs"] if r is not None} == {-1}
    # pooled: the category-2 detection matches the category-1 box
    assert res["evalImgs"][0]["gtIds"] == [1, 2]
    assert res["evalImgs"][0]["dtMatches"].tolist() == [[1.0], [1.0]]
    det, gt_rows = ev.per_instance()
    assert set(det["category_id"].tolist()) == {-1} and set(gt_rows["category_id"].tolist()) == {-1}


def test_empty_category_list(qm):
    ev = tiny([box_ann(1, 1, [0, 0, 5, 5])], [box_ann(1, 1, [0, 0, 5, 5], score=1.0)], cat_ids=[])
    res = ev.run(collect_eval_imgs=True)
    assert res["counts"] == [2, 3, 0, 3, 3]
    assert res["precision"].shape == (2, 3, 0, 3, 3) and res["precision"].size == 0
    assert res["recall"].shape == (2, 0, 3, 3)
    assert res["evalImgs"] == []


def test_record_shapes_with_one_threshold(qm):
    gt = [box_ann(1, 1, [0, 0, 10, 10])]
    dt = [box_ann(1, 1, [0, 0, 10, 10], score=s) for s in (0.3, 0.2, 0.1)]
    res = tiny(gt, dt, iou_thrs=[0.5]).run(collect_eval_imgs=True)
    rec = res["evalImgs"][0]
    assert rec["dtMatches"].shape == (1, 3) and rec["dtIgnore"].shape == (1, 3)
    assert rec["gtMatches"].shape == (1, 1) and rec["gtIgnore"].shape == (1,)
    assert rec["dtMatches"].tolist() == [[1.0, 0.0, 0.0]]
    # dtIds default to list position + 1
    assert rec["dtIds"] == [1, 2, 3] and rec["gtMatches"].tolist() == [[1.0]]
    # a record with no detections has (T, 0) matrices
    res = tiny(gt, [], iou_thrs=[0.5, 0.6]).run(collect_eval_imgs=True)
    assert res["evalImgs"][0]["dtMatches"].shape == (2, 0)


def test_images_without_annotations_give_none(qm):
    gt = [box_ann(1, 1, [0, 0, 10, 10])]
    res = tiny(gt, [], img_ids=[1, 2, 3]).run(collect_eval_imgs=True)
    recs = res["evalImgs"]
    # (category, area range, image): only category 1 on image 1 has anything
    N, A = 3, 3
    for i, r in enumerate(recs):
        k, rest = divmod(i, A * N)
        n = rest % N
        assert (r is not None) == (k == 0 and n == 0)


# ---------------------------------------------------------------------------
# per_instance

def _check_columns(cols, expected):
    assert type(cols) is dict and list(cols) == list(expected)
    n = len(next(iter(cols.values())))
    for k, v in cols.items():
        _check_array(v, expected[k], (n,))
    return n


def test_per_instance_columns(val2014_bbox):
    qm, dataset, results, params = val2014_bbox
    ev = qm.Evaluator(dataset["annotations"], results, {}, **params)
    out = ev.per_instance(0, 0, 100)
    assert type(out) is tuple and len(out) == 2
    det, gt = out
    nd = _check_columns(det, DET_COLUMNS)
    ng = _check_columns(gt, GT_COLUMNS)
    assert 0 < nd <= len(results)
    assert ng == sum(1 for a in dataset["annotations"] if a["image_id"] in set(params["img_ids"]))
    assert not np.shares_memory(det["dt_id"], det["gt_id"])
    # unmatched rows carry -1 and iou 0; matched ones a threshold-passing iou
    unmatched = det["gt_id"] == -1
    assert (det["iou"][unmatched] == 0).all()
    assert (det["iou"][~unmatched] >= 0.5).all()


def test_per_instance_agrees_with_records(val2014_bbox):
    """Two views of one matching: per_instance rows against the records of
    run at the same threshold and area range."""
    qm, dataset, results, params = val2014_bbox
    ev = qm.Evaluator(dataset["annotations"], results, {}, **params)
    recs = ev.run(collect_eval_imgs=True)["evalImgs"]
    N, A = len(params["img_ids"]), len(params["area_rng"])
    for t_idx, a_idx, max_det in ((0, 0, 100), (5, 2, 100), (9, 3, 100), (0, 0, 1), (3, 1, 10), (0, 0, 0)):
        want_det, want_gt = [], []
        for i, r in enumerate(recs):
            if r is None or (i // N) % A != a_idx:
                continue
            for j, dt_id in enumerate(r["dtIds"][:max_det]):
                m = int(r["dtMatches"][t_idx, j])
                want_det.append((r["image_id"], r["category_id"], dt_id, m if m else -1,
                                 r["dtScores"][j], bool(r["dtIgnore"][t_idx, j])))
            kept = set(r["dtIds"][:max_det])
            for g, gt_id in enumerate(r["gtIds"]):
                matched = any(int(r["dtMatches"][t_idx, j]) == gt_id
                              for j, d in enumerate(r["dtIds"]) if d in kept)
                want_gt.append((r["image_id"], r["category_id"], gt_id, bool(r["gtIgnore"][g]), matched))
        det, gt = ev.per_instance(t_idx, a_idx, max_det)
        got_det = list(zip(det["image_id"].tolist(), det["category_id"].tolist(), det["dt_id"].tolist(),
                           det["gt_id"].tolist(), det["score"].tolist(), det["ignore"].tolist()))
        got_gt = list(zip(gt["image_id"].tolist(), gt["category_id"].tolist(), gt["gt_id"].tolist(),
                          gt["ignore"].tolist(), gt["matched"].tolist()))
        assert got_det == want_det, (t_idx, a_idx, max_det)
        assert got_gt == want_gt, (t_idx, a_idx, max_det)


def test_per_instance_empty(qm):
    for gt in ([], [box_ann(1, 1, [0, 0, 5, 5])]):
        det, gt_rows = tiny(gt, []).per_instance()
        assert _check_columns(det, DET_COLUMNS) == 0
        assert _check_columns(gt_rows, GT_COLUMNS) == len(gt)


def test_per_instance_max_det(qm):
    gt = [box_ann(1, 1, [0, 0, 10, 10]), box_ann(1, 1, [50, 50, 10, 10])]
    dt = [box_ann(1, 1, [0, 0, 10, 10], score=0.9), box_ann(1, 1, [50, 50, 10, 10], score=0.8)]
    ev = tiny(gt, dt)
    det, g = ev.per_instance(max_det=1)
    assert det["dt_id"].tolist() == [1] and det["iou"].tolist() == [1.0]
    assert g["gt_id"].tolist() == [1, 2] and g["matched"].tolist() == [True, False]
    det, g = ev.per_instance(max_det=0)
    assert len(det["dt_id"]) == 0 and g["matched"].tolist() == [False, False]
    det, g = ev.per_instance(max_det=2 ** 64 - 1)
    assert g["matched"].tolist() == [True, True]


# ---------------------------------------------------------------------------
# timings

def test_timings_after_construction_and_runs(qm):
    gt, dt, params = data.large_bbox_lists(seed=3, images=40)
    ev = qm.Evaluator(gt, dt, {}, **params)
    t = ev.timings()
    assert type(t) is dict and list(t) == TIMING_KEYS
    assert all(type(v) is float for v in t.values())
    for key in ("rasterise", "read_blocked", "iou_cpu", "match_cpu", "accumulate_cpu"):
        assert t[key] == 0.0, key
    assert t["gt_read"] > 0 and t["dt_read"] > 0 and t["group_index"] >= 0
    assert t["gt_read"] < 60 and t["dt_read"] < 60
    ev.run()
    t1 = ev.timings()
    assert t1["iou_cpu"] > 0 and t1["match_cpu"] > 0 and t1["accumulate_cpu"] > 0
    for key in ("gt_read", "dt_read", "read_blocked", "rasterise", "group_index"):
        assert t1[key] == t[key], key
    ev.per_instance()
    assert ev.timings() == t1  # per-instance queries add nothing
    ev.run()
    t2 = ev.timings()
    # a second run accumulates again from the first one's matching
    assert t2["accumulate_cpu"] > t1["accumulate_cpu"]
    assert (t2["iou_cpu"], t2["match_cpu"]) == (t1["iou_cpu"], t1["match_cpu"])
    assert ev.timings() is not ev.timings()


def test_timings_of_mask_construction(qm):
    dataset, results, _, _ = data.random_mask_dataset(91)
    ev = qm.Evaluator(dataset["annotations"], results, data.image_sizes(dataset),
                      [im["id"] for im in dataset["images"]], [1, 2], [0.5], [0.0, 1.0], [100], [[0, 1e10]],
                      True, "boundary", [])
    t = ev.timings()
    assert t["rasterise"] > 0
    assert t["iou_cpu"] == t["match_cpu"] == t["accumulate_cpu"] == 0.0


# ---------------------------------------------------------------------------
# concurrent use

@pytest.fixture(scope="module")
def large_evaluator():
    from quillscore import _vireo as qm

    gt, dt, params = data.large_bbox_lists(seed=5)
    ev = qm.Evaluator(gt, dt, {}, **params)
    return ev, ev.run(collect_eval_imgs=True), len(gt)


def _same(a, b):
    for key in ("counts", "precision", "recall", "scores"):
        assert np.array_equal(a[key], b[key]), key
    if "evalImgs" in a and "evalImgs" in b:
        assert len(a["evalImgs"]) == len(b["evalImgs"])
        for x, y in zip(a["evalImgs"], b["evalImgs"]):
            assert (x is None) == (y is None)
            if x is not None:
                assert list(x) == list(y)
                for k in x:
                    assert np.array_equal(x[k], y[k]) if isinstance(x[k], np.ndarray) else x[k] == y[k], k


def test_parallel_runs_on_one_evaluator(large_evaluator):
    ev, baseline, _ = large_evaluator
    barrier = threading.Barrier(3)
    out: dict = {}

    def work(name, fn):
        barrier.wait()
        try:
            out[name] = fn()
        except BaseException as e:  # reported below
            out[name] = e

    threads = [threading.Thread(target=work, args=("a", lambda: ev.run(collect_eval_imgs=True))),
               threading.Thread(target=work, args=("b", lambda: ev.run(collect_eval_imgs=True))),
               threading.Thread(target=work, args=("c", lambda: ev.per_instance(3, 1, 10)))]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
        assert not t.is_alive()
    for name in ("a", "b", "c"):
        assert not isinstance(out[name], BaseException), out[name]
    _same(out["a"], baseline)
    _same(out["b"], baseline)
    det, gt = ev.per_instance(3, 1, 10)
    assert all(np.array_equal(out["c"][0][k], det[k]) for k in det)
    assert all(np.array_equal(out["c"][1][k], gt[k]) for k in gt)


def test_first_readers_of_the_matching_agree(qm):
    """run(), category_counts() and operating_points() all read one matching,
    made by whichever asks first: asked at once from three threads of a fresh
    evaluator, or in either order, they give what a lone run gives."""
    gt, dt, params = data.large_bbox_lists(seed=8, images=60)

    def queries(ev):
        return {"run": ev.run, "counts": lambda: ev.category_counts(1),
                "points": lambda: ev.operating_points(2, 1, 10)}

    lone = qm.Evaluator(gt, dt, {}, **params)
    expected = {name: fn() for name, fn in queries(lone).items()}
    fresh = qm.Evaluator(gt, dt, {}, **params)
    barrier = threading.Barrier(3)
    out: dict = {}

    def work(name, fn):
        barrier.wait()
        out[name] = fn()

    threads = [threading.Thread(target=work, args=item) for item in queries(fresh).items()]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
        assert not t.is_alive()
    later = qm.Evaluator(gt, dt, {}, **params)
    reversed_order = {name: fn() for name, fn in reversed(queries(later).items())}
    for got in (out, reversed_order):
        _same(got["run"], expected["run"])
        assert all(np.array_equal(a, b) for a, b in zip(got["counts"], expected["counts"]))
        for a, b in zip(got["points"], expected["points"]):
            assert all(np.array_equal(a[k], b[k], equal_nan=a[k].dtype.kind == "f") for k in a)


def test_configure_lvis_during_run_is_refused(large_evaluator):
    """run holds shared access while the engine works without the
    interpreter lock; an exclusive configure_lvis from another thread
    meanwhile fails at once. The data has no crowds and no ignore flags, so
    a configure_lvis that slips in before or after the run changes
    nothing."""
    ev, baseline, n_gt = large_evaluator
    flags = [False] * n_gt
    refused = []
    for _attempt in range(10):
        started = threading.Event()
        result: dict = {}

        def runner():
            started.set()
            result["run"] = ev.run(collect_eval_imgs=True)

        t = threading.Thread(target=runner)
        t.start()
        started.wait()
        deadline = time.monotonic() + 30
        while t.is_alive() and time.monotonic() < deadline:
            try:
                ev.configure_lvis(flags, [])
            except RuntimeError as e:
                refused.append(str(e))
                break
            time.sleep(0.0005)
        t.join(60)
        assert not t.is_alive()
        _same(result["run"], baseline)
        if refused:
            break
    assert refused, "configure_lvis never overlapped a run in 10 attempts"
    assert refused[0] == "Already borrowed"
    # once the run is over, exclusive access is available again
    ev.configure_lvis(flags, [])
    _same(ev.run(), baseline)


def test_shared_calls_during_run_are_allowed(large_evaluator):
    ev, baseline, _ = large_evaluator
    done = threading.Event()
    result: dict = {}

    def runner():
        # with the per-image records, so that the run matches again rather
        # than reading an earlier run's matching
        result["run"] = ev.run(collect_eval_imgs=True)
        done.set()

    t = threading.Thread(target=runner)
    t.start()
    seen = 0
    while not done.is_set():
        assert list(ev.timings()) == TIMING_KEYS
        seen += 1
        time.sleep(0.0005)
    t.join(60)
    assert seen > 0
    _same(result["run"], baseline)


def test_a_failed_query_releases_the_evaluator(qm):
    # An index past the thresholds is the query's internal fault.
    ev = tiny([box_ann(1, 1, [0, 0, 10, 10])], [box_ann(1, 1, [0, 0, 10, 10], score=0.9)])
    for _ in range(2):
        with pytest.raises(qm.PanicException):
            ev.per_instance(t_idx=5)
    ev.configure_lvis([False], [])  # would say "Already borrowed" if a borrow leaked
    assert ev.run()["recall"][0, 0, 0, -1] == 1.0
