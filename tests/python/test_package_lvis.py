"""The package's LVISEval against the LVIS API, run as a black box: every
reported number equal (==) for box and mask results on the LVIS v1 sample,
including the per-image limit of 300 detections."""

from __future__ import annotations

import copy
import json

import numpy as np
import pytest

import _eval_data as data
import quillscore
from _paths import LVIS_FILE

lvis = pytest.importorskip("lvis", reason="the LVIS API (lvis) is not installed")
pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")


def extra_false_positives(image):
    return list(image["neg_category_ids"][:2]) + list(image["not_exhaustive_category_ids"][:3])


def reference_results(api, gt_path, results):
    E = api.LVISEval(api.LVIS(str(gt_path)), api.LVISResults(api.LVIS(str(gt_path)), copy.deepcopy(results)),
                     results_kind(results))
    E.run()
    return E.get_results()


def results_kind(results):
    return "segm" if "segmentation" in results[0] else "bbox"


@pytest.mark.parametrize("kind,seed", [("bbox", 81), ("segm", 82)])
def test_results_equal_the_lvis_api(lvis_api, lvis_dataset, kind, seed):
    api, dataset = lvis_api, lvis_dataset
    results = data.perturb_instances(dataset, seed, kind, extra_cats=extra_false_positives)
    theirs = reference_results(api, LVIS_FILE, results)
    E = quillscore.LVISEval(str(LVIS_FILE), copy.deepcopy(results), kind)
    E.run()
    ours = E.get_results()
    assert list(ours) == ["AP", "AP50", "AP75", "APs", "APm", "APl", "APr", "APc", "APf",
                          "AR@300", "ARs@300", "ARm@300", "ARl@300"]
    for key, value in ours.items():
        assert value == theirs[key], key
    assert ours["AP"] > 0.1


def test_per_image_limit_of_300(lvis_api, lvis_dataset, tmp_path):
    api, dataset = lvis_api, lvis_dataset
    """One image given 400 detections (many of equal score): the API keeps
    the 300 best; so does ours."""
    results = data.perturb_instances(dataset, 83, "bbox", extra_cats=extra_false_positives)
    image = dataset["images"][0]
    cats = [a["category_id"] for a in dataset["annotations"] if a["image_id"] == image["id"]]
    rng = np.random.default_rng(84)
    for i in range(400):
        results.append({"image_id": image["id"], "category_id": int(cats[i % len(cats)]),
                        "bbox": [float(v) for v in rng.uniform(0, 200, 4)],
                        "score": float(np.round(rng.uniform(0, 1), 1))})
    path = tmp_path / "results.json"
    path.write_text(json.dumps(results))
    theirs = reference_results(api, LVIS_FILE, results)
    E = quillscore.LVISEval(str(LVIS_FILE), str(path), "bbox")
    assert sum(d["image_id"] == image["id"] for d in E.dt_anns) == 300
    E.run()
    for key, value in E.get_results().items():
        assert value == theirs[key], key


def test_federated_rules_change_the_numbers(lvis_dataset):
    dataset = lvis_dataset
    """Not vacuous: dropping the federated inputs changes AP."""
    results = data.perturb_instances(dataset, 85, "bbox", extra_cats=extra_false_positives)
    E = quillscore.LVISEval(str(LVIS_FILE), copy.deepcopy(results), "bbox")
    E.run()
    plain = copy.deepcopy(dataset)
    for im in plain["images"]:
        im["neg_category_ids"] = []
        im["not_exhaustive_category_ids"] = []
    F = quillscore.LVISEval(plain, copy.deepcopy(results), "bbox")
    F.run()
    assert E.results["AP"] != F.results["AP"]


def test_printed_lines_and_order_of_steps(lvis_dataset, capsys):
    dataset = lvis_dataset
    E = quillscore.LVISEval(dataset, [], "bbox")
    with pytest.raises(RuntimeError):
        E.accumulate()
    E.run()
    E.print_results()
    lines = capsys.readouterr().out.splitlines()
    assert len(lines) == 13 and "catIds=  r]" in lines[6]
