"""The report page: the numbers gathered by `quillscore.report` drawn as one
self-contained HTML file (inline SVG and CSS, a little inline script for
sorting, filtering and picking a category's curves, no network access)."""

from __future__ import annotations

import html
import json
import math

# Ten distinguishable colours, one per IoU threshold (more cycle).
PALETTE = ("#3b4cc0", "#2c7bb6", "#00a6ca", "#00ccbc", "#90eb9d",
           "#d7d45a", "#f9d057", "#f29e2e", "#e76818", "#d7191c")
# Per-category table columns, where the evaluation has them.
CATEGORY_STATS = ("AP", "AP50", "AP75", "APs", "APm", "APl", "AR100", "AR")


def esc(value) -> str:
    return html.escape(str(value), quote=True)


def num(v, digits: int = 3) -> str:
    """A number as a cell shows it: '-' for -1 (no ground truth) and None."""
    if v is None or v == -1 or (isinstance(v, float) and math.isnan(v)):
        return "-"
    if isinstance(v, int):
        return f"{v:,}"
    return f"{v:.{digits}f}"


def cell(v, digits: int = 3, cls: str = "num") -> str:
    """A table cell whose exact value (data-v) sorting and readers use."""
    exact = "" if v is None else repr(v)
    return f'<td class="{cls}" data-v="{esc(exact)}">{esc(num(v, digits))}</td>'


def duration(seconds: float) -> str:
    if seconds >= 1:
        return f"{seconds:.2f} s"
    return f"{seconds * 1000:.1f} ms" if seconds >= 5e-5 else "< 0.1 ms"


def human_size(n) -> str:
    if n is None:
        return "unknown size"
    for unit in ("bytes", "KiB", "MiB", "GiB"):
        if n < 1024 or unit == "GiB":
            return f"{n:,} bytes" if unit == "bytes" else f"{n:.1f} {unit}"
        n /= 1024


# -- SVG -----------------------------------------------------------------------

def nice_ticks(lo: float, hi: float, most: int = 6) -> list:
    """Round values from lo to hi, 1, 2 or 5 times a power of ten apart, at
    most `most + 1` of them."""
    span = hi - lo
    if not (span > 0 and math.isfinite(span)):
        return [lo]
    step = 10.0 ** math.floor(math.log10(span / most))
    for factor in (1, 2, 5, 10):
        if span / (step * factor) <= most:
            step *= factor
            break
    first = math.ceil(lo / step)
    return [round(k * step, 12) for k in range(first, math.floor(hi / step + 1e-9) + 1)]


class Frame:
    """A plot area: data coordinates to SVG pixels."""

    def __init__(self, width, height, x_range=(0.0, 1.0), y_range=(0.0, 1.0),
                 margin=(12, 16, 42, 48)):
        self.width, self.height = width, height
        self.top, self.right, self.bottom, self.left = margin
        self.x0, self.x1 = x_range
        self.y0, self.y1 = y_range

    def x(self, v) -> float:
        w = self.width - self.left - self.right
        return self.left + (v - self.x0) / ((self.x1 - self.x0) or 1) * w

    def y(self, v) -> float:
        h = self.height - self.top - self.bottom
        return self.top + h - (v - self.y0) / ((self.y1 - self.y0) or 1) * h

    def path(self, xs, ys) -> str:
        """Line segments through the points, broken where x or y is None."""
        out, pen = [], "M"
        for x, y in zip(xs, ys):
            if x is None or y is None:
                pen = "M"
                continue
            out.append(f"{pen}{self.x(x):.1f} {self.y(y):.1f}")
            pen = "L"
        return "".join(out)

    def axes(self, x_label: str, y_label: str) -> str:
        parts = [f'<rect class="plot" x="{self.left}" y="{self.top}" '
                 f'width="{self.width - self.left - self.right}" '
                 f'height="{self.height - self.top - self.bottom}"/>']
        for xv in nice_ticks(self.x0, self.x1):
            x = self.x(xv)
            parts.append(f'<line class="grid" x1="{x:.1f}" x2="{x:.1f}" y1="{self.top}" '
                         f'y2="{self.height - self.bottom}"/>')
            parts.append(f'<text class="tick" x="{x:.1f}" y="{self.height - self.bottom + 14}" '
                         f'text-anchor="middle">{xv:g}</text>')
        for yv in nice_ticks(self.y0, self.y1):
            y = self.y(yv)
            parts.append(f'<line class="grid" x1="{self.left}" x2="{self.width - self.right}" '
                         f'y1="{y:.1f}" y2="{y:.1f}"/>')
            parts.append(f'<text class="tick" x="{self.left - 5}" y="{y + 4:.1f}" '
                         f'text-anchor="end">{yv:g}</text>')
        mid_x = (self.left + self.width - self.right) / 2
        mid_y = (self.top + self.height - self.bottom) / 2
        parts.append(f'<text class="label" x="{mid_x:.0f}" y="{self.height - 6}" '
                     f'text-anchor="middle">{esc(x_label)}</text>')
        parts.append(f'<text class="label" transform="translate(13 {mid_y:.0f}) rotate(-90)" '
                     f'text-anchor="middle">{esc(y_label)}</text>')
        return "".join(parts)


