"""fenro.robust.ComposedAggregator: the defense text, the chain against the functions called by
hand, rounds that survive bad clients, quorum, reputation, weights, the audit, persistence."""

import dataclasses
import json
import os
import pickle

import numpy as np
import pytest
import robust_reference as ref
from hypothesis import given, settings
from hypothesis import strategies as st

from fenro import ByzantineAggregator, _robust, robust
from fenro.robust import (Admitted, ComposedAggregator, Defense, DefenseTextError,
                          ExcludedByReputation, LocalUpdates, Malformed, QuorumError,
                          RejectedByNormBound, Stage)

IDS = [f"c{i}" for i in range(9)]


def honest(n=9, shape=(4, 6), seed=0, scale=1.0):
    rng = np.random.default_rng(seed)
    return [(rng.standard_normal(shape) * scale).astype(np.float32) for _ in range(n)]


# --- the text form ---------------------------------------------------------------------------

@pytest.mark.parametrize("text, canonical", [
    ("median", "median"),
    ("median()", "median"),
    (" nnm( f = 2 )|krum(f=2) ", "nnm(f=2) | krum(f=2)"),
    ("multi_krum(f=1, m=none)", "multi_krum(f=1)"),
    ("geometric_median(max_iter=5)", "geometric_median(nu=1e-06, tol=1e-07, max_iter=5)"),
    ("bucketing(seed=18446744073709551615, s=3) | clip(c=1e-3) | trimmed_mean(trim=.1)",
     "bucketing(s=3, seed=18446744073709551615) | clip(c=0.001) | trimmed_mean(trim=0.1)"),
    ("centered_clipping(tau=inf); norm_bound=10, ban_threshold=0.3, reputation=absolute",
     "centered_clipping(tau=inf, iterations=1); norm_bound=10.0, ban_threshold=0.3, "
     "reputation=absolute"),
    ("arc(f=1) | fedavg; influence=true, penalty=0.1, reward=0, reward_below=0.5, "
     "penalize_above=2E1", "arc(f=1) | fedavg; reward_below=0.5, penalize_above=20.0, "
     "reward=0.0, penalty=0.1, influence=true"),
    ("median; ban_threshold=0, norm_bound=none, reputation=relative", "median"),
])
def test_text_parses_to_its_canonical_form_and_back(text, canonical):
    defense = Defense.parse(text)
    assert str(defense) == canonical
    assert Defense.parse(canonical) == defense
    assert ComposedAggregator(text).to_text() == canonical


_counts = st.integers(0, 3)
_stage = st.one_of(
    st.builds(lambda f: Stage("nnm", f=f), _counts),
    st.builds(lambda s, seed: Stage("bucketing", s=s, seed=seed), st.integers(1, 4),
              st.integers(0, 2**64 - 1)),
    st.builds(lambda c: Stage("clip", c=c),
              st.floats(min_value=1e-30, max_value=1e30, allow_nan=False)),
    st.builds(lambda f: Stage("arc", f=f), _counts))
_rule = st.one_of(
    st.sampled_from([Stage("median"), Stage("fedavg")]),
    st.builds(lambda t: Stage("trimmed_mean", trim=t), st.floats(0, 0.49)),
    st.builds(lambda f, m: Stage("multi_krum", f=f, m=m), _counts,
              st.none() | st.integers(1, 5)),
    st.builds(lambda nu, it: Stage("geometric_median", nu=nu, max_iter=it),
              st.floats(1e-12, 1.0), st.integers(0, 200)),
    st.builds(lambda tau: Stage("centered_clipping", tau=tau),
              st.floats(min_value=1e-3, allow_nan=False)))


@settings(max_examples=150, deadline=None)
@given(pre=st.lists(_stage, max_size=3), rule=_rule,
       bound=st.none() | st.floats(1e-3, 1e6), ban=st.floats(0, 1),
       mode=st.sampled_from(["relative", "absolute", "off"]),
       low=st.none() | st.floats(0, 1), reward=st.floats(0, 1))
def test_every_defense_round_trips_through_its_text(pre, rule, bound, ban, mode, low, reward):
    d = Defense(tuple(pre) + (rule,), norm_bound=bound, ban_threshold=ban, reputation=mode,
                reward_below=low, reward=reward)
    assert Defense.parse(str(d)) == d
    assert str(Defense.parse(str(d))) == str(d)


