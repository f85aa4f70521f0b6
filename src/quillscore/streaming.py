"""Evaluation that grows batch by batch and merges across processes.

Matching is independent per image, and accumulation needs of each image
only its ranked detections' scores and outcomes and its count of ground
truths that count. A `StreamingEval` matches each batch as it is added
(natively, through the same engine as `COCOeval`) and keeps only that, so
that states built on different ranks or workers merge, travel as bytes and
give exactly the one-shot evaluation of all their images."""

from __future__ import annotations

import copy
import json
import operator
import struct

import numpy as np

from quillscore import _vireo
from quillscore import mask as mask_utils
from quillscore.coco import COCO, ResultsError, complete_results
from quillscore.cocoeval import (MASK_TYPES, COCOeval, check_ground_truth, check_results,
                                 evaluator_for)
from quillscore.params import Params

# The types a state can be built for: CrowdPose levels and LVIS need more
# of each image than the matching.
STREAMING_TYPES = ("bbox", "segm", "keypoints", "boundary")
BOX_FORMATS = ("xywh", "xyxy", "cxcywh")

_MAGIC = b"QSSTREAM"
_VERSION = 1
# The parameters a state's bytes carry beside the matching (which carries
# the numbers it was matched with and is checked against them).
_PARAM_FIELDS = ("iouThrs", "recThrs", "maxDets", "areaRng", "areaRngLbl", "useCats",
                 "kpt_oks_sigmas", "use_area", "boundary_dilation")
# Detections in a batch from which its matching is split over the pool's
# threads. A smaller batch is matched on one thread: the caller's thread,
# reading the next batch, is the parallelism, and waking the pool for a few
# milliseconds of work only takes CPU from it.
_PARALLEL_BATCH = 1 << 17


