"""The mask toolkit against pycocotools on seeded random data and on real
COCO/LVIS annotations, plus the behaviour pycocotools has no counterpart for,
checked against the slow Python reference in _rle_reference."""

from __future__ import annotations

import numpy as np
import pytest

import _mask_samples as samples
import _rle_reference as ref

H, W = samples.IMG_H, samples.IMG_W

# pycocotools' decode wraps its buffer in an object NumPy 2 warns about.
pytestmark = pytest.mark.filterwarnings("ignore:__array__ implementation:DeprecationWarning")

ANNOTATION_FILES = [
    "coco_val2014_100/instances_val2014_100.json",
    "coco_mini_2017/instances_train2017.json",
    "coco_mini_2017/instances_val2017.json",
    "coco_mini_2017/person_keypoints_train2017.json",
    "coco_mini_2017/person_keypoints_val2017.json",
    "lvis_v1_val_100/lvis_v1_val_100.json",
]


# --------------------------------------------------------------------------
# comparison helpers


def assert_rle_dict(ours, theirs=None):
    """A mask dict of ours: exactly {'size': [h, w], 'counts': bytes} in that
    order, and equal to pycocotools' byte for byte when given."""
    assert type(ours) is dict
    assert list(ours) == ["size", "counts"]
    assert type(ours["size"]) is list and len(ours["size"]) == 2
    assert all(type(v) is int for v in ours["size"])
    assert type(ours["counts"]) is bytes
    if theirs is not None:
        assert ours["size"] == list(theirs["size"])
        assert ours["counts"] == theirs["counts"]


def assert_rle_lists(ours, theirs):
    assert type(ours) is list
    assert len(ours) == len(theirs)
    for o, t in zip(ours, theirs):
        assert_rle_dict(o, t)


def assert_same_array(ours, theirs, dtype):
    assert isinstance(ours, np.ndarray)
    assert ours.dtype == np.dtype(dtype)
    theirs = np.asarray(theirs)
    assert ours.shape == theirs.shape
    # Bit-identical: equal values, equal NaN placement, equal signs of zero.
    assert ours.tobytes() == np.ascontiguousarray(theirs, dtype=ours.dtype).tobytes()


def counts_of(rle) -> list[int]:
    return ref.counts_from_string(rle["counts"])


def mask_stack(seed: int, kind: str, h: int, w: int, n: int) -> np.ndarray:
    rng = np.random.default_rng(seed)
    if kind == "blobs":
        return samples.blob_masks(rng, h, w, n)
    if kind == "dense-noise":
        return samples.noise_masks(rng, h, w, n, 0.5)
    if kind == "sparse-noise":
        return samples.noise_masks(rng, h, w, n, 0.01)
    if kind == "special":
        return samples.special_masks(h, w)
    raise AssertionError(kind)


def polygon_rles(qm, seed: int, n: int, h: int = H, w: int = W):
    rng = np.random.default_rng(seed)
    return qm.frPoly([samples.coco_polygon(rng, h, w) for _ in range(n)], h, w)


# --------------------------------------------------------------------------
# encode / decode

ENCODE_CASES = [
    (seed, kind, h, w, n)
    for seed, (kind, h, w, n) in enumerate(
        [
            ("blobs", 480, 640, 3),
            ("blobs", 33, 47, 8),
            ("dense-noise", 7, 5, 6),
            ("dense-noise", 1, 17, 4),
            ("dense-noise", 17, 1, 4),
            ("sparse-noise", 120, 90, 4),
            ("special", 1, 1, 0),
            ("special", 2, 3, 0),
            ("special", 31, 29, 0),
            ("special", 480, 640, 0),
        ]
    )
]


@pytest.mark.parametrize("seed,kind,h,w,n", ENCODE_CASES)
def test_encode_decode_match_pycocotools(qm, coco, seed, kind, h, w, n):
    masks = mask_stack(seed, kind, h, w, n)
    ours = qm.encode(masks)
    theirs = coco.encode(np.asfortranarray(masks))
    assert_rle_lists(ours, theirs)
    as_bool = np.asfortranarray(masks.astype(bool))
    assert_rle_lists(qm.encode(as_bool), coco.encode(as_bool))

    decoded = qm.decode(ours)
    assert_same_array(decoded, coco.decode(theirs), np.uint8)
    assert decoded.flags.f_contiguous
    assert decoded.strides == (1, h, h * w)
    assert np.array_equal(decoded, masks)

    assert_same_array(qm.area(ours), coco.area(theirs), np.uint32)
    assert_same_array(qm.toBbox(ours), coco.toBbox(theirs), np.float64)


