"""Naming of missing acknowledges and the exception family."""

from __future__ import annotations

import pytest

import qzftdi
from qzftdi.errors import nack_names


@pytest.mark.parametrize("bits, reg_bytes, reading, names", [
    (0b001, 1, False, ["address"]),
    (0b010, 1, False, ["register byte 0"]),
    (0b100, 1, False, ["data byte 0"]),
    (0b100, 1, True, ["read address"]),
    (0b111, 1, True, ["address"]),
    (0b110, 1, True, ["register byte 0", "read address"]),
    (0b11000, 2, False, ["data byte 0", "data byte 1"]),
    (0b10, 0, True, ["read address"]),
    (0b10, 0, False, ["data byte 0"]),
])
def test_MissingAcknowledgesAreNamedInFrameOrder(bits: int, reg_bytes: int, reading: bool,
                                                 names: list[str]) -> None:
    assert nack_names(bits, reg_bytes, reading) == names


@pytest.mark.parametrize("cls, builtin", [
    (qzftdi.ReadbackTimeout, TimeoutError),
    (qzftdi.ArgumentError, ValueError),
    (qzftdi.BenchFileError, ValueError),
    (qzftdi.OutOfMemory, MemoryError),
    (qzftdi.UnpluggedError, qzftdi.DriverError),
])
def test_ExceptionsAreCaughtByTheirPythonFamily(cls: type, builtin: type) -> None:
    assert issubclass(cls, qzftdi.QzError) and issubclass(cls, builtin)


def test_UnnamedDriverStatusStillReads() -> None:
    error = qzftdi.DriverError("x", 99)
    assert error.name == "FT_STATUS 99"
