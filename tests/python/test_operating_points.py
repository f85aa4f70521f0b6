"""COCOeval.operating_points(): counts, precision, recall and F1 by score
threshold, checked against a direct count on the reference COCO API's
per-image records (the matching accumulation reads) on real and seeded
synthetic results, and against brute force for the best F1."""

from __future__ import annotations

import math

import numpy as np
import pytest

import _eval_data as data
import quillscore

pycocoeval = pytest.importorskip("pycocotools.cocoeval", reason="pycocotools is not installed")

VAL2014 = "coco_val2014_100/instances_val2014_100.json"


def both(dataset, results, iou_type, tweak=None):
    """(ours accumulated, the reference evaluated) with the same parameters."""
    ours, ref = data.evaluated_pair(dataset, results, iou_type, tweak)
    ours.accumulate()
    return ours, ref


def tallies(ref, t_idx, a_idx, max_det):
    """{category id: (scores, true-positive flags, counted ground truths)}
    of the counted detections, read off the reference's records exactly
    as its accumulation reads them."""
    p = ref.params
    area = list(p.areaRng[a_idx])
    cats = p.catIds if p.useCats else [-1]
    out = {c: ([], [], 0) for c in cats}
    for e in ref.evalImgs:
        if e is None or list(e["aRng"]) != area:
            continue
        scores, flags, n_gt = out[e["category_id"]]
        kept = ~np.asarray(e["dtIgnore"][t_idx][:max_det], dtype=bool)
        scores += list(np.asarray(e["dtScores"][:max_det])[kept])
        flags += list(np.asarray(e["dtMatches"][t_idx][:max_det])[kept] > 0)
        out[e["category_id"]] = (scores, flags, n_gt + int((np.asarray(e["gtIgnore"]) == 0).sum()))
    return out


def expected_rows(tally, cat, thresholds):
    scores, flags, n_gt = np.asarray(tally[0], dtype=float), np.asarray(tally[1], dtype=bool), tally[2]
    if thresholds is None:
        thresholds = sorted(set(scores.tolist()), reverse=True)
    rows = []
    for s in thresholds:
        keep = scores >= s
        tp = int((keep & flags).sum())
        fp = int(keep.sum()) - tp
        rows.append((cat, s, tp, fp, n_gt - tp))
    return rows


def expected(ref, t_idx, a_idx, max_det, thresholds=None):
    by_cat = tallies(ref, t_idx, a_idx, max_det)
    rows = []
    if ref.params.useCats:
        for c in ref.params.catIds:
            rows += expected_rows(by_cat[c], c, thresholds)
    pooled = tuple(sum((list(t[i]) for t in by_cat.values()), []) for i in (0, 1)) + (
        sum(t[2] for t in by_cat.values()),)
    return rows + expected_rows(pooled, -1, thresholds)


def check_rows(got, want):
    columns = list(zip(*want)) if want else [()] * 5
    for key, col in zip(("category_id", "score", "tp", "fp", "fn"), columns):
        np.testing.assert_array_equal(got[key], np.asarray(col, dtype=got[key].dtype), err_msg=key)
    tp, fp, fn = (got[k].astype(float) for k in ("tp", "fp", "fn"))
    with np.errstate(invalid="ignore", divide="ignore"):
        precision = np.where(tp + fp > 0, tp / (tp + fp), 0.0)
        recall = np.where(tp + fn > 0, tp / (tp + fn), 0.0)
        f1 = np.where(precision + recall > 0, 2 * precision * recall / (precision + recall), 0.0)
    np.testing.assert_allclose(got["precision"], precision, rtol=1e-15, atol=0)
    np.testing.assert_allclose(got["recall"], recall, rtol=1e-15, atol=0)
    np.testing.assert_allclose(got["f1"], f1, rtol=1e-12, atol=0)


def check_best(got):
    cats = np.unique(got["category_id"])
    assert set(got["best_f1"]) >= set(int(c) for c in cats)
    for c, best in got["best_f1"].items():
        at = got["category_id"] == c
        if not at.any():
            assert math.isnan(best["score"]) and best["f1"] == best["precision"] == best["recall"] == 0
            continue
        f1, score = got["f1"][at], got["score"][at]
        top = f1.max()
        assert best["f1"] == top
        assert best["score"] == score[f1 == top].max()


