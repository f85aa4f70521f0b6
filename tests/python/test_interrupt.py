"""Ctrl-C during long native work, and fork() beside a run in progress.

Each case runs in a fresh interpreter under a time and an address-space
limit: on a fault it would hang or wait out the whole computation. A timer
thread sends the signal half a second into a call that would take several
seconds; the call must raise within about a second of it, leave no thread
of its own behind, and leave the objects usable with unchanged numbers.
"""

from __future__ import annotations

import json
import os
import resource
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

from quillscore import _vireo as qm

HERE = Path(__file__).resolve().parent
TIMEOUT = 180
MEMORY = 6 << 30
# Seconds from the signal to the exception; the uninterrupted calls take
# several seconds.
LATENCY = 1.5

# What every child starts with: its measuring tools and the data makers.
PRELUDE = """
import json, os, signal, sys, threading, time
import numpy as np
sys.path.insert(0, {here!r})

def threads():
    return len(os.listdir("/proc/self/task"))

def interrupt(call, delay=0.5, signum=signal.SIGINT):
    # Seconds from the signal to the exception, and the exception's type
    # name; None for a call that returned before the signal. A call that
    # ignores the signal raises it just after returning.
    timer = threading.Timer(delay, os.kill, (os.getpid(), signum))
    start = time.monotonic()
    timer.start()
    try:
        call()
        timer.cancel()
        outcome = (None, None)
    except BaseException as e:
        outcome = (time.monotonic() - start - delay, type(e).__name__)
    timer.join()
    return outcome

def polygon(rng, size, k=16, lo=0.2, hi=0.45):
    cx, cy = rng.uniform(size * 0.3, size * 0.7, 2)
    t = np.linspace(0, 2 * np.pi, k, endpoint=False)
    r = rng.uniform(size * lo, size * hi) * (1 + 0.2 * rng.random(k))
    xy = np.column_stack([cx + r * np.cos(t), cy + r * np.sin(t)])
    return [round(float(v), 2) for v in np.clip(xy, 0, size - 1).ravel()]

def mask_dataset(images, size, per_image, seed=0):
    # Ground truth and shifted detections, polygons spanning much of their
    # images: boundary extraction costs grow with that extent.
    from quillscore import COCO
    rng = np.random.default_rng(seed)
    anns, dets = [], []
    for i in range(images):
        for _ in range(per_image):
            p = polygon(rng, size)
            xs, ys = p[0::2], p[1::2]
            box = [min(xs), min(ys), max(xs) - min(xs), max(ys) - min(ys)]
            anns.append({{"id": len(anns) + 1, "image_id": i, "category_id": 1, "iscrowd": 0,
                          "segmentation": [p], "area": box[2] * box[3], "bbox": box}})
            q = [v + 3.0 if j % 2 == 0 else v for j, v in enumerate(p)]
            dets.append({{"image_id": i, "category_id": 1, "segmentation": [q],
                          "score": float(rng.random())}})
    gt = COCO({{"images": [{{"id": i, "height": size, "width": size}} for i in range(images)],
               "annotations": anns, "categories": [{{"id": 1, "name": "thing"}}]}})
    return gt, gt.loadRes(dets)

def same(a, b):
    if isinstance(a, np.ndarray):
        return isinstance(b, np.ndarray) and a.dtype == b.dtype and np.array_equal(a, b)
    return a == b

def report(**fields):
    print(json.dumps(fields))
""".format(here=str(HERE))


def run_child(script: str) -> dict:
    """Runs the script after PRELUDE in a fresh interpreter under the
    limits; returns the JSON object it printed last."""

    def limit():
        resource.setrlimit(resource.RLIMIT_AS, (MEMORY, MEMORY))

    # A fixed pool width, so that the thread counts do not depend on when
    # the pool's workers start.
    env = dict(os.environ, RAYON_NUM_THREADS="2")
    proc = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(script)],
                          capture_output=True, text=True, timeout=TIMEOUT, preexec_fn=limit,
                          env=env, cwd=HERE)
    assert proc.returncode == 0, proc.stderr[-3000:]
    return json.loads(proc.stdout.strip().splitlines()[-1])


# ----------------------------------------------------------------- Ctrl-C

