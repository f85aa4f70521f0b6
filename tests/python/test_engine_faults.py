"""Faults of the engine as Python sees them: an internal fault is a
PanicException carrying the engine's own message (which index, which list),
input the engine refuses a ValueError; neither leaves the evaluator unusable."""
from __future__ import annotations

import pytest

from _child import run_python
from _eval_data import box_ann, tiny

G1 = [box_ann(1, 1, [0, 0, 10, 10])]
D1 = [box_ann(1, 1, [0, 0, 10, 10], score=0.9)]


@pytest.mark.parametrize("kwargs,message", [
    (dict(t_idx=2), "IoU threshold index out of bounds: 2 of 2"),
    (dict(t_idx=10 ** 6), "IoU threshold index out of bounds: 1000000 of 2"),
    (dict(a_idx=3), "area range index out of bounds: 3 of 3"),
    (dict(t_idx=5, a_idx=7), "area range index out of bounds: 7 of 3"),
])
def test_query_past_the_settings_names_the_index(qm, kwargs, message):
    ev = tiny(G1, D1)
    with pytest.raises(qm.PanicException) as info:
        ev.per_instance(**kwargs)
    assert str(info.value) == message
    assert ev.per_instance()[0]["gt_id"].tolist() == [1]


@pytest.mark.parametrize("flags", [[], [False], [False, True, False]])
def test_lvis_flags_of_the_wrong_length_change_nothing(qm, flags):
    ev = tiny(G1 + [box_ann(1, 1, [50, 50, 10, 10], iscrowd=1)], D1)
    before = ev.run()["precision"].copy()
    with pytest.raises(ValueError) as info:
        ev.configure_lvis(flags, [(1, 1)])
    assert str(info.value) == "LVIS ignore flags do not match ground-truth length"
    assert (ev.run()["precision"] == before).all()
    ev.configure_lvis([False, False], [])  # the refusal released the evaluator


RESULT_ARRAYS_TOO_LARGE = """
from quillscore import _vireo as qm
n = 5000  # T * R * K * A * M = 5000 ** 5 doubles: no array can hold them
ev = qm.Evaluator([], [], {}, [1], list(range(1, n + 1)), [0.5] * n, [0.5] * n,
                  list(range(1, n + 1)), [[0.0, 1e10]] * n, True, "bbox", [])
try:
    ev.run()
except BaseException as e:
    print(type(e).__name__)
"""


def test_result_arrays_no_buffer_can_hold_are_a_memory_error():
    # In a child under a memory limit: a wrong size check would allocate.
    r = run_python(["-c", RESULT_ARRAYS_TOO_LARGE], memory=4 << 30, timeout=120)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "MemoryError"
