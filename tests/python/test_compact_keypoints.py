"""Keypoint files through column storage (`load_compact_keypoints`, the
route `quillscore.evaluate` and a `COCO` loaded from a path take) against
the dict route and the reference COCO API: the same files, identical
`precision`, `recall`, `scores` and `stats`. What the columns do not hold
goes the dict route; the route taken shows in `cocoGt` (None on the
column route)."""

from __future__ import annotations

import copy

import numpy as np
import pytest

import _eval_data as data
import quillscore
from _eval_data import image_and_category_subsets, set_params
from _paths import load_shared

MINI_KP = "coco_mini_2017/person_keypoints_val2017.json"


def mini(seed):
    def make():
        dataset = load_shared(MINI_KP)
        return dataset, data.perturb_keypoints(dataset, seed)
    return make


def synthetic(seed):
    return lambda: data.synthetic_keypoints(seed)


def five_sigmas(p):
    # The synthetic people have five keypoints.
    p.kpt_oks_sigmas = np.array([0.026, 0.025, 0.025, 0.035, 0.035])



def with_boxes(dataset, results):
    # Results that carry boxes are completed as box results.
    for r in results:
        x, y = r["keypoints"][0::3], r["keypoints"][1::3]
        r["bbox"] = [min(x) - 1.0, min(y), max(x) - min(x) + 2.0, max(y) - min(y)]


def integer_points(dataset, results):
    for r in results[::2]:
        r["keypoints"] = [int(round(v)) for v in r["keypoints"]]


def ragged(dataset, results):
    results[1]["keypoints"] = results[1]["keypoints"][:-3]


def no_count(dataset, results):
    del dataset["annotations"][0]["num_keypoints"]


def null_points(dataset, results):
    dataset["annotations"][1]["keypoints"] = None


def evaluated(gt, dt, tweak):
    return data.finished(quillscore.COCOeval(gt, dt, "keypoints"), tweak)


# name: (files, parameter change, column route expected); the reference
# matches nothing in pooled keypoint evaluation (a documented difference) and
# fails on a ground truth without keypoints.
NO_REFERENCE = {"mini pooled", "ground truth without keypoints"}
CASES = {
    "mini": (mini(1), None, True),
    "mini subsets": (mini(2), image_and_category_subsets, True),
    "mini pooled": (mini(3), set_params(useCats=0), True),
    "mini max dets 1 10 20": (mini(4), set_params(maxDets=[1, 10, 20]), True),
    "synthetic 0": (synthetic(0), five_sigmas, True),
    "synthetic 1": (synthetic(1), five_sigmas, True),
    "results with boxes": (data.changed(synthetic(2), with_boxes), five_sigmas, True),
    "integer keypoints": (data.changed(synthetic(3), integer_points), five_sigmas, True),
    "ground truth without keypoints": (data.changed(synthetic(4), null_points), five_sigmas, True),
}




@pytest.mark.parametrize("case", list(CASES))
def test_columns_equal_the_dict_route_and_the_reference(tmp_path, case):
    make, tweak, columns = CASES[case]
    dataset, results = make()
    gt_path, dt_path = data.write_files(tmp_path, dataset, results)
    E = quillscore.evaluate(gt_path, dt_path, "keypoints", params=tweak)
    assert (E.cocoGt is None) == columns
    lazy = quillscore.COCO(gt_path)
    dropin = evaluated(lazy, lazy.loadRes(dt_path), tweak)
    listed = quillscore.COCO(copy.deepcopy(dataset))
    others = [dropin, evaluated(listed, listed.loadRes(copy.deepcopy(results)), tweak)]
    if case not in NO_REFERENCE:
        others.append(data.reference_finished(dataset, results, "keypoints", tweak))
    for other in others:
        data.assert_same_evaluation(E, other)
    # The drop-in route read its columns too, and its dicts, once read, are
    # the listed ones.
    assert lazy._columns is not None
    assert lazy.dataset == listed.dataset and lazy.anns == listed.anns


@pytest.mark.parametrize("change, message", [
    (ragged, "every keypoint list must hold the same number of values"),
    (no_count, "ground truth 0 has no 'num_keypoints'"),
], ids=["ragged result lists", "ground truth without num_keypoints"])
def test_files_the_columns_leave_fail_as_the_dict_route_fails(tmp_path, change, message):
    dataset, results = data.changed(synthetic(5), change)()
    gt_path, dt_path = data.write_files(tmp_path, dataset, results)
    with pytest.raises(ValueError, match=message):
        quillscore.evaluate(gt_path, dt_path, "keypoints", params=five_sigmas)
    for gt in (quillscore.COCO(gt_path), quillscore.COCO(copy.deepcopy(dataset))):
        with pytest.raises(ValueError, match=message):
            evaluated(gt, gt.loadRes(dt_path), five_sigmas)