# Each script warms up (so that the pool's threads exist), counts threads,
# interrupts the long call, counts again, then repeats a call whose result
# it compares with one from before the interruption.
INTERRUPTED = {
    # Evaluator construction waiting for the rasteriser after reading: a few
    # large boundary masks.
    "boundary evaluate, large masks": """
        from quillscore import COCOeval
        gt, dt = mask_dataset(images=40, size=2000, per_image=10)
        E = COCOeval(gt, dt, "boundary")
        E.params.imgIds = [0, 1]
        E.evaluate(); E.accumulate()
        expected = E.eval["precision"].tolist()
        before = threads()
        E.params.imgIds = list(range(40))
        latency, raised = interrupt(E.evaluate)
        after = threads()
        left = bool(E.eval)
        E.params.imgIds = [0, 1]
        E.evaluate(); E.accumulate()
        report(latency=latency, raised=raised, before=before, after=after, left=left,
               same=E.eval["precision"].tolist() == expected)
    """,
    # The reader blocked on a full channel while the rasteriser catches up:
    # many smaller masks.
    "boundary evaluate, many masks": """
        from quillscore import COCOeval
        gt, dt = mask_dataset(images=2000, size=300, per_image=8)
        E = COCOeval(gt, dt, "boundary")
        E.params.imgIds = [0, 1, 2]
        E.evaluate(); E.accumulate()
        expected = E.eval["precision"].tolist()
        before = threads()
        E.params.imgIds = list(range(2000))
        latency, raised = interrupt(E.evaluate)
        after = threads()
        left = bool(E.eval)
        E.params.imgIds = [0, 1, 2]
        E.evaluate(); E.accumulate()
        report(latency=latency, raised=raised, before=before, after=after, left=left,
               same=E.eval["precision"].tolist() == expected)
    """,
    # Accumulation over many thresholds and detections. Thresholds are
    # matched and accumulated independently, so a few of them evaluated on
    # their own give the numbers the full repeat must have there.
    "accumulate, many thresholds": """
        from quillscore import COCO, COCOeval
        from _eval_data import large_bbox_lists
        boxes, dets, _ = large_bbox_lists(3, images=1200, cats=1, gts=10, dts=100)
        images = [{"id": i, "height": 600, "width": 600} for i in range(1200)]
        gt = COCO({"images": images, "categories": [{"id": 0, "name": "box"}],
                   "annotations": [dict(a, id=k + 1, area=a["bbox"][2] * a["bbox"][3], iscrowd=0)
                                   for k, a in enumerate(boxes)]})
        dt = gt.loadRes(dets)
        thresholds = np.linspace(0.5, 0.95, 240)
        picked = [0, 101, 239]
        small = COCOeval(gt, dt, "bbox")
        small.params.iouThrs = thresholds[picked]
        small.evaluate(); small.accumulate()
        expected = small.eval["precision"].tolist()
        E = COCOeval(gt, dt, "bbox")
        E.params.iouThrs = thresholds
        E.evaluate()
        before = threads()
        latency, raised = interrupt(E.accumulate)
        after = threads()
        left = bool(E.eval)
        E.accumulate()
        report(latency=latency, raised=raised, before=before, after=after, left=left,
               same=E.eval["precision"][picked].tolist() == expected)
    """,
    # A handler of another signal that raises its own exception: that
    # exception comes out, as promptly.
    "run, another signal's handler": """
        from quillscore import _vireo as qm
        from _eval_data import large_bbox_lists
        gt, dt, params = large_bbox_lists(4, images=1200, cats=1, gts=10, dts=100)
        params["iou_thrs"] = list(np.linspace(0.5, 0.95, 240))
        E = qm.Evaluator(gt, dt, {}, **params)
        small = dict(params, img_ids=list(range(50)))
        expected = qm.Evaluator(gt, dt, {}, **small).run()["precision"].tolist()
        class Stop(Exception):
            pass
        def stop(*_):
            raise Stop()
        signal.signal(signal.SIGUSR1, stop)
        before = threads()
        latency, raised = interrupt(E.run, signum=signal.SIGUSR1)
        after = threads()
        again = qm.Evaluator(gt, dt, {}, **small).run()["precision"].tolist()
        report(latency=latency, raised=raised, before=before, after=after, left=None,
               same=again == expected, expect="Stop")
    """,
}

# name: (inputs, call(n) on the first n items, n for a call long enough to
# go through a runner thread yet quick, n for a call of several seconds).
MASK_OPS = {
    "toBoundary": ("rles = qm.frPyObjects([polygon(rng, 2000) for _ in range(600)], 2000, 2000)",
                   "lambda n: qm.toBoundary(rles[:n])", 2, 600),
    "iou": ("rles = qm.frPyObjects([polygon(rng, 1000) for _ in range(1200)], 1000, 1000)",
            "lambda n: qm.iou(rles[:n], rles, [0] * len(rles))", 60, 1200),
    "frPyObjects": ("polys = [polygon(rng, 8000, k=24) for _ in range(9000)]",
                    "lambda n: qm.frPyObjects(polys[:n], 8000, 8000)", 200, 9000),
}

