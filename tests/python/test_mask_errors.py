"""Bad input to the mask toolkit: the exception type, its exact text, and the
"while processing" note of argument conversions; and malformed compressed
counts, which must never bring the interpreter down."""

from __future__ import annotations

import faulthandler
import re

import numpy as np
import pytest

import _rle_reference as ref

R = {"size": [2, 2], "counts": b"04"}  # a valid compressed mask
UC = {"size": [2, 2], "counts": [0, 4]}  # a valid uncompressed mask
BOX = [0.0, 0.0, 1.0, 1.0]

NOT_RLE = "expected an RLE dict with 'size' and 'counts'"
NO_SIZE = "RLE dict is missing 'size'"
BAD_SIZE = "RLE 'size' must be [h, w]"
NO_COUNTS = "RLE dict is missing 'counts'"
BAD_COUNTS = "RLE 'counts' must be bytes, str, or a list of ints"
NX4 = "numpy ndarray input is only for *bounding boxes* and should have Nx4 dimension"
LIST_INPUT = "list input can be bounding box (Nx4) or RLEs ([RLE])"
SAME_TYPE = "The dt and gt should have the same data type, either RLEs, list or np.ndarray"
NEEDS_ONE = "decode() needs at least one RLE"
NOT_3D = "mask must be a 3-D (h, w, n) uint8 array"
NOT_BOXES = "expected bounding boxes"
NOT_UC = "expected uncompressed RLE dicts"
UNSUPPORTED = "input type is not supported."
STR_TO_VEC = "Can't extract `str` to `Vec`"


def note(name: str) -> list[str]:
    return [f"while processing '{name}'"]


def check_raises(call, exc_type, message, notes):
    """`message` is the exact text, a compiled pattern, or None when only the
    type is fixed (interpreter protocol errors); `notes` is the exact
    __notes__ list, or None for errors that are not argument conversions."""
    with pytest.raises(BaseException) as info:
        call()
    exc = info.value
    assert type(exc) is exc_type, f"{type(exc).__name__}: {exc}"
    if isinstance(message, re.Pattern):
        assert message.search(str(exc)), str(exc)
    elif message is not None:
        assert str(exc) == message
    assert getattr(exc, "__notes__", None) == notes


# -------------------------------------------------------------------------
# reading RLE dicts: every function that takes a list of compressed masks

BAD_RLE_ITEMS = [
    ("int", 5, TypeError, NOT_RLE),
    ("list", [2, 2], TypeError, NOT_RLE),
    ("str", "04", TypeError, NOT_RLE),
    ("none", None, TypeError, NOT_RLE),
    ("empty-dict", {}, ValueError, NO_SIZE),
    ("no-size", {"counts": b"04"}, ValueError, NO_SIZE),
    ("no-counts", {"size": [2, 2]}, ValueError, NO_COUNTS),
    ("size-3", {"size": [2, 2, 7], "counts": b"04"}, ValueError, BAD_SIZE),
    ("size-1", {"size": [4], "counts": b"04"}, ValueError, BAD_SIZE),
    ("size-0", {"size": [], "counts": b"04"}, ValueError, BAD_SIZE),
    # the size is checked before "counts" is looked up
    ("size-3-no-counts", {"size": [2, 2, 7]}, ValueError, BAD_SIZE),
    ("size-str", {"size": "22", "counts": b"04"}, TypeError, STR_TO_VEC),
    ("size-int", {"size": 4, "counts": b"04"}, TypeError, re.compile("Sequence")),
    ("size-negative", {"size": [-2, 2], "counts": b"04"}, OverflowError, None),
    ("size-2**64", {"size": [2**64, 2], "counts": b"04"}, OverflowError, None),
    ("size-float", {"size": [2.0, 2], "counts": b"04"}, TypeError, None),
    ("counts-int", {"size": [2, 2], "counts": 4}, TypeError, BAD_COUNTS),
    ("counts-none", {"size": [2, 2], "counts": None}, TypeError, BAD_COUNTS),
    ("counts-float-item", {"size": [2, 2], "counts": [0, 4.0]}, TypeError, BAD_COUNTS),
    ("counts-negative", {"size": [2, 2], "counts": [0, -4]}, TypeError, BAD_COUNTS),
    ("counts-2**32", {"size": [2, 2], "counts": [0, 2**32]}, TypeError, BAD_COUNTS),
    ("counts-str-items", {"size": [2, 2], "counts": ["0", "4"]}, TypeError, BAD_COUNTS),
    ("counts-dict", {"size": [2, 2], "counts": {0: 4}}, TypeError, BAD_COUNTS),
    ("counts-nested", {"size": [2, 2], "counts": [[0, 4]]}, TypeError, BAD_COUNTS),
]

