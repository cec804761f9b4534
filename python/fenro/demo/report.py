"""What a demo run shows: the accuracy table, the reputation listing, the plot and
results.json. The texts are those printed by ``python -m fenro demo``."""

from __future__ import annotations

import json
from typing import Dict, List, Optional, Sequence, Tuple

from fenro.demo.methods import find_method
from fenro.demo.simulation import Results, Setup

_COLUMN = 17  # width of one attack's column in both listings


def _header(attacks: Sequence[str]) -> str:
    return f"{'method':<14}" + "".join(f"{a:>{_COLUMN}}" for a in attacks)


def reputation_split(setup: Setup,
                     scores: Dict[str, float]) -> Tuple[Optional[float], Optional[float]]:
    """Mean score of the honest and of the Byzantine clients (None for an empty group).

    scores holds one score per client, in client order, as a run's "reputation" does."""
    honest = [s for i, s in enumerate(scores.values()) if i not in setup.byzantine]
    byz = [s for i, s in enumerate(scores.values()) if i in setup.byzantine]

    def mean(v: List[float]) -> Optional[float]:
        return sum(v) / len(v) if v else None

    return mean(honest), mean(byz)


def format_table(results: Results, methods: Sequence[str], attacks: Sequence[str]) -> str:
    """The final held-out accuracy of every run, with the timings of every rule, a line for
    every chosen rule that has a note, and one for every distinct refusal (its runs are
    marked *)."""
    head = _header(attacks) + f"{'s/round':>10}{'agg ms':>9}"
    lines = ["final held-out accuracy (%)", head, "-" * len(head)]
    for m in methods:
        row = [results[(m, a)] for a in attacks]
        line = f"{m:<14}" + "".join(
            f"{100 * r['accuracy'][-1]:>{_COLUMN - 1}.1f}{'*' if r['refused'] else ' '}"
            for r in row)
        sec = sum(r["seconds_per_round"] for r in row) / len(row)
        agg = sum(r["aggregate_seconds"] for r in row) / len(row)
        lines.append(line + f"{sec:>10.4f}{1000 * agg:>9.3f}")
    lines.append("s/round: a whole simulated round, local training included; "
                 "agg ms: the fenro aggregate call alone")
    for m in methods:
        note = find_method(m).note
        if note is not None:
            lines.append(f"{m}: {note}")
    notes = sorted({r["refused"] for r in results.values() if r["refused"]})
    lines += [f"* some rounds kept the model unchanged: {n}" for n in notes]
    return "\n".join(lines)


def format_reputation(setup: Setup, results: Results, methods: Sequence[str],
                      attacks: Sequence[str]) -> str:
    """The mean final reputation of the honest and of the Byzantine clients in every run."""
    lines = ["mean reputation at the end (honest / Byzantine)", _header(attacks)]
    for m in methods:
        cells = []
        for a in attacks:
            h, b = reputation_split(setup, results[(m, a)]["reputation"])
            cells.append(f"{h:.2f} / {b:.2f}" if b is not None else f"{h:.2f} / -")
        lines.append(f"{m:<14}" + "".join(f"{c:>{_COLUMN}}" for c in cells))
    return "\n".join(lines)


def plot(results: Results, methods: Sequence[str], attacks: Sequence[str], path: str) -> None:
    """Writes a PNG of accuracy against round to path: one panel per attack, one line per
    rule."""
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


def write_results(setup: Setup, results: Results, path: str) -> None:
    """Writes every number of the runs to path as JSON: the Byzantine client ids and each
    run under "method/attack"."""
    summary = {f"{m}/{a}": r for (m, a), r in results.items()}
    with open(path, "w", encoding="utf-8") as fh:
        json.dump({"byzantine_clients": [setup.client_ids[i] for i in sorted(setup.byzantine)],
                   "runs": summary}, fh, indent=1)