def check_pooled_is_the_sum(got, thresholds):
    """At given thresholds every category has the pooled rows' thresholds:
    the pooled counts are the sums over categories."""
    pooled = got["category_id"] == -1
    n = int(pooled.sum())
    per_cat = ~pooled
    if not per_cat.any():
        return
    for key in ("tp", "fp", "fn"):
        np.testing.assert_array_equal(got[key][per_cat].reshape(-1, n).sum(axis=0), got[key][pooled])


def shrink_max_dets(p):
    p.maxDets = [1, 10, 20]


CASES = {
    # name: (iou_thr, area, max_det, score thresholds)
    "defaults": (0.5, "all", None, None),
    "strict-small": (0.75, "small", None, None),
    "large-ten": (0.95, "large", 10, None),
    "one-per-image": (0.5, "medium", 1, None),
    "given-thresholds": (0.5, "all", None, [0.9, 0.0, 0.5, 0.5, 2.0]),
}


def run_case(dataset, results, iou_type, case, tweak=None):
    iou_thr, area, max_det, thresholds = CASES[case]
    ours, ref = both(dataset, results, iou_type, tweak)
    got = ours.operating_points(iou_thr=iou_thr, area=area, max_det=max_det, score_thrs=thresholds)
    t_idx = int(np.argmin(np.abs(np.asarray(ref.params.iouThrs) - iou_thr)))
    a_idx = list(ref.params.areaRngLbl).index(area)
    md = ref.params.maxDets[-1] if max_det is None else max_det
    check_rows(got, expected(ref, t_idx, a_idx, md, thresholds))
    check_best(got)
    if thresholds is not None:
        check_pooled_is_the_sum(got, thresholds)
    return got


@pytest.mark.parametrize("case", sorted(CASES))
@pytest.mark.parametrize("iou_type", ["bbox", "segm"])
def test_val2014_fake_results(load_data, iou_type, case):
    got = run_case(load_data(VAL2014), load_data(f"coco_val2014_100/fake_{iou_type}_results.json"),
                   iou_type, case)
    assert got["tp"].sum() > 0  # not vacuous


@pytest.mark.parametrize("case", sorted(CASES))
@pytest.mark.parametrize("seed", [0, 1, 2])
def test_synthetic(seed, case):
    dataset, bbox, segm = data.synthetic_instances(seed)
    run_case(dataset, bbox, "bbox", case, shrink_max_dets)
    run_case(dataset, segm, "segm", case)


@pytest.mark.parametrize("case", ["defaults", "given-thresholds"])
def test_pooled_categories_give_only_pooled_rows(case):
    dataset, bbox, _ = data.synthetic_instances(3)
    got = run_case(dataset, bbox, "bbox", case, lambda p: setattr(p, "useCats", 0))
    assert set(got["category_id"].tolist()) <= {-1} and set(got["best_f1"]) == {-1}


def test_distinct_scores_pool_is_the_sum_at_each_threshold():
    """Without given thresholds the pooled row at s equals the sum over
    categories of their counts at s."""
    dataset, bbox, _ = data.synthetic_instances(4)
    ours, _ = both(dataset, bbox, "bbox")
    rows = ours.operating_points()
    pooled = rows["category_id"] == -1
    at = ours.operating_points(score_thrs=rows["score"][pooled])
    for key in ("tp", "fp", "fn"):
        np.testing.assert_array_equal(at[key][at["category_id"] == -1], rows[key][pooled])


def tiny_eval(anns, results):
    dataset = {"images": [{"id": 1, "height": 100, "width": 100}, {"id": 2, "height": 100, "width": 100}],
               "categories": [{"id": 1, "name": "a"}, {"id": 2, "name": "b"}],
               "annotations": [dict(a, id=i + 1, area=a["bbox"][2] * a["bbox"][3], iscrowd=0)
                               for i, a in enumerate(anns)]}
    gt = quillscore.COCO(dataset)
    E = quillscore.COCOeval(gt, gt.loadRes(results), "bbox")
    E.evaluate()
    E.accumulate()
    return E


def test_empty_results_and_categories_without_detections():
    E = tiny_eval([data.box_ann(1, 1, [0, 0, 10, 10]), data.box_ann(2, 2, [0, 0, 10, 10])], [])
    got = E.operating_points()
    assert all(len(got[k]) == 0 for k in ("category_id", "score", "tp", "f1"))
    assert set(got["best_f1"]) == {1, 2, -1}
    assert all(math.isnan(b["score"]) and b["f1"] == 0 for b in got["best_f1"].values())
    at = E.operating_points(score_thrs=[0.5])
    assert at["category_id"].tolist() == [1, 2, -1]
    assert at["fn"].tolist() == [1, 1, 2] and at["precision"].tolist() == [0.0] * 3


