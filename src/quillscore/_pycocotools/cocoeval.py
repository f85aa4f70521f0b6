"""`pycocotools.cocoeval`: `COCOeval` and its `Params`."""

from quillscore.cocoeval import COCOeval
from quillscore.params import Params

__all__ = ["COCOeval", "Params"]
