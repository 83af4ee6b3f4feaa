#!/usr/bin/env bash
# A 10-minute soak (by default) of the whole agent under a demonstration-like policy with
# dnsperf load on its proxy: resident memory, descriptors and cycle period over time.
# Runs as root in private network and mount namespaces. Run it last, on a quiet machine.
# Options go to soak.py (--seconds S, --qps Q).
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh"
require_root
if [ -z "${TETHER_RELIABILITY_NAMESPACE:-}" ]; then build_targets KinwardAgent tether-service; fi
enter_private_network "$@"
make_work soak
install_fake_networksetup "$WORK/networksetup"
cd "$RELIABILITY_DIR"
WORK=$WORK python3 soak.py "$@"
