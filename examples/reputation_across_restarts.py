"""Keep client reputations across server restarts with to_json / from_json.

A training server is restarted between sessions. Before it stops it writes its aggregator
(configuration and every client's trust score) to a JSON file; the next session restores
it, so a client that misbehaved earlier stays banned.

    python examples/reputation_across_restarts.py [state.json]
"""

import os
import sys
import tempfile

import numpy as np

from fenro import ByzantineAggregator, ReputationManager

CLIENTS = [f"site-{i}" for i in range(6)]
ATTACKER = "site-5"


def session(aggregator, rounds, rng):
    """A few rounds in which ATTACKER sends an update far from everybody else's."""
    for _ in range(rounds):
        updates = []
        for cid in CLIENTS:
            u = 0.1 * rng.standard_normal((5, 4))
            if cid == ATTACKER:
                u = u + 20.0
            updates.append(u.astype(np.float32))
        aggregator.aggregate(updates, client_ids=CLIENTS)
        aggregator.decay_reputations(0.01)   # lets penalised clients recover slowly


path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(tempfile.mkdtemp(), "state.json")
rng = np.random.default_rng(1)

# First session: a new aggregator, then save its state.
aggregator = ByzantineAggregator("median", 0.0, ban_threshold=0.3)
session(aggregator, rounds=4, rng=rng)
with open(path, "w", encoding="utf-8") as fh:
    fh.write(aggregator.to_json())
print(f"saved {path}: attacker at {aggregator.get_reputation(ATTACKER):.2f}, "
      f"site-0 at {aggregator.get_reputation('site-0'):.2f}")

# After the restart: restore and carry on; the attacker is still below the threshold.
with open(path, encoding="utf-8") as fh:
    text = fh.read()
restored = ByzantineAggregator.from_json(text)
assert restored.to_json() == text, "the restored state writes back the same text"
print(f"restored: attacker at {restored.get_reputation(ATTACKER):.2f} (banned below 0.3)")
session(restored, rounds=2, rng=rng)
print(f"after two more rounds: attacker at {restored.get_reputation(ATTACKER):.2f}, "
      f"site-0 at {restored.get_reputation('site-0'):.2f}")

# A standalone ReputationManager keeps scores for code that aggregates elsewhere; its JSON
# holds the scores only, the threshold is chosen again when loading.
manager = ReputationManager(ban_threshold=0.3)
manager.set_score("site-0", 0.9)
manager.penalize(ATTACKER, 0.4)
again = ReputationManager.from_json(manager.to_json(), ban_threshold=0.3)
print("manager after restart, active clients:", again.active_clients())
