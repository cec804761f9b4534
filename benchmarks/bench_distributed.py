"""A round bigger than one worker: fenro.distributed on local Ray workers against the
single-process round on the same data.

    python benchmarks/bench_distributed.py [--clients 20] [--params 100000000] [--workers 2]
                                           [--reps 3] [--warmup 2] [--methods fedavg,trimmed_mean,median,krum]

Two phases, each in a process of its own so that their memory is never resident at once:

1. single: the process generates the n updates (rows x cols with rows * cols = --params), runs
   ByzantineAggregator.aggregate for each method (best of --reps) and keeps a hash of each
   result.
2. distributed: each of --workers Ray workers generates its coordinate range of the same
   updates (the coordinator never holds them), then fenro.distributed runs the same rounds
   (after --warmup untimed rounds; best of --reps, the aggregate assembled on the
   coordinator), checks each result's hash
   against phase 1's, and reads every worker's peak resident memory per method: private
   (sampled RssAnon + RssFile: its shard, scratch, Python, Ray and fenro) and total (VmHWM,
   which also counts the pages of the shared object store the worker wrote its slices of the
   aggregate into; those stay mapped, and counted, after the store has freed them).

Reported per method: both times and their ratio (goal: at most 1.5x at 2 workers), and each
worker's peak against its shard (goal: shard + 10% + 200 MB). The single process uses as many
threads as the machine has CPUs, each worker its share. The machine may be shared: the ratio is
what this run measured, with its load average printed.
"""

import argparse
import hashlib
import json
import os
import subprocess
import sys
import time

import numpy as np


def shape_of(params):
    rows = int(params**0.5)
    while params % rows:
        rows -= 1
    return rows, params // rows


def make(method):
    import fenro

    return fenro.ByzantineAggregator(method, 0.2 if method == "trimmed_mean" else 0.0)


def digest(a):
    return hashlib.blake2b(memoryview(np.ascontiguousarray(a)).cast("B"), digest_size=16).hexdigest()


def single(args):
    from fenro.distributed import _generated_update

    rows, cols = shape_of(args.params)
    t = time.perf_counter()
    updates = [_generated_update(args.seed, k, rows, cols) for k in range(args.clients)]
    made = time.perf_counter() - t
    out = {"generate_s": made}
    for method in args.methods:
        best = float("inf")
        for _ in range(args.reps):
            agg = make(method)
            t = time.perf_counter()
            r = agg.aggregate(updates)
            best = min(best, time.perf_counter() - t)
        out[method] = {"seconds": best, "hash": digest(r)}
        del r
    print(json.dumps(out))


def distributed(args):
    import ray

    import fenro.distributed as fd

    rows, cols = shape_of(args.params)
    ray.init(num_cpus=os.cpu_count(), include_dashboard=False, log_to_driver=False)
    t = time.perf_counter()
    cuts = fd._generate(args.clients, rows, cols, args.seed, shards=args.workers)
    out = {"generate_s": time.perf_counter() - t, "cuts": cuts}
    # Rounds untimed first: the first slices the workers put into Ray's object store pay for
    # the store's first pages, round after round until the store reuses its memory (seen here:
    # a first FedAvg round of a fresh cluster 3x slower than later ones, the second 1.5x).
    t = time.perf_counter()
    for _ in range(args.warmup):
        fd._aggregate_generated(make(args.methods[0]), args.clients, rows, cols, cuts)
    out["warmup_s"] = time.perf_counter() - t
    # The generation's own peak is not the round's: each method's peak starts afresh.
    out["generated_peaks"] = fd._worker_peaks(reset=True)[: len(cuts) - 1]
    for method in args.methods:
        best = float("inf")
        for _ in range(args.reps):
            agg = make(method)
            t = time.perf_counter()
            r = fd._aggregate_generated(agg, args.clients, rows, cols, cuts)
            best = min(best, time.perf_counter() - t)
        out[method] = {"seconds": best, "hash": digest(r),
                       "peaks": fd._worker_peaks(reset=True)[: len(cuts) - 1]}
        del r
    print(json.dumps(out))
    ray.shutdown()


def phase(name, args):
    cmd = [sys.executable, __file__, "--phase", name, "--clients", str(args.clients),
           "--params", str(args.params), "--workers", str(args.workers), "--reps",
           str(args.reps), "--warmup", str(args.warmup), "--methods", ",".join(args.methods), "--seed", str(args.seed)]
    r = subprocess.run(cmd, capture_output=True, text=True)
    if r.returncode != 0:
        sys.exit(f"phase {name} failed:\n{r.stdout}\n{r.stderr}")
    return json.loads(r.stdout.strip().splitlines()[-1])


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--clients", type=int, default=20)
    p.add_argument("--params", type=int, default=100_000_000)
    p.add_argument("--workers", type=int, default=2)
    p.add_argument("--reps", type=int, default=3)
    p.add_argument("--warmup", type=int, default=2,
                   help="untimed distributed rounds of the first method before timing")
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--methods", default="fedavg,trimmed_mean,median,krum")
    p.add_argument("--phase", choices=["single", "distributed"])
    args = p.parse_args()
    args.methods = args.methods.split(",")
    if args.phase == "single":
        return single(args)
    if args.phase == "distributed":
        return distributed(args)

    gb = args.clients * args.params * 4 / 1e9
    print(f"{args.clients} clients x {args.params} parameters ({gb:.1f} GB), "
          f"{args.workers} workers, best of {args.reps}; load {os.getloadavg()[0]:.1f}")
    one = phase("single", args)
    many = phase("distributed", args)
    print(f"load after: {os.getloadavg()[0]:.1f}")
    print(f"{'method':14} {'single s':>9} {'distributed s':>14} {'ratio':>6}  same bits")
    for m in args.methods:
        a, b = one[m], many[m]
        print(f"{m:14} {a['seconds']:9.2f} {b['seconds']:14.2f} "
              f"{b['seconds'] / a['seconds']:6.2f}  {a['hash'] == b['hash']}")
    cuts = many["cuts"]
    for s in range(len(cuts) - 1):
        shard = (cuts[s + 1] - cuts[s]) * args.clients * 4
        limit = shard * 1.1 + 200e6
        gen = many["generated_peaks"][s]
        print(f"worker {s}: shard {shard / 1e6:.0f} MB, limit {limit / 1e6:.0f} MB; after "
              f"generation {gen['total'] / 1e6:.0f} MB")
        worst = 0
        for m in args.methods:
            p = many[m]["peaks"][s]
            worst = max(worst, p["private"])
            print(f"  {m:13} peak private {p['private'] / 1e6:.0f} MB, with the object-store "
                  f"pages it wrote {p['total'] / 1e6:.0f} MB (store pages now "
                  f"{p['shared'] / 1e6:.0f} MB)")
        print(f"  private peak {'within' if worst <= limit else 'ABOVE'} the limit")
    print(f"generation: single {one['generate_s']:.1f} s, workers {many['generate_s']:.1f} s; "
          f"{args.warmup} untimed distributed rounds of {args.methods[0]}: "
          f"{many['warmup_s']:.2f} s")


if __name__ == "__main__":
    main()
