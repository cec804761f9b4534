"""fenro.robust's input kinds: flat (n, d) updates, DLPack tensors (torch where it is installed)
and state dicts. Every function on state dicts gives the bits, the data and the errors of the
same function on the concatenated arrays, for every thread count."""

import dataclasses
import hashlib
import os

import numpy as np
import pytest
from conftest import error_text, run_python

from fenro import robust

N = 11


def weights(n):
    return [float(w) for w in np.linspace(0.0, 2.0, n)]


# name -> call(updates); every function, plain and _info.
CALLS = {
    "fedavg": robust.fedavg,
    "fedavg_weighted": lambda u: robust.fedavg(u, weights(N)),
    "trimmed_mean": lambda u: robust.trimmed_mean(u, trim=0.2),
    "median": robust.median,
    "meamed": lambda u: robust.meamed(u, f=2),
    "krum": lambda u: robust.krum(u, f=2),
    "krum_info": lambda u: robust.krum_info(u, f=2),
    "multi_krum": lambda u: robust.multi_krum(u, f=2, m=4),
    "multi_krum_info": lambda u: robust.multi_krum_info(u, f=1),
    "geometric_median": lambda u: robust.geometric_median(u, weights(N), max_iter=20),
    "geometric_median_info": lambda u: robust.geometric_median_info(u, nu=1e-3),
    "centered_clipping": lambda u: robust.centered_clipping(u, tau=0.7, iterations=3),
    "centered_clipping_info": lambda u: robust.centered_clipping_info(u, tau=2.0),
    "bulyan": lambda u: robust.bulyan(u, f=2),
    "bulyan_info": lambda u: robust.bulyan_info(u, f=1),
    "nnm": lambda u: robust.nnm(u, f=3),
    "nnm_info": lambda u: robust.nnm_info(u, f=2),
    "bucketing": lambda u: robust.bucketing(u, s=3, seed=7),
    "bucketing_info": lambda u: robust.bucketing_info(u, s=2, seed=2**64 - 1),
    "clip": lambda u: robust.clip(u, c=3.0),
    "clip_info": lambda u: robust.clip_info(u, c=2.0),
    "arc": lambda u: robust.arc(u, f=3),
    "arc_info": lambda u: robust.arc_info(u, f=2),
}

# Values of every rank, one of them a transposed (non-contiguous) view, one a 0-D scalar, one
# with no elements.
SHAPES = {"conv.weight": (4, 3, 2, 2), "conv.bias": (4,), "scalar": (), "fc.weight": (5, 6),
          "empty": (0, 3), "fc.bias": (5,)}


def state_dicts(seed=0, ties=False):
    rng = np.random.default_rng(seed)
    out = []
    for i in range(N):
        d = {}
        for key, shape in SHAPES.items():
            if ties:
                v = rng.integers(-1, 2, shape).astype(np.float32)
            else:
                v = (rng.standard_normal(shape) * (1 + i % 3)).astype(np.float32)
            if key == "fc.weight":
                v = np.ascontiguousarray(v.T).T  # the same values, column-major
            d[key] = np.asarray(v)
        out.append(d)
    return out


def concatenated(dicts):
    return np.stack([np.concatenate([np.ravel(v) for v in d.values()])[None] for d in dicts])


def canon(out):
    """A result as comparable data: arrays as their C-order bytes (a dict or a list of dicts
    as the concatenation of its values), info objects field by field."""
    if dataclasses.is_dataclass(out):
        return tuple(canon(getattr(out, f.name)) for f in dataclasses.fields(out))
    if isinstance(out, dict):
        return b"".join(np.ascontiguousarray(np.asarray(v)).tobytes() for v in out.values())
    if isinstance(out, list):
        return b"".join(canon(d) for d in out)
    if hasattr(out, "__array__") or isinstance(out, np.ndarray):
        return np.ascontiguousarray(np.asarray(out)).tobytes()
    return out


@pytest.mark.parametrize("name", CALLS)
@pytest.mark.parametrize("ties", [False, True], ids=["random", "ties"])
def test_state_dicts_give_the_bits_of_the_concatenated_updates(name, ties):
    dicts = state_dicts(seed=3, ties=ties)
    out = CALLS[name](dicts)
    assert canon(out) == canon(CALLS[name](concatenated(dicts)))
    first = out.aggregate if hasattr(out, "aggregate") else out
    for d in (first if isinstance(first, list) else [first]):
        if isinstance(d, dict):  # a dict of the keys, each value of its key's shape
            assert list(d) == list(SHAPES)
            assert [v.shape for v in d.values()] == list(SHAPES.values())


