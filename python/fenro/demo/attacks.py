"""What a Byzantine client sends instead of its honest update, one function per attack.

Every attack has the signature of ``Attack``: it receives the update the client would have
sent if honest, the honest updates of the round (the colluding attackers are assumed to see
them, the strongest usual assumption) and a generator seeded for this client and round, and
returns the float32 update the client sends. An attack on the data rather than on the update
also has a ``relabel`` method (see ``LabelAttack``): the simulation then trains the attacking
clients on the labels it returns, and ``own`` is the update of that poisoned training. A new
attack is a function (or such an object) plus one entry in ``ATTACK_TABLE``; the table's order
is the order of ``ATTACKS``, of the demo's table columns and of its plot panels.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Dict, Protocol, Sequence, Tuple, runtime_checkable

import numpy as np

if TYPE_CHECKING:
    import numpy.typing as npt

    from fenro.demo.data import Labels
    from fenro.demo.model import Weights


class Attack(Protocol):
    """The signature every attack has."""

    def __call__(self, own: Weights, honest: Sequence[Weights],
                 rng: np.random.Generator) -> Weights: ...


@runtime_checkable
class LabelAttack(Attack, Protocol):
    """An attack on the training data: the attacking clients train on relabel's labels."""

    def relabel(self, y: Labels, classes: int) -> Labels:
        """Returns the labels an attacking client trains on instead of y (never modified)."""
        ...


# Attack strengths. A sign flip is boosted so that, at a fifth of the clients, it outweighs
# the honest majority in a plain mean; the small deviation stays one honest standard
# deviation from the honest mean on every coordinate, inside the honest spread.
SIGN_FLIP_BOOST = 8.0
SCALING_FACTOR = 25.0
NOISE_STD = 3.0
DEVIATION_Z = 1.0
# Inner-product manipulation: every attacker sends -IPM_EPSILON times the honest mean. A small
# epsilon keeps the attackers near the centre of the honest cloud, where a coordinate-wise
# median drifts toward them and a distance-based rule may select them, while their inner
# product with the honest direction is negative; 0.1 is the usual value for that regime.
IPM_EPSILON = 0.1


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


def inner_product(own: Weights, honest: Sequence[Weights],
                  rng: np.random.Generator) -> Weights:
    """-IPM_EPSILON times the honest mean (taken in float64, rounded once to float32)."""
    mean: npt.NDArray[np.float64] = np.stack(honest).mean(axis=0, dtype=np.float64)
    sent: Weights = (-IPM_EPSILON * mean).astype(np.float32)
    return sent


class LabelFlip:
    """Trains on flipped labels, class c becoming classes - 1 - c, and sends that update as
    it is: a poisoned update of honest size and shape, which no norm bound catches."""

    def relabel(self, y: Labels, classes: int) -> Labels:
        flipped: Labels = (classes - 1) - y
        return flipped

    def __call__(self, own: Weights, honest: Sequence[Weights],
                 rng: np.random.Generator) -> Weights:
        return own


label_flip = LabelFlip()


ATTACK_TABLE: Dict[str, Attack] = {
    "sign_flip": sign_flip,
    "scaling": scaling,
    "gaussian": gaussian,
    "small_deviation": small_deviation,
    "inner_product": inner_product,
    "label_flip": label_flip,
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

    honest: the honest updates of the round. Raises ValueError for an unknown attack. For an
    attack on the labels (label_flip), own must come from training on relabel's labels."""
    return find_attack(attack)(own, honest, rng)
