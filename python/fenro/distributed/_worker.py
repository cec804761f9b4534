"""The Ray actor that holds one coordinate range of every update of a round.

Each method is one pass of the round over the range (fenro._distributed's worker functions);
answers are a few numbers per update, except the aggregate's slice, which stays here until the
coordinator asks for it. The actor keeps nothing of a round but its buffers and that slice, both
replaced when the next round's buffers arrive.
"""

import os
from typing import Any, Dict, List, Optional, Sequence, Tuple


class ShardWorker:
    def __init__(self, threads: int, piece: int) -> None:
        # fenro's worker pool reads its size at its first parallel loop, which has not run in
        # this fresh process yet; a size the user set for the cluster wins.
        if threads > 0 and not any(
            os.environ.get(v) for v in ("FENRO_NUM_THREADS", "RAYON_NUM_THREADS")
        ):
            os.environ["FENRO_NUM_THREADS"] = str(threads)
        from fenro import _distributed

        import ray

        # Coordinates of the aggregate's slice made and sent in one piece.
        self._piece = piece
        self._d = _distributed
        self._ray = ray
        self._buffers: List[Any] = []
        # The range's parts of the iterative rules' float64 points, by slot: bytearrays of one
        # native double per coordinate, which fenro._distributed writes in place.
        self._points: Dict[int, bytearray] = {}
        # The aggregate's slice: (offset, piece) in coordinate order, each piece an array or
        # an ObjectRef to one in the object store.
        self._slice: Optional[List[Tuple[int, Any]]] = None

    def ping(self) -> int:
        return os.getpid()

    def place(self, buffers: List[Any], length: int) -> Optional[Tuple[int, str]]:
        """Keeps the buffers of this round, one per update: float32 arrays of `length` values
        (any shape), or ObjectRefs to them, fetched here. Returns None, or (position, what is
        wrong) for the first buffer that does not fit, keeping nothing."""
        import numpy as np
        import ray

        self._buffers = []
        self._points = {}
        self._slice = None
        refs = [(k, b) for k, b in enumerate(buffers) if isinstance(b, ray.ObjectRef)]
        if refs:
            buffers = list(buffers)
            for (k, _), value in zip(refs, ray.get([b for _, b in refs])):
                buffers[k] = value
        kept = []
        for k, b in enumerate(buffers):
            if not isinstance(b, np.ndarray):
                return k, f"a {type(b).__name__}, not a NumPy array"
            if b.dtype != np.float32:
                return k, f"dtype {b.dtype}, expected float32"
            if b.size != length:
                return k, f"{b.size} values, expected {length}"
            kept.append(b.reshape(1, length))
        self._buffers = kept
        return None

    def generate(self, count: int, lo: int, hi: int, seed: int) -> int:
        """Buffers made here (benchmarks): update k's range from a generator seeded by (seed, k, lo),
        the same values fenro.distributed._generated_update gives for the whole update."""
        from fenro.distributed import _generated_range

        self._buffers = []
        self._slice = None
        for k in range(count):
            self._buffers.append(_generated_range(seed, k, lo, hi).reshape(1, hi - lo))
        return sum(int(b.nbytes) for b in self._buffers)

    def _take(self, updates: Sequence[int]) -> List[Any]:
        return [self._buffers[k] for k in updates]

    def scans(self, updates: Sequence[int]) -> Any:
        return self._d._scans(self._take(updates))

    def sums(self, updates: Sequence[int], distances: bool, running: Any = None) -> Any:
        bufs = self._take(updates)
        if not distances:
            return self._d._sums(bufs, running, None)
        # Continued piece after piece of the aggregate's slice: still every element in
        # coordinate order.
        for at, piece in self._slice_arrays():
            end = at + piece.shape[-1]
            running = self._d._sums([b[:, at:end] for b in bufs], running, piece.reshape(1, -1))
        return running

    def kernel_piece(
        self,
        method: int,
        updates: Sequence[int],
        weights: Any,
        trim: float,
        owed: bool,
        f: int,
        at: int,
        end: int,
    ) -> Tuple[Any, ...]:
        """The coordinate-wise rule on the coordinates [at, end) of the range (a coordinate's
        result depends on that coordinate only); the pieces of one pass are called in order
        from at = 0, and the last pass's slice goes as its first piece is made, so the slice
        never exists twice. Returns ("slice", ObjectRef to the piece), kept in the object store
        as that piece of the aggregate's slice, or ("non-finite", position, coordinate, value)
        of the piece's first non-finite value in the round's order when values are owed."""
        if at == 0:
            self._slice = []
        out = self._d._kernel(
            method, [b[:, at:end] for b in self._take(updates)], weights, trim, owed, f
        )
        if isinstance(out, tuple):
            self._slice = None
            return ("non-finite", out[0], at + out[1], out[2])
        ref = self._ray.put(out.reshape(-1))
        if self._slice is not None:
            self._slice.append((at, ref))
        return ("slice", ref)

    def gram(self, updates: Sequence[int], exponents: Any, scales: Any) -> bytes:
        return self._d._gram(self._take(updates), exponents, scales)

    def mean_of(self, updates: Sequence[int]) -> None:
        self._slice = None
        bufs = self._take(updates)
        parts = []
        for at in range(0, self._length(), self._piece):
            end = min(self._length(), at + self._piece)
            piece = self._d._mean([b[:, at:end] for b in bufs])
            parts.append((at, self._ray.put(piece.reshape(-1))))
        self._slice = parts

    def scaled(self, factors: Sequence[float]) -> List[Tuple[int, Any]]:
        """Every update's range times its factor rounded to float32 (a factor of 1 copies), as
        fenro.robust.clip and arc scale: (offset, ObjectRef to a (n, length) piece) in
        coordinate order, one piece of at most self._piece coordinates made at a time."""
        import numpy as np

        parts = []
        for at in range(0, self._length(), self._piece):
            end = min(self._length(), at + self._piece)
            piece = np.empty((len(self._buffers), end - at), dtype=np.float32)
            for k, b in enumerate(self._buffers):
                if factors[k] == 1.0:
                    piece[k] = b[0, at:end]
                else:
                    np.multiply(b[0, at:end], np.float32(factors[k]), out=piece[k])
            parts.append((at, self._ray.put(piece)))
        return parts

    def copies(self, updates: Sequence[int]) -> List[Tuple[int, Any]]:
        """The listed updates' ranges, in pieces as scaled()."""
        import numpy as np

        parts = []
        for at in range(0, self._length(), self._piece):
            end = min(self._length(), at + self._piece)
            piece = np.empty((len(updates), end - at), dtype=np.float32)
            for t, k in enumerate(updates):
                piece[t] = self._buffers[k][0, at:end]
            parts.append((at, self._ray.put(piece)))
        return parts

    def buckets(self, s: int, seed: int) -> Optional[List[Tuple[int, Any]]]:
        """fenro.robust.bucketing of the range (its means are coordinate-wise, its permutation
        depends on n and the seed only), in pieces as scaled(); None when the range holds a
        NaN or an infinity (the coordinator then has the function raise its error)."""
        from fenro import _robust

        parts = []
        for at in range(0, self._length(), self._piece):
            end = min(self._length(), at + self._piece)
            try:
                out = _robust.bucketing([b[:, at:end] for b in self._buffers], s=s, seed=seed)
            except ValueError:
                return None
            parts.append((at, self._ray.put(out.reshape(out.shape[0], -1))))
        return parts

    def pair_table(self, updates: Sequence[int]) -> bytes:
        return self._d._pair_table(self._take(updates))

    def pair_sums(self, updates: Sequence[int], pairs: Sequence[Tuple[int, int]],
                  running: Any = None) -> Any:
        return self._d._pair_sums(self._take(updates), list(pairs), running)

    def mixed(self, offsets: Sequence[int], members: Sequence[int]) -> Optional[List[Tuple[int, Any]]]:
        """Nearest-neighbour mixing's means of the range (coordinate-wise), in pieces as
        scaled(); None when the range holds a NaN or an infinity."""
        parts = []
        for at in range(0, self._length(), self._piece):
            end = min(self._length(), at + self._piece)
            out = self._d._mix([b[:, at:end] for b in self._buffers], offsets, members)
            if out is None:
                return None
            parts.append((at, self._ray.put(out.reshape(out.shape[0], -1))))
        return parts

    def _point(self, slot: int) -> bytearray:
        if slot not in self._points:
            self._points[slot] = bytearray(8 * self._length())
        return self._points[slot]

    def point_weighted(
        self, slot: int, updates: Sequence[int], coeffs: Sequence[float], divisor: float, step: bool
    ) -> None:
        self._d._point_weighted(self._take(updates), list(coeffs), divisor, step, self._point(slot))

    def point_sums(self, slot: int, updates: Sequence[int], running: Any = None) -> Any:
        return self._d._point_sums(self._take(updates), running, self._point(slot))

    def point_slice(self, slot: int, to_point: bool) -> None:
        """Point `slot` from the aggregate's slice (`to_point`), or the aggregate's slice from
        the point, each value rounded to float32 (NumPy's conversion rounds to nearest, as a
        C++ cast does), made and kept one piece at a time."""
        import numpy as np

        point = np.frombuffer(self._point(slot), dtype=np.float64)
        if to_point:
            for at, piece in self._slice_arrays():
                flat = piece.reshape(-1)
                point[at : at + flat.shape[0]] = flat
            return
        self._slice = None
        parts = []
        for at in range(0, self._length(), self._piece):
            end = min(self._length(), at + self._piece)
            parts.append((at, self._ray.put(point[at:end].astype(np.float32))))
        self._slice = parts

    def copy_of(self, update: int) -> None:
        self._slice = [(0, self._buffers[update])]

    def set_slice(self, values: Any) -> None:
        self._slice = [(0, values.reshape(1, -1))]

    def slice_refs(self) -> List[Tuple[int, Any]]:
        """The aggregate's slice as (offset, ObjectRef to a one-dimensional piece) in
        coordinate order, pieces of at most self._piece values."""
        assert self._slice is not None
        out = []
        for at, part in self._slice:
            if isinstance(part, self._ray.ObjectRef):
                out.append((at, part))
                continue
            flat = part.reshape(-1)
            for a in range(0, flat.shape[0], self._piece):
                out.append((at + a, self._ray.put(flat[a : a + self._piece])))
        return out

    def _slice_arrays(self) -> List[Tuple[int, Any]]:
        assert self._slice is not None
        return [
            (at, self._ray.get(p) if isinstance(p, self._ray.ObjectRef) else p)
            for at, p in self._slice
        ]

    def _length(self) -> int:
        return int(self._buffers[0].shape[1]) if self._buffers else 0

    def reset_peak(self) -> None:
        """Starts a new peak of resident memory (benchmarks): VmHWM, and a sampler of the
        private part (RssAnon + RssFile, every 5 ms; the object-store pages this worker wrote
        its slices into are shared memory of the store, counted in VmHWM but not here)."""
        import threading
        import time

        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        self._private_peak = 0
        if getattr(self, "_sampler", None) is None:

            def sample() -> None:
                while True:
                    m = self.memory()
                    now = m.get("RssAnon", 0) + m.get("RssFile", 0)
                    self._private_peak = max(self._private_peak, now)
                    time.sleep(0.005)

            self._sampler = threading.Thread(target=sample, daemon=True)
            self._sampler.start()

    def peak_memory(self) -> Dict[str, int]:
        """Peak resident memory since reset_peak, in bytes: "total" (VmHWM, with the shared
        object-store pages touched) and "private" (sampled), and "shared" now (RssShmem)."""
        m = self.memory()
        return {
            "total": m.get("VmHWM", 0),
            "private": max(getattr(self, "_private_peak", 0),
                           m.get("RssAnon", 0) + m.get("RssFile", 0)),
            "shared": m.get("RssShmem", 0),
        }

    def memory(self) -> Dict[str, int]:
        """The process's memory figures of /proc/self/status, in bytes (benchmarks)."""
        out = {}
        with open("/proc/self/status") as f:
            for line in f:
                key, _, rest = line.partition(":")
                if key.startswith(("Vm", "Rss")) and rest.strip().endswith("kB"):
                    out[key] = int(rest.split()[0]) * 1024
        return out

    def pause(self, seconds: float) -> None:
        """Holds the worker busy (tests: a worker that does not answer in time)."""
        import time

        time.sleep(seconds)

    def exit(self) -> None:
        """Ends the worker process at once (tests: a worker lost in the middle of a round)."""
        os._exit(1)
