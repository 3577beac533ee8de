#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the tools need.
# Idempotent: when everything is present it returns without touching apt.
set -euo pipefail

PACKAGES=(
  thrift-compiler libthrift-dev libboost-dev pkg-config
  libjsoncpp-dev libsqlite3-dev zlib1g-dev libcurl4-openssl-dev libssl-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libasound2-dev
  libfec0  # test-only: cross-check of our Reed-Solomon parity, loaded with dlopen
  nodejs  # test-only: runs the page script bridge in a JavaScript engine
  cmake ninja-build g++
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "bootstrap: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
