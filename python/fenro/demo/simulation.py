"""Federated training rounds under attack, one run per (rule, attack) pair.

Every run trains the same model from the same start on the same clients, with the same
Byzantine set, so the held-out accuracies of the rules are directly comparable. Every random
draw comes from a generator seeded by (seed, purpose, round, client): the same arguments give
the same numbers, whichever rules and attacks are chosen alongside.
"""

from __future__ import annotations

import math
import time
from typing import TYPE_CHECKING, Callable, Dict, List, Optional, Sequence, Set, Tuple, TypedDict

import numpy as np

from fenro.demo.attacks import ATTACKS, LabelAttack, find_attack
from fenro.demo.data import dirichlet_split, load_data
from fenro.demo.methods import DEFAULT_METHODS, Aggregator, find_method
from fenro.demo.model import accuracy, local_update
from fenro.demo.progress import Progress

if TYPE_CHECKING:
    from fenro.demo.data import Features, Indices, Labels
    from fenro.demo.model import Weights


class RunResult(TypedDict):
    """The outcome of one run; the keys, in this order, are those of results.json."""

    accuracy: List[float]  # held-out accuracy after every round; index 0: before training
    seconds_per_round: float  # mean of a whole simulated round, local training included
    aggregate_seconds: float  # mean of the aggregate call alone
    reputation: Dict[str, float]  # every client's final score, in client order
    refused: Optional[str]  # the message of the first round the rule refused, if any


Results = Dict[Tuple[str, str], RunResult]


class Setup:
    """Everything shared by the runs of one demo: data, split, Byzantine set, start model.

    Raises SystemExit, naming the command-line option, for fewer than 3 clients, a Byzantine
    fraction outside [0, 0.5) or an alpha that is not a positive finite number."""

    def __init__(self, clients: int, byzantine: float, seed: int, data: str,
                 alpha: float) -> None:
        if clients < 3:
            raise SystemExit("--clients must be at least 3")
        if not 0.0 <= byzantine < 0.5:
            raise SystemExit("--byzantine must be in [0, 0.5)")
        # Dirichlet weights need a positive finite concentration; anything else would fail
        # deep in the split or be blamed on the number of clients.
        if not (alpha > 0.0 and math.isfinite(alpha)):
            raise SystemExit("--alpha must be a positive finite number")
        self.seed = seed
        dataset = load_data(data, seed)
        self.x_train: Features = dataset.x_train
        self.y_train: Labels = dataset.y_train
        self.x_test: Features = dataset.x_test
        self.y_test: Labels = dataset.y_test
        rng = np.random.default_rng([seed, 2])
        self.parts: List[Indices] = dirichlet_split(self.y_train, clients, alpha, rng)
        n_byz = int(round(byzantine * clients))
        self.byzantine: Set[int] = set(rng.choice(clients, size=n_byz, replace=False).tolist())
        self.client_ids = [f"client-{i:03d}" for i in range(clients)]
        self.w0: Weights = np.zeros((self.x_train.shape[1], dataset.classes), np.float32)
        self.clients = clients
        self.classes = dataset.classes


def _check_rounds(rounds: int) -> None:
    if rounds < 1:
        raise SystemExit("--rounds must be at least 1")


def training_labels(setup: Setup, attack: str, client: int) -> Labels:
    """The labels the client trains on under the named attack: its own, or for a Byzantine
    client under an attack on the labels, the attack's relabelling of them. Raises
    ValueError for an unknown attack."""
    own = setup.y_train[setup.parts[client]]
    poison = find_attack(attack)
    if client in setup.byzantine and isinstance(poison, LabelAttack):
        return poison.relabel(own, setup.classes)
    return own


def run_one(setup: Setup, method: str, attack: str, rounds: int,
            tick: Optional[Callable[[], None]] = None) -> RunResult:
    """Trains from the shared start with one rule under one attack for rounds >= 1 rounds,
    calling tick after each round. Raises SystemExit for fewer rounds and ValueError for an
    unknown method or attack."""
    _check_rounds(rounds)
    configure = find_method(method).configure
    poison = find_attack(attack)
    labels = [training_labels(setup, attack, c) for c in range(setup.clients)]
    w = setup.w0.copy()
    acc = [accuracy(w, setup.x_test, setup.y_test)]
    aggregator: Optional[Aggregator] = None
    refused: Optional[str] = None
    round_seconds = aggregate_seconds = 0.0
    for r in range(rounds):
        start = time.perf_counter()
        updates = []
        for c, part in enumerate(setup.parts):
            rng = np.random.default_rng([setup.seed, 3, r, c])
            updates.append(local_update(w, setup.x_train[part], labels[c], rng))
        honest = [u for c, u in enumerate(updates) if c not in setup.byzantine]
        for c in sorted(setup.byzantine):
            rng = np.random.default_rng([setup.seed, 4, r, c])
            updates[c] = poison(updates[c], honest, rng)
        if aggregator is None:
            median_norm = float(np.median([np.linalg.norm(u) for u in updates]))
            aggregator = configure(setup.clients, len(setup.byzantine), median_norm).build()
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
    assert aggregator is not None  # made on the first of at least one round
    scores = {cid: aggregator.get_reputation(cid) for cid in setup.client_ids}
    return {"accuracy": acc, "seconds_per_round": round_seconds / rounds,
            "aggregate_seconds": aggregate_seconds / rounds, "reputation": scores,
            "refused": refused}


def simulate(clients: int = 20, byzantine: float = 0.2, attacks: Sequence[str] = ATTACKS,
             rounds: int = 30, methods: Sequence[str] = DEFAULT_METHODS, seed: int = 0,
             data: str = "digits", alpha: float = 0.5,
             progress: bool = False) -> Tuple[Setup, Results]:
    """Runs every (method, attack) pair; returns the shared setup and the results keyed by
    (method, attack). The default rules are those of a demo run without --methods.

    Checked before any work: rounds >= 1 (else SystemExit), every name known (else
    ValueError), then the arguments of Setup."""
    _check_rounds(rounds)
    for name in methods:
        find_method(name)
    for name in attacks:
        find_attack(name)
    setup = Setup(clients, byzantine, seed, data, alpha)
    bar = Progress(len(methods) * len(attacks) * rounds, progress)
    results: Results = {}
    try:
        for attack in attacks:
            for method in methods:
                bar.describe(f"{method} / {attack}")
                results[(method, attack)] = run_one(setup, method, attack, rounds, bar.tick)
    finally:
        bar.close()
    return setup, results
