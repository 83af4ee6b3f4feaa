#!/usr/bin/env bash
# kill -9 of the agent at random moments, 1 000 times by default, while it writes its usage file:
# after every kill the file must decode and hold the old or a newer state, never anything else.
# Options go to kill9.py (--kills N, --max-delay S, --filler N).
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh"
build_targets KinwardAgent tether-service
make_work kill9
cd "$RELIABILITY_DIR"
WORK=$WORK python3 kill9.py "$@"
