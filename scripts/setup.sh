#!/usr/bin/env bash
# Installs what the build needs on a fresh Debian machine (when run as root and something is
# missing), then configures and builds. Usage: scripts/setup.sh BUILD_FOLDER [cmake options...]
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake ninja-build g++ zlib1g-dev libasound2-dev nlohmann-json3-dev libgtest-dev
  libgmock-dev clang-format dpkg-dev lintian clang libclang-rt-14-dev xa65)
# The program alone needs no test framework, formatter or package tools (dpkg-dev works out
# the Debian package's dependencies, lintian checks the package), nor clang and its fuzzer
# runtime (scripts/fuzz.sh), nor the 6502 assembler xa (xa65) that assembles the protected-style
# test tapes' loader.
case " $* " in
  *" -DVARNSTOW_TESTS=OFF "*)
    packages=(cmake ninja-build g++ zlib1g-dev libasound2-dev nlohmann-json3-dev) ;;
esac
scripts/install-packages.sh "${packages[@]}"

build="${1:-build}"
shift || true
cmake -S . -B "$build" -G Ninja "$@" >/dev/null
cmake --build "$build"
