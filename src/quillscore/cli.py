"""The command line: evaluate a results file against a COCO (or LVIS)
dataset and print the summary.

    quillscore GT.json RESULTS.json [--iou-type bbox|segm|keypoints|boundary|keypoints_crowd]
               [--lvis] [--per-category] [--diagnostics] [--json OUT] [--plot-pr OUT.png]
               [--report DIR] [--timings]

With no files it evaluates the bundled sample: the COCO val2014 100-image
subset and its published fake box results.

Exit status: 0 on success, 1 when the input cannot be evaluated (a missing
or malformed file, results naming unknown images, ...) or a requested
output cannot be written, 2 for a wrong command line, 3 for an internal
fault.
"""

from __future__ import annotations

import argparse
import dataclasses
import json
import os
import sys
from importlib import resources

import quillscore
from quillscore import report as report_mod
from quillscore import summary as summary_mod
from quillscore._progress import Progress
from quillscore._vireo import PanicException

SAMPLE_GT = "instances_val2014_100.json"
SAMPLE_RESULTS = "fake_bbox_results.json"
# 2: "diagnostics" (with --diagnostics); per-category rows carry every
# summary entry and the counts.
JSON_SCHEMA_VERSION = 2
# Confusion-matrix cells printed (the largest off the diagonal).
TOP_CONFUSIONS = 10


def sample_paths() -> tuple[str, str]:
    data = resources.files("quillscore") / "data"
    return str(data / SAMPLE_GT), str(data / SAMPLE_RESULTS)


def parser() -> argparse.ArgumentParser:
    ap = argparse.ArgumentParser(
        prog="quillscore",
        description="Evaluate detection results against a COCO or LVIS dataset by the COCO "
                    "protocol. With no files, evaluates the bundled sample (COCO val2014, "
                    "100 images, with its fake box results).")
    ap.add_argument("gt", nargs="?", metavar="GT.json", help="the dataset (ground truth)")
    ap.add_argument("results", nargs="?", metavar="RESULTS.json", help="the detection results")
    ap.add_argument("--iou-type", choices=["bbox", "segm", "keypoints", "boundary", "keypoints_crowd"],
                    default="bbox",
                    help="what to compare (default: bbox); keypoints_crowd: CrowdPose keypoints")
    ap.add_argument("--lvis", action="store_true",
                    help="LVIS v1 federated evaluation (AP, APr, APc, APf, AR@300)")
    ap.add_argument("--per-category", action="store_true", help="also print the summary entries and counts per category")
    ap.add_argument("--diagnostics", action="store_true",
                    help="also print the per-category table, the best-F1 operating point per "
                         "category (IoU 0.5), the most frequent confusions and the error "
                         "breakdown (COCO evaluation only)")
    ap.add_argument("--json", metavar="OUT", help="write the numbers as JSON to OUT ('-': stdout)")
    ap.add_argument("--plot-pr", metavar="OUT.png",
                    help="draw precision/recall curves per IoU threshold (needs matplotlib)")
    ap.add_argument("--report", metavar="DIR",
                    help="write a report into DIR: a self-contained page (DIR/index.html) with "
                         "plots, the per-category table, confusions, errors and the worst images, "
                         "and every detection and ground truth as a table (instances.parquet "
                         "with pyarrow, else instances.csv)")
    ap.add_argument("--timings", action="store_true", help="also print where the time went")
    ap.add_argument("--version", action="version", version=f"quillscore {quillscore.__version__}")
    return ap


@dataclasses.dataclass
class Report:
    """What one evaluation produced, in the form the outputs need."""

    mode: str
    iou_type: str
    gt: str
    results: str
    names: list
    lines: list
    stats: list
    per_category: list
    timings: dict
    params: dict
    precision: object  # (T, R, K, A, M) array
    iou_thrs: list
    rec_thrs: list
    diagnostics: dict | None = None
    evaluation: object = None  # the COCOeval or LVISEval

    def to_json(self, with_categories: bool, with_timings: bool) -> dict:
        out = {
            "schema": JSON_SCHEMA_VERSION,
            "quillscore": quillscore.__version__,
            "mode": self.mode,
            "iou_type": self.iou_type,
            "ground_truth": self.gt,
            "results": self.results,
            "stats": dict(zip(self.names, (float(s) for s in self.stats))),
            "summary": self.lines,
            "params": self.params,
        }
        if with_categories:
            out["per_category"] = self.per_category
        if with_timings:
            out["timings"] = self.timings
        if self.diagnostics is not None:
            out["per_category"] = self.per_category
            out["diagnostics"] = self.diagnostics
        return out


