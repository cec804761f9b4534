"""fenro.flower.FenroStrategy driven by Flower's own strategy loop (Strategy.start) over a
one-process Grid that hands every message to a real ClientApp."""

import importlib.util
import logging
import pathlib
import subprocess
import sys

import numpy as np
import pytest

flwr = pytest.importorskip("flwr")
from flwr.app import ArrayRecord, Message, MetricRecord, RecordDict  # noqa: E402
from flwr.clientapp import ClientApp  # noqa: E402

from fenro import ByzantineAggregator  # noqa: E402
from fenro.flower import FenroStrategy  # noqa: E402

EXAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "flower_strategy.py"


@pytest.fixture(scope="module")
def example():
    module_spec = importlib.util.spec_from_file_location("flower_strategy_example", EXAMPLE)
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


def run(example, reply_fn, aggregator, nodes, rounds, initial, **kwargs):
    """Runs Flower's loop; reply_fn(node, arrays as numpy list) -> (arrays, examples)."""
    strategy = FenroStrategy(aggregator, fraction_evaluate=0.0, min_available_nodes=len(nodes),
                             min_train_nodes=len(nodes), **kwargs)
    app = ClientApp()

    @app.train()
    def train(msg, context):
        arrays, count = reply_fn(context.node_id, msg.content["arrays"].to_numpy_ndarrays())
        content = RecordDict({"arrays": ArrayRecord(arrays),
                              "metrics": MetricRecord({"num-examples": count})})
        return Message(content, reply_to=msg)

    grid = example.InProcessGrid(app, nodes)
    return strategy.start(grid=grid, initial_arrays=ArrayRecord(initial), num_rounds=rounds)


def test_example_bans_the_byzantine_nodes_and_learns(example):
    strategy, result = example.server_main(example.InProcessGrid(example.client_app,
                                                                 example.NODES), rounds=6)
    w = result.arrays.to_numpy_ndarrays()[0]
    assert np.linalg.norm(w - example.TRUE_W) < 0.3
    first, last = result.train_metrics_clientapp[1], result.train_metrics_clientapp[6]
    assert sorted(last["fenro-banned"]) == sorted(example.BYZANTINE)
    assert sorted(last["fenro-excluded"]) == sorted(example.BYZANTINE)
    assert first["fenro-excluded"] == [] and first["fenro-banned"] == []
    for node in example.NODES:
        score = last[f"fenro-reputation.{node}"]
        assert score == strategy.aggregator.get_reputation(str(node))
        assert (score < 0.3) == (node in example.BYZANTINE)
    # The aggregator keeps the run's scores under the node ids, ready for to_json.
    assert '"101":' in strategy.aggregator.to_json()


def test_fedavg_is_the_example_weighted_mean_of_every_array(example):
    start = [np.zeros((2, 3), np.float32), np.ones(4, np.float64)]
    # Node k moves every array by k and reports k examples.
    result = run(example, lambda node, arrays: ([a + node for a in arrays], node),
                 ByzantineAggregator("fedavg", 0.0), [7, 8, 9], 1, start)
    out = result.arrays.to_numpy_ndarrays()
    shift = (7 * 7 + 8 * 8 + 9 * 9) / (7 + 8 + 9)
    assert out[0].dtype == np.float32 and out[0].shape == (2, 3)
    assert out[1].dtype == np.float64 and out[1].shape == (4,)
    np.testing.assert_allclose(out[0], shift, rtol=1e-6)
    np.testing.assert_allclose(out[1], 1.0 + shift, rtol=1e-6)


