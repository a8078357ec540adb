#!/usr/bin/env bash
# Builds the fuzz targets with clang in build-fuzz and runs each in turn on its corpus for a
# bounded time: 60 seconds each by default, or FUZZ_SECONDS. Fails when any target finds an
# input that crashes, hangs, leaks or breaks one of its properties; that input is kept in
# build-fuzz/findings/ (replay it with: build-fuzz/fuzz/TARGET FILE).
#
# Usage: scripts/fuzz.sh [TARGET...]     (default: all of them)
set -euo pipefail
cd "$(dirname "$0")/.."

targets=("$@")
if [ "${#targets[@]}" -eq 0 ]; then
  targets=(wav csw raw command_line decode uef transcribe)
fi
seconds="${FUZZ_SECONDS:-60}"

# clang and its fuzzer runtime (libclang-rt-14-dev) are in scripts/setup.sh's package list.
if ! command -v clang++ >/dev/null; then
  echo "clang++ is missing: run scripts/setup.sh as root first, or install clang and libclang-rt-14-dev" >&2
  exit 1
fi
CC=clang CXX=clang++ scripts/setup.sh build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVARNSTOW_TESTS=OFF -DVARNSTOW_FUZZ=ON -DVARNSTOW_WERROR=OFF

# The targets write their inputs to files: on a memory file system where there is one.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
  export TMPDIR=/dev/shm
fi
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1}"

mkdir -p build-fuzz/findings
failed=()
for target in "${targets[@]}"; do
  case "$target" in
    command_line) max_len=4096 ;;
    *) max_len=65536 ;;
  esac
  # New inputs go to a working corpus beside the build; the committed seeds stay as they are.
  mkdir -p "build-fuzz/corpus/$target"
  echo "Fuzzing $target for $seconds seconds..."
  if build-fuzz/fuzz/"${target}_fuzzer" "build-fuzz/corpus/$target" "fuzz/corpus/$target" \
    -max_total_time="$seconds" -max_len="$max_len" -rss_limit_mb=2048 -timeout=25 \
    -print_final_stats=1 -artifact_prefix="build-fuzz/findings/$target-" \
    >"build-fuzz/findings/$target.log" 2>&1; then
    grep -E "^stat::(number_of_executed_units|peak_rss_mb)" "build-fuzz/findings/$target.log" || true
  else
    failed+=("$target")
    tail -n 60 "build-fuzz/findings/$target.log" >&2
  fi
done

if [ "${#failed[@]}" -gt 0 ]; then
  echo "Fuzzing found faults in: ${failed[*]} (inputs in build-fuzz/findings/)" >&2
  exit 1
fi
echo "Fuzzing found nothing."
