"""fenro.robust's functions against the float64 reference, _core's rounds, every input layout
and thread count, the hard inputs, and the exact error texts."""

import hashlib
import os

import numpy as np
import pytest
import robust_reference as ref
from conftest import error_text, run_python

from fenro import ByzantineAggregator, robust


def stack(n, shape=(5, 7), seed=0):
    return np.random.default_rng(seed).standard_normal((n, *shape)).astype(np.float32)


def weights(n):
    return [float(w) for w in np.linspace(0.0, 2.0, n)]  # the first weight is zero


def shaped(fn):
    return lambda u: fn(u).reshape(u.shape[1:])


# name -> (the call, the float64 reference), each for any n the input table gives.
RULES = {
    "fedavg": (robust.fedavg, shaped(lambda u: ref.flat(u).mean(0))),
    "fedavg_weighted": (lambda u: robust.fedavg(u, weights(len(u))),
                        shaped(lambda u: np.average(ref.flat(u), 0, weights(len(u))))),
    "trimmed_mean": (lambda u: robust.trimmed_mean(u, trim=0.2),
                     lambda u: ref.trimmed_mean(u, 0.2)),
    "median": (robust.median, ref.median),
    "krum": (lambda u: robust.krum(u, f=1),
             lambda u: u[ref.krum_pick(ref.flat32(u), 1, list(range(len(u))))]),
    "geometric_median": (robust.geometric_median, ref.geometric_median),
    "geometric_median_weighted": (
        lambda u: robust.geometric_median(u, weights(len(u)), nu=1e-3, tol=1e-9, max_iter=50),
        lambda u: ref.geometric_median(u, weights(len(u)), 1e-3, 1e-9, 50)),
    "centered_clipping": (lambda u: robust.centered_clipping(u, tau=0.5, iterations=3),
                          lambda u: ref.centered_clipping(u, 0.5, 3)),
    "centered_clipping_center": (
        lambda u: robust.centered_clipping(u, tau=float("inf"), center=u[-1]),
        lambda u: ref.centered_clipping(u, float("inf"), 1, u[-1])),
    "bulyan": (lambda u: robust.bulyan(u, f=1), lambda u: ref.bulyan(u, 1)[0]),
    "meamed": (lambda u: robust.meamed(u, f=2), lambda u: ref.meamed(u, 2)),
    "nnm": (lambda u: robust.nnm(u, f=2), lambda u: ref.nnm(u, 2)),
    "bucketing": (lambda u: robust.bucketing(u, s=3, seed=2**64 - 1),
                  lambda u: ref.bucketing(u, 3, 2**64 - 1)[0]),
    "clip": (lambda u: robust.clip(u, c=2.5), lambda u: ref.clip(u, 2.5)),
    "arc": (lambda u: robust.arc(u, f=2), lambda u: ref.arc(u, 2)[0]),
}

TIES = np.random.default_rng(5).integers(-1, 2, (9, 4, 3)).astype(np.float32)
INPUTS = {
    "random": stack(11),
    "other_shape": stack(8, (1, 33), seed=1),
    "ties": TIES,
    "identical": np.repeat(stack(1, (3, 4), seed=2), 7, axis=0),
    "equidistant": np.array([-1, 1, 0, -3, 3, -2, 2], np.float32).reshape(7, 1, 1),
}


def assert_close(got, want):
    want = np.asarray(want, np.float64)
    assert got.dtype == np.float32 and got.shape == want.shape
    tol = 1e-6 * (np.abs(want) + np.abs(want).max())
    assert np.all(np.abs(got.astype(np.float64) - want) <= tol), np.abs(got - want).max()


