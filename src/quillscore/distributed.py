"""Evaluation spread over a Dask cluster: `evaluate_dask`.

The images are split into partitions; each worker reads the files with the
fast loaders, matches its own images and sends back only the matching
(a StreamingEval's bytes), which the client merges and accumulates. The
result is the one `quillscore.evaluate` gives on the same files. Dask is an
optional dependency (`pip install "dask[distributed]"`)."""

from __future__ import annotations

import os

from quillscore import _vireo
from quillscore.coco import COCO, read_file, read_json
from quillscore.cocoeval import COCOeval
from quillscore.streaming import StreamingEval


def evaluate_dask(client, gt_path, results_paths, iou_type: str = "bbox",
                  partitions: int | None = None, *, timeout: float | None = None) -> COCOeval:
    """Evaluate results against a COCO dataset file on the workers of the
    Dask `client`, returning the finished `COCOeval` (stats, eval,
    summary(), per_category()). `results_paths` is one results file or a
    list of shard files, read in turn as one result set (a shard may hold
    any images; equal scores rank in that order, as within one file). The
    dataset's images are split into `partitions` parts
    (default: one per worker); every worker must be able to open the
    files by the paths given. `timeout`, if given, bounds the wait for the
    workers in seconds (TimeoutError past it)."""
    from distributed import wait

    if isinstance(results_paths, (str, bytes, os.PathLike)):
        results_paths = [results_paths]
    results_paths = [os.fspath(p) for p in results_paths]
    if not results_paths:
        raise ValueError("results_paths names no file")
    gt_path = os.fspath(gt_path)
    if partitions is None:
        partitions = max(1, len(client.scheduler_info().get("workers", {})))
    if isinstance(partitions, bool) or not isinstance(partitions, int) or partitions < 1:
        raise ValueError(f"partitions must be a positive integer, got {partitions!r}")
    futures = client.map(partition_state, range(partitions), n=partitions, gt_path=gt_path,
                         results_paths=results_paths, iou_type=iou_type, pure=False)
    wait(futures, timeout=timeout)
    merged = None
    for data in client.gather(futures):
        part = StreamingEval.from_bytes(data)
        if merged is None:
            merged = part
        else:
            merged.merge(part)
    E = merged.compute()
    E.summary()
    return E


def partition_state(k: int, *, n: int, gt_path: str, results_paths: list, iou_type: str) -> bytes:
    """The matching of partition k of n of the dataset's images (those at
    positions k, k + n, ... of its image list), as StreamingEval bytes. Runs
    on a worker."""
    if iou_type == "bbox" and len(results_paths) == 1:
        E, dataset = _compact_partition(k, n, gt_path, results_paths[0])
    else:
        E, dataset = _dict_partition(k, n, gt_path, results_paths, iou_type)
    s = StreamingEval(iou_type, dataset["categories"], E.params)
    s.add_matches(E)
    return s.to_bytes()


def _part(images: list, k: int, n: int) -> list:
    return sorted(int(im["id"]) for im in images[k::n])


def _compact_partition(k, n, gt_path, results_path):
    dataset, gt = _vireo.load_compact_bbox(read_file(gt_path), results=False, require_score=False)
    _, dt = _vireo.load_compact_bbox(read_file(results_path), results=True, require_score=True)
    part = _part(dataset.get("images") or [], k, n)
    E = COCOeval.from_columns(dataset, gt, dt, lambda p: setattr(p, "imgIds", part))
    return E, dataset


def _dict_partition(k, n, gt_path, results_paths, iou_type):
    gt = COCO(gt_path)
    results = []
    for path in results_paths:
        shard = read_json(path)
        if not isinstance(shard, list):
            raise ValueError(f"{path}: results must be a list of result dicts")
        results.extend(shard)
    dt = gt.loadRes(results)
    E = COCOeval(gt, dt, iou_type)
    E.params.imgIds = _part(gt.dataset.get("images") or [], k, n)
    E.evaluate()
    return E, gt.dataset
