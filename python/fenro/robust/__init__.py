"""Robust aggregation rules and pre-aggregators as plain, stateless functions.

Every function takes ``updates`` as ``ByzantineAggregator.aggregate`` does (a sequence of 2-D
float32 arrays of one shape, or one 3-D float32 array of shape (n, rows, cols), read in place
where its layout allows) and never modifies it. Rules return one float32 array of the updates'
shape; pre-aggregators return a 3-D float32 array of new updates, ready for a rule. Results are
exact to the bit, the same for every thread count, SIMD target and input layout; each
function's docstring says which sums and distances run in float64 and in which order.

They also take flat updates (one 2-D (n, d) array, or a sequence of 1-D arrays), CPU float32
tensors that export DLPack (``torch.Tensor`` among them; torch in, torch out, without copies)
and clients' state dicts (a sequence of mappings with the same keys; a dict, or a list of
dicts, back), with the bits of the same function on the concatenated updates: see
docs/robust.md, "Input kinds".

Rules:
    fedavg, trimmed_mean, median, krum, multi_krum: the rules of :class:`fenro.ByzantineAggregator`,
        the same bits as its round without client ids, norm bound or ban.
    geometric_median, centered_clipping, bulyan, meamed.
Pre-aggregators:
    nnm (nearest-neighbour mixing), bucketing, clip, arc (adaptive robust clipping).

Each rule or pre-aggregator that computes more than its result has an ``*_info`` variant
returning a small typed object with the result and that data (selected indices, iterations,
norms, clipping factors, neighbours, the bucketing permutation).

:func:`aggregate_with_audit` runs one round of a :class:`fenro.ByzantineAggregator` and returns
the round's audit with the aggregate.

:class:`ComposedAggregator` chains pre-aggregators and a rule, configured by one line of text
(:class:`Defense`), with a norm bound, bans, reputation and weights; a round returns the
aggregate with a :class:`ComposedAudit` and survives bad clients one by one. It saves and
loads its state atomically.

Bad arguments raise TypeError (a wrong type) or ValueError (a value out of range, named with
its range), never OverflowError.
"""

import importlib
from typing import TYPE_CHECKING, Any, List

from fenro.robust._api import (
    arc,
    bucketing,
    bulyan,
    centered_clipping,
    clip,
    fedavg,
    geometric_median,
    krum,
    meamed,
    median,
    multi_krum,
    nnm,
    trimmed_mean,
)
from fenro.robust._audit import (
    Admitted,
    AuditDecision,
    ExcludedByReputation,
    FedAvgRecord,
    KrumRecord,
    MedianRecord,
    MethodRecord,
    MultiKrumRecord,
    RejectedByNormBound,
    RoundAudit,
    RoundRefusedError,
    TrimmedMeanRecord,
    Verdict,
    aggregate_with_audit,
)
from fenro.robust._composed_audit import (
    ClientRecord,
    ClientVerdict,
    ComposedAudit,
    Malformed,
    QuorumError,
    ReputationRecord,
    StageRecord,
)
from fenro.robust._defense import Defense, DefenseTextError, Stage
from fenro.robust._info import (
    ArcInfo,
    BucketingInfo,
    CenteredClippingInfo,
    ClipInfo,
    GeometricMedianInfo,
    NnmInfo,
    SelectionInfo,
    arc_info,
    bucketing_info,
    bulyan_info,
    centered_clipping_info,
    clip_info,
    geometric_median_info,
    krum_info,
    multi_krum_info,
    nnm_info,
)

if TYPE_CHECKING:
    from fenro.robust._composed import ComposedAggregator, LocalUpdates, UpdateSource

# The round needs NumPy, which `import fenro.robust` does not import: these names load their
# module on first use.
_LAZY = {name: "fenro.robust._composed"
         for name in ("ComposedAggregator", "LocalUpdates", "UpdateSource")}


def __getattr__(name: str) -> Any:
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module 'fenro.robust' has no attribute {name!r}")
    value = getattr(importlib.import_module(module), name)
    globals()[name] = value
    return value


def __dir__() -> List[str]:
    return sorted(set(globals()) | set(_LAZY))


__all__ = [
    # rules
    "fedavg", "trimmed_mean", "median", "krum", "multi_krum",
    "geometric_median", "centered_clipping", "bulyan", "meamed",
    # pre-aggregators
    "nnm", "bucketing", "clip", "arc",
    # the same with their data
    "krum_info", "multi_krum_info", "bulyan_info", "geometric_median_info",
    "centered_clipping_info", "nnm_info", "bucketing_info", "clip_info", "arc_info",
    "SelectionInfo", "GeometricMedianInfo", "CenteredClippingInfo", "NnmInfo",
    "BucketingInfo", "ClipInfo", "ArcInfo",
    # the audit of a ByzantineAggregator round
    "aggregate_with_audit", "RoundAudit", "RoundRefusedError", "AuditDecision", "Verdict",
    "Admitted", "ExcludedByReputation", "RejectedByNormBound", "MethodRecord",
    "TrimmedMeanRecord", "MedianRecord", "FedAvgRecord", "KrumRecord", "MultiKrumRecord",
    # the composed, stateful aggregator
    "ComposedAggregator", "Defense", "Stage", "DefenseTextError", "ComposedAudit",
    "ClientRecord", "ClientVerdict", "Malformed", "StageRecord", "ReputationRecord",
    "QuorumError", "UpdateSource", "LocalUpdates",
]
