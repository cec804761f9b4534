"""Benchmark of ByzantineAggregator.aggregate against NumPy/SciPy one-liners.

    python -m fenro.bench [--n 50] [--rows 1000] [--cols 1000] [--reps 3]

Prints, for every method, the time of one round as a ratio against the copy floor (one
np.copyto of all the input) and against the NumPy baseline that computes the same thing, and
the extra peak memory of one call. All figures come from the same run.
"""

import argparse
import os
import sys
import time

_SLOW_BLAS_VARS = ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")


def _reexec_without_blas_overrides() -> None:
    # These variables slow a current NumPy's OpenBLAS on some machines; the baselines must run
    # as a user's NumPy would. They are read when NumPy loads, so the process starts afresh.
    if any(v in os.environ for v in _SLOW_BLAS_VARS):
        env = {k: v for k, v in os.environ.items() if k not in _SLOW_BLAS_VARS}
        os.execve(sys.executable, [sys.executable, "-m", "fenro.bench", *sys.argv[1:]], env)


def _blas_name(np) -> str:
    try:
        deps = np.show_config(mode="dicts")["Build Dependencies"]["blas"]
        return f"{deps.get('name')} {deps.get('version', '')}".strip()
    except Exception:  # NumPy 1.x: no dict mode
        for key in ("openblas64__info", "openblas_info", "blas_opt_info", "blas_ilp64_opt_info"):
            info = getattr(np.__config__, key, None) or {}
            if info:
                return f"{key}: {info.get('libraries')}"
        return "unknown"


