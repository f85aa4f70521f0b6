"""The report of an evaluation: one self-contained HTML page (`index.html`)
and every kept detection and ground truth as a table beside it
(`instances.parquet` with pyarrow, else `instances.csv`), with the full
confusion matrix (`confusion_matrix.csv`).

Everything on the page is read off the finished evaluation: the summary,
`per_category()`, `operating_points()`, `confusion_matrix()`,
`error_analysis()` and the engine's instance table, which holds the same
matching. The numbers also sit in the page as JSON (the script element
with id "quillscore-data"), so that tools can read them back."""

from __future__ import annotations

import csv
import datetime
import json
import os
import time
from pathlib import Path

import numpy as np

import quillscore
from quillscore import _page
from quillscore import summary as summary_mod
from quillscore.cocoeval import _MatchingOnly
from quillscore.params import KEYPOINT_TYPES
from quillscore.plot import mean_curves

# The engine's label codes, in its order (error types as error_analysis()
# names them, then a true positive or a ground truth found); 255: none.
LABELS = ("Cls", "Loc", "Both", "Dupe", "Bkg", "Miss", "TP")
# IoU thresholds whose partners the table gives, where evaluated.
THRESHOLDS = (0.5, 0.75)
# Categories in the heatmap: those most confused with others.
TOP_CONFUSED = 30
WORST_IMAGES = 20
# The steps of write(), as it reports them to `progress`.
STEPS = ["diagnostics", "exporting instances", "writing the report"]
# Points of a pooled F1 curve: more say nothing at the page's size.
CURVE_POINTS = 400


def write(E, out_dir, *, sources=None, thresholds=None, progress=None) -> Path:
    """Write the report of `E` (a COCOeval or LVISEval after accumulate())
    into the folder `out_dir` (made where missing) and return the page's
    path. `sources`: the ground-truth and results files to name on the page
    (default: those the evaluation was loaded from, where known);
    `thresholds`: the IoU thresholds whose matches the table lists (those
    evaluated of them, default THRESHOLDS; the first evaluated one where
    none is); `progress`: called with the name of each step as it begins."""
    step = progress or (lambda name: None)
    start = time.perf_counter()
    out = Path(os.fspath(out_dir))
    out.mkdir(parents=True, exist_ok=True)
    step(STEPS[0])
    view = _View(E, THRESHOLDS if thresholds is None else thresholds)
    data = view.data(sources if sources is not None else _sources_of(E))
    step(STEPS[1])
    data["export"] = view.export(out)
    data["worst_images"] = view.worst
    step(STEPS[2])
    data["timings"]["report"] = time.perf_counter() - start
    page = out / "index.html"
    page.write_text(_page.render(data), encoding="utf-8")
    return page


def _sources_of(E) -> list:
    known = getattr(E, "_sources", None)
    if known is None:
        known = [getattr(getattr(E, name, None), "_source", None) for name in ("cocoGt", "cocoDt")]
    return known


def _files(sources) -> list:
    """The ground-truth and results files as the page names them (those
    known), with their sizes."""
    out = []
    for role, path in zip(("ground truth", "results"), sources):
        if path is None:
            continue
        if isinstance(path, (bytes, os.PathLike)):
            path = os.fsdecode(path)
        elif not isinstance(path, str):  # bytes read already
            continue
        try:
            size = os.path.getsize(path)
        except OSError:
            size = None
        out.append({"role": role, "path": path, "size": size})
    return out


def _number(v):
    """A float for JSON: None for NaN and the infinities (a score may be
    either)."""
    v = float(v)
    return v if np.isfinite(v) else None


