"""Plug fenro into Flower: robust aggregation and reputation in a Flower strategy.

Ten Flower nodes fit a linear model on their own data; three of them are Byzantine and
pull the model towards the opposite of the truth. The server aggregates with the coordinate-wise
median and bans clients whose reputation falls below 0.3. In a real deployment the
``client_app`` and the body of ``server_main`` go into a ClientApp and a ServerApp run with
``flwr run``; to stay self-contained this script drives them in one process through a
minimal Grid.

    pip install "fenro[flower]"
    python examples/flower_strategy.py
"""

import itertools

import numpy as np
from flwr.app import ArrayRecord, Context, Message, MetricRecord, RecordDict
from flwr.clientapp import ClientApp
from flwr.serverapp import Grid

from fenro.flower import FenroStrategy

NODES = list(range(101, 111))        # Flower node ids
BYZANTINE = {101, 104, 107}
TRUE_W = np.linspace(-1.0, 1.0, 8).reshape(8, 1)

# --- client side -------------------------------------------------------------------------

client_app = ClientApp()


@client_app.train()
def train(msg: Message, context: Context) -> Message:
    node = context.node_id
    rng = np.random.default_rng(node)
    x = rng.normal(size=(64, 8))
    y = x @ TRUE_W + rng.normal(scale=0.1, size=(64, 1))
    w = msg.content["arrays"].to_numpy_ndarrays()[0]
    for _ in range(5):                                   # a few steps of gradient descent
        w = w - 0.1 * x.T @ (x @ w - y) / len(x)
    if node in BYZANTINE:                                # pull towards a wrong model
        w = -5.0 * TRUE_W
    reply = RecordDict({"arrays": ArrayRecord([w]),
                        "metrics": MetricRecord({"num-examples": len(x)})})
    return Message(reply, reply_to=msg)


# --- server side -------------------------------------------------------------------------

def server_main(grid: Grid, rounds: int = 8):
    strategy = FenroStrategy("median; ban_threshold=0.3", report_reputation=True,
                             fraction_evaluate=0.0, min_train_nodes=len(NODES),
                             min_available_nodes=len(NODES))
    result = strategy.start(grid=grid, initial_arrays=ArrayRecord([np.zeros((8, 1))]),
                            num_rounds=rounds)
    w = result.arrays.to_numpy_ndarrays()[0]
    last = result.train_metrics_clientapp[rounds]
    print(f"distance of the model from the truth: {np.linalg.norm(w - TRUE_W):.4f}")
    banned = [node for node in NODES if strategy.is_banned(str(node))]
    print(f"banned after round {rounds}: {banned}")
    print(f"last round: {last['fenro-accepted']} accepted, {last['fenro-banned']} banned "
          f"replies; {len(grid.sampled[-1][1])} nodes sampled")
    for node in NODES:
        tag = "Byzantine" if node in BYZANTINE else "honest"
        print(f"  node {node} ({tag:9}) reputation "
              f"{strategy.aggregator.get_reputation(str(node)):.2f}")
    return strategy, result


# --- a one-process stand-in for the Flower runtime ---------------------------------------

class InProcessGrid(Grid):
    """Delivers each message straight to the ClientApp of its destination node."""

    def __init__(self, app, nodes):
        self._app, self._nodes, self._ids = app, list(nodes), itertools.count(1)
        self._contexts = {n: Context(run_id=1, node_id=n, node_config={},
                                     state=RecordDict(), run_config={}) for n in nodes}
        self._run = None
        self.sampled = []            # (message type, nodes) of every push
        _set_server_identity()

    def set_run(self, run):
        self._run = run

    @property
    def run(self):
        return self._run

    def create_message(self, content, message_type, dst_node_id, group_id, ttl=None):
        return Message(content, dst_node_id, message_type, group_id=group_id, ttl=ttl)

    def get_node_ids(self):
        return list(self._nodes)

    def push_messages(self, messages):
        self._pending = list(messages)
        if self._pending:
            self.sampled.append((self._pending[0].metadata.message_type,
                                 sorted(m.metadata.dst_node_id for m in self._pending)))
        return [str(next(self._ids)) for _ in self._pending]

    def pull_messages(self, message_ids):
        replies = [self._app(m, self._contexts[m.metadata.dst_node_id])
                   for m in self._pending]
        self._pending = []
        return replies

    def send_and_receive(self, messages, *, timeout=None):
        return self.pull_messages(self.push_messages(messages))


def _set_server_identity():
    # Recent Flower versions stamp new messages with the identity of the running task,
    # which the Flower runtime sets; outside it, play the server task of run 1.
    try:
        from flwr.supercore.task_identity import TaskIdentity
    except ImportError:
        return
    TaskIdentity.run_id, TaskIdentity.node_id, TaskIdentity.task_id = 1, 1, 1


if __name__ == "__main__":
    server_main(InProcessGrid(client_app, NODES))
