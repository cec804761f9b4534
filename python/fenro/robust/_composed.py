"""The composed, stateful aggregator: pre-aggregators and a rule, a norm bound, bans and
reputation, configured by one line of text.

A round of :class:`ComposedAggregator` runs these stages, in this order, each a method of its
own that reads only what it needs:

1. **Arguments** (``_arguments``): the client ids, weights and expected shape, checked as a
   whole; a caller's mistake here is an exception and changes nothing.
2. **Ban** (``_ban``): clients whose score is below the ban threshold are dropped. Only their
   ids are read, never their updates.
3. **Inspect** (``_inspect``): the structure of every remaining update (a NumPy array, two
   dimensions, float32, the round's shape) and its weight, without reading values. The
   round's shape is ``expected_shape`` or the shape that more than half of the well-typed
   updates share.
4. **Screen** (``_screen``): one pass over the values of the structurally sound updates: the
   float64 norm of each and the first NaN or infinity of those that hold one.
5. **Norm bound** (``_bound``): updates whose norm exceeds the bound are rejected.
6. **Quorum** (``_quorum``): every stage must accept the number of admitted updates (for
   example Krum n >= 2f + 3); otherwise :class:`QuorumError`, and nothing changes.
7. **Combine** (``_combine``): the pre-aggregators, then the rule, on the admitted updates;
   the per-row data (bucket, clipping factor, selection) is kept for the audit.
8. **Distances**: of every admitted update to the aggregate, in float64. A non-finite one
   means the aggregate overflowed: a ValueError, and nothing changes.
9. **Reputation** (``_reputation``): the score changes, computed from the verdicts and the
   distances without touching the store; then **commit** (``_commit``) applies them and
   counts the round. Only this step changes the aggregator.
10. **Audit** (``_audit``): the round's :class:`ComposedAudit`.

Stages 3, 4, 7 (its input) and 8 read the updates through an :class:`UpdateSource`, a small
interface with four methods. :class:`LocalUpdates` implements it on in-memory arrays, which
is what :meth:`ComposedAggregator.aggregate` uses; a backend that keeps the updates elsewhere
(sharded across machines, for example) implements the same four methods and calls
:meth:`ComposedAggregator.run_round`:

- ``__len__()``: the number of submitted updates.
- ``inspect(indices)``: for each index, the update's (rows, cols) when it is a
  two-dimensional float32 array, else the :class:`Malformed` that says why not ("not_array",
  "shape" or "dtype"). Reads no values.
- ``screen(indices)``: (norms, bad): the float64 L2 norm of each listed update (row-major
  sequential sum), and for those holding a NaN or an infinity, a dict from index to (row,
  column, value) of the first one in row-major order. One pass over the values.
- ``values(indices)``: the listed updates as the stateless functions take them (a sequence
  of 2-D float32 arrays or a 3-D array), for the pre-aggregators and the rule.
- ``distances(indices, point)``: the float64 L2 distance of each listed update to ``point``
  (a 2-D float32 array).
- optionally ``coordinate_rule(fn, indices, *args, **kwargs)``: ``fenro.robust.<fn>`` on the
  listed updates, run where they are, for a coordinate-wise rule (fedavg, unweighted median,
  trimmed_mean and meamed) with no pre-aggregator before it; ``values`` is then never asked.
- optionally ``whole_rule(fn, indices, *args)``: the same for krum, multi_krum, bulyan,
  geometric_median and centered_clipping with no pre-aggregator before them, returning the
  tuple of their ``*_info`` forms (aggregate first), given the arguments those take after the
  updates.

Everything else (the ban, the verdicts, the quorum, the reputation, the audit) works per
client on these results, so it is the same for every source.
"""

from __future__ import annotations

import math
import os
import threading
from collections import Counter
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Protocol, Sequence, Set, Tuple, Union

import numpy as np

from fenro import _robust
from fenro._core import ReputationManager
from fenro.robust import _api, _persist, _sources
from fenro.robust._audit import Admitted, ExcludedByReputation, RejectedByNormBound
from fenro.robust._composed_audit import (AuditValue, ClientRecord, ClientVerdict,
                                          ComposedAudit, Malformed, QuorumError,
                                          ReputationRecord, StageRecord)
from fenro.robust._defense import Defense, Stage

if TYPE_CHECKING:
    from fenro._robust import _Array, _Updates

