"""Argument conversion: the TypeError texts, their order, and every accepted array layout."""

from functools import partial

import numpy as np
import pytest
from conftest import Reenters, error_text, make_updates, run_python

from fenro import ByzantineAggregator, ReputationManager

type_error = partial(error_text, TypeError)
GOOD = make_updates(3)


@pytest.mark.parametrize("updates, reason", [
    ("abc", "Can't extract `str` to `Vec`"),
    (5, "'int' object cannot be converted to 'Sequence'"),
    ({"a": 1}, "'dict' object cannot be converted to 'Sequence'"),
    ([[1.0, 2.0]], "'list' object cannot be converted to 'PyArray<T, D>'"),
    ([np.zeros(3, np.float32)], "dimensionality mismatch:\n from=1, to=2"),
    ([np.zeros((1, 2, 3), np.float32)], "dimensionality mismatch:\n from=3, to=2"),
    ([np.zeros((2, 3))], "type mismatch:\n from=float64, to=float32"),
    ([np.zeros((2, 3), ">f4")], "type mismatch:\n from=>f4, to=float32"),
    (np.zeros(4, np.float32), "'float32' object cannot be converted to 'PyArray<T, D>'"),
])
def test_update_errors_carry_prefix_and_fixed_reason(updates, reason):
    agg = ByzantineAggregator("fedavg", 0.1)
    assert type_error(agg.aggregate, updates) == "argument 'updates': " + reason


AGG = ByzantineAggregator("fedavg", 0.1)


# Arguments convert in parameter order, and all before the method text is parsed.
@pytest.mark.parametrize("fn, args, kwargs, prefix", [
    (AGG.aggregate, ([1], "x", "y"), {}, "argument 'updates': "),
    (AGG.aggregate, (GOOD, "x", "y"), {}, "argument 'client_ids': Can't extract `str` to `Vec`"),
    (AGG.aggregate, (GOOD, "xyz"), {}, "argument 'client_ids': Can't extract `str` to `Vec`"),
    (AGG.aggregate, (GOOD, ["a", 1, "c"]), {}, "argument 'client_ids': "),
    (AGG.aggregate, (GOOD, None, [1.0, "w", 1.0]), {}, "argument 'weights': "),
    (ByzantineAggregator, (1, "x"), {}, "argument 'method': "),
    (ByzantineAggregator, ("nope", "x"), {}, "argument 'trim_fraction': "),
    (ByzantineAggregator, ("nope", 0.1), {"adaptive_trim": 1},
     "argument 'adaptive_trim': 'int' object cannot be converted to 'PyBool'"),
] + [(ByzantineAggregator, ("median", 0.1, 0.0, flag), {}, "argument 'adaptive_trim': ")
     for flag in [1, 0, np.bool_(True), "yes", None]])
def test_arguments_convert_in_parameter_order(fn, args, kwargs, prefix):
    assert type_error(fn, *args, **kwargs).startswith(prefix)


def test_missing_unexpected_and_other_conversion_errors():
    for call in (lambda: ByzantineAggregator("fedavg"), lambda: AGG.aggregate(),
                 lambda: AGG.aggregate([], bogus=1), lambda: AGG.aggregate([], None, None, None),
                 lambda: AGG.to_json(1), lambda: ReputationManager().get_score(client="a")):
        with pytest.raises(TypeError):
            call()
    with pytest.raises(OverflowError):
        ByzantineAggregator("median", 10**400)
    with pytest.raises(UnicodeEncodeError):
        ReputationManager().get_score("\ud800")


def test_floats_are_narrowed_to_32_bits():
    assert ByzantineAggregator("median", 0.1, norm_bound=0.1).norm_bound == 0.10000000149011612

    class Index:
        def __index__(self):
            return 2

    assert ByzantineAggregator("median", 0.1, norm_bound=Index()).norm_bound == 2.0
    with pytest.raises(ValueError, match=r"^Invalid norm bound: inf \(must be finite and > 0\)$"):
        ByzantineAggregator("median", 0.1, norm_bound=1e39)


def layouts(u):
    """The same matrix as Fortran order, a strided slice, negative strides, an unaligned buffer."""
    yield np.asfortranarray(u)
    wide = np.zeros((u.shape[0], 2 * u.shape[1]), np.float32)
    wide[:, ::2] = u
    yield wide[:, ::2]
    yield u[::-1].copy()[::-1]
    unaligned = np.zeros(u.size * 4 + 1, np.uint8)[1:].view(np.float32).reshape(u.shape)
    unaligned[...] = u
    yield unaligned


class Updates:
    """A custom sequence whose item access runs Python code; its items are copied on entry."""

    def __init__(self, items, on_get=None):
        self.items, self.on_get = items, on_get

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        if self.on_get:
            self.on_get(i)
        return self.items[i]


