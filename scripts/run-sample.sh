#!/usr/bin/env bash
# Builds the program and shows its usage text (the sample conversion comes with decoding).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARNSTOW_TESTS=OFF
build/src/varnstow -h || true
