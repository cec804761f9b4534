"""fenro.robust against ByzFL and plain NumPy, on n updates of 1000 x 1000 float32.

    python benchmarks/bench_robust_peers.py [--n 50 200] [--reps 3] [--only nnm,clip]
                                            [--no-byzfl] [--json results.json]

Every function of fenro.robust is timed beside ByzFL's counterpart (where it has one) and a
NumPy version written here from the functions' definitions, on the same seeded input. Times
are ratios to the copy floor of the same process: one ``np.copyto`` of the whole input into a
buffer that is already resident (best of all the floors measured in that process). Each
measurement runs in a fresh process, so that no memory freed by another call hides a call's
allocations, and the floor, fenro, NumPy and ByzFL calls are interleaved there, best of
``--reps`` each.

Per row:
  fenro, byzfl, numpy   best time / copy floor (per Weiszfeld step for geometric_median)
  x byzfl               ByzFL's time / fenro's time
  target                the issue's own figure for the row: for bulyan, fenro's time over our
                        krum + our median measured in the same process; for nnm, over our
                        krum; for clip, arc, meamed and geometric_median, the floor ratio
  equal                 fenro's result against each peer: max |a - b| / (|b| + max |b|) at
                        most 1e-5 ('=') or the figure; 'def' where the peer's definition
                        differs (see DIFFERENCES below), '-' where there is no peer
  extra MB              peak resident memory of the first call beyond what was resident before
                        it (the high-water mark reset through /proc/self/clear_refs), output
                        included

The input: n updates x_i = mu + noise_i with mu and the noise uniform in [-1, 1), seeded by n;
the last f = (n - 3) // 4 (Bulyan's largest f) are attackers sending -mu + noise. Every update
then has its largest magnitude in [1, 2), so that our Krum's selection on its 16-bit encoding
(which measures updates of a larger magnitude in coarser units, see docs/methods/krum.md) picks
what a Euclidean Krum picks, and results can be compared. Every rule
with f uses that f; trimmed_mean trims f from each side; clip's c and centered clipping's tau
are the median norm, so about half of the updates are clipped; centered clipping takes one step
from zero (ByzFL 0.0.11 refuses any other start).

ByzFL 0.0.11 and torch are never fenro dependencies: install them in a separate environment
(``pip install torch==2.13.0 byzfl==0.0.11``). ByzFL's package imports torchvision for its
training helpers only; where torchvision does not import beside the installed torch, a stand-in
module is registered so that the aggregators load. Torch and NumPy's BLAS use all cores, as
fenro's worker pool does.
"""

import argparse
import json
import os
import subprocess
import sys
import time

ROWS = COLS = 1000
TOL = 1e-5
_SLOW_BLAS_VARS = ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")

# Where ByzFL's function is defined differently from ours: the times still compare the two
# functions as they are, and the results are compared only with NumPy.
DIFFERENCES = {
    "multi_krum": "ByzFL averages the n - f best-scored updates; ours m <= n - 2f - 2 (here the "
                  "largest m, n - 2f - 2)",
    "bucketing": "ByzFL draws its own random permutation; ours is splitmix64 from the seed "
                 "(the NumPy version reproduces it)",
    "bulyan": "ByzFL 0.0.11 has no Bulyan",
    "clip": "ByzFL scales its input in place and returns it (no output allocated: the input is "
            "restored, untimed, before each call); ours writes a new array and never changes "
            "the input",
    "arc": "ByzFL scales its input in place and returns it, as for clip",
    "geometric_median": "ByzFL runs a fixed number of steps from its own start; ours starts "
                        "from the mean: the per-step cost compares, the results are compared "
                        "after 8 steps",
}


# ---------------------------------------------------------------- input and parameters