class _View:
    """What the page shows, gathered from one evaluation."""

    def __init__(self, E, thresholds):
        self.E = E
        self.lvis = hasattr(E, "lvis_gt")
        self.axes = E.axes
        self.evaluator = E._evaluator
        a = self.axes
        self.area = a.area_all
        picked = [t for t in dict.fromkeys(float(t) for t in thresholds) if t in a.iou_thrs]
        self.thresholds = picked or list(a.iou_thrs[:1])
        self.names = self._names()
        self._ops = None
        self.kinds = self._available()

    def _names(self) -> dict:
        if self.lvis:
            cats = self.E.lvis_gt.cats
            return {c: v.get("name", str(c)) for c, v in cats.items()}
        return self.E._category_names()

    def _available(self) -> set:
        a = self.axes
        kinds = set()
        if not self.lvis and a.iou_thrs:
            kinds.add("operating_points")
        # An evaluation rebuilt from its matching alone (a StreamingEval's)
        # keeps no annotations to list or to match across classes.
        if isinstance(self.evaluator, _MatchingOnly):
            return kinds
        kinds.add("instances")
        if "operating_points" in kinds and a.use_cats:
            kinds.add("confusion")
        if "operating_points" in kinds and a.iou_type not in KEYPOINT_TYPES:
            kinds.add("errors")
        return kinds

    # -- the page's numbers -------------------------------------------------

    def data(self, sources) -> dict:
        E, a = self.E, self.axes
        params = a.to_json()
        params["iouThrs"] = list(a.iou_thrs)
        params["recThrs"] = len(a.rec_thrs)
        sigmas = getattr(E.eval.get("params"), "kpt_oks_sigmas", None)
        if a.iou_type in KEYPOINT_TYPES and sigmas is not None:
            params["kpt_oks_sigmas"] = [float(s) for s in np.asarray(sigmas).ravel()]
        data = {
            "quillscore": quillscore.__version__,
            "mode": "lvis" if self.lvis else "coco",
            "iou_type": a.iou_type,
            "date": datetime.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M:%S %Z"),
            "files": _files(sources),
            "params": params,
            "images": len(a.img_ids),
            "timings": {k: float(v) for k, v in E.timings.items()},
            "stats": self._stats(),
            "curves": self._pooled_curves(),
        }
        data["categories"], data["category_curves"] = self._categories()
        if "operating_points" in self.kinds:
            data["f1_curve"] = self._f1_curve()
        if "confusion" in self.kinds:
            data["confusion"] = self._confusion()
        if "errors" in self.kinds:
            data["errors"] = E.error_analysis()
        if self.lvis:
            data["frequency_groups"] = self._frequency_groups(data["categories"])
        return data

    def _stats(self) -> list:
        E = self.E
        if self.lvis:
            return [{"name": k, "value": float(v), "line": line}
                    for (k, v), line in zip(E.results.items(), E.summary_lines())]
        if not E.lines:
            E.summary()
        names = summary_mod.stat_names(self.axes.iou_type)
        return [{"name": n, "value": float(v), "line": line}
                for n, v, line in zip(names, E.stats, E.lines)]

    def _precision(self, area_and_limit: bool = True) -> np.ndarray:
        """(T, R, K, A, M), LVIS's one detection limit as an axis of its own;
        (T, R, K) at area 'all' and the largest limit by default."""
        p = self.E.eval["precision"]
        p = p if p.ndim == 5 else p[..., None]
        return p[:, :, :, self.area, -1] if area_and_limit else p

    def _pooled_curves(self) -> dict:
        mean = mean_curves(self._precision(area_and_limit=False), self.area)
        return {"iou_thrs": list(self.axes.iou_thrs), "rec_thrs": list(self.axes.rec_thrs),
                "precision": [[_number(v) for v in row] for row in mean]}

    def _categories(self):
        E, a = self.E, self.axes
        rows = E.per_category()
        if self.lvis:
            num_gt, num_dt = self.evaluator.category_counts(self.area)
            freq = {c: v.get("frequency") for c, v in E.lvis_gt.cats.items()}
            for k, row in enumerate(rows):
                row.update(num_gt=int(num_gt[k]), num_dt=int(num_dt[k]),
                           frequency=freq.get(row["category_id"]))
        best = self._operating_points()["best_f1"] if "operating_points" in self.kinds else {}
        p = self._precision()
        iou = np.asarray(a.iou_thrs)
        # Per category: precision at the first threshold of interest, at the
        # second where there is one, and averaged over all thresholds (the
        # curve whose mean is the AP), in thousandths as runs [value, count]
        # (a PR curve is a staircase); None without ground truth.
        picks = [np.where(iou == t)[0][0] for t in self.thresholds[:2]]
        curves = []
        for k, row in enumerate(rows):
            cell = p[:, :, k]
            if not (cell > -1).all():
                curves.append(None)
            else:
                chosen = [cell[t] for t in picks] + [cell.mean(axis=0)]
                curves.append([_runs(np.rint(c * 1000).astype(np.int64)) for c in chosen])
            b = best.get(row["category_id"])
            if b is not None:
                row["best_f1"] = {k2: _number(v) for k2, v in b.items()}
            for key, value in list(row.items()):
                if isinstance(value, (float, np.floating)):
                    row[key] = float(value)
        labels = [f"IoU={t:.2f}" for t in self.thresholds[:2]] + ["mean over IoU thresholds"]
        return rows, {"labels": labels, "rec_thrs": list(a.rec_thrs), "curves": curves}

    def _operating_points(self) -> dict:
        """operating_points() at the first threshold and area 'all', once."""
        if self._ops is None:
            self._ops = self.E.operating_points(iou_thr=self.thresholds[0],
                                                area=self.axes.area_labels[self.area])
        return self._ops

    def _f1_curve(self) -> dict:
        """Precision, recall and F1 of every category pooled against the
        score threshold, thinned to CURVE_POINTS points (the best kept)."""
        ops = self._operating_points()
        pooled = np.nonzero(ops["category_id"] == -1)[0]
        n = len(pooled)
        keep = np.linspace(0, n - 1, min(n, CURVE_POINTS)).round().astype(np.int64) if n else pooled
        if n:
            keep = np.union1d(keep, [int(np.argmax(ops["f1"][pooled]))])
        rows = pooled[keep]
        best = ops["best_f1"].get(-1)
        return {"iou_thr": self.thresholds[0],
                **{k: [_number(x) for x in ops[k][rows]] for k in ("score", "precision", "recall", "f1")},
                "best": None if best is None else {k: _number(v) for k, v in best.items()}}

    def _confusion(self) -> dict:
        a = self.axes
        m = self.confusion = self.E.confusion_matrix(iou_thr=self.thresholds[0])
        k = len(a.cat_ids)
        off = m[:k, :k].copy()
        np.fill_diagonal(off, 0)
        mass = off.sum(axis=0) + off.sum(axis=1)
        errors = m[:k, k] + m[k, :k]
        # Most confused with other classes first, then most errors overall.
        order = np.lexsort((np.arange(k), -errors, -mass))[:TOP_CONFUSED]
        order = np.sort(order)
        idx = np.append(order, k)
        return {"iou_thr": self.thresholds[0], "category_ids": [int(a.cat_ids[i]) for i in order],
                "shown": int(len(order)), "total": int(k),
                "matrix": m[np.ix_(idx, idx)].tolist()}

    def _frequency_groups(self, categories: list) -> list:
        """Per group its AP, its categories (and those with ground truth) and
        the mean of its pooled curves over the IoU thresholds."""
        E = self.E
        p = self._precision(area_and_limit=False)
        out = []
        for group, key in (("r", "APr"), ("c", "APc"), ("f", "APf")):
            slots = [k for k, row in enumerate(categories) if row["frequency"] == group]
            mean = mean_curves(p[:, :, slots], self.area).mean(axis=0)
            out.append({"group": group, "AP": float(E.results[key]), "categories": len(slots),
                        "with_gt": sum(1 for k in slots if categories[k]["AP"] > -1),
                        "curve": [_number(v) for v in mean]})
        return out

    # -- the instance table -------------------------------------------------

    def instances(self):
        """(detections, ground_truths): the engine's columns at the chosen
        thresholds, area 'all' and the largest detection limit, with error
        labels where the evaluation has a breakdown."""
        a = self.axes
        t_idx = [a.iou_thrs.index(t) for t in self.thresholds]
        order = self.E._dataset_image_order() if "errors" in self.kinds else None
        return self.evaluator.instances(t_idx, self.area, a.max_dets[-1], image_order=order)

    def export(self, out: Path) -> dict:
        written = {}
        self.worst = []
        if "confusion" in self.kinds:
            written["confusion_matrix"] = self._write_confusion(out / "confusion_matrix.csv")
        if "instances" not in self.kinds:
            return written
        dts, gts = self.instances()
        self.worst = _worst_images(self, dts, gts)
        table = self._columns(dts, gts)
        try:
            import pyarrow as pa
            import pyarrow.parquet as pq
        except ImportError:
            path = out / "instances.csv"
            _write_csv(path, table)
        else:
            path = out / "instances.parquet"
            pq.write_table(pa.table(table), path)
        stale = out / ("instances.csv" if path.suffix == ".parquet" else "instances.parquet")
        if stale.exists():
            stale.unlink()
        written["instances"] = path.name
        written["rows"] = int(len(table["id"]))
        return written

    def _columns(self, dts, gts) -> dict:
        names = self.names
        n_dt, n_gt = len(dts["id"]), len(gts["id"])
        table = {"kind": np.repeat(np.array(["detection", "ground_truth"], dtype=object), [n_dt, n_gt])}
        for key in ("image_id", "category_id", "id", "score", "area", "iscrowd"):
            table[key] = np.concatenate([dts[key], gts[key]])
        ids = table["category_id"]
        lookup = np.array([names.get(int(c), str(int(c))) for c in np.unique(ids)], dtype=object)
        table["category"] = lookup[np.searchsorted(np.unique(ids), ids)] if len(ids) else lookup[:0]
        for t, thr in enumerate(self.thresholds):
            tag = column_tag(thr)
            table[f"partner_{tag}"] = np.concatenate([dts["partner"][:, t], gts["partner"][:, t]])
            table[f"iou_{tag}"] = np.concatenate([dts["iou"][:, t], gts["iou"][:, t]])
            table[f"ignore_{tag}"] = np.concatenate([dts["ignore"][:, t], gts["ignore"][:, t]])
        codes = np.concatenate([dts["label"], gts["label"]])
        label_names = np.full(256, None, dtype=object)  # 255: no label
        label_names[:len(LABELS)] = LABELS
        table["error"] = label_names[codes]
        return table

    def _write_confusion(self, path: Path) -> str:
        conf = self.confusion
        labels = [self.names.get(c, str(c)) for c in self.axes.cat_ids] + ["background"]
        ids = [str(c) for c in self.axes.cat_ids] + [""]
        with open(path, "w", newline="", encoding="utf-8") as f:
            w = csv.writer(f)
            w.writerow(["ground_truth \\ detected", *labels])
            w.writerow(["category_id", *ids])
            for i, row in enumerate(conf.tolist()):
                w.writerow([labels[i], *row])
        return path.name


