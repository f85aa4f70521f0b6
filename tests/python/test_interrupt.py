"""Ctrl-C during long native work, and fork() beside a run in progress.

Each case runs in a fresh interpreter under a time and an address-space
limit: on a fault it would hang or wait out the whole computation. A timer
sends the signal half a second into a call that would take several seconds;
the call must raise within about a second of it, leave no thread of its own
behind, and leave the objects usable with unchanged numbers.
"""

from __future__ import annotations

import functools
import json
from pathlib import Path

import numpy as np
import pytest

from _child import run_python
from quillscore import _vireo as qm

HERE = Path(__file__).resolve().parent
TIMEOUT = 180
MEMORY = 6 << 30
LATENCY = 1.0  # seconds from the signal to the exception

# A child script defines `long_call`, the result `expected` of a short call
# made before it, `again()` repeating that short call afterwards and `left()`,
# what results the interrupted object still shows; then EPILOGUE measures.
PRELUDE = """
import json, os, signal, sys, threading, time
import numpy as np
sys.path.insert(0, {here!r})

class Stop(Exception):
    pass

def stop(*_):
    raise Stop()

signal.signal(signal.SIGUSR1, stop)

def polygon(rng, size, k=16):
    c = rng.uniform(size * 0.3, size * 0.7, 2)
    t = np.linspace(0, 2 * np.pi, k, endpoint=False)
    r = rng.uniform(size * 0.2, size * 0.45) * (1 + 0.2 * rng.random(k))
    xy = np.clip(c + np.column_stack([r * np.cos(t), r * np.sin(t)]), 0, size - 1)
    return [round(float(v), 2) for v in xy.ravel()]

def same(a, b):
    if isinstance(a, np.ndarray) or isinstance(b, np.ndarray):
        return np.asarray(a).dtype == np.asarray(b).dtype and np.array_equal(a, b)
    if isinstance(a, list):
        return isinstance(b, list) and len(a) == len(b) and all(map(same, a, b))
    return a == b

left = lambda: False
""".format(here=str(HERE))

EPILOGUE = """
def threads():
    return len(os.listdir("/proc/self/task"))

def settled_threads():
    # The pool's workers start a moment after its first parallel work (the
    # short call made them): count once they are all there.
    n = threads()
    for _ in range(40):
        time.sleep(0.025)
        m = threads()
        if m == n:
            return n
        n = m
    return n

before = settled_threads()
timer = threading.Timer(0.5, os.kill, (os.getpid(), SIGNUM))
start = time.monotonic()
timer.start()
try:
    long_call()
    timer.cancel()
    latency = raised = None
except BaseException as e:  # a call that ignores the signal raises it once it returns
    latency, raised = time.monotonic() - start - 0.5, type(e).__name__
timer.join()
print(json.dumps(dict(latency=latency, raised=raised, grew=threads() - before, left=left(),
                      same=same(again(), expected))))
"""


def run_child(*argv: str) -> str:
    """Runs a fresh interpreter with these arguments under the limits, with a
    fixed pool width so that thread counts do not depend on the machine;
    returns its last line of output."""
    proc = run_python(argv, memory=MEMORY, timeout=TIMEOUT, cwd=HERE,
                      env_extra={"RAYON_NUM_THREADS": "2"})
    assert proc.returncode == 0, proc.stderr[-3000:]
    return proc.stdout.strip().splitlines()[-1]


# ------------------------------------------------------------------ Ctrl-C

# Evaluator construction waiting for the mask worker: after reading a few
# large boundary masks, or on a full channel while reading many smaller ones.
EVALUATE = """
from quillscore import COCO, COCOeval
images, size, per_image = {}
rng = np.random.default_rng(0)
polys = [polygon(rng, size) for _ in range(images * per_image)]
gt = COCO({{"images": [{{"id": i, "height": size, "width": size}} for i in range(images)],
           "categories": [{{"id": 1, "name": "thing"}}],
           "annotations": [{{"id": k + 1, "image_id": k // per_image, "category_id": 1, "iscrowd": 0,
                            "segmentation": [p], "area": 1e4, "bbox": [0, 0, 1, 1]}}
                           for k, p in enumerate(polys)]}})
dt = gt.loadRes([{{"image_id": k // per_image, "category_id": 1, "score": float(rng.random()),
                  "segmentation": [[v + 3 * (j % 2 == 0) for j, v in enumerate(p)]]}}
                 for k, p in enumerate(polys)])
E = COCOeval(gt, dt, "boundary")
def again():
    E.params.imgIds = [0, 1]
    E.evaluate(); E.accumulate()
    return E.eval["precision"]
expected = again()
E.params.imgIds = list(range(images))
long_call = E.evaluate
left = lambda: bool(E.eval)
"""

