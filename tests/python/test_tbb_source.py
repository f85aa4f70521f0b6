"""Which oneTBB the extension loads: PyPI's tbb package of the same
environment, or the copy a repaired wheel carries beside the package, at the
version the extension was compiled against (the tbb pin, which equals the
tbb-devel pin); never a system library."""

from __future__ import annotations

import ctypes
import re
from importlib import metadata
from pathlib import Path

import pytest

MAPS = Path("/proc/self/maps")
# libtbb.so.12, or the renamed copy a repaired wheel bundles (libtbb-1a2b3c4d.so.12);
# not libtbbmalloc and the other libraries of the family.
MAIN_LIBRARY = re.compile(r"libtbb(-[0-9a-f]+)?\.so(\.[0-9]+)*")

pytestmark = pytest.mark.skipif(not MAPS.exists(), reason="needs /proc/self/maps (Linux)")


@pytest.fixture(scope="module")
def mapped_tbb() -> set[Path]:
    """The libtbb files mapped into this process once the extension is loaded."""
    from quillscore import _vireo  # noqa: F401

    found = set()
    for line in MAPS.read_text().splitlines():
        fields = line.split(maxsplit=5)
        if len(fields) == 6 and Path(fields[5]).name.startswith("libtbb"):
            found.add(Path(fields[5]).resolve())
    assert found, "loading the extension mapped no libtbb"
    return found


def test_libtbb_comes_from_the_environment(mapped_tbb):
    import quillscore

    allowed = {Path(f.locate()).resolve() for f in metadata.distribution("tbb").files or []}
    package = Path(quillscore.__file__).resolve().parent
    bundled = package.parent / f"{package.name}.libs"
    if bundled.is_dir():
        allowed.update(p.resolve() for p in bundled.iterdir())
    stray = sorted(str(p) for p in mapped_tbb - allowed)
    assert not stray, f"libtbb loaded from outside the environment: {stray}"


def test_libtbb_has_the_pinned_version(mapped_tbb):
    versions = set()
    for path in mapped_tbb:
        if MAIN_LIBRARY.fullmatch(path.name):
            runtime_version = ctypes.CDLL(str(path)).TBB_runtime_version
            runtime_version.restype = ctypes.c_char_p
            versions.add(runtime_version().decode())
    assert versions == {metadata.version("tbb")}
