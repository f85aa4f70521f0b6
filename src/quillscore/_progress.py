"""Progress of the command line's long steps, on a terminal.

The steps are native calls that run for seconds without coming back to
Python, so a thread redraws the line (the step's name and the time spent)
while they run. It shows nothing for runs shorter than about a second, nor
when standard error is not a terminal or tqdm is not installed."""

from __future__ import annotations

import os
import sys
import threading
import time

# Quiet for runs shorter than this (seconds).
DELAY = 1.0
REDRAW = 0.2


class Progress:
    """Call it with each step's name as the step begins; close() at the end
    (or use it as a context manager)."""

    def __init__(self, steps, stream=None):
        self.steps = list(steps)
        self.stream = stream if stream is not None else sys.stderr
        self._name = ""
        self._done = 0
        self._bar = None
        self._stop = threading.Event()
        self._thread = None
        tqdm = _tqdm() if _is_terminal(self.stream) else None
        if tqdm is not None:
            self._tqdm = tqdm
            self._start = time.monotonic()
            self._thread = threading.Thread(target=self._run, name="quillscore-progress", daemon=True)
            self._thread.start()

    def __call__(self, name: str) -> None:
        if name in self.steps:
            self._done = self.steps.index(name)
        self._name = name

    def _run(self) -> None:
        while not self._stop.wait(REDRAW):
            if self._bar is None:
                if time.monotonic() - self._start < DELAY:
                    continue
                width, height = _size(self.stream)
                # (delay: nothing drawn before the run's time is set below.)
                self._bar = self._tqdm(total=len(self.steps), file=self.stream, leave=False,
                                       ncols=width, nrows=height, delay=REDRAW,
                                       bar_format="quillscore: {desc} ({n}/{total} done) [{elapsed}]")
                # The time shown is the run's, not the line's.
                self._bar.start_t -= time.monotonic() - self._start
            self._bar.n = self._done
            self._bar.set_description_str(self._name, refresh=False)
            self._bar.refresh()

    def close(self) -> None:
        if self._thread is not None:
            self._stop.set()
            self._thread.join()
            self._thread = None
            if self._bar is not None:
                self._bar.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def _is_terminal(stream) -> bool:
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False


def _size(stream) -> tuple[int, int]:
    """The terminal's columns and lines; 80 x 24 where it reports none (a
    new pseudo-terminal says 0 x 0, and tqdm then draws nothing)."""
    try:
        size = os.get_terminal_size(stream.fileno())
    except (AttributeError, ValueError, OSError):
        return 80, 24
    return size.columns or 80, size.lines or 24


def _tqdm():
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm
