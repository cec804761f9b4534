"""Argument conversion: the TypeError texts, their order, and every accepted array layout."""

import sys

import numpy as np
import pytest
from conftest import make_updates

from fenro import ByzantineAggregator, ReputationManager


def type_error(fn, *args, **kwargs):
    with pytest.raises(TypeError) as info:
        fn(*args, **kwargs)
    return str(info.value)


UPDATE_ERRORS = [
    ("abc", "Can't extract `str` to `Vec`"),
    (5, "'int' object cannot be converted to 'Sequence'"),
    ({"a": 1}, "'dict' object cannot be converted to 'Sequence'"),
    ([[1.0, 2.0]], "'list' object cannot be converted to 'PyArray<T, D>'"),
    ([np.zeros(3, np.float32)], "dimensionality mismatch:\n from=1, to=2"),
    ([np.zeros((1, 2, 3), np.float32)], "dimensionality mismatch:\n from=3, to=2"),
    ([np.zeros((2, 3))], "type mismatch:\n from=float64, to=float32"),
    ([np.zeros((2, 3), ">f4")], "type mismatch:\n from=>f4, to=float32"),
    (np.zeros(4, np.float32), "'float32' object cannot be converted to 'PyArray<T, D>'"),
]


@pytest.mark.parametrize("updates, reason", UPDATE_ERRORS)
def test_update_errors_carry_prefix_and_fixed_reason(updates, reason):
    agg = ByzantineAggregator("fedavg", 0.1)
    assert type_error(agg.aggregate, updates) == "argument 'updates': " + reason


def test_arguments_convert_in_parameter_order():
    agg = ByzantineAggregator("fedavg", 0.1)
    good = make_updates(3)
    assert type_error(agg.aggregate, [1], "x", "y").startswith("argument 'updates'")
    assert type_error(agg.aggregate, good, "x", "y") == (
        "argument 'client_ids': Can't extract `str` to `Vec`"
    )
    assert type_error(agg.aggregate, good, ["a", 1, "c"]).startswith("argument 'client_ids': ")
    assert type_error(agg.aggregate, good, None, [1.0, "w", 1.0]).startswith("argument 'weights': ")
    assert type_error(ByzantineAggregator, 1, "x").startswith("argument 'method': ")
    assert type_error(ByzantineAggregator, "nope", "x").startswith("argument 'trim_fraction': ")
    # Conversion errors come before the method text is parsed.
    assert type_error(ByzantineAggregator, "nope", 0.1, adaptive_trim=1) == (
        "argument 'adaptive_trim': 'int' object cannot be converted to 'PyBool'"
    )


@pytest.mark.parametrize("flag", [1, 0, np.bool_(True), "yes", None])
def test_adaptive_trim_accepts_only_true_and_false(flag):
    assert type_error(ByzantineAggregator, "median", 0.1, 0.0, flag).startswith(
        "argument 'adaptive_trim': "
    )


def test_missing_and_unexpected_arguments_are_type_errors():
    agg = ByzantineAggregator("fedavg", 0.1)
    for call in (
        lambda: ByzantineAggregator("fedavg"),
        lambda: agg.aggregate(),
        lambda: agg.aggregate([], bogus=1),
        lambda: agg.aggregate([], None, None, None),
        lambda: agg.to_json(1),
        lambda: ReputationManager().get_score(client="a"),
    ):
        with pytest.raises(TypeError):
            call()


def test_other_conversion_exceptions_pass_through():
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
    """The same matrix in other memory layouts: Fortran order, a strided slice, reversed rows,
    an unaligned buffer."""
    yield np.asfortranarray(u)
    wide = np.zeros((u.shape[0], 2 * u.shape[1]), np.float32)
    wide[:, ::2] = u
    yield wide[:, ::2]
    yield u[::-1].copy()[::-1]
    raw = np.zeros(u.size * 4 + 1, np.uint8)
    unaligned = raw[1:].view(np.float32).reshape(u.shape)
    unaligned[...] = u
    yield unaligned


def test_every_layout_gives_the_result_of_the_contiguous_copy(method):
    updates = make_updates(7, (4, 6), seed=1)
    ref = ByzantineAggregator(method, 0.1).aggregate(updates)
    for variants in zip(*(list(layouts(u)) for u in updates)):
        out = ByzantineAggregator(method, 0.1).aggregate(list(variants))
        assert out.tobytes() == ref.tobytes()
    stacked = np.stack(updates)
    assert ByzantineAggregator(method, 0.1).aggregate(stacked).tobytes() == ref.tobytes()
    assert ByzantineAggregator(method, 0.1).aggregate(tuple(updates)).tobytes() == ref.tobytes()
    # A custom sequence makes every update a copy taken on entry.
    assert ByzantineAggregator(method, 0.1).aggregate(Updates(updates)).tobytes() == ref.tobytes()


