"""The public functions of :mod:`fenro.robust`: fenro._robust's rules and pre-aggregators for
every input kind of :mod:`fenro.robust._inputs`, with results in the caller's kind.

Arrays of the kinds fenro._robust reads go to it unchanged. State dicts take the cheapest
exact route for each function:

- key by key: fedavg, trimmed_mean, median, meamed, bucketing (each coordinate's result
  depends only on that coordinate's values, and bucketing's permutation only on n, s and seed);
  median and trimmed_mean run every key's coordinates in one loop of the library;
- Krum, Multi-Krum and Bulyan select on the pieces (the exact integer distances of the
  concatenated encodings, summed piece by piece), then copy or average the selected updates
  key by key; clip, arc and nnm measure the concatenated updates piece by piece (float64
  running sums continued from key to key) and then scale or mix them key by key
  (fenro._robust._pieces_*);
- geometric_median and centered_clipping iterate on the pieces: each step's weighted sums run
  piece by piece (they are per element) and its distances as running sums continued across
  the pieces, the aggregate returned as one buffer that the dict's values view.

Each function's docstring is fenro._robust's, with the input kinds added.
"""

from __future__ import annotations

import functools
import importlib
from typing import (TYPE_CHECKING, Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple,
                    TypeVar, overload)

from fenro import _robust

if TYPE_CHECKING:
    from fenro._robust import _Array, _Float, _Int, _Updates
    from fenro.robust._inputs import Prepared

_K = TypeVar("_K")
# Each public function is typed by overloads: NumPy arrays in, a NumPy array out; state dicts
# in, a dict (a list of dicts from a pre-aggregator) of the same keys out; anything else
# (tensors, flat updates) Any.
_StateDicts = Sequence[Mapping[_K, Any]]

DICTS = "dicts"  # fenro.robust._inputs.DICTS, without importing NumPy

_F = TypeVar("_F", bound=Callable[..., Any])

_KINDS = """
Input kinds (all functions):
    Besides the arrays above: one 2-D array (n, d) or a sequence of 1-D arrays
    (n flat updates; a rule returns a 1-D array, a pre-aggregator a 2-D one);
    CPU float32 tensors that export DLPack, torch.Tensor among them, read in
    place (torch in, torch out: the result is a tensor on fenro's memory); and
    state dicts, a sequence of mappings with the same keys, each key's values of
    one shape: read as the concatenation of the values in key order, returned as
    a dict of the keys (a list of dicts from a pre-aggregator), with the bits of
    the concatenated computation. See docs/robust.md.
"""


def _documented(raw: Callable[..., Any]) -> Callable[[_F], _F]:
    """Gives the wrapper the C function's name, signature text and docstring, with the
    input kinds added."""
    def wrap(fn: _F) -> _F:
        functools.update_wrapper(fn, raw, assigned=("__name__", "__qualname__"), updated=())
        fn.__doc__ = (raw.__doc__ or "").split("--\n\n", 1)[-1] + "\n" + _KINDS
        return fn
    return wrap


class _Unchanged:
    """An argument that needs no NumPy (an empty list, a str): given to fenro._robust as it
    is, which reports it, so that a call without arrays never imports NumPy."""

    mode = "pass"
    torch = False
    pieces: Any = ()

    def __init__(self, value: Any) -> None:
        self.value = value

    def rule_result(self, out: Any) -> Any:
        return out

    stack_result = rule_result


_INPUTS: Any = None


def _inputs() -> Any:
    global _INPUTS
    if _INPUTS is None:
        _INPUTS = importlib.import_module("fenro.robust._inputs")
    return _INPUTS


def prepare(updates: Any) -> Prepared:
    if isinstance(updates, (str, bytes)) or (type(updates) in (list, tuple) and not updates):
        return _Unchanged(updates)  # type: ignore[return-value]
    return _inputs().prepare(updates)  # type: ignore[no-any-return]


def per_key(prep: Prepared, call: Callable[[Any], Any]) -> Any:
    return _inputs().per_key(prep, call)


def weights_of(weights: Any) -> Any:
    if weights is None or type(weights) in (list, tuple):
        return weights
    return _inputs().weights_of(weights)


def _rule(prep: Prepared, raw: Callable[[Any], Any], keywise: bool, info: bool) -> Any:
    """raw(updates) returns the aggregate, or (aggregate, *data) when `info`."""
    if prep.mode == DICTS and keywise and prep.pieces:
        outs = per_key(prep, raw)
        if info:
            return (prep.key_result([o[0] for o in outs]),) + tuple(outs[0][1:])
        return prep.key_result(outs)
    out = raw(prep.concatenated() if prep.mode == DICTS else prep.value)
    if info:
        return (prep.rule_result(out[0]),) + tuple(out[1:])
    return prep.rule_result(out)


