#!/bin/bash
# Installs the Tether protection on macOS; the setup app runs it as root through the
# administrator prompt:
#   install-daemon.sh AGENT CONFIG [TAB_HELPER_APP]
# AGENT is the KinwardAgent executable in the app bundle, CONFIG the agent configuration the app
# wrote, TAB_HELPER_APP the bundle's TetherTabHelper.app when it has one.
#
# Below /Library/Application Support/VorozuzIrovidar it places the agent, its configuration
# (root's alone, mode 0600), the tab helper, this script's uninstall-daemon.sh and the "state"
# folder the agent shares with the tab helper; it makes the log folder /Library/Logs/VorozuzIrovidar,
# installs the launchd daemon riz.edarodorizavive.derez (the agent's standard error goes to
# agent.log in the log folder) and a launch agent that keeps the tab helper running in every
# user's session, and loads both. A loaded daemon is unloaded first (bootout, then bootstrap), so
# running it again is safe. Any failure ends it with status 1 and one line on standard error,
# which the setup app shows.
set -euo pipefail
umask 022
PATH=/usr/bin:/bin:/usr/sbin:/sbin
export PATH

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
  run "could not install $2" install -o root -g wheel -m "$3" "$1" "$2"
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
[ $# -eq 2 ] || [ $# -eq 3 ] || fail "usage: install-daemon.sh AGENT CONFIG [TAB_HELPER_APP]"
agent=$1
config=$2
tab_helper=${3:-}

readonly label=riz.edarodorizavive.derez
readonly helper_label=riz.edarodorizavive.tabhelper
readonly support="/Library/Application Support/VorozuzIrovidar"
readonly logs="/Library/Logs/VorozuzIrovidar"
readonly daemon_plist="/Library/LaunchDaemons/$label.plist"
readonly helper_plist="/Library/LaunchAgents/$helper_label.plist"
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

{ [ -f "$agent" ] && [ -x "$agent" ]; } || fail "the agent is missing: $agent"
[ ! -L "$config" ] || fail "the configuration is a symbolic link: $config"
[ -f "$config" ] || fail "the configuration is missing: $config"
if [ -n "$tab_helper" ]; then
  { [ -d "$tab_helper" ] && [ ! -L "$tab_helper" ]; } || fail "the tab helper is missing: $tab_helper"
fi
for file in "$label.plist" "$helper_label.plist" uninstall-daemon.sh; do
  [ -f "$here/$file" ] || fail "$file is missing next to the install script"
done

# The running agent puts the DNS servers back as it stops.
if launchctl print "system/$label" >/dev/null 2>&1; then
  launchctl bootout "system/$label" >/dev/null 2>&1 || true
  wait_while launchctl print "system/$label" || fail "could not unload $label"
  wait_while pgrep -x KinwardAgent || fail "KinwardAgent did not stop"
fi

# The tab helper of the user at the screen leaves before its app is replaced.
console_user=$(stat -f %Su /dev/console 2>/dev/null || true)
console_uid=""
if [ -n "$console_user" ] && [ "$console_user" != root ] && [ "$console_user" != loginwindow ]; then
  console_uid=$(id -u "$console_user" 2>/dev/null || true)
fi
if [ -n "$console_uid" ]; then
  launchctl bootout "gui/$console_uid/$helper_label" >/dev/null 2>&1 || true
fi

folder "$support" 0755 root:wheel
folder "$logs" 0755 root:wheel
# Every user's tab helper may create tab.json (all users are in staff); the sticky bit keeps
# everyone but root from replacing or removing a file of someone else's, so enforce.json and the
# agent's other files stay root's. A tab.json left by another user would lock the next user's
# helper out: the helper that writes first after an install owns it.
folder "$support/state" 1775 root:staff
run "could not remove the old tab snapshot" rm -f "$support/state/tab.json"

place "$agent" "$support/KinwardAgent" 0755
place "$config" "$support/config.json" 0600
place "$here/uninstall-daemon.sh" "$support/uninstall-daemon.sh" 0755
if [ -n "$tab_helper" ]; then
  run "could not remove the old tab helper" rm -rf "$support/TetherTabHelper.app"
  run "could not copy the tab helper" ditto "$tab_helper" "$support/TetherTabHelper.app"
  run "could not set the owner of the tab helper" chown -R root:wheel "$support/TetherTabHelper.app"
  run "could not set the modes of the tab helper" chmod -R go-w "$support/TetherTabHelper.app"
  xattr -dr com.apple.quarantine "$support/TetherTabHelper.app" >/dev/null 2>&1 || true
fi

place "$here/$label.plist" "$daemon_plist" 0644
if [ -d "$support/TetherTabHelper.app" ]; then
  place "$here/$helper_label.plist" "$helper_plist" 0644
fi

# bootstrap can fail for a moment while launchd still tears the old job down.
launchctl enable "system/$label" >/dev/null 2>&1 || true
loaded=""
for ((attempt = 0; attempt < 10; attempt++)); do
  if output=$(launchctl bootstrap system "$daemon_plist" 2>&1); then
    loaded=yes
    break
  fi
  sleep 1
done
[ -n "$loaded" ] || fail "could not load $label: ${output//$'\n'/ }"

# The launch agent loads at every login; the user at the screen gets it now. Failing that, the
# setup app opens the tab helper itself.
if [ -n "$console_uid" ] && [ -f "$helper_plist" ]; then
  launchctl bootstrap "gui/$console_uid" "$helper_plist" >/dev/null 2>&1 || true
fi
