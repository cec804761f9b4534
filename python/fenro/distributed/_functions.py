"""The whole-update functions of fenro.robust on Ray workers: krum, multi_krum, bulyan, nnm,
geometric_median, centered_clipping, clip, arc and bucketing, and their ``*_info`` forms, with
fenro.robust's arguments, results and errors, bit for bit.

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
    "bulyan": ("f",),
    "nnm": ("f",),
    "geometric_median": ("weights", "nu", "tol", "max_iter"),
    "centered_clipping": ("tau", "iterations", "center"),
    "clip": ("c",),
    "arc": ("f",),
    "bucketing": ("s", "seed"),
}
# The arguments a function also takes by position, after `updates`.
_POSITIONAL = {"geometric_median": ("weights",)}


def _call_of(
    name: str, args: Tuple[Any, ...], kwargs: Dict[str, Any]
) -> Optional[Tuple[List[Any], Dict[str, Any]]]:
    """The updates as 2-D float32 arrays of one shape with at least one coordinate, and the
    other arguments by name, when the call has fenro.robust's form; None for anything the
    function itself must see."""
    positional = ("updates",) + _POSITIONAL.get(name, ())
    if len(args) > len(positional) or set(kwargs) - {"updates", *_PARAMETERS[name]}:
        return None
    named = dict(zip(positional, args))
    if set(named) & set(kwargs) or "updates" not in {*named, *kwargs}:
        return None
    named.update(kwargs)
    updates = named.pop("updates")
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
    center = named.get("center")
    if center is not None and not (
        isinstance(center, np.ndarray)
        and center.dtype == np.float32
        and center.shape == stack[0].shape
        and bool(np.isfinite(center).all())
    ):
        return None
    return stack, named


def parameters_pass(name: str, count: int, params: Dict[str, Any]) -> bool:
    """Whether fenro.robust.<name> accepts the parameters for `count` updates: it is called on
    that many zero updates of one coordinate (cheap, and the checks that depend on n see the
    real n). A center of the real shape cannot go with them: the caller checks it."""
    from fenro import robust

    try:
        getattr(robust, name)(
            np.zeros((count, 1, 1), np.float32),
            **{k: v for k, v in params.items() if k != "center"},
        )
    except (TypeError, ValueError):
        return False
    return True


def run(
    name: str,
    args: Tuple[Any, ...],
    kwargs: Dict[str, Any],
    shards: int,
    timeout: Optional[float],
) -> Any:
    """fenro.robust.<name>(*args, **kwargs) on the workers; `name` may end in ``_info``."""
    from fenro import robust
    from fenro.distributed import _check_layout, _round_lock

    _check_layout(shards, timeout)
    info = name.endswith("_info")
    base = name[: -len("_info")] if info else name
    single: Callable[..., Any] = getattr(robust, name)
    call = _call_of(base, args, kwargs)
    if call is None:
        return single(*args, **kwargs)
    stack, params = call
    if not parameters_pass(base, len(stack), params):
        return single(*args, **kwargs)
    with _round_lock:
        result = _DISTRIBUTED[base](stack, params, shards, timeout)
    if result is None:  # a value the function refuses: it raises its own error
        return single(*args, **kwargs)
    return _info(base, result) if info else result[0]


# Each distributed function returns the fields of its ``*_info`` object in order (the plain
# function's result first), or None when a value is NaN or infinite.

# -- the rules that need whole updates: decided here, computed on the ranges ------------------


def _rule_params(name: str, params: Dict[str, Any], listed: Sequence[int]) -> Tuple[Any, ...]:
    """fenro._distributed._whole_rule's parameters of a rule whose own were checked, for the
    placed updates `listed`."""
    n = len(listed)
    if name == "krum":
        return int(params["f"]), 1, False
    if name == "multi_krum":
        f, m = int(params["f"]), params.get("m")
        return f, min(n - 2 * f - 2, 3) if m is None else int(m), True  # robust's default m
    if name == "bulyan":
        return (int(params["f"]),)
    if name == "geometric_median":
        weights = params.get("weights")
        # As the function converts them: each to a Python float, then to float32.
        w = [1.0] * n if weights is None else [float(np.float32(float(x))) for x in weights]
        taking = [k for k in range(n) if w[k] != 0.0]
        return (
            [listed[k] for k in taking],
            [w[k] for k in taking],
            float(params.get("nu", 1e-6)),
            float(params.get("tol", 1e-7)),
            int(params.get("max_iter", 100)),
        )
    assert name == "centered_clipping"
    center = params.get("center")
    return float(params["tau"]), int(params.get("iterations", 1)), center is None


def on_placed(driver: Any, name: str, count: int, params: Dict[str, Any],
              listed: Optional[Sequence[int]] = None) -> Any:
    """krum, multi_krum, bulyan, geometric_median or centered_clipping of fenro.robust, its
    parameters checked, on the updates at positions `listed` (default: all `count`) of those
    the driver's workers hold: the fields of its ``*_info`` object, or None when a value is NaN
    or infinite. Indices among them are positions in `listed`."""
    from fenro import _distributed

    rows, cols = driver.layout()[0][0]
    cuts = driver.layout()[1]
    listed = list(range(count)) if listed is None else list(listed)
    center = params.get("center")
    if center is not None:
        flat = np.ascontiguousarray(center).reshape(-1)
        driver.set_slices([flat[cuts[s] : cuts[s + 1]] for s in range(len(cuts) - 1)])
    rule = "krum" if name == "multi_krum" else name
    data = _distributed._whole_rule(
        rule, driver, count, rows, cols, cuts, _rule_params(name, params, listed), listed
    )
    if data is None:
        return None
    aggregate = driver.assemble(rows, cols)
    if name == "geometric_median":
        return (aggregate,) + tuple(data)
    if name == "centered_clipping":
        return aggregate, tuple(data[0]), tuple(data[1])
    return aggregate, tuple(data)


def _whole_rule(name: str) -> Callable[[List[Any], Dict[str, Any], int, Optional[float]], Any]:
    def run_rule(stack: List[Any], params: Dict[str, Any], shards: int,
                 timeout: Optional[float]) -> Any:
        return on_placed(_placed(stack, shards, timeout), name, len(stack), params)

    return run_rule


def _nnm(stack: List[Any], params: Dict[str, Any], shards: int, timeout: Optional[float]) -> Any:
    """The ranking from the workers' exact pair distances (decided here), then each worker mixes
    its range."""
    from fenro import _distributed

    n, keep = len(stack), len(stack) - int(params["f"])
    rows, cols = (int(x) for x in stack[0].shape)
    driver = _placed(stack, shards, timeout)
    cuts = driver.layout()[1]
    flat = _distributed._whole_rule("nnm", driver, n, rows, cols, cuts, (keep,))
    if flat is None:
        return None
    offsets = [i * keep for i in range(n + 1)]
    mixed = _gather(driver, n, rows, cols, lambda w: w.mixed.remote(offsets, flat))
    if mixed is None:
        return None
    return mixed, tuple(tuple(flat[i * keep : (i + 1) * keep]) for i in range(n))


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
    factors = [c / x if x > c else 1.0 for x in norms]
    return _scaled(driver, stack, factors), norms, factors


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
    return _scaled(driver, stack, factors), k, threshold, order[:k], norms, factors


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
    buckets = _gather(driver, count, rows, cols, lambda w: w.buckets.remote(s, seed))
    if buckets is None:
        return None
    # The permutation depends on n and the seed only: the function's own, on n updates of one
    # coordinate.
    from fenro import robust

    one = np.zeros((n, 1, 1), np.float32)
    return buckets, robust.bucketing_info(one, s=s, seed=seed).permutation


_DISTRIBUTED: Dict[str, Callable[[List[Any], Dict[str, Any], int, Optional[float]], Any]] = {
    "krum": _whole_rule("krum"),
    "multi_krum": _whole_rule("multi_krum"),
    "bulyan": _whole_rule("bulyan"),
    "nnm": _nnm,
    "geometric_median": _whole_rule("geometric_median"),
    "centered_clipping": _whole_rule("centered_clipping"),
    "clip": _clip,
    "arc": _arc,
    "bucketing": _bucketing,
}


def _info(name: str, result: Tuple[Any, ...]) -> Any:
    """fenro.robust.<name>_info's object from a distributed function's result tuple."""
    from fenro.robust import _info as i

    kind = {
        "krum": i.SelectionInfo,
        "multi_krum": i.SelectionInfo,
        "bulyan": i.SelectionInfo,
        "nnm": i.NnmInfo,
        "geometric_median": i.GeometricMedianInfo,
        "centered_clipping": i.CenteredClippingInfo,
        "clip": i.ClipInfo,
        "arc": i.ArcInfo,
        "bucketing": i.BucketingInfo,
    }[name]
    return kind(*(tuple(v) if isinstance(v, list) else v for v in result))
