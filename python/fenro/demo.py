"""Federated training under Byzantine attacks, aggregated by fenro.

``python -m fenro demo`` trains a softmax-regression classifier on scikit-learn's bundled
digits (or on a synthetic set made on the spot) across simulated clients whose data is
label-skewed by a Dirichlet split. A fraction of the clients is Byzantine and sends
poisoned updates; every aggregation rule then trains the same model from the same start on
the same clients, so the held-out accuracies are directly comparable. The run prints a table
of final accuracies and timings, writes a plot of accuracy against round and lists the
reputation that fenro gave honest and Byzantine clients.

The update a client sends is the change of the model's weight matrix, a
(features + 1) x classes float32 array; the server adds the aggregate to its model.
Everything is seeded: the same arguments give the same numbers.
"""

import argparse
import json
import math
import os
import sys
import time

import numpy as np

ATTACKS = ("sign_flip", "scaling", "gaussian", "small_deviation")
METHODS = ("fedavg", "trimmed_mean", "median", "krum", "multi_krum", "guarded")

# Attack strengths. A sign flip is boosted so that, at a fifth of the clients, it outweighs
# the honest majority in a plain mean; the small deviation stays one honest standard
# deviation from the honest mean on every coordinate, inside the honest spread.
SIGN_FLIP_BOOST = 8.0
SCALING_FACTOR = 25.0
NOISE_STD = 3.0
DEVIATION_Z = 1.0

# The "guarded" run: FedAvg behind a norm bound and a reputation ban. The bound is this
# multiple of the median update norm of the first round (most clients are honest, so the
# median is an honest norm); clients are banned once their score falls below the threshold.
GUARD_NORM_FACTOR = 3.0
GUARD_BAN_THRESHOLD = 0.3


def add_arguments(parser):
    """Adds the demo's options to an argparse parser."""
    parser.add_argument("--clients", type=int, default=20, help="number of clients (default 20)")
    parser.add_argument(
        "--byzantine", type=float, default=0.2,
        help="fraction of Byzantine clients, in [0, 0.5) (default 0.2)")
    parser.add_argument(
        "--attack", default="all",
        help="attack(s), comma separated, or 'all': " + ", ".join(ATTACKS))
    parser.add_argument("--rounds", type=int, default=30, help="training rounds (default 30)")
    parser.add_argument(
        "--methods", default="all",
        help="aggregation rules, comma separated, or 'all': " + ", ".join(METHODS))
    parser.add_argument("--seed", type=int, default=0, help="random seed (default 0)")
    parser.add_argument(
        "--out", default="fenro-demo",
        help="directory for accuracy.png and results.json (default ./fenro-demo)")
    parser.add_argument(
        "--data", choices=("digits", "synthetic"), default="digits",
        help="scikit-learn's bundled digits or a synthetic set (default digits)")
    parser.add_argument("--alpha", type=float, default=0.5,
                        help="Dirichlet concentration of the label skew (default 0.5)")
    parser.add_argument("--no-plot", action="store_true", help="skip the PNG plot")
    parser.add_argument("--quiet", action="store_true", help="no progress bar")


def _choices(text, allowed, what):
    if text == "all":
        return list(allowed)
    chosen = [item.strip() for item in text.split(",") if item.strip()]
    unknown = [item for item in chosen if item not in allowed]
    if unknown or not chosen:
        raise SystemExit(f"unknown {what} {', '.join(unknown) or repr(text)}; "
                         f"choose from {', '.join(allowed)}")
    return chosen


# --- data -------------------------------------------------------------------------------

def load_data(kind, seed):
    """Returns (x_train, y_train, x_test, y_test, classes); x has a trailing bias column."""
    rng = np.random.default_rng([seed, 1])
    if kind == "digits":
        from sklearn.datasets import load_digits

        digits = load_digits()
        x = digits.data.astype(np.float32) / 16.0
        y = digits.target.astype(np.int64)
    else:
        # Ten Gaussian blobs in 32 dimensions, overlapping enough to leave work to do.
        classes, dim, per_class = 10, 32, 180
        centres = rng.normal(0.0, 1.0, size=(classes, dim))
        x = np.concatenate([c + rng.normal(0.0, 1.6, size=(per_class, dim)) for c in centres])
        y = np.repeat(np.arange(classes), per_class)
        x = x.astype(np.float32)
    x = np.hstack([x, np.ones((len(x), 1), np.float32)])
    order = rng.permutation(len(x))
    n_test = len(x) // 5
    test, train = order[:n_test], order[n_test:]
    return x[train], y[train], x[test], y[test], int(y.max()) + 1