@pytest.mark.parametrize("seed,kind,h,w,n", ENCODE_CASES)
def test_encode_ignores_memory_layout(qm, seed, kind, h, w, n):
    masks = mask_stack(seed, kind, h, w, n)
    expected = qm.encode(np.asfortranarray(masks))
    assert qm.encode(np.ascontiguousarray(masks)) == expected
    # (n, h, w) storage seen as (h, w, n): every mask slice is C-ordered.
    assert qm.encode(np.ascontiguousarray(masks.transpose(2, 0, 1)).transpose(1, 2, 0)) == expected
    readonly = np.asfortranarray(masks.copy())
    readonly.flags.writeable = False
    assert qm.encode(readonly) == expected


@pytest.mark.parametrize("seed", range(4))
def test_encode_of_strided_views(qm, coco, seed):
    rng = np.random.default_rng(100 + seed)
    base = samples.noise_masks(rng, 41, 37, 9, 0.3)
    views = [
        base[::2, ::3, ::2],
        base[::-1, :, :],
        base[:, ::-1, 1:5],
        base[5:30, 3:, ::-3],
        np.broadcast_to(base[:, :1, :1], (41, 6, 3)),
    ]
    for view in views:
        assert qm.encode(view) == coco.encode(np.asfortranarray(view))


def test_encode_of_empty_images(qm, coco):
    for shape in [(0, 5, 2), (5, 0, 2), (0, 0, 1)]:
        masks = np.zeros(shape, np.uint8, order="F")
        ours = qm.encode(masks)
        assert ours == [{"size": [shape[0], shape[1]], "counts": b"0"}] * shape[2]
        assert_rle_lists(ours, coco.encode(masks))


# --------------------------------------------------------------------------
# area, toBbox, merge


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("intersect", [0, 1])
def test_merge_matches_pycocotools(qm, coco, seed, intersect):
    rng = np.random.default_rng(200 + seed)
    for _ in range(8):
        n = int(rng.integers(1, 6))
        if rng.random() < 0.5:
            masks = samples.blob_masks(rng, H, W, n)
            rles = qm.encode(masks)
        else:
            rles = qm.frPoly([samples.coco_polygon(rng) for _ in range(n)], H, W)
        ours = qm.merge(rles, intersect)
        theirs = coco.merge(rles, intersect)
        assert_rle_dict(ours, theirs)
        assert qm.merge(rles, intersect=bool(intersect)) == ours
        assert qm.merge(rle_objs=rles, intersect=intersect) == ours
        if not intersect:
            assert qm.merge(rles) == ours


def test_merge_of_different_sizes_and_empty_lists(qm, coco):
    a = qm.encode(np.ones((3, 3, 1), np.uint8))[0]
    b = qm.encode(np.ones((3, 4, 1), np.uint8))[0]
    for rles in ([a, b], [a, a, b], [b, a, a], []):
        for intersect in (0, 1):
            ours = qm.merge(rles, intersect)
            assert ours == {"size": [0, 0], "counts": b""}
            assert_rle_dict(ours, coco.merge(rles, intersect))


@pytest.mark.parametrize("seed", range(3))
def test_area_and_bbox_match_pycocotools(qm, coco, seed):
    rng = np.random.default_rng(300 + seed)
    rles = polygon_rles(qm, 300 + seed, 30)
    rles += qm.encode(samples.noise_masks(rng, 13, 11, 10, 0.4))
    rles += qm.encode(samples.special_masks(9, 14))
    assert_same_array(qm.area(rles), coco.area(rles), np.uint32)
    assert_same_array(qm.toBbox(rles), coco.toBbox(rles), np.float64)
    # str counts are read like their bytes
    as_str = [{"size": r["size"], "counts": r["counts"].decode()} for r in rles]
    assert np.array_equal(qm.area(as_str), qm.area(rles))
    assert np.array_equal(qm.toBbox(as_str), qm.toBbox(rles))


def test_area_and_bbox_of_empty_list(qm):
    a = qm.area([])
    assert a.dtype == np.uint32 and a.shape == (0,)
    b = qm.toBbox([])
    assert b.dtype == np.float64 and b.shape == (0, 4)


# --------------------------------------------------------------------------
# iou


def box_forms(boxes: np.ndarray):
    """The same boxes as an ndarray, a non-contiguous ndarray and lists."""
    strided = np.zeros((boxes.shape[0], 8))
    strided[:, ::2] = boxes
    return {
        "ndarray": boxes,
        "strided": strided[:, ::2],
        "lists": boxes.tolist(),
        "tuples": [tuple(b) for b in boxes.tolist()],
    }


