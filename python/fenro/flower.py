"""A Flower strategy whose training aggregation runs through a fenro defense.

    from fenro.flower import FenroStrategy, reply_client_id

    strategy = FenroStrategy("median; norm_bound=5, ban_threshold=0.3",
                             client_id_fn=reply_client_id("partition-id"),
                             state_path="fenro-state.json", forget_after=50,
                             min_available_nodes=10)
    result = strategy.start(grid=grid, initial_arrays=arrays, num_rounds=5)

The strategy plugs into Flower's message-based strategy API (``flwr.serverapp.strategy``,
flwr 1.22 or newer). Sampling, configuration and evaluation are those of Flower's FedAvg,
except that clients whose reputation is below the ban threshold are neither sampled nor counted
in the metric averages. The training replies go through the defense:

* **The model's layout comes from the server.** The global arrays sent in ``configure_train``
  fix the keys, shapes and dtypes of the round. A reply's arrays are matched by key (their
  order is free) and each must have the global array's shape and dtype. Every array, minus
  the global one by default (the client's *update*), is flattened in the order of the global
  keys into one float32 row, so every layer goes through the same rule, and the aggregate
  update is added back to the global arrays, each keeping its dtype and shape.
* **One bad reply never stops a round.** A reply that cannot be used (no ArrayRecord, missing
  or extra keys, an array of another shape or dtype or that does not decode, a NaN or an
  infinity, an example count that is missing, not finite or negative, a client id that
  cannot be determined) is dropped on its own with a warning, recorded as ``Malformed`` in
  the round's audit and penalised in reputation; the others are aggregated. Nothing a client
  sends makes ``aggregate_train`` raise.
* **Identity.** ``client_id_fn(reply)`` maps each reply message to its reputation id. The
  default is the Flower node id as text, which a client cannot forge but which changes when a
  SuperNode restarts and in every simulation run; :func:`reply_client_id` reads a stable name
  (such as a partition id) that the client puts in its reply.
* **Persistence.** With ``state_path`` the strategy restores the scores, its round counter
  and the node-to-client map when it is created and writes them atomically after every round;
  with ``forget_after`` it forgets clients that neither replied nor were connected for that
  many rounds.

The training metrics hold, besides Flower's weighted mean of the accepted replies' metrics,
the round's counts (``fenro-accepted``, ``fenro-banned``, ``fenro-over-bound``,
``fenro-not-selected``, ``fenro-malformed``) and ``fenro-excluded``, the node ids of every
reply that did not go into the aggregate; with ``report_reputation=True`` also
``fenro-reputation.<client id>`` for every client that replied.

Importing this module imports Flower; ``import fenro`` does not.
"""

from __future__ import annotations

import json
import math
import os
import random
import re
import sys
import time
from types import FrameType
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass
from logging import INFO, WARNING
from typing import Any, Optional, Union

import numpy as np
from flwr.app import Array, ArrayRecord, ConfigRecord, Message, MessageType, MetricRecord
from flwr.app import RecordDict
from flwr.common import log
from flwr.serverapp import Grid
from flwr.serverapp.strategy import FedAvg

from fenro import ByzantineAggregator, _robust
from fenro._core import ReputationManager
from fenro.robust import (Admitted, ComposedAggregator, ComposedAudit, Defense,
                          ExcludedByReputation, Malformed, QuorumError, RejectedByNormBound,
                          RoundAudit, RoundRefusedError, aggregate_with_audit)
from fenro.robust._persist import write_atomically

__all__ = ["FenroStrategy", "ReplyOutcome", "reply_client_id"]

Aggregator = Union[ComposedAggregator, ByzantineAggregator]
# The outcomes of a reply, in the order the metrics list them.
OUTCOMES = ("accepted", "banned", "over_bound", "not_selected", "malformed")
_STATE_FORMAT, _STATE_VERSION = "fenro.flower.FenroStrategy", 1
# The penalty of a malformed reply under a ByzantineAggregator: the composed default.
_CORE_PENALTY = 0.08
# Flower's wrappers that clip the replies on the server before the wrapped strategy sees them.
_SERVER_CLIPPING = ("DifferentialPrivacyServerSideFixedClipping",
                    "DifferentialPrivacyServerSideAdaptiveClipping")
_SHORTHAND = re.compile(r"\b(multi_krum|krum):(\d+)(?::(\d+))?")


