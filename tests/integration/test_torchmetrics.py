"""torchmetrics' MeanAveragePrecision (backend "pycocotools", per-class
metrics and the extended summary) on seeded data, once with the real
pycocotools and once with quillscore installed in its place, each in a
process of its own: every returned tensor, the IoU matrices included, must
be equal, and so must the data read back through tm_to_coco and
coco_to_tm. Prints the time compute() took each way.

Needs torch, torchvision, torchmetrics and pycocotools: `make integration`
sets them up in a venv of their own."""

from __future__ import annotations

import pickle
import resource
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("torchmetrics", reason="torchmetrics is not installed")
pytest.importorskip("pycocotools", reason="pycocotools is not installed")

WORKER = Path(__file__).with_name("tm_worker.py")


def _limits():
    resource.setrlimit(resource.RLIMIT_AS, (16 << 30, 16 << 30))


def run_worker(which: str, iou_type: str, out: Path) -> dict:
    r = subprocess.run([sys.executable, str(WORKER), which, iou_type, str(out)], capture_output=True,
                       text=True, timeout=900, preexec_fn=_limits)
    assert r.returncode == 0, r.stderr
    with open(out, "rb") as f:
        return pickle.load(f)


def differences(mine, theirs, path=()) -> list:
    """Where two outputs differ: tensors by dtype, shape and every value,
    containers by their keys or lengths and then element by element."""
    if isinstance(theirs, tuple) and theirs[:1] == ("tensor",):
        ok = (isinstance(mine, tuple) and mine[:2] == theirs[:2] and mine[2].shape == theirs[2].shape
              and np.array_equal(mine[2], theirs[2]))
        return [] if ok else [path]
    if type(mine) is not type(theirs):
        return [path]
    if isinstance(theirs, dict):
        if list(mine) != list(theirs):
            return [path + ("keys",)]
        return [d for k in theirs for d in differences(mine[k], theirs[k], path + (k,))]
    if isinstance(theirs, (list, tuple)):
        if len(mine) != len(theirs):
            return [path + ("length",)]
        return [d for i, (a, b) in enumerate(zip(mine, theirs)) for d in differences(a, b, path + (i,))]
    return [] if mine == theirs else [path]


@pytest.mark.parametrize("iou_type", ["bbox", "segm", "bbox+segm"])
def test_mean_average_precision_is_unchanged(iou_type, tmp_path, capsys):
    real = run_worker("real", iou_type, tmp_path / "real.pkl")
    standin = run_worker("standin", iou_type, tmp_path / "standin.pkl")
    assert real["origin"] == "pycocotools.cocoeval"
    assert standin["origin"] == "quillscore.cocoeval"

    # what is compared: the summary, per class, and the extended summary,
    # IoU matrices of pairs with and without both sides among them
    result = real["result"]
    assert "classes" in result
    for prefix in ("",) if "+" not in iou_type else ("bbox_", "segm_"):
        for key in ("map", "map_per_class", "ious", "precision", "recall", "scores"):
            assert prefix + key in result, prefix + key
        ious = result[prefix + "ious"].values()
        assert any(isinstance(v, tuple) for v in ious) and any(v == [] for v in ious)
    assert differences(standin["result"], result) == []
    assert differences(standin["coco_to_tm"], real["coco_to_tm"]) == []

    with capsys.disabled():
        print(f"\ntorchmetrics {iou_type}: compute() {real['seconds']:.2f} s with pycocotools, "
              f"{standin['seconds']:.2f} s with quillscore")