def line_chart(series, x_label, y_label, *, width=640, height=360, legend_width=190,
               svg_id=None, x_range=(0.0, 1.0), marker=None) -> str:
    """Lines over a unit square (by default); `series`: (label, xs, ys,
    colour) each; `marker`: (x, y, label) to point out."""
    f = Frame(width - legend_width, height, x_range)
    ident = f' id="{esc(svg_id)}"' if svg_id else ""
    out = [f'<svg class="chart" viewBox="0 0 {width} {height}" width="{width}" height="{height}"'
           f'{ident} role="img" data-frame="{f.left},{f.top},{f.width - f.left - f.right},'
           f'{f.height - f.top - f.bottom}">', f.axes(x_label, y_label)]
    for i, (label, xs, ys, colour) in enumerate(series):
        out.append(f'<path class="line" stroke="{colour}" d="{f.path(xs, ys)}"/>')
        ly = 18 + i * 18
        lx = width - legend_width + 8
        out.append(f'<line x1="{lx}" x2="{lx + 18}" y1="{ly}" y2="{ly}" stroke="{colour}" '
                   f'stroke-width="2.5"/><text class="legend" x="{lx + 24}" y="{ly + 4}">'
                   f'{esc(label)}</text>')
    if marker is not None:
        x, y, label = marker
        out.append(f'<circle class="marker" cx="{f.x(x):.1f}" cy="{f.y(y):.1f}" r="4">'
                   f'<title>{esc(label)}</title></circle>')
    out.append("</svg>")
    return "".join(out)


def sparkline(runs, rec_thrs, width=110, height=26) -> str:
    """A category's PR curve in a cell: runs [thousandths, count] over the
    recall points, or None where the category has no ground truth."""
    if runs is None:
        return '<span class="none">no ground truth</span>'
    # Both ends of each run: the corners of the staircase.
    points, i = [], 0
    for v, n in runs:
        y = (1 - v / 1000) * (height - 2) + 1
        for r in {rec_thrs[i], rec_thrs[i + n - 1]}:
            points.append((r, y))
        i += n
    points = [f"{r * width:.1f},{y:.1f}" for r, y in sorted(points, key=lambda p: p[0])]
    return (f'<svg class="spark" viewBox="0 0 {width} {height}" width="{width}" height="{height}">'
            f'<polyline points="{" ".join(points)}"/></svg>')


