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


def test_trimmed_mean_drops_extremes_per_coordinate():
    updates = [np.full((2, 2), v, np.float32) for v in [1.0, 100.0, 2.0, 3.0, -50.0]]
    assert (ByzantineAggregator("trimmed_mean", 0.2).aggregate(updates) == 2.0).all()
    assert value_error(ByzantineAggregator("trimmed_mean", 0.5).aggregate, updates) == (
        "Insufficient quorum: need 1, got 0")
    assert value_error(ByzantineAggregator("trimmed_mean", 0.6).aggregate, updates) == (
        "Invalid trim fraction: 0.6 (must be 0.0-0.5)")


@pytest.mark.parametrize("method", ["krum", "multi_krum:1:1"])
def test_krum_selects_one_submitted_update_exactly(method):
    updates = make_updates(7, (5, 5), seed=4)
    updates[2] = updates[2] + 1000  # an outlier is never chosen
    out = ByzantineAggregator(method, 0.1).aggregate(updates)
    matches = [i for i, u in enumerate(updates) if u.tobytes() == out.tobytes()]
    assert matches and 2 not in matches


NAN_AT_1_2 = np.zeros((2, 3), np.float32)
NAN_AT_1_2[1, 2] = np.nan

# (method, norm bound, aggregate arguments, message); each row fails only the check it names,
# or also later ones, so that a changed check order shows as a different message.
ROUND_ERRORS = [
    ("median", None, ([], None, [1.0]), "weights are only supported by FedAvg, not Median"),
    ("krum", None, ([], None, [1.0]), "weights are only supported by FedAvg, not Krum(1)"),
    ("fedavg", None, ([], None, [1.0]), "Empty updates provided"),
    ("fedavg", None, ([NAN_AT_1_2, np.zeros((1, 1), np.float32)],),
     "Non-finite value NaN in update 0 at [1, 2]"),
    ("fedavg", None, (make_updates(3), ["a", "b"]),
     "Client ID count mismatch: 3 updates but 2 client IDs"),
    ("fedavg", None, (make_updates(3), None, [1.0, 1.0]), "Dimension mismatch in updates"),
    ("fedavg", None, (make_updates(3), None, [1.0, float("inf"), 1.0]),
     "Non-finite weight inf at index 1"),
    ("krum", None, (make_updates(4),), "Insufficient quorum: need 5, got 4"),
    ("multi_krum:1:4", None, (make_updates(7),),
     "Multi-Krum selection m=4 exceeds the safe maximum 3 for 7 clients with f=1 "
     "(requires 1 <= m <= n - 2f - 2)"),
    ("median", 1.0, ([np.full((2, 2), 100.0, np.float32)] * 3,),
     "all 3 submitted updates were rejected"),
]


@pytest.mark.parametrize("method, bound, args, message", ROUND_ERRORS)
def test_round_errors_in_check_order(method, bound, args, message):
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


def test_ban_threshold_excludes_only_with_ids():
    agg = ByzantineAggregator("median", 0.1, ban_threshold=0.6)
    updates = make_updates(3)
    assert value_error(agg.aggregate, updates, ["a", "b", "c"]) == (
        "all 3 submitted updates were rejected")
    assert agg.get_reputation("a") == 0.5
    assert agg.aggregate(updates).shape == updates[0].shape


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