def make_input(np, n):
    rng = np.random.default_rng(n)
    mu = rng.random((ROWS, COLS), dtype=np.float32) * 2 - 1
    x = rng.random((n, ROWS, COLS), dtype=np.float32)
    x *= 2
    x -= 1
    f = (n - 3) // 4
    x[: n - f] += mu
    x[n - f:] -= mu
    return x, f


def row_norms(np, x2):
    return np.sqrt([np.dot(r, r) for r in (row.astype(np.float64) for row in x2)])


def params(np, x, f):
    """The arguments every implementation gets, computed once per process (not timed)."""
    n = x.shape[0]
    x2 = x.reshape(n, -1)
    p = {"f": f, "n": n}
    p["trim"] = (f - 0.25) / n  # ceil(trim * n) = f
    p["m"] = n - 2 * f - 2
    p["c"] = float(np.median(row_norms(np, x2)))
    p["s"] = 2
    p["seed"] = 7
    p["center"] = np.zeros(x.shape[1:], dtype=np.float32)
    p["tau"] = p["c"]
    return p


# ---------------------------------------------------------------- NumPy versions


def splitmix_permutation(n, seed):
    mask = (1 << 64) - 1
    state = seed & mask

    def draw():
        nonlocal state
        state = (state + 0x9E3779B97F4A7C15) & mask
        z = state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & mask
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & mask
        return z ^ (z >> 31)

    perm = list(range(n))
    for i in range(n - 1, 0, -1):
        j = draw() % (i + 1)
        perm[i], perm[j] = perm[j], perm[i]
    return perm


