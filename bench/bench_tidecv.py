"""The error breakdown side by side: COCOeval.error_analysis() against tidecv
1.0.1 on the same files written by bench/gen_coco.py (1000 images by default,
generated on first use into bench/data-<images>).

tidecv runs in a Python of its own (it needs the NumPy aliases that NumPy 2
dropped, and pulls in matplotlib and OpenCV): by default the venv that
`make integration-tidecv` builds. Its timed step is evaluate() +
get_main_errors() + get_special_errors(), loading excluded; ours is
error_analysis() on an evaluated COCOeval (evaluate() and accumulate() are
shown beside it). Times are the best of --repeats, wall and CPU.

    python bench/bench_tidecv.py [--images 1000] [--types bbox,segm]
        [--tidecv-python .venv-tidecv/bin/python]
"""

import argparse
import contextlib
import io
import json
import subprocess
import sys
import time
from pathlib import Path

from _bench import FILES

ROOT = Path(__file__).resolve().parent

TIDECV_RUN = r"""
import json, sys, time
import numpy as np
import numpy.ma
for name, t in (("float", float), ("int", int), ("bool", bool), ("object", object)):
    setattr(np, name, t)
from tidecv import TIDE, datasets
gt_path, res_path, iou_type, repeats = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
mode = TIDE.BOX if iou_type == "bbox" else TIDE.MASK
gt, res = datasets.COCO(gt_path), datasets.COCOResult(res_path)
best = [float("inf"), float("inf")]
for _ in range(repeats):
    w, c = time.perf_counter(), time.process_time()
    tide = TIDE(mode=mode)
    tide.evaluate(gt, res, mode=mode)
    tide.get_main_errors()
    tide.get_special_errors()
    best = [min(best[0], time.perf_counter() - w), min(best[1], time.process_time() - c)]
print(json.dumps(best))
"""


def ensure_data(images: int) -> Path:
    out = ROOT / f"data-{images}"
    if not all((out / f).exists() for f in FILES["bbox"] + FILES["segm"]):
        print(f"generating {images} images with gen_coco.py ...", flush=True)
        subprocess.run([sys.executable, str(ROOT / "gen_coco.py"), "--out", str(out),
                        "--images", str(images)], check=True)
    return out


def best_of(fn, repeats):
    wall = cpu = float("inf")
    for _ in range(repeats):
        w, c = time.perf_counter(), time.process_time()
        fn()
        wall, cpu = min(wall, time.perf_counter() - w), min(cpu, time.process_time() - c)
    return wall, cpu


def ours(folder: Path, iou_type: str, repeats: int):
    from quillscore import COCO, COCOeval

    gt_file, dt_file = FILES[iou_type]
    with contextlib.redirect_stdout(io.StringIO()):
        gt = COCO(str(folder / gt_file))
        dt = gt.loadRes(str(folder / dt_file))
    E = COCOeval(gt, dt, iou_type)
    start = time.perf_counter()
    E.evaluate()
    E.accumulate()
    evaluation = time.perf_counter() - start
    return len(dt.dataset["annotations"]), evaluation, best_of(
        lambda: E.error_analysis(tidecv_ties=True), repeats)


def tidecv(python: str, folder: Path, iou_type: str, repeats: int):
    gt_file, dt_file = FILES[iou_type]
    out = subprocess.run([python, "-c", TIDECV_RUN, str(folder / gt_file), str(folder / dt_file),
                          iou_type, str(repeats)], check=True, capture_output=True, text=True, timeout=1800)
    return tuple(json.loads(out.stdout.strip().splitlines()[-1]))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--images", type=int, default=1000)
    ap.add_argument("--types", default="bbox,segm")
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--tidecv-repeats", type=int, default=1)
    ap.add_argument("--tidecv-python", default=str(ROOT.parent / ".venv-tidecv" / "bin" / "python"))
    args = ap.parse_args()
    folder = ensure_data(args.images)
    have_tidecv = Path(args.tidecv_python).exists()
    if not have_tidecv:
        print(f"no tidecv Python at {args.tidecv_python} (make integration-tidecv builds one): ours only")
    print(f"{'type':5s} {'detections':>10s} {'evaluate+accumulate':>20s} {'error_analysis':>22s} "
          f"{'tidecv':>22s} {'speed-up':>16s}")
    for iou_type in args.types.split(","):
        n, evaluation, (w, c) = ours(folder, iou_type, args.repeats)
        row = f"{iou_type:5s} {n:10d} {evaluation:19.3f}s {w * 1e3:9.1f} ms ({c * 1e3:6.1f} cpu)"
        if have_tidecv:
            tw, tc = tidecv(args.tidecv_python, folder, iou_type, args.tidecv_repeats)
            row += f" {tw:9.2f} s ({tc:6.2f} cpu) {tw / w:7.0f}x ({tc / c:4.0f}x cpu)"
        print(row, flush=True)


if __name__ == "__main__":
    main()
