"""Real chips' habits on the virtual bench, seen through the Python API."""

from __future__ import annotations

import pytest

import qzftdi
from qzftdi import sim
from conftest import I2C_PINS, SPI_PINS


def _chip(dev: qzftdi.Device, **widths: int) -> qzftdi.I2cChip:
    return qzftdi.I2cChip(dev, **I2C_PINS, address=0x50, **widths)


def test_BlankEepromReadsItsFill(board: sim.SimDevice, dev: qzftdi.Device) -> None:
    board.attach_i2c(**I2C_PINS, address=0x50).set_fill(0xFF)
    with _chip(dev) as chip:
        assert chip.read(0x33) == 0xFF
        assert chip.read_stream(0x30, 3) == [0xFF, 0xFF, 0xFF]


def test_EepromPageWriteWrapsWithinThePage(board: sim.SimDevice, dev: qzftdi.Device) -> None:
    virtual = board.attach_i2c(**I2C_PINS, address=0x50)
    virtual.set_eeprom(4, 0)
    with _chip(dev) as chip:
        chip.write_stream(0x02, [1, 2, 3, 4])
    assert [virtual[r] for r in range(4)] == [3, 4, 1, 2]


def test_EepromBusyAfterWriteDoesNotAcknowledgeItsAddress(board: sim.SimDevice,
                                                          dev: qzftdi.Device) -> None:
    virtual = board.attach_i2c(**I2C_PINS, address=0x50)
    virtual.set_eeprom(16, 1_000_000)
    with _chip(dev) as chip:
        chip.write(0x01, 0x42)
        with pytest.raises(qzftdi.NackError) as caught:
            chip.read(0x01)
        assert caught.value.missing[0] == "address"


def test_RegisterOfItsOwnWidthReadsWhole(board: sim.SimDevice, dev: qzftdi.Device) -> None:
    virtual = board.attach_i2c(**I2C_PINS, address=0x50, data_bytes=1)
    virtual.set_register_width(0x00, 2)
    virtual[0x00] = 0x1A80
    with _chip(dev, data_bytes=2) as chip:
        assert chip.read(0x00) == 0x1A80


def test_StretchedClockIsABusError(board: sim.SimDevice, dev: qzftdi.Device) -> None:
    board.attach_i2c(**I2C_PINS, address=0x50).set_clock_stretch(40)
    with _chip(dev) as chip:
        with pytest.raises(qzftdi.BusError) as caught:
            chip.read(0x01)
        assert caught.value.status == qzftdi.Status.CLOCK_STRETCHED


def test_UnpluggedMidSessionIsAnIoError(board: sim.SimDevice, dev: qzftdi.Device) -> None:
    board.attach_spi(**SPI_PINS)
    board.unplug_at_call(1)
    with qzftdi.SpiChip(dev, **SPI_PINS) as chip:
        with pytest.raises(qzftdi.DriverError) as caught:
            chip.read(0x01)
    assert caught.value.name == "FT_IO_ERROR"


def test_ShortWriteSaysWhatTheDriverTook(board: sim.SimDevice, dev: qzftdi.Device) -> None:
    board.attach_spi(**SPI_PINS)
    board.set_short_write(10)
    with qzftdi.SpiChip(dev, **SPI_PINS) as chip:
        with pytest.raises(qzftdi.DriverError, match=r": the driver took 10 of \d+ bytes$"):
            chip.write(0x01, 2)
