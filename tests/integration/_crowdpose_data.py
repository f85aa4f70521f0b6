"""Seeded CrowdPose-like data for comparing with the benchmark's own tool:
14-point people on images whose crowdIndex sits on and beside the level
bounds, with the cases its rules single out."""

from __future__ import annotations

import numpy as np

POINTS = 14
# On, just below and just above both bounds (0.2 and 0.8), and the ends.
CROWD_INDEXES = [0.0, 0.1, 0.19999999, 0.2, 0.2000001, 0.5, 0.79999999, 0.8, 0.8000001, 1.0]


def _person(rng, image_id: int, ann_id: int, category: int, with_area: bool):
    """A ground-truth person and the true joint positions behind it."""
    x, y = float(rng.integers(0, 600)), float(rng.integers(0, 400))
    w = float(np.round(rng.uniform(10, 200), 2))
    h = float(np.round(rng.uniform(20, 300), 2))
    px, py = x + rng.uniform(0, w, POINTS), y + rng.uniform(0, h, POINTS)
    vis = rng.choice([0, 1, 2], POINTS, p=[0.2, 0.3, 0.5])
    kind = rng.random()
    claimed = None
    if kind < 0.08:
        vis[vis == 2] = 1           # labelled, but occluded only: not counted
    elif kind < 0.13:
        vis[:] = 0                  # nothing labelled
    elif kind < 0.17:
        claimed = max(int((vis == 2).sum()), 1)
        vis[:] = 0                  # counted, yet no joint labelled: box distance
    flat = []
    for i in range(POINTS):
        flat += [int(px[i]) if vis[i] else 0, int(py[i]) if vis[i] else 0, int(vis[i])]
    ann = {"id": ann_id, "image_id": image_id, "category_id": category, "keypoints": flat,
           "num_keypoints": int((vis == 2).sum()) if claimed is None else claimed,
           "bbox": [x, y, w, h], "iscrowd": int(rng.random() < 0.06)}
    if with_area:
        ann["area"] = float(np.round(w * h * rng.uniform(0.3, 1.0), 3))
    return ann, px, py


def _result(image_id: int, category: int, xs, ys, conf, score: float) -> dict:
    points = np.stack([xs, ys, conf], axis=1).ravel()
    return {"image_id": image_id, "category_id": category,
            "keypoints": [float(v) for v in points], "score": score}


def crowdpose_like(seed: int, *, images: int = 40, categories=(1,), with_area: bool = False,
                   no_hard: bool = False) -> tuple[dict, list]:
    """(dataset, results). Results: jittered copies of people (some with
    every confidence 0), background guesses, now and then more than 20 on an
    image, and scores that tie within and across images. A second category
    appears only on calm images, so that some level lacks it."""
    rng = np.random.default_rng(seed)
    dataset = {"images": [], "annotations": [],
               "categories": [{"id": c, "name": f"person{c}", "supercategory": "person"}
                              for c in categories]}
    results = []
    for n in range(1, images + 1):
        image_id = 7 * n
        ci = float(rng.choice(CROWD_INDEXES)) if rng.random() < 0.6 else float(np.round(rng.random(), 2))
        if no_hard and ci >= 0.8:
            ci = 0.5
        dataset["images"].append({"id": image_id, "file_name": f"{n}.jpg", "height": 600,
                                  "width": 800, "crowdIndex": ci})
        for _ in range(int(rng.integers(0, 7))):
            category = int(rng.choice(categories)) if ci < 0.5 else categories[0]
            ann, px, py = _person(rng, image_id, 1000 + len(dataset["annotations"]), category,
                                  with_area)
            dataset["annotations"].append(ann)
            for _ in range(int(rng.integers(0, 3))):
                noise = rng.normal(0, rng.choice([2, 8, 25]), (POINTS, 2))
                conf = rng.uniform(0.05, 1.0, POINTS)
                if rng.random() < 0.07:
                    conf[:] = 0.0
                score = float(rng.choice([0.5, 0.75, 1.25, rng.uniform(0, 2)]))
                results.append(_result(image_id, category, px + noise[:, 0], py + noise[:, 1],
                                       conf, score))
        for _ in range(int(rng.integers(0, 3)) + (25 if rng.random() < 0.1 else 0)):
            results.append(_result(image_id, int(rng.choice(categories)),
                                   rng.uniform(0, 800, POINTS), rng.uniform(0, 600, POINTS),
                                   rng.uniform(0, 1, POINTS),
                                   float(rng.choice([0.5, rng.uniform(0, 2)]))))
    order = rng.permutation(len(results))
    return dataset, [results[i] for i in order]


def moved_sample(dataset: dict, results: list, seed: int = 99) -> tuple[dict, list]:
    """The shared sample with its images put on and beside the level bounds
    and its results jittered and rescored."""
    rng = np.random.default_rng(seed)
    dataset = {**dataset, "images": [dict(im) for im in dataset["images"]]}
    for im, ci in zip(dataset["images"], [0.2, 0.19999, 0.8, 0.79999]):
        im["crowdIndex"] = ci
    moved = []
    for r in results:
        kp = np.asarray(r["keypoints"], dtype=np.float64).reshape(-1, 3)
        kp[:, :2] += rng.normal(0, 6, (len(kp), 2))
        moved.append({**r, "keypoints": [float(v) for v in kp.ravel()],
                      "score": float(r["score"] * rng.uniform(0.8, 1.2))})
    return dataset, moved