def numpy_versions(np):
    """Plain NumPy functions from the definitions: float64 where norms, distances and means are
    taken, vectorised the way a NumPy user would write them."""

    def out_shape(v):
        return v.reshape(ROWS, COLS)

    def sq_dists(x2):
        # The float64 Gram matrix, a block of columns at a time to bound the memory.
        n = x2.shape[0]
        g = np.zeros((n, n))
        for c in range(0, x2.shape[1], 1 << 16):
            block = x2[:, c: c + (1 << 16)].astype(np.float64)
            g += block @ block.T
        sq = np.diag(g).copy()
        d = np.maximum(sq[:, None] + sq[None, :] - 2.0 * g, 0.0)
        np.fill_diagonal(d, 0.0)
        return d

    def krum_scores(d, idx, f):
        k = max(len(idx) - f - 2, 1)
        sub = d[np.ix_(idx, idx)]
        np.fill_diagonal(sub, np.inf)
        return np.sort(sub, axis=1)[:, :k].sum(axis=1)

    def fedavg(x, p):
        return x.mean(axis=0, dtype=np.float64).astype(np.float32)

    def trimmed_mean(x, p):
        n, k = x.shape[0], p["f"]
        part = np.partition(x, [k, n - k - 1], axis=0)[k: n - k]
        return part.mean(axis=0, dtype=np.float64).astype(np.float32)

    def median(x, p):
        return np.median(x, axis=0)

    def krum(x, p):
        x2 = x.reshape(x.shape[0], -1)
        scores = krum_scores(sq_dists(x2), np.arange(x.shape[0]), p["f"])
        return x[int(np.argmin(scores))].copy()

    def multi_krum(x, p):
        x2 = x.reshape(x.shape[0], -1)
        scores = krum_scores(sq_dists(x2), np.arange(x.shape[0]), p["f"])
        best = np.sort(np.argsort(scores, kind="stable")[: p["m"]])
        return x[best].mean(axis=0, dtype=np.float64).astype(np.float32)

    def around_median(vals, keep):
        med = np.median(vals, axis=0)
        dist = np.abs(vals.astype(np.float64) - med.astype(np.float64))
        order = np.argsort(dist, axis=0, kind="stable")[:keep]
        kept = np.take_along_axis(vals, order, axis=0)
        return kept.mean(axis=0, dtype=np.float64).astype(np.float32)

    def meamed(x, p):
        n = x.shape[0]
        return around_median(x.reshape(n, -1), n - p["f"]).reshape(ROWS, COLS)

    def bulyan(x, p):
        n, f = x.shape[0], p["f"]
        x2 = x.reshape(n, -1)
        d = sq_dists(x2)
        remaining = list(range(n))
        chosen = []
        for _ in range(n - 2 * f):
            if len(remaining) == 1:
                chosen.append(remaining.pop())
                break
            scores = krum_scores(d, np.array(remaining), f)
            chosen.append(remaining.pop(int(np.argmin(scores))))
        sel = x2[sorted(chosen)]
        return around_median(sel, len(chosen) - 2 * f).reshape(ROWS, COLS)

    def weiszfeld(x, nu, steps):
        n = x.shape[0]
        x64 = x.reshape(n, -1).astype(np.float64)
        z = x64.mean(axis=0)

        def dists(z):
            return np.array([np.linalg.norm(x64[i] - z) for i in range(n)])

        dist = dists(z)
        best, best_obj = z, dist.sum()
        for _ in range(steps):
            beta = 1.0 / np.maximum(nu, dist)
            z = (beta @ x64) / beta.sum()
            dist = dists(z)
            if dist.sum() < best_obj:
                best, best_obj = z, dist.sum()
        return out_shape(best.astype(np.float32))

    def centered_clipping(x, p):
        n = x.shape[0]
        x2 = x.reshape(n, -1)
        v = p["center"].reshape(-1).astype(np.float64)
        step = np.zeros_like(v)
        for i in range(n):
            diff = x2[i] - v
            norm = np.linalg.norm(diff)
            if norm > 0:
                step += diff * min(1.0, p["tau"] / norm)
        return out_shape((v + step / n).astype(np.float32))

    def nnm(x, p):
        n, f = x.shape[0], p["f"]
        x2 = x.reshape(n, -1)
        d = sq_dists(x2)
        mix = np.zeros((n, n))
        for i in range(n):
            mix[i, np.argsort(d[i], kind="stable")[: n - f]] = 1.0 / (n - f)
        out = np.empty_like(x2)
        for c in range(0, x2.shape[1], 1 << 16):
            out[:, c: c + (1 << 16)] = mix @ x2[:, c: c + (1 << 16)].astype(np.float64)
        return out.reshape(x.shape)

    def bucketing(x, p):
        n, s = x.shape[0], p["s"]
        perm = splitmix_permutation(n, p["seed"])
        out = [x[perm[b: b + s]].mean(axis=0, dtype=np.float64) for b in range(0, n, s)]
        return np.stack(out).astype(np.float32)

    def scaled(x, factors):
        return x * factors.astype(np.float32)[:, None, None]

    def clip(x, p):
        norms = row_norms(np, x.reshape(x.shape[0], -1))
        return scaled(x, np.minimum(1.0, p["c"] / norms))

    def arc(x, p):
        n, f = x.shape[0], p["f"]
        norms = row_norms(np, x.reshape(n, -1))
        k = 2 * f * (n - f) // n
        order = np.argsort(-norms, kind="stable")
        threshold = norms[order[k]]
        factors = np.ones(n)
        factors[order[:k]] = threshold / norms[order[:k]]
        return scaled(x, np.minimum(factors, 1.0))

    return {
        "fedavg": fedavg, "trimmed_mean": trimmed_mean, "median": median, "krum": krum,
        "multi_krum": multi_krum, "meamed": meamed, "bulyan": bulyan,
        "centered_clipping": centered_clipping, "nnm": nnm, "bucketing": bucketing,
        "clip": clip, "arc": arc,
        "gm_steps": lambda x, p, steps: weiszfeld(x, 1e-6, steps),
    }


# ---------------------------------------------------------------- fenro and ByzFL


