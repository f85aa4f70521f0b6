"""COCO evaluation with the familiar interface (`COCOeval`), run by the
native engine."""

from __future__ import annotations

import copy
import datetime
import math
import numbers
import operator
import time

import numpy as np

from quillscore import _vireo
from quillscore import summary as summary_mod
from quillscore.coco import ResultsError, missing_member, reject_missing
from quillscore.params import BOUNDARY_DILATION, KEYPOINT_TYPES, Axes, Params


class COCOeval:
    """Evaluates a result set against a dataset, both `COCO` objects:

        E = COCOeval(cocoGt, cocoDt, "bbox")   # or "segm", "keypoints", "boundary",
                                               # "keypoints_crowd" (CrowdPose)
        E.params.catIds = [1]                  # optional: change parameters
        E.evaluate(); E.accumulate(); E.summarize()
        E.stats                                # the summary numbers

    `eval` holds the accumulated arrays: "precision" (T, R, K, A, M),
    "recall" (T, K, A, M) and "scores", -1 where a setting has no ground
    truth. `evalImgs` (per-image records) and `ious` (similarity
    matrices) are computed when first read.
    Beyond the familiar interface: `per_category()`, `per_instance()`,
    `operating_points()`, `confusion_matrix()`, `timings` and
    `summary()`.

    "keypoints_crowd" scores keypoints as the CrowdPose benchmark does:
    CrowdPose's 14 sigmas, maxDets [20], ground-truth scale w * h * 0.53
    of the box (params.use_area False; True reads "area"), results without
    a keypoint confidence above 0 left out, and a summary of AP, AP50,
    AP75, AR, AR50, AR75 and the AP of the easy, medium and hard images by
    each image's "crowdIndex" (below 0.2, below 0.8, the rest; see
    summary.crowd_level_ap for how these three are averaged). Unlike the
    benchmark's own tool, the levels split the evaluated images
    (params.imgIds) only, and summarizing twice gives the same numbers."""

    def __init__(self, cocoGt=None, cocoDt=None, iouType: str = "segm"):
        self.cocoGt = cocoGt
        self.cocoDt = cocoDt
        self.params = Params(iouType)
        self.eval: dict = {}
        self.stats = np.zeros(0)
        self.lines: list[str] = []
        self._evaluator = None
        self._used = None  # a copy of the parameters the engine was built with
        self._axes = None  # and the settings its arrays are laid out by
        self._result = None  # the engine's last run result
        self._eval_imgs = None
        self._ious = None
        self._image_order = None  # image ids in dataset order, where there is no cocoGt
        self._wall: dict = {}
        self._cats = None  # category entries, where there is no cocoGt to ask
        self._levels = None  # CrowdPose: each evaluated image's crowd level
        self._images = None  # image entries by id, where there is no cocoGt
        self._sources = None  # the two files, where known
        if cocoGt is not None:
            self.params.imgIds = sorted(cocoGt.getImgIds())
            self.params.catIds = sorted(cocoGt.getCatIds())

    # -- the three steps ----------------------------------------------------

    def evaluate(self) -> None:
        """Read both sides into the engine (rasterising masks where the IoU
        type needs them). Parameters are checked (ValueError for settings
        that cannot be evaluated) and normalised as COCO evaluation does:
        unique sorted image and category ids, ascending maxDets. A copy of
        them is kept: accumulate() and summarize() use the parameters this
        call evaluated with, whatever `params` holds by then. Annotations
        that lack what evaluation reads (a result's "score", a ground
        truth's "bbox" where it is used, "num_keypoints" for keypoints)
        raise ValueError (ResultsError for results) naming the first."""
        if self.cocoGt is None or self.cocoDt is None:
            raise RuntimeError("COCOeval needs a ground-truth and a result set to evaluate")
        start = time.perf_counter()
        # An evaluate() that fails or is interrupted leaves no evaluation
        # behind, rather than the previous one under the new parameters.
        self._set_evaluator(None)
        p = self._normalise_params()
        # Annotations still in column storage are read from there (the
        # readers took only records with what evaluation needs): the engine
        # leaves out those of other images and categories as _selected does.
        gt_anns = _columns_for(self.cocoGt, p.iouType)
        if gt_anns is None:
            gt_anns = _selected(self.cocoGt, p)
            check_ground_truth(gt_anns, p.iouType, self.cocoGt.dataset.get("annotations"),
                               use_area=p.use_area)
        dt_anns = _columns_for(self.cocoDt, p.iouType)
        if dt_anns is None:
            dt_anns = _selected(self.cocoDt, p)
            check_results(dt_anns, self.cocoDt.dataset.get("annotations"))
        sizes = _image_sizes(self.cocoGt.imgs.values()) if p.iouType in MASK_TYPES else {}
        levels = crowd_levels(self.cocoGt, p.imgIds) if p.iouType == "keypoints_crowd" else None
        self._build(gt_anns, dt_anns, sizes, p, start)
        self._levels = levels

    @classmethod
    def from_columns(cls, dataset: dict, gt, dt, params=None, iou_type: str = "bbox") -> COCOeval:
        """An evaluation of column-stored annotations (the `CompactBbox`
        objects of `_vireo.load_compact_bbox` for boxes, the `CompactMasks`
        of `_vireo.load_compact_masks` for segm and boundary, the
        `CompactKeypoints` of `_vireo.load_compact_keypoints` for keypoints) of the dataset
        `dataset` (whose "images" and "categories" are read), with
        evaluate() done. `params`, if given, is called with the `Params`
        first to change them. ResultsError when the results name an image
        the dataset lacks."""
        E = cls(None, None, iou_type)
        p = E.params
        images = [img["id"] for img in dataset.get("images") or []]
        categories = dataset.get("categories") or []
        p.imgIds = sorted(images)
        p.catIds = sorted(cat["id"] for cat in categories)
        if params is not None:
            params(p)
        if not dt.valid_images(images):
            raise ResultsError("results name image ids that are not in the dataset")
        E._normalise_params()
        E._cats = {c["id"]: c for c in categories}
        E._image_order = images
        E._images = {img["id"]: img for img in dataset.get("images") or []}
        sizes = _image_sizes(dataset.get("images") or []) if iou_type in MASK_TYPES else {}
        E._build(gt, dt, sizes, p, time.perf_counter())
        return E

    @classmethod
    def from_matches(cls, matches, params: Params, categories: list) -> COCOeval:
        """An accumulated evaluation from the matching alone: `matches` a
        `_vireo.MatchState` over the images params.imgIds, matched with
        `params`; `categories` the COCO category dicts. What needs the
        annotations (evalImgs, ious, confusion_matrix, error_analysis,
        per_instance) raises ValueError."""
        E = cls(None, None, params.iouType)
        E.params = copy.deepcopy(params)
        p = E._normalise_params()
        E._cats = {c["id"]: c for c in categories}
        E._set_evaluator(_MatchingOnly(matches), p)
        E._axes = p.axes()
        E.accumulate()
        return E

    def add_wall_time(self, phase: str, seconds: float) -> None:
        """Report `seconds` of the caller's (reading the files, say) under
        `phase` in `timings`."""
        self._wall[phase] = seconds

    def accumulate(self, p: Params | None = None) -> None:
        """Run the engine: precision, recall and scores into `eval`, with
        the parameters evaluate() used (`eval["params"]`); given `p`,
        evaluate with it first."""
        if p is not None and p is not self.params:
            self.params = p
            self.evaluate()
        self._evaluated()
        start = time.perf_counter()
        if self._result is None:
            self._result = self._evaluator.run()
        r = self._result
        levels = {}
        if self._levels is not None:
            # Matching an image does not depend on which other images are
            # evaluated, so the engine's one matching pass gives each level
            # the precision of an evaluation of its images alone.
            per_level = self._evaluator.group_precision(self._levels, len(summary_mod.CROWD_LEVELS))
            levels = {"levels": dict(zip(summary_mod.CROWD_LEVELS, per_level))}
        self.eval = {
            # A copy of its own: changing it cannot relabel the arrays.
            "params": copy.deepcopy(self._used),
            "counts": r["counts"],
            "date": datetime.datetime.now().strftime("%Y-%m-%d %H:%M:%S"),
            "precision": r["precision"],
            "recall": r["recall"],
            "scores": r["scores"],
            **levels,
        }
        self._wall["accumulate"] = time.perf_counter() - start

    def summarize(self) -> None:
        """Compute `stats` and print the summary lines (of the parameters
        evaluate() used)."""
        print(self.summary())

    def summary(self) -> str:
        """Compute `stats` and return the summary lines as text, read with
        the parameters evaluate() used, so that every number sits under
        the thresholds, areas and limits it was computed at."""
        axes = self.axes
        self.stats, self.lines = summary_mod.compute_stats(
            self.eval["precision"], self.eval["recall"], axes, self._level_arrays())
        return "\n".join(self.lines)

    def __str__(self) -> str:
        return self.summary() if self.eval else repr(self)

    # -- extras ---------------------------------------------------------------

    @property
    def evalImgs(self) -> list:
        """Per-image records, one per (category, area range, image), None
        where an image has nothing of that category; "aRng" is the area
        range itself."""
        if self._eval_imgs is None and self._evaluator is not None:
            result = self._evaluator.run(collect_eval_imgs=True)
            ranges = [list(r) for r in self._axes.area_rng]
            records = result.pop("evalImgs")
            for rec in records:
                if rec is not None:
                    rec["aRng"] = ranges[rec["aRng"]]
            self._result = self._result or result
            self._eval_imgs = records
        return self._eval_imgs if self._eval_imgs is not None else []

    @evalImgs.setter
    def evalImgs(self, value) -> None:
        self._eval_imgs = value

    @property
    def ious(self) -> dict:
        """The similarity matrices matching used, computed when first read:
        {(imgId, catId): array}, one per evaluated image and category
        (catId -1 for pooled categories), each D x G float64 with the
        image's detections by descending score up to maxDets[-1] as rows
        and its ground truths in dataset order as columns; [] where the
        image lacks detections or ground truths of that category. IoU, or
        OKS for keypoints. Empty before evaluate()."""
        if self._ious is None:
            if self._evaluator is None:
                return {}
            self._ious = self._evaluator.similarity()
        return self._ious

    @ious.setter
    def ious(self, value) -> None:
        self._ious = value

    def computeIoU(self, imgId, catId):
        """IoU of one image's detections of one category (rows, by
        descending score up to maxDets[-1]) with its ground truths
        (columns), as evaluate() computed it; [] where either is empty."""
        return self._pair_similarity("computeIoU", imgId, catId)

    def computeOks(self, imgId, catId):
        """computeIoU's counterpart for keypoints: object keypoint
        similarity."""
        return self._pair_similarity("computeOks", imgId, catId)

    def evaluateImg(self, imgId, catId, aRng, maxDet):
        """One image and category evaluated within the area range aRng
        ([low, high]) with its first maxDet detections (at most
        maxDets[-1]): the per-image record, as in `evalImgs`, or None where
        the image has nothing of that category."""
        evaluator = self._evaluated()
        record = evaluator.evaluate_image(imgId, catId, aRng, maxDet)
        if record is not None:
            record["aRng"] = aRng
        return record

    def per_instance(self, t_idx: int = 0, a_idx: int = 0, max_det: int | None = None):
        """Per-detection and per-ground-truth verdicts at one IoU threshold
        index, area range index and detection limit (default: the largest
        of maxDets), as two dicts of NumPy columns. An index outside the
        parameters evaluate() used raises IndexError."""
        evaluator = self._evaluated()
        axes = self._axes
        _check_index("t_idx", t_idx, len(axes.iou_thrs), "IoU thresholds")
        _check_index("a_idx", a_idx, len(axes.area_rng), "area ranges")
        if max_det is None:
            max_det = axes.max_dets[-1] if axes.max_dets else 0
        return evaluator.per_instance(t_idx, a_idx, max_det)

    def per_category(self) -> list[dict]:
        """One row per category, in category order (one row, category_id
        -1, when categories are pooled): "category_id", "name", "num_gt",
        "num_dt", then every summary entry of the IoU type (the keys of
        `summary_mod.stat_names`) computed over that category alone, which
        is what an evaluation with params.catIds = [that id] reports; -1
        where the category has no ground truth there.

        num_gt counts the category's ground truths that count at area
        'all' (not crowd, not otherwise ignored; the first area range when
        none is labelled 'all'). num_dt counts the detections evaluation
        keeps: per image and category the best maxDets[-1] by score,
        including those it then ignores (matched to a crowd region, or
        unmatched outside the area range); for "keypoints_crowd" results
        without a confident keypoint are not among them."""
        axes = self.axes
        num_gt, num_dt = self._counts(axes)
        return summary_mod.category_table(self.eval["precision"], self.eval["recall"], axes,
                                          self._category_names(), num_gt, num_dt,
                                          self._level_arrays())

    def operating_points(self, iou_thr: float = 0.5, area: str = "all",
                         max_det: int | None = None, score_thrs=None) -> dict:
        """Detection counts and the precision, recall and F1 they give at
        score thresholds, per category and for all categories pooled, from
        the matching accumulate() uses at IoU threshold `iou_thr` (one of
        params.iouThrs as evaluated), area range `area` (one of
        params.areaRngLbl) and `max_det` detections per image and category
        (default the largest of maxDets). Nothing is interpolated.

        A threshold s keeps the detections with score >= s. Detections and
        ground truths that accumulation ignores (crowd matches, outside the
        area range) count nowhere: TP counts kept detections matched to a
        ground truth, FP kept detections matched to none, FN the counted
        ground truths no kept detection matched. precision = TP / (TP + FP),
        recall = TP / (TP + FN), F1 their harmonic mean; each is 0 where its
        denominator is 0 (nothing kept, no ground truth, P + R = 0).

        Without `score_thrs` each category has one row per distinct score of
        its counted detections, descending, and the pooled rows one per
        distinct score of all of them; given thresholds (non-negative, any
        order), every category and the pooled rows have one row per
        threshold in the order given. Rows come category by category in
        params.catIds order, the pooled ones (category_id -1) last.

        Returns a dict of equal-length NumPy arrays "category_id", "score",
        "tp", "fp", "fn", "precision", "recall", "f1", and under "best_f1"
        a dict from category id (and -1) to {"score", "precision",
        "recall", "f1"} of its row with the highest F1 (ties to the higher
        threshold; a NaN score and zeros where the category has no row).
        With pooled categories (useCats 0) there are only the -1 rows."""
        axes = self.axes
        t_idx = _evaluated_threshold(iou_thr, axes.iou_thrs)
        a_idx = _area_index(area, axes.area_labels)
        max_det = _max_det(max_det, axes.max_dets)
        if score_thrs is not None:
            score_thrs = np.asarray(score_thrs, dtype=np.float64)
            if score_thrs.ndim != 1:
                raise ValueError("score_thrs must be a flat sequence of numbers")
            bad = ~(np.isfinite(score_thrs) & (score_thrs >= 0))
            if bad.any():
                _check_score_thr("score_thrs", score_thrs[bad][0])
        rows, best = self._evaluated().operating_points(t_idx, a_idx, max_det, score_thrs)
        rows["best_f1"] = {
            int(c): {"score": float(s), "precision": float(p), "recall": float(r), "f1": float(f)}
            for c, s, p, r, f in zip(best["category_id"], best["score"], best["precision"],
                                     best["recall"], best["f1"])}
        return rows

    def confusion_matrix(self, iou_thr: float = 0.5, score_thr: float = 0.0,
                         max_det: int | None = None) -> np.ndarray:
        """Which classes are taken for which: a (K+1) x (K+1) int64 array,
        rows the ground-truth classes and columns the detected classes,
        both in params.catIds order (as evaluated) with background last.

        The detections are those evaluation keeps: per image and category
        the best `max_det` by score (default the largest of maxDets), here
        only those with score >= `score_thr`. In each image they are matched
        to ground truths of any class, greedily: among the pairs whose IoU
        (of the evaluation's type: box, mask, boundary IoU or OKS) is >=
        `iou_thr`, the pair of highest IoU first, ties to the higher score,
        then the detection earlier in the results, then the ground truth
        earlier in the dataset; each detection and each ground truth is
        matched at most once. A threshold of 1 accepts a perfect match, as
        in evaluation. Crowd (and otherwise ignored) ground truths match
        nothing and count nowhere. A matched pair counts at (its ground
        truth's class, its detection's class), an unmatched ground truth at
        (its class, background), an unmatched detection at (background, its
        class). Needs categories in use (useCats 1)."""
        axes = self.axes
        iou_thr = _check_iou_thr(iou_thr)
        score_thr = _check_score_thr("score_thr", score_thr)
        max_det = _max_det(max_det, axes.max_dets)
        if not axes.use_cats:
            raise ValueError("confusion_matrix needs categories in use (params.useCats = 1)")
        return self._evaluated().confusion_matrix(iou_thr, score_thr, max_det)

    @property
    def axes(self) -> Axes:
        """The settings the arrays in `eval` were computed with: those
        evaluate() used, whatever `params` holds now."""
        if not self.eval:
            raise RuntimeError("Please run accumulate() first")
        return self._axes if self._axes is not None else self.eval["params"].axes()

    @property
    def timings(self) -> dict:
        """Seconds spent: the engine's phases, then the wall time of
        loading (where the caller reported it), evaluate() and
        accumulate()."""
        out = dict(self._evaluator.timings()) if self._evaluator is not None else {}
        wall = sorted(self._wall.items(), key=lambda kv: _WALL_ORDER.get(kv[0], len(_WALL_ORDER)))
        out.update(wall)
        return out

    def error_analysis(self, tidecv_ties: bool = False) -> dict:
        """Where the AP@50 is lost, by the six error types of the tidecv
        toolbox (1.0.1) and with its definitions: foreground IoU 0.5,
        background IoU 0.1, the best 100 detections of each image over all
        categories together, equal IoU going to the earlier ground truth.
        Every detection that is not a true positive is one error:

        - "Loc": IoU 0.1 to 0.5 (both included) with a ground truth of its
          own category;
        - "Cls": otherwise IoU >= 0.5 with one of another category;
        - "Dupe": otherwise IoU >= 0.5 with one of its own category that an
          earlier detection took;
        - "Bkg": otherwise IoU <= 0.1 with every ground truth (and every
          detection in an image without ground truth);
        - "Both": anything else;

        and "Miss" is every ground truth that is neither found nor the target
        of a Loc or Cls error. Detections that a crowd region of their
        category absorbs (intersection over the detection's area above 0.5)
        are errors too, though the AP leaves them out.

        Returns {"ap": tidecv's AP@50, "main": {"Cls", "Loc", "Both",
        "Dupe", "Bkg", "Miss"}, "special": {"FalsePos", "FalseNeg"},
        "counts": {"Cls", ..., "Miss"}}, in tidecv's percent units. A main
        value is how much the AP rises when that error type alone is fixed
        (never below 0); "FalsePos" ranks every false positive below every
        true positive, "FalseNeg" forgives every unmatched ground truth.

        The AP is tidecv's, not COCO's AP50 (on the val2014 100-image sample
        box results 64.20, not 69.7): categories with detections but no
        ground truth count as AP 0 in its mean (COCO leaves them out), its
        recall points are i / 100 rather than COCO's i * 0.01, equal scores
        rank by the images' order in the dataset rather than by image id, a
        crowd region absorbs a detection only above 0.5 rather than from
        0.5, and there are no area ranges and no "ignore" flags. On that
        sample the first of these accounts for the whole gap (six
        categories with only false positives); the recall points add 0.01.

        Images and categories outside params.imgIds / params.catIds are left
        out; with the defaults (all of them) the numbers are tidecv's on the
        same files, except that tidecv also counts results of categories the
        dataset does not declare. maxDets does not apply (100, as tidecv).

        tidecv_ties=False (default) fixes a plain fault of tidecv: after a
        fix it ranks former errors before true positives among equal
        scores, so that a fix that changes nothing can lower the AP (and
        FalseNeg can come out negative). tidecv_ties=True keeps its tie
        order, reproducing its numbers exactly. Where tidecv fails outright
        both modes give a defined result instead: 0 when no category is
        left to average (tidecv: ZeroDivisionError), and a Loc or Cls error
        scored -1 or lower claims its ground truth like any other (tidecv:
        KeyError). Needs accumulate() first; keypoints have no breakdown
        (ValueError)."""
        if not self.eval:
            raise RuntimeError("Please run accumulate() first")
        evaluator = self._evaluated()
        return evaluator.error_analysis(self._dataset_image_order(), tidecv_ties=bool(tidecv_ties))

    def report(self, out_dir, *, sources=None, thresholds=None, progress=None):
        """Write the evaluation's report into the folder `out_dir`: the
        self-contained page `index.html` (summary, per-category table,
        curves, confusions, errors, worst images) and the table of every
        kept detection and ground truth beside it (see
        `quillscore.report`). Needs accumulate() first; returns the page's
        path. `sources`: the two files to name on the page (default: those
        the evaluation read, where known); `thresholds`: the IoU thresholds
        whose matches the table lists (default 0.5 and 0.75); `progress`:
        called with the name of each step as it begins."""
        from quillscore import report
        if not self.eval:
            raise RuntimeError("Please run accumulate() first")
        return report.write(self, out_dir, sources=sources, thresholds=thresholds,
                            progress=progress)

    # -- internals -------------------------------------------------------------

    def _normalise_params(self) -> Params:
        p = self.params
        if p.useSegm is not None:  # the old switch, still honoured
            p.iouType = "segm" if p.useSegm == 1 else "bbox"
        p.check()
        p.imgIds = np.unique(np.asarray(p.imgIds, dtype=np.int64)).tolist()
        if p.useCats:
            p.catIds = np.unique(np.asarray(p.catIds, dtype=np.int64)).tolist()
        p.maxDets = sorted(int(m) for m in p.maxDets)
        return p

    def _build(self, gt, dt, sizes: dict, p: Params, start: float) -> None:
        """The engine over both sides with the parameters `p`; the time
        since `start` is evaluate()'s."""
        axes = p.axes()
        self._set_evaluator(evaluator_for(gt, dt, sizes, p, axes), p)
        self._axes = axes
        self._wall["evaluate"] = time.perf_counter() - start

    def _set_evaluator(self, evaluator, params: Params | None = None) -> None:
        self._evaluator = evaluator
        self._levels = None
        self._used = copy.deepcopy(params) if params is not None else None
        self._axes = None
        self._result = None
        self._eval_imgs = None
        self._ious = None
        self.eval = {}

    def _evaluated(self):
        if self._evaluator is None:
            raise RuntimeError("Please run evaluate() first")
        return self._evaluator

    def _dataset_image_order(self) -> list:
        """Image ids as the dataset lists them (equal scores rank by it)."""
        if self._image_order is not None:
            return self._image_order
        images = getattr(self.cocoGt, "dataset", {}).get("images")
        return [im["id"] for im in images] if images is not None else self._used.imgIds

    def _pair_similarity(self, name: str, imgId, catId):
        evaluator = self._evaluated()
        iou_type = self._axes.iou_type
        keypoints = iou_type in KEYPOINT_TYPES
        if keypoints != (name == "computeOks"):
            other = "computeOks" if keypoints else "computeIoU"
            raise ValueError(f"{name} does not apply to {iou_type!r} evaluation; use {other}")
        return evaluator.similarity(imgId, catId)

    def _level_arrays(self):
        levels = self.eval.get("levels")
        return None if levels is None else [levels[name] for name in summary_mod.CROWD_LEVELS]

    def _counts(self, axes: Axes):
        """num_gt and num_dt per category place (see per_category)."""
        if not axes.iou_thrs or not axes.area_rng:  # no setting to read verdicts at
            k = len(axes.slots)
            return np.zeros(k, np.int64), np.zeros(k, np.int64)
        return self._evaluated().category_counts(axes.area_all)

    def _category_names(self) -> dict:
        cats = getattr(self.cocoGt, "cats", None) or self._cats or {}
        return {cid: c.get("name", str(cid)) for cid, c in cats.items()}