Shape = Tuple[int, int]
_U64 = 1 << 64
# The rules a source may run where its updates are through whole_rule.
_WHOLE_RULES = ("krum", "multi_krum", "bulyan", "geometric_median", "centered_clipping")
# The largest float64 that rounds to a finite float32: the float32 maximum plus just under
# half its unit in the last place (2**104 - 2**79 rounds to even, up to infinity).
_FLOAT32_MAX_ROUNDED_DOWN = float.fromhex("0x1.fffffefffffffp+127")


class UpdateSource(Protocol):
    """Where a round reads the updates from; see the module's documentation."""

    def __len__(self) -> int: ...

    def inspect(self, indices: Sequence[int]) -> List[Union[Shape, Malformed]]: ...

    def screen(self, indices: Sequence[int]
               ) -> Tuple[Sequence[float], Dict[int, Tuple[int, int, float]]]: ...

    def values(self, indices: Sequence[int]) -> _Updates: ...

    def distances(self, indices: Sequence[int], point: _Array) -> Sequence[float]: ...


class LocalUpdates:
    """The updates of one round in memory: a sequence of arrays, one per client, or one 3-D
    float32 array (n, rows, cols). Items of a sequence may be anything; those that are not
    2-D float32 arrays are reported by ``inspect``. Arrays are read in place, never copied
    or modified.

    Raises:
        TypeError: ``updates`` is neither a sequence nor a 3-D float32 array.
    """

    def __init__(self, updates: object) -> None:
        self._stack: Optional[_Array] = None
        self._items: List[object] = []
        if isinstance(updates, np.ndarray):
            if updates.ndim != 3 or updates.dtype != np.float32:
                raise TypeError("updates: a sequence of 2-D float32 arrays or one 3-D float32 "
                                f"array, got a {updates.ndim}-D {updates.dtype} array")
            self._stack = updates
        elif isinstance(updates, (str, bytes)) or not hasattr(updates, "__len__") or \
                not hasattr(updates, "__getitem__"):
            raise TypeError("updates: a sequence of 2-D float32 arrays or one 3-D float32 "
                            f"array, got {type(updates).__name__}")
        else:
            self._items = list(updates)  # type: ignore[call-overload]

    def __len__(self) -> int:
        return len(self._stack) if self._stack is not None else len(self._items)

    def inspect(self, indices: Sequence[int]) -> List[Union[Shape, Malformed]]:
        if self._stack is not None:
            shape = (int(self._stack.shape[1]), int(self._stack.shape[2]))
            return [shape for _ in indices]
        out: List[Union[Shape, Malformed]] = []
        for i in indices:
            x = self._items[i]
            if not isinstance(x, np.ndarray):
                out.append(Malformed("not_array", f"a {type(x).__name__}, not a NumPy array"))
            elif x.ndim != 2:
                out.append(Malformed("shape", f"{x.ndim} dimensions, expected 2"))
            elif x.dtype != np.float32:
                out.append(Malformed("dtype", f"dtype {x.dtype}, expected float32"))
            else:
                out.append((int(x.shape[0]), int(x.shape[1])))
        return out

    def values(self, indices: Sequence[int]) -> _Updates:
        return self._select(indices)

    def _select(self, indices: Sequence[int]) -> _Updates:
        if self._stack is not None:
            if len(indices) == len(self._stack) and list(indices) == list(range(len(indices))):
                return self._stack
            return [self._stack[i] for i in indices]
        return [self._items[i] for i in indices]  # type: ignore[misc]

    def screen(self, indices: Sequence[int]
               ) -> Tuple[Sequence[float], Dict[int, Tuple[int, int, float]]]:
        norms, bad = _robust._screen(self._select(indices))
        return norms, {indices[k]: (row, column, value) for k, row, column, value in bad}

    def distances(self, indices: Sequence[int], point: _Array) -> Sequence[float]:
        return _robust._distances(self._select(indices), point)


@dataclass
class _Round:
    """The working state of one round: what every stage has decided so far."""

    number: int
    ids: Optional[List[str]]
    weights: Optional[np.ndarray]  # float64, one per submitted update
    verdicts: List[ClientVerdict]
    norms: List[Optional[float]]
    shape: Optional[Shape] = None
    admitted: List[int] = field(default_factory=list)
    # Per admitted update, the weight the rule receives; None in an unweighted round.
    rule_weights: Optional[List[float]] = None

    def pending(self) -> List[int]:
        """The updates still Admitted, in submitted order."""
        return [i for i, v in enumerate(self.verdicts) if isinstance(v, Admitted)]


