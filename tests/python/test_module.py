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