@pytest.mark.parametrize("seed", range(6))
def test_box_iou_matches_pycocotools(qm, coco, seed):
    rng = np.random.default_rng(400 + seed)
    m, n = int(rng.integers(1, 40)), int(rng.integers(1, 40))
    dt = samples.random_boxes(rng, m)
    gt = samples.random_boxes(rng, n)
    k = min(m, n) // 3
    gt[:k] = dt[:k]  # some exact matches
    crowd = rng.integers(0, 2, n).tolist()
    theirs = coco.iou(dt, gt, crowd)
    for dname, dform in box_forms(dt).items():
        for gname, gform in box_forms(gt).items():
            ours = qm.iou(dform, gform, crowd)
            assert_same_array(ours, theirs, np.float64)
            assert ours.flags.c_contiguous, (dname, gname)
    assert_same_array(qm.iou(dt, gt, np.array(crowd, dtype=np.uint8)), theirs, np.float64)
    assert_same_array(qm.iou(dt=dt, gt=gt, iscrowd=tuple(crowd)), theirs, np.float64)


def test_box_iou_special_geometry(qm, coco):
    dt = np.array([[0, 0, 10, 10], [10, 0, 5, 5], [0, 10, 5, 5], [2, 2, 3, 3], [0, 0, 0, 0],
                   [-5, -5, 10, 10], [0.5, 0.5, 0.25, 0.25]], dtype=np.float64)
    gt = np.array([[0, 0, 10, 10], [0, 0, 0, 0], [3, 3, 1, 1]], dtype=np.float64)
    for crowd in ([0, 0, 0], [1, 1, 1], [0, 1, 0]):
        ours = qm.iou(dt, gt, crowd)
        assert_same_array(ours, coco.iou(dt, gt, crowd), np.float64)
    # touching edges do not overlap
    assert qm.iou([[0, 0, 10, 10]], [[10, 0, 5, 5]], [0])[0, 0] == 0.0
    # a crowd box is measured against the detection's area alone
    assert qm.iou([[2, 2, 3, 3]], [[0, 0, 10, 10]], [1])[0, 0] == 1.0


@pytest.mark.parametrize("seed", range(4))
def test_mask_iou_matches_pycocotools(qm, coco, seed):
    rng = np.random.default_rng(500 + seed)
    m, n = int(rng.integers(1, 25)), int(rng.integers(1, 25))
    polys = [samples.coco_polygon(rng) for _ in range(m + n)]
    rles = qm.frPoly(polys, H, W)
    # a few detections that are exactly a ground truth or a piece of one
    dt, gt = rles[:m], rles[m:]
    dt[0] = gt[0]
    if m > 1:
        dt[1] = qm.merge([gt[0], qm.frBbox([[100, 100, 200, 150]], H, W)[0]], 1)
    crowd = rng.integers(0, 2, n).tolist()
    ours = qm.iou(dt, gt, crowd)
    assert_same_array(ours, coco.iou(dt, gt, crowd), np.float64)
    assert ours.shape == (m, n)
    assert ours[0, 0] == 1.0
    # iscrowd as any iterable of integers
    assert_same_array(qm.iou(dt, gt, np.array(crowd, np.int64)), ours, np.float64)
    assert_same_array(qm.iou(iter(dt), iter(gt), iter(crowd)), ours, np.float64)


def test_mask_iou_of_different_sizes(qm, coco):
    big = qm.frBbox([[0, 0, 5, 5], [40, 40, 5, 5]], 50, 50)
    small = qm.frBbox([[0, 0, 5, 5]], 20, 20)
    ours = qm.iou(big, small, [0])
    assert ours.tolist() == [[-1.0], [0.0]]
    assert_same_array(ours, coco.iou(big, small, [0]), np.float64)
    assert_same_array(qm.iou(small, big, [0, 1]), coco.iou(small, big, [0, 1]), np.float64)


# --------------------------------------------------------------------------
# rasterisation: frPoly, frBbox, frUncompressedRLE, frPyObjects

POLYGON_SETS = ["coco", "coco-unrounded", "degenerate", "shifted"]


def polygon_set(name: str, seed: int) -> list[list[float]]:
    rng = np.random.default_rng(seed)
    if name == "coco":
        return [samples.coco_polygon(rng) for _ in range(40)]
    if name == "coco-unrounded":
        return [samples.coco_polygon(rng, decimals=None) for _ in range(40)]
    if name == "degenerate":
        return samples.degenerate_polygons(rng)
    if name == "shifted":
        return samples.shifted_polygons(rng)
    raise AssertionError(name)


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("name", POLYGON_SETS)
def test_frpoly_matches_pycocotools(qm, coco, name, seed):
    polys = polygon_set(name, 600 + seed)
    ours = qm.frPoly(polys, H, W)
    assert_rle_lists(ours, coco.frPoly(polys, H, W))
    # one mask per polygon, never merged: each alone gives the same mask
    for poly, rle in zip(polys, ours):
        assert qm.frPoly([poly], H, W) == [rle]
    # any sequence of floats, in any container
    assert qm.frPoly(tuple(tuple(p) for p in polys), H, W) == ours
    assert qm.frPoly((np.array(p, dtype=np.float64) for p in polys), H, W) == ours


