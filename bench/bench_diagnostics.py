"""Diagnostics next to the evaluation they are read from, on the generator's
val2017-scale data (gen_coco.py): evaluate()+accumulate(), then each
diagnostic on the accumulated evaluation, and all of them together (the
per-category table, operating points, the confusion matrix and the error
breakdown, as --diagnostics asks for them), best of --repeats, as a table.
The budget: all together at most 1x the evaluation for boxes, 0.5x for
masks.

    python bench/bench_diagnostics.py [--types bbox,segm] [--repeats 3]
"""

import contextlib
import io

from _bench import DATA, FILES, best_times, ensure_data, type_arguments

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
    args = type_arguments(__doc__)
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
            "per_category": lambda: E.per_category(),
            "error_analysis": lambda: E.error_analysis(),
            "all diagnostics": lambda: (E.per_category(), E.operating_points(),
                                        E.confusion_matrix(), E.error_analysis()),
        }, args.repeats)
        base = times["evaluate+accumulate"]
        for name, seconds in times.items():
            rows.append((iou_type, name, seconds, seconds / base))
            print(f"  {iou_type:5s} {name:28s} {seconds:8.3f} s", flush=True)
    print()
    print(f"{'type':5s} {'what':28s} {'seconds':>9s} {'x evaluation':>13s}")
    for iou_type, name, seconds, ratio in rows:
        print(f"{iou_type:5s} {name:28s} {seconds:9.3f} {ratio:13.2f}")
    print()
    budget = {"bbox": 1.0, "segm": 0.5}
    for iou_type, name, _, ratio in rows:
        if name == "all diagnostics" and iou_type in budget:
            verdict = "met " if ratio <= budget[iou_type] else "MISS"
            print(f"{verdict}  {iou_type}: all diagnostics <= {budget[iou_type]}x the evaluation: "
                  f"{ratio:.2f}")


if __name__ == "__main__":
    main()
