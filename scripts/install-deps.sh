#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing Varnok need,
# when they are missing. Runs as root or through sudo. With "run": only what
# building and running the program and its demo need (make run).
set -euo pipefail

# The program: compiler and build tools, the libraries it links, scdoc for
# its manual pages, nc for the demo's first command.
run_packages=(
  build-essential cmake pkg-config scdoc
  libc-ares-dev qt6-base-dev qt6-qpa-plugins libsystemd-dev libmicrohttpd-dev libsodium-dev
  libicu-dev nlohmann-json3-dev libxml2-dev libmosquitto-dev libssl-dev
  netcat-openbsd
)

packages=(
  build-essential cmake pkg-config clang-format
  clang libclang-rt-dev
  libc-ares-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  qt6-base-dev qt6-qpa-plugins
  xvfb xauth openbox trayer xdotool imagemagick x11-utils
  netcat-openbsd fonts-dejavu-core
  libsystemd-dev scdoc
  libmicrohttpd-dev libsodium-dev curl python3-prometheus-client chromium chromium-driver
  python3-selenium
  file lintian systemd man-db
  libseccomp-dev
  libicu-dev nlohmann-json3-dev libxml2-dev
  libmosquitto-dev libssl-dev mosquitto mosquitto-clients openssl
  # a real playout that tells the now-playing doors what it plays (process test)
  liquidsoap
)

[ "${1:-}" = "run" ] && packages=("${run_packages[@]}")

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq "${missing[@]}"
