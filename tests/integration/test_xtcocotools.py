"""COCOeval(gt, dt, "keypoints_crowd") against the CrowdPose benchmark's own
evaluation (xtcocotools 1.14.3, which needs NumPy < 2) run as a black box
in an interpreter of its own, on the shared sample and on seeded
CrowdPose-like data: the nine stats and the overall precision and recall
arrays must be equal, bit for bit.

The interpreter is $XTCOCO_PYTHON, else the checkout's .venv-xtcoco; the
test skips without one. `make integration` sets it up."""

from __future__ import annotations

import contextlib
import copy
import io
import json
import os
import resource
import subprocess
from pathlib import Path

import numpy as np
import pytest

import quillscore
from quillscore.params import CROWDPOSE_KPT_SIGMAS

from _crowdpose_data import crowdpose_like, moved_sample

HERE = Path(__file__).resolve().parent
WORKER = HERE / "xtcoco_worker.py"
PEER_PYTHON = Path(os.environ.get("XTCOCO_PYTHON", HERE.parents[1] / ".venv-xtcoco" / "bin" / "python"))
SAMPLES = Path(os.environ.get("QUILLSCORE_SHARED_DATA", HERE.parents[2] / "shared" / "data")) \
    / "keypoints_samples"

if not PEER_PYTHON.exists():
    pytest.skip(f"no interpreter with xtcocotools at {PEER_PYTHON} (make integration sets one up)",
                allow_module_level=True)


def _limits():
    resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))


def peer(dataset, results, use_area: bool, tmp_path) -> dict:
    gt, res = tmp_path / "gt.json", tmp_path / "res.json"
    gt.write_text(json.dumps(dataset))
    res.write_text(json.dumps(results))
    r = subprocess.run([str(PEER_PYTHON), str(WORKER), str(gt), str(res),
                        json.dumps(CROWDPOSE_KPT_SIGMAS.tolist()), "1" if use_area else "0"],
                       capture_output=True, text=True, timeout=300, preexec_fn=_limits)
    assert r.returncode == 0, r.stderr
    return json.loads(r.stdout)


def ours(dataset, results, use_area: bool):
    gt = quillscore.COCO(copy.deepcopy(dataset))
    E = quillscore.COCOeval(gt, gt.loadRes(copy.deepcopy(results)), "keypoints_crowd")
    E.params.use_area = use_area
    E.evaluate()
    E.accumulate()
    with contextlib.redirect_stdout(io.StringIO()):
        E.summarize()
    return E


def _sample():
    if not (SAMPLES / "crowdpose_val_sample.json").exists():
        pytest.skip(f"the shared CrowdPose sample is not at {SAMPLES}")
    return (json.loads((SAMPLES / "crowdpose_val_sample.json").read_text()),
            json.loads((SAMPLES / "crowdpose_results_sample.json").read_text()))


# (name, maker of (dataset, results), use_area)
VARIANTS = {
    "plain": dict(),
    "area": dict(with_area=True),
    "two-categories": dict(categories=(1, 2)),
    "no-hard": dict(no_hard=True),
}
CASES = [("sample", _sample, False), ("sample-moved", lambda: moved_sample(*_sample()), False)] + [
    (f"seed{seed}-{name}", (lambda s=seed, kw=kw: crowdpose_like(s, **kw)), "with_area" in kw)
    for seed in range(12) for name, kw in [list(VARIANTS.items())[seed % 4]]
]


@pytest.mark.parametrize("make,use_area", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_same_as_the_benchmark(make, use_area, tmp_path):
    dataset, results = make()
    theirs = peer(dataset, results, use_area, tmp_path)
    E = ours(dataset, results, use_area)
    assert list(E.stats) == theirs["stats"]
    assert np.array_equal(E.eval["precision"], np.asarray(theirs["precision"]))
    assert np.array_equal(E.eval["recall"], np.asarray(theirs["recall"]))


def test_the_cases_reach_the_rules():
    """The seeded data hold what the comparison is meant to exercise."""
    dataset, results = crowdpose_like(0, categories=(1, 2))
    conf = np.asarray([r["keypoints"][2::3] for r in results])
    assert (conf <= 0).all(axis=1).any()  # results that take no part
    per_image = np.unique([r["image_id"] for r in results], return_counts=True)[1]
    assert per_image.max() > 20  # more than the cap
    ci = {im["crowdIndex"] for im in dataset["images"]}
    assert {0.2, 0.8} <= ci
    anns = dataset["annotations"]
    assert any(a["iscrowd"] for a in anns) and any(a["num_keypoints"] == 0 for a in anns)
    E = ours(dataset, results, False)
    assert E.stats[8] < 0  # a level lacking the second category's ground truth
