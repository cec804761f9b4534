"""fenro: Byzantine-robust aggregation of federated-learning model updates."""

import sys as _sys

from fenro._core import ByzantineAggregator, ReputationManager
from fenro._version import __version__
__all__ = ["ByzantineAggregator", "ReputationManager", "__version__"]


def _publish_class_signatures() -> None:
    # CPython before 3.10 strips the signature line from a heap type's docstring, so
    # inspect.signature() cannot read it there; publish the same signatures explicitly.
    import inspect

    def sig(*params: "tuple[str, object]") -> inspect.Signature:
        return inspect.Signature(
            [
                inspect.Parameter(name, inspect.Parameter.POSITIONAL_OR_KEYWORD, default=default)
                for name, default in params
            ]
        )

    empty = inspect.Parameter.empty
    ByzantineAggregator.__signature__ = sig(  # type: ignore[attr-defined]
        ("method", empty),
        ("trim_fraction", empty),
        ("ban_threshold", 0.0),
        ("adaptive_trim", False),
        ("norm_bound", None),
    )
    ReputationManager.__signature__ = sig(("ban_threshold", 0.2))  # type: ignore[attr-defined]


if _sys.version_info < (3, 10):
    _publish_class_signatures()