def _columns_for(coco, iou_type: str):
    """The column storage of `coco` that evaluation of `iou_type` reads, or
    None (a set of another COCO class offers none)."""
    columns = getattr(coco, "annotation_columns", None)
    return columns(iou_type) if columns else None


def _selected(coco, p: Params) -> list:
    """The annotations on the evaluated images and of the evaluated
    categories (pooled evaluation too takes only those), each once: the
    whole list when nothing is left out, which is the common case and costs
    nothing."""
    anns = coco.dataset.get("annotations", [])
    images, cats = set(p.imgIds), set(p.catIds)
    if set(coco.imgToAnns) <= images and set(coco.catToImgs) <= cats:
        return anns
    return [a for a in anns if a["image_id"] in images and a["category_id"] in cats]


def check_ground_truth(anns: list, iou_type: str, listed=None, *, use_area: bool = True) -> None:
    """ValueError naming the first ground truth (by its place in `listed`,
    the dataset's list) that lacks a member evaluation of `iou_type` reads:
    the box of box and keypoint evaluation, "num_keypoints" (which decides
    whether a person counts) and, for masks, the box where it stands in for
    a missing area or segmentation; for CrowdPose with `use_area`, "area"."""
    needed = {"bbox": ("bbox",), "keypoints": ("bbox", "num_keypoints"),
              "keypoints_crowd": ("bbox", "num_keypoints") + (("area",) if use_area else ())
              }.get(iou_type, ())
    for key in needed:
        reject_missing(anns, key, "ground truth", listed=listed)
    if iou_type in MASK_TYPES and (
            missing_member(anns, "area") >= 0 or missing_member(anns, "segmentation") >= 0):
        boxed = [a for a in anns if isinstance(a, dict)
                 and (a.get("area") is None or a.get("segmentation") is None)]
        reject_missing(boxed, "bbox", "ground truth", listed=anns if listed is None else listed)


