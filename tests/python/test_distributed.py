"""fenro.distributed.aggregate on a local Ray cluster: every method's rounds, their errors and
their reputation effects, bit for bit against ByzantineAggregator.aggregate on one machine; and
a worker lost in the middle of a round."""

import dataclasses
import gc

import numpy as np
import pytest

ray = pytest.importorskip("ray")

import fenro  # noqa: E402
import fenro.distributed as fd  # noqa: E402
from fenro.distributed import _driver  # noqa: E402

# Ray's own modules may warn about their dependencies, and some Ray versions leave files and
# processes of their start-up to the garbage collector; the suite turns warnings into errors.
pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning",
                                        "ignore::PendingDeprecationWarning",
                                        "ignore::FutureWarning",
                                        "ignore::ResourceWarning",
                                        "ignore::pytest.PytestUnraisableExceptionWarning")


@pytest.fixture(scope="module", autouse=True)
def cluster():
    # Slices of the aggregate in pieces of 7 coordinates: every round crosses piece borders.
    piece, fd._piece = fd._piece, 7
    started = not ray.is_initialized()
    if started:
        ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False,
                 configure_logging=False)
    yield
    fd._piece = piece
    if started:
        fd._workers.clear()
        ray.shutdown()
    gc.collect()  # Ray's leftovers are finalised here, under this module's warning filters


def outcome(fn):
    """('ok', shape, dtype, bytes) or (exception type, message)."""
    try:
        r = fn()
    except Exception as e:  # noqa: BLE001 - the comparison is the point
        return (type(e), str(e))
    if dataclasses.is_dataclass(r):  # an *_info result: its array's bits and its data
        return ("ok",) + tuple(
            outcome(lambda: v) if isinstance(v, np.ndarray) else v
            for v in dataclasses.astuple(r, tuple_factory=tuple)
        )
    assert r.flags.c_contiguous and r.flags.writeable
    return ("ok", r.shape, r.dtype, r.tobytes())


def compare(config, rounds, shards):
    """Runs each round (updates, ids, weights) on one machine and distributed, on two aggregators
    made from `config`; results, errors and the store afterwards must be equal."""
    from fenro.robust import aggregate_with_audit

    one, dist = fenro.ByzantineAggregator(**config), fenro.ByzantineAggregator(**config)
    # The same rounds with their audits, on two more aggregators.
    one_a, dist_a = fenro.ByzantineAggregator(**config), fenro.ByzantineAggregator(**config)
    results = []
    for updates, ids, weights in rounds:
        a = outcome(lambda: one.aggregate(updates, ids, weights))
        b = outcome(lambda: fd.aggregate(dist, updates, ids, weights, shards=shards))
        assert a == b
        assert one.to_json() == dist.to_json()
        a = audited(lambda: aggregate_with_audit(one_a, updates, ids, weights))
        b = audited(lambda: fd.aggregate_with_audit(dist_a, updates, ids, weights, shards=shards))
        assert a == b
        assert one_a.to_json() == dist_a.to_json() == one.to_json()
        results.append(a)
    return results


def audited(fn):
    """('ok', shape, bytes, audit text) or (exception type, message, its audit's text)."""
    try:
        aggregate, audit = fn()
    except Exception as e:  # noqa: BLE001 - the comparison is the point
        return (type(e), str(e), repr(getattr(e, "audit", None)))
    return ("ok", aggregate.shape, aggregate.tobytes(), repr(audit))


def byzantine_rounds(n=9, shape=(4, 6), rounds=3, seed=0, ids=True, weights=None):
    rng = np.random.default_rng(seed)
    out = []
    for r in range(rounds):
        ups = [rng.standard_normal(shape).astype(np.float32) for _ in range(n)]
        ups[1] = ups[1] * 40 + 30          # far off: rejected by a norm bound, penalised
        ups[2] = ups[2] + 3                # off: penalised by its distance to the aggregate
        ups[4] = ups[3].copy()             # a duplicate: Krum ties
        names = [f"c{k}" for k in range(n)] if ids else None
        if ids and r == 2:
            names[5] = names[6]            # a client that sends twice
        out.append((ups, names, weights))
    return out