@pytest.mark.parametrize("h,w", [(1, 1), (3, 200), (200, 3), (0, 10), (10, 0), (7, 9)])
def test_frpoly_small_images(qm, coco, h, w):
    rng = np.random.default_rng(h * 1000 + w)
    polys = [rng.uniform(-2, max(h, w) + 2, 2 * int(rng.integers(3, 9))).tolist() for _ in range(30)]
    polys += samples.degenerate_polygons(rng)
    assert_rle_lists(qm.frPoly(polys, h, w), coco.frPoly(polys, h, w))


@pytest.mark.parametrize("seed", range(3))
def test_frbbox_matches_pycocotools(qm, coco, seed):
    rng = np.random.default_rng(700 + seed)
    boxes = samples.random_boxes(rng, 60)
    theirs = coco.frBbox(boxes, H, W)
    for form in box_forms(boxes).values():
        assert_rle_lists(qm.frBbox(form, H, W), theirs)
    # the unrounded boxes of tiny images
    assert_rle_lists(qm.frBbox(boxes / 40, 12, 16), coco.frBbox(boxes / 40, 12, 16))


@pytest.mark.parametrize("seed", range(3))
def test_fruncompressed_matches_pycocotools(qm, coco, seed):
    rng = np.random.default_rng(800 + seed)
    masks = np.concatenate([samples.blob_masks(rng, 37, 53, 5), samples.special_masks(37, 53)], axis=2)
    uc = [{"size": [37, 53], "counts": ref.counts_from_dense(masks[:, :, i])} for i in range(masks.shape[2])]
    ours = qm.frUncompressedRLE(uc, 37, 53)
    assert_rle_lists(ours, coco.frUncompressedRLE(uc, 37, 53))
    assert ours == qm.encode(masks)
    # counts as tuples or uint32 arrays
    uc2 = [{"size": d["size"], "counts": np.array(d["counts"], np.uint32)} for d in uc]
    assert qm.frUncompressedRLE(uc2, 1, 1) == ours


@pytest.mark.parametrize("seed", range(3))
def test_frpyobjects_every_input_form(qm, coco, seed):
    rng = np.random.default_rng(900 + seed)
    polys = [samples.coco_polygon(rng) for _ in range(5)] + samples.shifted_polygons(rng)[:4]
    boxes = samples.random_boxes(rng, 12)
    masks = samples.blob_masks(rng, H, W, 3)
    uc = [{"size": [H, W], "counts": ref.counts_from_dense(masks[:, :, i])} for i in range(3)]

    # list of polygons
    assert_rle_lists(qm.frPyObjects(polys, H, W), coco.frPyObjects(polys, H, W))
    # float64 array of boxes
    assert_rle_lists(qm.frPyObjects(boxes, H, W), coco.frPyObjects(boxes, H, W))
    # list of boxes (pycocotools wants an array for these)
    assert_rle_lists(qm.frPyObjects(boxes.tolist(), H, W), coco.frBbox(boxes, H, W))
    # uncompressed RLE dict and list of them
    assert_rle_dict(qm.frPyObjects(uc[0], H, W), coco.frPyObjects(uc[0], H, W))
    assert_rle_lists(qm.frPyObjects(uc, H, W), coco.frPyObjects(uc, H, W))
    # a flat list: four numbers are one box, more are one polygon
    for box in boxes.tolist():
        assert_rle_dict(qm.frPyObjects(box, H, W), coco.frBbox(np.array([box]), H, W)[0])
    for poly in polys:
        assert_rle_dict(qm.frPyObjects(poly, H, W), coco.frPoly([poly], H, W)[0])


@pytest.mark.parametrize("path", ANNOTATION_FILES, ids=lambda p: p.split("/")[-1])
def test_real_segmentations_rasterise_like_pycocotools(qm, coco, load_data, path):
    data = load_data(path)
    sizes = {img["id"]: (img["height"], img["width"]) for img in data["images"]}
    polygons = crowds = 0
    for ann in data["annotations"]:
        seg = ann.get("segmentation")
        if not seg:
            continue
        h, w = sizes[ann["image_id"]]
        ours = qm.frPyObjects(seg, h, w)
        theirs = coco.frPyObjects(seg, h, w)
        if isinstance(seg, dict):
            crowds += 1
            assert_rle_dict(ours, theirs)
            assert qm.area([ours])[0] == sum(seg["counts"][1::2])
        else:
            polygons += 1
            assert_rle_lists(ours, theirs)
            assert_rle_dict(qm.merge(ours), coco.merge(theirs))
            assert_rle_dict(qm.merge(ours, 1), coco.merge(theirs, 1))
    assert polygons > 100
    if "lvis" not in path:
        assert crowds > 0