def bar_chart(items, *, width=640, unit="", value_digits=2) -> str:
    """Horizontal bars: (label, value, note) each, values >= 0."""
    row, label_w, note_w = 24, 90, 120
    height = row * len(items) + 8
    top = max([v for _, v, _ in items] + [1e-12])
    scale = (width - label_w - note_w - 10) / top
    out = [f'<svg class="chart bars" viewBox="0 0 {width} {height}" width="{width}" '
           f'height="{height}" role="img">']
    for i, (label, value, note) in enumerate(items):
        y = 4 + i * row
        w = max(value, 0) * scale
        out.append(f'<text class="legend" x="{label_w - 8}" y="{y + 15}" text-anchor="end">'
                   f'{esc(label)}</text><rect class="bar" x="{label_w}" y="{y + 3}" '
                   f'width="{w:.1f}" height="{row - 8}"><title>{esc(label)}: {value:.{value_digits}f}'
                   f'{esc(unit)}</title></rect><text class="legend" x="{label_w + w + 6:.1f}" '
                   f'y="{y + 15}">{value:.{value_digits}f}{esc(unit)} {esc(note)}</text>')
    out.append("</svg>")
    return "".join(out)


def heatmap(labels, matrix) -> str:
    """Ground truth (rows) against detections (columns), log colour scale."""
    n = len(labels)
    size = 18 if n <= 32 else 12
    pad = 150
    height = pad + n * size + 4
    width = height + 90  # room for the last column's slanted label
    top = max([v for r in matrix for v in r] + [1])
    out = [f'<svg class="chart heatmap" viewBox="0 0 {width} {height}" width="{width}" '
           f'height="{height}" role="img">']
    for i, name in enumerate(labels):
        c = pad + i * size + size / 2
        short = name if len(name) <= 20 else name[:19] + "\u2026"
        out.append(f'<text class="tick" x="{pad - 4}" y="{c + 4:.1f}" text-anchor="end">'
                   f'<title>{esc(name)}</title>{esc(short)}</text>')
        out.append(f'<text class="tick" transform="translate({c + 4:.1f} {pad - 4}) rotate(-60)">'
                   f'<title>{esc(name)}</title>{esc(short)}</text>')
    for i, r in enumerate(matrix):
        for j, v in enumerate(r):
            if v <= 0:
                continue
            shade = math.log1p(v) / math.log1p(top)
            colour = f"rgba(200,40,30,{0.12 + 0.88 * shade:.2f})" if i != j else \
                f"rgba(30,110,60,{0.12 + 0.88 * shade:.2f})"
            out.append(f'<rect x="{pad + j * size}" y="{pad + i * size}" width="{size - 1}" '
                       f'height="{size - 1}" fill="{colour}"><title>{esc(labels[i])} \u2192 '
                       f'{esc(labels[j])}: {v}</title></rect>')
    out.append(f'<rect class="frame" x="{pad}" y="{pad}" width="{n * size}" height="{n * size}"/>')
    out.append("</svg>")
    return "".join(out)


# -- the page --------------------------------------------------------------------

def render(d: dict) -> str:
    sections = [_summary(d), _categories(d), _curves(d)]
    if "frequency_groups" in d:
        sections.append(_frequency_groups(d))
    if "confusion" in d:
        sections.append(_confusion(d))
    if "errors" in d:
        sections.append(_errors(d))
    if d.get("worst_images"):
        sections.append(_worst(d))
    sections.append(_export(d))
    nav = "".join(f'<a href="#{ident}">{esc(title)}</a>' for ident, title in
                  (("summary", "Summary"), ("categories", "Categories"), ("curves", "Curves"),
                   ("frequency", "Frequency groups"), ("confusion", "Confusions"),
                   ("errors", "Errors"), ("worst", "Worst images"), ("export", "Export"))
                  if f'id="{ident}"' in "".join(sections))
    title = f"quillscore: {d['iou_type']} evaluation" + (" (LVIS)" if d["mode"] == "lvis" else "")
    payload = json.dumps(d, ensure_ascii=False, allow_nan=False, separators=(",", ":"))
    payload = payload.replace("<", "\\u003c").replace(">", "\\u003e").replace("&", "\\u0026")
    return (f'<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8">'
            f'<meta name="viewport" content="width=device-width, initial-scale=1">'
            f'<title>{esc(title)}</title><style>{CSS}</style></head><body>'
            f'<header><h1>{esc(title)}</h1><nav>{nav}</nav></header><main>'
            + "".join(sections) +
            f'</main><script type="application/json" id="quillscore-data">{payload}</script>'
            f'<script>{SCRIPT}</script></body></html>\n')


