"""quillscore standing in for `pycocotools`: what install_as_pycocotools()
does to the import system (each scenario in a fresh interpreter), a
tutorial-style script and a table of malformed inputs run once on the real
package and once on the stand-in with the outputs compared, and showAnns
drawing what the reference draws."""

from __future__ import annotations

import contextlib
import io
import json
import textwrap
from pathlib import Path

import numpy as np
import pytest

import quillscore
from _child import run_python as run_child
from _paths import DATA_DIR

HERE = Path(__file__).resolve().parent
VAL2014 = DATA_DIR / "coco_val2014_100" / "instances_val2014_100.json"
KEYPOINTS = DATA_DIR / "coco_mini_2017" / "person_keypoints_val2017.json"


def run_python(args, *, env_extra=None, timeout=120):
    # A stand-in that recursed through the import system would exhaust
    # memory rather than fail: keep each child within 2 GiB.
    return run_child(args, memory=2 << 30, timeout=timeout, cwd=HERE, env_extra=env_extra)


def real_package_installed() -> bool:
    import importlib.util
    return importlib.util.find_spec("pycocotools") is not None


needs_real = pytest.mark.skipif(not real_package_installed(), reason="pycocotools is not installed")

# ---------------------------------------------------------------------------
# the import system, one fresh interpreter per scenario

PRELUDE = """
import importlib, importlib.util, sys
import quillscore
NAMES = ["pycocotools", "pycocotools.coco", "pycocotools.cocoeval", "pycocotools.mask",
         "pycocotools._mask"]

def assert_ours():
    import pycocotools, pycocotools.coco, pycocotools.cocoeval, pycocotools.mask, pycocotools._mask
    from pycocotools.coco import COCO
    from pycocotools.cocoeval import COCOeval, Params
    from pycocotools import mask as maskUtils
    assert COCO is quillscore.COCO and COCOeval is quillscore.COCOeval
    assert Params is quillscore.Params
    assert pycocotools.coco.COCO is COCO and pycocotools.cocoeval.COCOeval is COCOeval
    assert maskUtils.encode is quillscore.mask.encode and maskUtils.iou is quillscore._vireo.iou
    assert pycocotools._mask.decode is quillscore._vireo.decode
    assert importlib.import_module("pycocotools.mask") is maskUtils
    assert importlib.util.find_spec("pycocotools") is not None
    assert importlib.util.find_spec("pycocotools.cocoeval") is not None
    # nothing under the name is loaded from the real package's files
    for name, module in sys.modules.items():
        if name == "pycocotools" or name.startswith("pycocotools."):
            assert "quillscore" in (getattr(module, "__file__", "") or ""), (name, module)
"""

SCENARIOS = {
    "nothing imported before": """
        quillscore.install_as_pycocotools()
        assert_ours()
    """,
    "the real package imported before": """
        import pycocotools.coco, pycocotools.cocoeval, pycocotools.mask
        from pycocotools.cocoeval import COCOeval as bound_before
        real = pycocotools.cocoeval
        assert bound_before is not quillscore.COCOeval
        quillscore.install_as_pycocotools()
        assert_ours()
        # the one caveat: names bound before the call keep the old objects
        assert bound_before is real.COCOeval and bound_before is not quillscore.COCOeval
    """,
    "only the extension imported before": """
        import pycocotools._mask
        quillscore.install_as_pycocotools()
        assert_ours()
    """,
    "the real package not installed": """
        class NotInstalled:
            def find_spec(self, name, path=None, target=None):
                if name == "pycocotools" or name.startswith("pycocotools."):
                    raise ModuleNotFoundError(f"No module named {name!r}", name=name)
        sys.meta_path.insert(0, NotInstalled())
        try:
            import pycocotools.coco
        except ModuleNotFoundError:
            pass
        else:
            raise AssertionError("the blocker let the real package through")
        quillscore.install_as_pycocotools()
        assert_ours()
    """,
    "installed twice": """
        quillscore.install_as_pycocotools()
        first = {name: sys.modules[name] for name in NAMES}
        quillscore.install_as_pycocotools()
        assert {name: sys.modules[name] for name in NAMES} == first
        assert_ours()
    """,
    "a submodule dropped and imported again": """
        quillscore.install_as_pycocotools()
        del sys.modules["pycocotools.coco"]
        import pycocotools.coco
        assert pycocotools.coco.COCO is quillscore.COCO
        assert_ours()
    """,
    "a submodule the package does not have": """
        quillscore.install_as_pycocotools()
        try:
            import pycocotools.cocoanalyze
        except ModuleNotFoundError:
            pass
        else:
            raise AssertionError("an unknown submodule was found")
        assert_ours()
    """,
}


@pytest.mark.parametrize("scenario", list(SCENARIOS))
def test_install_as_pycocotools(scenario):
    if "imported before" in scenario and "nothing" not in scenario and not real_package_installed():
        pytest.skip("pycocotools is not installed")
    code = PRELUDE + textwrap.dedent(SCENARIOS[scenario]) + "\nprint('ok')\n"
    r = run_python(["-c", code])
    assert (r.returncode, r.stdout.strip()) == (0, "ok"), r.stderr


# ---------------------------------------------------------------------------
# the same scripts on the real package and on the stand-in


