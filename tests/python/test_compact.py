"""Compact box storage: load_compact_bbox's record reader (every message at
its position), CompactBbox's properties and methods, and box evaluations
from compact sides held to the same evaluations from dicts and to the
reference COCO API."""

from __future__ import annotations

import copy
import gc
import json

import numpy as np
import pytest

import _eval_data as data

from _paths import DATA_DIR  # noqa: E402

DATA = str(DATA_DIR)
VAL2014 = f"{DATA}/coco_val2014_100/instances_val2014_100.json"
VAL2014_RESULTS = f"{DATA}/coco_val2014_100/fake_bbox_results.json"
MINI = {
    "val": f"{DATA}/coco_mini_2017/instances_val2017.json",
    "train": f"{DATA}/coco_mini_2017/instances_train2017.json",
}

BOX = '"image_id": 1, "category_id": 2, "bbox": [0, 0, 1, 1]'
REC = "{" + BOX + "}"

# (mode, text, message). "@" marks the reference byte of the error: the
# expected position is the line and column of the byte just before the
# marker (column 0 when the marker starts its line). The marker is removed
# before the text is written.
ERRORS = [
    # the results file's top level
    ("results", "@", "EOF while parsing a value"),
    ("results", "  @", "EOF while parsing a value"),
    ("results", "@{}", "invalid type: map, expected bbox annotations"),
    ("results", '"x"@', 'invalid type: string "x", expected bbox annotations'),
    ("results", "[] x@", "trailing characters"),
    ("results", "[" + REC + ",]@", "trailing comma"),
    ("results", "[" + REC + " " + "x@]", "expected `,` or `]`"),
    ("results", "[" + REC + "@", "EOF while parsing a list"),
    # records of the wrong JSON type
    ("results", "[1@]", "invalid type: integer `1`, expected struct Record"),
    ("results", "[-1.5@]", "invalid type: floating point `-1.5`, expected struct Record"),
    ("results", '["a"@]', 'invalid type: string "a", expected struct Record'),
    ("results", "[null@]", "invalid type: null, expected struct Record"),
    ("results", "[false@]", "invalid type: boolean `false`, expected struct Record"),
    ("results", "[x@]", "expected value"),
    # required members, checked at the closing brace in this order
    ("results", "[{}@]", "missing field `image_id`"),
    ("results", '[{"category_id": 2, "bbox": [0, 0, 1, 1]}@]', "missing field `image_id`"),
    ('results', '[{"image_id": 1}@]', "missing field `category_id`"),
    ("results", '[{"image_id": 1, "category_id": 2}@]', "missing field `bbox`"),
    ("dataset", '{"annotations": [{"id": 1}@]}', "missing field `image_id`"),
    # repeated members: noticed after the key, before its colon
    ("results", '[{"bbox": [0, 0, 1, 1], "bbox"@: [0, 0, 1, 1]}]', "duplicate field `bbox`"),
    ("results", '[{"image_id": 1, "image_id" @: 2}]', "duplicate field `image_id`"),
    ("results", '[{"caption": 1, "caption"@: 1}]', "duplicate field `caption`"),
    ("results", '[{"score": null, "score"@: 1}]', "duplicate field `score`"),
    # integers
    ("results", '[{"image_id": 1.0@}]', "invalid type: floating point `1.0`, expected i64"),
    ("results", '[{"image_id": 1e20@}]', "invalid type: floating point `1e20`, expected i64"),
    ("results", '[{"image_id": -0@}]', "invalid type: floating point `-0.0`, expected i64"),
    ("results", '[{"image_id": 9223372036854775808@}]',
     "invalid value: integer `9223372036854775808`, expected i64"),
    ("results", '[{"image_id": -9223372036854775809@}]',
     "invalid type: floating point `-9.223372036854776e18`, expected i64"),
    ("results", '[{"category_id": "x"@}]', 'invalid type: string "x", expected i64'),
    ("results", '[{"image_id": null@}]', "invalid type: null, expected i64"),
    ("results", '[{"id": true@}]', "invalid type: boolean `true`, expected i64"),
    ("results", '[{"id": @[1]}]', "invalid type: sequence, expected i64"),
    ("results", '[{"category_id": @{}}]', "invalid type: map, expected i64"),
    ("results", '[{"image_id": +@1}]', "expected value"),
    ("results", '[{"image_id": 01@}]', "invalid number"),
    ("results", '[{"image_id":@', "EOF while parsing a value"),
    # floats
    ("results", '[{"score": "0.5"@}]', 'invalid type: string "0.5", expected f64'),
    ("results", '[{"area": @[]}]', "invalid type: sequence, expected f64"),
    ("results", '[{"score": true@}]', "invalid type: boolean `true`, expected f64"),
    ("results", '[{"score": 1e400@}]', "number out of range"),
    ("results", '[{"score": nul}@]', "expected ident"),
    # boxes
    ("results", '[{"bbox": @{}}]', "invalid type: map, expected an array of length 4"),
    ("results", '[{"bbox": 4@}]', "invalid type: integer `4`, expected an array of length 4"),
    ("results", '[{"bbox": [1, 2, 3]@}]', "invalid length 3, expected an array of length 4"),
    ("results", '[{"bbox": []@}]', "invalid length 0, expected an array of length 4"),
    ("results", '[{"bbox": [1, 2, 3, 4, 5@]}]', "trailing characters"),
    ("results", '[{"bbox": [1, 2, 3, 4,]@}]', "trailing comma"),
    ("results", '[{"bbox": [1, 2, 3, 4 x@]}]', "trailing characters"),
    ("results", '[{"bbox": [1, 2,]@}]', "trailing comma"),
    ("results", '[{"bbox": [0, 0, "1"@, 1]}]',
     'invalid type: string "1", expected a bbox coordinate with an exactly representable integer part'),
    ("results", '[{"bbox": [0, 0, null@, 1]}]',
     "invalid type: null, expected a bbox coordinate with an exactly representable integer part"),
    ("results", '[{"bbox": [0, 0, 9007199254740993@, 1]}]', "bbox integer exceeds exact float64 range"),
    ("results", '[{"bbox": [0, 0, -9007199254740993@, 1]}]', "bbox integer exceeds exact float64 range"),
    ("results", '[{"bbox": [0, 0, 1e999@, 1]}]', "number out of range"),
    # crowd flags: positioned once the record is closed as far as it goes
    ("results", '[{"iscrowd": 1.0}@]', "data did not match any variant of untagged enum Crowd"),
    ("results", '[{"iscrowd": "1"  }@]', "data did not match any variant of untagged enum Crowd"),
    ("results", '[{"iscrowd": "1"@, ' + BOX + "}]", "data did not match any variant of untagged enum Crowd"),
    ("results", '[{"iscrowd": 9223372036854775808}@]', "data did not match any variant of untagged enum Crowd"),
    ("results", '[{"iscrowd": [1]}@]', "data did not match any variant of untagged enum Crowd"),
    ("results", '[{"iscrowd": {"a": true}}@]', "data did not match any variant of untagged enum Crowd"),
    ("results", '[{"iscrowd": [1e400@]}]', "number out of range"),
    ("results", '[{"iscrowd": "\\x@"}]', "invalid escape"),
    # unknown members: grammar only, errors at their own positions
    ("results", '[{"segmentation": [1,]@}]', "trailing comma"),
    ("results", '[{"segmentation": "a@', "EOF while parsing a string"),
    ("results", '[{"x" 1@}]', "expected `:`"),
    ("results", '[{1@: 2}]', "key must be a string"),
    ("results", '[{"image_id": 1 "@x": 2}]', "expected `,` or `}`"),
    # mode rules, at the record's closing bracket
    ("results", '[{"caption": "x", ' + BOX + "}@]", "caption results require caption loading"),
    ("results", '[{"caption": null, ' + BOX + "}@]", "caption results require caption loading"),
    ("dataset", '{"annotations": [' + REC + "@]}", "missing GT id"),
    ("dataset", '{"annotations": [{"id": null, ' + BOX + "}@]}", "missing GT id"),
    ("dataset", '{"annotations": [{"id": 7, ' + BOX + '}, {"id": 7, ' + BOX + "}@]}",
     "duplicate GT ids require dictionary indexing"),
    # positional records
    ("results", "[[]@]", "invalid length 2, expected struct Record with 8 elements"),
    ("results", "[[null, 1]@]", "invalid length 2, expected struct Record with 8 elements"),
    ("results", "[[null, 1, 2]@]", "invalid length 3, expected struct Record with 8 elements"),
    ("results", "[[null, 1, 2, 3]@]", "invalid length 4, expected struct Record with 8 elements"),
    ("results", "[[null, 1, 2, 3, [0, 0, 1, 1], null, null, null, 9@]]", "trailing characters"),
    ("results", "[[null, 1, 2, 3, [0, 0, 1, 1], null, null, null,]@]", "trailing comma"),
    ("results", '[[null, 1, "2"@]]', 'invalid type: string "2", expected i64'),
    ("results", "[[null, 1, 2, 3, [0, 0, 1, 1], null, null, 1.5, @9]]",
     "data did not match any variant of untagged enum Crowd"),
    ("results", "[[null, 1, 2, 3, [0, 0, 1, 1], null, null, 1.5]@]",
     "data did not match any variant of untagged enum Crowd"),
    ("results", "[[null, null, 1, 2, [0, 0, 1, 1]]@]", "caption results require caption loading"),
    ("dataset", '{"annotations": [["c", null, 1, 2, [0, 0, 1, 1]]@]}', "missing GT id"),
    # the dataset file's top level
    ("dataset", "@", "EOF while parsing a value"),
    ("dataset", "@[]", "invalid type: sequence, expected COCO dataset"),
    ("dataset", "3@", "invalid type: integer `3`, expected COCO dataset"),
    ("dataset", '{"images": []}@', "missing annotations"),
    ("dataset", "{}@", "missing annotations"),
    ("dataset", '{"annotations": []} x@', "trailing characters"),
    ("dataset", '{"annotations": @{}}', "invalid type: map, expected bbox annotations"),
    ("dataset", '{"images": [1e400@], "annotations": []}', "number out of range"),
    ("dataset", '{"images": "\\ud800x@", "annotations": []}', "unexpected end of hex escape"),
    ("dataset", '{"annotations": [], 1@: 2}', "key must be a string"),
    ("dataset", '{"annotations": []@', "EOF while parsing an object"),
    # results whose scores are required ("scored": the package's reading):
    # absent or null is an error where it would otherwise be 0
    ("scored", "[" + REC + "@]", "missing field `score`"),
    ("scored", '[{"score": 1}@]', "missing field `image_id`"),
    ("scored", '[{"score": null@, ' + BOX + "}]", "invalid type: null, expected f64"),
    ("scored", "[[null, 1, 2, 3, [0, 0, 1, 1]]@]", "invalid length 5, expected struct Record with 8 elements"),
    ("scored", "[[null, 1, 2, 3, [0, 0, 1, 1], 4]@]", "invalid length 6, expected struct Record with 8 elements"),
    ("scored", "[[null, 1, 2, 3, [0, 0, 1, 1], 4, null@]]", "invalid type: null, expected f64"),
    ("scored", '[{"score": 0.5, ' + BOX + '}, {"score": "1"@, ' + BOX + "}]",
     'invalid type: string "1", expected f64'),
    # lines count from 1, columns from the start of the line
    ("dataset", '{"annotations": [\n  {"id": 1}@\n]}', "missing field `image_id`"),
    ("results", '[\n\n{"image_id": 1.5@}]', "invalid type: floating point `1.5`, expected i64"),
]


