"""A Flower strategy that aggregates client results with a fenro ByzantineAggregator.

    from fenro import ByzantineAggregator
    from fenro.flower import FenroStrategy

    strategy = FenroStrategy(ByzantineAggregator("median", 0.0, ban_threshold=0.3),
                             min_available_nodes=10)
    result = strategy.start(grid=grid, initial_arrays=arrays, num_rounds=5)

The strategy plugs into Flower's message-based strategy API (``flwr.serverapp.strategy``,
flwr 1.22 or newer). Sampling, configuration and evaluation are those of Flower's FedAvg;
only the aggregation of training replies changes:

* every reply's arrays are concatenated, in the order of the first reply's keys, into one
  float32 row, so that every array of the model is aggregated by the same rule;
* by default the aggregator sees each client's *update*, its arrays minus the global arrays
  that were sent out for the round, so that norm bounds and reputation distances measure
  how far a client moved the model rather than the size of the model; the aggregate update
  is added back to the global arrays;
* Flower node ids become reputation ids (``str(node_id)`` unless ``client_id_fn`` says
  otherwise), so the aggregator's scores, bans and JSON state follow a node across rounds;
* FedAvg is weighted by the replies' example counts (``weighted_by_key``), the other rules
  are unweighted.

The training metrics hold, besides Flower's weighted mean of the clients' metrics, the
reputation of every participating node after the round (``fenro-reputation.<client id>``),
the node ids excluded from this round because their score was below the ban threshold
(``fenro-excluded``) and the node ids whose score is below it after the round and will be
excluded from the next one (``fenro-banned``). A round in which the aggregator refuses the
replies (for example when all are filtered out or a Krum quorum is not met) logs a warning
and keeps the global arrays.

Importing this module imports Flower; ``import fenro`` does not.
"""

import json
from collections.abc import Callable, Iterable
from logging import INFO, WARNING
from typing import Any, Optional

import numpy as np
from flwr.app import Array, ArrayRecord, ConfigRecord, Message, MetricRecord
from flwr.common import log
from flwr.serverapp import Grid
from flwr.serverapp.strategy import FedAvg

__all__ = ["FenroStrategy"]


