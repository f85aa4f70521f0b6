"""Diagnostics next to the evaluation they are read from, on the generator's
val2017-scale data (gen_coco.py): evaluate()+accumulate(), then each
diagnostic on the accumulated evaluation, best of --repeats, as a table.

    python bench/bench_diagnostics.py [--types bbox,segm] [--repeats 3]
"""

import argparse
import contextlib
import io
import time

from _bench import DATA, FILES, best_times, ensure_data

import quillscore


def evaluated(iou_type):
    gt_file, dt_file = FILES[iou_type]
    with contextlib.redirect_stdout(io.StringIO()):
        gt = quillscore.COCO(str(DATA / gt_file))
        dt = gt.loadRes(str(DATA / dt_file))
    return gt, dt


def eval_and_accumulate(gt, dt, iou_type):
    E = quillscore.COCOeval(gt, dt, iou_type)
    E.evaluate()
    E.accumulate()
    return E


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--types", default="bbox,segm")
    ap.add_argument("--repeats", type=int, default=3)
    args = ap.parse_args()
    ensure_data()
    rows = []
    for iou_type in args.types.split(","):
        gt, dt = evaluated(iou_type)
        E = eval_and_accumulate(gt, dt, iou_type)
        times = best_times({
            "evaluate+accumulate": lambda: eval_and_accumulate(gt, dt, iou_type),
            "operating_points": lambda: E.operating_points(),
            "operating_points@thresholds": lambda: E.operating_points(score_thrs=[0.1, 0.3, 0.5, 0.7]),
            "confusion_matrix": lambda: E.confusion_matrix(),
        }, args.repeats)
        base = times["evaluate+accumulate"]
        for name, seconds in times.items():
            rows.append((iou_type, name, seconds, seconds / base))
            print(f"  {iou_type:5s} {name:28s} {seconds:8.3f} s", flush=True)
    print()
    print(f"{'type':5s} {'what':28s} {'seconds':>9s} {'x evaluation':>13s}")
    for iou_type, name, seconds, ratio in rows:
        print(f"{iou_type:5s} {name:28s} {seconds:9.3f} {ratio:13.2f}")


if __name__ == "__main__":
    main()
