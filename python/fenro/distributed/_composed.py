"""fenro.robust.ComposedAggregator rounds on Ray workers: an UpdateSource whose passes over
the values run on coordinate ranges.

The composed round (fenro/robust/_composed.py) reads the updates only through its source:
``inspect`` (metadata, here on the coordinator), ``screen`` (every update's float64 norm and
the first non-finite value of those that hold one), ``values`` or ``coordinate_rule`` (the
rule), and ``distances`` (to the aggregate). Here the norms and distances are the chained
running sums of the workers (each element added in row-major order, the bits of one sequential
pass; the round records every norm in its audit, so each needs its exact bits), and a rule with
no pre-aggregator before it runs on the ranges: the coordinate-wise ones (``coordinate_rule``),
and Krum, Multi-Krum, Bulyan, the geometric median and centered clipping (``whole_rule``, as
fenro.distributed's functions run them). Pre-aggregators, and the weighted median and trimmed
mean, run on the coordinator, on the updates the caller passed; only the screen and the
distances run on the workers then.
"""

import math
from typing import Any, Dict, List, Optional, Sequence, Tuple

import numpy as np


class ShardedSource:
    def __init__(self, updates: Any, shards: int, timeout: Optional[float]) -> None:
        from fenro.robust._composed import LocalUpdates

        self._local = LocalUpdates(updates)
        self._shards = shards
        self._timeout = timeout
        self._driver: Any = None
        self._pos: Dict[int, int] = {}
        self._shape = (0, 0)
        self._cuts: List[int] = []
        self._point: Any = None

    def __len__(self) -> int:
        return len(self._local)

    def inspect(self, indices: Sequence[int]) -> Any:
        return self._local.inspect(indices)

    def screen(
        self, indices: Sequence[int]
    ) -> Tuple[List[float], Dict[int, Tuple[int, int, float]]]:
        from fenro.distributed import _even_cuts, _pool
        from fenro.distributed._driver import Driver

        values = self._local.values(indices)
        rows, cols = (int(x) for x in values[0].shape)
        if rows * cols == 0:  # nothing to share out: the round runs here
            local_norms, local_bad = self._local.screen(indices)
            return list(local_norms), local_bad
        self._shape = (rows, cols)
        self._cuts = _even_cuts(rows * cols, self._shards)
        self._driver = Driver(_pool(len(self._cuts) - 1, self._timeout), self._timeout)
        self._driver.use_layout([(rows, cols)] * len(indices), self._cuts)
        for s in range(len(self._cuts) - 1):
            lo, hi = self._cuts[s], self._cuts[s + 1]
            self._driver.place(
                s, lo, hi, [np.ascontiguousarray(u).reshape(-1)[lo:hi] for u in values]
            )
        self._pos = {i: p for p, i in enumerate(indices)}
        return self._screen_placed(indices)

    def _screen_placed(
        self, indices: Sequence[int]
    ) -> Tuple[List[float], Dict[int, Tuple[int, int, float]]]:
        """screen() of updates the workers hold (self._pos)."""
        rows, cols = self._shape
        positions = [self._pos[i] for i in indices]
        sums = self._driver.chained_sums(positions, False)
        norms = [math.sqrt(x) if not x < 0 else float("nan") for x in sums]
        bad: Dict[int, Tuple[int, int, float]] = {}
        non_finite = [t for t, x in enumerate(sums) if not math.isfinite(x)]
        if non_finite:
            scans = self._driver.scans([positions[t] for t in non_finite])
            for u, t in enumerate(non_finite):
                for s in range(len(self._cuts) - 1):
                    at, value, _ = scans[s][u]
                    if at >= 0:
                        c = self._cuts[s] + at
                        bad[indices[t]] = (c // cols, c % cols, value)
                        break
        return norms, bad

    def values(self, indices: Sequence[int]) -> Any:
        return self._local.values(indices)

    def coordinate_rule(self, fn: str, indices: Sequence[int], *args: Any, **kwargs: Any) -> Any:
        if self._driver is None:  # no coordinates
            from fenro import _robust

            return getattr(_robust, fn)(self.values(indices), *args, **kwargs)
        from fenro import _distributed

        weights = args[0] if fn == "fedavg" and args else None
        rows, cols = self._shape
        shape = _distributed._rule_placed(
            fn, self._driver, [self._pos[i] for i in indices], rows, cols, self._cuts,
            weights, kwargs.get("trim"), kwargs.get("f"),
        )
        self._point = self._driver.assemble(*shape)
        return self._point

    def whole_rule(self, fn: str, indices: Sequence[int], *args: Any) -> Any:
        """``fenro.robust._api._<fn>(values, *args, True)`` for krum, multi_krum, bulyan,
        geometric_median or centered_clipping on the listed updates, run on the ranges: the
        same tuple, bit for bit. Parameters the function refuses, or a value it cannot take,
        make it run here on the updates, to answer or raise as it does."""
        from fenro.distributed._functions import _PARAMETERS, on_placed, parameters_pass
        from fenro.robust import _api

        def here() -> Any:
            return getattr(_api, "_" + fn)(self.values(indices), *args, True)

        if self._driver is None:
            return here()
        # The arguments after the updates are the function's parameters, in their order.
        params = dict(zip(_PARAMETERS[fn], args))
        if params.get("center") is not None or not parameters_pass(fn, len(indices), params):
            return here()
        out = on_placed(
            self._driver, fn, len(self._pos), params, [self._pos[i] for i in indices]
        )
        if out is None:
            return here()
        self._point = out[0]
        return out

    def distances(self, indices: Sequence[int], point: Any) -> List[float]:
        if self._driver is None:
            return list(self._local.distances(indices, point))
        if point is not self._point:  # the rule ran here: the workers need their slices
            flat = np.ascontiguousarray(point, dtype=np.float32).reshape(-1)
            self._driver.set_slices([flat[lo:hi] for lo, hi in self._driver._ranges])
        sums = self._driver.chained_sums([self._pos[i] for i in indices], True)
        return [math.sqrt(x) if not x < 0 else float("nan") for x in sums]


class PlacedSource(ShardedSource):
    """The updates of a fenro.distributed.ShardedUpdates round, whose shards the workers hold
    already (update k at position k; every shard checked before the round). Without
    coordinates, `driver` is None and the round runs here on empty updates."""

    def __init__(self, driver: Any, count: int, rows: int, cols: int, cuts: List[int]) -> None:
        super().__init__(np.zeros((count, rows, cols), np.float32) if driver is None else [], 1,
                         None)
        self._count = count
        self._driver = driver
        self._shape = (rows, cols)
        self._cuts = cuts
        self._pos = {k: k for k in range(count)}

    def __len__(self) -> int:
        return self._count

    def inspect(self, indices: Sequence[int]) -> Any:
        return [self._shape for _ in indices]

    def screen(
        self, indices: Sequence[int]
    ) -> Tuple[List[float], Dict[int, Tuple[int, int, float]]]:
        if self._driver is None:
            local_norms, local_bad = self._local.screen(indices)
            return list(local_norms), local_bad
        return self._screen_placed(indices)

    def values(self, indices: Sequence[int]) -> Any:
        """The listed updates gathered here from the workers (for defenses whose rule needs
        every coordinate of every update at once)."""
        if self._driver is None:
            return self._local.values(indices)
        from fenro.distributed._functions import _gather

        rows, cols = self._shape
        positions = [self._pos[i] for i in indices]
        return _gather(self._driver, len(positions), rows, cols,
                       lambda w: w.copies.remote(positions))