# Accumulation over many thresholds and detections. Thresholds are matched
# and accumulated independently, so a few evaluated on their own give the
# numbers the full run must have there.
ACCUMULATE = """
from quillscore import COCO, COCOeval
from _eval_data import large_bbox_lists
boxes, dets, _ = large_bbox_lists(3, images=1200, cats=1, gts=10, dts=100)
gt = COCO({"images": [{"id": i, "height": 600, "width": 600} for i in range(1200)],
           "categories": [{"id": 0, "name": "box"}],
           "annotations": [dict(a, id=k + 1, area=a["bbox"][2] * a["bbox"][3], iscrowd=0)
                           for k, a in enumerate(boxes)]})
dt = gt.loadRes(dets)
thresholds, picked = np.linspace(0.5, 0.95, 500), [0, 333, 499]
def evaluated(thrs):
    E = COCOeval(gt, dt, "bbox")
    E.params.iouThrs = thrs
    E.evaluate()
    return E
few = evaluated(thresholds[picked])
few.accumulate()
expected = few.eval["precision"]
E = evaluated(thresholds)
long_call = E.accumulate
left = lambda: bool(E.eval)
def again():
    E.accumulate()
    return E.eval["precision"][picked]
"""

# A mask function on many large masks, and a call of it on a few before and
# after (still long enough to be handed to a runner thread).
MASK_CALL = """
from quillscore import _vireo as qm
rng = np.random.default_rng(5)
{}
expected = call({})
long_call = lambda: call({})
again = lambda: call({})
"""
MASK_CALLS = {
    "toBoundary": ("rles = qm.frPyObjects([polygon(rng, 2000) for _ in range(1500)], 2000, 2000)\n"
                   "call = lambda n: qm.toBoundary(rles[:n])", 2, 1500),
    "iou": ("rles = qm.frPyObjects([polygon(rng, 1000) for _ in range(1600)], 1000, 1000)\n"
            "call = lambda n: qm.iou(rles[:n], rles, [0] * len(rles))", 50, 1600),
    "frPyObjects": ("polys = [polygon(rng, 8000, k=24) for _ in range(16000)]\n"
                    "call = lambda n: qm.frPyObjects(polys[:n], 8000, 8000)", 200, 16000),
}

# name: (script, signal, exception the call must raise)
INTERRUPTED = {
    "evaluate, large boundary masks": (EVALUATE.format((80, 2000, 10)), "SIGINT", "KeyboardInterrupt"),
    "evaluate, many boundary masks": (EVALUATE.format((2000, 500, 8)), "SIGINT", "KeyboardInterrupt"),
    # Whatever a signal handler raises comes out as promptly.
    "evaluate, handler raising": (EVALUATE.format((80, 2000, 10)), "SIGUSR1", "Stop"),
    "accumulate": (ACCUMULATE, "SIGINT", "KeyboardInterrupt"),
    **{f"mask {name}": (MASK_CALL.format(setup, short, full, short), "SIGINT", "KeyboardInterrupt")
       for name, (setup, short, full) in MASK_CALLS.items()},
}


@pytest.mark.parametrize("script, signum, exception", INTERRUPTED.values(), ids=INTERRUPTED.keys())
def test_a_long_call_stops_soon_after_a_signal(script, signum, exception):
    r = json.loads(run_child("-c", PRELUDE + script + f"SIGNUM = signal.{signum}\n" + EPILOGUE))
    assert r["latency"] is not None, "the call ended before the signal: make it longer"
    assert (r["raised"], r["latency"] < LATENCY) == (exception, True), r
    assert r["grew"] <= 0, "a thread outlived the interrupted call"
    # No results left behind, neither partial ones nor an earlier run's.
    assert r["left"] is False
    assert r["same"]


# -------------------------------------------------------------------- fork

FORK_BESIDE_A_RUN = PRELUDE + """
import warnings
from quillscore import _vireo as qm
from _eval_data import large_bbox_lists
warnings.simplefilter("ignore", DeprecationWarning)  # fork() beside threads
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
        ok = same(qm.Evaluator(sg, sd, {}, **sp).run()["precision"], expected)
        os._exit(0 if ok else 1)
    deadline = time.monotonic() + 30
    while not (done := os.waitpid(pid, os.WNOHANG))[0] and time.monotonic() < deadline:
        time.sleep(0.02)
    if not done[0]:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
    outcomes.append(os.waitstatus_to_exitcode(done[1]) if done[0] else "hung")
    busy.join()
print(json.dumps(outcomes))
"""


def test_fork_beside_a_run_in_progress():
    # The child of a process whose pool is mid-run evaluates and exits.
    assert json.loads(run_child("-c", FORK_BESIDE_A_RUN)) == [0, 0]


