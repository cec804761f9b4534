"""fenro.flower.FenroStrategy driven by Flower's own strategy loop (Strategy.start) over a
one-process Grid that hands every message to a real ClientApp, and in Flower's simulation
runtime."""

import importlib.util
import json
import logging
import pathlib
import subprocess
import sys

import numpy as np
import pytest

flwr = pytest.importorskip("flwr")
from flwr.app import (Array, ArrayRecord, ConfigRecord, Message, MetricRecord,  # noqa: E402
                      RecordDict)
from flwr.clientapp import ClientApp  # noqa: E402
from flwr.serverapp.strategy import DifferentialPrivacyServerSideFixedClipping  # noqa: E402

from fenro import ByzantineAggregator  # noqa: E402
from fenro.flower import FenroStrategy, reply_client_id  # noqa: E402

EXAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "flower_strategy.py"


@pytest.fixture(scope="module")
def example():
    module_spec = importlib.util.spec_from_file_location("flower_strategy_example", EXAMPLE)
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


def record(arrays):
    """An ArrayRecord of a list of arrays or a dict of named arrays."""
    if isinstance(arrays, dict):
        return ArrayRecord({k: Array(np.asarray(v)) for k, v in arrays.items()})
    return ArrayRecord(arrays)


def run(example, reply_fn, aggregator, nodes, rounds, initial, strategy=None, **kwargs):
    """Runs Flower's loop. reply_fn(node, global arrays as a dict, round) returns the reply's
    content: a RecordDict, or (arrays, example count) for a plain reply."""
    strategy = strategy or FenroStrategy(aggregator, fraction_evaluate=0.0,
                                         min_available_nodes=len(nodes),
                                         min_train_nodes=len(nodes), **kwargs)
    app = ClientApp()

    @app.train()
    def train(msg, context):
        arrays = {k: v.numpy() for k, v in msg.content["arrays"].items()}
        content = reply_fn(context.node_id, arrays, msg.content["config"]["server-round"])
        if not isinstance(content, RecordDict):
            arrays, count = content
            content = RecordDict({"arrays": record(arrays),
                                  "metrics": MetricRecord({"num-examples": count,
                                                           "loss": 1.0})})
        return Message(content, reply_to=msg)

    grid = example.InProcessGrid(app, nodes)
    result = strategy.start(grid=grid, initial_arrays=record(initial), num_rounds=rounds)
    return strategy, result, grid


GOOD = list(range(1, 8))
BAD = 9          # first in the node list, so that its reply arrives first
START = {"w": np.zeros((2, 3), np.float32), "b": np.ones(4, np.float32)}


def step(arrays, count=10):
    """An honest reply: every array moves by +1."""
    return {k: v + 1 for k, v in arrays.items()}, count


def _arrays(**changes):
    def make(arrays):
        out = {k: v + 1 for k, v in arrays.items()}
        out.update(changes)
        return {k: v for k, v in out.items() if v is not None}
    return make


def _plain(make, count=10):
    return lambda arrays: (make(arrays), count)


def _content(arrays, metrics, **records):
    return RecordDict({"arrays": record(arrays), "metrics": MetricRecord(metrics),
                       **records})


# Each case: how the bad node replies, and whether that reply is usable.
BAD_REPLIES = {
    "keys in another order": (lambda a: (dict(reversed(list(step(a)[0].items()))), 10), True),
    "missing key": (_plain(_arrays(b=None)), False),
    "extra key": (_plain(_arrays(extra=np.zeros(2, np.float32))), False),
    "wrong shape": (_plain(_arrays(w=np.zeros((3, 2), np.float32))), False),
    "int8 arrives first": (_plain(_arrays(w=np.ones((2, 3), np.int8))), False),
    "float64": (_plain(_arrays(b=np.ones(4))), False),
    "nan": (_plain(_arrays(w=np.array([[1, np.nan, 1]] * 2, np.float32))), False),
    "inf": (_plain(_arrays(b=np.array([1, 1, -np.inf, 1], np.float32))), False),
    "negative num-examples": (lambda a: (step(a)[0], -49), False),
    "nan num-examples": (lambda a: (step(a)[0], float("nan")), False),
    "no num-examples": (lambda a: _content(step(a)[0], {"loss": 2.0}), False),
    "two MetricRecords": (lambda a: _content(step(a)[0], {"num-examples": 1},
                                             more=MetricRecord({"x": 1.0})), False),
    "no ArrayRecord": (lambda a: RecordDict({"metrics": MetricRecord({"num-examples": 1})}),
                       False),
    "no client id": (lambda a: _content(step(a)[0], {"num-examples": 10}), False),
}
DEFENSES = {"median": "median; ban_threshold=0.3",
            "fedavg": "fedavg; ban_threshold=0.3",
            "core median": lambda: ByzantineAggregator("median", 0.0, ban_threshold=0.3)}


