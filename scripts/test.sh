#!/usr/bin/env bash
# Builds and runs every test: the native build, then the ASan+UBSan build.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
for preset in default asan; do
  echo "==== $preset ===="
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  ctest --preset "$preset" -j2
done