@pytest.mark.parametrize("inputs", INPUTS)
@pytest.mark.parametrize("rule", RULES)
def test_matches_the_float64_reference(rule, inputs):
    call, reference = RULES[rule]
    u = INPUTS[inputs]
    assert_close(call(u), reference(u))
    if inputs == "identical" and rule not in ("fedavg", "fedavg_weighted", "trimmed_mean", "clip"):
        # Sums in float64 (or none) return identical updates exactly; float32 means need not.
        out = call(u)
        assert out.tobytes() == (u if out.ndim == 3 and len(out) == len(u) else u[0]).tobytes() \
            or out.tobytes() == u[:len(out)].tobytes()


# The smallest n each rule accepts, at f = 0 and f = 1 (f = 0: no neighbour, value or
# update is dropped, so the robust rules reduce to means).
@pytest.mark.parametrize("f", [0, 1])
@pytest.mark.parametrize("rule, least_n, call, reference", [
    ("bulyan", lambda f: 4 * f + 3, robust.bulyan, lambda u, f: ref.bulyan(u, f)[0]),
    ("meamed", lambda f: 2 * f + 1, robust.meamed, ref.meamed),
    ("nnm", lambda f: 2 * f + 1, robust.nnm, ref.nnm),
    ("arc", lambda f: 2 * f + 1, robust.arc, lambda u, f: ref.arc(u, f)[0]),
    ("krum", lambda f: 2 * f + 3, robust.krum,
     lambda u, f: u[ref.krum_pick(ref.flat32(u), f, list(range(len(u))))]),
])
def test_minimum_n_and_f_zero(rule, least_n, call, reference, f):
    u = stack(least_n(f), (2, 3), seed=f)
    assert_close(call(u, f=f), reference(u, f))
    with pytest.raises(ValueError, match=r"out of range|quorum|Empty"):
        call(u[:-1], f=f)


def test_ties_go_to_the_lower_index():
    # Around the median 0, -1 and 1 lie at equal distances: the lower index wins, so the
    # kept values lean negative.
    u = INPUTS["equidistant"][:3]
    assert robust.meamed(u, f=1).item() == -0.5  # 0, -1
    assert robust.nnm(u, f=1)[2].item() == -0.5  # 0 and its nearest, -1
    info = robust.arc_info(np.array([1, 3, -3, 2, 0], np.float32).reshape(5, 1, 1), f=1)
    assert info.clipped_indices == (1,)


@pytest.mark.parametrize("method, trim, weighted, call", [
    ("fedavg", 0.0, False, robust.fedavg),
    ("fedavg", 0.0, True, lambda u: robust.fedavg(u, weights(len(u)))),
    ("trimmed_mean", 0.3, False, lambda u: robust.trimmed_mean(u, trim=0.3)),
    ("median", 0.0, False, robust.median),
    ("krum:2", 0.0, False, lambda u: robust.krum(u, f=2)),
    ("multi_krum", 0.0, False, lambda u: robust.multi_krum(u, f=1)),
    ("multi_krum:2:4", 0.0, False, lambda u: robust.multi_krum(u, f=2, m=4)),
])
def test_classic_rules_are_core_rounds_bit_for_bit(method, trim, weighted, call):
    u = stack(12, (9, 17), seed=7)
    core = ByzantineAggregator(method, trim).aggregate(list(u),
                                                       weights=weights(12) if weighted else None)
    assert call(u).tobytes() == core.tobytes()


class Updates:
    """A sequence that is no list or tuple: its arrays are copied as they come."""

    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


def layouts(u):
    big = np.zeros((len(u), 2 * u.shape[1], 3 * u.shape[2]), np.float32)
    big[:, ::2, 1::3] = u
    raw = np.zeros(u.nbytes + 1, np.uint8)
    unaligned = raw[1:].view(np.float32).reshape(u.shape)
    unaligned[...] = u
    flipped = np.flip(u, 0).copy()
    return {
        "list": list(u), "tuple": tuple(u), "sequence": Updates(u), "fortran": np.asfortranarray(u),
        "strided": big[:, ::2, 1::3], "negative_strides": flipped[::-1], "unaligned": unaligned,
        "list_of_fortran": [np.asfortranarray(x) for x in u],
    }