for _name, (_inputs, _call, _warm, _full) in MASK_OPS.items():
    INTERRUPTED[f"mask {_name}"] = f"""
        from quillscore import _vireo as qm
        rng = np.random.default_rng(5)
        {_inputs}
        call = {_call}
        expected = call({_warm})
        before = threads()
        latency, raised = interrupt(lambda: call({_full}))
        after = threads()
        again = call({_warm})
        report(latency=latency, raised=raised, before=before, after=after, left=None,
               same=len(again) == len(expected) and all(map(same, again, expected)))
    """


@pytest.mark.parametrize("script", INTERRUPTED.values(), ids=INTERRUPTED.keys())
def test_a_long_call_stops_soon_after_a_signal(script):
    r = run_child(script)
    assert r["latency"] is not None, "the call ended before the signal: make it longer"
    assert r["raised"] == r.get("expect", "KeyboardInterrupt")
    assert r["latency"] < LATENCY
    assert r["after"] <= r["before"], "a thread outlived the interrupted call"
    # An interrupted evaluate() or accumulate() leaves no results behind,
    # neither partial ones nor those of an earlier evaluation.
    assert not r["left"]
    assert r["same"]


# ------------------------------------------------------------------- fork

FORK_WHILE_RUNNING = """
    import warnings
    from quillscore import _vireo as qm
    from _eval_data import large_bbox_lists
    warnings.simplefilter("ignore", DeprecationWarning)  # fork beside threads
    gt, dt, params = large_bbox_lists(1, images=200, cats=4, gts=10, dts=100)
    params["iou_thrs"] = list(np.linspace(0.5, 0.95, 100))
    E = qm.Evaluator(gt, dt, {}, **params)
    sg, sd, sp = large_bbox_lists(2, images=20, cats=2)
    expected = qm.Evaluator(sg, sd, {}, **sp).run()["precision"]
    outcomes = []
    for delay in (0.05, 0.3):
        busy = threading.Thread(target=E.run)
        busy.start()
        time.sleep(delay)
        pid = os.fork()
        if pid == 0:
            r = qm.Evaluator(sg, sd, {}, **sp).run()["precision"]
            os._exit(0 if np.array_equal(r, expected) else 1)
        deadline = time.monotonic() + 30
        while True:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                outcomes.append(os.waitstatus_to_exitcode(status))
                break
            if time.monotonic() > deadline:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
                outcomes.append("hung")
                break
            time.sleep(0.02)
        busy.join()
    report(outcomes=outcomes)
"""


def test_fork_beside_a_run_in_progress():
    assert run_child(FORK_WHILE_RUNNING)["outcomes"] == [0, 0]


MULTIPROCESSING = """
    import multiprocessing
    from quillscore import _vireo as qm
    from _eval_data import large_bbox_lists

    def precision(seed):
        gt, dt, params = large_bbox_lists(seed, images=30, cats=2)
        return qm.Evaluator(gt, dt, {}, **params).run()["precision"].tolist()

    if __name__ == "__main__":
        method = sys.argv[1]
        # The parent has used its pool before the workers start.
        expected = [precision(s) for s in (1, 2, 3)]
        with multiprocessing.get_context(method).Pool(2) as pool:
            got = pool.map(precision, (1, 2, 3))
        report(same=got == expected)
"""


@pytest.mark.parametrize("method", ["fork", "spawn", "forkserver"])
def test_multiprocessing_start_methods(method, tmp_path):
    script = tmp_path / "pool_job.py"
    script.write_text(PRELUDE + textwrap.dedent(MULTIPROCESSING))
    proc = subprocess.run([sys.executable, str(script), method], capture_output=True, text=True,
                          timeout=TIMEOUT, cwd=HERE)
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert json.loads(proc.stdout.strip().splitlines()[-1]) == {"same": True}


# ------------------------------------- long calls give the short calls' results

def _polygons(n, size, seed=9):
    rng = np.random.default_rng(seed)
    out = []
    for _ in range(n):
        cx, cy = rng.uniform(size * 0.2, size * 0.8, 2)
        t = np.linspace(0, 2 * np.pi, 20, endpoint=False)
        r = rng.uniform(size * 0.05, size * 0.3) * (1 + 0.3 * rng.random(20))
        out.append([float(v) for v in np.column_stack([cx + r * np.cos(t), cy + r * np.sin(t)]).ravel()])
    return out