def dirichlet_split(y, clients, alpha, rng, min_size=8):
    """Splits sample indices across clients with per-class Dirichlet(alpha) proportions.

    Smaller alpha gives stronger label skew. Redraws until every client holds at least
    min_size samples, so that no client is left without data to train on."""
    classes = int(y.max()) + 1
    for _ in range(1000):
        parts = [[] for _ in range(clients)]
        for c in range(classes):
            idx = rng.permutation(np.flatnonzero(y == c))
            cuts = (np.cumsum(rng.dirichlet([alpha] * clients))[:-1] * len(idx)).astype(int)
            for part, chunk in zip(parts, np.split(idx, cuts)):
                part.extend(chunk.tolist())
        if min(len(p) for p in parts) >= min_size:
            return [np.array(sorted(p), dtype=np.int64) for p in parts]
    raise SystemExit("cannot split the data: too many clients for the data set")


# --- model ------------------------------------------------------------------------------

def _softmax(z):
    z = z - z.max(axis=1, keepdims=True)
    e = np.exp(z)
    return e / e.sum(axis=1, keepdims=True)


def local_update(w, x, y, rng, epochs=2, batch=16, lr=0.5):
    """Runs minibatch SGD on one client's data; returns the change of the weights."""
    w_local = w.copy()
    onehot = np.eye(w.shape[1], dtype=np.float32)[y]
    for _ in range(epochs):
        order = rng.permutation(len(x))
        for start in range(0, len(x), batch):
            b = order[start:start + batch]
            grad = x[b].T @ (_softmax(x[b] @ w_local) - onehot[b]) / len(b)
            w_local -= lr * grad.astype(np.float32)
    return (w_local - w).astype(np.float32)


def accuracy(w, x, y):
    return float(np.mean(np.argmax(x @ w, axis=1) == y))


# --- attacks ----------------------------------------------------------------------------

def poison(attack, own, honest, rng):
    """Returns the update a Byzantine client sends instead of its honest one.

    own: the update it would have sent if honest; honest: the honest updates of the round
    (the colluding attackers are assumed to see them, the strongest usual assumption)."""
    if attack == "sign_flip":
        return (-SIGN_FLIP_BOOST * own).astype(np.float32)
    if attack == "scaling":
        return (SCALING_FACTOR * own).astype(np.float32)
    if attack == "gaussian":
        return rng.normal(0.0, NOISE_STD, size=own.shape).astype(np.float32)
    if attack == "small_deviation":
        stack = np.stack(honest)
        mean, std = stack.mean(axis=0), stack.std(axis=0)
        # Move against the mean by one standard deviation, but never outside the honest
        # minimum and maximum of the coordinate: no per-coordinate test can tell it apart.
        target = np.clip(mean - DEVIATION_Z * np.sign(mean) * std,
                         stack.min(axis=0), stack.max(axis=0))
        return target.astype(np.float32)
    raise ValueError(f"unknown attack {attack!r}")


# --- simulation -------------------------------------------------------------------------

class Setup:
    """Everything shared by the runs of one demo: data, split, Byzantine set, start model."""

    def __init__(self, clients, byzantine, seed, data, alpha):
        if clients < 3:
            raise SystemExit("--clients must be at least 3")
        if not 0.0 <= byzantine < 0.5:
            raise SystemExit("--byzantine must be in [0, 0.5)")
        self.seed = seed
        self.x_train, self.y_train, self.x_test, self.y_test, classes = load_data(data, seed)
        rng = np.random.default_rng([seed, 2])
        self.parts = dirichlet_split(self.y_train, clients, alpha, rng)
        n_byz = int(round(byzantine * clients))
        self.byzantine = set(rng.choice(clients, size=n_byz, replace=False).tolist())
        self.client_ids = [f"client-{i:03d}" for i in range(clients)]
        self.w0 = np.zeros((self.x_train.shape[1], classes), np.float32)
        self.clients = clients

    def method_config(self, method, first_round_norm):
        """Returns (method text, constructor keywords) for one of METHODS."""
        n, f = self.clients, len(self.byzantine)
        if method in ("fedavg", "median"):
            return method, {}
        if method == "trimmed_mean":
            # Trim at least the Byzantine share from each end (ceil(t * n) >= f).
            return method, {"trim_fraction": min(0.45, (f + 0.5) / n)}
        if method == "krum":
            return f"krum:{f}", {}
        if method == "multi_krum":
            # Average every update Krum can vouch for: m = n - 2f - 2, the largest safe m.
            return f"multi_krum:{f}:{max(1, n - 2 * f - 2)}", {}
        if method == "guarded":
            return "fedavg", {"norm_bound": GUARD_NORM_FACTOR * first_round_norm,
                              "ban_threshold": GUARD_BAN_THRESHOLD}
        raise ValueError(method)


