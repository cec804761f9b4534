"""A child forked after a parallel round can aggregate again."""

import os
import warnings

import pytest
from conftest import make_updates

from fenro import ByzantineAggregator


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_child_forked_after_a_parallel_round_aggregates():
    updates = make_updates(9, (64, 64))
    ref = ByzantineAggregator("median", 0.1).aggregate(updates)
    with warnings.catch_warnings():
        # The pool's threads exist now (3.12+ warns about that); that is the case under test.
        warnings.simplefilter("ignore", DeprecationWarning)
        pid = os.fork()
    if pid == 0:
        code = 1
        try:
            out = ByzantineAggregator("median", 0.1).aggregate(updates)
            code = 0 if out.tobytes() == ref.tobytes() else 2
        finally:
            os._exit(code)
    _, status = os.waitpid(pid, 0)
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0
