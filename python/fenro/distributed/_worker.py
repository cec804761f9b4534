"""The Ray actor that holds one coordinate range of every update of a round.

Each method is one pass of the round over the range (fenro._distributed's worker functions);
answers are a few numbers per update, except the aggregate's slice, which stays here until the
coordinator asks for it. The actor keeps nothing of a round but its buffers and that slice, both
replaced when the next round's buffers arrive.
"""

import os
from typing import Any, List, Optional, Sequence, Tuple


class ShardWorker:
    def __init__(self, threads: int) -> None:
        # fenro's worker pool reads its size at its first parallel loop, which has not run in
        # this fresh process yet; a size the user set for the cluster wins.
        if threads > 0 and not any(
            os.environ.get(v) for v in ("FENRO_NUM_THREADS", "RAYON_NUM_THREADS")
        ):
            os.environ["FENRO_NUM_THREADS"] = str(threads)
        from fenro import _distributed

        self._d = _distributed
        self._buffers: List[Any] = []
        self._slice: Optional[Any] = None

    def ping(self) -> int:
        return os.getpid()

    def place(self, buffers: List[Any], length: int) -> Optional[Tuple[int, str]]:
        """Keeps the buffers of this round, one per update: float32 arrays of `length` values
        (any shape), or ObjectRefs to them, fetched here. Returns None, or (position, what is
        wrong) for the first buffer that does not fit, keeping nothing."""
        import numpy as np
        import ray

        self._buffers = []
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
        return self._d._sums(self._take(updates), running, self._slice if distances else None)

    def kernel(
        self,
        method: int,
        updates: Sequence[int],
        weights: Any,
        trim: float,
        owed: bool,
        f: int = 0,
    ) -> Any:
        self._slice = None  # the last round's slice goes before this one's is made
        out = self._d._kernel(method, self._take(updates), weights, trim, owed, f)
        if isinstance(out, tuple):
            return out
        self._slice = out
        return None

    def gram(self, updates: Sequence[int], exponents: Any, scales: Any) -> bytes:
        return self._d._gram(self._take(updates), exponents, scales)

    def mean_of(self, updates: Sequence[int]) -> None:
        self._slice = None
        self._slice = self._d._mean(self._take(updates))

    def copy_of(self, update: int) -> None:
        self._slice = self._buffers[update]

    def set_slice(self, values: Any) -> None:
        self._slice = values.reshape(1, -1)

    def slice(self) -> Any:
        """The aggregate's slice, as a one-dimensional array."""
        assert self._slice is not None
        return self._slice.reshape(-1)

    def slice_part(self, lo: int, hi: int) -> Any:
        """Elements [lo, hi) of the aggregate's slice: sent in bounded pieces, so that the
        copy on its way out never holds more than one piece."""
        assert self._slice is not None
        return self._slice.reshape(-1)[lo:hi]

    def reset_peak(self) -> None:
        """Starts a new peak of resident memory (benchmarks)."""
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")

    def peak_memory(self) -> int:
        """The process's peak resident memory in bytes (VmHWM)."""
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
        return 0

    def pause(self, seconds: float) -> None:
        """Holds the worker busy (tests: a worker that does not answer in time)."""
        import time

        time.sleep(seconds)

    def exit(self) -> None:
        """Ends the worker process at once (tests: a worker lost in the middle of a round)."""
        os._exit(1)