@dataclass(frozen=True)
class ReplyOutcome:
    """What became of one training reply.

    Attributes:
        node_id: The Flower node that sent it.
        client_id: Its reputation id.
        outcome: "accepted" (its update went into the aggregate), "banned" (its score was below
            the ban threshold: not read), "over_bound" (its update's norm exceeded the norm
            bound), "not_selected" (admitted, but the rule, such as Krum, did not select it)
            or "malformed" (it could not be used).
        detail: For "malformed", what was wrong, e.g. "array 'fc.bias': shape (3,), expected
            (4,)"; empty otherwise.
    """

    node_id: int
    client_id: str
    outcome: str
    detail: str = ""


def reply_client_id(key: str = "client-id") -> Callable[[Message], str]:
    """A ``client_id_fn`` that reads a client's name from its reply.

    The client puts the value under ``key`` in the reply's ConfigRecord or MetricRecord, for
    example ``MetricRecord({"num-examples": n, "partition-id": context.node_config["partition-id"]})``.
    Integers and strings are accepted; a reply without the value is dropped as malformed.
    A name chosen by the client is only as trustworthy as the client: an attacker can claim
    another client's name. Use it where that is not a concern (simulations, managed sites),
    and the default node id otherwise.
    """

    def client_id(reply: Message) -> str:
        content = reply.content
        for records in (content.config_records, content.metric_records):
            for record in records.values():
                if key in record:
                    value = record[key]
                    if isinstance(value, bool) or not isinstance(value, (int, str)):
                        raise ValueError(f"'{key}' is a {type(value).__name__}, not an int "
                                         "or a str")
                    return str(value)
        raise ValueError(f"the reply holds no '{key}'")

    client_id.__qualname__ = f"reply_client_id({key!r})"
    return client_id


def _node_client_id(reply: Message) -> str:
    return str(reply.metadata.src_node_id)