def fenro_versions():
    import fenro.robust as R

    return {
        "fedavg": lambda x, p: R.fedavg(x),
        "trimmed_mean": lambda x, p: R.trimmed_mean(x, trim=p["trim"]),
        "median": lambda x, p: R.median(x),
        "krum": lambda x, p: R.krum(x, f=p["f"]),
        "multi_krum": lambda x, p: R.multi_krum(x, f=p["f"], m=p["m"]),
        "meamed": lambda x, p: R.meamed(x, f=p["f"]),
        "bulyan": lambda x, p: R.bulyan(x, f=p["f"]),
        "centered_clipping": lambda x, p: R.centered_clipping(x, tau=p["tau"], center=p["center"]),
        "nnm": lambda x, p: R.nnm(x, f=p["f"]),
        "bucketing": lambda x, p: R.bucketing(x, s=p["s"], seed=p["seed"]),
        "clip": lambda x, p: R.clip(x, c=p["c"]),
        "arc": lambda x, p: R.arc(x, f=p["f"]),
        "gm_steps": lambda x, p, steps: R.geometric_median(x, nu=1e-6, tol=0.0, max_iter=steps),
    }


def import_byzfl():
    try:
        import torchvision  # noqa: F401
    except Exception:
        import types

        class _Anything:
            def __init__(self, *a, **k):
                pass

            def __call__(self, *a, **k):
                return _Anything()

            def __getattr__(self, name):
                return _Anything()

        class _StandIn(types.ModuleType):
            def __getattr__(self, name):
                if name.startswith("__"):
                    raise AttributeError(name)
                return _Anything()

        for name in list(sys.modules):
            if name == "torchvision" or name.startswith("torchvision."):
                del sys.modules[name]
        sys.modules["torchvision"] = _StandIn("torchvision")
    import byzfl

    return byzfl


def byzfl_versions(np):
    import torch

    byzfl = import_byzfl()

    def flat(x):
        return torch.from_numpy(x.reshape(x.shape[0], -1))

    def back(t, like_updates):
        a = t.numpy() if hasattr(t, "numpy") else np.asarray(t)
        return a.reshape((-1, ROWS, COLS) if like_updates else (ROWS, COLS))

    def rule(make):
        return lambda x, p: back(make(p)(flat(x)), False)

    def pre(make):
        return lambda x, p: back(make(p)(flat(x)), True)

    def centered(x, p):
        # ByzFL 0.0.11 refuses every start m it is given (TypeError for an array and a
        # tensor alike) and starts from zero otherwise: every implementation starts there.
        agg = byzfl.CenteredClipping(L=1, tau=p["tau"])
        return back(agg(flat(x)), False)

    return {
        "fedavg": rule(lambda p: byzfl.Average()),
        "trimmed_mean": rule(lambda p: byzfl.TrMean(f=p["f"])),
        "median": rule(lambda p: byzfl.Median()),
        "krum": rule(lambda p: byzfl.Krum(f=p["f"])),
        "multi_krum": rule(lambda p: byzfl.MultiKrum(f=p["f"])),
        "meamed": rule(lambda p: byzfl.Meamed(f=p["f"])),
        "centered_clipping": centered,
        "nnm": pre(lambda p: byzfl.NNM(f=p["f"])),
        "bucketing": pre(lambda p: byzfl.Bucketing(s=p["s"])),
        "clip": pre(lambda p: byzfl.Clipping(c=p["c"])),
        "arc": pre(lambda p: byzfl.ARC(f=p["f"])),
        "gm_steps": lambda x, p, steps: back(byzfl.GeometricMedian(nu=1e-6, T=steps)(flat(x)), False),
    }


# ---------------------------------------------------------------- one measurement (worker)


def _status_kib(field):
    with open("/proc/self/status") as fh:
        for line in fh:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def extra_peak_mb(fn):
    """(result, MB): the peak resident memory of fn() beyond the resident memory before it."""
    with open("/proc/self/clear_refs", "w") as fh:
        fh.write("5")  # the high-water mark restarts at the current resident size
    before = _status_kib("VmRSS")
    out = fn()
    return out, (_status_kib("VmHWM") - before) / 1024.0


