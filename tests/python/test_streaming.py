"""StreamingEval: states built batch by batch over any split of the images,
merged in any order (directly, through bytes, through pickle), give exactly
one COCOeval over all the images; bad input leaves every state as it was."""

from __future__ import annotations

import contextlib
import copy
import io
import pickle
import os
import random
import threading
import time
import warnings

import numpy as np
import pytest

import _eval_data as data
from quillscore import COCO, COCOeval, Params, StreamingEval


def _one_shot(dataset, results, iou_type, params=None):
    gt = COCO()
    gt.dataset = copy.deepcopy(dataset)
    gt.createIndex()
    E = COCOeval(gt, gt.loadRes(copy.deepcopy(results)), iou_type)
    if params is not None:
        params(E.params)
    E.evaluate()
    E.accumulate()
    with contextlib.redirect_stdout(io.StringIO()):
        E.summarize()
    return E


def _streamed(dataset, results, iou_type, seed, params=None):
    """States over a random split of the images, each fed in random batches,
    merged in a random order, some through bytes or pickle."""
    rng = random.Random(seed)
    images = list(dataset["images"])
    rng.shuffle(images)
    parts = rng.randint(1, 4)
    p = None
    if params is not None:
        p = Params(iou_type)
        params(p)
    states = []
    for k in range(parts):
        s = StreamingEval(iou_type, dataset["categories"], p)
        part = images[k::parts]
        at = 0
        while at < len(part):
            size = rng.randint(1, 9)
            batch = part[at:at + size]
            ids = {im["id"] for im in batch}
            s.add(batch, [a for a in dataset["annotations"] if a["image_id"] in ids],
                  [r for r in results if r["image_id"] in ids])
            at += size
        states.append(s)
    rng.shuffle(states)
    merged = states[0]
    for s in states[1:]:
        how = rng.randrange(3)
        if how == 1:
            s = StreamingEval.from_bytes(s.to_bytes())
        elif how == 2:
            s = pickle.loads(pickle.dumps(s))
        merged.merge(s)
    return merged


def _val2014(load_data, kind):
    dataset = load_data("coco_val2014_100/instances_val2014_100.json")
    return dataset, load_data(f"coco_val2014_100/fake_{kind}_results.json")


def _synthetic(kind):
    def make(load_data, seed):
        dataset, bbox, segm = data.synthetic_instances(seed)
        return dataset, bbox if kind == "bbox" else segm
    return make


def _keypoints_synthetic(load_data, seed):
    return data.synthetic_keypoints(seed)


def _masks_random(load_data, seed):
    dataset, results, _, _ = data.random_mask_dataset(seed)
    return dataset, results


CASES = [
    ("val2014 boxes", "bbox", lambda load, seed: _val2014(load, "bbox"), None),
    ("val2014 masks", "segm", lambda load, seed: _val2014(load, "segm"), None),
    ("synthetic boxes", "bbox", _synthetic("bbox"), None),
    ("synthetic masks", "segm", _synthetic("segm"), None),
    ("random masks, boundary", "boundary", _masks_random, None),
    ("synthetic keypoints", "keypoints", _keypoints_synthetic,
     lambda p: setattr(p, "kpt_oks_sigmas", np.full(5, 0.08))),
    ("boxes, pooled categories and odd settings", "bbox", _synthetic("bbox"),
     lambda p: (setattr(p, "useCats", 0), setattr(p, "maxDets", [3, 50]),
                setattr(p, "iouThrs", np.array([0.3, 0.75])))),
]


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("name, iou_type, make, params", CASES, ids=[c[0] for c in CASES])
def test_any_split_and_order_gives_the_one_shot_evaluation(load_data, name, iou_type, make, params,
                                                           seed):
    dataset, results = make(load_data, seed)
    E = _one_shot(dataset, results, iou_type, params)
    s = _streamed(dataset, results, iou_type, seed, params)
    assert len(s) == len(dataset["images"])
    C = s.compute()
    with contextlib.redirect_stdout(io.StringIO()):
        C.summarize()
    for key in ("precision", "recall", "scores"):
        assert np.array_equal(C.eval[key], E.eval[key]), key
    assert list(C.stats) == list(E.stats)
    assert C.per_category() == E.per_category()
    thr = C.axes.iou_thrs[-1]
    got, want = C.operating_points(iou_thr=thr), E.operating_points(iou_thr=thr)
    assert all(np.array_equal(got[k], want[k]) for k in got if k != "best_f1")
    # A batch's matching is laid out for the state as it is made; an
    # evaluation's, taken whole, is converted: the two states are the same.
    whole, taken = (StreamingEval(iou_type, dataset["categories"], s.params) for _ in range(2))
    whole.add(dataset["images"], dataset["annotations"], results)
    taken.add_matches(E)
    assert whole.to_bytes() == taken.to_bytes()