def _position(marked: str) -> tuple[str, int, int]:
    at = marked.index("@")
    before = marked[:at]
    line = before.count("\n") + 1
    column = len(before) - (before.rfind("\n") + 1)
    return marked.replace("@", ""), line, column


def _write(tmp_path, text: str, name: str = "f.json") -> str:
    path = tmp_path / name
    path.write_bytes(text.encode())
    return str(path)


@pytest.mark.parametrize("mode,marked,message", ERRORS, ids=[f"{i}" for i in range(len(ERRORS))])
def test_error_messages_and_positions(qm, tmp_path, mode, marked, message):
    text, line, column = _position(marked)
    path = _write(tmp_path, text)
    with pytest.raises(ValueError) as info:
        if mode == "scored":
            qm.load_compact_bbox(path, results=True, require_score=True)
        else:
            qm.load_compact_bbox(path, results=mode == "results")
    assert str(info.value) == f"{message} at line {line} column {column}"


@pytest.mark.parametrize("text", [
    '[{"score": 0.25, ' + BOX + '}, {"score": 3, "bbox": [1, 2, 3, 4], "image_id": 5, "category_id": 6}]',
    '{"annotations": [{"id": 3, ' + BOX + "}]}",  # ground truth carries no scores
])
def test_required_scores_change_nothing_when_present(qm, tmp_path, text):
    path = _write(tmp_path, text)
    results = text.startswith("[")
    _, lenient = qm.load_compact_bbox(path, results=results)
    _, strict = qm.load_compact_bbox(path, results=results, require_score=True)
    assert strict.annotations() == lenient.annotations()


