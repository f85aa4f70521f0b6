"""`pycocotools.mask`: the RLE mask toolkit, a single RLE dict in giving a
single value out."""

from quillscore.mask import area, decode, encode, frPyObjects, iou, merge, toBbox

__all__ = ["area", "decode", "encode", "frPyObjects", "iou", "merge", "toBbox"]
