"""The simulated bench from Python: faults, trace export, bench files, refusals."""

from __future__ import annotations

import ctypes
import logging
from pathlib import Path

import pytest

import qzftdi
from qzftdi import sim
from conftest import SPI_PINS


def test_UnknownDeviceIsRefused() -> None:
    with pytest.raises(sim.SimError):
        sim.device("NOSUCH1").set_readback_lag(0)
    with pytest.raises(sim.SimError):
        sim.remove_device("NOSUCH1")


def test_UnknownDriverStatusNameIsRefused(board: sim.SimDevice) -> None:
    with pytest.raises(sim.SimError):
        board.fail_nth_call("Write", 1, "FT_NO_SUCH_STATUS")


def test_RegisterWiderThanTheVirtualChipIsAValueError(board: sim.SimDevice) -> None:
    chip = board.attach_spi(**SPI_PINS, data_bits=32)
    chip[0x10] = 0xFFFFFFFF  # the widest value fits
    with pytest.raises(ValueError):
        chip[0x10] = 1 << 32


def test_VcdShowsTheTransfer(board: sim.SimDevice, dev: qzftdi.Device, tmp_path: Path) -> None:
    board.attach_spi(**SPI_PINS)
    dev.write_pattern(0xFF, [0x00, 0xFF, 0x00])
    path = tmp_path / "wire.vcd"
    board.write_vcd(path)
    text = path.read_text()
    assert "$enddefinitions" in text


def _dumped_rows(capfd: pytest.CaptureFixture[str], caplog: pytest.LogCaptureFixture) -> list[str]:
    """The rows of 0s and 1s the library dumped, to stdout or to the logger."""
    ctypes.CDLL(None).fflush(None)  # the library's stdout is C's, buffered apart from Python's
    text = capfd.readouterr().out + "\n".join(r.getMessage() for r in caplog.records)
    return [line for line in text.splitlines() if line and set(line) <= {"0", "1"}]


@pytest.mark.parametrize("lag", [0, 1, 2])
def test_ReadbackLagDelaysWhatTheReadSees(board: sim.SimDevice, dev: qzftdi.Device,
                                          capfd: pytest.CaptureFixture[str],
                                          caplog: pytest.LogCaptureFixture, lag: int) -> None:
    board.attach_spi(**SPI_PINS)[0x10] = 0x5AC3
    board.set_readback_lag(lag)
    chip = dev.spi(**SPI_PINS)
    chip.read(0x10)  # the frame before the dumped one ends with chip select high
    caplog.set_level(logging.DEBUG, logger="qzftdi")
    qzftdi.enable_debug_print(False, True)
    try:
        assert chip.read(0x10) == 0x5AC3
    finally:
        qzftdi.enable_debug_print(False, False)
    # Chip select opens the frame high for two samples; the read-back shows
    # it `lag` samples later.
    assert _dumped_rows(capfd, caplog)[SPI_PINS["cs"]].index("0") == 2 + lag


def test_LagOutOfRangeIsAValueError(board: sim.SimDevice) -> None:
    with pytest.raises(ValueError):
        board.set_readback_lag(3)


def test_UnpluggedDeviceIsGone(board: sim.SimDevice) -> None:
    board.remove()
    with pytest.raises(qzftdi.DriverError):
        qzftdi.open(board.serial)


def test_TimedModelAdvancesTheClock(board: sim.SimDevice, dev: qzftdi.Device) -> None:
    board.set_profile("FT232R")
    board.set_timed(True)
    start = board.clock_ns
    dev.write_pattern(0xFF, bytes(600))
    assert board.clock_ns > start


def test_MissingBenchFileRaisesFileNotFoundError(tmp_path: Path) -> None:
    with pytest.raises(FileNotFoundError):
        sim.load_bench(tmp_path / "absent.toml")


def test_SimListsOnlyItsOwnNames() -> None:
    assert dir(sim) == sorted(sim.__all__)
