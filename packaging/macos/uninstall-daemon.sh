#!/bin/bash
# Removes the Tether protection from a Mac; run it as root:
#   sudo bash "/Library/Application Support/VorozuzIrovidar/uninstall-daemon.sh"
# (the setup app carries the same script in Tether.app/Contents/Resources).
#
# It unloads the agent's launchd job (the agent puts the DNS servers back as it stops), puts them
# back itself from dns-backup.json when the agent could not, sets any network service still
# pointed at the stopped local proxy (127.0.0.1) back to its automatic servers, unloads and
# removes the tab helper's launch agent and stops running tab helpers, then removes the
# daemon's job description, the agent's folder (agent, configuration, usage, tab helper) and its
# log folder. Running it again is safe. On failure it exits with status 1 after one line on
# standard error, and keeps the DNS backup.
set -euo pipefail
PATH=/usr/bin:/bin:/usr/sbin:/sbin
export PATH

fail() {
  printf 'uninstall-daemon: %s\n' "$*" >&2
  exit 1
}

# run WHAT COMMAND...: runs the command; if it fails, ends the script with WHAT and the command's
# own complaint on the same line.
run() {
  local what=$1 output
  shift
  if ! output=$("$@" 2>&1); then
    output=${output//$'\n'/ }
    fail "$what${output:+: $output}"
  fi
}

# wait_while COMMAND...: waits, at most 30 seconds, until the command fails.
wait_while() {
  local i
  for ((i = 0; i < 60; i++)); do
    "$@" >/dev/null 2>&1 || return 0
    sleep 0.5
  done
  return 1
}

[ "$(id -u)" -eq 0 ] || fail "must be run as root"
[ $# -eq 0 ] || fail "usage: uninstall-daemon.sh"

readonly label=riz.edarodorizavive.derez
readonly helper_label=riz.edarodorizavive.tabhelper
readonly support="/Library/Application Support/VorozuzIrovidar"
readonly logs="/Library/Logs/VorozuzIrovidar"
readonly daemon_plist="/Library/LaunchDaemons/$label.plist"
readonly helper_plist="/Library/LaunchAgents/$helper_label.plist"
readonly backup="$support/dns-backup.json"
readonly networksetup=/usr/sbin/networksetup

# The backup as lines: a service name, the number of its servers, the servers. JavaScript for
# Automation reads the JSON; it comes with every Mac.
read_backup() {
  osascript -l JavaScript - "$1" <<'JS'
ObjC.import('Foundation');
function run(argv) {
  const text = $.NSString.stringWithContentsOfFileEncodingError(argv[0], $.NSUTF8StringEncoding, null);
  if (text.isNil()) throw new Error('cannot be read');
  const backup = JSON.parse(text.js);
  if (typeof backup !== 'object' || backup === null || Array.isArray(backup)) throw new Error('not a JSON object');
  const lines = [];
  for (const service of Object.keys(backup)) {
    const servers = backup[service];
    if (!Array.isArray(servers) || !servers.every((s) => typeof s === 'string'))
      throw new Error('the servers of a service are not a list of texts');
    if ([service, ...servers].some((t) => /[\r\n]/.test(t))) throw new Error('a name holds a line break');
    lines.push(service, String(servers.length), ...servers);
  }
  return lines.join('\n');
}
JS
}

# Puts back the servers of the backup, as the agent does; a service that refuses or has gone is
# passed over.
restore_from_backup() {
  local entries line service count i=0
  local -a lines servers
  [ ! -L "$backup" ] || run "could not remove $backup" rm -f "$backup"
  [ -f "$backup" ] || return 0
  entries=$(read_backup "$backup" 2>&1) || fail "could not read $backup: ${entries//$'\n'/ }"
  if [ -n "$entries" ]; then
    while IFS= read -r line; do
      lines+=("$line")
    done <<<"$entries"
    while [ "$i" -lt "${#lines[@]}" ]; do
      service=${lines[i]}
      count=${lines[i + 1]}
      servers=("${lines[@]:i+2:count}")
      i=$((i + 2 + count))
      if [ "$count" -eq 0 ] || { [ "$count" -eq 1 ] && { [ "${servers[0]}" = Empty ] ||
        [ "${servers[0]}" = "There aren't any DNS Servers set on $service." ]; }; }; then
        "$networksetup" -setdnsservers "$service" Empty >/dev/null 2>&1 || true
      else
        "$networksetup" -setdnsservers "$service" "${servers[@]}" >/dev/null 2>&1 || true
      fi
    done
  fi
  run "could not remove $backup" rm -f "$backup"
}

# No enabled service may stay pointed at the proxy that no longer runs.
release_local_dns() {
  local service
  while IFS= read -r service; do
    case $service in
      "" | "An asterisk"* | "*"*) continue ;;
    esac
    if [ "$("$networksetup" -getdnsservers "$service" 2>/dev/null)" = 127.0.0.1 ]; then
      "$networksetup" -setdnsservers "$service" Empty >/dev/null 2>&1 || true
    fi
  done < <("$networksetup" -listallnetworkservices 2>/dev/null)
}

# The agent: unloaded (it puts the DNS servers back as it stops).
if launchctl print "system/$label" >/dev/null 2>&1; then
  launchctl bootout "system/$label" >/dev/null 2>&1 || true
  wait_while launchctl print "system/$label" || fail "could not unload $label"
  wait_while pgrep -x KinwardAgent || fail "KinwardAgent did not stop"
fi
run "could not remove $daemon_plist" rm -f "$daemon_plist"

restore_from_backup
release_local_dns

# The tab helper: unloaded from every session that runs it, and no copy left running.
for uid in $(ps -axo uid=,comm= | awk '/\/TetherTabHelper$/ { print $1 }' | sort -u); do
  launchctl bootout "gui/$uid/$helper_label" >/dev/null 2>&1 || true
done
run "could not remove $helper_plist" rm -f "$helper_plist"
pkill -x TetherTabHelper >/dev/null 2>&1 || true

run "could not remove $support" rm -rf "$support"
run "could not remove $logs" rm -rf "$logs"