def _summary(d: dict) -> str:
    stats = "".join(f'<tr><th scope="row">{esc(s["name"])}</th>{cell(s["value"])}'
                    f'<td class="line"><code>{esc(s["line"])}</code></td></tr>' for s in d["stats"])
    p = d["params"]
    params = [("IoU thresholds", ", ".join(f"{t:g}" for t in p["iouThrs"])),
              ("recall points", p["recThrs"]),
              ("area ranges", ", ".join(f"{lbl} [{lo:g}, {hi:g}]" for lbl, (lo, hi)
                                        in zip(p["areaRngLbl"], p["areaRng"]))),
              ("max detections", ", ".join(str(m) for m in p["maxDets"])),
              ("categories", f'{p["catIds"]:,}' + ("" if p["useCats"] else " (pooled)")),
              ("images", f'{p["imgIds"]:,}')]
    if "kpt_oks_sigmas" in p:
        params.append(("keypoint sigmas", ", ".join(f"{s:.4g}" for s in p["kpt_oks_sigmas"])))
    params_html = "".join(f'<tr><th scope="row">{esc(k)}</th><td>{esc(v)}</td></tr>' for k, v in params)
    files = "".join(f'<li><span class="role">{esc(f["role"])}</span> <code>{esc(f["path"])}</code> '
                    f'({esc(human_size(f["size"]))})</li>' for f in d["files"]) or \
        "<li>evaluated from objects in memory</li>"
    # Phases this route has no part in read 0: left out.
    timings = "".join(f'<tr><th scope="row">{esc(k)}</th><td class="num">{duration(v)}</td></tr>'
                      for k, v in d["timings"].items() if v)
    return (f'<section id="summary"><h2>Summary</h2><div class="cols"><div>'
            f'<table class="stats"><thead><tr><th>entry</th><th>value</th><th>summary line</th>'
            f'</tr></thead><tbody>{stats}</tbody></table></div><div>'
            f'<h3>Inputs</h3><ul class="files">{files}</ul>'
            f'<p class="meta">quillscore {esc(d["quillscore"])}, {esc(d["date"])}</p>'
            f'<h3>Parameters</h3><table class="params">{params_html}</table>'
            f'<h3>Timings</h3><table class="timings">{timings}</table></div></div></section>')


def _categories(d: dict) -> str:
    rows = d["categories"]
    curves = d["category_curves"]["curves"]
    rec = d["category_curves"]["rec_thrs"]
    stats = [k for k in CATEGORY_STATS if rows and k in rows[0]]
    lvis = d["mode"] == "lvis"
    best = any("best_f1" in r for r in rows)
    thr = d["category_curves"]["labels"][0]
    head = ["category", "id"] + (["freq"] if lvis else []) + ["GTs", "dets"] + stats
    if best:
        head += ["F1 score thr", "precision", "recall", "F1"]
    head_html = "".join(f'<th scope="col" tabindex="0">{esc(h)}</th>' for h in head)
    body = []
    for r, curve in zip(rows, curves):
        cells = [f'<td class="name" data-v="{esc(r["name"])}">{esc(r["name"])}</td>',
                 cell(r["category_id"])]
        if lvis:
            cells.append(f'<td data-v="{esc(r.get("frequency") or "")}">{esc(r.get("frequency") or "-")}</td>')
        cells += [cell(r.get("num_gt")), cell(r.get("num_dt"))]
        cells += [cell(r[k]) for k in stats]
        if best:
            b = r.get("best_f1") or {}
            cells += [cell(b.get("score")), cell(b.get("precision")), cell(b.get("recall")),
                      cell(b.get("f1"))]
        cells.append(f'<td class="spark-cell">{sparkline(curve and curve[0], rec)}</td>')
        body.append(f'<tr data-id="{r["category_id"]}">{"".join(cells)}</tr>')
    note = (f"One row per category; click a heading to sort. AP columns are COCO's, computed over "
            f"the category alone (- where it has no ground truth); the curve is precision "
            f"against recall at {thr}.")
    if best:
        note += (f" The F1 columns give the score threshold of the best F1 at {thr} "
                 f"(not interpolated) and its precision and recall.")
    return (f'<section id="categories"><h2>Categories</h2><p class="note">{esc(note)}</p>'
            f'<p><input type="search" id="category-filter" placeholder="filter by name" '
            f'aria-label="filter categories by name"> <span id="category-count">{len(rows)} of '
            f'{len(rows)}</span></p><div class="scroll"><table id="category-table" '
            f'class="sortable"><thead><tr>{head_html}<th scope="col">PR curve ({esc(thr)})</th>'
            f'</tr></thead><tbody>{"".join(body)}</tbody></table></div></section>')


