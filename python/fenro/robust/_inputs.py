"""The input kinds of :mod:`fenro.robust`'s functions, and results given back in the same kind.

Every function accepts, besides what :mod:`fenro._robust` reads directly (a sequence of 2-D
float32 NumPy arrays, or one 3-D float32 array of shape (n, rows, cols)):

- **flat updates**: one 2-D array of shape (n, d), each row one update, or a sequence of 1-D
  arrays of one length. A rule returns a 1-D array of d values, a pre-aggregator a 2-D array
  (n', d). (A sequence of 2-D arrays and a 3-D array keep their meaning: n matrix updates.)
- **tensors** that export DLPack (``__dlpack__``), a CPU ``torch.Tensor`` for one, anywhere an
  array may stand: read where they lie, a ``torch.Tensor`` through its own ``numpy()`` view,
  any other exporter through ``numpy.from_dlpack``; torch is never imported here. A tensor
  that requires grad is read through ``detach()``, which shares its memory. When any input is
  a ``torch.Tensor`` the results are ``torch.Tensor`` too, made by ``torch.from_numpy`` on
  fenro's result memory (no copy); other DLPack producers give NumPy results.
- **state dicts**: a sequence of mappings (``model.state_dict()`` for one), each with the
  same keys, key k holding an array or tensor of one shape in every update. Update i is read as
  the concatenation of its values in the first mapping's key order, each in row-major order;
  a rule returns a dict of those keys, a pre-aggregator a list of such dicts. The values are
  never concatenated when the rule does not need it: coordinate-wise rules and pre-aggregators
  run key by key, and the rules that measure whole updates add up their per-key parts
  exactly, so every result has the bits of the same function on the concatenated updates.

Nothing here imports torch; a user who never passes a tensor never loads it.
"""

from __future__ import annotations

import sys
from collections.abc import Mapping
from typing import Any, Callable, Dict, List, Sequence, Tuple

import numpy as np

from fenro import _robust

# How the caller gave the updates, and so how results go back.
PASS, FLAT, DICTS = "pass", "flat", "dicts"


def _torch_tensor_type() -> Any:
    torch = sys.modules.get("torch")
    return None if torch is None else getattr(torch, "Tensor", None)


def _is_torch(x: object) -> bool:
    tensor_type = _torch_tensor_type()
    return tensor_type is not None and isinstance(x, tensor_type)


def _is_tensor(x: object) -> bool:
    return not isinstance(x, np.ndarray) and hasattr(x, "__dlpack__")


def as_array(x: Any, where: str) -> Any:
    """x as a NumPy array when it exports DLPack, read in place; anything else unchanged (the
    caller's checks then name it). Raises TypeError for a tensor NumPy cannot read (one on
    another device, or of a dtype NumPy lacks).

    A torch.Tensor on the CPU is read through its own ``numpy()``, a view of the same memory
    like DLPack's but about four times cheaper to make (a state dict has hundreds of
    tensors); where that refuses, DLPack decides."""
    if not _is_tensor(x):
        return x
    if getattr(x, "requires_grad", False):
        x = x.detach()
    view = getattr(x, "numpy", None) if _is_torch(x) else None
    if view is not None:
        try:
            return view()
        except (RuntimeError, TypeError, ValueError):
            pass
    from_dlpack = getattr(np, "from_dlpack", None)
    if from_dlpack is None:
        raise TypeError(f"{where}: reading a {type(x).__name__} needs NumPy 1.22 or newer "
                        "(numpy.from_dlpack)")
    try:
        return from_dlpack(x)
    except (BufferError, RuntimeError, TypeError, ValueError) as e:
        raise TypeError(f"{where}: cannot read a {type(x).__name__} in place ({e}); "
                        "pass a CPU float32 tensor") from None


