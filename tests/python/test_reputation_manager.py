"""ReputationManager: scores, thresholds, messages and JSON text."""

import math
from functools import partial

import numpy as np
import pytest
from conftest import error_text
from hypothesis import given, settings
from hypothesis import strategies as st

from fenro import ReputationManager

value_error = partial(error_text, ValueError)


def test_threshold_is_checked_at_creation():
    for bad, text in [(1.5, "1.5"), (float("nan"), "NaN"), (-0.1, "-0.1")]:
        assert value_error(ReputationManager, bad) == (
            f"invalid reputation threshold {text}; expected a finite value in [0, 1]")
    ReputationManager(0.0), ReputationManager(1.0)
    # The text is not read when the threshold is bad.
    assert value_error(ReputationManager.from_json, "not json", 2.0).startswith(
        "invalid reputation threshold 2;")


def test_scores_rewards_and_bans():
    m = ReputationManager()
    assert m.get_score("new") == 0.5 and m.all_scores() == {} and not m.is_banned("new")
    m.penalize("new", 0.31)
    assert m.is_banned("new")
    m.reward("c", 0.0)
    assert m.all_scores()["c"] == 0.5
    m.set_score("x", 0.3)
    assert m.get_score("x") == 0.30000001192092896
    m.set_score("x", 1.00000001)
    assert m.get_score("x") == 1.0
    before = m.all_scores()
    assert value_error(m.set_score, "x", 1.0000001).startswith("invalid reputation score 1.0000001")
    for call, text in [
        (lambda: m.reward("x", 1e39), "adjustment inf; expected a finite non-negative value"),
        (lambda: m.penalize("x", -1), "adjustment -1; expected a finite non-negative value"),
        (lambda: m.decay(1.5), "decay factor 1.5; expected a finite value in [0, 1]"),
    ]:
        assert value_error(call) == "invalid reputation " + text
    assert m.all_scores() == before
    m.set_score("top", 1.0)
    m.decay()
    assert m.get_score("top") == 0.9900000095367432
    assert m.influence_weight("unknown") == 0.125
    m.set_score("top", 1.0)
    assert m.influence_weight("top") == 0.800000011920929
    m.set_score("b", 0.9)
    assert m.active_clients() == [  # in id order, without the banned "new"
        ("b", 0.8999999761581421), ("c", 0.5), ("top", 1.0), ("x", 0.9900000095367432)]
    m.reset()
    assert m.all_scores() == {} and m.is_banned("z") is False and m.to_json() == "{}"


@settings(max_examples=60, deadline=None)
@given(st.dictionaries(st.text(max_size=8), st.floats(0.0, 1.0, width=32), max_size=12),
       st.floats(0, 1, width=32))
def test_json_round_trip_is_bit_exact(entries, threshold):
    m = ReputationManager()
    for client, score in entries.items():
        try:
            m.set_score(client, score)
        except UnicodeEncodeError:
            return
    text = m.to_json()
    again = ReputationManager.from_json(text, threshold)
    assert again.to_json() == text
    got = again.all_scores()
    assert got.keys() == m.all_scores().keys()
    for k, v in m.all_scores().items():
        assert math.copysign(1, got[k]) == math.copysign(1, v) and got[k] == v
    assert [c for c, _ in again.active_clients()] == sorted(
        c for c, s in got.items() if s >= float(np.float32(threshold)))


def test_reading_errors_are_value_errors():
    with pytest.raises(ValueError, match=r"^reputation score 2 is outside the storable range"):
        ReputationManager.from_json('{"a":2.0}')
    with pytest.raises(ValueError, match=r" at line \d+ column \d+$"):
        ReputationManager.from_json('{"a":')