def run_coco(gt: str, results: str, iou_type: str, with_diagnostics: bool = False,
             progress=None) -> Report:
    E = quillscore.evaluate(gt, results, iou_type, progress=progress)
    axes = E.axes
    return Report(
        "coco", iou_type, gt, results, summary_mod.stat_names(iou_type), E.lines,
        list(E.stats), E.per_category(), E.timings, axes.to_json(),
        E.eval["precision"], list(axes.iou_thrs), list(axes.rec_thrs),
        diagnostics(E) if with_diagnostics else None, E)


def diagnostics(E) -> dict:
    """What --diagnostics adds, in its JSON form: the best-F1 operating
    point per category and pooled (IoU 0.5 where evaluated, else the first
    threshold; area 'all'), the confusion matrix (categories in order,
    background last) and the error breakdown (none for keypoints)."""
    axes = E.axes
    iou_thr = 0.5 if 0.5 in axes.iou_thrs else axes.iou_thrs[0]
    area = axes.area_labels[axes.area_all]
    best = E.operating_points(iou_thr=iou_thr, area=area)["best_f1"]
    out = {"iou_thr": iou_thr,
           "best_f1": [{"category_id": c, **{k: (None if v != v else v) for k, v in row.items()}}
                       for c, row in best.items()]}
    if axes.use_cats:
        out["confusion_matrix"] = {"category_ids": list(axes.cat_ids),
                                   "matrix": E.confusion_matrix(iou_thr=iou_thr).tolist()}
    if axes.iou_type not in ("keypoints", "keypoints_crowd"):
        out["error_analysis"] = E.error_analysis()
    return out


def format_diagnostics(d: dict, names: dict) -> str:
    def name(c):
        return "all" if c == -1 else ("background" if c is None else names.get(c, str(c)))

    out = [f"best F1 per category (IoU {d['iou_thr']:g}, not interpolated):",
           f"  {'category':<24} {'score':>7} {'prec':>7} {'recall':>7} {'F1':>7}"]
    for row in d["best_f1"]:
        score = "-" if row["score"] is None else f"{row['score']:.3f}"
        out.append(f"  {name(row['category_id']):<24} {score:>7} {row['precision']:7.3f} "
                   f"{row['recall']:7.3f} {row['f1']:7.3f}")
    if "confusion_matrix" in d:
        ids = d["confusion_matrix"]["category_ids"] + [None]
        m = d["confusion_matrix"]["matrix"]
        cells = sorted(((m[i][j], i, j) for i in range(len(ids)) for j in range(len(ids))
                        if i != j and m[i][j] > 0), key=lambda c: (-c[0], c[1], c[2]))
        out += ["", f"most frequent confusions (ground truth -> detected, IoU {d['iou_thr']:g}):"]
        out += [f"  {name(ids[i]):>24} -> {name(ids[j]):<24} {n:>7d}"
                for n, i, j in cells[:TOP_CONFUSIONS]] or ["  none"]
    if "error_analysis" in d:
        e = d["error_analysis"]
        out += ["", f"error breakdown (tidecv's definitions; its AP@50 {e['ap']:.2f}):",
                f"  {'error':<9} {'dAP':>7} {'count':>7}"]
        for key, value in e["main"].items():
            out.append(f"  {key:<9} {value:7.2f} {e['counts'][key]:>7d}")
        for key, value in e["special"].items():
            out.append(f"  {key:<9} {value:7.2f}")
    return "\n".join(out)


def run_lvis(gt: str, results: str, iou_type: str, progress=None) -> Report:
    step = progress or (lambda name: None)
    step("loading")
    E = quillscore.LVISEval(gt, results, iou_type)
    E.evaluate()
    step("matching")
    E.accumulate()
    E.summarize()
    axes = E.axes
    return Report(
        "lvis", iou_type, gt, results, list(E.results), E.summary_lines(), list(E.results.values()),
        E.per_category(), E.timings, axes.to_json(),
        E.eval["precision"][..., None],  # the one detection limit as its own axis
        list(axes.iou_thrs), list(axes.rec_thrs), evaluation=E)


def describe(e: BaseException) -> str:
    """One line for an error: its message and any notes."""
    if isinstance(e, KeyError) and len(e.args) == 1:
        message = f"missing key {e.args[0]!r}"
    else:
        message = str(e) or type(e).__name__
    notes = getattr(e, "__notes__", None) or []
    return " ".join([message] + [f"({n})" for n in notes]).replace("\n", " ")