class Prepared:
    """The updates as fenro._robust reads them, and how to give its results back.

    Attributes:
        mode: PASS (give `value` to the function as it is), FLAT (n flat updates as an
            (n, 1, d) view; results lose the unit axis) or DICTS (state dicts, in pieces).
        value: PASS, FLAT: the `updates` argument for fenro._robust.
        torch: True when a torch.Tensor was among the inputs.
        keys, shapes, pieces: DICTS: the keys in order, each key's value shape, and per key
            the n values as 2-D float32 arrays (row-major order of the value, read in place
            where NumPy can reshape without a copy).
    """

    def __init__(self, mode: str, value: Any = None, torch: bool = False) -> None:
        self.mode = mode
        self.value = value
        self.torch = torch
        self.keys: List[Any] = []
        self.shapes: List[Tuple[int, ...]] = []
        self.pieces: List[List[np.ndarray]] = []

    # --- results -------------------------------------------------------------------------

    def out(self, array: np.ndarray) -> Any:
        """A NumPy result in the caller's kind (array or tensor)."""
        if self.torch:
            return sys.modules["torch"].from_numpy(array)
        return array

    def rule_result(self, aggregate: np.ndarray) -> Any:
        """A rule's (rows, cols) result as the caller gave the updates."""
        if self.mode == FLAT:
            return self.out(aggregate.reshape(-1))
        if self.mode == DICTS:
            return self.split(aggregate[0])
        return self.out(aggregate)

    def stack_result(self, stack: np.ndarray) -> Any:
        """A pre-aggregator's (n', rows, cols) result as the caller gave the updates."""
        if self.mode == FLAT:
            return self.out(stack.reshape(stack.shape[0], -1))
        if self.mode == DICTS:
            return [self.split(row[0]) for row in stack]
        return self.out(stack)

    def split(self, flat: np.ndarray) -> Dict[Any, Any]:
        """One concatenated update (1-D) as a dict of views of its memory."""
        out: Dict[Any, Any] = {}
        offset = 0
        for key, shape in zip(self.keys, self.shapes):
            size = int(np.prod(shape, dtype=np.int64))
            out[key] = self.out(flat[offset:offset + size].reshape(shape))
            offset += size
        return out

    def key_result(self, per_key: List[np.ndarray]) -> Dict[Any, Any]:
        """Per-key rule results (each 2-D) as a dict of the keys' shapes."""
        return {key: self.out(a.reshape(shape))
                for key, shape, a in zip(self.keys, self.shapes, per_key)}

    def key_stack_result(self, per_key: List[np.ndarray]) -> List[Dict[Any, Any]]:
        """Per-key pre-aggregator results (each (n', rows, cols)) as n' dicts."""
        count = per_key[0].shape[0] if per_key else 0
        return [{key: self.out(a[j].reshape(shape))
                 for key, shape, a in zip(self.keys, self.shapes, per_key)}
                for j in range(count)]

    # --- state dicts ---------------------------------------------------------------------

    def concatenated(self) -> np.ndarray:
        """The updates concatenated into one new (n, 1, D) float32 array (the rules that
        have no per-key form read this copy)."""
        n = len(self.pieces[0]) if self.pieces else 0
        sizes = [int(np.prod(s, dtype=np.int64)) for s in self.shapes]
        out = np.empty((n, 1, sum(sizes)), np.float32)
        offset = 0
        for size, values in zip(sizes, self.pieces):
            for i, v in enumerate(values):
                out[i, 0, offset:offset + size].reshape(v.shape)[...] = v
            offset += size
        return out

    def point_pieces(self, point: Any, name: str) -> List[np.ndarray]:
        """A dict of the updates' keys (a center, say) as one 2-D array per key."""
        if not isinstance(point, Mapping):
            raise TypeError(f"{name}: a mapping of the updates' keys, like the updates, got "
                            f"{type(point).__name__}")
        check_keys(point, self.keys, name)
        out = []
        for key, shape in zip(self.keys, self.shapes):
            v = value_of(point[key], f"{name}[{key!r}]")
            if v.shape != shape:
                raise ValueError(f"Dimension mismatch in updates: key {key!r} has shape "
                                 f"{shape} in the updates and {v.shape} in {name}")
            out.append(two_d(v))
        return out


def two_d(a: np.ndarray) -> np.ndarray:
    """A value as the 2-D array of its row-major elements: (1, size) for 0-D and 1-D values,
    (first axis, the rest) otherwise; a view whenever NumPy can make one."""
    if a.ndim == 2:
        return a
    if a.ndim < 2:
        return a.reshape(1, -1)
    return a.reshape(a.shape[0], -1)


def value_of(x: Any, where: str) -> np.ndarray:
    """One value of a state dict as a float32 NumPy array, or TypeError naming it."""
    a = as_array(x, where)
    if isinstance(a, np.generic):
        a = np.asarray(a)  # a NumPy scalar: a 0-D value
    if not isinstance(a, np.ndarray):
        raise TypeError(f"{where}: cannot convert {type(x).__name__} to a float32 array")
    if a.dtype != np.float32:
        raise TypeError(f"{where}: dtype {a.dtype}, expected float32")
    return a