def test_depth_limit_counts_the_record_containers(qm, tmp_path):
    # results array 127, record 126, crowd content from 125 down to the limit
    deep = "[" * 126 + "]" * 126
    ok = _write(tmp_path, '[{"iscrowd": ' + "[" * 125 + "]" * 125 + ", " + BOX + "}]", "ok.json")
    with pytest.raises(ValueError, match="untagged enum Crowd"):
        qm.load_compact_bbox(ok, results=True)
    bad = _write(tmp_path, '[{"iscrowd": ' + deep + "}]", "bad.json")
    with pytest.raises(ValueError, match="^recursion limit exceeded at line 1 column"):
        qm.load_compact_bbox(bad, results=True)
    # skipped members have no depth limit
    skipped = _write(tmp_path, '[{"segmentation": ' + "[" * 1000 + "]" * 1000 + ", " + BOX + "}]")
    assert qm.load_compact_bbox(skipped, results=True)[1].annotation_count == 1


# ---------------------------------------------------------------------------
# what loads, and what CompactBbox reports


def test_empty_dataset(qm, tmp_path):
    members, compact = qm.load_compact_bbox(_write(tmp_path, '{"images": [], "annotations": []}'))
    assert members == {"images": [], "annotations": None}
    assert list(members) == ["images", "annotations"]
    assert (compact.annotation_count, compact.column_bytes) == (0, 0)
    assert compact.valid_images([]) is True
    assert compact.annotations() == []