RLE_READERS = {
    "area": lambda qm, rles: qm.area(rles),
    "toBbox": lambda qm, rles: qm.toBbox(rles),
    "decode": lambda qm, rles: qm.decode(rles),
    "merge": lambda qm, rles: qm.merge(rles),
    "merge-intersect": lambda qm, rles: qm.merge(rles, 1),
    "toBoundary": lambda qm, rles: qm.toBoundary(rles),
    "iou-dt": lambda qm, rles: qm.iou(rles, [R], [0]),
    "iou-gt": lambda qm, rles: qm.iou([R], rles, [0]),
}


@pytest.mark.parametrize("reader", RLE_READERS)
@pytest.mark.parametrize("item,exc_type,message", [c[1:] for c in BAD_RLE_ITEMS],
                         ids=[c[0] for c in BAD_RLE_ITEMS])
def test_bad_rle_dicts(qm, reader, item, exc_type, message):
    # behind a valid mask, so that iou has decided on masks already
    check_raises(lambda: RLE_READERS[reader](qm, [R, item]), exc_type, message, None)
    if not reader.startswith("iou"):
        check_raises(lambda: RLE_READERS[reader](qm, [item]), exc_type, message, None)


@pytest.mark.parametrize("reader", RLE_READERS)
def test_rle_list_must_be_iterable(qm, reader):
    check_raises(lambda: RLE_READERS[reader](qm, 5), TypeError, "'int' object is not iterable", None)


# -------------------------------------------------------------------------
# one table for everything else