@pytest.mark.parametrize("rule", [r for r in RULES if not r.endswith("_center")])
def test_every_layout_gives_the_same_bits(rule):
    call, _ = RULES[rule]
    u = stack(11, (6, 10), seed=3)
    before = u.copy()
    want = call(u).tobytes()
    for name, layout in layouts(u).items():
        assert call(layout).tobytes() == want, name
    assert u.tobytes() == before.tobytes()


def test_arrays_rewritten_by_conversion_code_do_not_change_the_result():
    u = stack(7, (3, 4), seed=4)
    want = robust.meamed(u, f=2).tobytes()
    victims = u.copy()

    class F(int):
        def __index__(self):
            victims[...] = 1e30  # would change the result if read in place afterwards
            return 2

    assert robust.meamed(victims, f=F(2)).tobytes() == want  # one 3-D array
    victims = u.copy()
    assert robust.meamed(list(victims), f=F(2)).tobytes() == want  # a list of 2-D arrays


def test_thread_counts_and_simd_targets_give_the_same_bits():
    code = """
        import hashlib, sys
        import numpy as np
        sys.path.insert(0, sys.argv[1])
        from test_robust_rules import RULES, stack
        u = stack(23, (96, 131), seed=11)
        print(hashlib.sha256(b"".join(RULES[r][0](u).tobytes() for r in RULES)).hexdigest())
        """
    here = os.path.dirname(os.path.abspath(__file__))
    runs = [{"FENRO_NUM_THREADS": t} for t in "123"] + [
        {"FENRO_NUM_THREADS": "2", "FENRO_SIMD": target} for target in ("scalar", "avx2", "avx512")]
    digests = set()
    for run in runs:
        env = {k: v for k, v in os.environ.items()
               if k not in ("FENRO_SIMD", "RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")}
        r = run_python(code, here, env={**env, **run})
        if "selects a SIMD target this CPU lacks" in r.stderr:
            continue
        assert r.returncode == 0, r.stderr
        digests.add(r.stdout)
    assert len(digests) == 1


def test_info_variants_return_the_plain_result_and_the_rule_data():
    u = stack(11, (4, 6), seed=9)
    f = 2
    for info, plain in [(robust.krum_info(u, f=f), robust.krum(u, f=f)),
                        (robust.multi_krum_info(u, f=f), robust.multi_krum(u, f=f)),
                        (robust.bulyan_info(u, f=f), robust.bulyan(u, f=f))]:
        assert info.aggregate.tobytes() == plain.tobytes()
    assert robust.bulyan_info(u, f=f).selected == tuple(ref.bulyan(u, f)[1])
    assert robust.krum_info(u, f=f).selected == (ref.krum_pick(ref.flat32(u), f, list(range(11))),)
    assert len(robust.multi_krum_info(u, f=f, m=4).selected) == 4

    g = robust.geometric_median_info(u, max_iter=7)
    assert g.aggregate.tobytes() == robust.geometric_median(u, max_iter=7).tobytes()
    assert 1 <= g.iterations <= 7
    z = g.aggregate.astype(np.float64).ravel()
    assert g.objective == pytest.approx(np.sqrt(((ref.flat(u) - z) ** 2).sum(1)).sum(), rel=1e-6)
    assert robust.geometric_median_info(u, max_iter=0).iterations == 0

    c = robust.centered_clipping_info(u, tau=1.0)
    dist = np.sqrt(((ref.flat(u) - ref.flat(robust.median(u)[None])) ** 2).sum(1))
    np.testing.assert_allclose(c.distances, dist, rtol=1e-6)
    np.testing.assert_allclose(c.factors, np.minimum(1, 1.0 / dist), rtol=1e-6)

    n = robust.nnm_info(u, f=f)
    assert n.mixed.tobytes() == robust.nnm(u, f=f).tobytes()
    assert all(i in row and list(row) == sorted(row) and len(row) == 9
               for i, row in enumerate(n.neighbours))
    for seed in (0, 1, 2**63, 2**64 - 1):
        assert robust.bucketing_info(u, s=4, seed=seed).permutation == tuple(
            ref.bucketing_permutation(11, seed))

    cl = robust.clip_info(u, c=2.0)
    np.testing.assert_allclose(cl.norms, ref.norms(u), rtol=1e-12)
    np.testing.assert_allclose(cl.factors, np.minimum(1, 2.0 / ref.norms(u)), rtol=1e-12)
    a = robust.arc_info(u, f=f)
    _, k, order = ref.arc(u, f)
    assert (a.k, a.clipped_indices) == (k, tuple(order))
    assert a.threshold == pytest.approx(np.sort(ref.norms(u))[::-1][k], rel=1e-12)


