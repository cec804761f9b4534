from typing import Any, Optional, Sequence, SupportsIndex, Tuple, Union

import numpy as np
import numpy.typing as npt

from fenro._core import ByzantineAggregator

_Float = Union[float, int]
_Array = npt.NDArray[np.float32]
_Updates = Union[Sequence[npt.NDArray[np.float32]], npt.NDArray[np.float32]]
_Weights = Union[Sequence[_Float], npt.NDArray[np.floating[Any]]]
_Int = SupportsIndex
_Indices = Tuple[int, ...]
_Reals = Tuple[float, ...]
# ("TrimmedMean", configured, effective or None, adaptive), ("Median",), ("FedAvg",),
# ("Krum", f), ("MultiKrum", f, requested m or None, selected m or None)
_RawMethod = Tuple[Any, ...]
# (index, client id or None, ("Admitted",) / ("ExcludedByReputation", score, threshold) /
# ("RejectedByNormBound", bound, norm))
_RawDecision = Tuple[int, Optional[str], Tuple[Any, ...]]
_RawAudit = Tuple[_RawMethod, Tuple[_RawDecision, ...]]

__all__ = [
    "fedavg", "trimmed_mean", "median", "krum", "multi_krum", "krum_info", "multi_krum_info",
    "geometric_median", "centered_clipping", "bulyan", "meamed", "geometric_median_info",
    "centered_clipping_info", "bulyan_info", "nnm", "bucketing", "clip", "arc", "nnm_info",
    "bucketing_info", "clip_info", "arc_info", "aggregate_with_audit",
]

def fedavg(updates: _Updates, weights: Optional[_Weights] = None) -> _Array: ...
def trimmed_mean(updates: _Updates, *, trim: _Float) -> _Array: ...
def median(updates: _Updates) -> _Array: ...
def krum(updates: _Updates, *, f: _Int) -> _Array: ...
def multi_krum(updates: _Updates, *, f: _Int, m: Optional[_Int] = None) -> _Array: ...
def krum_info(updates: _Updates, *, f: _Int) -> Tuple[_Array, _Indices]: ...
def multi_krum_info(
    updates: _Updates, *, f: _Int, m: Optional[_Int] = None
) -> Tuple[_Array, _Indices]: ...
def geometric_median(
    updates: _Updates,
    weights: Optional[_Weights] = None,
    *,
    nu: _Float = 1e-6,
    tol: _Float = 1e-7,
    max_iter: _Int = 100,
) -> _Array: ...
def centered_clipping(
    updates: _Updates, *, tau: _Float, iterations: _Int = 1, center: Optional[_Array] = None
) -> _Array: ...
def bulyan(updates: _Updates, *, f: _Int) -> _Array: ...
def meamed(updates: _Updates, *, f: _Int) -> _Array: ...
def geometric_median_info(
    updates: _Updates,
    weights: Optional[_Weights] = None,
    *,
    nu: _Float = 1e-6,
    tol: _Float = 1e-7,
    max_iter: _Int = 100,
) -> Tuple[_Array, int, float]: ...
def centered_clipping_info(
    updates: _Updates, *, tau: _Float, iterations: _Int = 1, center: Optional[_Array] = None
) -> Tuple[_Array, _Reals, _Reals]: ...
def bulyan_info(updates: _Updates, *, f: _Int) -> Tuple[_Array, _Indices]: ...
def nnm(updates: _Updates, *, f: _Int) -> _Array: ...
def bucketing(updates: _Updates, *, s: _Int, seed: _Int) -> _Array: ...
def clip(updates: _Updates, *, c: _Float) -> _Array: ...
def arc(updates: _Updates, *, f: _Int) -> _Array: ...
def nnm_info(updates: _Updates, *, f: _Int) -> Tuple[_Array, Tuple[_Indices, ...]]: ...
def bucketing_info(updates: _Updates, *, s: _Int, seed: _Int) -> Tuple[_Array, _Indices]: ...
def clip_info(updates: _Updates, *, c: _Float) -> Tuple[_Array, _Reals, _Reals]: ...
def arc_info(
    updates: _Updates, *, f: _Int
) -> Tuple[_Array, int, float, _Indices, _Reals, _Reals]: ...
def aggregate_with_audit(
    aggregator: ByzantineAggregator,
    updates: _Updates,
    client_ids: Optional[Sequence[str]] = None,
    weights: Optional[_Weights] = None,
) -> Tuple[Optional[_Array], _RawAudit, Optional[str]]: ...
