"""What a Byzantine client sends instead of its honest update, one function per attack.

Every attack has the signature of ``Attack``: it receives the update the client would have
sent if honest, the honest updates of the round (the colluding attackers are assumed to see
them, the strongest usual assumption) and a generator seeded for this client and round, and
returns the float32 update the client sends. A new attack is a function plus one entry in
``ATTACK_TABLE``; the table's order is the order of ``ATTACKS``, of the demo's table columns
and of its plot panels.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Dict, Protocol, Sequence, Tuple

import numpy as np

if TYPE_CHECKING:
    import numpy.typing as npt

    from fenro.demo.model import Weights


class Attack(Protocol):
    """The signature every attack has."""

    def __call__(self, own: Weights, honest: Sequence[Weights],
                 rng: np.random.Generator) -> Weights: ...


# Attack strengths. A sign flip is boosted so that, at a fifth of the clients, it outweighs
# the honest majority in a plain mean; the small deviation stays one honest standard
# deviation from the honest mean on every coordinate, inside the honest spread.
SIGN_FLIP_BOOST = 8.0
SCALING_FACTOR = 25.0
NOISE_STD = 3.0
DEVIATION_Z = 1.0


def sign_flip(own: Weights, honest: Sequence[Weights], rng: np.random.Generator) -> Weights:
    """Its own update negated and boosted."""
    return (-SIGN_FLIP_BOOST * own).astype(np.float32)


def scaling(own: Weights, honest: Sequence[Weights], rng: np.random.Generator) -> Weights:
    """Its own update scaled up."""
    return (SCALING_FACTOR * own).astype(np.float32)


def gaussian(own: Weights, honest: Sequence[Weights], rng: np.random.Generator) -> Weights:
    """Pure noise of the update's shape."""
    return rng.normal(0.0, NOISE_STD, size=own.shape).astype(np.float32)


def small_deviation(own: Weights, honest: Sequence[Weights],
                    rng: np.random.Generator) -> Weights:
    """The honest mean moved against its sign by DEVIATION_Z honest standard deviations."""
    stack = np.stack(honest)
    mean, std = stack.mean(axis=0), stack.std(axis=0)
    # Move against the mean by one standard deviation, but never outside the honest
    # minimum and maximum of the coordinate: no per-coordinate test can tell it apart.
    target: npt.NDArray[np.floating[Any]] = np.clip(
        mean - DEVIATION_Z * np.sign(mean) * std, stack.min(axis=0), stack.max(axis=0))
    return target.astype(np.float32)


ATTACK_TABLE: Dict[str, Attack] = {
    "sign_flip": sign_flip,
    "scaling": scaling,
    "gaussian": gaussian,
    "small_deviation": small_deviation,
}
ATTACKS: Tuple[str, ...] = tuple(ATTACK_TABLE)


def find_attack(name: str) -> Attack:
    """Returns the attack called name; raises ValueError for an unknown name."""
    try:
        return ATTACK_TABLE[name]
    except KeyError:
        raise ValueError(f"unknown attack {name!r}") from None


def poison(attack: str, own: Weights, honest: Sequence[Weights],
           rng: np.random.Generator) -> Weights:
    """Returns the update a Byzantine client running the named attack sends instead of own.

    honest: the honest updates of the round. Raises ValueError for an unknown attack."""
    return find_attack(attack)(own, honest, rng)
