"""The demo's simulation: robust rules must beat the plain mean under attack, the
reputation must separate honest from Byzantine clients, and the CLI must write its
outputs. Sizes are small so that the whole file runs in seconds."""

import json
import re
import subprocess
import sys

import numpy as np
import pytest

pytest.importorskip("sklearn")
from fenro import demo  # noqa: E402


@pytest.fixture(scope="module")
def sign_flip_runs():
    return demo.simulate(clients=10, byzantine=0.2, attacks=["sign_flip"], rounds=12,
                         methods=["fedavg", "trimmed_mean", "median"], seed=3)


def test_sign_flip_breaks_fedavg_but_not_median_or_trimmed_mean(sign_flip_runs):
    setup, results = sign_flip_runs
    final = {m: results[(m, "sign_flip")]["accuracy"][-1]
             for m in ("fedavg", "trimmed_mean", "median")}
    for robust in ("median", "trimmed_mean"):
        assert final[robust] >= final["fedavg"] + 0.20 and final[robust] > 0.7, final
        # The reputation separates the two Byzantine clients from the honest ones.
        reputation = results[(robust, "sign_flip")]["reputation"]
        honest, byzantine = demo.reputation_split(setup, reputation)
        assert len(setup.byzantine) == 2 and byzantine < honest, (robust, honest, byzantine)


def test_same_seed_gives_same_numbers_and_other_seed_does_not():
    kwargs = dict(clients=6, byzantine=0.2, attacks=["gaussian"], rounds=3, methods=["median"],
                  data="synthetic")
    a, b, c = (demo.simulate(seed=seed, **kwargs)[1][("median", "gaussian")] for seed in (5, 5, 6))
    assert a["accuracy"] == b["accuracy"] and a["reputation"] == b["reputation"]
    assert a["accuracy"] != c["accuracy"]


def test_small_deviation_stays_inside_the_honest_range_per_coordinate():
    rng = np.random.default_rng(0)
    honest = [rng.normal(size=(7, 3)).astype(np.float32) for _ in range(9)]
    sent = demo.poison("small_deviation", honest[0], honest, rng)
    stack = np.stack(honest)
    assert sent.dtype == np.float32 and sent.shape == (7, 3)
    assert np.all(sent >= stack.min(axis=0)) and np.all(sent <= stack.max(axis=0))
    # It must still push: no coordinate lies further along the honest mean than the mean.
    mean = stack.mean(axis=0)
    assert np.all(sent * np.sign(mean) <= np.abs(mean))
    assert np.abs(sent - mean).max() > 0.1


def test_inner_product_sends_minus_epsilon_times_the_honest_mean():
    rng = np.random.default_rng(4)
    honest = [rng.normal(size=(6, 5)).astype(np.float32) for _ in range(7)]
    sent = demo.poison("inner_product", honest[0], honest, rng)
    mean = np.mean(np.stack(honest).astype(np.float64), axis=0)
    assert sent.dtype == np.float32
    assert np.array_equal(sent, (-demo.IPM_EPSILON * mean).astype(np.float32))


def test_label_flip_retrains_only_the_attackers_and_sends_their_update_unchanged():
    setup = demo.Setup(clients=8, byzantine=0.25, seed=1, data="synthetic", alpha=0.5)
    assert len(setup.byzantine) == 2
    for c, part in enumerate(setup.parts):
        own = setup.y_train[part]
        flipped = demo.training_labels(setup, "label_flip", c)
        expected = setup.classes - 1 - own if c in setup.byzantine else own
        assert np.array_equal(flipped, expected), c
        assert np.array_equal(demo.training_labels(setup, "sign_flip", c), own)
    update = np.ones((3, 2), np.float32)
    assert demo.poison("label_flip", update, [update], np.random.default_rng(0)) is update


# Every rule the demo runs through fenro.robust.ComposedAggregator.
COMPOSED = [m for m in demo.METHODS
            if isinstance(demo.find_method(m).configure(11, 2, 1.0), demo.DefenseConfig)]