@pytest.mark.parametrize("text, column, problem", [
    ("krum(f=2", 9, "expected ',' or ')', found the end of the text"),
    ("krum(f=2.0)", 8, "f of krum must be an integer >= 0, found '2.0'"),
    ("krum(f=-1)", 8, "f of krum must be an integer >= 0, found '-1'"),
    ("krum(f=two)", 8, "f of krum must be an integer >= 0, found 'two'"),
    ("krum(g=1)", 6, "krum has no parameter 'g'; expected f"),
    ("krum(f=1, f=2)", 11, "parameter 'f' given twice"),
    ("krum", 1, "krum needs f"),
    ("bucketing(s=2)|median", 14, "bucketing needs seed"),
    ("median(f=1)", 8, "median has no parameter 'f'; expected no parameters"),
    ("median f=1", 8, "expected '|', ';' or the end, found 'f'"),
    ("krum(f 1)", 8, "expected '=', found '1'"),
    ("krum(f=)", 8, "expected a value, found ')'"),
    ("krum(f=1) | median", 1, "'krum' is a rule and must be the last stage; expected a "
     "pre-aggregator (nnm, bucketing, clip, arc)"),
    ("nnm(f=1)", 9, "the chain ends with the pre-aggregator 'nnm'; expected '|' and a rule"),
    ("trimmed_mean(trim=0.5)", 19, "trim of trimmed_mean must be a number in [0, 0.5) as a "
     "float32, found '0.5'"),
    ("clip(c=inf) | median", 8, "c of clip must be a finite number > 0, found 'inf'"),
    ("centered_clipping(tau=0)", 23, "tau of centered_clipping must be a number > 0"),
    ("bucketing(s=2, seed=18446744073709551616) | median", 21, "seed of bucketing must be an "
     "integer in 0 ... 2**64 - 1"),
    ("clip(c=1) % median", 11, "unexpected character '%'"),
    ("Median", 1, "unexpected character 'M'"),
    ("", 1, "expected a stage (nnm, bucketing"),
    ("median;", 8, "expected a setting (norm_bound, ban_threshold"),
    ("median; ban_threshold=0.2,", 27, "expected a setting"),
    ("median; foo=1", 9, "unknown setting 'foo'"),
    ("median; norm_bound=0", 20, "norm_bound must be a finite number > 0, or none, found '0'"),
    ("median; ban_threshold=1.5", 23, "ban_threshold must be a number in [0, 1]"),
    ("median; reputation=always", 20, "reputation must be relative, absolute or off"),
    ("median; influence=1", 19, "influence must be true or false, found '1'"),
    ("median; norm_bound=1, norm_bound=2", 23, "setting 'norm_bound' given twice"),
    ("median; reward_below=3, penalize_above=2", 25,
     "penalize_above (2.0) must not be below reward_below (3.0)"),
    ("krum(f=1); influence=true", 12, "influence=true needs a rule that takes weights"),
    ("nnm(f=1) | median; influence=true", 20, "influence=true needs a rule that takes weights"),
])
def test_bad_text_names_the_column_and_what_was_expected(text, column, problem):
    with pytest.raises(DefenseTextError) as info:
        ComposedAggregator(text)
    e = info.value
    assert (e.position + 1, e.text) == (column, text)
    assert e.problem.startswith(problem)
    assert str(e) == f"defense {text!r} at column {column}: {e.problem}"


def test_defenses_built_in_python_are_checked_like_texts():
    assert Defense((Stage("nnm", f=2), Stage("krum", f=2))) == Defense.parse("nnm(f=2)|krum(f=2)")
    for build, message in [
            (lambda: Stage("krum"), "krum needs f"),
            (lambda: Stage("krum", f=True), "f of krum must be an integer >= 0, got True"),
            (lambda: Stage("clip", c="1"), "c of clip must be a finite number > 0, got '1'"),
            (lambda: Stage("krumm", f=1), "unknown stage 'krumm'"),
            (lambda: Defense(()), "a defense needs a rule"),
            (lambda: dataclasses.replace(Defense.parse("krum(f=1)"), influence=True),
             "influence=true needs a rule that takes weights"),
            (lambda: Defense((Stage("median"),), norm_bound=float("nan")),
             "norm_bound must be a finite number > 0, or none, got nan")]:
        with pytest.raises(ValueError) as info:
            build()
        assert str(info.value).startswith(message)
    with pytest.raises(TypeError):
        ComposedAggregator(3)  # type: ignore[arg-type]


