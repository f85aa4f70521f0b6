"""One run of torchmetrics' MeanAveragePrecision on seeded data, in a
process of its own: with the installed pycocotools ("real") or with
quillscore standing in for it ("standin"). Writes every returned value,
the tm_to_coco files read back through coco_to_tm, and the seconds
compute() took, as a pickle of NumPy arrays.

    python tm_worker.py real|standin bbox|segm|bbox+segm OUT.pkl
"""

from __future__ import annotations

import os
import pickle
import sys
import tempfile
import time

import numpy as np

H, W = 120, 160
CLASSES = 5


def _ellipse(box) -> np.ndarray:
    """A filled ellipse inscribed in an (x0, y0, x1, y1) box."""
    x0, y0, x1, y1 = box
    yy, xx = np.mgrid[0:H, 0:W]
    cx, cy = (x0 + x1) / 2, (y0 + y1) / 2
    rx, ry = max((x1 - x0) / 2, 0.5), max((y1 - y0) / 2, 0.5)
    return ((xx + 0.5 - cx) / rx) ** 2 + ((yy + 0.5 - cy) / ry) ** 2 <= 1


def _box(rng, scale: float):
    """Sides from a few pixels (small) to most of the image (large)."""
    w = min(W - 1, max(2.0, scale * rng.uniform(0.6, 1.4)))
    h = min(H - 1, max(2.0, scale * rng.uniform(0.6, 1.4)))
    x, y = rng.uniform(0, W - w), rng.uniform(0, H - h)
    return [round(x, 1), round(y, 1), round(x + w, 1), round(y + h, 1)]


def _jitter(rng, box, amount: float):
    x0, y0, x1, y1 = box
    w, h = x1 - x0, y1 - y0
    dx, dy = rng.normal(0, amount * w), rng.normal(0, amount * h)
    sx, sy = np.exp(rng.normal(0, amount)), np.exp(rng.normal(0, amount))
    nx0, ny0 = np.clip(x0 + dx, 0, W - 2), np.clip(y0 + dy, 0, H - 2)
    nx1, ny1 = min(W, nx0 + max(1.5, w * sx)), min(H, ny0 + max(1.5, h * sy))
    return [round(float(v), 1) for v in (nx0, ny0, nx1, ny1)]


def make_inputs(seed: int = 20240613, images: int = 300):
    """Per image: ground truths of several classes and sizes, a tenth of
    them crowds, some images without any; detections that find most
    objects (some with the wrong class), false positives, scores on a
    coarse grid so that ties occur, and a few images with more detections
    than the largest limit."""
    import torch

    rng = np.random.default_rng(seed)
    preds, target = [], []
    for i in range(images):
        n_gt = 0 if i % 17 == 0 else int(rng.integers(1, 9))
        gt_boxes = [_box(rng, float(rng.choice([6, 20, 45, 110]))) for _ in range(n_gt)]
        gt_labels = rng.integers(0, CLASSES, n_gt)
        crowd = (rng.random(n_gt) < 0.1).astype(np.int64)
        dt_boxes, dt_labels = [], []
        for b, lab in zip(gt_boxes, gt_labels):
            for _ in range(int(rng.integers(0, 3))):
                dt_boxes.append(_jitter(rng, b, 0.15))
                dt_labels.append(int(lab) if rng.random() < 0.85 else int(rng.integers(0, CLASSES)))
        extra = 120 if i % 97 == 5 else int(rng.integers(0, 4))
        for _ in range(extra):
            dt_boxes.append(_box(rng, float(rng.choice([6, 20, 45]))))
            dt_labels.append(int(rng.integers(0, CLASSES)))
        n_dt = len(dt_boxes)
        scores = np.round(rng.uniform(0.05, 1.0, n_dt), 2)
        gt_masks = np.stack([_ellipse(b) for b in gt_boxes]) if n_gt else np.zeros((0, H, W), bool)
        dt_masks = np.stack([_ellipse(b) for b in dt_boxes]) if n_dt else np.zeros((0, H, W), bool)
        target.append({
            "boxes": torch.tensor(np.asarray(gt_boxes, np.float32).reshape(-1, 4)),
            "labels": torch.tensor(gt_labels, dtype=torch.int64),
            "iscrowd": torch.tensor(crowd),
            "masks": torch.tensor(gt_masks),
        })
        preds.append({
            "boxes": torch.tensor(np.asarray(dt_boxes, np.float32).reshape(-1, 4)),
            "scores": torch.tensor(scores, dtype=torch.float32),
            "labels": torch.tensor(dt_labels, dtype=torch.int64),
            "masks": torch.tensor(dt_masks),
        })
    return preds, target


def to_numpy(value):
    """Tensors as arrays (keeping their dtype's name), dicts and lists
    element by element."""
    import torch

    if isinstance(value, torch.Tensor):
        return ("tensor", str(value.dtype), value.detach().cpu().numpy())
    if isinstance(value, dict):
        return {k: to_numpy(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return type(value)(to_numpy(v) for v in value)
    return value


def main(which: str, iou_types: str, out: str) -> None:
    iou_type = tuple(iou_types.split("+")) if "+" in iou_types else iou_types
    if which == "standin":
        import quillscore
        quillscore.install_as_pycocotools()
    import pycocotools.cocoeval
    from torchmetrics.detection import MeanAveragePrecision

    origin = pycocotools.cocoeval.COCOeval.__module__
    preds, target = make_inputs()
    metric = MeanAveragePrecision(iou_type=iou_type, class_metrics=True, extended_summary=True,
                                  backend="pycocotools")
    metric.warn_on_many_detections = False  # some images have more on purpose
    metric.update(preds, target)
    start = time.perf_counter()
    result = metric.compute()
    seconds = time.perf_counter() - start

    # The round trip through files covers the images with ground truth:
    # for masks, tm_to_coco leaves the others out of the dataset file but
    # not their detections out of the results file, which loadRes refuses.
    kept = [i for i, t in enumerate(target) if len(t["labels"])]
    files = MeanAveragePrecision(iou_type=iou_type, backend="pycocotools")
    files.warn_on_many_detections = False
    files.update([preds[i] for i in kept], [target[i] for i in kept])
    with tempfile.TemporaryDirectory() as tmp:
        name = os.path.join(tmp, "tm")
        files.tm_to_coco(name)
        back_preds, back_target = files.coco_to_tm(
            f"{name}_preds.json", f"{name}_target.json", iou_type=iou_type, backend="pycocotools")

    with open(out, "wb") as f:
        pickle.dump({"origin": origin, "seconds": seconds, "result": to_numpy(result),
                     "coco_to_tm": to_numpy([back_preds, back_target])}, f)


if __name__ == "__main__":
    main(*sys.argv[1:4])
