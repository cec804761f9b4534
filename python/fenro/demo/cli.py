"""The command line: ``python -m fenro demo [options]``."""

from __future__ import annotations

import argparse
import os
import time
from typing import List, Optional, Sequence

from fenro.demo.attacks import ATTACKS
from fenro.demo.methods import DEFAULT_METHODS, METHODS
from fenro.demo.report import format_reputation, format_table, plot, write_results
from fenro.demo.simulation import simulate


def add_arguments(parser: argparse.ArgumentParser) -> None:
    """Adds the demo's options to an argparse parser."""
    parser.add_argument("--clients", type=int, default=20, help="number of clients (default 20)")
    parser.add_argument(
        "--byzantine", type=float, default=0.2,
        help="fraction of Byzantine clients, in [0, 0.5) (default 0.2)")
    parser.add_argument(
        "--attack", default="all",
        help="attack(s), comma separated, or 'all' (the default): " + ", ".join(ATTACKS))
    parser.add_argument("--rounds", type=int, default=30, help="training rounds (default 30)")
    parser.add_argument(
        "--methods", default="default",
        help="aggregation rules, comma separated, 'default' (the default: "
        + ", ".join(DEFAULT_METHODS)
        + ") or 'all', which adds " + ", ".join(m for m in METHODS if m not in DEFAULT_METHODS))
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


def _choices(text: str, allowed: Sequence[str], what: str,
             default: Optional[Sequence[str]] = None) -> List[str]:
    """Returns the names of a comma-separated list, all of allowed for "all", or default for
    "default" when given; raises SystemExit for an unknown or missing name."""
    if text == "all":
        return list(allowed)
    if text == "default" and default is not None:
        return list(default)
    chosen = [item.strip() for item in text.split(",") if item.strip()]
    unknown = [item for item in chosen if item not in allowed]
    if unknown or not chosen:
        raise SystemExit(f"unknown {what} {', '.join(unknown) or repr(text)}; "
                         f"choose from {', '.join(allowed)}")
    return chosen


def run_cli(args: argparse.Namespace) -> int:
    """Runs the demo for options parsed by a parser given add_arguments: prints the tables
    to stdout, writes results.json (and accuracy.png) under args.out; returns the exit code."""
    attacks = _choices(args.attack, ATTACKS, "attack")
    methods = _choices(args.methods, METHODS, "method", DEFAULT_METHODS)
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
    write_results(setup, results, os.path.join(args.out, "results.json"))
    if not args.no_plot:
        path = os.path.join(args.out, "accuracy.png")
        plot(results, methods, attacks, path)
        print(f"plot: {path}")
    print(f"total {time.perf_counter() - start:.1f} s")
    return 0


def main(argv: Optional[List[str]] = None) -> int:
    """Parses argv (default: sys.argv) and runs the demo; returns the exit code."""
    parser = argparse.ArgumentParser(prog="python -m fenro demo")
    add_arguments(parser)
    return run_cli(parser.parse_args(argv))
