"""What the extension module looks like from Python: its exported names and
their order, signatures, docstrings, argument binding, the allocation
counters of the standard build, and PanicException."""

from __future__ import annotations

import inspect
import pydoc

import numpy as np
import pytest

# Every name the finished module exports, in registration order: the three
# classes, then the functions. Parts of the module that have not landed yet
# are simply absent; what is present must keep this order.
FULL_EXPORT_ORDER = [
    "Evaluator",
    "MatchState",
    "CompactBbox",
    "CompactMasks",
    "CompactKeypoints",
    "FileBytes",
    "load_compact_bbox",
    "load_compact_masks",
    "load_compact_keypoints",
    "scan_results",
    "prepare_segm_results",
    "prepare_keypoint_results",
    "index_annotations",
    "prepare_bbox_results",
    "encode",
    "decode",
    "merge",
    "area",
    "toBbox",
    "iou",
    "frBbox",
    "frPoly",
    "frUncompressedRLE",
    "frPyObjects",
    "toBoundary",
    "load_json",
    "parse_json_only",
    "read_file_only",
    "read_file",
    "alloc_stats",
    "reset_alloc_peak",
]

MASK_AND_ALLOC = [
    "encode", "decode", "merge", "area", "toBbox", "iou", "frBbox", "frPoly",
    "frUncompressedRLE", "frPyObjects", "toBoundary", "alloc_stats", "reset_alloc_peak",
]

P = inspect.Parameter
# name -> [(parameter, default or P.empty)]
SIGNATURES = {
    "encode": [("mask", P.empty)],
    "decode": [("rle_objs", P.empty)],
    "merge": [("rle_objs", P.empty), ("intersect", 0)],
    "area": [("rle_objs", P.empty)],
    "toBbox": [("rle_objs", P.empty)],
    "iou": [("dt", P.empty), ("gt", P.empty), ("iscrowd", P.empty)],
    "frBbox": [("bb", P.empty), ("h", P.empty), ("w", P.empty)],
    "frPoly": [("poly", P.empty), ("h", P.empty), ("w", P.empty)],
    "frUncompressedRLE": [("uc", P.empty), ("_h", P.empty), ("_w", P.empty)],
    "frPyObjects": [("obj", P.empty), ("h", P.empty), ("w", P.empty)],
    "toBoundary": [("rle_objs", P.empty), ("dilation_ratio", 0.02)],
    "alloc_stats": [],
    "reset_alloc_peak": [],
}

TEXT_SIGNATURES = {
    "encode": "encode(mask)",
    "decode": "decode(rle_objs)",
    "merge": "merge(rle_objs, intersect=0)",
    "area": "area(rle_objs)",
    "toBbox": "toBbox(rle_objs)",
    "iou": "iou(dt, gt, iscrowd)",
    "frBbox": "frBbox(bb, h, w)",
    "frPoly": "frPoly(poly, h, w)",
    "frUncompressedRLE": "frUncompressedRLE(uc, _h, _w)",
    "frPyObjects": "frPyObjects(obj, h, w)",
    "toBoundary": "toBoundary(rle_objs, dilation_ratio=0.02)",
    "alloc_stats": "alloc_stats()",
    "reset_alloc_peak": "reset_alloc_peak()",
}

ALLOC_DISABLED = {
    "enabled": False,
    "live_bytes": 0,
    "peak_bytes": 0,
    "total_allocated_bytes": 0,
    "allocations": 0,
    "frees": 0,
}

R = {"size": [2, 2], "counts": b"04"}


def test_all_lists_exports_in_registration_order(qm):
    names = qm.__all__
    assert type(names) is list and all(type(n) is str for n in names)
    assert len(set(names)) == len(names)
    assert set(MASK_AND_ALLOC) <= set(names)
    assert set(names) <= set(FULL_EXPORT_ORDER), set(names) - set(FULL_EXPORT_ORDER)
    assert names == [n for n in FULL_EXPORT_ORDER if n in names]
    for n in names:
        assert hasattr(qm, n)
    # the exception type is reachable but not exported
    assert "PanicException" not in names