class FenroStrategy(FedAvg):
    """Flower strategy whose training aggregation runs through a fenro defense.

    Parameters
    ----------
    aggregator : str, Defense, ComposedAggregator or ByzantineAggregator
        The defense. A text is the composed aggregator's defense text (for example
        ``"nnm(f=2) | multi_krum(f=2); norm_bound=50, ban_threshold=0.3"``, so a run config
        can choose it; ``krum:2`` and ``multi_krum:2[:3]`` are read as ``krum(f=2)`` and
        ``multi_krum(f=2[, m=3])``). A ``ByzantineAggregator`` keeps its own rounds.
    aggregate_deltas : bool (default: True)
        Aggregate the clients' changes to the global arrays instead of the arrays
        themselves. Needed for meaningful norm bounds and reputation distances.
    client_id_fn : callable (default: the node id as text)
        Maps a reply Message to the reputation id (str) of its client.
    weighted : bool, optional
        Weight the clients by their example counts (``weighted_by_key``). The default weighs
        them only under a fedavg rule (with only clip or arc before it).
    state_path : str or os.PathLike, optional
        File that holds the scores, the strategy's round counter and the node-to-client map:
        read when the strategy is created (if it exists), written atomically after every
        round. The configured defense is kept; only the state is restored.
    forget_after : int, optional
        Forget a client (its score, its node) once it has neither replied nor been connected
        for this many rounds. None keeps every client.
    report_reputation : bool (default: False)
        Add ``fenro-reputation.<client id>`` to the training metrics for every client that
        replied.
    **kwargs
        Passed to Flower's FedAvg (fractions, minimum node counts, record keys, metric
        aggregation functions).
    """

    def __init__(self, aggregator: Union[str, Defense, Aggregator], *,
                 aggregate_deltas: bool = True,
                 client_id_fn: Optional[Callable[[Message], str]] = None,
                 weighted: Optional[bool] = None,
                 state_path: Union[str, os.PathLike[str], None] = None,
                 forget_after: Optional[int] = None,
                 report_reputation: bool = False, **kwargs: Any) -> None:
        super().__init__(**kwargs)
        if isinstance(aggregator, str):
            aggregator = ComposedAggregator(_SHORTHAND.sub(_expand_shorthand, aggregator))
        elif isinstance(aggregator, Defense):
            aggregator = ComposedAggregator(aggregator)
        elif not isinstance(aggregator, (ComposedAggregator, ByzantineAggregator)):
            raise TypeError("aggregator: a defense text, a Defense, a ComposedAggregator or "
                            f"a ByzantineAggregator, not {type(aggregator).__name__}")
        if forget_after is not None and (isinstance(forget_after, bool) or
                                         not isinstance(forget_after, int) or forget_after < 1):
            raise ValueError(f"forget_after must be a positive int or None, got {forget_after!r}")
        self.aggregator: Aggregator = aggregator
        self._core_threshold: tuple[Optional[Aggregator], float] = (None, 0.0)
        self.aggregate_deltas = aggregate_deltas
        self.client_id_fn = client_id_fn or _node_client_id
        self.report_reputation = report_reputation
        self.forget_after = forget_after
        self.state_path = None if state_path is None else os.fspath(state_path)
        self._weighted = _default_weighted(aggregator) if weighted is None else bool(weighted)
        #: Training rounds aggregated by this strategy, across restarts.
        self.rounds = 0
        self._nodes: dict[int, str] = {}       # node id -> client id of its last reply
        self._last_seen: dict[str, int] = {}   # client id -> round it was last seen in
        self._global: Optional[dict[str, np.ndarray]] = None
        self._warned_clipping = False
        #: The last training round: one :class:`ReplyOutcome` per reply, in reply order.
        self.last_outcomes: tuple[ReplyOutcome, ...] = ()
        #: The audit of the last training round: a ComposedAudit, a RoundAudit for a
        #: ByzantineAggregator, or None when the round failed before the rule ran.
        self.last_audit: Union[ComposedAudit, RoundAudit, None] = None
        if self.state_path is not None and os.path.exists(self.state_path):
            self._restore(self.state_path)
        # Clients scored before (by the aggregator passed in) count as seen now.
        for cid in self._scores():
            self._last_seen.setdefault(cid, self.rounds)

    # --- configuration -------------------------------------------------------------------

    @property
    def ban_threshold(self) -> float:
        """Clients scoring strictly below it are excluded (0: nobody is)."""
        if isinstance(self.aggregator, ComposedAggregator):
            return float(self.aggregator.defense.ban_threshold)
        # A ByzantineAggregator tells its threshold only in its saved form: read it once.
        if self._core_threshold[0] is not self.aggregator:
            state = json.loads(self.aggregator.to_json())
            self._core_threshold = (self.aggregator, float(state["ban_threshold"] or 0.0))
        return self._core_threshold[1]

    def is_banned(self, client_id: str) -> bool:
        """Whether the client's score is below the ban threshold."""
        threshold = self.ban_threshold
        return threshold > 0.0 and self.aggregator.get_reputation(client_id) < threshold

    def summary(self) -> None:
        log(INFO, "\t├──> fenro defense: %s", _describe(self.aggregator))
        if self.state_path is not None:
            log(INFO, "\t├──> fenro state: %s (%d rounds, %d clients)", self.state_path,
                self.rounds, len(self._scores()))
        super().summary()

    # --- sampling ------------------------------------------------------------------------

    def configure_train(self, server_round: int, arrays: ArrayRecord, config: ConfigRecord,
                        grid: Grid) -> Iterable[Message]:
        self._warn_if_clipped_before()
        # The layout and dtypes of the round, and what the clients start from.
        self._global = {key: value.numpy() for key, value in arrays.items()}
        if self.fraction_train == 0.0:
            return []
        node_ids = self._sample(grid, self.fraction_train, self.min_train_nodes, "train")
        config["server-round"] = server_round
        record = RecordDict({self.arrayrecord_key: arrays, self.configrecord_key: config})
        return self._construct_messages(record, node_ids, MessageType.TRAIN)

    def configure_evaluate(self, server_round: int, arrays: ArrayRecord, config: ConfigRecord,
                           grid: Grid) -> Iterable[Message]:
        if self.fraction_evaluate == 0.0:
            return []
        node_ids = self._sample(grid, self.fraction_evaluate, self.min_evaluate_nodes,
                                "evaluate")
        config["server-round"] = server_round
        record = RecordDict({self.arrayrecord_key: arrays, self.configrecord_key: config})
        return self._construct_messages(record, node_ids, MessageType.EVALUATE)

    def _sample(self, grid: Grid, fraction: float, minimum: int, what: str) -> list[int]:
        """FedAvg's sampling among the connected nodes whose client is not banned."""
        wanted = max(int(len(list(grid.get_node_ids())) * fraction), minimum)
        need = max(self.min_available_nodes, wanted)
        while len(connected := list(grid.get_node_ids())) < need:
            log(INFO, "Waiting for nodes to connect: %d connected (minimum required: %d).",
                len(connected), need)
            time.sleep(1)
        banned = []
        for node in connected:
            cid = self._nodes.get(node)
            if cid is not None:
                self._last_seen[cid] = self.rounds + 1   # connected: not to be forgotten
                if self.is_banned(cid):
                    banned.append(node)
        skip = set(banned)
        eligible = [node for node in connected if node not in skip]
        size = min(max(int(len(connected) * fraction), minimum), len(eligible))
        chosen = random.sample(eligible, size)
        log(INFO, "configure_%s: Sampled %s nodes (out of %s; %s banned, not sampled)",
            what, len(chosen), len(connected), len(banned))
        return chosen

    def _warn_if_clipping_wrapper(self) -> bool:
        frame: Optional[FrameType] = sys._getframe(2)
        for _ in range(4):
            if frame is None:
                return False
            owner = frame.f_locals.get("self")
            if any(c.__name__ in _SERVER_CLIPPING for c in type(owner).__mro__):
                return True
            frame = frame.f_back
        return False

    def _warn_if_clipped_before(self) -> None:
        if not self._warned_clipping and self._warn_if_clipping_wrapper():
            self._warned_clipping = True
            log(WARNING, "FenroStrategy is wrapped by a server-side clipping wrapper: the "
                "replies are clipped before fenro sees them, so the norm bound and the "
                "reputation cannot tell attackers from honest clients. Clip inside the "
                "defense (its clip stage) or on the clients instead; see docs/flower.md.")

    # --- training ------------------------------------------------------------------------

    def aggregate_train(
        self, server_round: int, replies: Iterable[Message]
    ) -> tuple[Optional[ArrayRecord], Optional[MetricRecord]]:
        valid, _ = self._check_and_log_replies(replies, is_train=True, validate=False)
        if self._global is None:
            raise RuntimeError("aggregate_train needs the global arrays that configure_train "
                               "sends; call configure_train first")
        self.rounds += 1
        if not valid:
            self.last_outcomes, self.last_audit = (), None
            self._end_round()
            return None, None
        layout = [(key, value.shape, value.dtype) for key, value in self._global.items()]
        size = sum(int(np.prod(shape)) for _, shape, _ in layout)
        parsed = [self._parse(msg, layout, size) for msg in valid]
        # A client is known by the node it last replied from (a restarted node has a new id).
        replied = {p.cid: p.node for p in parsed}
        self._nodes = {n: c for n, c in self._nodes.items() if c not in replied}
        for cid, node in replied.items():
            self._nodes[node] = cid
            self._last_seen[cid] = self.rounds

        if isinstance(self.aggregator, ComposedAggregator):
            aggregate, outcomes = self._round_composed(server_round, parsed, size)
        else:
            aggregate, outcomes = self._round_core(server_round, parsed, size)
        self.last_outcomes = tuple(outcomes)
        arrays = None if aggregate is None else self._arrays(aggregate, layout)

        # Flower's averages cover the replies whose update was admitted.
        counted = [p.msg.content for p, o in zip(parsed, outcomes)
                   if o.outcome in ("accepted", "not_selected")]
        metrics = self._metrics(counted, "train")
        counts = {name: 0 for name in OUTCOMES}
        for o in outcomes:
            counts[o.outcome] += 1
        for name in OUTCOMES:
            metrics[f"fenro-{name.replace('_', '-')}"] = counts[name]
        excluded = sorted(o.node_id for o in outcomes if o.outcome != "accepted")
        metrics["fenro-excluded"] = excluded
        if self.report_reputation:
            for p in parsed:
                metrics[f"fenro-reputation.{p.cid}"] = float(self.aggregator.get_reputation(p.cid))
        for o in outcomes:
            if o.outcome == "malformed":
                log(WARNING, "aggregate_train: dropped the reply of node %s (client %s): %s",
                    o.node_id, o.client_id, o.detail)
        log(INFO, "aggregate_train: %s", ", ".join(f"{counts[n]} {n.replace('_', ' ')}"
                                                     for n in OUTCOMES))
        self._end_round()
        return arrays, metrics

    def _parse(self, msg: Message, layout: list[tuple[str, Any, Any]], size: int) -> "_Reply":
        node = int(msg.metadata.src_node_id)
        try:
            cid = self.client_id_fn(msg)
            if not isinstance(cid, str):
                raise TypeError(f"client_id_fn returned a {type(cid).__name__}, not a str")
        except Exception as err:  # noqa: BLE001 - whatever the reply made it fail with
            return _Reply(msg, node, str(node), None, 0.0,
                          Malformed("identity", f"no client id: {err}"))
        if self.is_banned(cid):
            return _Reply(msg, node, cid, None, 0.0, None)   # not read at all
        try:
            weight = self._weight_of(msg)
            row = self._row(msg, layout, size)
        except _Unusable as err:
            return _Reply(msg, node, cid, None, 0.0, err.malformed)
        return _Reply(msg, node, cid, row, weight, None)

    def _weight_of(self, msg: Message) -> float:
        records = [r for r in msg.content.metric_records.values() if self.weighted_by_key in r]
        if len(msg.content.metric_records) != 1 or len(records) != 1:
            raise _Unusable("weight", f"expected one MetricRecord holding "
                            f"'{self.weighted_by_key}', found {len(msg.content.metric_records)} "
                            f"MetricRecords, {len(records)} with it")
        value = records[0][self.weighted_by_key]
        if isinstance(value, bool) or not isinstance(value, (int, float)) or \
                not math.isfinite(value) or value < 0:
            raise _Unusable("weight", f"'{self.weighted_by_key}' is {value!r}, expected a "
                            "finite number >= 0", value=value if isinstance(value, float) else
                            None)
        return float(value)

    def _row(self, msg: Message, layout: list[tuple[str, Any, Any]], size: int) -> np.ndarray:
        records = msg.content.array_records
        if self.arrayrecord_key in records:
            record = records[self.arrayrecord_key]
        elif len(records) == 1:
            record = next(iter(records.values()))
        else:
            raise _Unusable("not_array", f"expected one ArrayRecord, found {len(records)}")
        keys = {key for key, _, _ in layout}
        missing = [key for key, _, _ in layout if key not in record]
        extra = [key for key in record.keys() if key not in keys]
        if missing or extra:
            raise _Unusable("keys", f"arrays missing {missing}, unexpected {extra}")
        row = np.empty((1, size), np.float32)
        offset = 0
        for key, shape, dtype in layout:
            array = record[key]
            try:
                value = array.numpy()
            except Exception as err:  # noqa: BLE001 - any decoding failure of client bytes
                raise _Unusable("not_array", f"array '{key}' does not decode: {err}") from None
            if value.shape != shape:
                raise _Unusable("shape", f"array '{key}': shape {value.shape}, expected {shape}")
            if value.dtype != dtype:
                raise _Unusable("dtype", f"array '{key}': dtype {value.dtype}, expected {dtype}")
            part = row[0, offset:offset + value.size]
            with np.errstate(over="ignore", invalid="ignore"):
                if self.aggregate_deltas and self._global is not None:
                    # Subtract in double, so that the update keeps the bits float32 can hold.
                    part[:] = (value.astype(np.float64) -
                               self._global[key].astype(np.float64)).ravel()
                else:
                    part[:] = value.ravel()
            offset += value.size
        return row

    def _round_composed(self, server_round: int, parsed: list["_Reply"], size: int
                        ) -> tuple[Optional[np.ndarray], list[ReplyOutcome]]:
        assert isinstance(self.aggregator, ComposedAggregator)
        ids = [p.cid for p in parsed]
        weights = [p.weight for p in parsed] if self._weighted else None
        audit: Optional[ComposedAudit] = None
        aggregate = None
        try:
            aggregate, audit = self.aggregator.run_round(_ReplySource(parsed, size), ids,
                                                         weights, expected_shape=(1, size))
        except QuorumError as err:
            audit = err.audit
            log(WARNING, "aggregate_train: round %s keeps the global arrays: %s",
                server_round, err)
        except ValueError as err:  # an aggregate that overflowed, all weights zero
            log(WARNING, "aggregate_train: round %s keeps the global arrays: %s",
                server_round, err)
        self.last_audit = audit
        if audit is None:
            return None, [ReplyOutcome(p.node, p.cid, "malformed", p.problem.detail)
                          if p.problem is not None else
                          ReplyOutcome(p.node, p.cid, "not_selected") for p in parsed]
        outcomes = []
        for p, client in zip(parsed, audit.clients):
            v = client.verdict
            if isinstance(v, ExcludedByReputation):
                outcomes.append(ReplyOutcome(p.node, p.cid, "banned"))
            elif isinstance(v, Malformed):
                outcomes.append(ReplyOutcome(p.node, p.cid, "malformed", v.detail))
            elif isinstance(v, RejectedByNormBound):
                outcomes.append(ReplyOutcome(p.node, p.cid, "over_bound"))
            elif client.selected is False or aggregate is None:
                outcomes.append(ReplyOutcome(p.node, p.cid, "not_selected"))
            else:
                outcomes.append(ReplyOutcome(p.node, p.cid, "accepted"))
        return aggregate, outcomes

    def _round_core(self, server_round: int, parsed: list["_Reply"], size: int
                    ) -> tuple[Optional[np.ndarray], list[ReplyOutcome]]:
        assert isinstance(self.aggregator, ByzantineAggregator)
        outcomes: list[Optional[ReplyOutcome]] = [None] * len(parsed)
        usable = []
        for k, p in enumerate(parsed):
            if p.problem is not None:
                outcomes[k] = ReplyOutcome(p.node, p.cid, "malformed", p.problem.detail)
            elif self.is_banned(p.cid):
                # Banned clients are not read, whatever they sent.
                outcomes[k] = ReplyOutcome(p.node, p.cid, "banned")
            else:
                usable.append(k)
        if usable:
            _, bad = _robust._screen([parsed[k].row for k in usable])  # type: ignore[misc]
            for j, row, column, value in bad:
                p = parsed[usable[j]]
                outcomes[usable[j]] = ReplyOutcome(p.node, p.cid, "malformed",
                                                   f"{value!r} at [{row}, {column}]")
            usable = [k for j, k in enumerate(usable) if not any(b[0] == j for b in bad)]
        self._penalise_core([p.cid for p, o in zip(parsed, outcomes)
                             if o is not None and o.outcome == "malformed"])
        aggregate = None
        self.last_audit = None
        if usable:
            weights = [parsed[k].weight for k in usable] if self._weighted else None
            try:
                aggregate, audit = aggregate_with_audit(
                    self.aggregator, [parsed[k].row for k in usable],  # type: ignore[misc]
                    [parsed[k].cid for k in usable], weights)
                self.last_audit = audit
            except RoundRefusedError as err:
                self.last_audit = audit = err.audit
                log(WARNING, "aggregate_train: round %s keeps the global arrays: %s",
                    server_round, err)
            except ValueError as err:   # a Krum quorum, all weights zero
                audit = None
                log(WARNING, "aggregate_train: round %s keeps the global arrays: %s",
                    server_round, err)
            for j, k in enumerate(usable):
                p = parsed[k]
                v = None if audit is None else audit.decisions[j].verdict
                if isinstance(v, ExcludedByReputation):
                    outcome = "banned"
                elif isinstance(v, RejectedByNormBound):
                    outcome = "over_bound"
                elif aggregate is None:
                    outcome = "not_selected"
                else:
                    outcome = "accepted"
                outcomes[k] = ReplyOutcome(p.node, p.cid, outcome)
        return aggregate, [o for o in outcomes if o is not None]

    def _penalise_core(self, client_ids: Sequence[str]) -> None:
        """Lowers the scores of clients whose reply was malformed, by the composed default
        penalty, through the aggregator's saved form (its round cannot do it)."""
        if not client_ids:
            return
        state = json.loads(self.aggregator.to_json())
        store = ReputationManager.from_json(json.dumps(state["reputation"]), 0.0)
        for cid in client_ids:
            store.penalize(cid, _CORE_PENALTY)
        state["reputation"] = json.loads(store.to_json())
        self.aggregator = ByzantineAggregator.from_json(json.dumps(state))

    def _arrays(self, aggregate: np.ndarray, layout: list[tuple[str, Any, Any]]) -> ArrayRecord:
        """Splits the aggregate row back into arrays of the global keys, shapes and dtypes."""
        flat = np.asarray(aggregate).reshape(-1)
        out, offset = {}, 0
        for key, shape, dtype in layout:
            count = int(np.prod(shape))
            value: np.ndarray = flat[offset:offset + count].reshape(shape)
            offset += count
            if self.aggregate_deltas and self._global is not None:
                value = self._global[key].astype(np.float64) + value
            if np.issubdtype(dtype, np.integer):
                value = np.rint(value)
            with np.errstate(over="ignore", invalid="ignore"):
                out[key] = Array(np.asarray(value, dtype=dtype))
        return ArrayRecord(out)

    # --- metrics -------------------------------------------------------------------------

    def _metrics(self, contents: list[RecordDict], what: str) -> MetricRecord:
        """Flower's metric aggregation over the replies that count; a failure of it (all
        weights zero, metric lists of different lengths) is logged and leaves the averages
        out rather than ending the run."""
        if not contents:
            return MetricRecord()
        fn = self.train_metrics_aggr_fn if what == "train" else self.evaluate_metrics_aggr_fn
        try:
            return fn(contents, self.weighted_by_key)
        except Exception as err:  # noqa: BLE001 - the metrics come from the clients
            log(WARNING, "aggregate_%s: the clients' metrics cannot be averaged: %r", what, err)
            return MetricRecord()

    def aggregate_evaluate(self, server_round: int,
                           replies: Iterable[Message]) -> Optional[MetricRecord]:
        valid, _ = self._check_and_log_replies(replies, is_train=False, validate=False)
        counted = []
        for msg in valid:
            node = int(msg.metadata.src_node_id)
            cid = self._nodes.get(node)
            if cid is not None and self.is_banned(cid):
                continue
            try:
                self._weight_of(msg)
            except _Unusable as err:
                log(WARNING, "aggregate_evaluate: dropped the reply of node %s: %s", node,
                    err.malformed.detail)
                continue
            counted.append(msg.content)
        return self._metrics(counted, "evaluate") if counted else None

    # --- state ---------------------------------------------------------------------------

    def _end_round(self) -> None:
        if self.forget_after is not None:
            self._forget(self.rounds - self.forget_after)
        if self.state_path is not None:
            try:
                self.save_state(self.state_path)
            except OSError as err:
                log(WARNING, "FenroStrategy: the state was not saved to %s: %s",
                    self.state_path, err)

    def _scores(self) -> dict[str, float]:
        state = json.loads(self.aggregator.to_json())
        scores: dict[str, float] = state["reputation"]
        return scores

    def _forget(self, before: int) -> None:
        """Forgets the clients last seen before round ``before`` (and not since)."""
        gone = {cid for cid, seen in self._last_seen.items() if seen <= before}
        if not gone:
            return
        scores = self._scores()
        log(INFO, "FenroStrategy: forgetting %d clients not seen for %d rounds", len(gone),
            self.forget_after)
        self._set_scores({cid: s for cid, s in scores.items() if cid not in gone}, None)
        self._last_seen = {cid: r for cid, r in self._last_seen.items() if cid not in gone}
        self._nodes = {n: cid for n, cid in self._nodes.items() if cid not in gone}

    def _set_scores(self, scores: dict[str, float], rounds: Optional[int]) -> None:
        """Replaces the aggregator by one of the same configuration with these scores (and,
        for a composed aggregator, this round counter)."""
        state = json.loads(self.aggregator.to_json())
        state["reputation"] = scores
        if isinstance(self.aggregator, ComposedAggregator):
            if rounds is not None:
                state["rounds"] = rounds
            self.aggregator = ComposedAggregator.from_json(json.dumps(state))
        else:
            self.aggregator = ByzantineAggregator.from_json(json.dumps(state))

    def state_json(self) -> str:
        """The strategy's state as JSON text: the aggregator's saved form, the strategy's
        round counter, each node's client id and the round each client was last seen in."""
        return ("{" + f'"format":"{_STATE_FORMAT}","version":{_STATE_VERSION},'
                f'"rounds":{self.rounds},"aggregator":{self.aggregator.to_json()},'
                f'"nodes":{json.dumps({str(n): c for n, c in self._nodes.items()})},'
                f'"last_seen":{json.dumps(self._last_seen)}' + "}")

    def save_state(self, path: Union[str, os.PathLike[str]]) -> None:
        """Writes :meth:`state_json` to ``path`` atomically (a crash leaves the old file or
        the new one in full)."""
        write_atomically(path, self.state_json())

    def _restore(self, path: str) -> None:
        with open(path, encoding="utf-8") as f:
            text = f.read()
        try:
            state = json.loads(text)
            if not isinstance(state, dict) or state.get("format") != _STATE_FORMAT:
                raise ValueError(f"not a saved {_STATE_FORMAT}")
            if state.get("version") != _STATE_VERSION:
                raise ValueError(f"version {state.get('version')!r}; this fenro reads "
                                 f"version {_STATE_VERSION}")
            saved = state["aggregator"]
            scores = saved["reputation"]
            rounds, nodes, seen = state["rounds"], state["nodes"], state["last_seen"]
            if not (isinstance(scores, dict) and type(rounds) is int and
                    isinstance(nodes, dict) and isinstance(seen, dict)):
                raise ValueError("a member has the wrong type")
            composed_rounds = saved.get("rounds") if saved.get("format") else None
            before = _describe(self.aggregator)
            self._set_scores(scores, composed_rounds if isinstance(composed_rounds, int)
                             else None)
            self.rounds = rounds
            self._nodes = {int(n): str(c) for n, c in nodes.items()}
            self._last_seen = {str(c): int(r) for c, r in seen.items()}
        except (KeyError, TypeError, ValueError) as err:
            raise ValueError(f"{path}: not a usable fenro strategy state: "
                             f"{err.__class__.__name__}: {err}") from None
        was = saved.get("defense") or json.dumps(saved.get("method"))
        log(INFO, "FenroStrategy: restored %d clients and %d rounds from %s%s", len(scores),
            rounds, path, "" if was in before else f" (saved defense {was}, now {before})")


