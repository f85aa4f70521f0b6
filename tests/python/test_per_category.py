"""COCOeval.per_category(): every summary entry of one category equals the
reference COCO API's summary of a run restricted to that category
(params.catIds = [c]), and the counts equal those read off that run's
per-image records."""

from __future__ import annotations

import contextlib
import copy
import io

import numpy as np
import pytest

import _eval_data as data
import quillscore
from quillscore import summary as summary_mod

pycocoeval = pytest.importorskip("pycocotools.cocoeval", reason="pycocotools is not installed")

VAL2014 = "coco_val2014_100/instances_val2014_100.json"
KEYPOINTS = "coco_mini_2017/person_keypoints_val2017.json"
# (IoU type, dataset, results file or None for perturbed keypoints)
CASES = [
    ("bbox", VAL2014, "coco_val2014_100/fake_bbox_results.json"),
    ("segm", VAL2014, "coco_val2014_100/fake_segm_results.json"),
    ("keypoints", KEYPOINTS, None),
]


def _inputs(load_data, gt_file, res_file):
    dataset = load_data(gt_file)
    results = load_data(res_file) if res_file else data.perturb_keypoints(dataset, seed=5)
    return dataset, results


def _ours(dataset, results, iou_type, params=None):
    gt = quillscore.COCO(copy.deepcopy(dataset))
    E = quillscore.COCOeval(gt, gt.loadRes(copy.deepcopy(results)), iou_type)
    if params:
        params(E.params)
    E.evaluate()
    E.accumulate()
    return E


def _reference_counts(R) -> tuple[int, int]:
    """Counted ground truths and kept detections in the reference's records
    at area 'all' (its first range)."""
    records = [e for e in R.evalImgs if e is not None and e["aRng"] == R.params.areaRng[0]]
    gts = sum(int((~np.asarray(e["gtIgnore"], dtype=bool)).sum()) for e in records)
    return gts, sum(len(e["dtIds"]) for e in records)


@pytest.mark.parametrize("iou_type,gt_file,res_file", CASES, ids=[c[0] for c in CASES])
def test_each_row_is_a_reference_run_of_its_category(load_data, iou_type, gt_file, res_file):
    dataset, results = _inputs(load_data, gt_file, res_file)
    rows = _ours(dataset, results, iou_type).per_category()
    names = summary_mod.stat_names(iou_type)
    ref_gt = data.reference_coco(dataset)
    ref_dt = data.reference_results(ref_gt, results)
    assert [r["category_id"] for r in rows] == sorted(ref_gt.getCatIds())
    checked = 0
    for row in rows:
        R = pycocoeval.COCOeval(ref_gt, ref_dt, iou_type)
        R.params.catIds = [row["category_id"]]
        with contextlib.redirect_stdout(io.StringIO()):
            R.evaluate()
            R.accumulate()
            R.summarize()
        assert [row[k] for k in names] == list(R.stats), row["name"]
        assert (row["num_gt"], row["num_dt"]) == _reference_counts(R), row["name"]
        assert row["name"] == ref_gt.cats[row["category_id"]]["name"]
        checked += row["num_dt"] > 0 and row["num_gt"] > 0
    assert checked > 0


def test_pooled_categories_give_one_row_of_the_whole_summary(load_data):
    dataset, results = _inputs(load_data, VAL2014, "coco_val2014_100/fake_bbox_results.json")
    E = _ours(dataset, results, "bbox", lambda p: setattr(p, "useCats", 0))
    E.summary()
    [row] = E.per_category()
    assert row["category_id"] == -1 and row["name"] == "all"
    assert [row[k] for k in summary_mod.stat_names("bbox")] == list(E.stats)
    counted = [a for a in dataset["annotations"] if not a["iscrowd"]]
    assert row["num_gt"] == len(counted)
    # every image holds fewer than 100 results, so all are kept
    assert row["num_dt"] == len(results)


def test_edges_have_defined_rows(load_data):
    """Categories without results or without ground truth, images without
    ground truth, empty results, a cap below an image's results."""
    dataset = copy.deepcopy(load_data(VAL2014))
    dataset["categories"].append({"id": 999, "name": "unicorn", "supercategory": "x"})
    dataset["images"].append({"id": 1, "height": 50, "width": 50, "file_name": "blank.jpg"})
    cat = dataset["annotations"][0]["category_id"]
    image = dataset["annotations"][0]["image_id"]
    flood = [{"image_id": image, "category_id": cat, "bbox": [i, i, 10, 10], "score": i / 50}
             for i in range(30)]
    extra = [{"image_id": 1, "category_id": 999, "bbox": [0, 0, 5, 5], "score": 0.5}]
    rows = {r["category_id"]: r for r in _ours(
        dataset, flood + extra, "bbox", lambda p: setattr(p, "maxDets", [1, 10, 20])).per_category()}
    # a cap of 20 keeps 20 of the 30 results on that image
    assert rows[cat]["num_dt"] == 20
    # results but no ground truth: every entry -1
    assert rows[999]["num_gt"] == 0 and rows[999]["num_dt"] == 1
    assert all(rows[999][k] == -1 for k in summary_mod.stat_names("bbox"))
    # ground truth but no results: 0 (the "AP" entry reads a limit of 100,
    # not among these maxDets, so it is -1 as in the summary)
    other = next(c for c in rows if c not in (cat, 999) and rows[c]["num_gt"] > 0)
    assert rows[other]["num_dt"] == 0 and rows[other]["AP50"] == 0.0 and rows[other]["AR100"] == 0.0
    assert rows[other]["AP"] == -1.0

    empty = _ours(dataset, [], "bbox").per_category()
    assert sum(r["num_dt"] for r in empty) == 0
    assert sum(r["num_gt"] for r in empty) == sum(not a["iscrowd"] for a in dataset["annotations"])


def test_table_keeps_the_short_columns_first():
    rows = [{"category_id": 7, "name": "zebra", "num_gt": 3, "num_dt": 12, "AP": 0.5,
             "AP_medium": -1.0}]
    head, line = summary_mod.format_per_category(rows).splitlines()
    assert head.split() == ["category", "id", "gts", "dets", "AP", "AP_medium"]
    assert line.split() == ["zebra", "7", "3", "12", "0.500", "-"]


def test_asked_before_accumulate():
    gt = quillscore.COCO({"images": [{"id": 1}], "annotations": [], "categories": [{"id": 1}]})
    E = quillscore.COCOeval(gt, gt.loadRes([]), "bbox")
    with pytest.raises(RuntimeError, match="accumulate"):
        E.per_category()
    E.evaluate()
    with pytest.raises(RuntimeError, match="accumulate"):
        E.per_category()
