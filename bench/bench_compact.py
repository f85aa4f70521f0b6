"""Speed of compact box storage: load_compact_bbox against the interpreter's
json module and orjson, and a whole box evaluation from files against the
reference COCO API and faster-coco-eval.

On the benchmark generator's files (bench/data/instances.json, ground truth,
and bench/data/results_bbox.json, ~470k detections; generated on first use):

  load_compact_bbox(results, results=True)   vs json.load(open(path)) and
                                                orjson.loads(bytes already read)
  load_compact_bbox(instances)               the same for the dataset file
  column_bytes per detection                 (56 expected)

  end to end, each tool in a fresh process, from the file paths:
    quillscore        load_compact_bbox of both files, Evaluator(...), run()
    pycocotools       COCO(gt), loadRes(dt), COCOeval.evaluate(), accumulate()
    faster-coco-eval  COCO(gt), loadRes(dt), COCOeval_faster.evaluate(), accumulate()

Load timings are the best of several runs, contenders interleaved, with a
full collection (untimed) before each. End-to-end timings are one run each
(the reference pipeline takes minutes), quillscore's the best of three.

    python bench/bench_compact.py            # full run
    python bench/bench_compact.py --quick    # fewer repeats, no reference API

Ratios are other time / our time: above 1 we are
faster. The script ends with the targets and whether each was met.
"""

from __future__ import annotations

import argparse
import contextlib
import gc
import io
import json
import os
import platform
import sys
import time

from _bench import DATA, best_times, ensure_data, in_fresh_process, report_targets

GT, DT = DATA / "instances.json", DATA / "results_bbox.json"
TOOLS = ["quillscore", "pycocotools", "faster-coco-eval"]


def coco_params():
    """The reference protocol's default box parameters."""
    import numpy as np

    return dict(
        iou_thrs=[float(t) for t in np.linspace(0.5, 0.95, 10)],
        rec_thrs=[float(r) for r in np.linspace(0.0, 1.0, 101)],
        max_dets=[1, 10, 100],
        area_rng=[[0.0, 1e10], [0.0, 32.0**2], [32.0**2, 96.0**2], [96.0**2, 1e10]],
        use_cats=True,
        iou_type="bbox",
        kpt_sigmas=[],
    )


def end_to_end(tool: str) -> float:
    """Seconds for the whole pipeline from the two paths, in this process."""
    gt_path, dt_path = str(GT), str(DT)
    if tool == "quillscore":
        from quillscore import _vireo as v

        params = coco_params()

        def pipeline():
            members, gt = v.load_compact_bbox(gt_path)
            _, dt = v.load_compact_bbox(dt_path, results=True)
            img_ids = sorted(im["id"] for im in members["images"])
            cat_ids = sorted(c["id"] for c in members["categories"])
            return v.Evaluator(gt, dt, {}, img_ids, cat_ids, **params).run()

        pipeline()  # warm the worker pool and the page cache
        best = float("inf")
        for _ in range(3):
            gc.collect()
            t0 = time.perf_counter()
            out = pipeline()
            best = min(best, time.perf_counter() - t0)
            del out
        return best
    if tool == "pycocotools":
        from pycocotools.coco import COCO
        from pycocotools.cocoeval import COCOeval as Eval
    else:
        from faster_coco_eval import COCO
        from faster_coco_eval import COCOeval_faster as Eval
    gc.collect()
    with contextlib.redirect_stdout(io.StringIO()):
        t0 = time.perf_counter()
        gt = COCO(gt_path)
        dt = gt.loadRes(dt_path)
        e = Eval(gt, dt, "bbox")
        e.evaluate()
        e.accumulate()
        return time.perf_counter() - t0


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="fewer repeats, no reference API")
    ap.add_argument("--worker", metavar="TOOL", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.worker:
        print(json.dumps({"seconds": end_to_end(args.worker)}))
        return 0
    ensure_data()
    from quillscore import _vireo as v

    try:
        import orjson
    except ImportError:  # pragma: no cover - environment problem, not a result
        sys.exit("orjson is not installed: pip install orjson (the Makefile's venv has it)")

    repeats = 2 if args.quick else 7
    print(f"python {platform.python_version()}, orjson {orjson.__version__}, "
          f"{os.cpu_count()} CPUs, gc {'on' if gc.isenabled() else 'off'}")
    checks = []

    for path, results in ((DT, True), (GT, False)):
        p = str(path)
        data = path.read_bytes()
        mb = len(data) / 1e6
        _, compact = v.load_compact_bbox(p, results=results)
        n = compact.annotation_count
        t = best_times({
            "load_compact_bbox": lambda: v.load_compact_bbox(p, results=results),
            "json.load": lambda: json.load(open(p)),
            "orjson": lambda: orjson.loads(data),
        }, repeats)
        print(f"\n{path.name}: {mb:.1f} MB, {n} records, column_bytes {compact.column_bytes} "
              f"({compact.column_bytes / max(n, 1):g} per record)")
        print(f"  {'function':<48} {'ms':>9} {'MB/s':>9} {'ratio':>7}")
        for fn, label in [("load_compact_bbox", f"load_compact_bbox(path, results={results})"),
                          ("json.load", "json.load(open(path))"),
                          ("orjson", "orjson.loads(bytes)")]:
            ratio = "" if fn == "load_compact_bbox" else f"{t[fn] / t['load_compact_bbox']:7.2f}"
            print(f"  {label:<48} {t[fn] * 1e3:9.1f} {mb / t[fn]:9.0f} {ratio:>7}")
        if results:
            checks.append(("results: load_compact_bbox >= 4x faster than orjson.loads",
                           t["orjson"] / t["load_compact_bbox"], 4.0))
            checks.append(("results: load_compact_bbox >= 15x faster than json.load",
                           t["json.load"] / t["load_compact_bbox"], 15.0))
            checks.append(("results: column_bytes per detection == 56 (as ratio)",
                           56.0 / (compact.column_bytes / n), 1.0))
        del compact

    tools = ["quillscore"] if args.quick else TOOLS
    times = {}
    print("\nend to end, box evaluation from the two files (fresh process each):")
    for tool in tools:
        r = in_fresh_process(__file__, tool)
        if r is None:
            continue
        times[tool] = r["seconds"]
        print(f"  {tool:<18} {times[tool]:9.3f} s", flush=True)
    q = times.get("quillscore")
    if q:
        for tool, need in (("pycocotools", 100.0), ("faster-coco-eval", 25.0)):
            if tool in times:
                print(f"  {tool} / quillscore: {times[tool] / q:.1f}x")
                checks.append((f"end to end >= {need:g}x faster than {tool}", times[tool] / q, need))

    return report_targets(checks)


if __name__ == "__main__":
    sys.exit(main())