def _pre(prep: Prepared, raw: Callable[[Any], Any], keywise: bool, info: bool) -> Any:
    """raw(updates) returns the new updates, or (updates, *data) when `info`."""
    if prep.mode == DICTS and keywise and prep.pieces:
        outs = per_key(prep, raw)
        if info:
            return (prep.key_stack_result([o[0] for o in outs]),) + tuple(outs[0][1:])
        return prep.key_stack_result(outs)
    out = raw(prep.concatenated() if prep.mode == DICTS else prep.value)
    if info:
        return (prep.stack_result(out[0]),) + tuple(out[1:])
    return prep.stack_result(out)


def _selection(prep: Prepared, selected: Tuple[int, ...], mean: bool) -> Any:
    """The aggregate of the selected updates of state dicts, key by key: Krum's copy of the
    one selected, or Multi-Krum's mean of them in selection order (fedavg's unweighted mean,
    +0.0 plus the updates in the order given, over n: the same bits)."""
    if mean:
        return prep.key_result([_robust.fedavg([values[i] for i in selected])
                                for values in prep.pieces])
    return prep.key_result([values[selected[0]].copy() for values in prep.pieces])


# --- the rules --------------------------------------------------------------------------


@overload
def fedavg(updates: _Updates, weights: Any = None) -> _Array: ...


@overload
def fedavg(updates: _StateDicts[_K], weights: Any = None) -> Dict[_K, Any]: ...


@overload
def fedavg(updates: Any, weights: Any = None) -> Any: ...


@_documented(_robust.fedavg)
def fedavg(updates: Any, weights: Any = None) -> Any:
    w = weights_of(weights)
    return _rule(prepare(updates), lambda u: _robust.fedavg(u, w), True, False)


@overload
def trimmed_mean(updates: _Updates, *, trim: _Float) -> _Array: ...


@overload
def trimmed_mean(updates: _StateDicts[_K], *, trim: _Float) -> Dict[_K, Any]: ...


@overload
def trimmed_mean(updates: Any, *, trim: _Float) -> Any: ...


@_documented(_robust.trimmed_mean)
def trimmed_mean(updates: Any, *, trim: _Float) -> Any:
    prep = prepare(updates)
    if prep.mode == DICTS and prep.pieces:
        return prep.key_result(list(_robust._pieces_trimmed_mean(prep.pieces, trim=trim)))
    return _rule(prep, lambda u: _robust.trimmed_mean(u, trim=trim), True, False)


@overload
def median(updates: _Updates) -> _Array: ...


@overload
def median(updates: _StateDicts[_K]) -> Dict[_K, Any]: ...


@overload
def median(updates: Any) -> Any: ...


@_documented(_robust.median)
def median(updates: Any) -> Any:
    prep = prepare(updates)
    if prep.mode == DICTS and prep.pieces:
        return prep.key_result(list(_robust._pieces_median(prep.pieces)))
    return _rule(prep, _robust.median, True, False)


@overload
def meamed(updates: _Updates, *, f: _Int) -> _Array: ...


@overload
def meamed(updates: _StateDicts[_K], *, f: _Int) -> Dict[_K, Any]: ...


@overload
def meamed(updates: Any, *, f: _Int) -> Any: ...


@_documented(_robust.meamed)
def meamed(updates: Any, *, f: _Int) -> Any:
    return _rule(prepare(updates), lambda u: _robust.meamed(u, f=f), True, False)


def _krum(updates: Any, f: _Int, info: bool) -> Any:
    prep = prepare(updates)
    if prep.mode == DICTS and prep.pieces:
        selected = _robust._pieces_krum(prep.pieces, f=f)
        agg = _selection(prep, selected, mean=False)
        return (agg, selected) if info else agg
    return _rule(prep, lambda u: _robust.krum_info(u, f=f) if info else _robust.krum(u, f=f),
                 False, info)


def _multi_krum(updates: Any, f: _Int, m: Optional[_Int], info: bool) -> Any:
    prep = prepare(updates)
    if prep.mode == DICTS and prep.pieces:
        selected = _robust._pieces_multi_krum(prep.pieces, f=f, m=m)
        agg = _selection(prep, selected, mean=True)
        return (agg, selected) if info else agg
    return _rule(prep, lambda u: (_robust.multi_krum_info(u, f=f, m=m) if info
                                  else _robust.multi_krum(u, f=f, m=m)), False, info)


@overload
def krum(updates: _Updates, *, f: _Int) -> _Array: ...


@overload
def krum(updates: _StateDicts[_K], *, f: _Int) -> Dict[_K, Any]: ...


@overload
def krum(updates: Any, *, f: _Int) -> Any: ...


