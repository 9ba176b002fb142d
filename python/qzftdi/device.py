"""An open FTDI device in synchronous bit-bang mode."""

from __future__ import annotations

import threading
from ctypes import byref, c_uint8, c_void_p
from typing import TYPE_CHECKING, Any, Callable, Optional, Sequence

from . import _lib
from ._args import int_in
from .errors import ArgumentError, DriverError, Status, ft_status_name, raise_for

if TYPE_CHECKING:
    from .bus import I2cBus
    from .chips import I2cChip, SpiChip

#: Lowest and highest latency timer the D2XX driver accepts, in ms.
LATENCY_TIMER_MIN = 2
LATENCY_TIMER_MAX = 255

class Device:
    """An open FTDI device in synchronous bit-bang mode; a context manager that closes it.

    Calls on one device are serialised by a lock, so a Device may be shared by threads.
    """

    def __init__(self, serial: str, baud: int = 1_000_000, low_latency: bool = True) -> None:
        """Opens the device with serial number ``serial`` at ``baud``.

        With ``low_latency`` (the default) the device is put in low-latency mode
        where the driver can (see ``low_latency``); a driver that cannot keeps
        the default mode. Raises DriverError with the driver's status
        (FT_DEVICE_NOT_FOUND, ...) when it cannot be opened, ArgumentError for
        a baud rate out of range.
        """
        baud = int_in("baud rate", baud, 1, 0xFFFFFFFF)
        if not isinstance(serial, str) or len(serial.encode()) >= _lib.SERIAL_BUFFER_SIZE:
            raise ArgumentError(f"serial number {serial!r} does not fit")
        self.serial = serial
        self.baud = baud
        self.lock = threading.RLock()
        self._handle = c_void_p()
        status = _lib.library().setupFTDIdev(byref(self._handle), serial.encode(), baud)
        if status != 0:
            self._handle = c_void_p()
            raise DriverError(f"opening {serial}: {ft_status_name(status)}", status,
                              Status.DRIVER_ERROR)
        if low_latency:
            _lib.library().setLowLatency(self._handle, 1)

    @property
    def closed(self) -> bool:
        """True once the device is closed."""
        return not self._handle.value

    @property
    def handle(self) -> c_void_p:
        """The driver's handle; ArgumentError once the device is closed."""
        if self.closed:
            raise ArgumentError(f"device {self.serial} is closed")
        return self._handle

    def close(self) -> None:
        """Closes the device (again: nothing). DriverError when the driver refuses."""
        with self.lock:
            if self.closed:
                return
            status = _lib.library().closeFTDI(self._handle)
            self._handle = c_void_p()
            if status != 0:
                raise DriverError(f"closing {self.serial}: {ft_status_name(status)}", status,
                                  Status.DRIVER_ERROR)

    def __enter__(self) -> "Device":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<qzftdi.Device {self.serial} {self.baud} Bd{' closed' if self.closed else ''}>"

    def _call(self, name: str, what: str, *args: Any,
             nack_namer: Optional[Callable[[int], list[str]]] = None,
             sequence: Optional[str] = None) -> None:
        """Runs status-API function ``name`` on this device and raises what it reports."""
        detail = _lib.QZ_RESULT()
        fn = _lib.library().function(name)
        with self.lock:
            status = fn(self.handle, *args, byref(detail))
        raise_for(status, detail, what, nack_namer, sequence)

    @property
    def latency_timer(self) -> int:
        """The USB latency timer in ms (2 to 255; the chip's default is 16)."""
        ms = c_uint8()
        self._call("qz_getLatencyTimer", f"reading the latency timer of {self.serial}", byref(ms))
        return ms.value

    @latency_timer.setter
    def latency_timer(self, ms: int) -> None:
        ms = int_in("latency timer", ms, LATENCY_TIMER_MIN, LATENCY_TIMER_MAX)
        self._call("qz_setLatencyTimer", f"setting the latency timer of {self.serial}", ms)

    @property
    def low_latency(self) -> bool:
        """Low-latency mode: one-packet USB requests and transactions padded to whole
        packets, so a single register takes about a USB frame instead of a latency
        period. Setting it raises DriverError from a driver without FT_SetUSBParameters
        (nothing changes then)."""
        with self.lock:
            return _lib.library().getLowLatency(self.handle) == 1

    @low_latency.setter
    def low_latency(self, on: bool) -> None:
        self._call("qz_setLowLatency", f"setting the low-latency mode of {self.serial}",
                   1 if on else 0)

    def write_pattern(self, mask: int, samples: Sequence[int]) -> int:
        """Plays ``samples`` (one byte per pin sample) on the pins of ``mask``; the bytes written.

        Raises DriverError when the driver fails.
        """
        mask = int_in("pin mask", mask, 0, 255)
        data = bytes(samples)
        if not data or len(data) > 0x7FFFFFFF:
            raise ArgumentError("a pattern has 1 to 2**31-1 samples")
        buffer = (c_uint8 * len(data)).from_buffer_copy(data)
        with self.lock:
            written = _lib.library().writeCustomPattern(self.handle, mask, buffer, len(data))
        if written < 0:
            raise DriverError(f"writing a pattern to {self.serial} failed", None, Status.DRIVER_ERROR)
        return written

    def read_pins(self) -> int:
        """The levels of the eight pins now (bit n: pin n), with no pin driven."""
        levels = c_uint8()
        self._call("qz_readPins", f"reading the pins of {self.serial}", byref(levels))
        return levels.value

    def play(self, mask: int, samples: Sequence[int]) -> bytes:
        """Plays ``samples`` on the pins of ``mask``; their read-back, one byte per sample."""
        mask = int_in("pin mask", mask, 0, 255)
        data = bytes(samples)
        if not data or len(data) > 0xFFFFFFFF:
            raise ArgumentError("a pattern has 1 to 2**32-1 samples")
        out = (c_uint8 * len(data)).from_buffer_copy(data)
        back = (c_uint8 * len(data))()
        self._call("qz_playPattern", f"playing a pattern on {self.serial}", mask, out, len(data),
                   back)
        return bytes(back)

    def spi(self, **wiring: Any) -> "SpiChip":
        """An SpiChip on this device (keywords as for SpiChip)."""
        from .chips import SpiChip
        return SpiChip(self, **wiring)

    def i2c(self, **wiring: Any) -> "I2cChip":
        """An I2cChip on this device (keywords as for I2cChip)."""
        from .chips import I2cChip
        return I2cChip(self, **wiring)

    def i2c_bus(self, **wiring: Any) -> "I2cBus":
        """An I2cBus on this device (keywords as for I2cBus)."""
        from .bus import I2cBus
        return I2cBus(self, **wiring)


def open(serial: str, baud: int = 1_000_000,  # noqa: A001 - the package's verb
         low_latency: bool = True) -> Device:
    """Opens a device by serial number: ``with qzftdi.open("FT5XYZ12", 1_000_000) as dev: ...``
    (in low-latency mode unless ``low_latency=False``)."""
    return Device(serial, baud, low_latency)
