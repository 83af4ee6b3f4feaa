#!/usr/bin/env bash
# The service's figures, with those of an earlier commit measured in the same run:
#   - service_slow_clients: the latency of a device's requests, quiet and while 300 connections
#     send a request one byte a second and 300 send nothing;
#   - sync_figures.py: bytes on the wire per unchanged poll and per report, and the agent's
#     CPU-seconds per hour with the setup app's settings, at 100, 100 000 and 1 000 000 names.
#
# Builds the release preset into its build folder (default build/release); with --base COMMIT it
# also builds the agent and the service of that commit (from `git archive`, in a temporary folder)
# and measures both. Not part of ctest; the whole run takes about 20 minutes.
#
# Usage: bench/service-figures.sh [--base COMMIT] [--build-dir DIR] [--seconds N] [--quick]
#   --seconds N  the length of each measured window (default 120 for the agent, 60 for latency)
#   --quick      short windows (20 s) and 100 / 100 000 names only, for trying the script out
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_dir="$root/build/release"
base=""
seconds=120
sizes="100,100000,1000000"
while [ $# -gt 0 ]; do
  case "$1" in
    --base) base="$2"; shift 2 ;;
    --build-dir) build_dir="$(realpath -m "$2")"; shift 2 ;;
    --seconds) seconds="$2"; shift 2 ;;
    --quick) seconds=20; sizes="100,100000"; shift ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
done

[ -f "$build_dir/CMakeCache.txt" ] || cmake --preset release -B "$build_dir" >/dev/null
nice cmake --build "$build_dir" --target KinwardAgent tether-service service_slow_clients

work="$(mktemp -d /tmp/tether-service-figures.XXXXXX)"
trap 'rm -rf "$work"' EXIT
pairs=()
services=()
if [ -n "$base" ]; then
  echo "== building $base"
  mkdir -p "$work/base-src"
  git -C "$root" archive "$base" | tar -x -C "$work/base-src"
  cmake -S "$work/base-src" -B "$work/base-build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DTETHER_BUILD_TESTS=OFF -DTETHER_BUILD_BENCH=OFF -DTETHER_BUILD_GUI=OFF >/dev/null
  nice cmake --build "$work/base-build" --target KinwardAgent tether-service >/dev/null
  pairs+=(--pair before "$work/base-build/agent/KinwardAgent" "$work/base-build/service/tether-service")
  services+=("$work/base-build/service/tether-service")
fi
pairs+=(--pair after "$build_dir/agent/KinwardAgent" "$build_dir/service/tether-service")
services+=("$build_dir/service/tether-service")

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
latency_seconds=$(( seconds / 2 ))
for service in "${services[@]}"; do
  echo "== slow clients"
  "$build_dir/bench/service_slow_clients" --service "$service" --seconds "$latency_seconds"
done
echo "== agent exchange"
python3 "$root/bench/sync_figures.py" "${pairs[@]}" --sizes "$sizes" --seconds "$seconds"