@dataclass
class _Combined:
    """What the pre-aggregators and the rule produced, per row of the rule's input."""

    aggregate: _Array
    stages: List[StageRecord]
    rows: List[int]  # per admitted update, its row in the rule's input
    factors: Optional[List[float]]  # per admitted update, the product of clipping factors
    selected: Optional[Set[int]]  # rows the rule selected; None for a rule that selects none


class ComposedAggregator:
    """Pre-aggregators and a robust rule, with a norm bound, bans and reputation.

    ::

        agg = ComposedAggregator("nnm(f=2) | multi_krum(f=2); norm_bound=50, ban_threshold=0.3")
        aggregate, audit = agg.aggregate(updates, client_ids=ids)
        agg.save("aggregator.json")

    The defense text's grammar, the audit and the reputation rule are described in
    docs/robust.md and in :class:`Defense`. One bad client never stops a round: a banned
    client's update is not looked at, and an update that is not a 2-D float32 array of the
    round's shape, holds a NaN or an infinity, carries a bad weight or exceeds the norm bound
    is rejected on its own (recorded in the audit, and penalised when the round has client
    ids) while the rest are aggregated, as long as enough remain for the defense.

    Not thread-safe in the sense of running rounds in parallel: a second call while a round
    runs raises RuntimeError instead of mixing two rounds' changes.

    Args:
        defense: A :class:`Defense`, or its text (parsed with :meth:`Defense.parse`).

    Raises:
        DefenseTextError: The text does not parse (a ValueError).
        TypeError: ``defense`` is neither a str nor a Defense.
    """

    FORMAT = "fenro.ComposedAggregator"
    VERSION = 1

    def __init__(self, defense: Union[str, Defense]) -> None:
        if isinstance(defense, str):
            defense = Defense.parse(defense)
        elif not isinstance(defense, Defense):
            raise TypeError(f"defense must be a str or a Defense, not {type(defense).__name__}")
        self._defense = defense
        self._store = ReputationManager(defense.ban_threshold)
        self._rounds = 0
        self._lock = threading.Lock()

    # --- configuration and state ----------------------------------------------------------

    @property
    def defense(self) -> Defense:
        """The configuration (immutable)."""
        return self._defense

    @property
    def rounds(self) -> int:
        """The number of rounds completed (failed rounds do not count)."""
        return self._rounds

    def to_text(self) -> str:
        """The canonical defense text; ``ComposedAggregator(agg.to_text())`` has the same
        configuration (and a fresh state)."""
        return str(self._defense)

    def __str__(self) -> str:
        return self.to_text()

    def __repr__(self) -> str:
        return f"ComposedAggregator({self.to_text()!r})"

    def get_reputation(self, client_id: str) -> float:
        """The client's score, 0.5 for a client never seen."""
        return self._store.get_score(client_id)

    def reputations(self) -> Dict[str, float]:
        """Every stored score."""
        return self._store.all_scores()

    def reset_reputation(self) -> None:
        """Forgets every score."""
        with self._exclusive():
            self._store.reset()

    def decay_reputations(self, rate: float = 0.02) -> None:
        """Moves every stored score toward 0.5 by the fraction ``rate`` (in [0, 1]), so that
        banned clients can return; call it once per round if you want that."""
        with self._exclusive():
            self._store.decay(rate)

    # --- the round ------------------------------------------------------------------------

    def aggregate(self, updates: object, client_ids: Optional[Sequence[str]] = None,
                  weights: Optional[Sequence[float]] = None, *,
                  expected_shape: Optional[Tuple[int, int]] = None
                  ) -> Tuple[_Array, ComposedAudit]:
        """Runs one round on in-memory updates.

        Args:
            updates: One update per client: a sequence (typically of 2-D float32 arrays of
                one shape), or one 3-D float32 array (n, rows, cols). Items that are not
                usable are rejected one by one, not the call.
            client_ids: One str per update, or None. Without ids nobody is banned and no
                score changes.
            weights: One number per update (for example example counts), or None. Only for
                a defense whose rule takes weights (fedavg, median, trimmed_mean,
                geometric_median, behind clip or arc only); median and trimmed_mean then
                become their weighted forms. A weight that is not a finite number >= 0
                makes its update malformed.
            expected_shape: The shape every update must have; None takes the shape that
                more than half of the well-typed updates share.

        Returns:
            (aggregate, audit): a new float32 array of the round's shape, and the
            :class:`ComposedAudit`.

        Raises:
            QuorumError: Too few usable updates for the defense (a ValueError carrying the
                audit). Nothing changed.
            TypeError, ValueError: ``updates`` is not a sequence or a 3-D float32 array;
                client_ids or weights have the wrong type or length; weights for a defense
                that takes none; influence weighting without client ids; no shape shared
                by a majority; all weights zero; an aggregate that overflowed. Nothing
                changed.
            RuntimeError: Another round of this aggregator is running.
        """
        source, back = _sources.local_source(updates)
        aggregate, audit = self.run_round(source, client_ids, weights,
                                          expected_shape=expected_shape)
        return back(aggregate), audit

    def run_round(self, source: UpdateSource, client_ids: Optional[Sequence[str]] = None,
                  weights: Optional[Sequence[float]] = None, *,
                  expected_shape: Optional[Tuple[int, int]] = None
                  ) -> Tuple[_Array, ComposedAudit]:
        """:meth:`aggregate` on updates read through an :class:`UpdateSource`."""
        with self._exclusive():
            r = self._arguments(len(source), client_ids, weights, expected_shape)
            self._ban(r)
            self._inspect(r, source)
            self._screen(r, source)
            self._bound(r)
            self._quorum(r)
            ranged = self._runs_on_source(r, source)
            combined = self._combine(r, None if ranged else source.values(r.admitted),
                                     source if ranged else None)
            distances = [float(d) for d in source.distances(r.admitted, combined.aggregate)]
            for i, d in zip(r.admitted, distances):
                if not math.isfinite(d):
                    raise ValueError(f"the aggregate is not finite (update {i} is at distance "
                                     f"{d!r} from it); no score changed")
            changes, record = self._reputation(r, distances)
            scores = self._commit(r, changes)
            return combined.aggregate, self._audit(r, combined, distances, record, scores)

    def _exclusive(self) -> "_Exclusive":
        return _Exclusive(self._lock)

    def _arguments(self, n: int, client_ids: Optional[Sequence[str]],
                   weights: Optional[Sequence[float]],
                   expected_shape: Optional[Tuple[int, int]]) -> _Round:
        ids: Optional[List[str]] = None
        if client_ids is not None:
            if isinstance(client_ids, (str, bytes)):
                raise TypeError("client_ids: a sequence of str, not a single str")
            ids = list(client_ids)
            if len(ids) != n:
                raise ValueError(f"client_ids: {len(ids)} ids for {n} updates")
            for k, cid in enumerate(ids):
                if not isinstance(cid, str):
                    raise TypeError(f"client_ids[{k}]: a str, not {type(cid).__name__}")
                try:
                    cid.encode("utf-8")
                except UnicodeEncodeError as e:
                    raise ValueError(f"client_ids[{k}]: not encodable as UTF-8 ({e.reason})"
                                     ) from None
        w: Optional[np.ndarray] = None
        if weights is not None:
            if not self._defense.takes_weights:
                chain = " | ".join(str(s) for s in self._defense.stages)
                raise ValueError(f"{chain} cannot use weights: only "
                                 "fedavg, median, trimmed_mean and geometric_median take "
                                 "them, behind clip or arc only (nnm and bucketing mix "
                                 "updates)")
            w = _weights(weights, n)
        if self._defense.influence and ids is None:
            raise ValueError("influence=true weighs clients by reputation and needs client_ids")
        shape: Optional[Shape] = None
        if expected_shape is not None:
            try:
                rows, cols = (int(x) for x in expected_shape)
            except (TypeError, ValueError):
                raise TypeError("expected_shape: a pair of integers (rows, cols)") from None
            shape = (rows, cols)
        return _Round(self._rounds, ids, w, [Admitted()] * n, [None] * n, shape)

    def _ban(self, r: _Round) -> None:
        if r.ids is None or self._defense.ban_threshold <= 0.0:
            return
        threshold = float(np.float32(self._defense.ban_threshold))
        for i, cid in enumerate(r.ids):
            if self._store.is_banned(cid):
                r.verdicts[i] = ExcludedByReputation(self._store.get_score(cid), threshold)

    def _inspect(self, r: _Round, source: UpdateSource) -> None:
        pending = r.pending()
        found = source.inspect(pending)
        if r.shape is None:
            votes = Counter(s for s in found if isinstance(s, tuple))
            typed = sum(votes.values())
            top = votes.most_common(1)
            if top and 2 * top[0][1] > typed:
                r.shape = top[0][0]
            elif typed:
                listed = ", ".join(f"{c} of {s}" for s, c in votes.most_common(4))
                raise ValueError(f"no shape is shared by more than half of the {typed} "
                                 f"well-typed updates ({listed}); pass expected_shape")
        for i, what in zip(pending, found):
            if not isinstance(what, tuple):
                r.verdicts[i] = what
            elif what != r.shape:
                r.verdicts[i] = Malformed("shape", f"shape {what}, expected {r.shape}")
            elif r.weights is not None and not _usable_weight(float(r.weights[i])):
                w = float(r.weights[i])
                r.verdicts[i] = Malformed("weight", f"weight {w!r} is not a finite number >= 0",
                                          value=w)

    def _screen(self, r: _Round, source: UpdateSource) -> None:
        pending = r.pending()
        if not pending:
            return
        norms, bad = source.screen(pending)
        for i, norm in zip(pending, norms):
            r.norms[i] = float(norm)
            if i in bad:
                row, column, value = bad[i]
                r.norms[i] = None
                r.verdicts[i] = Malformed("non_finite", f"{value!r} at [{row}, {column}]",
                                          row=row, column=column, value=float(value))

    def _bound(self, r: _Round) -> None:
        bound = self._defense.norm_bound
        for i in r.pending():
            norm = r.norms[i]
            if bound is not None and norm is not None and not norm <= bound:
                r.verdicts[i] = RejectedByNormBound(bound, norm)
        r.admitted = r.pending()

    def _quorum(self, r: _Round) -> None:
        count = len(r.admitted)
        problem = None
        if count == 0:
            problem = "no update is left to aggregate"
        if r.weights is not None or self._defense.influence:
            r.rule_weights = self._rule_weights(r)
        for stage in self._defense.stages:
            if problem is not None:
                break
            problem = _count_problem(stage, count, r.rule_weights is not None)
            count = _output_count(stage, count)
        if problem is None and r.rule_weights is not None and not any(
                np.float32(w) > 0 for w in r.rule_weights):
            problem = "the weights of the admitted updates are all zero"
        if problem is None:
            return
        kinds = [("banned", ExcludedByReputation), ("malformed", Malformed),
                 ("over the norm bound", RejectedByNormBound)]
        why = ", ".join(f"{sum(isinstance(v, k) for v in r.verdicts)} {name}"
                        for name, k in kinds if any(isinstance(v, k) for v in r.verdicts))
        message = (f"round below quorum: {len(r.admitted)} of {len(r.verdicts)} submitted "
                   f"updates are usable{' (' + why + ')' if why else ''}; {problem}; "
                   "no score changed")
        raise QuorumError(message, self._audit(r, None, None, None, None))

    def _rule_weights(self, r: _Round) -> List[float]:
        """Per admitted update: its weight times, with influence=true, its influence."""
        out = []
        for i in r.admitted:
            w = 1.0 if r.weights is None else float(r.weights[i])
            if self._defense.influence and r.ids is not None:
                w *= self._store.influence_weight(r.ids[i])
            out.append(w)
        return out

    def _runs_on_source(self, r: _Round, source: UpdateSource) -> bool:
        """Whether the source runs the rule itself where its updates are (an optional
        ``coordinate_rule`` method: a coordinate-wise rule with no pre-aggregator before it),
        so that the round never gathers the values."""
        rule = self._defense.rule.name
        if self._defense.preaggregators:
            return False
        if rule in ("fedavg", "median", "trimmed_mean", "meamed"):
            return (hasattr(source, "coordinate_rule")
                    and (r.rule_weights is None or rule == "fedavg"))
        return hasattr(source, "whole_rule") and rule in _WHOLE_RULES

    def _combine(self, r: _Round, values: Optional[_Updates],
                 source: Optional[UpdateSource] = None) -> _Combined:
        """With `values` None, `source` runs the rule (see _runs_on_source)."""
        n = len(r.admitted)
        rows = list(range(n))
        factors: Optional[List[float]] = None
        records: List[StageRecord] = []
        x: Any = values
        for stage in self._defense.preaggregators:
            count = len(x)
            params: List[Tuple[str, AuditValue]] = list(stage.parameters.items())
            if stage.name == "nnm":
                x = _api._nnm(x, _int(stage, "f"), False)
                params.append(("kept", count - _int(stage, "f")))
            elif stage.name == "bucketing":
                seed = (_int(stage, "seed") + r.number) % _U64
                info = _api._bucketing(x, _int(stage, "s"), seed, True)
                x = info[0]
                bucket_of = [0] * count
                for position, client in enumerate(info[1]):
                    bucket_of[client] = position // _int(stage, "s")
                rows = [bucket_of[row] for row in rows]
                params = [("s", _int(stage, "s")), ("seed", seed), ("buckets", len(x))]
            else:  # clip, arc: one factor per row
                if stage.name == "clip":
                    x, _, f = _api._clip(x, _real(stage, "c"), True)
                    params.append(("clipped", sum(1 for v in f if v < 1.0)))
                else:
                    x, k, threshold, _, _, f = _api._arc(x, _int(stage, "f"), True)
                    params += [("k", k), ("threshold", threshold)]
                factors = [(1.0 if factors is None else factors[c]) * f[rows[c]]
                           for c in range(n)]
            records.append(StageRecord(stage.name, count, len(x), tuple(params)))
        count = n if x is None else len(x)
        aggregate, rule_params, selected = self._rule(r, x, count, source)
        records.append(StageRecord(self._defense.rule.name, count, 1, tuple(rule_params)))
        return _Combined(aggregate, records, rows, factors, selected)

    def _rule(self, r: _Round, x: Any, count: int, source: Optional[UpdateSource] = None
              ) -> Tuple[_Array, List[Tuple[str, AuditValue]], Optional[Set[int]]]:
        rule = self._defense.rule

        def call(fn: str, *args: Any, **kwargs: Any) -> _Array:
            if x is None:  # the source runs the rule on the admitted updates
                return source.coordinate_rule(fn, r.admitted, *args, **kwargs)  # type: ignore
            return getattr(_api, fn)(x, *args, **kwargs)  # type: ignore[no-any-return]

        def info(fn: str, *args: Any) -> Any:
            """_api._<fn>(x, *args, True), or the source's run of it."""
            if x is None:
                return source.whole_rule(fn, r.admitted, *args)  # type: ignore[union-attr]
            return getattr(_api, "_" + fn)(x, *args, True)

        params: List[Tuple[str, AuditValue]] = list(rule.parameters.items())
        weighted = r.rule_weights is not None
        w = np.asarray(r.rule_weights, dtype=np.float64) if weighted else None
        name = rule.name
        if name in ("fedavg", "median", "trimmed_mean", "geometric_median"):
            params.append(("weighted", weighted))
        if name == "fedavg":
            return call("fedavg", w), params, None
        if name == "median":
            return (_api.weighted_median(x, w) if w is not None
                    else call("median")), params, None
        if name == "trimmed_mean":
            if w is not None:
                return (_api.weighted_trimmed_mean(x, w, _real(rule, "trim")), params,
                        None)
            params.append(("k", _trim_count(_real(rule, "trim"), count)))
            return call("trimmed_mean", trim=_real(rule, "trim")), params, None
        if name == "geometric_median":
            agg, iterations, objective = info(
                "geometric_median", w, _real(rule, "nu"), _real(rule, "tol"),
                _int(rule, "max_iter"))
            return agg, params + [("iterations", iterations), ("objective", objective)], None
        if name == "centered_clipping":
            agg = info("centered_clipping", _real(rule, "tau"), _int(rule, "iterations"),
                       None)[0]
            return agg, params, None
        if name == "meamed":
            kept = count - _int(rule, "f")
            return call("meamed", f=_int(rule, "f")), params + [("kept", kept)], None
        if name == "krum":
            agg, chosen = info("krum", _int(rule, "f"))
        elif name == "multi_krum":
            m = rule["m"]
            agg, chosen = info("multi_krum", _int(rule, "f"),
                               None if m is None else _int(rule, "m"))
            params = [("f", _int(rule, "f")), ("m", len(chosen))]
        else:  # bulyan
            agg, chosen = info("bulyan", _int(rule, "f"))
            params.append(("kept", len(chosen) - 2 * _int(rule, "f")))
        return agg, params + [("selected", tuple(chosen))], set(chosen)

    def _reputation(self, r: _Round, distances: List[float]
                    ) -> Tuple[List[Tuple[int, float]], Optional[ReputationRecord]]:
        """The score changes, as (submitted index, signed amount) in submitted order, and
        the record of the rule applied. Reads the store, never writes it."""
        d = self._defense
        if r.ids is None or d.reputation == "off":
            return [], None
        low, high = d.thresholds
        median: Optional[float] = None
        if d.reputation == "relative":
            median = _median(distances)
            low, high = low * median, high * median
        record = ReputationRecord(d.reputation, median, low, high, d.reward, d.penalty)
        distance_of = dict(zip(r.admitted, distances))
        changes: List[Tuple[int, float]] = []
        for i, verdict in enumerate(r.verdicts):
            if isinstance(verdict, (Malformed, RejectedByNormBound)):
                changes.append((i, -d.penalty))
            elif isinstance(verdict, Admitted):
                dist = distance_of[i]
                if median == 0.0:
                    # Most admitted updates equal the aggregate: no scale to judge distance
                    # by. Exact agreement is rewarded, nothing is penalised.
                    if dist == 0.0 and d.thresholds[0] > 0:
                        changes.append((i, d.reward))
                elif dist < low:
                    changes.append((i, d.reward))
                elif dist > high:
                    changes.append((i, -d.penalty))
        return changes, record

    def _commit(self, r: _Round, changes: List[Tuple[int, float]]
                ) -> Optional[List[Tuple[float, float]]]:
        """Applies the changes and counts the round: the only step that changes the
        aggregator. Returns every client's (score before, score after), or None without
        ids."""
        self._rounds += 1
        if r.ids is None:
            return None
        ids = r.ids
        before = [self._store.get_score(cid) for cid in ids]
        for i, amount in changes:
            if amount >= 0:
                self._store.reward(ids[i], amount)
            else:
                self._store.penalize(ids[i], -amount)
        return [(b, self._store.get_score(cid)) for b, cid in zip(before, ids)]

    def _audit(self, r: _Round, combined: Optional[_Combined],
               distances: Optional[List[float]], reputation: Optional[ReputationRecord],
               scores: Optional[List[Tuple[float, float]]]) -> ComposedAudit:
        position = {i: k for k, i in enumerate(r.admitted)}
        clients = []
        for i, verdict in enumerate(r.verdicts):
            k = position.get(i) if combined is not None else None
            row = combined.rows[k] if combined is not None and k is not None else None
            clients.append(ClientRecord(
                index=i,
                client_id=None if r.ids is None else r.ids[i],
                verdict=verdict,
                norm=r.norms[i],
                weight=None if combined is None or k is None or r.rule_weights is None
                else r.rule_weights[k],
                row=row,
                clip_factor=None if combined is None or k is None or combined.factors is None
                else combined.factors[k],
                selected=None if combined is None or row is None or combined.selected is None
                else row in combined.selected,
                distance=None if distances is None or k is None else distances[k],
                score_before=None if scores is None else scores[i][0],
                score_after=None if scores is None else scores[i][1],
            ))
        return ComposedAudit(
            round=r.number, defense=str(self._defense), shape=r.shape, clients=tuple(clients),
            stages=() if combined is None else tuple(combined.stages), reputation=reputation)

    # --- persistence ----------------------------------------------------------------------

    def to_json(self) -> str:
        """The configuration, the round counter and every score, as JSON text:
        ``{"format": "fenro.ComposedAggregator", "version": 1, "defense": <canonical text>,
        "rounds": <int>, "reputation": {<client id>: <score>, ...}}``. Scores are written as
        the shortest decimals that read back as the same float32."""
        return _persist.dumps(self.FORMAT, self.VERSION, str(self._defense), self._rounds,
                              self._store.to_json())

    @classmethod
    def from_json(cls, text: str) -> "ComposedAggregator":
        """The aggregator :meth:`to_json` wrote, bit for bit.

        Raises:
            ValueError: The text is not JSON, is truncated, is not a saved
                ComposedAggregator, has a version this fenro does not read, or holds a bad
                defense text, round counter or score; the message says which.
            TypeError: ``text`` is not a str.
        """
        defense_text, rounds, scores = _persist.loads(text, cls.FORMAT, cls.VERSION)
        try:
            defense = Defense.parse(defense_text)
        except ValueError as e:
            raise ValueError(f"saved {cls.FORMAT}: {e}") from None
        agg = cls(defense)
        try:
            agg._store = ReputationManager.from_json(scores, defense.ban_threshold)
        except ValueError as e:
            raise ValueError(f"saved {cls.FORMAT}: reputation: {e}") from None
        agg._rounds = rounds
        return agg

    def __reduce__(self) -> Tuple[Any, Tuple[str]]:
        """Pickles as its JSON text (for multiprocessing and distributed workers)."""
        return (type(self).from_json, (self.to_json(),))

    def save(self, path: Union[str, "os.PathLike[str]"]) -> None:
        """Writes :meth:`to_json` to ``path`` atomically: through a temporary file in the
        same directory, flushed and synced, renamed over ``path``, and the directory synced.
        Whatever happens, ``path`` holds either its old content or the new one in full; a
        failed save removes its temporary file and raises the OSError."""
        _persist.write_atomically(path, self.to_json())

    @classmethod
    def load(cls, path: Union[str, "os.PathLike[str]"]) -> "ComposedAggregator":
        """The aggregator saved at ``path``.

        Raises:
            OSError: The file cannot be read.
            ValueError: Its content is not a saved aggregator (see :meth:`from_json`); the
                message names the file. The file is left as it is.
        """
        return _persist.read(path, cls.from_json)


