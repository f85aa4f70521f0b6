"""Annotation indexes (`index_annotations`) and result preparation
(`prepare_bbox_results`, `prepare_segm_results`), held to the plain Python loops they replace: same
objects, same arithmetic, a mapping's own item protocol honoured."""

from __future__ import annotations

import copy
import random

import numpy as np
import pytest

from quillscore import _vireo as v
from quillscore import mask as mask_utils


def index_reference(annotations, with_categories):
    """The bookkeeping loop, written the obvious way."""
    by_id, by_image, by_category = {}, {}, {}
    for ann in annotations:
        image_id = ann["image_id"]
        by_image.setdefault(image_id, []).append(ann)
        by_id[ann["id"]] = ann
        if with_categories:
            by_category.setdefault(ann["category_id"], []).append(image_id)
    return by_id, by_image, by_category


def prepare_reference(results):
    for i, r in enumerate(results):
        box = r["bbox"]
        r["area"] = box[2] * box[3]
        r["id"] = i + 1
        r["iscrowd"] = 0


def identical_index(a, b):
    """Equal keys in equal order, with values holding the very same objects."""
    assert list(a) == list(b)
    for key in a:
        x, y = a[key], b[key]
        if isinstance(x, list):
            assert type(y) is list and len(x) == len(y)
            assert all(p is q or (p == q and type(p) is type(q)) for p, q in zip(x, y))
        else:
            assert x is y


def assert_same_as_the_loop(anns, with_categories):
    """The indexes of the Python loop, each key the object the loop met
    first; or the loop's exception, of the same type and arguments."""
    try:
        expected = index_reference(anns, with_categories)
    except Exception as e:
        with pytest.raises(type(e)) as exc:
            v.index_annotations(anns, with_categories)
        assert exc.value.args == e.args
        return
    for mine, ref in zip(v.index_annotations(anns, with_categories), expected):
        identical_index(mine, ref)
        assert [id(k) for k in mine] == [id(k) for k in ref]


def random_annotations(seed, n):
    rng = random.Random(seed)
    anns = []
    for i in range(n):
        anns.append({
            "id": rng.choice([i, rng.randrange(n)]),  # some repeated ids
            "image_id": rng.choice([rng.randrange(20), f"img{rng.randrange(5)}", 3.0]),
            "category_id": rng.randrange(8),
            "bbox": [rng.random(), rng.random(), rng.uniform(0, 50), rng.uniform(0, 50)],
        })
    return anns


@pytest.mark.parametrize("seed", range(5))
@pytest.mark.parametrize("with_categories", [True, False])
def test_index_matches_the_python_loop(seed, with_categories):
    anns = random_annotations(seed, 300)
    got = v.index_annotations(anns, with_categories)
    assert type(got) is tuple and len(got) == 3
    for mine, ref in zip(got, index_reference(anns, with_categories)):
        assert type(mine) is dict
        identical_index(mine, ref)


def test_index_keys_of_equal_value_but_other_types_share_an_entry():
    ids = [1, 1.0, True, 2, 2**70, 2**70, -5, -5, 5000, 5000, 4095, 4096, "1", 1, 2.0]
    anns = [{"id": k, "image_id": img, "category_id": img} for k, img in enumerate(ids)]
    got = v.index_annotations(anns, True)
    for mine, ref in zip(got, index_reference(anns, True)):
        identical_index(mine, ref)
        assert [type(k) for k in mine] == [type(k) for k in ref]


def test_index_edge_cases():
    assert v.index_annotations([], True) == ({}, {}, {})
    a = {"id": 1, "image_id": 7, "category_id": 3}
    b = {"id": 2, "image_id": 7, "category_id": 3}
    c = {"id": 1, "image_id": 8, "category_id": 4}
    by_id, by_image, by_category = v.index_annotations([a, b, c], True)
    assert by_id[1] is c and by_id[2] is b  # a repeated id keeps the later one
    assert by_image[7][0] is a and by_image[7][1] is b and by_image[8][0] is c
    assert by_category == {3: [7, 7], 4: [8]}
    assert v.index_annotations([a, b, c], False)[2] == {}


def test_index_image_ids_are_the_annotations_own_objects():
    image_id = 10**30  # not a cached small int
    anns = [{"id": 1, "image_id": image_id, "category_id": 1}]
    _, by_image, by_category = v.index_annotations(anns, True)
    assert next(iter(by_image)) is image_id
    assert by_category[1][0] is image_id


class KeyText(str):
    """A str subclass: equal to the plain key, but not the same kind of key."""