def shown(path: str) -> str:
    """A path as the messages print it: bytes that the file system encoding
    could not decode (kept in the str as surrogate escapes) as backslash
    escapes, as standard error shows them, so that no output stream can
    refuse the name."""
    return path.encode("utf-8", "backslashreplace").decode("utf-8")


def fail(message: str, status: int = 1) -> int:
    print(f"quillscore: error: {message}", file=sys.stderr)
    return status


def main(argv=None) -> int:
    args = parser().parse_args(argv)
    if args.gt is not None and args.results is None:
        parser().print_usage(sys.stderr)
        return fail("give both GT.json and RESULTS.json, or neither for the bundled sample", 2)
    if args.lvis and args.iou_type in ("keypoints", "keypoints_crowd"):
        return fail("LVIS evaluation takes --iou-type bbox, segm or boundary", 2)
    if args.lvis and args.diagnostics:
        return fail("--diagnostics applies to COCO evaluation, not --lvis", 2)
    for option, value in (("--json", args.json), ("--plot-pr", args.plot_pr),
                          ("--report", args.report)):
        if value == "":
            parser().print_usage(sys.stderr)
            return fail(f"{option} needs a file name", 2)
    sample = args.gt is None
    gt, results = sample_paths() if sample else (args.gt, args.results)
    for path in (gt, results):
        if not os.path.exists(path):
            return fail(f"{path}: no such file")
        if os.path.isdir(path):
            return fail(f"{path}: is a directory, not a JSON file")

    steps = ["loading", "matching"]
    if args.report:
        steps += report_mod.STEPS
    page = report_error = None
    with Progress(steps) as progress:
        try:
            if args.lvis:
                report = run_lvis(gt, results, args.iou_type, progress)
            else:
                report = run_coco(gt, results, args.iou_type, args.diagnostics, progress)
        except PanicException as e:
            return fail(f"internal fault: {describe(e)}", 3)
        except (OSError, ValueError, TypeError, KeyError, IndexError, RuntimeError) as e:
            return fail(describe(e))
        if args.report:
            try:
                page = report_mod.write(report.evaluation, args.report, sources=(gt, results),
                                        progress=progress)
            except PanicException as e:
                return fail(f"internal fault: {describe(e)}", 3)
            except OSError as e:
                report_error = f"cannot write the report into {shown(args.report)}: {e.strerror or e}"
            except (ValueError, TypeError, KeyError, IndexError, RuntimeError) as e:
                report_error = f"cannot write the report: {describe(e)}"

    if args.json == "-":
        json.dump(report.to_json(args.per_category, args.timings), sys.stdout, indent=2)
        print()
        return fail(report_error) if report_error else 0
    kind = "LVIS " if args.lvis else ""
    if sample:
        print(f"{args.iou_type} evaluation of the bundled sample: "
              "COCO val2014 100-image subset, fake box results")
    else:
        print(f"{kind}{args.iou_type} evaluation of {shown(results)} against {shown(gt)}")
    print("\n".join(report.lines))
    if args.per_category or args.diagnostics:
        print()
        print(summary_mod.format_per_category(report.per_category))
    if report.diagnostics is not None:
        print()
        print(format_diagnostics(report.diagnostics,
                                 {r["category_id"]: r["name"] for r in report.per_category}))
    if args.timings:
        print()
        print("timings (seconds; engine phases summed over worker threads):")
        for key, value in report.timings.items():
            print(f"  {key:<16} {value:10.4f}")
    status = 0
    if page is not None:
        print()
        print(f"report: {shown(str(page))}")
    if report_error:
        status = fail(report_error)
    if args.json:
        try:
            with open(args.json, "w") as f:
                json.dump(report.to_json(args.per_category, args.timings), f, indent=2)
                f.write("\n")
        except OSError as e:
            status = fail(f"cannot write {args.json}: {e.strerror or e}")
    if args.plot_pr:
        from quillscore.plot import PlotUnavailable, plot_pr
        try:
            plot_pr(report.precision, report.iou_thrs, report.rec_thrs, args.plot_pr,
                    f"{kind}{args.iou_type}: {shown(os.path.basename(results))}")
        except PlotUnavailable as e:
            status = fail(str(e))
        except (OSError, ValueError) as e:
            status = fail(f"cannot write {args.plot_pr}: {describe(e)}")
    return status


def entry() -> int:
    """The console script: main(), quiet when its reader goes away."""
    try:
        status = main()
        sys.stdout.flush()
    except BrokenPipeError:
        # The reader (say `| head`) stopped early: nothing more to say.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        status = 0
    return status


if __name__ == "__main__":
    sys.exit(entry())
