"""CrowdPose keypoint scoring, COCOeval(gt, dt, "keypoints_crowd"): the
benchmark's published numbers on the shared sample in full precision (the
comparison with its own tool, run as a black box, is in
tests/integration/test_xtcocotools.py), and the rules around them."""

from __future__ import annotations

import contextlib
import copy
import io
import math

import numpy as np
import pytest

import quillscore
from quillscore import summary as summary_mod

SAMPLE = "keypoints_samples/crowdpose_val_sample.json"
RESULTS = "keypoints_samples/crowdpose_results_sample.json"
# What the CrowdPose benchmark's tool reports for the sample; the last three
# (the crowd levels) it rounds to four decimals itself.
SAMPLE_STATS = [0.7877215935879303, 0.9881188118811886, 0.7314356435643564, 0.8222222222222223,
                1.0, 0.7777777777777778, 1.0, 0.9802, 0.4116]
EASY_IMAGE = 115625


def run(dataset, results, params=None):
    gt = quillscore.COCO(copy.deepcopy(dataset))
    E = quillscore.COCOeval(gt, gt.loadRes(copy.deepcopy(results)), "keypoints_crowd")
    if params:
        params(E.params)
    E.evaluate()
    E.accumulate()
    with contextlib.redirect_stdout(io.StringIO()):
        E.summarize()
    return E


@pytest.fixture
def sample(load_data):
    return load_data(SAMPLE), load_data(RESULTS)


def test_sample_matches_the_benchmark(sample):
    E = run(*sample)
    assert list(E.stats) == SAMPLE_STATS
    assert summary_mod.stat_names("keypoints_crowd") == [
        "AP", "AP50", "AP75", "AR", "AR50", "AR75", "AP_easy", "AP_medium", "AP_hard"]
    assert E.lines[6].startswith(" Average Precision  (AP) @[ IoU=0.50:0.95 | type=  easy |")
    # summarizing again changes nothing (the benchmark's tool leaves its
    # last level's run behind and reports other numbers the second time)
    again = E.summary()
    assert list(E.stats) == SAMPLE_STATS and again.splitlines() == E.lines
    [row] = E.per_category()
    assert [row[k] for k in summary_mod.stat_names("keypoints_crowd")] == SAMPLE_STATS
    # ten people, one of them without a labelled visible joint
    assert (row["num_gt"], row["num_dt"]) == (9, 15)
    assert E.computeOks(EASY_IMAGE, 1).shape[1] == 1


def _with_extra(results, image_id, confidences, score=99.0):
    extra = copy.deepcopy(next(r for r in results if r["image_id"] == image_id))
    kp = np.asarray(extra["keypoints"], dtype=np.float64).reshape(-1, 3)
    kp[:, 0] += 300  # far from everyone: a false positive if it took part
    kp[:, 2] = confidences
    extra["keypoints"] = [float(v) for v in kp.ravel()]
    extra["score"] = score
    return results + [extra]


@pytest.mark.parametrize("confidences,takes_part", [
    (0.0, False), (-1.0, False), (math.nan, False), ([0.0] * 13 + [1e-9], True),
], ids=["zero", "negative", "nan", "one-positive"])
def test_results_without_a_confident_keypoint_take_no_part(sample, confidences, takes_part):
    dataset, results = sample
    E = run(dataset, _with_extra(results, EASY_IMAGE, confidences))
    assert E.per_category()[0]["num_dt"] == 15 + takes_part
    assert (list(E.stats) == SAMPLE_STATS) != takes_part


def test_levels_split_the_evaluated_images_only(sample):
    E = run(*sample, params=lambda p: setattr(p, "imgIds", [EASY_IMAGE]))
    assert list(E.stats[6:]) == [1.0, -1.0, -1.0]


@pytest.mark.parametrize("value", [None, "0.5", True, math.nan, math.inf, "missing"])
def test_crowd_index_must_be_a_finite_number(sample, value):
    dataset = copy.deepcopy(sample[0])
    image = dataset["images"][2]
    if value == "missing":
        del image["crowdIndex"]
    else:
        image["crowdIndex"] = value
    gt = quillscore.COCO(dataset)
    E = quillscore.COCOeval(gt, gt.loadRes(copy.deepcopy(sample[1])), "keypoints_crowd")
    with pytest.raises(ValueError, match=f"image {image['id']} needs a finite number as 'crowdIndex'"):
        E.evaluate()


def test_area_when_asked_for(sample):
    dataset, results = sample
    gt = quillscore.COCO(copy.deepcopy(dataset))
    E = quillscore.COCOeval(gt, gt.loadRes(copy.deepcopy(results)), "keypoints_crowd")
    E.params.use_area = True
    with pytest.raises(ValueError, match="area"):
        E.evaluate()
    # the box-derived area, spelled out, gives the same numbers
    spelled = copy.deepcopy(dataset)
    for a in spelled["annotations"]:
        a["area"] = a["bbox"][2] * a["bbox"][3] * 0.53
    assert list(run(spelled, results, lambda p: setattr(p, "use_area", True)).stats) == SAMPLE_STATS