def test_dataset_members_in_file_order_and_repeated_keys(qm, tmp_path):
    text = ('{"info": {"a": [1, 2.5, null, true]}, "annotations": [{"id": 1, ' + BOX + '}],'
            ' "images": [{"id": 1}], "info": "last", "annotations": [], "x": -0}')
    members, compact = qm.load_compact_bbox(_write(tmp_path, text))
    assert list(members) == ["info", "annotations", "images", "x"]
    assert members["info"] == "last" and members["annotations"] is None
    assert repr(members["x"]) == "-0.0"
    # the last annotations member's rows are the ones kept
    assert compact.annotation_count == 0
    # dicts of the other members share one str per key text
    text = '{"images": [{"id": 1}, {"id": 2}], "annotations": []}'
    members, _ = qm.load_compact_bbox(_write(tmp_path, text))
    k1, k2 = (next(iter(d)) for d in members["images"])
    assert k1 is k2


@pytest.mark.parametrize("results,per_record", [(False, 80), (True, 56)])
def test_sizes(qm, tmp_path, results, per_record):
    recs = [{"id": i + 1, "image_id": 1, "category_id": 1, "bbox": [0, 0, 2, 3]} for i in range(3)]
    text = json.dumps(recs if results else {"annotations": recs})
    path = _write(tmp_path, text)
    _, compact = qm.load_compact_bbox(path, results=results)
    assert compact.annotation_count == 3
    assert compact.snapshot_bytes == len(text.encode())
    assert compact.column_bytes == 3 * per_record
    for name in ("annotation_count", "snapshot_bytes", "column_bytes"):
        with pytest.raises(AttributeError):
            setattr(compact, name, 1)
    # Evaluation lets the file's bytes go; the rows stay, the dicts are gone.
    compact.release_snapshot()
    assert (compact.annotation_count, compact.snapshot_bytes) == (3, 0)
    with pytest.raises(RuntimeError, match="released"):
        compact.annotations()


def test_type_surface(qm, tmp_path):
    assert qm.CompactBbox.__module__ == "quillscore._vireo"
    assert qm.CompactBbox.__doc__ in ("", None)
    with pytest.raises(TypeError):
        qm.CompactBbox()
    # signature blocks with no prose after them
    assert qm.load_compact_bbox.__text_signature__ == "(path, results=False, require_score=False)"
    assert qm.CompactBbox.annotations.__text_signature__ == "($self)"
    assert qm.CompactBbox.valid_images.__text_signature__ == "($self, images)"
    for f in (qm.load_compact_bbox, qm.CompactBbox.annotations, qm.CompactBbox.valid_images):
        assert not f.__doc__
    import inspect

    params = inspect.signature(qm.load_compact_bbox).parameters
    assert [(p.name, p.default) for p in params.values()] == [
        ("path", inspect.Parameter.empty), ("results", False), ("require_score", False)]


@pytest.mark.parametrize("call,exc,text,note", [
    (lambda qm, p: qm.load_compact_bbox(3), TypeError, None, "path"),
    (lambda qm, p: qm.load_compact_bbox(p, results=1), TypeError, None, "results"),
    (lambda qm, p: qm.load_compact_bbox(p, 1), TypeError, None, "results"),
    (lambda qm, p: qm.load_compact_bbox(p, True, 1), TypeError, None, "require_score"),
    (lambda qm, p: qm.load_compact_bbox(), TypeError, None, None),
    (lambda qm, p: qm.load_compact_bbox(p, results=True, path=p), TypeError, None, None),
    (lambda qm, p: qm.load_compact_bbox(p + ".missing"), OSError,
     "No such file or directory (os error 2)", None),
    (lambda qm, p: qm.load_compact_bbox(p + "\0"), OSError,
     "file name contained an unexpected NUL byte", None),
])
def test_argument_and_file_errors(qm, tmp_path, call, exc, text, note):
    path = _write(tmp_path, "[]")
    with pytest.raises(exc) as info:
        call(qm, path)
    if text is not None:
        assert str(info.value) == text
    if note is not None:
        assert f"while processing '{note}'" in getattr(info.value, "__notes__", [])


