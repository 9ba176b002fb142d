#!/usr/bin/env bash
# An SPI NOR flash from the shell with qzftdi spi transfer: JEDEC ID, a 64 KiB
# dump, a sector erase and a page programmed and verified. Each flash command
# is one qzftdi run (one chip select). Wiring (SPI mode 0): SCK pin 0, CS#
# pin 1, MOSI pin 2, MISO pin 3, qzftdi's default SPI pins.
#   examples/flash.sh [DUMP_FILE]
#   QZFTDI="qzftdi -s FT5XYZ12" examples/flash.sh dump.bin
#   QZFTDI="qzftdi --sim examples/benches/flash.toml --sim-state flash.state" examples/flash.sh
# (--sim-state keeps the virtual flash's contents from one run to the next, as
# a real flash keeps them.) Exit 0 when the page verified, 1 when the flash
# said otherwise, else qzftdi's exit code.
set -euo pipefail
read -r -a qzftdi <<< "${QZFTDI:-qzftdi}"
spi() { "${qzftdi[@]}" --clk 0 --cs 1 --mosi 2 --miso 3 --mode 0 spi transfer "$@"; }
status() { echo $(( $(spi 0x05 --read 1) )); }
fail() { echo "$*" >&2; exit 1; }

# Write enable, checked in the status register.
write_enable() {
    spi 0x06 > /dev/null
    (( $(status) & 0x02 )) || fail "the flash does not enable writes (status $(status))"
}
# Polls the busy bit; a sector erase takes up to 400 ms on common parts.
wait_ready() {
    local polls=0
    while (( $(status) & 0x01 )); do
        (( ++polls < 2000 )) || fail "$1: the flash stays busy"
    done
}

id=$(spi 0x9f --read 3)
echo "JEDEC ID ${id//0x/}"
[[ $id == "0x00 0x00 0x00" || $id == "0xff 0xff 0xff" ]] && fail "no flash answers (check the wiring and MISO)"

# The bytes come as "0x51 0x5a ...": as \x escapes printf turns them into the bytes.
escaped=$(spi 0x03 0x00 0x00 0x00 --read 65536 | sed 's/ //g; s/0x/\\x/g')
printf 'read 64 KiB: "%b"\n' "${escaped:0:84}"
if (( $# > 0 )); then printf '%b' "$escaped" > "$1"; fi

write_enable
spi 0x20 0x00 0x10 0x00 > /dev/null
wait_ready "sector erase"
echo "erased sector 0x001000"

page=()
for (( i = 0; i < 256; ++i )); do page+=("$(printf '0x%02x' $(( i ^ 0xa5 )))"); done
write_enable
spi 0x02 0x00 0x10 0x00 "${page[@]}" > /dev/null
wait_ready "page program"
[[ $(spi 0x03 0x00 0x10 0x00 --read 256) == "${page[*]}" ]] ||
    fail "page 0x001000 does not read back as programmed"
echo "programmed and verified page 0x001000"
