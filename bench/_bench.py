"""What the benchmark scripts share: the generated data, timing, memory
figures and fresh worker processes."""

from __future__ import annotations

import gc
import subprocess
import sys
import time
from pathlib import Path

DATA = Path(__file__).resolve().parent / "data"
# The generator's files per IoU type: (ground truth, results).
FILES = {
    "bbox": ("instances.json", "results_bbox.json"),
    "segm": ("instances.json", "results_segm.json"),
    "keypoints": ("person_keypoints.json", "results_keypoints.json"),
}


def ensure_data() -> None:
    """Generate the benchmark files (gen_coco.py) unless they are there."""
    if all((DATA / f).exists() for pair in FILES.values() for f in pair):
        return
    print("generating benchmark data with gen_coco.py ...", flush=True)
    subprocess.run([sys.executable, str(DATA.parent / "gen_coco.py")], check=True)


def type_arguments(doc: str):
    """The arguments of a script timing IoU types on the generated data:
    --types (comma-separated, default bbox,segm) and --repeats (3)."""
    import argparse

    ap = argparse.ArgumentParser(description=doc.splitlines()[0])
    ap.add_argument("--types", default="bbox,segm")
    ap.add_argument("--repeats", type=int, default=3)
    return ap.parse_args()


def best_times(contenders: dict, repeats: int) -> dict:
    """Best wall time of each callable, interleaved run by run."""
    best = {name: float("inf") for name in contenders}
    for _ in range(repeats):
        for name, fn in contenders.items():
            gc.collect()
            t0 = time.perf_counter()
            result = fn()
            dt = time.perf_counter() - t0
            del result
            best[name] = min(best[name], dt)
    gc.collect()
    return best


def rss_kib(field: str) -> int:
    """A memory figure of this process from /proc (VmRSS, VmHWM, ...) in KiB."""
    from pathlib import Path

    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    return 0


def reset_peak() -> None:
    """Restart the resident-set high-water mark (VmHWM) from here."""
    import contextlib
    from pathlib import Path

    with contextlib.suppress(OSError):
        Path("/proc/self/clear_refs").write_text("5")


def in_fresh_process(script: str, *args: str, env: dict | None = None, python: str | None = None):
    """Run `script --worker ARGS...` in a new interpreter (`python`, by
    default this one), away from the checkout (with `env` added to the
    environment), and return the JSON its last line prints; None (after
    showing the error) when it failed."""
    import json
    import os

    proc = subprocess.run([python or sys.executable, script, "--worker", *args],
                          capture_output=True, text=True, cwd="/tmp",
                          env={**os.environ, "PYTHONWARNINGS": "ignore", **(env or {})})
    if proc.returncode != 0:
        print(f"{' '.join(args)} failed:\n{proc.stderr[-2000:]}")
        return None
    return json.loads(proc.stdout.strip().splitlines()[-1])


def report_targets(checks: list) -> int:
    """Print each (label, value, need) target as met or missed; the exit
    status: 0 when all are met."""
    print("\ntargets:")
    met = True
    for label, value, need in checks:
        ok = value >= need
        met &= ok
        print(f"  {'met ' if ok else 'MISS'}  {label}: {value:.2f} (need {need:g})")
    return 0 if met else 1