CONFIGS = [
    dict(method="fedavg", trim_fraction=0.0),
    dict(method="fedavg", trim_fraction=0.0, norm_bound=30.0, ban_threshold=0.6),
    dict(method="trimmed_mean", trim_fraction=0.2),
    dict(method="trimmed_mean", trim_fraction=0.1, adaptive_trim=True, ban_threshold=0.5,
         norm_bound=40.0),
    dict(method="median", trim_fraction=0.0),
    dict(method="median", trim_fraction=0.0, norm_bound=25.0),
    dict(method="median", trim_fraction=0.0, norm_bound=0.5),  # every update turned away
    dict(method="krum", trim_fraction=0.0),
    dict(method="krum:2", trim_fraction=0.0, ban_threshold=0.6, norm_bound=60.0),
    dict(method="multi_krum", trim_fraction=0.0),
    dict(method="multi_krum:1:3", trim_fraction=0.0, ban_threshold=0.5, norm_bound=60.0),
]


@pytest.mark.parametrize("config", CONFIGS, ids=lambda c: "-".join(f"{v}" for v in c.values()))
@pytest.mark.parametrize("shards", [2, 3])
def test_rounds_are_bit_identical(config, shards):
    rounds = byzantine_rounds(seed=shards)
    # Rounds without client ids too, where the method allows them and no weights are given.
    rounds += byzantine_rounds(seed=10 + shards, rounds=1, ids=False)
    results = compare(config, rounds, shards)
    assert any(r[0] == "ok" for r in results) != (config.get("norm_bound") == 0.5)


def test_weighted_fedavg_and_layouts():
    w = [1.0, 0.0, 2.5, 1.0, 1.0, 3.0, 1.0, 0.5, 1.0]
    compare(dict(method="fedavg", trim_fraction=0.0, norm_bound=30.0),
            byzantine_rounds(weights=w), 3)
    rng = np.random.default_rng(7)
    stack = rng.standard_normal((7, 5, 8)).astype(np.float32)
    layouts = [
        (stack, None, None),                                     # one 3-D array
        ([u.T for u in stack[:, :, :5]], None, None),            # Fortran-ordered views
        ([u[::2, ::-1] for u in stack], None, None),             # strided, reversed
        ([np.ones((1, 1), np.float32) * k for k in range(5)], None, None),  # fewer coordinates
        ([np.zeros((0, 4), np.float32)] * 5, None, None),        # no coordinates
        ([], None, None),                                        # no updates
    ]
    for shards in (1, 4):
        compare(dict(method="median", trim_fraction=0.0), layouts, shards)
        compare(dict(method="multi_krum:1:2", trim_fraction=0.0), layouts, shards)


def nan_at(updates, k, r, c, value=np.nan):
    out = [u.copy() for u in updates]
    out[k][r, c] = value
    return out


def test_errors_are_the_same():
    base = [np.random.default_rng(k).standard_normal((3, 6)).astype(np.float32) for k in range(7)]
    two_bad = nan_at(nan_at(base, 4, 0, 1, np.inf), 2, 2, 5)  # the first is update 2's, range 2
    mismatched = base[:3] + [np.ones((6, 3), np.float32)] + base[4:]
    ids = [f"c{k}" for k in range(7)]
    cases = {
        "fedavg": [(two_bad, None, None), (two_bad, ids[:3], None),
                   (two_bad, None, [0.0] * 7), (base, None, [0.0] * 7),
                   (nan_at(mismatched, 1, 1, 1), None, None), (mismatched, None, None),
                   (base, ids[:2], None), (base, None, [1.0] * 6),
                   (base, None, [np.inf] + [1.0] * 6),
                   ([base[0] * 1e37, -base[0] * 1e37] * 2, ["a", "b", "a", "b"], None),
                   ("not a list", None, None), ([base[0].astype(np.float64)], None, None),
                   (base, "ab", None), (base, [1, 2], None), (base, None, ["x"])],
        "median": [(two_bad, None, None), (nan_at(base, 6, 0, 0), ids, None),
                   (base, ids, [1.0] * 7), ([], None, None)],
        "trimmed_mean": [(two_bad, None, None), (base[:2], None, None)],
        "krum:2": [(two_bad, None, None), (base[:6], None, None)],
        "multi_krum:1:5": [(base, None, None), (two_bad, ids, None)],
    }
    for method, rounds in cases.items():
        for shards in (2, 4):
            results = compare(dict(method=method, trim_fraction=0.3), rounds, shards)
            assert sum(r[0] == "ok" for r in results) <= 1
    # With a norm bound the value check rides on the norm pass; everything rejected.
    bound = dict(method="trimmed_mean", trim_fraction=0.1, norm_bound=1e-3)
    compare(bound, [(two_bad, ids, None), (base, ids, None)], 3)
    # A norm and a distance just above a threshold, by less than the bounds from independent
    # range sums can tell (many coordinates widen them): only the chain of running sums, which
    # adds every element in row-major order, decides them as the single machine does.
    near = [np.zeros((50, 100), np.float32) for _ in range(5)]
    near[0][0, 0], near[0][-1, -1] = 2.0, 2.0**-21  # norm sqrt(4 + 2^-42) > 2
    near[1][0, 0], near[1][-1, -1] = 1.0, 2.0**-21  # distance from the median just above 1
    for method in ("fedavg", "median"):
        compare(dict(method=method, trim_fraction=0.0, norm_bound=2.0),
                [(near, [f"c{k}" for k in range(5)], None)] * 2, 2)


