"""Mask files through column storage (`load_compact_masks`, the route
`quillscore.evaluate` takes for segm and boundary) against the dict route
(`COCO`, `loadRes`, `COCOeval`) and, for segm, the reference COCO API: the
same files, identical `precision`, `recall`, `scores` and `stats`. Files
the columns do not hold go the dict route and still give its numbers; a
route taken by mistake shows in `cocoGt` (None on the column route)."""

from __future__ import annotations

import contextlib
import copy

import pytest

import _eval_data as data
import quillscore
from _eval_data import image_and_category_subsets, set_params
from _paths import load_shared as load
from quillscore import _vireo as qm

VAL2014 = "coco_val2014_100/instances_val2014_100.json"
VAL2014_SEGM = "coco_val2014_100/fake_segm_results.json"
MINI = "coco_mini_2017/instances_val2017.json"


def real(dataset_path, results_path=None, seed=0):
    def make():
        dataset = load(dataset_path)
        results = load(results_path) if results_path else data.perturb_instances(dataset, seed, "segm")
        return dataset, results
    return make


def synthetic(seed):
    def make():
        dataset, _, results = data.synthetic_instances(seed)
        return dataset, results
    return make



def with_boxes(dataset, results):
    # Results that carry boxes are completed as box results: their boxes'
    # areas place them in the area ranges.
    for r in results:
        r["bbox"] = [float(v) for v in qm.toBbox([r["segmentation"]])[0]]
        r["bbox"][2] += 3.0


def runs_as_lists(dataset, results):
    for r in results[::2]:
        r["segmentation"]["counts"] = [int(v) for v in data._counts_of(r["segmentation"])]


def unsized_image(dataset, results):
    # Image 1 loses its size: its masks are RLE, rasterised at their own.
    image = next(im for im in dataset["images"] if im["id"] == 1)
    h, w = image.pop("height"), image.pop("width")
    for a in dataset["annotations"]:
        if a["image_id"] == 1 and isinstance(a["segmentation"], list):
            a["segmentation"] = data.rle_of_polygons(a["segmentation"], h, w)


def size_disagrees(dataset, results):
    # Masks are rasterised at their image's size, whatever their own says.
    for r in results[::3]:
        h, w = r["segmentation"]["size"]
        r["segmentation"]["size"] = [h + 1, w]


def counts_off_the_area(dataset, results):
    for k, r in enumerate(results[1::4]):
        runs = data._counts_of(r["segmentation"])
        runs[-1] += 5 if k % 2 else -min(runs[-1], 3)
        r["segmentation"] = {"size": r["segmentation"]["size"], "counts": runs}


def short_polygons(dataset, results):
    anns = [a for a in dataset["annotations"] if isinstance(a["segmentation"], list)]
    anns[0]["segmentation"] = [[1.0, 1.0, 5.0, 5.0]]
    anns[1]["segmentation"] = [anns[1]["segmentation"][0], [2.0, 2.0]]
    anns[2]["segmentation"] = []


def polygon_results(dataset, results):
    sizes = {im["id"]: im for im in dataset["images"]}
    r = results[0]
    box = qm.toBbox([r["segmentation"]])[0].tolist()
    r["segmentation"] = [data.box_polygon(*box)]
    assert sizes[r["image_id"]]


def some_results_with_boxes(dataset, results):
    results[1]["bbox"] = [0.0, 0.0, 5.0, 5.0]


def ground_truth_without_area(dataset, results):
    del dataset["annotations"][0]["area"]


def ground_truth_without_mask(dataset, results):
    dataset["annotations"][1]["segmentation"] = None


# name: (files, iou type, parameter change, column route expected); the
# reference API takes the segm cases but for the forms it cannot read (runs
# as lists among results, images without size, polygon results, a null mask,
# degenerate masks) and masks whose size is not their image's, which it
# never matches where both our routes rasterise them at the image's size.
NO_REFERENCE = {"runs as lists", "image without size", "polygon results",
                "ground truth without mask", "counts not summing to h*w",
                "polygons of fewer than 3 points", "mask size disagrees with its image"}
