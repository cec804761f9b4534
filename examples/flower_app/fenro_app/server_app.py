"""The server: fenro's strategy with the defense of the run config, central evaluation on a
held-out set, and the per-round metrics written as JSON when the run config asks."""

import json

import torch
from flwr.app import ArrayRecord, Context, MetricRecord
from flwr.serverapp import Grid, ServerApp

from fenro.flower import FenroStrategy, reply_client_id
from fenro_app.task import Net, accuracy, load_data

app = ServerApp()


@app.main()
def main(grid: Grid, context: Context) -> None:
    config = context.run_config
    torch.manual_seed(0)
    x_test, y_test = load_data(-1, samples=2000)

    def evaluate(server_round: int, arrays: ArrayRecord) -> MetricRecord:
        net = Net()
        net.load_state_dict(arrays.to_torch_state_dict())
        loss, acc = accuracy(net, x_test, y_test)
        return MetricRecord({"loss": loss, "accuracy": acc})

    strategy = FenroStrategy(
        str(config["defense"]), client_id_fn=reply_client_id("partition-id"),
        state_path=str(config["state-path"]) or None,
        forget_after=int(config["forget-after"]) or None,
        fraction_evaluate=0.0, min_available_nodes=10)
    result = strategy.start(grid=grid, initial_arrays=ArrayRecord(Net().state_dict()),
                            num_rounds=int(config["num-server-rounds"]), evaluate_fn=evaluate)
    if config["metrics-path"]:
        rounds = {r: dict(m) for r, m in result.train_metrics_clientapp.items()}
        for r, m in result.evaluate_metrics_serverapp.items():
            rounds.setdefault(r, {}).update({f"central-{k}": v for k, v in m.items()})
        scores = {str(p): strategy.aggregator.get_reputation(str(p)) for p in range(10)}
        with open(str(config["metrics-path"]), "w", encoding="utf-8") as f:
            json.dump({"defense": str(strategy.aggregator), "rounds": rounds,
                       "reputation": scores}, f, indent=1)
