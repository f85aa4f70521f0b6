"""The command line, end to end in a subprocess: exit codes, output, the
--json schema and the error lines."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np
import pytest

from _paths import DATA_DIR

VAL2014 = DATA_DIR / "coco_val2014_100"
CLASSIC_BBOX = [0.505, 0.697, 0.573, 0.586, 0.519, 0.501, 0.387, 0.594, 0.595, 0.640, 0.566, 0.564]
STAT_NAMES = ["AP", "AP50", "AP75", "APs", "APm", "APl", "AR1", "AR10", "AR100", "ARs", "ARm", "ARl"]


CHECKOUT = Path(__file__).resolve().parents[2]


def cli(*args, env=None, cwd=None):
    return subprocess.run([sys.executable, "-m", "quillscore", *map(str, args)],
                          capture_output=True, text=True, timeout=300,
                          cwd=cwd or tempfile.gettempdir(), env=env)


def summary_values(stdout: str) -> list[float]:
    return [float(line.rsplit("=", 1)[1]) for line in stdout.splitlines() if line.startswith(" Average")]


# From the checkout's root too, where a package folder at the top would
# shadow the installed package and its extension.
@pytest.mark.parametrize("cwd", [None, CHECKOUT], ids=["elsewhere", "checkout root"])
def test_no_arguments_evaluates_the_bundled_sample(cwd):
    r = cli(cwd=cwd)
    assert r.returncode == 0, r.stderr
    assert r.stderr == ""
    assert "bundled sample" in r.stdout.splitlines()[0]
    assert summary_values(r.stdout) == CLASSIC_BBOX


def test_console_script_is_installed():
    script = subprocess.run([sys.executable, "-c",
                             "import shutil, sys, os; print(shutil.which('quillscore', "
                             "path=os.path.dirname(sys.executable)))"], capture_output=True, text=True)
    path = script.stdout.strip()
    if path == "None":
        pytest.skip("no console script next to this interpreter")
    r = subprocess.run([path, "--version"], capture_output=True, text=True)
    assert r.returncode == 0 and r.stdout.startswith("quillscore ")


def need(path):
    if not path.exists():
        pytest.skip(f"{path} is not available")
    return path


@pytest.mark.parametrize("iou_type,results,first", [
    ("bbox", "fake_bbox_results.json", 0.505),
    ("segm", "fake_segm_results.json", 0.320),
])
def test_files_and_json_output(tmp_path, iou_type, results, first):
    out = tmp_path / "out.json"
    r = cli(need(VAL2014 / "instances_val2014_100.json"), need(VAL2014 / results),
            "--iou-type", iou_type, "--json", out, "--per-category", "--timings")
    assert r.returncode == 0, r.stderr
    assert summary_values(r.stdout)[0] == first
    doc = json.loads(out.read_text())
    assert set(doc) == {"schema", "quillscore", "mode", "iou_type", "ground_truth", "results",
                        "stats", "summary", "params", "per_category", "timings"}
    assert doc["schema"] == 2 and doc["mode"] == "coco" and doc["iou_type"] == iou_type
    assert list(doc["stats"]) == STAT_NAMES
    assert round(doc["stats"]["AP"], 3) == first
    assert len(doc["summary"]) == 12
    assert doc["params"]["maxDets"] == [1, 10, 100] and doc["params"]["imgIds"] == 100
    row = doc["per_category"][0]
    assert list(row) == ["category_id", "name", "num_gt", "num_dt", *STAT_NAMES]
    assert row["name"] == "person"
    assert "iou_cpu" in doc["timings"]
    # the per-category table and the timings are printed too
    assert "person" in r.stdout and "iou_cpu" in r.stdout


def test_crowdpose_keypoints(tmp_path):
    samples = DATA_DIR / "keypoints_samples"
    r = cli(need(samples / "crowdpose_val_sample.json"), need(samples / "crowdpose_results_sample.json"),
            "--iou-type", "keypoints_crowd", "--json", "-", "--per-category")
    assert r.returncode == 0, r.stderr
    doc = json.loads(r.stdout)
    assert [round(v, 3) for v in doc["stats"].values()] == [
        0.788, 0.988, 0.731, 0.822, 1.000, 0.778, 1.000, 0.980, 0.412]
    assert list(doc["stats"])[-3:] == ["AP_easy", "AP_medium", "AP_hard"]
    assert doc["summary"][-1].split("|")[1].strip() == "type=  hard"
    assert doc["per_category"][0]["AP_hard"] == doc["stats"]["AP_hard"]


def test_json_to_stdout_is_only_json():
    r = cli(need(VAL2014 / "instances_val2014_100.json"), need(VAL2014 / "fake_bbox_results.json"),
            "--json", "-")
    assert r.returncode == 0
    doc = json.loads(r.stdout)
    assert "per_category" not in doc and "timings" not in doc
    assert [round(v, 3) for v in doc["stats"].values()] == CLASSIC_BBOX


def test_keypoints_and_lvis(tmp_path):
    kp = need(DATA_DIR / "keypoints_samples" / "crowdpose_val_sample.json")
    # the sample needs its own sigmas for good numbers, but it runs with the defaults too
    gt = json.loads(kp.read_text())
    res = json.loads((DATA_DIR / "keypoints_samples" / "crowdpose_results_sample.json").read_text())
    for a in gt["annotations"]:
        a["keypoints"] = a["keypoints"] + [0, 0, 0] * 3
    for d in res:
        d["keypoints"] = d["keypoints"] + [0, 0, 0] * 3
    (tmp_path / "gt.json").write_text(json.dumps(gt))
    (tmp_path / "dt.json").write_text(json.dumps(res))
    r = cli(tmp_path / "gt.json", tmp_path / "dt.json", "--iou-type", "keypoints", "--json", "-")
    assert r.returncode == 0, r.stderr
    assert list(json.loads(r.stdout)["stats"]) == ["AP", "AP50", "AP75", "APm", "APl",
                                                   "AR", "AR50", "AR75", "ARm", "ARl"]

    lvis_file = need(DATA_DIR / "lvis_v1_val_100" / "lvis_v1_val_100.json")
    dataset = json.loads(lvis_file.read_text())
    results = [{"image_id": a["image_id"], "category_id": a["category_id"], "bbox": a["bbox"], "score": 0.9}
               for a in dataset["annotations"]]
    (tmp_path / "lvis_dt.json").write_text(json.dumps(results))
    r = cli(lvis_file, tmp_path / "lvis_dt.json", "--lvis", "--json", "-", "--per-category")
    assert r.returncode == 0, r.stderr
    doc = json.loads(r.stdout)
    assert doc["mode"] == "lvis" and doc["stats"]["AP"] == 1.0
    assert "APr" in doc["stats"] and "AR@300" in doc["stats"]
    assert len(doc["per_category"]) == len(dataset["categories"])


def write(tmp_path, name, text):
    path = tmp_path / name
    path.write_text(text)
    return path


@pytest.mark.parametrize("case", ["missing gt", "missing results", "malformed gt", "malformed results",
                                  "unknown images", "directory", "not a dataset", "missing key",
                                  "missing score", "keypoint sigmas"])
def test_errors_are_one_line(tmp_path, case):
    gt = need(VAL2014 / "instances_val2014_100.json")
    good = json.dumps([{"image_id": 42, "category_id": 18, "bbox": [1, 2, 3, 4], "score": 0.5}])
    cases = {
        "missing gt": lambda: ((tmp_path / "nope.json", write(tmp_path, "r.json", good)),
                               "nope.json: no such file"),
        "missing results": lambda: ((gt, tmp_path / "nope.json"), "nope.json: no such file"),
        "malformed gt": lambda: ((write(tmp_path, "g.json", '{"images": [}'), write(tmp_path, "r.json", good)),
                                 "line 1 column 13"),
        "malformed results": lambda: ((gt, write(tmp_path, "r.json", '[{"image_id": 1,')), "r.json"),
        "unknown images": lambda: ((gt, write(tmp_path, "r.json", good.replace("42", "999999999"))),
                                   "not in the dataset"),
        "directory": lambda: ((gt, tmp_path), "is a directory"),
        "not a dataset": lambda: ((write(tmp_path, "g.json", "[1, 2]"), write(tmp_path, "r.json", good)),
                                  "expected a JSON object"),
        "missing key": lambda: ((gt, write(tmp_path, "r.json", '[{"image_id": 42, "bbox": [1, 2, 3, 4]}]')),
                                "category_id"),
        "missing score": lambda: ((gt, write(tmp_path, "r.json", good.replace('"score": 0.5', '"score": null'))),
                                  "result 0 has no 'score'"),
        # the default sigmas are for 17 keypoints, not the sample's 14
        "keypoint sigmas": lambda: ((need(DATA_DIR / "keypoints_samples" / "crowdpose_val_sample.json"),
                                     need(DATA_DIR / "keypoints_samples" / "crowdpose_results_sample.json"),
                                     "--iou-type", "keypoints"),
                                    "17 keypoint sigmas for 14 keypoints"),
    }
    args, expect = cases[case]()
    r = cli(*args)
    assert r.returncode == 1
    assert r.stdout == ""
    lines = r.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("quillscore: error: "), r.stderr
    assert expect in lines[0]
    assert "Traceback" not in r.stderr


@pytest.mark.parametrize("args", [["only-one.json"], ["--iou-type", "mask"], ["--bogus"],
                                  ["a.json", "b.json", "--lvis", "--iou-type", "keypoints"],
                                  ["--json", ""], ["--plot-pr", ""]])
def test_usage_errors_exit_2(args):
    r = cli(*args)
    assert r.returncode == 2
    assert "usage:" in r.stderr or "quillscore: error:" in r.stderr
    assert "Traceback" not in r.stderr


def test_plot_pr(tmp_path):
    pytest.importorskip("matplotlib", reason="matplotlib is not installed")
    out = tmp_path / "pr.png"
    r = cli("--plot-pr", out)
    assert r.returncode == 0, r.stderr
    assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_plot_pr_without_matplotlib(tmp_path):
    # A package of that name that fails to import stands in for its absence.
    fake = tmp_path / "fake" / "matplotlib"
    fake.mkdir(parents=True)
    (fake / "__init__.py").write_text("raise ImportError('no matplotlib here')\n")
    out = tmp_path / "pr.png"
    r = cli("--plot-pr", out, env={**os.environ, "PYTHONPATH": str(tmp_path / "fake")})
    # the summary still comes, then one line saying how to get the plot
    assert r.returncode == 1
    assert summary_values(r.stdout) == CLASSIC_BBOX
    assert r.stderr.strip() == ("quillscore: error: --plot-pr needs matplotlib; install it with: "
                                "pip install matplotlib")
    assert not out.exists()


def test_unwritable_json_output(tmp_path):
    r = cli("--json", tmp_path / "no" / "such" / "dir.json")
    assert r.returncode == 1
    assert summary_values(r.stdout) == CLASSIC_BBOX
    assert r.stderr.startswith("quillscore: error: cannot write")


def test_diagnostics_in_print_and_json():
    """--diagnostics reports what the package's diagnostics compute for the
    same evaluation, in the printed report and in the JSON."""
    import quillscore
    from quillscore.cli import sample_paths
    E = quillscore.evaluate(*sample_paths(), "bbox")
    printed = cli("--diagnostics")
    assert printed.returncode == 0, printed.stderr
    for heading in ("best F1 per category", "most frequent confusions", "error breakdown"):
        assert heading in printed.stdout
    doc = json.loads(cli("--diagnostics", "--json", "-").stdout)
    assert doc["schema"] == 2 and len(doc["per_category"]) == len(E.per_category())
    d = doc["diagnostics"]
    assert d["error_analysis"] == json.loads(json.dumps(E.error_analysis()))
    k = len(E.axes.cat_ids)
    matrix = np.asarray(d["confusion_matrix"]["matrix"])
    assert matrix.shape == (k + 1, k + 1) and (matrix == E.confusion_matrix()).all()
    best = {row["category_id"]: row for row in d["best_f1"]}
    assert best[-1]["f1"] == E.operating_points()["best_f1"][-1]["f1"]


@pytest.mark.parametrize("args,status,needle", [
    (["a.json", "b.json", "--lvis", "--diagnostics"], 2, "applies to COCO evaluation"),
])
def test_diagnostics_refused(tmp_path, args, status, needle):
    r = cli(*args, cwd=tmp_path)
    assert r.returncode == status and needle in r.stderr
