"""The report: its numbers read back from the page (the JSON it carries and
the table cells) and from the export, against the API's on the same
evaluation; names that need escaping; a thousand categories; the command
line's --report and progress."""

from __future__ import annotations

import csv
import html.parser
import io
import json
import math
import re
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

import quillscore
from quillscore import _progress, report
from _eval_data import perturb_instances, perturb_keypoints, synthetic_instances, write_files
from _paths import DATA_DIR, LVIS_FILE, load_shared

VAL2014 = DATA_DIR / "coco_val2014_100"


class Page(html.parser.HTMLParser):
    """What a reader of the page gets: the data JSON, the category table's
    cells (text and data-v), every script element, the heatmap's labels."""

    def __init__(self, text: str):
        super().__init__()
        self.scripts, self.rows, self.headings = [], [], []
        self._script = None
        self._in_table = self._in_head = False
        self._cell = None
        self.feed(text)
        self.data = json.loads(next(s for a, s in self.scripts if a.get("id") == "quillscore-data"))

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag == "script":
            self._script = [attrs, ""]
        elif tag == "table" and attrs.get("id") == "category-table":
            self._in_table = True
        elif self._in_table and tag == "thead":
            self._in_head = True
        elif self._in_table and tag == "tr" and not self._in_head:
            self.rows.append([])
        elif self._in_table and tag in ("td", "th"):
            self._cell = [attrs.get("data-v"), ""]

    def handle_endtag(self, tag):
        if tag == "script" and self._script is not None:
            self.scripts.append(tuple(self._script))
            self._script = None
        elif tag == "table" and self._in_table:
            self._in_table = False
        elif tag == "thead":
            self._in_head = False
        elif tag in ("td", "th") and self._cell is not None:
            (self.headings if self._in_head else self.rows[-1]).append(tuple(self._cell))
            self._cell = None

    def handle_data(self, data):
        if self._script is not None:
            self._script[1] += data
        elif self._cell is not None:
            self._cell[1] += data


def _lvis_files(tmp):
    dataset = json.loads(LVIS_FILE.read_text()) if LVIS_FILE.exists() else pytest.skip("no LVIS file")
    return write_files(tmp, dataset, perturb_instances(dataset, 3, "bbox"))


def _evaluation(case: str, tmp: Path):
    """(evaluation, its files or None) for each kind of evaluation a report
    is written from."""
    if case == "bbox":
        files = VAL2014 / "instances_val2014_100.json", VAL2014 / "fake_bbox_results.json"
        return quillscore.evaluate(*files, "bbox"), files
    if case == "segm drop-in":
        files = VAL2014 / "instances_val2014_100.json", VAL2014 / "fake_segm_results.json"
        gt = quillscore.COCO(str(files[0]))
        E = quillscore.COCOeval(gt, gt.loadRes(str(files[1])), "segm")
        E.evaluate(), E.accumulate(), E.summary()
        return E, files
    if case == "keypoints":
        dataset = load_shared("coco_mini_2017/person_keypoints_val2017.json")
        files = write_files(tmp, dataset, perturb_keypoints(dataset, 1))
        return quillscore.evaluate(*files, "keypoints"), files
    if case == "crowdpose":
        files = (DATA_DIR / "keypoints_samples" / "crowdpose_val_sample.json",
                 DATA_DIR / "keypoints_samples" / "crowdpose_results_sample.json")
        return quillscore.evaluate(*files, "keypoints_crowd"), files
    if case == "odd scores":  # NaN and infinite scores are evaluated: the page holds them
        dataset, _, results = synthetic_instances(3)
        for r, score in zip(results, (float("nan"), float("inf"), -float("inf"))):
            r["score"] = score
        gt = quillscore.COCO(dataset)
        E = quillscore.COCOeval(gt, gt.loadRes(results), "bbox")
        E.evaluate(), E.accumulate(), E.summary()
        return E, None
    if case == "pooled synthetic":
        dataset, _, results = synthetic_instances(5)
        gt = quillscore.COCO(dataset)
        E = quillscore.COCOeval(gt, gt.loadRes(results), "bbox")
        E.params.useCats = 0
        E.evaluate(), E.accumulate(), E.summary()
        return E, None
    if case == "streamed":
        dataset = load_shared("coco_val2014_100/instances_val2014_100.json")
        results = json.loads((VAL2014 / "fake_bbox_results.json").read_text())
        s = quillscore.StreamingEval("bbox", dataset["categories"])
        half = len(dataset["images"]) // 2
        for images in (dataset["images"][:half], dataset["images"][half:]):
            ids = {im["id"] for im in images}
            s.add(images, [a for a in dataset["annotations"] if a["image_id"] in ids],
                  [r for r in results if r["image_id"] in ids])
        return s.compute(), None
    if case == "lvis":
        files = _lvis_files(tmp)
        E = quillscore.LVISEval(*files, "bbox")
        E.run()
        return E, files
    raise AssertionError(case)


