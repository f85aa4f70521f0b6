"""Fast, faithful COCO-protocol evaluation."""

from quillscore import _vireo

__all__ = ["_vireo"]