def close(np, a, b):
    """max |a - b| / (|b| + max |b|) elementwise, in float64, an update at a time."""
    a, b = np.asarray(a), np.asarray(b)
    if a.shape != b.shape:
        return float("inf")
    a, b = a.reshape(-1, ROWS * COLS), b.reshape(-1, ROWS * COLS)
    top = max(float(np.abs(b[i]).max()) for i in range(len(b)))
    worst = 0.0
    for i in range(len(b)):
        bi = b[i].astype(np.float64)
        scale = np.abs(bi) + top
        with np.errstate(invalid="ignore", divide="ignore"):
            r = np.abs(a[i].astype(np.float64) - bi) / np.where(scale > 0, scale, 1.0)
        worst = max(worst, float(r.max()))
    return worst


GM_STEPS = (1, 8)  # the per-step cost is the difference of these two runs, per step


def worker(func, n, impl, reps, result_dir):
    import numpy as np

    x, f = make_input(np, n)
    p = params(np, x, f)
    table = {"fenro": fenro_versions, "numpy": lambda: numpy_versions(np),
             "byzfl": lambda: byzfl_versions(np)}[impl]()
    if func != "geometric_median" and func not in table:
        return {"func": func, "n": n, "impl": impl, "missing": True}
    small, _ = make_input(np, 7)  # warms up imports, thread pools and torch's dispatch
    prepare = None  # untimed, before every call
    ps = params(np, small, 1)
    if func == "geometric_median":
        table["gm_steps"](small, ps, 1)
        calls = [lambda s=s: table["gm_steps"](x, p, s) for s in GM_STEPS]
    elif impl == "byzfl" and func in ("clip", "arc"):
        # ByzFL scales its input in place: every call gets the original values back first,
        # outside the timed region (the copy is not counted against it).
        table[func](small, ps)
        original = x.copy()
        calls = [lambda: table[func](x, p)]
        prepare = lambda: np.copyto(x, original)  # noqa: E731
    else:
        table[func](small, ps)
        calls = [lambda: table[func](x, p)]
    floor_dst = np.empty_like(x)
    floor_dst.fill(1.0)
    floors = []

    floor_cpu = []

    def floor():
        c0, t0 = time.process_time(), time.perf_counter()
        np.copyto(floor_dst, x)
        floors.append(time.perf_counter() - t0)
        floor_cpu.append(time.process_time() - c0)

    floor()
    result, extra = extra_peak_mb(calls[-1])
    result = np.asarray(result)
    best = [float("inf")] * len(calls)
    best_cpu = [float("inf")] * len(calls)
    # References for the targets that compare with our own Krum and median.
    refs = {}
    if impl == "fenro" and func in ("bulyan", "nnm"):
        fv = fenro_versions()
        refs = {"krum": lambda: fv["krum"](x, p)}
        if func == "bulyan":
            refs["median"] = lambda: fv["median"](x, p)
    ref_best = {k: float("inf") for k in refs}
    deadline = time.perf_counter() + 240.0
    for rep in range(reps):
        floor()
        for i, call in enumerate(calls):
            if prepare is not None:
                prepare()
            c0, t0 = time.process_time(), time.perf_counter()
            out = call()
            best[i] = min(best[i], time.perf_counter() - t0)
            best_cpu[i] = min(best_cpu[i], time.process_time() - c0)
            del out
        for k, call in refs.items():
            t0 = time.perf_counter()
            out = call()
            ref_best[k] = min(ref_best[k], time.perf_counter() - t0)
            del out
        if time.perf_counter() > deadline and rep >= 1:
            break
    floor()
    rec = {"func": func, "n": n, "impl": impl, "floor_s": min(floors), "extra_mb": extra,
           "reps": rep + 1, "f": f, "threads": os.environ.get("FENRO_NUM_THREADS", "all")}
    rec["floor_cpu_s"] = min(floor_cpu)
    if func == "geometric_median":
        rec["time_s"] = (best[1] - best[0]) / (GM_STEPS[1] - GM_STEPS[0])
        rec["cpu_s"] = (best_cpu[1] - best_cpu[0]) / (GM_STEPS[1] - GM_STEPS[0])
        rec["total_s"] = best[1]
    else:
        rec["time_s"] = best[0]
        rec["cpu_s"] = best_cpu[0]
    rec.update({k + "_s": v for k, v in ref_best.items()})
    path = os.path.join(result_dir, f"{func}-{n}-fenro.npy")
    if impl == "fenro":
        np.save(path, result)
    elif os.path.exists(path):
        rec["diff"] = close(np, np.load(path, mmap_mode="r"), result)
        if impl == "byzfl" and func == "krum":
            rec["note"] = "same update chosen" if rec["diff"] == 0.0 else "another update chosen"
    return rec