def check_keys(d: Mapping, keys: List[Any], where: str) -> None:  # type: ignore[type-arg]
    if len(d) == len(keys) and all(k in d for k in keys):
        return
    missing = [k for k in keys if k not in d]
    extra = [k for k in d if k not in set(keys)]
    parts = ([f"missing {missing!r}"] if missing else []) + \
        ([f"extra {extra!r}"] if extra else [])
    raise ValueError(f"{where}: not the keys of update 0 ({', '.join(parts)})")


def _prepare_dicts(items: List[Any], tensor_type: Any) -> Prepared:
    first = items[0]
    keys = list(first.keys())
    for i, d in enumerate(items):
        if not isinstance(d, Mapping):
            raise TypeError(f"updates: item {i} is a {type(d).__name__}, not a mapping like "
                            "item 0")
        if i:
            check_keys(d, keys, f"updates: update {i}")
    prep = Prepared(DICTS)
    prep.keys = keys
    for key in keys:
        values = []
        shape: Tuple[int, ...] = ()
        for i, d in enumerate(items):
            x = d[key]
            if tensor_type is not None and isinstance(x, tensor_type):
                prep.torch = True
            a = value_of(x, f"updates: update {i}, key {key!r}")
            if i == 0:
                shape = a.shape
            elif a.shape != shape:
                raise ValueError(f"Dimension mismatch in updates: key {key!r} has shape "
                                 f"{shape} in update 0 and {a.shape} in update {i}")
            values.append(two_d(a))
        prep.shapes.append(tuple(int(s) for s in shape))
        prep.pieces.append(values)
    return prep


def prepare(updates: Any) -> Prepared:
    """Classifies `updates` (see the module's docstring). Inputs of the kinds fenro._robust
    reads itself pass unchanged, so their checks and messages are its own."""
    tensor_type = _torch_tensor_type()
    if _is_tensor(updates):
        torch = tensor_type is not None and isinstance(updates, tensor_type)
        a = as_array(updates, "updates")
        prep = prepare(a)
        prep.torch = torch
        return prep
    if isinstance(updates, np.ndarray):
        if updates.ndim == 2:
            return Prepared(FLAT, updates[:, None, :])
        return Prepared(PASS, updates)
    if not isinstance(updates, (list, tuple)) or not updates:
        return Prepared(PASS, updates)
    first = updates[0]
    if type(first) is np.ndarray and first.ndim != 1:
        # The common case, kept cheap: arrays that fenro._robust reads (or refuses) itself.
        for x in updates:
            if type(x) is not np.ndarray:
                break
        else:
            return Prepared(PASS, updates)
    if isinstance(first, Mapping):
        return _prepare_dicts(list(updates), tensor_type)
    if all(type(x) is np.ndarray for x in updates):
        arrays: Sequence[Any] = updates
        torch = False
    else:
        torch = tensor_type is not None and any(isinstance(x, tensor_type) for x in updates)
        arrays = [as_array(x, "updates") for x in updates]
    if all(isinstance(x, np.ndarray) and x.ndim == 1 for x in arrays):
        return Prepared(FLAT, [x.reshape(1, -1) for x in arrays], torch)
    return Prepared(PASS, arrays if arrays is not updates else updates, torch)


def weights_of(weights: Any) -> Any:
    """Weights given as a tensor, read as a NumPy array."""
    return as_array(weights, "weights")


def first_value_error(prep: Prepared) -> None:
    """After a per-key call failed with ValueError: raises the update validation's first
    failure on the concatenated updates (a non-finite value in an earlier update or key wins
    over the failure seen), or returns so that the caller re-raises its own."""
    _robust._pieces_validate(prep.pieces)


def per_key(prep: Prepared, call: Callable[[List[np.ndarray]], Any]) -> List[Any]:
    """call(values of one key) for every key in order, with the validation order of the
    concatenated updates."""
    try:
        return [call(values) for values in prep.pieces]
    except ValueError:
        first_value_error(prep)
        raise


def numpy_kind(x: Any, prep: Prepared, name: str) -> Any:
    """A further argument of the updates' kind (a center) as fenro._robust reads it."""
    if x is None:
        return None
    if prep.mode == DICTS:
        return None  # per-key callers convert it with point_pieces
    a = as_array(x, name)
    if prep.mode == FLAT and isinstance(a, np.ndarray) and a.ndim == 1:
        return a.reshape(1, -1)
    return a


def concatenated_point(pieces: List[np.ndarray]) -> np.ndarray:
    """One update given in pieces as a new (1, D) array."""
    return np.concatenate([p.reshape(-1) for p in pieces]).reshape(1, -1)
