"""FENRO_SIMD: every SIMD target the CPU runs gives the same bits through the Python API, and a
value that cannot be honoured is a ValueError at the first round, never a fallback."""

import json
import os

import pytest
from conftest import run_python

TARGETS = ["scalar", "avx2", "avx512"]

# Prints, as JSON, a digest of every case's result (or its error text) under the FENRO_SIMD of
# the environment: each method, weighted FedAvg, a norm bound with client ids (the norm and
# reputation-distance kernels), and Krum at 9 and 24 updates (both Gram tiles), on values with
# tails for every vector width: signed zeros, subnormals, ties and magnitudes far apart.
CASES = """
import hashlib, json
import numpy as np
from fenro import ByzantineAggregator

def updates(n, shape, seed):
    rng = np.random.default_rng(seed)
    out = []
    for i in range(n):
        u = rng.standard_normal(shape).astype(np.float32) * np.float32(10.0 ** (i % 7 - 3))
        u.flat[::5] = rng.integers(-2, 3, u.size)[::5]  # ties and zeros
        u.flat[1::11] = -0.0
        u.flat[2::13] = 1e-40 * (i + 1)
        out.append(u)
    out[3] = out[1].copy()
    return out

def digest(f):
    try:
        return hashlib.sha256(np.ascontiguousarray(f()).tobytes()).hexdigest()
    except ValueError as e:
        return "ValueError: " + str(e)

big = updates(24, (37, 53), 1)
small = updates(9, (5, 300), 2)
ids = [f"c{i}" for i in range(24)]
bad = [u.copy() for u in small]
bad[4][2, 7] = np.nan
out = {}
for method in ["fedavg", "trimmed_mean", "median", "krum", "multi_krum", "multi_krum:2:4"]:
    for name, data in [("big", big), ("small", small), ("nan", bad)]:
        out[f"{method}/{name}"] = digest(lambda: ByzantineAggregator(method, 0.2).aggregate(data))
    agg = ByzantineAggregator(method, 0.2, 0.25, norm_bound=40.0)
    out[f"{method}/bound+ids"] = digest(lambda: [agg.aggregate(big, ids) for _ in range(3)][-1])
    out[f"{method}/reputation"] = agg.to_json()
w = np.linspace(0.0, 3.0, 24).astype(np.float32)
out["fedavg/weighted"] = digest(lambda: ByzantineAggregator("fedavg", 0).aggregate(big, weights=w))
print(json.dumps(out))
"""


def run_cases(simd):
    env = dict(os.environ)
    env.pop("FENRO_SIMD", None)
    if simd is not None:
        env["FENRO_SIMD"] = simd
    return run_python(CASES, env=env, timeout=300)


def lacks(r, target):
    # Every case then reports this ValueError (quotes escaped by JSON).
    return f'FENRO_SIMD=\\"{target}\\" selects a SIMD target this CPU lacks' in r.stdout


def test_every_target_gives_the_same_bits_for_every_method():
    results = {}
    for target in [None] + TARGETS:
        r = run_cases(target)
        if target is not None and lacks(r, target):
            continue
        assert r.returncode == 0, r.stderr
        results[target] = json.loads(r.stdout)
    assert "scalar" in results
    reference = results["scalar"]
    assert reference["krum/nan"].startswith("ValueError: ")  # errors are compared too
    for target, got in results.items():
        assert got == reference, target


@pytest.mark.parametrize("value, message", [
    ("AVX2", 'FENRO_SIMD="AVX2" is not a SIMD target (expected scalar, avx2 or avx512)'),
    ("sse\udcff", 'FENRO_SIMD="sse\\xff" is not a SIMD target (expected scalar, avx2 or avx512)'),
])
def test_an_unknown_target_fails_the_first_round_with_an_exact_message(value, message):
    r = run_python("""
        import sys
        import numpy as np
        from fenro import ByzantineAggregator
        agg = ByzantineAggregator("median", 0.1)  # construction does not dispatch
        for _ in range(2):
            try:
                agg.aggregate([np.ones((2, 2), np.float32)] * 3)
            except ValueError as e:
                print(e)
        """, env={**os.environ, "FENRO_SIMD": os.fsencode(value)}, timeout=60)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == [message, message]


def test_an_empty_value_means_the_default():
    r = run_cases("")
    assert r.returncode == 0, r.stderr
    assert json.loads(r.stdout) == json.loads(run_cases(None).stdout)
