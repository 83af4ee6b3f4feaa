# shellcheck shell=bash
# Sourced by the reliability scripts: build, private network and mount namespaces, the fake
# networksetup, and cleanup of everything a script starts.
set -euo pipefail

RELIABILITY_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
REPO=$(cd "$RELIABILITY_DIR/../.." && pwd)
# The release build the scripts use; another folder may be given for a rerun.
export TETHER_BUILD_DIR=${TETHER_BUILD_DIR:-$REPO/build/reliability}
# The drivers import reliability.py; no bytecode cache in the source tree.
export PYTHONDONTWRITEBYTECODE=1

require_root() {
  if [ "$(id -u)" -ne 0 ]; then
    echo "$(basename "$0"): run as root (it needs unshare --net --mount)" >&2
    exit 1
  fi
}

# Installs the Debian packages and builds the given targets with the release preset, niced.
build_targets() {
  bash "$REPO/scripts/install-deps.sh"
  if [ ! -f "$TETHER_BUILD_DIR/build.ninja" ]; then
    (cd "$REPO" && cmake --preset release -B "$TETHER_BUILD_DIR" >/dev/null)
  fi
  nice cmake --build "$TETHER_BUILD_DIR" --target "$@" >/dev/null
}

# Re-runs the calling script inside new network, mount and process namespaces (the first call):
# only a loopback interface exists, and the agent sees (and could signal) only the processes
# started there. Then brings loopback up with 127.0.0.2 as the upstream resolver's address.
# Nothing the script does there reaches a real network or another process of the machine.
enter_private_network() {
  if [ -z "${TETHER_RELIABILITY_NAMESPACE:-}" ]; then
    exec unshare --net --mount --pid --fork --kill-child --mount-proc \
      env TETHER_RELIABILITY_NAMESPACE=1 bash "$0" "$@"
  fi
  ip link set lo up
  ip addr add 127.0.0.2/8 dev lo 2>/dev/null || true
}

# Work folder of the script, removed on exit together with every process started from it.
WORK=""
SBIN_LAYER=""
cleanup() {
  local status=$?
  trap - EXIT INT TERM
  # Children of this shell and of its children: the drivers end theirs, this catches strays.
  pkill_children $$
  if [ -n "$SBIN_LAYER" ]; then
    umount -l /usr/sbin 2>/dev/null || true
    umount -l "$SBIN_LAYER" 2>/dev/null || true
    rmdir "$SBIN_LAYER" 2>/dev/null || true
  fi
  [ -n "$WORK" ] && rm -rf "$WORK"
  exit "$status"
}

# Sends SIGKILL to every descendant of the given process id, by id.
pkill_children() {
  local child
  for child in $(ps -o pid= --ppid "$1" 2>/dev/null); do
    [ "$child" = "$BASHPID" ] && continue
    pkill_children "$child"
    kill -KILL "$child" 2>/dev/null || true
  done
}

make_work() {
  WORK=$(mktemp -d "/tmp/tether-reliability-$1.XXXXXX")
  trap cleanup EXIT INT TERM
}

# Puts a fake /usr/sbin/networksetup in place, visible only inside this mount namespace: an
# overlay over /usr/sbin whose upper layer (on a tmpfs, never on the real disk) holds the tool.
# The tool keeps each service's servers in a file in the given state folder.
install_fake_networksetup() {
  local state=$1
  [ -n "${TETHER_RELIABILITY_NAMESPACE:-}" ] || { echo "not inside the private namespaces" >&2; exit 1; }
  mkdir -p "$state"
  SBIN_LAYER=$(mktemp -d /tmp/tether-reliability-sbin.XXXXXX)
  mount -t tmpfs -o size=1m tmpfs "$SBIN_LAYER"
  mkdir "$SBIN_LAYER/upper" "$SBIN_LAYER/work"
  sed "s|@STATE@|$state|" "$RELIABILITY_DIR/fake-networksetup.sh" >"$SBIN_LAYER/upper/networksetup"
  chmod 755 "$SBIN_LAYER/upper/networksetup"
  mount -t overlay overlay \
    -o "lowerdir=/usr/sbin,upperdir=$SBIN_LAYER/upper,workdir=$SBIN_LAYER/work" /usr/sbin
  export TETHER_NETWORKSETUP_STATE=$state
}
