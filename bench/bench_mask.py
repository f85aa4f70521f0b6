"""Speed of the mask toolkit of quillscore._vireo next to pycocotools.mask.

Both libraries get the very same inputs in one process: synthetic COCO-scale
data (640x480 images, 100 detections x 20 ground truths, object-like
polygons of 20 to 60 vertices; seeded) and the real val2014 sample in
../shared/data/coco_val2014_100 beside the checkout. Every case is timed as the best of
several runs of N calls, N chosen so that one run takes at least the target
time, with the two libraries interleaved run by run. Before timing, each
case checks that both libraries return the same result.

    python bench/bench_mask.py            # full run
    python bench/bench_mask.py --quick    # smoke run, a few seconds

Boundary bands have no counterpart in pycocotools: their times (toBoundary
and boundary evaluation on ordinary images) and the memory of small masks on
a huge image, each measured in a fresh process, are reported on their own.

ratio = reference time / our time: above 1 we are faster.
"""

from __future__ import annotations

import argparse
import gc
import json
import math
import os
import platform
import sys
import time
from collections import defaultdict
from dataclasses import dataclass, field
from importlib import metadata
from types import SimpleNamespace
from typing import Any, Callable

import numpy as np

try:
    from pycocotools import _mask as ref_ext
    from pycocotools import mask as ref_api
except ImportError:  # pragma: no cover - environment problem, not a result
    sys.exit("bench_mask.py needs pycocotools (pip install pycocotools) as the reference")

# The reference as COCO code calls it: the public pycocotools.mask functions,
# and the extension module for the three that pycocotools.mask does not
# re-export.
ref = SimpleNamespace(
    encode=ref_api.encode, decode=ref_api.decode, area=ref_api.area, toBbox=ref_api.toBbox,
    merge=ref_api.merge, iou=ref_api.iou, frPyObjects=ref_api.frPyObjects,
    frPoly=ref_ext.frPoly, frBbox=ref_ext.frBbox, frUncompressedRLE=ref_ext.frUncompressedRLE,
)

from quillscore import _vireo as ours

H, W = 480, 640
N_DT, N_GT = 100, 20
N_MERGE = 8
SEED = 20240607
DATA = os.environ.get(
    "QUILLSCORE_DATA",
    os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "shared", "data",
                 "coco_val2014_100"))

# Speed targets, as ratios reference / ours, by function.
STRICT = 1.5
TARGET = {"iou (RLE)": STRICT, "merge": STRICT, "decode": STRICT, "frPyObjects (polygons)": STRICT}


# --------------------------------------------------------------------- inputs


def object_polygon(rng: np.random.Generator, k: int) -> list[float]:
    """A closed outline of k vertices shaped like a COCO object: a rotated,
    perturbed ellipse or a star, of a size between a few pixels and a good
    part of the image, inside the image."""
    # Object sizes are spread over orders of magnitude in COCO (small,
    # medium and large areas are all common), so draw the radius log-uniform.
    r = math.exp(rng.uniform(math.log(5.0), math.log(170.0)))
    aspect = rng.uniform(0.4, 2.5)
    rx, ry = r * math.sqrt(aspect), r / math.sqrt(aspect)
    cx = rng.uniform(0, W - 1)
    cy = rng.uniform(0, H - 1)
    rot = rng.uniform(0, 2 * math.pi)
    t = (np.arange(k) + rng.uniform(-0.35, 0.35, k)) * (2 * math.pi / k)
    if rng.random() < 0.3:
        # Star: alternating outer and inner radius (limbs, branches).
        f = np.where(np.arange(k) % 2 == 0, 1.0, rng.uniform(0.35, 0.7))
        f = f * rng.uniform(0.9, 1.1, k)
    else:
        # Perturbed ellipse: a few smooth bumps plus vertex noise.
        f = 1.0 + sum(
            rng.uniform(0, 0.12) * np.cos(j * t + rng.uniform(0, 2 * math.pi)) for j in (2, 3, 5)
        )
        f = f * rng.uniform(0.95, 1.05, k)
    x = rx * f * np.cos(t)
    y = ry * f * np.sin(t)
    xs = cx + x * math.cos(rot) - y * math.sin(rot)
    ys = cy + x * math.sin(rot) + y * math.cos(rot)
    xs = np.clip(xs, 0, W - 1)
    ys = np.clip(ys, 0, H - 1)
    # COCO polygons carry two decimals.
    return [round(float(v), 2) for v in np.column_stack([xs, ys]).ravel()]


