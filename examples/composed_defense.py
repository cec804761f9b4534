"""A composed defense from one line of text, in rounds where some clients misbehave.

Nearest-neighbour mixing in front of Multi-Krum, a norm bound and bans: one client sends a
NaN, one an update of the wrong shape, one a huge update. Each round goes on without them,
the audit says what happened to every client, and the three are banned after three rounds.
The state is saved atomically and restored.

    python examples/composed_defense.py ["<defense text>"]
"""

import os
import sys
import tempfile

import numpy as np

from fenro.robust import ComposedAggregator

text = sys.argv[1] if len(sys.argv) > 1 else \
    "nnm(f=2) | multi_krum(f=2); norm_bound=20, ban_threshold=0.3"
aggregator = ComposedAggregator(text)
print("defense:", aggregator)
clients = [f"site-{i}" for i in range(10)]
rng = np.random.default_rng(0)

for round_number in range(5):
    updates = [rng.standard_normal((50, 20)).astype(np.float32) * 0.1 for _ in clients]
    updates[7][3, 4] = np.nan                      # a broken client
    updates[8] = np.zeros((20, 50), np.float32)    # a client with another model
    updates[9] = updates[9] * 1000                 # a boosted update
    aggregate, audit = aggregator.aggregate(updates, client_ids=clients)
    verdicts = {c.client_id: type(c.verdict).__name__ for c in audit.clients
                if type(c.verdict).__name__ != "Admitted"}
    print(f"round {audit.round}: norm {np.linalg.norm(aggregate):.3f}, turned away {verdicts}")

path = os.path.join(tempfile.mkdtemp(), "aggregator.json")
aggregator.save(path)
restored = ComposedAggregator.load(path)
print(f"restored after {restored.rounds} rounds; site-9's score is "
      f"{restored.get_reputation('site-9'):.2f}")
