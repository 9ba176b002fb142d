"""Devices: discovery, opening, closing, the latency timer, arguments refused before any call."""

from __future__ import annotations

import logging
from typing import Any

import pytest

import qzftdi
from qzftdi import sim
from conftest import I2C_PINS, SERIAL, SPI_PINS


def test_ListShowsListableDevicesOnly(board: sim.SimDevice) -> None:
    sim.add_device("HIDDEN1", "not listable", listable=False)
    sim.add_device("PYSIM02", "second")
    assert qzftdi.list_devices() == [SERIAL, "PYSIM02"]
    infos = qzftdi.device_info()  # every attached device, listable or not
    assert [(i.index, i.serial) for i in infos] == [(0, SERIAL), (1, "HIDDEN1"), (2, "PYSIM02")]
    assert infos[0].description == "pytest board"


def test_DeviceInfoAndDriversNameTheBackend(board: sim.SimDevice) -> None:
    assert [i.backend for i in qzftdi.device_info()] == ["simulator"]
    found = {d.name: d for d in qzftdi.drivers()}
    assert set(found) == {"vendor", "libftdi", "simulator"}
    assert found["simulator"].installed and found["simulator"].active
    with pytest.raises(qzftdi.ArgumentError):
        qzftdi.set_backend("usb")
    assert qzftdi.backend() == "auto"


def test_EmptyBenchListsNothing() -> None:
    assert qzftdi.list_devices() == []


def test_ListingFailureIsADriverError(board: sim.SimDevice) -> None:
    sim.fail_nth_call("ListDevices", 1, "FT_OTHER_ERROR")
    with pytest.raises(qzftdi.DriverError):
        qzftdi.list_devices()


def test_UnknownSerialNamesTheDriverStatus(board: sim.SimDevice) -> None:
    with pytest.raises(qzftdi.DriverError) as caught:
        qzftdi.open("NOSUCH9", 1_000_000)
    assert caught.value.name == "FT_DEVICE_NOT_FOUND"


def test_ClosedDeviceRefusesTransfers(board: sim.SimDevice) -> None:
    board.attach_spi(**SPI_PINS)
    dev = qzftdi.open(SERIAL)
    chip = qzftdi.SpiChip(dev, **SPI_PINS)
    dev.close()
    dev.close()  # twice is harmless
    assert dev.closed
    with pytest.raises(ValueError):
        chip.read(0x01)
    chip.close()
    with pytest.raises(qzftdi.QzError):
        chip.read(0x01)


@pytest.mark.parametrize("make", [
    lambda d: qzftdi.SpiChip(d, clk=8, cs=3, sdi=1, sdo=2),
    lambda d: qzftdi.SpiChip(d, **SPI_PINS, addr_bits=33),
    lambda d: qzftdi.SpiChip(d, **SPI_PINS, data_bits=0),
    lambda d: qzftdi.SpiChip(d, **SPI_PINS, oe=(9, True)),
    lambda d: qzftdi.I2cChip(d, **I2C_PINS, address=0x80),
    lambda d: qzftdi.I2cChip(d, **I2C_PINS, address=0x50, reg_bytes=5),
    lambda d: qzftdi.I2cChip(d, **I2C_PINS, address=0x50, data_bytes=5),
    lambda d: qzftdi.I2cBus(d, scl=-1, sda_w=5, sda_r=6),
], ids=["pin8", "addr33", "data0", "oe9", "addr0x80", "reg5", "data5", "scl-1"])
def test_WiringThatDoesNotFitIsAValueError(dev: qzftdi.Device, make) -> None:
    with pytest.raises(ValueError) as caught:
        make(dev)
    assert isinstance(caught.value, qzftdi.QzError)


@pytest.mark.parametrize("call", [
    lambda c: c.write(0x100, 0),           # 9-bit register on an 8-bit address
    lambda c: c.write(0x01, 0x10000),      # 17-bit value on a 16-bit register
    lambda c: c.write(-1, 0),
    lambda c: c.read_many([0x01, 0x1FF]),
    lambda c: c.write_many([0x01, 0x02], [1]),
    lambda c: c.read_stream(0x01, 0),
    lambda c: c.write_stream(0x01, []),
], ids=["reg", "value", "negative", "batchreg", "lengths", "count0", "empty"])
def test_RegisterArgumentThatDoesNotFitIsAValueError(board: sim.SimDevice, dev: qzftdi.Device,
                                                     call) -> None:
    board.attach_spi(**SPI_PINS)
    before = board.call_count("Write")
    with qzftdi.SpiChip(dev, **SPI_PINS, addr_bits=8, data_bits=16) as chip:
        with pytest.raises(ValueError):
            call(chip)
    assert board.call_count("Write") == before  # refused before reaching the wire


def test_LatencyTimerRoundTripsThroughTheChip(board: sim.SimDevice, dev: qzftdi.Device) -> None:
    dev.latency_timer = 2
    assert dev.latency_timer == 2
    assert board.latency_timer == 2
    for bad in (0, 1, 256):
        with pytest.raises(ValueError):
            dev.latency_timer = bad
    assert dev.latency_timer == 2


def test_LowLatencyIsOnUnlessTheProgramSaysNo(board: sim.SimDevice) -> None:
    with qzftdi.open(SERIAL) as dev:
        assert dev.low_latency and board.latency_timer == 2
        dev.low_latency = False
        assert not dev.low_latency and board.latency_timer == 16
    with qzftdi.open(SERIAL, low_latency=False) as dev:
        assert not dev.low_latency and board.latency_timer == 16


def test_PatternReachesTheWire(board: sim.SimDevice, dev: qzftdi.Device) -> None:
    board.clear_trace()
    assert dev.write_pattern(0x0F, [0x01, 0x02, 0x04, 0x08]) == 4
    written, levels = board.read_trace()
    # In low-latency mode idle samples holding the last level pad it to a whole packet.
    assert written.rstrip(b"\x08")[-3:] == bytes([0x01, 0x02, 0x04])
    assert len(levels) == len(written)


def test_LibraryMessagesGoToTheLoggerNotStdout(caplog: pytest.LogCaptureFixture,
                                               capfd: pytest.CaptureFixture[str]) -> None:
    with caplog.at_level(logging.ERROR, logger="qzftdi"), pytest.raises(qzftdi.DriverError):
        qzftdi.open("NOPE")
    assert capfd.readouterr().out == ""
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [
        ("qzftdi", logging.ERROR, "FTDI Error, Cannot open Serial NOPE")]


@pytest.mark.parametrize("make", [
    lambda dev: qzftdi.SpiChip(dev, clk=0, cs=0, sdi=1, sdo=2),
    lambda dev: qzftdi.SpiChip(dev, **SPI_PINS, oe=(SPI_PINS["clk"], True)),
    lambda dev: qzftdi.I2cChip(dev, **I2C_PINS, address=0x50, oe=(I2C_PINS["scl"], False)),
])
def test_RefusedDescriptorRaisesArgumentError(dev: qzftdi.Device, make: Any) -> None:
    with pytest.raises(qzftdi.ArgumentError, match="refused"):
        make(dev)


def test_I2cBusIsABusNotAChip(dev: qzftdi.Device) -> None:
    bus = qzftdi.I2cBus(dev, **I2C_PINS)
    assert not any(hasattr(bus, name) for name in ("read", "read_many", "write_many", "read_stream"))
    assert hasattr(bus, "scan") and hasattr(bus, "recover") and hasattr(bus, "chip")