def test_numpy_bool_selects_results_mode(qm, tmp_path):
    _, compact = qm.load_compact_bbox(_write(tmp_path, "[" + REC + "]"), results=np.bool_(True))
    assert compact.annotation_count == 1


@pytest.mark.parametrize("coordinate,ok", [
    ("9007199254740992", True), ("-9007199254740992", True), ("9007199254740993", False),
    ("18446744073709551616", True),  # no longer an integer literal of the 64-bit classes
    ("1.5e3", True), ("-0", True),
])
def test_integer_coordinates(qm, tmp_path, coordinate, ok):
    path = _write(tmp_path, '[{"image_id": 1, "category_id": 1, "bbox": [0, 0, %s, 1]}]' % coordinate)
    if ok:
        assert qm.load_compact_bbox(path, results=True)[1].annotation_count == 1
    else:
        with pytest.raises(ValueError, match="^bbox integer exceeds exact float64 range"):
            qm.load_compact_bbox(path, results=True)


def test_duplicate_ids_load_in_results_mode(qm, tmp_path):
    text = "[" + ", ".join('{"id": 7, ' + BOX + "}" for _ in range(2)) + "]"
    _, compact = qm.load_compact_bbox(_write(tmp_path, text), results=True)
    assert compact.annotation_count == 2
    anns = compact.annotations()
    assert [a["id"] for a in anns] == [1, 2]


def test_caption_is_ignored_in_dataset_mode(qm, tmp_path):
    text = '{"annotations": [{"caption": {"x": [1]}, "id": 1, ' + BOX + '}, ["c", 2, 1, 2, [0, 0, 1, 1]]]}'
    assert qm.load_compact_bbox(_write(tmp_path, text))[1].annotation_count == 2


def test_valid_images(qm, tmp_path):
    text = "[" + ", ".join('{"image_id": %d, "category_id": 1, "bbox": [0, 0, 1, 1]}' % i
                           for i in (3, 1, 3)) + "]"
    _, compact = qm.load_compact_bbox(_write(tmp_path, text), results=True)
    assert compact.valid_images([1, 3]) is True
    assert compact.valid_images((3, 1, 2)) is True
    assert compact.valid_images(np.array([1, 3])) is True
    assert compact.valid_images([3]) is False
    assert compact.valid_images([]) is False
    with pytest.raises(TypeError) as info:
        compact.valid_images("13")
    assert "while processing 'images'" in info.value.__notes__
    with pytest.raises(TypeError):
        compact.valid_images([1.5])


def test_annotations_rebuilt_from_the_snapshot(qm, tmp_path):
    dataset = {"images": [{"id": 1}], "annotations": [
        {"id": 5, "image_id": 1, "category_id": 2, "bbox": [1, 2, 3, 4], "segmentation": [[1, 2, 3]],
         "area": 0.5, "iscrowd": 0, "extra": {"k": None}}]}
    _, gt = qm.load_compact_bbox(_write(tmp_path, json.dumps(dataset), "gt.json"))
    first = gt.annotations()
    assert first == dataset["annotations"]
    assert gt.annotations() is not first
    results = [{"image_id": 1, "category_id": 2, "bbox": [1, 2, 3, 4], "score": 0.5},
               {"image_id": 1, "category_id": 2, "bbox": [1.5, 2, 2.5, 4.0], "score": 0.25, "id": 99}]
    _, dt = qm.load_compact_bbox(_write(tmp_path, json.dumps(results), "dt.json"), results=True)
    expected = copy.deepcopy(results)
    qm.prepare_bbox_results(expected)
    got = dt.annotations()
    assert got == expected
    assert [type(r["area"]) for r in got] == [int, float]
    assert [r["id"] for r in got] == [1, 2] and all(r["iscrowd"] == 0 for r in got)


def test_annotations_use_the_strict_loader(qm, tmp_path):
    text = '{"annotations": [{"id": 1, "segmentation": [[1e400]], ' + BOX + "}]}"
    _, compact = qm.load_compact_bbox(_write(tmp_path, text))
    assert compact.annotation_count == 1
    with pytest.raises(ValueError) as info:
        compact.annotations()
    assert str(info.value).startswith("JSON snapshot: number out of range at line 1 column")


# ---------------------------------------------------------------------------
# evaluation from compact sides