# --- the chain is the functions called by hand -----------------------------------------------

@pytest.mark.parametrize("text, by_hand", [
    ("fedavg", lambda u, r: robust.fedavg(u)),
    ("nnm(f=2) | krum(f=2)", lambda u, r: robust.krum(robust.nnm(u, f=2), f=2)),
    ("nnm(f=1) | multi_krum(f=1, m=3)",
     lambda u, r: robust.multi_krum(robust.nnm(u, f=1), f=1, m=3)),
    ("bucketing(s=2, seed=5) | median",
     lambda u, r: robust.median(robust.bucketing(u, s=2, seed=5 + r))),
    ("clip(c=2) | arc(f=1) | trimmed_mean(trim=0.2)",
     lambda u, r: robust.trimmed_mean(robust.arc(robust.clip(u, c=2), f=1), trim=0.2)),
    ("geometric_median(nu=1e-5, max_iter=7)",
     lambda u, r: robust.geometric_median(u, nu=1e-5, max_iter=7)),
    ("centered_clipping(tau=1.5, iterations=3)",
     lambda u, r: robust.centered_clipping(u, tau=1.5, iterations=3)),
    ("bulyan(f=1)", lambda u, r: robust.bulyan(u, f=1)),
    ("bucketing(s=3, seed=18446744073709551615) | meamed(f=1)",
     lambda u, r: robust.meamed(robust.bucketing(u, s=3, seed=(2**64 - 1 + r) % 2**64), f=1)),
])
def test_a_chain_is_the_functions_called_by_hand_bit_for_bit(text, by_hand):
    agg = ComposedAggregator(text)
    for r in range(2):  # the bucketing seed moves on by one per round
        u = honest(seed=r)
        got, audit = agg.aggregate(np.stack(u) if r else u, IDS)
        assert got.tobytes() == by_hand(u, r).tobytes()
        assert audit.round == r and audit.defense == agg.to_text()
        assert [s.name for s in audit.stages] == [s.name for s in agg.defense.stages]


def test_audit_follows_each_client_through_the_stages():
    u = honest()
    u[0] = u[0] * 10  # the one clip scales down
    _, audit = ComposedAggregator("bucketing(s=2, seed=3) | clip(c=4) | krum(f=1)").aggregate(u)
    perm = ref.bucketing_permutation(9, 3)
    buckets = robust.bucketing(u, s=2, seed=3)
    clipped = robust.clip_info(buckets, c=4)
    chosen = robust.krum_info(clipped.clipped, f=1).selected
    for c in audit.clients:
        bucket = perm.index(c.index) // 2
        assert (c.row, c.clip_factor, c.selected) == (bucket, clipped.factors[bucket],
                                                      bucket in chosen)
        assert c.norm == pytest.approx(np.linalg.norm(u[c.index].astype(np.float64)), rel=1e-12)
    assert audit.stages[0].parameters == (("s", 2), ("seed", 3), ("buckets", 5))
    assert audit.stages[1].parameter("clipped") == sum(f < 1 for f in clipped.factors)
    assert audit.stages[2].parameter("selected") == chosen


# --- bad clients do not stop a round ---------------------------------------------------------

class Recording(LocalUpdates):
    """In-memory updates that record which indices each stage read."""

    def __init__(self, updates, during_inspect=None):
        super().__init__(updates)
        self.read = {"inspect": [], "screen": [], "values": []}
        self.during_inspect = during_inspect

    def inspect(self, indices):
        self.read["inspect"].append(list(indices))
        if self.during_inspect:
            self.during_inspect()
        return super().inspect(indices)

    def screen(self, indices):
        self.read["screen"].append(list(indices))
        return super().screen(indices)

    def values(self, indices):
        self.read["values"].append(list(indices))
        return super().values(indices)


def attacked(seed):
    """Six honest updates and one of each kind of bad one (c8 is over the norm bound)."""
    u = honest(seed=seed)
    u[2] = u[2].copy()
    u[2][1, 3] = np.inf
    u[4] = np.ones((3, 3), np.float32)
    u[5] = u[5].astype(np.float64)
    u[7] = "not an update"
    u[8] = u[8] * 100
    return u