def test_module_docstring_is_empty(qm):
    assert qm.__doc__ == ""
    assert qm.__name__ == "quillscore._vireo"


@pytest.mark.parametrize("name", SIGNATURES)
def test_function_identity(qm, name):
    f = getattr(qm, name)
    assert f.__module__ == "quillscore._vireo"
    assert f.__name__ == name
    assert inspect.isbuiltin(f)


@pytest.mark.parametrize("name", SIGNATURES)
def test_signatures(qm, name):
    sig = inspect.signature(getattr(qm, name))
    got = [(p.name, p.default) for p in sig.parameters.values()]
    assert got == SIGNATURES[name]
    for p in sig.parameters.values():
        assert p.kind is P.POSITIONAL_OR_KEYWORD
        if p.default is not P.empty:
            assert type(p.default) is type(dict(SIGNATURES[name])[p.name])


@pytest.mark.parametrize("name", SIGNATURES)
def test_help_starts_with_signature(qm, name):
    f = getattr(qm, name)
    text = pydoc.plain(pydoc.text.document(f))
    assert text.startswith(TEXT_SIGNATURES[name] + "\n")
    assert f.__text_signature__ == TEXT_SIGNATURES[name][len(name):]


@pytest.mark.parametrize("name", [n for n in SIGNATURES if n not in ("toBoundary", "alloc_stats", "reset_alloc_peak")])
def test_mask_docstrings_carry_no_prose(qm, name):
    assert not getattr(qm, name).__doc__


def test_prose_docstrings(qm):
    assert qm.toBoundary.__doc__ == "Extension: boundary mask of an RLE, for Boundary IoU."
    assert qm.reset_alloc_peak.__doc__ == (
        "Drop the allocation high-water mark to the current live figure, so the\n"
        "next phase can be measured on its own."
    )
    lines = qm.alloc_stats.__doc__.split("\n")
    assert "allocator.cc" in lines[0]
    assert lines[1:] == [
        "",
        "`enabled` is false unless the extension was built with the `alloc-stats`",
        "feature, in which case every other field is zero and should be ignored",
        'rather than reported as "no allocations".',
    ]


# -------------------------------------------------------------------------
# argument binding

# CPython's wording; what must be there is the function's name, the names of
# the parameters concerned, and the fragments for keyword mistakes.
BINDING_ERRORS = [
    ("missing-one", lambda qm: qm.iou([], []), r"^iou\(\) missing .*'iscrowd'"),
    ("missing-two", lambda qm: qm.frBbox([]), r"^frBbox\(\) missing .*'h' and 'w'"),
    ("missing-all", lambda qm: qm.frPyObjects(), r"^frPyObjects\(\) missing .*'obj', 'h',? and 'w'"),
    ("missing-only-required", lambda qm: qm.merge(intersect=1), r"^merge\(\) missing .*'rle_objs'"),
    ("missing-after-keyword", lambda qm: qm.frPoly([], w=3), r"^frPoly\(\) missing .*'h'$"),
    ("missing-underscore", lambda qm: qm.frUncompressedRLE([], 1), r"^frUncompressedRLE\(\) missing .*'_w'$"),
    ("missing-no-args", lambda qm: qm.toBoundary(), r"^toBoundary\(\) missing .*'rle_objs'$"),
    ("unexpected-keyword", lambda qm: qm.area([], masks=1),
     r"^area\(\) got an unexpected keyword argument 'masks'$"),
    ("unexpected-keyword-2", lambda qm: qm.toBoundary([], ratio=0.1),
     r"^toBoundary\(\) got an unexpected keyword argument 'ratio'$"),
    ("pycocotools-style-keyword", lambda qm: qm.frUncompressedRLE([], h=1, w=1),
     r"^frUncompressedRLE\(\) got an unexpected keyword argument 'h'$"),
    ("multiple-values", lambda qm: qm.merge([], 0, intersect=1),
     r"^merge\(\) got multiple values for argument 'intersect'$"),
    ("multiple-values-first", lambda qm: qm.encode(np.zeros((1, 1, 1), np.uint8), mask=None),
     r"^encode\(\) got multiple values for argument 'mask'$"),
    ("too-many", lambda qm: qm.area([], []), r"^area\(\) takes .*2 were given"),
    ("too-many-with-optional", lambda qm: qm.merge([], 0, 0), r"^merge\(\) takes .*3 were given"),
    ("too-many-iou", lambda qm: qm.iou([], [], [], []), r"^iou\(\) takes .*4 were given"),
    ("no-args-function", lambda qm: qm.alloc_stats(1), r"\balloc_stats\(\) takes no arguments"),
    ("no-args-keyword", lambda qm: qm.reset_alloc_peak(x=1), r"\breset_alloc_peak\(\) takes no keyword arguments"),
]