def check_results(anns: list, listed=None) -> None:
    """ResultsError naming the first result without a score."""
    reject_missing(anns, "score", "result", error=ResultsError, listed=listed)


def _check_index(name: str, value, n: int, what: str) -> None:
    i = operator.index(value)
    if not 0 <= i < n:
        raise IndexError(f"{name} {i} is out of range: evaluation used {n} {what}")


def _check_iou_thr(value) -> float:
    v = _number("iou_thr", value)
    if not 0.0 <= v <= 1.0:
        raise ValueError(f"iou_thr must lie in [0, 1], got {v!r}")
    return v


def _evaluated_threshold(value, iou_thrs) -> int:
    """The index of `value` among the evaluated IoU thresholds (to within
    1e-9, since they are usually made by linspace)."""
    v = _check_iou_thr(value)
    for i, t in enumerate(iou_thrs):
        if abs(t - v) <= 1e-9:
            return i
    listed = ", ".join(f"{t:g}" for t in iou_thrs)
    raise ValueError(f"iou_thr {v:g} is not one of the evaluated IoU thresholds ({listed}); "
                     "set params.iouThrs to include it and evaluate again")


def _area_index(label, labels) -> int:
    if label not in labels:
        raise ValueError(f"unknown area {label!r}: the evaluated area ranges are {list(labels)}")
    return labels.index(label)


