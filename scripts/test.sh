#!/usr/bin/env bash
# Builds and runs every test: the native build, the ASan+UBSan build, the
# concurrency test under ThreadSanitizer (tsan), a short run of each libFuzzer
# target (fuzz: QZ_FUZZ_SECONDS per target, default 45), and the Windows x64
# DLL (MinGW-w64 cross build) with its tests under Wine.
# Each build's time is printed; pass preset names to run only those.
set -euo pipefail
cd "$(dirname "$0")/.."
presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(default asan tsan fuzz windows)
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
  if [ "$preset" = fuzz ]; then
    scripts/fuzz.sh "${QZ_FUZZ_SECONDS:-45}"
    echo "==== $preset: $((SECONDS - start)) s ===="
    continue
  fi
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  # The Windows tests keep one Wine server up for the run themselves (test
  # fixtures Wine.StartServer and Wine.StopServer).
  ctest --preset "$preset" -j2
  echo "==== $preset: $((SECONDS - start)) s ===="
done
