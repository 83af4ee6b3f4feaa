#!/usr/bin/env bash
# Every reliability figure, one script after the other, the soak last. As root. Each script's
# options can be given through these variables, for example KILL9_ARGS="--kills 200".
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh"
require_root
build_targets KinwardAgent tether-service
cd "$RELIABILITY_DIR"
status=0
run() {
  local name=$1
  shift
  echo
  echo "######## $name ($(date -u +%FT%TZ), load $(cut -d' ' -f1-3 /proc/loadavg))"
  bash "$@" || { echo "######## $name FAILED"; status=1; }
}
run hostile-inputs ./hostile-inputs.sh
# shellcheck disable=SC2086
run kill9 ./kill9.sh ${KILL9_ARGS:-}
# shellcheck disable=SC2086
run sigterm ./sigterm.sh ${SIGTERM_ARGS:-}
# shellcheck disable=SC2086
run upstream-outage ./upstream-outage.sh ${OUTAGE_ARGS:-}
# shellcheck disable=SC2086
run soak ./soak.sh ${SOAK_ARGS:-}
exit "$status"
