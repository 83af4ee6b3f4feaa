#!/usr/bin/env bash
# The main job end to end on this machine, on loopback only: the reference service with a fresh
# database, a parent, a device and a demonstration policy; the agent for that device; a blocked
# demonstration application that the agent terminates; names resolved through the agent's DNS
# proxy; a browser tab on a time-limited site until its minute is used up; the usage report the
# service received; and a SIGTERM stop after which the usage file, the DNS settings and the
# service agree.
#
# As root everything after the build runs inside private network, mount and process namespaces:
# the agent's DNS proxy on port 53, an upstream resolver on 127.0.0.2 (dnsmasq), and a stand-in
# for /usr/sbin/networksetup that exists only there; the agent sees and can signal only the
# demonstration's processes. Without root the agent runs without DNS filtering (it says so) and
# the DNS steps are skipped. Every process and file the demonstration starts is removed at the
# end, also on Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

if [ "${1:-}" != "--inside" ]; then
  keep_serving=""
  case "${1:-}" in
    --keep-serving) keep_serving=1 ;;
    "") ;;
    *) echo "usage: bash scripts/demo.sh [--keep-serving]" >&2; exit 2 ;;
  esac
  bash scripts/install-deps.sh
  echo "== building KinwardAgent and tether-service (release preset)"
  cmake --preset release >/dev/null
  cmake --build --preset release --target KinwardAgent tether-service >/dev/null
  work=$(mktemp -d /tmp/tether-demo.XXXXXX)
  trap 'rm -rf "$work"; echo "== cleaned up: every process stopped, $work removed"' EXIT
  trap 'exit 130' INT TERM
  namespaces=(unshare --net --mount --pid --fork --kill-child --mount-proc)
  if [ "$(id -u)" -eq 0 ] && ! "${namespaces[@]}" true 2>"$work/unshare.err"; then
    echo "== no private namespaces here ($(head -n 1 "$work/unshare.err")): without DNS filtering"
    bash "$0" --inside "$work" plain build/release && status=0 || status=$?
  elif [ "$(id -u)" -eq 0 ]; then
    # When the last process inside ends, the namespaces and everything in them are gone; killing
    # unshare kills everything inside too.
    "${namespaces[@]}" bash "$0" --inside "$work" private build/release && status=0 || status=$?
  else
    bash "$0" --inside "$work" plain build/release && status=0 || status=$?
  fi
  if [ "$status" -eq 0 ] && [ -n "$keep_serving" ]; then
    # The same database, now served on this machine's loopback for a browser: port 8080, or any
    # free port when 8080 is taken.
    service_pid=""
    trap 'if [ -n "$service_pid" ]; then kill -TERM "$service_pid" 2>/dev/null || true; fi; rm -rf "$work"; echo "== cleaned up: every process stopped, $work removed"' EXIT
    for listen in 127.0.0.1:8080 127.0.0.1:0; do
      build/release/service/tether-service --db "$work/service.db" --listen "$listen" \
        >"$work/keep.out" 2>"$work/keep.log" &
      service_pid=$!
      for _ in $(seq 50); do
        grep -qs '^listening on' "$work/keep.out" && break 2
        kill -0 "$service_pid" 2>/dev/null || break
        sleep 0.1
      done
    done
    address=$(sed -n 's/^listening on //p' "$work/keep.out")
    [ -n "$address" ] || { echo "!! the service did not start again: $(cat "$work/keep.log")"; exit 1; }
    echo "== the service keeps running with the demonstration's data until Ctrl-C"
    echo "   console:  http://$address/"
    echo "   sign in:  parent@example.test  password: demo-password"
    echo "   the device \"Demo Mac\": its rules, its usage report and the inventory with DemoGame"
    wait "$service_pid" || true
  fi
  exit "$status"
fi

# ---- The demonstration proper: --inside FOLDER MODE BUILD-FOLDER, where MODE is "private"
# (inside the namespaces) or "plain".
work=$2
mode=$3
agent_bin=$repo/$4/agent/KinwardAgent
service_bin=$repo/$4/service/tether-service
state=$work/state
netsetup=$work/networksetup
limited=videos.example.test
game_id=com.tether.demo-game