def test_bad_clients_are_rejected_one_by_one_penalised_and_banned():
    agg = ComposedAggregator("median; norm_bound=20, ban_threshold=0.3")
    bad = {2: Malformed("non_finite", "inf at [1, 3]", 1, 3, float("inf")),
           4: Malformed("shape", "shape (3, 3), expected (4, 6)"),
           5: Malformed("dtype", "dtype float64, expected float32"),
           7: Malformed("not_array", "a str, not a NumPy array")}
    good = [0, 1, 3, 6]
    for r in range(4):
        u = attacked(r)
        source = Recording(u)
        got, audit = agg.run_round(source, IDS)
        assert got.tobytes() == robust.median([u[i] for i in good]).tobytes()
        verdicts = [c.verdict for c in audit.clients]
        if r < 3:  # 0.5 - 3 * 0.08 < 0.3: banned from the fourth round on
            assert {i: verdicts[i] for i in bad} == bad
            assert isinstance(verdicts[8], RejectedByNormBound) and verdicts[8].bound == 20.0
            assert all(audit.clients[i].score_after == pytest.approx(
                audit.clients[i].score_before - 0.08) for i in [*bad, 8])
        else:  # banned before anything of theirs was read
            assert all(isinstance(verdicts[i], ExcludedByReputation) for i in [*bad, 8])
            assert source.read["inspect"] == [good]
        assert source.read["values"] == [good]
        assert [i for i, v in enumerate(verdicts) if v == Admitted()] == good
    assert agg.reputations()["c8"] == pytest.approx(0.5 - 3 * 0.08)


def test_a_round_below_quorum_raises_and_changes_nothing():
    agg = ComposedAggregator("nnm(f=1) | krum(f=2); norm_bound=20")
    agg.aggregate(honest(), IDS)
    saved = agg.to_json()
    with pytest.raises(QuorumError) as info:
        agg.aggregate(attacked(1), IDS)
    assert str(info.value) == (
        "round below quorum: 4 of 9 submitted updates are usable (4 malformed, 1 over the "
        "norm bound); krum(f=2) needs at least 7 updates (n >= 2f + 3), got 4; no score "
        "changed")
    assert agg.to_json() == saved and agg.rounds == 1
    audit = info.value.audit
    assert audit.stages == () and audit.reputation is None
    assert audit.count(Malformed) == 4 and audit.count(Admitted) == 4
    for text, updates, message in [
            ("trimmed_mean(trim=0.4)", honest(4), "trimmed_mean(trim=0.4) cannot aggregate 4 "
             "updates: it trims k = 2 from each end and needs n > 2k"),
            ("bucketing(s=2, seed=0) | bulyan(f=1)", honest(9), "bulyan(f=1) needs at least "
             "7 updates (n >= 4f + 3), got 5"),
            ("multi_krum(f=1, m=3)", honest(6), "multi_krum(f=1, m=3) needs at least 7 "
             "updates (n >= 2f + 2 + m), got 6"),
            ("median", ["x"], "no update is left to aggregate")]:
        with pytest.raises(QuorumError) as info:
            ComposedAggregator(text).aggregate(updates)
        assert message in str(info.value)


def test_round_arguments_are_checked_before_anything_changes():
    agg = ComposedAggregator("nnm(f=1) | median")
    u = honest(4)
    for call, exc, message in [
            (lambda: agg.aggregate(u, IDS[:3]), ValueError, "client_ids: 3 ids for 4 updates"),
            (lambda: agg.aggregate(u, "abcd"), TypeError, "client_ids: a sequence of str"),
            (lambda: agg.aggregate(u, [1, 2, 3, 4]), TypeError, "client_ids[0]: a str"),
            (lambda: agg.aggregate(u, weights=[1] * 4), ValueError,
             "nnm(f=1) | median cannot use weights"),
            (lambda: agg.aggregate(np.zeros((4, 2, 2, 2), np.float32)), TypeError, "updates: a "),
            (lambda: agg.aggregate(u[:2] + [np.ones((1, 1), np.float32)] * 2), ValueError,
             "no shape is shared by more than half of the 4 well-typed updates"),
            (lambda: ComposedAggregator("median; influence=true").aggregate(u), ValueError,
             "influence=true weighs clients by reputation and needs client_ids"),
            (lambda: ComposedAggregator("fedavg").aggregate(u, weights=[1, 2]), ValueError,
             "weights: 2 weights for 4 updates"),
            (lambda: ComposedAggregator("fedavg").aggregate(u, weights=[1, 2, 3, "x"]),
             TypeError, "weights[3]: a number")]:
        with pytest.raises(exc) as info:
            call()
        assert str(info.value).startswith(message)
    assert agg.rounds == 0 and agg.reputations() == {}
    # An expected shape settles what a majority would: here the minority is right.
    _, audit = agg.aggregate(u[:1] + [np.ones((1, 1), np.float32)] * 3 + u[1:],
                             expected_shape=(4, 6))
    assert audit.count(Malformed) == 3 and audit.shape == (4, 6)


