"""Work whose size the caller chooses, under an address-space limit: what
cannot fit raises MemoryError naming the size and leaves the process and its
objects usable, and boundary bands cost memory by the mask's extent rather
than the image's size.

Each case runs in a child process under RLIMIT_AS and a timeout, since what
is guarded against is the process aborting."""

from __future__ import annotations

import textwrap

import pytest

from _child import run_python

GiB = 1 << 30

PRELUDE = """
import contextlib, io, math, os, resource
import numpy as np
import quillscore
from quillscore import COCO, COCOeval, mask

DATA = os.path.join(os.path.dirname(quillscore.__file__), "data")

def expect_memory_error(fn):
    try:
        fn()
    except MemoryError as e:
        print("MemoryError:", e, flush=True)
    else:
        print("no MemoryError", flush=True)

def sample():
    gt = COCO(os.path.join(DATA, "instances_val2014_100.json"))
    return gt, gt.loadRes(os.path.join(DATA, "fake_bbox_results.json"))

def stats(E):
    with contextlib.redirect_stdout(io.StringIO()):
        E.summarize()
    return E.stats.tolist()

def threads():
    return len(os.listdir("/proc/self/task"))

def rle_of(px, h, w, x0=0, y0=0):
    # The pixels `px` (rows, columns) placed at column x0, row y0 of an
    # h x w image, as an uncompressed RLE built from set-pixel positions.
    xs, ys = np.nonzero(px.T)
    pos = (xs.astype(np.int64) + x0) * h + ys + y0
    breaks = np.diff(pos) != 1
    starts, ends = pos[np.r_[True, breaks]], pos[np.r_[breaks, True]] + 1
    counts, prev = [], 0
    for s, e in zip(starts.tolist(), ends.tolist()):
        counts += [s - prev, e - s]
        prev = e
    if prev < h * w or not counts:
        counts.append(h * w - prev)
    return mask.frPyObjects({{"size": [h, w], "counts": counts}}, h, w)

def ratio_for(h, w, passes):
    return passes / math.sqrt(h * h + w * w)

def blobs(seed, h, w, n):
    # n masks of 30 x 20 pixels on an h x w canvas, with holes.
    rng = np.random.default_rng(seed)
    out = []
    for i in range(n):
        px = np.zeros((h, w), np.uint8)
        y, x = 5 + 12 * i, 4 + 15 * i
        px[y:y + 30, x:x + 20] = 1
        px[y:y + 30, x:x + 20] &= (rng.random((30, 20)) > 0.03).astype(np.uint8)
        out.append(px)
    return out
"""


def run_limited(body: str, limit: int = 4 * GiB, timeout: float = 300):
    code = PRELUDE.format(limit=limit) + textwrap.dedent(body)
    return run_python(["-c", code], memory=limit, timeout=timeout)


def check(proc, *expected_lines):
    assert proc.returncode == 0, f"exit {proc.returncode}\n{proc.stdout}\n{proc.stderr}"
    lines = proc.stdout.splitlines()
    for line in expected_lines:
        assert line in lines, f"{line!r} not in output:\n{proc.stdout}\n{proc.stderr}"


# (body, the MemoryError line): each body runs the failing call through
# expect_memory_error, then shows that the process and its objects still work.
EXHAUSTION = [
    pytest.param("""
        expect_memory_error(lambda: mask.iou(np.zeros((50000, 4)), np.zeros((50000, 4)), [0] * 50000))
        one = np.array([[0.0, 0.0, 2.0, 2.0]])
        assert mask.iou(one, one, [0]).tolist() == [[1.0]]
        print("usable")
    """, "MemoryError: memory allocation of 20000000000 bytes failed", id="box-iou-matrix"),
    pytest.param("""
        gt, dt = sample()
        E = COCOeval(gt, dt, "bbox")
        E.evaluate(); E.accumulate()
        want = stats(E)
        E.params.iouThrs = np.linspace(.5, .95, 1000)
        E.params.recThrs = np.linspace(0, 1, 1001)
        E.evaluate()
        expect_memory_error(E.accumulate)
        E.params.iouThrs = np.linspace(.5, .95, 10)
        E.params.recThrs = np.linspace(0, 1, 101)
        E.evaluate(); E.accumulate()
        assert stats(E) == want
        print("usable")
    """, "MemoryError: memory allocation of 7687680000 bytes failed", id="accumulate-thresholds"),
    pytest.param("""
        # Two categories, so that each slot's own arrays are allocated inside a
        # pool task; the limit leaves room for the run's result arrays (four
        # slot-sized arrays) and not for one more.
        gt, dt = sample()
        cats = sorted(gt.getCatIds())[:2]
        E = COCOeval(gt, dt, "bbox")
        E.params.catIds = cats
        E.evaluate(); E.accumulate()
        want = E.eval["precision"].copy()
        big = COCOeval(gt, dt, "bbox")
        big.params.catIds = cats
        big.params.iouThrs = np.linspace(.5, .95, 1800)
        big.params.recThrs = np.linspace(0, 1, 1800)
        big.evaluate()
        cell = 1800 * 1800 * 4 * 3 * 8
        vm = int(open("/proc/self/status").read().split("VmSize:")[1].split()[0]) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (vm + 4 * cell + cell // 2, {limit}))
        before = threads()
        expect_memory_error(big.accumulate)
        resource.setrlimit(resource.RLIMIT_AS, ({limit}, {limit}))
        assert threads() == before
        rows, _ = big.per_instance(0, 0, 100)
        assert len(rows["dt_id"]) > 0
        E.evaluate(); E.accumulate()
        assert np.array_equal(E.eval["precision"], want)
        print("usable")
    """, f"MemoryError: memory allocation of {1800 * 1800 * 4 * 3 * 8} bytes failed",
        id="accumulate-in-pool-task"),
    pytest.param("""
        H = W = 65535
        whole = [[0, 0, W, 0, W, H, 0, H]]
        expect_memory_error(lambda: mask.toBoundary(mask.frPyObjects(whole, H, W)))
        small = mask.toBoundary(mask.frPyObjects([[0, 0, 10, 0, 10, 10, 0, 10]], 20, 20))
        assert mask.area(small).tolist() == [100 - 8 * 8]
        print("usable")
    """, "MemoryError: memory allocation of 4294836225 bytes failed", id="boundary-of-a-huge-mask"),
    pytest.param("""
        # The band is built by the mask worker thread, in pool tasks.
        H = W = 65535
        whole = [[0, 0, W, 0, W, H, 0, H]]
        gt = COCO({"images": [{"id": 1, "height": H, "width": W}],
                   "categories": [{"id": 1, "name": "thing"}],
                   "annotations": [{"id": 1, "image_id": 1, "category_id": 1, "iscrowd": 0,
                                    "area": float(H * W), "bbox": [0, 0, W, H],
                                    "segmentation": whole}]})
        dt = gt.loadRes([{"image_id": 1, "category_id": 1, "score": 0.9, "segmentation": whole}])
        S = COCOeval(gt, dt, "segm")
        S.evaluate(); S.accumulate()
        before = threads()
        E = COCOeval(gt, dt, "boundary")
        expect_memory_error(E.evaluate)
        assert threads() == before
        S.evaluate(); S.accumulate()
        assert stats(S)[0] > 0.99
        print("usable")
    """, "MemoryError: memory allocation of 4294836225 bytes failed", id="boundary-evaluation"),
    pytest.param("""
        expect_memory_error(lambda: mask.decode(mask.frPyObjects([[0, 0, 10, 0, 10, 10]], 100000, 100000)))
        assert mask.decode(mask.frPyObjects([[0, 0, 4, 0, 4, 4, 0, 4]], 8, 8)).sum() > 0
        print("usable")
    """, "MemoryError: memory allocation of 10000000000 bytes failed", id="decoded-stack"),
]


