"""Shared fixtures for the Python-side suites.

The reference COCO API is optional: only the tests that compare against it
request the `coco` fixture, and they skip (with the reason shown by
`pytest -rs`) where it is not installed.
"""

from __future__ import annotations

import json
import logging

import numpy as np

import pytest

from _paths import LVIS_FILE, load_shared  # noqa: E402


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


_load = load_shared


_cache: dict[str, object] = {}


@pytest.fixture(scope="session")
def load_data():
    """load_data(relpath) -> parsed JSON, read once per session."""

    def load(relpath: str):
        if relpath not in _cache:
            _cache[relpath] = _load(relpath)
        return _cache[relpath]

    return load


@pytest.fixture
def lvis_api(monkeypatch):
    """The LVIS API, quiet. Its accumulation still uses the `np.float` alias
    that NumPy 1.24 removed; restore it for the duration of a test."""
    lvis = pytest.importorskip("lvis", reason="the LVIS API (lvis) is not installed")
    if not hasattr(np, "float"):
        monkeypatch.setattr(np, "float", float, raising=False)
    logging.getLogger("lvis").setLevel(logging.ERROR)
    previous = logging.root.manager.disable
    logging.disable(logging.WARNING)
    yield lvis
    logging.disable(previous)


@pytest.fixture(scope="session")
def lvis_dataset():
    """The LVIS v1 sample, parsed."""
    if not LVIS_FILE.exists():
        pytest.skip(f"{LVIS_FILE} is not available")
    return json.loads(LVIS_FILE.read_text())
