"""Input the package refuses instead of evaluating it into a number that
means nothing: annotations without what evaluation reads, keypoint sigmas
that do not fit the data, parameters no evaluation can honour, indexes
outside the evaluated settings. Each goes through every entry point that
reads it, and must raise an ordinary Exception (never PanicException) whose
message names the record or the parameter. Parameters changed after
evaluate() must not relabel the numbers it produced."""

from __future__ import annotations

import copy
import json
import math

import numpy as np
import pytest

import _eval_data as data
import quillscore
from _paths import DATA_DIR
from quillscore import ResultsError

VAL2014 = DATA_DIR / "coco_val2014_100"
CROWDPOSE = DATA_DIR / "keypoints_samples"


def load(path):
    if not path.exists():
        pytest.skip(f"{path} is not available")
    return json.loads(path.read_text())


def val2014(kind):
    return load(VAL2014 / "instances_val2014_100.json"), load(VAL2014 / f"fake_{kind}_results.json")


def crowdpose():
    return load(CROWDPOSE / "crowdpose_val_sample.json"), load(CROWDPOSE / "crowdpose_results_sample.json")


def drop(side, index, *keys, value=...):
    """A change to one record of the dataset ("gt") or the results ("dt"):
    its keys removed, or set to `value`."""

    def change(dataset, results):
        record = (dataset["annotations"] if side == "gt" else results)[index]
        for key in keys:
            if value is ...:
                del record[key]
            else:
                record[key] = value
        return dataset, results

    return change


def unchanged(dataset, results):
    return dataset, results


# (case, IoU type, source of the data, change, exception, message fragment)
MALFORMED = [
    ("result without score", "bbox", lambda: val2014("bbox"), drop("dt", 3, "score"),
     ResultsError, "result 3 has no 'score'"),
    ("result with null score", "bbox", lambda: val2014("bbox"), drop("dt", 700, "score", value=None),
     ResultsError, "result 700 has no 'score'"),
    ("mask result without score", "segm", lambda: val2014("segm"), drop("dt", 0, "score"),
     ResultsError, "result 0 has no 'score'"),
    ("ground truth without bbox", "bbox", lambda: val2014("bbox"), drop("gt", 5, "bbox"),
     ValueError, "ground truth 5 has no 'bbox'"),
    ("ground truth with null bbox", "bbox", lambda: val2014("bbox"), drop("gt", 838, "bbox", value=None),
     ValueError, "ground truth 838 has no 'bbox'"),
    # the box stands in for a mask ground truth's missing area
    ("mask ground truth without area or bbox", "segm", lambda: val2014("segm"), drop("gt", 9, "area", "bbox"),
     ValueError, "ground truth 9 has no 'bbox'"),
    ("person without num_keypoints", "keypoints", lambda: data.synthetic_keypoints(3, nkp=17),
     drop("gt", 1, "num_keypoints"), ValueError, "ground truth 1 has no 'num_keypoints'"),
    ("person with null num_keypoints", "keypoints", lambda: data.synthetic_keypoints(3, nkp=17),
     drop("gt", 4, "num_keypoints", value=None), ValueError, "ground truth 4 has no 'num_keypoints'"),
    # the default sigmas are the 17 COCO ones
    ("more sigmas than keypoints", "keypoints", crowdpose, unchanged,
     ValueError, "17 keypoint sigmas for 14 keypoints"),
    ("fewer sigmas than keypoints", "keypoints", lambda: data.synthetic_keypoints(4, nkp=21), unchanged,
     ValueError, "17 keypoint sigmas for 21 keypoints"),
]


def via_cocoeval(dataset, results, kind, tmp_path):
    gt = quillscore.COCO(dataset)
    E = quillscore.COCOeval(gt, gt.loadRes(results), kind)
    E.evaluate()
    E.accumulate()


def via_evaluate(dataset, results, kind, tmp_path):
    gt_path, dt_path = tmp_path / "gt.json", tmp_path / "dt.json"
    gt_path.write_text(json.dumps(dataset))
    dt_path.write_text(json.dumps(results))
    quillscore.evaluate(gt_path, dt_path, kind)


