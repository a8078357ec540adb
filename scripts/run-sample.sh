#!/usr/bin/env bash
# Builds the program and converts the bundled sample recording (examples/sample.csw, a short
# tape made by this project) into build-app/sample/sample.uef, printing the report.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh build-app -DCMAKE_BUILD_TYPE=Release -DVARNSTOW_TESTS=OFF
mkdir -p build-app/sample
cp examples/sample.csw build-app/sample/sample.csw
cd build-app/sample
../src/varnstow -i sample.csw
echo
echo "Image written: $(pwd)/sample.uef ($(stat -c %s sample.uef) bytes, gzip-compressed)"
