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

# CrowdPose: six entries at area 'all', then the AP of the images of each
# crowd level (see crowd_level_ap).
CROWD_STATS = [
    ("AP", 1, None, "all", 20),
    ("AP50", 1, .5, "all", 20),
    ("AP75", 1, .75, "all", 20),
    ("AR", 0, None, "all", 20),
    ("AR50", 0, .5, "all", 20),
    ("AR75", 0, .75, "all", 20),
]
CROWD_LEVELS = ("easy", "medium", "hard")
# An image's level by its "crowdIndex": easy below the first bound, hard from
# the second on, medium between.
CROWD_BOUNDS = (0.2, 0.8)


def summary_entries(iou_type: str) -> list:
    return {"keypoints": KEYPOINT_STATS, "keypoints_crowd": CROWD_STATS}.get(iou_type, DETECTION_STATS)


def crowd_level_name(level: str) -> str:
    return f"AP_{level}"


def crowd_level_ap(precision, slots=None) -> float:
    """The AP of one crowd level from the precision array of its images,
    as the CrowdPose benchmark reports it: the mean of every cell at the
    first area range (all IoU thresholds, recall points and detection
    limits), cells without ground truth (-1) included, so that a level
    lacking a category's ground truth scores lower and one without any
    scores -1; rounded to 4 decimals by rint(x * 1e4) / 1e4 (NumPy's
    rounding, which differs from Python's round() on some ties)."""
    cells = precision[:, :, :, 0, :] if slots is None else precision[:, :, slots, 0, :]
    if cells.size == 0:
        return -1.0
    return float(np.round(np.mean(cells), 4))


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


def compute_stats(precision, recall, axes, levels=None) -> tuple[np.ndarray, list[str]]:
    """The summary entries (as COCO evaluation reports them) and their
    printed lines, labelled by `axes`, the settings the arrays were
    computed with. `levels`, for CrowdPose, holds the precision array of
    each crowd level's images, in CROWD_LEVELS order."""
    axes.check_shapes(precision, recall)
    stats, lines = [], []
    for _, ap, iou_thr, area_lbl, max_det, value in entry_values(precision, recall, axes):
        stats.append(value)
        lines.append(summary_line(ap, iou_thr, area_lbl, max_det, value, axes.iou_thrs))
    for level, p in zip(CROWD_LEVELS, levels or ()):
        stats.append(crowd_level_ap(p))
        lines.append(crowd_line(level, stats[-1], axes))
    return np.asarray(stats, dtype=np.float64), lines


def entry_values(precision, recall, axes, slots=None) -> list[tuple]:
    """(name, ap, IoU threshold, area label, detection limit, value) of
    each summary entry of the evaluation's type, over the category places
    `slots` (all by default)."""
    out = []
    for name, ap, iou_thr, area_lbl, rule in summary_entries(axes.iou_type):
        max_det = _max_dets_of(rule, axes.max_dets)
        value = -1.0 if max_det is None else summary_value(
            precision, recall, axes, ap, iou_thr, area_lbl, max_det, slots)
        out.append((name, ap, iou_thr, area_lbl, max_det, value))
    return out


def crowd_line(level: str, value: float, axes) -> str:
    """The printed line of one crowd level's AP."""
    iou = f"{axes.iou_thrs[0]:0.2f}:{axes.iou_thrs[-1]:0.2f}"
    max_det = axes.max_dets[-1] if axes.max_dets else 0
    return (f" {'Average Precision':<18} (AP) @[ IoU={iou:<9} | type={level:>6s} | "
            f"maxDets={max_det:>3d} ] = {value:0.3f}")


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
    names = [entry[0] for entry in summary_entries(iou_type)]
    if iou_type == "keypoints_crowd":
        names += [crowd_level_name(level) for level in CROWD_LEVELS]
    return names


def category_table(precision, recall, axes, names: dict, num_gt, num_dt, levels=None) -> list[dict]:
    """Per category place of the arrays: its id and name, every summary
    entry of the evaluation's type computed over that category alone (what
    a run restricted to it reports), and the counts `num_gt` and `num_dt`
    (sequences by place)."""
    rows = []
    for k, cat in enumerate(axes.slots):
        row = {"category_id": cat, "name": names.get(cat, "all" if cat == -1 else str(cat)),
               "num_gt": int(num_gt[k]), "num_dt": int(num_dt[k])}
        for name, *_, value in entry_values(precision, recall, axes, [k]):
            row[name] = value
        for level, p in zip(CROWD_LEVELS, levels or ()):
            row[crowd_level_name(level)] = crowd_level_ap(p, [k])
        rows.append(row)
    return rows


def per_category(precision, axes, names: dict) -> list[dict]:
    """AP per category slot of a (T, R, K, A, M) precision array laid out
    by `axes`, at area 'all' and the largest detection limit: over all IoU
    thresholds, at 0.5 and at 0.75 (-1 where the category has no ground
    truth)."""
    a = axes.area_all
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
    """The rows as a table: name, id, the counts where the rows have them,
    then every number they hold, in their order."""
    width = max([len("category")] + [len(r["name"]) for r in rows])
    first = rows[0] if rows else {"AP": 0, "AP50": 0, "AP75": 0}
    counts = [k for k in ("num_gt", "num_dt") if k in first]
    values = [k for k in first if k not in ("category_id", "name", *counts)]
    head = {"num_gt": "gts", "num_dt": "dets"}
    columns = [(head[k], 7) for k in counts] + [(k, max(6, len(k))) for k in values]
    out = [f"{'category':<{width}}  {'id':>6}  " + "  ".join(f"{t:>{w}}" for t, w in columns)]
    for r in rows:
        cells = [f"{r[k]:>7d}" for k in counts] + [_cell(r[k], max(6, len(k))) for k in values]
        out.append(f"{r['name']:<{width}}  {r['category_id']:>6}  " + "  ".join(cells))
    return "\n".join(out)


def _cell(v: float, wide: int = 6) -> str:
    return f"{'-':>{wide}}" if v < 0 else f"{v:{wide}.3f}"
