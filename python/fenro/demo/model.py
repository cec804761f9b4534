"""The model every client trains: softmax regression on features with a bias column.

The weights are a (features + 1) x classes float32 matrix, and so is every update: the
change of the weights after a client's local training."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np

if TYPE_CHECKING:
    import numpy.typing as npt

    from fenro.demo.data import Features, Labels

    Weights = npt.NDArray[np.float32]


def _softmax(z: npt.NDArray[np.floating[Any]]) -> npt.NDArray[np.floating[Any]]:
    z = z - z.max(axis=1, keepdims=True)
    e = np.exp(z)
    p: npt.NDArray[np.floating[Any]] = e / e.sum(axis=1, keepdims=True)
    return p


def local_update(w: Weights, x: Features, y: Labels, rng: np.random.Generator,
                 epochs: int = 2, batch: int = 16, lr: float = 0.5) -> Weights:
    """Runs minibatch SGD on one client's data from w; returns the change of the weights.
    w itself is never modified."""
    w_local = w.copy()
    onehot = np.eye(w.shape[1], dtype=np.float32)[y]
    for _ in range(epochs):
        order = rng.permutation(len(x))
        for start in range(0, len(x), batch):
            b = order[start:start + batch]
            grad = x[b].T @ (_softmax(x[b] @ w_local) - onehot[b]) / len(b)
            w_local -= lr * grad.astype(np.float32)
    return (w_local - w).astype(np.float32)


def accuracy(w: Weights, x: Features, y: Labels) -> float:
    """Returns the fraction of rows of x whose highest-scoring class is their label."""
    return float(np.mean(np.argmax(x @ w, axis=1) == y))
