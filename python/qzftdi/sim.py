"""The simulated FTDI bench, from Python.

The shipped library carries a simulated FTDI chip with virtual SPI and I2C
register chips. It has no devices until a program adds some, so it never hides
real hardware. A test suite sets up a virtual board here and then drives it
through :func:`qzftdi.open` exactly as it would a real one::

    from qzftdi import sim
    board = sim.add_device("SIM001", "bench board")
    adc = board.attach_spi(clk=0, cs=3, sdi=1, sdo=2, addr_bits=8, data_bits=16)
    adc[0x12] = 0xBEEF

The chip model: one read-back byte per written byte, sampled before each byte
is applied (a lag of one sample by default); undriven inputs read high; the
I2C bus is open drain. Faults are injected per device (a driver call failing
with a chosen status, short writes, read-back that trickles in or stalls) and
per I2C chip (missing acknowledges, SDA or SCL held low).
"""

from __future__ import annotations

import ctypes
import enum
import errno
import os
from ctypes import byref, c_uint8, c_uint32
from typing import Any, Optional, Union

from . import _lib
from .errors import BenchFileError, FtStatus, QzError
from ._args import int_in as _int_in, pin as _pin

__all__ = ["SimError", "I2cFault", "SimDevice", "SimChip", "SimSpiChip", "SimI2cChip", "SimSpiFlash",
           "SimPortExpander", "add_device",
           "device", "remove_device", "clear_bench", "load_bench", "save_state", "load_state",
           "fail_nth_call", "PROFILES",
           "I2C_SPEEDS"]

#: Bus speeds of virtual I2C chips (SimI2cChip.set_speed).
I2C_SPEEDS = ("standard", "fast", "fast-plus", "unchecked")

#: Chip profiles of the timed model.
PROFILES = ("FT232R", "FT232H", "FT2232H", "FT4232H")

_StrPath = Union[str, "os.PathLike[str]"]


class SimError(QzError):
    """The simulator refused a request (an unknown device or chip, a value out of range)."""


class I2cFault(enum.IntEnum):
    """Faults of a virtual I2C chip."""

    NONE = 0
    NACK_ADDRESS = 1     #: does not acknowledge its address (bench files: "nack-address")
    NACK_DATA = 2        #: does not acknowledge data byte ``arg`` (0 = the first; "nack-data")
    HOLD_SDA = 3         #: holds SDA low
    HOLD_SCL = 4         #: holds SCL low
    NO_ADDRESS_ACK = 1   #: the former name of NACK_ADDRESS
    NO_DATA_ACK = 2      #: the former name of NACK_DATA


def _ok(result: int, what: str) -> int:
    if result < 0:
        raise SimError(f"simulator: {what} refused")
    return result


def _status(status: Union[int, str, FtStatus]) -> int:
    if isinstance(status, str):
        try:
            return FtStatus[status].value
        except KeyError:
            raise SimError(f"unknown driver status {status!r}") from None
    return _int_in("driver status", status, 0, 0xFFFFFFFF)


def _bytes_or_off(name: str, count: Optional[int]) -> int:
    return -1 if count is None else _int_in(name, count, 0, 2**62)


def clear_bench() -> None:
    """Removes every simulated device and chip."""
    _lib.library().qzsim_clear_bench()


def add_device(serial: str, description: str = "", listable: bool = True) -> "SimDevice":
    """Adds a simulated device. A device that is not listable is counted but not listed."""
    _ok(_lib.library().qzsim_add_device(serial.encode(), description.encode(), int(bool(listable))),
        f"adding device {serial}")
    return SimDevice(serial)


def device(serial: str) -> "SimDevice":
    """The simulated device ``serial`` (added before, or by a bench file)."""
    return SimDevice(serial)


def remove_device(serial: str) -> None:
    """Removes the simulated device ``serial`` (unplugs it for good)."""
    _ok(_lib.library().qzsim_remove_device(serial.encode()), f"removing device {serial}")


def load_bench(path: _StrPath) -> None:
    """Loads a TOML bench file (devices and their virtual chips) onto the bench.

    Raises FileNotFoundError when there is no such file, BenchFileError with
    "file:line: key: what" when the file is refused.
    """
    if not os.path.exists(path):
        raise FileNotFoundError(errno.ENOENT, "no such bench file", os.fspath(path))
    error = ctypes.create_string_buffer(1024)
    if _lib.library().qzsim_load_bench(os.fsencode(path), error, len(error)) != 0:
        raise BenchFileError(error.value.decode("utf-8", "replace") or f"{path}: refused")