@_documented(_robust.krum)
def krum(updates: Any, *, f: _Int) -> Any:
    return _krum(updates, f, False)


@overload
def multi_krum(updates: _Updates, *, f: _Int, m: Optional[_Int] = None) -> _Array: ...


@overload
def multi_krum(updates: _StateDicts[_K], *, f: _Int, m: Optional[_Int] = None) -> Dict[_K, Any]: ...


@overload
def multi_krum(updates: Any, *, f: _Int, m: Optional[_Int] = None) -> Any: ...


@_documented(_robust.multi_krum)
def multi_krum(updates: Any, *, f: _Int, m: Optional[_Int] = None) -> Any:
    return _multi_krum(updates, f, m, False)


def _whole(prep: Prepared, out: Tuple[Any, ...], info: bool) -> Any:
    """A rule's pieced result (the aggregate of the concatenated shape, *data) as dicts."""
    agg = prep.rule_result(out[0])
    return (agg,) + tuple(out[1:]) if info else agg


def _geometric_median(updates: Any, weights: Any, nu: _Float, tol: _Float, max_iter: _Int,
                      info: bool) -> Any:
    w = weights_of(weights)
    prep = prepare(updates)
    if prep.mode == DICTS and prep.pieces:
        return _whole(prep, _robust._pieces_geometric_median(prep.pieces, w, nu=nu, tol=tol,
                                                             max_iter=max_iter), info)
    fn = _robust.geometric_median_info if info else _robust.geometric_median
    return _rule(prep, lambda u: fn(u, w, nu=nu, tol=tol, max_iter=max_iter), False, info)


@overload
def geometric_median(updates: _Updates, weights: Any = None, *, nu: _Float = 1e-6,
        tol: _Float = 1e-7, max_iter: _Int = 100) -> _Array: ...


@overload
def geometric_median(updates: _StateDicts[_K], weights: Any = None, *, nu: _Float = 1e-6,
        tol: _Float = 1e-7, max_iter: _Int = 100) -> Dict[_K, Any]: ...


@overload
def geometric_median(updates: Any, weights: Any = None, *, nu: _Float = 1e-6,
        tol: _Float = 1e-7, max_iter: _Int = 100) -> Any: ...


@_documented(_robust.geometric_median)
def geometric_median(updates: Any, weights: Any = None, *, nu: _Float = 1e-6,
                     tol: _Float = 1e-7, max_iter: _Int = 100) -> Any:
    return _geometric_median(updates, weights, nu, tol, max_iter, False)


def _center(prep: Prepared, center: Any) -> Any:
    if center is None:
        return None
    if prep.mode == DICTS:
        return _inputs().concatenated_point(prep.point_pieces(center, "center"))
    return _inputs().numpy_kind(center, prep, "center")


def _centered_clipping(updates: Any, tau: _Float, iterations: _Int, center: Any,
                       info: bool) -> Any:
    prep = prepare(updates)
    c = _center(prep, center)
    if prep.mode == DICTS and prep.pieces:
        return _whole(prep, _robust._pieces_centered_clipping(prep.pieces, tau=tau,
                                                              iterations=iterations, center=c),
                      info)
    fn = _robust.centered_clipping_info if info else _robust.centered_clipping
    return _rule(prep, lambda u: fn(u, tau=tau, iterations=iterations, center=c), False, info)


@overload
def centered_clipping(updates: _Updates, *, tau: _Float, iterations: _Int = 1,
        center: Any = None) -> _Array: ...


@overload
def centered_clipping(updates: _StateDicts[_K], *, tau: _Float, iterations: _Int = 1,
        center: Any = None) -> Dict[_K, Any]: ...


@overload
def centered_clipping(updates: Any, *, tau: _Float, iterations: _Int = 1,
        center: Any = None) -> Any: ...


@_documented(_robust.centered_clipping)
def centered_clipping(updates: Any, *, tau: _Float, iterations: _Int = 1,
                      center: Any = None) -> Any:
    return _centered_clipping(updates, tau, iterations, center, False)


def _bulyan(updates: Any, f: _Int, info: bool) -> Any:
    prep = prepare(updates)
    if prep.mode == DICTS and prep.pieces:
        parts, selected = _robust._pieces_bulyan(prep.pieces, f=f)
        agg = prep.key_result(list(parts))
        return (agg, selected) if info else agg
    fn = _robust.bulyan_info if info else _robust.bulyan
    return _rule(prep, lambda u: fn(u, f=f), False, info)


@overload
def bulyan(updates: _Updates, *, f: _Int) -> _Array: ...


@overload
def bulyan(updates: _StateDicts[_K], *, f: _Int) -> Dict[_K, Any]: ...


@overload
def bulyan(updates: Any, *, f: _Int) -> Any: ...


