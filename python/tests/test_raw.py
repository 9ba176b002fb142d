"""Chips without register maps: raw I2C messages, SPI exchanges and modes, the pins."""

from __future__ import annotations

import pytest

import qzftdi
from qzftdi import sim
from conftest import I2C_PINS, SPI_PINS


def test_CombinedWriteThenReadReturnsTheReadData(board: sim.SimDevice, dev: qzftdi.Device) -> None:
    eeprom = board.attach_i2c(**I2C_PINS, address=0x50)
    for reg, value in enumerate(b"QZ_F"):
        eeprom[reg] = value
    with qzftdi.I2cBus(dev, **I2C_PINS) as bus:
        assert bus.transfer([qzftdi.write(0x50, [0x01]), qzftdi.read(0x50, 3)]) == [b"Z_F"]


def test_NackOfTheSecondMessageNamesIt(board: sim.SimDevice, dev: qzftdi.Device) -> None:
    board.attach_i2c_expander(**I2C_PINS, address=0x20)
    with qzftdi.I2cBus(dev, **I2C_PINS) as bus, pytest.raises(qzftdi.NackError,
                                                              match=r"message 1 \(r1@0x21\)"):
        bus.transfer([qzftdi.write(0x20, [0x0F]), qzftdi.read(0x21, 1)])


@pytest.mark.parametrize("mode", [0, 1, 2, 3])
def test_ExchangeReadsTheFlashIdInEveryMode(board: sim.SimDevice, dev: qzftdi.Device,
                                            mode: int) -> None:
    board.attach_spi_flash(**SPI_PINS, jedec_id=0xC22017, mode=mode)
    with qzftdi.SpiChip(dev, **SPI_PINS, mode=mode) as flash:
        assert flash.exchange([0x9F], read=3) == bytes([0xC2, 0x20, 0x17])


def test_CsHighReachesAnActiveHighChip(board: sim.SimDevice, dev: qzftdi.Device) -> None:
    board.attach_spi_flash(**SPI_PINS, jedec_id=0xC22017, cs_high=True)
    with qzftdi.SpiChip(dev, **SPI_PINS, cs_high=True) as flash:
        assert flash.exchange([0x9F, 0, 0, 0])[1:] == bytes([0xC2, 0x20, 0x17])


def test_ReadPinsGivesTheIdleLevels(dev: qzftdi.Device) -> None:
    assert dev.read_pins() == 0xFF  # nothing drives an empty board's pulled-up pins


def test_PlayHandsBackTheReadback(dev: qzftdi.Device) -> None:
    back = dev.play(0x01, [0x00, 0x01, 0x00, 0x01, 0x01, 0x00])
    assert len(back) == 6 and {b & 1 for b in back} == {0, 1}  # pin 0 seen low and high


def test_RefusedDescriptorNamesTheClash(dev: qzftdi.Device) -> None:
    with pytest.raises(qzftdi.ArgumentError, match="SPI chip select and output enable both on pin 3"):
        qzftdi.SpiChip(dev, **SPI_PINS, oe=(3, False))