MULTIPROCESSING = PRELUDE + """
import multiprocessing
from quillscore import _vireo as qm
from _eval_data import large_bbox_lists

def precision(seed):
    gt, dt, params = large_bbox_lists(seed, images=30, cats=2)
    return qm.Evaluator(gt, dt, {}, **params).run()["precision"].tolist()

if __name__ == "__main__":
    # The parent has used its pool before the workers start.
    expected = [precision(s) for s in (1, 2, 3)]
    with multiprocessing.get_context(sys.argv[1]).Pool(2) as pool:
        print(pool.map(precision, (1, 2, 3)) == expected)
"""


@pytest.mark.parametrize("method", ["fork", "spawn", "forkserver"])
def test_multiprocessing_start_methods(method, tmp_path):
    script = tmp_path / "pool_job.py"  # spawned workers import the main module
    script.write_text(MULTIPROCESSING)
    assert run_child(str(script), method) == "True"


# ----------------------------------------- long calls give the short calls' results

@functools.cache
def _polygons(n, size, seed=9):
    rng = np.random.default_rng(seed)
    out = []
    for _ in range(n):
        c = rng.uniform(size * 0.2, size * 0.8, 2)
        t = np.linspace(0, 2 * np.pi, 20, endpoint=False)
        r = rng.uniform(size * 0.05, size * 0.3) * (1 + 0.3 * rng.random(20))
        out.append([float(v) for v in (c + np.column_stack([r * np.cos(t), r * np.sin(t)])).ravel()])
    return out


@functools.cache
def _masks(n, seed=9):
    return qm.frPyObjects(_polygons(n, 1000, seed), 1000, 1000)


@functools.cache
def _boxes(n, seed=4):
    rng = np.random.default_rng(seed)
    return np.column_stack([rng.uniform(0, 900, (n, 2)), rng.uniform(1, 300, (n, 2))])


# name: (a call large enough to be handed to a runner thread, the same result
# put together from calls small enough to run inline)
WHOLE_AND_PARTS = {
    "iou masks": lambda: (qm.iou(_masks(300), _masks(300, 10), [0, 1] * 150),
                          np.vstack([qm.iou([m], _masks(300, 10), [0, 1] * 150) for m in _masks(300)])),
    "iou boxes": lambda: (qm.iou(_boxes(1100), _boxes(1000, 5), [1, 0] * 500),
                          np.vstack([qm.iou(b[None], _boxes(1000, 5), [1, 0] * 500) for b in _boxes(1100)])),
    "merge": lambda: (qm.merge(_masks(3000)),
                      qm.merge([qm.merge(_masks(3000)[k:k + 100]) for k in range(0, 3000, 100)])),
    "toBoundary": lambda: (qm.toBoundary(_masks(5)), [qm.toBoundary([m])[0] for m in _masks(5)]),
    "frPyObjects": lambda: (qm.frPyObjects(_polygons(2000, 1000), 1000, 1000),
                            [qm.frPyObjects([p], 1000, 1000)[0] for p in _polygons(2000, 1000)]),
    "frBbox": lambda: (qm.frBbox(_boxes(2000), 1000, 1000),
                       [qm.frBbox(b[None], 1000, 1000)[0] for b in _boxes(2000)]),
    "decode": lambda: (qm.decode(_masks(3)), np.dstack([qm.decode([m]) for m in _masks(3)])),
    "encode": lambda: (qm.encode(a := np.asfortranarray(qm.decode(_masks(3)))),
                       [qm.encode(a[:, :, k:k + 1])[0] for k in range(3)]),
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
    # Box files of megabytes are read without the interpreter lock; the
    # numbers are those of the dict route.
    import quillscore
    from _eval_data import large_bbox_lists
    from quillscore import COCO, COCOeval

    boxes, dets, _ = large_bbox_lists(6, images=300, cats=4, gts=20, dts=60)
    gt_path, dt_path = tmp_path / "gt.json", tmp_path / "dt.json"
    gt_path.write_text(json.dumps({
        "images": [{"id": i, "height": 600, "width": 600} for i in range(300)],
        "categories": [{"id": c, "name": str(c)} for c in range(4)],
        "annotations": [dict(a, id=k + 1, area=a["bbox"][2] * a["bbox"][3], iscrowd=0)
                        for k, a in enumerate(boxes)]}))
    dt_path.write_text(json.dumps(dets))
    assert min(gt_path.stat().st_size, dt_path.stat().st_size) > 2 << 20
    gt = COCO(str(gt_path))
    E = COCOeval(gt, gt.loadRes(str(dt_path)), "bbox")
    E.evaluate()
    E.accumulate()
    E.summary()
    assert quillscore.evaluate(gt_path, dt_path).stats.tolist() == E.stats.tolist()
