"""The demo's data: the labelled set and its label-skewed split across clients."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, List, NamedTuple

import numpy as np

if TYPE_CHECKING:  # NumPy's generic types cannot be subscripted at run time on Python 3.8
    import numpy.typing as npt

    Features = npt.NDArray[np.float32]
    Labels = npt.NDArray[np.integer[Any]]
    Indices = npt.NDArray[np.int64]


class Dataset(NamedTuple):
    """A train/test split; every row of x ends with a bias column of ones.

    A tuple, so that ``x_train, y_train, x_test, y_test, classes = load_data(...)`` works."""

    x_train: Features
    y_train: Labels
    x_test: Features
    y_test: Labels
    classes: int


def load_data(kind: str, seed: int) -> Dataset:
    """Returns scikit-learn's bundled digits (kind "digits") or a synthetic set made from the
    seed (any other kind), with a fifth of the rows held out for testing."""
    rng = np.random.default_rng([seed, 1])
    x: Features
    y: Labels
    if kind == "digits":
        from sklearn.datasets import load_digits

        digits = load_digits()
        x = digits.data.astype(np.float32) / 16.0
        y = digits.target.astype(np.int64)
    else:
        # Ten Gaussian blobs in 32 dimensions, overlapping enough to leave work to do.
        classes, dim, per_class = 10, 32, 180
        centres = rng.normal(0.0, 1.0, size=(classes, dim))
        blobs = np.concatenate([c + rng.normal(0.0, 1.6, size=(per_class, dim)) for c in centres])
        y = np.repeat(np.arange(classes), per_class)
        x = blobs.astype(np.float32)
    x = np.hstack([x, np.ones((len(x), 1), np.float32)])
    order = rng.permutation(len(x))
    n_test = len(x) // 5
    test, train = order[:n_test], order[n_test:]
    return Dataset(x[train], y[train], x[test], y[test], int(y.max()) + 1)


def dirichlet_split(y: Labels, clients: int, alpha: float, rng: np.random.Generator,
                    min_size: int = 8) -> List[Indices]:
    """Splits sample indices across clients with per-class Dirichlet(alpha) proportions.

    Smaller alpha gives stronger label skew. Redraws until every client holds at least
    min_size samples, so that no client is left without data to train on; raises SystemExit
    after 1000 draws that leave some client short."""
    classes = int(y.max()) + 1
    for _ in range(1000):
        parts: List[List[int]] = [[] for _ in range(clients)]
        for c in range(classes):
            idx = rng.permutation(np.flatnonzero(y == c))
            cuts = (np.cumsum(rng.dirichlet([alpha] * clients))[:-1] * len(idx)).astype(int)
            for part, chunk in zip(parts, np.split(idx, cuts)):
                part.extend(chunk.tolist())
        if min(len(p) for p in parts) >= min_size:
            return [np.array(sorted(p), dtype=np.int64) for p in parts]
    raise SystemExit("cannot split the data: too many clients for the data set")
