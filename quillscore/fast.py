"""One call from two files to the summary numbers: `evaluate`.

Box evaluation reads both files into column storage and never builds a
Python object per annotation; the other IoU types (and box files that
column storage cannot take, such as ground truth with repeated ids) go
through `COCO` and `COCOeval`."""

from __future__ import annotations

import os
import time

from quillscore import _vireo
from quillscore.coco import COCO, ResultsError
from quillscore.cocoeval import COCOeval, _build_evaluator, _category_ids


def evaluate(gt_path, results_path, iou_type: str = "bbox", *, params=None) -> COCOeval:
    """Evaluate a results file against a COCO dataset file and return the
    finished `COCOeval`: its `stats`, `eval`, `summary()`,
    `per_category()` and `timings` are ready.

    `params`, if given, is called with the `Params` before evaluation to
    change them (for example `lambda p: setattr(p, "maxDets", [1, 10,
    300])`)."""
    gt_path, results_path = os.fspath(gt_path), os.fspath(results_path)
    E = None
    if iou_type == "bbox":
        E = _evaluate_compact(gt_path, results_path, params)
    if E is None:
        E = _evaluate_dicts(gt_path, results_path, iou_type, params)
    E.accumulate()
    E.summary()
    return E


def _evaluate_compact(gt_path: str, results_path: str, params) -> COCOeval | None:
    """The column-storage route, or None where the files need the dict
    route (a file it cannot read is left for that route to report)."""
    start = time.perf_counter()
    try:
        dataset, gt = _vireo.load_compact_bbox(gt_path)
        _, dt = _vireo.load_compact_bbox(results_path, results=True)
    except ValueError:
        return None
    loaded = time.perf_counter() - start
    E = COCOeval(None, None, "bbox")
    p = E.params
    p.imgIds = sorted(img["id"] for img in dataset.get("images") or [])
    p.catIds = sorted(cat["id"] for cat in dataset.get("categories") or [])
    if params is not None:
        params(p)
    if not dt.valid_images([img["id"] for img in dataset.get("images") or []]):
        raise ResultsError("results name image ids that are not in the dataset")
    p = E._normalise_params()
    start = time.perf_counter()
    E._cats = {c["id"]: c for c in dataset.get("categories") or []}
    E._set_evaluator(_build_evaluator(gt, dt, {}, p, _category_ids(p)))
    E._wall.update(load=loaded, evaluate=time.perf_counter() - start)
    return E


def _evaluate_dicts(gt_path: str, results_path: str, iou_type: str, params) -> COCOeval:
    start = time.perf_counter()
    gt = COCO(gt_path)
    dt = gt.loadRes(results_path)
    loaded = time.perf_counter() - start
    E = COCOeval(gt, dt, iou_type)
    if params is not None:
        params(E.params)
    E.evaluate()
    E._wall["load"] = loaded
    return E