def test_every_thread_count_gives_the_same_bits():
    code = """
        import hashlib, sys
        sys.path.insert(0, sys.argv[1])
        from test_robust_inputs import CALLS, canon, concatenated, state_dicts
        h = hashlib.sha256()
        for ties in (False, True):
            dicts = state_dicts(seed=5, ties=ties)
            for name, call in CALLS.items():
                got = canon(call(dicts))
                assert got == canon(call(concatenated(dicts))), name
                h.update(repr(got).encode())
        print(h.hexdigest())
        """
    here = os.path.dirname(os.path.abspath(__file__))
    digests = set()
    for threads in "123":
        env = {k: v for k, v in os.environ.items()
               if k not in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")}
        r = run_python(code, here, env={**env, "FENRO_NUM_THREADS": threads})
        assert r.returncode == 0, r.stderr
        digests.add(r.stdout)
    assert len(digests) == 1


def test_flat_updates_are_n_rows_and_results_lose_the_unit_axis():
    u = concatenated(state_dicts())[:, 0, :]
    for name in ("median", "krum", "nnm", "bucketing_info"):
        want = CALLS[name](u[:, None, :])
        for given in (u, list(u)):
            got = CALLS[name](given)
            assert canon(got) == canon(want)
            array = got.buckets if name == "bucketing_info" else got
            assert array.ndim == (2 if name in ("nnm", "bucketing_info") else 1)


def test_state_dict_errors_match_the_concatenated_ones_or_name_the_key():
    dicts = state_dicts()
    # A NaN in a later key of update 2 comes before one in an earlier key of update 6.
    dicts[6]["conv.weight"] = dicts[6]["conv.weight"].copy()
    dicts[6]["conv.weight"][1, 0, 1, 1] = np.nan
    dicts[2]["fc.bias"] = np.full(5, np.inf, np.float32)
    for name in ("median", "trimmed_mean", "krum", "multi_krum", "clip", "bulyan", "nnm"):
        assert error_text(ValueError, CALLS[name], dicts) == \
            error_text(ValueError, CALLS[name], concatenated(dicts)), name
    assert error_text(ValueError, robust.krum, state_dicts()[:4], f=1) == \
        "Insufficient quorum: need 5, got 4"

    dicts = state_dicts()
    del dicts[4]["scalar"]
    dicts[4]["extra"] = np.zeros(1, np.float32)
    assert error_text(ValueError, robust.median, dicts) == \
        "updates: update 4: not the keys of update 0 (missing ['scalar'], extra ['extra'])"
    dicts = state_dicts()
    dicts[3]["fc.bias"] = np.zeros(6, np.float32)
    assert error_text(ValueError, robust.krum, dicts, f=1) == \
        "Dimension mismatch in updates: key 'fc.bias' has shape (5,) in update 0 and (6,) " \
        "in update 3"
    dicts = state_dicts()
    dicts[1]["conv.bias"] = dicts[1]["conv.bias"].astype(np.float64)
    assert error_text(TypeError, robust.median, dicts) == \
        "updates: update 1, key 'conv.bias': dtype float64, expected float32"
    dicts = state_dicts()
    dicts[2] = list(dicts[2].values())
    assert error_text(TypeError, robust.median, dicts) == \
        "updates: item 2 is a list, not a mapping like item 0"


class Producer:
    """A minimal DLPack exporter that is not a NumPy array (as a tensor library's is)."""

    def __init__(self, array):
        self.array = array

    def __dlpack__(self, **kwargs):
        return self.array.__dlpack__(**kwargs)

    def __dlpack_device__(self):
        return self.array.__dlpack_device__()


def test_dlpack_producers_are_read_in_place_and_give_numpy_results():
    from fenro.robust import _inputs

    dicts = state_dicts()
    wrapped = [{k: Producer(v) for k, v in d.items()} for d in dicts]
    assert np.shares_memory(_inputs.as_array(wrapped[0]["fc.weight"], "x"),
                            dicts[0]["fc.weight"])
    for name in ("median", "krum_info", "clip"):
        assert canon(CALLS[name](wrapped)) == canon(CALLS[name](dicts))
    stack = concatenated(dicts)
    out = robust.median(Producer(stack))
    assert type(out) is np.ndarray and out.tobytes() == robust.median(stack).tobytes()


def test_torch_in_torch_out_without_copies():
    torch = pytest.importorskip("torch")
    dicts = state_dicts(seed=4)
    tensors = [{k: torch.from_numpy(v) for k, v in d.items()} for d in dicts]
    tensors[0]["fc.weight"] = torch.from_numpy(dicts[0]["fc.weight"].T.copy()).T  # strided
    tensors[1]["conv.bias"] = tensors[1]["conv.bias"].clone().requires_grad_()
    for name in CALLS:
        got = CALLS[name](tensors)
        assert canon(got) == canon(CALLS[name](dicts)), name
        first = got.aggregate if hasattr(got, "aggregate") else got
        value = first[0] if isinstance(first, list) else first
        if isinstance(value, dict):
            assert all(isinstance(v, torch.Tensor) for v in value.values()), name

    stack = torch.from_numpy(concatenated(dicts))
    out = robust.median(stack)
    assert isinstance(out, torch.Tensor) and out.dtype == torch.float32
    assert out.numpy().base is not None  # a view of fenro's result memory, not a copy
    flat = robust.krum(stack[:, 0, :], f=2)
    assert isinstance(flat, torch.Tensor) and flat.shape == (stack.shape[2],)
    assert error_text(TypeError, robust.median, [t.double() for t in stack]) == \
        "argument 'updates': type mismatch:\n from=float64, to=float32"


def test_no_torch_is_imported_for_numpy_callers():
    r = run_python("""
        import sys
        import numpy as np
        from fenro import robust
        robust.median([{"a": np.ones(3, np.float32)}, {"a": np.zeros(3, np.float32)}])
        robust.krum(np.ones((5, 4), np.float32), f=1)
        assert "torch" not in sys.modules
        print("ok")
        """)
    assert r.stdout == "ok\n", r.stderr


def test_digest_of_a_large_state_dict_round_is_stable_across_calls():
    # Keys of a few hundred thousand values cut the Krum encodings' cache chunks across
    # pieces at many places.
    rng = np.random.default_rng(8)
    shapes = [(257, 129), (3,), (64, 3, 3, 3), (70001,), (1, 1)]
    dicts = [{f"k{j}": rng.standard_normal(s).astype(np.float32) for j, s in enumerate(shapes)}
             for _ in range(9)]
    flat = concatenated(dicts)
    for call in (lambda u: robust.multi_krum_info(u, f=2), lambda u: robust.median(u)):
        assert canon(call(dicts)) == canon(call(flat))
    assert hashlib.sha256(canon(robust.krum(dicts, f=3))).hexdigest() == \
        hashlib.sha256(canon(robust.krum(flat, f=3))).hexdigest()