@pytest.mark.parametrize("call,pattern", [c[1:] for c in BINDING_ERRORS], ids=[c[0] for c in BINDING_ERRORS])
def test_binding_errors(qm, call, pattern):
    with pytest.raises(TypeError, match=pattern) as info:
        call(qm)
    # binding happens before any conversion, so no argument is blamed
    assert getattr(info.value, "__notes__", None) is None


def test_binding_errors_come_before_conversion(qm):
    # a bad argument is not even looked at when the call itself is malformed
    with pytest.raises(TypeError, match="unexpected keyword"):
        qm.frBbox("junk", -1, -1, z=0)
    with pytest.raises(TypeError, match="missing"):
        qm.frBbox("junk", -1)


def test_keyword_calls(qm):
    masks = np.zeros((3, 4, 2), np.uint8)
    masks[1, 2, 0] = 1
    rles = qm.encode(mask=masks)
    assert rles == qm.encode(masks)
    assert np.array_equal(qm.decode(rle_objs=rles), masks)
    assert qm.area(rle_objs=rles).tolist() == [1, 0]
    assert qm.toBbox(rle_objs=rles).tolist() == qm.toBbox(rles).tolist()
    assert qm.merge(rle_objs=rles, intersect=1) == qm.merge(rles, 1)
    assert qm.merge(intersect=0, rle_objs=rles) == qm.merge(rles)
    assert qm.iou(iscrowd=[0], gt=[[0, 0, 2, 2]], dt=[[1, 1, 2, 2]]).tolist() == [[1 / 7]]
    box = [[0, 0, 2, 2]]
    assert qm.frBbox(w=5, h=4, bb=box) == qm.frBbox(box, 4, 5)
    assert qm.frPoly(poly=[[0, 0, 3, 0, 3, 3]], h=4, w=5) == qm.frPoly([[0, 0, 3, 0, 3, 3]], 4, 5)
    assert qm.frUncompressedRLE(uc=[{"size": [2, 2], "counts": [4]}], _h=0, _w=0) == [
        {"size": [2, 2], "counts": b"4"}
    ]
    assert qm.frPyObjects(obj=box, h=4, w=5) == qm.frBbox(box, 4, 5)
    assert qm.frPyObjects(box, 4, w=5) == qm.frBbox(box, 4, 5)
    assert qm.toBoundary(rle_objs=[R], dilation_ratio=0.5) == qm.toBoundary([R], 0.5)


def test_defaults_apply(qm):
    a = qm.frBbox([[0, 0, 3, 3]], 6, 6)[0]
    b = qm.frBbox([[2, 2, 3, 3]], 6, 6)[0]
    assert qm.merge([a, b]) == qm.merge([a, b], 0) != qm.merge([a, b], 1)
    rles = qm.frBbox([[5, 5, 60, 40]], 100, 120)
    assert qm.toBoundary(rles) == qm.toBoundary(rles, 0.02)
    assert qm.toBoundary(rles) != qm.toBoundary(rles, 0.1)


