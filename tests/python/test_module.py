import subprocess
import sys
import textwrap


def run_python(code):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        check=False,
    )


def test_import_does_not_import_numpy():
    r = run_python(
        """
        import sys
        import fenro._core
        assert "numpy" not in sys.modules, "importing fenro._core imported numpy"
        m = fenro._core.ReputationManager()
        m.reward("a", 0.1)
        try:
            fenro._core.ByzantineAggregator("median", 0.1).aggregate([])
        except ValueError:
            pass
        assert "numpy" not in sys.modules, "a call without arrays imported numpy"
        """
    )
    assert r.returncode == 0, r.stderr


def test_second_initialisation_in_one_process_raises_import_error():
    r = run_python(
        """
        import importlib, sys
        import fenro._core
        del sys.modules["fenro._core"]
        try:
            importlib.import_module("fenro._core")
        except ImportError as e:
            print("ImportError:", e)
        else:
            raise SystemExit("second initialisation succeeded")
        """
    )
    assert r.returncode == 0, r.stderr
    assert "ImportError" in r.stdout


import inspect

import pytest

import fenro
from fenro import _core
from fenro._core import ByzantineAggregator, ReputationManager

CLASSES = [ByzantineAggregator, ReputationManager]


def test_module_lists_both_classes_in_order():
    assert _core.__all__ == ["ByzantineAggregator", "ReputationManager"]
    assert fenro.ByzantineAggregator is ByzantineAggregator
    assert isinstance(fenro.__version__, str)


@pytest.mark.parametrize("cls", CLASSES)
def test_classes_are_closed_builtins_types(cls):
    assert cls.__module__ == "builtins"
    assert repr(cls) == f"<class 'builtins.{cls.__name__}'>"
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    obj = cls("fedavg", 0.1) if cls is ByzantineAggregator else cls()
    with pytest.raises(AttributeError):
        obj.extra = 1
    assert not hasattr(obj, "__dict__")
    with pytest.raises(TypeError):
        import weakref

        weakref.ref(obj)


def test_signatures_are_published():
    sig = inspect.signature
    assert str(sig(ByzantineAggregator)) == (
        "(method, trim_fraction, ban_threshold=0.0, adaptive_trim=False, norm_bound=None)"
    )
    assert str(sig(ReputationManager)) == "(ban_threshold=0.2)"
    assert str(sig(ByzantineAggregator.aggregate)) == (
        "(self, /, updates, client_ids=None, weights=None)"
    )
    assert str(sig(ByzantineAggregator.from_json)) == "(json_str)"
    assert str(sig(ReputationManager.from_json)) == "(json_str, ban_threshold=0.2)"
    assert str(sig(ReputationManager.decay)) == "(self, /, rate=0.02)"


def test_docstrings():
    assert ByzantineAggregator.__doc__.startswith(
        "Byzantine-tolerant aggregator for federated learning model updates."
    )
    assert ReputationManager.__doc__.startswith(
        "Standalone reputation manager with string-based client IDs.\n\n"
    )
    assert ByzantineAggregator.aggregate.__doc__ == (
        "Aggregate client model updates using the configured method.\n\n"
        "Args:\n"
        "    updates: List of 2D numpy arrays (one per client).\n"
        "    client_ids: Optional list of client identifier strings for reputation tracking.\n\n"
        "Returns:\n"
        "    Aggregated 2D numpy array."
    )
    assert ByzantineAggregator.norm_bound.__doc__ == (
        "The configured norm bound, or None when filtering is disabled."
    )
    assert ReputationManager.influence_weight.__doc__ == (
        "Compute the influence weight for a client: min(rep^3, 0.8)."
    )
