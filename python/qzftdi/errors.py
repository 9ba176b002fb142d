"""Status codes of the library and the exceptions they become."""

from __future__ import annotations

import ctypes
import enum
from typing import Callable, Optional, Sequence

from . import _lib


class Status(enum.IntEnum):
    """QZ_STATUS: what a status-API call of the library returned."""

    OK = 0
    NACK = 1
    BUS_HELD = 2
    CLOCK_STRETCHED = 3
    FRAME_NOT_FOUND = 4
    DRIVER_ERROR = 5
    TIMEOUT = 6
    UNPLUGGED = 7
    BAD_ARGUMENT = 8
    NO_MEMORY = 9


class FtStatus(enum.IntEnum):
    """The D2XX driver's FT_STATUS values."""

    FT_OK = 0
    FT_INVALID_HANDLE = 1
    FT_DEVICE_NOT_FOUND = 2
    FT_DEVICE_NOT_OPENED = 3
    FT_IO_ERROR = 4
    FT_INSUFFICIENT_RESOURCES = 5
    FT_INVALID_PARAMETER = 6
    FT_INVALID_BAUD_RATE = 7
    FT_DEVICE_NOT_OPENED_FOR_ERASE = 8
    FT_DEVICE_NOT_OPENED_FOR_WRITE = 9
    FT_FAILED_TO_WRITE_DEVICE = 10
    FT_EEPROM_READ_FAILED = 11
    FT_EEPROM_WRITE_FAILED = 12
    FT_EEPROM_ERASE_FAILED = 13
    FT_EEPROM_NOT_PRESENT = 14
    FT_EEPROM_NOT_PROGRAMMED = 15
    FT_INVALID_ARGS = 16
    FT_NOT_SUPPORTED = 17
    FT_OTHER_ERROR = 18


def ft_status_name(status: int) -> str:
    """The FT_* name of a D2XX status, or its number when it has none."""
    try:
        return FtStatus(status).name
    except ValueError:
        return f"FT_STATUS {status}"


class QzError(Exception):
    """Base of every failure the qzftdi package reports.

    ``status`` is the library's :class:`Status` (None for failures found before
    calling it); ``index`` is the register (0-based) of a batch or stream that
    the failure refers to, else None.
    """

    def __init__(self, message: str, status: Optional[Status] = None,
                 index: Optional[int] = None) -> None:
        super().__init__(message)
        self.status = status
        self.index = index


class NackError(QzError):
    """An I2C acknowledge was missing.

    ``missing`` names the acknowledges that did not come, in frame order
    (``"address"``, ``"register byte 0"``, ``"data byte 1"``, ``"read address"``);
    ``missing_acks`` is the library's bit set (bit 0 the address, then the
    register-address bytes, then the data bytes or the read's second address pass).
    """

    def __init__(self, message: str, missing: Sequence[str], missing_acks: int,
                 index: Optional[int] = None) -> None:
        super().__init__(message, Status.NACK, index)
        self.missing = list(missing)
        self.missing_acks = missing_acks


class BusError(QzError):
    """The I2C bus is not the master's: SDA held or contested (Status.BUS_HELD), or
    SCL held low by a slave stretching the clock (Status.CLOCK_STRETCHED)."""


class FrameNotFoundError(QzError):
    """The frame does not show in the read-back (no clock or chip-select edge)."""


class DriverError(QzError):
    """A D2XX driver call failed; ``driver_status`` is its FT_STATUS and ``name`` its
    FT_* name ("FT_IO_ERROR", ...), both None where the library does not tell it."""

    def __init__(self, message: str, driver_status: Optional[int],
                 status: Optional[Status] = Status.DRIVER_ERROR,
                 index: Optional[int] = None) -> None:
        super().__init__(message, status, index)
        self.driver_status = driver_status
        self.name = None if driver_status is None else ft_status_name(driver_status)


class UnpluggedError(DriverError):
    """The device is gone (the driver answers FT_IO_ERROR)."""


