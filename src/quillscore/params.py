"""Evaluation parameters, named and defaulted as COCO evaluation code
expects them."""

from __future__ import annotations

import copy
import dataclasses
import inspect
import numbers

import numpy as np

from quillscore import _vireo

IOU_TYPES = ("segm", "bbox", "keypoints", "boundary", "keypoints_crowd")
# The types that compare keypoints by object keypoint similarity.
KEYPOINT_TYPES = ("keypoints", "keypoints_crowd")

# The engine's default band width of Boundary IoU (a share of the image
# diagonal), read from its signature so that the number has one home.
BOUNDARY_DILATION = inspect.signature(_vireo.toBoundary).parameters["dilation_ratio"].default

# Area ranges of box and mask evaluation, by name; keypoint evaluation has no
# 'small' (keypoints are not annotated on small people).
AREA_RANGES = {"all": [0 ** 2, 1e5 ** 2], "small": [0 ** 2, 32 ** 2],
               "medium": [32 ** 2, 96 ** 2], "large": [96 ** 2, 1e5 ** 2]}
DETECTION_AREAS = ("all", "small", "medium", "large")
KEYPOINT_AREAS = ("all", "medium", "large")

# Per-keypoint OKS constants of the 17 COCO person keypoints.
COCO_KPT_SIGMAS = np.array([.26, .25, .25, .35, .35, .79, .79, .72, .72, .62, .62,
                            1.07, 1.07, .87, .87, .89, .89]) / 10.0
# ... and of the 14 CrowdPose keypoints (shoulders, elbows, wrists, hips,
# knees and ankles, left then right, then head and neck).
CROWDPOSE_KPT_SIGMAS = np.array([.79, .79, .72, .72, .62, .62, 1.07, 1.07,
                                 .87, .87, .89, .89, .79, .79]) / 10.0


class Params:
    """COCO evaluation parameters. Change the fields between constructing a
    COCOeval and calling evaluate():

    - imgIds, catIds: the evaluated images and categories (default: all);
    - iouThrs: IoU thresholds (0.50:0.05:0.95); recThrs: recall points
      (0:0.01:1);
    - maxDets: detections kept per image, ascending ([1, 10, 100]; [20] for
      keypoints);
    - areaRng, areaRngLbl: area ranges and their names; the summary looks
      ranges up by the names 'all', 'small', 'medium' and 'large';
    - useCats: 1 to evaluate per category, 0 to pool all categories;
    - kpt_oks_sigmas: per-keypoint constants (keypoints only; CrowdPose's
      14 for "keypoints_crowd");
    - use_area: whether a keypoint ground truth's "area" scales its
      similarity and decides its area range; without it the scale is
      w * h * 0.53 of its box (default True, False for "keypoints_crowd",
      whose data carry no area);
    - boundary_dilation: band width of Boundary IoU, as a share of the image
      diagonal (boundary only).
    """

    def __init__(self, iouType: str = "segm"):
        if iouType not in IOU_TYPES:
            raise ValueError(f"iouType must be one of {', '.join(IOU_TYPES)}; got {iouType!r}")
        if iouType == "keypoints":
            self.setKpParams()
        elif iouType == "keypoints_crowd":
            self.setKpParams()
            self.kpt_oks_sigmas = CROWDPOSE_KPT_SIGMAS.copy()
            self.use_area = False
        else:
            self.setDetParams()
            self.kpt_oks_sigmas = COCO_KPT_SIGMAS.copy()
        self.iouType = iouType
        self.useSegm = None  # kept for old callers; iouType decides
        self.boundary_dilation = BOUNDARY_DILATION

    def setDetParams(self) -> None:
        """Reset the fields to the defaults of box and mask evaluation."""
        self._set_common()
        self.maxDets = [1, 10, 100]
        self.areaRng, self.areaRngLbl = area_ranges(DETECTION_AREAS)

    def setKpParams(self) -> None:
        """Reset the fields to the defaults of keypoint evaluation."""
        self._set_common()
        self.maxDets = [20]
        self.areaRng, self.areaRngLbl = area_ranges(KEYPOINT_AREAS)
        self.kpt_oks_sigmas = COCO_KPT_SIGMAS.copy()

    def _set_common(self) -> None:
        self.imgIds: list = []
        self.catIds: list = []
        self.iouThrs = iou_thresholds()
        self.recThrs = recall_points()
        self.useCats = 1
        self.use_area = True

    def check(self) -> None:
        """Raise ValueError for settings that cannot be evaluated."""
        check_settings(self, "iouThrs", "recThrs", "maxDets", "areaRng")

    def axes(self) -> Axes:
        """What arrays evaluated with these parameters are laid out by."""
        return Axes(self.iouType, self.imgIds, self.catIds, bool(self.useCats), self.iouThrs,
                    self.recThrs, self.areaRng, self.areaRngLbl, self.maxDets)

    def __deepcopy__(self, memo: dict) -> Params:
        # Image id lists run to a hundred thousand plain numbers, which
        # deepcopy would visit one at a time; a list holding nothing but
        # numbers and strings is copied whole.
        new = self.__class__.__new__(self.__class__)
        memo[id(self)] = new
        for name, value in self.__dict__.items():
            if type(value) is list and id(value) not in memo and set(map(type, value)) <= _PLAIN:
                memo[id(value)] = list(value)
                memo.setdefault(id(memo), []).append(value)  # as deepcopy keeps what it copied
            new.__dict__[name] = copy.deepcopy(value, memo)
        return new

    def __repr__(self) -> str:
        return (f"Params(iouType={self.iouType!r}, {len(self.imgIds)} images, "
                f"{len(self.catIds)} categories, maxDets={list(self.maxDets)}, "
                f"useCats={self.useCats})")


_PLAIN = {int, float, str}


