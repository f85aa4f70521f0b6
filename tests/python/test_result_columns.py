"""Result sets loaded from a file (`COCO.loadRes(path)`) keep box and mask
results in column storage, which COCOeval reads directly, and build their
dicts only when something reads them. Held to the same file loaded as a
list of dicts: the same `dataset` and indexes once read, the same
evaluation, a change to the dicts evaluated, pickling unchanged."""

from __future__ import annotations

import copy
import json
import pickle
import re

import pytest

import _eval_data as data
import quillscore
from _eval_data import image_and_category_subsets, set_params
from _paths import load_shared as load
from quillscore import _vireo as qm

VAL2014 = "coco_val2014_100/instances_val2014_100.json"


def both_boxes_and_masks():
    dataset, _, results = data.synthetic_instances(3)
    for r in results:
        r["bbox"] = [float(v) for v in qm.toBbox([r["segmentation"]])[0]]
    return dataset, results


def synthetic_changed(seed, change):
    dataset, results = data.synthetic_instances(seed)[:2]
    change(results)
    return dataset, results


# name: (dataset and results, the column type expected: None for dicts)
FILES = {
    "val2014 boxes": (lambda: (load(VAL2014), load("coco_val2014_100/fake_bbox_results.json")),
                      "CompactBbox"),
    "val2014 masks": (lambda: (load(VAL2014), load("coco_val2014_100/fake_segm_results.json")),
                      "CompactMasks"),
    "boxes and masks": (both_boxes_and_masks, "CompactMasks"),
    "synthetic boxes": (lambda: data.synthetic_instances(4)[:2], "CompactBbox"),
    "empty": (lambda: (data.synthetic_instances(0)[0], []), "CompactMasks"),
    "a result without score": (lambda: synthetic_changed(5, lambda r: r[3].pop("score")), None),
    "an unknown image": (lambda: synthetic_changed(6, lambda r: r[1].update(image_id=999)), None),
}



def evaluated(gt, dt, iou_type, tweak=None):
    return data.finished(quillscore.COCOeval(gt, dt, iou_type), tweak)



@pytest.mark.parametrize("name", list(FILES))
def test_a_file_loads_as_its_dicts_do(tmp_path, name):
    make, kind = FILES[name]
    dataset, results = make()
    gt_path, dt_path = data.write_files(tmp_path, dataset, results)
    gt = quillscore.COCO(gt_path)
    try:
        listed = gt.loadRes(copy.deepcopy(results))
    except quillscore.ResultsError as expected:
        with pytest.raises(quillscore.ResultsError, match=re.escape(str(expected))):
            gt.loadRes(dt_path)
        return
    lazy = gt.loadRes(dt_path)
    assert type(lazy._columns).__name__ == kind if kind else lazy._columns is None
    for iou_type in ("bbox", "segm"):
        if iou_type == "segm" and "segmentation" not in (results or [{"segmentation": 1}])[0]:
            continue
        fresh = gt.loadRes(dt_path)
        try:
            expected = evaluated(gt, gt.loadRes(copy.deepcopy(results)), iou_type)
        except quillscore.ResultsError:
            with pytest.raises(quillscore.ResultsError):
                evaluated(gt, fresh, iou_type)
            continue
        data.assert_same_evaluation(evaluated(gt, fresh, iou_type), expected)
    assert lazy.imgs == listed.imgs and lazy.cats == listed.cats
    # Reading any of them builds them all.
    assert lazy.anns == listed.anns and lazy._columns is None
    assert lazy.dataset == listed.dataset and list(lazy.dataset) == list(listed.dataset)
    assert lazy.imgToAnns == listed.imgToAnns and lazy.catToImgs == listed.catToImgs
    assert lazy.getAnnIds(imgIds=[1]) == listed.getAnnIds(imgIds=[1])


@pytest.mark.parametrize("iou_type, tweak", [
    ("bbox", image_and_category_subsets), ("segm", image_and_category_subsets),
    ("segm", set_params(useCats=0)), ("boundary", None),
])
def test_evaluation_from_columns_equals_the_dict_route(tmp_path, iou_type, tweak):
    dataset, results = load(VAL2014), load(f"coco_val2014_100/fake_{'bbox' if iou_type == 'bbox' else 'segm'}"
                                           "_results.json")
    gt_path, dt_path = data.write_files(tmp_path, dataset, results)
    gt = quillscore.COCO(gt_path)
    lazy = gt.loadRes(dt_path)
    E = evaluated(gt, lazy, iou_type, tweak)
    assert lazy._columns is not None, "evaluation built the dicts"
    data.assert_same_evaluation(E, evaluated(gt, gt.loadRes(results), iou_type, tweak))