def test_add_image_from_arrays_equals_add(load_data):
    dataset, results = _val2014(load_data, "bbox")
    by_dicts = StreamingEval("bbox", dataset["categories"])
    by_arrays = {fmt: StreamingEval("bbox", dataset["categories"]) for fmt in ("xywh", "xyxy", "cxcywh")}
    for im in dataset["images"]:
        gts = [a for a in dataset["annotations"] if a["image_id"] == im["id"]]
        dts = [r for r in results if r["image_id"] == im["id"]]
        by_dicts.add([im], gts, dts)
        g = np.array([a["bbox"] for a in gts], dtype=np.float64).reshape(-1, 4)
        d = np.array([r["bbox"] for r in dts], dtype=np.float64).reshape(-1, 4)
        as_format = {"xywh": lambda b: b,
                     "xyxy": lambda b: np.c_[b[:, :2], b[:, :2] + b[:, 2:]],
                     "cxcywh": lambda b: np.c_[b[:, :2] + b[:, 2:] / 2, b[:, 2:]]}
        for fmt, s in by_arrays.items():
            s.add_image(im["id"], box_format=fmt, gt_boxes=as_format[fmt](g),
                        gt_labels=[a["category_id"] for a in gts],
                        gt_iscrowd=np.array([a["iscrowd"] for a in gts]),
                        gt_area=np.array([a["area"] for a in gts]),
                        dt_boxes=as_format[fmt](d), dt_scores=np.array([r["score"] for r in dts]),
                        dt_labels=np.array([r["category_id"] for r in dts]))
    want = by_dicts.compute().eval
    for fmt, s in by_arrays.items():
        got = s.compute().eval
        # cxcywh and xyxy round-trip through floating point: equal to the last bit is not
        # promised there, only for the plain form
        same = np.array_equal if fmt == "xywh" else (lambda a, b: np.allclose(a, b, atol=1e-12))
        assert all(same(got[k], want[k]) for k in ("precision", "recall", "scores")), fmt


def test_add_image_masks_as_arrays_or_rle():
    dataset, results, gt_masks, dt_masks = data.random_mask_dataset(3)
    rle = StreamingEval("segm", dataset["categories"])
    dense = StreamingEval("segm", dataset["categories"])
    for im in dataset["images"]:
        gts = [a for a in dataset["annotations"] if a["image_id"] == im["id"]]
        pos = [i for i, r in enumerate(results) if r["image_id"] == im["id"]]
        rle.add([im], gts, [results[i] for i in pos])
        shape = (0, im["height"], im["width"])
        dense.add_image(
            im["id"], gt_boxes=[a["bbox"] for a in gts], gt_labels=[a["category_id"] for a in gts],
            gt_iscrowd=[a["iscrowd"] for a in gts], gt_area=[a["area"] for a in gts],
            gt_masks=np.array([gt_masks[a["id"]] for a in gts], dtype=bool).reshape(-1, *shape[1:]),
            dt_boxes=[results[i]["bbox"] if "bbox" in results[i] else [0, 0, 1, 1] for i in pos],
            dt_scores=[results[i]["score"] for i in pos], dt_labels=[results[i]["category_id"] for i in pos],
            dt_masks=np.array([dt_masks[i] for i in pos], dtype=bool).reshape(-1, *shape[1:]),
            height=im["height"], width=im["width"])
    want, got = rle.compute().eval, dense.compute().eval
    assert all(np.array_equal(got[k], want[k]) for k in ("precision", "recall", "scores"))