def page_cost(n, reps):
    """What fresh memory costs against the copy floor: the kernel zeroes every page a process
    touches first, so a function that returns n updates pays for that beside its own writes."""
    import mmap

    import numpy as np

    x, _ = make_input(np, n)
    dst = np.empty_like(x)
    dst.fill(1.0)
    floor = touch4k = touch2m = copy2m = float("inf")
    for _ in range(max(reps, 3)):
        t0 = time.perf_counter()
        np.copyto(dst, x)
        floor = min(floor, time.perf_counter() - t0)
        for huge in (False, True):
            m = mmap.mmap(-1, x.nbytes, flags=mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS)
            m.madvise(mmap.MADV_HUGEPAGE if huge else mmap.MADV_NOHUGEPAGE)
            a = np.frombuffer(m, dtype=np.float32).reshape(x.shape)
            t0 = time.perf_counter()
            a[:, :, ::1024] = 0.0  # one write per 4 KB page
            t = time.perf_counter() - t0
            if huge:
                touch2m = min(touch2m, t)
            else:
                touch4k = min(touch4k, t)
            del a
            m.close()
        m = mmap.mmap(-1, x.nbytes, flags=mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS)
        m.madvise(mmap.MADV_HUGEPAGE)
        a = np.frombuffer(m, dtype=np.float32).reshape(x.shape)
        t0 = time.perf_counter()
        np.copyto(a, x)
        copy2m = min(copy2m, time.perf_counter() - t0)
        del a
        m.close()
    return {"page_cost": True, "n": n, "floor_s": floor, "touch_4k": touch4k / floor,
            "touch_2m": touch2m / floor, "copy_fresh_2m": copy2m / floor}


# ---------------------------------------------------------------- driver


FUNCS = ["fedavg", "trimmed_mean", "median", "krum", "multi_krum", "geometric_median",
         "centered_clipping", "bulyan", "meamed", "nnm", "bucketing", "clip", "arc"]


def run_worker(func, n, impl, reps, result_dir, timeout, mem_gb=9.5):
    import resource

    cmd = [sys.executable, os.path.abspath(__file__), "--worker", func, str(n), impl,
           str(reps), result_dir]
    limit = int(mem_gb * (1 << 30))

    def cap_memory():
        # Peers that need more address space than this fail their row instead of pushing a
        # shared machine into swapping or its out-of-memory killer.
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

    try:
        r = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, check=False,
                           preexec_fn=cap_memory)
    except subprocess.TimeoutExpired:
        return {"func": func, "n": n, "impl": impl, "error": f"over {timeout:.0f} s"}
    lines = [ln for ln in r.stdout.splitlines() if ln.startswith("{")]
    if r.returncode != 0 or not lines:
        tail = (r.stderr.strip().splitlines() or ["exit %d" % r.returncode])[-1]
        if r.returncode < 0:
            tail = f"killed by signal {-r.returncode}"
        if "MemoryError" in r.stderr or "can't allocate memory" in r.stderr or "Cannot allocate" in r.stderr:
            tail = f"out of memory (over {mem_gb:g} GiB)"
        return {"func": func, "n": n, "impl": impl, "error": tail[:80]}
    return json.loads(lines[-1])