def test_images_without_ground_truth_give_false_positives():
    E = tiny_eval([data.box_ann(1, 1, [0, 0, 10, 10])],
                  [data.box_ann(1, 1, [0, 0, 10, 10], score=0.9), data.box_ann(2, 1, [0, 0, 10, 10], score=0.8)])
    got = E.operating_points()
    want = {"category_id": [1, 1, -1, -1], "score": [0.9, 0.8, 0.9, 0.8], "tp": [1, 1, 1, 1],
            "fp": [0, 1, 0, 1], "fn": [0, 0, 0, 0], "precision": [1, 0.5, 1, 0.5], "recall": [1, 1, 1, 1]}
    for key, col in want.items():
        assert got[key].tolist() == col, key
    assert got["best_f1"][1] == {"score": 0.9, "precision": 1.0, "recall": 1.0, "f1": 1.0}
    assert math.isnan(got["best_f1"][2]["score"])


BAD = [
    ({"iou_thr": 1.5}, ValueError, r"iou_thr must lie in \[0, 1\]"),
    ({"iou_thr": -0.1}, ValueError, r"iou_thr must lie in \[0, 1\]"),
    ({"iou_thr": 0.52}, ValueError, "not one of the evaluated IoU thresholds"),
    ({"iou_thr": "0.5"}, TypeError, "iou_thr must be a number"),
    ({"area": "huge"}, ValueError, "unknown area 'huge'"),
    ({"max_det": 101}, ValueError, r"max_det must lie in \[0, 100\]"),
    ({"max_det": -1}, ValueError, r"max_det must lie in \[0, 100\]"),
    ({"max_det": 1.5}, TypeError, "integer"),
    ({"score_thrs": [0.5, -0.1]}, ValueError, "score_thrs must be a finite number >= 0"),
    ({"score_thrs": [float("nan")]}, ValueError, "score_thrs must be a finite number >= 0"),
    ({"score_thrs": [[0.5]]}, ValueError, "flat sequence"),
]


@pytest.mark.parametrize("kwargs, error, message", BAD)
def test_bad_arguments(kwargs, error, message):
    E = tiny_eval([data.box_ann(1, 1, [0, 0, 10, 10])], [data.box_ann(1, 1, [0, 0, 10, 10], score=0.9)])
    with pytest.raises(error, match=message):
        E.operating_points(**kwargs)


def test_before_accumulate():
    gt = quillscore.COCO({"images": [{"id": 1}], "categories": [{"id": 1}], "annotations": []})
    E = quillscore.COCOeval(gt, gt.loadRes([]), "bbox")
    with pytest.raises(RuntimeError, match="accumulate"):
        E.operating_points()
    E.evaluate()
    with pytest.raises(RuntimeError, match="accumulate"):
        E.operating_points()


RAW_BAD = [
    (lambda ev: ev.operating_points(5, 0, 100), IndexError, "t_idx is out of range"),
    (lambda ev: ev.operating_points(0, 9, 100), IndexError, "a_idx is out of range"),
    (lambda ev: ev.operating_points(0, 0, -1), OverflowError, None),
    (lambda ev: ev.operating_points(0, 0, 1, ["x"]), TypeError, None),
    (lambda ev: ev.confusion_matrix(0.5, 0.0, -3), OverflowError, None),
    (lambda ev: ev.confusion_matrix("0.5", 0.0, 3), TypeError, None),
]


@pytest.mark.parametrize("call, error, message", RAW_BAD)
def test_engine_methods_reject_bad_arguments(call, error, message):
    """The Evaluator's own methods, below COCOeval's checks, still raise
    ordinary exceptions, naming the argument."""
    ev = data.tiny([data.box_ann(1, 1, [0, 0, 5, 5])], [data.box_ann(1, 1, [0, 0, 5, 5], score=0.5)])
    with pytest.raises(error, match=message) as info:
        call(ev)
    if message is None:
        assert any("while processing" in n for n in getattr(info.value, "__notes__", []))


@pytest.mark.parametrize("case", ["defaults", "given-thresholds"])
def test_keypoints(load_data, case):
    dataset = load_data("coco_mini_2017/person_keypoints_val2017.json")
    got = run_case(dataset, data.perturb_keypoints(dataset, 5), "keypoints", case)
    assert got["tp"].sum() > 0