def save_state(path: _StrPath) -> None:
    """Saves the contents of every virtual chip on the bench (registers, a
    flash's bytes, a port expander's latches) to a state file, for load_state
    in a later run. Raises SimError with the reason when it cannot be written."""
    error = ctypes.create_string_buffer(1024)
    if _lib.library().qzsim_save_state(os.fsencode(path), error, len(error)) != 0:
        raise SimError(error.value.decode("utf-8", "replace") or f"{path}: not written")


def load_state(path: _StrPath) -> None:
    """Loads a state file of save_state onto the chips on the bench (after their
    bench file): all of it, or none. Raises FileNotFoundError when there is no
    such file, BenchFileError with "file:line: what" when it is damaged or
    names a device or chip that is not on the bench."""
    if not os.path.exists(path):
        raise FileNotFoundError(errno.ENOENT, "no such state file", os.fspath(path))
    error = ctypes.create_string_buffer(1024)
    if _lib.library().qzsim_load_state(os.fsencode(path), error, len(error)) != 0:
        raise BenchFileError(error.value.decode("utf-8", "replace") or f"{path}: refused")


def fail_nth_call(op: str, nth: int, status: Union[int, str, FtStatus]) -> None:
    """The ``nth`` call from now of a driver operation that takes no handle
    ("ListDevices", "CreateDeviceInfoList", "GetDeviceInfoDetail", "OpenEx")
    fails with ``status`` (a number or an FT_* name)."""
    _ok(_lib.library().qzsim_fail_nth_call(None, op.encode(), _int_in("nth", nth, 1, 0xFFFFFFFF),
                                           _status(status)), f"fault on {op}")