def run_one(setup, method, attack, rounds, tick=None):
    """Trains from the shared start with one rule under one attack.

    Returns a dict with the accuracy after every round (index 0: before training), the
    mean seconds per round and per aggregation call, and every client's final score."""
    from fenro import ByzantineAggregator

    w = setup.w0.copy()
    acc = [accuracy(w, setup.x_test, setup.y_test)]
    aggregator = None
    refused = None
    round_seconds = aggregate_seconds = 0.0
    for r in range(rounds):
        start = time.perf_counter()
        updates = []
        for c, part in enumerate(setup.parts):
            rng = np.random.default_rng([setup.seed, 3, r, c])
            updates.append(local_update(w, setup.x_train[part], setup.y_train[part], rng))
        honest = [u for c, u in enumerate(updates) if c not in setup.byzantine]
        for c in sorted(setup.byzantine):
            rng = np.random.default_rng([setup.seed, 4, r, c])
            updates[c] = poison(attack, updates[c], honest, rng)
        if aggregator is None:
            median_norm = float(np.median([np.linalg.norm(u) for u in updates]))
            text, options = setup.method_config(method, median_norm)
            aggregator = ByzantineAggregator(
                text, options.pop("trim_fraction", 0.0), **options)
        t0 = time.perf_counter()
        try:
            step = aggregator.aggregate(updates, client_ids=setup.client_ids)
        except ValueError as err:
            # The rule refused the round (every update filtered out, or too few clients for
            # Krum's quorum): keep the model, and say so in the table.
            step = np.zeros_like(w)
            refused = refused or str(err)
        aggregate_seconds += time.perf_counter() - t0
        w = w + step
        acc.append(accuracy(w, setup.x_test, setup.y_test))
        round_seconds += time.perf_counter() - start
        if tick is not None:
            tick()
    scores = {cid: aggregator.get_reputation(cid) for cid in setup.client_ids}
    return {"accuracy": acc, "seconds_per_round": round_seconds / max(rounds, 1),
            "aggregate_seconds": aggregate_seconds / max(rounds, 1), "reputation": scores,
            "refused": refused}


class _Progress:
    """A progress bar on stderr: tqdm when installed, else a one-line counter."""

    def __init__(self, total, enabled):
        self.total, self.done, self.enabled, self.bar = total, 0, enabled, None
        self.label = ""
        if not enabled:
            return
        try:
            from tqdm import tqdm
        except ImportError:
            return
        self.bar = tqdm(total=total, unit="round", file=sys.stderr, leave=False,
                        dynamic_ncols=True)

    def describe(self, text):
        if self.bar is not None:
            self.bar.set_description(text, refresh=False)
        self.label = text

    def tick(self):
        self.done += 1
        if self.bar is not None:
            self.bar.update(1)
        elif self.enabled:
            width = 30
            filled = width * self.done // self.total
            sys.stderr.write(f"\r[{'#' * filled}{'.' * (width - filled)}] "
                             f"{self.done}/{self.total} {self.label:<28}")
            sys.stderr.flush()

    def close(self):
        if self.bar is not None:
            self.bar.close()
        elif self.enabled:
            sys.stderr.write("\n")


def simulate(clients=20, byzantine=0.2, attacks=ATTACKS, rounds=30, methods=METHODS,
             seed=0, data="digits", alpha=0.5, progress=False):
    """Runs every (method, attack) pair; returns the results keyed by (method, attack)."""
    setup = Setup(clients, byzantine, seed, data, alpha)
    bar = _Progress(len(methods) * len(attacks) * rounds, progress)
    results = {}
    try:
        for attack in attacks:
            for method in methods:
                bar.describe(f"{method} / {attack}")
                results[(method, attack)] = run_one(setup, method, attack, rounds, bar.tick)
    finally:
        bar.close()
    return setup, results


# --- reporting --------------------------------------------------------------------------