def _expand_shorthand(m: "re.Match[str]") -> str:
    name, f, count = m.group(1), m.group(2), m.group(3)
    return f"{name}(f={f}" + (f", m={count})" if count else ")")


def _default_weighted(aggregator: Aggregator) -> bool:
    if isinstance(aggregator, ComposedAggregator):
        stages = aggregator.defense.stages
        return stages[-1].name == "fedavg" and all(s.name in ("clip", "arc") for s in stages[:-1])
    return bool(json.loads(aggregator.to_json())["method"] == "FedAvg")


def _describe(aggregator: Aggregator) -> str:
    if isinstance(aggregator, ComposedAggregator):
        return str(aggregator)
    state = json.loads(aggregator.to_json())
    state.pop("reputation")
    return json.dumps(state)


class _Unusable(Exception):
    def __init__(self, problem: str, detail: str, value: Optional[float] = None) -> None:
        super().__init__(detail)
        self.malformed = Malformed(problem, detail, value=value)


@dataclass
class _Reply:
    msg: Message
    node: int
    cid: str
    row: Optional[np.ndarray]     # (1, D) float32; None when unusable or banned (not read)
    weight: float
    problem: Optional[Malformed]


class _ReplySource:
    """The round's replies as the composed round reads them: the unusable ones are reported
    by ``inspect`` with what was wrong, the rest are (1, D) float32 rows."""

    def __init__(self, replies: list[_Reply], size: int) -> None:
        self._replies = replies
        self._rows: list[Any] = [r.row for r in replies]

    def __len__(self) -> int:
        return len(self._replies)

    def inspect(self, indices: Sequence[int]) -> list[Union[tuple[int, int], Malformed]]:
        out: list[Union[tuple[int, int], Malformed]] = []
        for i in indices:
            r = self._replies[i]
            out.append(r.problem if r.problem is not None else
                       (1, int(r.row.shape[1])) if r.row is not None else
                       Malformed("not_array", "no arrays"))
        return out

    def screen(self, indices: Sequence[int]
               ) -> tuple[Sequence[float], dict[int, tuple[int, int, float]]]:
        norms, bad = _robust._screen([self._rows[i] for i in indices])
        return norms, {indices[k]: (row, column, value) for k, row, column, value in bad}

    def values(self, indices: Sequence[int]) -> list[np.ndarray]:
        return [self._rows[i] for i in indices]

    def distances(self, indices: Sequence[int], point: np.ndarray) -> Sequence[float]:
        return _robust._distances([self._rows[i] for i in indices], point)