def _max_det(value, max_dets) -> int:
    largest = max_dets[-1] if max_dets else 0
    if value is None:
        return largest
    if isinstance(value, bool):
        raise TypeError("max_det must be an integer")
    m = operator.index(value)
    if not 0 <= m <= largest:
        raise ValueError(f"max_det must lie in [0, {largest}] (the largest of maxDets), got {m}")
    return m


def _check_score_thr(name: str, value) -> float:
    v = _number(name, value)
    if not v >= 0.0 or v == float("inf"):
        raise ValueError(f"{name} must be a finite number >= 0, got {v!r}")
    return v


def _number(name: str, value) -> float:
    if isinstance(value, (bool, str, bytes)):
        raise TypeError(f"{name} must be a number, got {type(value).__name__}")
    try:
        return float(value)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a number, got {type(value).__name__}") from None


_WALL_ORDER = {"load": 0, "evaluate": 1, "accumulate": 2}


# The IoU types evaluated on masks, which are rasterised at their image's size.
MASK_TYPES = ("segm", "boundary")


def _image_sizes(images) -> dict:
    """(height, width) by id of the image dicts `images` that have one (a
    repeated id: the later entry): RLE masks carry their own, and only
    polygons and boxes on an image without one fail."""
    return {img["id"]: (int(img["height"]), int(img["width"])) for img in images
            if "height" in img and "width" in img}