def odd_annotation(kind):
    """One annotation outside the shape of a loaded file's, which the index
    must treat exactly as the Python loop does wherever it appears."""
    return {
        "float image id equal to an int one": {"id": 5000, "image_id": 1003.0, "category_id": 2},
        "str image id": {"id": 5000, "image_id": "img", "category_id": 2},
        "huge image id": {"id": 5000, "image_id": 2**70, "category_id": 2},
        "bool category": {"id": 5000, "image_id": 1003, "category_id": True},
        "float category": {"id": 5000, "image_id": 1003, "category_id": 1.0},
        "str id": {"id": "5000", "image_id": 1003, "category_id": 2},
        "float id equal to an int one": {"id": 1010.0, "image_id": 1003, "category_id": 2},
        "key of a str subclass": {"id": 5000, KeyText("image_id"): 1003, "category_id": 2},
        "dict subclass": Lookup({"id": 5000, "image_id": 1003, "category_id": 2}),
        "missing category": {"id": 5000, "image_id": 1003},
        "missing id": {"image_id": 1003, "category_id": 2},
        "not a mapping": 17,
        "members in another order": {"category_id": 2, "image_id": 1003, "id": 5000},
        "a deleted member before the others": _with_hole(),
    }[kind]


def _with_hole():
    d = {"gone": 0, "id": 5000, "image_id": 1003, "category_id": 2}
    del d["gone"]
    return d


ODD_KINDS = ["float image id equal to an int one", "str image id", "huge image id", "bool category",
             "float category", "str id", "float id equal to an int one", "key of a str subclass",
             "dict subclass", "missing category", "missing id", "not a mapping",
             "members in another order", "a deleted member before the others"]


