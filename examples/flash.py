#!/usr/bin/env python3
"""An SPI NOR flash from Python: JEDEC ID, a 64 KiB dump, a sector erase and a
page programmed and verified. Each flash command is one exchange (one chip
select, one USB round trip). Wiring (SPI mode 0): SCK pin 0, CS# pin 1, MOSI
pin 2, MISO pin 3.

    python3 examples/flash.py SERIAL [--dump FILE]
    python3 examples/flash.py --sim examples/benches/flash.toml   # the virtual board

Exit 0 when the page verified, 1 when the flash said otherwise.
"""

from __future__ import annotations

import argparse
import sys

import qzftdi
from qzftdi import sim

WRITE_ENABLE, READ_STATUS, READ, PAGE_PROGRAM, SECTOR_ERASE, JEDEC_ID = 0x06, 0x05, 0x03, 0x02, 0x20, 0x9F
BUSY, WRITE_ENABLED = 0x01, 0x02
PAGE = 256
# Status polls before a program or erase counts as stuck (a poll is a USB
# round trip, about 1 ms at full speed; a sector erase takes up to 400 ms).
MAX_POLLS = 2000


class FlashError(Exception):
    """The flash did not do what it was told."""


class Flash:
    """A 25-series SPI NOR flash (3-byte addresses) on an SpiChip."""

    def __init__(self, spi: qzftdi.SpiChip) -> None:
        self.spi = spi

    def command(self, cmd: int, address: int | None = None, data: bytes = b"", read: int = 0) -> bytes:
        head = [cmd] + ([] if address is None else list(address.to_bytes(3, "big")))
        return self.spi.exchange(head + list(data), read=read)

    def jedec_id(self) -> bytes:
        return self.command(JEDEC_ID, read=3)

    def read(self, address: int, length: int) -> bytes:
        return self.command(READ, address, read=length)

    def status(self) -> int:
        return self.command(READ_STATUS, read=1)[0]

    def write_enable(self) -> None:
        self.command(WRITE_ENABLE)
        if not self.status() & WRITE_ENABLED:
            raise FlashError(f"the flash does not enable writes (status {self.status():#04x})")

    def wait_ready(self, what: str) -> None:
        for _ in range(MAX_POLLS):
            if not self.status() & BUSY:
                return
        raise FlashError(f"{what}: the flash stays busy")

    def erase_sector(self, address: int) -> None:
        self.write_enable()
        self.command(SECTOR_ERASE, address)
        self.wait_ready("sector erase")

    def program_page(self, address: int, data: bytes) -> None:
        self.write_enable()
        self.command(PAGE_PROGRAM, address, data)
        self.wait_ready("page program")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("serial", nargs="?", help="the FTDI device (default: the only one)")
    parser.add_argument("--sim", help="load a virtual board from a bench file first")
    parser.add_argument("--dump", help="write the first 64 KiB to this file")
    args = parser.parse_args()
    if args.sim:
        sim.load_bench(args.sim)
    serial = args.serial or next(iter(qzftdi.list_devices()), None)
    if serial is None:
        print("no FTDI device found", file=sys.stderr)
        return 2
    with qzftdi.open(serial) as dev, qzftdi.SpiChip(dev, clk=0, cs=1, sdi=2, sdo=3, mode=0) as spi:
        flash = Flash(spi)
        ident = flash.jedec_id()
        print("JEDEC ID " + " ".join(f"{b:02x}" for b in ident))
        if ident[0] in (0x00, 0xFF):
            print("no flash answers (check the wiring and MISO)", file=sys.stderr)
            return 1
        image = flash.read(0, 0x10000)
        print(f'read 64 KiB: "{image[:21].decode("ascii", "replace")}"')
        if args.dump:
            with open(args.dump, "wb") as out:
                out.write(image)
        sector = 0x001000
        try:
            flash.erase_sector(sector)
            print(f"erased sector {sector:#08x}")
            page = bytes(i ^ 0xA5 for i in range(PAGE))
            flash.program_page(sector, page)
            if flash.read(sector, PAGE) != page:
                raise FlashError(f"page {sector:#08x} does not read back as programmed")
        except FlashError as error:
            print(error, file=sys.stderr)
            return 1
        print(f"programmed and verified page {sector:#08x}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