def perturbed(rng: np.random.Generator, poly: list[float]) -> list[float]:
    """A detection of the object outlined by poly: shifted, rescaled, noisy."""
    p = np.asarray(poly).reshape(-1, 2)
    c = p.mean(axis=0)
    size = max(np.ptp(p[:, 0]), np.ptp(p[:, 1]), 1.0)
    p = c + (p - c) * rng.uniform(0.8, 1.2) + rng.normal(0, 0.08 * size, 2)
    p = p + rng.normal(0, 0.02 * size, p.shape)
    p[:, 0] = np.clip(p[:, 0], 0, W - 1)
    p[:, 1] = np.clip(p[:, 1], 0, H - 1)
    return [round(float(v), 2) for v in p.ravel()]


def uncompressed(mask: np.ndarray) -> list[int]:
    """Run lengths of a (h, w) 0/1 mask in column-major order, as ints."""
    flat = np.asarray(mask, dtype=np.uint8).ravel(order="F")
    edges = np.flatnonzero(np.diff(flat)) + 1
    bounds = np.concatenate([[0], edges, [flat.size]])
    runs = np.diff(bounds).tolist()
    return ([0] + runs) if flat.size and flat[0] else runs


@dataclass
class Inputs:
    gt_polys: list[list[float]]
    dt_polys: list[list[float]]
    gt_rles: list[dict]
    dt_rles: list[dict]
    crowd: list[int]
    gt_boxes: np.ndarray
    dt_boxes: np.ndarray
    dense: np.ndarray
    merge_group: list[dict]
    uc_dicts: list[dict]
    real_polys: list[tuple[list[list[float]], int, int]] = field(default_factory=list)
    real_results: list[list[dict]] = field(default_factory=list)


def make_inputs(seed: int) -> Inputs:
    rng = np.random.default_rng(seed)
    gt_polys = [object_polygon(rng, int(rng.integers(20, 61))) for _ in range(N_GT)]
    # Detections: most of them near a ground-truth object (several per
    # object, as a detector's ranked list has), the rest anywhere.
    dt_polys = []
    for i in range(N_DT):
        if i < 80:
            dt_polys.append(perturbed(rng, gt_polys[i % N_GT]))
        else:
            dt_polys.append(object_polygon(rng, int(rng.integers(20, 61))))
    # Masks are built by the reference once; both libraries then read them.
    gt_rles = [ref.frPyObjects([p], H, W)[0] for p in gt_polys]
    dt_rles = [ref.frPyObjects([p], H, W)[0] for p in dt_polys]
    crowd = [int(v) for v in rng.random(N_GT) < 0.2]
    dense = np.asfortranarray(ref.decode(gt_rles))
    # Overlapping masks of one object: its ground truth and detections of it.
    merge_polys = [gt_polys[0]] + [perturbed(rng, gt_polys[0]) for _ in range(N_MERGE - 1)]
    merge_group = [ref.frPyObjects([p], H, W)[0] for p in merge_polys]
    uc_dicts = [{"size": [H, W], "counts": uncompressed(dense[:, :, i])} for i in range(N_GT)]
    dt_boxes = np.ascontiguousarray(ref.toBbox(dt_rles), dtype=np.float64)
    gt_boxes = np.ascontiguousarray(ref.toBbox(gt_rles), dtype=np.float64)
    return Inputs(gt_polys, dt_polys, gt_rles, dt_rles, crowd, gt_boxes, dt_boxes, dense,
                  merge_group, uc_dicts)


def load_real(inputs: Inputs) -> bool:
    ann_path = os.path.join(DATA, "instances_val2014_100.json")
    res_path = os.path.join(DATA, "fake_segm_results.json")
    if not (os.path.exists(ann_path) and os.path.exists(res_path)):
        return False
    with open(ann_path) as f:
        gt = json.load(f)
    sizes = {im["id"]: (im["height"], im["width"]) for im in gt["images"]}
    for a in gt["annotations"]:
        seg = a["segmentation"]
        if isinstance(seg, list):
            h, w = sizes[a["image_id"]]
            inputs.real_polys.append((seg, h, w))
    with open(res_path) as f:
        res = json.load(f)
    per_image: dict[int, list[dict]] = defaultdict(list)
    for r in res:
        per_image[r["image_id"]].append(r["segmentation"])
    inputs.real_results = [per_image[k] for k in sorted(per_image)]
    return True


# ---------------------------------------------------------------------- cases


