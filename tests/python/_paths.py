"""Where the shared real data lives: beside the checkout (../shared/data), or
wherever QUILLSCORE_SHARED_DATA points."""

import json
import os
from pathlib import Path

DATA_DIR = Path(os.environ.get(
    "QUILLSCORE_SHARED_DATA",
    Path(__file__).resolve().parents[3] / "shared" / "data"))

LVIS_FILE = DATA_DIR / "lvis_v1_val_100" / "lvis_v1_val_100.json"


def load_shared(relpath: str):
    """A shared data file's content, a fresh copy each call; the test is
    skipped where the file is not available."""
    import pytest

    path = DATA_DIR / relpath
    if not path.exists():
        pytest.skip(f"data file {path} is not available")
    return json.loads(path.read_text())