CASES = ["bbox", "segm drop-in", "keypoints", "crowdpose", "pooled synthetic", "odd scores", "lvis",
         "streamed"]


@pytest.fixture(scope="module", params=CASES)
def written(request, tmp_path_factory):
    tmp = tmp_path_factory.mktemp(request.param.replace(" ", "_"))
    E, files = _evaluation(request.param, tmp)
    page = E.report(tmp / "report")
    p = Page(page.read_text(encoding="utf-8"))
    if request.param == "streamed":  # no annotations kept: nothing to list
        assert p.data["export"] == {} and p.data["worst_images"] == []
        assert {f.name for f in page.parent.iterdir()} == {"index.html"}
    return E, files, page, p


def _instances(written):
    """The evaluation's own per-instance verdicts at IoU 0.5; the test is
    skipped for an evaluation that keeps none (a streamed one)."""
    E, _, _, p = written
    if "instances" not in p.data["export"]:
        pytest.skip("the evaluation keeps no annotations")
    if isinstance(E, quillscore.LVISEval):
        return E._evaluator.per_instance(0, 0, E.params.max_dets)
    return E.per_instance()


def _finite(v):
    return v if math.isfinite(v) else None


def test_page_numbers_are_the_apis(written):
    E, files, page, p = written
    d = p.data
    lvis = isinstance(E, quillscore.LVISEval)
    stats = list(E.results.values()) if lvis else list(E.stats)
    assert [s["value"] for s in d["stats"]] == stats
    rows = E.per_category()
    for row, shown, cells in zip(rows, d["categories"], p.rows, strict=True):
        assert {k: shown[k] for k in row} == row
        # Every cell's exact value is the API's; its text is that value shown.
        by_heading = dict(zip((h[1] for h in p.headings), cells))
        assert by_heading["category"][1] == row["name"]
        for key in ("AP", "AP50", "AP75"):
            value, text = by_heading[key]
            assert float(value) == row[key]
            assert text == ("-" if row[key] == -1 else f"{row[key]:.3f}")
    if lvis:
        groups = {g["group"]: g["AP"] for g in d["frequency_groups"]}
        assert groups == {"r": E.results["APr"], "c": E.results["APc"], "f": E.results["APf"]}
        return
    if d.get("f1_curve") is not None:
        best = E.operating_points()["best_f1"]
        for row in d["categories"]:
            assert row["best_f1"] == {k: _finite(v) for k, v in best[row["category_id"]].items()}
        assert d["f1_curve"]["best"] == {k: _finite(v) for k, v in best[-1].items()}
    if "confusion" in d:
        full = E.confusion_matrix()
        ids = list(E.axes.cat_ids)
        at = [ids.index(c) for c in d["confusion"]["category_ids"]] + [len(ids)]
        assert np.array_equal(np.asarray(d["confusion"]["matrix"]), full[np.ix_(at, at)])
        with open(page.parent / "confusion_matrix.csv", newline="", encoding="utf-8") as f:
            exported = [row[1:] for row in csv.reader(f)][2:]
        assert np.array_equal(np.asarray(exported, dtype=np.int64), full)
    if "instances" in d["export"] and E.axes.iou_type not in ("keypoints", "keypoints_crowd"):
        assert d["errors"] == E.error_analysis()
    assert d["files"] == ([] if files is None else
                          [{"role": r, "path": str(f), "size": Path(f).stat().st_size}
                           for r, f in zip(("ground truth", "results"), files)])


def _read_instances(folder: Path) -> dict:
    if (folder / "instances.parquet").exists():
        import pyarrow.parquet as pq
        return {k: np.asarray(v.to_numpy(zero_copy_only=False))
                for k, v in zip(pq.read_table(folder / "instances.parquet").column_names,
                                pq.read_table(folder / "instances.parquet").columns)}
    with open(folder / "instances.csv", newline="", encoding="utf-8") as f:
        rows = list(csv.DictReader(f))
    return {k: np.asarray([r[k] for r in rows]) for k in rows[0]}