def _curves(d: dict) -> str:
    c = d["curves"]
    rec = c["rec_thrs"]
    series = []
    for i, (t, ys) in enumerate(zip(c["iou_thrs"], c["precision"])):
        valid = [y for y in ys if y is not None]
        ap = sum(valid) / len(valid) if valid else None
        label = f"IoU={t:.2f}" + (f" (AP {ap:.3f})" if ap is not None else "")
        series.append((label, rec, ys, PALETTE[i % len(PALETTE)]))
    pooled = line_chart(series, "recall", "precision", svg_id="pr-pooled")
    cc = d["category_curves"]
    # The category with the most ground truth first on show.
    most = max(range(len(d["categories"])), default=0,
               key=lambda i: (d["categories"][i].get("num_gt", 0), -i))
    options = "".join(f'<option value="{i}"{" selected" if i == most else ""}>{esc(r["name"])} '
                      f'({r["category_id"]})</option>' for i, r in enumerate(d["categories"]))
    empty = [(label, [], [], colour) for label, colour in
             zip(cc["labels"], ("#2c7bb6", "#d7191c", "#333333"))]
    chosen = line_chart(empty, "recall", "precision", svg_id="pr-category")
    parts = [f'<section id="curves"><h2>Curves</h2><div class="cols"><figure>{pooled}'
             f'<figcaption>Precision against recall per IoU threshold, the mean over categories '
             f'with ground truth (area all, {d["params"]["maxDets"][-1]} detections).'
             f'</figcaption></figure><figure><label class="pick">category <select id="category-select">'
             f'{options}</select></label>{chosen}<figcaption>The chosen category\'s curves.'
             f'</figcaption></figure>']
    f1 = d.get("f1_curve")
    if f1 and f1["score"]:
        scores = f1["score"]
        top = max(s for s in scores if s is not None)
        lo = min(0.0, min(s for s in scores if s is not None))
        hi = max(1.0, top) if lo == 0 else (top if top > lo else lo + 1)
        b = f1.get("best")
        marker = None
        if b and b.get("score") is not None:
            marker = (b["score"], b["f1"], f'best F1 {b["f1"]:.3f} at score {b["score"]:.3f} '
                                           f'(precision {b["precision"]:.3f}, recall {b["recall"]:.3f})')
        chart = line_chart([("F1", scores, f1["f1"], "#333333"),
                            ("precision", scores, f1["precision"], "#2c7bb6"),
                            ("recall", scores, f1["recall"], "#d7191c")],
                           "score threshold", "value", svg_id="f1-curve", x_range=(lo, hi),
                           marker=marker)
        caption = f"All categories pooled at IoU {f1['iou_thr']:g}: detections scored at or " \
                  f"above the threshold are kept."
        if marker:
            caption += " " + marker[2] + "."
        parts.append(f'<figure>{chart}<figcaption>{esc(caption)}</figcaption></figure>')
    parts.append("</div></section>")
    return "".join(parts)


