"""The aggregation rules the demo compares, one entry per rule in ``METHOD_TABLE``.

A rule is configured once per run, on its first round, from the number of clients n, the
number of Byzantine clients f and the median update norm of that round (most clients are
honest, so the median is an honest norm). A configuration is either an ``AggregatorConfig``
(a ``fenro.ByzantineAggregator``) or a ``DefenseConfig`` (a ``fenro.robust.ComposedAggregator``
from its one-line defense text, for the newer rules and the chains of pre-aggregators). A new
rule is a configuring function plus one entry in the table; the table's order is the order of
``METHODS`` and of the demo's table rows.
"""

from __future__ import annotations

from typing import (TYPE_CHECKING, Callable, Dict, NamedTuple, Optional, Protocol, Sequence, Tuple,
                    Union)

from fenro import ByzantineAggregator

if TYPE_CHECKING:
    from fenro.demo.model import Weights

# Centered clipping: its radius is this multiple of the median update norm of the first round
# (a radius above the honest spread makes it a plain mean: each step is then the mean step);
# it takes this many steps from the median.
CC_TAU_FACTOR = 0.2
CC_ITERATIONS = 3
_CC = f"tau={{tau}}, iterations={CC_ITERATIONS}"  # its parameters in a defense template

# The "guarded" run: FedAvg behind a norm bound and a reputation ban. The bound is this
# multiple of the median update norm of the first round; clients are banned once their score
# falls below the threshold.
GUARD_NORM_FACTOR = 3.0
GUARD_BAN_THRESHOLD = 0.3


class AggregatorConfig(NamedTuple):
    """The arguments of one ByzantineAggregator; the defaults are the constructor's."""

    method: str
    trim_fraction: float = 0.0
    ban_threshold: float = 0.0
    adaptive_trim: bool = False
    norm_bound: Optional[float] = None

    def build(self) -> ByzantineAggregator:
        """Returns a new aggregator with this configuration and no reputation yet."""
        return ByzantineAggregator(self.method, self.trim_fraction,
                                   ban_threshold=self.ban_threshold,
                                   adaptive_trim=self.adaptive_trim, norm_bound=self.norm_bound)


class Aggregator(Protocol):
    """What a run needs of a configured rule: a round with client ids, and the scores."""

    def aggregate(self, updates: Sequence[Weights], client_ids: Sequence[str]) -> Weights:
        """Returns the round's aggregate; raises ValueError when the rule refuses the round."""
        ...

    def get_reputation(self, client_id: str) -> float:
        """The client's score."""
        ...


class _ComposedRun:
    """A ComposedAggregator seen as an Aggregator: its round without the audit."""

    def __init__(self, defense: str) -> None:
        from fenro.robust import ComposedAggregator

        self.inner = ComposedAggregator(defense)

    def aggregate(self, updates: Sequence[Weights], client_ids: Sequence[str]) -> Weights:
        aggregate, _ = self.inner.aggregate(updates, client_ids=client_ids)
        return aggregate

    def get_reputation(self, client_id: str) -> float:
        return self.inner.get_reputation(client_id)


class DefenseConfig(NamedTuple):
    """A fenro.robust.ComposedAggregator's defense text (for example
    "nnm(f=4) | krum(f=4)"); its reputation rule is the composed aggregator's default, with
    thresholds relative to the round's median distance."""

    defense: str

    def build(self) -> Aggregator:
        """Returns a new composed aggregator with this defense and no reputation yet."""
        return _ComposedRun(self.defense)


# (clients n, Byzantine clients f, median update norm of the first round) -> configuration
Configure = Callable[[int, int, float], Union[AggregatorConfig, DefenseConfig]]


class Method(NamedTuple):
    """One rule of the demo: how to configure it, a line explaining it under the table
    (None: its name says it all), and whether a run without --methods includes it."""

    configure: Configure
    note: Optional[str] = None
    in_default: bool = True


def _trimmed_mean(n: int, f: int, first_round_norm: float) -> AggregatorConfig:
    # Trim at least the Byzantine share from each end (ceil(t * n) >= f).
    return AggregatorConfig("trimmed_mean", trim_fraction=min(0.45, (f + 0.5) / n))


