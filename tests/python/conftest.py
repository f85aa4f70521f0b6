"""Shared fixtures for the Python-side suites.

The reference COCO API is optional: only the tests that compare against it
request the `coco` fixture, and they skip (with the reason shown by
`pytest -rs`) where it is not installed.
"""

from __future__ import annotations

import json
from pathlib import Path

import pytest

from _paths import DATA_DIR  # noqa: E402


@pytest.fixture(scope="session")
def qm():
    """The extension module under test."""
    from quillscore import _vireo

    return _vireo


@pytest.fixture(scope="session")
def coco():
    """pycocotools' list-based mask functions, which take the same arguments
    as ours (the pycocotools.mask wrappers add single-dict conveniences)."""
    return pytest.importorskip("pycocotools._mask", reason="pycocotools is not installed")


def _load(relpath: str):
    path = DATA_DIR / relpath
    if not path.exists():
        pytest.skip(f"data file {path} is not available")
    with open(path) as f:
        return json.load(f)


_cache: dict[str, object] = {}


@pytest.fixture(scope="session")
def load_data():
    """load_data(relpath) -> parsed JSON, read once per session."""

    def load(relpath: str):
        if relpath not in _cache:
            _cache[relpath] = _load(relpath)
        return _cache[relpath]

    return load