def _runs(values: np.ndarray) -> list:
    """[[value, count], ...] of consecutive equal values."""
    if not len(values):
        return []
    starts = np.flatnonzero(np.diff(values, prepend=values[0] - 1))
    counts = np.diff(np.append(starts, len(values)))
    return [[int(values[i]), int(n)] for i, n in zip(starts, counts)]


def column_tag(thr: float) -> str:
    """A threshold as a column-name suffix: 0.5 -> "50", 0.625 -> "62_5"."""
    return f"{thr * 100:g}".replace(".", "_")


def _write_csv(path: Path, table: dict) -> None:
    keys = list(table)
    with open(path, "w", newline="", encoding="utf-8") as f:
        w = csv.writer(f)
        w.writerow(keys)
        columns = []
        for k in keys:
            col = table[k]
            values = col.tolist()
            if col.dtype == bool:
                values = [int(v) for v in values]
            elif col.dtype.kind == "f":
                values = ["" if v != v else v for v in values]
            columns.append(values)
        w.writerows(zip(*columns))


def _worst_images(view: _View, dts, gts) -> list:
    """The images where the detector does worst at the first threshold: each
    counted false positive weighs its score, each missed ground truth 1."""
    fp = (dts["partner"][:, 0] < 0) & ~dts["ignore"][:, 0]
    fn = (gts["partner"][:, 0] < 0) & ~gts["ignore"][:, 0]
    image_ids = np.concatenate([dts["image_id"], gts["image_id"]])
    if not len(image_ids):
        return []
    images, where = np.unique(image_ids, return_inverse=True)
    n_dt = len(dts["id"])
    # A false positive weighs its score; one scored NaN or infinite, nothing.
    scores = np.where(np.isfinite(dts["score"]), dts["score"], 0.0)
    weight = np.concatenate([np.where(fp, scores, 0.0), fn.astype(np.float64)])
    badness = np.bincount(where, weight, len(images))
    fps = np.bincount(where[:n_dt], fp, len(images))
    fns = np.bincount(where[n_dt:], fn, len(images))
    order = np.lexsort((images, -badness))
    order = order[badness[order] > 0][:WORST_IMAGES]
    info = _image_info(view.E)
    names = view.names
    out = []
    for i in order:
        image = int(images[i])
        d_rows = np.nonzero(where[:n_dt] == i)[0]
        g_rows = np.nonzero(where[n_dt:] == i)[0]
        meta = info.get(image, {})
        out.append({
            "image_id": image, "file_name": meta.get("file_name"),
            "width": meta.get("width"), "height": meta.get("height"),
            "badness": float(badness[i]), "false_positives": int(fps[i]),
            "missed": int(fns[i]),
            "detections": [_row(dts, r, names, fp=bool(fp[r])) for r in d_rows],
            "ground_truths": [_row(gts, r, names, fn=bool(fn[r])) for r in g_rows],
        })
    return out


def _row(side, r, names, fp=False, fn=False) -> dict:
    cat = int(side["category_id"][r])
    label = int(side["label"][r])
    if side["ignore"][r, 0]:
        verdict = "ignored"
    elif fp:
        verdict = "false positive"
    elif fn:
        verdict = "missed"
    else:
        verdict = "matched"
    return {"id": int(side["id"][r]), "category": names.get(cat, str(cat)), "category_id": cat,
            "score": _number(side["score"][r]), "area": _number(side["area"][r]),
            "partner": int(side["partner"][r, 0]), "iou": float(side["iou"][r, 0]),
            "verdict": verdict, "error": LABELS[label] if label < len(LABELS) else None}


def _image_info(E) -> dict:
    gt = getattr(E, "cocoGt", None) or getattr(E, "lvis_gt", None)
    if gt is not None:
        return gt.imgs
    return getattr(E, "_images", None) or {}
