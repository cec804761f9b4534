"""Thousands of calls, successful and failing, leave memory and reference counts flat."""

import gc
import sys
import tracemalloc

import numpy as np
import pytest
from conftest import make_updates

from fenro import ByzantineAggregator, ReputationManager


def rss_kib():
    try:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * 4
    except OSError:
        return 0


def every_path(agg, mgr, updates, ids):
    """One of each call: successes, every TypeError path and the ValueErrors."""
    out = agg.aggregate(updates, ids)
    del out
    calls = [
        lambda: agg.aggregate("str"),
        lambda: agg.aggregate(5),
        lambda: agg.aggregate([[1.0]]),
        lambda: agg.aggregate([np.zeros(3, np.float32)]),
        lambda: agg.aggregate([np.zeros((2, 2))]),
        lambda: agg.aggregate(updates, "ids"),
        lambda: agg.aggregate(updates, [1]),
        lambda: agg.aggregate(updates, None, ["w"] * len(updates)),
        lambda: agg.aggregate(updates, None, [1.0] * len(updates)),  # ValueError
        lambda: agg.aggregate([]),
        lambda: agg.aggregate(),
        lambda: agg.get_reputation(1),
        lambda: agg.decay_reputations("x"),
        lambda: agg.decay_reputations(2.0),
        lambda: ByzantineAggregator("median", 0.1, adaptive_trim=1),
        lambda: ByzantineAggregator("nope", 0.1),
        lambda: ByzantineAggregator("median", 0.1, 5.0),
        lambda: ByzantineAggregator.from_json("{"),
        lambda: mgr.set_score("a", 2.0),
        lambda: mgr.set_score("a", "x"),
        lambda: mgr.reward(None, 0.1),
        lambda: mgr.get_score("\ud800"),
        lambda: ReputationManager.from_json('{"a":', 0.2),
        lambda: ReputationManager(7.0),
    ]
    for call in calls:
        try:
            call()
        except (TypeError, ValueError, UnicodeEncodeError):
            pass
    mgr.reward("a", 0.01)
    mgr.all_scores(), mgr.active_clients(), mgr.to_json()
    ByzantineAggregator.from_json(agg.to_json())
    ReputationManager.from_json(mgr.to_json())


def test_no_leaks_over_thousands_of_calls():
    agg = ByzantineAggregator("median", 0.1)
    mgr = ReputationManager()
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


@pytest.mark.parametrize("copy", [False, True])
def test_large_rounds_release_their_buffers(copy):
    agg = ByzantineAggregator("fedavg", 0.1)
    updates = make_updates(4, (512, 512))
    if copy:
        updates = [np.asfortranarray(u) for u in updates]
    agg.aggregate(updates)
    rss = rss_kib()
    for _ in range(100):
        agg.aggregate(updates)
    if rss:
        assert rss_kib() - rss < 16 * 1024