def test_composed_rules_train_and_score_and_refuse_below_their_quorum():
    # 11 clients, 2 Byzantine: Bulyan's quorum n >= 4f + 3 is met exactly.
    setup, results = demo.simulate(clients=11, byzantine=0.2, attacks=["sign_flip"], rounds=3,
                                   methods=COMPOSED, data="synthetic", seed=2)
    for m in COMPOSED:
        run = results[(m, "sign_flip")]
        honest, byzantine = demo.reputation_split(setup, run["reputation"])
        assert run["refused"] is None and run["accuracy"][-1] > 0.7, (m, run)
        assert byzantine < 0.5 < honest, (m, honest, byzantine)
    # One client fewer: Bulyan refuses every round and the model stays where it started.
    _, results = demo.simulate(clients=10, byzantine=0.2, attacks=["sign_flip"], rounds=2,
                               methods=["bulyan"], data="synthetic", seed=2)
    run = results[("bulyan", "sign_flip")]
    assert run["accuracy"][1:] == run["accuracy"][:1] * 2
    assert "bulyan(f=2) needs at least 11 updates" in run["refused"]


def test_a_default_composed_defense_beats_median_and_trimmed_mean_under_small_deviation():
    # The claim docs/demo.md makes from the defaults (seed 0, 20 clients, 30 rounds).
    _, results = demo.simulate(attacks=["small_deviation"],
                               methods=["trimmed_mean", "median", "bucketing_gm"])
    final = {m: results[(m, "small_deviation")]["accuracy"][-1] for m, _ in results}
    assert final["bucketing_gm"] > max(final["median"], final["trimmed_mean"]) + 0.03, final


def test_dirichlet_split_assigns_every_sample_exactly_once():
    y = np.repeat(np.arange(10), 40)
    parts = demo.dirichlet_split(y, 12, 0.3, np.random.default_rng(1), min_size=5)
    joined = np.sort(np.concatenate(parts))
    assert np.array_equal(joined, np.arange(len(y)))
    assert min(len(p) for p in parts) >= 5
    # Label skew: some client sees far fewer classes than all ten.
    assert min(len(np.unique(y[p])) for p in parts) < 10


def test_cli_prints_table_and_writes_plot_and_results(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    out = tmp_path / "out"
    code = demo.main(["--clients", "8", "--rounds", "2", "--methods", "fedavg,guarded",
                      "--attack", "scaling,small_deviation", "--seed", "1",
                      "--out", str(out), "--quiet"])
    assert code == 0
    text = capsys.readouterr().out
    assert "guarded" in text and "small_deviation" in text and "s/round" in text
    assert (out / "accuracy.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    saved = json.loads((out / "results.json").read_text())
    assert sorted(saved["runs"]) == ["fedavg/scaling", "fedavg/small_deviation",
                                     "guarded/scaling", "guarded/small_deviation"]
    assert len(saved["runs"]["guarded/scaling"]["accuracy"]) == 3
    assert len(saved["byzantine_clients"]) == 2


@pytest.mark.parametrize("argv, message", [
    (["--methods", "mean"], "unknown method mean"),
    (["--methods", "median,default"], "unknown method default"),
    (["--attack", "flip"], "unknown attack flip"),
    (["--byzantine", "0.5"], "--byzantine must be in [0, 0.5)"),
    (["--alpha", "-1"], "--alpha must be a positive finite number"),
    (["--alpha", "nan"], "--alpha must be a positive finite number"),
])
def test_cli_rejects_bad_options(argv, message):
    with pytest.raises(SystemExit, match=re.escape(message)):
        demo.main(argv + ["--rounds", "1", "--quiet", "--no-plot"])


@pytest.mark.parametrize("kwargs, error, message", [
    (dict(rounds=0), SystemExit, "--rounds must be at least 1"),
    # Without Byzantine clients the attack is never run, so only an early check catches it.
    (dict(attacks=["flip"], byzantine=0.0), ValueError, "unknown attack 'flip'"),
    (dict(methods=["mean"]), ValueError, "unknown method 'mean'"),
])
def test_simulate_checks_its_arguments_before_any_work(kwargs, error, message):
    args = dict(clients=4, attacks=["gaussian"], rounds=1, methods=["median"],
                data="synthetic")
    with pytest.raises(error, match=re.escape(message)):
        demo.simulate(**{**args, **kwargs})


def test_module_entry_point_dispatches_to_the_demo():
    r = subprocess.run([sys.executable, "-m", "fenro", "demo", "--help"],
                       capture_output=True, text=True)
    assert r.returncode == 0 and "--byzantine" in r.stdout, r.stderr
    # --help names every rule and says which ones a run takes by default.
    text = " ".join(r.stdout.split())
    assert "'default' (the default: " + ", ".join(demo.DEFAULT_METHODS) + ")" in text
    assert all(m in text for m in demo.METHODS)
    r = subprocess.run([sys.executable, "-m", "fenro"], capture_output=True, text=True)
    assert r.returncode == 2 and "demo" in r.stderr