class StreamingEval:
    """An evaluation over images added batch by batch:

        s = StreamingEval("bbox", dataset["categories"])
        for images, gts, dts in batches:
            s.add(images, gts, dts)          # or s.add_image(...) per image
        E = s.compute()                     # a finished COCOeval
        E.stats, E.summary(), E.per_category()

    `categories` is a COCO categories list or their ids; `params` a
    `Params` to start from (default: COCOeval's for the IoU type; its
    catIds and imgIds are set here). States of the same settings over
    other images merge (`merge`), pickle, and travel as bytes (`to_bytes`,
    `StreamingEval.from_bytes`); `sync()` merges those of all
    torch.distributed ranks. A batch is matched in the background: add()
    returns once the batch is read and checked, and the next call waits
    for the matching. No geometry is kept: diagnostics that read
    only the matching (per_category, operating_points) work on the result
    of compute(); those that need the annotations (confusion matrix, error
    analysis, per-image records) do not."""

    def __init__(self, iou_type: str, categories, params: Params | None = None):
        if iou_type not in STREAMING_TYPES:
            raise ValueError(f"iou_type must be one of {', '.join(STREAMING_TYPES)}; got {iou_type!r}")
        p = copy.deepcopy(params) if params is not None else Params(iou_type)
        if p.iouType != iou_type:
            raise ValueError(f"params are for {p.iouType!r}, not {iou_type!r}")
        cats = [dict(c) if isinstance(c, dict) else {"id": _int_id(c)} for c in categories]
        for c in cats:
            if "id" not in c:
                raise ValueError("every category needs an 'id'")
            c["id"] = _int_id(c["id"])
        ids = [c["id"] for c in cats]
        if len(set(ids)) != len(ids):
            raise ValueError("a category id is listed twice")
        self._categories = sorted(cats, key=lambda c: c["id"])
        p.catIds = sorted(ids)
        p.imgIds = []
        p.maxDets = sorted(int(m) for m in p.maxDets)
        p.check()
        self.params = p
        self._matched = self._empty_state()
        self._pending = None  # the last batch added, while it is matched

    # -- adding -------------------------------------------------------------

    def add(self, images, gt_anns, dt_anns) -> None:
        """Add whole images: COCO image dicts (with "height" and "width"
        where masks need them), all their ground truths and all their
        detections, as COCO dicts (results as a results file holds them;
        they are completed on copies). ValueError, leaving the state as it
        was, for an image already added, results on images not in this
        batch, or annotations evaluation cannot read. The batch is matched
        in the background; an error doing so (running out of memory) is
        raised by the next call, and that batch is not held."""
        images = list(images)
        ids = [_int_id(im.get("id") if isinstance(im, dict) else None) for im in images]
        if len(set(ids)) != len(ids):
            raise ValueError("an image is listed twice in one batch")
        held = self._matched.first_held(ids)
        if held is None and self._pending is not None:
            held = next((i for i in ids if i in self._pending[1]), None)
        if held is not None:
            raise ValueError(f"image {held} was added before: a state holds each image once")
        if self.params.iouType in MASK_TYPES:
            for im in images:
                if "height" not in im or "width" not in im:
                    raise ValueError(f"image {im['id']} needs 'height' and 'width' for "
                                     f"{self.params.iouType} evaluation")
        gt_anns = gt_anns if isinstance(gt_anns, list) else list(gt_anns)
        dt_anns = dt_anns if isinstance(dt_anns, list) else list(dt_anns)
        p = copy.copy(self.params)
        p.imgIds = sorted(ids)
        check_ground_truth(gt_anns, p.iouType, use_area=p.use_area)
        # One native pass says whether the checks below have anything to find.
        unscored, unlisted, with_area = _vireo.scan_results(dt_anns, set(ids))
        if unscored:
            check_results(dt_anns)
        if unlisted:
            try:
                stray = set(map(operator.itemgetter("image_id"), dt_anns)).difference(ids)
            except (KeyError, TypeError):
                raise ResultsError("every result needs an 'image_id'") from None
            if stray:
                raise ResultsError(f"results name image id {min(stray, key=repr)!r}, which is not "
                                   "in this batch")
        # Box results go to the engine as they are: it reads a missing area
        # as w * h, as completing them would. Others are completed (area and
        # box from the mask or the keypoints) on copies, as loadRes does.
        if p.iouType != "bbox" or with_area:
            gt = COCO()
            gt.dataset = {"images": images, "categories": self._categories, "annotations": []}
            gt.createIndex()
            dt_anns = [dict(a) for a in dt_anns]
            complete_results(dt_anns, gt)
        sizes = ({im["id"]: (int(im["height"]), int(im["width"])) for im in images}
                 if p.iouType in MASK_TYPES else {})
        evaluator = evaluator_for(gt_anns, dt_anns, sizes, p)
        # Matching needs nothing of the interpreter: it runs while the
        # caller reads its next batch (or runs its model), and joins the
        # state when the next batch comes or the state is read.
        self._settle()
        self._pending = (evaluator.start_matches(parallel=len(dt_anns) > _PARALLEL_BATCH),
                         frozenset(ids))

    def add_matches(self, E: COCOeval) -> None:
        """Add the images a COCOeval evaluated (evaluate() done, with these
        settings), by their matching. ValueError, leaving the state as it
        was, where the settings differ or an image was added before."""
        self._state.merge(E._evaluated().matches())

    def add_image(self, image_id, *, gt_boxes, gt_labels, dt_boxes, dt_scores, dt_labels,
                  gt_iscrowd=None, gt_area=None, gt_masks=None, dt_masks=None,
                  gt_keypoints=None, dt_keypoints=None, box_format: str = "xywh",
                  height=None, width=None) -> None:
        """Add one image from arrays, as a training loop has them: anything
        with __array__ (NumPy arrays, CPU torch tensors). Boxes are (N, 4)
        in `box_format` ("xywh", "xyxy" or "cxcywh"); labels are category
        ids; masks are RLE dicts or boolean (N, H, W) arrays; keypoints
        (N, K, 3) or (N, 3K). height and width are needed for masks given as
        anything but RLE, and for segm polygons."""
        gt_b = _boxes(gt_boxes, box_format, "gt_boxes")
        dt_b = _boxes(dt_boxes, box_format, "dt_boxes")
        gt_l = _column(gt_labels, len(gt_b), "gt_labels", np.int64)
        dt_l = _column(dt_labels, len(dt_b), "dt_labels", np.int64)
        dt_s = _column(dt_scores, len(dt_b), "dt_scores", np.float64)
        crowd = (_column(gt_iscrowd, len(gt_b), "gt_iscrowd", np.int64)
                 if gt_iscrowd is not None else np.zeros(len(gt_b), np.int64))
        area = _column(gt_area, len(gt_b), "gt_area", np.float64) if gt_area is not None else None
        image = {"id": _int_id(image_id)}
        if height is not None and width is not None:
            image.update(height=int(height), width=int(width))
        iou_type = self.params.iouType
        gt_seg = _masks(gt_masks, len(gt_b), "gt_masks") if iou_type in MASK_TYPES else None
        dt_seg = _masks(dt_masks, len(dt_b), "dt_masks") if iou_type in MASK_TYPES else None
        if iou_type in MASK_TYPES and "height" not in image:
            sizes = {tuple(m["size"]) for m in (gt_seg or []) + (dt_seg or [])}
            if len(sizes) == 1:
                image["height"], image["width"] = (int(v) for v in sizes.pop())
        gt_kp = dt_kp = None
        if iou_type == "keypoints":
            gt_kp = _keypoints(gt_keypoints, len(gt_b), "gt_keypoints")
            dt_kp = _keypoints(dt_keypoints, len(dt_b), "dt_keypoints")
        gts = []
        for i, box in enumerate(gt_b):
            a = {"id": i + 1, "image_id": image["id"], "category_id": int(gt_l[i]), "bbox": box,
                 "iscrowd": int(crowd[i]),
                 "area": float(area[i]) if area is not None else box[2] * box[3]}
            if gt_seg is not None:
                a["segmentation"] = gt_seg[i]
                if area is None:
                    a["area"] = float(mask_utils.area(gt_seg[i]))
            if gt_kp is not None:
                a["keypoints"] = gt_kp[i]
                a["num_keypoints"] = int(sum(1 for v in gt_kp[i][2::3] if v > 0))
            gts.append(a)
        dts = []
        for i, box in enumerate(dt_b):
            a = {"image_id": image["id"], "category_id": int(dt_l[i]), "score": float(dt_s[i])}
            if dt_seg is not None:
                a["segmentation"] = dt_seg[i]
            elif dt_kp is not None:
                a["keypoints"] = dt_kp[i]
            else:
                a["bbox"] = box
            dts.append(a)
        self.add([image], gts, dts)

    # -- combining and storing ---------------------------------------------

    def merge(self, other: StreamingEval) -> None:
        """Add the images of `other`, a state of the same IoU type,
        categories and parameters over other images. ValueError, changing
        neither state, where they differ or share an image."""
        if not isinstance(other, StreamingEval):
            raise TypeError(f"can only merge a StreamingEval, not {type(other).__name__}")
        if other._header() != self._header():
            raise ValueError("cannot merge states of different IoU types, categories or parameters")
        self._state.merge(other._state)

    def to_bytes(self) -> bytes:
        """The state as bytes: versioned and checksummed."""
        header = json.dumps(self._header(), separators=(",", ":")).encode()
        return _MAGIC + struct.pack("<IQ", _VERSION, len(header)) + header + self._state.to_bytes()

    @classmethod
    def from_bytes(cls, data) -> StreamingEval:
        """The state of to_bytes(); ValueError for bytes that are not one."""
        data = bytes(data)
        fixed = len(_MAGIC) + struct.calcsize("<IQ")
        if len(data) < fixed or not data.startswith(_MAGIC):
            raise ValueError("not a StreamingEval state: the bytes do not start as one")
        version, size = struct.unpack_from("<IQ", data, len(_MAGIC))
        if version != _VERSION:
            raise ValueError(f"not a StreamingEval state of version {_VERSION}: version {version}")
        if size > len(data) - fixed:
            raise ValueError("not a StreamingEval state: truncated in its settings")
        try:
            header = json.loads(data[fixed:fixed + size])
            params = Params(header["iou_type"])
            for name in _PARAM_FIELDS:
                setattr(params, name, header["params"][name])
            s = cls(header["iou_type"], header["categories"], params)
        except (ValueError, KeyError, TypeError) as e:
            raise ValueError(f"not a StreamingEval state: its settings do not read ({e})") from None
        state = _vireo.MatchState.from_bytes(data[fixed + size:])
        try:
            s._state.merge(state)
        except ValueError as e:
            raise ValueError(f"not a StreamingEval state: its matching does not fit its settings ({e})") \
                from None
        return s

    def __reduce__(self):
        return (StreamingEval.from_bytes, (self.to_bytes(),))

    def sync(self, group=None) -> None:
        """Merge the states of all ranks of torch.distributed's process
        group `group` (default: the whole world) into each of them, by an
        all-gather of their bytes, so that compute() gives every rank the
        same result. Each rank must have added other images."""
        import torch.distributed as dist

        mine = self.to_bytes()
        gathered = [None] * dist.get_world_size(group)
        dist.all_gather_object(gathered, mine, group=group)
        merged = self._empty_copy()
        for data in gathered:
            merged.merge(StreamingEval.from_bytes(data))
        self._matched = merged._state

    # -- results ----------------------------------------------------------

    def compute(self) -> COCOeval:
        """A finished COCOeval over every image added: `eval`, `stats`
        (summary() computes them), per_category(), operating_points(),
        exactly as one COCOeval over all the images gives them."""
        p = copy.deepcopy(self.params)
        p.imgIds = sorted(int(i) for i in self._state.image_ids())
        return COCOeval.from_matches(self._state, p, self._categories)

    def reset(self) -> None:
        """Forget every image added."""
        if self._pending is not None:
            self._pending[0].wait()
        self._pending = None
        self._matched = self._empty_state()

    def __len__(self) -> int:
        return len(self._state)

    def nbytes(self) -> int:
        """Bytes the state's matching holds."""
        return self._state.nbytes()

    def __repr__(self) -> str:
        return (f"StreamingEval({self.params.iouType!r}, {len(self._categories)} categories, "
                f"{len(self)} images, {self._state.detections()} detections)")

    # -- internals --------------------------------------------------------

    def _header(self) -> dict:
        p = self.params
        return {"iou_type": p.iouType, "categories": self._categories,
                "params": {name: _plain(getattr(p, name)) for name in _PARAM_FIELDS}}

    def _empty_state(self):
        return evaluator_for([], [], {}, self.params).matches()

    def _empty_copy(self) -> StreamingEval:
        other = copy.copy(self)
        other._matched = self._empty_state()
        other._pending = None
        return other

    @property
    def _state(self):
        """The matching of every image added, the last batch included."""
        self._settle()
        return self._matched

    def _settle(self) -> None:
        if self._pending is None:
            return
        matching = self._pending[0]
        matching.wait()  # if interrupted, the batch stays pending
        self._pending = None
        try:
            matches = matching.result()
        except Exception as e:  # the batch is dropped; the state goes on without it
            e.add_note("raised while matching a batch added earlier, which the state does not hold")
            raise
        self._matched.merge(matches)


