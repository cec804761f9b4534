#!/usr/bin/env bash
# Runs this app as a real deployment on loopback: one SuperLink, ten SuperNodes (partition ids
# 0-9), then `flwr run`. Every process it starts is stopped when it ends.
#
#     bash examples/flower_app/run_deployment.sh [WORK_DIR] [-- extra flwr run arguments]
#
# WORK_DIR (default: a new temporary directory) receives the logs, the server's fenro state
# (state.json, kept across runs in the same WORK_DIR) and the round metrics (metrics.json).
# FENRO_FLOWER_PORT (default 18431) is the SuperLink's port; the nodes use the next ten.
# fenro, Flower and torch must be installed in the current Python environment.
set -euo pipefail
app=$(cd "$(dirname "$0")" && pwd)
work=${1:-$(mktemp -d)}
shift || true
[ "${1:-}" = "--" ] && shift
mkdir -p "$work"
work=$(cd "$work" && pwd)
port=${FENRO_FLOWER_PORT:-18431}
export FLWR_HOME="$work/flwr-home" FLWR_TELEMETRY_ENABLED=0
mkdir -p "$FLWR_HOME"
cat > "$FLWR_HOME/config.toml" <<TOML
[superlink]
default = "loopback"

[superlink.loopback]
address = "127.0.0.1:$port"
insecure = true
TOML

# Each process starts in a process group of its own (setsid), so that stopping the group also
# stops the helper processes it spawned.
pids=()
stop() {
  for pid in "${pids[@]}"; do kill -TERM -- "-$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap stop EXIT

setsid flower-superlink --insecure --port "$port" --disable-runtime-dependency-installation \
  >"$work/superlink.log" 2>&1 &
pids+=($!)
sleep 3
for i in $(seq 0 9); do
  setsid flower-supernode --insecure --superlink "127.0.0.1:$port" --port $((port + 1 + i)) \
    --node-config "partition-id=$i num-partitions=10" >"$work/supernode-$i.log" 2>&1 &
  pids+=($!)
done
sleep 3
rm -f "$work/metrics.json"
flwr run "$app" loopback --stream \
  --run-config "state-path='$work/state.json' metrics-path='$work/metrics.json'" "$@" \
  2>&1 | tee "$work/run.log"
# The metrics file is written when the server app's strategy has finished.
for _ in $(seq 1 60); do [ -s "$work/metrics.json" ] && break; sleep 1; done
[ -s "$work/metrics.json" ] || { echo "no metrics: see $work/*.log" >&2; exit 1; }
echo "metrics: $work/metrics.json"