def test_a_level_without_a_category_scores_below_its_mean(sample):
    """Cells of a category without ground truth in a level count as -1 in
    that level's AP (the six overall entries skip them)."""
    dataset, results = copy.deepcopy(sample[0]), sample[1]
    dataset["categories"].append({"id": 2, "name": "statue", "supercategory": "person"})
    easy = next(a for a in dataset["annotations"] if a["image_id"] == EASY_IMAGE)
    dataset["annotations"].append(dict(copy.deepcopy(easy), id=999, category_id=2))
    E = run(dataset, results)
    rows = {r["category_id"]: r for r in E.per_category()}
    assert rows[1]["AP_hard"] == SAMPLE_STATS[8]
    assert rows[2]["AP_hard"] == -1.0 and rows[2]["AP_easy"] == 0.0
    assert E.stats[8] == float(np.round((SAMPLE_STATS[8] - 1) / 2, 4)) < 0


@pytest.mark.parametrize("cells,expected", [
    # NumPy's rounding, rint(x * 1e4) / 1e4: Python's round() gives 0.0003
    (np.full((1, 1, 1, 1, 1), 0.00025), 0.0002),
    (np.full((2, 3, 1, 1, 1), -1.0), -1.0),     # a level with no ground truth
    (np.zeros((0, 3, 1, 1, 1)), -1.0),          # nothing evaluated at all
    (np.stack([np.full((2, 3, 1), 0.5), np.full((2, 3, 1), -1.0)], 2)[..., None], -0.25),
])
def test_level_ap_averages_every_cell(cells, expected):
    assert summary_mod.crowd_level_ap(cells) == expected


def _add_empty_hard_image(dataset, results):
    dataset["images"].append({"id": 5, "file_name": "5.jpg", "height": 9, "width": 9,
                              "crowdIndex": 0.9})


# (change to the data, change to the parameters, expected stats)
EDGES = {
    # no results: every entry with people to find is 0
    "no-results": (lambda ds, res: res.clear(), None, [0.0] * 9),
    # categories pooled: the sample has one, so the same numbers
    "pooled": (None, lambda p: setattr(p, "useCats", 0), SAMPLE_STATS),
    # an image without people on the hard level changes nothing
    "image-without-people": (_add_empty_hard_image, None, SAMPLE_STATS),
    # no image evaluated
    "no-images": (None, lambda p: setattr(p, "imgIds", []), [-1.0] * 9),
}


@pytest.mark.parametrize("name", list(EDGES))
def test_edges(sample, name):
    change_data, change_params, expected = EDGES[name]
    dataset, results = copy.deepcopy(sample[0]), copy.deepcopy(sample[1])
    if change_data:
        change_data(dataset, results)
    assert list(run(dataset, results, change_params).stats) == expected


# ---------------------------------------------------------------------------
# the engine's precision per image group, which the crowd levels read


def test_group_precision_of_one_group_is_the_whole_run(load_data):
    import _eval_data as data

    dataset = load_data("coco_val2014_100/instances_val2014_100.json")
    results = load_data("coco_val2014_100/fake_bbox_results.json")
    gt = quillscore.COCO(copy.deepcopy(dataset))
    E = quillscore.COCOeval(gt, gt.loadRes(copy.deepcopy(results)), "bbox")
    E.evaluate()
    E.accumulate()
    ev = E._evaluator
    n = len(E.params.imgIds)
    whole = ev.group_precision([0] * n, 1)
    assert whole.shape == (1, *E.eval["precision"].shape)
    assert np.array_equal(whole[0], E.eval["precision"])
    # two groups: each is a run over its images alone
    halves = ev.group_precision([i % 2 for i in range(n)], 2)
    for g in (0, 1):
        ids = E.params.imgIds[g::2]
        alone = data.tiny(copy.deepcopy(dataset["annotations"]),
                          copy.deepcopy(E.cocoDt.dataset["annotations"]),
                          **dict(data.TINY_PARAMS, img_ids=ids, cat_ids=E.params.catIds,
                                 iou_thrs=list(E.params.iouThrs), rec_thrs=list(E.params.recThrs),
                                 area_rng=E.params.areaRng))
        assert np.array_equal(halves[g], alone.run()["precision"])


@pytest.mark.parametrize("labels,groups,error,match", [
    ([0], 2, ValueError, "one group per evaluated image is needed, got 1 for 2 images"),
    ([0, 2], 2, ValueError, "a group number is not below the group count"),
    ([0, -1], 2, OverflowError, "image_groups"),
    ("01", 2, TypeError, "image_groups"),
    ([0, 0], -1, OverflowError, "groups"),
])
def test_group_precision_refuses_groups_that_do_not_fit(labels, groups, error, match):
    import _eval_data as data

    ev = data.tiny([data.box_ann(1, 1, [0, 0, 10, 10])], [])
    with pytest.raises(error, match=match):
        ev.group_precision(labels, groups)