def via_lvis(dataset, results, kind, tmp_path):
    quillscore.LVISEval(dataset, results, kind).run()


ENTRY_POINTS = {"COCOeval": via_cocoeval, "evaluate": via_evaluate, "LVISEval": via_lvis}


@pytest.mark.parametrize("entry", list(ENTRY_POINTS))
@pytest.mark.parametrize("case,kind,source,change,exc,fragment", MALFORMED, ids=[m[0] for m in MALFORMED])
def test_malformed_input_is_refused(tmp_path, entry, case, kind, source, change, exc, fragment):
    if entry == "LVISEval" and kind == "keypoints":
        pytest.skip("LVIS has no keypoint evaluation")
    dataset, results = change(*copy.deepcopy(source()))
    try:
        ENTRY_POINTS[entry](dataset, results, kind, tmp_path)
    except Exception as e:  # noqa: BLE001 - a BaseException must escape this
        assert isinstance(e, exc), repr(e)
        assert fragment in str(e)
    else:
        pytest.fail(f"{case} was evaluated")


# evaluate() puts the ground truth into columns on another thread while it
# reads and loads the results; what it reports must not depend on which ends
# first. A ground truth of 200,000 annotations is still being read when a
# small results file has failed.
@pytest.mark.parametrize("gt_size", [1, 200_000])
@pytest.mark.parametrize("bad", ["gt", "dt", "both", "no dt file"])
def test_evaluate_reports_the_first_bad_file_whichever_load_ends_first(tmp_path, gt_size, bad):
    anns = [data.box_ann(1, 1, [0, 0, 5, 5], id=i + 1, area=25.0, iscrowd=0) for i in range(gt_size)]
    dataset = {"images": [{"id": 1, "height": 10, "width": 10}], "categories": [{"id": 1}],
               "annotations": anns}
    results = [{"image_id": 1, "category_id": 1, "bbox": [0, 0, 5, 5], "score": 0.5}]
    if bad in ("gt", "both"):
        del anns[-1]["image_id"]
    if bad in ("dt", "both"):
        del results[0]["score"]
    gt_path, dt_path = tmp_path / "gt.json", tmp_path / "dt.json"
    gt_path.write_text(json.dumps(dataset))
    if bad != "no dt file":
        dt_path.write_text(json.dumps(results))
    expected = {"gt": (ValueError, "missing field `image_id`", gt_path),
                "both": (ValueError, "missing field `image_id`", gt_path),
                "dt": (ValueError, "result 0 has no 'score'", None),
                "no dt file": (FileNotFoundError, "No such file", dt_path)}[bad]
    with pytest.raises(expected[0]) as info:
        quillscore.evaluate(gt_path, dt_path)
    assert expected[1] in str(info.value)
    assert getattr(info.value, "__notes__", None) == (expected[2] and [f"while reading {expected[2]}"])


def test_the_raw_module_keeps_its_defaults(qm, tmp_path):
    """Callers of the extension that pass nothing keep the documented
    defaults: a result without score is read as 0, a ground truth without
    box as an empty one."""
    gt = [data.box_ann(1, 1, [0, 0, 10, 10]), {"image_id": 1, "category_id": 1, "id": 2}]
    dt = [{"image_id": 1, "category_id": 1, "bbox": [0, 0, 10, 10], "score": None}]
    path = tmp_path / "dt.json"
    path.write_text(json.dumps(dt))
    _, compact = qm.load_compact_bbox(str(path), results=True)
    for side in (dt, compact):
        det, _ = data.tiny(gt, side).per_instance()
        assert det["score"].tolist() == [0.0] and det["gt_id"].tolist() == [1]


# ---------------------------------------------------------------------------
# parameters


