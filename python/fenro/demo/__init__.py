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

The modules, each with one job: ``data`` (the data set and its split across clients),
``model`` (local training and accuracy), ``attacks`` and ``methods`` (the tables of attacks
and aggregation rules), ``simulation`` (the rounds), ``progress``, ``report`` (tables, plot,
results.json) and ``cli`` (the options and the run). Importing the package needs only NumPy;
scikit-learn, matplotlib and tqdm are imported when used.
"""

from __future__ import annotations

from fenro.demo.attacks import (
    ATTACK_TABLE,
    ATTACKS,
    DEVIATION_Z,
    IPM_EPSILON,
    NOISE_STD,
    SCALING_FACTOR,
    SIGN_FLIP_BOOST,
    Attack,
    LabelAttack,
    LabelFlip,
    find_attack,
    poison,
)
from fenro.demo.cli import add_arguments, main, run_cli
from fenro.demo.data import Dataset, dirichlet_split, load_data
from fenro.demo.methods import (
    CC_ITERATIONS,
    CC_TAU_FACTOR,
    DEFAULT_METHODS,
    GUARD_BAN_THRESHOLD,
    GUARD_NORM_FACTOR,
    METHOD_TABLE,
    METHODS,
    Aggregator,
    AggregatorConfig,
    DefenseConfig,
    Method,
    find_method,
)
from fenro.demo.model import accuracy, local_update
from fenro.demo.report import (
    format_reputation,
    format_table,
    plot,
    reputation_split,
    write_results,
)
from fenro.demo.simulation import Results, RunResult, Setup, run_one, simulate, training_labels

__all__ = [
    "ATTACKS", "ATTACK_TABLE", "Attack", "LabelAttack", "LabelFlip", "find_attack", "poison",
    "SIGN_FLIP_BOOST", "SCALING_FACTOR", "NOISE_STD", "DEVIATION_Z", "IPM_EPSILON",
    "METHODS", "DEFAULT_METHODS", "METHOD_TABLE", "Method", "Aggregator", "AggregatorConfig",
    "DefenseConfig", "find_method",
    "GUARD_NORM_FACTOR", "GUARD_BAN_THRESHOLD", "CC_TAU_FACTOR", "CC_ITERATIONS",
    "Dataset", "load_data", "dirichlet_split", "local_update", "accuracy",
    "Setup", "RunResult", "Results", "run_one", "simulate", "training_labels",
    "reputation_split", "format_table", "format_reputation", "plot", "write_results",
    "add_arguments", "run_cli", "main",
]