def _frequency_groups(d: dict) -> str:
    groups = d["frequency_groups"]
    names = {"r": "rare", "c": "common", "f": "frequent"}
    rows = "".join(f'<tr><th scope="row">{esc(names[g["group"]])} ({g["group"]})</th>'
                   f'{cell(g["AP"])}{cell(g["categories"])}{cell(g["with_gt"])}</tr>' for g in groups)
    rec = d["curves"]["rec_thrs"]
    chart = line_chart([(f'{names[g["group"]]} (AP {g["AP"]:.3f})', rec, g["curve"], colour)
                        for g, colour in zip(groups, ("#d7191c", "#f29e2e", "#2c7bb6"))],
                       "recall", "precision", svg_id="frequency-curves")
    return (f'<section id="frequency"><h2>Frequency groups</h2><div class="cols"><div>'
            f'<table id="frequency-table"><thead><tr><th>group</th><th>AP</th><th>categories</th>'
            f'<th>with ground truth</th></tr></thead><tbody>{rows}</tbody></table></div>'
            f'<figure>{chart}<figcaption>Precision against recall of each group, the mean over '
            f'its categories and IoU thresholds.</figcaption></figure></div></section>')


def _confusion(d: dict) -> str:
    c = d["confusion"]
    names = {r["category_id"]: r["name"] for r in d["categories"]}
    labels = [names.get(i, str(i)) for i in c["category_ids"]] + ["background"]
    note = (f'Ground truth (rows) against detected class (columns) at IoU {c["iou_thr"]:g}, '
            f'background last; green the diagonal, red the confusions, darker more (log scale).')
    if c["shown"] < c["total"]:
        note += (f' The {c["shown"]} of {c["total"]} classes most confused with others are shown; '
                 f'the full matrix is in confusion_matrix.csv.')
    return (f'<section id="confusion"><h2>Confusions</h2><p class="note">{esc(note)}</p>'
            f'<div class="scroll">{heatmap(labels, c["matrix"])}</div></section>')


def _errors(d: dict) -> str:
    e = d["errors"]
    main = bar_chart([(k, v, f'({e["counts"][k]:,})') for k, v in e["main"].items()])
    special = bar_chart([(k, max(v, 0.0), "") for k, v in e["special"].items()])
    rows = "".join(f'<tr><th scope="row">{esc(k)}</th>{cell(v, 2)}{cell(e["counts"][k])}</tr>'
                   for k, v in e["main"].items())
    rows += "".join(f'<tr><th scope="row">{esc(k)}</th>{cell(v, 2)}<td></td></tr>'
                    for k, v in e["special"].items())
    return (f'<section id="errors"><h2>Errors</h2><p class="note">How much the AP@50 '
            f'({e["ap"]:.2f}, tidecv\'s definition) rises when one error type alone is fixed, '
            f'with the number of errors of each type: Cls wrong class, Loc poorly localised, Both '
            f'wrong class and poorly localised, Dupe a duplicate, Bkg background, Miss a ground '
            f'truth nothing found.</p><div class="cols"><figure>{main}<figcaption>main error '
            f'types (dAP, count)</figcaption></figure><figure>{special}<figcaption>every false '
            f'positive, every false negative (dAP)</figcaption></figure><table id="error-table">'
            f'<thead><tr><th>error</th><th>dAP</th><th>count</th></tr></thead><tbody>{rows}'
            f'</tbody></table></div></section>')