class Updates:
    """A custom sequence: its item access runs Python code."""

    def __init__(self, items, on_get=None):
        self.items, self.on_get = items, on_get

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        if self.on_get:
            self.on_get(i)
        return self.items[i]


def test_arrays_rewritten_by_caller_code_after_their_check_do_not_change_the_round():
    updates = make_updates(5, (3, 4), seed=2)
    ref = ByzantineAggregator("fedavg", 0.1).aggregate(updates)
    victims = [u.copy() for u in updates]

    class Weight(float):
        def __float__(self):
            for v in victims:
                v[...] = 1e30  # would change the mean if read in place
            return 1.0

    agg = ByzantineAggregator("fedavg", 0.1)
    out = agg.aggregate(victims, None, [Weight(1.0)] + [1.0] * 4)
    assert out.tobytes() == ByzantineAggregator("fedavg", 0.1).aggregate(
        updates, None, [1.0] * 5).tobytes()

    shrink = [u.copy() for u in updates]

    def resize(i):
        if i == 4:
            shrink[0].resize((1, 1), refcheck=False)

    out = ByzantineAggregator("fedavg", 0.1).aggregate(Updates(shrink, resize))
    assert out.tobytes() == ref.tobytes()


def test_result_owns_its_memory_and_outlives_the_instance():
    updates = make_updates(5)
    agg = ByzantineAggregator("median", 0.1)
    out = agg.aggregate(updates)
    del agg
    assert out.dtype == np.float32 and out.shape == updates[0].shape
    assert out.flags.writeable and out.flags.c_contiguous
    assert not any(np.shares_memory(out, u) for u in updates)
    out += 1  # writable, and still valid
    assert np.isfinite(out).all()


def test_reentry_from_conversion_code_raises_runtime_error():
    agg = ByzantineAggregator("fedavg", 0.1)
    mgr = ReputationManager()
    seen = []

    class Calls:
        def __init__(self, fn):
            self.fn = fn

        def __float__(self):
            try:
                self.fn()
            except RuntimeError as e:
                seen.append(str(e))
            return 0.5

    agg.aggregate(make_updates(2), None, [Calls(lambda: agg.get_reputation("a")), 1.0])
    agg.aggregate(make_updates(2), None, [Calls(lambda: agg.norm_bound), 1.0])
    agg.aggregate(make_updates(2), None, [Calls(agg.reset_reputation), 1.0])
    mgr.set_score("a", Calls(lambda: mgr.get_score("a")))
    mgr.set_score("a", Calls(mgr.reset))
    assert seen == ["Already mutably borrowed"] * 2 + ["Already borrowed"] + [
        "Already mutably borrowed", "Already borrowed"]
    # A shared borrow lets other shared borrows in.
    mgr.from_json("{}", Calls(lambda: mgr.get_score("a")))
    assert agg.get_reputation("a") == 0.5


@pytest.mark.skipif(sys.version_info < (3, 8), reason="3.8+")
def test_ids_as_any_sequence_and_weights_as_numpy_array():
    updates = make_updates(3)
    agg = ByzantineAggregator("fedavg", 0.1)
    a = agg.aggregate(updates, ("x", "y", "z"), np.array([1.0, 2.0, 3.0]))
    b = ByzantineAggregator("fedavg", 0.1).aggregate(updates, ["x", "y", "z"], [1.0, 2.0, 3.0])
    assert a.tobytes() == b.tobytes()
    with pytest.raises(TypeError, match=r"^argument 'client_ids': Can't extract `str` to `Vec`$"):
        agg.aggregate(updates, "xyz")


def test_conversion_code_that_drops_the_argument_list_is_harmless():
    updates = make_updates(3)
    kwargs = {}

    class Drop:
        def __float__(self):
            kwargs.clear()  # the list below may be referenced only by this dict
            return 1.0

    kwargs["weights"] = [Drop(), 1.0, 1.0]
    out = ByzantineAggregator("fedavg", 0.1).aggregate(updates, **kwargs)
    assert out.shape == updates[0].shape
