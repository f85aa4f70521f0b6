"""Malformed input given to the COCO API's names. Run as

    python standin_bad_inputs.py real|standin DATA_DIR

"real" runs every case through the installed pycocotools; "standin" runs
it through the `pycocotools` names after quillscore.install_as_pycocotools()
and through quillscore's own names. Prints {case: [[exception type,
message and notes], ...]} as JSON, one pair per way."""

from __future__ import annotations

import contextlib
import io
import json
import sys
from types import SimpleNamespace

import numpy as np

BOX = [10.0, 10.0, 20.0, 20.0]


def _dataset():
    return {"images": [{"id": 1, "height": 50, "width": 60}],
            "categories": [{"id": 1, "name": "thing"}],
            "annotations": [{"id": 1, "image_id": 1, "category_id": 1, "bbox": BOX, "area": 400.0,
                             "iscrowd": 0, "segmentation": [[10, 10, 30, 10, 30, 30, 10, 30]]}]}


def _gt(api):
    gt = api.COCO()
    gt.dataset = _dataset()
    gt.createIndex()
    return gt


def _evaluate(api, results, iou_type="bbox", **params):
    gt = _gt(api)
    E = api.COCOeval(gt, gt.loadRes(results), iou_type)
    for key, value in params.items():
        setattr(E.params, key, value)
    E.evaluate()
    E.accumulate()
    return E


def _result(**extra):
    r = {"image_id": 1, "category_id": 1, "bbox": list(BOX), "score": 0.9}
    r.update(extra)
    return r


CASES = {
    "missing file": lambda api: api.COCO("/nonexistent/instances.json"),
    "results naming an unknown image": lambda api: _gt(api).loadRes([_result(image_id=7)]),
    "a result without a score": lambda api: _evaluate(api, [{"image_id": 1, "category_id": 1,
                                                             "bbox": list(BOX)}]),
    "results as an (N, 6) array": lambda api: _gt(api).loadRes(np.ones((2, 6))),
    "an unknown IoU type": lambda api: api.COCOeval(_gt(api), _gt(api), "outline"),
    "a box that is not four numbers": lambda api: _evaluate(api, [_result(bbox=[1, 2, "x", 4])]),
    "a mask result of the wrong kind": lambda api: _evaluate(
        api, [_result(segmentation=5, bbox=[])], "segm"),
    "an RLE without counts": lambda api: api.mask.area({"size": [4, 4]}),
    "polygons of another image size": lambda api: api.mask.frPyObjects([[1.0, 2.0, 3.0, 4.0, 5.0, 6.0]],
                                                                       10, -3),
    "evaluating one image on a bad range": lambda api: _evaluate(api, [_result()]).evaluateImg(
        1, 1, "all", 100),
    "IoU of a string": lambda api: api.mask.iou("boxes", [BOX], [0]),
    "encode a float mask": lambda api: api.mask.encode(np.zeros((3, 3, 1), np.float64, order="F")),
}


def _outcome(case, api):
    try:
        with contextlib.redirect_stdout(io.StringIO()):
            CASES[case](api)
    except Exception as e:  # noqa: BLE001 - the type is what is reported
        return [type(e).__name__, "\n".join([str(e), *getattr(e, "__notes__", [])])]
    return ["no error", ""]


def main(which: str) -> None:
    ways = []
    if which == "standin":
        import quillscore
        quillscore.install_as_pycocotools()
        ways.append(SimpleNamespace(COCO=quillscore.COCO, COCOeval=quillscore.COCOeval,
                                    mask=quillscore.mask))
    import pycocotools.mask
    from pycocotools.coco import COCO
    from pycocotools.cocoeval import COCOeval
    ways.insert(0, SimpleNamespace(COCO=COCO, COCOeval=COCOeval, mask=pycocotools.mask))
    print(json.dumps({case: [_outcome(case, api) for api in ways] for case in CASES}))


if __name__ == "__main__":
    main(sys.argv[1])