@pytest.mark.parametrize("defense", DEFENSES)
@pytest.mark.parametrize("case", BAD_REPLIES)
def test_a_bad_reply_is_dropped_alone_and_its_node_banned(example, case, defense, caplog):
    bad_reply, usable = BAD_REPLIES[case]

    def reply(node, arrays, server_round):
        if node == BAD:
            return bad_reply(arrays)
        arrays, count = step(arrays, count=10 + node)
        return _content(arrays, {"num-examples": count, "loss": 1.0},
                        config=ConfigRecord({"name": f"site-{node}"}))

    config = DEFENSES[defense]
    aggregator = config() if callable(config) else config
    # The bad node names itself only in the "no client id" case's absence: the others do.
    names = reply_client_id("name")

    def client_id(msg):
        return str(msg.metadata.src_node_id) if msg.metadata.src_node_id == BAD and \
            case != "no client id" else names(msg)

    with caplog.at_level(logging.INFO, logger="flwr"):
        strategy, result, grid = run(example, reply, aggregator, [BAD] + GOOD, 4,
                                     dict(START), client_id_fn=client_id)
    out = {k: v.numpy() for k, v in result.arrays.items()}
    # Every round moves the model by +1 as the good nodes do; dtypes are the global ones.
    assert list(out) == ["w", "b"]
    assert out["w"].dtype == np.float32 and out["w"].shape == (2, 3)
    np.testing.assert_array_equal(out["w"], np.full((2, 3), 4, np.float32))
    np.testing.assert_array_equal(out["b"], np.full(4, 5, np.float32))
    first, last = result.train_metrics_clientapp[1], result.train_metrics_clientapp[4]
    trains = [nodes for kind, nodes in grid.sampled if kind == "train"]
    if usable:
        assert first["fenro-malformed"] == 0 and BAD in trains[3]
        return
    assert first["fenro-malformed"] == 1 and first["fenro-excluded"] == [BAD]
    assert first["fenro-accepted"] == len(GOOD) and first["loss"] == pytest.approx(1.0)
    assert "dropped the reply of node 9" in caplog.text
    assert strategy.last_outcomes and all(o.outcome == "accepted"
                                          for o in strategy.last_outcomes)
    # Three penalties take it from 0.5 below 0.3: the fourth round does not even sample it.
    assert BAD in trains[2] and trains[3] == GOOD
    assert last["fenro-excluded"] == [] and last["fenro-accepted"] == len(GOOD)
    assert strategy.is_banned("9") and not strategy.is_banned("site-1")


def test_fedavg_is_the_example_weighted_mean_of_every_array(example):
    start = [np.zeros((2, 3), np.float32), np.ones(4, np.float64)]
    # Node k moves every array by k and reports k examples.
    _, result, _ = run(example, lambda node, a, r: ({k: v + node for k, v in a.items()}, node),
                       "fedavg", [7, 8, 9], 1, start)
    out = result.arrays.to_numpy_ndarrays()
    shift = (7 * 7 + 8 * 8 + 9 * 9) / (7 + 8 + 9)
    assert out[0].dtype == np.float32 and out[1].dtype == np.float64
    np.testing.assert_allclose(out[0], shift, rtol=1e-6)
    np.testing.assert_allclose(out[1], 1.0 + shift, rtol=1e-6)


def test_metrics_count_every_outcome(example):
    # Nodes 1-7 move by about +1, 8 and 9 far away (over the bound), 10 sends a NaN. Krum
    # selects one of the seven honest ones.
    def reply(node, arrays, r):
        if node in (8, 9):
            return {k: v + 100 for k, v in arrays.items()}, 10
        if node == 10:
            return {k: v + np.nan for k, v in arrays.items()}, 10
        return {k: v + 1 + 0.01 * node for k, v in arrays.items()}, 10

    nodes = list(range(1, 11))
    strategy, result, _ = run(example, reply, "krum:1; norm_bound=50", nodes, 1, dict(START),
                              report_reputation=True)
    m = result.train_metrics_clientapp[1]
    assert str(strategy.aggregator) == "krum(f=1); norm_bound=50.0"
    assert (m["fenro-accepted"], m["fenro-not-selected"], m["fenro-over-bound"],
            m["fenro-malformed"], m["fenro-banned"]) == (1, 6, 2, 1, 0)
    assert len(m["fenro-excluded"]) == 9 and m["fenro-reputation.8"] == pytest.approx(0.42)
    # Without report_reputation there is no per-client metric; multi_krum's m is optional.
    _, result, _ = run(example, reply, "multi_krum:2", nodes, 1, dict(START))
    assert not [k for k in result.train_metrics_clientapp[1] if "reputation" in k]