class SimDevice:
    """A simulated FTDI device, named by its serial number."""

    def __init__(self, serial: str) -> None:
        self.serial = serial
        self._key = serial.encode()

    def __repr__(self) -> str:
        return f"<qzftdi.sim.SimDevice {self.serial}>"

    def _call(self, name: str, *args: Any) -> int:
        return _ok(_lib.library().function(name)(self._key, *args), f"{name} on {self.serial}")

    def remove(self) -> None:
        """Removes this device from the bench."""
        remove_device(self.serial)

    # ---- chips
    def attach_spi(self, *, clk: int, cs: int, sdi: int, sdo: int, addr_bits: int = 8,
                   data_bits: int = 16, posedge: bool = True, rw_bit: bool = True,
                   oe: Optional[tuple[int, bool]] = None, mode: Optional[int] = None,
                   cs_high: bool = False, lsb_first: bool = False,
                   strict: bool = False) -> "SimSpiChip":
        """Attaches a virtual SPI register chip (same wiring keywords as qzftdi.SpiChip).

        ``oe`` = (pin, high): the chip drives data out only while that pin is asserted.
        ``mode`` 0-3 (instead of ``posedge``), ``cs_high``, ``lsb_first``: the wire;
        ``strict``: data out is valid only in the sample of the sampling edge.
        """
        pins = (_pin("clk", clk), _pin("cs", cs), _pin("sdi", sdi), _pin("sdo", sdo))
        chip = SimSpiChip(self._call("qzsim_attach_spi", *pins,
                                     _int_in("address bits", addr_bits, 0, 32),
                                     _int_in("data bits", data_bits, 1, 32),
                                     int(bool(posedge)), int(bool(rw_bit))))
        if oe is not None:
            _ok(_lib.library().qzsim_spi_output_enable(chip.id, _pin("output-enable", oe[0]),
                                                      int(bool(oe[1]))), "output enable")
        chip._wire(0 if posedge else 2, mode, cs_high, lsb_first, strict)
        return chip

    def attach_spi_flash(self, *, clk: int, cs: int, sdi: int, sdo: int, size: int = 1 << 20,
                         jedec_id: int = 0xEF4014, mode: int = 0, cs_high: bool = False,
                         strict: bool = False) -> "SimSpiFlash":
        """Attaches a virtual SPI NOR flash of ``size`` bytes (a power of two, 256 B to
        16 MiB) answering ``jedec_id``: JEDEC ID, status, read, fast read, write
        enable/disable, page program, sector erase. ``flash[address]`` is a byte."""
        pins = (_pin("clk", clk), _pin("cs", cs), _pin("sdi", sdi), _pin("sdo", sdo))
        flash = SimSpiFlash(self._call("qzsim_attach_spi_flash", *pins,
                                       _int_in("flash size", size, 256, 1 << 24),
                                       _int_in("JEDEC ID", jedec_id, 0, 0xFFFFFF)))
        flash._wire(0, mode, cs_high, False, strict)
        return flash

    def attach_i2c_expander(self, *, scl: int, sda_w: int, sda_r: int,
                            address: int) -> "SimPortExpander":
        """Attaches a virtual 8-bit I2C port expander (no register pointer: a write sets
        the outputs, a read returns the pins)."""
        pins = (_pin("scl", scl), _pin("sda_w", sda_w), _pin("sda_r", sda_r))
        return SimPortExpander(self._call("qzsim_attach_i2c_expander", *pins,
                                          _int_in("I2C address", address, 0, 0x7F)))

    def attach_i2c(self, *, scl: int, sda_w: int, sda_r: int, address: int, reg_bytes: int = 1,
                   data_bytes: int = 1) -> "SimI2cChip":
        """Attaches a virtual I2C register chip on the open-drain bus of these three pins
        (shared by every chip attached to the same pins)."""
        pins = (_pin("scl", scl), _pin("sda_w", sda_w), _pin("sda_r", sda_r))
        return SimI2cChip(self._call("qzsim_attach_i2c", *pins,
                                     _int_in("I2C address", address, 0, 0x7F),
                                     _int_in("register bytes", reg_bytes, 0, 4),
                                     _int_in("data bytes", data_bytes, 1, 4)))

    # ---- the chip model
    def set_readback_lag(self, samples: int) -> None:
        """Read-back lag in samples: 0, 1 (the chip's) or 2."""
        self._call("qzsim_set_readback_lag", _int_in("lag", samples, 0, 2))

    def call_count(self, op: str) -> int:
        """Driver calls of ``op`` ("Write", "Read", "Purge", ...) made on this device so far."""
        return self._call("qzsim_call_count", op.encode())

    def set_profile(self, profile: str) -> None:
        """The chip the timed model plays: one of PROFILES."""
        self._call("qzsim_set_profile", profile.encode())

    def set_custom_profile(self, *, fifo_to_host: int, fifo_from_host: int, packet_size: int,
                           sample_multiplier: int, max_sample_rate: int, latency_ms: int) -> None:
        """A chip of one's own for the timed model (FIFOs in bytes, packet 64 or 512, ...)."""
        self._call("qzsim_set_custom_profile", fifo_to_host, fifo_from_host, packet_size,
                   sample_multiplier, max_sample_rate, latency_ms)

    def set_timed(self, timed: bool) -> None:
        """Switches the timed model on (rates, FIFOs, USB packets, latency timer) or off."""
        self._call("qzsim_set_timed", int(bool(timed)))

    def set_driver_buffer(self, size: int) -> None:
        """The driver's receive buffer in bytes."""
        self._call("qzsim_set_driver_buffer", _int_in("buffer size", size, 0, 0xFFFFFFFF))

    def set_write_timeout(self, ms: int) -> None:
        """How long a write waits for room before it returns short."""
        self._call("qzsim_set_write_timeout", _int_in("timeout", ms, 0, 0xFFFFFFFF))

    def set_lossy(self, lossy: bool) -> None:
        """Drop read-back that finds the driver buffer full instead of stalling the chip."""
        self._call("qzsim_set_lossy", int(bool(lossy)))

    @property
    def latency_timer(self) -> int:
        """The latency timer the simulated chip was given, in ms."""
        return self._call("qzsim_get_latency_timer")

    @property
    def clock_ns(self) -> int:
        """The device's simulated clock in ns."""
        return self._call("qzsim_clock_ns")

    @property
    def stall_count(self) -> int:
        """Writes that stalled the chip until their timeout."""
        return self._call("qzsim_stall_count")

    @property
    def dropped_count(self) -> int:
        """Read-back bytes dropped in lossy mode."""
        return self._call("qzsim_dropped_count")

    def unplug_at_call(self, nth: int) -> None:
        """Unplugs the device at its ``nth`` driver call from now (1 = the next)."""
        self._call("qzsim_unplug_at_call", _int_in("nth", nth, 1, 0xFFFFFFFF))

    def unplug_at_time(self, ns: int) -> None:
        """Unplugs the device when its clock reaches ``ns``."""
        self._call("qzsim_unplug_at_time", _int_in("time", ns, 0, 2**64 - 1))

    # ---- faults
    def fail_nth_call(self, op: str, nth: int, status: Union[int, str, FtStatus]) -> None:
        """The ``nth`` call from now (1 = the next) of ``op`` ("Write", "Read", "Purge", ...)
        fails with ``status`` (a number or an FT_* name such as "FT_IO_ERROR")."""
        self._call("qzsim_fail_nth_call", op.encode(), _int_in("nth", nth, 1, 0xFFFFFFFF),
                   _status(status))

    def set_short_write(self, max_bytes: Optional[int]) -> None:
        """Each write takes at most ``max_bytes`` (None: no limit)."""
        self._call("qzsim_set_short_write", _bytes_or_off("byte count", max_bytes))

    def set_readback_drip(self, bytes_per_poll: Optional[int]) -> None:
        """The read-back trickles in ``bytes_per_poll`` at a time (None: all at once)."""
        self._call("qzsim_set_readback_drip", _bytes_or_off("byte count", bytes_per_poll))

    def set_readback_stall(self, bytes_before_stall: Optional[int]) -> None:
        """The read-back stops coming after ``bytes_before_stall`` bytes (None: it all comes)."""
        self._call("qzsim_set_readback_stall", _bytes_or_off("byte count", bytes_before_stall))

    def clear_faults(self) -> None:
        """Switches every fault of this device off."""
        self._call("qzsim_clear_faults")

    # ---- the wire trace
    def read_trace(self, capacity: Optional[int] = None) -> tuple[bytes, bytes]:
        """The wire trace, oldest first: (written bytes, resolved pin levels)."""
        count = self._call("qzsim_read_trace", None, None, 0)
        capacity = count if capacity is None else min(count, _int_in("capacity", capacity, 0, 2**32 - 1))
        written = (c_uint8 * capacity)()
        levels = (c_uint8 * capacity)()
        self._call("qzsim_read_trace", written, levels, capacity)
        return bytes(written), bytes(levels)

    def clear_trace(self) -> None:
        """Empties the wire trace."""
        self._call("qzsim_clear_trace")

    def set_trace_limit(self, samples: int) -> None:
        """Keeps the most recent ``samples`` of the wire (0: no trace)."""
        self._call("qzsim_set_trace_limit", _int_in("samples", samples, 0, 0xFFFFFFFF))

    @property
    def trace_dropped(self) -> int:
        """Samples that fell out of the trace ring since it was last cleared."""
        return self._call("qzsim_trace_dropped")

    def set_pin_name(self, pin: int, name: str) -> None:
        """The name pin ``pin`` carries in VCD files."""
        self._call("qzsim_set_pin_name", _pin("trace", pin), name.encode())

    def write_vcd(self, path: _StrPath) -> None:
        """Writes the wire trace as a VCD file (for sigrok, PulseView, GTKWave)."""
        self._call("qzsim_write_vcd", os.fsencode(path))


