#!/usr/bin/env bash
# Installs what is missing, builds and runs the whole suite twice: once
# optimised, once with AddressSanitizer + UndefinedBehaviorSanitizer.
#   ./scripts/test.sh            both runs
#   ./scripts/test.sh --fast     optimised run only
#   ./scripts/test.sh --tsan     ThreadSanitizer run only (threaded components)
# Any failure makes the script exit non-zero.
set -euo pipefail
cd "$(dirname "$0")/.."

mode="all"
case "${1:-}" in
  --fast) mode="fast" ;;
  --tsan) mode="tsan" ;;
  "") ;;
  *) echo "usage: $0 [--fast|--tsan]" >&2; exit 2 ;;
esac

./scripts/bootstrap.sh

jobs="$(nproc)"
status=0

run_suite() {
  local dir="$1"; shift
  echo "=== configure ${dir} ($*)"
  cmake -S . -B "${dir}" -G Ninja "$@" >/dev/null
  echo "=== build ${dir}"
  cmake --build "${dir}" -j "${jobs}"
  echo "=== test ${dir}"
  if ! ctest --test-dir "${dir}" -j "${jobs}" --output-on-failure --timeout 900; then
    status=1
  fi
}

if [ "$mode" = "all" ] || [ "$mode" = "fast" ]; then
  run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
if [ "$mode" = "all" ]; then
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DTL_SANITIZE=ON -DTL_BUILD_BENCH=OFF
fi
if [ "$mode" = "tsan" ]; then
  TSAN_OPTIONS=halt_on_error=1 \
    run_suite build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTL_TSAN=ON -DTL_BUILD_BENCH=OFF
fi

exit "${status}"