def _keyword_entry_points(qm, tmp_path):
    """Every function and method of the module that takes parameters, by
    label: the module's functions, the Evaluator constructor and the methods
    of an Evaluator and of a CompactBbox."""
    from _eval_data import tiny

    path = tmp_path / "results.json"
    path.write_text("[]")
    _, compact = qm.load_compact_bbox(str(path), results=True)
    found = {"Evaluator": qm.Evaluator}
    for owner, prefix in [(qm, ""), (tiny([], []), "Evaluator."), (compact, "CompactBbox.")]:
        for name in dir(owner):
            f = getattr(owner, name)
            if callable(f) and not name.startswith("_") and not isinstance(f, type):
                found[prefix + name] = f
    return {label: f for label, f in found.items() if inspect.signature(f).parameters}


def _malformed_calls(sig):
    """(label, args, kwargs): calls that each get one thing wrong, as their
    binding alone can tell."""
    names = list(sig.parameters)
    required = [n for n, p in sig.parameters.items() if p.default is P.empty]
    junk = object()
    calls = [("too many positional", [junk] * (len(names) + 1), {}),
             ("unknown keyword", [junk] * len(required), {"zz_not_a_parameter": junk}),
             ("positional and keyword", [junk], {n: junk for n in names[: max(len(required), 1)]})]
    if required:
        calls += [("nothing", [], {}),
                  ("last required left out", [junk] * (len(required) - 1), {}),
                  ("first required left out", [], {n: junk for n in required[1:]})]
    return calls


def test_every_entry_point_binds_as_its_signature_says(qm, tmp_path):
    # A Python function with the same text signature is the reference: each
    # malformed call must fail with its TypeError, word for word, and so the
    # binding accepts exactly the parameters the docstring shows.
    entry_points = _keyword_entry_points(qm, tmp_path)
    assert {"Evaluator", "Evaluator.run", "CompactBbox.valid_images", "merge", "load_json"} <= set(entry_points)
    for label, f in entry_points.items():
        sig = inspect.signature(f)
        name = label.rpartition(".")[2]
        scope = {}
        exec(f"def {name}{sig}: pass", scope)
        for case, args, kwargs in _malformed_calls(sig):
            with pytest.raises(TypeError) as expected:
                scope[name](*args, **kwargs)
            with pytest.raises(TypeError) as got:
                f(*args, **kwargs)
            assert str(got.value) == str(expected.value), (label, case)
            assert getattr(got.value, "__notes__", None) is None, (label, case)


