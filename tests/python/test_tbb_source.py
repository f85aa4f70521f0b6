"""Where the extension's oneTBB is loaded from: PyPI's tbb package in the
same environment, or the copy that a repaired wheel carries beside the
package, and never a system library, whose version the extension was not
compiled against."""

from __future__ import annotations

from importlib import metadata
from pathlib import Path

import pytest

MAPS = Path("/proc/self/maps")


def _mapped_tbb() -> set[Path]:
    """The libtbb files mapped into this process."""
    found = set()
    for line in MAPS.read_text().splitlines():
        fields = line.split(maxsplit=5)
        if len(fields) == 6 and Path(fields[5]).name.startswith("libtbb"):
            found.add(Path(fields[5]).resolve())
    return found


def _allowed_tbb(package_dir: Path) -> set[Path]:
    """The libtbb files the extension may use: those of the tbb distribution
    installed with it, and those a repaired wheel placed in <name>.libs."""
    allowed = set()
    try:
        files = metadata.distribution("tbb").files or []
    except metadata.PackageNotFoundError:
        files = []
    for f in files:
        allowed.add(Path(f.locate()).resolve())
    bundled = package_dir.parent / f"{package_dir.name}.libs"
    if bundled.is_dir():
        allowed.update(p.resolve() for p in bundled.iterdir())
    return allowed


@pytest.mark.skipif(not MAPS.exists(), reason="needs /proc/self/maps (Linux)")
def test_libtbb_comes_from_the_environment():
    import quillscore
    from quillscore import _vireo  # noqa: F401  (loads libtbb)

    mapped = _mapped_tbb()
    assert mapped, "importing the extension mapped no libtbb"
    stray = mapped - _allowed_tbb(Path(quillscore.__file__).resolve().parent)
    assert not stray, f"libtbb loaded from outside the environment: {sorted(map(str, stray))}"
