#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds QZ_FTDI and runs the demo on the
# simulated bench.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default
cmake --build --preset default
./build/default/examples/qz_demo
