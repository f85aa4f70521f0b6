"""Where the shared real data lives: beside the checkout (../shared/data), or
wherever QUILLSCORE_SHARED_DATA points."""

import os
from pathlib import Path

DATA_DIR = Path(os.environ.get(
    "QUILLSCORE_SHARED_DATA",
    Path(__file__).resolve().parents[3] / "shared" / "data"))

LVIS_FILE = DATA_DIR / "lvis_v1_val_100" / "lvis_v1_val_100.json"