def _worst(d: dict) -> str:
    images = d["worst_images"]
    thr = d["categories"] and d["category_curves"]["labels"][0]
    parts = [f'<section id="worst"><h2>Worst images</h2><p class="note">The images with the '
             f'most false positives (each weighing its score) and missed ground truths at {esc(thr)}. '
             f'Open one for its verdicts' + ('; "error" is the error type of the breakdown above.'
                                            if "errors" in d else ".") + '</p>']
    for im in images:
        name = im["file_name"] or f'image {im["image_id"]}'
        size = f' {im["width"]}\u00d7{im["height"]}' if im.get("width") else ""
        parts.append(
            f'<details data-image="{im["image_id"]}"><summary><b>{esc(name)}</b> (id '
            f'{im["image_id"]}{size}): {im["false_positives"]} false positives, {im["missed"]} '
            f'missed, weight {im["badness"]:.2f}</summary><div class="cols">'
            f'{_verdicts("detections", "score", "matched ground truth", im["detections"])}'
            f'{_verdicts("ground truths", "area", "matched detection", im["ground_truths"])}'
            f'</div></details>')
    parts.append("</section>")
    return "".join(parts)


def _verdicts(caption: str, measure: str, partner: str, rows: list) -> str:
    """One image's detections (measure "score") or ground truths ("area"),
    a row each with its partner, IoU, verdict and error type."""
    digits = 3 if measure == "score" else 1
    body = "".join(
        f'<tr class="{esc(r["verdict"].replace(" ", "-"))}"><td>{r["id"]}</td>'
        f'<td>{esc(r["category"])}</td>{cell(r[measure], digits)}'
        f'<td>{"" if r["partner"] < 0 else r["partner"]}</td>'
        f'{cell(r["iou"] if r["partner"] >= 0 else None)}<td>{esc(r["verdict"])}</td>'
        f'<td>{esc(r["error"] or "")}</td></tr>' for r in rows)
    head = "".join(f"<th>{h}</th>" for h in ("id", "category", measure, partner, "IoU", "verdict",
                                               "error"))
    return (f'<table><caption>{caption}</caption><thead><tr>{head}</tr></thead>'
            f'<tbody>{body}</tbody></table>')


def _export(d: dict) -> str:
    e = d.get("export") or {}
    items = []
    if "instances" in e:
        items.append(f'<li><code>{esc(e["instances"])}</code>: {e["rows"]:,} rows, one per kept '
                     f'detection and per ground truth (columns in the README)</li>')
    if "confusion_matrix" in e:
        items.append(f'<li><code>{esc(e["confusion_matrix"])}</code>: the full confusion matrix</li>')
    items.append('<li>the numbers of this page: the JSON in the element '
                 '<code>#quillscore-data</code></li>')
    return (f'<section id="export"><h2>Export</h2><p>Beside this page:</p><ul>{"".join(items)}</ul>'
            f'</section>')


CSS = """
body{font:14px/1.45 system-ui,-apple-system,"Segoe UI",Roboto,sans-serif;margin:0;color:#1d2330;background:#f7f8fa}
header{background:#1d2330;color:#fff;padding:10px 24px;position:sticky;top:0;z-index:2}
header h1{font-size:18px;margin:0 0 4px}nav a{color:#cfe0ff;margin-right:14px;text-decoration:none}
main{padding:8px 24px 40px}section{background:#fff;border:1px solid #e2e5ea;border-radius:6px;margin:16px 0;padding:8px 18px 16px}
h2{font-size:17px;margin:8px 0}h3{font-size:14px;margin:12px 0 4px}.note,.meta{color:#5a6270}
.cols{display:flex;flex-wrap:wrap;gap:24px;align-items:flex-start}figure{margin:0}figcaption{color:#5a6270;max-width:640px}
table{border-collapse:collapse;font-variant-numeric:tabular-nums}th,td{padding:3px 8px;border-bottom:1px solid #edf0f3;text-align:left}
td.num{text-align:right}thead th{background:#f0f2f5;position:sticky;top:0}code{font-size:12px}
table.sortable th{cursor:pointer;user-select:none;white-space:nowrap}table.sortable th[aria-sort=ascending]::after{content:" \\25B2"}
table.sortable th[aria-sort=descending]::after{content:" \\25BC"}.scroll{max-height:720px;overflow:auto}
.files{padding-left:18px}.role{color:#5a6270}.spark polyline{fill:none;stroke:#2c7bb6;stroke-width:1.5}.none{color:#9aa1ab;font-size:12px}
svg.chart{background:#fff;font-size:11px}.plot{fill:#fbfcfd;stroke:#c9ced6}.grid{stroke:#e8ebef}.tick{fill:#5a6270}.label{fill:#1d2330;font-size:12px}
.line{fill:none;stroke-width:1.8}.legend{fill:#1d2330}.bar{fill:#2c7bb6}.marker{fill:#d7191c}.frame{fill:none;stroke:#c9ced6}
label.pick{display:block;margin-bottom:4px}details{border-top:1px solid #edf0f3;padding:6px 0}summary{cursor:pointer}caption{text-align:left;font-weight:600;padding:4px 0}
tr.false-positive td,tr.missed td{background:#fdecea}tr.ignored td{color:#9aa1ab}input[type=search]{padding:4px 8px;width:240px}
"""