pids=()
agent_pid=""
sbin_mounted=""
apps_mounted=""
apps_made=""
cleanup() {
  trap - ERR
  set +e
  exec 2>/dev/null  # no job notices for the processes ended here
  # The agent first, so that it still restores the DNS servers it changed.
  if [ -n "$agent_pid" ] && kill -0 "$agent_pid" 2>/dev/null; then
    kill -TERM "$agent_pid"
    for _ in $(seq 50); do kill -0 "$agent_pid" 2>/dev/null || break; sleep 0.1; done
  fi
  [ -s "$work/game.pid" ] && pids+=("$(cat "$work/game.pid")")
  for p in "${pids[@]}"; do kill -TERM "$p"; done
  sleep 0.2
  for p in $agent_pid "${pids[@]}"; do kill -KILL "$p"; done
  wait
  [ -n "$sbin_mounted" ] && umount -l /usr/sbin
  [ -n "$apps_mounted" ] && umount -l /Applications
  [ -n "$apps_made" ] && rmdir /Applications
}
trap cleanup EXIT
trap 'echo; echo "== interrupted"; exit 130' INT TERM
set -E
trap 'fail "step failed at line $LINENO of scripts/demo.sh"' ERR

fail() {
  echo "!! $*"
  [ -f "$work/agent.log" ] && { echo "!! agent log:"; tail -n 20 "$work/agent.log"; }
  [ -f "$work/service.log" ] && { echo "!! service log:"; tail -n 5 "$work/service.log"; }
  exit 1
}

# wait_for SECONDS WHAT COMMAND...: polls COMMAND every 0.2 s.
wait_for() {
  local seconds=$1 what=$2
  shift 2
  local deadline=$((SECONDS + seconds))
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || fail "no $what within $seconds s"
    sleep 0.2
  done
}

# py EXPR [FILE]: evaluates a Python expression on the JSON document d (from FILE or standard
# input); prints text as it is and everything else as JSON.
py() {
  python3 -c '
import json, sys
d = json.load(open(sys.argv[2])) if len(sys.argv) > 2 else json.load(sys.stdin)
v = eval(sys.argv[1])
print(v if isinstance(v, str) else json.dumps(v))' "$@"
}

shown=0
show_log() {
  local total
  total=$(wc -l <"$work/agent.log")
  if [ "$total" -gt "$shown" ]; then
    sed -n "$((shown + 1)),${total}p" "$work/agent.log" | sed 's/^/   agent| /'
    shown=$total
  fi
}
log_has() { grep -qF -- "$1" "$work/agent.log"; }

api() {  # METHOD PATH TOKEN [BODY]
  local args=(-sS --fail-with-body -X "$1" "$url$2")
  [ -n "$3" ] && args+=(-H "Authorization: Bearer $3")
  [ -n "${4:-}" ] && args+=(-H 'Content-Type: application/json' --data-binary "$4")
  curl "${args[@]}"
}

resolve() {  # NAME NOTE
  local answer
  answer=$(dig +short +time=3 +tries=1 @127.0.0.1 "$1" A | tr '\n' ' ')
  printf '   %-26s %-12s %s\n' "$1" "${answer:-(no answer)}" "$2"
}
resolves_to() { [ "$(dig +short +time=2 +tries=1 @127.0.0.1 "$1" A)" = "$2" ]; }

dns_of() {  # SERVICE: the servers the stand-in tool holds for it
  local servers
  servers=$(/usr/sbin/networksetup -getdnsservers "$1" | tr '\n' ' ')
  case "$servers" in "There aren't any"*) servers="(none)" ;; esac
  printf '%s' "${servers% }"
}

