#!/usr/bin/env bash
# The shared library's dynamic symbol table holds exactly the public API (and
# the simulator's qzsim_ interface); the core library defines no D2XX symbol.
set -eu
lib=$1
core=$2
expected="closeFTDI deleteI2CDev deleteSPIDev enableDebugPrint getConnectedDevices getDLLVersion
getDeviceInfo initI2CDev initSPIDev mapHandles multiRegRW multiRegStreamRW printConnectedDevices
readI2C readSPI read_reg read_reg_stream read_regs setDebugDelim setupFTDIdev setupOE
toggleSingleBit writeCustomPattern writeI2C writeSPI write_reg write_reg_stream write_regs"
internal="createSPIByteStream createI2CByteStream parseByteStream setImpedance wait4RxBuffer printPattern"

exported=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TWDBRV]$/ {print $3}' | sort)
fail=0
for f in $expected; do
  grep -qx "$f" <<<"$exported" || { echo "missing export: $f"; fail=1; }
done
while read -r sym; do
  [ -z "$sym" ] && continue
  case "$sym" in qzsim_*) continue ;; esac
  grep -qx "$sym" <<<"$(tr ' \n' '\n\n' <<<"$expected")" || { echo "unexpected export: $sym"; fail=1; }
done <<<"$exported"
for f in $internal; do
  if nm -D --defined-only -C "$lib" | grep -q "$f"; then echo "internal function exported: $f"; fail=1; fi
done
if nm --defined-only "$core" 2>/dev/null | awk '{print $3}' | grep -q '^FT_'; then
  echo "qzftdi_core defines D2XX symbols:"; nm --defined-only "$core" | grep ' FT_'; fail=1
fi
# The core reaches the chip only through FT_*: it must not know the simulator.
if nm -u "$core" | grep -q qzsim; then echo "qzftdi_core refers to the simulator"; fail=1; fi
[ $fail -eq 0 ] && echo "exports OK: $(wc -l <<<"$exported") symbols"
exit $fail