def crowd_levels(coco, img_ids) -> list[int]:
    """The crowd level of each image (its place in summary.CROWD_LEVELS) by
    its "crowdIndex" (see summary.CROWD_BOUNDS); ValueError naming the
    first image without a finite number there."""
    easy_below, hard_from = summary_mod.CROWD_BOUNDS
    index = []
    for img_id in img_ids:
        ci = (coco.imgs.get(img_id) or {}).get("crowdIndex")
        if isinstance(ci, bool) or not isinstance(ci, numbers.Real) or not math.isfinite(ci):
            raise ValueError(f"image {img_id} needs a finite number as 'crowdIndex' for "
                             f"CrowdPose evaluation; got {ci!r}")
        index.append(float(ci))
    ci = np.asarray(index, dtype=np.float64)
    return np.where(ci < easy_below, 0, np.where(ci < hard_from, 1, 2)).tolist()


def evaluator_for(gt, dt, sizes: dict, p: Params, axes: Axes | None = None):
    """The engine over `gt` and `dt` with the (normalised) parameters `p`
    (whose axes, `axes`, may be given when they are at hand)."""
    keypoints = p.iouType in KEYPOINT_TYPES
    return build_evaluator(gt, dt, sizes, axes or p.axes(), p.kpt_oks_sigmas if keypoints else (),
                           p.boundary_dilation, bool(p.use_area) if keypoints else True)


