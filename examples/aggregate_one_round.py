"""Aggregate one federated round with each of fenro's rules.

Eight clients send an update (a 4 x 3 float32 matrix); two of them are Byzantine and send
a huge update. The plain mean is dragged away, the robust rules stay near the honest
updates.

    python examples/aggregate_one_round.py
"""

import numpy as np

from fenro import ByzantineAggregator

rng = np.random.default_rng(0)
honest = [(1.0 + 0.05 * rng.standard_normal((4, 3))).astype(np.float32) for _ in range(6)]
byzantine = [np.full((4, 3), -100.0, np.float32) for _ in range(2)]
updates = honest + byzantine
target = np.mean(honest, axis=0)

for method, trim in [("fedavg", 0.0), ("trimmed_mean", 0.25), ("median", 0.0),
                     ("krum:2", 0.0), ("multi_krum:2:2", 0.0)]:
    aggregate = ByzantineAggregator(method, trim).aggregate(updates)
    error = float(np.abs(aggregate - target).max())
    print(f"{method:<15} max distance from the honest mean: {error:10.4f}")

# With client ids the aggregator also scores each client by its distance from the result,
# and with a norm bound it drops oversized updates before aggregating.
guarded = ByzantineAggregator("fedavg", 0.0, norm_bound=10.0)
ids = [f"client-{i}" for i in range(len(updates))]
aggregate = guarded.aggregate(updates, client_ids=ids)
print(f"fedavg + norm bound: max distance {float(np.abs(aggregate - target).max()):.4f}")
print("reputations:", {cid: round(guarded.get_reputation(cid), 2) for cid in ids})