def test_a_lost_worker_fails_the_round_and_changes_nothing(monkeypatch):
    config = dict(method="multi_krum:1:3", trim_fraction=0.0, ban_threshold=0.5, norm_bound=60.0)
    rounds = byzantine_rounds(rounds=2)
    one, dist = fenro.ByzantineAggregator(**config), fenro.ByzantineAggregator(**config)
    for ups, ids, _ in rounds[:1]:
        one.aggregate(ups, ids)
        fd.aggregate(dist, ups, ids, shards=3)
    before = dist.to_json()
    ups, ids, _ = rounds[1]

    original = _driver.Driver.gram

    def gram_after_a_crash(self, *args):
        self._workers[1].exit.remote()  # the process ends while the round waits on it
        return original(self, *args)

    monkeypatch.setattr(_driver.Driver, "gram", gram_after_a_crash)
    with pytest.raises(fd.WorkerError, match=r"coordinate range 1 \[\d+, \d+\) died") as info:
        fd.aggregate(dist, ups, ids, shards=3, timeout=60)
    assert isinstance(info.value.__cause__, ray.exceptions.RayActorError)
    assert dist.to_json() == before
    # A worker that does not answer in time: the same, and the late worker is replaced.
    def gram_behind_a_slow_worker(self, *args):
        self._workers[2].pause.remote(60)
        return original(self, *args)

    monkeypatch.setattr(_driver.Driver, "gram", gram_behind_a_slow_worker)
    with pytest.raises(fd.WorkerError, match=r"coordinate range 2 .* did not answer within 2 s"):
        fd.aggregate(dist, ups, ids, shards=3, timeout=2)
    assert dist.to_json() == before
    monkeypatch.undo()
    # The retry runs on replaced workers and gives the single-machine round.
    expected = one.aggregate(ups, ids)
    assert fd.aggregate(dist, ups, ids, shards=3).tobytes() == expected.tobytes()
    assert dist.to_json() == one.to_json()


def test_coordinate_wise_functions_of_fenro_robust():
    from fenro import robust

    rng = np.random.default_rng(3)
    base = [rng.standard_normal((4, 5)).astype(np.float32) for _ in range(7)]
    base[2] = base[2] * 1e3
    bad = nan_at(nan_at(base, 5, 0, 3), 3, 3, 4, -np.inf)
    mismatched = base[:4] + [np.ones((5, 4), np.float32)] + base[5:]
    calls = [
        ("fedavg", (base,), {}), ("fedavg", (base, [1.0, 0.0, 2.0, 1.0, 1.0, 3.0, 0.5]), {}),
        ("fedavg", (base, [0.0] * 7), {}), ("fedavg", (bad, [0.0] * 7), {}),
        ("fedavg", (base, [1e39] * 7), {}), ("fedavg", (base, [1.0] * 6), {}),
        ("trimmed_mean", (base,), {"trim": 0.2}), ("trimmed_mean", (bad,), {"trim": 0.6}),
        ("trimmed_mean", (base,), {}), ("trimmed_mean", (base,), {"trim": "x"}),
        ("median", (np.stack(base),), {}), ("median", (bad,), {}),
        ("median", (mismatched,), {}), ("median", ([],), {}),
        ("median", (nan_at(mismatched, 1, 0, 0),), {}),
        ("meamed", (base,), {"f": 2}), ("meamed", (bad,), {"f": 4}),
        ("meamed", (base,), {"f": -1}), ("meamed", (base,), {"f": 3}),
        ("meamed", ([u[:, :1] for u in base],), {"f": 1}),
    ]
    for name, args, kwargs in calls:
        expected = outcome(lambda: getattr(robust, name)(*args, **kwargs))
        for shards in (2, 3):
            got = outcome(lambda: getattr(fd, name)(*args, shards=shards, **kwargs))
            assert got == expected, (name, kwargs, shards)


