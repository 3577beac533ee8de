#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer + UBSan, every
# library instrumented) in build-fuzz and runs each for SECONDS (default 60).
# New inputs collect in build-fuzz/corpus/<target>; crashes are written to
# build-fuzz/ and make the script exit non-zero.
#   ./scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
dir=build-fuzz
if ! command -v clang++ >/dev/null; then
  echo "fuzz: clang++ is missing (scripts/bootstrap.sh installs it)" >&2
  exit 1
fi

cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DTL_FUZZ=ON -DTL_SANITIZE=ON -DTL_WERROR=OFF -DTL_BUILD_TESTS=OFF -DTL_BUILD_BENCH=OFF \
  >/dev/null
targets=()
for src in fuzz/*_fuzzer.cc; do targets+=("$(basename "$src" .cc)"); done
cmake --build "$dir" -j "${TL_JOBS:-$(nproc)}" --target "${targets[@]}"

status=0
for target in "${targets[@]}"; do
  corpus="$dir/corpus/$target"
  mkdir -p "$corpus"
  echo "=== fuzz $target for ${seconds} s"
  # The first folder receives new inputs; tests/data only seeds.
  if ! ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
      "$dir/fuzz/$target" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=20 \
      -artifact_prefix="$dir/$target-" -print_final_stats=1 "$corpus" tests/data; then
    status=1
  fi
done
exit "$status"
