"""One aggregation round with the updates cut into coordinate ranges on Ray workers.

    python -m pip install "fenro[ray]"
    python examples/distributed_round.py

Starts a local Ray cluster (on a real cluster: `ray start` on every machine, then
RAY_ADDRESS=HEAD:6379 python ...; see docs/distributed.md) and runs the same Multi-Krum round
twice: from whole updates, and from shards that Ray tasks cut out of each client's upload in
the object store, so the coordinator never holds the updates. Both give exactly what
ByzantineAggregator.aggregate gives on one machine.
"""

import numpy as np
import ray

import fenro
import fenro.distributed as fd


@ray.remote
def slice_of(update, lo, hi):
    return np.asarray(update, dtype=np.float32).reshape(-1)[lo:hi]


def main():
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)
    rng = np.random.default_rng(0)
    updates = [rng.standard_normal((64, 32)).astype(np.float32) for _ in range(10)]
    updates[3] *= 100  # a Byzantine client
    ids = [f"client-{k}" for k in range(10)]

    local = fenro.ByzantineAggregator("multi_krum:2:3", 0.0, norm_bound=200.0)
    expected = local.aggregate(updates, ids)

    agg = fenro.ByzantineAggregator("multi_krum:2:3", 0.0, norm_bound=200.0)
    result = fd.aggregate(agg, updates, ids, shards=2)
    print("whole updates, 2 shards: same bits", result.tobytes() == expected.tobytes())

    # The next round, on shards that never pass through this process.
    expected = local.aggregate(updates, ids)
    uploads = [ray.put(u) for u in updates]  # as an ingest service would
    layout = fd.ShardLayout(64, 32, shards=2)
    round_ = fd.ShardedUpdates(layout)
    for k, ref in enumerate(uploads):
        for s, (lo, hi) in enumerate(layout.ranges):
            round_.put(k, s, slice_of.remote(ref, lo, hi))
    result = round_.aggregate(agg, ids)
    print("shards handed in: same bits", result.tobytes() == expected.tobytes())
    print("same reputation scores:", agg.to_json() == local.to_json())
    ray.shutdown()


if __name__ == "__main__":
    main()
