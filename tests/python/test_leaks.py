"""Thousands of calls, successful and failing, leave memory and reference counts flat."""

import gc
import sys
import tracemalloc
from functools import partial

import numpy as np
import pytest
from conftest import make_updates

from fenro import ByzantineAggregator as BA
from fenro import ReputationManager as RM


def rss_kib():
    try:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * 4
    except OSError:
        return 0


def every_path(agg, mgr, updates, ids):
    """One of each call: successes, every TypeError path and the ValueErrors."""
    agg.aggregate(updates, ids)
    n = len(updates)
    for fn, *args in [
        (agg.aggregate, "str"), (agg.aggregate, 5), (agg.aggregate, [[1.0]]),
        (agg.aggregate, [np.zeros(3, np.float32)]), (agg.aggregate, [np.zeros((2, 2))]),
        (agg.aggregate, updates, "ids"), (agg.aggregate, updates, [1]),
        (agg.aggregate, updates, None, ["w"] * n), (agg.aggregate, updates, None, [1.0] * n),
        (agg.aggregate, []), (agg.aggregate,), (agg.get_reputation, 1),
        (agg.decay_reputations, "x"), (agg.decay_reputations, 2.0),
        (partial(BA, adaptive_trim=1), "median", 0.1), (BA, "nope", 0.1), (BA, "median", 0.1, 5.0),
        (BA.from_json, "{"), (mgr.set_score, "a", 2.0), (mgr.set_score, "a", "x"),
        (mgr.reward, None, 0.1), (mgr.get_score, "\ud800"), (RM.from_json, '{"a":', 0.2), (RM, 7.0),
    ]:
        try:
            fn(*args)
        except (TypeError, ValueError, UnicodeEncodeError):
            pass
    mgr.reward("a", 0.01)
    mgr.all_scores(), mgr.active_clients(), mgr.to_json()
    BA.from_json(agg.to_json())
    RM.from_json(mgr.to_json())


def test_no_leaks_over_thousands_of_calls():
    agg, mgr = BA("median", 0.1), RM()
    updates = make_updates(5, (8, 8))
    ids = [f"c{i}" for i in range(5)]
    watched = updates + ids + [agg, mgr]
    for _ in range(200):  # warm up caches, NumPy, the pool
        every_path(agg, mgr, updates, ids)
    gc.collect()
    refs = [sys.getrefcount(o) for o in watched]
    rss = rss_kib()
    tracemalloc.start()
    snap = tracemalloc.take_snapshot()
    for _ in range(2000):
        every_path(agg, mgr, updates, ids)
    gc.collect()
    grown = sum(s.size_diff for s in tracemalloc.take_snapshot().compare_to(snap, "filename"))
    tracemalloc.stop()
    assert [sys.getrefcount(o) for o in watched] == refs
    assert grown < 64 * 1024, grown
    if rss:
        assert rss_kib() - rss < 8 * 1024  # C++ allocations do not show in tracemalloc


@pytest.mark.parametrize("layout", [np.ascontiguousarray, np.asfortranarray])
def test_large_rounds_release_their_buffers(layout):
    agg = BA("fedavg", 0.1)
    updates = [layout(u) for u in make_updates(4, (512, 512))]
    agg.aggregate(updates)
    rss = rss_kib()
    for _ in range(100):
        agg.aggregate(updates)
    if rss:
        assert rss_kib() - rss < 16 * 1024