def test_real_compressed_results_match_pycocotools(qm, coco, load_data):
    results = load_data("coco_val2014_100/fake_segm_results.json")
    rles = [r["segmentation"] for r in results]
    assert all(isinstance(r["counts"], str) for r in rles)
    as_bytes = [{"size": r["size"], "counts": r["counts"].encode()} for r in rles]

    # pycocotools counts masks in a byte, so it is fed fewer than 256 at a time
    chunks = [slice(s, s + 200) for s in range(0, len(rles), 200)]
    assert_same_array(qm.area(rles), np.concatenate([coco.area(as_bytes[c]) for c in chunks]), np.uint32)
    assert_same_array(qm.toBbox(rles), np.concatenate([coco.toBbox(as_bytes[c]) for c in chunks]), np.float64)
    # decode of same-sized masks; pycocotools does not lay out mixed sizes
    # the way ours does, so those are checked against the reference below
    by_size: dict[tuple, list[int]] = {}
    for i, r in enumerate(rles):
        by_size.setdefault(tuple(r["size"]), []).append(i)
    for idx in by_size.values():
        for s in range(0, len(idx), 200):
            part = idx[s:s + 200]
            assert_same_array(qm.decode([rles[i] for i in part]), coco.decode([as_bytes[i] for i in part]),
                              np.uint8)
    mixed = qm.decode(rles[:12])
    h, w = rles[0]["size"]
    assert len({tuple(r["size"]) for r in rles[:12]}) > 1
    for i, r in enumerate(rles[:12]):
        assert np.array_equal(mixed[:, :, i], ref.dense_from_counts(counts_of(r), h, w))

    crowd = np.random.default_rng(1000).integers(0, 2, len(rles)).tolist()
    full = qm.iou(rles, rles, crowd)
    assert full.shape == (len(rles), len(rles))
    for cd in chunks:
        for cg in chunks:
            assert_same_array(full[cd, cg].copy(), coco.iou(as_bytes[cd], as_bytes[cg], crowd[cg]), np.float64)
    assert_same_array(qm.iou(as_bytes, as_bytes, crowd), qm.iou(rles, rles, crowd), np.float64)

    # results against the ground truth of their image, crowd flags from the data
    gt = load_data("coco_val2014_100/instances_val2014_100.json")
    sizes = {img["id"]: (img["height"], img["width"]) for img in gt["images"]}
    for img_id in sorted({r["image_id"] for r in results}):
        h, w = sizes[img_id]
        anns = [a for a in gt["annotations"] if a["image_id"] == img_id]
        g = []
        for a in anns:
            r = qm.frPyObjects(a["segmentation"], h, w)
            g.append(r if isinstance(r, dict) else qm.merge(r))
        d = [as_bytes[i] for i, r in enumerate(results) if r["image_id"] == img_id]
        flags = [a["iscrowd"] for a in anns]
        ours = qm.iou(d, g, flags)
        if not d or not g:
            assert ours == []
            continue
        assert_same_array(ours, coco.iou(d, g, flags), np.float64)


# --------------------------------------------------------------------------
# behaviour defined here that pycocotools lacks; checked against the
# Python reference

# counts list <-> compressed string pairs of the codec
CODEC_EXAMPLES = [
    ([0], b"0"),
    ([3, 5, 2], b"352"),
    ([100], b"T3"),
    ([31], b"o0"),
    ([32], b"P1"),
    ([16], b"`0"),
    ([65535], b"ooo1"),
    ([5, 10, 5, 3, 20], b"5:5I?"),
    ([10, 20, 30, 15, 5], b":d0n0KWO"),
    ([], b""),
]


@pytest.mark.parametrize("counts,string", CODEC_EXAMPLES, ids=[str(c) for c, _ in CODEC_EXAMPLES])
def test_codec_examples(qm, counts, string):
    assert ref.counts_to_string(counts) == string
    assert ref.counts_from_string(string) == counts
    h = max(1, sum(counts))
    ours = qm.frUncompressedRLE([{"size": [h, 1], "counts": counts}], 0, 0)
    assert ours == [{"size": [h, 1], "counts": string}]
    # and back: the string is read into the same runs
    expected = ref.dense_from_counts(counts, h, 1)
    assert np.array_equal(qm.decode([{"size": [h, 1], "counts": string}])[:, :, 0], expected)
    assert qm.area([{"size": [h, 1], "counts": string}])[0] == ref.area(counts)


