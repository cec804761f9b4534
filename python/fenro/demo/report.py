"""What a demo run shows: the accuracy table, the reputation listing, the plot and
results.json. The texts are those printed by ``python -m fenro demo``."""

from __future__ import annotations

import json
from typing import Dict, List, Optional, Sequence, Tuple

from fenro.demo.methods import find_method
from fenro.demo.simulation import Results, Setup

_COLUMN = 17  # width of one attack's column in both listings
_NAME = 14  # width of the method column, wider when a chosen name needs it


def _name_width(methods: Sequence[str]) -> int:
    return max([_NAME] + [len(m) + 2 for m in methods])


def _header(methods: Sequence[str], attacks: Sequence[str]) -> str:
    return f"{'method':<{_name_width(methods)}}" + "".join(f"{a:>{_COLUMN}}" for a in attacks)


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
    head = _header(methods, attacks) + f"{'s/round':>10}{'agg ms':>9}"
    width = _name_width(methods)
    lines = ["final held-out accuracy (%)", head, "-" * len(head)]
    for m in methods:
        row = [results[(m, a)] for a in attacks]
        line = f"{m:<{width}}" + "".join(
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
    lines = ["mean reputation at the end (honest / Byzantine)", _header(methods, attacks)]
    width = _name_width(methods)
    for m in methods:
        cells = []
        for a in attacks:
            h, b = reputation_split(setup, results[(m, a)]["reputation"])
            cells.append(f"{h:.2f} / {b:.2f}" if b is not None else f"{h:.2f} / -")
        lines.append(f"{m:<{width}}" + "".join(f"{c:>{_COLUMN}}" for c in cells))
    return "\n".join(lines)


def plot(results: Results, methods: Sequence[str], attacks: Sequence[str], path: str) -> None:
    """Writes a PNG of accuracy against round to path: one panel per attack (up to three in
    a row), one line per rule, the legend under the panels."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    columns = min(3, len(attacks))
    rows = -(-len(attacks) // columns)
    legend_rows = -(-len(methods) // 6)
    legend_height = 0.2 * legend_rows + 0.1  # inches under the panels
    height = 2.7 * rows + legend_height
    fig, axes = plt.subplots(rows, columns, figsize=(3.6 * columns, height),
                             sharey=True, squeeze=False)
    # Twenty distinct colours, then the same colours dashed: every line tells its rule.
    colours = matplotlib.colormaps["tab20"]
    for k, attack in enumerate(attacks):
        ax = axes[k // columns][k % columns]
        for i, m in enumerate(methods):
            acc = results[(m, attack)]["accuracy"]
            ax.plot(range(len(acc)), acc, label=m, linewidth=1.1,
                    color=colours((2 * i + i // 10) % 20), linestyle="-" if i < 20 else "--")
        ax.set_title(attack.replace("_", " "), fontsize=9)
        ax.set_xlabel("round", fontsize=8)
        ax.set_ylim(0.0, 1.0)
        ax.grid(alpha=0.3)
        ax.tick_params(labelsize=7)
    for k in range(len(attacks), rows * columns):
        axes[k // columns][k % columns].set_visible(False)
    for row in axes:
        row[0].set_ylabel("held-out accuracy", fontsize=8)
    handles, labels = axes[0][0].get_legend_handles_labels()
    fig.legend(handles, labels, loc="lower center", ncol=min(6, len(methods)), fontsize=7,
               frameon=False)
    fig.tight_layout(rect=(0.0, legend_height / height, 1.0, 1.0))
    fig.savefig(path, dpi=72)
    plt.close(fig)


def write_results(setup: Setup, results: Results, path: str) -> None:
    """Writes every number of the runs to path as JSON: the Byzantine client ids and each
    run under "method/attack"."""
    summary = {f"{m}/{a}": r for (m, a), r in results.items()}
    with open(path, "w", encoding="utf-8") as fh:
        json.dump({"byzantine_clients": [setup.client_ids[i] for i in sorted(setup.byzantine)],
                   "runs": summary}, fh, indent=1)
