"""Seeded generator of COCO val2017-scale evaluation data for the benchmarks.

Writes, into a folder (default bench/data, git-ignored):
  instances.json          ~5,000 images, ~37,000 ground truths with polygons,
                          about 1% crowd regions as uncompressed RLE
  results_bbox.json       ~95 box detections per image
  results_segm.json       the same detections as compressed RLE masks
  person_keypoints.json   person ground truths with 17 keypoints
  results_keypoints.json  keypoint detections

Detections are perturbed ground truths plus background clutter, with scores
that favour the good ones, so every stage of the protocol has real work.

With --objects365, an Objects365-scale box set instead (default folder
bench/data-o365): instances.json with 80,000 images, 365 categories and
about 1.2M ground-truth boxes, and results_bbox.json with about 8M box
results, generated image by image with NumPy and written row by row.
"""

import argparse
import json
import math
from pathlib import Path

import numpy as np

from quillscore import _vireo as mask

N_CATS = 80
CAT_IDS = [c for c in range(1, 91) if c not in {12, 26, 29, 30, 45, 66, 68, 69, 71, 83}][:N_CATS]


def polygon(rng, cx, cy, rx, ry):
    """A star-ish closed outline of 20 to 60 vertices."""
    k = int(rng.integers(20, 61))
    ang = np.sort(rng.uniform(0, 2 * math.pi, k))
    rad = rng.uniform(0.6, 1.0, k)
    xs = cx + rx * rad * np.cos(ang)
    ys = cy + ry * rad * np.sin(ang)
    return np.round(np.stack([xs, ys], 1).ravel(), 2)


def bbox_of(poly):
    xs, ys = poly[0::2], poly[1::2]
    return [float(xs.min()), float(ys.min()), float(xs.max() - xs.min()), float(ys.max() - ys.min())]


def object_size(rng, w, h):
    # Roughly COCO's mix of small, medium and large objects.
    side = math.exp(rng.normal(3.9, 1.0))
    side = min(max(side, 4.0), 0.9 * min(w, h))
    aspect = math.exp(rng.normal(0, 0.4))
    return (min(side * math.sqrt(aspect) / 2, 0.45 * w),
            min(side / math.sqrt(aspect) / 2, 0.45 * h))


def make_instances(rng, n_images, per_image):
    images, anns = [], []
    for i in range(n_images):
        w, h = (640, 480) if rng.random() < 0.6 else (480, 640)
        img_id = 100000 + i * 7
        images.append({"id": img_id, "width": w, "height": h, "file_name": f"{img_id:012d}.jpg"})
        for _ in range(int(rng.poisson(per_image))):
            rx, ry = object_size(rng, w, h)
            cx, cy = rng.uniform(rx, w - rx), rng.uniform(ry, h - ry)
            poly = polygon(rng, cx, cy, rx, ry)
            ann = {"id": len(anns) + 1, "image_id": img_id,
                   "category_id": int(CAT_IDS[min(int(rng.exponential(12)), N_CATS - 1)]),
                   "bbox": bbox_of(poly), "iscrowd": 0}
            if rng.random() < 0.01:
                rle = mask.merge(mask.frPyObjects([poly.tolist()], h, w))
                dense = mask.decode([rle])[:, :, 0]
                flat = dense.ravel(order="F")
                change = np.flatnonzero(np.diff(flat)) + 1
                bounds = np.concatenate([[0], change, [flat.size]])
                runs = np.diff(bounds).tolist()
                if flat[0] == 1:
                    runs = [0] + runs
                ann["segmentation"] = {"size": [h, w], "counts": runs}
                ann["iscrowd"] = 1
                ann["area"] = float(flat.sum())
            else:
                ann["segmentation"] = [poly.tolist()]
                ann["area"] = float(mask.area(mask.frPyObjects([poly.tolist()], h, w))[0])
            anns.append(ann)
    cats = [{"id": c, "name": f"cat{c}", "supercategory": "thing"} for c in CAT_IDS]
    return {"images": images, "annotations": anns, "categories": cats}


def make_detections(rng, data, per_image):
    """Boxes and masks of perturbed ground truths plus clutter."""
    sizes = {im["id"]: (im["height"], im["width"]) for im in data["images"]}
    by_image = {}
    for a in data["annotations"]:
        by_image.setdefault(a["image_id"], []).append(a)
    boxes, polys = [], []
    for img_id, (h, w) in sizes.items():
        gts = by_image.get(img_id, [])
        n = int(rng.poisson(per_image))
        for j in range(n):
            if gts and j < 3 * len(gts) and rng.random() < 0.5:
                g = gts[int(rng.integers(len(gts)))]
                x, y, bw, bh = g["bbox"]
                jitter = rng.normal(0, 0.12, 4) * [bw, bh, bw, bh]
                cx, cy = x + bw / 2 + jitter[0], y + bh / 2 + jitter[1]
                rx, ry = max(bw / 2 + jitter[2], 1.0), max(bh / 2 + jitter[3], 1.0)
                cat = g["category_id"] if rng.random() < 0.9 else int(rng.choice(CAT_IDS))
                score = float(np.clip(rng.normal(0.7, 0.2), 0.001, 1))
            else:
                rx, ry = object_size(rng, w, h)
                cx, cy = rng.uniform(0, w), rng.uniform(0, h)
                cat = int(CAT_IDS[min(int(rng.exponential(12)), N_CATS - 1)])
                score = float(np.clip(rng.exponential(0.15), 0.001, 1))
            poly = polygon(rng, cx, cy, rx, ry)
            poly[0::2] = np.clip(poly[0::2], 0, w)
            poly[1::2] = np.clip(poly[1::2], 0, h)
            bb = bbox_of(poly)
            score = round(score, 5)
            boxes.append({"image_id": img_id, "category_id": cat, "bbox": [round(v, 2) for v in bb],
                          "score": score})
            polys.append((img_id, cat, poly.tolist(), h, w, score))
    segms = []
    for img_id, cat, poly, h, w, score in polys:
        rle = mask.frPyObjects([poly], h, w)[0]
        segms.append({"image_id": img_id, "category_id": cat, "score": score,
                      "segmentation": {"size": rle["size"], "counts": rle["counts"].decode()}})
    return boxes, segms


def make_keypoints(rng, data):
    """Person ground truths with keypoints on the same images, and detections."""
    sigmas = np.array([.26, .25, .25, .35, .35, .79, .79, .72, .72, .62, .62,
                       1.07, 1.07, .87, .87, .89, .89]) / 10.0
    images = [im for im in data["images"] if rng.random() < 0.55]
    anns, dets = [], []
    for im in images:
        w, h = im["width"], im["height"]
        for _ in range(int(rng.poisson(2.2))):
            bw, bh = rng.uniform(20, w / 2), rng.uniform(40, h / 1.2)
            x, y = rng.uniform(0, w - bw), rng.uniform(0, h - bh)
            pts = np.stack([rng.uniform(x, x + bw, 17), rng.uniform(y, y + bh, 17)], 1)
            vis = (rng.random(17) < 0.7).astype(int) * 2
            if rng.random() < 0.15:
                vis[:] = 0
            kp = np.concatenate([pts, vis[:, None]], 1)
            kp[vis == 0, :2] = 0
            anns.append({"id": len(anns) + 1, "image_id": im["id"], "category_id": 1,
                         "bbox": [x, y, bw, bh], "area": float(bw * bh * 0.6), "iscrowd": 0,
                         "num_keypoints": int((vis > 0).sum()),
                         "keypoints": kp.ravel().round(2).tolist()})
            for _ in range(int(rng.integers(1, 5))):
                noise = rng.normal(0, np.sqrt(bw * bh) * sigmas * rng.uniform(0.5, 4), (2, 17)).T
                dp = np.concatenate([pts + noise, np.ones((17, 1))], 1)
                dets.append({"image_id": im["id"], "category_id": 1,
                             "keypoints": dp.ravel().round(2).tolist(),
                             "score": round(float(rng.uniform(0.05, 1)), 5)})
    gt = {"images": images, "annotations": anns,
          "categories": [{"id": 1, "name": "person", "supercategory": "person",
                          "keypoints": [f"k{i}" for i in range(17)], "skeleton": []}]}
    return gt, dets


O365_CATS = 365