# ---- 0. The private network: loopback, an upstream resolver, the networksetup stand-in.
if [ "$mode" = private ]; then
  echo "== private network, mount and process namespaces (loopback only)"
  ip link set lo up
  mkdir -p "$netsetup" "$work/sbin-upper" "$work/sbin-work"
  printf '%s\n' "An asterisk (*) denotes that a network service is disabled." \
    "Wi-Fi" "Thunderbolt Ethernet" "*Bluetooth PAN" >"$netsetup/services"
  key() { printf '%s' "$1" | od -An -tx1 | tr -d ' \n'; }
  printf '192.168.1.1\n9.9.9.9\n' >"$netsetup/dns-$(key Wi-Fi)"
  sed "s|@STATE@|$netsetup|" agent/tests/e2e/fake-networksetup >"$work/sbin-upper/networksetup"
  chmod 755 "$work/sbin-upper/networksetup"
  if mount -t overlay overlay \
      -o "lowerdir=/usr/sbin,upperdir=$work/sbin-upper,workdir=$work/sbin-work" /usr/sbin \
      2>/dev/null; then
    sbin_mounted=1
  else
    # No overlay file system here: a copy of /usr/sbin with the stand-in added.
    mkdir -p "$work/sbin-copy"
    cp -a /usr/sbin/. "$work/sbin-copy/"
    cp "$work/sbin-upper/networksetup" "$work/sbin-copy/"
    mount --bind "$work/sbin-copy" /usr/sbin
    sbin_mounted=1
  fi
  echo "   /usr/sbin/networksetup: a stand-in, here only; Wi-Fi -> $(dns_of Wi-Fi)," \
    "Thunderbolt Ethernet -> $(dns_of 'Thunderbolt Ethernet'), Bluetooth PAN disabled"
  dnsmasq --no-daemon --conf-file=/dev/null --no-resolv --no-hosts --listen-address=127.0.0.2 \
    --bind-interfaces --port=53 --address=/example.test/192.0.2.10 \
    >"$work/dnsmasq.log" 2>&1 &
  pids+=($!)
  upstream_ready() {
    [ "$(dig +short +time=1 +tries=1 @127.0.0.2 ready.example.test A)" = 192.0.2.10 ]
  }
  wait_for 10 "answer from the upstream resolver" upstream_ready
  echo "   upstream resolver: dnsmasq on 127.0.0.2:53, every name under example.test -> 192.0.2.10"
fi

# ---- 1. The reference service: a parent, a device, the demonstration policy.
echo "== 1. reference service"
"$service_bin" --db "$work/service.db" --listen 127.0.0.1:0 >"$work/service.out" \
  2>"$work/service.log" &
pids+=($!)
service_listening() { grep -q '^listening on 127.0.0.1:[0-9]*$' "$work/service.out"; }
wait_for 10 "listening line from tether-service" service_listening
url="http://$(sed -n 's/^listening on //p' "$work/service.out")"
echo "   tether-service on ${url#http://}, fresh database $work/service.db"
account=$(api POST /v1/register "" '{"email":"parent@example.test","password":"demo-password"}') ||
  fail "registration refused: $account"
account_token=$(py 'd["apiToken"]' <<<"$account")
device=$(api POST /v1/devices "$account_token" '{"name":"Demo Mac"}') ||
  fail "device not created: $device"
device_id=$(py 'str(d["id"])' <<<"$device")
device_token=$(py 'd["token"]' <<<"$device")
echo "   parent parent@example.test registered; device $device_id \"Demo Mac\" created"
policy=$(api PUT "/v1/devices/$device_id/policy" "$account_token" "$(cat <<JSON
{"apps": {"$game_id": {"dailyLimitMinutes": 0}},
 "domains": ["games.example.test"], "domainAllow": ["learn.games.example.test"],
 "domainLimits": {"$limited": 1}}
JSON
)") || fail "policy refused: $policy"
echo "   policy rev $(py 'str(d["rev"])' <<<"$policy"): $game_id 0 minutes a day;" \
  "games.example.test blocked"
echo "   except learn.games.example.test; $limited 1 minute a day"

# The demonstration application, where the agent's inventory looks (/Applications), so that the
# report and the console's application picker show it. Inside the namespaces a private file
# system is mounted there (the folder itself is made first when this machine has none, and
# removed at the end); elsewhere it stays in the work folder and the inventory stays empty.
if [ "$mode" = private ]; then
  if [ ! -d /Applications ]; then mkdir /Applications && apps_made=1; fi
  mount -t tmpfs -o mode=755 tether-demo /Applications && apps_mounted=1
  app=/Applications/DemoGame.app
else
  app=$work/DemoGame.app
fi
mkdir -p "$app/Contents/MacOS"
cat >"$app/Contents/Info.plist" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict>
  <key>CFBundleIdentifier</key><string>$game_id</string>
  <key>CFBundleName</key><string>DemoGame</string>
</dict></plist>
PLIST
cp /bin/sleep "$app/Contents/MacOS/DemoGame"
echo "   DemoGame.app ($game_id) placed in $(dirname "$app")"

