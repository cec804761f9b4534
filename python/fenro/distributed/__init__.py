"""A round bigger than one machine: coordinate-sharded aggregation on Ray.

:func:`aggregate` runs the round of a :class:`fenro.ByzantineAggregator` with every update cut
into coordinate ranges, each range of every update held by one Ray worker process, and gives
what ``aggregator.aggregate(updates, client_ids, weights)`` gives, bit for bit: the same
aggregate, the same error with the same message, and the same reputation scores afterwards
(``aggregator.to_json()`` is the same text). The round's decisions run once, on the calling
process (the coordinator); the workers run the passes over the values on their ranges and
answer with a few numbers per update. docs/distributed.md shows how to run it on a cluster of
several machines; docs/design.md explains why the bits come out the same.

When no process can hold the whole round, :class:`ShardedUpdates` takes the updates as shards
(update k, coordinate range s of a :class:`ShardLayout`), NumPy arrays or ``ray.ObjectRef``s
that other processes put into the object store, and runs the same round on them.

Ray is an optional dependency: ``pip install "fenro[ray]"``.
"""

import builtins
import os
import threading
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

import numpy as np

from fenro.distributed._driver import ShardLayoutError, WorkerError

__all__ = [
    "aggregate",
    "aggregate_with_audit",
    "fedavg",
    "trimmed_mean",
    "median",
    "meamed",
    "krum",
    "multi_krum",
    "clip",
    "arc",
    "bucketing",
    "bulyan",
    "nnm",
    "geometric_median",
    "centered_clipping",
    "krum_info",
    "multi_krum_info",
    "bulyan_info",
    "nnm_info",
    "geometric_median_info",
    "centered_clipping_info",
    "clip_info",
    "arc_info",
    "bucketing_info",
    "ShardLayout",
    "ShardedUpdates",
    "ShardLayoutError",
    "WorkerError",
]

_lock = threading.Lock()
# The workers keep one round's shards: rounds of this process (from any thread) take turns.
_round_lock = threading.Lock()
_workers: List[Any] = []
_remote: List[Any] = []  # the actor class, made once
# Coordinates of a worker's slice of the aggregate made and sent back in one piece: a worker
# never holds its slice twice, nor more than one piece of it in its own memory (32 MB).
_piece = 1 << 23


def _ray() -> Any:
    try:
        import ray
    except ImportError as e:  # pragma: no cover - depends on the environment
        raise ImportError(
            'fenro.distributed needs Ray: python -m pip install "fenro[ray]"'
        ) from e
    if not ray.is_initialized():
        ray.init()
    return ray


