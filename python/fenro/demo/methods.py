"""The aggregation rules the demo compares, one entry per rule in ``METHOD_TABLE``.

A rule is configured once per run, on its first round, from the number of clients n, the
number of Byzantine clients f and the median update norm of that round (most clients are
honest, so the median is an honest norm). A new rule is a configuring function plus one entry
in the table; the table's order is the order of ``METHODS`` and of the demo's table rows.
"""

from __future__ import annotations

from typing import Callable, Dict, NamedTuple, Optional, Tuple

from fenro import ByzantineAggregator

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


# (clients n, Byzantine clients f, median update norm of the first round) -> configuration
Configure = Callable[[int, int, float], AggregatorConfig]


class Method(NamedTuple):
    """One rule of the demo: how to configure it, and a line explaining it under the table
    (None: its name says it all)."""

    configure: Configure
    note: Optional[str] = None


def _trimmed_mean(n: int, f: int, first_round_norm: float) -> AggregatorConfig:
    # Trim at least the Byzantine share from each end (ceil(t * n) >= f).
    return AggregatorConfig("trimmed_mean", trim_fraction=min(0.45, (f + 0.5) / n))


def _multi_krum(n: int, f: int, first_round_norm: float) -> AggregatorConfig:
    # Average every update Krum can vouch for: m = n - 2f - 2, the largest safe m.
    return AggregatorConfig(f"multi_krum:{f}:{max(1, n - 2 * f - 2)}")


def _guarded(n: int, f: int, first_round_norm: float) -> AggregatorConfig:
    return AggregatorConfig("fedavg", norm_bound=GUARD_NORM_FACTOR * first_round_norm,
                            ban_threshold=GUARD_BAN_THRESHOLD)


METHOD_TABLE: Dict[str, Method] = {
    "fedavg": Method(lambda n, f, norm: AggregatorConfig("fedavg")),
    "trimmed_mean": Method(_trimmed_mean),
    "median": Method(lambda n, f, norm: AggregatorConfig("median")),
    "krum": Method(lambda n, f, norm: AggregatorConfig(f"krum:{f}")),
    "multi_krum": Method(_multi_krum),
    "guarded": Method(_guarded, note=(
        f"fedavg behind a norm bound ({GUARD_NORM_FACTOR:g} x the median update norm of "
        f"round 1) and a reputation ban (below {GUARD_BAN_THRESHOLD:g})")),
}
METHODS: Tuple[str, ...] = tuple(METHOD_TABLE)


def find_method(name: str) -> Method:
    """Returns the rule called name; raises ValueError for an unknown name."""
    try:
        return METHOD_TABLE[name]
    except KeyError:
        raise ValueError(f"unknown method {name!r}") from None