@pytest.mark.parametrize("seed", range(5))
def test_codec_round_trip_of_random_counts(qm, seed):
    rng = np.random.default_rng(1100 + seed)
    for _ in range(50):
        counts = rng.integers(0, 2 ** int(rng.integers(1, 33)), int(rng.integers(0, 12))).tolist()
        rle = qm.frUncompressedRLE([{"size": [3, 5], "counts": counts}], 3, 5)[0]
        assert rle["counts"] == ref.counts_to_string(counts)
        assert ref.counts_from_string(rle["counts"]) == counts
        # reading the string back and re-encoding is the identity
        assert qm.merge([rle]) == rle


@pytest.mark.parametrize(
    "a,b,union,intersection",
    [
        ([2, 2, 5], [3, 2, 4], [2, 3, 4], [3, 1, 5]),
        ([0, 9], [9], [0, 9], [9]),
    ],
)
def test_merge_examples(qm, a, b, union, intersection):
    ra = {"size": [9, 1], "counts": a}
    rb = {"size": [9, 1], "counts": b}
    assert counts_of(qm.merge([ra, rb])) == union
    assert counts_of(qm.merge([ra, rb], intersect=True)) == intersection
    assert counts_of(qm.merge([ra, rb], 0)) == union


@pytest.mark.parametrize(
    "counts,expected",
    [([5, 2, 5], [1, 1, 1, 2]), ([3, 2, 7], [0, 0, 2, 4]), ([12], [0, 0, 0, 0]), ([0, 12], [0, 0, 3, 4])],
)
def test_bbox_examples(qm, counts, expected):
    bbox = qm.toBbox([{"size": [4, 3], "counts": counts}])
    assert bbox.tolist() == [expected]
    assert ref.bbox(counts, 4, 3) == expected


def test_raster_and_encode_examples(qm):
    assert counts_of(qm.frBbox([[0, 0, 2, 2]], 4, 4)[0]) == [0, 2, 2, 2, 10]
    assert counts_of(qm.encode(np.array([1, 1, 0], np.uint8).reshape(3, 1, 1))[0]) == [0, 2, 1]
    # fewer than two coordinates: one run of zeros over the image
    for poly in ([], [3.0]):
        assert counts_of(qm.frPoly([poly], 6, 7)[0]) == [42]
    # an odd trailing coordinate is ignored
    p = [1.0, 1.0, 9.0, 2.0, 5.0, 8.0]
    assert qm.frPoly([p + [123.0]], 10, 10) == qm.frPoly([p], 10, 10)
    # beyond the columns: nothing; beyond the rows: clamped
    assert counts_of(qm.frPoly([[-9.0, 1, -3, 1, -3, 5]], 10, 10)[0]) == [100]
    assert counts_of(qm.frPoly([[12.0, 1, 19, 1, 19, 5]], 10, 10)[0]) == [100]
    tall = qm.frPoly([[2.0, -50, 6, -50, 6, 60, 2, 60]], 10, 10)[0]
    assert qm.toBbox([tall]).tolist() == [[2.0, 0.0, 4.0, 10.0]]
    # two overlapping polygons of a segmentation are united
    seg = [[0.0, 0, 6, 0, 6, 6, 0, 6], [3.0, 3, 9, 3, 9, 9, 3, 9]]
    union = qm.merge(qm.frPyObjects(seg, 10, 10))
    assert qm.area([union])[0] == 36 + 36 - 9


def test_frpyobjects_decides_by_shape(qm):
    box = [1.0, 2.0, 5.0, 4.0]
    poly6 = [1.0, 1.0, 8.0, 1.0, 4.0, 7.0]
    box_rle = qm.frBbox([box], 10, 10)[0]
    # flat list of four numbers: one dict of a box, not of a 2-vertex polygon
    assert qm.frPyObjects(box, 10, 10) == box_rle
    assert qm.frPyObjects(box, 10, 10) != qm.frPoly([box], 10, 10)[0]
    assert qm.frPyObjects(tuple(box), 10, 10) == box_rle
    assert qm.frPyObjects([1, 2, 5, 4], 10, 10) == box_rle
    # a list holding one four-number list: a list with one box
    assert qm.frPyObjects([box], 10, 10) == [box_rle]
    # first item of six values or more: polygons (the later ones may be short)
    assert qm.frPyObjects([poly6, box], 10, 10) == qm.frPoly([poly6, box], 10, 10)
    assert qm.frPyObjects(poly6, 10, 10) == qm.frPoly([poly6], 10, 10)[0]
    # nothing in, nothing out
    assert qm.frPyObjects([], 10, 10) == []
    assert qm.frPyObjects((), 10, 10) == []
    # float64 arrays are boxes; other arrays are walked as sequences
    assert qm.frPyObjects(np.array([box]), 10, 10) == [box_rle]
    assert qm.frPyObjects(np.array(box, np.float32), 10, 10) == box_rle
    assert qm.frPyObjects(np.array([poly6], np.int32), 10, 10) == qm.frPoly([poly6], 10, 10)


