"""Speed of quillscore._vireo's JSON loader and annotation indexes, side by
side with the interpreter's json module, orjson and plain Python loops.

On the benchmark generator's ground-truth file (bench/data/instances.json)
and its box-results file (bench/data/results_bbox.json), in one process:

  load_json(path)                          vs json.load(open(path)) and
                                              orjson.loads(open(path, 'rb').read())
  parse_json_only(path), read_file_only(path)   MB/s
  index_annotations(anns, True)            vs the same bookkeeping as a Python
                                              loop (one pass; and as the reference
                                              API's createIndex writes it, two)
  prepare_bbox_results(results)            vs the equivalent Python loop

Every case is the best of several runs, the contenders interleaved run by
run; the cyclic garbage collector is left on (as callers have it), and a
full collection runs, untimed, before every timed call so that no contender
pays for another's garbage. Before timing, load_json's result is checked
against json's.

    python bench/bench_json.py            # full run
    python bench/bench_json.py --quick    # smoke run

Ratios are other time / our time: above 1 we are
faster. The script ends with the targets and whether each was met.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import platform
import sys
from collections import defaultdict

from quillscore import _vireo as v

from _bench import DATA, best_times, ensure_data, report_targets

try:
    import orjson
except ImportError:  # pragma: no cover - environment problem, not a result
    sys.exit("orjson is not installed: pip install orjson (the Makefile's venv has it)")

FILES = ["instances.json", "results_bbox.json"]


def index_python(anns, with_categories):
    """The bookkeeping loop that index_annotations replaces."""
    by_id, by_image, by_category = {}, defaultdict(list), defaultdict(list)
    for ann in anns:
        by_image[ann["image_id"]].append(ann)
        by_id[ann["id"]] = ann
        if with_categories:
            by_category[ann["category_id"]].append(ann["image_id"])
    return by_id, by_image, by_category


def create_index_python(anns):
    """The reference API's createIndex: two passes, the second for categories."""
    by_id, by_image, by_category = {}, defaultdict(list), defaultdict(list)
    for ann in anns:
        by_image[ann["image_id"]].append(ann)
        by_id[ann["id"]] = ann
    for ann in anns:
        by_category[ann["category_id"]].append(ann["image_id"])
    return by_id, by_image, by_category


def prepare_python(results):
    for i, r in enumerate(results):
        box = r["bbox"]
        r["area"] = box[2] * box[3]
        r["id"] = i + 1
        r["iscrowd"] = 0


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="fewer repeats")
    args = ap.parse_args()
    repeats = 2 if args.quick else 7
    ensure_data()

    print(f"python {platform.python_version()}, orjson {orjson.__version__}, "
          f"{os.cpu_count()} CPUs, gc {'on' if gc.isenabled() else 'off'}")
    rows, checks = [], []

    def row(case, ours, other_name, other):
        rows.append((case, ours, other_name, other))

    for name in FILES:
        path = str(DATA / name)
        size = os.path.getsize(path)
        mb = size / 1e6
        with open(path) as f:
            expected = json.load(f)
        if v.load_json(path) != expected:
            sys.exit(f"load_json({name}) differs from json.load")
        del expected
        t = best_times({
            "load_json": lambda: v.load_json(path),
            "json.load": lambda: json.load(open(path)),
            "orjson": lambda: orjson.loads(open(path, "rb").read()),
            "parse_json_only": lambda: v.parse_json_only(path),
            "read_file_only": lambda: v.read_file_only(path),
        }, repeats)
        print(f"\n{name}: {mb:.1f} MB")
        print(f"  {'function':<44} {'ms':>9} {'MB/s':>9} {'ratio':>7}")
        for fn, label in [("load_json", "load_json(path)"),
                          ("json.load", "json.load(open(path))"),
                          ("orjson", "orjson.loads(open(path, 'rb').read())"),
                          ("parse_json_only", "parse_json_only(path)"),
                          ("read_file_only", "read_file_only(path)")]:
            ratio = t[fn] / t["load_json"]
            ratio_text = f"{ratio:7.2f}" if fn in ("json.load", "orjson") else ""
            print(f"  {label:<44} {t[fn] * 1e3:9.1f} {mb / t[fn]:9.0f} {ratio_text:>7}")
        checks.append((f"{name}: load_json >= 3x faster than json.load",
                       t["json.load"] / t["load_json"], 3.0))
        checks.append((f"{name}: load_json at least as fast as orjson",
                       t["orjson"] / t["load_json"], 1.0))
        if name == "results_bbox.json":
            checks.append((f"{name}: parse_json_only >= 1 GB/s (MB/s / 1000)",
                           mb / t["parse_json_only"] / 1000, 1.0))

    # Indexes over the loaded ground truth and results.
    gt = v.load_json(str(DATA / "instances.json"))
    anns = gt["annotations"]
    results = v.load_json(str(DATA / "results_bbox.json"))
    assert v.index_annotations(anns, True) == tuple(map(dict, index_python(anns, True)))
    t = best_times({
        "index_annotations": lambda: v.index_annotations(anns, True),
        "python loop": lambda: index_python(anns, True),
        "createIndex loops (two passes)": lambda: create_index_python(anns),
        "index_annotations (no categories)": lambda: v.index_annotations(anns, False),
        "python loop (no categories)": lambda: index_python(anns, False),
        "prepare_bbox_results": lambda: v.prepare_bbox_results(results),
        "python prepare loop": lambda: prepare_python(results),
    }, repeats)
    print(f"\nindexes: {len(anns)} annotations, {len(results)} results")
    print(f"  {'function':<44} {'ms':>9} {'ratio':>7}")
    for ours, others in [("index_annotations", ["python loop", "createIndex loops (two passes)"]),
                         ("index_annotations (no categories)", ["python loop (no categories)"]),
                         ("prepare_bbox_results", ["python prepare loop"])]:
        print(f"  {ours:<44} {t[ours] * 1e3:9.1f}")
        for other in others:
            print(f"  {other:<44} {t[other] * 1e3:9.1f} {t[other] / t[ours]:7.2f}")
    checks.append(("index_annotations >= 5x faster than the Python loop",
                   t["python loop"] / t["index_annotations"], 5.0))

    return report_targets(checks)


if __name__ == "__main__":
    sys.exit(main())
