"""The update sources of :meth:`ComposedAggregator.aggregate` for every input kind of
:mod:`fenro.robust._inputs`, each judging the clients one by one.

- Arrays, tensors and flat updates become the arrays that :class:`LocalUpdates` reads (a
  tensor or an item that cannot be read in place stays as it is, and is rejected as
  "not_array" on its own).
- State dicts are read by :class:`StateDictUpdates`, in pieces: the norms, the first
  non-finite values and the distances to the aggregate are the bits of the concatenated
  updates, summed key by key, and the stages receive the state dicts themselves, so that
  every stage takes its per-key or piece-by-piece route (see fenro.robust._api).
"""

from __future__ import annotations

import sys
from collections import Counter
from collections.abc import Mapping
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np

from fenro import _robust
from fenro.robust._composed_audit import Malformed
from fenro.robust._inputs import as_array, two_d

Shape = Tuple[int, int]


def _tensor_type() -> Any:
    torch = sys.modules.get("torch")
    return None if torch is None else getattr(torch, "Tensor", None)


def _readable(x: Any) -> Any:
    """An item as a NumPy array when it can be read in place; else the item itself."""
    try:
        return as_array(x, "updates")
    except TypeError:
        return x


class StateDictUpdates:
    """Clients' state dicts as an :class:`UpdateSource`.

    The round's layout is the one that more than half of the well-formed state dicts share
    (the same keys, each of one shape; key order does not matter, the first such dict's
    order is the layout's); every other dict is malformed ("shape"), as is an item that is
    not a mapping ("not_array") or holds a value that is not a float32 array ("not_array",
    "dtype"). A client's update is the concatenation of its values in the layout's key order,
    so its shape is (1, total values).
    """

    def __init__(self, items: List[Any]) -> None:
        self._items = items
        self._values: List[Optional[Dict[Any, np.ndarray]]] = []
        self._problem: List[Optional[Malformed]] = []
        signatures: List[Optional[frozenset]] = []  # type: ignore[type-arg]
        for d in items:
            values, problem = self._read(d)
            self._values.append(values)
            self._problem.append(problem)
            signatures.append(None if values is None else
                              frozenset((k, v.shape) for k, v in values.items()))
        votes = Counter(s for s in signatures if s is not None)
        typed = sum(votes.values())
        top = votes.most_common(1)
        self.keys: List[Any] = []
        self.shapes: List[Tuple[int, ...]] = []
        self.layout: Optional[frozenset] = None  # type: ignore[type-arg]
        if top and 2 * top[0][1] > typed:
            self.layout = top[0][0]
            first = self._values[signatures.index(self.layout)]
            assert first is not None
            self.keys = list(first)
            self.shapes = [first[k].shape for k in self.keys]
        for i, s in enumerate(signatures):
            if s is not None and s != self.layout:
                self._problem[i] = Malformed(
                    "shape", "keys or value shapes differ from those of the majority"
                    if self.layout is not None else
                    f"no layout of keys and shapes is shared by more than half of the {typed} "
                    "state dicts")

    @staticmethod
    def _read(d: Any) -> Tuple[Optional[Dict[Any, np.ndarray]], Optional[Malformed]]:
        if not isinstance(d, Mapping):
            return None, Malformed("not_array", f"a {type(d).__name__}, not a mapping of arrays")
        out: Dict[Any, np.ndarray] = {}
        for key, x in d.items():
            a = _readable(x)
            if isinstance(a, np.generic):
                a = np.asarray(a)
            if not isinstance(a, np.ndarray):
                return None, Malformed("not_array", f"key {key!r}: a {type(x).__name__}, "
                                       "not an array")
            if a.dtype != np.float32:
                return None, Malformed("dtype", f"key {key!r}: dtype {a.dtype}, expected "
                                       "float32")
            out[key] = a
        return out, None

    def __len__(self) -> int:
        return len(self._items)

    @property
    def size(self) -> int:
        return sum(int(np.prod(s, dtype=np.int64)) for s in self.shapes)

    def inspect(self, indices: Sequence[int]) -> List[Union[Shape, Malformed]]:
        out: List[Union[Shape, Malformed]] = []
        for i in indices:
            problem = self._problem[i]
            out.append(problem if problem is not None else (1, self.size))
        return out

    def _pieces(self, indices: Sequence[int]) -> List[List[np.ndarray]]:
        rows = [self._values[i] for i in indices]
        return [[two_d(v[k]) for v in rows] for k in self.keys]  # type: ignore[index]

    def screen(self, indices: Sequence[int]
               ) -> Tuple[Sequence[float], Dict[int, Tuple[int, int, float]]]:
        norms, bad = _robust._pieces_screen(self._pieces(indices))
        return norms, {indices[k]: (row, column, value) for k, row, column, value in bad}

    def values(self, indices: Sequence[int]) -> List[Dict[Any, np.ndarray]]:
        rows = [self._values[i] for i in indices]
        return [{k: v[k] for k in self.keys} for v in rows]  # type: ignore[index]

    def distances(self, indices: Sequence[int], point: Any) -> Sequence[float]:
        return list(_robust._pieces_distances(self._pieces(indices),
                                              [two_d(np.asarray(point[k])) for k in self.keys]))


def local_source(updates: object) -> Tuple[Any, Callable[[Any], Any]]:
    """(source, back): the UpdateSource that reads `updates`, and the function that turns the
    round's aggregate into the caller's kind (a torch tensor, a flat update, a dict)."""
    from fenro.robust._composed import LocalUpdates

    tensor_type = _tensor_type()
    torch = False

    def out(a: Any) -> Any:
        if isinstance(a, dict):
            return {k: out(v) for k, v in a.items()}
        return sys.modules["torch"].from_numpy(a) if torch else a

    if hasattr(updates, "__dlpack__") and not isinstance(updates, np.ndarray):
        torch = tensor_type is not None and isinstance(updates, tensor_type)
        updates = as_array(updates, "updates")
    if isinstance(updates, np.ndarray) and updates.ndim == 2:
        return LocalUpdates(updates[:, None, :]), lambda a: out(a.reshape(-1))
    if isinstance(updates, (list, tuple)) and updates:
        items = list(updates)
        if tensor_type is not None:
            torch = any(isinstance(x, tensor_type) for x in items) or any(
                isinstance(x, Mapping) and any(isinstance(v, tensor_type) for v in x.values())
                for x in items)
        if isinstance(items[0], Mapping):
            return StateDictUpdates(items), out
        items = [_readable(x) for x in items]
        if all(isinstance(x, np.ndarray) and x.ndim == 1 for x in items):
            return (LocalUpdates([x.reshape(1, -1) for x in items]),
                    lambda a: out(a.reshape(-1)))
        return LocalUpdates(items), out
    return LocalUpdates(updates), out
