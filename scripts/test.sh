#!/usr/bin/env bash
# Builds and runs every test: the native build, the ASan+UBSan build, and the
# Windows x64 DLL (MinGW-w64 cross build) with its tests under Wine.
# Each build's time is printed; pass preset names to run only those.
set -euo pipefail
cd "$(dirname "$0")/.."
presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(default asan windows)
if [[ " ${presets[*]} " == *" windows "* ]]; then
  scripts/install-deps.sh windows
else
  scripts/install-deps.sh
fi
# Should a run be cut short, end the Windows test run's Wine server too.
if [[ " ${presets[*]} " == *" windows "* ]]; then
  trap 'WINEPREFIX=$PWD/build/windows/wine cmake/wine-session.sh stop' EXIT
fi
for preset in "${presets[@]}"; do
  echo "==== $preset ===="
  start=$SECONDS
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  # The Windows tests keep one Wine server up for the run themselves (test
  # fixtures Wine.StartServer and Wine.StopServer).
  ctest --preset "$preset" -j2
  echo "==== $preset: $((SECONDS - start)) s ===="
done