@pytest.mark.parametrize("call", [lambda u: robust.nnm(u, f=1),
                                  lambda u: robust.bucketing(u, s=2, seed=0),
                                  lambda u: robust.clip(u, c=1.0), lambda u: robust.arc(u, f=1)])
def test_preaggregators_hand_over_their_own_buffer(call):
    u = stack(5, (3, 4))
    out = call(u)
    assert out.ndim == 3 and out.shape[1:] == (3, 4) and out.dtype == np.float32
    assert out.flags.c_contiguous and out.flags.writeable and not out.flags.owndata
    assert type(out.base).__name__ == "PyCapsule"


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs Linux's /proc")
def test_both_modules_share_one_library_and_one_worker_pool():
    r = run_python("""
        import os
        import numpy as np
        from fenro import ByzantineAggregator, robust
        u = np.ones((8, 256, 256), np.float32)
        robust.meamed(u, f=1)
        threads = len(os.listdir("/proc/self/task"))
        ByzantineAggregator("median", 0.0).aggregate(list(u))
        assert len(os.listdir("/proc/self/task")) == threads, "a second worker pool started"
        print(len({line.split()[-1] for line in open("/proc/self/maps") if "libfenro" in line}))
        """, env=dict(os.environ, FENRO_NUM_THREADS="3"))
    assert r.returncode == 0 and r.stdout == "1\n", r.stdout + r.stderr


def test_robust_imports_lazily_and_initialises_once():
    r = run_python("""
        import importlib, sys
        import fenro.robust
        assert "numpy" not in sys.modules, "importing fenro.robust imported numpy"
        del sys.modules["fenro._robust"]
        try:
            importlib.import_module("fenro._robust")
        except ImportError as e:
            print(e)
        """)
    assert r.returncode == 0 and "initialised once" in r.stdout, r.stdout + r.stderr


U = stack(11, (3, 5))
NAN = U.copy()
NAN[3, 1, 2] = np.nan
RANGE_F = "needs an integer 0 <= f < 2**64"


