"""The counting allocator, in builds made with the alloc-stats option
(`make alloc-stats-test`); the standard build skips these."""

import numpy as np
import pytest

from quillscore import _vireo as v

pytestmark = pytest.mark.skipif(
    not v.alloc_stats()["enabled"], reason="extension built without alloc-stats"
)

POLYGON = [[10.0, 10.0, 600.0, 20.0, 580.0, 460.0, 30.0, 400.0]]


def workloads():
    masks = v.frPyObjects(POLYGON * 3, 480, 640)
    yield "frPyObjects", lambda: v.frPyObjects(POLYGON, 480, 640)
    yield "merge", lambda: v.merge(masks)
    yield "iou", lambda: v.iou(masks, masks, [0, 1, 0])
    yield "encode", lambda: v.encode(np.ones((48, 64, 3), np.uint8, order="F"))
    yield "toBoundary", lambda: v.toBoundary(masks)


@pytest.mark.parametrize("name,work", list(workloads()))
def test_everything_allocated_is_freed(name, work):
    before = v.alloc_stats()
    result = work()
    during = v.alloc_stats()
    del result
    after = v.alloc_stats()
    assert during["allocations"] > before["allocations"]
    assert after["live_bytes"] == before["live_bytes"]
    assert after["allocations"] - before["allocations"] == after["frees"] - before["frees"]
    assert during["peak_bytes"] >= during["live_bytes"]


def test_decoded_stack_is_counted_while_alive_and_released_with_its_array():
    masks = v.frPyObjects(POLYGON * 4, 480, 640)
    base = v.alloc_stats()["live_bytes"]
    stack = v.decode(masks)
    assert v.alloc_stats()["live_bytes"] - base == 480 * 640 * 4
    del stack
    assert v.alloc_stats()["live_bytes"] == base


def test_reset_drops_the_peak_to_the_live_figure():
    v.decode(v.frPyObjects(POLYGON * 8, 480, 640))
    assert v.alloc_stats()["peak_bytes"] >= 480 * 640 * 8
    assert v.reset_alloc_peak() is None
    stats = v.alloc_stats()
    assert stats["peak_bytes"] == stats["live_bytes"]