@pytest.mark.parametrize("body, error", EXHAUSTION)
def test_exhaustion_raises_memory_error(body, error):
    check(run_limited(body.replace("{limit}", str(4 * GiB))), error, "usable")


# Bodies that must finish under the limit: small masks on images far too
# large to hold as bytes, compared with the same masks on a small canvas.
BOUNDARY_EXTENT = [
    pytest.param("""
        # The band of a mask depends on the image only through the number of
        # erosion passes: the same masks, moved onto a huge image, get the
        # same band moved there.
        H = W = 40000
        ox, oy, ch, cw = 17000, 23000, 90, 90
        for px in blobs(1, ch, cw, 4):
            big = mask.toBoundary([rle_of(px, H, W, ox, oy)], ratio_for(H, W, 2))[0]
            small = mask.toBoundary([rle_of(px, ch, cw)], ratio_for(ch, cw, 2))[0]
            band = mask.decode(small)
            assert 0 < band.sum() < px.sum()
            assert big == rle_of(band, H, W, ox, oy), "band differs from the small canvas"
        print("done")
    """, id="toBoundary-40000x40000"),
    pytest.param("""
        # A 10-pixel triangle on a 100000x100000 image: with passes far beyond
        # its size, all of it is band.
        tri = mask.frPyObjects([[0, 0, 10, 0, 10, 10]], 100000, 100000)
        band = mask.toBoundary(tri)
        assert mask.area(band).tolist() == mask.area(tri).tolist()
        assert mask.toBbox(band).tolist() == mask.toBbox(tri).tolist()
        print("done")
    """, id="toBoundary-100000x100000"),
    pytest.param("""
        # Boundary evaluation of four 30x20 masks placed on a huge image and on
        # a small canvas, with dilations giving the same passes: equal results.
        def evaluation(h, w, ox, oy, dilation):
            gts = blobs(2, 90, 90, 4)
            dts = [np.roll(px, (i % 3, 1), axis=(0, 1)) for i, px in enumerate(gts)]
            anns = [{"id": i + 1, "image_id": 1, "category_id": 1, "iscrowd": 0,
                     "area": float(px.sum()), "bbox": [0, 0, 1, 1],
                     "segmentation": rle_of(px, h, w, ox, oy)} for i, px in enumerate(gts)]
            gt = COCO({"images": [{"id": 1, "height": h, "width": w}],
                       "categories": [{"id": 1, "name": "thing"}], "annotations": anns})
            dt = gt.loadRes([{"image_id": 1, "category_id": 1, "score": 0.5 + 0.1 * i,
                              "segmentation": rle_of(px, h, w, ox, oy)} for i, px in enumerate(dts)])
            E = COCOeval(gt, dt, "boundary")
            E.params.boundary_dilation = dilation
            E.evaluate(); E.accumulate()
            return E.eval["precision"], stats(E)
        H = W = 40000
        big = evaluation(H, W, 31000, 5000, ratio_for(H, W, 2))
        small = evaluation(90, 90, 0, 0, ratio_for(90, 90, 2))
        assert np.array_equal(big[0], small[0]) and big[1] == small[1]
        assert 0 < small[1][0] < 1
        print("done")
    """, id="boundary-evaluation-40000x40000"),
]


@pytest.mark.parametrize("body", BOUNDARY_EXTENT)
def test_boundary_memory_follows_the_mask(body):
    check(run_limited(body), "done")
