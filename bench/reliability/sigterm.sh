#!/usr/bin/env bash
# SIGTERM at random moments (during the loop's sleep, a held poll, a DNS wait), 100 times by
# default: every time exit status 0 within one second, usage written, DNS servers restored.
# Runs the agent as root in private network and mount namespaces with a fake networksetup.
# Options go to sigterm.py (--runs N).
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh"
require_root
if [ -z "${TETHER_RELIABILITY_NAMESPACE:-}" ]; then build_targets KinwardAgent; fi
enter_private_network "$@"
make_work sigterm
install_fake_networksetup "$WORK/networksetup"
cd "$RELIABILITY_DIR"
WORK=$WORK python3 sigterm.py "$@"