NAN, INF = math.nan, math.inf
# (parameter, value, message fragment). The LVIS names are the snake-case
# ones; LVIS takes one detection limit, not a list.
BAD_PARAMS = [
    ("iouThrs", [0.5, NAN, 0.75], "must lie in [0, 1]; got nan"),
    ("iouThrs", [0.5, 1.5], "must lie in [0, 1]; got 1.5"),
    ("iouThrs", [-0.05, 0.5], "must lie in [0, 1]; got -0.05"),
    ("iouThrs", [], "must not be empty"),
    ("iouThrs", [[0.5, 0.75]], "must be a flat list of numbers"),
    ("iouThrs", ["half"], "must be a flat list of numbers"),
    ("recThrs", np.linspace(0, 1, 101)[::-1], "must be in ascending order"),
    ("recThrs", [0.0, 0.5, 0.4, 1.0], "must be in ascending order"),
    ("recThrs", [0.0, NAN, 1.0], "must lie in [0, 1]; got nan"),
    ("recThrs", [0.0, 1.01], "must lie in [0, 1]; got 1.01"),
    ("maxDets", [1, 10, -5], "must be whole numbers >= 0; got -5"),
    ("maxDets", [1, 10, 100.5], "must be whole numbers >= 0; got 100.5"),
    ("maxDets", [1, 10, INF], "must be whole numbers >= 0; got inf"),
    ("maxDets", [1, 10, "100"], "must be whole numbers >= 0; got '100'"),
    ("areaRng", [[0, 1e10], [0, NAN], [0, 1], [1, 2]], "bounds must be numbers, not NaN"),
    ("areaRng", [[0, 1e10, 5]] * 4, "must be a list of [low, high] pairs of numbers"),
    ("boundary_dilation", -0.02, "dilation ratio must be a finite number >= 0, got -0.02"),
    ("boundary_dilation", NAN, "dilation ratio must be a finite number >= 0, got nan"),
    ("boundary_dilation", INF, "dilation ratio must be a finite number >= 0, got inf"),
]
LVIS_NAMES = {"iouThrs": "iou_thrs", "recThrs": "rec_thrs", "maxDets": "max_dets", "areaRng": "area_rng",
              "boundary_dilation": "boundary_dilation"}


def _set_param(name, value):
    def tweak(p):
        setattr(p, name, copy.deepcopy(value))
    return tweak


@pytest.mark.parametrize("entry", ["COCOeval", "evaluate", "LVISEval"])
@pytest.mark.parametrize("name,value,fragment", BAD_PARAMS,
                         ids=[f"{n}-{i}" for i, (n, _, _) in enumerate(BAD_PARAMS)])
def test_bad_parameters_are_refused_before_evaluating(entry, name, value, fragment):
    dataset, results = val2014("bbox")
    if entry == "LVISEval":
        if name == "maxDets":
            value = value[-1]
        name = LVIS_NAMES[name]
        E = quillscore.LVISEval(dataset, results, "bbox")
        setattr(E.params, name, copy.deepcopy(value))
        call = E.run
    elif entry == "evaluate":
        def call():
            # files of the val2014 sample, read into column storage
            quillscore.evaluate(VAL2014 / "instances_val2014_100.json", VAL2014 / "fake_bbox_results.json",
                                params=_set_param(name, value))
    else:
        gt = quillscore.COCO(dataset)
        E = quillscore.COCOeval(gt, gt.loadRes(results), "bbox")
        setattr(E.params, name, copy.deepcopy(value))
        call = E.evaluate
    with pytest.raises(ValueError) as info:
        call()
    assert fragment in str(info.value)
    if "dilation" not in fragment:
        assert str(info.value).startswith(name)


# ---------------------------------------------------------------------------
# the parameters evaluate() used are the ones accumulated and summarised


CHANGES_AFTER_EVALUATE = {
    "iouThrs": np.array([0.5]),
    "maxDets": [1, 10, 300],
    "areaRngLbl": ["all", "tiny", "medium", "large"],
    "catIds": [1],
    "iouType": "segm",
    # changed in place: the copies share no list or array with the parameters
    "maxDets[-1]": lambda p: p.maxDets.__setitem__(-1, 300),
    "imgIds[:]": lambda p: p.imgIds.clear(),
    "areaRng[0]": lambda p: p.areaRng[0].__setitem__(1, 10.0),
    "iouThrs[:]": lambda p: p.iouThrs.fill(0.5),
}


def change_parameter(params, name: str) -> None:
    change = CHANGES_AFTER_EVALUATE[name]
    if callable(change):
        change(params)
    else:
        setattr(params, name, copy.deepcopy(change))