BOX_PARAMS = dict(
    iou_thrs=[0.5, 0.75], rec_thrs=[0.0, 0.25, 0.5, 0.75, 1.0], max_dets=[1, 10, 100],
    area_rng=[[0.0, 1e10], [0.0, 50.0], [50.0, 1e10]], use_cats=True, iou_type="bbox",
    kpt_sigmas=[])


def _evaluate(qm, gt, dt, img_ids, cat_ids, **overrides):
    args = dict(BOX_PARAMS)
    args.update(overrides)
    ev = qm.Evaluator(gt, dt, {}, img_ids, cat_ids, **args)
    return ev, ev.run(collect_eval_imgs=True)


def _assert_same(a: dict, b: dict):
    for key in ("precision", "recall", "scores"):
        assert np.array_equal(a[key], b[key], equal_nan=True), key
    assert len(a["evalImgs"]) == len(b["evalImgs"])
    for x, y in zip(a["evalImgs"], b["evalImgs"]):
        assert (x is None) == (y is None)
        if x is None:
            continue
        for k in x:
            if isinstance(x[k], np.ndarray):
                assert np.array_equal(x[k], y[k]), k
            else:
                assert x[k] == y[k], k


def _both_ways(qm, tmp_path, gt_records, dt_records, gt_results=False, dt_results=True, **kw):
    """Evaluate compact sides and the same files' dicts; returns both runs.
    A dataset file's dicts come from load_json, a results file's through
    prepare_bbox_results."""
    sides = []
    for name, records, results in (("gt", gt_records, gt_results), ("dt", dt_records, dt_results)):
        path = _write(tmp_path, json.dumps(records if results else {"annotations": records}), name + ".json")
        _, compact = qm.load_compact_bbox(path, results=results)
        dicts = qm.load_json(path)
        if results:
            qm.prepare_bbox_results(dicts)
        else:
            dicts = dicts["annotations"]
        sides.append((compact, dicts))
    (gt_c, gt_d), (dt_c, dt_d) = sides
    compact = _evaluate(qm, gt_c, dt_c, **kw)
    dicts = _evaluate(qm, gt_d, dt_d, **kw)
    _assert_same(compact[1], dicts[1])
    return compact, dicts


def test_crowd_and_area_defaults_match_the_dict_reading(qm, tmp_path):
    crowds = ["true", "1", "2", "-1", "false", "0", "null", None]
    areas = ["0", "null", "30", None, "1e9", "-5"]
    gt = []
    for i, crowd in enumerate(crowds):
        for j, area in enumerate(areas):
            rec = '{"id": %d, "image_id": %d, "category_id": %d, "bbox": [%d, 0, 7, 9]' % (
                100 + i * 10 + j, 1 + i % 2, 1 + j % 2, 10 * j)
            if crowd is not None:
                rec += ', "iscrowd": ' + crowd
            if area is not None:
                rec += ', "area": ' + area
            gt.append(json.loads(rec + "}"))
    rng = np.random.default_rng(3)
    dt = [{"image_id": int(rng.integers(1, 3)), "category_id": int(rng.integers(1, 3)),
           "bbox": [float(rng.uniform(0, 60)), 0.5, 7.0, 8.5], "score": float(rng.random())}
          for _ in range(60)]
    (ev, out), _ = _both_ways(qm, tmp_path, gt, dt, img_ids=[1, 2], cat_ids=[1, 2])
    _, truths = ev.per_instance()
    flags = dict(zip(truths["gt_id"].tolist(), truths["ignore"].tolist()))
    for i, crowd in enumerate(crowds):
        assert flags[100 + i * 10] == (crowd in ("true", "1", "2", "-1")), crowd


def test_dataset_file_as_detections_and_results_file_as_ground_truth(qm, tmp_path):
    records = [{"id": 40 + i, "image_id": 1 + i % 3, "category_id": 1, "bbox": [i * 3.0, 1, 10, 12],
                "score": 1 - i / 20, "iscrowd": int(i % 4 == 0), "area": 50.0 + i} for i in range(12)]
    (ev, _), _ = _both_ways(qm, tmp_path, records, records, gt_results=True, dt_results=False,
                            img_ids=[1, 2, 3], cat_ids=[1])
    dets, truths = ev.per_instance()
    # detections keep the file's ids; ground truth from results gets 1..N
    assert sorted(dets["dt_id"].tolist()) == sorted(r["id"] for r in records)
    assert sorted(truths["gt_id"].tolist()) == list(range(1, 13))
    assert not truths["ignore"].any() and not dets["ignore"].any()


