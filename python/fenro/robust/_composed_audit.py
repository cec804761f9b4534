"""The audit of a :class:`ComposedAggregator` round, as typed, frozen objects.

A :class:`ComposedAudit` holds one :class:`ClientRecord` per submitted update (what the round
did with it and why) and one :class:`StageRecord` per stage (the parameters it applied). Every
object converts to plain dicts, lists and scalars with ``to_dict()``; the audit also to strict
JSON with ``to_json()``. The verdicts :class:`ExcludedByReputation`,
:class:`RejectedByNormBound` and :class:`Admitted` are those of a ByzantineAggregator round's
audit; :class:`Malformed` is new here.
"""

from __future__ import annotations

import json
import math
from dataclasses import dataclass
from typing import Any, Dict, Optional, Tuple, Union

from fenro.robust._audit import Admitted, ExcludedByReputation, RejectedByNormBound


@dataclass(frozen=True)
class Malformed:
    """The update could not be used, and no value of it reached a stage.

    Attributes:
        problem: What was wrong, in the order the round checks: "not_array" (not a NumPy
            array), "shape" (not two-dimensional, or not the round's shape), "dtype" (not
            float32), "weight" (its weight is not a finite number >= 0), "non_finite" (it
            holds a NaN or an infinity).
        detail: One sentence for a log, e.g. "dtype float64, expected float32".
        row, column: non_finite: the first NaN or infinity in row-major order.
        value: non_finite: that value; weight: the weight.
    """

    problem: str
    detail: str
    row: Optional[int] = None
    column: Optional[int] = None
    value: Optional[float] = None


ClientVerdict = Union[ExcludedByReputation, Malformed, RejectedByNormBound, Admitted]

_VERDICT_KINDS: Dict[type, str] = {
    ExcludedByReputation: "ExcludedByReputation",
    Malformed: "Malformed",
    RejectedByNormBound: "RejectedByNormBound",
    Admitted: "Admitted",
}


@dataclass(frozen=True)
class ClientRecord:
    """What the round did with one submitted update.

    Fields that do not apply are None: a banned update was never looked at, a malformed one
    has no norm, a rejected one no row or distance, and without client ids there are no
    scores.

    Attributes:
        index: The update's position in the submitted list.
        client_id: Its client id, or None when the round was given no ids.
        verdict: ExcludedByReputation (banned), Malformed, RejectedByNormBound, or Admitted
            (its values reached the pre-aggregators and the rule).
        norm: Its float64 L2 norm (row-major sum), for an update that was screened.
        weight: The weight the rule received for it (the given weight, times the client's
            influence weight with ``influence=true``); None in an unweighted round.
        row: The rule input its values went into: its own position among the admitted
            updates, or after bucketing its bucket.
        clip_factor: The product of the factors that clip and arc applied to that row (1.0
            for an unchanged row); None when the defense has neither.
        selected: Krum, Multi-Krum and Bulyan: whether that row was selected; None for the
            other rules.
        distance: The float64 L2 distance of its submitted update to the aggregate.
        score_before, score_after: The client's reputation score before and after the round
            (float32, widened); equal when the round left it alone.
    """

    index: int
    client_id: Optional[str]
    verdict: ClientVerdict
    norm: Optional[float] = None
    weight: Optional[float] = None
    row: Optional[int] = None
    clip_factor: Optional[float] = None
    selected: Optional[bool] = None
    distance: Optional[float] = None
    score_before: Optional[float] = None
    score_after: Optional[float] = None

    def to_dict(self) -> Dict[str, Any]:
        """Plain values; the verdict is a dict whose "kind" names its class."""
        out = dict(vars(self))
        out["verdict"] = {"kind": _VERDICT_KINDS[type(self.verdict)], **vars(self.verdict)}
        return out


AuditValue = Union[None, bool, int, float, str, Tuple[int, ...]]