@pytest.mark.parametrize("exc, call, message", [
    (ValueError, lambda: robust.median([]), "Empty updates provided"),
    (ValueError, lambda: robust.meamed([U[0], U[1][:, :4]], f=0), "Dimension mismatch in updates"),
    (ValueError, lambda: robust.clip(NAN, c=1.0), "Non-finite value NaN in update 3 at [1, 2]"),
    (TypeError, lambda: robust.median(U.astype(np.float64)),
     "argument 'updates': type mismatch:\n from=float64, to=float32"),
    (TypeError, lambda: robust.nnm(U[None], f=1),
     "argument 'updates': dimensionality mismatch:\n from=3, to=2"),
    (TypeError, lambda: robust.krum(U), "krum() missing 1 required keyword-only argument: 'f'"),
    (ValueError, lambda: robust.bulyan(U, f=3),
     "f = 3 is out of range: bulyan needs n >= 4f + 3 (n = 11)"),
    (ValueError, lambda: robust.bulyan(U, f=-1),
     "f = -1 is out of range: bulyan " + RANGE_F + " with n >= 4f + 3"),
    (ValueError, lambda: robust.meamed(U, f=2**64),
     "f = 18446744073709551616 is out of range: meamed " + RANGE_F + " with 2f < n"),
    (ValueError, lambda: robust.nnm(U, f=6), "f = 6 is out of range: nnm needs 2f < n (n = 11)"),
    (ValueError, lambda: robust.arc(U, f=6), "f = 6 is out of range: arc needs 2f < n (n = 11)"),
    (TypeError, lambda: robust.arc(U, f=1.0),
     "argument 'f': arc " + RANGE_F + " with 2f < n, got 'float'"),
    (TypeError, lambda: robust.arc(U, f=True),
     "argument 'f': arc " + RANGE_F + " with 2f < n, got 'bool'"),
    (TypeError, lambda: robust.arc(U, f=np.bool_(True)), "argument 'f': arc " + RANGE_F),
    (ValueError, lambda: robust.krum(U, f=np.int64(5)), "Insufficient quorum: need 13, got 11"),
    (ValueError, lambda: robust.multi_krum(U, f=2, m=0),
     "m = 0 is out of range: multi_krum needs an integer 1 <= m < 2**64 with m <= n - 2f - 2"),
    (ValueError, lambda: robust.multi_krum(U, f=2, m=6),
     "Multi-Krum selection m=6 exceeds the safe maximum 5 for 11 clients with f=2 "
     "(requires 1 <= m <= n - 2f - 2)"),
    (ValueError, lambda: robust.bucketing(U, s=0, seed=1),
     "s = 0 is out of range: bucketing needs an integer 1 <= s < 2**64"),
    (ValueError, lambda: robust.bucketing(U, s=2, seed=2**64),
     "seed = 18446744073709551616 is out of range: bucketing needs an integer 0 <= seed < 2**64"),
    (ValueError, lambda: robust.geometric_median(U, nu=0),
     "nu = 0 is out of range: geometric_median needs a finite nu > 0"),
    (ValueError, lambda: robust.geometric_median(U, tol=float("nan")),
     "tol = NaN is out of range: geometric_median needs a finite tol >= 0"),
    (ValueError, lambda: robust.geometric_median(U, max_iter=-1),
     "max_iter = -1 is out of range: geometric_median needs an integer 0 <= max_iter < 2**64"),
    (ValueError, lambda: robust.geometric_median(U, [1.0] * 10 + [-1.0]),
     "weights[10] = -1 is out of range: geometric_median needs weights >= 0"),
    (ValueError, lambda: robust.geometric_median(U, [0] * 11),
     "weights are all zero: geometric_median needs at least one weight > 0"),
    (ValueError, lambda: robust.fedavg(U, [10**400] * 11), "Non-finite weight inf at index 0"),
    (ValueError, lambda: robust.centered_clipping(U, tau=0),
     "tau = 0 is out of range: centered_clipping needs tau > 0 (inf allowed)"),
    (ValueError, lambda: robust.centered_clipping(U, tau=1, iterations=0),
     "iterations = 0 is out of range: centered_clipping needs an integer 1 <= iterations < 2**64"),
    (ValueError, lambda: robust.centered_clipping(U, tau=1, center=U[0][:, :4]),
     "center has shape (3, 4) but the updates have shape (3, 5)"),
    (ValueError, lambda: robust.centered_clipping(U, tau=1, center=NAN[3]),
     "Non-finite value NaN in center at [1, 2]"),
    (TypeError, lambda: robust.centered_clipping(U, tau=1, center=U[0].astype(np.float64)),
     "argument 'center': type mismatch:\n from=float64, to=float32"),
    (ValueError, lambda: robust.clip(U, c=10**400),
     "c = inf is out of range: clip needs a finite c > 0"),
    (ValueError, lambda: robust.trimmed_mean(U, trim=0.6),
     "Invalid trim fraction: 0.6 (must be 0.0-0.5)"),
])
def test_errors_name_the_parameter_and_its_range(exc, call, message):
    assert error_text(exc, call).startswith(message)
