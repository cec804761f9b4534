"""Random argument types and shapes: only TypeError, ValueError or RuntimeError, never a crash.
Runs in a child process so that a crash is reported as a failure instead of killing pytest."""

import os

from conftest import run_python

FUZZ = """
    import sys
    import numpy as np
    from hypothesis import HealthCheck, given, settings
    from hypothesis import strategies as st
    from fenro import ByzantineAggregator, ReputationManager

    dtypes = st.sampled_from([np.float32, np.float64, np.int32, ">f4", np.bool_, object])
    shapes = st.lists(st.integers(0, 4), min_size=0, max_size=4).map(tuple)
    arrays = st.builds(lambda s, d: np.zeros(s, dtype=d) + 1 if d is not object
                       else np.empty(s, dtype=d), shapes, dtypes)
    f32 = st.builds(lambda s: np.ones(s, np.float32),
                    st.tuples(st.integers(0, 3), st.integers(0, 3)))
    scalars = st.one_of(st.none(), st.booleans(), st.integers(-2**70, 2**70), st.floats(),
                        st.text(max_size=4), st.binary(max_size=4))
    values = st.recursive(st.one_of(scalars, arrays, f32), lambda c: st.one_of(
        st.lists(c, max_size=4), st.tuples(c, c), st.dictionaries(st.text(max_size=2), c,
                                                                  max_size=2)), max_leaves=8)
    methods = st.one_of(st.sampled_from(["fedavg", "median", "trimmed_mean", "krum:0",
                                         "multi_krum:0:1", "krum"]), st.text(max_size=12))
    ALLOWED = (TypeError, ValueError, RuntimeError, OverflowError, UnicodeEncodeError)

    @settings(max_examples=int(sys.argv[1]), deadline=None,
              suppress_health_check=list(HealthCheck))
    @given(methods, values, values, values, values, st.lists(values, max_size=4))
    def fuzz(method, a, b, c, d, args):
        try:
            agg = ByzantineAggregator(method, a, 0.0 if b is None else b)
        except ALLOWED:
            agg = ByzantineAggregator("median", 0.1)
        mgr = ReputationManager()
        for call in (lambda: agg.aggregate(b, c, d), lambda: agg.aggregate(*args),
                     lambda: agg.aggregate(updates=a), lambda: agg.get_reputation(*args),
                     lambda: agg.decay_reputations(*args), lambda: ByzantineAggregator.from_json(a),
                     lambda: mgr.set_score(*args), lambda: mgr.reward(a, b), lambda: mgr.decay(c),
                     lambda: ReputationManager.from_json(*args), lambda: ReputationManager(a)):
            try:
                call()
            except ALLOWED:
                pass

    fuzz()
    print("fuzz ok")
    """


def test_api_fuzz_never_crashes():
    r = run_python(FUZZ, os.environ.get("FENRO_FUZZ_EXAMPLES", "150"), timeout=600)
    assert r.returncode == 0 and "fuzz ok" in r.stdout, r.stdout + r.stderr