def test_shards_handed_in_by_the_caller():
    config = dict(method="multi_krum:1:3", trim_fraction=0.0, ban_threshold=0.5, norm_bound=60.0)
    one, dist = fenro.ByzantineAggregator(**config), fenro.ByzantineAggregator(**config)
    layout = fd.ShardLayout(4, 6, shards=3)
    assert layout.ranges == [(0, 8), (8, 16), (16, 24)]
    for ups, ids, _ in byzantine_rounds():
        sharded = fd.ShardedUpdates(layout)
        for k, u in enumerate(ups):
            flat = u.reshape(-1)
            for s, (lo, hi) in enumerate(layout.ranges):
                # Arrays, and references to arrays that another process put in the store.
                sharded.put(k, s, ray.put(flat[lo:hi]) if k % 2 else flat[lo:hi])
        expected = one.aggregate(ups, ids)
        slices = sharded.aggregate(dist, ids, assemble=False)
        assert np.concatenate(ray.get(slices)).tobytes() == expected.tobytes()
        assert one.to_json() == dist.to_json()
    before = dist.to_json()
    # Refused before any work: a missing range, a shard that does not fit its range.
    sharded = fd.ShardedUpdates(layout)
    for k in range(9):
        for s, (lo, hi) in enumerate(layout.ranges):
            if (k, s) != (6, 1):
                sharded.put(k, s, np.zeros(hi - lo, np.float32))
    with pytest.raises(fd.ShardLayoutError, match=r"update 6 has no shard for coordinate "
                                                  r"range 1 \[8, 16\)"):
        sharded.aggregate(dist, [f"c{k}" for k in range(9)])
    with pytest.raises(fd.ShardLayoutError, match="7 values, expected 8"):
        sharded.put(6, 1, np.zeros(7, np.float32))
    sharded.put(6, 1, ray.put(np.zeros(8, np.float64)))
    with pytest.raises(fd.ShardLayoutError, match=r"update 6 for coordinate range 1 .*float64"):
        sharded.aggregate(dist, [f"c{k}" for k in range(9)])
    assert dist.to_json() == before


@pytest.mark.parametrize("text, on_workers", [
    ("median; norm_bound=60, ban_threshold=0.5", True),
    ("bulyan(f=1)", True),
    ("geometric_median(max_iter=10); influence=true", True),
    ("clip(c=5) | trimmed_mean(trim=0.2)", False),  # the values gathered here
])
def test_composed_aggregator_on_shards_handed_in(text, on_workers, monkeypatch):
    from fenro.distributed._composed import PlacedSource
    from fenro.robust import ComposedAggregator

    gathered = []  # rounds whose rule read the values here
    values = PlacedSource.values
    monkeypatch.setattr(PlacedSource, "values",
                        lambda self, i: gathered.append(len(i)) or values(self, i))
    one, dist = ComposedAggregator(text), ComposedAggregator(text)
    layout = fd.ShardLayout(4, 6, shards=3)
    rounds = byzantine_rounds()
    bad = [u.copy() for u in rounds[1][0]]
    bad[6][3, 5] = np.inf  # in the last range: one client's update is malformed
    rounds.append((bad, rounds[1][1], None))
    for ups, ids, _ in rounds:
        sharded = fd.ShardedUpdates(layout)
        for k, u in enumerate(ups):
            flat = u.reshape(-1)
            for s, (lo, hi) in enumerate(layout.ranges):
                sharded.put(k, s, ray.put(flat[lo:hi]) if k % 2 else flat[lo:hi])
        a, audit_a = one.aggregate(ups, ids)
        b, audit_b = sharded.aggregate(dist, ids)
        assert a.tobytes() == b.tobytes() and a.shape == b.shape
        assert repr(audit_a) == repr(audit_b)
        assert one.to_json() == dist.to_json()
    slices, audit = sharded.aggregate(dist, ids, assemble=False)
    assert np.concatenate(ray.get(slices)).tobytes() == one.aggregate(ups, ids)[0].tobytes()
    assert bool(gathered) != on_workers