def iou_thresholds() -> np.ndarray:
    """The ten IoU thresholds 0.50:0.05:0.95."""
    # linspace rather than arange, whose points drift off the round values
    return np.linspace(.5, 0.95, int(np.round((0.95 - .5) / .05)) + 1, endpoint=True)


def recall_points() -> np.ndarray:
    """The 101 recall points 0:0.01:1."""
    return np.linspace(.0, 1.00, int(np.round((1.00 - .0) / .01)) + 1, endpoint=True)


def area_ranges(labels) -> tuple[list, list]:
    """The area ranges of these names, and the names, as new lists."""
    return [list(AREA_RANGES[lbl]) for lbl in labels], list(labels)


@dataclasses.dataclass(frozen=True)
class Axes:
    """The settings an evaluation's arrays were computed with, by axis: a
    frozen copy taken when evaluate() ran, so that every number is read and
    labelled by the thresholds, areas and limits that produced it, whatever
    the parameter object holds later (and the image ids, the axis of the
    per-image records)."""

    iou_type: str
    img_ids: tuple
    cat_ids: tuple
    use_cats: bool
    iou_thrs: tuple
    rec_thrs: tuple
    area_rng: tuple
    area_labels: tuple
    max_dets: tuple

    def __post_init__(self):
        def freeze(name, convert):
            object.__setattr__(self, name, tuple(map(convert, getattr(self, name))))
        freeze("img_ids", int)
        freeze("cat_ids", int)
        freeze("iou_thrs", float)
        freeze("rec_thrs", float)
        freeze("area_rng", lambda r: (float(r[0]), float(r[1])))
        freeze("area_labels", str)
        freeze("max_dets", int)

    @property
    def slots(self) -> tuple:
        """The category id of each place on the category axis; (-1,) when
        categories are pooled."""
        return self.cat_ids if self.use_cats else (-1,)

    @property
    def area_all(self) -> int:
        """The index of the area range labelled 'all', where whole-set
        figures (per-category counts and tables) are read; the first range
        when none is labelled so."""
        return self.area_labels.index("all") if "all" in self.area_labels else 0

    def check_shapes(self, precision, recall) -> None:
        """ValueError when the arrays are not laid out by these axes (arrays
        from another evaluation, say): labels would then be wrong."""
        t, r, k, a, m = (len(self.iou_thrs), len(self.rec_thrs), len(self.slots),
                         len(self.area_rng), len(self.max_dets))
        for name, array, shape in (("precision", precision, (t, r, k, a, m)),
                                   ("recall", recall, (t, k, a, m))):
            if np.shape(array) != shape:
                raise ValueError(f"{name} has shape {np.shape(array)}, but the evaluation's "
                                 f"settings lay it out as {shape}")

    def to_json(self) -> dict:
        """The settings as the command line's JSON output reports them."""
        return {"imgIds": len(self.img_ids), "catIds": len(self.cat_ids),
                "iouThrs": list(self.iou_thrs), "recThrs": len(self.rec_thrs),
                "maxDets": list(self.max_dets), "areaRng": [list(r) for r in self.area_rng],
                "areaRngLbl": list(self.area_labels), "useCats": int(self.use_cats)}


# The checks below refuse settings that would otherwise be evaluated into
# numbers that mean nothing: a NaN threshold matches nothing, recall points
# out of order are read off the curve out of order, a fractional detection
# limit would be truncated.

def check_settings(params, iou_thrs: str, rec_thrs: str, max_dets: str, area_rng: str) -> None:
    """The checks below on a parameter object, its fields named as it names
    them (the COCO and LVIS parameter classes differ)."""
    check_thresholds(iou_thrs, getattr(params, iou_thrs))
    check_thresholds(rec_thrs, getattr(params, rec_thrs), ascending=True, allow_empty=True)
    check_max_dets(max_dets, getattr(params, max_dets))
    check_area_ranges(area_rng, getattr(params, area_rng))


def check_thresholds(name: str, values, *, ascending: bool = False, allow_empty: bool = False) -> None:
    """IoU thresholds or recall points: numbers in [0, 1], in ascending
    order where `ascending` (repeats are fine)."""
    a = _floats(name, values, "a flat list of numbers")
    if a.ndim != 1:
        raise ValueError(f"{name} must be a flat list of numbers; got shape {a.shape}")
    if a.size == 0 and not allow_empty:
        raise ValueError(f"{name} must not be empty")
    outside = ~((a >= 0) & (a <= 1))  # NaN is outside too
    if outside.any():
        raise ValueError(f"{name} must lie in [0, 1]; got {float(a[outside][0])!r}")
    if ascending and (np.diff(a) < 0).any():
        raise ValueError(f"{name} must be in ascending order")


def check_max_dets(name: str, values) -> None:
    """Detection limits: whole numbers >= 0."""
    for m in np.atleast_1d(np.asarray(values, dtype=object)):
        if not isinstance(m, numbers.Real) or not (m >= 0 and float(m).is_integer()):
            raise ValueError(f"{name} must be whole numbers >= 0; got {m!r}")


def check_area_ranges(name: str, ranges) -> None:
    """Area ranges: [low, high] pairs of numbers, none NaN."""
    a = _floats(name, ranges, "a list of [low, high] pairs of numbers")
    if a.size and (a.ndim != 2 or a.shape[1] != 2):
        raise ValueError(f"{name} must be a list of [low, high] pairs of numbers; got shape {a.shape}")
    if np.isnan(a).any():
        raise ValueError(f"{name} bounds must be numbers, not NaN")


def _floats(name: str, values, expected: str) -> np.ndarray:
    try:
        return np.asarray(values, dtype=np.float64)
    except (TypeError, ValueError) as e:
        raise ValueError(f"{name} must be {expected} ({e})") from None
