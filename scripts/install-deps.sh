#!/usr/bin/env bash
# Installs every build, test and benchmark dependency on a fresh Debian 12 machine.
# Idempotent: packages already present are skipped by apt-get.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang clang-format libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  nlohmann-json3-dev libcurl4-openssl-dev libplist-dev libplist-utils
  libcpp-httplib-dev libsqlite3-dev libsodium-dev libssl-dev
  curl openssl python3 iproute2 util-linux procps psmisc
  bind9-dnsutils dnsperf dnsmasq-base
  # The tab helper and the setup app (Qt 6 Widgets, QCoro, Qt WebEngine, the Secret Service).
  qt6-base-dev qt6-base-dev-tools qcoro-qt6-dev qt6-webengine-dev qt6-webengine-dev-tools
  libqt6webenginecore6-bin libsecret-1-dev libx11-dev libxss-dev libsystemd-dev
  xvfb xauth dbus dbus-x11 gnome-keyring fonts-dejavu-core shellcheck
  # The Linux install script and its tests: systemctl enables the agent's unit.
  systemd
  # The service: event-driven HTTP, international names, PostgreSQL.
  libboost-dev libboost-system-dev libidn2-dev zlib1g-dev libpqxx-dev postgresql-15
  # Browser tests and a load balancer for the service's benchmarks.
  chromium chromium-driver python3-selenium haproxy
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
