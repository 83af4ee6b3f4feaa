#!/usr/bin/env bash
# The service under 10 000 simulated devices on loopback (bench/service_load.cpp), on each way it
# runs: SQLite; PostgreSQL with one instance; PostgreSQL with two instances behind HAProxy. Each
# run has a phase of unchanged polls only and a phase of polls and uploads, both with 64 requests
# in flight, then a phase with every device polling and uploading once per 15 s (the agent's
# pace); a parent saves a policy of 1 000 000 host names during each of the last two. Prints a
# JSON line per run and two tables.
#   bash bench/service-load.sh [BUILD_DIR] [SECONDS] [RUNS]    (RUNS: default sqlite,pg1,pg2)
# Build first: cmake --preset release && cmake --build --preset release --target tether-service service_load
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
seconds=${2:-15}
runs=${3:-sqlite,pg1,pg2}
service="$build/service/tether-service"
load="$build/bench/service_load"
pgbin=/usr/lib/postgresql/15/bin
work=$(mktemp -d /tmp/tether-load-XXXXXX)
as=()
if [ "$(id -u)" -eq 0 ]; then as=(runuser -u postgres --); chown postgres "$work"; fi
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  [ -d "$work/pg" ] && "${as[@]}" "$pgbin/pg_ctl" -D "$work/pg" -m fast -w stop >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

# Starts tether-service with a --db value; sets started_pid and started_port.
start_service() {
  local out="$work/service-$RANDOM.out"
  "$service" --db "$1" --listen 127.0.0.1:0 >"$out" 2>/dev/null &
  started_pid=$!
  pids+=("$started_pid")
  for _ in $(seq 100); do grep -q "^listening on" "$out" 2>/dev/null && break; sleep 0.1; done
  started_port=$(sed -n 's/^listening on 127.0.0.1:\([0-9]*\)$/\1/p' "$out")
}

stop_services() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  pids=()
}

fresh_postgres() {
  [ -d "$work/pg" ] && "${as[@]}" "$pgbin/pg_ctl" -D "$work/pg" -m fast -w stop >/dev/null
  rm -rf "$work/pg"
  "${as[@]}" "$pgbin/initdb" -D "$work/pg" -A trust -U postgres -E UTF8 --locale=C >/dev/null
  "${as[@]}" "$pgbin/pg_ctl" -D "$work/pg" -l "$work/pg.log" -w \
    -o "-k $work -c listen_addresses='' -p 5432 -c max_connections=100" start >/dev/null
  uri="postgresql:///postgres?host=$work&port=5432&user=postgres"
}

run_load() {  # name port pids...
  local name=$1 port=$2; shift 2
  local list
  list=$(IFS=,; echo "$*")
  echo "== $name" >&2
  "$load" 127.0.0.1 "$port" --devices 10000 --concurrency 64 --seconds "$seconds" \
    --large-save 1000000 --pids "$list" | sed "s/^{/{\"run\":\"$name\",/" | tee -a "$work/results"
}

if [[ ,$runs, == *,sqlite,* ]]; then
  start_service "$work/service.db"
  run_load "SQLite" "$started_port" "$started_pid"
  stop_services
fi

if [[ ,$runs, == *,pg1,* ]]; then
  fresh_postgres
  start_service "$uri"
  run_load "PostgreSQL, one instance" "$started_port" "$started_pid"
  stop_services
fi

if [[ ,$runs, == *,pg2,* ]]; then
fresh_postgres
start_service "$uri"; p1=$started_pid; port1=$started_port
start_service "$uri"; p2=$started_pid; port2=$started_port
# A port below the range the system hands out to outgoing connections (the load's own), where a
# port may still be taken by another program: tried a few times.
started=""
for _ in 1 2 3 4 5; do
hport=$(( (RANDOM % 8000) + 20000 ))
cat >"$work/haproxy.cfg" <<CFG
global
  maxconn 8000
defaults
  mode http
  timeout connect 5s
  timeout client 60s
  timeout server 60s
frontend service
  bind 127.0.0.1:$hport
  default_backend instances
backend instances
  balance roundrobin
  server one 127.0.0.1:$port1
  server two 127.0.0.1:$port2
CFG
haproxy -f "$work/haproxy.cfg" -db >"$work/haproxy.log" 2>&1 &
hpid=$!
pids+=("$hpid")
for _ in $(seq 50); do
  (echo >"/dev/tcp/127.0.0.1/$hport") 2>/dev/null && kill -0 "$hpid" 2>/dev/null && { started=1; break; }
  kill -0 "$hpid" 2>/dev/null || break
  sleep 0.1
done
[ -n "$started" ] && break
done
if [ -z "$started" ]; then cat "$work/haproxy.log" >&2; exit 1; fi
run_load "PostgreSQL, two instances behind HAProxy" "$hport" "$p1" "$p2"
stop_services
fi

python3 - "$work/results" <<'PY'
import json, sys
rows = [json.loads(l) for l in open(sys.argv[1]) if l.strip()]
print("| run | unchanged polls/s | poll median ms | poll p99 ms | service CPU ms per poll | mixed req/s | mixed median ms | mixed p99 ms | CPU ms per req (mixed) | failed | large save ms | p99 ms during save | median ms during save |")
print("|---|---|---|---|---|---|---|---|---|---|---|---|---|")
for r in rows:
    p, m, s = r["polls"], r["mixed"], r.get("duringLargeSave", {})
    print(f'| {r["run"]} | {p["perSecond"]:.0f} | {p["medianMs"]:.2f} | {p["p99Ms"]:.2f} | {p["serviceCpuMsPerRequest"]:.3f} | '
          f'{m["perSecond"]:.0f} | {m["medianMs"]:.2f} | {m["p99Ms"]:.2f} | {m["serviceCpuMsPerRequest"]:.3f} | '
          f'{p["failed"] + m["failed"]} | {s.get("saveMs", 0):.0f} (status {s.get("status")}) | {s.get("p99Ms", 0):.2f} | {s.get("medianMs", 0):.2f} |')
print()
print("| run (devices at their own pace) | offered req/s | answered req/s | median ms | p99 ms | CPU ms per req | failed | large save ms | p99 ms during save | median ms during save |")
print("|---|---|---|---|---|---|---|---|---|---|")
for r in rows:
    q = r.get("paced")
    if not q: continue
    s = q.get("duringLargeSave", {})
    print(f'| {r["run"]} | {q["offeredPerSecond"]:.0f} | {q["perSecond"]:.0f} | {q["medianMs"]:.2f} | {q["p99Ms"]:.2f} | '
          f'{q["serviceCpuMsPerRequest"]:.3f} | {q["failed"]} | {s.get("saveMs", 0):.0f} (status {s.get("status")}) | '
          f'{s.get("p99Ms", 0):.2f} | {s.get("medianMs", 0):.2f} |')
PY
