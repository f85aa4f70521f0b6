"""A fresh interpreter for cases that could abort, hang or exhaust memory:
run under an address-space limit and a timeout, so that a fault fails one
test instead of the session."""

from __future__ import annotations

import os
import resource
import subprocess
import sys
import tempfile


def run_python(argv, *, memory: int, timeout: float, cwd=None, env_extra=None) -> subprocess.CompletedProcess:
    """`python ARGV` with RLIMIT_AS at `memory` bytes, killed after `timeout`
    seconds (subprocess.TimeoutExpired); by default away from the checkout."""

    def limit():
        resource.setrlimit(resource.RLIMIT_AS, (memory, memory))

    env = dict(os.environ, **(env_extra or {}))
    return subprocess.run([sys.executable, *argv], capture_output=True, text=True, timeout=timeout,
                          preexec_fn=limit, cwd=cwd or tempfile.gettempdir(), env=env)
