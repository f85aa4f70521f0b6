"""A tutorial-style script of the COCO API: browse a dataset, turn its
annotations into masks, use the mask toolkit, load results and evaluate
them. Run as

    python standin_tutorial.py real|standin DATA_DIR

with the installed pycocotools ("real") or after
quillscore.install_as_pycocotools() ("standin"); it prints one JSON
document of everything it saw, values and types, for the two runs to be
compared."""

from __future__ import annotations

import contextlib
import io
import json
import sys

import numpy as np


def plain(value):
    """Values and their types in JSON: arrays with dtype and shape, NumPy
    scalars with their dtype, bytes apart from str."""
    if isinstance(value, np.ndarray):
        return {"array": value.dtype.str, "shape": list(value.shape), "data": plain(value.tolist())}
    if isinstance(value, np.generic):
        return {"scalar": value.dtype.str, "value": plain(value.item())}
    if isinstance(value, bytes):
        return {"bytes": value.decode("latin-1")}
    if isinstance(value, float):
        return {"float": repr(value)}
    if isinstance(value, dict):
        return {"dict": [[plain(k), plain(v)] for k, v in value.items()]}
    if isinstance(value, (list, tuple)):
        return {type(value).__name__: [plain(v) for v in value]}
    return value


def main(which: str, data_dir: str) -> None:
    if which == "standin":
        import quillscore
        quillscore.install_as_pycocotools()
    import pycocotools.mask as maskUtils
    from pycocotools.coco import COCO
    from pycocotools.cocoeval import COCOeval

    seen: dict = {}

    def note(key, value):
        seen[key] = plain(value)

    quiet = contextlib.redirect_stdout
    ann_file = f"{data_dir}/coco_val2014_100/instances_val2014_100.json"
    with quiet(io.StringIO()):
        coco = COCO(ann_file)
    printed = io.StringIO()
    with quiet(printed):
        coco.info()
    note("info", printed.getvalue())

    # browsing
    cats = coco.loadCats(coco.getCatIds())
    note("category names", [c["name"] for c in cats])
    note("supercategories", sorted({c["supercategory"] for c in cats}))
    cat_ids = coco.getCatIds(catNms=["person", "dog", "skateboard"])
    note("catIds by name", cat_ids)
    note("catIds by supercategory", coco.getCatIds(supNms=["animal", "vehicle"]))
    note("catIds by id", coco.getCatIds(catIds=[1, 3, 999]))
    person = coco.getCatIds(catNms="person")
    note("images with people", coco.getImgIds(catIds=person))
    note("images with all three", coco.getImgIds(catIds=cat_ids))
    note("images given", coco.getImgIds(imgIds=coco.getImgIds()[:7], catIds=person))
    img_ids = sorted(coco.getImgIds(catIds=person))
    img = coco.loadImgs(img_ids[len(img_ids) // 2])[0]
    note("image", img)
    note("images loaded", coco.loadImgs(img_ids[:3]))
    ann_ids = coco.getAnnIds(imgIds=img["id"], catIds=cat_ids, iscrowd=None)
    note("annIds", ann_ids)
    note("annIds of crowds", coco.getAnnIds(iscrowd=1))
    note("annIds not crowds", len(coco.getAnnIds(iscrowd=0)))
    note("annIds by area", coco.getAnnIds(areaRng=[100, 2000]))
    note("annIds of images and categories", coco.getAnnIds(imgIds=img_ids[:5], catIds=[1, 18]))
    anns = coco.loadAnns(ann_ids)
    note("anns", anns)

    # annotations as masks, polygons and crowd RLEs alike
    crowd = coco.loadAnns(coco.getAnnIds(iscrowd=1)[:3])
    for i, ann in enumerate(anns[:4] + crowd):
        m = coco.annToMask(ann)
        note(f"mask {i}", [m.dtype.str, list(m.shape), int(m.sum()), int(np.flatnonzero(m).sum())])
        note(f"rle {i}", coco.annToRLE(ann))

    # the mask toolkit
    h, w = img["height"], img["width"]
    polygons = anns[0]["segmentation"]
    rles = maskUtils.frPyObjects(polygons, h, w)
    note("frPyObjects polygons", rles)
    merged = maskUtils.merge(rles)
    note("merge", merged)
    note("merge intersect", maskUtils.merge(rles, intersect=True))
    note("area one", maskUtils.area(merged))
    note("area list", maskUtils.area(rles))
    note("toBbox one", maskUtils.toBbox(merged))
    note("toBbox list", maskUtils.toBbox(rles))
    note("frPyObjects boxes", maskUtils.frPyObjects(np.array([a["bbox"] for a in anns]), h, w))
    if crowd:
        note("frPyObjects uncompressed", maskUtils.frPyObjects(crowd[0]["segmentation"],
                                                               *crowd[0]["segmentation"]["size"]))
    dense = maskUtils.decode(merged)
    note("decode one", [dense.dtype.str, list(dense.shape), bool(dense.flags.f_contiguous)])
    note("encode 2-D", maskUtils.encode(dense))
    stack = maskUtils.decode(rles)
    note("decode list", [stack.dtype.str, list(stack.shape), int(stack.sum())])
    note("encode 3-D", maskUtils.encode(np.asfortranarray(stack)))
    masks = [coco.annToRLE(a) for a in anns]
    crowd_masks = [coco.annToRLE(a) for a in crowd[:1]]
    note("iou masks", maskUtils.iou(masks, masks[::-1] + crowd_masks,
                                    [0] * len(masks) + [1] * len(crowd_masks)))
    boxes = np.array([a["bbox"] for a in anns], dtype=np.float64)
    note("iou boxes", maskUtils.iou(boxes, boxes[::-1], [0] * len(boxes)))
    note("iou box lists", maskUtils.iou([a["bbox"] for a in anns], [anns[0]["bbox"]], [1]))

    # results and evaluation
    for iou_type in ("bbox", "segm"):
        with quiet(io.StringIO()):
            dt = coco.loadRes(f"{data_dir}/coco_val2014_100/fake_{iou_type}_results.json")
        loaded = dt.loadAnns(dt.getAnnIds(imgIds=img_ids[:4]))
        keys = ("id", "image_id", "category_id", "score", "area", "iscrowd", "bbox")
        # (mask results' area and box are NumPy values in one, plain in the other)
        note(f"{iou_type} results", [{k: np.asarray(a[k]).tolist() for k in keys} for a in loaded])
        E = COCOeval(coco, dt, iou_type)
        E.params.imgIds = img_ids
        with quiet(io.StringIO()):
            E.evaluate()
            E.accumulate()
        printed = io.StringIO()
        with quiet(printed):
            E.summarize()
        note(f"{iou_type} summary", printed.getvalue())
        note(f"{iou_type} stats", E.stats)
        note(f"{iou_type} precision sum", float(E.eval["precision"].sum()))

    # results as an (N, 7) array
    rows = np.array([[a["image_id"], *a["bbox"], 0.0, a["category_id"]]
                     for a in coco.loadAnns(coco.getAnnIds(imgIds=img_ids[:10]))], dtype=np.float64)
    rows[:, 5] = np.linspace(0.9, 0.1, len(rows))
    with quiet(io.StringIO()):
        dt = coco.loadRes(rows)
        E = COCOeval(coco, dt, "bbox")
        E.params.imgIds = img_ids[:10]
        E.evaluate()
        E.accumulate()
        E.summarize()
    note("array results stats", E.stats)

    print(json.dumps({"origin": COCOeval.__module__, "seen": seen}))


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
