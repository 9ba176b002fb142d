"""The simulated bench from Python: faults, trace export, bench files, refusals."""

from __future__ import annotations

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


def _dumped_rows(caplog: pytest.LogCaptureFixture) -> list[str]:
    """The rows of 0s and 1s the library dumped (the package logs its messages)."""
    text = "\n".join(r.getMessage() for r in caplog.records)
    return [line for line in text.splitlines() if line and set(line) <= {"0", "1"}]


@pytest.mark.parametrize("lag", [0, 1, 2])
def test_ReadbackLagDelaysWhatTheReadSees(board: sim.SimDevice, dev: qzftdi.Device,
                                          caplog: pytest.LogCaptureFixture, lag: int) -> None:
    caplog.set_level(logging.DEBUG, logger="qzftdi")  # the dumps are DEBUG messages
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
    assert _dumped_rows(caplog)[SPI_PINS["cs"]].index("0") == 2 + lag


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


def test_StateFileKeepsWhatWasWrittenForTheNextBench(tmp_path: Path) -> None:
    flash = sim.add_device("PYSTATE", "state board").attach_spi_flash(clk=0, cs=3, sdi=1, sdo=2,
                                                                       size=1 << 12)
    flash[0x10] = 0x5A
    sim.save_state(tmp_path / "board.state")
    sim.clear_bench()
    flash = sim.add_device("PYSTATE", "state board").attach_spi_flash(clk=0, cs=3, sdi=1, sdo=2,
                                                                       size=1 << 12)
    sim.load_state(tmp_path / "board.state")
    assert flash[0x10] == 0x5A
    sim.clear_bench()
    sim.add_device("PYSTATE", "state board")  # no flash now: the state is another board's
    with pytest.raises(qzftdi.BenchFileError, match=r"board.state:4: chip 0 spi_flash is not on"):
        sim.load_state(tmp_path / "board.state")


def test_SimListsOnlyItsOwnNames() -> None:
    assert dir(sim) == sorted(sim.__all__)


def test_FlashAndPortExpanderAreReachable() -> None:
    board = sim.add_device("PYFLASH", "flash board")
    flash = board.attach_spi_flash(clk=0, cs=3, sdi=1, sdo=2, size=1 << 16, mode=3)
    assert flash[0x1234] == 0xFF  # erased
    expander = board.attach_i2c_expander(scl=4, sda_w=5, sda_r=6, address=0x20)
    expander.inputs = 0x7F
    assert (expander.outputs, expander.inputs) == (0xFF, 0x7F)
    with pytest.raises(ValueError):
        board.attach_spi(clk=0, cs=7, sdi=1, sdo=2, mode=4)