def test_refused_round_keeps_the_model_and_still_reports(example, caplog):
    # Krum tolerating 2 needs 7 replies; with 3 the aggregator refuses every round.
    start = [np.full((1, 2), 5.0, np.float32)]
    for aggregator in ("krum(f=2)", ByzantineAggregator("krum:2", 0.0)):
        caplog.clear()
        with caplog.at_level(logging.WARNING, logger="flwr"):
            _, result, _ = run(example, lambda node, a, r: step(a), aggregator, [1, 2, 3], 2,
                               start)
        assert len(result.arrays) == 0   # no round produced arrays: the start model stays
        assert "keeps the global arrays" in caplog.text and "7" in caplog.text
        metrics = result.train_metrics_clientapp[2]
        assert metrics["fenro-accepted"] == 0 and metrics["fenro-not-selected"] == 3


def test_norm_bound_sees_updates_not_models(example):
    # The models are large but the updates small: a bound of 1 must let them all through.
    start = [np.full((3, 3), 100.0, np.float32)]
    _, result, _ = run(example, lambda node, a, r: ({k: v + 0.01 * node for k, v in a.items()},
                                                    1),
                       "median; norm_bound=1", [1, 2, 3], 1, start)
    np.testing.assert_allclose(result.arrays.to_numpy_ndarrays()[0], 100.02, rtol=1e-6)


ATTACKERS = {0, 3}


def partition_reply(offset):
    """Node offset + p serves partition p and names it in its reply's config."""
    def reply(node, arrays, r):
        pid = node - offset
        moved = {k: v + (-50.0 if pid in ATTACKERS else 1.0 + 0.01 * pid)
                 for k, v in arrays.items()}
        if pid in ATTACKERS and offset == 200:   # after the restart
            moved["extra"] = np.zeros(1)    # malformed, but a banned reply is not read
        return _content(moved, {"num-examples": 10},
                        config=ConfigRecord({"partition-id": pid}))
    return reply


def test_restart_restores_bans_and_forgets_clients_gone(example, tmp_path):
    path = tmp_path / "state.json"
    options = dict(client_id_fn=reply_client_id("partition-id"), state_path=path,
                   forget_after=2)
    # First run: ten nodes (ids 100-109), partitions 0 and 3 attack and are banned.
    strategy, _, _ = run(example, partition_reply(100), "median; ban_threshold=0.3",
                         range(100, 110), 4, dict(START), **options)
    saved = json.loads(path.read_text())
    assert saved["rounds"] == 4 and len(saved["aggregator"]["reputation"]) == 10
    assert strategy.is_banned("0") and strategy.is_banned("3")
    # The server app restarts; the nodes come back with new ids (200-207), and partitions
    # 8 and 9 do not come back at all.
    restarted = FenroStrategy("median; ban_threshold=0.3", fraction_evaluate=0.0,
                              min_available_nodes=8, min_train_nodes=8, **options)
    assert restarted.rounds == 4 and restarted.is_banned("0")
    _, result, grid = run(example, partition_reply(200), None, range(200, 208), 3,
                          dict(START), strategy=restarted)
    trains = [nodes for kind, nodes in grid.sampled if kind == "train"]
    # The new node ids are unknown at first: their replies are recognised and not read;
    # after that they are not sampled.
    first = result.train_metrics_clientapp[1]
    assert first["fenro-banned"] == 2 and sorted(first["fenro-excluded"]) == [200, 203]
    assert trains[1] == [201, 202, 204, 205, 206, 207] == trains[2]
    w = result.arrays["w"].numpy()
    assert np.all((w > 3) & (w < 3.3))   # nothing of the attack ever got in
    # Partitions 8 and 9 were forgotten two rounds after they left; the banned ones, still
    # connected, were not.
    saved = json.loads(path.read_text())
    assert sorted(saved["last_seen"]) == sorted(saved["aggregator"]["reputation"]) == \
        [str(p) for p in range(8)]
    assert saved["rounds"] == 7
    assert saved["nodes"] == {str(200 + p): str(p) for p in range(8)}
    # A broken state file stops the start, naming the file.
    path.write_text(path.read_text()[:50])
    with pytest.raises(ValueError, match="state.json: not a usable fenro strategy state"):
        FenroStrategy("median", state_path=path)


