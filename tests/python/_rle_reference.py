"""Slow, obviously-correct Python versions of the RLE primitives.

They exist so that the tests can state expected results for inputs the
reference COCO API does not accept (or would crash on), such as arbitrary
byte strings used as compressed counts. Everything here works on plain Python
ints and lists; pixel order is column-major (index x * h + y).
"""

from __future__ import annotations

import numpy as np

U32 = 0xFFFFFFFF


def counts_to_string(counts: list[int]) -> bytes:
    """Compressed counts string of a list of run lengths."""
    out = bytearray()
    for i, c in enumerate(counts):
        x = c - counts[i - 2] if i > 2 else c
        more = True
        while more:
            group = x & 0x1F
            x >>= 5  # Python ints shift arithmetically, i.e. with sign extension
            more = (x != -1) if group & 0x10 else (x != 0)
            if more:
                group |= 0x20
            out.append(group + 48)
    return bytes(out)


def counts_from_string(s: bytes | str) -> list[int]:
    """Run lengths of any byte string, read the way the mask functions read it."""
    if isinstance(s, str):
        s = s.encode()
    counts: list[int] = []
    p = 0
    while p < len(s):
        x = 0
        k = 0
        while True:
            c = (s[p] - 48) & 0xFF
            p += 1
            if 5 * k < 64:
                x |= (c & 0x1F) << (5 * k)
            if c & 0x30 == 0x10 and 5 * (k + 1) <= 63:
                x |= -1 << (5 * (k + 1))
            k += 1
            if not (c & 0x20 and p < len(s)):
                break
        # x lives in a signed 64-bit register: keep only those bits.
        x &= (1 << 64) - 1
        if x >= 1 << 63:
            x -= 1 << 64
        if len(counts) >= 3:
            x += counts[-2]
        counts.append(x & U32)
    return counts


def dense_from_counts(counts: list[int], h: int, w: int) -> np.ndarray:
    """(h, w) uint8 mask; runs are clipped at h * w, unreached pixels stay 0."""
    flat = np.zeros(h * w, dtype=np.uint8)
    pos = 0
    for i, c in enumerate(counts):
        if pos >= flat.size:
            break
        end = min(pos + c, flat.size)
        if i % 2:
            flat[pos:end] = 1
        pos = end
    return flat.reshape((w, h)).T


def counts_from_dense(mask: np.ndarray) -> list[int]:
    """Runs of a 2-D 0/1 mask in column-major order, starting with zeros."""
    flat = np.asarray(mask).T.reshape(-1)
    counts = []
    current, run = 0, 0
    for v in flat.tolist():
        if v != current:
            counts.append(run)
            current, run = v, 0
        run += 1
    counts.append(run)
    return counts


def area(counts: list[int]) -> int:
    return sum(counts[1::2]) & U32


def bbox(counts: list[int], h: int, w: int) -> list[float]:
    """[x, y, w, h] of the runs of ones, in unsigned 32-bit arithmetic."""
    m = len(counts) // 2 * 2
    if m == 0:
        return [0.0, 0.0, 0.0, 0.0]
    xs, ys, xe, ye = w, h, 0, 0
    cc = 0
    xp = 0
    for j in range(m):
        cc = (cc + counts[j]) & U32
        t = (cc - (j % 2)) & U32
        x, y = (t // h, t % h) if h else (0, 0)
        if j % 2 == 0:
            xp = x
        elif xp < x:
            ys, ye = 0, (h - 1) & U32
        xs, xe = min(xs, x), max(xe, x)
        ys, ye = min(ys, y), max(ye, y)
    return [float(xs), float(ys), float((xe + 1 - xs) & U32), float((ye + 1 - ys) & U32)]


def eroded_band(mask: np.ndarray, passes: int) -> np.ndarray:
    """Pixels of `mask` within chessboard distance `passes` of its outside;
    the frame around the image counts as outside."""
    core = np.pad(mask.astype(bool), 1)
    for _ in range(passes):
        nxt = np.ones_like(core)
        for dy in (-1, 0, 1):
            for dx in (-1, 0, 1):
                nxt &= np.roll(np.roll(core, dy, 0), dx, 1)
        nxt[0, :] = nxt[-1, :] = False
        nxt[:, 0] = nxt[:, -1] = False
        core = nxt
    return (mask.astype(bool) & ~core[1:-1, 1:-1]).astype(np.uint8)