def _plain(value):
    """A parameter as JSON holds it exactly (floats round-trip by repr)."""
    if isinstance(value, np.ndarray):
        return value.tolist()
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    if isinstance(value, np.generic):
        return value.item()
    return value


def _int_id(value) -> int:
    if isinstance(value, (bool, float)) or value is None:
        raise ValueError(f"ids must be integers, got {value!r}")
    try:
        return int(value)
    except (TypeError, ValueError):
        raise ValueError(f"ids must be integers, got {value!r}") from None


def _array(value, name: str, dtype) -> np.ndarray:
    try:
        return np.asarray(value, dtype=dtype)
    except (TypeError, ValueError) as e:
        raise ValueError(f"{name} must be an array of numbers ({e})") from None


def _column(value, n: int, name: str, dtype) -> np.ndarray:
    a = _array(value, name, dtype).reshape(-1)
    if len(a) != n:
        raise ValueError(f"{name} has {len(a)} entries for {n} boxes")
    return a


def _boxes(value, box_format: str, name: str) -> list:
    if box_format not in BOX_FORMATS:
        raise ValueError(f"box_format must be one of {', '.join(BOX_FORMATS)}; got {box_format!r}")
    b = _array(value, name, np.float64)
    if b.size == 0:
        return []
    if b.ndim != 2 or b.shape[1] != 4:
        raise ValueError(f"{name} must have shape (N, 4), got {b.shape}")
    if box_format == "xyxy":
        b = np.stack([b[:, 0], b[:, 1], b[:, 2] - b[:, 0], b[:, 3] - b[:, 1]], axis=1)
    elif box_format == "cxcywh":
        b = np.stack([b[:, 0] - b[:, 2] / 2, b[:, 1] - b[:, 3] / 2, b[:, 2], b[:, 3]], axis=1)
    return b.tolist()


def _masks(value, n: int, name: str):
    """RLE dicts, one per box, from RLE dicts or a boolean (N, H, W) array."""
    if value is None:
        raise ValueError(f"{name} are needed for mask evaluation")
    if isinstance(value, (list, tuple)) and all(isinstance(m, dict) for m in value):
        masks = list(value)
    else:
        a = np.asarray(value)
        if a.size == 0 and n == 0:
            return []
        if a.ndim != 3:
            raise ValueError(f"{name} must be RLE dicts or an (N, H, W) array, got shape {a.shape}")
        masks = _vireo.encode(np.asfortranarray(a.transpose(1, 2, 0).astype(np.uint8)))
    if len(masks) != n:
        raise ValueError(f"{name} has {len(masks)} masks for {n} boxes")
    return masks


def _keypoints(value, n: int, name: str) -> list:
    if value is None:
        raise ValueError(f"{name} are needed for keypoint evaluation")
    k = _array(value, name, np.float64)
    if k.size == 0 and n == 0:
        return []
    k = k.reshape(len(k), -1) if k.ndim >= 2 else k.reshape(n, -1)
    if len(k) != n or k.shape[1] % 3:
        raise ValueError(f"{name} must hold (x, y, v) triples for each of the {n} boxes")
    return k.tolist()