def test_warns_once_when_clipped_before_fenro(example, caplog):
    inner = FenroStrategy("median; ban_threshold=0.3", fraction_evaluate=0.0,
                          min_available_nodes=3, min_train_nodes=3)
    wrapped = DifferentialPrivacyServerSideFixedClipping(inner, noise_multiplier=0.0,
                                                         clipping_norm=1.0,
                                                         num_sampled_clients=3)
    with caplog.at_level(logging.WARNING, logger="flwr"):
        run(example, lambda node, a, r: step(a), None, [1, 2, 3], 2, dict(START),
            strategy=wrapped)
    assert caplog.text.count("clipped before fenro sees them") == 1


SIMULATION = '''
import json, sys
import numpy as np
from flwr.app import Array, ArrayRecord, ConfigRecord, Message, MetricRecord, RecordDict
from flwr.clientapp import ClientApp
from flwr.serverapp import ServerApp
from flwr.simulation import run_simulation

from fenro.flower import FenroStrategy, reply_client_id

TRUE_W = np.linspace(-1.0, 1.0, 8).reshape(8, 1)
NODES, BYZANTINE, ROUNDS = 10, {0, 3}, int(sys.argv[2])
client_app = ClientApp()


@client_app.train()
def train(msg, context):
    pid = int(context.node_config["partition-id"])
    rng = np.random.default_rng(pid)
    x = rng.normal(size=(64, 8)).astype(np.float32)
    y = x @ TRUE_W + rng.normal(scale=0.1, size=(64, 1))
    w = msg.content["arrays"]["w"].numpy()
    for _ in range(5):
        w = w - 0.1 * x.T @ (x @ w - y) / len(x)
    if pid in BYZANTINE:
        w = -5.0 * TRUE_W
    content = RecordDict({"arrays": ArrayRecord({"w": Array(w.astype(np.float32))}),
                          "metrics": MetricRecord({"num-examples": 64}),
                          "config": ConfigRecord({"partition-id": pid})})
    return Message(content, reply_to=msg)


server_app = ServerApp()


@server_app.main()
def main(grid, context):
    strategy = FenroStrategy("median; ban_threshold=0.3", state_path=sys.argv[1],
                             client_id_fn=reply_client_id("partition-id"),
                             fraction_evaluate=0.0, min_train_nodes=1,
                             min_available_nodes=NODES)
    result = strategy.start(grid=grid, initial_arrays=ArrayRecord(
        {"w": Array(np.zeros((8, 1), np.float32))}), num_rounds=ROUNDS)
    w = result.arrays["w"].numpy()
    print("RESULT", json.dumps({"distance": float(np.linalg.norm(w - TRUE_W)),
                                "metrics": {r: dict(m) for r, m in
                                            result.train_metrics_clientapp.items()}}),
          flush=True)


run_simulation(server_app=server_app, client_app=client_app, num_supernodes=NODES,
               backend_config={"client_resources": {"num_cpus": 1, "num_gpus": 0.0}})
'''


@pytest.mark.skipif(importlib.util.find_spec("ray") is None,
                    reason="Flower's simulation runtime needs flwr[simulation] (ray)")
def test_strategy_in_flowers_simulation_runtime(tmp_path):
    script, state = tmp_path / "simulation.py", tmp_path / "state.json"
    script.write_text(SIMULATION)
    outputs = []
    for rounds in (4, 2):    # a run, then a restart of the server app from its state
        r = subprocess.run([sys.executable, str(script), str(state), str(rounds)],
                           capture_output=True, text=True, timeout=600, cwd=tmp_path)
        lines = [line for line in r.stdout.splitlines() if line.startswith("RESULT")]
        assert r.returncode == 0 and lines, r.stdout[-3000:] + r.stderr[-3000:]
        outputs.append(json.loads(lines[0].split(" ", 1)[1]))
    first, second = outputs
    assert first["metrics"]["4"]["fenro-accepted"] == 8
    assert first["metrics"]["4"]["fenro-excluded"] == []        # banned: not sampled
    assert second["metrics"]["1"]["fenro-banned"] == 2           # new node ids, same names
    assert second["metrics"]["2"]["fenro-accepted"] == 8 and first["distance"] < 0.5
    # Ten clients under their partition ids, each with the node of its last reply.
    saved = json.loads(state.read_text())
    assert sorted(saved["last_seen"]) == sorted(saved["nodes"].values()) == \
        sorted(str(p) for p in range(10))