class _Exclusive:
    """Holds the aggregator's lock for one call; a second caller gets RuntimeError."""

    def __init__(self, lock: threading.Lock) -> None:
        self._lock = lock

    def __enter__(self) -> None:
        if not self._lock.acquire(blocking=False):
            raise RuntimeError("the ComposedAggregator is in use by another call")

    def __exit__(self, *exc: object) -> None:
        self._lock.release()


def _weights(weights: Any, n: int) -> np.ndarray:
    """The weights as float64, one per update; TypeError or ValueError for the call."""
    if isinstance(weights, np.ndarray):
        if weights.ndim != 1 or not (np.issubdtype(weights.dtype, np.floating)
                                     or np.issubdtype(weights.dtype, np.integer)):
            raise TypeError("weights: a 1-D array of numbers, got a "
                            f"{weights.ndim}-D {weights.dtype} array")
        out = weights.astype(np.float64)
    else:
        if isinstance(weights, (str, bytes)) or not hasattr(weights, "__len__"):
            raise TypeError(f"weights: a sequence of numbers, got {type(weights).__name__}")
        values = []
        for k, w in enumerate(weights):
            try:
                values.append(float(w))
            except (TypeError, ValueError):
                raise TypeError(f"weights[{k}]: a number, got {type(w).__name__}") from None
        out = np.asarray(values, dtype=np.float64)
    if len(out) != n:
        raise ValueError(f"weights: {len(out)} weights for {n} updates")
    return out