# ---- 2. The agent for that device.
echo "== 2. agent"
# Outside the namespaces a root agent would take port 53 of this machine: DNS filtering stays off.
enable_dns=true
[ "$mode" = plain ] && [ "$(id -u)" -eq 0 ] && enable_dns=false
cat >"$work/config.json" <<JSON
{"serverURL": "$url", "deviceToken": "$device_token", "pollIntervalSeconds": 2,
 "sampleIntervalSeconds": 1, "upstreamDNS": "127.0.0.2", "enableDNS": $enable_dns}
JSON
echo "   $work/config.json: poll every 2 s, sample every 1 s, DNS upstream 127.0.0.2," \
  "enableDNS $enable_dns"
"$agent_bin" --config "$work/config.json" 2>"$work/agent.log" &
agent_pid=$!
wait_for 15 "policy from the service in the agent's log" log_has "policy rev 1:"
show_log
if [ "$mode" = private ]; then
  log_has "set DNS to 127.0.0.1" || fail "the agent did not point the network services at itself"
  echo "   networksetup now: Wi-Fi -> $(dns_of Wi-Fi), Thunderbolt Ethernet ->" \
    "$(dns_of 'Thunderbolt Ethernet'); dns-backup.json: $(cat "$work/dns-backup.json")"
fi

# ---- 3. A blocked application.
echo "== 3. blocked application"
started=$(date +%s.%N)
(
  "$app/Contents/MacOS/DemoGame" 600 &
  echo $! >"$work/game.pid"
  s=0
  wait $! || s=$?
  echo "$s" >"$work/game.status"
) &
pids+=($!)
game_ended() { [ -s "$work/game.status" ]; }
wait_for 20 "end of DemoGame" game_ended
game_status=$(cat "$work/game.status")
lived=$(python3 -c "import time; print(f'{time.time() - $started:.1f}')")
echo "   started $app/Contents/MacOS/DemoGame ($game_id), pid $(cat "$work/game.pid")"
case "$game_status" in
  143) echo "   it ended after $lived s: terminated by SIGTERM (status 143)" ;;
  137) echo "   it ended after $lived s: killed by SIGKILL (status 137)" ;;
  *) fail "DemoGame ended with status $game_status, not by the agent's signal" ;;
esac

# ---- 4. Names through the agent's DNS proxy.
echo "== 4. names through the agent's DNS proxy"
if [ "$mode" = private ]; then
  resolve games.example.test "blocked domain"
  resolve learn.games.example.test "allowed inside the blocked domain (from upstream)"
  resolve "$limited" "limited domain, no tab snapshot yet: limits fail closed"
  resolve www.example.test "no rule: forwarded to the upstream resolver"
else
  echo "   skipped: no private network here, so the agent runs without DNS filtering"
fi

# ---- 5. Safari on the limited site, as the tab helper reports it.
echo "== 5. Safari on $limited: a tab snapshot every second, as the tab helper writes it"
mkdir -p "$state"
tab_helper() {
  local host="\"host\": \"$limited\", " evict
  while :; do
    # Like the helper: a fresh request to evict sets the tab to about:blank, which has no host.
    evict=$(py 'str(d["evict"] and __import__("time").time() - d["ts"] <= 60)' \
      "$state/enforce.json" 2>/dev/null || true)
    [ "$evict" = True ] && host=""
    printf '{"ts": %s, "bundleId": "com.apple.Safari", %s"privateBrowsing": false, %s}\n' \
      "$(date +%s.%N)" "$host" '"idleSeconds": 2, "locked": false' >"$state/.tab.json.new"
    mv -f "$state/.tab.json.new" "$state/tab.json"
    sleep 1
  done
}
tab_helper &
pids+=($!)
begun=$SECONDS
used() { py 'd["minutes"].get("'$limited'", 0)' "$work/usage.json" 2>/dev/null || echo 0; }
counting() { python3 -c "import sys; sys.exit(0 if $(used) > 0 else 1)"; }
wait_for 15 "web minutes for $limited" counting
[ "$mode" = private ] && resolve "$limited" "limited domain, minutes left"
echo "   enforce.json: $(cat "$state/enforce.json")"
next=15
evicting() {
  request=$(cat "$state/enforce.json" 2>/dev/null)
  [ "$(py 'str(d["evict"])' <<<"$request" 2>/dev/null)" = True ]
}
until evicting; do
  if [ $((SECONDS - begun)) -ge "$next" ]; then
    printf '   after %3d s on the site: %.2f of 1 minute used\n' "$((SECONDS - begun))" "$(used)"
    next=$((next + 15))
  fi
  [ $((SECONDS - begun)) -lt 150 ] || fail "the limit of $limited was never reached"
  sleep 0.5
