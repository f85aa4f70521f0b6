"""The COCO RLE mask toolkit, with the conveniences of the familiar
`mask` module: a single RLE dict in gives a single value out.

    from quillscore import mask as maskUtils
    rle = maskUtils.frPyObjects(polygons, h, w)
    area = maskUtils.area(maskUtils.merge(rle))
"""

from __future__ import annotations

import numpy as np

from quillscore import _vireo
from quillscore.params import BOUNDARY_DILATION

iou = _vireo.iou
merge = _vireo.merge
frPyObjects = _vireo.frPyObjects
frBbox = _vireo.frBbox
frPoly = _vireo.frPoly
frUncompressedRLE = _vireo.frUncompressedRLE

__all__ = ["iou", "merge", "frPyObjects", "frBbox", "frPoly", "frUncompressedRLE",
           "encode", "decode", "area", "toBbox", "toBoundary"]


def encode(bimask: np.ndarray):
    """RLE of a binary mask: (h, w) gives one dict, (h, w, n) a list."""
    if bimask.ndim == 2:
        return _vireo.encode(np.asfortranarray(bimask.reshape(*bimask.shape, 1)))[0]
    return _vireo.encode(bimask)


def decode(rleObjs):
    """Binary mask of one RLE dict as (h, w), or of a list as (h, w, n)."""
    if isinstance(rleObjs, dict):
        return _vireo.decode([rleObjs])[:, :, 0]
    return _vireo.decode(rleObjs)


def area(rleObjs):
    """Pixel count of one RLE dict, or an array of them for a list."""
    if isinstance(rleObjs, dict):
        return _vireo.area([rleObjs])[0]
    return _vireo.area(rleObjs)


def toBbox(rleObjs):
    """[x, y, w, h] of one RLE dict, or an (n, 4) array for a list."""
    if isinstance(rleObjs, dict):
        return _vireo.toBbox([rleObjs])[0]
    return _vireo.toBbox(rleObjs)


def toBoundary(rleObjs, dilation_ratio: float = BOUNDARY_DILATION):
    """Boundary band (for Boundary IoU) of one RLE dict or of a list."""
    if isinstance(rleObjs, dict):
        return _vireo.toBoundary([rleObjs], dilation_ratio)[0]
    return _vireo.toBoundary(rleObjs, dilation_ratio)