def test_export_rows_are_the_matching(written):
    """The detection rows at IoU 0.5 are per_instance()'s, the ground truths
    found are those it marks matched, and the error labels count what
    error_analysis() counts."""
    ours, theirs = _instances(written)
    E, _, page, _ = written
    table = _read_instances(page.parent)
    dt = table["kind"] == "detection"
    gt = ~dt
    assert np.array_equal(table["id"][dt].astype(np.int64), ours["dt_id"])
    assert np.array_equal(table["partner_50"][dt].astype(np.int64), ours["gt_id"])
    assert np.array_equal(table["iou_50"][dt].astype(np.float64), ours["iou"])
    assert np.array_equal(table["score"][dt].astype(np.float64), ours["score"], equal_nan=True)
    assert np.array_equal(table["id"][gt].astype(np.int64), theirs["gt_id"])
    assert np.array_equal(table["partner_50"][gt].astype(np.int64) >= 0, theirs["matched"])
    if E.axes.use_cats:
        names = {r["category_id"]: r["name"] for r in E.per_category()}
        assert [names[int(c)] for c in table["category_id"]] == list(table["category"])
    if "errors" in written[3].data:
        errors = table["error"]
        counts = E.error_analysis()["counts"]
        for kind, n in counts.items():
            side = gt if kind == "Miss" else dt
            assert int(np.sum(errors[side] == kind)) <= n  # kept detections only
        # Per category, the evaluation keeps every one of the breakdown's
        # 100 per image.
        if E.axes.use_cats and E.axes.max_dets[-1] >= 100:
            assert {k: int(np.sum(errors[gt if k == "Miss" else dt] == k)) for k in counts} == counts


def test_worst_images_rank_by_weighted_errors(written):
    dts, gts = _instances(written)
    worst = written[3].data["worst_images"]
    weight = {}
    for image, matched, ignore, score in zip(dts["image_id"], dts["gt_id"], dts["ignore"], dts["score"]):
        if matched < 0 and not ignore:  # a score that is no number weighs nothing
            weight[image] = weight.get(image, 0.0) + (score if math.isfinite(score) else 0.0)
    for image, matched, ignore in zip(gts["image_id"], gts["matched"], gts["ignore"]):
        if not matched and not ignore:
            weight[image] = weight.get(image, 0.0) + 1
    expected = sorted(((-w, i) for i, w in weight.items() if w > 0))[:report.WORST_IMAGES]
    assert [im["image_id"] for im in worst] == [i for _, i in expected]
    assert [im["badness"] for im in worst] == pytest.approx([-w for w, _ in expected])


@pytest.mark.parametrize("thresholds, tags", [((0.6, 0.5), ["60", "50"]), ((0.33,), ["50"])],
                         ids=["chosen", "none evaluated: the first"])
def test_thresholds_of_the_table(tmp_path, thresholds, tags):
    E = quillscore.evaluate(VAL2014 / "instances_val2014_100.json", VAL2014 / "fake_bbox_results.json")
    E.report(tmp_path, thresholds=thresholds)
    table = _read_instances(tmp_path)
    assert [k[len("iou_"):] for k in table if k.startswith("iou_")] == tags
    dt = table["kind"] == "detection"
    for tag in tags:
        ours, _ = E.per_instance(t_idx=E.axes.iou_thrs.index(int(tag) / 100))
        assert np.array_equal(table[f"partner_{tag}"][dt], ours["gt_id"])
        assert np.array_equal(table[f"iou_{tag}"][dt], ours["iou"])


def test_csv_export_where_pyarrow_is_missing(tmp_path, monkeypatch):
    E = quillscore.evaluate(VAL2014 / "instances_val2014_100.json", VAL2014 / "fake_bbox_results.json")
    E.report(tmp_path)
    parquet = _read_instances(tmp_path)
    monkeypatch.setitem(sys.modules, "pyarrow", None)
    monkeypatch.setitem(sys.modules, "pyarrow.parquet", None)
    E.report(tmp_path)
    assert not (tmp_path / "instances.parquet").exists()
    text = _read_instances(tmp_path)
    assert list(text) == list(parquet)
    for key, column in parquet.items():
        if column.dtype.kind == "f":
            got = np.asarray([float(v) if v != "" else np.nan for v in text[key]])
            assert np.array_equal(got, column, equal_nan=True), key
        elif column.dtype.kind == "b":
            assert np.array_equal(text[key].astype(np.int64).astype(bool), column), key
        else:
            assert [str(v) if v is not None else "" for v in column] == list(text[key]), key


def test_names_are_escaped_and_shown_as_they_are(tmp_path):
    dataset, _, results = synthetic_instances(7)
    tricky = ['<script>alert("x")</script>', "a \"quoted\" & 'single' name", "ünïcødé 猫 – ✓",
              "</script><b>", "&amp; already"]
    for cat, name in zip(dataset["categories"], tricky * len(dataset["categories"])):
        cat["name"] = name
    gt = quillscore.COCO(dataset)
    E = quillscore.COCOeval(gt, gt.loadRes(results), "bbox")
    E.evaluate(), E.accumulate()
    page = E.report(tmp_path)
    text = page.read_text(encoding="utf-8")
    p = Page(text)
    assert len(p.scripts) == 2  # the data and the page's own
    names = [c["name"] for c in dataset["categories"]]
    assert [row[0][1] for row in p.rows] == names
    assert [row["name"] for row in p.data["categories"]] == names
    assert 'alert("x")</script>' not in text


