"""StreamingEval.sync() on two torch.distributed ranks (gloo on loopback,
each a process of its own, bounded in time): every rank computes the
evaluation of all the images, equal to one COCOeval over them."""

from __future__ import annotations

import contextlib
import io
import pickle
import socket
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("torch", reason="torch is not installed")

import quillscore  # noqa: E402

WORKER = Path(__file__).with_name("sync_worker.py")
DATA = Path(__file__).resolve().parents[2].parent / "shared" / "data"


def _free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.mark.parametrize("iou_type", ["bbox", "segm"])
def test_every_rank_gets_the_whole_evaluation(tmp_path, iou_type):
    world, port = 2, _free_port()
    outs = [tmp_path / f"rank{r}.pkl" for r in range(world)]
    procs = [subprocess.Popen([sys.executable, str(WORKER), str(r), str(world), str(port), iou_type,
                               str(DATA), str(outs[r])]) for r in range(world)]
    try:
        for p in procs:
            assert p.wait(timeout=180) == 0
    finally:
        for p in procs:
            p.kill()
    with contextlib.redirect_stdout(io.StringIO()):
        want = quillscore.evaluate(DATA / "coco_val2014_100/instances_val2014_100.json",
                                   DATA / f"coco_val2014_100/fake_{iou_type}_results.json", iou_type)
    for out in outs:
        got = pickle.loads(out.read_bytes())
        assert got["images"] == 100
        for key in ("precision", "recall", "scores"):
            assert np.array_equal(got[key], want.eval[key]), key
        assert list(got["stats"]) == list(want.stats)