CASES = [
    # --- iou: the box-or-mask rule, crowd flags, mixed kinds
    ("iou-f64-Nx5", lambda qm: qm.iou(np.zeros((2, 5)), [BOX], [0]), ValueError, NX4, None),
    ("iou-f64-Nx5-gt", lambda qm: qm.iou([BOX], np.zeros((2, 5)), [0]), ValueError, NX4, None),
    ("iou-f64-0x5", lambda qm: qm.iou(np.zeros((0, 5)), [BOX], None), ValueError, NX4, None),
    ("iou-f64-1d", lambda qm: qm.iou(np.zeros(4), [BOX], [0]), ValueError, NX4, None),
    ("iou-f64-3d", lambda qm: qm.iou(np.zeros((1, 4, 1)), [BOX], [0]), ValueError, NX4, None),
    ("iou-i32-Nx5", lambda qm: qm.iou(np.zeros((2, 5), np.int32), [BOX], [0]), ValueError, LIST_INPUT, None),
    ("iou-f32-Nx5", lambda qm: qm.iou(np.zeros((2, 5), np.float32), [BOX], [0]), ValueError, LIST_INPUT, None),
    ("iou-3-values", lambda qm: qm.iou([[0, 0, 1]], [BOX], [0]), ValueError, LIST_INPUT, None),
    ("iou-5-values", lambda qm: qm.iou([BOX + [1.0]], [BOX], [0]), ValueError, LIST_INPUT, None),
    ("iou-str-value", lambda qm: qm.iou([[0, 0, "1", 1]], [BOX], [0]), ValueError, LIST_INPUT, None),
    ("iou-number-item", lambda qm: qm.iou([5], [BOX], [0]), ValueError, LIST_INPUT, None),
    ("iou-str-item", lambda qm: qm.iou(["abcd"], [BOX], [0]), ValueError, LIST_INPUT, None),
    ("iou-box-then-rle", lambda qm: qm.iou([BOX, R], [BOX], [0]), ValueError, LIST_INPUT, None),
    ("iou-box-then-short", lambda qm: qm.iou([BOX], [BOX, [1, 2]], [0]), ValueError, LIST_INPUT, None),
    ("iou-rle-then-box", lambda qm: qm.iou([R, BOX], [R], [0]), TypeError, NOT_RLE, None),
    ("iou-not-iterable", lambda qm: qm.iou(5, [BOX], [0]), TypeError, "'int' object is not iterable", None),
    ("iou-boxes-vs-rles", lambda qm: qm.iou([BOX], [R], [0]), TypeError, SAME_TYPE, None),
    ("iou-rles-vs-array", lambda qm: qm.iou([R], np.array([BOX]), [0]), TypeError, SAME_TYPE, None),
    # iscrowd is read before the kinds are compared
    ("iou-mixed-crowd-none", lambda qm: qm.iou([BOX], [R], None), TypeError,
     "'NoneType' object is not iterable", None),
    ("iou-mixed-crowd-str", lambda qm: qm.iou([R], [BOX], ["1"]), TypeError,
     "'str' object cannot be interpreted as an integer", None),
    ("iou-crowd-float", lambda qm: qm.iou([BOX], [BOX], [1.0]), TypeError,
     "'float' object cannot be interpreted as an integer", None),
    ("iou-crowd-int", lambda qm: qm.iou([R], [R], 1), TypeError, "'int' object is not iterable", None),
    # --- decode
    ("decode-empty-list", lambda qm: qm.decode([]), IndexError, NEEDS_ONE, None),
    ("decode-empty-tuple", lambda qm: qm.decode(()), IndexError, NEEDS_ONE, None),
    ("decode-empty-iterator", lambda qm: qm.decode(iter([])), IndexError, NEEDS_ONE, None),
    # --- encode
    ("encode-float", lambda qm: qm.encode(np.zeros((2, 2, 1))), TypeError, None, note("mask")),
    ("encode-int8", lambda qm: qm.encode(np.zeros((2, 2, 1), np.int8)), TypeError,
     "'numpy.ndarray' object cannot be converted to a uint8 or bool ndarray", note("mask")),
    ("encode-int8", lambda qm: qm.encode(np.zeros((2, 2, 1), np.int8)), TypeError, None, note("mask")),
    ("encode-list", lambda qm: qm.encode([[[0]]]), TypeError, None, note("mask")),
    ("encode-scalar", lambda qm: qm.encode(np.uint8(0)), TypeError, None, note("mask")),
    ("encode-2d", lambda qm: qm.encode(np.zeros((2, 2), np.uint8)), ValueError, NOT_3D, None),
    ("encode-1d", lambda qm: qm.encode(np.zeros(4, np.uint8)), ValueError, NOT_3D, None),
    ("encode-4d", lambda qm: qm.encode(np.zeros((2, 2, 1, 1), np.uint8)), ValueError, NOT_3D, None),
    ("encode-0d", lambda qm: qm.encode(np.array(0, np.uint8)), ValueError, NOT_3D, None),
    # --- merge: intersect is converted before the list is read
    ("merge-intersect-str", lambda qm: qm.merge([R], "1"), TypeError, None, note("intersect")),
    ("merge-intersect-float", lambda qm: qm.merge([R], 1.0), TypeError, None, note("intersect")),
    ("merge-intersect-none", lambda qm: qm.merge([R], intersect=None), TypeError, None, note("intersect")),
    ("merge-intersect-huge", lambda qm: qm.merge([R], 2**70), OverflowError, None, note("intersect")),
    ("merge-intersect-first", lambda qm: qm.merge(5, "1"), TypeError, None, note("intersect")),
    ("merge-not-iterable", lambda qm: qm.merge(5), TypeError, "'int' object is not iterable", None),
    # --- toBoundary: dilation_ratio is converted before the list is read
    ("boundary-ratio-str", lambda qm: qm.toBoundary([R], "0.1"), TypeError, None, note("dilation_ratio")),
    ("boundary-ratio-none", lambda qm: qm.toBoundary([R], dilation_ratio=None), TypeError, None,
     note("dilation_ratio")),
    ("boundary-ratio-list", lambda qm: qm.toBoundary([R], [0.1]), TypeError, None, note("dilation_ratio")),
    ("boundary-ratio-first", lambda qm: qm.toBoundary(5, "x"), TypeError, None, note("dilation_ratio")),
    # a ratio that gives no band width is refused, not read as 0
    ("boundary-ratio-negative", lambda qm: qm.toBoundary([R], -0.5), ValueError,
     "dilation ratio must be a finite number >= 0, got -0.5", note("dilation_ratio")),
    ("boundary-ratio-nan", lambda qm: qm.toBoundary([R], float("nan")), ValueError,
     "dilation ratio must be a finite number >= 0, got nan", note("dilation_ratio")),
    ("boundary-ratio-inf", lambda qm: qm.toBoundary([R], float("inf")), ValueError,
     "dilation ratio must be a finite number >= 0, got inf", note("dilation_ratio")),
    ("boundary-ratio-before-list", lambda qm: qm.toBoundary(5, -1.0), ValueError, None, note("dilation_ratio")),
    # --- frBbox
    ("frbbox-rles", lambda qm: qm.frBbox([R], 2, 2), TypeError, NOT_BOXES, None),
    ("frbbox-Nx5", lambda qm: qm.frBbox(np.zeros((1, 5)), 2, 2), ValueError, NX4, None),
    ("frbbox-short", lambda qm: qm.frBbox([[0, 0, 1]], 2, 2), ValueError, LIST_INPUT, None),
    ("frbbox-rle-second", lambda qm: qm.frBbox([BOX, R], 2, 2), ValueError, LIST_INPUT, None),
    ("frbbox-not-iterable", lambda qm: qm.frBbox(5, 2, 2), TypeError, "'int' object is not iterable", None),
    # --- frPoly
    ("frpoly-not-iterable", lambda qm: qm.frPoly(5, 2, 2), TypeError, "'int' object is not iterable", None),
    ("frpoly-number-item", lambda qm: qm.frPoly([5], 2, 2), TypeError, re.compile("Sequence"), None),
    ("frpoly-str-item", lambda qm: qm.frPoly(["1 2 3 4 5 6"], 2, 2), TypeError, STR_TO_VEC, None),
    ("frpoly-str-coord", lambda qm: qm.frPoly([[1, 2, "3", 4, 5, 6]], 2, 2), TypeError, None, None),
    ("frpoly-dict-item", lambda qm: qm.frPoly([R], 2, 2), TypeError, re.compile("Sequence"), None),
    # --- frUncompressedRLE
    ("fruc-not-dict", lambda qm: qm.frUncompressedRLE([5], 2, 2), TypeError, NOT_UC, None),
    ("fruc-second-not-dict", lambda qm: qm.frUncompressedRLE([UC, [0, 4]], 2, 2), TypeError, NOT_UC, None),
    ("fruc-no-size", lambda qm: qm.frUncompressedRLE([{"counts": [4]}], 2, 2), ValueError, NO_SIZE, None),
    ("fruc-no-counts", lambda qm: qm.frUncompressedRLE([{"size": [2, 2]}], 2, 2), ValueError, NO_COUNTS, None),
    ("fruc-counts-float", lambda qm: qm.frUncompressedRLE([{"size": [2, 2], "counts": [0, 4.0]}], 2, 2),
     TypeError, "'float' object cannot be interpreted as an integer", None),
    ("fruc-counts-str", lambda qm: qm.frUncompressedRLE([{"size": [2, 2], "counts": "04"}], 2, 2),
     TypeError, STR_TO_VEC, None),
    ("fruc-counts-negative", lambda qm: qm.frUncompressedRLE([{"size": [2, 2], "counts": [-1]}], 2, 2),
     OverflowError, None, None),
    ("fruc-counts-2**32", lambda qm: qm.frUncompressedRLE([{"size": [2, 2], "counts": [2**32]}], 2, 2),
     OverflowError, None, None),
    ("fruc-size-str", lambda qm: qm.frUncompressedRLE([{"size": "22", "counts": [4]}], 2, 2),
     TypeError, STR_TO_VEC, None),
    ("fruc-size-negative", lambda qm: qm.frUncompressedRLE([{"size": [-2, 2], "counts": [4]}], 2, 2),
     OverflowError, None, None),
    ("fruc-not-iterable", lambda qm: qm.frUncompressedRLE(5, 2, 2), TypeError,
     "'int' object is not iterable", None),
    # --- frPyObjects
    ("frpy-dict-unsupported", lambda qm: qm.frPyObjects({"a": 1}, 2, 2), TypeError, UNSUPPORTED, None),
    ("frpy-dict-only-counts", lambda qm: qm.frPyObjects({"counts": [4]}, 2, 2), TypeError, UNSUPPORTED, None),
    ("frpy-dict-only-size", lambda qm: qm.frPyObjects({"size": [2, 2]}, 2, 2), TypeError, UNSUPPORTED, None),
    ("frpy-dict-bad-counts", lambda qm: qm.frPyObjects({"size": [2, 2], "counts": 4}, 2, 2), TypeError,
     re.compile("Sequence"), None),
    ("frpy-uc-then-junk", lambda qm: qm.frPyObjects([UC, 5], 2, 2), TypeError, NOT_UC, None),
    ("frpy-flat-then-str", lambda qm: qm.frPyObjects([1, 2, 3, "4"], 2, 2), TypeError, None, None),
    ("frpy-flat-then-list", lambda qm: qm.frPyObjects([1, [2]], 2, 2), TypeError, None, None),
    ("frpy-boxes-then-rle", lambda qm: qm.frPyObjects([BOX, R], 2, 2), ValueError, LIST_INPUT, None),
    ("frpy-Nx5", lambda qm: qm.frPyObjects(np.zeros((1, 5)), 2, 2), ValueError, NX4, None),
    ("frpy-not-iterable", lambda qm: qm.frPyObjects(5, 2, 2), TypeError, None, None),
    ("frpy-first-unsized", lambda qm: qm.frPyObjects([object()], 2, 2), TypeError, None, None),
]

