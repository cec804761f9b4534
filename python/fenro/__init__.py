"""fenro: Byzantine-robust aggregation of federated-learning model updates."""

from fenro import _core  # noqa: F401

__version__ = "0.1.0"
