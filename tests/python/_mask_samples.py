"""Seeded generators of masks, boxes and polygons shaped like COCO data."""

from __future__ import annotations

import numpy as np

IMG_H, IMG_W = 480, 640


def blob_masks(rng: np.random.Generator, h: int, w: int, n: int) -> np.ndarray:
    """(h, w, n) uint8 masks of a few filled ellipses each, like object masks."""
    yy, xx = np.mgrid[0:h, 0:w]
    out = np.zeros((h, w, n), dtype=np.uint8, order="F")
    for i in range(n):
        for _ in range(rng.integers(1, 4)):
            cy, cx = rng.uniform(-0.1, 1.1) * h, rng.uniform(-0.1, 1.1) * w
            ry, rx = rng.uniform(1, max(2, h / 3)), rng.uniform(1, max(2, w / 3))
            out[:, :, i] |= (((yy - cy) / ry) ** 2 + ((xx - cx) / rx) ** 2 <= 1).astype(np.uint8)
    return out


def noise_masks(rng: np.random.Generator, h: int, w: int, n: int, density: float) -> np.ndarray:
    return np.asfortranarray((rng.random((h, w, n)) < density).astype(np.uint8))


def special_masks(h: int, w: int) -> np.ndarray:
    """Empty, full, first pixel only, last pixel only, first column, last row,
    checkerboard: the masks whose runs start or end at the image's corners."""
    masks = []
    masks.append(np.zeros((h, w), np.uint8))
    masks.append(np.ones((h, w), np.uint8))
    m = np.zeros((h, w), np.uint8)
    m[0, 0] = 1
    masks.append(m)
    m = np.zeros((h, w), np.uint8)
    m[-1, -1] = 1
    masks.append(m)
    m = np.zeros((h, w), np.uint8)
    m[:, 0] = 1
    masks.append(m)
    m = np.zeros((h, w), np.uint8)
    m[-1, :] = 1
    masks.append(m)
    masks.append((np.add.outer(np.arange(h), np.arange(w)) % 2).astype(np.uint8))
    return np.asfortranarray(np.stack(masks, axis=2))


def coco_polygon(rng: np.random.Generator, h: int = IMG_H, w: int = IMG_W,
                 decimals: int | None = 2) -> list[float]:
    """A star-shaped outline of 20-60 vertices, mostly inside the image,
    with coordinates rounded like COCO's (two decimals) unless decimals=None."""
    k = int(rng.integers(20, 61))
    cx, cy = rng.uniform(0, w), rng.uniform(0, h)
    radius = rng.uniform(3, min(h, w) / 2)
    angles = np.sort(rng.uniform(0, 2 * np.pi, k))
    radii = radius * rng.uniform(0.4, 1.0, k)
    xs = np.clip(cx + radii * np.cos(angles), 0, w)
    ys = np.clip(cy + radii * np.sin(angles), 0, h)
    pts = np.column_stack([xs, ys]).reshape(-1)
    if decimals is not None:
        pts = np.round(pts, decimals)
    return pts.tolist()


def degenerate_polygons(rng: np.random.Generator) -> list[list[float]]:
    """Shapes a rasteriser has to survive: too few vertices, repeated
    vertices, collinear and zero-area outlines, odd lengths."""
    polys = [
        [],
        [5.0],
        [5.0, 7.0],
        [5.0, 7.0, 5.0],
        [1.0, 1.0, 30.0, 20.0],
        [1.0, 1.0, 30.0, 20.0, 12.0],
        [3.0, 3.0, 3.0, 3.0, 3.0, 3.0],
        [3.0, 3.0, 3.0, 3.0, 40.0, 3.0, 40.0, 3.0, 40.0, 30.0],
        [0.0, 0.0, 10.0, 10.0, 20.0, 20.0, 30.0, 30.0],
        [5.0, 10.0, 50.0, 10.0, 100.0, 10.0],
        [10.0, 5.0, 10.0, 50.0, 10.0, 100.0],
        [10.0, 10.0, 60.0, 60.0, 10.0, 60.0, 60.0, 10.0],  # bow tie
        [7.5, 7.5, 7.5, 42.5, 42.5, 42.5, 42.5, 7.5],  # edges on pixel centres' grid
        [2.2, 2.2, 2.4, 2.2, 2.4, 2.4],  # smaller than a pixel
    ]
    for _ in range(6):
        base = np.round(rng.uniform(0, 60, 2 * int(rng.integers(3, 8))), 1).tolist()
        repeats = rng.integers(1, 4, len(base) // 2)
        poly = []
        for j, r in enumerate(repeats):
            poly += base[2 * j:2 * j + 2] * int(r)
        polys.append(poly)
    return polys


def shifted_polygons(rng: np.random.Generator, h: int = IMG_H, w: int = IMG_W) -> list[list[float]]:
    """COCO-like outlines moved partly or wholly out of the image, to negative
    coordinates, and with unrounded coordinates."""
    polys = []
    for dx, dy in [(-w / 2, 0), (w / 2, 0), (0, -h / 2), (0, h / 2), (-w, 0), (w + 10, 0),
                   (0, -h - 10), (0, h + 10), (-w * 1.5, -h * 1.5), (w * 0.75, h * 0.75)]:
        p = np.array(coco_polygon(rng, h, w, decimals=None))
        p[0::2] += dx
        p[1::2] += dy
        polys.append(p.tolist())
    for _ in range(6):
        polys.append(rng.uniform(-100, 100, 2 * int(rng.integers(3, 12))).tolist())
        polys.append(rng.uniform(-0.9, 0.9, 2 * int(rng.integers(3, 6))).tolist())
    return polys


def random_boxes(rng: np.random.Generator, n: int, h: int = IMG_H, w: int = IMG_W) -> np.ndarray:
    """[x, y, w, h] boxes, float64, including some sub-pixel, zero-sized and
    out-of-image ones."""
    x = rng.uniform(-50, w, n)
    y = rng.uniform(-50, h, n)
    bw = rng.uniform(0, w / 2, n)
    bh = rng.uniform(0, h / 2, n)
    boxes = np.column_stack([x, y, bw, bh])
    k = n // 5
    boxes[:k] = np.round(boxes[:k])  # integral corners, as detectors often emit
    if n >= 8:
        boxes[k] = [10, 10, 0, 20]
        boxes[k + 1] = [10, 10, 0.3, 0.3]
        boxes[k + 2] = [w - 5, h - 5, 50, 50]
    return boxes
