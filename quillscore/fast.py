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
    E = compact_error = None
    if iou_type == "bbox":
        try:
            E = _evaluate_compact(gt_path, results_path, params)
        except _ColumnsRefused as refused:
            compact_error = refused.error
    if E is None:
        try:
            E = _evaluate_dicts(gt_path, results_path, iou_type, params)
        except KeyError:
            # A record without a needed member: the column reader's message
            # says where it is.
            if compact_error is not None and "missing field" in str(compact_error):
                raise compact_error from None
            raise
    E.accumulate()
    E.summary()
    return E


class _ColumnsRefused(Exception):
    def __init__(self, error: ValueError):
        super().__init__(str(error))
        self.error = error


def _evaluate_compact(gt_path: str, results_path: str, params) -> COCOeval:
    """The column-storage route. Files it refuses (_ColumnsRefused) go the
    dict route, which reports what is really wrong with them."""
    start = time.perf_counter()
    for path, results in ((gt_path, False), (results_path, True)):
        try:
            columns = _vireo.load_compact_bbox(path, results=results, require_score=results)
        except ValueError as e:
            e.add_note(f"while reading {path}")
            raise _ColumnsRefused(e) from None
        if results:
            dt = columns[1]
        else:
            dataset, gt = columns
    load_time = time.perf_counter() - start
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
    E._set_evaluator(_build_evaluator(gt, dt, {}, p, _category_ids(p)), p)
    E._wall.update(load=load_time, evaluate=time.perf_counter() - start)
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