@pytest.fixture(scope="module")
def classic_bbox():
    dataset, results = val2014("bbox")
    gt = quillscore.COCO(copy.deepcopy(dataset))
    E = quillscore.COCOeval(gt, gt.loadRes(copy.deepcopy(results)), "bbox")
    E.evaluate()
    E.accumulate()
    E.summary()
    return dataset, results, E


@pytest.mark.parametrize("name", list(CHANGES_AFTER_EVALUATE))
def test_parameters_changed_after_evaluate_do_not_relabel_its_numbers(classic_bbox, name):
    dataset, results, baseline = classic_bbox
    gt = quillscore.COCO(copy.deepcopy(dataset))
    E = quillscore.COCOeval(gt, gt.loadRes(copy.deepcopy(results)), "bbox")
    E.evaluate()
    change_parameter(E.params, name)
    E.accumulate()
    used, expected = vars(E.eval["params"]), vars(baseline.eval["params"])
    assert used.keys() == expected.keys()
    for key, value in used.items():
        assert np.array_equal(value, expected[key]) if key != "iouType" else value == expected[key], key
    # nor does changing the copy the results carry
    change_parameter(E.eval["params"], name)
    E.summary()
    assert list(E.stats) == list(baseline.stats)
    assert E.lines == baseline.lines
    assert E.per_category() == baseline.per_category()
    assert E.axes == baseline.axes
    assert len(E.axes.iou_thrs) == 10 and E.axes.max_dets == (1, 10, 100)
    assert len(E.evalImgs) == len(baseline.evalImgs)
    assert [r["aRng"] for r in E.evalImgs if r] == [r["aRng"] for r in baseline.evalImgs if r]
    # the indexes per_instance takes are those of the evaluated settings
    assert len(E.per_instance(9, 3)[0]["dt_id"]) > 0


def test_lvis_parameters_changed_after_evaluate_do_not_relabel_its_numbers(lvis_dataset):
    results = data.perturb_instances(lvis_dataset, 91, "bbox")
    runs = []
    for change in (False, True):
        E = quillscore.LVISEval(copy.deepcopy(lvis_dataset), copy.deepcopy(results), "bbox")
        E.evaluate()
        if change:
            E.params.iou_thrs = np.array([0.5])
            E.params.area_rng_lbl = ["all", "a", "b", "c"]
        E.accumulate()
        if change:
            E.eval["params"].iou_thrs = np.array([0.5])
            E.eval["params"].max_dets = 5
        E.summarize()
        runs.append((dict(E.results), E.summary_lines(), E.per_category()))
    assert runs[0] == runs[1]


@pytest.mark.parametrize("arrays", [
    lambda ev: {**ev, "precision": ev["precision"][:5]},
    lambda ev: {**ev, "recall": ev["recall"][..., :2]},
    lambda ev: {**ev, "precision": ev["precision"][:, :, :1], "recall": ev["recall"][:, :1]},
])
def test_arrays_not_laid_out_by_the_evaluated_settings_are_refused(classic_bbox, arrays):
    """Arrays put into `eval` by hand that the evaluation's settings do not
    describe would be summarised under the wrong labels."""
    E = copy.copy(classic_bbox[2])
    E.eval = arrays(dict(E.eval))
    with pytest.raises(ValueError, match="settings lay it out as"):
        E.summary()


@pytest.mark.parametrize("t_idx,a_idx,message", [
    (10, 0, "t_idx 10 is out of range: evaluation used 10 IoU thresholds"),
    (-1, 0, "t_idx -1 is out of range"),
    (0, 4, "a_idx 4 is out of range: evaluation used 4 area ranges"),
    (10 ** 6, 10 ** 6, "t_idx 1000000 is out of range"),
])
def test_per_instance_indexes_outside_the_evaluation(classic_bbox, t_idx, a_idx, message):
    E = classic_bbox[2]
    with pytest.raises(IndexError) as info:
        E.per_instance(t_idx, a_idx)
    assert str(info.value).startswith(message)
    # the last valid setting still answers
    assert len(E.per_instance(9, 3)[0]["dt_id"]) > 0