def reputation_split(setup, scores):
    """Mean score of the honest and of the Byzantine clients (None for an empty group)."""
    honest = [s for i, s in enumerate(scores.values()) if i not in setup.byzantine]
    byz = [s for i, s in enumerate(scores.values()) if i in setup.byzantine]
    mean = lambda v: sum(v) / len(v) if v else None  # noqa: E731
    return mean(honest), mean(byz)


def format_table(results, methods, attacks):
    head = f"{'method':<14}" + "".join(f"{a:>17}" for a in attacks)
    head += f"{'s/round':>10}{'agg ms':>9}"
    lines = ["final held-out accuracy (%)", head, "-" * len(head)]
    for m in methods:
        row = [results[(m, a)] for a in attacks]
        line = f"{m:<14}" + "".join(
            f"{100 * r['accuracy'][-1]:>16.1f}{'*' if r['refused'] else ' '}" for r in row)
        sec = sum(r["seconds_per_round"] for r in row) / len(row)
        agg = sum(r["aggregate_seconds"] for r in row) / len(row)
        lines.append(line + f"{sec:>10.4f}{1000 * agg:>9.3f}")
    lines.append("s/round: a whole simulated round, local training included; "
                 "agg ms: the fenro aggregate call alone")
    if "guarded" in methods:
        lines.append(f"guarded: fedavg behind a norm bound ({GUARD_NORM_FACTOR:g} x the median "
                     f"update norm of round 1) and a reputation ban (below "
                     f"{GUARD_BAN_THRESHOLD:g})")
    notes = sorted({r["refused"] for r in results.values() if r["refused"]})
    lines += [f"* some rounds kept the model unchanged: {n}" for n in notes]
    return "\n".join(lines)


def format_reputation(setup, results, methods, attacks):
    lines = ["mean reputation at the end (honest / Byzantine)",
             f"{'method':<14}" + "".join(f"{a:>17}" for a in attacks)]
    for m in methods:
        cells = []
        for a in attacks:
            h, b = reputation_split(setup, results[(m, a)]["reputation"])
            cells.append(f"{h:.2f} / {b:.2f}" if b is not None else f"{h:.2f} / -")
        lines.append(f"{m:<14}" + "".join(f"{c:>17}" for c in cells))
    return "\n".join(lines)


def plot(results, methods, attacks, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, len(attacks), figsize=(3.2 * len(attacks), 3.0),
                             sharey=True, squeeze=False)
    for ax, attack in zip(axes[0], attacks):
        for m in methods:
            acc = results[(m, attack)]["accuracy"]
            ax.plot(range(len(acc)), acc, label=m, linewidth=1.2)
        ax.set_title(attack.replace("_", " "), fontsize=9)
        ax.set_xlabel("round", fontsize=8)
        ax.set_ylim(0.0, 1.0)
        ax.grid(alpha=0.3)
        ax.tick_params(labelsize=7)
    axes[0][0].set_ylabel("held-out accuracy", fontsize=8)
    axes[0][-1].legend(fontsize=7, loc="lower right")
    fig.tight_layout()
    fig.savefig(path, dpi=72)
    plt.close(fig)


def run_cli(args):
    attacks = _choices(args.attack, ATTACKS, "attack")
    methods = _choices(args.methods, METHODS, "method")
    if args.rounds < 1:
        raise SystemExit("--rounds must be at least 1")
    start = time.perf_counter()
    setup, results = simulate(args.clients, args.byzantine, attacks, args.rounds, methods,
                              args.seed, args.data, args.alpha, progress=not args.quiet)
    n_byz = len(setup.byzantine)
    print(f"{args.clients} clients ({n_byz} Byzantine), {args.rounds} rounds, "
          f"data {args.data}, seed {args.seed}")
    print()
    print(format_table(results, methods, attacks))
    print()
    print(format_reputation(setup, results, methods, attacks))
    print()
    os.makedirs(args.out, exist_ok=True)
    summary = {f"{m}/{a}": r for (m, a), r in results.items()}
    with open(os.path.join(args.out, "results.json"), "w", encoding="utf-8") as fh:
        json.dump({"byzantine_clients": [setup.client_ids[i] for i in sorted(setup.byzantine)],
                   "runs": summary}, fh, indent=1)
    if not args.no_plot:
        path = os.path.join(args.out, "accuracy.png")
        plot(results, methods, attacks, path)
        print(f"plot: {path}")
    print(f"total {time.perf_counter() - start:.1f} s")
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m fenro demo")
    add_arguments(parser)
    return run_cli(parser.parse_args(argv))


if __name__ == "__main__":
    sys.exit(main())
