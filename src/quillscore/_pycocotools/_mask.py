"""`pycocotools._mask`: the list-based mask functions under `mask`."""

from quillscore._vireo import (area, decode, encode, frBbox, frPoly, frPyObjects,
                               frUncompressedRLE, iou, merge, toBbox)

__all__ = ["area", "decode", "encode", "frBbox", "frPoly", "frPyObjects", "frUncompressedRLE",
           "iou", "merge", "toBbox"]
