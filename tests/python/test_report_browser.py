"""The report page in a real browser: Debian's chromium, headless, driven by
Playwright. The page is opened from the file system; it must raise no
console error, show its tables and plots, and sort, filter and switch
curves when asked. A screenshot of each page is left in the test's
temporary folder.

Where chromium or Playwright is missing the tests skip, unless
QUILLSCORE_BROWSER_TESTS=required (as `make test` sets it), when they fail."""

from __future__ import annotations

import os
import shutil

import pytest

import quillscore
from test_report import VAL2014, _lvis_files

REQUIRED = os.environ.get("QUILLSCORE_BROWSER_TESTS") == "required"


def _missing(what: str):
    if REQUIRED:
        pytest.fail(f"{what}; the browser tests are required here")
    pytest.skip(what)


@pytest.fixture(scope="module")
def browser():
    try:
        from playwright.sync_api import sync_playwright
    except ImportError:
        _missing("Playwright is not installed (pip install playwright)")
    binary = os.environ.get("QUILLSCORE_CHROMIUM") or shutil.which("chromium")
    if binary is None:
        _missing("chromium is not installed (apt-get install chromium)")
    with sync_playwright() as p:
        b = p.chromium.launch(executable_path=binary, args=["--no-sandbox"], timeout=60_000)
        yield b
        b.close()


def _report(case: str, tmp):
    if case == "val2014 bbox":
        E = quillscore.evaluate(VAL2014 / "instances_val2014_100.json",
                                VAL2014 / "fake_bbox_results.json")
    else:
        E = quillscore.LVISEval(*_lvis_files(tmp), "bbox")
        E.run()
    return E, E.report(tmp / "report")


def _column(page, heading: str) -> list:
    """The data-v values of one column of the category table, top to
    bottom, of the rows on show."""
    return page.evaluate("""(heading) => {
        const table = document.getElementById("category-table");
        const i = [...table.tHead.rows[0].cells].findIndex(c => c.textContent.trim() === heading);
        return [...table.tBodies[0].rows].filter(r => !r.hidden)
            .map(r => r.cells[i].getAttribute("data-v"));
    }""", heading)


def _numbers(values):
    return [float(v) for v in values]


@pytest.mark.parametrize("case", ["val2014 bbox", "lvis 1230 categories"])
def test_page_in_chromium(browser, tmp_path, case):
    E, path = _report(case, tmp_path)
    rows = E.per_category()
    page = browser.new_page(viewport={"width": 1400, "height": 1000})
    messages = []
    page.on("console", lambda m: messages.append(f"{m.type}: {m.text}"))
    page.on("pageerror", lambda e: messages.append(f"pageerror: {e}"))
    page.on("request", lambda r: r.url.startswith("file:") or messages.append(f"request: {r.url}"))
    page.goto(path.as_uri(), wait_until="load", timeout=60_000)
    page.screenshot(path=str(tmp_path / "report.png"), full_page=True)
    assert messages == []  # no errors, no warnings, nothing fetched

    # Tables and plots.
    assert page.locator("#category-table tbody tr").count() == len(rows)
    assert page.locator("#category-table svg.spark").count() == sum(r["AP"] > -1 for r in rows)
    charts = {"#pr-pooled", "#pr-category"}
    charts |= {"#frequency-curves"} if case.startswith("lvis") else \
        {"#f1-curve", "#confusion svg.heatmap", "#errors svg.bars"}
    for selector in charts:
        assert page.locator(selector).count() >= 1, selector
    assert page.locator("#pr-pooled path.line").count() == len(E.axes.iou_thrs)

    # Sorting: by AP, descending then ascending (no ground truth, -1, last
    # then first), equal values kept in category order; by name.
    aps = [r["AP"] for r in rows]
    page.click("#category-table th:text-is('AP')")
    assert _numbers(_column(page, "AP")) == sorted(aps, reverse=True)
    assert _column(page, "id") == [repr(r["category_id"]) for r in
                                   sorted(rows, key=lambda r: -r["AP"])]
    page.click("#category-table th:text-is('AP')")
    assert _numbers(_column(page, "AP")) == sorted(aps)
    page.click("#category-table th:text-is('category')")
    assert _column(page, "category") == sorted((r["name"] for r in rows), key=str.lower, reverse=True)

    # Filtering by name.
    page.fill("#category-filter", "bi")
    shown = _column(page, "category")
    assert shown and all("bi" in name.lower() for name in shown)
    assert len(shown) == sum("bi" in r["name"].lower() for r in rows)
    page.fill("#category-filter", "")
    assert len(_column(page, "category")) == len(rows)

    # Picking a category draws its curves.
    first_with_gt = next(i for i, r in enumerate(rows) if r["AP"] > -1)
    page.select_option("#category-select", str(first_with_gt))
    assert page.locator("#pr-category path.line").first.get_attribute("d").startswith("M")
    page.screenshot(path=str(tmp_path / "report-after.png"), full_page=False)
    assert messages == []
    page.close()
