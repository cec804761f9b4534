"""The ``*_info`` functions: each rule or pre-aggregator with the data it computed on the way.

Each returns a small frozen object holding the same array the plain function returns (the same
bits) and the rule's own data: which updates were selected, how far the iteration went, which
factors clipped which update. The plain functions never build these objects.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Optional, Tuple

from fenro.robust import _api

if TYPE_CHECKING:
    from fenro._robust import _Array, _Float, _Int, _Updates, _Weights


@dataclass(frozen=True, eq=False)
class SelectionInfo:
    """The aggregate of a selecting rule and the updates it selected.

    Attributes:
        aggregate: The rule's result, the array the plain function returns.
        selected: Indices into ``updates``. krum: the one chosen update; multi_krum: the m
            averaged, best score first; bulyan: the n - 2f selected, in selection order.
    """

    aggregate: _Array
    selected: Tuple[int, ...]


@dataclass(frozen=True, eq=False)
class GeometricMedianInfo:
    """The geometric median and how the iteration ended.

    Attributes:
        aggregate: The returned iterate, rounded to float32.
        iterations: Weiszfeld steps taken (0: the weighted mean was returned).
        objective: sum_i w_i * ||z - x_i|| at the returned iterate z, in float64.
    """

    aggregate: _Array
    iterations: int
    objective: float


@dataclass(frozen=True, eq=False)
class CenteredClippingInfo:
    """The centered-clipping aggregate and its last step, per update.

    Attributes:
        aggregate: The final center, rounded to float32.
        distances: ||x_i - v|| before the last step, in float64.
        factors: min(1, tau / ||x_i - v||) in that step (1 for a zero distance).
    """

    aggregate: _Array
    distances: Tuple[float, ...]
    factors: Tuple[float, ...]


@dataclass(frozen=True, eq=False)
class NnmInfo:
    """The mixed updates and what was mixed into each.

    Attributes:
        mixed: The n mixed updates, shape (n, rows, cols).
        neighbours: For each update i, the n - f indices averaged into mixed[i], ascending
            (i itself among them).
    """

    mixed: _Array
    neighbours: Tuple[Tuple[int, ...], ...]


@dataclass(frozen=True, eq=False)
class BucketingInfo:
    """The bucket means and the permutation that formed the buckets.

    Attributes:
        buckets: The ceil(n / s) bucket means, shape (ceil(n / s), rows, cols).
        permutation: Bucket b holds permutation[b*s : b*s + s].
    """

    buckets: _Array
    permutation: Tuple[int, ...]


@dataclass(frozen=True, eq=False)
class ClipInfo:
    """The clipped updates with every norm and factor.

    Attributes:
        clipped: The n clipped updates, shape (n, rows, cols).
        norms: ||x_i|| in float64.
        factors: The float64 factor each update was scaled by (1 for an unchanged update).
    """

    clipped: _Array
    norms: Tuple[float, ...]
    factors: Tuple[float, ...]


@dataclass(frozen=True, eq=False)
class ArcInfo:
    """The updates after adaptive robust clipping, and what was clipped.

    Attributes:
        clipped: The n updates, the k largest scaled down, shape (n, rows, cols).
        k: floor(2 f (n - f) / n), the number of clipped updates.
        threshold: The norm of the (k + 1)-th largest update, the clipped updates' new norm.
        clipped_indices: The k clipped updates, largest norm first.
        norms: ||x_i|| in float64.
        factors: threshold / ||x_i|| for the clipped updates, 1 for the others.
    """

    clipped: _Array
    k: int
    threshold: float
    clipped_indices: Tuple[int, ...]
    norms: Tuple[float, ...]
    factors: Tuple[float, ...]


def krum_info(updates: _Updates, *, f: _Int) -> SelectionInfo:
    """:func:`krum`, also returning the selected index."""
    return SelectionInfo(*_api._krum(updates, f, True))


def multi_krum_info(updates: _Updates, *, f: _Int, m: Optional[_Int] = None) -> SelectionInfo:
    """:func:`multi_krum`, also returning the m averaged indices, best score first."""
    return SelectionInfo(*_api._multi_krum(updates, f, m, True))


def bulyan_info(updates: _Updates, *, f: _Int) -> SelectionInfo:
    """:func:`bulyan`, also returning the n - 2f selected indices in selection order."""
    return SelectionInfo(*_api._bulyan(updates, f, True))


def geometric_median_info(
    updates: _Updates,
    weights: Optional[_Weights] = None,
    *,
    nu: _Float = 1e-6,
    tol: _Float = 1e-7,
    max_iter: _Int = 100,
) -> GeometricMedianInfo:
    """:func:`geometric_median`, also returning the steps taken and the final objective."""
    return GeometricMedianInfo(
        *_api._geometric_median(updates, weights, nu, tol, max_iter, True)
    )


def centered_clipping_info(
    updates: _Updates, *, tau: _Float, iterations: _Int = 1, center: Optional[_Array] = None
) -> CenteredClippingInfo:
    """:func:`centered_clipping`, also returning each update's distance and factor in the
    last step."""
    return CenteredClippingInfo(
        *_api._centered_clipping(updates, tau, iterations, center, True)
    )


def nnm_info(updates: _Updates, *, f: _Int) -> NnmInfo:
    """:func:`nnm`, also returning the neighbours mixed into each update."""
    return NnmInfo(*_api._nnm(updates, f, True))


def bucketing_info(updates: _Updates, *, s: _Int, seed: _Int) -> BucketingInfo:
    """:func:`bucketing`, also returning the permutation."""
    return BucketingInfo(*_api._bucketing(updates, s, seed, True))


def clip_info(updates: _Updates, *, c: _Float) -> ClipInfo:
    """:func:`clip`, also returning every norm and factor."""
    return ClipInfo(*_api._clip(updates, c, True))


def arc_info(updates: _Updates, *, f: _Int) -> ArcInfo:
    """:func:`arc`, also returning k, the threshold, the clipped indices, norms and factors."""
    return ArcInfo(*_api._arc(updates, f, True))