def write_objects365(rng, out: Path, n_images: int) -> None:
    """Boxes only, at Objects365's scale: ~15 ground truths and ~100 results
    per image, categories long-tailed, 1% crowd regions."""
    gt_rows, dt_rows, images = [], [], []
    n_gt = n_dt = 0
    for i in range(n_images):
        w, h = (640, 480) if rng.random() < 0.6 else (480, 640)
        img_id = 1 + i * 3
        images.append(f'{{"id":{img_id},"width":{w},"height":{h},"file_name":"{img_id:012d}.jpg"}}')
        g = int(rng.poisson(15))
        side = np.clip(np.exp(rng.normal(3.9, 1.0, g)), 4.0, 0.9 * min(w, h))
        aspect = np.exp(rng.normal(0, 0.4, g))
        bw, bh = np.minimum(side * np.sqrt(aspect), 0.9 * w), np.minimum(side / np.sqrt(aspect), 0.9 * h)
        x, y = rng.uniform(0, w - bw), rng.uniform(0, h - bh)
        cats = np.minimum(rng.exponential(60, g).astype(int), O365_CATS - 1) + 1
        crowd = rng.random(g) < 0.01
        for k in range(g):
            n_gt += 1
            gt_rows.append(f'{{"id":{n_gt},"image_id":{img_id},"category_id":{cats[k]},'
                           f'"bbox":[{x[k]:.2f},{y[k]:.2f},{bw[k]:.2f},{bh[k]:.2f}],'
                           f'"area":{bw[k] * bh[k]:.2f},"iscrowd":{int(crowd[k])}}}')
        d = int(rng.poisson(100))
        hit = min(int(rng.binomial(d, 0.5)), 3 * g)
        pick = rng.integers(0, max(g, 1), hit)
        jit = rng.normal(0, 0.12, (hit, 4)) * np.c_[bw[pick], bh[pick], bw[pick], bh[pick]] if g else np.zeros((0, 4))
        hb = np.c_[x[pick] + jit[:, 0], y[pick] + jit[:, 1], np.maximum(bw[pick] + jit[:, 2], 1),
                   np.maximum(bh[pick] + jit[:, 3], 1)] if g else np.zeros((0, 4))
        hc = np.where(rng.random(hit) < 0.9, cats[pick] if g else 0, rng.integers(1, O365_CATS + 1, hit))
        hs = np.clip(rng.normal(0.7, 0.2, hit), 0.001, 1)
        c = d - hit
        cs = np.clip(np.exp(rng.normal(3.9, 1.0, c)), 4.0, 0.9 * min(w, h))
        cb = np.c_[rng.uniform(0, w, c), rng.uniform(0, h, c), cs, cs * np.exp(rng.normal(0, 0.4, c))]
        cc = np.minimum(rng.exponential(60, c).astype(int), O365_CATS - 1) + 1
        ss = np.clip(rng.exponential(0.15, c), 0.001, 1)
        for b, cat, score in zip(np.r_[hb, cb], np.r_[hc, cc], np.r_[hs, ss]):
            dt_rows.append(f'{{"image_id":{img_id},"category_id":{cat},'
                           f'"bbox":[{b[0]:.2f},{b[1]:.2f},{b[2]:.2f},{b[3]:.2f}],"score":{score:.5f}}}')
        n_dt += d
    cats = ",".join(f'{{"id":{c},"name":"o365_{c}","supercategory":"thing"}}'
                    for c in range(1, O365_CATS + 1))
    (out / "instances.json").write_text(
        f'{{"images":[{",".join(images)}],"annotations":[{",".join(gt_rows)}],"categories":[{cats}]}}')
    del gt_rows
    with open(out / "results_bbox.json", "w") as f:
        f.write("[")
        for start in range(0, len(dt_rows), 100_000):
            f.write(("," if start else "") + ",".join(dt_rows[start:start + 100_000]))
        f.write("]")
    print(f"{n_images} images, {n_gt} ground truths, {n_dt} box results -> {out}")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--out", default=None)
    ap.add_argument("--images", type=int, default=None)
    ap.add_argument("--seed", type=int, default=2017)
    ap.add_argument("--objects365", action="store_true",
                    help="an Objects365-scale box set (80,000 images by default)")
    args = ap.parse_args()
    rng = np.random.default_rng(args.seed)
    default_out = "data-o365" if args.objects365 else "data"
    out = Path(args.out or Path(__file__).parent / default_out)
    out.mkdir(parents=True, exist_ok=True)
    if args.objects365:
        write_objects365(rng, out, args.images or 80_000)
        return
    args.images = args.images or 5000
    data = make_instances(rng, args.images, 7.4)
    boxes, segms = make_detections(rng, data, 95)
    kp_gt, kp_dt = make_keypoints(rng, data)
    for name, obj in [("instances.json", data), ("results_bbox.json", boxes),
                      ("results_segm.json", segms), ("person_keypoints.json", kp_gt),
                      ("results_keypoints.json", kp_dt)]:
        (out / name).write_text(json.dumps(obj))
    print(f"{len(data['images'])} images, {len(data['annotations'])} ground truths, "
          f"{len(boxes)} detections, {len(kp_gt['annotations'])} person ground truths, "
          f"{len(kp_dt)} keypoint detections -> {out}")


if __name__ == "__main__":
    main()