@pytest.mark.parametrize("change", ["score", "drop", "replace dataset"])
def test_changed_dicts_are_what_is_evaluated(tmp_path, change):
    dataset, _, results = data.synthetic_instances(7)
    gt_path, dt_path = data.write_files(tmp_path, dataset, results)
    gt = quillscore.COCO(gt_path)
    lazy, listed = gt.loadRes(dt_path), gt.loadRes(copy.deepcopy(results))
    for res in (lazy, listed):
        if change == "score":
            res.anns[2]["score"] = 0.999
        elif change == "drop":
            res.dataset["annotations"] = res.dataset["annotations"][5:]
            res.createIndex()
        else:
            res.dataset = {**res.dataset, "annotations": res.dataset["annotations"][::2]}
            res.createIndex()
    assert lazy._columns is None
    data.assert_same_evaluation(evaluated(gt, lazy, "segm"), evaluated(gt, listed, "segm"))


def test_pickling_and_copying_build_the_dicts(tmp_path):
    dataset, _, results = data.synthetic_instances(8)
    gt_path, dt_path = data.write_files(tmp_path, dataset, results)
    gt = quillscore.COCO(gt_path)
    listed = gt.loadRes(copy.deepcopy(results))
    for copied in (pickle.loads(pickle.dumps(gt.loadRes(dt_path))), copy.deepcopy(gt.loadRes(dt_path))):
        assert copied._columns is None
        assert copied.dataset == listed.dataset and copied.anns == listed.anns
        data.assert_same_evaluation(evaluated(gt, copied, "segm"), evaluated(gt, listed, "segm"))
    # A set pickled before the attributes were built on read still loads.
    state = {"dataset": {"images": []}, "anns": {}, "imgs": {}, "cats": {}, "imgToAnns": {},
             "catToImgs": {}}
    old = quillscore.COCO.__new__(quillscore.COCO)
    old.__setstate__(dict(state))
    assert old.dataset == {"images": []} and old._columns is None


def box_only(dataset):
    for a in dataset["annotations"]:
        a.pop("segmentation", None)
    return dataset


def repeated_id(dataset):
    dataset["annotations"][1]["id"] = dataset["annotations"][0]["id"]
    return dataset


# name: (dataset, the column type expected, IoU types to evaluate)
DATASETS = {
    "val2014": (lambda: load(VAL2014), "CompactMasks", ("bbox", "segm")),
    "mini": (lambda: load("coco_mini_2017/instances_val2017.json"), "CompactMasks", ("bbox", "segm")),
    "keypoints": (lambda: load("coco_mini_2017/person_keypoints_val2017.json"), "CompactKeypoints",
                  ("keypoints", "bbox")),
    "boxes only": (lambda: box_only(load(VAL2014)), "CompactBbox", ("bbox",)),
    "a repeated id": (lambda: repeated_id(data.synthetic_instances(1)[0]), None, ()),
}


@pytest.mark.parametrize("name", list(DATASETS))
def test_a_dataset_file_loads_as_its_dict_does(tmp_path, name):
    make, kind, iou_types = DATASETS[name]
    dataset = make()
    path = tmp_path / "gt.json"
    path.write_text(json.dumps(dataset))
    listed = quillscore.COCO(copy.deepcopy(dataset))
    for iou_type in iou_types:
        if iou_type == "keypoints":
            results = data.perturb_keypoints(dataset, seed=3)
        else:
            results = data.perturb_instances(dataset, 4, "segm" if iou_type == "segm" else "bbox")
        res_path = tmp_path / "dt.json"
        res_path.write_text(json.dumps(results))
        lazy = quillscore.COCO(str(path))
        E = evaluated(lazy, lazy.loadRes(str(res_path)), iou_type)
        assert lazy._columns is not None, "evaluation built the dicts"
        data.assert_same_evaluation(E, evaluated(listed, listed.loadRes(copy.deepcopy(results)), iou_type))
    lazy = quillscore.COCO(str(path))
    assert type(lazy._columns).__name__ == kind if kind else lazy._columns is None
    assert lazy.imgs == listed.imgs and lazy.cats == listed.cats
    assert lazy.getCatIds() == listed.getCatIds() and lazy._columns is not None or kind is None
    assert lazy.dataset == listed.dataset and list(lazy.dataset) == list(listed.dataset)
    assert lazy.anns == listed.anns and lazy.imgToAnns == listed.imgToAnns
    assert lazy.catToImgs == listed.catToImgs and lazy._columns is None


def test_a_changed_ground_truth_is_what_is_evaluated(tmp_path):
    dataset, _, results = data.synthetic_instances(2)
    gt_path, dt_path = data.write_files(tmp_path, dataset, results)
    lazy, listed = quillscore.COCO(gt_path), quillscore.COCO(copy.deepcopy(dataset))
    for gt in (lazy, listed):
        gt.anns[3]["iscrowd"] = 1
    data.assert_same_evaluation(evaluated(lazy, lazy.loadRes(dt_path), "segm"),
                           evaluated(listed, listed.loadRes(copy.deepcopy(results)), "segm"))