def _masks(n, size, seed=9):
    return qm.frPyObjects(_polygons(n, size, seed), size, size)


def _boxes(n, seed=4):
    rng = np.random.default_rng(seed)
    return np.column_stack([rng.uniform(0, 900, (n, 2)), rng.uniform(1, 300, (n, 2))])


def _iou_masks():
    dt, gt = _masks(300, 1000), _masks(300, 1000, seed=10)
    crowd = [0, 1] * 150
    return qm.iou(dt, gt, crowd), np.vstack([qm.iou([d], gt, crowd) for d in dt])


def _iou_boxes():
    dt, gt = _boxes(1100), _boxes(1000, seed=5)
    crowd = [1, 0] * 500
    return qm.iou(dt, gt, crowd), np.vstack([qm.iou(row[None], gt, crowd) for row in dt])


def _merge():
    masks = _masks(3000, 1000)
    return [qm.merge(masks)], [qm.merge([qm.merge(masks[k:k + 100]) for k in range(0, 3000, 100)])]


def _to_boundary():
    masks = _masks(5, 1000)
    return qm.toBoundary(masks), [qm.toBoundary([m])[0] for m in masks]


def _polygons_to_rles():
    polys = _polygons(2000, 1000)
    return qm.frPyObjects(polys, 1000, 1000), [qm.frPyObjects([p], 1000, 1000)[0] for p in polys]


def _boxes_to_rles():
    boxes = _boxes(2000)
    return qm.frBbox(boxes, 1000, 1000), [qm.frBbox(row[None], 1000, 1000)[0] for row in boxes]


def _encode():
    dense = np.asfortranarray(qm.decode(_masks(3, 1000)))
    return qm.encode(dense), [qm.encode(dense[:, :, k:k + 1])[0] for k in range(3)]


def _decode():
    masks = _masks(3, 1000)
    return qm.decode(masks), np.dstack([qm.decode([m]) for m in masks])


# Each row makes one call large enough to be handed to a runner thread and
# puts the same result together from calls small enough to run inline.
WHOLE_AND_PARTS = {
    "iou masks": _iou_masks,
    "iou boxes": _iou_boxes,
    "merge": _merge,
    "toBoundary": _to_boundary,
    "frPyObjects polygons": _polygons_to_rles,
    "frBbox": _boxes_to_rles,
    "encode": _encode,
    "decode": _decode,
}


@pytest.mark.parametrize("case", WHOLE_AND_PARTS.values(), ids=WHOLE_AND_PARTS.keys())
def test_long_calls_equal_their_parts(case):
    whole, parts = case()
    if isinstance(whole, np.ndarray):
        assert whole.dtype == parts.dtype and np.array_equal(whole, parts)
    else:
        assert whole == parts


def test_a_failure_in_a_long_call_is_the_short_calls_failure():
    # An outline with too many crossings to rasterise, alone and among enough
    # others to make the call long: the same ValueError.
    bad = [v for k in range(200) for v in (0.0 if k % 2 == 0 else 99999.0, float(k))]
    with pytest.raises(ValueError) as alone:
        qm.frPyObjects([bad], 100000, 100000)
    with pytest.raises(ValueError) as among:
        qm.frPyObjects(_polygons(2000, 1000) + [bad], 100000, 100000)
    assert str(among.value) == str(alone.value)


def test_a_long_compact_load_equals_the_dict_route(tmp_path):
    # Files of several megabytes are read without the interpreter lock; the
    # numbers are those of the dict route, which reads them with it.
    import quillscore
    from _eval_data import large_bbox_lists
    from quillscore import COCO, COCOeval

    boxes, dets, _ = large_bbox_lists(6, images=300, cats=4, gts=20, dts=60)
    dataset = {"images": [{"id": i, "height": 600, "width": 600} for i in range(300)],
               "categories": [{"id": c, "name": str(c)} for c in range(4)],
               "annotations": [dict(a, id=k + 1, area=a["bbox"][2] * a["bbox"][3], iscrowd=0)
                               for k, a in enumerate(boxes)]}
    gt_path, dt_path = tmp_path / "gt.json", tmp_path / "dt.json"
    gt_path.write_text(json.dumps(dataset))
    dt_path.write_text(json.dumps(dets))
    assert min(gt_path.stat().st_size, dt_path.stat().st_size) > 2 << 20
    compact = quillscore.evaluate(gt_path, dt_path)
    gt = COCO(str(gt_path))
    E = COCOeval(gt, gt.loadRes(str(dt_path)), "bbox")
    E.evaluate(); E.accumulate(); E.summary()
    assert compact.stats.tolist() == E.stats.tolist()
