"""The coordinator's side of the workers: the calls fenro._distributed's round makes.

fenro._distributed._run_round runs the round (in C++, the same code as
ByzantineAggregator.aggregate) and asks this driver for each pass over the values; the driver
sends the pass to every worker at once and returns their answers in range order. A worker that
died, failed or did not answer within the timeout raises WorkerError, which ends the round
before any reputation score is written.
"""

import time
from typing import Any, List, Optional, Sequence, Tuple

import numpy as np


class WorkerError(RuntimeError):
    """A worker of a distributed round was lost, failed, or did not answer in time.

    The round changed nothing (no reputation score); calling it again retries it on fresh
    workers. The Ray error is the ``__cause__``.
    """


class ShardLayoutError(ValueError):
    """Shards that do not fit the layout: a missing (update, range), or a shard that is not a
    float32 array of its range's length. Raised before any work of the round."""


class Driver:
    """`workers[s]` holds coordinate range s. With `eager`, the slices a coordinate-wise
    kernel makes are copied into the aggregate here as each piece is made (the workers go on
    with the next pieces meanwhile), so that assemble() has nothing left to fetch; without it,
    the slices stay in the object store until assemble() or slices() is called."""

    def __init__(self, workers: List[Any], timeout: Optional[float], eager: bool = True) -> None:
        import ray

        self._ray = ray
        self._workers = workers
        self._timeout = timeout
        self._eager = eager
        # The aggregate the last kernel pass made, when it was assembled eagerly.
        self._assembled: Optional[Any] = None
        self._ranges: List[Tuple[int, int]] = []
        self._shapes: Optional[List[Tuple[int, int]]] = None
        self._cuts: Optional[List[int]] = None

    # -- what _run_round calls --------------------------------------------------------------

    def place(self, s: int, lo: int, hi: int, buffers: List[Any]) -> None:
        self._ranges.append((lo, hi))
        problem = self._get([(s, self._workers[s].place.remote(buffers, hi - lo))])[0]
        if problem is not None:
            k, what = problem
            raise ShardLayoutError(
                f"the shard of update {k} for coordinate range {s} [{lo}, {hi}): {what}"
            )

    def use_layout(self, shapes: List[Tuple[int, int]], cuts: List[int]) -> None:
        """A round whose shards are placed (or about to be) range by range through place()."""
        self._shapes, self._cuts = shapes, cuts

    def set_slices(self, parts: List[Any]) -> None:
        """Hands each worker its slice of an aggregate made elsewhere."""
        self._assembled = None
        self._get([(s, self._workers[s].set_slice.remote(p)) for s, p in enumerate(parts)])

    def layout(self) -> Tuple[List[Tuple[int, int]], List[int]]:
        assert self._shapes is not None and self._cuts is not None
        return self._shapes, self._cuts

    def scans(self, updates: Sequence[int]) -> List[Any]:
        return self._all(lambda w: w.scans.remote(updates))

    def sums(self, updates: Sequence[int], distances: bool) -> List[Any]:
        return self._all(lambda w: w.sums.remote(updates, distances))

    def chained_sums(self, updates: Sequence[int], distances: bool) -> Any:
        return self._chain(lambda w, running: w.sums.remote(updates, distances, running))

    def point_chained_sums(self, slot: int, updates: Sequence[int]) -> Any:
        return self._chain(lambda w, running: w.point_sums.remote(slot, updates, running))

    def point_weighted(
        self, slot: int, updates: Sequence[int], coeffs: Sequence[float], divisor: float, step: bool
    ) -> None:
        self._all(lambda w: w.point_weighted.remote(slot, updates, coeffs, divisor, step))

    def pair_tables(self, updates: Sequence[int]) -> List[Any]:
        return self._all(lambda w: w.pair_table.remote(updates))

    def pair_chained_sums(self, updates: Sequence[int], pairs: Sequence[Any]) -> Any:
        return self._chain(lambda w, running: w.pair_sums.remote(updates, pairs, running))

    def point_slice(self, slot: int, to_point: bool) -> None:
        if not to_point:
            self._assembled = None
        self._all(lambda w: w.point_slice.remote(slot, to_point))

    def kernel(
        self, method: int, updates: Sequence[int], weights: Any, trim: float, owed: bool, f: int
    ) -> List[Any]:
        self._assembled = None
        # One call per piece of every range, all sent at once (an actor runs its calls in
        # order); when eager, each piece is copied into the aggregate as soon as it is ready.
        from fenro.distributed import _piece

        size = self._ranges[-1][1] if self._ranges and self._eager else 0
        out = np.empty(size, dtype=np.float32)
        calls = {}
        for s, (lo, hi) in enumerate(self._ranges):
            for at in range(0, hi - lo, _piece):
                end = min(hi - lo, at + _piece)
                ref = self._workers[s].kernel_piece.remote(
                    method, updates, weights, trim, owed, f, at, end
                )
                calls[ref] = (s, lo + at)
        first: List[Any] = [None] * len(self._ranges)
        deadline = None if self._timeout is None else time.monotonic() + self._timeout
        while calls:
            left = None if deadline is None else max(0.0, deadline - time.monotonic())
            ready, _ = self._ray.wait(list(calls), num_returns=1, timeout=left)
            if not ready:  # the first range still busy did not answer in time
                s = min(s for s, _ in calls.values())
                self._get([(s, next(r for r, v in calls.items() if v[0] == s))], 0.0)
            for ref in ready:
                s, at = calls.pop(ref)
                answer = self._get([(s, ref)])[0]
                if answer[0] == "slice":
                    if self._eager:
                        piece = self._get([(s, answer[1])])[0]
                        out[at : at + piece.shape[0]] = piece
                elif first[s] is None or answer[1:3] < first[s][:2]:
                    # The range's first non-finite value: the smallest (update, coordinate).
                    first[s] = answer[1:]
        if self._eager and all(x is None for x in first):
            self._assembled = out
        return first

    def gram(self, updates: Sequence[int], exponents: Any, scales: Any) -> List[Any]:
        return self._all(lambda w: w.gram.remote(updates, exponents, scales))

    def mean_of(self, updates: Sequence[int]) -> None:
        self._assembled = None
        self._all(lambda w: w.mean_of.remote(updates))

    def copy_of(self, update: int) -> None:
        self._assembled = None
        self._all(lambda w: w.copy_of.remote(update))

    # -- after the round --------------------------------------------------------------------

    def assemble(self, rows: int, cols: int) -> Any:
        """The aggregate, from every worker's slice, fetched one piece per worker at a time
        (or as the last kernel pass copied it here)."""
        if self._assembled is not None and self._assembled.shape[0] == rows * cols:
            out, self._assembled = self._assembled, None
            return out.reshape(rows, cols)
        out = np.empty(rows * cols, dtype=np.float32)
        lists = self._get([(s, w.slice_refs.remote()) for s, w in self._active()])
        for step in range(max(len(parts) for parts in lists)):
            batch = [
                (s, self._ranges[s][0] + parts[step][0], parts[step][1])
                for s, parts in enumerate(lists)
                if step < len(parts)
            ]
            for (s, at, _), piece in zip(batch, self._get([(s, ref) for s, _, ref in batch])):
                out[at : at + piece.shape[0]] = piece
        return out.reshape(rows, cols)

    def slices(self) -> List[Any]:
        """The aggregate as ObjectRefs to its consecutive one-dimensional pieces, in coordinate
        order."""
        lists = self._get([(s, w.slice_refs.remote()) for s, w in self._active()])
        return [ref for parts in lists for _, ref in parts]

    def _active(self) -> List[Tuple[int, Any]]:
        return [(s, self._workers[s]) for s in range(len(self._ranges))]

    # -- plumbing ---------------------------------------------------------------------------

    def _chain(self, submit: Any) -> Any:
        # Each worker continues the running sums the previous one left (the reference is
        # handed on without a round trip through here), so every element is added in
        # row-major order, as one sequential pass adds it.
        refs = []
        running: Any = None
        for s in range(len(self._ranges)):
            running = submit(self._workers[s], running)
            refs.append((s, running))
        return self._get(refs)[-1]

    def _all(self, submit: Any) -> List[Any]:
        return self._get([(s, submit(self._workers[s])) for s in range(len(self._ranges))])

    def _get(self, refs: List[Tuple[int, Any]], timeout: Optional[float] = None) -> List[Any]:
        """The answers, each within `timeout` seconds (default: the driver's)."""
        ray = self._ray
        timeout = self._timeout if timeout is None else timeout
        deadline = None if timeout is None else time.monotonic() + timeout
        out = []
        for s, ref in refs:
            where = self._where(s)
            left = None if deadline is None else max(0.0, deadline - time.monotonic())
            try:
                out.append(ray.get(ref, timeout=left))
            except ray.exceptions.GetTimeoutError as e:
                # A worker still busy with this round would hold up the next one: replace it.
                ray.kill(self._workers[s])
                raise WorkerError(
                    f"the worker of {where} did not answer within {self._timeout} s"
                ) from e
            except ray.exceptions.RayActorError as e:
                raise WorkerError(f"the worker of {where} died during the round") from e
            except ray.exceptions.RayError as e:
                raise WorkerError(f"the worker of {where} failed: {e}") from e
        return out

    def _where(self, s: int) -> str:
        if s < len(self._ranges):
            lo, hi = self._ranges[s]
            return f"coordinate range {s} [{lo}, {hi})"
        return f"coordinate range {s}"
