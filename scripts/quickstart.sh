#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds QZ_FTDI (the library, qzftdi and the
# demo: not the test suites and benchmarks, which the test command builds)
# and runs the demo on the simulated bench.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default
cmake --build --preset default --target QZ_FTDIx64 qzftdi qzftdi_man qz_demo
./build/default/examples/qz_demo