# h and w of every rasterising function: unsigned 32-bit integers, converted
# (h before w) before the first argument is looked at.
SIZE_FUNCTIONS = {
    "frBbox": ("h", "w", lambda qm, h, w: qm.frBbox([R], h, w)),
    "frPoly": ("h", "w", lambda qm, h, w: qm.frPoly(5, h, w)),
    "frPyObjects": ("h", "w", lambda qm, h, w: qm.frPyObjects({"a": 1}, h, w)),
    "frUncompressedRLE": ("_h", "_w", lambda qm, h, w: qm.frUncompressedRLE([5], h, w)),
}
BAD_SIZES = [
    ("negative", -1, OverflowError),
    ("2**32", 2**32, OverflowError),
    ("2**64", 2**64, OverflowError),
    ("float", 3.0, TypeError),
    ("str", "3", TypeError),
    ("none", None, TypeError),
]
for fname, (hname, wname, call) in SIZE_FUNCTIONS.items():
    for label, bad, exc_type in BAD_SIZES:
        CASES.append((f"{fname}-{hname}-{label}", lambda qm, c=call, b=bad: c(qm, b, 3), exc_type, None, note(hname)))
        CASES.append((f"{fname}-{wname}-{label}", lambda qm, c=call, b=bad: c(qm, 3, b), exc_type, None, note(wname)))
    CASES.append((f"{fname}-h-before-w", lambda qm, c=call: c(qm, -1, "x"), OverflowError, None, note(hname)))


