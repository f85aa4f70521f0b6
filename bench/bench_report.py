"""The report beside the evaluation it is written from, on the generator's
val2017-scale data (gen_coco.py): `quillscore.evaluate()` from the two
files, then `E.report(DIR)` (page, instance table, confusion matrix), best
of --repeats each, with the page's size and the time headless chromium
takes to load and lay it out (where chromium and Playwright are
installed). The budget: at most 2 s beyond the evaluation, a page under
5 MB that renders in under 2 s.

    python bench/bench_report.py [--types bbox,segm] [--repeats 3]
"""

import shutil
import tempfile
import time
from pathlib import Path

from _bench import DATA, FILES, best_times, ensure_data, type_arguments, report_targets

import quillscore


def render_seconds(page: Path, repeats: int):
    """Best time from navigation to the page laid out and painted, or None
    without a browser."""
    try:
        from playwright.sync_api import sync_playwright
    except ImportError:
        return None
    binary = shutil.which("chromium")
    if binary is None:
        return None
    best = float("inf")
    with sync_playwright() as p:
        browser = p.chromium.launch(executable_path=binary, args=["--no-sandbox"])
        for _ in range(repeats):
            tab = browser.new_page(viewport={"width": 1400, "height": 1000})
            start = time.perf_counter()
            tab.goto(page.as_uri(), wait_until="load")
            # Two frames: layout and paint of the loaded page are done.
            tab.evaluate("() => new Promise(r => requestAnimationFrame(() => requestAnimationFrame(r)))")
            best = min(best, time.perf_counter() - start)
            tab.close()
        browser.close()
    return best


def main():
    args = type_arguments(__doc__)
    ensure_data()
    rows, checks = [], []
    with tempfile.TemporaryDirectory() as tmp:
        for iou_type in args.types.split(","):
            gt, dt = (str(DATA / f) for f in FILES[iou_type])
            E = quillscore.evaluate(gt, dt, iou_type)
            out = Path(tmp) / iou_type
            times = best_times({
                "evaluate": lambda: quillscore.evaluate(gt, dt, iou_type),
                "report": lambda: E.report(out),
            }, args.repeats)
            page = out / "index.html"
            size = page.stat().st_size / 2 ** 20
            table = sum(f.stat().st_size for f in out.iterdir() if f.name.startswith("instances."))
            render = render_seconds(page, args.repeats)
            rows.append((iou_type, times["evaluate"], times["report"], size, table / 2 ** 20, render))
            if iou_type == "bbox":
                checks += [("bbox report, 2 s less the seconds beyond evaluation", 2 - times["report"], 0),
                           ("page, 5 MB less its size (MB)", 5 - size * 1.048576, 0)]
                if render is not None:
                    checks.append(("page render, 2 s less its seconds", 2 - render, 0))
    print(f"\n{'type':<6} {'evaluate s':>11} {'report s':>9} {'x evaluate':>11} {'page MiB':>9} "
          f"{'table MiB':>10} {'render s':>9}")
    for t, ev, rep, size, table, render in rows:
        shown = "-" if render is None else f"{render:.2f}"
        print(f"{t:<6} {ev:>11.2f} {rep:>9.2f} {rep / ev:>11.2f} {size:>9.2f} {table:>10.1f} {shown:>9}")
    return report_targets(checks)


if __name__ == "__main__":
    raise SystemExit(main())
