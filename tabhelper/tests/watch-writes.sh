#!/usr/bin/env bash
# Runs a program for a few seconds with the whole file system seen through a copy-on-write
# layer, so that nothing on the machine changes, then prints whether the program was still
# running and every path it created, changed or removed, with the text of each file it left.
# Needs root (a private mount namespace).
# Usage: watch-writes.sh SECONDS PROGRAM [ARGUMENTS...]
set -euo pipefail
seconds=$1
shift
scratch=$(mktemp -d /tmp/tether-watch-writes.XXXXXX)
trap 'rm -rf "$scratch"' EXIT

unshare --mount --propagation private bash -s "$scratch" "$seconds" "$@" <<'INNER'
set -euo pipefail
scratch=$1 seconds=$2
shift 2
mount -t tmpfs tmpfs "$scratch"
mkdir "$scratch/upper" "$scratch/work" "$scratch/root"
mount -t overlay overlay -o "lowerdir=/,upperdir=$scratch/upper,workdir=$scratch/work" \
  "$scratch/root"
for fs in /proc /sys /dev; do mount --rbind "$fs" "$scratch/root$fs"; done
chroot "$scratch/root" "$@" &
pid=$!
sleep "$seconds"
if kill -0 "$pid" 2>/dev/null; then
  echo "still running"
  kill "$pid"
fi
wait "$pid" || true
cd "$scratch/upper"
find . -mindepth 1 | sort | while IFS= read -r path; do
  echo "wrote: ${path#.}"
  if [ -f "$path" ]; then
    cat "$path"
    echo
  fi
done
INNER