def _multi_krum(n: int, f: int, first_round_norm: float) -> AggregatorConfig:
    # Average every update Krum can vouch for: m = n - 2f - 2, the largest safe m.
    return AggregatorConfig(f"multi_krum:{f}:{max(1, n - 2 * f - 2)}")


def _guarded(n: int, f: int, first_round_norm: float) -> AggregatorConfig:
    return AggregatorConfig("fedavg", norm_bound=GUARD_NORM_FACTOR * first_round_norm,
                            ban_threshold=GUARD_BAN_THRESHOLD)


def _defense(template: str) -> Configure:
    """Configures a composed aggregator from a defense text in which {f} stands for the
    number of Byzantine clients, {trim} for the trimmed mean's fraction (as the trimmed_mean
    row's) and {tau} for centered clipping's radius."""

    def configure(n: int, f: int, first_round_norm: float) -> DefenseConfig:
        return DefenseConfig(template.format(
            f=f, trim=repr(min(0.45, (f + 0.5) / n)), tau=repr(CC_TAU_FACTOR * first_round_norm)))

    return configure


METHOD_TABLE: Dict[str, Method] = {
    "fedavg": Method(lambda n, f, norm: AggregatorConfig("fedavg")),
    "trimmed_mean": Method(_trimmed_mean),
    "median": Method(lambda n, f, norm: AggregatorConfig("median")),
    "krum": Method(lambda n, f, norm: AggregatorConfig(f"krum:{f}")),
    "multi_krum": Method(_multi_krum),
    "guarded": Method(_guarded, note=(
        f"fedavg behind a norm bound ({GUARD_NORM_FACTOR:g} x the median update norm of "
        f"round 1) and a reputation ban (below {GUARD_BAN_THRESHOLD:g})")),
    "geometric_median": Method(_defense("geometric_median")),
    "centered_clipping": Method(_defense(f"centered_clipping({_CC})"), note=(
        f"{CC_ITERATIONS} steps from the median, radius {CC_TAU_FACTOR:g} x the median update "
        "norm of round 1")),
    "bulyan": Method(_defense("bulyan(f={f})")),
    "meamed": Method(_defense("meamed(f={f})")),
    "nnm_median": Method(_defense("nnm(f={f}) | median"),
                         note="nnm(f) | median, f = the number of Byzantine clients"),
    "bucketing_gm": Method(_defense("bucketing(s=2, seed=0) | geometric_median"),
                           note="bucketing(s=2) | geometric_median"),
    # Only with --methods: the defaults must fit in a minute, and these add little to the
    # rows above.
    "nnm_krum": Method(_defense("nnm(f={f}) | krum(f={f})"), note="nnm(f) | krum(f)",
                       in_default=False),
    "nnm_cc": Method(_defense(f"nnm(f={{f}}) | centered_clipping({_CC})"),
                     note="nnm(f) | centered_clipping as in its row", in_default=False),
    "bucketing_median": Method(_defense("bucketing(s=2, seed=0) | median"),
                               note="bucketing(s=2) | median", in_default=False),
    "bucketing_cc": Method(_defense(f"bucketing(s=2, seed=0) | centered_clipping({_CC})"),
                           note="bucketing(s=2) | centered_clipping as in its row",
                           in_default=False),
    "arc_trimmed_mean": Method(_defense("arc(f={f}) | trimmed_mean(trim={trim})"),
                               note="arc(f) | trimmed_mean as in its row", in_default=False),
}
METHODS: Tuple[str, ...] = tuple(METHOD_TABLE)
# The rules of a run without --methods: the whole table would not fit the demo's minute.
DEFAULT_METHODS: Tuple[str, ...] = tuple(m for m in METHODS if METHOD_TABLE[m].in_default)


def find_method(name: str) -> Method:
    """Returns the rule called name; raises ValueError for an unknown name."""
    try:
        return METHOD_TABLE[name]
    except KeyError:
        raise ValueError(f"unknown method {name!r}") from None
