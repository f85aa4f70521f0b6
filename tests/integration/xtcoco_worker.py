"""The CrowdPose benchmark's evaluation (xtcocotools' "keypoints_crowd"),
run as a black box in an interpreter of its own (it needs NumPy < 2).
Prints its stats and overall precision and recall arrays as JSON (floats
written exactly).

    python xtcoco_worker.py GT.json RESULTS.json SIGMAS_JSON USE_AREA(0|1)
"""

from __future__ import annotations

import contextlib
import io
import json
import sys

import numpy as np
from xtcocotools.coco import COCO
from xtcocotools.cocoeval import COCOeval


def main(gt_path: str, results_path: str, sigmas: str, use_area: str) -> None:
    with contextlib.redirect_stdout(io.StringIO()):
        gt = COCO(gt_path)
        dt = gt.loadRes(results_path)
        E = COCOeval(gt, dt, "keypoints_crowd", np.asarray(json.loads(sigmas), dtype=np.float64),
                     use_area=use_area == "1")
        E.evaluate()
        E.accumulate()
        # taken before summarize(), which re-evaluates per crowd level and
        # leaves the last level's arrays behind
        precision = E.eval["precision"].tolist()
        recall = E.eval["recall"].tolist()
        E.summarize()
    json.dump({"stats": [float(v) for v in E.stats], "precision": precision, "recall": recall},
              sys.stdout)


if __name__ == "__main__":
    main(*sys.argv[1:5])