def test_each_default_shown_is_what_leaving_the_argument_out_means(qm, tmp_path):
    from _eval_data import TINY_PARAMS, box_ann, tiny

    gt = [box_ann(1, 1, [0, 0, 10, 10]), box_ann(2, 2, [5, 5, 40, 40])]
    # more detections on one image than the default detection limit keeps
    dt = [box_ann(1, 1, [i / 10, 0, 10, 10], score=i / 200) for i in range(150)]
    dt.append(box_ann(2, 2, [5, 5, 30, 30], score=0.7))
    ev = tiny(gt, dt)
    rles = qm.frBbox([[0, 0, 30, 20], [10, 5, 30, 30]], 50, 60)
    path = tmp_path / "dataset.json"
    path.write_text('{"images": [{"id": 1}], "annotations": '
                    '[{"id": 7, "image_id": 1, "category_id": 1, "bbox": [0, 0, 2, 2], "area": 4, "iscrowd": 0}]}')

    masks_path = tmp_path / "masks.json"
    masks_path.write_text(path.read_text().replace('"iscrowd": 0', '"segmentation": [[0, 0, 2, 0, 2, 2]]'))
    points_path = tmp_path / "points.json"
    points_path.write_text(path.read_text().replace('"iscrowd": 0', '"num_keypoints": 1, "keypoints": [1, 1, 2]'))

    def compact(load, file):
        def call(**kw):
            members, rows = load(str(file), **kw)
            return members, rows.annotations()
        return call

    # label -> the entry point called with its required arguments
    calls = {
        "Evaluator": lambda **kw: qm.Evaluator(gt, dt, {}, **TINY_PARAMS, **kw).run(True),
        "Evaluator.run": ev.run,
        "Evaluator.per_instance": ev.per_instance,
        "Evaluator.similarity": ev.similarity,
        "Evaluator.category_counts": ev.category_counts,
        "Evaluator.matches": lambda **kw: ev.matches(**kw).to_bytes(),
        "Evaluator.start_matches": lambda **kw: ev.start_matches(**kw).result().to_bytes(),
        "Evaluator.operating_points": lambda **kw: ev.operating_points(0, 0, 100, **kw),
        "Evaluator.error_analysis": lambda **kw: ev.error_analysis([1, 2], **kw),
        "Evaluator.instances": lambda **kw: ev.instances([0], **kw),
        "merge": lambda **kw: qm.merge(rles, **kw),
        "toBoundary": lambda **kw: qm.toBoundary(rles, **kw),
        "load_compact_bbox": compact(qm.load_compact_bbox, path),
        "load_compact_masks": compact(qm.load_compact_masks, masks_path),
        "load_compact_keypoints": compact(qm.load_compact_keypoints, points_path),
    }
    optional = {label: [p for p in inspect.signature(f).parameters.values() if p.default is not P.empty]
                for label, f in _keyword_entry_points(qm, tmp_path).items()}
    assert set(calls) == {label for label, params in optional.items() if params}
    for label, call in calls.items():
        for p in optional[label]:
            assert repr(call(**{p.name: p.default})) == repr(call()), (label, p.name)


# -------------------------------------------------------------------------
# allocation counters and PanicException


def test_alloc_stats_of_standard_build(qm):
    stats = qm.alloc_stats()
    if stats.get("enabled"):
        pytest.skip("extension built with allocation counting")
    assert type(stats) is dict
    assert list(stats) == list(ALLOC_DISABLED)
    assert stats == ALLOC_DISABLED
    assert type(stats["enabled"]) is bool
    assert all(type(v) is int for k, v in stats.items() if k != "enabled")
    # a workload that allocates in the module changes nothing
    masks = np.ones((200, 300, 4), np.uint8)
    rles = qm.encode(masks)
    qm.iou(rles, rles, [0] * 4)
    qm.decode(rles)
    qm.toBoundary(rles)
    assert qm.reset_alloc_peak() is None
    after = qm.alloc_stats()
    assert list(after) == list(ALLOC_DISABLED)
    assert after == ALLOC_DISABLED
    # a fresh dict every call
    assert after is not stats
    after["live_bytes"] = 5
    assert qm.alloc_stats() == ALLOC_DISABLED


def test_alloc_stats_keys_in_every_build(qm):
    stats = qm.alloc_stats()
    assert list(stats) == list(ALLOC_DISABLED)
    assert type(stats["enabled"]) is bool
    assert qm.reset_alloc_peak() is None


def test_panic_exception_is_not_an_exception(qm):
    panic = qm.PanicException
    assert isinstance(panic, type)
    assert panic.__bases__ == (BaseException,)
    assert not issubclass(panic, Exception)
    assert panic.__name__ == "PanicException"
    # the same object every time it is looked up
    import quillscore._vireo as again

    assert again.PanicException is panic
    err = panic("mask worker panicked: boom")
    assert str(err) == "mask worker panicked: boom"
    with pytest.raises(panic):
        try:
            raise err
        except Exception:  # pragma: no cover - must not catch it
            pytest.fail("PanicException was caught as an Exception")
