import sys

from quillscore.cli import entry

sys.exit(entry())
