"""Aggregating model states given as state dicts of torch tensors, against the same aggregation
on one prepared array.

    python benchmarks/bench_state_dict.py [--clients 20] [--reps 5] [--rules median,...]

The model state is a ResNet-18-like list of 62 float32 tensors, about 8.35M values in all. Each client's state dict holds its own tensors. For each rule the benchmark times, best of
--reps:

- `array`: the rule on one prepared (clients, 1, D) float32 array (the floor: no conversion);
- `state dicts`: the rule on the list of state dicts, torch tensors in, a dict of torch
  tensors out (what a PyTorch user calls);
- `flatten first`: the way without state-dict support, flattening every client with
  torch.cat and handing NumPy the stacked result, then the rule on it (torch on one thread).

and prints each as a ratio against `array`, with a copy floor (one memcpy of all clients' values)
for scale. Needs torch (CPU). The machine may be shared: repeat and read the ratios.
"""

import argparse
import time

import numpy as np
import torch

from fenro import robust


def resnet_like_layout():
    """(name, shape) of a ResNet-18-like model's parameters: 62 tensors (convolutions,
    batch-norm weights and biases, shortcut projections, the classifier), about 8.35M values
    (the last stage is 392 channels wide instead of 512)."""
    layout = [("conv1.weight", (64, 3, 7, 7)), ("bn1.weight", (64,)), ("bn1.bias", (64,))]
    cin = 64
    for stage, cout in enumerate([64, 128, 256, 392], start=1):
        for b in range(2):
            block = f"layer{stage}.{b}"
            for conv in (1, 2):
                layout.append((f"{block}.conv{conv}.weight",
                               (cout, cin if conv == 1 else cout, 3, 3)))
                layout += [(f"{block}.bn{conv}.{p}", (cout,)) for p in ("weight", "bias")]
            if b == 0 and cin != cout:
                layout.append((f"{block}.downsample.0.weight", (cout, cin, 1, 1)))
                layout += [(f"{block}.downsample.1.{p}", (cout,)) for p in ("weight", "bias")]
            cin = cout
    layout += [("fc.weight", (1000, cin)), ("fc.bias", (1000,))]
    return layout


def timed(cases, reps):
    """{name: (best, median, CPU best)} seconds, the cases run in turn within each repetition so
    that a change of the machine's load reaches all of them alike. CPU time (all threads of this
    process) is what the load of other processes disturbs least."""
    times = {name: [] for name in cases}
    cpu = {name: [] for name in cases}
    for _ in range(reps):
        for name, fn in cases.items():
            start, start_cpu = time.perf_counter(), time.process_time()
            fn()
            times[name].append(time.perf_counter() - start)
            cpu[name].append(time.process_time() - start_cpu)
    return {name: (min(t), sorted(t)[len(t) // 2], min(cpu[name])) for name, t in times.items()}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--clients", type=int, default=20)
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--rules", default="median,trimmed_mean,krum,multi_krum,fedavg")
    args = parser.parse_args()

    # torch's worker threads keep spinning for a while after each parallel operation, which
    # would steal the cores from the next measurement: torch runs on one thread here.
    torch.set_num_threads(1)
    layout = resnet_like_layout()
    total = sum(int(np.prod(s)) for _, s in layout)
    gen = torch.Generator().manual_seed(0)
    states = [{name: torch.randn(shape, generator=gen) for name, shape in layout}
              for _ in range(args.clients)]
    flat = np.stack([torch.cat([t.reshape(-1) for t in s.values()]).numpy()[None]
                     for s in states])
    print(f"{args.clients} clients x {total:,} values in {len(layout)} tensors "
          f"({flat.nbytes / 2**20:.0f} MiB); threads as FENRO_NUM_THREADS says")

    f = (args.clients - 3) // 2
    rules = {
        "median": lambda u: robust.median(u),
        "trimmed_mean": lambda u: robust.trimmed_mean(u, trim=0.1),
        "fedavg": lambda u: robust.fedavg(u),
        "krum": lambda u: robust.krum(u, f=f),
        "multi_krum": lambda u: robust.multi_krum(u, f=f, m=2),
    }
    copy_floor = timed({"copy": flat.copy}, args.reps)["copy"][0]
    print(f"copy floor (one copy of every value): {copy_floor * 1e3:.1f} ms")

    def flatten_first(rule):
        stacked = torch.stack([torch.cat([t.reshape(-1) for t in s.values()]) for s in states])
        return rule(stacked.numpy()[:, None, :])

    print("wall time, best (median) of the repetitions, and the ratio of CPU times; ratios "
          "against the array's")
    print(f"{'rule':<14}{'array ms':>16}{'state dicts ms':>20}{'ratio':>14}{'CPU':>7}"
          f"{'flatten first ms':>20}{'ratio':>8}")
    for name in args.rules.split(","):
        rule = rules[name]
        out = rule(states)
        assert isinstance(next(iter(out.values())), torch.Tensor)
        same = torch.cat([t.reshape(-1) for t in out.values()]).numpy()
        assert same.tobytes() == rule(flat).reshape(-1).tobytes(), name
        t = timed({"array": lambda: rule(flat), "dicts": lambda: rule(states),
                   "first": lambda: flatten_first(rule)}, args.reps)
        (a, am, ac), (d, dm, dc), (f1, fm, _) = t["array"], t["dicts"], t["first"]
        print(f"{name:<14}{a * 1e3:>8.1f} ({am * 1e3:5.1f}){d * 1e3:>12.1f} ({dm * 1e3:5.1f})"
              f"{d / a:>7.2f}x ({dm / am:.2f}x){dc / ac:>6.2f}x{f1 * 1e3:>12.1f} "
              f"({fm * 1e3:6.1f}){f1 / a:>7.2f}x")


if __name__ == "__main__":
    main()
