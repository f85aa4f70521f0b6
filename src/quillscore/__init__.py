"""Fast, faithful COCO-protocol evaluation.

    from quillscore import COCO, COCOeval
    gt = COCO("instances_val2017.json")
    dt = gt.loadRes("detections.json")
    E = COCOeval(gt, dt, "bbox")
    E.evaluate(); E.accumulate(); E.summarize()

or in one call, `quillscore.evaluate(gt_path, results_path, iou_type="bbox")`;
LVIS v1 with `LVISEval`; the RLE mask toolkit in `quillscore.mask`.
`quillscore.install_as_pycocotools()` makes code that imports `pycocotools`
run on quillscore unchanged.
"""

from quillscore import _vireo, mask
from quillscore._pycocotools import install_as_pycocotools
from quillscore.coco import COCO, ResultsError
from quillscore.cocoeval import COCOeval
from quillscore.fast import evaluate
from quillscore.lvis import LVISEval
from quillscore.params import Params
from quillscore.streaming import StreamingEval

__version__ = "0.1.0"

__all__ = ["COCO", "COCOeval", "LVISEval", "Params", "ResultsError", "StreamingEval", "evaluate",
           "install_as_pycocotools", "mask", "_vireo"]