def _threads_per_worker(count: int) -> int:
    """Each worker's share of this machine's CPUs when they all run here; 0 leaves fenro's
    default (every CPU of the worker's machine)."""
    import ray

    nodes = [n for n in getattr(ray, "nodes")() if n.get("Alive")]
    if len(nodes) != 1:
        return 0
    cpus = int(nodes[0].get("Resources", {}).get("CPU", os.cpu_count() or 1))
    return max(1, cpus // count)


def _pool(count: int, timeout: Optional[float]) -> List[Any]:
    """`count` live workers, reusing those of earlier rounds (the pool only grows): a worker
    that does not answer a ping (lost, or killed after a timeout) is replaced. Each worker's
    thread count is its share of the machine's CPUs when the pool is made."""
    ray = _ray()
    from fenro.distributed._worker import ShardWorker

    if not _remote:
        _remote.append(
            ray.remote(num_cpus=0, max_restarts=0, scheduling_strategy="SPREAD")(ShardWorker)
        )
    remote = _remote[0]
    threads = _threads_per_worker(count)
    with _lock:
        pings = [w.ping.remote() for w in _workers[:count]]
        for i, ping in enumerate(pings):
            try:
                ray.get(ping, timeout=timeout)
            except (ray.exceptions.RayError, ray.exceptions.GetTimeoutError):
                ray.kill(_workers[i])
                _workers[i] = remote.remote(threads, _piece)
        while len(_workers) < count:
            _workers.append(remote.remote(threads, _piece))
        return _workers[:count]


def aggregate(
    aggregator: Any,
    updates: Any,
    client_ids: Optional[Sequence[str]] = None,
    weights: Optional[Sequence[float]] = None,
    *,
    shards: int,
    timeout: Optional[float] = None,
) -> Any:
    """``aggregator.aggregate(updates, client_ids, weights)``, run on `shards` Ray workers.

    Every update is cut into `shards` coordinate ranges of its row-major values (at most one
    per coordinate); worker s holds range s of every update. The round's result, its errors
    (same type, same message, same order of checks) and its effect on the aggregator's
    reputation store are those of the single-machine round, bit for bit.

    `aggregator` is a :class:`fenro.ByzantineAggregator`; it stays borrowed for the whole round
    (any other call on it raises RuntimeError meanwhile). Or it is a
    :class:`fenro.robust.ComposedAggregator`: the result is then ``aggregator.aggregate(updates,
    client_ids, weights)``'s (aggregate, audit), bit for bit; its norms and distances run on
    the workers, and so does its rule when no pre-aggregator comes before it (the median and
    the trimmed mean unweighted); pre-aggregators and the weighted median and trimmed mean
    need every coordinate of every update and run on this process. A Ray cluster is used if ``ray.init`` was called, else a
    local one is started. Workers are kept between calls.

    `timeout` (seconds, or None to wait forever) bounds each wait for the workers. A worker
    that dies, fails or does not answer in time raises :class:`WorkerError`, and no reputation
    score changes; calling again retries the round on replaced workers.

    Rounds of one process run one at a time (the workers hold one round's shards).
    """
    _check_layout(shards, timeout)
    from fenro import _distributed
    from fenro.distributed._driver import Driver

    if type(aggregator).__name__ == "ComposedAggregator":
        from fenro.robust import ComposedAggregator

        if isinstance(aggregator, ComposedAggregator):
            from fenro.distributed._composed import ShardedSource

            with _round_lock:
                return aggregator.run_round(
                    ShardedSource(updates, shards, timeout), client_ids, weights
                )
    _check_aggregator(aggregator)
    with _round_lock:
        driver = Driver(_pool(shards, timeout), timeout)
        result = _distributed._run_round(aggregator, driver, updates, client_ids, weights, shards)
        if isinstance(result, tuple):
            return driver.assemble(*result)
        return result


def aggregate_with_audit(
    aggregator: Any,
    updates: Any,
    client_ids: Optional[Sequence[str]] = None,
    weights: Optional[Sequence[float]] = None,
    *,
    shards: int,
    timeout: Optional[float] = None,
) -> Any:
    """``fenro.robust.aggregate_with_audit(aggregator, updates, client_ids, weights)`` with the
    round run as :func:`aggregate` runs it: (aggregate, RoundAudit), the same bits, the same
    audit, the same reputation scores afterwards, or the same error
    (``fenro.robust.RoundRefusedError`` with its audit when every update was turned away).

    The round runs on the workers for a :class:`fenro.ByzantineAggregator` and updates given
    as NumPy arrays (a sequence of 2-D arrays or one 3-D array); anything else (another
    aggregator type, tensors, state dicts) is handed to the ``fenro.robust`` function on this
    process, which raises or answers exactly as it does there.
    """
    from fenro import robust

    _check_layout(shards, timeout)
    from fenro._core import ByzantineAggregator

    plain = isinstance(updates, np.ndarray) or (
        isinstance(updates, (list, tuple)) and all(isinstance(u, np.ndarray) for u in updates)
    )
    if type(aggregator) is not ByzantineAggregator or not plain:
        return robust.aggregate_with_audit(aggregator, updates, client_ids, weights)
    from fenro import _distributed
    from fenro.distributed._driver import Driver
    from fenro.robust._audit import RoundRefusedError, _audit_of

    with _round_lock:
        driver = Driver(_pool(shards, timeout), timeout)
        result, raw, refused = _distributed._run_round(
            aggregator, driver, updates, client_ids, weights, shards, True
        )
        if isinstance(result, tuple):
            result = driver.assemble(*result)
    audit = _audit_of(raw)
    if result is None:
        raise RoundRefusedError(refused or "", audit)
    return result, audit


class ShardLayout:
    """The coordinate ranges of updates of one shape: `shards` even ranges of the row-major
    coordinates 0 .. rows * cols (fewer when there are fewer coordinates; one empty range when
    there are none). ``ranges`` lists them as (lo, hi)."""

    def __init__(self, rows: int, cols: int, *, shards: int) -> None:
        for name, v in (("rows", rows), ("cols", cols)):
            if isinstance(v, bool) or not isinstance(v, int):
                raise TypeError(f"argument '{name}': expected an int, got {type(v).__name__}")
            if v < 0:
                raise ValueError(f"argument '{name}' = {v} is out of range: {name} >= 0")
        _check_layout(shards, None)
        self.rows, self.cols = rows, cols
        self.cuts = _even_cuts(rows * cols, shards)
        self.ranges = [(self.cuts[s], self.cuts[s + 1]) for s in range(len(self.cuts) - 1)]

    def __repr__(self) -> str:
        return f"ShardLayout({self.rows}, {self.cols}, shards={len(self.ranges)})"


class ShardedUpdates:
    """The updates of one round as shards: ``put(update, range, values)`` for every update
    0 .. n - 1 and every range of the layout, then :meth:`aggregate`.

    A shard is a float32 NumPy array holding the range's values of the update in row-major
    order (any shape with that many values), or a ``ray.ObjectRef`` to one, which the range's
    worker fetches itself, so that the coordinator never holds the updates.
    """

    def __init__(self, layout: ShardLayout) -> None:
        self.layout = layout
        self._shards: Dict[Tuple[int, int], Any] = {}

    def __len__(self) -> int:
        return 1 + max((k for k, _ in self._shards), default=-1)

    def put(self, update: int, range: int, values: Any) -> None:
        """Sets the shard of `update` for coordinate range number `range`. An array is checked
        at once (ShardLayoutError); an ObjectRef when the round starts."""
        for name, v, top in (("update", update, None), ("range", range, len(self.layout.ranges))):
            if isinstance(v, bool) or not isinstance(v, int):
                raise TypeError(f"argument '{name}': expected an int, got {type(v).__name__}")
            if v < 0 or (top is not None and v >= top):
                need = f"0 <= {name} < {top}" if top is not None else f"{name} >= 0"
                raise ValueError(f"argument '{name}' = {v} is out of range: {need}")
        lo, hi = self.layout.ranges[range]
        if not _is_ref(values):
            where = f"the shard of update {update} for coordinate range {range} [{lo}, {hi})"
            if not isinstance(values, np.ndarray):
                raise ShardLayoutError(f"{where}: a {type(values).__name__}, not a NumPy array")
            if values.dtype != np.float32:
                raise ShardLayoutError(f"{where}: dtype {values.dtype}, expected float32")
            if values.size != hi - lo:
                raise ShardLayoutError(f"{where}: {values.size} values, expected {hi - lo}")
        self._shards[(update, range)] = values

    def aggregate(
        self,
        aggregator: Any,
        client_ids: Optional[Sequence[str]] = None,
        weights: Optional[Sequence[float]] = None,
        *,
        assemble: bool = True,
        timeout: Optional[float] = None,
    ) -> Any:
        """``aggregator.aggregate(updates, client_ids, weights)`` on the shards, bit for bit, as
        :func:`aggregate` runs it. First every update 0 .. n - 1 must have a shard for every
        range (ShardLayoutError names the first missing one), and every shard must fit its
        range; nothing runs otherwise.

        Returns the aggregate as one array, or with ``assemble=False`` a list of
        ``ray.ObjectRef``s to its consecutive one-dimensional pieces in coordinate order (at
        most 32 MB each; ``np.concatenate(ray.get(refs))`` is the flat aggregate).

        With a :class:`fenro.robust.ComposedAggregator`, returns (that, audit), as its
        ``aggregate`` does, the round run as :func:`aggregate` runs it: the screen, the
        distances and a rule with no pre-aggregator before it on the workers. Defenses with
        pre-aggregators, or a weighted median or trimmed mean, gather the admitted updates on
        this process for their rule.
        """
        _check_layout(1, timeout)
        from fenro import _distributed
        from fenro.distributed._driver import Driver

        composed = _is_composed(aggregator)
        if not composed:
            _check_aggregator(aggregator)
        n = len(self)
        for k in builtins.range(n):
            for s, (lo, hi) in enumerate(self.layout.ranges):
                if (k, s) not in self._shards:
                    raise ShardLayoutError(
                        f"update {k} has no shard for coordinate range {s} [{lo}, {hi})"
                    )
        rows, cols = self.layout.rows, self.layout.cols
        cuts = self.layout.cuts
        with _round_lock:
            driver = Driver(_pool(len(self.layout.ranges), timeout), timeout, eager=assemble)
            driver.use_layout([(rows, cols)] * n, cuts)
            placed = n > 0 and rows * cols > 0
            if placed:
                for s, (lo, hi) in enumerate(self.layout.ranges):
                    driver.place(s, lo, hi, [self._shards[(k, s)] for k in builtins.range(n)])
            if composed:
                from fenro.distributed._composed import PlacedSource

                source = PlacedSource(driver if placed else None, n, rows, cols, cuts)
                out, audit = aggregator.run_round(source, client_ids, weights)
                if assemble:
                    return out, audit
                flat = out.reshape(-1)
                return [_ray().put(flat[a : a + _piece])
                        for a in builtins.range(0, max(flat.shape[0], 1), _piece)], audit
            result = _distributed._run_round(
                aggregator, driver, None, client_ids, weights, len(self.layout.ranges)
            )
            if not isinstance(result, tuple):  # ran on the coordinator: no coordinates
                return result if assemble else [_ray().put(result.reshape(-1))]
            # Each reference holds its slice as it is now: the worker's calls run in order,
            # so a later round cannot change what it refers to.
            return driver.assemble(*result) if assemble else driver.slices()


def _is_composed(aggregator: Any) -> bool:
    if type(aggregator).__name__ != "ComposedAggregator":
        return False
    from fenro.robust import ComposedAggregator

    return isinstance(aggregator, ComposedAggregator)


def _is_ref(x: Any) -> bool:
    try:
        import ray
    except ImportError:  # pragma: no cover - depends on the environment
        return False
    return isinstance(x, ray.ObjectRef)


def _check_aggregator(aggregator: Any) -> None:
    from fenro._core import ByzantineAggregator

    if type(aggregator) is not ByzantineAggregator:
        raise TypeError(
            "argument 'aggregator': expected fenro.ByzantineAggregator, "
            f"got {type(aggregator).__name__}"
        )


def _check_layout(shards: Any, timeout: Any) -> None:
    if isinstance(shards, bool) or not isinstance(shards, int):
        raise TypeError(f"argument 'shards': expected an int, got {type(shards).__name__}")
    if shards < 1:
        raise ValueError(f"argument 'shards' = {shards} is out of range: shards >= 1")
    if timeout is not None and not timeout > 0:
        raise ValueError(f"argument 'timeout' = {timeout} is out of range: timeout > 0")


def _rule(name: str, args: Any, kwargs: Any, shards: int, timeout: Optional[float]) -> Any:
    _check_layout(shards, timeout)
    from fenro import _distributed
    from fenro.distributed._driver import Driver

    with _round_lock:
        driver = Driver(_pool(shards, timeout), timeout)
        result = _distributed._rule(name, driver, shards, tuple(args), dict(kwargs))
        if isinstance(result, tuple):
            return driver.assemble(*result)
        return result


def fedavg(*args: Any, shards: int, timeout: Optional[float] = None, **kwargs: Any) -> Any:
    """``fenro.robust.fedavg(updates, weights=None)`` on `shards` workers, bit for bit: the
    same result, or the same error with the same message. `shards` and `timeout` as for
    :func:`aggregate`."""
    return _rule("fedavg", args, kwargs, shards, timeout)


def trimmed_mean(*args: Any, shards: int, timeout: Optional[float] = None, **kwargs: Any) -> Any:
    """``fenro.robust.trimmed_mean(updates, *, trim)`` on `shards` workers, bit for bit."""
    return _rule("trimmed_mean", args, kwargs, shards, timeout)


def median(*args: Any, shards: int, timeout: Optional[float] = None, **kwargs: Any) -> Any:
    """``fenro.robust.median(updates)`` on `shards` workers, bit for bit."""
    return _rule("median", args, kwargs, shards, timeout)


def meamed(*args: Any, shards: int, timeout: Optional[float] = None, **kwargs: Any) -> Any:
    """``fenro.robust.meamed(updates, *, f)`` on `shards` workers, bit for bit."""
    return _rule("meamed", args, kwargs, shards, timeout)


def _whole(name: str, args: Any, kwargs: Any, shards: int, timeout: Optional[float]) -> Any:
    from fenro.distributed._functions import run

    return run(name, tuple(args), dict(kwargs), shards, timeout)


def krum(*args: Any, shards: int, timeout: Optional[float] = None, **kwargs: Any) -> Any:
    """``fenro.robust.krum(updates, *, f)`` on `shards` workers, bit for bit: the same result,
    or the same error with the same message. The exact integer distances are summed over the
    workers' ranges; `shards` and `timeout` as for :func:`aggregate`."""
    return _whole("krum", args, kwargs, shards, timeout)


def multi_krum(*args: Any, shards: int, timeout: Optional[float] = None, **kwargs: Any) -> Any:
    """``fenro.robust.multi_krum(updates, *, f, m=None)`` on `shards` workers, bit for bit."""
    return _whole("multi_krum", args, kwargs, shards, timeout)


def clip(*args: Any, shards: int, timeout: Optional[float] = None, **kwargs: Any) -> Any:
    """``fenro.robust.clip(updates, *, c)`` on `shards` workers, bit for bit: the norms are
    chained over the workers in row-major order, then each worker scales its range. Returns
    the (n, rows, cols) array."""
    return _whole("clip", args, kwargs, shards, timeout)


def arc(*args: Any, shards: int, timeout: Optional[float] = None, **kwargs: Any) -> Any:
    """``fenro.robust.arc(updates, *, f)`` on `shards` workers, bit for bit (norms as
    :func:`clip`; the factors are chosen here)."""
    return _whole("arc", args, kwargs, shards, timeout)


def bucketing(*args: Any, shards: int, timeout: Optional[float] = None, **kwargs: Any) -> Any:
    """``fenro.robust.bucketing(updates, *, s, seed)`` on `shards` workers, bit for bit: the
    same permutation, each worker averaging the buckets over its range."""
    return _whole("bucketing", args, kwargs, shards, timeout)


def bulyan(*args: Any, shards: int, timeout: Optional[float] = None, **kwargs: Any) -> Any:
    """``fenro.robust.bulyan(updates, *, f)`` on `shards` workers, bit for bit: the selection
    from Krum's exact integer distances summed over the workers' ranges, then each worker
    averages its range of the selected updates around their median."""
    return _whole("bulyan", args, kwargs, shards, timeout)


def nnm(*args: Any, shards: int, timeout: Optional[float] = None, **kwargs: Any) -> Any:
    """``fenro.robust.nnm(updates, *, f)`` on `shards` workers, bit for bit: the neighbours are
    ranked here from the workers' exact pair distances (only pairs whose order those cannot
    settle are summed again, chained over the workers), then each worker mixes its range.
    Returns the (n, rows, cols) array."""
    return _whole("nnm", args, kwargs, shards, timeout)


def geometric_median(
    *args: Any, shards: int, timeout: Optional[float] = None, **kwargs: Any
) -> Any:
    """``fenro.robust.geometric_median(updates, weights=None, *, nu, tol, max_iter)`` on
    `shards` workers, bit for bit: each worker holds its range of every iterate in float64;
    every step's distances are chained over the workers in row-major order."""
    return _whole("geometric_median", args, kwargs, shards, timeout)


def centered_clipping(
    *args: Any, shards: int, timeout: Optional[float] = None, **kwargs: Any
) -> Any:
    """``fenro.robust.centered_clipping(updates, *, tau, iterations=1, center=None)`` on
    `shards` workers, bit for bit (distances as :func:`geometric_median`'s)."""
    return _whole("centered_clipping", args, kwargs, shards, timeout)


def _info_function(name: str) -> Callable[..., Any]:
    """fenro.distributed.<name>: ``fenro.robust.<name>`` on `shards` workers, bit for bit."""

    def function(*args: Any, shards: int, timeout: Optional[float] = None, **kwargs: Any) -> Any:
        return _whole(name, args, kwargs, shards, timeout)

    function.__name__ = function.__qualname__ = name
    function.__doc__ = (
        f"``fenro.robust.{name}`` on `shards` workers, bit for bit: the same info object, "
        "or the same error. `shards` and `timeout` as for :func:`aggregate`."
    )
    return function


krum_info = _info_function("krum_info")
multi_krum_info = _info_function("multi_krum_info")
bulyan_info = _info_function("bulyan_info")
nnm_info = _info_function("nnm_info")
geometric_median_info = _info_function("geometric_median_info")
centered_clipping_info = _info_function("centered_clipping_info")
clip_info = _info_function("clip_info")
arc_info = _info_function("arc_info")
bucketing_info = _info_function("bucketing_info")


# -- benchmarks: rounds whose shards are made on the workers --------------------------------

_MIX = np.uint64(0x9E3779B97F4A7C15)


def _generated_range(seed: int, update: int, lo: int, hi: int) -> Any:
    """Coordinates [lo, hi) of a generated update: values in [-1, 1) (update k < 2 shifted by
    +8, a far-off client) from a hash of (seed, update, coordinate), the same however the
    coordinates are cut."""
    out = np.empty(hi - lo, dtype=np.float32)
    key = np.uint64((seed * 1_000_003 + update * 7919 + 1) & 0xFFFFFFFFFFFFFFFF)
    step = 1 << 20
    with np.errstate(over="ignore"):
        for a in range(lo, hi, step):
            b = min(hi, a + step)
            h = (np.arange(a, b, dtype=np.uint64) + key) * _MIX
            h ^= h >> np.uint64(29)
            h *= _MIX
            v = (h >> np.uint64(40)).astype(np.float32)  # 24 bits
            v *= np.float32(2.0**-23)
            v -= np.float32(1.0 if update >= 2 else -7.0)
            out[a - lo : b - lo] = v
    return out


def _generated_update(seed: int, update: int, rows: int, cols: int) -> Any:
    return _generated_range(seed, update, 0, rows * cols).reshape(rows, cols)


def _generate(count: int, rows: int, cols: int, seed: int, *, shards: int) -> List[int]:
    """Has each of `shards` pooled workers make its range of ``_generated_update(seed, k, rows,
    cols)`` for k < count, so that the updates never exist in one process; returns the cuts."""
    cuts = _even_cuts(rows * cols, shards)
    workers = _pool(len(cuts) - 1, None)
    _ray().get(
        [
            workers[s].generate.remote(count, cuts[s], cuts[s + 1], seed)
            for s in range(len(cuts) - 1)
        ]
    )
    return cuts


def _aggregate_generated(
    aggregator: Any,
    count: int,
    rows: int,
    cols: int,
    cuts: List[int],
    client_ids: Optional[Sequence[str]] = None,
) -> Any:
    """The round of ``aggregate(aggregator, [_generated_update(seed, k, rows, cols) for k in
    range(count)], client_ids, shards=...)`` on the shards that _generate placed."""
    from fenro import _distributed
    from fenro.distributed._driver import Driver

    driver = Driver(_pool(len(cuts) - 1, None), None)
    driver.use_layout([(rows, cols)] * count, cuts)
    driver._ranges = [(cuts[s], cuts[s + 1]) for s in range(len(cuts) - 1)]
    result = _distributed._run_round(aggregator, driver, None, client_ids, None, len(cuts) - 1)
    if isinstance(result, tuple):
        return driver.assemble(*result)
    return result


def _even_cuts(size: int, ranges: int) -> List[int]:
    ranges = max(1, min(ranges, max(size, 1)))
    return [size // ranges * s + min(s, size % ranges) for s in range(ranges + 1)]


def _worker_peaks(reset: bool = False) -> List[Dict[str, int]]:
    """Each pooled worker's peak resident memory in bytes since its last reset (see
    ShardWorker.peak_memory); with `reset`, a new peak starts afterwards."""
    ray = _ray()
    peaks: List[Dict[str, int]] = ray.get([w.peak_memory.remote() for w in _workers])
    if reset:
        ray.get([w.reset_peak.remote() for w in _workers])
    return peaks