def both_ways(script: str) -> tuple[dict, dict]:
    if not DATA_DIR.exists():
        pytest.skip(f"{DATA_DIR} is not available")
    out = {}
    for which in ("real", "standin"):
        r = run_python([script, which, str(DATA_DIR)])
        assert r.returncode == 0, (which, r.stderr)
        out[which] = json.loads(r.stdout)
    return out["real"], out["standin"]


@needs_real
def test_tutorial_script_sees_the_same():
    real, standin = both_ways("standin_tutorial.py")
    assert (real["origin"], standin["origin"]) == ("pycocotools.cocoeval", "quillscore.cocoeval")
    assert list(standin["seen"]) == list(real["seen"])
    for key, value in real["seen"].items():
        assert standin["seen"][key] == value, key


PLAIN_ERRORS = {"FileNotFoundError", "ResultsError", "ValueError", "TypeError", "OverflowError",
                "KeyError", "IndexError", "RuntimeError"}


@needs_real
def test_bad_input_gets_the_same_plain_errors():
    real, standin = both_ways("standin_bad_inputs.py")
    assert list(standin) == list(real)
    for case, ((real_type, _),) in real.items():
        through_name, direct = standin[case]
        assert real_type != "no error", case
        # the same error whichever name is used, a plain one with a message
        assert through_name == direct, case
        assert direct[0] in PLAIN_ERRORS and direct[1], (case, direct)


# ---------------------------------------------------------------------------
# showAnns


def _drawn(ax) -> dict:
    """Everything an axes shows, colours included."""
    return {
        "collections": [([p.vertices.tolist() for p in c.get_paths()], c.get_facecolor().tolist(),
                         c.get_edgecolor().tolist(), list(c.get_linewidths()), c.get_alpha())
                        for c in ax.collections],
        "images": [np.asarray(im.get_array()) for im in ax.images],
        "lines": [(line.get_xydata().tolist(), line.get_color(), line.get_marker(),
                   line.get_markersize(), line.get_markerfacecolor(), line.get_markeredgecolor(),
                   line.get_markeredgewidth(), line.get_linewidth()) for line in ax.lines],
    }


def _show(coco, anns, draw_bbox):
    import matplotlib.pyplot as plt

    fig = plt.figure()
    np.random.seed(7)  # the same colours both ways
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        returned = coco.showAnns(anns, draw_bbox=draw_bbox)
    drawn = _drawn(plt.gca())
    plt.close(fig)
    return returned, printed.getvalue(), drawn


def _instances(coco):
    crowd = coco.getAnnIds(iscrowd=1)
    image = coco.loadAnns(crowd[0])[0]["image_id"]
    return coco.loadAnns(coco.getAnnIds(imgIds=image))


SHOWN = {
    "polygons and crowd masks": (VAL2014, _instances, False),
    "with boxes": (VAL2014, _instances, True),
    "keypoints and skeletons": (KEYPOINTS, lambda c: c.loadAnns(c.getAnnIds()[:12]), True),
    "uncompressed crowd mask": (KEYPOINTS, lambda c: c.loadAnns(c.getAnnIds(iscrowd=1)[:2]), False),
    "captions": (None, lambda c: [{"image_id": 1, "caption": "a cat"}, {"caption": "on a mat"}], False),
    "nothing": (None, lambda c: [], False),
}


@needs_real
@pytest.mark.parametrize("case", list(SHOWN))
@pytest.mark.filterwarnings("ignore:__array__ implementation:DeprecationWarning")  # the reference's
def test_show_anns_draws_what_the_reference_draws(case):
    matplotlib = pytest.importorskip("matplotlib", reason="matplotlib is not installed")
    matplotlib.use("Agg")
    from pycocotools.coco import COCO as Reference

    path, pick, draw_bbox = SHOWN[case]
    if path is not None and not path.exists():
        pytest.skip(f"{path} is not available")
    with contextlib.redirect_stdout(io.StringIO()):
        ref = Reference(str(path)) if path else Reference()
    ours = quillscore.COCO(str(path)) if path else quillscore.COCO()
    mine, theirs = _show(ours, pick(ours), draw_bbox), _show(ref, pick(ref), draw_bbox)
    assert mine[:2] == theirs[:2]
    got, want = mine[2], theirs[2]
    assert got["collections"] == want["collections"]
    assert got["lines"] == want["lines"]
    assert len(got["images"]) == len(want["images"])
    for a, b in zip(got["images"], want["images"]):
        assert a.shape == b.shape and np.array_equal(a, b)
    if case != "nothing":
        assert got["collections"] or got["images"] or mine[1]


def test_show_anns_refuses_what_it_cannot_draw():
    with pytest.raises(ValueError, match="showAnns draws annotations with a 'segmentation' or "
                                         "'keypoints' and prints those with a 'caption'"):
        quillscore.COCO().showAnns([{"bbox": [0, 0, 1, 1]}])


def test_show_anns_without_matplotlib(tmp_path):
    fake = tmp_path / "matplotlib"
    fake.mkdir()
    (fake / "__init__.py").write_text("raise ImportError('no matplotlib here')\n")
    code = textwrap.dedent("""
        import quillscore
        try:
            quillscore.COCO().showAnns([{"segmentation": [[0, 0, 1, 0, 1, 1]]}])
        except quillscore.plot.PlotUnavailable as e:
            print(e)
    """)
    r = run_python(["-c", code], env_extra={"PYTHONPATH": str(tmp_path)})
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "showAnns needs matplotlib; install it with: pip install matplotlib"
