"""Precision/recall curves of an evaluation, one per IoU threshold."""

from __future__ import annotations

import numpy as np


class PlotUnavailable(RuntimeError):
    """matplotlib is not installed."""


def require_matplotlib(purpose: str):
    """The matplotlib module; PlotUnavailable, naming what needs it, where
    it is not installed."""
    try:
        import matplotlib
    except ImportError as e:
        raise PlotUnavailable(f"{purpose} needs matplotlib; install it with: "
                              "pip install matplotlib") from e
    return matplotlib


def mean_curves(precision: np.ndarray, area_index: int = 0) -> np.ndarray:
    """(T, R): per IoU threshold and recall point, the mean precision over
    the categories that have ground truth, at one area range and the
    largest detection limit; NaN where no category has any."""
    p = precision[:, :, :, area_index, -1]
    valid = p > -1
    total = np.where(valid, p, 0.0).sum(axis=2)
    count = valid.sum(axis=2)
    with np.errstate(invalid="ignore", divide="ignore"):
        return np.where(count > 0, total / np.maximum(count, 1), np.nan)


def plot_pr(precision: np.ndarray, iou_thrs, rec_thrs, out_path: str, title: str) -> None:
    """Write the curves to an image file (its format from the suffix)."""
    require_matplotlib("--plot-pr").use("Agg")
    import matplotlib.pyplot as plt
    curves = mean_curves(precision)
    fig, ax = plt.subplots(figsize=(7, 5))
    for t, thr in enumerate(iou_thrs):
        ap = np.nanmean(curves[t]) if np.isfinite(curves[t]).any() else float("nan")
        ax.plot(rec_thrs, curves[t], label=f"IoU={thr:.2f} (AP {ap:.3f})")
    ax.set_xlabel("recall")
    ax.set_ylabel("precision")
    ax.set_xlim(0, 1)
    ax.set_ylim(0, 1.01)
    ax.set_title(title)
    ax.grid(True, alpha=0.3)
    ax.legend(fontsize="small", loc="upper right")
    fig.tight_layout()
    fig.savefig(out_path)
    plt.close(fig)
