"""SPI chips: round trips through a virtual chip, values the specified API cannot tell from failure."""

from __future__ import annotations

import pytest

import qzftdi
from qzftdi import sim
from conftest import SPI_PINS


@pytest.fixture
def chip_pair(board: sim.SimDevice, dev: qzftdi.Device):
    virtual = board.attach_spi(**SPI_PINS, addr_bits=8, data_bits=16)
    with qzftdi.SpiChip(dev, **SPI_PINS, addr_bits=8, data_bits=16) as chip:
        yield virtual, chip


def test_WrittenRegisterReachesTheChip(chip_pair) -> None:
    virtual, chip = chip_pair
    chip.write(0x12, 0xBEEF)
    assert virtual[0x12] == 0xBEEF
    virtual[0x13] = 0x1234
    assert chip.read(0x13) == 0x1234


def test_BatchAndStreamRoundTrip(chip_pair) -> None:
    virtual, chip = chip_pair
    chip.write_many([0x01, 0x40, 0x07], [0x1111, 0x2222, 0x3333])
    assert [virtual[r] for r in (0x01, 0x40, 0x07)] == [0x1111, 0x2222, 0x3333]
    assert chip.read_many([0x07, 0x01, 0x40]) == [0x3333, 0x1111, 0x2222]
    chip.write_stream(0x20, [0xA0, 0xA1, 0xA2, 0xA3])
    assert [virtual[0x20 + i] for i in range(4)] == [0xA0, 0xA1, 0xA2, 0xA3]
    assert chip.read_stream(0x20, 4) == [0xA0, 0xA1, 0xA2, 0xA3]


def test_BatchCostsOneUsbWrite(board: sim.SimDevice, chip_pair) -> None:
    _, chip = chip_pair
    before = board.call_count("Write")
    chip.read_many(range(32))
    assert board.call_count("Write") == before + 1


@pytest.mark.parametrize("value", [0xFFFFFFFF, 0xFFFFFFF9, 0x80000000, 0])
def test_AllOnesRegisterIsAValueNotAFailure(board: sim.SimDevice, dev: qzftdi.Device,
                                             value: int) -> None:
    virtual = board.attach_spi(**SPI_PINS, addr_bits=8, data_bits=32)
    virtual[0x05] = value
    with qzftdi.SpiChip(dev, **SPI_PINS, addr_bits=8, data_bits=32) as chip:
        assert chip.read(0x05) == value
        assert chip.read_many([0x05, 0x05]) == [value, value]


def test_DriverFailureNamesTheD2xxStatus(board: sim.SimDevice, chip_pair) -> None:
    _, chip = chip_pair
    board.fail_nth_call("Write", 1, "FT_OTHER_ERROR")
    with pytest.raises(qzftdi.DriverError) as caught:
        chip.read(0x12)
    assert caught.value.name == "FT_OTHER_ERROR"
    assert caught.value.driver_status == qzftdi.FtStatus.FT_OTHER_ERROR
    assert "FT_OTHER_ERROR" in str(caught.value)
    assert chip.read(0x12) == 0  # the fault was for one call only


def test_IoErrorIsADriverError(board: sim.SimDevice, chip_pair) -> None:
    _, chip = chip_pair
    board.fail_nth_call("Write", 1, qzftdi.FtStatus.FT_IO_ERROR)
    with pytest.raises(qzftdi.DriverError) as caught:
        chip.write(0x12, 1)
    assert caught.value.name == "FT_IO_ERROR"


def test_ReadbackThatNeverComesTimesOut(board: sim.SimDevice, chip_pair) -> None:
    _, chip = chip_pair
    board.set_readback_stall(0)
    with pytest.raises(TimeoutError) as caught:
        chip.read(0x12)
    assert isinstance(caught.value, qzftdi.ReadbackTimeout)
    assert isinstance(caught.value, qzftdi.QzError)


def test_CloseRefusesAWriteWaitingForTheDevice(board: sim.SimDevice, dev: qzftdi.Device) -> None:
    import threading

    virtual = board.attach_spi(**SPI_PINS, addr_bits=8, data_bits=16)
    lock, waiting, errors = dev.lock, threading.Event(), []

    class Probe:
        """The device's lock, telling when another thread is about to wait for it."""

        def __enter__(self) -> None:
            if threading.current_thread() is not threading.main_thread():
                waiting.set()
            lock.acquire()

        def __exit__(self, *exc: object) -> None:
            lock.release()

    def write() -> None:
        try:
            old.write(0x12, 0x1111)
        except qzftdi.ArgumentError as error:
            errors.append(str(error))

    old = qzftdi.SpiChip(dev, **SPI_PINS, addr_bits=8, data_bits=16)
    dev.lock = Probe()
    with lock:  # an operation in progress on the device
        writer = threading.Thread(target=write)
        writer.start()
        assert waiting.wait(10)
        old.close()
        new = qzftdi.SpiChip(dev, **SPI_PINS, addr_bits=8, data_bits=16)
    writer.join()
    assert len(errors) == 1 and "closed" in errors[0]
    assert virtual[0x12] != 0x1111
    new.close()
