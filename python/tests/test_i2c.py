"""I2C chips: round trips, missing acknowledges by name, a bus held low, scan and recovery."""

from __future__ import annotations

import pytest

import qzftdi
from qzftdi import sim
from conftest import I2C_PINS


@pytest.fixture
def eeprom(board: sim.SimDevice, dev: qzftdi.Device):
    virtual = board.attach_i2c(**I2C_PINS, address=0x50, reg_bytes=1, data_bytes=1)
    with qzftdi.I2cChip(dev, **I2C_PINS, address=0x50, reg_bytes=1, data_bytes=1) as chip:
        yield virtual, chip


def test_WrittenRegisterReachesTheChip(eeprom) -> None:
    virtual, chip = eeprom
    chip.write(0x10, 0x5A)
    assert virtual[0x10] == 0x5A
    virtual[0x11] = 0xA5
    assert chip.read(0x11) == 0xA5


def test_BatchAndStreamRoundTrip(eeprom) -> None:
    virtual, chip = eeprom
    chip.write_many([0x01, 0x02, 0x30], [0x11, 0x22, 0x33])
    assert chip.read_many([0x30, 0x01, 0x02]) == [0x33, 0x11, 0x22]
    chip.write_stream(0x40, [1, 2, 3, 4, 5])
    assert [virtual[0x40 + i] for i in range(5)] == [1, 2, 3, 4, 5]
    assert chip.read_stream(0x40, 5) == [1, 2, 3, 4, 5]


@pytest.mark.parametrize("value", [0xFFFFFFF9, 0xFFFFFFFF, 0xFFFFFFFD])
def test_FourByteRegisterLikeANackSetReadsAsItsValue(board: sim.SimDevice, dev: qzftdi.Device,
                                                     value: int) -> None:
    virtual = board.attach_i2c(**I2C_PINS, address=0x68, reg_bytes=2, data_bytes=4)
    virtual[0x0102] = value
    with qzftdi.I2cChip(dev, **I2C_PINS, address=0x68, reg_bytes=2, data_bytes=4) as chip:
        assert chip.read(0x0102) == value
        assert chip.read_stream(0x0102, 1) == [value]


@pytest.mark.parametrize("reg_bytes", [1, 2])
def test_AbsentAddressNamesOnlyTheAddress(board: sim.SimDevice, dev: qzftdi.Device,
                                          reg_bytes: int) -> None:
    board.attach_i2c(**I2C_PINS, address=0x50, reg_bytes=reg_bytes)
    with qzftdi.I2cChip(dev, **I2C_PINS, address=0x51, reg_bytes=reg_bytes) as absent:
        with pytest.raises(qzftdi.NackError) as caught:
            absent.read(0x01)
        assert caught.value.missing == ["address"]
        assert caught.value.status == qzftdi.Status.NACK
        with pytest.raises(qzftdi.NackError) as caught:
            absent.write(0x01, 0x12)
        assert caught.value.missing == ["address"]


def test_UnacknowledgedDataByteIsNamed(board: sim.SimDevice, dev: qzftdi.Device) -> None:
    virtual = board.attach_i2c(**I2C_PINS, address=0x50, reg_bytes=1, data_bytes=2)
    virtual.set_fault(sim.I2cFault.NACK_DATA, 1)
    with qzftdi.I2cChip(dev, **I2C_PINS, address=0x50, reg_bytes=1, data_bytes=2) as chip:
        with pytest.raises(qzftdi.NackError) as caught:
            chip.write(0x01, 0x1234)
        assert caught.value.missing == ["data byte 1"]


def test_NackInABatchNamesTheRegister(board: sim.SimDevice, dev: qzftdi.Device) -> None:
    board.attach_i2c(**I2C_PINS, address=0x50)
    with qzftdi.I2cChip(dev, **I2C_PINS, address=0x52) as absent:
        with pytest.raises(qzftdi.NackError) as caught:
            absent.read_many([0x01, 0x02])
        assert caught.value.index == 0
        assert "address" in caught.value.missing


@pytest.mark.parametrize("fault, status", [
    (sim.I2cFault.HOLD_SDA, qzftdi.Status.BUS_HELD),
    (sim.I2cFault.HOLD_SCL, qzftdi.Status.CLOCK_STRETCHED),
])
def test_LineHeldLowIsABusError(eeprom, fault: sim.I2cFault, status: qzftdi.Status) -> None:
    virtual, chip = eeprom
    virtual.set_fault(fault)
    with pytest.raises(qzftdi.BusError) as caught:
        chip.read(0x01)
    assert caught.value.status == status


def test_ScanFindsEveryChipOnTheBus(board: sim.SimDevice, dev: qzftdi.Device) -> None:
    for address in (0x68, 0x20, 0x50):
        board.attach_i2c(**I2C_PINS, address=address)
    with qzftdi.I2cBus(dev, **I2C_PINS) as bus:
        assert bus.scan() == [0x20, 0x50, 0x68]
        with bus.chip(0x20) as chip:
            assert chip.scan() == [0x20, 0x50, 0x68]


def test_ScanOfAHeldBusIsABusError(eeprom) -> None:
    virtual, chip = eeprom
    virtual.set_fault(sim.I2cFault.HOLD_SDA)
    with pytest.raises(qzftdi.BusError):
        chip.scan()


def test_RecoveryReportsASdaThatStaysLow(eeprom) -> None:
    virtual, chip = eeprom
    chip.recover()  # a free bus stays free
    virtual.set_fault(sim.I2cFault.HOLD_SDA)
    with pytest.raises(qzftdi.BusError):
        chip.recover()


def test_StrictTimingIsAPropertyThatRoundTrips(eeprom) -> None:
    virtual, chip = eeprom
    assert chip.strict is False
    chip.strict = True
    assert chip.strict is True
    chip.write(0x05, 0x77)
    assert chip.read(0x05) == 0x77


def test_DataOutOfRangeIsNamedInHex(board: sim.SimDevice, dev: qzftdi.Device) -> None:
    board.attach_i2c(**I2C_PINS, address=0x50)
    with qzftdi.I2cChip(dev, **I2C_PINS, address=0x50) as chip:
        with pytest.raises(qzftdi.ArgumentError, match="value 0x100 does not fit: 0x0 to 0xff"):
            chip.write(0x01, 0x100)


@pytest.mark.parametrize("frequency, answers", [(100_000, True), (400_000, False)])
def test_StandardModeChipAnswersOnlyAtItsClock(board: sim.SimDevice, dev: qzftdi.Device,
                                               frequency: int, answers: bool) -> None:
    board.set_profile("FT232R")
    board.set_timed(True)
    board.attach_i2c(**I2C_PINS, address=0x50)[0x10] = 0x5C
    board.attach_i2c(**I2C_PINS, address=0x51).set_speed("standard")
    bus = qzftdi.I2cBus(dev, **I2C_PINS, frequency=frequency)
    assert bus.wire_frequency == {100_000: 100_000, 400_000: 384_612}[frequency]
    assert bus.chip(0x50).read(0x10) == 0x5C  # a fast-mode chip answers at both
    with bus.chip(0x51) as chip:
        if answers:
            chip.read(0x10)
        else:
            with pytest.raises(qzftdi.NackError):
                chip.read(0x10)
