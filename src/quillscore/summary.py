"""The summary numbers of a COCO evaluation, read off the accumulated
precision and recall arrays, and their printed lines."""

from __future__ import annotations

import numpy as np

# (name, AP or AR, IoU threshold, area label, max-dets rule) per summary
# entry. The max-dets rule is an index into params.maxDets, or a literal
# count (the first AP entry asks for 100 whatever the list holds, as COCO
# evaluation always has).
DETECTION_STATS = [
    ("AP", 1, None, "all", 100),
    ("AP50", 1, .5, "all", ("index", 2)),
    ("AP75", 1, .75, "all", ("index", 2)),
    ("APs", 1, None, "small", ("index", 2)),
    ("APm", 1, None, "medium", ("index", 2)),
    ("APl", 1, None, "large", ("index", 2)),
    ("AR1", 0, None, "all", ("index", 0)),
    ("AR10", 0, None, "all", ("index", 1)),
    ("AR100", 0, None, "all", ("index", 2)),
    ("ARs", 0, None, "small", ("index", 2)),
    ("ARm", 0, None, "medium", ("index", 2)),
    ("ARl", 0, None, "large", ("index", 2)),
]
KEYPOINT_STATS = [
    ("AP", 1, None, "all", 20),
    ("AP50", 1, .5, "all", 20),
    ("AP75", 1, .75, "all", 20),
    ("APm", 1, None, "medium", 20),
    ("APl", 1, None, "large", 20),
    ("AR", 0, None, "all", 20),
    ("AR50", 0, .5, "all", 20),
    ("AR75", 0, .75, "all", 20),
    ("ARm", 0, None, "medium", 20),
    ("ARl", 0, None, "large", 20),
]


def summary_entries(iou_type: str) -> list:
    return KEYPOINT_STATS if iou_type == "keypoints" else DETECTION_STATS


def _max_dets_of(rule, max_dets):
    if isinstance(rule, tuple):
        i = rule[1]
        # A list shorter than the summary expects has no such setting.
        return max_dets[i] if i < len(max_dets) else None
    return rule


def summary_value(precision, recall, axes, ap, iou_thr, area_lbl, max_det, slots=None) -> float:
    """Mean of the precision (ap=1) or recall (ap=0) cells at one setting
    of `axes` (the evaluation's `Axes`), over the cells that hold a value;
    -1 when none does (or when the setting is not among the axes). `slots`,
    if given, keeps only those places of the category axis."""
    a_idx = [i for i, lbl in enumerate(axes.area_labels) if lbl == area_lbl]
    m_idx = [i for i, m in enumerate(axes.max_dets) if m == max_det]
    s = precision if ap == 1 else recall
    if iou_thr is not None:
        s = s[np.where(iou_thr == np.asarray(axes.iou_thrs))[0]]
    if slots is not None:
        s = s[..., slots, :, :]
    # Area and detection-limit positions are paired element by element (a
    # label listed twice pairs with the limit listed twice); lists that
    # cannot be paired select nothing.
    try:
        s = s[:, :, :, a_idx, m_idx] if ap == 1 else s[:, :, a_idx, m_idx]
    except IndexError:
        return -1.0
    return mean_of_valid(s)


def mean_of_valid(cells) -> float:
    """Mean of the cells that hold a value (> -1); -1 when none does."""
    values = cells[cells > -1]
    return -1.0 if values.size == 0 else float(np.mean(values))


def compute_stats(precision, recall, axes) -> tuple[np.ndarray, list[str]]:
    """The summary entries (as COCO evaluation reports them) and their
    printed lines, labelled by `axes`, the settings the arrays were
    computed with."""
    axes.check_shapes(precision, recall)
    entries = summary_entries(axes.iou_type)
    stats = np.zeros(len(entries))
    lines = []
    for i, (_, ap, iou_thr, area_lbl, rule) in enumerate(entries):
        max_det = _max_dets_of(rule, axes.max_dets)
        if max_det is None:
            stats[i] = -1.0
        else:
            stats[i] = summary_value(precision, recall, axes, ap, iou_thr, area_lbl, max_det)
        lines.append(summary_line(ap, iou_thr, area_lbl, max_det, stats[i], axes.iou_thrs))
    return stats, lines


def summary_line(ap, iou_thr, area_lbl, max_det, value, iou_thrs, cats: str | None = None) -> str:
    """One printed summary line; `cats` names the categories averaged over
    where a summary has entries for groups of them."""
    title, kind = ("Average Precision", "(AP)") if ap == 1 else ("Average Recall", "(AR)")
    if iou_thr is None:
        iou = f"{iou_thrs[0]:0.2f}:{iou_thrs[-1]:0.2f}"
    else:
        iou = f"{iou_thr:0.2f}"
    dets = "  -" if max_det is None else f"{max_det:>3d}"
    limit = f"maxDets={dets} ]" if cats is None else f"maxDets={dets} catIds={cats:>3s}]"
    return f" {title:<18} {kind} @[ IoU={iou:<9} | area={area_lbl:>6s} | {limit} = {value:0.3f}"


def stat_names(iou_type: str) -> list[str]:
    return [entry[0] for entry in summary_entries(iou_type)]


def per_category(precision, axes, names: dict) -> list[dict]:
    """AP per category slot of a (T, R, K, A, M) precision array laid out
    by `axes`, at area 'all' and the largest detection limit: over all IoU
    thresholds, at 0.5 and at 0.75 (-1 where the category has no ground
    truth)."""
    a = ([i for i, lbl in enumerate(axes.area_labels) if lbl == "all"] or [0])[0]
    iou_thrs = np.asarray(axes.iou_thrs)
    rows = []
    for k, cat in enumerate(axes.slots):
        cell = precision[:, :, k, a, -1]
        rows.append({
            "category_id": cat,
            "name": names.get(cat, "all" if cat == -1 else str(cat)),
            "AP": mean_of_valid(cell),
            "AP50": mean_of_valid(cell[np.where(iou_thrs == .5)[0]]),
            "AP75": mean_of_valid(cell[np.where(iou_thrs == .75)[0]]),
        })
    return rows


def format_per_category(rows: list[dict]) -> str:
    width = max([len("category")] + [len(r["name"]) for r in rows])
    out = [f"{'category':<{width}}  {'id':>6}  {'AP':>6}  {'AP50':>6}  {'AP75':>6}"]
    for r in rows:
        out.append(f"{r['name']:<{width}}  {r['category_id']:>6}  "
                   + "  ".join(_cell(r[k]) for k in ("AP", "AP50", "AP75")))
    return "\n".join(out)


def _cell(v: float) -> str:
    return f"{'-':>6}" if v < 0 else f"{v:6.3f}"