done
# The cycle writes the request before the usage file.
used_up() { python3 -c "import sys; sys.exit(0 if $(used) >= 1 else 1)"; }
wait_for 5 "1 minute in usage.json" used_up
printf '   after %3d s on the site: %.2f of 1 minute used; enforce.json: %s\n' \
  "$((SECONDS - begun))" "$(used)" "$request"
if [ "$mode" = private ]; then
  wait_for 5 "sinkhole answer for $limited" resolves_to "$limited" 0.0.0.0
  resolve "$limited" "limit used up"
  resolve "www.$limited" "the same limit covers its subdomains"
fi
blanked() { ! grep -q '"host"' "$state/tab.json"; }
wait_for 5 "blank tab" blanked
echo "   the tab helper obeys: the tab shows about:blank, snapshots carry no host any more"

# ---- 6. What the service received.
echo "== 6. usage report received by the service"
latest() {
  api GET "/v1/devices/$device_id/usage" "$account_token" | py 'd[-1] if d else {}' \
    >"$work/report.json"
}
# compare CHECK: the latest report against usage.json; CHECK "blocked" also wants the limited
# host in the blocked list, "print" shows both and says whether they agree.
compare() {
  python3 - "$1" "$work/report.json" "$work/usage.json" "$limited" <<'PY'
import json, math, sys
check, report, usage, host = sys.argv[1], json.load(open(sys.argv[2])), \
    json.load(open(sys.argv[3])), sys.argv[4]
def r1(x):  # the agent's report rounding: one decimal, halves away from zero
    return math.copysign(math.floor(abs(x) * 10 + 0.5), x) / 10
agree = (report.get("date") == usage["date"] and report.get("usageEpoch") == usage["epoch"]
         and report.get("minutes") == {k: r1(v) for k, v in usage["minutes"].items()})
if check == "blocked":
    sys.exit(0 if agree and host in report.get("blockedNow", []) else 1)
print(f"   usage.json: date {usage['date']}, epoch {usage['epoch']}, minutes",
      json.dumps(usage["minutes"]))
print(f"   service:    date {report['date']}, epoch {report['usageEpoch']}, minutes",
      json.dumps(report["minutes"]))
print("   they agree: the service holds the same minutes, rounded to 0.1" if agree
      else "   they DISAGREE")
sys.exit(0 if agree else 1)
PY
}
reported() { latest && compare blocked; }
wait_for 10 "report with $limited blocked and its minutes" reported
py '"\n".join(f"{json.dumps(k)}: {json.dumps(v)}" for k, v in d.items())' "$work/report.json" |
  sed 's/^/   /'
echo "   (\"apps\": the installed applications, sent with the first upload and then every 5 minutes)"
inventory=$(api GET "/v1/devices/$device_id/apps" "$account_token" |
  py '", ".join(a["name"] + " (" + a["bundleId"] + ")" for a in d["apps"]) or "(none)"')
echo "   installed applications the service keeps for the device: $inventory"

# ---- 7. Stop with SIGTERM; the usage file, the DNS settings and the service agree.
echo "== 7. stop the agent with SIGTERM"
kill -TERM "$agent_pid"
s=0
wait "$agent_pid" || s=$?
agent_pid=""
show_log
echo "   agent exited with status $s"
[ "$s" -eq 0 ] || fail "the agent did not stop cleanly"
latest
compare print || fail "the usage file and the service disagree"
if [ "$mode" = private ]; then
  [ -e "$work/dns-backup.json" ] && fail "dns-backup.json is still there"
  wifi=$(dns_of Wi-Fi)
  ethernet=$(dns_of "Thunderbolt Ethernet")
  echo "   networksetup: Wi-Fi -> $wifi, Thunderbolt Ethernet -> $ethernet;" \
    "dns-backup.json removed"
  [ "$wifi" = "192.168.1.1 9.9.9.9" ] && [ "$ethernet" = "(none)" ] ||
    fail "the DNS servers from before the agent are not back"
fi
