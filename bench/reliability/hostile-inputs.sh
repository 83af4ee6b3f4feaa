#!/usr/bin/env bash
# Hostile and damaged inputs: configuration, usage file, tab snapshot and policy bodies that are
# truncated, huge, deeply nested, of the wrong types, or symbolic links (to a FIFO, a device,
# themselves). The checks are GoogleTest executables (also run by ctest); this script builds them
# with the release preset and runs them, so the figures can be produced on their own.
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh"
tests=(HostileInputsTest KinwardAgentMainTest AgentTest TabStateTest RecordsTest
       ServiceSyncTest)
build_targets "${tests[@]}"
make_work hostile
status=0
for t in "${tests[@]}"; do
  exe=$(find "$TETHER_BUILD_DIR" -type f -name "$t" -perm -u+x | head -n 1)
  if [ -z "$exe" ]; then
    echo "== $t: not built"
    status=1
    continue
  fi
  start=$(date +%s%N)
  if "$exe" >"$WORK/$t.log" 2>&1; then result=passed; else result=FAILED; status=1; fi
  ms=$((($(date +%s%N) - start) / 1000000))
  ran=$(grep -oE '[0-9]+ tests? from [0-9]+ test suites? ran' "$WORK/$t.log" | tail -n 1)
  skipped=$(grep -c '^\[  SKIPPED \]' "$WORK/$t.log" || true)
  printf '== %-22s %s: %s, %s skipped, %d ms\n' "$t" "$result" "${ran:-?}" "$skipped" "$ms"
  [ "$result" = passed ] || grep -E '^\[  FAILED  \]|Failure|error' "$WORK/$t.log" | head -n 40
done
exit "$status"