def test_kept_results_keep_their_file_positions(qm, tmp_path):
    dt = [{"image_id": i, "category_id": 1, "bbox": [0, 0, 5, 4], "score": 0.5} for i in (9, 1, 2)]
    gt = [{"id": 1, "image_id": i, "category_id": 1, "bbox": [0, 0, 5, 4]} for i in (1,)]
    gt.append({"id": 2, "image_id": 2, "category_id": 1, "bbox": [0, 0, 5, 4], "iscrowd": 1})
    (ev, out), _ = _both_ways(qm, tmp_path, gt, dt, img_ids=[1, 2], cat_ids=[1])
    dets, truths = ev.per_instance(a_idx=0)
    assert sorted(dets["dt_id"].tolist()) == [2, 3]
    assert sorted(truths["gt_id"].tolist()) == [1, 2]
    assert dict(zip(truths["gt_id"].tolist(), truths["ignore"].tolist())) == {1: False, 2: True}
    records = [r for r in out["evalImgs"] if r is not None and r["aRng"] == 0]
    assert sorted(i for r in records for i in r["dtIds"]) == [2, 3]


@pytest.mark.parametrize("img_ids,cat_ids", [([1, 2, 3], [1, 2]), ([2, 3], [1, 2]), ([1, 2, 3], [2]),
                                             ([], [1, 2]), ([1, 2, 3], []), ([3, 2, 3], [2, 1])])
@pytest.mark.parametrize("use_cats", [True, False])
def test_subsets_of_images_and_categories(qm, tmp_path, img_ids, cat_ids, use_cats):
    rng = np.random.default_rng(len(img_ids) * 7 + len(cat_ids))
    gt = [{"id": i + 1, "image_id": int(rng.integers(1, 4)), "category_id": int(rng.integers(1, 3)),
           "bbox": [float(v) for v in rng.uniform(1, 40, 4)], "iscrowd": int(rng.random() < 0.1)}
          for i in range(40)]
    dt = [{"image_id": int(rng.integers(1, 5)), "category_id": int(rng.integers(1, 4)),
           "bbox": [float(v) for v in rng.uniform(1, 40, 4)], "score": float(rng.random())}
          for _ in range(120)]
    _both_ways(qm, tmp_path, gt, dt, img_ids=img_ids, cat_ids=cat_ids, use_cats=use_cats)


# More rows than the set builder lays out row by row (65,536): with every
# image listed the rows are laid out in parallel, with half of them left out
# they go row by row; either way as the dicts are read.
@pytest.mark.parametrize("img_ids", [list(range(1, 201)), list(range(1, 201, 2))])
def test_large_sets_read_as_the_dicts_are(qm, tmp_path, img_ids):
    rng = np.random.default_rng(11)
    n = 70_000

    def rows(results):
        images, cats = rng.integers(1, 201, n), rng.integers(1, 4, n)
        boxes = rng.uniform(1, 60, (n, 4)).round(2).tolist()
        out = []
        for i in range(n):
            r = {"image_id": int(images[i]), "category_id": int(cats[i]), "bbox": boxes[i]}
            if results:
                r["score"] = round(float(rng.random()), 3)
            else:
                r.update(id=i + 1, iscrowd=int(rng.random() < 0.05))
                if i % 3 == 0:
                    r["area"] = round(float(rng.uniform(1, 4000)), 1)
            out.append(r)
        return out

    _both_ways(qm, tmp_path, rows(False), rows(True), img_ids=img_ids, cat_ids=[1, 2, 3])


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_seeded_synthetic_files(qm, tmp_path, seed):
    """Many boxes per image and category, written with the layouts real
    files use (positional records among them) and evaluated both ways."""
    rng = np.random.default_rng(seed)
    gt, dt = [], []
    for img in range(1, 30):
        for cat in range(1, 5):
            for _ in range(int(rng.integers(0, 6))):
                box = [round(float(v), int(rng.integers(0, 4))) for v in rng.uniform(0, 200, 2)] + \
                      [round(float(v), 2) for v in rng.uniform(2, 90, 2)]
                gt.append({"id": len(gt) + 1, "image_id": img, "category_id": cat, "bbox": box,
                           "iscrowd": int(rng.random() < 0.05)})
                for _ in range(int(rng.integers(0, 4))):
                    jitter = [b + float(rng.normal(0, 3)) for b in box]
                    dt.append({"image_id": img, "category_id": cat, "bbox": jitter,
                               "score": round(float(rng.random()), 2)})
    rng.shuffle(dt)
    _both_ways(qm, tmp_path, gt, dt, img_ids=list(range(1, 30)), cat_ids=[1, 2, 3, 4],
               **dict(BOX_PARAMS, iou_thrs=list(np.linspace(0.5, 0.95, 10)),
                      rec_thrs=list(np.linspace(0, 1, 101))))