def test_uncompressed_inputs(qm):
    uc = {"size": [3, 4], "counts": [1, 2, 9]}
    expected = {"size": [3, 4], "counts": ref.counts_to_string([1, 2, 9])}
    assert qm.frPyObjects(uc, 99, 99) == expected
    assert qm.frPyObjects([uc, uc], 99, 99) == [expected, expected]
    # sizes come from each dict, never from _h and _w
    assert qm.frUncompressedRLE([uc, {"size": [2, 2], "counts": [4]}], 0, 4294967295) == [
        expected,
        {"size": [2, 2], "counts": b"4"},
    ]
    # a third size entry is tolerated by the uncompressed readers
    assert qm.frUncompressedRLE([{"size": [3, 4, 7], "counts": [1, 2, 9]}], 1, 1) == [expected]
    assert qm.frPyObjects({"size": [3, 4, 7], "counts": [1, 2, 9]}, 1, 1) == expected
    # bytes counts are a sequence of byte values there, not a compressed string
    raw = {"size": [10, 10], "counts": b"T3"}
    assert counts_of(qm.frUncompressedRLE([raw], 1, 1)[0]) == [ord("T"), ord("3")]
    assert counts_of(qm.frPyObjects(raw, 1, 1)) == [ord("T"), ord("3")]
    assert counts_of(qm.frPyObjects([raw], 1, 1)[0]) == [ord("T"), ord("3")]
    # ...and everywhere else a compressed string
    assert qm.area([raw]).tolist() == [0]
    assert counts_of(qm.merge([raw])) == [100]
    # sizes are taken modulo 2**32
    big = qm.frUncompressedRLE([{"size": [2**32 + 3, 2**33 + 4], "counts": [12]}], 1, 1)[0]
    assert big["size"] == [3, 4]
    assert qm.area([{"size": [2**32 + 3, 4], "counts": [1, 2, 9]}]).tolist() == [2]
    assert qm.merge([{"size": [2**32 + 3, 4], "counts": [1, 2, 9]}])["size"] == [3, 4]


def test_uncompressed_counts_accepted_by_readers(qm):
    counts = [5, 3, 4, 6, 2]
    d = {"size": [5, 4], "counts": counts}
    assert qm.area([d]).tolist() == [9]
    assert np.array_equal(qm.decode([d])[:, :, 0], ref.dense_from_counts(counts, 5, 4))
    assert qm.toBbox([d]).tolist() == [ref.bbox(counts, 5, 4)]
    assert qm.merge([d]) == qm.frUncompressedRLE([d], 5, 4)[0]
    # any iterable of dicts; dict subclasses too
    class Sub(dict):
        pass

    assert qm.area(iter([d, Sub(d)])).tolist() == [9, 9]
    assert qm.area((d,)).tolist() == [9]
    # counts never checked against h * w
    assert qm.area([{"size": [2, 2], "counts": [1, 100]}]).tolist() == [100]


def test_decode_uses_first_mask_size(qm):
    a = {"size": [3, 3], "counts": [1, 2, 6]}
    b = {"size": [2, 7], "counts": [4, 10]}  # runs clipped to the 9 pixels
    c = {"size": [5, 5], "counts": [1]}  # too short: the rest stays 0
    d = {"size": [2, 2], "counts": [2, 6]}  # a smaller mask is not cut at its own 4 pixels
    out = qm.decode([a, b, c, d])
    assert out.shape == (3, 3, 4) and out.dtype == np.uint8 and out.flags.f_contiguous
    assert np.array_equal(out[:, :, 0], ref.dense_from_counts([1, 2, 6], 3, 3))
    assert np.array_equal(out[:, :, 1], ref.dense_from_counts([4, 10], 3, 3))
    assert not out[:, :, 2].any()
    assert np.array_equal(out[:, :, 3], ref.dense_from_counts([2, 6], 3, 3))
    # the array owns its memory for as long as it lives
    view = out[:, :, 1]
    del out
    assert view.sum() == 5


def test_iou_crowd_flags(qm):
    dt = [[0, 0, 4, 4]]
    gt = [[2, 2, 4, 4], [2, 2, 4, 4], [2, 2, 4, 4], [2, 2, 4, 4]]
    plain, crowd = 4 / 28, 4 / 16
    # only the low 8 bits count; missing flags are "not crowd"; extras are ignored
    assert qm.iou(dt, gt, [256, 257, -1]).tolist() == [[plain, crowd, crowd, plain]]
    assert qm.iou(dt, gt, [1]).tolist() == [[crowd, plain, plain, plain]]
    assert qm.iou(dt, gt, []).tolist() == [[plain] * 4]
    assert qm.iou(dt, gt, [0, 0, 0, 0, 1, 1]).tolist() == [[plain] * 4]
    assert qm.iou(dt, gt, [True, np.uint8(1), 0, 2**70 + 1]).tolist() == [[crowd, crowd, plain, crowd]]
    # empty on either side: an empty list, iscrowd never looked at
    for a, b in [([], gt), (dt, []), (np.zeros((0, 4)), gt), ([], [])]:
        out = qm.iou(a, b, None)
        assert out == [] and type(out) is list
    # the same crowd rule for masks: a detection inside a crowd region scores 1
    region = qm.frBbox([[0, 0, 8, 8]], 10, 10)
    inside = qm.frBbox([[2, 2, 3, 3]], 10, 10)
    assert qm.iou(inside, region, [1]).tolist() == [[1.0]]
    assert qm.iou(inside, region, [0]).tolist() == [[9 / 64]]
    assert qm.iou(inside, region, [256]).tolist() == [[9 / 64]]