def _best_of(reps, fn):
    best = float("inf")
    for _ in range(reps):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def _rss_kib(field: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def _extra_peak_mib(fn) -> float:
    """Peak resident memory of one call above the resident memory before it (Linux)."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # resets the high-water mark
    except OSError:
        return float("nan")
    before = _rss_kib("VmRSS")
    out = fn()
    peak = _rss_kib("VmHWM")
    del out
    return (peak - before) / 1024.0


def _peak_in_fresh_process(method, a) -> float:
    """Extra peak memory of the first full-size call in a new process, so that no memory freed
    by earlier calls hides the call's allocations."""
    import subprocess

    r = subprocess.run(
        [sys.executable, "-m", "fenro.bench", "--peak-of", method, "--n", str(a.n),
         "--rows", str(a.rows), "--cols", str(a.cols)],
        capture_output=True, text=True, check=False,
    )
    try:
        return float(r.stdout.strip().splitlines()[-1])
    except (ValueError, IndexError):
        return float("nan")


def _print_peak_of(method, a) -> None:
    from fenro import ByzantineAggregator

    rng = np.random.default_rng(0)
    updates = [rng.standard_normal((a.rows, a.cols), dtype=np.float32) for _ in range(a.n)]
    agg = ByzantineAggregator(method, 0.1)
    agg.aggregate([np.ones((1, 1), np.float32)] * 7)  # binds NumPy, starts the pool
    print(_extra_peak_mib(lambda: agg.aggregate(updates)))


class _Opaque:
    """A sequence whose item access is Python code: the binding then copies every update on
    entry, which isolates the cost of that copy."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


def _gram_krum(X, f):
    # Squared distances from the float32 Gram matrix: fast, but not exact.
    sq = np.einsum("ij,ij->i", X, X)
    d = sq[:, None] + sq[None, :] - 2.0 * (X @ X.T)
    n = X.shape[0]
    scores = np.sort(d, axis=1)[:, 1 : n - f - 1].sum(1)
    return X[int(np.argmin(scores))]


def _pairwise_exact_seconds(X, subset):
    # Exact (float64) pairwise squared distances, one pair at a time, on a subset; scaled to
    # all n(n-1)/2 pairs.
    k = min(subset, X.shape[0])
    t0 = time.perf_counter()
    for i in range(k):
        xi = X[i].astype(np.float64)
        for j in range(i + 1, k):
            d = xi - X[j]
            float(np.dot(d, d))
    pairs_done = k * (k - 1) / 2
    n = X.shape[0]
    return (time.perf_counter() - t0) * (n * (n - 1) / 2) / pairs_done


def main(argv=None) -> None:
    global np
    _reexec_without_blas_overrides()
    import numpy as np

    from fenro import ByzantineAggregator, __version__

    p = argparse.ArgumentParser(prog="python -m fenro.bench")
    p.add_argument("--n", type=int, default=50)
    p.add_argument("--rows", type=int, default=1000)
    p.add_argument("--cols", type=int, default=1000)
    p.add_argument("--reps", type=int, default=3)
    p.add_argument("--pairs-subset", type=int, default=8)
    p.add_argument("--peak-of", help=argparse.SUPPRESS)
    a = p.parse_args(argv)
    if a.peak_of:
        _print_peak_of(a.peak_of, a)
        return

    try:
        from scipy import stats
    except ImportError:
        stats = None

    rng = np.random.default_rng(0)
    updates = [rng.standard_normal((a.rows, a.cols), dtype=np.float32) for _ in range(a.n)]
    stacked_mib = a.n * a.rows * a.cols * 4 / 2**20
    out_mib = a.rows * a.cols * 4 / 2**20
    dst = np.empty((a.n, a.rows, a.cols), np.float32)
    dst.fill(0)

    def copy_floor():
        for i, u in enumerate(updates):
            np.copyto(dst[i], u)

    print(f"fenro {__version__}, NumPy {np.__version__}, BLAS: {_blas_name(np)}")
    print(f"{a.n} updates of {a.rows} x {a.cols} float32 ({stacked_mib:.0f} MiB in), "
          f"output {out_mib:.1f} MiB; best of {a.reps}")
    floor = _best_of(a.reps, copy_floor)
    print(f"copy floor (np.copyto of all input): {floor * 1e3:.1f} ms\n")

    X = np.stack(updates).reshape(a.n, -1)
    baselines = {
        "fedavg": ("np.mean(np.stack(u), axis=0)",
                   lambda: np.mean(np.stack(updates), axis=0)),
        "median": ("np.median(np.stack(u), axis=0)",
                   lambda: np.median(np.stack(updates), axis=0)),
        "trimmed_mean": ("scipy.stats.trim_mean(.., 0.1)",
                         (lambda: stats.trim_mean(np.stack(updates), 0.1, axis=0))
                         if stats else None),
        "krum": ("float32 Gram Krum", lambda: _gram_krum(X, 1)),
        "multi_krum": ("float32 Gram Krum", lambda: _gram_krum(X, 1)),
    }

    header = (f"{'method':<14}{'ms':>9}{'x floor':>9}  {'baseline':<32}{'ms':>9}"
              f"{'speed-up':>10}{'copy path':>11}{'peak MiB':>10}")
    print(header)
    print("-" * len(header))
    for method, (base_name, base_fn) in baselines.items():
        agg = ByzantineAggregator(method, 0.1)
        t = _best_of(a.reps, lambda: agg.aggregate(updates))
        t_copy = _best_of(a.reps, lambda: agg.aggregate(_Opaque(updates)))
        peak = _peak_in_fresh_process(method, a)
        if base_fn is not None:
            tb = _best_of(1 if method in ("median", "trimmed_mean") else a.reps, base_fn)
            base = f"{base_name:<32}{tb * 1e3:>9.1f}{tb / t:>9.1f}x"
        else:
            base = f"{'(scipy missing)':<32}{'':>9}{'':>10}"
        print(f"{method:<14}{t * 1e3:>9.1f}{t / floor:>9.2f}  {base}{t_copy / t:>10.2f}x"
              f"{peak:>10.1f}")

    exact = _pairwise_exact_seconds(X, a.pairs_subset)
    t_krum = _best_of(a.reps, lambda: ByzantineAggregator("krum", 0.1).aggregate(updates))
    print(f"\nexact NumPy pairwise loop (float64, scaled from {a.pairs_subset} updates): "
          f"{exact * 1e3:.0f} ms; krum is {exact / t_krum:.1f}x faster")
    # The binding's own cost per call (argument conversion, result array) is what a round of
    # 1 x 1 updates costs; compared with the full rounds above it bounds the binding overhead.
    tiny = [np.ones((1, 1), np.float32) for _ in range(a.n)]
    fed = ByzantineAggregator("fedavg", 0.1)
    t_tiny = _best_of(2000, lambda: fed.aggregate(tiny))
    t_fed = _best_of(a.reps, lambda: fed.aggregate(updates))
    print(f"binding cost per call ({a.n} updates of 1 x 1): {t_tiny * 1e6:.1f} us, "
          f"{100 * t_tiny / t_fed:.3f}% of a fedavg round")
    print("copy path: aggregate() when every update must be copied on entry, relative to "
          "reading the arrays in place")
    print("peak MiB: resident memory above the level before the call (first call in a fresh "
          "process); "
          f"output alone is {out_mib:.1f} MiB, 16-bit encodings of all input "
          f"{stacked_mib / 2:.0f} MiB")


if __name__ == "__main__":
    main()