def test_positional_records_equal_objects(qm, tmp_path):
    objects = [{"id": 3, "image_id": 1, "category_id": 1, "bbox": [0, 0, 10, 10], "area": 7.0,
                "score": 0.9, "iscrowd": 1},
               {"id": 4, "image_id": 1, "category_id": 1, "bbox": [1, 1, 10, 10]}]
    positional = [[None, 3, 1, 1, [0, 0, 10, 10], 7.0, 0.9, 1], [None, 4, 1, 1, [1, 1, 10, 10]]]
    runs = []
    for name, recs in (("o", objects), ("p", positional)):
        _, c = qm.load_compact_bbox(_write(tmp_path, json.dumps({"annotations": recs}), name + ".json"))
        runs.append(_evaluate(qm, c, c, [1], [1])[1])
    _assert_same(*runs)


# ---------------------------------------------------------------------------
# against the reference COCO API


def _reference(dataset, results, img_ids, cat_ids):
    cocoeval = pytest.importorskip("pycocotools.cocoeval", reason="pycocotools is not installed")
    gt = data.reference_coco(dataset)
    dt = data.reference_results(gt, results)
    E = cocoeval.COCOeval(gt, dt, "bbox")
    E.params.imgIds = img_ids
    E.params.catIds = cat_ids
    data.run_reference(E)
    return E


def _reference_params(E):
    p = E.params
    return dict(iou_thrs=list(p.iouThrs), rec_thrs=list(p.recThrs), max_dets=list(p.maxDets),
                area_rng=[list(r) for r in p.areaRng], use_cats=True, iou_type="bbox", kpt_sigmas=[])


def _against_reference(qm, gt_path, results, dt_path):
    members, gt = qm.load_compact_bbox(gt_path)
    _, dt = qm.load_compact_bbox(dt_path, results=True)
    img_ids = sorted(im["id"] for im in members["images"])
    cat_ids = sorted(c["id"] for c in members["categories"])
    dataset = qm.load_json(gt_path)
    E = _reference(dataset, results, img_ids, cat_ids)
    ev = qm.Evaluator(gt, dt, {}, img_ids, cat_ids, **_reference_params(E))
    ours = ev.run(collect_eval_imgs=True)
    data.assert_same_as_reference(ours, E)
    # and the dict route gives the very same arrays
    dicts = qm.load_json(dt_path)
    qm.prepare_bbox_results(dicts)
    from_dicts = qm.Evaluator(dataset["annotations"], dicts, {}, img_ids, cat_ids,
                              **_reference_params(E)).run(collect_eval_imgs=True)
    _assert_same(ours, from_dicts)
    assert (ours["precision"] > 0).mean() > 0.1
    return ours


def test_val2014_fake_results_against_reference(qm):
    with open(VAL2014_RESULTS) as f:
        results = json.load(f)
    _against_reference(qm, VAL2014, results, VAL2014_RESULTS)


@pytest.mark.parametrize("split,seed", [("val", 21), ("train", 22)])
def test_coco_mini_perturbed_against_reference(qm, tmp_path, split, seed):
    with open(MINI[split]) as f:
        dataset = json.load(f)
    results = data.perturb_instances(dataset, seed=seed, kind="bbox")
    dt_path = _write(tmp_path, json.dumps(results), "results.json")
    _against_reference(qm, MINI[split], results, dt_path)


# ---------------------------------------------------------------------------
# lifetime of shared box rows


@pytest.mark.parametrize("img_ids", [[1, 2, 3], [2, 3]])  # rows shared / kept rows copied
def test_rows_outlive_the_compact_object(qm, tmp_path, img_ids):
    rng = np.random.default_rng(5)
    gt = [{"id": i + 1, "image_id": int(rng.integers(1, 4)), "category_id": 1,
           "bbox": [float(v) for v in rng.uniform(1, 50, 4)]} for i in range(50)]
    dt = [{"image_id": int(rng.integers(1, 4)), "category_id": 1,
           "bbox": [float(v) for v in rng.uniform(1, 50, 4)], "score": float(rng.random())}
          for _ in range(200)]
    _, gt_c = qm.load_compact_bbox(_write(tmp_path, json.dumps({"annotations": gt}), "gt.json"))
    _, dt_c = qm.load_compact_bbox(_write(tmp_path, json.dumps(dt), "dt.json"), results=True)
    ev = qm.Evaluator(gt_c, dt_c, {}, img_ids, [1], **BOX_PARAMS)
    before = ev.run(collect_eval_imgs=True)
    del gt_c, dt_c
    gc.collect()
    # fresh allocations that would reuse freed rows
    junk = [bytearray(b"\xff" * 4096) for _ in range(2000)]
    after = ev.run(collect_eval_imgs=True)
    del junk
    _assert_same(before, after)
    assert (before["precision"] > 0).any()
