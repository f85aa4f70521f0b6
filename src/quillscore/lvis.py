"""LVIS v1 evaluation (`LVISEval`): the federated rules of LVIS run by the
native engine.

LVIS labels each image only for some categories. Per image, only the
detections of its positive categories (those with ground truth) and its
negative categories ("neg_category_ids") are evaluated; an unmatched
detection of a category listed in "not_exhaustive_category_ids" is not a
false positive; ground truths flagged "ignore" are ignored and "iscrowd" has
no effect. Results keep at most 300 detections per image (the highest
scores), and each image and category keeps at most 300 as well."""

from __future__ import annotations

import copy
import datetime
from collections import OrderedDict, defaultdict

import numpy as np

from quillscore import summary as summary_mod
from quillscore.coco import COCO, FILE_TYPES, complete_results
from quillscore.cocoeval import MASK_TYPES, build_evaluator, check_ground_truth, check_results
from quillscore.params import (BOUNDARY_DILATION, DETECTION_AREAS, Axes, area_ranges,
                               check_settings, iou_thresholds, recall_points)


class LVISParams:
    """LVIS evaluation parameters: img_ids, cat_ids (default: all, in
    ascending order), iou_thrs, rec_thrs, max_dets (per image), area_rng
    with area_rng_lbl, use_cats, iou_type."""

    def __init__(self, iou_type: str = "segm"):
        if iou_type not in ("segm", "bbox", "boundary"):
            raise ValueError(f"iou_type must be one of segm, bbox, boundary; got {iou_type!r}")
        self.iou_type = iou_type
        self.img_ids: list = []
        self.cat_ids: list = []
        self.iou_thrs = iou_thresholds()
        self.rec_thrs = recall_points()
        self.max_dets = 300
        self.area_rng, self.area_rng_lbl = area_ranges(DETECTION_AREAS)
        self.use_cats = 1
        self.boundary_dilation = BOUNDARY_DILATION

    def check(self) -> None:
        """Raise ValueError for settings that cannot be evaluated."""
        check_settings(self, "iou_thrs", "rec_thrs", "max_dets", "area_rng")

    def axes(self) -> Axes:
        """What arrays evaluated with these parameters are laid out by (the
        one detection limit as an axis of its own)."""
        return Axes(self.iou_type, self.img_ids, self.cat_ids, bool(self.use_cats),
                    self.iou_thrs, self.rec_thrs, self.area_rng, self.area_rng_lbl,
                    [self.max_dets])


# (key, AP or AR, IoU threshold, area label, frequency group)
_METRICS = [
    ("AP", 1, None, "all", None),
    ("AP50", 1, 0.5, "all", None),
    ("AP75", 1, 0.75, "all", None),
    ("APs", 1, None, "small", None),
    ("APm", 1, None, "medium", None),
    ("APl", 1, None, "large", None),
    ("APr", 1, None, "all", "r"),
    ("APc", 1, None, "all", "c"),
    ("APf", 1, None, "all", "f"),
    ("AR@300", 0, None, "all", None),
    ("ARs@300", 0, None, "small", None),
    ("ARm@300", 0, None, "medium", None),
    ("ARl@300", 0, None, "large", None),
]