def test_a_thousand_categories(tmp_path):
    """An LVIS-sized category list: every row in the table, the heatmap cut
    to the most confused classes, the page small enough to use."""
    rng = np.random.default_rng(11)
    cats = [{"id": i + 1, "name": f"class {i + 1}"} for i in range(1200)]
    images = [{"id": i + 1, "width": 640, "height": 480} for i in range(300)]
    anns, results = [], []
    for n in range(3000):
        image, cat = int(rng.integers(1, 301)), int(rng.integers(1, 1201))
        box = [float(v) for v in rng.uniform(0, 300, 2)] + [float(v) for v in rng.uniform(10, 150, 2)]
        anns.append({"id": n + 1, "image_id": image, "category_id": cat, "bbox": box,
                     "area": box[2] * box[3], "iscrowd": 0})
        guess = cat if rng.random() < 0.7 else int(rng.integers(1, 1201))
        results.append({"image_id": image, "category_id": guess, "score": float(rng.random()),
                        "bbox": [box[0] + rng.normal(0, 3), box[1] + rng.normal(0, 3), box[2], box[3]]})
    files = write_files(tmp_path, {"images": images, "annotations": anns, "categories": cats}, results)
    E = quillscore.evaluate(*files)
    start = time.perf_counter()
    page = E.report(tmp_path / "report")
    elapsed = time.perf_counter() - start
    p = Page(page.read_text(encoding="utf-8"))
    assert len(p.rows) == 1200
    assert p.data["confusion"]["shown"] == report.TOP_CONFUSED
    assert len(p.data["confusion"]["matrix"]) == report.TOP_CONFUSED + 1
    assert page.stat().st_size < 5 << 20
    assert elapsed < 60  # generous: a guard against a quadratic walk, not a timing


@pytest.mark.parametrize("case", ["written", "empty name", "a file in the way"])
def test_command_line_report(tmp_path, case):
    target = {"written": tmp_path / "out", "empty name": "", "a file in the way": tmp_path / "f" / "out"}[case]
    (tmp_path / "f").write_text("")
    r = subprocess.run([sys.executable, "-m", "quillscore", "--report", str(target)],
                       capture_output=True, text=True, timeout=300, cwd=tmp_path)
    if case == "written":
        assert r.returncode == 0, r.stderr
        assert r.stdout.splitlines()[-1] == f"report: {target / 'index.html'}"
        assert {f.name for f in target.iterdir()} == {"index.html", "instances.parquet",
                                                      "confusion_matrix.csv"}
        assert r.stderr == ""  # no progress off a terminal
    elif case == "empty name":
        assert r.returncode == 2 and "--report needs a file name" in r.stderr
    else:
        assert r.returncode == 1
        assert "cannot write the report into" in r.stderr
        assert " Average Precision" in r.stdout  # the summary is still printed


def _stderr_on_a_terminal(code: str) -> str:
    """What `code` writes to standard error, run with it on a new
    pseudo-terminal (of size 0 x 0, as a terminal-less session makes them)."""
    import os
    import pty
    import select
    master, slave = pty.openpty()
    proc = subprocess.Popen([sys.executable, "-c", code], stderr=slave, stdout=subprocess.DEVNULL)
    os.close(slave)
    out = b""
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        if select.select([master], [], [], 0.1)[0]:
            try:
                chunk = os.read(master, 4096)
            except OSError:  # the child has gone
                break
            if not chunk:
                break
            out += chunk
        elif proc.poll() is not None:
            break
    proc.kill()
    proc.wait()
    os.close(master)
    return out.decode("utf-8", "replace")


STEPS_RUN = """
import time
from quillscore._progress import Progress
with Progress(["loading", "matching"]) as step:
    step("loading"); time.sleep(1.5); step("matching"); time.sleep(0.5)
"""


def test_progress_on_a_terminal():
    text = _stderr_on_a_terminal(STEPS_RUN)
    assert "quillscore: loading (0/2 done) [00:01]" in text
    assert "quillscore: matching (1/2 done)" in text
    assert text.endswith("\r")  # the line is cleared at the end


class _Terminal(io.StringIO):
    def isatty(self):
        return True


@pytest.mark.parametrize("stream, tqdm", [(io.StringIO, True), (_Terminal, False)],
                         ids=["not a terminal", "without tqdm"])
def test_no_progress_off_a_terminal_or_without_tqdm(monkeypatch, stream, tqdm):
    monkeypatch.setattr(_progress, "DELAY", 0.0)
    monkeypatch.setattr(_progress, "REDRAW", 0.01)
    if not tqdm:
        monkeypatch.setitem(sys.modules, "tqdm", None)
    out = stream()
    with _progress.Progress(["loading", "matching"], stream=out) as step:
        for name in ("loading", "matching"):
            step(name)
            time.sleep(0.1)
    assert out.getvalue() == ""
