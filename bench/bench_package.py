"""The package as users run it: from the two file paths to the printed
summary, quillscore against the reference COCO API and faster-coco-eval.

On the benchmark generator's val2017-scale files (bench/data, generated on
first use), per IoU type, each pipeline in a fresh process:

  quillscore evaluate()   quillscore.evaluate(gt, results, iou_type)
                          (box and mask files through column storage)
  quillscore COCOeval     COCO(gt), loadRes(results), COCOeval:
                          evaluate(), accumulate(), summarize()
  pycocotools             the same calls on the reference API
  faster-coco-eval        the same calls on COCOeval_faster

Seconds are wall time from the paths to the summary; peak MiB is the
process's peak resident memory above what it held after its imports.
Ratios are the other tool's time over quillscore evaluate()'s: above 1 we
are faster. Our two routes are also run on one worker thread
(RAYON_NUM_THREADS=1): the table shows the speed-up of the second thread,
and the targets.

    python bench/bench_package.py                  # everything (minutes)
    python bench/bench_package.py --types bbox     # one IoU type
    python bench/bench_package.py --quick          # quillscore only
    python bench/bench_package.py --before OLD/bin/python
                        # with our routes as another build (an earlier
                        # checkout's venv) runs them, side by side

"""

from __future__ import annotations

import argparse
import contextlib
import io
import json
import os
import platform
import sys
import time

from _bench import DATA, FILES, ensure_data, in_fresh_process, reset_peak, rss_kib

TOOLS = ["quillscore evaluate()", "quillscore COCOeval", "pycocotools", "faster-coco-eval"]
OURS = TOOLS[:2]

# What each of our routes should reach: seconds, and for segm evaluate()
# memory too (MiB).
TARGET = {
    ("bbox", "quillscore evaluate()"): (0.30, None), ("bbox", "quillscore COCOeval"): (0.80, None),
    ("segm", "quillscore evaluate()"): (1.0, 500), ("segm", "quillscore COCOeval"): (2.0, None),
    ("keypoints", "quillscore evaluate()"): (0.12, None), ("keypoints", "quillscore COCOeval"): (0.12, None),
}


def pipeline(tool: str, iou_type: str):
    """The imports, then a callable running the pipeline once."""
    gt, dt = (str(DATA / f) for f in FILES[iou_type])
    if tool == "quillscore evaluate()":
        import quillscore
        return lambda: quillscore.evaluate(gt, dt, iou_type).stats
    if tool == "quillscore COCOeval":
        from quillscore import COCO, COCOeval
    elif tool == "pycocotools":
        from pycocotools.coco import COCO
        from pycocotools.cocoeval import COCOeval
    else:
        from faster_coco_eval import COCO
        from faster_coco_eval import COCOeval_faster as COCOeval

    def run():
        coco_gt = COCO(gt)
        coco_dt = coco_gt.loadRes(dt)
        E = COCOeval(coco_gt, coco_dt, iou_type)
        E.evaluate()
        E.accumulate()
        E.summarize()
        return E.stats

    return run


def worker(tool: str, iou_type: str) -> dict:
    run = pipeline(tool, iou_type)
    reset_peak()
    base = rss_kib("VmHWM")
    with contextlib.redirect_stdout(io.StringIO()):
        start = time.perf_counter()
        stats = run()
        seconds = time.perf_counter() - start
    return {"seconds": seconds, "peak_mib": (rss_kib("VmHWM") - base) / 1024,
            "stats": [float(s) for s in stats]}


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--types", nargs="+", default=list(FILES), choices=list(FILES))
    ap.add_argument("--quick", action="store_true", help="quillscore only")
    ap.add_argument("--before", metavar="PYTHON",
                    help="an interpreter whose quillscore is the build to compare with")
    ap.add_argument("--worker", nargs=2, metavar=("TOOL", "TYPE"), help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.worker:
        print(json.dumps(worker(*args.worker)))
        return 0
    ensure_data()
    print(f"python {platform.python_version()}, {os.cpu_count()} CPUs")
    tools = TOOLS[:2] if args.quick else TOOLS
    table = []
    for iou_type in args.types:
        results = {}
        for tool in tools:
            # Ours are quick enough to take the best of three.
            runs = [in_fresh_process(__file__, tool, iou_type) for _ in range(3 if tool in OURS else 1)]
            if None in runs:
                continue
            r = min(runs, key=lambda run: run["seconds"])
            if tool in OURS:
                one = in_fresh_process(__file__, tool, iou_type, env={"RAYON_NUM_THREADS": "1"})
                r["one_thread"] = one["seconds"] if one else float("nan")
                if args.before:
                    before = [in_fresh_process(__file__, tool, iou_type, python=args.before)
                              for _ in range(3)]
                    if None not in before:
                        r["before"] = min(before, key=lambda run: run["seconds"])
            results[tool] = r
            print(f"{iou_type:<10} {tool:<22} {r['seconds']:9.2f} s {r['peak_mib']:9.0f} MiB", flush=True)
        ours = results.get("quillscore evaluate()")
        for tool, r in results.items():
            same = ours is not None and r["stats"] == ours["stats"]
            ratio = r["seconds"] / ours["seconds"] if ours else float("nan")
            table.append((iou_type, tool, r, ratio, same))
    print("\n| type | pipeline | seconds | peak MiB | x quillscore evaluate() | same stats "
          "| before | target | 1 -> 2 threads |")
    print("|---|---|---|---|---|---|---|---|---|")
    for iou_type, tool, r, ratio, same in table:
        before = r.get("before")
        target = TARGET.get((iou_type, tool))
        cells = [f"{r['seconds']:.2f}", f"{r['peak_mib']:.0f}", f"{ratio:.1f}", "yes" if same else "NO",
                 f"{before['seconds']:.2f} s, {before['peak_mib']:.0f} MiB "
                 f"({before['seconds'] / r['seconds']:.1f}x)" if before else "",
                 (f"<= {target[0]:.2f} s" + (f", <= {target[1]} MiB" if target[1] else "")) if target else "",
                 f"{r['one_thread'] / r['seconds']:.2f}x" if "one_thread" in r else ""]
        print(f"| {iou_type} | {tool} | " + " | ".join(cells) + " |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