def fmt_ratio(rec, cpu=False):
    if rec is None or rec.get("missing"):
        return "-"
    if "error" in rec:
        return "fail"
    text = "%.2f" % (rec["time_s"] / rec["floor_s"])
    if cpu and "cpu_s" in rec:
        text += " (%.2f)" % (rec["cpu_s"] / rec["floor_cpu_s"])
    return text


def fmt_equal(func, rec, peer):
    if rec is None or rec.get("missing"):
        return "-"
    if "error" in rec:
        return "?"
    if peer == "byzfl" and func in DIFFERENCES and func not in ("clip", "arc"):
        return "def"
    d = rec.get("diff")
    if d is None:
        return "?"
    return "=" if d <= TOL else "%.1e" % d


def target_text(func, fen):
    if fen is None or "error" in fen:
        return ""
    r = fen["time_s"] / fen["floor_s"]
    if func == "bulyan" and "krum_s" in fen:
        q = fen["time_s"] / (fen["krum_s"] + fen["median_s"])
        return "%.2fx krum+median %s" % (q, "ok" if q <= 1.2 else "MISS (1.2)")
    if func == "nnm" and "krum_s" in fen:
        q = fen["time_s"] / fen["krum_s"]
        return "%.2fx krum %s" % (q, "ok" if q <= 2.5 else "MISS (2.5)")
    if func in ("clip", "arc", "meamed"):
        return "%.2f floors %s" % (r, "ok" if r <= 2.0 else "MISS (2)")
    if func == "geometric_median":
        return "%.2f floors/step %s" % (r, "ok" if r < 2.5 else "MISS (2.5)")
    return ""


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--n", type=int, nargs="+", default=[50, 200])
    ap.add_argument("--reps", type=int, default=3)
    ap.add_argument("--only", default="", help="comma-separated function names")
    ap.add_argument("--no-byzfl", action="store_true")
    ap.add_argument("--no-numpy", action="store_true")
    ap.add_argument("--timeout", type=float, default=900.0, help="seconds per measurement")
    ap.add_argument("--json", default="", help="also write every record to this file")
    ap.add_argument("--mem-gb", type=float, default=9.5,
                    help="address-space cap of every measurement process, in GiB")
    ap.add_argument("--table", nargs="+", default=[],
                    help="print the table of saved --json files (a later record of the same "
                         "function, n and implementation replaces an earlier one)")
    ap.add_argument("--worker", nargs=5, help=argparse.SUPPRESS)
    a = ap.parse_args()
    if a.table:
        print_saved(a.table)
        return
    if a.worker:
        func, n, impl, reps, result_dir = a.worker
        if func == "page_cost":
            print(json.dumps(page_cost(int(n), int(reps))), flush=True)
        else:
            print(json.dumps(worker(func, int(n), impl, int(reps), result_dir)), flush=True)
        return
    # These variables slow a current NumPy's OpenBLAS on some machines; NumPy must run as a
    # user's would. They are read when NumPy loads, so the workers start without them.
    for v in _SLOW_BLAS_VARS:
        os.environ.pop(v, None)
    import tempfile

    import numpy as np

    import fenro

    funcs = [s for s in a.only.split(",") if s] or FUNCS
    impls = ["fenro"] + ([] if a.no_numpy else ["numpy"]) + ([] if a.no_byzfl else ["byzfl"])
    records = []
    print(f"fenro {fenro.__version__}, NumPy {np.__version__}, {os.cpu_count()} CPUs; "
          f"{ROWS} x {COLS} float32 per update; best of {a.reps}; ratios to one np.copyto of "
          f"the input", flush=True)
    with tempfile.TemporaryDirectory(prefix="fenro-bench-") as tmp:
        for n in a.n:
            pc = run_worker("page_cost", n, "-", a.reps, tmp, a.timeout, a.mem_gb)
            records.append(pc)
            if "touch_4k" in pc:
                print(f"\nn = {n}: copy floor {pc['floor_s'] * 1e3:.1f} ms; first touch of "
                      f"{n * ROWS * COLS * 4 / 1e6:.0f} MB of fresh memory (one write per 4 KB "
                      f"page): {pc['touch_4k']:.2f} floors with 4 KB pages, {pc['touch_2m']:.2f} "
                      f"with 2 MB pages; one np.copyto into fresh 2 MB pages "
                      f"{pc['copy_fresh_2m']:.2f} floors", flush=True)
            for func in funcs:
                row = {}
                for impl in impls:  # fenro first: the peers compare with its saved result
                    row[impl] = run_worker(func, n, impl, a.reps, tmp, a.timeout, a.mem_gb)
                    records.append(row[impl])
                path = os.path.join(tmp, f"{func}-{n}-fenro.npy")
                if os.path.exists(path):
                    os.remove(path)
                print_row(func, n, row, header=(func == funcs[0]))
    print_differences()
    if a.json:
        with open(a.json, "w") as fh:
            json.dump(records, fh, indent=1)


