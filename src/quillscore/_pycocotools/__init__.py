"""The `pycocotools` package as quillscore provides it: `coco`, `cocoeval`,
`mask` and `_mask` under the COCO API's names, run by quillscore's engine.
`quillscore.install_as_pycocotools()` puts these modules in the place of
the real package, so that code importing `pycocotools` runs on quillscore
unchanged."""

from __future__ import annotations

import sys

from quillscore._pycocotools import _mask, coco, cocoeval, mask

SUBMODULES = {"coco": coco, "cocoeval": cocoeval, "mask": mask, "_mask": _mask}


def install_as_pycocotools() -> None:
    """Make `import pycocotools` and `import pycocotools.coco` (cocoeval,
    mask, _mask) give these modules, whether or not the real package is
    installed or was imported before; calling it again changes nothing.
    Names bound before the call (a `COCOeval` imported from the real
    package, say) keep pointing at the old objects."""
    # Every entry under the old package goes, so that none of its other
    # submodules outlives it: looked up again, they are searched for in
    # this package, which has no others.
    for name in [n for n in sys.modules if n.startswith("pycocotools.")]:
        del sys.modules[name]
    sys.modules["pycocotools"] = sys.modules[__name__]
    for name, module in SUBMODULES.items():
        sys.modules[f"pycocotools.{name}"] = module
