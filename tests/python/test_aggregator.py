"""ByzantineAggregator: construction, rounds per method, reputation, errors."""

import json
from functools import partial

import numpy as np
import pytest
from conftest import error_text, make_updates
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from fenro import ByzantineAggregator

value_error = partial(error_text, ValueError)


def test_constructor_defaults_and_checks():
    agg = ByzantineAggregator("median", 0.9)
    assert agg.norm_bound is None
    with pytest.raises(AttributeError):
        agg.norm_bound = 1.0
    assert ByzantineAggregator("median", 0.1, -0.0).to_json() == (
        ByzantineAggregator("median", 0.1).to_json())
    # The method text is checked before the threshold, the threshold before the bound.
    assert value_error(ByzantineAggregator, "Median", 0.1, 2.0).startswith(
        "Unknown method 'Median'")
    assert value_error(ByzantineAggregator, "median", 0.1, 1.5, False, 0.0) == (
        "invalid reputation threshold 1.5; expected a finite value in [0, 1]")
    for bound, text in [(0.0, "0"), (-1.0, "-1"), (float("nan"), "NaN"), (float("inf"), "inf")]:
        assert value_error(ByzantineAggregator, "median", 0.1, norm_bound=bound) == (
            f"Invalid norm bound: {text} (must be finite and > 0)")


@pytest.mark.parametrize(
    "method, ours",
    [("fedavg", lambda s: s.astype(np.float64).mean(0)), ("median", lambda s: np.median(s, 0))],
)
def test_mean_and_median_match_numpy(method, ours):
    updates = make_updates(9, (6, 7), seed=3)
    out = ByzantineAggregator(method, 0.1).aggregate(updates)
    np.testing.assert_allclose(out, ours(np.stack(updates)), rtol=2e-6, atol=1e-6)


@pytest.mark.parametrize("method", ["krum", "multi_krum:1:1"])
def test_krum_selects_one_submitted_update_exactly(method):
    updates = make_updates(7, (5, 5), seed=4)
    updates[2] = updates[2] + 1000  # an outlier is never chosen
    out = ByzantineAggregator(method, 0.1).aggregate(updates)
    matches = [i for i, u in enumerate(updates) if u.tobytes() == out.tobytes()]
    assert matches and 2 not in matches


NAN_AT_1_2 = np.zeros((2, 3), np.float32)
NAN_AT_1_2[1, 2] = np.nan

# Library failures reach Python as ValueError with the library's message, nothing added. The
# order of the checks is the C++ suite's concern; these rows cover what passes through the
# binding: a method's debug text, values read from the caller's arrays in place (update 0's
# NaN is found before update 1's shape), a weight converted from a Python float, a norm bound.
ROUND_ERRORS = [
    ("krum", None, ([], None, [1.0]), "weights are only supported by FedAvg, not Krum(1)"),
    ("fedavg", None, ([NAN_AT_1_2, np.zeros((1, 1), np.float32)],),
     "Non-finite value NaN in update 0 at [1, 2]"),
    ("fedavg", None, (make_updates(3), None, [1.0, float("inf"), 1.0]),
     "Non-finite weight inf at index 1"),
    ("median", 1.0, ([np.full((2, 2), 100.0, np.float32)] * 3,),
     "all 3 submitted updates were rejected"),
]


@pytest.mark.parametrize("method, bound, args, message", ROUND_ERRORS)
def test_round_errors_pass_through_unchanged(method, bound, args, message):
    agg = ByzantineAggregator(method, 0.1, norm_bound=bound)
    assert value_error(agg.aggregate, *args) == message


def test_reputation_moves_only_on_successful_rounds_with_ids(method):
    agg = ByzantineAggregator(method, 0.1)
    same = [np.ones((2, 3), np.float32)] * 7
    ids = [f"c{i}" for i in range(7)]
    agg.aggregate(same)
    assert json.loads(agg.to_json()) == json.loads(ByzantineAggregator(method, 0.1).to_json())
    agg.aggregate(same, ids)
    assert agg.get_reputation("c0") == np.float32(0.52)
    before = agg.to_json()
    with pytest.raises(ValueError):
        agg.aggregate(same[:6] + [np.full((2, 3), np.inf, np.float32)], ids)
    assert value_error(agg.decay_reputations, 1.5) == (
        "invalid reputation decay factor 1.5; expected a finite value in [0, 1]")
    agg.decay_reputations(0)
    assert agg.get_reputation("never") == 0.5 and agg.to_json() == before
    agg.reset_reputation()
    assert agg.get_reputation("c0") == 0.5


def test_json_round_trip_after_rounds(method):
    agg = ByzantineAggregator(method, 0.1, 0.3, False, 50.0)
    for seed in range(3):
        agg.aggregate(make_updates(7, seed=seed), [f"client-{i}" for i in range(7)])
    text = agg.to_json()
    again = ByzantineAggregator.from_json(text)
    assert again.to_json() == text and again is not agg
    assert again.norm_bound == agg.norm_bound
    assert agg.from_json(text).to_json() == text  # callable on an instance too
    with pytest.raises(ValueError):
        ByzantineAggregator.from_json("not json")
    with pytest.raises(TypeError, match="^argument 'json_str': "):
        ByzantineAggregator.from_json(b"{}")


stacks = hnp.arrays(np.float32, hnp.array_shapes(min_dims=3, max_dims=3, min_side=1, max_side=6),
                    elements=st.floats(-1e6, 1e6, width=32, allow_subnormal=False))


@settings(max_examples=40, deadline=None)
@given(stacks, st.randoms(use_true_random=False))
def test_median_ignores_update_order(stack, rnd):
    updates = list(stack)
    ref = ByzantineAggregator("median", 0.1).aggregate(updates)
    rnd.shuffle(updates)
    out = ByzantineAggregator("median", 0.1).aggregate(updates)
    assert (out == ref).all()  # == ignores the sign of a zero result


@settings(max_examples=40, deadline=None)
@given(stacks)
def test_trimmed_mean_without_trimming_is_the_mean(stack):
    out = ByzantineAggregator("trimmed_mean", 0.0).aggregate(stack).astype(np.float64)
    wide = stack.astype(np.float64)
    bound = stack.shape[0] * np.finfo(np.float32).eps * np.abs(wide).sum(0)
    assert (np.abs(out - wide.mean(0)) <= bound).all()
