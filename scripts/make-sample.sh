#!/usr/bin/env bash
# Remakes the bundled sample: examples/sample.uef (written by examples/make_sample.cpp) and
# examples/sample.csw (that image rendered by varnstow-tool). Usage: scripts/make-sample.sh
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo
build/examples/make_sample examples/sample.uef
build/src/tool/varnstow-tool render examples/sample.uef -o examples/sample.csw
build/src/tool/varnstow-tool list examples/sample.uef