def test_arguments():
    agg = fenro.ByzantineAggregator("median", 0.0)
    ups = [np.ones((2, 2), np.float32)] * 3
    with pytest.raises(TypeError, match="shards"):
        fd.aggregate(agg, ups, shards=2.0)
    with pytest.raises(ValueError, match="shards"):
        fd.aggregate(agg, ups, shards=0)
    with pytest.raises(TypeError, match="aggregator"):
        fd.aggregate(object(), ups, shards=2)
    # The aggregator is borrowed for the whole round, as by its own aggregate.
    seen = []
    original = _driver.Driver.kernel

    def reenter(self, *args):
        try:
            agg.get_reputation("x")
        except RuntimeError as e:
            seen.append(str(e))
        return original(self, *args)

    _driver.Driver.kernel = reenter
    try:
        fd.aggregate(agg, ups, shards=2)
    finally:
        _driver.Driver.kernel = original
    assert len(seen) == 1


def test_composed_aggregator(monkeypatch):
    from fenro.distributed._composed import ShardedSource
    from fenro.robust import ComposedAggregator

    defenses = [  # (text, whether the rule runs on the workers)
        ("median; norm_bound=60, ban_threshold=0.5", True),
        ("trimmed_mean(trim=0.2); norm_bound=40", True),
        ("meamed(f=2)", True),
        ("fedavg; influence=true, ban_threshold=0.4", True),
        ("krum(f=2); norm_bound=60", True),
        ("multi_krum(f=1); ban_threshold=0.5", True),
        ("bulyan(f=1)", True),
        ("geometric_median(max_iter=20); influence=true", True),
        ("centered_clipping(tau=2.0, iterations=2); norm_bound=60", True),
        ("nnm(f=1) | krum(f=2); norm_bound=60", False),  # norms on the workers only
    ]
    gathered = []  # the rounds whose rule read the values on the coordinator
    values = ShardedSource.values
    monkeypatch.setattr(ShardedSource, "values",
                        lambda self, i: gathered.append(len(i)) or values(self, i))
    for text, on_workers in defenses:
        gathered.clear()
        one, dist = ComposedAggregator(text), ComposedAggregator(text)
        rounds = byzantine_rounds(rounds=2)
        bad = [u.copy() for u in rounds[1][0]]
        bad[6][2, 3] = np.nan  # one client's update is malformed, not the round
        rounds.append((bad, rounds[1][1], None))
        for ups, ids, weights in rounds:
            a, audit_a = one.aggregate(ups, ids, weights)
            b, audit_b = fd.aggregate(dist, ups, ids, weights, shards=3)
            assert a.tobytes() == b.tobytes() and a.shape == b.shape
            assert repr(audit_a) == repr(audit_b)  # floats print exactly; NaN == NaN
            assert one.to_json() == dist.to_json()
        assert bool(gathered) != on_workers, text


