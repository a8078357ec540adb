#!/usr/bin/env bash
# Builds everything from scratch and runs every test: the normal build, then the same suite
# under AddressSanitizer and UndefinedBehaviorSanitizer (the recovered images of the real
# recordings are loaded in the emulator in between), then the passes on threads under
# ThreadSanitizer, then the layout check, then a
# bounded run of the fuzz targets, then the Windows build under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo
ctest --test-dir build --output-on-failure -j2
# The recordings' recovered images loaded in the BBC Micro emulator from ../shared (skipped
# when it is absent), then the protected-style tapes and the images recovered from their
# renderings.
scripts/load-test.sh build
scripts/protected-load-test.sh build

scripts/setup.sh build-sanitize -DCMAKE_BUILD_TYPE=Debug -DVARNSTOW_SANITIZE=ON
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ctest --test-dir build-sanitize --output-on-failure -j2

# Decoding passes side by side on threads, under ThreadSanitizer: two decoding contexts at once,
# and recover's passes over a recording.
cmake -S . -B build-thread -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVARNSTOW_THREAD_SANITIZE=ON >/dev/null
cmake --build build-thread --target decoding_context_tests varnstow-tool
# ThreadSanitizer cannot start where the kernel places memory where it wants its own (a high
# mmap_rnd_bits): such a run is made again with the address space layout fixed.
under_tsan() {
  local output
  if output=$(TSAN_OPTIONS=halt_on_error=1 "$@" 2>&1); then
    echo "$output" | tail -n 3
  elif grep -q "unexpected memory mapping" <<<"$output"; then
    TSAN_OPTIONS=halt_on_error=1 setarch "$(uname -m)" -R "$@"
  else
    echo "$output"
    return 1
  fi
}
under_tsan build-thread/tests/decoding_context_tests
under_tsan build-thread/src/tool/varnstow-tool recover examples/sample.csw \
  -o build-thread/sample-recovered.uef --quiet
build-thread/src/tool/varnstow-tool render examples/sample.uef -o build-thread/sample.wav
under_tsan build-thread/src/tool/varnstow-tool recover build-thread/sample.wav \
  -o build-thread/sample-wav-recovered.uef --quiet --whole-tape

# The layout is kept by clang-format: any file it would change fails the run.
files=$(git ls-files '*.cpp' '*.h' 2>/dev/null || find src tests -name '*.cpp' -o -name '*.h')
clang-format --dry-run --Werror $files

# Every fuzz target for a minute on its corpus: any crash, hang or broken property fails.
scripts/fuzz.sh
# The Windows build, cross-compiled with MinGW-w64, and the whole suite under Wine.
scripts/test-windows.sh build-windows

echo "All tests passed."