@pytest.mark.parametrize("call,exc_type,message,notes", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_bad_input(qm, call, exc_type, message, notes):
    check_raises(lambda: call(qm), exc_type, message, notes)


def test_short_size_in_uncompressed_dict_raises(qm):
    # which exception is ours to choose; that it is an ordinary one is not
    for size in ([3], []):
        with pytest.raises(Exception):
            qm.frUncompressedRLE([{"size": size, "counts": [4]}], 2, 2)
        with pytest.raises(Exception):
            qm.frPyObjects({"size": size, "counts": [4]}, 2, 2)


def test_extreme_sizes_accepted(qm):
    top = 2**32 - 1
    assert qm.frPoly([], top, top) == []
    assert qm.frBbox(np.zeros((0, 4)), top, 0) == []
    assert qm.frUncompressedRLE([UC], top, top) == [{"size": [2, 2], "counts": b"04"}]
    rle = qm.frBbox([[0, 0, 1, 1]], top, 1)[0]
    assert rle["size"] == [top, 1]
    assert qm.area([rle]).tolist() == [1]
    # integers of other kinds, through __index__
    assert qm.frBbox([BOX], np.int64(2), np.uint32(2)) == qm.frBbox([BOX], 2, 2)


def test_errors_leave_arguments_untouched(qm):
    rles = [dict(R), {"size": [2, 2]}]
    snapshot = [dict(d) for d in rles]
    with pytest.raises(ValueError):
        qm.merge(rles)
    assert rles == snapshot
    masks = np.ones((3, 3, 2), np.uint8)
    qm.encode(masks)
    assert masks.all()


# -------------------------------------------------------------------------
# malformed compressed counts: every reader returns something or raises an
# ordinary exception. A crash takes the whole pytest process down (and so
# fails the run, with faulthandler's traceback naming the test); a hang is
# turned into the same kind of failure by the watchdog below. An internal
# invariant failure (PanicException, a BaseException) is not caught and
# fails the test.


@pytest.fixture
def watchdog():
    faulthandler.dump_traceback_later(120, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


def garbage_strings(rng: np.random.Generator) -> list[bytes | str]:
    out: list[bytes | str] = [b"", b"\x00", b"\xff" * 7, b"o" * 40, b"0" * 9, b"\x7f\x80\x90", "é", "0ooo"]
    for _ in range(40):
        n = int(rng.integers(1, 60))
        out.append(rng.integers(0, 256, n, dtype=np.uint8).tobytes())
        out.append(rng.integers(48, 112, n, dtype=np.uint8).tobytes())
        out.append("".join(chr(c) for c in rng.integers(32, 0x3000, n)))
    # well-formed strings whose runs do not add up to the image, and huge runs
    for _ in range(30):
        counts = rng.integers(0, 40, int(rng.integers(1, 12))).tolist()
        out.append(ref.counts_to_string(counts))
        huge = rng.integers(0, 2**32, int(rng.integers(1, 8)), dtype=np.uint64).tolist()
        out.append(ref.counts_to_string([int(c) for c in huge]))
    out.append(ref.counts_to_string([2**32 - 1, 2**32 - 1, 2**32 - 1, 1]))
    out.append(ref.counts_to_string([0, 2**32 - 1]))
    return out


GARBAGE_SIZES = [(5, 7), (1, 1), (0, 9), (9, 0), (0, 0), (16, 3)]


@pytest.mark.parametrize("seed", range(3))
def test_garbage_counts_are_read_like_the_reference(qm, watchdog, seed):
    """area, toBbox, decode and a one-mask merge are fully defined for any
    string: they must agree with the Python reader."""
    rng = np.random.default_rng(1300 + seed)
    for s in garbage_strings(rng):
        counts = ref.counts_from_string(s)
        for h, w in GARBAGE_SIZES:
            d = {"size": [h, w], "counts": s}
            assert qm.area([d]).tolist() == [ref.area(counts)]
            assert qm.toBbox([d]).tolist() == [ref.bbox(counts, h, w)]
            if h * w:
                assert np.array_equal(qm.decode([d])[:, :, 0], ref.dense_from_counts(counts, h, w))
            copy = qm.merge([d])
            assert copy == {"size": [h, w], "counts": ref.counts_to_string(counts)}
        # huge images cost nothing here: no pixel buffer is involved
        d = {"size": [2**32 - 1, 2**32 - 1], "counts": s}
        assert qm.area([d]).tolist() == [ref.area(counts)]
        assert qm.toBbox([d]).tolist() == [ref.bbox(counts, 2**32 - 1, 2**32 - 1)]


def survives(call):
    try:
        return call()
    except Exception as exc:  # any ordinary exception is an acceptable answer
        return exc


@pytest.mark.parametrize("seed", range(3))
def test_garbage_counts_never_crash(qm, watchdog, seed):
    rng = np.random.default_rng(1400 + seed)
    strings = garbage_strings(rng)
    for i, s in enumerate(strings):
        other = strings[(i * 7 + 3) % len(strings)]
        for h, w in GARBAGE_SIZES + [(2**32 - 1, 2**32 - 1)]:
            g = {"size": [h, w], "counts": s}
            o = {"size": [h, w], "counts": other}
            full = {"size": [h, w], "counts": [0, (h * w) & 0xFFFFFFFF]}
            for rles in ([g, o], [o, g], [g, full], [full, g], [g, g, o]):
                for intersect in (0, 1):
                    r = survives(lambda: qm.merge(rles, intersect))
                    assert isinstance(r, Exception) or list(r) == ["size", "counts"]
            for dt, gt in (([g], [o]), ([g, o], [full, g]), ([full], [g])):
                r = survives(lambda: qm.iou(dt, gt, [1, 0]))
                assert isinstance(r, Exception) or r.shape == (len(dt), len(gt))
            if h * w <= 1000:
                survives(lambda: qm.decode([g, o, full]))
                band = survives(lambda: qm.toBoundary([g, o], 0.3))
                assert isinstance(band, Exception) or len(band) == 2


def test_garbage_boundary_follows_the_clipped_mask(qm, watchdog):
    rng = np.random.default_rng(1500)
    for s in garbage_strings(rng)[:80]:
        counts = ref.counts_from_string(s)
        for h, w in [(5, 7), (16, 3), (1, 1)]:
            dense = ref.dense_from_counts(counts, h, w)
            band = qm.toBoundary([{"size": [h, w], "counts": s}], 0.0)
            assert np.array_equal(qm.decode(band)[:, :, 0], ref.eroded_band(dense, 1))