@dataclass
class Case:
    function: str  # the name targets are keyed by
    description: str
    run_ref: Callable[[], Any]
    run_ours: Callable[[], Any]


def rasterise_annotations(lib, items):
    def run():
        out = []
        for seg, h, w in items:
            out.append(lib.merge(lib.frPyObjects(seg, h, w)))
        return out

    return run


def iou_per_image(lib, groups):
    def run():
        return [lib.iou(g, g, [0] * len(g)) for g in groups]

    return run


def make_cases(inp: Inputs, real: bool) -> list[Case]:
    hw = f"{W}x{H}"
    cases = []

    def add(function, description, make):
        cases.append(Case(function, description, make(ref), make(ours)))

    add("encode", f"{N_GT} object masks {hw}, uint8 Fortran",
        lambda lib: (lambda: lib.encode(inp.dense)))
    add("decode", f"{N_GT} RLEs {hw}", lambda lib: (lambda: lib.decode(inp.gt_rles)))
    add("area", f"{N_DT} RLEs {hw}", lambda lib: (lambda: lib.area(inp.dt_rles)))
    add("toBbox", f"{N_DT} RLEs {hw}", lambda lib: (lambda: lib.toBbox(inp.dt_rles)))
    add("merge", f"union of {N_MERGE} RLEs of one object (GT + detections)",
        lambda lib: (lambda: lib.merge(inp.merge_group, 0)))
    add("merge", f"intersection of {N_MERGE} RLEs of one object",
        lambda lib: (lambda: lib.merge(inp.merge_group, 1)))
    add("iou (boxes)", f"{N_DT}x{N_GT} boxes, float64 Nx4, crowd flags",
        lambda lib: (lambda: lib.iou(inp.dt_boxes, inp.gt_boxes, inp.crowd)))
    add("iou (RLE)", f"{N_DT}x{N_GT} RLEs, crowd flags",
        lambda lib: (lambda: lib.iou(inp.dt_rles, inp.gt_rles, inp.crowd)))
    add("frPoly", f"{N_GT} polygons, 20-60 vertices",
        lambda lib: (lambda: lib.frPoly(inp.gt_polys, H, W)))
    add("frBbox", f"{N_DT} boxes, float64 Nx4", lambda lib: (lambda: lib.frBbox(inp.dt_boxes, H, W)))
    add("frPyObjects (polygons)", f"list of {N_GT} polygons",
        lambda lib: (lambda: lib.frPyObjects(inp.gt_polys, H, W)))
    # The reference takes boxes only as an array here (a list of lists
    # raises TypeError), so both get the array.
    add("frPyObjects (boxes)", f"{N_DT} boxes, float64 Nx4",
        lambda lib: (lambda: lib.frPyObjects(inp.dt_boxes, H, W)))
    add("frPyObjects (uncompressed)", f"{N_GT} uncompressed RLE dicts",
        lambda lib: (lambda: lib.frPyObjects(inp.uc_dicts, H, W)))
    add("frUncompressedRLE", f"{N_GT} uncompressed RLE dicts",
        lambda lib: (lambda: lib.frUncompressedRLE(inp.uc_dicts, H, W)))
    if real:
        add("frPyObjects (polygons)",
            f"val2014: {len(inp.real_polys)} polygon annotations, frPyObjects + merge each",
            lambda lib: rasterise_annotations(lib, inp.real_polys))
        n_res = sum(len(g) for g in inp.real_results)
        add("iou (RLE)", f"val2014 fake segm: {n_res} RLEs, iou per image ({len(inp.real_results)})",
            lambda lib: iou_per_image(lib, inp.real_results))
    return cases


# ---------------------------------------------------------------- comparison