def test_every_layout_gives_the_result_of_the_contiguous_copy(method):
    updates = make_updates(7, (4, 6), seed=1)
    out = ByzantineAggregator(method, 0.1).aggregate(updates)  # outlives its aggregator
    assert out.dtype == np.float32 and out.shape == (4, 6) and out.flags.writeable
    assert out.flags.c_contiguous and not any(np.shares_memory(out, u) for u in updates)
    ref = out.tobytes()
    inputs = [list(v) for v in zip(*(list(layouts(u)) for u in updates))]
    for variant in inputs + [np.stack(updates), tuple(updates), Updates(updates)]:
        assert ByzantineAggregator(method, 0.1).aggregate(variant).tobytes() == ref


def test_arrays_rewritten_by_caller_code_after_their_check_do_not_change_the_round():
    updates = make_updates(5, (3, 4), seed=2)
    ref = ByzantineAggregator("fedavg", 0.1).aggregate(updates).tobytes()
    victims = [u.copy() for u in updates]

    class Weight(float):
        def __float__(self):
            for v in victims:
                v[...] = 1e30  # would change the mean if read in place
            return 1.0

    out = ByzantineAggregator("fedavg", 0.1).aggregate(victims, None, [Weight(1.0)] + [1.0] * 4)
    assert out.tobytes() == ByzantineAggregator("fedavg", 0.1).aggregate(
        updates, None, [1.0] * 5).tobytes()
    shrink = [u.copy() for u in updates]

    def resize(i):
        if i == 4:
            shrink[0].resize((1, 1), refcheck=False)

    assert ByzantineAggregator("fedavg", 0.1).aggregate(Updates(shrink, resize)).tobytes() == ref


def test_reentry_from_conversion_code_raises_runtime_error():
    agg = ByzantineAggregator("fedavg", 0.1)
    mgr = ReputationManager()
    seen = []

    def Calls(fn):
        return Reenters(fn, seen, 0.5)

    for fn in (lambda: agg.get_reputation("a"), lambda: agg.norm_bound, agg.reset_reputation):
        agg.aggregate(make_updates(2), None, [Calls(fn), 1.0])
    mgr.set_score("a", Calls(lambda: mgr.get_score("a")))
    mgr.set_score("a", Calls(mgr.reset))
    assert seen == ["Already mutably borrowed"] * 2 + ["Already borrowed"] + [
        "Already mutably borrowed", "Already borrowed"]
    mgr.from_json("{}", Calls(lambda: mgr.get_score("a")))  # shared borrows coexist
    assert len(seen) == 5 and agg.get_reputation("a") == 0.5


def test_ids_as_any_sequence_and_weights_as_numpy_array():
    a, b = ByzantineAggregator("fedavg", 0.1), ByzantineAggregator("fedavg", 0.1)
    assert a.aggregate(GOOD, ("x", "y", "z"), np.array([1.0, 2.0, 3.0])).tobytes() == (
        b.aggregate(GOOD, ["x", "y", "z"], [1.0, 2.0, 3.0]).tobytes())


def test_conversion_code_that_drops_the_argument_list_is_harmless():
    kwargs = {}

    class Drop:
        def __float__(self):
            kwargs.clear()  # the list below may be referenced only by this dict
            return 1.0

    kwargs["weights"] = [Drop(), 1.0, 1.0]
    assert ByzantineAggregator("fedavg", 0.1).aggregate(GOOD, **kwargs).shape == GOOD[0].shape


def test_numpy_ids_and_scalar_weights_let_the_round_read_arrays_in_place():
    # Converting a NumPy str array or NumPy scalars runs no caller code, so the updates need
    # no copy on entry: the peak grows by about the output, not by the 128 MB of input.
    r = run_python("""
        import resource, numpy as np
        from fenro import ByzantineAggregator
        u = [np.full((2000, 2000), i, np.float32) for i in range(8)]
        ids, w = np.array([f"c{i}" for i in range(8)]), [np.float32(1)] * 7 + [np.float64(2)]
        agg = ByzantineAggregator("fedavg", 0.0)
        agg.aggregate(u[:2], list(ids[:2]), [1.0, 1.0])  # starts the pool, binds NumPy
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        out = agg.aggregate(u, ids, w)
        grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
        assert out[0, 0] == np.float32(35 / 9), out[0, 0]
        print(grown // 1024)
    """)
    assert r.returncode == 0, r.stderr
    assert int(r.stdout) < 64, r.stdout


def test_a_result_too_large_for_memory_fails_before_any_value_is_read():
    # A broadcast view claims 2**40 elements; reading them would take days.
    r = run_python("""
        import numpy as np
        from fenro import ByzantineAggregator
        from fenro.robust import bulyan, krum
        z = np.lib.stride_tricks.as_strided(np.zeros(1, np.float32), (2**40, 1), (0, 4))
        calls = [lambda m=m: ByzantineAggregator(m, 0.1).aggregate([z] * 7)
                 for m in ("krum", "multi_krum", "median")]
        calls += [lambda: ByzantineAggregator("median", 0.1, norm_bound=1.0).aggregate([z] * 7),
                  lambda: krum([z] * 7, f=1), lambda: bulyan([z] * 7, f=1)]
        for call in calls:
            try:
                call()
            except MemoryError:
                continue
            raise SystemExit("no MemoryError")
    """, timeout=120)
    assert r.returncode == 0, r.stderr
