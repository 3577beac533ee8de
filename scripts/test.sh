#!/usr/bin/env bash
# Installs what is missing, builds and runs the suite three times: the whole
# suite optimised, the whole suite with AddressSanitizer +
# UndefinedBehaviorSanitizer, and the threaded components' tests (everything
# but the single-threaded decoding core) with ThreadSanitizer. Both sanitizer
# builds check that no library lock is held while the library calls into the
# app (TL_LOCK_CHECK); the optimised one is the build users get, without it.
#   ./scripts/test.sh            all three runs, then each fuzz target for 30 s
#   ./scripts/test.sh --fast     optimised run only
#   ./scripts/test.sh --tsan     ThreadSanitizer run only
# TL_JOBS (default: the number of processors) sets the parallel build and
# test jobs. Any failure makes the script exit non-zero.
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

jobs="${TL_JOBS:-$(nproc)}"
status=0

# run_suite DIR "CTEST ARGS" CMAKE ARGS...
run_suite() {
  local dir="$1"; shift
  local ctest_args="$1"; shift
  echo "=== configure ${dir} ($*)"
  cmake -S . -B "${dir}" -G Ninja "$@" >/dev/null
  echo "=== build ${dir}"
  cmake --build "${dir}" -j "${jobs}"
  echo "=== test ${dir}"
  # shellcheck disable=SC2086
  if ! ctest --test-dir "${dir}" -j "${jobs}" --output-on-failure --timeout 900 ${ctest_args}; then
    status=1
  fi
}

if [ "$mode" = "all" ] || [ "$mode" = "fast" ]; then
  run_suite build "" -DCMAKE_BUILD_TYPE=Release -DTL_LOCK_CHECK=OFF
fi
if [ "$mode" = "all" ]; then
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_suite build-asan "" -DCMAKE_BUILD_TYPE=Debug -DTL_SANITIZE=ON -DTL_LOCK_CHECK=ON \
      -DTL_BUILD_BENCH=OFF
fi
if [ "$mode" = "all" ] || [ "$mode" = "tsan" ]; then
  TSAN_OPTIONS=halt_on_error=1 \
    run_suite build-tsan "-LE ^core_decoder_test$" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTL_TSAN=ON \
      -DTL_LOCK_CHECK=ON -DTL_BUILD_BENCH=OFF
fi

# Every fuzz target briefly (clang's libFuzzer; scripts/fuzz.sh runs longer).
if [ "$mode" = "all" ]; then
  ./scripts/fuzz.sh "${TL_FUZZ_SECONDS:-30}" || status=1
fi

exit "${status}"
