"""The cost of one call through fenro.robust's binding, measured on inputs so small that the
rule itself costs next to nothing.

    python benchmarks/bench_binding.py [--reps 7] [--calls 20000]

For each function, the time of one call on n = 7 updates of 2 x 2 elements, given as a list of
2-D arrays and as one 3-D array, against baselines of the same run: an empty call of a builtin
(len), and ByzantineAggregator.aggregate on the same list (fenro._core's binding, the same rule
work for the classic rules). The best of --reps batches of --calls calls each.
"""

import argparse
import time

import numpy as np

from fenro import ByzantineAggregator, robust


def per_call(fn, calls, reps):
    best = float("inf")
    for _ in range(reps):
        start = time.perf_counter()
        for _ in range(calls):
            fn()
        best = min(best, time.perf_counter() - start)
    return best / calls * 1e6


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--reps", type=int, default=7)
    parser.add_argument("--calls", type=int, default=20000)
    args = parser.parse_args()
    stack = np.random.default_rng(0).standard_normal((7, 2, 2)).astype(np.float32)
    updates = list(stack)
    calls = {
        "fedavg": lambda u: robust.fedavg(u),
        "trimmed_mean": lambda u: robust.trimmed_mean(u, trim=0.2),
        "median": lambda u: robust.median(u),
        "krum": lambda u: robust.krum(u, f=1),
        "multi_krum": lambda u: robust.multi_krum(u, f=1, m=2),
        "geometric_median": lambda u: robust.geometric_median(u, max_iter=0),
        "centered_clipping": lambda u: robust.centered_clipping(u, tau=1.0),
        "bulyan": lambda u: robust.bulyan(u, f=1),
        "meamed": lambda u: robust.meamed(u, f=1),
        "nnm": lambda u: robust.nnm(u, f=1),
        "bucketing": lambda u: robust.bucketing(u, s=2, seed=1),
        "clip": lambda u: robust.clip(u, c=1.0),
        "arc": lambda u: robust.arc(u, f=1),
        "krum_info": lambda u: robust.krum_info(u, f=1),
        "arc_info": lambda u: robust.arc_info(u, f=1),
    }
    empty = per_call(lambda: len(updates), args.calls, args.reps)
    core = {}
    for method in ("fedavg", "median"):
        agg = ByzantineAggregator(method, 0.2)  # no client ids: rounds change no state
        core[method] = per_call(lambda: agg.aggregate(updates), args.calls, args.reps)
    print(f"baselines: empty builtin call {empty:.2f} us; _core aggregate: "
          + ", ".join(f"{m} {t:.2f} us" for m, t in core.items()))
    print(f"{'function':<20}{'list (us)':>10}{'3-D (us)':>10}{'list / _core fedavg':>22}")
    for name, call in calls.items():
        on_list = per_call(lambda: call(updates), args.calls, args.reps)
        on_stack = per_call(lambda: call(stack), args.calls, args.reps)
        print(f"{name:<20}{on_list:>10.2f}{on_stack:>10.2f}{on_list / core['fedavg']:>22.2f}")


if __name__ == "__main__":
    main()