def _fed(iou_type="bbox", categories=({"id": 1}, {"id": 2}), params=None, images=(1, 2)):
    s = StreamingEval(iou_type, list(categories), params)
    imgs = [{"id": i, "height": 50, "width": 50} for i in images]
    gts = [data.box_ann(i, 1, [0, 0, 10, 10], id=n + 1, area=100, iscrowd=0) for n, i in enumerate(images)]
    dts = [dict(data.box_ann(i, 1, [1, 0, 10, 10], score=0.5), segmentation=data.rle_of_polygons(
        [data.box_polygon(1, 0, 10, 10)], 50, 50)) for i in images]
    for g in gts:
        g["segmentation"] = [data.box_polygon(*g["bbox"])]
    if iou_type == "bbox":
        for d in dts:
            del d["segmentation"]
    else:
        for d in dts:
            del d["bbox"]
    s.add(imgs, gts, dts)
    return s


def _other_params():
    p = Params("bbox")
    p.maxDets = [1, 10, 50]
    return p


def _flipped(data_bytes, at):
    b = bytearray(data_bytes)
    b[at] ^= 0x40
    return bytes(b)


@pytest.mark.parametrize("case, action, message", [
    ("another IoU type", lambda a: a.merge(_fed("segm", images=(7,))), "different IoU types"),
    ("other categories", lambda a: a.merge(_fed(categories=({"id": 1},), images=(7,))),
     "different IoU types, categories or parameters"),
    ("other parameters", lambda a: a.merge(_fed(params=_other_params(), images=(7,))),
     "different IoU types, categories or parameters"),
    ("an image in both", lambda a: a.merge(_fed(images=(2, 3))), "both hold image 2"),
    ("an image added again", lambda a: a.add([{"id": 1}], [], []), "image 1 was added before"),
    ("an image twice in one batch", lambda a: a.add([{"id": 5}, {"id": 5}], [], []), "listed twice"),
    ("results on an image not in the batch",
     lambda a: a.add([{"id": 5}], [], [data.box_ann(6, 1, [0, 0, 1, 1], score=0.1)]), "image id"),
    ("a result without a score",
     lambda a: a.add([{"id": 5}], [], [data.box_ann(5, 1, [0, 0, 1, 1])]), "result 0 has no 'score'"),
    ("a result that is not a dict", lambda a: a.add([{"id": 5}], [], [[5, 1]]), "needs an 'image_id'"),
    ("an image id that cannot be looked up",
     lambda a: a.add([{"id": 5}], [], [data.box_ann([5], 1, [0, 0, 1, 1], score=0.1)]),
     "needs an 'image_id'"),
    ("masks without the image size", lambda a: _fed("segm").add([{"id": 9}], [], []),
     "needs 'height' and 'width'"),
    ("truncated bytes", lambda a: StreamingEval.from_bytes(a.to_bytes()[:-5]), "checksum"),
    ("a damaged byte", lambda a: StreamingEval.from_bytes(_flipped(a.to_bytes(), -20)), "checksum"),
    ("damaged settings", lambda a: StreamingEval.from_bytes(_flipped(a.to_bytes(), 30)), "settings"),
    ("not a state at all", lambda a: StreamingEval.from_bytes(b"{}"), "do not start as one"),
    ("another version", lambda a: StreamingEval.from_bytes(b"QSSTREAM\x02" + a.to_bytes()[9:]), "version"),
])
def test_bad_input_is_refused_and_changes_nothing(case, action, message):
    a = _fed()
    before = a.to_bytes()
    with pytest.raises(ValueError, match=message):
        action(a)
    assert a.to_bytes() == before, case
    assert len(a) == 2


def test_what_needs_the_annotations_says_so():
    C = _fed().compute()
    for call in (C.confusion_matrix, C.error_analysis, C.per_instance, lambda: C.evalImgs):
        with pytest.raises(ValueError, match="needs the annotations"):
            call()


def test_reset_and_empty_states():
    s = _fed()
    assert len(s) == 2 and "2 images" in repr(s)
    s.reset()
    assert len(s) == 0
    E = s.compute()
    assert np.all(E.eval["precision"] == -1)
    s.merge(_fed(images=(4,)))
    assert len(s) == 1


class _Failing:
    """An evaluator whose matching, made in the background, fails."""

    def __init__(self, evaluator):
        self._evaluator = evaluator
        self.matches = evaluator.matches

    def start_matches(self, parallel=True):
        pending = self._evaluator.start_matches(parallel=parallel)

        class Failed:
            wait = pending.wait

            def result(self):
                raise MemoryError("no room to match")
        return Failed()


