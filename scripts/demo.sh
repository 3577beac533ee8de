#!/usr/bin/env bash
# The main job: build the library and decode codes from audio, printing what
# an app would receive.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/bootstrap.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)"
echo "demo: the library builds; decoding audio is not there yet."
