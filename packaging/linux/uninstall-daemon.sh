#!/bin/bash
# Removes the Tether protection from Linux; run it as root:
#   sudo bash uninstall-daemon.sh
# (it ships in the setup app, Tether.app/Contents/Resources, and the installation keeps a copy in
# /Library/Application Support/VorozuzIrovidar).
#
# It stops and removes the agent's systemd unit (the agent puts the DNS servers back as it
# stops), puts them back itself from dns-backup.json when the agent could not, sets any network
# service still pointed at the stopped local proxy (127.0.0.1) back to its automatic servers,
# removes the tab helper's autostart entry and stops running tab helpers, then removes the
# agent's folder (agent, configuration, usage, tab helper), its log folder, and /Library when
# nothing else is left in it. Running it again
# is safe. On failure it exits with status 1 after one line on standard error, and keeps the DNS
# backup.
#
# TETHER_INSTALL_ROOT, for tests: a folder that stands for "/"; nothing is stopped there.
set -euo pipefail

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

[ "$(id -u)" -eq 0 ] || fail "must be run as root"
[ $# -eq 0 ] || fail "usage: uninstall-daemon.sh"

root=${TETHER_INSTALL_ROOT:-}
if [ -n "$root" ]; then
  case $root in
    /*) ;;
    *) fail "TETHER_INSTALL_ROOT is not an absolute path: $root" ;;
  esac
  { [ -d "$root" ] && [ ! -L "$root" ]; } || fail "TETHER_INSTALL_ROOT is not a folder: $root"
  root=${root%/}
fi

readonly label=riz.edarodorizavive.derez
readonly helper_label=riz.edarodorizavive.tabhelper
support="$root/Library/Application Support/VorozuzIrovidar"
logs="$root/Library/Logs/VorozuzIrovidar"
units="$root/etc/systemd/system"
autostart="$root/etc/xdg/autostart"
backup="$support/dns-backup.json"
networksetup="$root/usr/sbin/networksetup"

# The backup as lines: a service name, the number of its servers, the servers.
read_backup() {
  python3 - "$1" <<'PY'
import json, sys

with open(sys.argv[1], encoding="utf-8") as f:
    backup = json.load(f)
if not isinstance(backup, dict):
    sys.exit("not a JSON object")
for service, servers in backup.items():
    if not isinstance(servers, list) or not all(isinstance(s, str) for s in servers):
        sys.exit("the servers of a service are not a list of texts")
    if any(c in text for text in [service, *servers] for c in "\r\n"):
        sys.exit("a name holds a line break")
    print(service)
    print(len(servers))
    for server in servers:
        print(server)
PY
}

# Puts back the servers of the backup, as the agent does; a service that refuses or has gone is
# passed over.
restore_from_backup() {
  local entries lines service count i=0
  [ ! -L "$backup" ] || run "could not remove $backup" rm -f "$backup"
  [ -f "$backup" ] || return 0
  command -v python3 >/dev/null || fail "python3 is needed to read $backup"
  entries=$(read_backup "$backup" 2>&1) || fail "could not read $backup: ${entries//$'\n'/ }"
  if [ -n "$entries" ]; then
    [ -x "$networksetup" ] || fail "networksetup is missing, so the DNS servers in $backup cannot be put back"
    mapfile -t lines <<<"$entries"
    while [ "$i" -lt "${#lines[@]}" ]; do
      service=${lines[i]}
      count=${lines[i + 1]}
      local servers=("${lines[@]:i+2:count}")
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
  [ -x "$networksetup" ] || return 0
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

# The agent: stopped (it puts the DNS servers back) and its unit removed.
if [ -e "$units/$label.service" ] || [ -L "$units/multi-user.target.wants/$label.service" ]; then
  if [ -n "$root" ]; then
    run "could not disable $label" systemctl --root="$root" disable "$label.service"
  else
    run "could not stop $label" systemctl disable --now "$label.service"
  fi
fi
run "could not remove the unit of $label" rm -f "$units/$label.service"
if [ -z "$root" ] && [ -d /run/systemd/system ]; then
  run "could not reload systemd" systemctl daemon-reload
fi

restore_from_backup
release_local_dns

# The tab helper: no more autostart, no running copy.
run "could not remove the autostart entry" rm -f "$autostart/$helper_label.desktop"
if [ -z "$root" ]; then
  pkill -x TetherTabHelper || true
fi

run "could not remove $support" rm -rf "$support"
run "could not remove $logs" rm -rf "$logs"
# /Library exists on Linux only for this protection: the folders on the way go when empty.
for path in "$root/Library/Application Support" "$root/Library/Logs" "$root/Library"; do
  [ ! -d "$path" ] || [ -L "$path" ] || rmdir --ignore-fail-on-non-empty "$path"
done
