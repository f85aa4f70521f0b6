"""`pycocotools.coco`: the `COCO` dataset class."""

from quillscore import mask as maskUtils  # noqa: F401  (the name the COCO API's module has)
from quillscore.coco import COCO

__all__ = ["COCO"]