SCRIPT = """
(function(){
"use strict";
function value(td){var v=td.getAttribute("data-v");if(v===null){v=td.textContent;}
  var n=parseFloat(v);return (v!==""&&isFinite(n)&&String(n)!=="NaN"&&/^[-+0-9.eE]+$/.test(v))?n:v.toLowerCase();}
document.querySelectorAll("table.sortable").forEach(function(table){
  var heads=table.tHead.rows[0].cells;
  Array.prototype.forEach.call(heads,function(th,i){
    function sort(){
      var dir=th.getAttribute("aria-sort")==="descending"?"ascending":"descending";
      Array.prototype.forEach.call(heads,function(h){h.removeAttribute("aria-sort");});
      th.setAttribute("aria-sort",dir);
      var body=table.tBodies[0],rows=Array.prototype.slice.call(body.rows);
      var keyed=rows.map(function(r,k){return [value(r.cells[i]),k,r];});
      keyed.sort(function(a,b){var x=a[0],y=b[0],c;
        if(typeof x===typeof y){c=x<y?-1:x>y?1:0;}else{c=typeof x==="number"?-1:1;}
        if(dir==="descending"){c=-c;}return c||a[1]-b[1];});
      var frag=document.createDocumentFragment();keyed.forEach(function(e){frag.appendChild(e[2]);});
      body.appendChild(frag);}
    th.addEventListener("click",sort);
    th.addEventListener("keydown",function(e){if(e.key==="Enter"){sort();}});
  });
});
var filter=document.getElementById("category-filter"),count=document.getElementById("category-count");
if(filter){filter.addEventListener("input",function(){
  var q=filter.value.trim().toLowerCase(),rows=document.querySelectorAll("#category-table tbody tr"),shown=0;
  rows.forEach(function(r){var hit=!q||r.cells[0].textContent.toLowerCase().indexOf(q)>=0;
    r.hidden=!hit;if(hit){shown++;}});
  count.textContent=shown+" of "+rows.length;});}
var data=JSON.parse(document.getElementById("quillscore-data").textContent);
var select=document.getElementById("category-select"),svg=document.getElementById("pr-category");
function draw(){
  var k=parseInt(select.value,10),cc=data.category_curves,box=svg.getAttribute("data-frame").split(",").map(Number);
  var paths=svg.querySelectorAll("path.line"),rec=cc.rec_thrs,curves=cc.curves[k]||[];
  Array.prototype.forEach.call(paths,function(path,s){var d="",i=0;
    (curves[s]||[]).forEach(function(run){var y=(box[1]+box[3]-run[0]/1000*box[3]).toFixed(1);
      d+=(i?"L":"M")+(box[0]+rec[i]*box[2]).toFixed(1)+" "+y;i+=run[1];
      d+="L"+(box[0]+rec[i-1]*box[2]).toFixed(1)+" "+y;});
    path.setAttribute("d",d);});
}
if(select&&svg){select.addEventListener("change",draw);draw();}
})();
"""
