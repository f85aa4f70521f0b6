"""The command line: evaluate a results file against a COCO (or LVIS)
dataset and print the summary.

    quillscore GT.json RESULTS.json [--iou-type bbox|segm|keypoints|boundary|keypoints_crowd]
               [--lvis] [--per-category] [--json OUT] [--plot-pr OUT.png] [--timings]

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
from quillscore import summary as summary_mod
from quillscore._vireo import PanicException

SAMPLE_GT = "instances_val2014_100.json"
SAMPLE_RESULTS = "fake_bbox_results.json"
JSON_SCHEMA_VERSION = 1


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
    ap.add_argument("--json", metavar="OUT", help="write the numbers as JSON to OUT ('-': stdout)")
    ap.add_argument("--plot-pr", metavar="OUT.png",
                    help="draw precision/recall curves per IoU threshold (needs matplotlib)")
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
        return out


def run_coco(gt: str, results: str, iou_type: str) -> Report:
    E = quillscore.evaluate(gt, results, iou_type)
    axes = E.axes
    return Report(
        "coco", iou_type, gt, results, summary_mod.stat_names(iou_type), E.lines,
        list(E.stats), E.per_category(), E.timings, axes.to_json(),
        E.eval["precision"], list(axes.iou_thrs), list(axes.rec_thrs))


def run_lvis(gt: str, results: str, iou_type: str) -> Report:
    E = quillscore.LVISEval(gt, results, iou_type)
    E.run()
    axes = E.axes
    return Report(
        "lvis", iou_type, gt, results, list(E.results), E.summary_lines(), list(E.results.values()),
        E.per_category(), E.timings, axes.to_json(),
        E.eval["precision"][..., None],  # the one detection limit as its own axis
        list(axes.iou_thrs), list(axes.rec_thrs))


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
    for option, value in (("--json", args.json), ("--plot-pr", args.plot_pr)):
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

    try:
        report = (run_lvis if args.lvis else run_coco)(gt, results, args.iou_type)
    except PanicException as e:
        return fail(f"internal fault: {describe(e)}", 3)
    except (OSError, ValueError, TypeError, KeyError, IndexError, RuntimeError) as e:
        return fail(describe(e))

    if args.json == "-":
        json.dump(report.to_json(args.per_category, args.timings), sys.stdout, indent=2)
        print()
        return 0
    kind = "LVIS " if args.lvis else ""
    if sample:
        print(f"{args.iou_type} evaluation of the bundled sample: "
              "COCO val2014 100-image subset, fake box results")
    else:
        print(f"{kind}{args.iou_type} evaluation of {shown(results)} against {shown(gt)}")
    print("\n".join(report.lines))
    if args.per_category:
        print()
        print(summary_mod.format_per_category(report.per_category))
    if args.timings:
        print()
        print("timings (seconds; engine phases summed over worker threads):")
        for key, value in report.timings.items():
            print(f"  {key:<16} {value:10.4f}")
    status = 0
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