class SimChip:
    """A virtual register chip; ``chip[reg]`` reads and ``chip[reg] = value`` sets a register."""

    def __init__(self, peripheral: int) -> None:
        #: The simulator's peripheral ID.
        self.id = peripheral

    def __repr__(self) -> str:
        return f"<qzftdi.sim.{type(self).__name__} {self.id}>"

    def _call(self, name: str, *args: Any) -> int:
        return _ok(_lib.library().function(name)(self.id, *args), f"{name} on chip {self.id}")

    def get_register(self, reg: int) -> int:
        """The register's value as the chip holds it."""
        value = c_uint32()
        self._call("qzsim_get_register", _int_in("register", reg, 0, 0xFFFFFFFF), byref(value))
        return value.value

    def set_register(self, reg: int, value: int) -> None:
        """Sets the register without any bus traffic."""
        self._call("qzsim_set_register", _int_in("register", reg, 0, 0xFFFFFFFF),
                   _int_in("value", value, 0, 0xFFFFFFFF))

    __getitem__ = get_register
    __setitem__ = set_register

    def set_fill(self, value: int) -> None:
        """What unwritten registers read (0xFF for a blank EEPROM)."""
        self._call("qzsim_set_fill", _int_in("fill", value, 0, 0xFFFFFFFF))

    def set_log_limit(self, entries: int) -> None:
        """Length of the chip's transfer and violation logs."""
        self._call("qzsim_set_log_limit", _int_in("entries", entries, 0, 0xFFFFFFFF))

    @property
    def log_count(self) -> int:
        """Transfers the chip has logged."""
        return self._call("qzsim_log_count")

    @property
    def violation_count(self) -> int:
        """Protocol violations the chip has seen (timing, glitches, ...)."""
        return self._call("qzsim_violation_count")

    def clear_logs(self) -> None:
        """Empties the transfer and violation logs."""
        self._call("qzsim_clear_logs")


