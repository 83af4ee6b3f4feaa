#!/usr/bin/env bash
# Installs what the build needs, builds the debug configuration (with AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs every test under ctest.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset debug
cmake --build --preset debug
ctest --preset debug -j "$(nproc)"