def print_saved(paths):
    rows, pages = {}, {}
    for path in paths:
        with open(path) as fh:
            for rec in json.load(fh):
                if rec.get("page_cost"):
                    pages[rec["n"]] = rec
                else:
                    rows.setdefault((rec["n"], rec["func"]), {})[rec["impl"]] = rec
    for n in sorted({k[0] for k in rows}):
        if n in pages:
            pc = pages[n]
            print(f"\nn = {n}: copy floor {pc['floor_s'] * 1e3:.1f} ms; fresh memory, first touch "
                  f"{pc['touch_4k']:.2f} floors (4 KB pages) / {pc['touch_2m']:.2f} (2 MB pages); "
                  f"np.copyto into fresh 2 MB pages {pc['copy_fresh_2m']:.2f} floors")
        first = True
        for func in FUNCS:
            if (n, func) in rows:
                print_row(func, n, rows[(n, func)], header=first)
                first = False
    print_differences()


def print_differences():
    print("\nDIFFERENCES (times compare the functions as they are; results of a different "
          "definition only with NumPy):")
    for k, v in DIFFERENCES.items():
        print(f"  {k}: {v}")


def print_row(func, n, row, header):
    if header:
        print(f"\n| function | n | fenro (CPU) | ByzFL | NumPy | x ByzFL | target | equal ByzFL | "
              f"equal NumPy | extra MB fenro / ByzFL / NumPy |")
        print("|---|---|---|---|---|---|---|---|---|---|")
    fen, byz, npv = row.get("fenro"), row.get("byzfl"), row.get("numpy")
    speed = "-"
    if fen and byz and "time_s" in fen and "time_s" in byz:
        speed = "%.0fx" % ((byz["time_s"] / byz["floor_s"]) / (fen["time_s"] / fen["floor_s"]))
    elif byz and "error" in byz:
        speed = byz["error"]

    def mb(r):
        return "%.0f" % r["extra_mb"] if r and "extra_mb" in r else "-"

    err = fen.get("error", "") if fen else ""
    print(f"| {func} | {n} | {fmt_ratio(fen, cpu=True)}{' ' + err if err else ''} | {fmt_ratio(byz)} | "
          f"{fmt_ratio(npv)} | {speed} | {target_text(func, fen)} | "
          f"{fmt_equal(func, byz, 'byzfl')} | {fmt_equal(func, npv, 'numpy')} | "
          f"{mb(fen)} / {mb(byz)} / {mb(npv)} |", flush=True)


if __name__ == "__main__":
    main()
