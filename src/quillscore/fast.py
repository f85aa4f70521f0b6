"""One call from two files to the summary numbers: `evaluate`.

Box, mask and keypoint evaluation read both files into column storage and
never build a Python object per annotation; CrowdPose (and files that
column storage cannot take, such as ground truth with repeated ids) go
through `COCO` and `COCOeval`."""

from __future__ import annotations

import os
import threading
import time

from quillscore import _vireo
from quillscore.coco import COCO, add_file_note, read_file
from quillscore.cocoeval import COCOeval


def evaluate(gt_path, results_path, iou_type: str = "bbox", *, params=None,
             progress=None) -> COCOeval:
    """Evaluate a results file against a COCO dataset file and return the
    finished `COCOeval`: its `stats`, `eval`, `summary()`,
    `per_category()` and `timings` are ready. The paths are taken as
    open() takes them (str, bytes or os.PathLike), and each file is read
    once, so a pipe serves as well as a file.

    `params`, if given, is called with the `Params` before evaluation to
    change them (for example `lambda p: setattr(p, "maxDets", [1, 10,
    300])`). `progress`, if given, is called with the name of each step
    as it begins: "loading", then "matching"."""
    step = progress or (lambda name: None)
    step("loading")
    start = time.perf_counter()
    files = [os.fspath(gt_path), os.fspath(results_path)]
    E = compact_error = None
    if iou_type in _COLUMN_LOADERS:
        try:
            E = _evaluate_compact(files, iou_type, params, start)
        except _ColumnsRefused as refused:
            # Without its traceback, which holds the bytes and columns read.
            compact_error = refused.error.with_traceback(None)
    if E is None:
        try:
            E = _evaluate_dicts(files, iou_type, params, start)
        except KeyError:
            # A record without a needed member: the column reader's message
            # says where it is.
            if compact_error is not None and "missing field" in str(compact_error):
                raise compact_error from None
            raise
    step("matching")
    E.accumulate()
    E.summary()
    E._sources = (gt_path, results_path)
    return E


class _ColumnsRefused(Exception):
    def __init__(self, error: ValueError):
        super().__init__(str(error))
        self.error = error


# The column loader of each IoU type that has one.
_COLUMN_LOADERS = {"bbox": _vireo.load_compact_bbox, "segm": _vireo.load_compact_masks,
                   "boundary": _vireo.load_compact_masks, "keypoints": _vireo.load_compact_keypoints}


def _evaluate_compact(files: list, iou_type: str, params, start: float) -> COCOeval:
    """The column-storage route from the two files in `files`, which are
    read here, once, and left in `files` as bytes: when column storage
    refuses one (_ColumnsRefused), the dict route takes the same bytes (a
    pipe would be empty the second time) and reports what is really wrong
    with them. The ground truth goes into columns on another thread while
    the results file is read and loaded on this one. Once both are in
    columns, the bytes (most of the memory by then) are let go, `files`
    emptied, before the engine copies the rows."""
    load = _COLUMN_LOADERS[iou_type]
    files[0] = read_file(files[0])
    gt_job = _Background(_columns, load, files[0], False)
    try:
        files[1] = read_file(files[1])
        dt_columns = None if gt_job.failed() else _columns(load, files[1], True)
    except _ColumnsRefused:
        gt_job.result()  # a refused ground truth is reported first, as it is read first
        raise
    except BaseException:
        gt_job.wait()  # never left running: it reads bytes already read, so it ends
        raise
    dataset, gt = gt_job.result()
    _, dt = dt_columns
    files.clear()
    gt.release_snapshot()
    dt.release_snapshot()
    load_time = time.perf_counter() - start
    E = COCOeval.from_columns(dataset, gt, dt, params, iou_type)
    E.add_wall_time("load", load_time)
    return E


def _columns(load, data, results: bool):
    """One file's (members, columns); _ColumnsRefused when column storage
    does not take it."""
    try:
        return load(data, results=results, require_score=results)
    except ValueError as e:
        add_file_note(e, data)
        raise _ColumnsRefused(e) from None


class _Background:
    """fn(*args) on a thread of its own; result() waits for it and returns
    what it returned or raises what it raised."""

    def __init__(self, fn, *args):
        self._value = self._error = None
        self._thread = threading.Thread(target=self._run, args=(fn, args), daemon=True)
        self._thread.start()

    def _run(self, fn, args) -> None:
        try:
            self._value = fn(*args)
        except BaseException as e:  # handed to the waiting thread
            self._error = e

    def failed(self) -> bool:
        """Whether it has ended with an error already."""
        return not self._thread.is_alive() and self._error is not None

    def wait(self) -> None:
        self._thread.join()

    def result(self):
        self.wait()
        if self._error is not None:
            error, self._error = self._error, None
            raise error
        return self._value


def _evaluate_dicts(files: list, iou_type: str, params, start: float) -> COCOeval:
    """The dict route. `files` (the two paths, or their bytes read already)
    is emptied as they are loaded, so that each file's bytes go as soon as
    its objects are built."""
    gt = COCO(files.pop(0))
    dt = gt.loadRes(files.pop(0))
    loaded = time.perf_counter() - start
    E = COCOeval(gt, dt, iou_type)
    if params is not None:
        params(E.params)
    E.evaluate()
    E.add_wall_time("load", loaded)
    return E