def test_a_call_back_into_a_running_round_is_refused():
    agg = ComposedAggregator("median")
    seen = []

    def reenter():
        with pytest.raises(RuntimeError) as info:
            agg.aggregate(honest(3))
        seen.append(str(info.value))

    agg.run_round(Recording(honest(3), during_inspect=reenter))
    assert seen == ["the ComposedAggregator is in use by another call"]
    assert agg.rounds == 1


# --- reputation ------------------------------------------------------------------------------

def test_absolute_reputation_is_the_byzantine_aggregator_rule():
    for method, text in [("median", "median"), ("krum:1", "krum(f=1)"),
                         ("trimmed_mean", "trimmed_mean(trim=0.2)"), ("fedavg", "fedavg")]:
        core = ByzantineAggregator(method, 0.2, ban_threshold=0.45)
        composed = ComposedAggregator(text + "; reputation=absolute, ban_threshold=0.45")
        for r in range(5):
            u = honest(seed=r, scale=0.3)
            u[7] = u[7] + 5
            assert core.aggregate(u, IDS).tobytes() == composed.aggregate(u, IDS)[0].tobytes()
        want = json.loads(core.to_json())["reputation"]
        assert {k: np.float32(v) for k, v in want.items()} == composed.reputations()


@pytest.mark.parametrize("scale", [1e-3, 1.0, 1e3])
def test_relative_thresholds_judge_distances_against_the_round_median(scale):
    # Honest updates at distance ~sqrt(24) from their median; one attacker four times as far.
    agg = ComposedAggregator("median")
    u = honest(scale=scale)
    u[3] = u[3] * 4
    _, audit = agg.aggregate(u, IDS)
    distances = [c.distance for c in audit.clients]
    median = float(np.median(distances))
    rep = audit.reputation
    assert (rep.mode, rep.median_distance) == ("relative", median)
    assert (rep.reward_below, rep.penalize_above) == (1.5 * median, 3.0 * median)
    for c in audit.clients:
        want = 0.52 if c.distance < 1.5 * median else 0.42 if c.distance > 3 * median else 0.5
        assert c.score_after == pytest.approx(want)
    assert audit.clients[3].score_after == pytest.approx(0.42)
    assert sum(c.score_after > 0.5 for c in audit.clients) >= 7


def test_a_round_of_identical_updates_rewards_exact_agreement_and_penalises_nobody():
    u = [np.ones((2, 2), np.float32)] * 5 + [np.full((2, 2), 2, np.float32)]
    _, audit = ComposedAggregator("median").aggregate(u, IDS[:6])
    assert audit.reputation.median_distance == 0.0
    assert [c.score_after for c in audit.clients] == pytest.approx([0.52] * 5 + [0.5])


def test_no_reputation_without_ids_or_when_off():
    u = attacked(0)
    for agg, ids in [(ComposedAggregator("median"), None),
                     (ComposedAggregator("median; reputation=off"), IDS)]:
        _, audit = agg.aggregate(u, ids)
        assert audit.reputation is None and agg.reputations() == {}
        assert all(c.score_before == c.score_after for c in audit.clients)


# --- weights ---------------------------------------------------------------------------------

@pytest.mark.parametrize("text, reference", [
    ("median", ref.weighted_median),
    ("trimmed_mean(trim=0.2)", lambda u, w: ref.weighted_trimmed_mean(u, w, 0.2)),
    ("trimmed_mean(trim=0.45)", lambda u, w: ref.weighted_trimmed_mean(u, w, 0.45)),
])
@pytest.mark.parametrize("n", [1, 2, 7, 20])
def test_weighted_median_and_trimmed_mean_follow_their_definitions(text, reference, n):
    rng = np.random.default_rng(n)
    u = honest(n, (5, 7), seed=n)
    u[0][0, :3] = u[-1][0, :3]  # ties across clients
    w = rng.integers(0, 50, n).astype(float)
    w[0] = 3.0
    got, audit = ComposedAggregator(text).aggregate(u, weights=w)
    want = reference(np.stack(u), w)
    assert np.all(np.abs(got - want) <= 1e-6 * (np.abs(want) + np.abs(want).max()))
    assert [c.weight for c in audit.clients] == list(w)
    assert audit.stages[-1].parameter("weighted") is True


