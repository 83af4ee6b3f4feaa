#!/usr/bin/env bash
# Builds the agent and runs it for a few seconds on a sample configuration in a temporary folder,
# showing its log, then stops it with SIGTERM and shows the usage file it left.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target KinwardAgent >/dev/null

work=$(mktemp -d /tmp/tether-demo.XXXXXX)
agent_pid=""
cleanup() {
  [ -n "$agent_pid" ] && kill "$agent_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

cat >"$work/config.json" <<JSON
{"serverURL": "http://127.0.0.1:9", "deviceToken": "demo-device",
 "pollIntervalSeconds": 15, "sampleIntervalSeconds": 1,
 "upstreamDNS": "1.1.1.1", "enableDNS": false}
JSON

echo "== agent log (configuration in $work)"
build/release/agent/KinwardAgent --config "$work/config.json" &
agent_pid=$!
sleep 3
kill -TERM "$agent_pid"
wait "$agent_pid" && status=0 || status=$?
agent_pid=""
echo "== agent exited with status $status after SIGTERM"
echo "== usage.json:"
cat "$work/usage.json"; echo
