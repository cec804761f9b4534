"""The whole-update functions of fenro.robust on Ray workers: krum, multi_krum, clip, arc and
bucketing, with fenro.robust's arguments, results and errors, bit for bit.

Each call first settles everything that does not depend on the values, then shares the values
out:

- Inputs the workers have no use for (no updates, shapes that differ, updates without
  coordinates, anything but float32 NumPy arrays) go to the fenro.robust function itself on
  this process, which returns its result or raises its error.
- The parameters are checked by the fenro.robust function itself on n zero updates of one
  coordinate (cheap, and the checks that depend on n see the real n). When it refuses them, the
  function runs on the real updates, so that the error raised is the one it raises there, in
  its order of checks (a bad value of an update is reported before a bad parameter).
- What is left to fail is a value (NaN or infinity). When the workers meet one, the function
  runs on this process on the same updates and raises its error.

So every error is raised by the fenro.robust function itself, with its type and message; the
workers only ever compute results.
"""

import math
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

import numpy as np

# The keywords each function takes besides `updates`.
_PARAMETERS = {
    "krum": ("f",),
    "multi_krum": ("f", "m"),
    "clip": ("c",),
    "arc": ("f",),
    "bucketing": ("s", "seed"),
}


def _stack_of(name: str, args: Tuple[Any, ...], kwargs: Dict[str, Any]) -> Optional[List[Any]]:
    """The updates as 2-D float32 arrays of one shape with at least one coordinate, when the
    call has fenro.robust's form; None for anything the function itself must see."""
    if len(args) + ("updates" in kwargs) != 1 or set(kwargs) - {"updates", *_PARAMETERS[name]}:
        return None
    updates = args[0] if args else kwargs["updates"]
    if isinstance(updates, np.ndarray):
        if updates.ndim != 3 or updates.dtype != np.float32:
            return None
        stack = list(updates)
    elif isinstance(updates, (list, tuple)):
        stack = list(updates)
        if not all(
            isinstance(u, np.ndarray) and u.ndim == 2 and u.dtype == np.float32 for u in stack
        ):
            return None
    else:
        return None
    if not stack or stack[0].size == 0 or any(u.shape != stack[0].shape for u in stack):
        return None
    return stack


def run(
    name: str,
    args: Tuple[Any, ...],
    kwargs: Dict[str, Any],
    shards: int,
    timeout: Optional[float],
) -> Any:
    from fenro import robust
    from fenro.distributed import _check_layout, _round_lock

    _check_layout(shards, timeout)
    single: Callable[..., Any] = getattr(robust, name)
    stack = _stack_of(name, args, kwargs)
    if stack is None:
        return single(*args, **kwargs)
    params = {k: v for k, v in kwargs.items() if k != "updates"}
    try:
        single(np.zeros((len(stack), 1, 1), np.float32), **params)
    except (TypeError, ValueError):
        return single(*args, **kwargs)
    with _round_lock:
        result = _DISTRIBUTED[name](stack, params, shards, timeout)
    if result is None:  # a value the function refuses: it raises its own error
        return single(*args, **kwargs)
    return result


# -- Krum and Multi-Krum: the sharded round of a fresh ByzantineAggregator --------------------


def _krum_round(method: str, stack: List[Any], shards: int, timeout: Optional[float]) -> Any:
    """fenro.robust.krum and multi_krum give the bits of a ByzantineAggregator round of the
    same f (and m) without client ids, norm bound or ban: that round, sharded."""
    from fenro import _distributed
    from fenro._core import ByzantineAggregator
    from fenro.distributed import _pool
    from fenro.distributed._driver import Driver, ShardLayoutError

    aggregator = ByzantineAggregator(method, 0.0)
    driver = Driver(_pool(shards, timeout), timeout)
    try:
        result = _distributed._run_round(aggregator, driver, stack, None, None, shards)
    except ShardLayoutError:
        raise
    except ValueError:  # a value the round refuses
        return None
    return driver.assemble(*result) if isinstance(result, tuple) else result


def _krum(stack: List[Any], params: Dict[str, Any], shards: int, timeout: Optional[float]) -> Any:
    return _krum_round(f"krum:{int(params['f'])}", stack, shards, timeout)


def _multi_krum(
    stack: List[Any], params: Dict[str, Any], shards: int, timeout: Optional[float]
) -> Any:
    n, f, m = len(stack), int(params["f"]), params.get("m")
    # fenro.robust's default m, which the round's method text has to name.
    m = min(n - 2 * f - 2, 3) if m is None else int(m)
    return _krum_round(f"multi_krum:{f}:{m}", stack, shards, timeout)


