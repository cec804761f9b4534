import subprocess
import sys
import textwrap

import numpy as np
import pytest

# Every method text, with enough updates for its quorum (Krum needs 2f + 3).
METHODS = ["fedavg", "trimmed_mean", "median", "krum", "multi_krum", "multi_krum:1:2"]


@pytest.fixture(params=METHODS)
def method(request):
    return request.param


def make_updates(n=7, shape=(3, 5), seed=0):
    rng = np.random.default_rng(seed)
    return [rng.standard_normal(shape).astype(np.float32) for _ in range(n)]


def error_text(exc, fn, *args, **kwargs):
    """The message of the `exc` that fn(*args, **kwargs) raises."""
    with pytest.raises(exc) as info:
        fn(*args, **kwargs)
    return str(info.value)


class Reenters:
    """A number whose conversion first calls `fn` (typically back into the object being called)
    and records in `seen` the RuntimeError that call raises."""

    def __init__(self, fn, seen, value=1.0):
        self.fn, self.seen, self.value = fn, seen, value

    def __float__(self):
        try:
            self.fn()
        except RuntimeError as e:
            self.seen.append(str(e))
        return self.value


def run_python(code, *args, **kwargs):
    """Runs `code` in a fresh interpreter, so that a crash fails one test, not pytest."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code), *args],
                          capture_output=True, text=True, **kwargs)