def test_int_arrays_are_boxes_row_by_row(qm):
    boxes = np.array([[0, 0, 4, 4], [1, 1, 2, 3]], np.int32)
    assert np.array_equal(qm.iou(boxes, boxes, [0, 0]), qm.iou(boxes.astype(float), boxes.astype(float), [0, 0]))
    assert qm.frBbox(boxes, 6, 6) == qm.frBbox(boxes.astype(float), 6, 6)


BOUNDARY_CASES = [
    # (h, w, mask maker, ratio)
    (5, 5, lambda h, w: np.ones((h, w), np.uint8), 0.02),
    (100, 100, lambda h, w: np.ones((h, w), np.uint8), 0.02),
    (40, 60, lambda h, w: np.pad(np.ones((20, 30), np.uint8), ((10, 10), (5, 25))), 0.05),
    (30, 30, lambda h, w: np.eye(30, dtype=np.uint8), 0.02),
    (30, 30, lambda h, w: np.zeros((h, w), np.uint8), 0.02),
    (30, 40, lambda h, w: np.pad(np.ones((20, 20), np.uint8), ((5, 5), (5, 15))), 0.0),
    (30, 40, lambda h, w: np.pad(np.ones((20, 20), np.uint8), ((5, 5), (5, 15))), 0.001),
    (64, 64, lambda h, w: (np.add.outer(np.arange(64) // 8, np.arange(64) // 8) % 2).astype(np.uint8), 0.1),
]


def boundary_passes(h: int, w: int, ratio: float) -> int:
    d = ratio * np.sqrt(float(h * h + w * w))
    d = int(np.floor(abs(d) + 0.5)) * (1 if d >= 0 else -1)
    return d if d >= 2 else 1


@pytest.mark.parametrize("h,w,make,ratio", BOUNDARY_CASES)
def test_to_boundary_against_reference(qm, h, w, make, ratio):
    mask = make(h, w)
    rle = qm.encode(np.asfortranarray(mask[:, :, None]))
    band = qm.toBoundary(rle, ratio)
    assert_rle_dict(band[0])
    assert band[0]["size"] == [h, w]
    expected = ref.eroded_band(mask, boundary_passes(h, w, ratio))
    assert np.array_equal(qm.decode(band)[:, :, 0], expected)


def test_to_boundary_examples(qm):
    full5 = {"size": [5, 5], "counts": [0, 25]}
    assert counts_of(qm.toBoundary([full5])[0]) == [0, 6, 3, 2, 3, 2, 3, 6]
    full100 = qm.encode(np.ones((100, 100, 1), np.uint8))
    band = qm.decode(qm.toBoundary(full100))[:, :, 0]
    inner = np.zeros((100, 100), bool)
    inner[3:-3, 3:-3] = True
    assert np.array_equal(band.astype(bool), ~inner)
    # zero height or width: returned unchanged, counts included
    odd = {"size": [0, 7], "counts": [3, 4]}
    assert qm.toBoundary([odd]) == [{"size": [0, 7], "counts": b"34"}]
    # the default ratio is 0.02
    rles = polygon_rles(qm, 1200, 6)
    assert qm.toBoundary(rles) == qm.toBoundary(rles, 0.02) == qm.toBoundary(rles, dilation_ratio=0.02)
    assert qm.toBoundary(rles, 0.02) != qm.toBoundary(rles, 0.08)
    assert qm.toBoundary([]) == []
    # a one-pixel-wide line is all band; an empty mask has none
    line = {"size": [9, 9], "counts": [4 * 9, 9, 4 * 9]}
    assert qm.toBoundary([line])[0] == qm.merge([line])
    assert counts_of(qm.toBoundary([{"size": [9, 9], "counts": [81]}])[0]) == [81]
    # ratios through the float protocol
    assert qm.toBoundary(rles, 0) == qm.toBoundary(rles, 0.0)
    assert qm.toBoundary(rles, np.float32(0.08)) == qm.toBoundary(rles, float(np.float32(0.08)))