class FenroStrategy(FedAvg):
    """Flower strategy whose training aggregation runs through a fenro aggregator.

    Parameters
    ----------
    aggregator : fenro ByzantineAggregator
        The configured aggregator. It is used as given: its method, filters and reputation
        scores (for example restored with ``ByzantineAggregator.from_json``) carry over,
        and it keeps the scores of this run for ``to_json``.
    aggregate_deltas : bool (default: True)
        Aggregate the clients' changes to the global arrays instead of the arrays
        themselves. Needed for meaningful norm bounds and reputation distances.
    client_id_fn : callable (default: ``str``)
        Maps a Flower node id (int) to the reputation id (str) of that client.
    **kwargs
        Passed to Flower's FedAvg (fractions, minimum node counts, record keys, metric
        aggregation functions).
    """

    def __init__(self, aggregator: Any, *, aggregate_deltas: bool = True,
                 client_id_fn: Callable[[int], str] = str, **kwargs: Any) -> None:
        super().__init__(**kwargs)
        state = json.loads(aggregator.to_json())
        self.aggregator = aggregator
        self.aggregate_deltas = aggregate_deltas
        self.client_id_fn = client_id_fn
        self._method = state["method"]
        self._ban_threshold = float(state["ban_threshold"] or 0.0)
        self._global = None

    @property
    def ban_threshold(self) -> float:
        """The aggregator's ban threshold: clients scoring strictly below it are excluded."""
        return self._ban_threshold

    def summary(self) -> None:
        log(INFO, "\t├──> fenro aggregator: %s", self.aggregator.to_json())
        super().summary()

    def configure_train(self, server_round: int, arrays: ArrayRecord, config: ConfigRecord,
                        grid: Grid) -> Iterable[Message]:
        # Remember what the clients start from, to turn their replies into updates.
        self._global = {key: value.numpy() for key, value in arrays.items()}
        return super().configure_train(server_round, arrays, config, grid)

    def aggregate_train(
        self, server_round: int, replies: Iterable[Message]
    ) -> tuple[Optional[ArrayRecord], Optional[MetricRecord]]:
        valid, _ = self._check_and_log_replies(replies, is_train=True)
        if not valid:
            return None, None
        contents = [msg.content for msg in valid]
        node_ids = [int(msg.metadata.src_node_id) for msg in valid]
        client_ids = [self.client_id_fn(node) for node in node_ids]
        records = [next(iter(content.array_records.values())) for content in contents]

        layout = [(key, value.numpy()) for key, value in records[0].items()]
        base = None
        if self.aggregate_deltas:
            if self._global is None:
                raise ValueError("aggregate_train needs the global arrays of configure_train "
                                 "to aggregate updates; pass aggregate_deltas=False otherwise")
            base = self._global
            if [(k, v.shape) for k, v in base.items()] != [(k, v.shape) for k, v in layout]:
                raise ValueError("the replies' arrays do not match the global arrays sent "
                                 "for the round")
        updates = [_flatten(record, layout, base, node)
                   for record, node in zip(records, node_ids)]
        weights = None
        if self._method == "FedAvg":
            weights = [float(next(iter(c.metric_records.values()))[self.weighted_by_key])
                       for c in contents]

        threshold = self._ban_threshold
        excluded = [node for node, cid in zip(node_ids, client_ids)
                    if threshold > 0.0 and self.aggregator.get_reputation(cid) < threshold]
        try:
            aggregate = self.aggregator.aggregate(updates, client_ids=client_ids,
                                                  weights=weights)
            arrays = _unflatten(aggregate, layout, base)
        except ValueError as err:
            log(WARNING, "aggregate_train: round %s keeps the global arrays: %s",
                server_round, err)
            arrays = None

        metrics = self.train_metrics_aggr_fn(contents, self.weighted_by_key)
        banned = []
        for node, cid in zip(node_ids, client_ids):
            score = self.aggregator.get_reputation(cid)
            metrics[f"fenro-reputation.{cid}"] = score
            if threshold > 0.0 and score < threshold:
                banned.append(node)
        metrics["fenro-excluded"] = excluded
        metrics["fenro-banned"] = banned
        if excluded or banned:
            log(INFO, "aggregate_train: excluded nodes %s, banned after the round %s",
                excluded, banned)
        return arrays, metrics


def _flatten(record: ArrayRecord, layout: list, base: Optional[dict], node: int) -> np.ndarray:
    """One client's arrays (minus the global ones when base is given) as a 1 x D float32."""
    if list(record.keys()) != [key for key, _ in layout]:
        raise ValueError(f"node {node} replied with arrays {list(record.keys())}, "
                         f"expected {[key for key, _ in layout]}")
    parts = []
    for key, first in layout:
        value = record[key].numpy()
        if value.shape != first.shape:
            raise ValueError(f"node {node} replied with array '{key}' of shape "
                             f"{value.shape}, expected {first.shape}")
        if base is not None:
            # Subtract in double so that the update keeps the bits float32 can hold.
            value = value.astype(np.float64) - base[key].astype(np.float64)
        parts.append(np.asarray(value, dtype=np.float32).ravel())
    flat = np.concatenate(parts) if parts else np.zeros(0, np.float32)
    return flat.reshape(1, -1)


def _unflatten(aggregate: np.ndarray, layout: list, base: Optional[dict]) -> ArrayRecord:
    """Splits the aggregate row back into arrays of the reply layout and dtypes."""
    flat = np.asarray(aggregate).reshape(-1)
    out, offset = {}, 0
    for key, first in layout:
        size = first.size
        value = flat[offset:offset + size].reshape(first.shape)
        offset += size
        if base is not None:
            value = base[key].astype(np.float64) + value
        out[key] = Array(np.asarray(value, dtype=first.dtype))
    return ArrayRecord(out)