class ReadbackTimeout(QzError, TimeoutError):
    """The read-back did not come in time."""


class ArgumentError(QzError, ValueError):
    """An argument that does not fit: a pin above 7, a value wider than the register, ..."""


class OutOfMemory(QzError, MemoryError):
    """The library could not allocate what the transfer needs."""


class BenchFileError(QzError, ValueError):
    """A bench file that the simulator refused; the message is "file:line: key: what"."""


def nack_names(missing_acks: int, register_bytes: int, reading: bool) -> list[str]:
    """Names of the missing acknowledges in a bit set of the library (see NackError).

    The library's one naming (qz_ackText): "address" alone when the address went
    unanswered, else "register byte N", "read address", "data byte N" from 0.
    """
    lib = _lib.library()
    size = lib.qz_ackText(missing_acks & 0xFFFFFFFF, register_bytes, int(bool(reading)), None, 0)
    if size < 0:
        raise ArgumentError(f"{register_bytes} register bytes do not fit: 0 to 4")
    text = ctypes.create_string_buffer(size + 1)
    lib.qz_ackText(missing_acks & 0xFFFFFFFF, register_bytes, int(bool(reading)), text, size + 1)
    return text.value.decode("ascii").split(", ") if size else []


def detail_text(detail: "_lib.QZ_RESULT") -> str:
    """The particulars of a result beyond its status text (qz_detailText): "the driver
    took N of M bytes" for a write the driver took only partly, else ""."""
    lib = _lib.library()
    if not lib.has("qz_detailText"):
        return ""
    text = ctypes.create_string_buffer(128)
    lib.qz_detailText(ctypes.byref(detail), text, len(text))
    return text.value.decode("ascii", "replace")


def status_text(status: int) -> str:
    lib = _lib.library()
    if lib.has("qz_statusText"):
        return lib.qz_statusText(status).decode("ascii", "replace")
    try:
        return Status(status).name.lower().replace("_", " ")
    except ValueError:
        return f"status {status}"


def raise_for(status: int, detail: _lib.QZ_RESULT, what: str,
               nack_namer: Optional[Callable[[int], list[str]]] = None,
               sequence: Optional[str] = None) -> None:
    """Raises the exception of a status-API result (nothing for QZ_OK).

    ``what`` says what was being done ("read of register 0x12 on ..."); for a
    ``sequence`` ("batch", "stream") the register index of ``detail`` is named too.
    """
    if status == Status.OK:
        return
    index = detail.index if sequence else None
    where = what + (f" (register {index} of the {sequence})" if sequence else "")
    text = status_text(status)
    if status == Status.NACK:
        names = nack_namer(detail.missingAcks) if nack_namer else [f"bits {detail.missingAcks:#x}"]
        raise NackError(f"{where}: {text}: {', '.join(names)}", names, detail.missingAcks, index)
    if status in (Status.BUS_HELD, Status.CLOCK_STRETCHED):
        raise BusError(f"{where}: {text}", Status(status), index)
    if status == Status.FRAME_NOT_FOUND:
        raise FrameNotFoundError(f"{where}: {text}", Status.FRAME_NOT_FOUND, index)
    if status in (Status.DRIVER_ERROR, Status.UNPLUGGED):
        cls = UnpluggedError if status == Status.UNPLUGGED else DriverError
        name = detail_text(detail) or ft_status_name(detail.driverStatus)
        raise cls(f"{where}: {text}: {name}", detail.driverStatus, Status(status), index)
    if status == Status.TIMEOUT:
        raise ReadbackTimeout(f"{where}: {text}", Status.TIMEOUT, index)
    if status == Status.BAD_ARGUMENT:
        raise ArgumentError(f"{where}: {text}", Status.BAD_ARGUMENT, index)
    if status == Status.NO_MEMORY:
        raise OutOfMemory(f"{where}: {text}", Status.NO_MEMORY, index)
    raise QzError(f"{where}: {text}", None, index)
