#!/usr/bin/env bash
# Installs every build, test and benchmark dependency on a fresh Debian 12 machine.
# Idempotent: packages already present are skipped by apt-get.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang clang-format libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  nlohmann-json3-dev libcurl4-openssl-dev libplist-dev libplist-utils
  libcpp-httplib-dev libsqlite3-dev libsodium-dev libssl-dev
  curl python3 iproute2 util-linux procps psmisc
  bind9-dnsutils dnsperf dnsmasq-base
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
