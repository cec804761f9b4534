"""The extension module: lazy imports, one initialisation, closed classes, published API."""

import inspect
import weakref

import pytest
from conftest import run_python

import fenro
from fenro import _core
from fenro._core import ByzantineAggregator, ReputationManager


def test_imports_stay_lazy_and_a_second_initialisation_raises_import_error():
    r = run_python("""
        import importlib, sys
        import fenro, fenro._core
        assert "flwr" not in sys.modules, "importing fenro imported flwr"
        assert "numpy" not in sys.modules, "importing fenro._core imported numpy"
        fenro._core.ReputationManager().reward("a", 0.1)
        try:
            fenro._core.ByzantineAggregator("median", 0.1).aggregate([])
        except ValueError:
            pass
        assert "numpy" not in sys.modules, "a call without arrays imported numpy"
        del sys.modules["fenro._core"]
        try:
            importlib.import_module("fenro._core")
        except ImportError as e:
            print("ImportError:", e)
        """)
    assert r.returncode == 0 and "ImportError" in r.stdout, r.stdout + r.stderr


def test_module_lists_both_classes_in_order():
    assert _core.__all__ == ["ByzantineAggregator", "ReputationManager"]
    assert fenro.ByzantineAggregator is ByzantineAggregator
    assert isinstance(fenro.__version__, str)


@pytest.mark.parametrize("obj", [ByzantineAggregator("fedavg", 0.1), ReputationManager()])
def test_classes_are_closed_builtins_types(obj):
    cls = type(obj)
    assert repr(cls) == f"<class 'builtins.{cls.__name__}'>"
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    with pytest.raises(AttributeError):
        obj.extra = 1
    assert not hasattr(obj, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(obj)


@pytest.mark.parametrize("fn, signature", [
    (ByzantineAggregator,
     "(method, trim_fraction, ban_threshold=0.0, adaptive_trim=False, norm_bound=None)"),
    (ReputationManager, "(ban_threshold=0.2)"),
    (ByzantineAggregator.aggregate, "(self, /, updates, client_ids=None, weights=None)"),
    (ByzantineAggregator.from_json, "(json_str)"),
    (ReputationManager.from_json, "(json_str, ban_threshold=0.2)"),
    (ReputationManager.decay, "(self, /, rate=0.02)"),
])
def test_signatures_are_published(fn, signature):
    assert str(inspect.signature(fn)) == signature


def test_public_names_are_documented():
    for cls in (ByzantineAggregator, ReputationManager):
        for name in [None] + [n for n in dir(cls) if not n.startswith("_")]:
            doc = (getattr(cls, name) if name else cls).__doc__
            assert doc and doc.strip(), f"{cls.__name__}.{name} has no docstring"