def test_refused_round_keeps_the_model_and_still_reports(example, caplog):
    # Krum tolerating 2 needs 7 replies; with 3 the aggregator refuses every round.
    start = [np.full((1, 2), 5.0, np.float32)]
    with caplog.at_level(logging.WARNING, logger="flwr"):
        result = run(example, lambda node, arrays: ([a + 1 for a in arrays], 1),
                     ByzantineAggregator("krum:2", 0.0), [1, 2, 3], 2, start,
                     client_id_fn=lambda node: f"n{node}")
    assert len(result.arrays) == 0   # no round produced arrays: the start model stays
    assert "Insufficient quorum: need 7, got 3" in caplog.text
    metrics = result.train_metrics_clientapp[2]
    assert metrics["fenro-reputation.n2"] == 0.5 and metrics["fenro-banned"] == []


def test_norm_bound_sees_updates_not_models(example):
    # The models are large but the updates small: a bound of 1 must let them all through.
    start = [np.full((3, 3), 100.0, np.float32)]
    result = run(example, lambda node, arrays: ([a + 0.01 * node for a in arrays], 1),
                 ByzantineAggregator("median", 0.0, norm_bound=1.0), [1, 2, 3], 1, start)
    np.testing.assert_allclose(result.arrays.to_numpy_ndarrays()[0], 100.02, rtol=1e-6)


SIMULATION = '''
import numpy as np
from flwr.app import ArrayRecord, Message, MetricRecord, RecordDict
from flwr.clientapp import ClientApp
from flwr.serverapp import ServerApp
from flwr.simulation import run_simulation

from fenro import ByzantineAggregator
from fenro.flower import FenroStrategy

TRUE_W = np.linspace(-1.0, 1.0, 8).reshape(8, 1)
NODES, BYZANTINE = 10, {0, 3, 6}
client_app = ClientApp()


@client_app.train()
def train(msg, context):
    pid = int(context.node_config["partition-id"])
    rng = np.random.default_rng(pid)
    x = rng.normal(size=(64, 8))
    y = x @ TRUE_W + rng.normal(scale=0.1, size=(64, 1))
    w = msg.content["arrays"].to_numpy_ndarrays()[0]
    for _ in range(5):
        w = w - 0.1 * x.T @ (x @ w - y) / len(x)
    if pid in BYZANTINE:
        w = -5.0 * TRUE_W
    content = RecordDict({"arrays": ArrayRecord([w]),
                          "metrics": MetricRecord({"num-examples": 64, "pid": pid})})
    return Message(content, reply_to=msg)


server_app = ServerApp()


@server_app.main()
def main(grid, context):
    strategy = FenroStrategy(ByzantineAggregator("median", 0.0, ban_threshold=0.3),
                             fraction_evaluate=0.0, min_train_nodes=NODES,
                             min_available_nodes=NODES)
    result = strategy.start(grid=grid, initial_arrays=ArrayRecord([np.zeros((8, 1))]),
                            num_rounds=6)
    w = result.arrays.to_numpy_ndarrays()[0]
    last = result.train_metrics_clientapp[6]
    scores = sorted(v for k, v in last.items() if k.startswith("fenro-reputation."))
    print("RESULT", float(np.linalg.norm(w - TRUE_W)), len(last["fenro-banned"]),
          scores[2] < 0.3 < scores[3], flush=True)


run_simulation(server_app=server_app, client_app=client_app, num_supernodes=NODES,
               backend_config={"client_resources": {"num_cpus": 1, "num_gpus": 0.0}})
'''


@pytest.mark.skipif(importlib.util.find_spec("ray") is None,
                    reason="Flower's simulation runtime needs flwr[simulation] (ray)")
def test_strategy_in_flowers_simulation_runtime(tmp_path):
    script = tmp_path / "simulation.py"
    script.write_text(SIMULATION)
    r = subprocess.run([sys.executable, str(script)], capture_output=True, text=True,
                       timeout=600, cwd=tmp_path)
    lines = [line for line in r.stdout.splitlines() if line.startswith("RESULT")]
    assert r.returncode == 0 and lines, r.stdout[-3000:] + r.stderr[-3000:]
    _, distance, banned, separated = lines[0].split()
    assert float(distance) < 0.3 and banned == "3" and separated == "True", lines[0]