class _MatchingOnly:
    """Stands in for the engine of an evaluation that has its matching
    (a `_vireo.MatchState`) and not its annotations: what reads the
    matching alone works, what needs the annotations says so."""

    NEEDS_ANNOTATIONS = ("per_instance", "similarity", "evaluate_image", "confusion_matrix",
                         "error_analysis", "group_precision")

    def __init__(self, matches):
        self._matches = matches

    def run(self, collect_eval_imgs: bool = False):
        if collect_eval_imgs:
            self._refuse("evalImgs")
        return self._matches.run()

    def category_counts(self, a_idx: int = 0):
        return self._matches.category_counts(a_idx)

    def operating_points(self, *args, **kwargs):
        return self._matches.operating_points(*args, **kwargs)

    def timings(self) -> dict:
        return {}

    def __getattr__(self, name):
        if name in self.NEEDS_ANNOTATIONS:
            self._refuse(name)
        raise AttributeError(name)

    @staticmethod
    def _refuse(what: str):
        raise ValueError(f"{what} needs the annotations, and this evaluation was computed from "
                         "the matching alone (a StreamingEval keeps no geometry): evaluate the "
                         "images with COCOeval for it")


def build_evaluator(gt, dt, sizes: dict, axes: Axes, kpt_sigmas=(),
                    boundary_dilation: float = BOUNDARY_DILATION, use_area: bool = True):
    """The engine over ground truth `gt` and results `dt` (lists of dicts,
    or column stores for boxes) with the settings `axes`; `sizes` maps
    image ids to (height, width) for masks. Pooled evaluation (use_cats
    false) still lists every category: it orders each image's annotations
    by their category's place in that list."""
    return _vireo.Evaluator(
        gt, dt, sizes,
        img_ids=list(axes.img_ids), cat_ids=list(axes.cat_ids),
        iou_thrs=list(axes.iou_thrs), rec_thrs=list(axes.rec_thrs),
        max_dets=list(axes.max_dets), area_rng=[list(r) for r in axes.area_rng],
        use_cats=axes.use_cats, iou_type=axes.iou_type,
        kpt_sigmas=[float(s) for s in kpt_sigmas], use_area=bool(use_area),
        boundary_dilation=float(boundary_dilation))
