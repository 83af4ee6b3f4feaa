#!/usr/bin/env bash
# The upstream resolver (dnsmasq) stops answering for 60 seconds while queries keep coming to
# the agent's proxy: every query answered SERVFAIL within about 2 seconds, no descriptor growth,
# normal answers at once afterwards. Runs as root in private network and mount namespaces.
# Options go to outage.py (--rate Q, --before S, --outage S, --after S).
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh"
require_root
if [ -z "${TETHER_RELIABILITY_NAMESPACE:-}" ]; then build_targets KinwardAgent; fi
enter_private_network "$@"
make_work outage
install_fake_networksetup "$WORK/networksetup"
cd "$RELIABILITY_DIR"
WORK=$WORK python3 outage.py "$@"
