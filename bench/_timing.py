"""Timing shared by the benchmark scripts."""

import gc
import time


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
