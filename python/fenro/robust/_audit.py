"""The audit of a :class:`fenro.ByzantineAggregator` round, as typed objects.

:func:`aggregate_with_audit` runs exactly the round that ``aggregator.aggregate(...)`` runs and
also returns what the round decided for every submitted update and which method parameters it
applied.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Dict, Optional, Sequence, Tuple, Union

from fenro import _robust
from fenro._core import ByzantineAggregator
from fenro.robust import _api

if TYPE_CHECKING:
    from fenro._robust import _Array, _RawAudit, _Updates, _Weights


@dataclass(frozen=True)
class ExcludedByReputation:
    """The client's score was strictly below the ban threshold (an unknown client reads 0.5).

    Attributes:
        score: The client's score, as stored (float32, widened).
        threshold: The aggregator's ban threshold.
    """

    score: float
    threshold: float


@dataclass(frozen=True)
class RejectedByNormBound:
    """The update's L2 norm exceeded the norm bound.

    Attributes:
        bound: The aggregator's norm bound.
        norm: The update's norm, in float64.
    """

    bound: float
    norm: float


@dataclass(frozen=True)
class Admitted:
    """Handed to the aggregation method (Krum may still have left it unselected)."""


Verdict = Union[ExcludedByReputation, RejectedByNormBound, Admitted]


@dataclass(frozen=True)
class AuditDecision:
    """What the round did with one submitted update.

    Attributes:
        index: The update's position in the submitted list.
        client_id: Its client id, or None when the round was given no ids.
        verdict: Why it was turned away, or that it was admitted.
    """

    index: int
    client_id: Optional[str]
    verdict: Verdict


@dataclass(frozen=True)
class TrimmedMeanRecord:
    """A trimmed-mean round.

    Attributes:
        configured_trim: The aggregator's trim fraction.
        effective_trim: The fraction used after the adaptive adjustment; None in a refused
            round.
        adaptive: The aggregator's adaptive-trim switch.
    """

    configured_trim: float
    effective_trim: Optional[float]
    adaptive: bool


@dataclass(frozen=True)
class MedianRecord:
    """A median round."""


@dataclass(frozen=True)
class FedAvgRecord:
    """A FedAvg round."""


@dataclass(frozen=True)
class KrumRecord:
    """A Krum round.

    Attributes:
        f: The number of Byzantine updates tolerated.
    """

    f: int


@dataclass(frozen=True)
class MultiKrumRecord:
    """A Multi-Krum round.

    Attributes:
        f: The number of Byzantine updates tolerated.
        requested_m: m as configured, or None.
        selected_m: The m used; None in a refused round.
    """

    f: int
    requested_m: Optional[int]
    selected_m: Optional[int]


MethodRecord = Union[TrimmedMeanRecord, MedianRecord, FedAvgRecord, KrumRecord, MultiKrumRecord]

# The names under which the binding tags each variant.
_VERDICTS: Dict[str, Any] = {
    "Admitted": Admitted,
    "ExcludedByReputation": ExcludedByReputation,
    "RejectedByNormBound": RejectedByNormBound,
}
_METHODS: Dict[str, Any] = {
    "TrimmedMean": TrimmedMeanRecord,
    "Median": MedianRecord,
    "FedAvg": FedAvgRecord,
    "Krum": KrumRecord,
    "MultiKrum": MultiKrumRecord,
}


def _tagged(value: Union[Verdict, MethodRecord], tags: Dict[str, Any]) -> Dict[str, Any]:
    kind = next(tag for tag, cls in tags.items() if isinstance(value, cls))
    return {"kind": kind, **vars(value)}


@dataclass(frozen=True)
class RoundAudit:
    """The audit of one round.

    Attributes:
        method: The method and the parameters the round applied; in a refused round, the
            configuration only.
        decisions: One per submitted update, in submitted order.
    """

    method: MethodRecord
    decisions: Tuple[AuditDecision, ...]

    def to_dict(self) -> Dict[str, Any]:
        """Plain dicts, lists and scalars, ready for ``json.dumps``; each variant is a dict
        whose "kind" names its class without the "Record" suffix, as the binding tags it."""
        return {
            "method": _tagged(self.method, _METHODS),
            "decisions": [
                {"index": d.index, "client_id": d.client_id,
                 "verdict": _tagged(d.verdict, _VERDICTS)}
                for d in self.decisions
            ],
        }


class RoundRefusedError(ValueError):
    """Every submitted update was turned away: the ValueError that ``aggregate`` raises, with
    the same message, carrying the round's audit.

    Attributes:
        audit: The refused round's audit: the configured method and every decision.
    """

    def __init__(self, message: str, audit: RoundAudit) -> None:
        super().__init__(message)
        self.audit = audit

    def __reduce__(self) -> Tuple[Any, Tuple[str, RoundAudit]]:
        return (type(self), (str(self), self.audit))


def _audit_of(raw: _RawAudit) -> RoundAudit:
    method, decisions = raw
    return RoundAudit(
        method=_METHODS[method[0]](*method[1:]),
        decisions=tuple(
            AuditDecision(index, client_id, _VERDICTS[verdict[0]](*verdict[1:]))
            for index, client_id, verdict in decisions
        ),
    )


def aggregate_with_audit(
    aggregator: ByzantineAggregator,
    updates: _Updates,
    client_ids: Optional[Sequence[str]] = None,
    weights: Optional[_Weights] = None,
) -> Tuple[_Array, RoundAudit]:
    """Runs ``aggregator.aggregate(updates, client_ids, weights)`` and returns the aggregate
    with the round's audit.

    The round is the same in every respect: the arguments are converted and checked alike, the
    aggregate has the same bits, a failure raises the same exception with the same message,
    and the reputation scores change exactly as they would. While it runs, the aggregator is
    borrowed as ``aggregate`` borrows it (a call back into it raises RuntimeError).

    Args:
        aggregator: A :class:`fenro.ByzantineAggregator`.
        updates, client_ids, weights: As for ``aggregate``.

    Returns:
        (aggregate, audit): the array ``aggregate`` returns, and a :class:`RoundAudit` with
        one decision per submitted update and the method record.

    Raises:
        RoundRefusedError: Every update was turned away (by the ban or the norm bound); a
            ValueError whose message is the one ``aggregate`` raises, with the audit attached.
        TypeError, ValueError, RuntimeError: As ``aggregate`` raises them; ``aggregator`` of
            another type is a TypeError.
    """
    aggregate, raw, refused = _api.aggregate_with_audit_raw(aggregator, updates, client_ids,
                                                            weights)
    audit = _audit_of(raw)
    if aggregate is None:
        raise RoundRefusedError(refused or "", audit)
    return aggregate, audit