def same(a, b) -> bool:
    """Equal results, whatever container the two libraries chose."""
    if isinstance(a, dict) and isinstance(b, dict):
        return list(a["size"]) == list(b["size"]) and bytes(a["counts"]) == bytes(b["counts"])
    if isinstance(a, np.ndarray) or isinstance(b, np.ndarray):
        a, b = np.asarray(a), np.asarray(b)
        return a.shape == b.shape and np.array_equal(a, b)
    if isinstance(a, (list, tuple)) and isinstance(b, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return a == b


# -------------------------------------------------------------------- timing


def timed(fn: Callable[[], Any], n: int) -> float:
    gc.collect()
    gc.disable()
    try:
        t0 = time.perf_counter()
        for _ in range(n):
            fn()
        return time.perf_counter() - t0
    finally:
        gc.enable()


def calls_per_run(case: Case, target: float) -> int:
    """Smallest power-of-two-ish N for which the faster side needs >= target."""
    n = 1
    while True:
        t = min(timed(case.run_ref, n), timed(case.run_ours, n))
        if t >= target:
            return n
        n = max(2 * n, int(math.ceil(n * 1.2 * target / max(t, 1e-7))))


def measure(case: Case, target: float, repeats: int) -> tuple[float, float, int]:
    n = calls_per_run(case, target)
    best_ref = best_ours = math.inf
    for r in range(repeats):
        # Alternate who goes first so neither side always runs on a warm cache.
        if r % 2 == 0:
            best_ref = min(best_ref, timed(case.run_ref, n))
            best_ours = min(best_ours, timed(case.run_ours, n))
        else:
            best_ours = min(best_ours, timed(case.run_ours, n))
            best_ref = min(best_ref, timed(case.run_ref, n))
    return best_ref / n, best_ours / n, n


def fmt_time(s: float) -> str:
    if s >= 1:
        return f"{s:.3f} s"
    if s >= 1e-3:
        return f"{s * 1e3:.3f} ms"
    return f"{s * 1e6:.2f} us"


def fmt_bytes(b: int) -> str:
    for unit in ("B", "KiB", "MiB", "GiB"):
        if b < 1024 or unit == "GiB":
            return f"{b:.0f} {unit}" if unit == "B" else f"{b:.1f} {unit}"
        b /= 1024
    return str(b)


def table(header: list[str], rows: list[list[str]], right: set[int]) -> None:
    widths = [max(len(r[i]) for r in [header] + rows) for i in range(len(header))]

    def line(r):
        return "  ".join(c.rjust(w) if i in right else c.ljust(w)
                         for i, (c, w) in enumerate(zip(r, widths))).rstrip()

    print(line(header))
    print("  ".join("-" * w for w in widths))
    for r in rows:
        print(line(r))


def memory_report(cases: list[Case]) -> None:
    stats = ours.alloc_stats()
    if not stats["enabled"]:
        print("memory: allocation counting is disabled in this build of quillscore._vireo "
              "(alloc_stats()['enabled'] is False); rebuild with the alloc-stats option for peaks")
        return
    rows = []
    for c in cases:
        gc.collect()
        ours.reset_alloc_peak()
        before = ours.alloc_stats()
        result = c.run_ours()
        after = ours.alloc_stats()
        del result
        rows.append([c.function, c.description,
                     fmt_bytes(after["peak_bytes"] - before["live_bytes"]),
                     str(after["allocations"] - before["allocations"])])
    print("memory of quillscore._vireo per call (peak above the live bytes before the call):")
    table(["function", "input", "peak", "allocations"], rows, {2, 3})


# ------------------------------------------------------------ boundary bands

HUGE = 20000  # side of the image the small masks of the memory case sit on


def huge_image_masks() -> list[dict]:
    """Four 30x20 masks spread over a HUGE x HUGE image."""
    return ours.frPyObjects([[x, y, x + 20, y, x + 20, y + 30, x, y + 30]
                             for x, y in [(100, 200), (7000, 13000), (15000, 900), (19970, 19960)]],
                            HUGE, HUGE)


def boundary_worker(kind: str) -> dict:
    """One memory case in this (fresh) process: resident-set growth and time."""
    from _bench import reset_peak, rss_kib

    masks = huge_image_masks()
    if kind == "toBoundary":
        def run():
            return ours.toBoundary(masks, 0.02)
    else:
        anns = [{"id": i + 1, "image_id": 1, "category_id": 1, "iscrowd": 0, "area": 600.0,
                 "bbox": [0, 0, 1, 1], "segmentation": m, "score": 1.0}
                for i, m in enumerate(masks)]

        def run():
            ev = ours.Evaluator(anns, anns, {1: (HUGE, HUGE)}, [1], [1], [0.5], [0.0, 1.0], [100],
                                [[0.0, 1e10]], True, "boundary", [])
            return ev.run()
    gc.collect()
    reset_peak()
    base = rss_kib("VmRSS")
    t0 = time.perf_counter()
    run()
    seconds = time.perf_counter() - t0
    return {"seconds": seconds, "peak_mib": (rss_kib("VmHWM") - base) / 1024}


def boundary_report(inp: Inputs, real: bool, target: float, repeats: int) -> None:
    from _bench import in_fresh_process

    rows = []

    def timing(what, fn):
        n = 1
        while timed(fn, n) < target:
            n *= 2
        best = min(timed(fn, n) for _ in range(repeats)) / n
        rows.append([what, fmt_time(best)])

    hw = f"{W}x{H}"
    timing(f"toBoundary, {N_DT} RLEs {hw}", lambda: ours.toBoundary(inp.dt_rles, 0.02))
    if real:
        masks = [ours.merge(ours.frPyObjects(seg, h, w)) for seg, h, w in inp.real_polys]
        timing(f"toBoundary, val2014: {len(masks)} annotation masks",
               lambda: ours.toBoundary(masks, 0.02))
        anns, sizes = [], {}
        for i, (seg, h, w) in enumerate(inp.real_polys):
            # One image per annotation, so that masks meet their own kind.
            sizes[i] = (h, w)
            anns.append({"id": i + 1, "image_id": i, "category_id": 1, "iscrowd": 0,
                         "area": 1000.0, "bbox": [0, 0, 1, 1], "segmentation": seg, "score": 1.0})
        ids = sorted(sizes)

        def evaluation():
            ev = ours.Evaluator(anns, anns, sizes, ids, [1], [0.5 + 0.05 * t for t in range(10)],
                                [r / 100 for r in range(101)], [1, 10, 100],
                                [[0.0, 1e10], [0.0, 1024.0], [1024.0, 9216.0], [9216.0, 1e10]],
                                True, "boundary", [])
            return ev.run()

        timing(f"boundary Evaluator + run, val2014: {len(anns)} masks as GT and detections",
               evaluation)
    print("boundary bands (quillscore only), time per call:")
    table(["case", "ours"], rows, {1})
    print()
    mem_rows = []
    for kind in ("toBoundary", "evaluation"):
        r = in_fresh_process(os.path.abspath(__file__), kind)
        if r is not None:
            mem_rows.append([f"{kind}, 4 masks of 30x20 on {HUGE}x{HUGE}", fmt_time(r["seconds"]),
                             f"{r['peak_mib']:.1f} MiB"])
    print("small masks on a huge image, fresh process (peak: resident-set growth):")
    table(["case", "time", "peak"], mem_rows, {1, 2})


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="smoke run: short runs, 2 repeats")
    ap.add_argument("--seed", type=int, default=SEED)
    ap.add_argument("--worker", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.worker:
        print(json.dumps(boundary_worker(args.worker)))
        return 0
    target, repeats = (0.005, 2) if args.quick else (0.05, 5)

    inputs = make_inputs(args.seed)
    real = load_real(inputs)
    cases = make_cases(inputs, real)

    print(f"quillscore._vireo vs pycocotools {metadata.version('pycocotools')} | "
          f"numpy {np.__version__} | Python {platform.python_version()} | "
          f"{platform.machine()} x{os.cpu_count()} | seed {args.seed}")
    print(f"timing: best of {repeats} runs of N calls, N so that a run takes >= "
          f"{target * 1e3:.0f} ms, libraries interleaved; time per call"
          + ("  [--quick]" if args.quick else ""))
    if not real:
        print(f"note: real data not found under {DATA}; synthetic cases only")
    print()

    rows, misses, mismatches = [], [], []
    for c in cases:
        agree = same(c.run_ref(), c.run_ours())
        if not agree:
            mismatches.append(c)
        t_ref, t_ours, n = measure(c, target, repeats)
        ratio = t_ref / t_ours
        goal = TARGET.get(c.function, 1.0)
        ok = ratio >= goal
        if not ok:
            misses.append((c, ratio, goal))
        rows.append([c.function, c.description, fmt_time(t_ref), fmt_time(t_ours),
                     f"{ratio:.2f}", f">={goal:.1f} {'ok' if ok else 'MISS'}",
                     str(n), "yes" if agree else "NO"])
    table(["function", "input", "reference", "ours", "ratio", "target", "N", "same"],
          rows, {2, 3, 4, 6})
    print()
    memory_report(cases)
    print()
    boundary_report(inputs, real, target, repeats)
    print()
    print(f"targets: {len(cases) - len(misses)}/{len(cases)} met "
          f"(every function >= 1.0; iou on RLEs, merge, decode, frPyObjects on polygons "
          f">= {STRICT})")
    for c, ratio, goal in misses:
        print(f"  below target: {c.function} [{c.description}]: {ratio:.2f} < {goal:.1f}")
    for c in mismatches:
        print(f"  results differ from the reference: {c.function} [{c.description}]")
    return 0


if __name__ == "__main__":
    sys.exit(main())