# -- the pre-aggregators: new updates from every worker's range -------------------------------


def _placed(stack: List[Any], shards: int, timeout: Optional[float]) -> Any:
    """A driver whose workers hold the ranges of the updates."""
    from fenro.distributed import _even_cuts, _pool
    from fenro.distributed._driver import Driver

    rows, cols = (int(x) for x in stack[0].shape)
    cuts = _even_cuts(rows * cols, shards)
    driver = Driver(_pool(len(cuts) - 1, timeout), timeout)
    driver.use_layout([(rows, cols)] * len(stack), cuts)
    for s in range(len(cuts) - 1):
        lo, hi = cuts[s], cuts[s + 1]
        # The rows the range touches, copied only when the update is not row-major already.
        r0, r1 = lo // cols, -(-hi // cols)
        driver.place(
            s,
            lo,
            hi,
            [
                np.ascontiguousarray(u[r0:r1]).reshape(-1)[lo - r0 * cols : hi - r0 * cols]
                for u in stack
            ],
        )
    return driver


def _norms(driver: Any, n: int) -> Optional[List[float]]:
    """Every update's float64 norm, its squares added in row-major order as one pass adds them
    (a chain of running sums from worker to worker); None when one holds a NaN or infinity."""
    sums = driver.chained_sums(list(range(n)), False)
    if not all(math.isfinite(x) for x in sums):
        return None
    return [math.sqrt(x) for x in sums]


def _scaled(driver: Any, stack: List[Any], factors: Sequence[float]) -> Any:
    """Every update times its factor (rounded to float32; a factor of 1 copies), each worker
    scaling its range."""
    rows, cols = (int(x) for x in stack[0].shape)
    return _gather(driver, len(stack), rows, cols, lambda w: w.scaled.remote(list(factors)))


def _gather(driver: Any, count: int, rows: int, cols: int, submit: Any) -> Any:
    """A (count, rows, cols) result from every worker's pieces: (offset, ObjectRef to a
    (count, length) array) in coordinate order; None when a worker answered None."""
    out = np.empty((count, rows * cols), dtype=np.float32)
    lists = driver._all(submit)
    if any(parts is None for parts in lists):
        return None
    for s, parts in enumerate(lists):
        lo = driver._ranges[s][0]
        for (at, _), piece in zip(parts, driver._get([(s, ref) for _, ref in parts])):
            out[:, lo + at : lo + at + piece.shape[1]] = piece
    return out.reshape(count, rows, cols)


def _clip(stack: List[Any], params: Dict[str, Any], shards: int, timeout: Optional[float]) -> Any:
    driver = _placed(stack, shards, timeout)
    norms = _norms(driver, len(stack))
    if norms is None:
        return None
    c = float(params["c"])
    return _scaled(driver, stack, [c / x if x > c else 1.0 for x in norms])


def _arc(stack: List[Any], params: Dict[str, Any], shards: int, timeout: Optional[float]) -> Any:
    driver = _placed(stack, shards, timeout)
    norms = _norms(driver, len(stack))
    if norms is None:
        return None
    n, f = len(stack), int(params["f"])
    k = 2 * f * (n - f) // n
    # Largest norm first, equal norms in index order (a stable sort).
    order = sorted(range(n), key=lambda i: -norms[i])
    threshold = norms[order[k]]
    factors = [1.0] * n
    for i in order[:k]:
        if norms[i] > threshold:
            factors[i] = threshold / norms[i]
    return _scaled(driver, stack, factors)


def _bucketing(
    stack: List[Any], params: Dict[str, Any], shards: int, timeout: Optional[float]
) -> Any:
    """The bucket means are coordinate-wise: each worker runs fenro.robust.bucketing on its
    range, with the same permutation (a function of n and the seed only)."""
    n, s = len(stack), int(params["s"])
    seed = int(params["seed"])
    rows, cols = (int(x) for x in stack[0].shape)
    driver = _placed(stack, shards, timeout)
    count = n // s + (n % s != 0)
    return _gather(driver, count, rows, cols, lambda w: w.buckets.remote(s, seed))


_DISTRIBUTED: Dict[str, Callable[[List[Any], Dict[str, Any], int, Optional[float]], Any]] = {
    "krum": _krum,
    "multi_krum": _multi_krum,
    "clip": _clip,
    "arc": _arc,
    "bucketing": _bucketing,
}