class LVISEval:
    """Evaluates LVIS results against an LVIS v1 dataset:

        E = LVISEval("lvis_v1_val.json", "results.json", "segm")
        E.run()            # evaluate, accumulate, summarize
        E.print_results()
        E.results["AP"], E.results["APr"], ...

    `lvis_gt` is a path, a dataset dict or a `COCO`; `lvis_dt` a path, a
    list of result dicts (completed in place, as `COCO.loadRes` does) or a
    `COCO` result set. `eval` holds "precision" (T, R, K, A) and "recall"
    (T, K, A), -1 where a setting has no ground truth."""

    def __init__(self, lvis_gt, lvis_dt, iou_type: str = "segm"):
        self.lvis_gt = lvis_gt if isinstance(lvis_gt, COCO) else COCO(lvis_gt)
        self.params = LVISParams(iou_type)
        self.params.img_ids = sorted(self.lvis_gt.getImgIds())
        self.params.cat_ids = sorted(self.lvis_gt.getCatIds())
        self.dt_anns = _limited_results(self.lvis_gt, lvis_dt, self.params.max_dets)
        self.eval: dict = {}
        self.results: OrderedDict = OrderedDict()
        self._evaluator = None
        self._used = None  # a copy of the parameters the engine was built with
        self._axes = None  # and the settings its arrays are laid out by
        # The two files, where known: a report names them.
        self._sources = (self.lvis_gt._source,
                         lvis_dt if isinstance(lvis_dt, FILE_TYPES) else getattr(lvis_dt, "_source", None))

    def evaluate(self) -> None:
        """Read both sides into the engine with the federated rules.
        Parameters are checked (ValueError for settings that cannot be
        evaluated); accumulate() and summarize() use a copy of them, as
        this call saw them."""
        # An evaluate() that fails or is interrupted leaves no evaluation
        # behind, rather than the previous one under the new parameters.
        self._evaluator = self._axes = None
        self.eval = {}
        self.results = OrderedDict()
        p = self.params
        p.check()
        p.img_ids = [int(i) for i in np.unique(np.asarray(p.img_ids, dtype=np.int64))]
        p.cat_ids = [int(c) for c in np.unique(np.asarray(p.cat_ids, dtype=np.int64))]
        gt = self.lvis_gt
        gts = gt.loadAnns(gt.getAnnIds(imgIds=p.img_ids))
        check_ground_truth(gts, p.iou_type, gt.dataset.get("annotations"))
        images = gt.imgs
        positive: dict = defaultdict(set)
        for a in gts:
            positive[a["image_id"]].add(a["category_id"])
        dts = []
        for d in self.dt_anns:
            img = images.get(d["image_id"])
            if img is None:
                continue
            cat = d["category_id"]
            if cat in positive.get(d["image_id"], ()) or cat in img.get("neg_category_ids", ()):
                dts.append(d)
        sizes = {i: (int(im["height"]), int(im["width"])) for i, im in images.items()} \
            if p.iou_type in MASK_TYPES else {}
        axes = p.axes()
        evaluator = build_evaluator(gts, dts, sizes, axes, boundary_dilation=p.boundary_dilation)
        evaluator.configure_lvis(
            [bool(a.get("ignore", 0)) for a in gts],
            [(i, c) for i in p.img_ids for c in images[i].get("not_exhaustive_category_ids", ())])
        self._used = copy.deepcopy(p)
        self._axes = axes
        self._evaluator = evaluator

    def accumulate(self) -> None:
        """Run the engine: precision and recall into `eval`."""
        if self._evaluator is None:
            raise RuntimeError("Please run evaluate() first")
        r = self._evaluator.run()
        t, rr, k, a, _ = r["counts"]
        self.eval = {
            "params": self._used,
            "counts": [t, rr, k, a],
            "date": datetime.datetime.now().strftime("%Y-%m-%d %H:%M:%S"),
            "precision": r["precision"][..., 0],
            "recall": r["recall"][..., 0],
            "scores": r["scores"][..., 0],
        }

    def summarize(self) -> None:
        """Compute `results`: AP, AP50, AP75, APs, APm, APl, APr, APc, APf
        and the ARs at 300 detections."""
        axes = self._labels()
        precision, recall = self._arrays(axes)
        freq = {c["id"]: c.get("frequency") for c in self.lvis_gt.dataset.get("categories", [])}
        self.results = OrderedDict()
        for key, ap, iou_thr, area_lbl, group in _METRICS:
            slots = None if group is None else \
                [k for k, c in enumerate(axes.slots) if freq.get(c) == group]
            self.results[key] = summary_mod.summary_value(
                precision, recall, axes, ap, iou_thr, area_lbl, axes.max_dets[0], slots)

    def run(self) -> None:
        """evaluate(), accumulate() and summarize()."""
        self.evaluate()
        self.accumulate()
        self.summarize()

    def get_results(self) -> OrderedDict:
        if not self.results:
            raise RuntimeError("Please run summarize() first")
        return self.results

    def summary_lines(self) -> list[str]:
        axes = self._labels()
        return [summary_mod.summary_line(ap, iou_thr, area_lbl, axes.max_dets[0], self.results[key],
                                         axes.iou_thrs, "all" if group is None else group)
                for key, ap, iou_thr, area_lbl, group in _METRICS]

    def per_category(self) -> list[dict]:
        """AP, AP50 and AP75 per category (area 'all'), in category order;
        -1 where a category has no ground truth."""
        axes = self._labels()
        names = {c["id"]: c.get("name", str(c["id"]))
                 for c in self.lvis_gt.dataset.get("categories", [])}
        return summary_mod.per_category(self._arrays(axes)[0], axes, names)

    @property
    def axes(self) -> Axes:
        """The settings the arrays in `eval` were computed with."""
        return self._labels()

    def _labels(self) -> Axes:
        if not self.eval:
            raise RuntimeError("Please run accumulate() first")
        return self._axes if self._axes is not None else self.eval["params"].axes()

    def _arrays(self, axes: Axes):
        """precision and recall with the detection limit as an axis."""
        precision, recall = self.eval["precision"][..., None], self.eval["recall"][..., None]
        axes.check_shapes(precision, recall)
        return precision, recall

    def print_results(self) -> None:
        print("\n".join(self.summary_lines()))

    def report(self, out_dir, *, sources=None, thresholds=None, progress=None):
        """Write the evaluation's report into the folder `out_dir`, as
        COCOeval.report does, with the frequency groups side by side. Needs
        run() (or accumulate() and summarize()) first."""
        from quillscore import report
        if not self.results:
            raise RuntimeError("Please run summarize() first")
        return report.write(self, out_dir, sources=sources, thresholds=thresholds,
                            progress=progress)

    @property
    def timings(self) -> dict:
        return dict(self._evaluator.timings()) if self._evaluator is not None else {}


def _limited_results(gt: COCO, lvis_dt, max_dets: int) -> list:
    """The result dicts to evaluate: at most `max_dets` per image, the
    highest scores (equal scores in file order), completed as loadRes
    completes them. Every result needs a score (ResultsError naming the
    first without one)."""
    if isinstance(lvis_dt, COCO):
        anns = lvis_dt.dataset.get("annotations", [])
        check_results(anns)
        return _top_per_image(anns, max_dets)
    anns = gt.result_list(lvis_dt)
    check_results(anns)
    anns = _top_per_image(anns, max_dets)
    complete_results(anns, gt)
    return anns


def _top_per_image(anns: list, max_dets: int) -> list:
    if max_dets < 0:
        return anns
    by_image: dict = defaultdict(list)
    for i, a in enumerate(anns):
        by_image[a["image_id"]].append(i)
    if all(len(ix) <= max_dets for ix in by_image.values()):
        return anns
    keep = []
    for ix in by_image.values():
        if len(ix) > max_dets:
            ix = sorted(ix, key=lambda i: anns[i]["score"], reverse=True)[:max_dets]
        keep.extend(ix)
    return [anns[i] for i in sorted(keep)]
