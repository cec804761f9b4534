"""Every script under examples/ runs to completion against the installed package."""

import pathlib
import subprocess
import sys

import pytest

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"


@pytest.mark.parametrize("script, needs", [("aggregate_one_round.py", None),
                                           ("reputation_across_restarts.py", None),
                                           ("composed_defense.py", None),
                                           ("flower_strategy.py", "flwr"),
                                           ("distributed_round.py", "ray")])
def test_example_runs(script, needs, tmp_path):
    if needs:
        pytest.importorskip(needs)
    r = subprocess.run([sys.executable, str(EXAMPLES / script)], cwd=tmp_path,
                       capture_output=True, text=True, timeout=300)
    assert r.returncode == 0 and r.stdout.strip(), r.stdout + r.stderr
