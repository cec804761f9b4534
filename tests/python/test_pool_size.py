"""The worker pool's size: FENRO_NUM_THREADS before RAYON_NUM_THREADS and RAYON_RS_NUM_CPUS, and
a cap of 4 threads per logical CPU, observed as the threads a first round starts."""

import os
import resource
import sys

import pytest
from conftest import run_python

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"),
                                reason="counts threads in /proc")

# Prints how many threads the first round starts (the pool's workers: its size minus the caller).
COUNT = """
import numpy as np
from fenro import ByzantineAggregator

def threads():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("Threads:"))

updates = [np.ones((512, 512), np.float32)] * 3
before = threads()
ByzantineAggregator("fedavg", 0.1).aggregate(updates)
print(threads() - before)
"""

CPUS = os.cpu_count() or 1


def limit_address_space():
    # A pool that ignored the cap would stop at about 1500 threads here instead of exhausting
    # the machine: thread creation fails, and the pool carries on with the threads it has.
    resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))


@pytest.mark.parametrize("env, size", [
    ({"FENRO_NUM_THREADS": "3", "RAYON_NUM_THREADS": "1", "RAYON_RS_NUM_CPUS": "2"}, 3),
    ({"FENRO_NUM_THREADS": "x", "RAYON_NUM_THREADS": "2", "RAYON_RS_NUM_CPUS": "3"}, 2),
    ({"FENRO_NUM_THREADS": "0", "RAYON_NUM_THREADS": "2"}, CPUS),
    ({"RAYON_NUM_THREADS": "", "RAYON_RS_NUM_CPUS": "2"}, 2),
    ({"RAYON_NUM_THREADS": "100000"}, 4 * CPUS),
    ({"FENRO_NUM_THREADS": "18446744073709551615"}, 4 * CPUS),
])
def test_first_round_starts_the_pool_the_environment_asks_for_within_the_cap(env, size):
    base = {k: v for k, v in os.environ.items()
            if k not in ("FENRO_NUM_THREADS", "RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")}
    r = run_python(COUNT, env={**base, **env}, timeout=120, preexec_fn=limit_address_space)
    assert r.returncode == 0, r.stderr
    assert int(r.stdout) == size - 1
