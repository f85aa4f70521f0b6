"""evaluate_dask on a two-worker LocalCluster (loopback only, started and
stopped here): the same evaluation as quillscore.evaluate on the same
files, whether the results are one file or shards, for any partition
count."""

from __future__ import annotations

import contextlib
import io
import json
import logging
import random

import numpy as np
import pytest

import quillscore
from _paths import DATA_DIR
from quillscore.distributed import evaluate_dask

distributed = pytest.importorskip("distributed")

LIMIT = 120  # seconds any one wait on the cluster may take


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       host="127.0.0.1", dashboard_address=None,
                                       silence_logs=logging.ERROR)
    c = distributed.Client(cluster, timeout=LIMIT)
    try:
        yield c
    finally:
        c.close(timeout=LIMIT)
        cluster.close(timeout=LIMIT)


def _shards(tmp_path, results, n, seed):
    """The results cut at random places into n shard files (an image's
    results may fall into several), which read in turn are the one file."""
    rng = random.Random(seed)
    cuts = sorted(rng.sample(range(1, len(results)), n - 1))
    parts = [results[a:b] for a, b in zip([0, *cuts], [*cuts, len(results)])]
    paths = []
    for i, part in enumerate(parts):
        path = tmp_path / f"shard{i}.json"
        path.write_text(json.dumps(part))
        paths.append(str(path))
    return paths


@pytest.mark.parametrize("iou_type, results, shards, partitions", [
    ("bbox", "fake_bbox_results.json", 0, None),
    ("bbox", "fake_bbox_results.json", 3, 5),
    ("segm", "fake_segm_results.json", 0, 3),
    ("segm", "fake_segm_results.json", 2, None),
])
def test_same_as_evaluate(client, load_data, tmp_path, iou_type, results, shards, partitions):
    gt_path = DATA_DIR / "coco_val2014_100/instances_val2014_100.json"
    res_path = DATA_DIR / "coco_val2014_100" / results
    with contextlib.redirect_stdout(io.StringIO()):
        want = quillscore.evaluate(gt_path, res_path, iou_type)
    paths = _shards(tmp_path, load_data(f"coco_val2014_100/{results}"), shards, shards) if shards else res_path
    got = evaluate_dask(client, gt_path, paths, iou_type, partitions, timeout=LIMIT)
    for key in ("precision", "recall", "scores"):
        assert np.array_equal(got.eval[key], want.eval[key]), key
    assert list(got.stats) == list(want.stats)
    assert got.per_category() == want.per_category()


def test_bad_arguments(client):
    gt_path = DATA_DIR / "coco_val2014_100/instances_val2014_100.json"
    for partitions in (0, -1, 1.5, True):
        with pytest.raises(ValueError, match="partitions"):
            evaluate_dask(client, gt_path, gt_path, "bbox", partitions)
    with pytest.raises(ValueError, match="names no file"):
        evaluate_dask(client, gt_path, [], "bbox")