@dataclass(frozen=True)
class StageRecord:
    """One stage as the round ran it.

    Attributes:
        name: The stage's function ("nnm", "krum", ...).
        inputs, outputs: The number of updates it received and returned (1 for a rule).
        parameters: (name, value) pairs: the configured parameters and what the round
            derived from them. nnm: f, kept (n - f neighbours mixed). bucketing: s, seed
            (this round's), buckets. clip: c, clipped (updates scaled down). arc: f, k,
            threshold. fedavg, median: weighted. trimmed_mean: trim, weighted, k (unweighted:
            the count trimmed from each end). krum: f, selected. multi_krum: f, m, selected
            (best first). geometric_median: nu, tol, max_iter, weighted, iterations,
            objective. centered_clipping: tau, iterations. bulyan: f, selected (in selection
            order), kept (beta). meamed: f, kept (n - f).
    """

    name: str
    inputs: int
    outputs: int
    parameters: Tuple[Tuple[str, AuditValue], ...]

    def parameter(self, name: str) -> AuditValue:
        """The value of one parameter; KeyError when the stage has none of that name."""
        return dict(self.parameters)[name]

    def to_dict(self) -> Dict[str, Any]:
        return {"name": self.name, "inputs": self.inputs, "outputs": self.outputs,
                "parameters": {k: list(v) if isinstance(v, tuple) else v
                               for k, v in self.parameters}}


@dataclass(frozen=True)
class ReputationRecord:
    """How the round moved scores.

    Attributes:
        mode: "relative" or "absolute".
        median_distance: relative: the median of the admitted updates' distances (float64;
            the mean of the two middle ones for an even count); None in absolute mode.
        reward_below, penalize_above: The distances the round compared with (relative: the
            configured factors times median_distance).
        reward, penalty: The configured score changes.
    """

    mode: str
    median_distance: Optional[float]
    reward_below: float
    penalize_above: float
    reward: float
    penalty: float

    def to_dict(self) -> Dict[str, Any]:
        return dict(vars(self))


@dataclass(frozen=True)
class ComposedAudit:
    """The audit of one :class:`ComposedAggregator` round.

    Attributes:
        round: The round's number: how many rounds the aggregator had completed before it.
        defense: The aggregator's canonical defense text.
        shape: The updates' shape the round accepted, or None when it failed before deciding.
        clients: One record per submitted update, in submitted order.
        stages: The pre-aggregators then the rule, as they ran; empty when the round failed
            before aggregating.
        reputation: How scores moved; None when the round had no client ids, the reputation
            is off, or the round failed.
    """

    round: int
    defense: str
    shape: Optional[Tuple[int, int]]
    clients: Tuple[ClientRecord, ...]
    stages: Tuple[StageRecord, ...]
    reputation: Optional[ReputationRecord]

    def count(self, kind: type) -> int:
        """How many clients got a verdict of this class, e.g. ``audit.count(Malformed)``."""
        return sum(1 for c in self.clients if isinstance(c.verdict, kind))

    def to_dict(self) -> Dict[str, Any]:
        """Plain dicts, lists and scalars (tuples become lists), ready for ``json.dumps``."""
        return {
            "round": self.round,
            "defense": self.defense,
            "shape": None if self.shape is None else list(self.shape),
            "clients": [c.to_dict() for c in self.clients],
            "stages": [s.to_dict() for s in self.stages],
            "reputation": None if self.reputation is None else self.reputation.to_dict(),
        }

    def to_json(self) -> str:
        """``to_dict()`` as strict JSON: a NaN or infinite value (only a malformed update's
        value or weight can be one) is written as the string "nan", "inf" or "-inf"."""
        return json.dumps(_finite(self.to_dict()), ensure_ascii=False, allow_nan=False,
                          separators=(",", ":"))


def _finite(value: Any) -> Any:
    if isinstance(value, float) and not math.isfinite(value):
        return repr(value)
    if isinstance(value, dict):
        return {k: _finite(v) for k, v in value.items()}
    if isinstance(value, list):
        return [_finite(v) for v in value]
    return value


class QuorumError(ValueError):
    """The usable updates were too few for the defense: a round that changed nothing.

    The message says how many updates were usable, why the others were not, and which stage
    needed more. No score changed and the round counter did not move.

    Attributes:
        audit: The round's audit: every client's verdict, no stages, no reputation.
    """

    def __init__(self, message: str, audit: ComposedAudit) -> None:
        super().__init__(message)
        self.audit = audit

    def __reduce__(self) -> Tuple[Any, Tuple[str, ComposedAudit]]:
        return (type(self), (str(self), self.audit))