def _more_images(s, images=1):
    """Images 3, 4, ... with a ground truth and 50 detections each."""
    rng = np.random.default_rng(images)
    ids = range(3, 3 + images)
    gts = [data.box_ann(i, 2, [5, 5, 10, 10], id=i, area=100, iscrowd=0) for i in ids]
    dts = [data.box_ann(i, 2, [float(x), float(y), 10, 11], score=float(c))
           for i in ids for x, y, c in rng.random((50, 3)) * [20, 20, 1]]
    s.add([{"id": i} for i in ids], gts, dts)
    return s


@pytest.mark.parametrize("case", ["same image again", "matching fails", "forked meanwhile",
                                  "dropped uncollected"])
def test_a_batch_in_the_background(monkeypatch, case):
    """The last batch is matched while the caller goes on: what the state
    then says is what it says once the batch has joined."""
    import quillscore.streaming as streaming

    images = 4000 if case == "forked meanwhile" else 1  # still being matched at the fork
    want = _more_images(_fed(), images).to_bytes()
    s = _fed()
    if case == "matching fails":
        len(s)
        real = streaming.evaluator_for
        monkeypatch.setattr(streaming, "evaluator_for", lambda *a: _Failing(real(*a)))
    _more_images(s, images)
    if case == "same image again":
        with pytest.raises(ValueError, match="image 3 was added before"):
            s.add([{"id": 4}, {"id": 3}], [], [])
    elif case == "matching fails":
        with pytest.raises(MemoryError, match="no room") as raised:
            len(s)
        assert "a batch added earlier" in raised.value.__notes__[0]
        assert len(s) == 2  # the batch is dropped; the state goes on
        return
    elif case == "forked meanwhile":
        read, write = os.pipe()
        with warnings.catch_warnings():
            # Forking while a thread works is the case under test.
            warnings.simplefilter("ignore", DeprecationWarning)
            pid = os.fork()
        if pid == 0:  # the child has no runner: it matches the batch itself
            os.write(write, b"1" if s.to_bytes() == want else b"0")
            os._exit(0)
        os.close(write)
        deadline = time.monotonic() + 120
        while os.waitpid(pid, os.WNOHANG) == (0, 0):
            if time.monotonic() > deadline:
                os.kill(pid, 9)
                pytest.fail("the forked process did not finish the batch")
            time.sleep(0.05)
        assert os.read(read, 1) == b"1"
    else:
        del s
        s = _more_images(_fed(), images)
    assert s.to_bytes() == want


def test_start_matches_gives_matches(load_data):
    """The background form of an evaluator's matching: the same state, the
    evaluator kept until it is collected and not to be changed meanwhile."""
    from quillscore.cocoeval import evaluator_for

    dataset, results = _val2014(load_data, "bbox")
    p = Params("bbox")
    p.imgIds = sorted(im["id"] for im in dataset["images"])
    p.catIds = sorted(c["id"] for c in dataset["categories"])
    pending = evaluator_for(dataset["annotations"], results, {}, p).start_matches(parallel=False)
    E = evaluator_for(dataset["annotations"], results, {}, p)
    other = E.start_matches()
    with pytest.raises(RuntimeError, match="borrowed"):
        E.configure_lvis([False] * len(dataset["annotations"]), [])
    # Waited on and collected from several threads at once.
    got = []
    threads = [threading.Thread(target=lambda: got.append(other.result())) for _ in range(3)]
    threads.append(threading.Thread(target=other.wait))
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert len(got) == 3 and got[0] is got[1] is got[2]
    assert pending.result() is pending.result()
    assert pending.result().to_bytes() == other.result().to_bytes() == E.matches().to_bytes()


def test_box_results_are_read_with_the_area_of_their_box():
    """As loadRes does: a box result's own "area" gives way to its box's."""
    plain, given = _fed(), _fed()
    dts = [data.box_ann(3, 1, [0, 0, 10, 10], score=0.5), data.box_ann(3, 1, [50, 50, 2, 2], score=0.4)]
    plain.add([{"id": 3}], [data.box_ann(3, 1, [0, 0, 10, 10], id=9, area=100, iscrowd=0)], dts)
    given.add([{"id": 3}], [data.box_ann(3, 1, [0, 0, 10, 10], id=9, area=100, iscrowd=0)],
              [dict(d, area=1e10) for d in dts])
    assert given.to_bytes() == plain.to_bytes()
