"""fenro.robust.aggregate_with_audit: the same round as ByzantineAggregator.aggregate, byte for
byte, with the decision on every update and the method record, refused rounds included."""

import json

import numpy as np
import pytest
from conftest import Reenters, error_text, make_updates

from fenro import ByzantineAggregator, ReputationManager, robust
from fenro.robust import (Admitted, ExcludedByReputation, RejectedByNormBound, RoundAudit,
                          RoundRefusedError)

IDS = [f"c{i}" for i in range(7)]


def rounds():
    """Rounds in which c5 (huge) and c6 (far) attack, c6 then sends a NaN, then everyone is
    far away, then a round without ids."""
    for r in range(5):
        u = make_updates(7, (4, 5), seed=r)
        u[5] = u[5] * 40
        u[6] = u[6] + 3
        yield u, IDS, None
    u = make_updates(7, (4, 5))
    u[6][1, 1] = np.nan
    yield u, IDS, None
    yield [x * 1000 for x in make_updates(7, (4, 5), seed=9)], IDS, None  # all over any bound
    yield make_updates(7, (4, 5), seed=10), None, None


def outcome(call):
    try:
        return call(), None
    except (TypeError, ValueError) as e:
        return None, e


@pytest.mark.parametrize("config", [
    ("trimmed_mean", 0.2, 0.45, True, None),
    ("median", 0.1, 0.45, False, 30.0),
    ("krum:1", 0.0, 0.45, False, 30.0),
    ("multi_krum:1:1", 0.0, 0.3, False, None),
    ("fedavg", 0.0, 0.45, False, 30.0),
])
def test_rounds_match_aggregate_byte_for_byte_and_audit_every_update(config):
    plain, audited = ByzantineAggregator(*config), ByzantineAggregator(*config)
    ban, bound = config[2], config[4]
    refused, kinds = 0, set()
    for updates, ids, weights in rounds():
        before = {i: plain.get_reputation(i) for i in IDS}
        want, want_error = outcome(lambda: plain.aggregate(updates, ids, weights))
        got, got_error = outcome(lambda: robust.aggregate_with_audit(audited, updates, ids,
                                                                     weights))
        assert plain.to_json() == audited.to_json()
        if want_error is not None:
            assert type(got_error) in (type(want_error), RoundRefusedError)
            assert str(got_error) == str(want_error)
            if not isinstance(got_error, RoundRefusedError):
                continue
            refused += 1
            audit = got_error.audit
        else:
            array, audit = got
            assert array.tobytes() == want.tobytes()
        assert isinstance(audit, RoundAudit)
        assert [d.index for d in audit.decisions] == list(range(len(updates)))
        for d, u in zip(audit.decisions, updates):
            kinds.add(type(d.verdict))
            assert d.client_id == (ids[d.index] if ids else None)
            norm = float(np.sqrt((u.astype(np.float64) ** 2).sum()))
            if ids and ban > 0 and before[d.client_id] < ban:
                assert d.verdict == ExcludedByReputation(before[d.client_id],
                                                         float(np.float32(ban)))
            elif bound is not None and not norm <= bound:
                assert isinstance(d.verdict, RejectedByNormBound)
                assert d.verdict.bound == float(np.float32(bound))
                assert d.verdict.norm == pytest.approx(norm)
            else:
                assert d.verdict == Admitted()
        record = audit.to_dict()["method"]
        assert record["kind"] == {"trimmed_mean": "TrimmedMean", "median": "Median",
                                  "fedavg": "FedAvg", "krum": "Krum",
                                  "multi_krum": "MultiKrum"}[config[0].split(":")[0]]
        if record["kind"] in ("TrimmedMean", "MultiKrum"):
            chosen = record.get("effective_trim", record.get("selected_m"))
            assert (chosen is None) == (want_error is not None)
        json.dumps(audit.to_dict())
    assert refused == (bound is not None)
    assert kinds == {Admitted, ExcludedByReputation} | ({RejectedByNormBound} if bound else set())


def test_refused_round_keeps_the_message_and_pickles_with_its_audit():
    import pickle

    agg = ByzantineAggregator("median", 0.0, norm_bound=1e-3)
    message = error_text(ValueError, ByzantineAggregator("median", 0.0, norm_bound=1e-3).aggregate,
                         make_updates(3))
    with pytest.raises(RoundRefusedError) as info:
        robust.aggregate_with_audit(agg, make_updates(3))
    assert str(info.value) == message == "all 3 submitted updates were rejected"
    copy = pickle.loads(pickle.dumps(info.value))
    assert str(copy) == message and copy.audit == info.value.audit
    assert info.value.audit.to_dict()["method"] == {"kind": "Median"}


def test_aggregator_borrow_and_type_are_those_of_aggregate():
    agg = ByzantineAggregator("fedavg", 0.1)
    seen = []

    def Calls(fn):
        return Reenters(fn, seen)

    robust.aggregate_with_audit(agg, make_updates(2), None, [Calls(agg.reset_reputation), 1.0])
    robust.aggregate_with_audit(agg, make_updates(2), None, [Calls(lambda: agg.norm_bound), 1.0])
    agg.aggregate(make_updates(2), None,
                  [Calls(lambda: robust.aggregate_with_audit(agg, make_updates(2))), 1.0])
    assert seen == ["Already borrowed", "Already mutably borrowed", "Already borrowed"]
    assert error_text(TypeError, robust.aggregate_with_audit, ReputationManager(), []) == (
        "argument 'aggregator': 'ReputationManager' object cannot be converted to "
        "'ByzantineAggregator'")
    assert error_text(ValueError, robust.aggregate_with_audit, agg, []) == (
        "Empty updates provided")
