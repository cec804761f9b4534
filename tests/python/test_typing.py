"""The package's type stubs let a typical script pass `mypy --strict`, and catch a misuse;
the package's own typed code passes `mypy --strict` too."""

import pathlib
import subprocess
import sys

import pytest

GOOD = """
from typing import Dict, List, Optional, Tuple

import numpy as np
import numpy.typing as npt

import fenro
from fenro import ByzantineAggregator, ReputationManager

agg = ByzantineAggregator("trimmed_mean", 0.1, norm_bound=10.0)
updates: List[npt.NDArray[np.float32]] = [np.ones((2, 3), np.float32) for _ in range(5)]
out: npt.NDArray[np.float32] = agg.aggregate(updates, client_ids=["a", "b", "c", "d", "e"])
bound: Optional[float] = agg.norm_bound
restored: ByzantineAggregator = ByzantineAggregator.from_json(agg.to_json())
agg.decay_reputations(rate=0.05)
mgr = ReputationManager(0.2)
mgr.reward("a", 0.1)
active: List[Tuple[str, float]] = mgr.active_clients()
scores: Dict[str, float] = mgr.all_scores()
version: str = fenro.__version__

from fenro import robust
stack: npt.NDArray[np.float32] = np.ones((5, 2, 3), np.float32)
rule: npt.NDArray[np.float32] = robust.bulyan(updates, f=0)
mixed: npt.NDArray[np.float32] = robust.nnm(stack, f=np.int64(1))
info: robust.ArcInfo = robust.arc_info(stack, f=1)
clipped: Tuple[int, ...] = info.clipped_indices
agg2, audit = robust.aggregate_with_audit(agg, updates, ["a", "b", "c", "d", "e"])
decision: robust.AuditDecision = audit.decisions[0]
if isinstance(decision.verdict, robust.RejectedByNormBound):
    norm: float = decision.verdict.norm

composed = robust.ComposedAggregator("nnm(f=1) | krum(f=1); norm_bound=10, ban_threshold=0.3")
mean, round_audit = composed.aggregate(stack, client_ids=["a", "b", "c", "d", "e"])
record: robust.ClientRecord = round_audit.clients[0]
if isinstance(record.verdict, robust.Malformed):
    problem: str = record.verdict.problem
distance: Optional[float] = record.distance
stage: robust.StageRecord = round_audit.stages[-1]
as_json: str = round_audit.to_json()
defense: robust.Defense = robust.Defense.parse(composed.to_text())
restored_composed = robust.ComposedAggregator.from_json(composed.to_json())
weighted = robust.ComposedAggregator(robust.Defense((robust.Stage("median"),), influence=True))
weighted.aggregate(updates, ["a", "b", "c", "d", "e"], weights=[1, 2, 3, 4, 5],
                   expected_shape=(2, 3))
"""
BAD = "from fenro import ReputationManager\nx: int = ReputationManager().to_json()\n"
BAD_ROBUST = "from fenro import robust\nrobust.krum([], f=1.5)\n"


@pytest.mark.parametrize("source, code, output", [(GOOD, 0, "Success"),
                                                  (BAD, 1, "Incompatible types"),
                                                  (BAD_ROBUST, 1, "No overload variant of \"krum\"")])
def test_mypy_strict(source, code, output, tmp_path):
    pytest.importorskip("mypy")
    (tmp_path / "example.py").write_text(source)
    r = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                        "--cache-dir", str(tmp_path / "cache"), "example.py"],
                       capture_output=True, text=True, cwd=tmp_path)
    assert r.returncode == code and output in r.stdout, r.stdout + r.stderr


def test_package_passes_mypy_strict(tmp_path):
    # The installed package, with the project's mypy settings (which only let the demo's
    # untyped optional libraries through). flower.py and bench.py are not typed yet.
    pytest.importorskip("mypy")
    config = pathlib.Path(__file__).resolve().parents[2] / "pyproject.toml"
    r = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                        "--cache-dir", str(tmp_path / "cache"), "--config-file", str(config),
                        "-m", "fenro", "-m", "fenro.__main__", "-p", "fenro.demo",
                        "-p", "fenro.robust", "-p", "fenro.distributed"],
                       capture_output=True, text=True, cwd=tmp_path)
    assert r.returncode == 0 and "Success" in r.stdout, r.stdout + r.stderr
