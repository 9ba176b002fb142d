#!/usr/bin/env bash
# The shared library exports exactly the public API under plain names (and the
# simulator's qzsim_ interface; on Windows also the DllMain entry point), none
# of the internal functions; the core library defines no D2XX symbol and does
# not know the simulator. A Windows DLL must also need no DLL beyond the
# system's own (no MinGW runtime DLLs beside it).
#   check_exports.sh LIBRARY CORE_ARCHIVE NM [OBJDUMP]
# LIBRARY is an ELF shared object, or a PE DLL (name ending in .dll), read with
# OBJDUMP; NM must read the core archive's objects.
set -eu
lib=$1
core=$2
nm=${3:-nm}
objdump=${4:-objdump}
expected="closeFTDI deleteI2CDev deleteSPIDev enableDebugPrint getConnectedDevices getDLLVersion
getDeviceInfo initI2CDev initSPIDev mapHandles multiRegRW multiRegStreamRW printConnectedDevices
readI2C readSPI read_reg read_reg_stream read_regs setDebugDelim setupFTDIdev setupOE
toggleSingleBit writeCustomPattern writeI2C writeSPI write_reg write_reg_stream write_regs
setI2CStrictTiming getI2CStrictTiming i2cScan i2cRecoverBus qz_statusText
qz_writeSPI qz_readSPI qz_writeI2C qz_readI2C qz_multiRegRW qz_multiRegStreamRW
qz_i2cScan qz_i2cRecoverBus
qz_write_reg qz_read_reg qz_write_regs qz_read_regs qz_write_reg_stream qz_read_reg_stream
setLatencyTimer getLatencyTimer qz_setLatencyTimer qz_getLatencyTimer
setLowLatency getLowLatency qz_setLowLatency
qz_i2cTransfer qz_spiTransfer qz_spiTransferSegments qz_setSPIMode qz_getSPIMode
qz_setBusClock qz_getBusClock qz_getWireClock qz_readPins qz_playPattern qz_refusalText
qz_setMessageTarget qz_getMessageTarget qz_ackText qz_detailText
qz_getDrivers qz_setBackend qz_getBackend qz_getDeviceBackend qz_setProgressCallback"
internal="createSPIByteStream createI2CByteStream parseByteStream setImpedance wait4RxBuffer printPattern"
allowed_extra='^qzsim_'

case "$lib" in
  *.dll | *.DLL)
    # The export table's name list: lines "[ n] name" after "[Ordinal/Name Pointer] Table".
    exported=$("$objdump" -p "$lib" |
      awk '/\[Ordinal\/Name Pointer\] Table/ {t = 1; next} t && /^[ \t]*\[ *[0-9]+\]/ {print $NF; next} t && NF == 0 {t = 0}' |
      sort)
    allowed_extra='^(qzsim_|DllMain$)'
    imports=$("$objdump" -p "$lib" | awk '/DLL Name:/ {print $3}')
    ;;
  *)
    exported=$("$nm" -D --defined-only "$lib" | awk '$2 ~ /^[TWDBRV]$/ {print $3}' | sort)
    imports=""
    ;;
esac

fail=0
expected_lines=$(tr ' \n' '\n\n' <<<"$expected")
for f in $expected; do
  grep -qx "$f" <<<"$exported" || { echo "missing export: $f"; fail=1; }
done
while read -r sym; do
  [ -z "$sym" ] && continue
  [[ "$sym" =~ $allowed_extra ]] && continue
  grep -qx "$sym" <<<"$expected_lines" || { echo "unexpected export: $sym"; fail=1; }
done <<<"$exported"
for f in $internal; do
  if grep -q "$f" <<<"$exported"; then echo "internal function exported: $f"; fail=1; fi
done

# Only the system's DLLs: KERNEL32, WINMM (the 1 ms timer the read-back
# wait asks for) and the C runtime (or the API sets of the universal C
# runtime); libstdc++, libgcc and winpthread must be linked in.
while read -r dll; do
  [ -z "$dll" ] && continue
  shopt -s nocasematch
  [[ "$dll" =~ ^(kernel32|winmm|msvcrt|ucrtbase|api-ms-win-.*)\.dll$ ]] ||
    { echo "depends on a DLL that Windows does not have: $dll"; fail=1; }
  shopt -u nocasematch
done <<<"$imports"

if "$nm" --defined-only "$core" 2>/dev/null | awk '{print $3}' | grep -q '^FT_'; then
  echo "qzftdi_core defines D2XX symbols:"; "$nm" --defined-only "$core" | grep ' FT_'; fail=1
fi
# The core reaches the chip only through FT_*: it must not know the simulator.
if "$nm" -u "$core" | grep -q qzsim; then echo "qzftdi_core refers to the simulator"; fail=1; fi
[ $fail -eq 0 ] && echo "exports OK: $(wc -l <<<"$exported") symbols${imports:+; imports: $(tr '\n' ' ' <<<"$imports")}"
exit $fail
