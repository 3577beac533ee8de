#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the tools need.
# Idempotent: when everything is present it returns without touching apt.
set -euo pipefail

PACKAGES=(
  thrift-compiler libthrift-dev libboost-dev pkg-config
  libjsoncpp-dev libexpat1-dev libsqlite3-dev zlib1g-dev libcurl4-openssl-dev libssl-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libasound2-dev
  libfec0  # test-only: cross-check of our Reed-Solomon parity, loaded with dlopen
  espeak-ng  # benchmark only: the speech host of the decoder benchmark
  nodejs  # test-only: runs the page script bridge in a JavaScript engine
  chromium  # test-only: runs a bundle page with the script bridge in a real browser
  cmake ninja-build g++
  lld  # build-only: the quicker linker CMake picks when present (TL_FAST_LINKER)
  locales  # test-only: the comma-decimal locale of the number-text tests
  clang libclang-rt-14-dev  # test-only: the libFuzzer targets (scripts/fuzz.sh)
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

if [ ${#missing[@]} -ne 0 ]; then
  echo "bootstrap: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# Tests install a comma-decimal locale, as a host program may.
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
  echo "bootstrap: generating the de_DE.UTF-8 locale"
  $SUDO localedef -i de_DE -f UTF-8 de_DE.UTF-8
fi