@pytest.mark.parametrize("with_categories", [True, False])
@pytest.mark.parametrize("at", [0, 1, 57, 300])
@pytest.mark.parametrize("kind", ODD_KINDS)
def test_index_is_the_python_loop_around_an_odd_annotation(kind, at, with_categories):
    # Image ids as a loaded file has them: runs of equal values held by
    # distinct int objects (not the interpreter's cached small ints), some
    # negative; categories small and large.
    anns = [{"id": 1000 + i, "image_id": int(str(1000 + i // 7 - (i % 50 == 0) * 3000)),
             "category_id": (i % 5, 10**12 + i % 3)[i % 2]} for i in range(300)]
    anns.insert(at, odd_annotation(kind))
    assert_same_as_the_loop(anns, with_categories)


def test_index_survives_an_id_whose_hash_empties_the_list():
    anns = []

    class Id:
        def __hash__(self):
            anns.clear()
            return 1

    anns.extend({"id": i, "image_id": 10**6 + i // 2, "category_id": 1} for i in range(20))
    kept = list(anns)
    anns.insert(10, {"id": Id(), "image_id": 10**6, "category_id": 1})
    by_id, by_image, by_category = v.index_annotations(anns, True)
    # The loop ends with the list; everything met before stays indexed.
    assert list(by_id) == list(range(10)) + [next(k for k in by_id if isinstance(k, Id))]
    assert by_image[10**6][:2] == kept[:2] and sum(map(len, by_image.values())) == 11
    assert by_category == {1: [10**6 + i // 2 for i in range(10)] + [10**6]}


class Lookup(dict):
    """A mapping subclass with its own lookup rules: keys are read
    case-insensitively, and every lookup is recorded."""

    def __init__(self, *args, log=None, **kw):
        super().__init__(*args, **kw)
        self.log = log if log is not None else []

    def __getitem__(self, key):
        self.log.append(key)
        return super().__getitem__(key.lower())

    def __setitem__(self, key, value):
        self.log.append(("set", key))
        super().__setitem__(key.upper(), value)


def test_index_uses_the_item_protocol_of_subclasses():
    log = []
    ann = Lookup({"id": 5, "image_id": 6, "category_id": 7}, log=log)
    by_id, by_image, by_category = v.index_annotations([ann], True)
    assert by_id == {5: ann} and by_image[6][0] is ann and by_category == {7: [6]}
    assert log == ["image_id", "id", "category_id"]


class WithMissing(dict):
    def __missing__(self, key):
        return f"default-{key}"


def test_index_honours_missing_hooks_and_non_dict_mappings():
    ann = WithMissing(id=1)
    by_id, by_image, _ = v.index_annotations([ann], False)
    assert by_image == {"default-image_id": [ann]}

    class Record:
        def __getitem__(self, key):
            return {"id": 9, "image_id": 1, "category_id": 2}[key]

    rec = Record()
    assert v.index_annotations([rec], True) == ({9: rec}, {1: [rec]}, {2: [1]})


def test_index_errors():
    with pytest.raises(KeyError) as exc:
        v.index_annotations([{"id": 1, "image_id": 2}, {"id": 3}], False)
    assert exc.value.args == ("image_id",)
    with pytest.raises(KeyError) as exc:
        v.index_annotations([{"id": 1, "image_id": 2}], True)
    assert exc.value.args == ("category_id",)
    with pytest.raises(TypeError):
        v.index_annotations([5], False)
    with pytest.raises(TypeError):
        v.index_annotations([{"id": [], "image_id": 1}], False)  # unhashable id
    with pytest.raises(TypeError) as exc:
        v.index_annotations(({"id": 1, "image_id": 2},), False)
    assert "list" in str(exc.value)
    assert exc.value.__notes__ == ["while processing 'annotations'"]
    with pytest.raises(TypeError) as exc:
        v.index_annotations([], 1)
    assert exc.value.__notes__ == ["while processing 'with_categories'"]
    assert v.index_annotations([], np.bool_(True)) == ({}, {}, {})


def test_index_stops_when_the_list_shrinks():
    anns = []

    class Shrinking(dict):
        def __getitem__(self, key):
            if key == "image_id" and anns:
                anns.pop()
            return super().__getitem__(key)

    anns.extend(Shrinking(id=i, image_id=0) for i in range(6))
    kept = list(anns)
    by_id, _, _ = v.index_annotations(anns, False)
    # Each lookup drops the last element: three are read before the list
    # ends under the loop.
    assert list(by_id) == [0, 1, 2]
    assert all(by_id[i] is kept[i] for i in range(3))


def test_results_are_tracked_by_the_collector_even_across_collections():
    import gc

    class Collecting(dict):
        def __getitem__(self, key):
            gc.collect()  # a collection in the middle of the indexing
            return super().__getitem__(key)

    anns = [{"id": i, "image_id": i % 3, "category_id": 1, "segmentation": [[1.0]]} for i in range(50)]
    anns.append(Collecting(id=99, image_id=0, category_id=2))
    by_id, by_image, by_category = v.index_annotations(anns, True)
    assert by_id[99] is anns[-1] and len(by_image[0]) == 18
    for container in (by_id, by_image, by_category, *by_image.values(), *by_category.values()):
        assert gc.is_tracked(container)
    # A cycle through an index is found and freed.
    ann = {"id": 1, "image_id": 1}
    by_id, by_image, _ = v.index_annotations([ann], False)
    ann["self"] = by_image
    del by_id, by_image, ann
    assert gc.collect() > 0


def test_list_subclass_is_accepted():
    class Annotations(list):
        pass

    anns = Annotations([{"id": 1, "image_id": 2, "category_id": 3}])
    assert v.index_annotations(anns, True) == ({1: anns[0]}, {2: [anns[0]]}, {3: [2]})


# ---------------------------------------------------------------------------
# prepare_bbox_results


def test_prepare_matches_the_python_loop():
    rng = random.Random(3)
    mine = [{"bbox": [rng.random(), rng.random(), rng.uniform(0, 9), rng.uniform(0, 9)],
             "score": rng.random(), "id": "old"} for _ in range(200)]
    mine += [{"bbox": [1, 2, rng.randrange(50), rng.randrange(50)]} for _ in range(20)]
    ref = [dict(r, bbox=list(r["bbox"])) for r in mine]
    assert v.prepare_bbox_results(mine) is None
    prepare_reference(ref)
    assert len(mine) == len(ref)
    for a, b in zip(mine, ref):
        assert list(a) == list(b)
        for key in a:
            assert type(a[key]) is type(b[key]) and a[key] == b[key]


def test_prepare_edge_cases():
    assert v.prepare_bbox_results([]) is None
    r = {"bbox": [1, 2, 3, 4], "area": 99.0, "iscrowd": 1}
    box = r["bbox"]
    v.prepare_bbox_results([{"bbox": [0, 0, 1, 1]}, r])
    assert r == {"bbox": [1, 2, 3, 4], "area": 12, "iscrowd": 0, "id": 2}
    assert type(r["area"]) is int and r["bbox"] is box and box == [1, 2, 3, 4]


def test_prepare_keeps_numpy_arithmetic():
    box = np.array([1.0, 2.0, 3.5, 4.0], dtype=np.float32)
    r = {"bbox": box}
    v.prepare_bbox_results([r])
    expected = box[2] * box[3]
    assert type(r["area"]) is type(expected) and r["area"] == expected
    r2 = {"bbox": [0, 0, np.int64(3), np.int64(5)]}
    v.prepare_bbox_results([r2])
    assert type(r2["area"]) is np.int64 and r2["area"] == 15
    r3 = {"bbox": (0, 0, 2.5, 2)}
    v.prepare_bbox_results([r3])
    assert r3["area"] == 5.0 and type(r3["area"]) is float


def test_prepare_uses_the_item_protocol_of_subclasses():
    log = []
    r = Lookup({"bbox": [0, 0, 2, 3]}, log=log)
    v.prepare_bbox_results([r])
    assert log == ["bbox", ("set", "area"), ("set", "id"), ("set", "iscrowd")]
    assert dict(r) == {"bbox": [0, 0, 2, 3], "AREA": 6, "ID": 1, "ISCROWD": 0}


def test_prepare_errors_stop_and_keep_earlier_changes():
    first = {"bbox": [0, 0, 2, 2]}
    with pytest.raises(KeyError) as exc:
        v.prepare_bbox_results([first, {"score": 1.0}, {"bbox": [0, 0, 1, 1]}])
    assert exc.value.args == ("bbox",)
    assert first == {"bbox": [0, 0, 2, 2], "area": 4, "id": 1, "iscrowd": 0}
    with pytest.raises(IndexError):
        v.prepare_bbox_results([{"bbox": [0, 0, 1]}])
    with pytest.raises(TypeError):
        v.prepare_bbox_results([{"bbox": 5}])
    with pytest.raises(TypeError):
        v.prepare_bbox_results([{"bbox": [0, 0, "a", "b"]}])
    with pytest.raises(TypeError) as exc:
        v.prepare_bbox_results({"bbox": [0, 0, 1, 1]})
    assert exc.value.__notes__ == ["while processing 'annotations'"]


def test_prepare_on_loaded_results(tmp_path):
    import json

    results = [{"image_id": i, "category_id": 1, "bbox": [1.5, 2, 3.25 * i, 4], "score": 0.5}
               for i in range(50)]
    path = tmp_path / "r.json"
    path.write_text(json.dumps(results))
    mine, ref = v.load_json(str(path)), json.loads(path.read_text())
    v.prepare_bbox_results(mine)
    prepare_reference(ref)
    assert mine == ref


def test_docstrings():
    assert v.index_annotations.__text_signature__ == "(annotations, with_categories)"
    assert v.index_annotations.__doc__ == (
        "Build public annotation indexes without Python bytecode loops or copied annotations.")
    assert v.prepare_bbox_results.__text_signature__ == "(annotations)"
    assert v.prepare_bbox_results.__doc__ == (
        "Fill bbox-result metadata with Python arithmetic and object semantics intact.")
    names = list(v.__all__)
    assert names.index("index_annotations") + 1 == names.index("prepare_bbox_results")
    assert names.index("prepare_bbox_results") + 1 == names.index("encode")


@pytest.mark.parametrize("seed", range(40))
def test_index_is_the_python_loop_on_random_mixtures(seed):
    """Loaded-file annotations with a few odd ones mixed in anywhere."""
    rng = random.Random(seed)
    anns = [{"id": rng.randrange(500), "image_id": rng.choice([int(str(10**6 + rng.randrange(30))), -rng.randrange(5)]),
             "category_id": rng.randrange(6)} for _ in range(rng.randrange(0, 120))]
    for _ in range(rng.randrange(0, 4)):
        anns.insert(rng.randrange(len(anns) + 1), odd_annotation(rng.choice(ODD_KINDS)))
    with_categories = rng.random() < 0.7
    assert_same_as_the_loop(anns, with_categories)


# ---------------------------------------------------------------------------
# prepare_segm_results: the masks' area and box, each mask decoded once


def segm_reference(results):
    """The completion loop over the mask toolkit, written the obvious way."""
    segms = [r["segmentation"] for r in results]
    areas, boxes = mask_utils.area(segms).tolist(), mask_utils.toBbox(segms).tolist()
    for i, r in enumerate(results):
        r["area"] = areas[i]
        if "bbox" not in r:
            r["bbox"] = boxes[i]
        r["id"] = i + 1
        r["iscrowd"] = 0


def random_segm_results(seed, n=300):
    rng = np.random.default_rng(seed)
    out = []
    for i in range(n):
        h, w = (int(x) for x in rng.integers(0, 40, 2))
        m = np.asfortranarray(rng.random((h, w)) < rng.random() * 0.3)
        rle = mask_utils.encode(m)
        form = i % 4
        if form == 1:
            rle["counts"] = rle["counts"].decode()
        elif form == 2:  # the runs as a list
            rle = {"size": [h, w], "counts": runs_of(m)}
        r = {"image_id": 1, "category_id": 1, "score": float(rng.random()), "segmentation": rle}
        if form == 3:
            r["bbox"] = [1, 2, 3, 4]
        out.append(r)
    return out


def runs_of(m):
    flat = np.asarray(m).flatten(order="F").astype(np.int8)
    runs, value, count = [], 0, 0
    for px in flat:
        if px == value:
            count += 1
        else:
            runs.append(count)
            value, count = px, 1
    runs.append(count)
    return runs


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_prepare_segm_matches_the_toolkit_loop(seed):
    mine = random_segm_results(seed)
    ref = copy.deepcopy(mine)
    assert v.prepare_segm_results(mine, [r["segmentation"] for r in mine]) is None
    segm_reference(ref)
    for a, b in zip(mine, ref, strict=True):
        assert list(a) == list(b)
        for key in a:
            assert type(a[key]) is type(b[key]) and a[key] == b[key], key


@pytest.mark.parametrize("segm, error, text", [
    ([1, 2], TypeError, "expected an RLE dict with 'size' and 'counts'"),
    ({"counts": "00"}, ValueError, "RLE dict is missing 'size'"),
    ({"size": [2, 2]}, ValueError, "RLE dict is missing 'counts'"),
    ({"size": [2], "counts": "00"}, ValueError, "RLE 'size' must be [h, w]"),
    ({"size": [2, 2], "counts": 5.0}, TypeError, "RLE 'counts' must be bytes, str, or a list of ints"),
])
def test_prepare_segm_bad_masks_fail_as_the_toolkit_does_and_change_nothing(segm, error, text):
    good = {"segmentation": {"size": [2, 2], "counts": b"04"}}
    results = [good, {"segmentation": segm}]
    before = copy.deepcopy(results)
    with pytest.raises(error) as mine:
        v.prepare_segm_results(results, [r["segmentation"] for r in results])
    with pytest.raises(error) as toolkit:
        mask_utils.area([r["segmentation"] for r in results])
    assert str(mine.value) == str(toolkit.value) == text
    assert results == before
    with pytest.raises(ValueError, match="one mask per result"):
        v.prepare_segm_results([good], [])


# ---------------------------------------------------------------------------
# prepare_keypoint_results: alike lists natively, anything else left alone


def keypoint_reference(results):
    """The completion loop over NumPy, as the fall-back path runs it."""
    a = np.asarray([r["keypoints"] for r in results], dtype=np.float64)
    x, y = a[:, 0::3], a[:, 1::3]
    extents = np.stack([x.min(1), x.max(1), y.min(1), y.max(1)], axis=1).tolist()
    for i, r in enumerate(results):
        x0, x1, y0, y1 = extents[i]
        r["area"] = (x1 - x0) * (y1 - y0)
        r["id"] = i + 1
        r["bbox"] = [x0, y0, x1 - x0, y1 - y0]


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_prepare_keypoints_matches_numpy(seed):
    rng = np.random.default_rng(seed)
    k = int(rng.integers(1, 18))
    mine = []
    for i in range(200):
        kp = (rng.normal(size=3 * k) * 100).tolist()
        if i % 3 == 0:
            kp = [int(round(v)) for v in kp]
        if i % 17 == 0:
            kp[int(rng.integers(0, 2))] = float("nan")
        mine.append({"keypoints": kp, "score": 1.0, "id": "old"})
    ref = copy.deepcopy(mine)
    assert v.prepare_keypoint_results(mine, [r["keypoints"] for r in mine]) is True
    keypoint_reference(ref)
    for a, b in zip(mine, ref, strict=True):
        assert list(a) == list(b)
        for key in ("area", "id", "bbox"):
            np.testing.assert_array_equal(a[key], b[key])
            assert type(a[key]) is type(b[key])


@pytest.mark.parametrize("lists", [
    [[1.0, 2.0, 2.0], [1.0, 2.0]],            # ragged
    [[1.0, 2.0]],                             # not triples
    [[]],                                     # empty
    [[True, 2.0, 2.0]],                       # a bool is not a plain number
    [[1.0, "2", 2.0]],
    [np.array([1.0, 2.0, 2.0])],
    [(1.0, 2.0, 2.0)],
    [[10**400, 2.0, 2.0]],
], ids=["ragged", "pairs", "empty", "bool", "str", "array", "tuple", "huge-int"])
def test_prepare_keypoints_leaves_unlike_lists_alone(lists):
    results = [{"keypoints": kp} for kp in lists]
    assert v.prepare_keypoint_results(results, lists) is False
    assert all(list(r) == ["keypoints"] for r in results)