def whole_update_calls():
    rng = np.random.default_rng(5)
    base = [rng.standard_normal((4, 5)).astype(np.float32) for _ in range(9)]
    base[1] = base[1] * 40 + 30                 # far off: clipped, never selected
    base[4] = base[3].copy()                    # equal norms and a Krum tie
    base[6] = np.zeros((4, 5), np.float32)      # norm 0
    bad = nan_at(nan_at(base, 7, 3, 4, -np.inf), 5, 0, 2)
    mismatched = base[:4] + [np.ones((5, 4), np.float32)] + base[5:]
    tiny = [np.full((1, 1), k, np.float32) for k in range(7)]  # fewer coordinates than shards
    stack = np.stack(base)
    ok = [  # (name, args, kwargs): each must run on the workers
        ("krum", (base,), {"f": 2}), ("krum", (stack,), {"f": 3}),
        ("multi_krum", (base,), {"f": 1}), ("multi_krum", (), {"updates": base, "f": 2, "m": 1}),
        ("multi_krum", ([u.T for u in base],), {"f": 1, "m": 5}),
        ("clip", (base,), {"c": 2.5}), ("clip", (stack,), {"c": 1e30}), ("clip", (tiny,), {"c": 2}),
        ("arc", (base,), {"f": 3}), ("arc", (stack,), {"f": 0}),
        ("arc", ([u[::-1, ::2] for u in base],), {"f": 4}),
        ("bucketing", (base,), {"s": 2, "seed": 7}), ("bucketing", (tiny,), {"s": 3, "seed": 0}),
        ("bucketing", (stack,), {"s": 20, "seed": 2**64 - 1}),
        ("bulyan", (base,), {"f": 1}), ("bulyan", (stack[:7],), {"f": 1}),
        ("nnm", (base,), {"f": 2}), ("nnm", (stack,), {"f": 0}), ("nnm", (tiny,), {"f": 3}),
        ("nnm", ([np.ones((4, 5), np.float32)] * 5,), {"f": 2}),  # every distance tied
        ("nnm_info", (base,), {"f": 4}), ("krum_info", (base,), {"f": 2}),
        ("multi_krum_info", (stack,), {"f": 1}), ("multi_krum_info", (base,), {"f": 1, "m": 5}),
        ("geometric_median", (base,), {}), ("geometric_median", (tiny,), {"max_iter": 0}),
        ("geometric_median", (stack, [1, 2, 0, 1, 3, 1, 0.5, 1, 2]), {"tol": 0.0, "nu": 0.1}),
        ("centered_clipping", (base,), {"tau": 1.5, "iterations": 3}),
        ("centered_clipping", (stack,), {"tau": np.inf, "center": base[2]}),
        ("bulyan_info", (base,), {"f": 1}), ("geometric_median_info", (base,), {"max_iter": 5}),
        ("centered_clipping_info", (base,), {"tau": 0.5}), ("clip_info", (base,), {"c": 2.5}),
        ("arc_info", (base,), {"f": 3}), ("bucketing_info", (base,), {"s": 4, "seed": 3}),
    ]
    refused = [
        ("krum", (bad,), {"f": 2}), ("krum", (base,), {"f": 4}), ("krum", (bad,), {"f": 9}),
        ("multi_krum", (base,), {"f": 1, "m": 6}), ("multi_krum", (base,), {"m": 1}),
        ("clip", (bad,), {"c": 1.0}), ("clip", (base,), {"c": 0.0}), ("clip", (bad,), {"c": "x"}),
        ("arc", (base,), {"f": 5}), ("arc", (mismatched,), {"f": 1}), ("arc", ([],), {"f": 0}),
        ("bucketing", (bad,), {"s": 2, "seed": 1}), ("bucketing", (base,), {"s": 0, "seed": 1}),
        ("bucketing", (base,), {"s": 2}), ("bucketing", (base, 2), {"seed": 1}),
        ("clip", ([u.astype(np.float64) for u in base],), {"c": 1.0}),
        ("bulyan", (bad,), {"f": 1}), ("bulyan", (base,), {"f": 2}),
        ("nnm", (bad,), {"f": 1}), ("nnm", (base,), {"f": 5}),
        ("krum_info", (bad,), {"f": 1}), ("multi_krum_info", (base,), {"f": 1, "m": 6}),
        ("geometric_median", (bad,), {}), ("geometric_median", (base, [0] * 9), {}),
        ("geometric_median", (base,), {"nu": 0.0}),
        ("centered_clipping", (bad,), {"tau": 1.0}), ("centered_clipping", (base,), {"tau": 0}),
        ("centered_clipping", (base,), {"tau": 1.0, "center": nan_at(base, 0, 1, 1)[0]}),
        ("centered_clipping", (base,), {"tau": 1.0, "center": base[0][:2]}),
        ("arc_info", (bad,), {"f": 1}), ("bulyan_info", (base,), {"f": 2}),
    ]
    return [(c, True) for c in ok] + [(c, False) for c in refused]


@pytest.mark.parametrize("call, on_workers", whole_update_calls(),
                         ids=lambda c: c[0] if isinstance(c, tuple) else None)
def test_whole_update_functions_of_fenro_robust(call, on_workers, monkeypatch):
    from fenro import robust

    name, args, kwargs = call
    expected = outcome(lambda: getattr(robust, name)(*args, **kwargs))
    assert (expected[0] == "ok") == on_workers
    # The function of fenro.robust runs here only on the parameters' stand-in (one coordinate
    # per update) unless the call is refused: the values themselves go to the workers.
    here = []

    def recording(fn):
        def recorded(*a, **k):
            u = a[0] if a else k["updates"]
            here.append(u.shape[1:] if isinstance(u, np.ndarray) else None)
            return fn(*a, **k)

        return recorded

    base = name[: -len("_info")] if name.endswith("_info") else name
    for patched in {name, base}:
        monkeypatch.setattr(robust, patched, recording(getattr(robust, patched)))
    for shards in (2, 3):
        here.clear()
        got = outcome(lambda: getattr(fd, name)(*args, shards=shards, **kwargs))
        assert got == expected, shards
        if on_workers:
            assert here and set(here) == {(1, 1)}