def test_influence_multiplies_the_weights_and_bad_weights_reject_their_client():
    agg = ComposedAggregator("clip(c=10) | median; influence=true")
    agg.aggregate(honest(), IDS)  # scores move away from 0.5
    u = honest(seed=1)
    weights = [3.0, 1, 2, float("nan"), 5, -1, 1e39, 4, 2]
    got, audit = agg.aggregate(u, IDS, weights)
    good = [0, 1, 2, 4, 7, 8]
    assert [c.index for c in audit.clients if isinstance(c.verdict, Malformed)] == [3, 5, 6]
    assert audit.clients[3].verdict.problem == "weight"
    infl = [ReputationOf(agg, audit).before(i) for i in good]
    w = [weights[i] * f for i, f in zip(good, infl)]
    assert [audit.clients[i].weight for i in good] == w
    assert got.tobytes() == _robust._weighted_median(
        robust.clip([u[i] for i in good], c=10), np.asarray(w)).tobytes()
    with pytest.raises(QuorumError, match="the weights of the admitted updates are all zero"):
        ComposedAggregator("fedavg").aggregate(u, weights=[0] * 9)


class ReputationOf:
    """The influence weights a round used, from the scores its audit saw before it."""

    def __init__(self, agg, audit):
        self.scores = {c.index: c.score_before for c in audit.clients}

    def before(self, i):
        s = np.float32(self.scores[i])
        return float(min(s * (s * s), np.float32(0.8)))


# --- the audit as data -----------------------------------------------------------------------

def test_audit_converts_to_plain_dicts_and_strict_json():
    _, audit = ComposedAggregator("nnm(f=1) | multi_krum(f=0, m=2); norm_bound=20").aggregate(
        attacked(0), IDS)
    data = json.loads(audit.to_json())
    assert data == json.loads(json.dumps(audit.to_dict(), default=str).replace(
        "Infinity", '"inf"'))
    assert data["clients"][2]["verdict"] == {
        "kind": "Malformed", "problem": "non_finite", "detail": "inf at [1, 3]", "row": 1,
        "column": 3, "value": "inf"}
    assert data["clients"][8]["verdict"]["kind"] == "RejectedByNormBound"
    assert data["stages"][1]["parameters"]["selected"] == list(audit.stages[1].parameter(
        "selected"))
    with pytest.raises(dataclasses.FrozenInstanceError):
        audit.round = 3
    with pytest.raises(QuorumError) as info:
        ComposedAggregator("krum(f=3)").aggregate(attacked(0), IDS)
    with pytest.raises(DefenseTextError) as bad_text:
        Defense.parse("krum(")
    for value in [audit, info.value.audit, Defense.parse(audit.defense)]:
        assert pickle.loads(pickle.dumps(value)) == value
    for error in [info.value, bad_text.value]:
        copy = pickle.loads(pickle.dumps(error))
        assert (type(copy), str(copy), vars(copy)) == (type(error), str(error), vars(error))


def sequential_norm(x):
    """The float64 sum of squares in row-major order, one element at a time."""
    return float(np.sqrt(np.cumsum(np.asarray(x, np.float64).ravel() ** 2)[-1]))


def test_screen_and_distances_are_sequential_float64_sums():
    u = np.stack(honest(5, (33, 17)))
    u[1, 20, 5] = np.nan
    u[1, 30, 0] = np.inf
    u[3, 0, 0] = -np.inf
    norms, bad = _robust._screen(u)
    assert [b[:3] for b in bad] == [(1, 20, 5), (3, 0, 0)] and bad[1][3] == -np.inf
    assert [norms[i] for i in (0, 2, 4)] == [sequential_norm(u[i]) for i in (0, 2, 4)]
    point = u[0] * 0.5
    assert _robust._distances(u[[0, 2]], point) == tuple(
        sequential_norm(u[i].astype(np.float64) - point) for i in (0, 2))
    with pytest.raises(ValueError, match="Dimension mismatch"):
        _robust._distances(u, point[:3])


