#!/usr/bin/env bash
# Installs the build into a prefix of its own, then builds and runs a small
# program against the installed tree both ways: find_package(QZ_FTDI) and
# pkg-config. Also runs the installed qzftdi.
#   run.sh BUILD_DIR CONSUMER_SOURCE_DIR C_COMPILER "C_FLAGS" "LINKER_FLAGS"
set -euo pipefail
build=$1 source=$2 cc=$3 cflags=${4:-} ldflags=${5:-}
work=$build/consumer-test
rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null

echo "== installed tree"
lib=$(find "$prefix" -name 'libQZ_FTDIx64.so.*.*.*')
soname=$(readelf -d "$lib" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
echo "SONAME $soname"
[ -L "$(dirname "$lib")/$soname" ] || { echo "no $soname link beside $lib"; exit 1; }
for file in "$lib" "$prefix/bin/qzftdi"; do
  if readelf -S "$file" | grep -q '\.debug_'; then echo "$file carries debug information"; exit 1; fi
done
echo "no debug information"
for file in share/QZ_FTDI/benches/sensors.toml share/QZ_FTDI/benches/demo.toml share/man/man1/qzftdi.1; do
  [ -s "$prefix/$file" ] || { echo "$file not installed"; exit 1; }
done
grep -q '^\.SH COMMANDS' "$prefix/share/man/man1/qzftdi.1" || { echo "qzftdi.1 lacks its COMMANDS"; exit 1; }
echo "bench files and manual page"

echo "== find_package(QZ_FTDI)"
cmake -S "$source" -B "$work/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_C_FLAGS="$cflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" >/dev/null
cmake --build "$work/cmake" >/dev/null
"$work/cmake/qz_consumer"

echo "== pkg-config QZ_FTDI"
pc=$(dirname "$(find "$prefix" -name QZ_FTDI.pc)")
libdir=$(PKG_CONFIG_PATH=$pc pkg-config --variable=libdir QZ_FTDI)
# shellcheck disable=SC2046,SC2086
"$cc" $cflags -o "$work/pc_consumer" "$source/consumer.c" \
  $(PKG_CONFIG_PATH=$pc pkg-config --cflags --libs QZ_FTDI) $ldflags
LD_LIBRARY_PATH=$libdir "$work/pc_consumer"
readelf -d "$work/pc_consumer" | grep -o 'Shared library: \[libQZ_FTDIx64[^]]*\]'

echo "== installed qzftdi"
"$prefix/bin/qzftdi" --version