class SimSpiChip(SimChip):
    """A virtual SPI register chip."""

    def _wire(self, default_mode: int, mode: Optional[int], cs_high: bool, lsb_first: bool,
              strict: bool) -> None:
        chosen = default_mode if mode is None else _int_in("SPI mode", mode, 0, 3)
        self._call("qzsim_spi_set_mode", chosen, int(bool(cs_high)), int(bool(lsb_first)))
        self._call("qzsim_spi_set_data_valid", int(bool(strict)))


class SimSpiFlash(SimSpiChip):
    """A virtual SPI NOR flash; ``flash[address]`` is one byte (0xFF until programmed)."""

    def set_busy(self, program_samples: int, erase_samples: int) -> None:
        """Samples a page program and a sector erase keep the flash busy."""
        self._call("qzsim_spi_flash_set_busy", _int_in("samples", program_samples, 0, 0xFFFFFFFF),
                   _int_in("samples", erase_samples, 0, 0xFFFFFFFF))


class SimI2cChip(SimChip):
    """A virtual I2C register chip with real chips' habits."""

    def set_fault(self, fault: I2cFault, arg: int = 0) -> None:
        """Injects a fault (I2cFault.NONE clears it); ``arg`` is the data byte of NACK_DATA."""
        self._call("qzsim_i2c_fault", int(I2cFault(fault)), _int_in("fault argument", arg, 0, 2**31 - 1))

    def set_reaction_delay(self, samples: int) -> None:
        """Acknowledge and read data are driven, and released, ``samples`` after SCL falls."""
        self._call("qzsim_i2c_set_reaction_delay", _int_in("samples", samples, 0, 0xFFFFFFFF))

    def set_clock_stretch(self, samples: int) -> None:
        """The chip holds SCL low for ``samples`` after each byte."""
        self._call("qzsim_i2c_set_clock_stretch", _int_in("samples", samples, 0, 0xFFFFFFFF))

    def set_eeprom(self, page_size: int, busy_samples: int) -> None:
        """EEPROM habits: writes wrap within pages of ``page_size`` bytes, and for
        ``busy_samples`` after a write's STOP the chip does not acknowledge its address."""
        self._call("qzsim_i2c_set_eeprom", _int_in("page size", page_size, 0, 0xFFFFFFFF),
                   _int_in("busy samples", busy_samples, 0, 0xFFFFFFFF))

    def set_speed(self, speed: str) -> None:
        """The bus speed the chip is made for: "standard", "fast" (unless set), "fast-plus", or
        "unchecked". On a timed device a chip clocked beyond it loses bytes and bits."""
        if speed not in I2C_SPEEDS:
            raise ValueError(f"I2C speed {speed!r}: one of {', '.join(I2C_SPEEDS)}")
        self._call("qzsim_i2c_set_speed", I2C_SPEEDS.index(speed))

    def set_register_width(self, reg: int, data_bytes: int) -> None:
        """Register ``reg`` holds ``data_bytes`` bytes (1 to 4), whatever the chip's width."""
        self._call("qzsim_set_register_width", _int_in("register", reg, 0, 0xFFFFFFFF),
                   _int_in("data bytes", data_bytes, 1, 4))


class SimPortExpander(SimChip):
    """A virtual 8-bit I2C port expander: ``outputs`` is what the host wrote,
    ``inputs`` what the circuit pulls on its pins (a read gives both ANDed)."""

    @property
    def outputs(self) -> int:
        return self.get_register(0)

    @property
    def inputs(self) -> int:
        return self.get_register(1)

    @inputs.setter
    def inputs(self, levels: int) -> None:
        self.set_register(1, _int_in("pin levels", levels, 0, 0xFF))


def __dir__() -> list[str]:
    """The module's own names only (not what it imports)."""
    return sorted(__all__)