# --- persistence -----------------------------------------------------------------------------

def trained():
    """Five rounds: four under attack, then one with ids that JSON must escape."""
    agg = ComposedAggregator("clip(c=8) | median; norm_bound=20, ban_threshold=0.3")
    for r in range(4):
        agg.aggregate(attacked(r), IDS)
    agg.aggregate(honest(seed=5), ["é\"\\\n", "\U0001F600", "\x01"] + IDS[3:])
    return agg


def test_json_round_trip_is_bit_exact():
    agg = trained()
    text = agg.to_json()
    back = ComposedAggregator.from_json(text)
    assert back.to_json() == text
    assert back.rounds == agg.rounds == 5 and back.to_text() == agg.to_text()
    for cid, score in agg.reputations().items():
        assert np.float32(back.get_reputation(cid)).tobytes() == np.float32(score).tobytes()
    assert json.loads(text)["version"] == 1
    # The restored aggregator continues exactly where the first one would have.
    u = honest(seed=9)
    assert agg.aggregate(u, IDS)[0].tobytes() == back.aggregate(u, IDS)[0].tobytes()
    assert agg.to_json() == back.to_json()
    assert pickle.loads(pickle.dumps(agg)).to_json() == agg.to_json()


@pytest.mark.parametrize("mutate, message", [
    (lambda t: t.replace(',"rounds"', ' "rounds"'),
     "not valid JSON: Expecting ',' delimiter (line 1, column"),
    (lambda t: t[:40], "the text ends early: it is truncated"),
    (lambda t: t[:-1], "the text ends early: it is truncated"),
    (lambda t: "[]", "expected a JSON object, found list"),
    (lambda t: t.replace('"fenro.ComposedAggregator"', '"x"'), "\"format\" is 'x'"),
    (lambda t: t.replace('"version":1', '"version":2'),
     "version 2 (written by a newer fenro); this fenro reads version 1"),
    (lambda t: t.replace('"rounds":5', '"rounds":-1'), "\"rounds\" must be an integer >= 0"),
    (lambda t: t.replace('"rounds":5', '"rounds":5,"extra":0'), "unknown member 'extra'"),
    (lambda t: t.replace('"rounds":5,', ''), "missing member 'rounds'"),
    (lambda t: t.replace("median", "medain"), "defense 'clip(c=8.0) | medain"),
    (lambda t: t.replace('"c0":', '"c0":NaN,"z":'), "NaN is not a JSON number"),
    (lambda t: t.replace('"c0":', '"c0":1.5,"z":'),
     "reputation: reputation score 1.5 is outside the storable range [0, 1]"),
])
def test_a_bad_saved_text_gets_a_clear_error(mutate, message):
    with pytest.raises(ValueError) as info:
        ComposedAggregator.from_json(mutate(trained().to_json()))
    assert str(info.value).startswith("saved fenro.ComposedAggregator: ")
    assert message in str(info.value)


def test_save_is_atomic_and_load_names_a_bad_file(tmp_path, monkeypatch):
    path = tmp_path / "agg.json"
    agg = trained()
    agg.save(path)
    old = path.read_bytes()
    os.chmod(path, 0o640)
    assert ComposedAggregator.load(path).to_json() == old.decode()
    agg.aggregate(honest(seed=3), IDS)

    def crash(*args):
        raise OSError("disk gone")

    for name in ["fsync", "replace"]:  # a crash before the new file is complete or in place
        with monkeypatch.context() as m:
            m.setattr(os, name, crash)
            with pytest.raises(OSError, match="disk gone"):
                agg.save(path)
        assert path.read_bytes() == old and os.listdir(tmp_path) == ["agg.json"]
    agg.save(path)
    assert path.read_text() == agg.to_json() and os.listdir(tmp_path) == ["agg.json"]
    assert os.stat(path).st_mode & 0o777 == 0o640  # the old file's permissions are kept
    path.write_bytes(old[:len(old) // 2])
    with pytest.raises(ValueError) as info:
        ComposedAggregator.load(path)
    assert str(info.value).startswith(f"{path}: saved fenro.ComposedAggregator: not valid JSON")
    assert "truncated" in str(info.value)
    assert path.read_bytes() == old[:len(old) // 2]
    with pytest.raises(FileNotFoundError):
        ComposedAggregator.load(tmp_path / "missing.json")
