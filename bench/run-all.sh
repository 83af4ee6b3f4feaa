#!/usr/bin/env bash
# Runs every benchmark of bench/ and prints one table with the measured figures and their ratios
# against the targets, all taken in the same run:
#   - the Google Benchmark programs (SiteMatchBench for rule matching with 100, 100 000 and
#     1 000 000 rules; the others for the sampling cycle, the cycle under a hostile layout of a
#     user's Applications folder, the policy poll and the tab helper's tick);
#   - the DNS proxy's throughput with dnsperf next to dnsmasq and two C yardsticks, its latency in
#     front of an upstream that answers after 5 ms, and the agent's memory and load time with a
#     policy of 1 000 000 blocked names (bench/dns_bench.py).
#
# Builds the release preset into its build folder first (default build/release). The DNS part
# runs as root inside a private network namespace of its own (unshare -n), so it uses port 53
# and loopback addresses without touching the machine's. Not part of ctest.
#
# Usage: bench/run-all.sh [--build-dir DIR] [--quick] [--only SECTIONS] [--skip-build] [--keep]
#                         [--alt-driver PATH]
#   --quick       short runs (one 2-second dnsperf run per figure), for trying the script out
#   --alt-driver  another build's dns_proxy_driver, measured side by side with this one (the
#                 proxy before a change, say), with the ratios between the two
#   --only LIST   comma-separated subset of: gbench,throughput,latency,agent
#   --keep        keep the folder with the programs' output and the raw figures (dns.json)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_dir="$root/build/release"
sections="gbench,throughput,latency,agent"
quick=0
skip_build=0
keep=0
alt_driver=""
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build_dir="$(realpath -m "$2")"; shift 2 ;;
    --build-dir=*) build_dir="$(realpath -m "${1#*=}")"; shift ;;
    --only) sections="$2"; shift 2 ;;
    --only=*) sections="${1#*=}"; shift ;;
    --quick) quick=1; shift ;;
    --skip-build) skip_build=1; shift ;;
    --keep) keep=1; shift ;;
    --alt-driver) alt_driver="$(realpath "$2")"; shift 2 ;;
    --alt-driver=*) alt_driver="$(realpath "${1#*=}")"; shift ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
done
has() { [[ ",$sections," == *",$1,"* ]]; }

if [ "$(id -u)" -ne 0 ]; then
  echo "run-all.sh: run as root (the DNS part needs a private network namespace and port 53)" >&2
  exit 1
fi
if [ "$(nproc)" -lt 2 ]; then
  echo "run-all.sh: needs 2 cores (the program under test and the load generator are pinned apart)" >&2
  exit 1
fi
for tool in dnsperf dnsmasq taskset unshare ip python3; do
  command -v "$tool" >/dev/null || { echo "run-all.sh: $tool missing (scripts/install-deps.sh)" >&2; exit 1; }
done

if [ "$skip_build" -eq 0 ]; then
  [ -f "$build_dir/CMakeCache.txt" ] || cmake --preset release -B "$build_dir" >/dev/null
  nice cmake --build "$build_dir" --target KinwardAgent SiteMatchBench RunningAppsBench \
    SampleCycleBench HostileLayoutBench PollBench TabHelperTickBench dns_proxy_driver dns_responder \
    dns_relay
fi

out="$(mktemp -d /tmp/tether-bench.XXXXXX)"
if [ "$keep" -eq 1 ]; then
  echo "output and raw figures in $out"
else
  trap 'rm -rf "$out"' EXIT
fi
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"

sitematch=""
if has gbench; then
  gbench_args=(--benchmark_color=false)
  [ "$quick" -eq 1 ] && gbench_args+=(--benchmark_min_time=0.05)
  for b in SiteMatchBench RunningAppsBench SampleCycleBench HostileLayoutBench PollBench \
      TabHelperTickBench; do
    exe="$build_dir/bench/$b"
    [ -x "$exe" ] || { echo "== $b: not built, skipped"; continue; }
    echo "== $b"
    # Pinned to one core like the DNS programs under test; bounded in time.
    timeout 900 taskset -c 0 "$exe" "${gbench_args[@]}" 2>&1 | tee "$out/$b.txt" || \
      echo "== $b failed (status $?)"
  done
  sitematch="$out/SiteMatchBench.txt"
fi

dns_sections=()
for s in throughput latency agent; do has "$s" && dns_sections+=("$s"); done
if [ ${#dns_sections[@]} -gt 0 ]; then
  dns_args=(--bin-dir "$out/bin" --sitematch-output "$sitematch" --json "$out/dns.json"
            --sections "$(IFS=,; echo "${dns_sections[*]}")")
  [ -n "$alt_driver" ] && dns_args+=(--alt-driver "$alt_driver")
  if [ "$quick" -eq 1 ]; then
    dns_args+=(--seconds 2 --repeats 1 --latency-seconds 2 --poll-seconds 2 --settle-seconds 4)
  fi
  # The programs sit in the build folder's agent/ and bench/ folders; dns_bench.py finds them
  # through one folder of links.
  mkdir -p "$out/bin"
  for p in agent/KinwardAgent bench/dns_proxy_driver bench/dns_responder bench/dns_relay; do
    ln -sf "$build_dir/$p" "$out/bin/"
  done
  # A private network namespace: its own loopback, brought up first.
  unshare -n -- bash -c 'ip link set lo up && exec python3 "$@"' bash \
    "$root/bench/dns_bench.py" "${dns_args[@]}"
elif [ -n "$sitematch" ]; then
  grep '^ratio' "$sitematch" || true
fi
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