CASES = {
    "val2014": (real(VAL2014, VAL2014_SEGM), "segm", None, True),
    "val2014 boundary": (real(VAL2014, VAL2014_SEGM), "boundary", None, True),
    "val2014 subsets": (real(VAL2014, VAL2014_SEGM), "segm", image_and_category_subsets, True),
    "val2014 pooled": (real(VAL2014, VAL2014_SEGM), "segm", set_params(useCats=0), True),
    "val2014 max dets 1 10 300": (real(VAL2014, VAL2014_SEGM), "segm", set_params(maxDets=[1, 10, 300]),
                                  True),
    "mini perturbed": (real(MINI, seed=5), "segm", None, True),
    "mini perturbed boundary": (real(MINI, seed=6), "boundary", None, True),
    "synthetic 0": (synthetic(0), "segm", None, True),
    "synthetic 1": (synthetic(1), "segm", None, True),
    "results with boxes": (data.changed(synthetic(2), with_boxes), "segm", None, True),
    "runs as lists": (data.changed(synthetic(3), runs_as_lists), "segm", None, True),
    "image without size": (data.changed(synthetic(4), unsized_image), "segm", None, True),
    "mask size disagrees with its image": (data.changed(synthetic(10), size_disagrees), "segm", None, True),
    "counts not summing to h*w": (data.changed(synthetic(11), counts_off_the_area), "segm", None, True),
    "polygons of fewer than 3 points": (data.changed(synthetic(12), short_polygons), "segm", None, True),
    # held by the dict route alone
    "polygon results": (data.changed(synthetic(5), polygon_results), "segm", None, False),
    "some results with boxes": (data.changed(synthetic(6), some_results_with_boxes), "segm", None, False),
    "ground truth without area": (data.changed(synthetic(7), ground_truth_without_area), "segm", None,
                                  False),
    "ground truth without mask": (data.changed(synthetic(8), ground_truth_without_mask), "segm", None,
                                  False),
}





def dict_route(dataset, results, iou_type, tweak):
    """Our COCOeval over the dicts themselves, as a training script hands them."""
    gt = quillscore.COCO(copy.deepcopy(dataset))
    return data.finished(quillscore.COCOeval(gt, gt.loadRes(copy.deepcopy(results)), iou_type), tweak)


@pytest.mark.parametrize("case", list(CASES))
def test_columns_equal_the_dict_route_and_the_reference(tmp_path, case):
    make, iou_type, tweak, columns = CASES[case]
    dataset, results = make()
    gt, dt = data.write_files(tmp_path, dataset, results)
    E = quillscore.evaluate(gt, dt, iou_type, params=tweak)
    assert (E.cocoGt is None) == columns
    others = [dict_route(dataset, results, iou_type, tweak)]
    if iou_type == "segm" and case not in NO_REFERENCE:
        others.append(data.reference_finished(dataset, results, "segm", tweak))
    for other in others:
        data.assert_same_evaluation(E, other)


def polygon_on_unsized_image(dataset, results):
    dataset["images"][0].pop("height")


def unknown_image(dataset, results):
    results[0]["image_id"] = 999


@pytest.mark.parametrize("change, error", [
    (polygon_on_unsized_image, KeyError),
    (unknown_image, quillscore.ResultsError),
], ids=["polygon on an image without size", "results naming an unknown image"])
def test_bad_files_fail_as_the_dict_route_fails(tmp_path, change, error):
    dataset, results = data.changed(synthetic(9), change)()
    gt, dt = data.write_files(tmp_path, dataset, results)
    with pytest.raises(error) as columns:
        quillscore.evaluate(gt, dt, "segm")
    with pytest.raises(error) as dicts:
        dict_route(dataset, results, "segm", None)
    if error is KeyError:
        assert columns.value.args == dicts.value.args


@pytest.mark.parametrize("seed", [0, 1])
def test_annotations_are_the_completed_result_dicts(tmp_path, seed):
    dataset, results = synthetic(seed)()
    if seed:
        with_boxes(dataset, results)
    gt, dt = data.write_files(tmp_path, dataset, results)
    _, columns = qm.load_compact_masks(dt, results=True, require_score=True)
    assert type(columns).__name__ == "CompactMasks" and columns.annotation_count == len(results)
    expected = quillscore.COCO(gt).loadRes(dt).dataset["annotations"]
    assert columns.annotations() == expected
    # A box evaluation reads mask rows only when every record gave its box.
    assert columns.boxes_complete == bool(seed)
    with pytest.raises(ValueError, match="requires segm or boundary") if not seed else \
            contextlib.nullcontext():
        qm.Evaluator(columns, columns, {}, img_ids=[1], cat_ids=[1], iou_thrs=[0.5], rec_thrs=[0.0],
                     max_dets=[1], area_rng=[[0, 1e10]], use_cats=True, iou_type="bbox",
                     kpt_sigmas=[])