def _int(stage: Stage, name: str) -> int:
    value = stage[name]
    assert isinstance(value, int)
    return value


def _real(stage: Stage, name: str) -> float:
    value = stage[name]
    assert isinstance(value, float)
    return value


def _usable_weight(w: float) -> bool:
    """Finite, >= 0, and finite once the rule rounds it to float32."""
    return math.isfinite(w) and 0 <= w <= _FLOAT32_MAX_ROUNDED_DOWN


def _trim_count(trim: float, n: int) -> int:
    """k of trimmed_mean: ceil(float32(trim) * float32(n)), the product rounded to float32."""
    return math.ceil(float(np.float32(trim) * np.float32(n)))


def _count_problem(stage: Stage, n: int, weighted: bool) -> Optional[str]:
    """Why the stage cannot take n updates, or None."""
    p = stage.parameters
    f = _int(stage, "f") if "f" in p else 0
    need = {"krum": 2 * f + 3, "bulyan": 4 * f + 3, "meamed": 2 * f + 1, "nnm": 2 * f + 1,
            "arc": 2 * f + 1}.get(stage.name, 1)
    rule = {"krum": "n >= 2f + 3", "bulyan": "n >= 4f + 3"}.get(stage.name, "2f < n")
    if stage.name == "multi_krum":
        need, rule = (2 * f + 3, "n >= 2f + 3") if p["m"] is None else (
            2 * f + 2 + _int(stage, "m"), "n >= 2f + 2 + m")
    if n < need:
        return f"{stage} needs at least {need} updates ({rule}), got {n}" if need > 1 else \
            f"{stage} needs at least 1 update"
    if stage.name == "trimmed_mean" and not weighted:
        k = _trim_count(_real(stage, "trim"), n)
        if n <= 2 * k:
            return (f"{stage} cannot aggregate {n} updates: it trims k = {k} from each end "
                    "and needs n > 2k")
    return None


def _output_count(stage: Stage, n: int) -> int:
    if stage.name == "bucketing":
        return -(-n // _int(stage, "s"))
    return n if not stage.is_rule else 1


def _median(values: List[float]) -> float:
    """The median in float64: the middle value, or the mean of the two middle ones."""
    s = sorted(values)
    m = len(s) // 2
    return s[m] if len(s) % 2 else (s[m - 1] + s[m]) / 2
