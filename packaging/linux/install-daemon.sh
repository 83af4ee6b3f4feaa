#!/bin/bash
# Installs the Tether protection on Linux; the setup app runs it as root:
#   install-daemon.sh AGENT CONFIG [TAB_HELPER_APP]
# AGENT is the KinwardAgent executable in the app bundle, CONFIG the agent configuration the app
# wrote, TAB_HELPER_APP the bundle's TetherTabHelper.app when it has one.
#
# Below /Library/Application Support/VorozuzIrovidar it places the agent, its configuration
# (root's alone, mode 0600), the tab helper, this script's uninstall-daemon.sh and the "state"
# folder the agent shares with the tab helper; it makes the log folder /Library/Logs/VorozuzIrovidar,
# installs the systemd unit riz.edarodorizavive.derez (the agent's standard error goes to
# agent.log in the log folder) and an XDG autostart entry that starts the tab helper at every
# login, then starts the unit anew. A running agent is stopped first. Running it again is safe.
# Any failure ends it with status 1 and one line on standard error.
#
# TETHER_INSTALL_ROOT, for tests: a folder that stands for "/". Everything is placed below it and
# the unit is enabled there, but nothing is stopped or started.
set -euo pipefail
umask 022

fail() {
  printf 'install-daemon: %s\n' "$*" >&2
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

# folder PATH MODE OWNER: a folder (not a link) with exactly this mode and owner.
folder() {
  if [ -L "$1" ] || { [ -e "$1" ] && [ ! -d "$1" ]; }; then
    run "could not remove $1" rm -f "$1"
  fi
  run "could not create $1" mkdir -p "$1"
  run "could not set the owner of $1" chown "$3" "$1"
  run "could not set the mode of $1" chmod "$2" "$1"
}

# place SOURCE TARGET MODE: a copy owned by root, replacing whatever was at TARGET (a symbolic
# link is replaced, never followed).
place() {
  run "could not remove $2" rm -rf "$2"
  run "could not install $2" install -o root -g root -m "$3" "$1" "$2"
}

[ "$(id -u)" -eq 0 ] || fail "must be run as root"
[ $# -eq 2 ] || [ $# -eq 3 ] || fail "usage: install-daemon.sh AGENT CONFIG [TAB_HELPER_APP]"
agent=$1
config=$2
tab_helper=${3:-}

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
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

{ [ -f "$agent" ] && [ -x "$agent" ]; } || fail "the agent is missing: $agent"
[ ! -L "$config" ] || fail "the configuration is a symbolic link: $config"
[ -f "$config" ] || fail "the configuration is missing: $config"
if [ -n "$tab_helper" ]; then
  { [ -d "$tab_helper" ] && [ ! -L "$tab_helper" ]; } || fail "the tab helper is missing: $tab_helper"
fi
for file in "$label.service" "$helper_label.desktop" uninstall-daemon.sh; do
  [ -f "$here/$file" ] || fail "$file is missing next to the install script"
done
command -v systemctl >/dev/null || fail "systemctl is missing"
[ -n "$root" ] || [ -d /run/systemd/system ] || fail "systemd is not running"
for path in "$root/Library" "$root/Library/Application Support" "$root/Library/Logs"; do
  [ ! -L "$path" ] || fail "$path is a symbolic link"
done

# The running agent puts the DNS servers back as it stops.
if [ -z "$root" ] && [ -f "$units/$label.service" ]; then
  run "could not stop $label" systemctl stop "$label.service"
fi

folder "$support" 0755 root:root
folder "$logs" 0755 root:root
# Any user's tab helper may create tab.json; the sticky bit keeps everyone but root from
# replacing or removing a file of someone else's, so enforce.json and the agent's other files
# stay root's. A tab.json left by another user would lock the next user's helper out: the
# helper that writes first after an install owns it.
folder "$support/state" 1777 root:root
run "could not remove the old tab snapshot" rm -f "$support/state/tab.json"

place "$agent" "$support/KinwardAgent" 0755
place "$config" "$support/config.json" 0600
place "$here/uninstall-daemon.sh" "$support/uninstall-daemon.sh" 0755
if [ -n "$tab_helper" ]; then
  run "could not remove the old tab helper" rm -rf "$support/TetherTabHelper.app"
  run "could not copy the tab helper" cp -R "$tab_helper" "$support/TetherTabHelper.app"
  run "could not set the owner of the tab helper" chown -R root:root "$support/TetherTabHelper.app"
  run "could not set the modes of the tab helper" chmod -R go-w "$support/TetherTabHelper.app"
fi

run "could not create $units" mkdir -p "$units"
place "$here/$label.service" "$units/$label.service" 0644
if [ -d "$support/TetherTabHelper.app" ]; then
  run "could not create $autostart" mkdir -p "$autostart"
  place "$here/$helper_label.desktop" "$autostart/$helper_label.desktop" 0644
fi

if [ -n "$root" ]; then
  run "could not enable $label" systemctl --root="$root" enable "$label.service"
else
  run "could not reload systemd" systemctl daemon-reload
  run "could not enable $label" systemctl enable "$label.service"
  run "could not start $label" systemctl restart "$label.service"
fi