@_documented(_robust.bulyan)
def bulyan(updates: Any, *, f: _Int) -> Any:
    return _bulyan(updates, f, False)


def weighted_median(updates: Any, weights: Any) -> Any:
    """fenro._robust._weighted_median for every input kind (coordinate-wise: key by key)."""
    return _rule(prepare(updates), lambda u: _robust._weighted_median(u, weights), True, False)


def weighted_trimmed_mean(updates: Any, weights: Any, trim: _Float) -> Any:
    """fenro._robust._weighted_trimmed_mean for every input kind (key by key)."""
    return _rule(prepare(updates),
                 lambda u: _robust._weighted_trimmed_mean(u, weights, trim=trim), True, False)


# --- the pre-aggregators ----------------------------------------------------------------


def _pieced(prep: Prepared, out: Tuple[Any, ...], info: bool) -> Any:
    """A pre-aggregator's pieced result (stacks per piece, *data) in the caller's kind."""
    mixed = prep.key_stack_result(list(out[0]))
    return (mixed,) + tuple(out[1:]) if info else mixed


def _nnm(updates: Any, f: _Int, info: bool) -> Any:
    prep = prepare(updates)
    if prep.mode == DICTS and prep.pieces:
        return _pieced(prep, _robust._pieces_nnm(prep.pieces, f=f), info)
    fn = _robust.nnm_info if info else _robust.nnm
    return _pre(prep, lambda u: fn(u, f=f), False, info)


def _bucketing(updates: Any, s: _Int, seed: _Int, info: bool) -> Any:
    fn = _robust.bucketing_info if info else _robust.bucketing
    return _pre(prepare(updates), lambda u: fn(u, s=s, seed=seed), True, info)


def _clip(updates: Any, c: _Float, info: bool) -> Any:
    prep = prepare(updates)
    if prep.mode == DICTS and prep.pieces:
        return _pieced(prep, _robust._pieces_clip(prep.pieces, c=c), info)
    fn = _robust.clip_info if info else _robust.clip
    return _pre(prep, lambda u: fn(u, c=c), False, info)


def _arc(updates: Any, f: _Int, info: bool) -> Any:
    prep = prepare(updates)
    if prep.mode == DICTS and prep.pieces:
        return _pieced(prep, _robust._pieces_arc(prep.pieces, f=f), info)
    fn = _robust.arc_info if info else _robust.arc
    return _pre(prep, lambda u: fn(u, f=f), False, info)


@overload
def nnm(updates: _Updates, *, f: _Int) -> _Array: ...


@overload
def nnm(updates: _StateDicts[_K], *, f: _Int) -> List[Dict[_K, Any]]: ...


@overload
def nnm(updates: Any, *, f: _Int) -> Any: ...


@_documented(_robust.nnm)
def nnm(updates: Any, *, f: _Int) -> Any:
    return _nnm(updates, f, False)


@overload
def bucketing(updates: _Updates, *, s: _Int, seed: _Int) -> _Array: ...


@overload
def bucketing(updates: _StateDicts[_K], *, s: _Int, seed: _Int) -> List[Dict[_K, Any]]: ...


@overload
def bucketing(updates: Any, *, s: _Int, seed: _Int) -> Any: ...


@_documented(_robust.bucketing)
def bucketing(updates: Any, *, s: _Int, seed: _Int) -> Any:
    return _bucketing(updates, s, seed, False)


@overload
def clip(updates: _Updates, *, c: _Float) -> _Array: ...


@overload
def clip(updates: _StateDicts[_K], *, c: _Float) -> List[Dict[_K, Any]]: ...


@overload
def clip(updates: Any, *, c: _Float) -> Any: ...


@_documented(_robust.clip)
def clip(updates: Any, *, c: _Float) -> Any:
    return _clip(updates, c, False)


@overload
def arc(updates: _Updates, *, f: _Int) -> _Array: ...


@overload
def arc(updates: _StateDicts[_K], *, f: _Int) -> List[Dict[_K, Any]]: ...


@overload
def arc(updates: Any, *, f: _Int) -> Any: ...


@_documented(_robust.arc)
def arc(updates: Any, *, f: _Int) -> Any:
    return _arc(updates, f, False)


def aggregate_with_audit_raw(aggregator: Any, updates: Any, client_ids: Any,
                             weights: Any) -> Tuple[Any, Any, Optional[str]]:
    """fenro._robust.aggregate_with_audit for every input kind (state dicts read as one
    concatenated copy), the aggregate in the caller's kind."""
    prep = prepare(updates)
    value = prep.concatenated() if prep.mode == DICTS else prep.value
    aggregate, raw, refused = _robust.aggregate_with_audit(aggregator, value, client_ids,
                                                           weights_of(weights))
    return (None if aggregate is None else prep.rule_result(aggregate)), raw, refused

